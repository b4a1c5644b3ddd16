#include "MasterAgent.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>

#include "BSAPdu.h"
#include "QVSubAgTrace.h"

namespace QVT::app {

Configuration::KeySet MasterAgent::ConfigKeys() {
  return {{"samaster",
           {"port", "listenaddress", "allowfrom", "allowoverlap", "registerallow", "maxwait", "maxsessions",
            "maxsessionsperhost", "maxregistrations", "maxtotalregistrations", "maxrangeinstances",
            "maxindexallocations", "maxtotalindexallocations", "maxnotifyrate", "idletimeout", "maxqueuedrequests",
            "maxwaitingrequests"}},
          {"agent",
           {"listenaddress", "readcommunity", "writecommunity", "trapsink", "trapcommunity", "maxmessagesize",
            "sysdescr", "syscontact", "sysname", "syslocation", "versions", "engineid", "statefile", "trapuser"}},
          {"user *", {"auth", "authpassword", "authkey", "priv", "privpassword", "privkey", "level", "access", "view"}}};
}

namespace {

// The agent's and the trap sender's error texts start with the key they
// concern, which the configuration's Where() names already.
std::string WithoutKey(const BString& text, const char* key) {
  const std::string prefix = std::string(key) + ": ";
  return text.str().rfind(prefix, 0) == 0 ? text.str().substr(prefix.size()) : text.str();
}

// "<file>:<line>: [SAMaster] MaxWait: '0' is outside 1..3599" from the
// library's "MaxWait: '0' is outside 1..3599".
std::string WithKey(const Configuration& config, const char* section, const BString& text) {
  const size_t colon = text.str().find(':');
  if (colon == std::string::npos) return text.str();
  const std::string key = text.str().substr(0, colon);
  return config.Where(section, key.c_str()) + text.str().substr(colon);
}

// Characters of a sub-agent's description that go into a log line.
constexpr size_t kLoggedDescription = 64;

// "sub-agent session 3 ('QVT example sub-agent' at 127.0.0.1:40112)"
std::string SessionName(const BSASession& session) {
  std::string description = session.m_description.str();
  if (description.size() > kLoggedDescription) description = description.substr(0, kLoggedDescription) + "...";
  return "sub-agent session " + std::to_string(session.m_id) + " ('" + description + "' at " +
         QVAddressToString(session.m_address).str() + ")";
}

}  // namespace

int LoggingTrapSender::SendTrap(const BTrap& trap, const char* arg) {
  // A burst of notifications is logged in part: the first few of each
  // second, then one line that counts the rest.
  unsigned long long heldBack = 0;
  if (!m_lines.Take(heldBack)) return m_pNext != nullptr ? m_pNext->SendTrap(trap, arg) : 0;
  if (heldBack > 0) Log(MasterAgent::kProgram, "%llu more notification(s) not logged", heldBack);
  std::string text;
  if (const auto* v2 = dynamic_cast<const BTrapV2*>(&trap); v2 != nullptr) {
    text = "notification ." + v2->TrapOid().ToString().str();
  } else {
    text = "trap enterprise ." + trap.Enterprise().ToString().str() + " generic " + std::to_string(trap.GenericTrap()) +
           " specific " + std::to_string(trap.SpecificTrap());
  }
  for (const BVarBind& vb : trap.VarBinds()) {
    text += ", ." + vb.name.ToString().str() + " = " + vb.value.ValToStr().str();
  }
  Log(MasterAgent::kProgram, "%s", text.c_str());
  return m_pNext != nullptr ? m_pNext->SendTrap(trap, arg) : 0;
}

bool SessionLogger::TakeLine() {
  unsigned long long heldBack = 0;
  if (!m_lines.Take(heldBack)) return false;
  if (heldBack > 0) Log(MasterAgent::kProgram, "%llu more sub-agent session(s) opened or closed, not logged", heldBack);
  return true;
}

void SessionLogger::OnSessionOpened(const BSASession& session) {
  if (!TakeLine()) return;
  Log(MasterAgent::kProgram, "%s opened; answers awaited %d s", SessionName(session).c_str(), session.m_timeout);
}

void SessionLogger::OnSessionClosed(const BSASession& session, ECloseReason reason, int subtrees) {
  if (!TakeLine()) return;
  const char* why = reason == ECloseReason::kClosedBySubAgent ? "closed by the sub-agent"
                    : reason == ECloseReason::kNoAnswer       ? "closed: the sub-agent stopped answering"
                    : reason == ECloseReason::kIdle           ? "closed: it registered nothing and went silent"
                                                              : "closed by the master";
  Log(MasterAgent::kProgram, "%s %s; %d subtree(s) withdrawn", SessionName(session).c_str(), why, subtrees);
}

void SessionLogger::OnRefusal(ESAMasterCounter kind, const BString& text, uint64_t others) {
  if (others == 0) {
    Log(MasterAgent::kProgram, "%s: %s", QVSAMasterCounterName(kind), text.c_str());
  } else {
    Log(MasterAgent::kProgram, "%s: %s (and %llu more like it in the last 10 s)", QVSAMasterCounterName(kind),
        text.c_str(), static_cast<unsigned long long>(others));
  }
}

MasterAgent::MasterAgent() : m_config(ConfigKeys()) {}

MasterAgent::~MasterAgent() = default;

std::string MasterAgent::Usage() {
  return std::string("Usage: ") + kProgram +
         " [-c FILE] [-t] [--check-config] [--help] [--version]\n"
         "\n"
         "The master agent: owns the SNMP port and forwards every request under a subtree\n"
         "that a sub-agent registered to that sub-agent.\n"
         "\n"
         "Options:\n"
         "  -c, --config FILE  configuration file (default: ./qvt.conf if present, else built-in defaults)\n"
         "  -t, --trace        print the library's trace lines on standard error\n"
         "  --check-config     read the configuration as a start would, report every problem\n"
         "                     (one line each) and exit: 0 when it is usable, 2 when not;\n"
         "                     binds no port and leaves the state file alone\n"
         "  -h, --help         show this help and exit\n"
         "  -V, --version      show the version and exit\n"
         "\n"
         "Configuration keys (INI file):\n"
         "  [SAMaster]\n"
         "  Port=10001                    UDP port sub-agents talk to (2..65534)\n"
         "  ListenAddress=127.0.0.1       address of that port (0.0.0.0 or :: for every address)\n"
         "  AllowFrom=127.0.0.0/8, ::1    senders admitted: addresses and prefixes\n"
         "  RegisterAllow=                OID prefixes sub-agents may register under (empty: any)\n"
         "  AllowOverlap=no               may a sub-agent register in another host's subtree\n"
         "  MaxWait=5                     longest wait for one sub-agent answer, seconds\n"
         "  MaxRegistrations=10000  MaxRangeInstances=4096  MaxIndexAllocations=10000\n"
         "  MaxNotifyRate=20  IdleTimeout=60  MaxQueuedRequests=32\n"
         "                                limits per sub-agent session (see the README)\n"
         "  MaxSessions=256  MaxSessionsPerHost=64  MaxTotalRegistrations=100000\n"
         "  MaxTotalIndexAllocations=100000  MaxWaitingRequests=48\n"
         "                                limits for all sub-agents together (sessions also per host)\n"
         "  [Agent]\n"
         "  ListenAddress=127.0.0.1:1161  SNMP endpoint(s), comma separated\n"
         "  ReadCommunity=public          community for GET, GET-NEXT, GET-BULK\n"
         "  WriteCommunity=private        community that may also SET\n"
         "  TrapSink=                     [v1:|v2c:|v3:]host:port[,...]; empty: no traps sent\n"
         "  TrapCommunity=public          community of the v1/v2c traps sent\n"
         "  TrapUser=                     [User NAME] the v3 traps are sent as (needed for v3: sinks)\n"
         "  MaxMessageSize=1472           largest SNMP message sent, in octets\n"
         "  SysDescr=QVT master agent     sysDescr.0\n"
         "  SysContact=  SysName=  SysLocation=   sysContact.0, sysName.0, sysLocation.0\n"
         "  Versions=v1,v2c,v3            SNMP versions answered (others dropped, counted)\n"
         "  EngineID=                     SNMPv3 engine ID in hex (default: generated once, kept)\n"
         "  StateFile=                    engine ID and boots (default: qvt-master-agent.state\n"
         "                                beside the configuration file)\n"
         "  [User NAME]                   one SNMPv3 (USM) user per section\n"
         "  Auth=SHA                      MD5, SHA, SHA-224, SHA-256, SHA-384, SHA-512; empty: none\n"
         "  AuthPassword=  or AuthKey=    password (8 or more characters) or localized key in hex\n"
         "  Priv=                         AES, AES192, AES256; empty: none (DES is refused)\n"
         "  PrivPassword=  or PrivKey=    password (default: AuthPassword) or localized key in hex\n"
         "  Level=authNoPriv              lowest level accepted: noAuthNoPriv, authNoPriv, authPriv\n"
         "  Access=read                   read or write\n"
         "  View=1.3.6.1                  OID prefixes the user sees, comma separated\n"
         "\n"
         "Stops cleanly on SIGINT or SIGTERM; no reload (check the file, then restart). Under\n"
         "systemd (Type=notify) it reports ready on NOTIFY_SOCKET once both ports are bound.\n"
         "Exit status: 0 after a clean stop, 2 when the arguments or the configuration cannot\n"
         "be used. Packaged: /etc/qvt/master-agent.conf, qvt-master-agent.service; man qvt.conf.\n";
}

int MasterAgent::Fail(const std::string& message) {
  Log(kProgram, "%s", message.c_str());
  return kExitUsage;
}

bool MasterAgent::Error(const std::string& message) {
  Log(kProgram, "%s", message.c_str());
  ++m_errors;
  return !m_checkOnly;
}

void MasterAgent::Warn(const std::string& message) {
  Log(kProgram, "warning: %s", message.c_str());
  ++m_warnings;
}

int MasterAgent::Configure(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string error;
    const CommonOption common = TakeCommonOption(args, i, kProgram, Usage(), m_trace, m_configPath, error);
    if (common == CommonOption::kExit) return kExitOk;
    if (common == CommonOption::kError) return Fail(error);
    if (common != CommonOption::kNotCommon) continue;
    if (args[i] != "--check-config") return Fail("unknown argument '" + args[i] + "' (see --help)");
    m_checkOnly = true;
  }

