// What the sub-agent's tests share: a peer reading the sub-agent's state, builders and one-line texts of
// varbind lists, a scripted master on loopback, a sub-agent recording its ping hooks, and a fixture.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <thread>

#include "BMemoryStore.h"
#include "BSAFrame.h"
#include "BSASubAgent.h"
#include "ChildProcess.h"
#include "PduTestSupport.h"

namespace QVT {

class BSASubAgentPeer {
 public:
  // "<PingInterval> <MasterTimeout> <MaxProcTime> <MasterAddress>" as in use.
  static std::string Config(const BSASubAgent& s) {
    return std::to_string(s.PingInterval()) + " " + std::to_string(s.m_masterTimeout) + " " +
           std::to_string(s.m_maxProcTime) + " " +
           (s.m_addrMaster.IsEmpty() ? "" : QVAddressToString(s.m_addrMaster).str());
  }
  static int Threads(const BSASubAgent& s) { return s.m_cmdRespThread.IsRunning() + 2 * s.m_pingThread.IsRunning(); }
  static void SetLastRequestId(BSASubAgent& s, unsigned id) { s.m_lastRequestId = id; }
};

namespace test {

inline std::string R(int result) {  // a result; negative library statuses in hexadecimal
  char text[16];
  std::snprintf(text, sizeof text, result < 0 ? "%x" : "%d", result);
  return text;
}

// A varbind to build a list from: a name with a value, or a name alone (NULL).
struct NamedValue {
  NamedValue(const char* oid) : name(oid) {}  // NOLINT(google-explicit-constructor): lists of names read best so
  NamedValue(std::string oid) : name(std::move(oid)) {}  // NOLINT(google-explicit-constructor)
  NamedValue(std::string oid, BObjectSyntax v) : name(std::move(oid)), value(std::move(v)) {}
  std::string name;
  BObjectSyntax value;
};

inline BVarBindList Vbl(std::initializer_list<NamedValue> items) {
  BVarBindList list;
  for (const NamedValue& item : items) list.Append(BObjectIdentifier(item.name), item.value);
  return list;
}

// "1.3.6=5|1.3.7=\"x\"|1.3.8=.1.3|1.3.9=NULL" (INTEGER, OCTET STRING and OBJECT IDENTIFIER values without
// their type); a PDU's with "t<type> s<session> f<flags>" in front.
inline std::string Texts(const BVarBindList& list) {
  static const std::regex kType("^(INTEGER|STRING|OID): ");
  std::string texts;
  for (const BVarBind& vb : list) {
    texts += "|" + vb.name.ToString().str() + "=" + std::regex_replace(vb.value.ValToStr().str(), kType, "");
  }
  return texts.empty() ? texts : texts.substr(1);
}
inline std::string Texts(const BSAPdu& pdu) {
  const std::string list = Texts(pdu.varBindList);
  return "t" + std::to_string(pdu.type) + " s" + std::to_string(pdu.sessionId) + " f" + std::to_string(pdu.flags) +
         (list.empty() ? "" : "|") + list;
}

inline BSAPdu Pdu(int type, unsigned sessionId, unsigned requestId, const BVarBindList& list = {}) {
  BSAPdu pdu(static_cast<ESAPduType>(type), sessionId, requestId);
  pdu.varBindList = list;
  return pdu;
}

// A master on a free loopback port that answers the sub-agent's requests by a rule, and sends requests of
// its own to the session's address from a third socket. Requests the rule does not apply to are answered 0:
// an open with the session kSessionId, a ping with the up-time 4242, indexAllocate with its varbinds.
class ScriptedMaster {
 public:
  static constexpr unsigned kSessionId = 0x77;
  struct Rule {
    int type = 0;    // the PDU type it applies to; -1: every one
    int status = 0;  // SA_ERR_TIMEOUT: no answer
    unsigned upTime = 0;
    int offset = 0;       // added to the answer's request id
    bool strays = false;  // first a late answer to the request before and two datagrams that do not decode
    bool third = false;   // from another address than the master's
    std::vector<unsigned char> octets{};  // sent instead of the answer
    BVarBindList list{};
  };

