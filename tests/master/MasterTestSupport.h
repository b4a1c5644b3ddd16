// What the master's tests share: a peer reading the master's state, recorders, builders, a sub-agent played
// by the test on a loopback socket and a fixture running a BSAMaster. Names under 1.3.6.1.3.7 print short.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <future>
#include <mutex>
#include <optional>

#include "BMemoryStore.h"
#include "BSAFrame.h"
#include "BSAMaster.h"
#include "BSAMibSubtreeHandler.h"
#include "BSAOIDs.h"
#include "ChildProcess.h"
#include "ManualClock.h"
#include "QVSubAgTrace.h"

namespace QVT {
namespace test {

inline std::string Short(const BObjectIdentifier& oid) {
  const std::string text = oid.ToString().str();
  return text.rfind("1.3.6.1.3.7.", 0) == 0 ? text.substr(12) : text;
}

inline BObjectIdentifier Oid(const std::string& text) {  // a short name, or one from 1.3.6.1 on
  return BObjectIdentifier((text.rfind("1.3.6.1", 0) == 0 ? text : "1.3.6.1.3.7." + text).c_str());
}

}  // namespace test

class BSAMasterPeer {
 public:
  // The proxies ("<oid>/<type>") in order; then the sysORTable rows, unless
  // they are one per proxy in the same order described "r": "1/47 | 1=alpha".
  static std::string Registry(BSAMaster& master) {
    TReadLock reading(master.m_pMibHandler->Synch());  // the master changes both under this lock
    std::string proxies, rows, expected;
    for (int i = 0; i < master.m_handlers.Count(); ++i) {
      auto* proxy = static_cast<BSAMibSubtreeHandler*>(master.m_handlers[i]);
      proxies += (i > 0 ? " " : "") + test::Short(proxy->Oid()) + "/" + std::to_string(proxy->HandlerType());
      expected += " " + test::Short(proxy->Oid()) + "=r";
    }
    const BMib2System& mib2 = master.m_pMibHandler->Mib2System();
    for (int i = 1; const BSysORRow* row = mib2.GetORRow(i); ++i)
      rows += " " + test::Short(row->id) + "=" + row->descr.str();
    return rows == expected ? proxies : proxies + " |" + rows;
  }
  static void SetMonitorInterval(BSAMaster& master, unsigned ms) { master.m_sessMonThread.m_interval = ms; }
  static void SetLastRequestId(BSAMaster& master, unsigned id) { master.m_lastRequestId = id; }
};

namespace test {

class TraceRecorder : public IMessageSubscriber {
 public:
  TraceRecorder() { QVSubAgTraceSubscribe(this); }
  ~TraceRecorder() override { BMessageDispatcher::Instance()->Unsubscribe(SA_TRACE_MESSAGE_TYPE, this); }
  void OnMessage(const BMessage& message) override {
    std::lock_guard<std::mutex> guard(m_lock);
    m_lines.push_back(message.Text().str());
  }
  long Count(const std::string& text) {  // lines that contain `text`
    std::lock_guard<std::mutex> guard(m_lock);
    return std::count_if(m_lines.begin(), m_lines.end(), [&](auto& line) { return line.find(text) != line.npos; });
  }

