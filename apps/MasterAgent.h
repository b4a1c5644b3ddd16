// MasterAgent: the qvt-master-agent program as a class. It reads the
// configuration, builds the agent's MIB (the system group with sysORTable,
// the snmp group and QVT-MASTER-MIB), answers SNMP managers through the SNMP front-end
// (BSnmpAgent), runs the sub-agent master (BSAMaster) on its port, and sends
// every notification a sub-agent forwards to the trap sinks (logging it and
// every sub-agent session that opens or closes).
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "BMibHandler.h"
#include "BSAMaster.h"
#include "BSnmpAgent.h"
#include "BSnmpEngineState.h"
#include "BSnmpTrapSender.h"
#include "BTime.h"
#include "BTrap.h"
#include "ISAMasterEvents.h"
#include "MasterMib.h"
#include "ProgramSupport.h"
#include "TEvent.h"

namespace QVT::app {

// Logs each forwarded notification (its OID and varbinds as text), at most
// kLoggedPerSecond a second, and hands it on to the next sender, if any.
// Called on the master's worker thread only.
class LoggingTrapSender : public ITrapSender {
 public:
  static constexpr int kLoggedPerSecond = 10;

  explicit LoggingTrapSender(ITrapSender* next = nullptr) : m_pNext(next) {}
  int SendTrap(const BTrap& trap, const char* arg) override;

 private:
  ITrapSender* m_pNext;
  LineRateLimit m_lines{kLoggedPerSecond};
};

// Logs the sub-agent sessions the master opens and closes (at most
// kLoggedPerSecond lines a second: sub-agents that come and go in a loop
// must not flood the log), why a session ended (a sub-agent that stopped
// answering is worth a line), and what the master refused, as the master
// reports it: at most one line per kind of refusal every ten seconds.
class SessionLogger : public ISAMasterEvents {
 public:
  static constexpr int kLoggedPerSecond = 10;

  void OnSessionOpened(const BSASession& session) override;
  void OnSessionClosed(const BSASession& session, ECloseReason reason, int subtrees) override;
  void OnRefusal(ESAMasterCounter kind, const BString& text, uint64_t others) override;

 private:
  // Whether a session line may be written now (telling first how many
  // were held back).
  bool TakeLine();

  LineRateLimit m_lines{kLoggedPerSecond};
};

class MasterAgent {
 public:
  static constexpr const char* kProgram = "qvt-master-agent";
  // SNMP request threads beyond those that may wait for sub-agents.
  static constexpr int kThreadsBeyondWaiting = 16;

  MasterAgent();
  ~MasterAgent();

  // Reads the command line and the configuration. Returns -1 to go on, or
  // the exit status to end with (after --help, --version, or a one-line
  // error on standard error for an unusable argument or configuration).
  // With --check-config it reports every problem of the configuration, one
  // line each, including those a start finds only when it opens the ports,
  // the state file and the users' keys, and returns 0 (usable, warnings
  // allowed) or 2; nothing is bound, written or started.
  int Configure(const std::vector<std::string>& args);
  // Serves until `stop` is set; returns the exit status.
  int Run(TEvent& stop);

  static std::string Usage();
  // The sections and keys the program reads (lower case; "user *" stands
  // for every [User NAME]); any other key is warned about.
  static Configuration::KeySet ConfigKeys();

 private:
  int Fail(const std::string& message);
  // Logs a problem of the configuration. True when the start ends here;
  // false in check mode, where the problem is counted and the reading goes
  // on (with the default in place of the bad value).
  bool Error(const std::string& message);
  void Warn(const std::string& message);
  // [Agent] Versions, EngineID, StateFile and the [User NAME] sections.
  int ConfigureV3();
  // Localizes the users' keys to `engineId` (once, at start).
  int BuildUsers(const std::vector<unsigned char>& engineId);
  // Check mode: the [SAMaster] keys one by one (the library stops at the
  // first bad one), the SNMP listening addresses and the trap sinks as
  // text, without opening a socket.
  void CheckMasterSettings();
  void CheckListenAddresses();
  void CheckTrapSinks();
  // Check mode, after Configure has read everything: the state file and
  // the users' keys as a start makes them; the exit status.
  int Check();

  // A [User NAME] section as read; the keys are made at start, when the
  // engine ID is known.
  struct UserSection {
    std::string section;
    std::string name;
    EUsmAuthProtocol auth = USM_AUTH_NONE;
    EUsmPrivProtocol priv = USM_PRIV_NONE;
    std::string authPassword, privPassword;
    std::vector<unsigned char> authKey, privKey;
    int level = SNMP_SEC_AUTH_NO_PRIV;
    bool write = false;
    std::vector<BObjectIdentifier> view;
  };

  std::string m_configPath;
  bool m_trace = false;
  bool m_checkOnly = false;  // --check-config
  size_t m_errors = 0;       // problems found in check mode
  size_t m_warnings = 0;
  bool m_hasV3Sink = false;  // a TrapSink is written "v3:"
  Configuration m_config;
  TracePrinter m_tracePrinter{kProgram};
  BTime m_time;
  BMibHandler m_mibHandler;
  BSnmpAgentConfig m_agentConfig;
  BSAMasterSettings m_masterSettings;  // as read, for the agent's thread count
  std::string m_trapSinks;
  std::string m_trapCommunity = "public";
  std::string m_trapUser;
  BSnmpTrapSender m_trapSender{&m_time};
  LoggingTrapSender m_trapLogger{&m_trapSender};
  SessionLogger m_sessionLogger;
  std::string m_engineIdText;
  std::unique_ptr<BSnmpEngineState> m_engineState;
  std::vector<UserSection> m_users;
  std::unique_ptr<BSnmpAgent> m_snmpAgent;
  std::unique_ptr<BSAMaster> m_master;
  std::unique_ptr<MasterMib> m_masterMib;  // over m_master: goes first
};

}  // namespace QVT::app