  std::string error;
  if (!m_config.Load(m_configPath, error)) return Fail(error);
  for (const std::string& warning : m_config.Warnings()) Warn(warning);

  int port = 10001;
  if (!m_config.GetInt("SAMaster", "Port", 2, 65534, port, error) && Error(error)) return kExitUsage;
  if (m_config.Store() != nullptr) {
    // The master reads its own keys; asking it now names a bad one before
    // anything is bound.
    BString why;
    if (m_checkOnly) {
      CheckMasterSettings();
    } else if (!m_masterSettings.Read(*m_config.Store(), why)) {
      return Fail(WithKey(m_config, "SAMaster", why));
    }
  }
  // The master answers at once beyond MaxWaitingRequests requests waiting
  // for sub-agents; a few request threads more keep the agent's own
  // objects (and sub-agents that answer) served meanwhile.
  m_agentConfig.maxRequestThreads =
      std::max(m_agentConfig.requestThreads, m_masterSettings.maxWaitingRequests + kThreadsBeyondWaiting);

  std::string text;
  if (m_config.GetString("Agent", "ListenAddress", text)) m_agentConfig.listenAddresses = BString(text);
  if (m_config.GetString("Agent", "ReadCommunity", text)) m_agentConfig.readCommunity = BString(text);
  if (m_config.GetString("Agent", "WriteCommunity", text)) m_agentConfig.writeCommunity = BString(text);
  int maxMessageSize = static_cast<int>(m_agentConfig.maxMessageSize);
  if (!m_config.GetInt("Agent", "MaxMessageSize", static_cast<int>(BSnmpAgent::kMinMessageSize),
                       static_cast<int>(BSnmpAgent::kMaxMessageSize), maxMessageSize, error) &&
      Error(error)) {
    return kExitUsage;
  }
  m_agentConfig.maxMessageSize = static_cast<unsigned>(maxMessageSize);
  if (SplitList(m_agentConfig.listenAddresses.str()).empty()) {
    if (Error(m_config.Where("Agent", "ListenAddress") + ": no address to listen on")) return kExitUsage;
  } else if (m_checkOnly) {
    CheckListenAddresses();
  }
  if (m_agentConfig.readCommunity.empty() && m_agentConfig.writeCommunity.empty()) {
    Warn(m_config.Where("Agent", "ReadCommunity") + " and WriteCommunity are both empty: no request will be answered");
  }
  m_config.GetString("Agent", "TrapSink", m_trapSinks);
  m_config.GetString("Agent", "TrapCommunity", m_trapCommunity);
  if (m_checkOnly) {
    CheckTrapSinks();
  } else if (m_trapSender.Init(BString(m_trapSinks), BString(m_trapCommunity)) != 0) {
    return Fail(m_config.Where("Agent", "TrapSink") + ": " + WithoutKey(m_trapSender.ErrorText(), "TrapSink"));
  } else {
    m_hasV3Sink = m_trapSender.HasV3Sink();
  }