 private:
  std::mutex m_lock;  // guards m_lines
  std::vector<std::string> m_lines;
};

class RecordingMibHandler : public BMibHandler {
 public:
  int RegisterSubtreeHandler(BMibSubtreeHandler* handler) override {
    return refuseRegister ? 0 : BMibHandler::RegisterSubtreeHandler(handler);
  }
  int UnregisterSubtreeHandler(BMibSubtreeHandler* handler) override {
    unregistered += Short(handler->Oid()) + " ";
    return refuseUnregister ? 0 : BMibHandler::UnregisterSubtreeHandler(handler);
  }
  std::atomic<bool> refuseRegister{false};
  std::atomic<bool> refuseUnregister{false};
  std::string unregistered;  // read by tests that make the master unregister on their own thread
};

// A value written "<syntax letter><value>": i INTEGER, g Gauge32, t TimeTicks, c Counter32,
// s OCTET STRING, o OBJECT IDENTIFIER, p IpAddress 10.0.0.<n>, x<exception name>.
inline BObjectSyntax Value(const std::string& text) {
  BObjectSyntax s;
  const std::string v = text.substr(1);
  const auto n = static_cast<uint32_t>(v.empty() || !(isdigit(v[0]) || v[0] == '-') ? 0 : std::stoll(v));
  if (text[0] == 'i') s.SetInt(static_cast<int>(n));
  if (text[0] == 'g') s.SetUnsigned(ASN_GAUGE32, n);
  if (text[0] == 't') s.SetUnsigned(ASN_TIMETICKS, n);
  if (text[0] == 'c') s.SetUnsigned(ASN_COUNTER32, n);
  if (text[0] == 's') s.SetOctets(v);
  if (text[0] == 'o') s.SetObjectId(BObjectIdentifier(v.c_str()));
  if (text[0] == 'p') s.SetIpAddress(BIpAddress(10, 0, 0, static_cast<unsigned char>(n)));
  if (text[0] == 'x') s.SetV2Exception(text == "xnoSuchObject" ? SNMP_NO_SUCH_OBJECT : SNMP_NO_SUCH_INSTANCE);
  return s;
}

inline std::string Texts(const BVarBindList& list) {  // "<name>=<value>" for each varbind
  static const char* const kExceptions[] = {"noSuchObject", "noSuchInstance", "endOfMibView"};
  std::string out;
  for (const BVarBind& vb : list) {
    const BObjectSyntax& v = vb.value;
    out += (out.empty() ? "" : " ") + Short(vb.name) + "=" +
           (v.Syntax() == ASN_INTEGER ? std::to_string(v.GetInt())
            : v.IsException()         ? kExceptions[v.Syntax() - ASN_NO_SUCH_OBJECT]
                                      : v.ValToStr().str());
  }
  return out;
}

inline BSAPdu OpenPdu(std::optional<int> timeout, const char* description = "t") {
  BSAPdu pdu(SA_PDU_OPEN_SESSION);
  pdu.varBindList.Append(BSAOIDs::Instance()->oidName, Value(std::string("s") + description));
  if (timeout) pdu.varBindList.Append(BSAOIDs::Instance()->oidMaxProcTime, Value("i" + std::to_string(*timeout)));
  return pdu;
}

// registerSubtree or unregisterSubtree named "r"; `range` adds varbinds 3 and 4.
inline BSAPdu RegisterPdu(ESAPduType type, unsigned session, const char* oid, std::vector<uint32_t> range = {}) {
  BSAOIDs* oids = BSAOIDs::Instance();
  BSAPdu pdu(type, session, 0);
  pdu.varBindList.Append(oids->oidHandlerType, Value(range.size() >= 2 ? "i6" : "i0"));
  pdu.varBindList.Append(oids->oidName, Value("sr"));
  pdu.varBindList.Append(oids->oidSubtree, Value(std::string("o") + oid));
  for (const uint32_t value : range) pdu.varBindList.Append(oids->oidSubId, Value("i" + std::to_string(value)));
  return pdu;
}

inline std::vector<unsigned char> Bytes(BSAPdu pdu) {
  BSABuffer buffer;
  EXPECT_EQ(Encode(buffer, pdu), 0);
  return {buffer.Data(), buffer.Data() + buffer.Length()};
}

inline unsigned Open(BSAMaster& master) {  // a session opened by a direct call, with no address; its id
  BSAPdu request = OpenPdu(std::nullopt), response;
  EXPECT_EQ(master.OpenSession(request, response), 0);
  return response.sessionId;
}

// A sub-agent played by the test on one UDP socket.
struct SubAgent {
  static constexpr int kNoAnswer = -100000;
  explicit SubAgent(unsigned short masterPort) {
    master.SetIPv4(0x7F000001);
    master.SetPort(masterPort);
    EXPECT_EQ(socket.Initialize(0), 0);  // bound at the first send
    socket.SetWaitInterval(/*microseconds=*/100000);
  }
  void Send(std::vector<unsigned char> octets, BAddress to) {
    unsigned length = static_cast<unsigned>(octets.size());
    EXPECT_EQ(socket.SendTo(octets.data(), length, to, false), 0);
  }
  // The next datagram that decodes, within `ms`.
  bool Next(BSAPdu& pdu, int ms, BAddress* from = nullptr) {
    BAddress sender;
    for (int waited = 0; waited < ms; waited += 100) {  // a receive waits 100 ms
      BSABuffer buffer;
      unsigned length = buffer.Capacity();
      if (socket.RecvFrom(buffer.Data(), length, from != nullptr ? *from : sender, false) != 0) continue;
      buffer.SetLength(length);
      pdu.Init(0, 0, 0);
      if (Decode(buffer, pdu) == 0) return true;
    }
    return false;
  }
  // Sends `request` (with a fresh request id when it has none): the
  // errorStatus of the RESPONSE with its request id, or kNoAnswer.
  int Ask(BSAPdu request, BSAPdu* response = nullptr, int ms = 3000) {
    request.requestId = request.requestId != 0 ? request.requestId : ++lastRequestId;
    Send(Bytes(request), master);
    BSAPdu answer;
    while (Next(answer, ms) && answer.requestId != request.requestId) continue;
    if (response != nullptr) *response = answer;
    return answer.requestId == request.requestId ? answer.errorStatus : kNoAnswer;
  }
  unsigned Open(int timeout = 1) {  // a session opened from this socket; its id
    BSAPdu answer;
    EXPECT_EQ(Ask(OpenPdu(timeout), &answer), 0);
    return answer.sessionId;
  }
  // Runs `call` on a thread of its own, meanwhile handing every request that
  // arrives (kept in `received`) and its sender to `answer`; call's result.
  template <class Call, class Answer>
  auto While(Call call, Answer answer) {
    auto running = std::async(std::launch::async, call);
    for (BAddress from; running.wait_for(std::chrono::seconds(0)) != std::future_status::ready;) {
      BSAPdu request;
      if (!Next(request, 100, &from)) continue;
      received.push_back(request);
      answer(request, from);
    }
    return running.get();
  }

