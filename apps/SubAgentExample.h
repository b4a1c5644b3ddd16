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

#include "BSASubAgent.h"
#include "ExampleMib.h"
#include "ProgramSupport.h"
#include "TEvent.h"

namespace QVT::app {

// The sub-agent with the two ping hooks turned into a reconnect request.
class ReconnectingSubAgent : public BSASubAgent {
 public:
  // Consecutive ping time-outs after which the master counts as gone.
  static constexpr int kTimeoutsBeforeReconnect = 2;

  // The pinger calls the hooks below until it is stopped, so it stops before
  // the members they use are gone.
  ~ReconnectingSubAgent() override { Stop(); }
  void OnPingResponse(int upTime) override;
  void OnPingTimeout(int value) override;

  TEvent& ReconnectRequested() { return m_reconnect; }
  // A new session is open: what the pings reported until now concerned the
  // session it replaced (or none) and must not start another reconnect.
  void SessionOpened();
  // Why the last reconnect was requested ("the master does not know our
  // session" or "the master does not answer pings").
  const char* Reason() const { return m_reason.load(); }

 private:
  TEvent m_reconnect;
  std::atomic<int> m_timeoutsInARow{0};
  std::atomic<const char*> m_reason{""};
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
  // Opens a session and announces the MIB, retrying with back-off until it
  // works or `stop` is set. False when stopped first.
  bool Connect(TEvent& stop);
  // Closes the session and forgets it; one whose close got no answer is
  // remembered and closed before the next open.
  void DropSession();

  std::string m_configPath;
  std::string m_description = "QVT example sub-agent";
  int m_firstRow = 1;
  int m_lastRow = 10;
  bool m_withScalars = true;
  bool m_trace = false;
  Configuration m_config;
  BMemoryStore m_settings;  // what the library reads: defaults and the file's values
  TracePrinter m_tracePrinter{kProgram};
  ReconnectingSubAgent m_subAgent;
  std::unique_ptr<ExampleMib> m_mib;
  unsigned int m_staleSession = 0;
};

}  // namespace QVT::app
