#include "BAddressFilter.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

namespace QVT {

namespace {

constexpr unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

bool IsMapped(const BAddress& address) {
  return address.Family() == BAddress::kFamilyINet6 && std::memcmp(address.Octets(), kMappedPrefix, 12) == 0;
}

bool SamePrefix(const unsigned char* a, const unsigned char* b, unsigned bits) {
  const unsigned whole = bits / 8;
  if (std::memcmp(a, b, whole) != 0) return false;
  const unsigned rest = bits % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<unsigned char>(0xFF << (8 - rest));
  return (a[whole] & mask) == (b[whole] & mask);
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

BAddress QVUnmappedAddress(const BAddress& address) {
  if (!IsMapped(address)) return address;
  BAddress plain;
  const unsigned char* o = address.Octets() + 12;
  plain.SetIPv4((uint32_t{o[0]} << 24) | (uint32_t{o[1]} << 16) | (uint32_t{o[2]} << 8) | o[3]);
  plain.SetPort(address.Port());
  return plain;
}

bool QVSameHost(const BAddress& a, const BAddress& b) {
  const BAddress x = QVUnmappedAddress(a);
  const BAddress y = QVUnmappedAddress(b);
  if (x.Family() != y.Family() || x.IsEmpty()) return false;
  return std::memcmp(x.Octets(), y.Octets(), x.Family() == BAddress::kFamilyINet6 ? 16 : 4) == 0;
}

BAddressFilter BAddressFilter::Loopback() {
  BAddressFilter filter;
  BString ignored;
  filter.Parse("127.0.0.0/8, ::1", ignored);
  return filter;
}

bool BAddressFilter::ParseItem(const std::string& item, Prefix& prefix) {
  std::string host = item;
  const size_t slash = item.find('/');
  int bits = -1;
  if (slash != std::string::npos) {
    host = item.substr(0, slash);
    const std::string count = item.substr(slash + 1);
    if (count.empty() || count.size() > 3 || count.find_first_not_of("0123456789") != std::string::npos) return false;
    bits = std::stoi(count);
  }
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  std::memset(prefix.octets, 0, sizeof prefix.octets);
  if (inet_pton(AF_INET, host.c_str(), prefix.octets) == 1) {
    prefix.family = BAddress::kFamilyINet;
    if (bits > 32) return false;
    prefix.bits = bits < 0 ? 32 : static_cast<unsigned>(bits);
  } else if (inet_pton(AF_INET6, host.c_str(), prefix.octets) == 1) {
    prefix.family = BAddress::kFamilyINet6;
    if (bits > 128) return false;
    prefix.bits = bits < 0 ? 128 : static_cast<unsigned>(bits);
    // A mapped IPv4 prefix is kept as the IPv4 prefix it stands for.
    BAddress probe;
    probe.SetIPv6(prefix.octets);
    if (IsMapped(probe) && prefix.bits >= 96) {
      std::memmove(prefix.octets, prefix.octets + 12, 4);
      std::memset(prefix.octets + 4, 0, 12);
      prefix.family = BAddress::kFamilyINet;
      prefix.bits -= 96;
    }
  } else {
    return false;
  }
  // Host bits beyond the prefix are cleared, so that 10.1.2.3/8 reads as 10.0.0.0/8.
  for (unsigned bit = prefix.bits; bit < 128; ++bit)
    prefix.octets[bit / 8] &= static_cast<unsigned char>(~(0x80 >> (bit % 8)));
  return true;
}

bool BAddressFilter::Parse(const BString& text, BString& error) {
  std::vector<Prefix> parsed;
  std::string item;
  const std::string& all = text.str();
  for (size_t begin = 0; begin <= all.size();) {
    size_t end = all.find_first_of(", \t", begin);
    if (end == std::string::npos) end = all.size();
    item = Trimmed(all.substr(begin, end - begin));
    begin = end + 1;
    if (item.empty()) continue;
    Prefix prefix{};
    if (!ParseItem(item, prefix)) {
      error = BString("'" + item + "' is not an IP address or prefix (a.b.c.d[/n], x:y::z[/n])");
      return false;
    }
    parsed.push_back(prefix);
  }
  m_prefixes = std::move(parsed);
  return true;
}

bool BAddressFilter::Matches(const BAddress& address) const {
  const BAddress plain = QVUnmappedAddress(address);
  for (const Prefix& prefix : m_prefixes) {
    if (prefix.family == plain.Family() && SamePrefix(prefix.octets, plain.Octets(), prefix.bits)) return true;
  }
  return false;
}

BString BAddressFilter::ToString() const {
  std::string text;
  for (const Prefix& prefix : m_prefixes) {
    char host[INET6_ADDRSTRLEN] = {};
    inet_ntop(prefix.family == BAddress::kFamilyINet ? AF_INET : AF_INET6, prefix.octets, host, sizeof host);
    text += (text.empty() ? "" : ", ") + std::string(host) + "/" + std::to_string(prefix.bits);
  }
  return BString(text);
}

}  // namespace QVT