  ScriptedMaster() {
    for (int attempt = 0; attempt < 10 && m_port == 0; ++attempt) {
      const unsigned short port = FreeUdpPort();
      if (m_listen.Initialize(port) == 0) m_port = port;
    }
    m_listen.SetWaitInterval(50000);
    m_third.SetWaitInterval(50000);
    EXPECT_TRUE(m_port != 0 && m_third.Initialize(0) == 0);
    m_thread = std::thread([this] { Serve(); });
  }
  ~ScriptedMaster() {
    m_stop = true;
    m_thread.join();
  }
  std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
  void Answer(Rule rule) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_rule = std::move(rule);
  }
  std::vector<std::pair<BSAPdu, unsigned short>> Received() const {  // each request, with its source port
    std::lock_guard<std::mutex> lock(m_lock);
    return m_received;
  }
  size_t Count() const { return Received().size(); }
  void SendRaw(std::vector<unsigned char> octets) {  // to the address the last open came from
    BAddrINet to;
    to.SetIPv4(0x7F000001);
    to.SetPort(m_sessionPort);
    Send(m_third, octets, to);
  }
  // Sends `request` that way: the answer with its request id that comes back within 3 s.
  std::optional<BSAPdu> Exchange(const BSAPdu& request) {
    SendRaw(Encoded(request));
    for (BSABuffer buffer;;) {
      unsigned length = buffer.Capacity();
      BAddress from;
      BSAPdu answer;
      if (m_third.RecvFrom(buffer.Data(), length, from, 3) != 0) return std::nullopt;
      buffer.SetLength(length);
      if (Decode(buffer, answer) == 0 && answer.requestId == request.requestId) return answer;
    }
  }

 private:
  static void Send(BSASocket& socket, std::vector<unsigned char> octets, BAddress to) {
    unsigned length = static_cast<unsigned>(octets.size());
    EXPECT_EQ(socket.SendTo(octets.data(), length, to, false), 0);
  }
  void Serve() {
    for (BSABuffer buffer; !m_stop;) {
      unsigned length = buffer.Capacity();
      BAddress from;
      BSAPdu request;
      if (m_listen.RecvFrom(buffer.Data(), length, from, false) != 0) continue;
      buffer.SetLength(length);
      if (Decode(buffer, request) != 0) continue;
      std::unique_lock<std::mutex> lock(m_lock);
      m_received.emplace_back(request, from.Port());
      if (request.type == SA_PDU_OPEN_SESSION) m_sessionPort = from.Port();
      const Rule rule = m_rule.type == request.type || m_rule.type == -1 ? m_rule : Rule{};
      lock.unlock();
      const bool others = rule.type == 0, alloc = request.type == SA_PDU_INDEX_ALLOCATE;
      BSAPdu answer = Pdu(SA_PDU_RESPONSE, request.type == SA_PDU_OPEN_SESSION ? kSessionId : request.sessionId,
                          request.requestId + rule.offset, others && alloc ? request.varBindList : rule.list);
      answer.errorStatus = rule.status;
      answer.sysUpTime = others && request.type == SA_PDU_PING ? 4242 : rule.upTime;
      if (rule.strays) {
        for (const auto& stray : {Encoded(Pdu(SA_PDU_RESPONSE, 0, request.requestId - 1)), {0xAB, 0xAB}, {4, 4}}) {
          Send(m_listen, stray, from);
        }
      }
      if (rule.status != SA_ERR_TIMEOUT)
        Send(rule.third ? m_third : m_listen, rule.octets.empty() ? Encoded(answer) : rule.octets, from);
    }
  }

  BSASocket m_listen{2048, 0}, m_third{2048, 0};
  unsigned short m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<unsigned short> m_sessionPort{0};
  mutable std::mutex m_lock;  // guards the two below
  Rule m_rule;
  std::vector<std::pair<BSAPdu, unsigned short>> m_received;
  std::thread m_thread;
};
using Rule = ScriptedMaster::Rule;

// Keeps what its ping hooks were last called with: the up-time, or minus the time-out value.
class RecordingSubAgent : public BSASubAgent {
 public:
  ~RecordingSubAgent() override { Stop(); }  // the hooks are ours
  void OnPingResponse(int upTime) override { m_hook = upTime; }
  void OnPingTimeout(int value) override { m_hook = -value; }
  std::atomic<int> m_hook{-1};
};

// A sub-agent against a scripted master: master time-out 1 s, no pinging unless a test stores another
// interval before Init. The sub-agent, last member, goes first and stops its threads.
class SubAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_store.SetString("SubAgent", "MasterAddress", m_master.Address().c_str(), 0, 0);
    Set("MasterTimeout", 1);
    Set("PingInterval", 0);
  }
  void Set(const char* key, int value) { m_store.SetInt("SubAgent", key, value, 0, 0, 0); }
  void Init() {
    m_sa = std::make_unique<RecordingSubAgent>();
    ASSERT_EQ(m_sa->Init(&m_store), 0);
  }
  void Open() {
    Init();
    ASSERT_EQ(m_sa->OpenSession("test"), 0);
  }
  std::string Sent() const { return Texts(m_master.Received().back().first); }  // the last request

  ScriptedMaster m_master;
  BMemoryStore m_store;
  std::unique_ptr<RecordingSubAgent> m_sa;
};

}  // namespace test
}  // namespace QVT
