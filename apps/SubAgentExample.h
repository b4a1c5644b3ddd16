// SubAgentExample: the qvt-subagent-example program as a class. It opens a
// session with the master, announces ExampleMib, serves it, and survives a
// master restart: when the master answers a ping with notOpen, or pings
// keep timing out, it opens a new session and registers everything again,
// retrying with a capped back-off.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <QVT/BSASubAgent.h>
#include <QVT/TEvent.h>

#include "ExampleMib.h"
#include "ProgramSupport.h"

namespace QVT::app {

// What the library's keeper tells the example: logged, one line each.
class SessionLog : public ISASessionEvents {
 public:
  void OnSessionLost(const char* reason) override;
  void OnSessionBack(unsigned int sessionId) override;
  void OnRegistrationRefused(unsigned int sessionId, const BObjectIdentifier& subtree, int status) override;
  // The master's address, for the log lines.
  std::string master;

 private:
  // Refusals since the session came back; the first few are logged one by
  // one, the rest counted (a master short of quota may refuse thousands).
  int m_refused = 0;
};

class SubAgentExample {
 public:
  static constexpr const char* kProgram = "qvt-subagent-example";

  SubAgentExample();
  ~SubAgentExample();

  // Reads the command line and the configuration; -1 to go on, else the exit
  // status (after --help, --version, or a one-line error).
  int Configure(const std::vector<std::string>& args);
  // Serves until `stop` is set; returns the exit status.
  int Run(TEvent& stop);

  static std::string Usage();

 private:
  int Fail(const std::string& message);

  std::string m_configPath;
  std::string m_description = "QVT example sub-agent";
  int m_firstRow = 1;
  int m_lastRow = 10;
  bool m_withScalars = true;
  bool m_trace = false;
  Configuration m_config;
  BMemoryStore m_settings;  // what the library reads: defaults and the file's values
  TracePrinter m_tracePrinter{kProgram};
  SessionLog m_sessionLog;  // outlives m_subAgent, whose keeper calls it
  BSASubAgent m_subAgent;
  std::unique_ptr<ExampleMib> m_mib;
};

}  // namespace QVT::app
