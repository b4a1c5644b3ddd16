// What the master's component tests share: a peer class that reads the
// master's private state, a MIB handler that records (and can refuse)
// registrations, a trace recorder, a scripted sub-agent that talks raw PDUs
// over loopback UDP, and a fixture that runs a BSAMaster on a free port.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "BMibHandler.h"
#include "BSABuffer.h"
#include "BSAMaster.h"
#include "BSAMibSubtreeHandler.h"
#include "BSAPdu.h"
#include "BSASocket.h"
#include "ManualClock.h"
#include "QVSubAgTrace.h"

namespace QVT {

// Test-only access to the master's private state. Every read of the
// handler list takes the MIB handler's lock for reading, the lock the
// master changes the list under.
class BSAMasterPeer {
 public:
  static int HandlerCount(BSAMaster& master);
  // The OID of every proxy handler, in registration order, with its type
  // and session id: "1.3.6.1.3.7.1/47/2".
  static std::vector<std::string> Handlers(BSAMaster& master);
  static int SessionCount(BSAMaster& master);
  static void SetMonitorInterval(BSAMaster& master, unsigned ms) { master.m_sessMonThread.m_interval = ms; }
  static void SetLastRequestId(BSAMaster& master, unsigned id) { master.m_lastRequestId = id; }
  static void CheckSessions(BSAMaster& master) { master.CheckSessions(); }
  static BSAMaster::Indices& Indices(BSAMaster& master) { return master.m_indices; }
};

namespace test {

// Collects the library's trace lines (without the "[SUBAG] " prefix).
class TraceRecorder : public IMessageSubscriber {
 public:
  TraceRecorder();
  ~TraceRecorder() override;
  void OnMessage(const BMessage& message) override;
  // Lines that contain `text`.
  int Count(const std::string& text) const;
  // Waits up to `ms` for a line containing `text`; true when one came.
  bool WaitFor(const std::string& text, int ms = 3000);
  void Clear();

 private:
  mutable std::mutex m_lock;  // guards m_lines
  std::condition_variable m_added;
  std::vector<std::string> m_lines;
};

// The agent's MIB handler, recording the OIDs the master unregisters and
// refusing registrations or unregistrations when told to.
class RecordingMibHandler : public BMibHandler {
 public:
  int RegisterSubtreeHandler(BMibSubtreeHandler* handler) override;
  int UnregisterSubtreeHandler(BMibSubtreeHandler* handler) override;
  std::vector<std::string> Unregistered() const;

  std::atomic<bool> refuseRegister{false};
  std::atomic<bool> refuseUnregister{false};

 private:
  mutable std::mutex m_lock;  // guards m_unregistered
  std::vector<std::string> m_unregistered;
};

// Value builders.
BObjectSyntax Int(int value);
BObjectSyntax Text(const std::string& text);
BObjectSyntax OidValue(const char* dotted);
BObjectSyntax Exception(ESnmpException exception);

// Request PDUs as a sub-agent builds them (names from BSAOIDs).
BSAPdu OpenPdu(const char* description, std::optional<int> timeout);
// registerSubtree or unregisterSubtree; `range` adds the position and upper
// bound varbinds (and `extra` a fourth varbind without a fifth).
BSAPdu RegisterPdu(ESAPduType type, unsigned session, const char* name, const char* oid,
                   std::vector<uint32_t> range = {});
// A RESPONSE to `request` carrying `varbinds`.
BSAPdu AnswerTo(const BSAPdu& request, const BVarBindList& varbinds, int errorStatus = 0, int errorIndex = 0);

// A sub-agent played by the test: an openSession from its responder
// socket, requests from a second socket, and a responder thread that
// answers the master's requests by a script.
class ScriptedSubAgent {
 public:
  static constexpr int kNoAnswer = -100000;

  // What a script may send while answering one request.
  class Replier {
   public:
    Replier(ScriptedSubAgent& agent, const BAddress& to) : m_agent(agent), m_to(to) {}
    void Send(BSAPdu pdu);           // from the responder socket
    void SendFromOther(BSAPdu pdu);  // from another socket of this host
    void SendRaw(const std::vector<unsigned char>& octets);

   private:
    ScriptedSubAgent& m_agent;
    BAddress m_to;
  };
  // Runs on the responder thread for every request the master sends.
  using Script = std::function<void(const BSAPdu& request, Replier& reply)>;

  explicit ScriptedSubAgent(unsigned short masterPort);
  ~ScriptedSubAgent();

  // Opens a session as a sub-agent does, waiting up to `waitMs` for the
  // answer; its errorStatus, or kNoAnswer. SessionId() is then the id the
  // master gave.
  int Open(const char* description = "scripted", std::optional<int> timeout = 1, int waitMs = 3000);
  unsigned SessionId() const { return m_sessionId; }
  // Sends `request` from the request socket (a request id is drawn when it
  // has none) and waits for the RESPONSE with its request id; the answer's
  // errorStatus, or kNoAnswer.
  int Ask(BSAPdu request, BSAPdu* response = nullptr);
  int Register(const char* oid, std::vector<uint32_t> range = {}, const char* name = "scripted");
  int Unregister(const char* oid, std::vector<uint32_t> range = {});
  int Ping(unsigned sessionId);
  void SendRaw(const std::vector<unsigned char>& octets);
  // A datagram that arrives on the request socket within `ms`, decoded.
  bool NextDatagram(BSAPdu& pdu, int ms);

  // Starts answering the master's requests with `script`.
  void Serve(Script script);
  // The requests the master sent so far, in order.
  std::vector<BSAPdu> Received() const;

 private:
  void Respond();
  void SendPdu(BSASocket& socket, BSAPdu& pdu, const BAddress& to);

  BAddrINet m_master;
  BSASocket m_responder{2048, 0};
  BSASocket m_requester{2048, 0};
  BSASocket m_other{2048, 0};
  std::mutex m_sendLock;  // guards the sockets' sends; taken alone
  unsigned m_sessionId = 0;
  unsigned m_lastRequestId = 0x5000;
  Script m_script;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
  mutable std::mutex m_lock;  // guards m_received
  std::vector<BSAPdu> m_received;
};

// A script that serves `instances` the way a sub-agent's MIB handler does:
// GET from the map (noSuchInstance otherwise), GET-NEXT with the first
// instance after the name (endOfMibView past the last), SET phases noError.
ScriptedSubAgent::Script ServeInstances(std::map<std::string, int> instances);

// A BSAMaster on a free loopback port, started, with a manual clock, a
// recording MIB handler and the trace channel recorded. The session
// monitor is slowed down so that tests run CheckSessions themselves.
class MasterTest : public ::testing::Test {
 protected:
  static constexpr unsigned kUpTime = 4242;

  void SetUp() override;
  void TearDown() override;

  std::unique_ptr<ScriptedSubAgent> NewSubAgent(std::optional<int> timeout = 1);
  // sysORTable rows read through the MIB handler: "OID=description".
  std::vector<std::string> SysORRows();
  // GET or GET-NEXT through the agent's MIB handler with transaction id
  // `tid`: the status, the error index and the list.
  int Query(int code, std::vector<const char*> names, BVarBindList& list, int& errorIndex, int tid = 7001);

  ManualClock m_clock{kUpTime};
  RecordingMibHandler m_mib;
  TraceRecorder m_trace;
  std::unique_ptr<BSAMaster> m_master;
  unsigned short m_port = 0;
};

// "1.3.6.1.3.7.1.1.0=5" for each varbind (exceptions by name).
std::vector<std::string> Texts(const BVarBindList& list);

}  // namespace test
}  // namespace QVT
