#include "BSAMasterSettings.h"

#include <string>

#include "BAddress.h"

namespace QVT {

namespace {

constexpr const char* kSection = "SAMaster";

struct IntKey {
  const char* key;
  int BSAMasterSettings::*field;
  int min;
  int max;
};

constexpr IntKey kIntKeys[] = {
    {"MaxWait", &BSAMasterSettings::maxWait, 1, 3599},
    {"MaxSessions", &BSAMasterSettings::maxSessions, 1, 65536},
    {"MaxSessionsPerHost", &BSAMasterSettings::maxSessionsPerHost, 1, 65536},
    {"MaxRegistrations", &BSAMasterSettings::maxRegistrations, 1, 1000000},
    {"MaxTotalRegistrations", &BSAMasterSettings::maxTotalRegistrations, 1, 10000000},
    {"MaxRangeInstances", &BSAMasterSettings::maxRangeInstances, 1, 65536},
    {"MaxIndexAllocations", &BSAMasterSettings::maxIndexAllocations, 1, 1000000},
    {"MaxTotalIndexAllocations", &BSAMasterSettings::maxTotalIndexAllocations, 1, 10000000},
    {"MaxNotifyRate", &BSAMasterSettings::maxNotifyRate, 0, 1000000},
    {"IdleTimeout", &BSAMasterSettings::idleTimeout, 0, 86400},
    {"MaxQueuedRequests", &BSAMasterSettings::maxQueuedRequests, 0, 64},
    {"MaxWaitingRequests", &BSAMasterSettings::maxWaitingRequests, 1, 1000},
};

std::string Quoted(const BString& text) {
  return "'" + text.str() + "'";
}

bool ParseBool(const std::string& text, bool& value) {
  std::string lower;
  for (const char c : text) {
    if (c != ' ' && c != '\t') lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  if (lower == "yes" || lower == "true" || lower == "on" || lower == "1") {
    value = true;
  } else if (lower == "no" || lower == "false" || lower == "off" || lower == "0") {
    value = false;
  } else {
    return false;
  }
  return true;
}

bool ParseOidList(const std::string& text, std::vector<BObjectIdentifier>& oids, std::string& bad) {
  std::vector<BObjectIdentifier> parsed;
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find_first_of(", \t", begin);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(begin, end - begin);
    begin = end + 1;
    if (item.empty()) continue;
    BObjectIdentifier oid;
    if (!oid.Parse((item[0] == '.' ? item.substr(1) : item).c_str()) || oid.IsEmpty()) {
      bad = item;
      return false;
    }
    parsed.push_back(oid);
  }
  oids = std::move(parsed);
  return true;
}

}  // namespace

bool BSAMasterSettings::Read(INonVolatile& store, BString& error) {
  BString text;
  if (store.GetString(kSection, "ListenAddress", text, 0) == 0) {
    BSAMasterSettings probe;
    probe.listenAddress = text;
    BAddress endpoint;
    if (!probe.ListenEndpoint(0, endpoint)) {
      error = BString("ListenAddress: " + Quoted(text) + " is not an IP address of this host");
      return false;
    }
    listenAddress = text;
  }
  if (store.GetString(kSection, "AllowFrom", text, 0) == 0) {
    BAddressFilter filter;
    BString why;
    if (!filter.Parse(text, why)) {
      error = BString("AllowFrom: " + why.str());
      return false;
    }
    if (filter.IsEmpty()) {
      error = BString("AllowFrom: empty: no sub-agent could reach the master");
      return false;
    }
    allowFrom = filter;
  }
  if (store.GetString(kSection, "AllowOverlap", text, 0) == 0 && !ParseBool(text.str(), allowOverlap)) {
    error = BString("AllowOverlap: " + Quoted(text) + " is not yes or no");
    return false;
  }
  if (store.GetString(kSection, "RegisterAllow", text, 0) == 0) {
    std::string bad;
    if (!ParseOidList(text.str(), registerAllow, bad)) {
      error = BString("RegisterAllow: '" + bad + "' is not an OID");
      return false;
    }
  }
  for (const IntKey& entry : kIntKeys) {
    int value = 0;
    const int status = store.GetInt(kSection, entry.key, &value, 0);
    if (status == NV_ERR_NOT_FOUND) continue;
    if (store.GetString(kSection, entry.key, text, 0) != 0) text = BString();
    if (status != 0) {
      error = BString(std::string(entry.key) + ": " + Quoted(text) + " is not a whole number");
      return false;
    }
    if (value < entry.min || value > entry.max) {
      error = BString(std::string(entry.key) + ": " + Quoted(text) + " is outside " + std::to_string(entry.min) + ".." +
                      std::to_string(entry.max));
      return false;
    }
    this->*entry.field = value;
  }
  return true;
}

bool BSAMasterSettings::ListenEndpoint(unsigned short port, BAddress& endpoint) const {
  return QVResolveHost(listenAddress, port, endpoint) != 0;
}

}  // namespace QVT