  BAddrINet master;
  BSASocket socket{2048, 0};
  unsigned lastRequestId = 0x5000;
  std::vector<BSAPdu> received;
};

// A started BSAMaster on a free loopback port with a manual clock. The
// monitor is slowed down so that tests run CheckSessions themselves.
class MasterTest : public ::testing::Test {
 protected:
  static constexpr unsigned kUpTime = 4242;
  void SetUp() override {
    m_master = std::make_unique<BSAMaster>(&m_mib, &m_clock);
    BMemoryStore store;
    for (int attempt = 0; attempt < 20; ++attempt) {
      m_port = FreeUdpPort();
      store.SetInt("SAMaster", "Port", m_port, 0, 0, 0);
      if (m_port != 0 && m_master->Init(&store) == 0) break;
    }
    ASSERT_EQ(m_master->Port(), m_port);
    BSAMasterPeer::SetMonitorInterval(*m_master, /*ms=*/3600000);
    ASSERT_EQ(m_master->Start(), 0);
  }
  void TearDown() override { m_master->Stop(); }
  int Reg(unsigned session, const char* oid, std::vector<uint32_t> range = {}) {  // by a direct call
    BSAPdu request = RegisterPdu(SA_PDU_REGISTER, session, oid, std::move(range));
    return m_master->RegisterSH(request);
  }
  int Get(BVarBindList& list) {  // through the agent's MIB handler
    int errorIndex = 0;
    return m_mib.BMibHandler::Query(SNMP_REQ_GET, 7001, BSecurityParams(), BString(), list, errorIndex);
  }

  ManualClock m_clock{kUpTime};
  RecordingMibHandler m_mib;
  TraceRecorder m_trace;
  std::unique_ptr<BSAMaster> m_master;
  unsigned short m_port = 0;
};

}  // namespace test
}  // namespace QVT
