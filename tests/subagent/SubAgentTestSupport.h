// What the sub-agent's component tests share: a peer class that reads the
// sub-agent's private state, a scripted master that talks raw PDUs over
// loopback UDP, a sub-agent that records its ping hooks, and a fixture that
// runs a BSASubAgent against the scripted master.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "BMemoryStore.h"
#include "BMessageDispatcher.h"
#include "BSAPdu.h"
#include "BSASocket.h"
#include "BSASubAgent.h"

namespace QVT {

// Test-only access to the sub-agent's private state.
class BSASubAgentPeer {
 public:
  static int MasterTimeout(const BSASubAgent& s) { return s.m_masterTimeout; }
  static int MaxProcTime(const BSASubAgent& s) { return s.m_maxProcTime; }
  static bool Initialized(const BSASubAgent& s) { return s.m_initialized; }
  static bool PingThreadRunning(const BSASubAgent& s) { return s.m_pingThread.IsRunning(); }
  static bool ResponderRunning(const BSASubAgent& s) { return s.m_cmdRespThread.IsRunning(); }
  static void SetLastRequestId(BSASubAgent& s, unsigned id) { s.m_lastRequestId = id; }
  // The local port of the request socket (0 before its first send).
  static unsigned short RequestPort(BSASubAgent& s);
  static int RequestDescriptor(const BSASubAgent& s) { return s.m_reqSocket.Descriptor(); }
};

namespace test {

// Value builders and a readable form of varbind lists: "1.3.6=INTEGER: 5".
BObjectSyntax Int(int value);
BObjectSyntax Text(const std::string& text);
BObjectSyntax OidValue(const char* dotted);
std::vector<std::string> Texts(const BVarBindList& list);
BVarBindList Names(std::initializer_list<const char*> names);
// A loopback UDP port that was free a moment ago.
unsigned short FreePort();
// Polls `condition` every 10 ms for up to `ms`; true once it holds.
bool WaitUntil(const std::function<bool()>& condition, int ms = 3000);

// One datagram a scripted master sends; `fromOtherSocket` sends it from a
// second socket, that is from an address other than the master's.
struct Datagram {
  std::vector<unsigned char> octets;
  bool fromOtherSocket = false;
};
std::vector<unsigned char> Encoded(BSAPdu pdu);
// A RESPONSE to `request` (same session and request ids).
Datagram Answer(const BSAPdu& request, int errorStatus = 0, const BVarBindList& list = {}, unsigned upTime = 0);

// A master that answers the sub-agent's requests by a script, on a free
// loopback port, and sends its own requests to the sub-agent's session
// address from a second socket.
class ScriptedMaster {
 public:
  // What to send back for one request; an empty result answers nothing.
  using Script = std::function<std::vector<Datagram>(const BSAPdu& request)>;
  static constexpr unsigned kSessionId = 0x77;
  static constexpr unsigned kUpTime = 4242;

  ScriptedMaster();
  ~ScriptedMaster();
  ScriptedMaster(const ScriptedMaster&) = delete;
  ScriptedMaster& operator=(const ScriptedMaster&) = delete;

  // The default script: every request answered with errorStatus 0; open
  // gets session kSessionId, ping the up-time kUpTime, indexAllocate its own
  // varbinds back.
  static std::vector<Datagram> AnswerAll(const BSAPdu& request);

  std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
  void SetScript(Script script);
  // Every request received, in order.
  std::vector<BSAPdu> Received() const;
  std::vector<unsigned short> SourcePorts() const;
  // Waits up to `ms` until `count` requests came in.
  bool WaitForRequests(size_t count, int ms = 3000) const;

  // Sends `request` to the address the last openSession came from and waits
  // up to `ms` for the RESPONSE with its request id.
  std::optional<BSAPdu> Exchange(const BSAPdu& request, int ms = 3000);
  // Sends octets to that address; the next datagram that comes back and
  // decodes, whatever its request id.
  void SendRaw(const std::vector<unsigned char>& octets);
  std::optional<BSAPdu> NextAnswer(int ms = 3000);
  // The port those requests come from (0 before the first one).
  unsigned short RequesterPort();

 private:
  void Serve();

  BSASocket m_listen{2048, 0};
  BSASocket m_other{2048, 0};
  BSASocket m_requester{2048, 0};
  unsigned short m_port = 0;
  std::atomic<bool> m_stop{false};
  mutable std::mutex m_lock;  // guards the members below
  mutable std::condition_variable m_arrived;
  std::shared_ptr<Script> m_script = std::make_shared<Script>(AnswerAll);
  std::vector<BSAPdu> m_received;
  std::vector<unsigned short> m_sourcePorts;
  BAddress m_sessionAddress;
  std::thread m_thread;
};

// Records the library's trace lines (without the "[SUBAG] " prefix) while
// it exists.
class TraceRecorder : public IMessageSubscriber {
 public:
  TraceRecorder();
  ~TraceRecorder() override;
  void OnMessage(const BMessage& message) override;
  std::vector<std::string> Lines() const;

 private:
  mutable std::mutex m_lock;  // guards m_lines
  std::vector<std::string> m_lines;
};

// A sub-agent that records the values its ping hooks were called with:
// "response 4242", "timeout 10".
class RecordingSubAgent : public BSASubAgent {
 public:
  // The hooks are this class's: the threads must end before it is gone.
  ~RecordingSubAgent() override { Stop(); }
  void OnPingResponse(int upTime) override { Record("response " + std::to_string(upTime)); }
  void OnPingTimeout(int value) override { Record("timeout " + std::to_string(value)); }
  // Waits up to `ms` until `count` hook calls were recorded; returns them.
  std::vector<std::string> WaitForHooks(size_t count, int ms);

 private:
  void Record(const std::string& call);
  std::mutex m_lock;  // guards m_hooks
  std::condition_variable m_called;
  std::vector<std::string> m_hooks;
};

// A sub-agent on loopback, initialised against a scripted master, with
// master time-out 1 s and pinging off unless a test says otherwise.
class SubAgentTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // A fresh sub-agent initialised from m_store.
  void InitSubAgent();
  // InitSubAgent, then OpenSession("test") answered by the default script.
  void OpenSubAgent();

  ScriptedMaster m_master;
  BMemoryStore m_store;
  std::unique_ptr<RecordingSubAgent> m_subAgent;
};

}  // namespace test
}  // namespace QVT