  if (const int status = ConfigureV3(); status >= 0) return status;

  BMib2System& system = m_mibHandler.Mib2System();
  system.SetTime(&m_time);
  text = "QVT master agent";
  m_config.GetString("Agent", "SysDescr", text);
  system.SetSysDescr(BString(text));
  if (m_config.GetString("Agent", "SysContact", text)) system.SetSysContact(BString(text));
  if (m_config.GetString("Agent", "SysName", text)) system.SetSysName(BString(text));
  if (m_config.GetString("Agent", "SysLocation", text)) system.SetSysLocation(BString(text));
  return m_checkOnly ? Check() : -1;
}

namespace {

std::string LowerText(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

bool ParseHex(const std::string& text, std::vector<unsigned char>& out) {
  std::string hex = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text.substr(2) : text;
  std::erase_if(hex, [](char c) { return c == ' ' || c == ':'; });
  if (hex.empty() || hex.size() % 2 != 0) return false;
  out.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    if (!std::isxdigit(static_cast<unsigned char>(hex[i])) || !std::isxdigit(static_cast<unsigned char>(hex[i + 1]))) {
      return false;
    }
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return true;
}

// One key of one section of a store, and nothing else: the library's
// reader of [SAMaster] stops at the first bad value, so the check hands it
// the keys one at a time to hear about each.
class OneKeyStore : public INonVolatile {
 public:
  OneKeyStore(INonVolatile& store, std::string section, std::string key)
      : m_store(store), m_section(std::move(section)), m_key(std::move(key)) {}
  int GetString(const char* section, const char* key, BString& value, int reserved) override {
    return Holds(section, key) ? m_store.GetString(section, key, value, reserved) : NV_ERR_NOT_FOUND;
  }
  int GetInt(const char* section, const char* key, int* value, int reserved) override {
    return Holds(section, key) ? m_store.GetInt(section, key, value, reserved) : NV_ERR_NOT_FOUND;
  }
  int SetString(const char*, const char*, const char*, int, int) override { return NV_ERR_IO; }
  int SetInt(const char*, const char*, int, int, int, int) override { return NV_ERR_IO; }

 private:
  bool Holds(const char* section, const char* key) const {
    return LowerText(section) == LowerText(m_section) && LowerText(key) == LowerText(m_key);
  }
  INonVolatile& m_store;
  std::string m_section, m_key;
};

// The engine state of a check: the file is read as at a start and the new
// state written to a temporary file beside it, which is then removed
// instead of put in the file's place. A state file that a start would
// refuse, or a folder it could not write, is found; both stay as they were.
class TrialEngineState : public BSnmpEngineState {
 public:
  using BSnmpEngineState::BSnmpEngineState;

 protected:
  int ReplaceFile(const std::string& temporary, const std::string& /*target*/) override {
    return ::unlink(temporary.c_str());
  }
};

// The engine ID the users' keys are tried with when the state file cannot
// give one: the form of a generated ID; the key checks do not depend on it.
const std::vector<unsigned char> kStandInEngineId = {0x80, 0x00, 0x7E, 0xD9, 0x05, 0, 0, 0, 0, 0, 0, 0, 1};

}  // namespace

void MasterAgent::CheckMasterSettings() {
  std::set<std::string> done;
  for (const std::string& key : m_config.Store()->Keys("SAMaster")) {
    if (!done.insert(LowerText(key)).second) continue;
    OneKeyStore one(*m_config.Store(), "SAMaster", key);
    BSAMasterSettings settings;
    BString why;
    if (settings.Read(one, why)) {
      (void)m_masterSettings.Read(one, why);  // the good values count, as at a start
    } else {
      Error(WithKey(m_config, "SAMaster", why));
    }
  }
}

void MasterAgent::CheckListenAddresses() {
  for (const std::string& text : SplitList(m_agentConfig.listenAddresses.str())) {
    BAddress address;
    if (QVResolveAddress(BString(text), address) == 0) {
      Error(m_config.Where("Agent", "ListenAddress") + ": cannot resolve '" + text + "'");
    }
  }
}

void MasterAgent::CheckTrapSinks() {
  // What the sender's Init reads, without the sockets it opens.
  std::vector<BSnmpTrapSink> sinks;
  std::vector<std::string> errors;
  BSnmpTrapSender::ParseSinks(BString(m_trapSinks), sinks, errors);
  for (const std::string& error : errors) Error(m_config.Where("Agent", "TrapSink") + ": " + error);
  for (const BSnmpTrapSink& sink : sinks) m_hasV3Sink = m_hasV3Sink || sink.version == SNMP_VERSION_3;
}

int MasterAgent::ConfigureV3() {
  std::string text = "v1,v2c,v3";
  m_config.GetString("Agent", "Versions", text);
  m_agentConfig.enableV1 = m_agentConfig.enableV2c = m_agentConfig.enableV3 = false;
  bool badVersion = false;
  for (const std::string& version : SplitList(text)) {
    const std::string v = LowerText(version);
    if (v == "v1") {
      m_agentConfig.enableV1 = true;
    } else if (v == "v2c") {
      m_agentConfig.enableV2c = true;
    } else if (v == "v3") {
      m_agentConfig.enableV3 = true;
    } else {
      badVersion = true;
      if (Error(m_config.Where("Agent", "Versions") + ": '" + version + "' is none of v1, v2c, v3")) return kExitUsage;
    }
  }
  if (!badVersion && !m_agentConfig.enableV1 && !m_agentConfig.enableV2c && !m_agentConfig.enableV3 &&
      Error(m_config.Where("Agent", "Versions") + ": no version given")) {
    return kExitUsage;
  }
  if (m_config.GetString("Agent", "EngineID", m_engineIdText)) {
    std::vector<unsigned char> id;
    if (!BSnmpEngineState::ParseEngineId(m_engineIdText, id)) {
      if (Error(m_config.Where("Agent", "EngineID") + ": '" + m_engineIdText +
                "' is no hex engine ID of 5 to 32 octets")) {
        return kExitUsage;
      }
      m_engineIdText.clear();  // told once: the check's engine state goes on without it
    }
  }
  std::string stateFile;
  if (!m_config.GetString("Agent", "StateFile", stateFile) || stateFile.empty()) {
    const std::filesystem::path config(m_config.Path());
    stateFile = (m_config.Path().empty() ? std::filesystem::path(".") : config.parent_path() / ".").string();
    stateFile = (std::filesystem::path(stateFile).parent_path() / "qvt-master-agent.state").string();
  }
  if (m_checkOnly) {
    m_engineState = std::make_unique<TrialEngineState>(stateFile);
  } else {
    m_engineState = std::make_unique<BSnmpEngineState>(stateFile);
  }

  bool passwords = false;
  std::vector<std::string> names;  // of every [User NAME] section, usable or not
  if (m_config.Store() != nullptr) {
    for (const std::string& section : m_config.Store()->Sections()) {
      if (LowerText(section).rfind("user ", 0) != 0) continue;
      UserSection user;
      user.section = section;
      const size_t first = section.find_first_not_of(' ', 5);
      user.name = first == std::string::npos ? std::string() : section.substr(first);
      const char* s = section.c_str();
      if (user.name.empty() || user.name.size() > BSnmpV3Message::kMaxUserNameLength) {
        if (Error(m_config.Path() + ": [" + section + "]: a user name of 1 to 32 characters is needed")) return kExitUsage;
        continue;
      }
      // A value that cannot be read is one problem: the checks that build
      // on it are left out rather than reported as more.
      bool usable = true;
      const auto bad = [&](const char* key, const std::string& why) {
        usable = false;
        return Error(m_config.Where(s, key) + ": " + why);
      };
      std::string error;
      if (m_config.GetString(s, "Auth", text) && !text.empty() &&
          QVUsmParseAuthProtocol(text, user.auth, &error) != USM_OK && bad("Auth", error)) {
        return kExitUsage;
      }
      if (m_config.GetString(s, "Priv", text) && !text.empty() &&
          QVUsmParsePrivProtocol(text, user.priv, &error) != USM_OK && bad("Priv", error)) {
        return kExitUsage;
      }
      const bool hasAuthPassword = m_config.GetString(s, "AuthPassword", user.authPassword);
      const bool hasPrivPassword = m_config.GetString(s, "PrivPassword", user.privPassword);
      passwords = passwords || hasAuthPassword || hasPrivPassword;
      if (m_config.GetString(s, "AuthKey", text) && !ParseHex(text, user.authKey) && bad("AuthKey", "not a hex key")) {
        return kExitUsage;
      }
      if (m_config.GetString(s, "PrivKey", text) && !ParseHex(text, user.privKey) && bad("PrivKey", "not a hex key")) {
        return kExitUsage;
      }
      const bool read = usable;
      if (read) {
        const char* key = nullptr;
        std::string why;
        if (user.auth != USM_AUTH_NONE && user.authPassword.empty() && user.authKey.empty()) {
          key = "Auth", why = "AuthPassword or AuthKey is needed";
        } else if (user.auth != USM_AUTH_NONE && !user.authPassword.empty() && !user.authKey.empty()) {
          key = "AuthKey", why = "give AuthPassword or AuthKey, not both";
        } else if (user.auth != USM_AUTH_NONE && !user.authPassword.empty() && user.authPassword.size() < 8) {
          key = "AuthPassword", why = "fewer than 8 characters";
        } else if (user.priv != USM_PRIV_NONE && user.auth == USM_AUTH_NONE) {
          key = "Priv", why = "privacy needs Auth";
        } else if (user.priv != USM_PRIV_NONE && !user.authKey.empty() && user.privKey.empty()) {
          key = "Priv", why = "with AuthKey, PrivKey is needed";
        } else if (user.priv != USM_PRIV_NONE && !user.privPassword.empty() && user.privPassword.size() < 8) {
          key = "PrivPassword", why = "fewer than 8 characters";
        }
        if (key != nullptr && bad(key, why)) return kExitUsage;
      }
      text = user.priv != USM_PRIV_NONE ? "authPriv" : user.auth != USM_AUTH_NONE ? "authNoPriv" : "noAuthNoPriv";
      m_config.GetString(s, "Level", text);
      const std::string level = LowerText(text);
      user.level = level == "noauthnopriv" ? SNMP_SEC_NO_AUTH_NO_PRIV
                   : level == "authnopriv" ? SNMP_SEC_AUTH_NO_PRIV
                   : level == "authpriv"   ? SNMP_SEC_AUTH_PRIV
                                           : 0;
      if (user.level == 0) {
        if (bad("Level", "'" + text + "' is none of noAuthNoPriv, authNoPriv, authPriv")) return kExitUsage;
      } else if (read) {
        const int most = user.priv != USM_PRIV_NONE ? SNMP_SEC_AUTH_PRIV
                         : user.auth != USM_AUTH_NONE ? SNMP_SEC_AUTH_NO_PRIV
                                                      : SNMP_SEC_NO_AUTH_NO_PRIV;
        if (user.level > most && bad("Level", "'" + text + "' needs more than Auth and Priv give")) return kExitUsage;
      }
      text = "read";
      m_config.GetString(s, "Access", text);
      if (LowerText(text) != "read" && LowerText(text) != "write" &&
          bad("Access", "'" + text + "' is neither read nor write")) {
        return kExitUsage;
      }
      user.write = LowerText(text) == "write";
      text = "1.3.6.1";
      m_config.GetString(s, "View", text);
      for (std::string prefix : SplitList(text)) {
        if (!prefix.empty() && prefix[0] == '.') prefix.erase(0, 1);
        BObjectIdentifier oid;
        if (!oid.Parse(prefix.c_str()) || oid.Length() == 0) {
          if (bad("View", "'" + prefix + "' is no OID")) return kExitUsage;
          continue;
        }
        user.view.push_back(oid);
      }
      if (std::find(names.begin(), names.end(), user.name) != names.end()) {
        if (Error(m_config.Path() + ": [" + section + "]: user '" + user.name + "' is defined twice")) return kExitUsage;
        continue;
      }
      names.push_back(user.name);
      if (usable) m_users.push_back(std::move(user));
    }
  }
  if (names.empty() && m_agentConfig.enableV3 && !m_agentConfig.enableV1 && !m_agentConfig.enableV2c) {
    Warn(m_config.Where("Agent", "Versions") + ": only v3 is answered and no [User] section names a user: " +
         "no request will be answered");
  }
  m_config.GetString("Agent", "TrapUser", m_trapUser);
  if (!m_trapUser.empty() && std::find(names.begin(), names.end(), m_trapUser) == names.end() &&
      Error(m_config.Where("Agent", "TrapUser") + ": no [User " + m_trapUser + "] section")) {
    return kExitUsage;
  }
  if (m_trapUser.empty() && m_hasV3Sink &&
      Error(m_config.Where("Agent", "TrapUser") + ": needed for the v3: sink(s) of TrapSink")) {
    return kExitUsage;
  }
  // The passwords may be read by the file's group only when that is the
  // master's own group, or a group no account is a member of besides
  // the ones it is the primary group of: a service's private group, as
  // the package makes (640, root and the service's group), which root's
  // own check then accepts as well.
  struct stat info {};
  const auto privateGroup = [](gid_t gid) {
    if (gid == ::getegid()) return true;
    const group* entry = ::getgrgid(gid);
    return entry != nullptr && (entry->gr_mem == nullptr || entry->gr_mem[0] == nullptr);
  };
  if (passwords && ::stat(m_config.Path().c_str(), &info) == 0 &&
      ((info.st_mode & 007) != 0 || ((info.st_mode & 070) != 0 && !privateGroup(info.st_gid)))) {
    Warn(m_config.Path() + " holds SNMPv3 passwords and may be read by others (chmod 600, or 640 in the master's group)");
  }
  return -1;
}

int MasterAgent::BuildUsers(const std::vector<unsigned char>& engineId) {
  for (const UserSection& section : m_users) {
    BSnmpV3User user;
    user.name = BString(section.name);
    if (section.auth != USM_AUTH_NONE) {
      std::shared_ptr<BUsmUserKeys> keys;
      if (!section.authKey.empty()) {
        keys = std::make_shared<BUsmUserKeys>(section.auth, std::span<const unsigned char>(section.authKey), section.priv,
                                              std::span<const unsigned char>(section.privKey));
      } else {
        keys = std::make_shared<BUsmUserKeys>(section.auth, section.authPassword, section.priv, section.privPassword,
                                              engineId);
      }
      if (keys->Status() != USM_OK) {
        const char* key = section.authKey.empty() ? "AuthPassword" : "AuthKey";
        if (Error(m_config.Where(section.section.c_str(), key) + ": " + QVUsmStatusText(keys->Status()))) {
          return kExitUsage;
        }
        continue;
      }
      user.keys = std::move(keys);
    }
    user.minLevel = section.level;
    user.write = section.write;
    user.view = section.view;
    if (section.name == m_trapUser) {
      // Traps go out at the user's Level, with the keys localized to this
      // engine's ID: the sending engine is the authoritative one.
      BSnmpTrapV3User trapUser;
      trapUser.name = user.name;
      trapUser.level = section.level;
      trapUser.keys = user.keys;
      trapUser.engine = m_engineState.get();
      m_trapSender.SetV3User(std::move(trapUser));
    }
    m_agentConfig.users.push_back(std::move(user));
  }
  return -1;
}

int MasterAgent::Check() {
  std::string stateError;
  const bool stateRead = m_engineState->Start(m_engineIdText, &stateError) == ENGINE_STATE_OK;
  if (!stateRead) Error(stateError);
  (void)BuildUsers(stateRead ? m_engineState->EngineId() : kStandInEngineId);
  const std::string file = m_config.Path().empty() ? std::string("built-in defaults") : m_config.Path();
  if (m_errors > 0) {
    Log(kProgram, "%s: %zu error(s), %zu warning(s): the master would not start", file.c_str(), m_errors, m_warnings);
    return kExitUsage;
  }
  Log(kProgram, "%s: usable, %zu warning(s)", file.c_str(), m_warnings);
  return kExitOk;
}

int MasterAgent::Run(TEvent& stop) {
  if (m_trace && !m_tracePrinter.Start()) Log(kProgram, "warning: cannot subscribe to the trace channel");

  // The boot is counted and on disk before any SNMP message is answered.
  std::string stateError;
  if (m_engineState->Start(m_engineIdText, &stateError) != ENGINE_STATE_OK) return Fail(stateError);
  if (const int status = BuildUsers(m_engineState->EngineId()); status >= 0) return status;
  m_agentConfig.engineState = m_engineState.get();

  m_master = std::make_unique<BSAMaster>(&m_mibHandler, &m_time);
  const int status = m_master->Init(m_config.Store());
  if (status == SA_ERR_BAD_VALUE) return Fail(WithKey(m_config, "SAMaster", m_master->ConfigError()));
  if (status != 0) {
    const int errorNumber = status - SA_ERR_SOCKET_BASE;
    const bool socketError = errorNumber > 0 && errorNumber < 4096;
    return Fail("cannot open UDP port " + std::to_string(m_master->Port()) + " on " +
                m_master->Settings().listenAddress.str() +
                " for sub-agents: " + (socketError ? std::strerror(errorNumber) : SubAgentStatusText(status)));
  }
  // Before any sub-agent can register: the module is the master's alone.
  m_masterMib = std::make_unique<MasterMib>(*m_master);
  if (!m_masterMib->Install(m_mibHandler)) return Fail("cannot serve QVT-MASTER-MIB: its OIDs are taken");

  m_snmpAgent = std::make_unique<BSnmpAgent>(m_mibHandler, m_agentConfig);
  if (m_snmpAgent->Start() != 0) {
    m_masterMib.reset();
    m_master.reset();
    return Fail(m_config.Where("Agent", "ListenAddress") + ": " +
                WithoutKey(m_snmpAgent->ErrorText(), "ListenAddress"));
  }
  m_mibHandler.RegisterSubtreeHandler(&m_snmpAgent->SnmpGroupHandler());
  for (BMibSubtreeHandler* handler : m_snmpAgent->EngineHandlers()) m_mibHandler.RegisterSubtreeHandler(handler);
  m_snmpAgent->SetTrapSender(&m_trapSender);
  m_master->SetTrapSender(&m_trapLogger);
  m_master->SetEventListener(&m_sessionLogger);
  m_master->Start();

  std::string listening;
  for (const BAddress& address : m_snmpAgent->LocalAddresses()) {
    listening += (listening.empty() ? "" : ", ") + QVAddressToString(address).str();
  }
  Log(kProgram, "SNMP agent on %s; sub-agents on %s (admitted: %s); %zu trap sink(s)", listening.c_str(),
      QVAddressToString(m_master->ListenAddress()).c_str(), m_master->Settings().allowFrom.ToString().c_str(),
      m_trapSender.Sinks().size());
  Log(kProgram, "SNMPv3 engine %s, boots %u, %zu user(s)",
      BSnmpEngineState::EngineIdToHex(m_engineState->EngineId()).c_str(),
      static_cast<unsigned>(m_engineState->EngineBoots()), m_agentConfig.users.size());
  // Started as a notify service, the unit counts as up only now: both
  // ports are bound and the boot is on disk, so whatever is ordered after
  // it (sub-agents, managers' checks) finds it answering.
  std::string notifyError;
  if (!NotifyServiceManager("READY=1\nSTATUS=SNMP agent on " + listening, notifyError)) {
    Log(kProgram, "warning: %s", notifyError.c_str());
  }

  stop.Wait(kWaitForever);
  Log(kProgram, "stopping");
  (void)NotifyServiceManager("STOPPING=1", notifyError);
  // The master first: it ends every wait for a sub-agent at once, so that
  // the SNMP request threads are free to stop whatever the sub-agents do;
  // requests that still reach a proxy fail at once. Then the managers.
  m_master->Stop();
  m_snmpAgent->Stop();
  m_masterMib.reset();
  m_master.reset();
  m_mibHandler.UnregisterSubtreeHandler(&m_snmpAgent->SnmpGroupHandler());
  for (BMibSubtreeHandler* handler : m_snmpAgent->EngineHandlers()) m_mibHandler.UnregisterSubtreeHandler(handler);
  m_snmpAgent.reset();
  Log(kProgram, "stopped");
  return kExitOk;
}

}  // namespace QVT::app
