// What the master's tests share: a peer reading the master's private state, PDU and value builders, a
// sub-agent played by the test on a loopback address of its own choosing (127.0.0.2 is another host), an
// event recorder, and a fixture that runs a BSAMaster on a free port with the settings a test gives it.
#pragma once

#include <gtest/gtest.h>
#include <atomic>

#include <future>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "BMemoryStore.h"
#include "BSAFrame.h"
#include "BSAMaster.h"
#include "BSAMibSubtreeHandler.h"
#include "BSAOIDs.h"
#include "ChildProcess.h"
#include "ManualClock.h"
#include "PduTestSupport.h"
#include "TestSupport.h"

namespace QVT {

class BSAMasterPeer {
 public:
  // The proxies in OID order, "<oid>/<type>", each followed by "!" when its sysOR row is missing.
  static std::string Registry(BSAMaster& master) {
    TReadLock reading(master.m_pMibHandler->Synch());
    std::string text;
    const BMib2System& mib2 = master.m_pMibHandler->Mib2System();
    for (const auto& [oid, proxy] : master.m_handlers) {
      bool row = false;
      for (int i = 1; const BSysORRow* r = mib2.GetORRow(i); ++i)
        row = row || (r->id == oid && r->index == proxy->SysORIndex());
      text += (text.empty() ? "" : " ") + Short(oid) + "/" + std::to_string(proxy->HandlerType()) + (row ? "" : "!");
    }
    return text;
  }
  static std::string Short(const BObjectIdentifier& oid) {
    const std::string text = oid.ToString().str();
    return text.rfind("1.3.6.1.3.7.", 0) == 0 ? text.substr(12) : text;
  }
  static void SetMonitorInterval(BSAMaster& master, unsigned ms) { master.m_sessMonThread.m_interval = ms; }
  // The session record, closing ones included.
  static BSASession* Record(BSAMaster& master, unsigned id) { return master.FindSessionRecord(static_cast<int>(id)); }
  // Forgets that the session timed out a moment ago, so that the next request is sent at once.
  static void StopFailing(BSAMaster& master, unsigned id) { Record(master, id)->m_failingUntil = 0; }
  static size_t IndexValues(BSAMaster& master, unsigned id) { return Record(master, id)->m_indexValues.size(); }
};

namespace test {

inline BObjectIdentifier Oid(const std::string& text) {  // a short name under 1.3.6.1.3.7, or a full one
  return BObjectIdentifier((text.rfind("1.3.6.1", 0) == 0 ? text : "1.3.6.1.3.7." + text).c_str());
}
// A value made by one setter call, e.g. VALUE(SetInt(42)), and builders for the tables.
// clang-format off
#define VALUE(call) [&] { BObjectSyntax v; v.call; return v; }()
// clang-format on
inline const auto ObjectId = [](const std::string& text) { return VALUE(SetObjectId(Oid(text))); };
inline const auto Exception = [](ESnmpException exception) { return VALUE(SetV2Exception(exception)); };
inline const auto Unsigned = [](EAsnSyntax syntax, uint32_t n) { return VALUE(SetUnsigned(syntax, n)); };
inline const auto OidValue = [](const char* dotted) { return VALUE(SetObjectId(BObjectIdentifier(dotted))); };

// "<short name>=<value>" for each varbind, INTEGERs plain, exceptions by name.
inline std::string Texts(const BVarBindList& list) {
  static const char* const kExceptions[] = {"noSuchObject", "noSuchInstance", "endOfMibView"};
  std::string out;
  for (const BVarBind& vb : list) {
    const BObjectSyntax& v = vb.value;
    out += (out.empty() ? "" : " ") + BSAMasterPeer::Short(vb.name) + "=" +
           (v.Syntax() == ASN_INTEGER ? std::to_string(v.GetInt())
            : v.IsException()         ? kExceptions[v.Syntax() - ASN_NO_SUCH_OBJECT]
                                      : v.ValToStr().str());
  }
  return out;
}

inline BSAPdu OpenPdu(std::optional<int> timeout = 1, const char* description = "st") {
  BSAPdu pdu(SA_PDU_OPEN_SESSION);
  pdu.varBindList.Append(BSAOIDs::Instance()->oidName, Str(description));
  if (timeout) pdu.varBindList.Append(BSAOIDs::Instance()->oidMaxProcTime, Int(*timeout));
  return pdu;
}

// registerSubtree or unregisterSubtree named "r"; a range adds its sub-id position and upper bound.
inline BSAPdu RegisterPdu(ESAPduType type, unsigned session, const std::string& oid,
                          std::optional<std::pair<uint32_t, uint32_t>> range = std::nullopt) {
  BSAOIDs* oids = BSAOIDs::Instance();
  BSAPdu pdu(type, session, 0);
  pdu.varBindList.Append(oids->oidHandlerType, Int(range ? MIB_HANDLER_RANGE : MIB_HANDLER_SUBTREE));
  pdu.varBindList.Append(oids->oidName, Str("r"));
  pdu.varBindList.Append(oids->oidSubtree, ObjectId(oid));
  if (range) {
    pdu.varBindList.Append(oids->oidSubId, Int(static_cast<int>(range->first)));
    pdu.varBindList.Append(oids->oidSubId, Int(static_cast<int>(range->second)));
  }
  return pdu;
}

// A sub-agent played by the test on one UDP socket bound to `ip` (127.0.0.2 plays another host).
struct SubAgent {
  explicit SubAgent(unsigned short masterPort, uint32_t ip = 0x7F000001) {
    master.SetIPv4(0x7F000001);
    master.SetPort(masterPort);
    BAddress local;
    local.SetIPv4(ip);
    EXPECT_EQ(socket.Initialize(local), 0);
    socket.SetWaitInterval(/*microseconds=*/100000);
  }
  void Send(std::vector<unsigned char> octets, BAddress to) {
    unsigned length = static_cast<unsigned>(octets.size());
    EXPECT_EQ(socket.SendTo(octets.data(), length, to, false), 0);
  }
  bool Next(BSAPdu& pdu, int ms) {  // the next datagram that decodes within `ms`; its sender in `from`
    for (int waited = 0; waited < ms; waited += 100) {
      BSABuffer buffer;
      unsigned length = buffer.Capacity();
      if (socket.RecvFrom(buffer.Data(), length, from, false) != 0) continue;
      buffer.SetLength(length);
      if (pdu.Init(0, 0, 0), Decode(buffer, pdu) == 0) return true;
    }
    return false;
  }
  // Sends `request` (with a fresh request id when it has none): the errorStatus of the answer with its id,
  // -1 when none comes within `ms`.
  int Ask(BSAPdu request, BSAPdu* response = nullptr, int ms = 3000) {
    request.requestId = request.requestId != 0 ? request.requestId : ++lastRequestId;
    Send(Encoded(request), master);
    BSAPdu answer;
    while (Next(answer, ms) && answer.requestId != request.requestId) continue;
    if (response != nullptr) *response = answer;
    return answer.requestId == request.requestId ? answer.errorStatus : -1;
  }
  unsigned Open(int timeout = 1) {  // a session opened from this socket; its id
    BSAPdu answer;
    EXPECT_EQ(Ask(OpenPdu(timeout), &answer), 0);
    return answer.sessionId;
  }
  unsigned Holding(const std::string& oid, int timeout = 1) {  // a session opened that registered `oid`; its id
    const unsigned id = Open(timeout);
    EXPECT_EQ(Ask(RegisterPdu(SA_PDU_REGISTER, id, oid)), 0);
    return id;
  }
  // Runs `call` on a thread of its own, meanwhile handing every request that arrives (kept in `received`)
  // to `answer`; call's result.
  template <class Call, class Answer>
  auto While(Call call, Answer answer) {
    auto running = std::async(std::launch::async, call);
    for (BSAPdu request; running.wait_for(std::chrono::seconds(0)) != std::future_status::ready;) {
      if (Next(request, 100)) answer(received.emplace_back(request));
    }
    return running.get();
  }
  // The answer to `request` with these varbinds (and status), from this socket.
  void Reply(const BSAPdu& request, BVarBindList list, int status = 0, int index = 0) {
    BSAPdu answer(SA_PDU_RESPONSE, request.sessionId, request.requestId);
    answer.varBindList = std::move(list);
    answer.errorStatus = status;
    answer.errorIndex = index;
    Send(Encoded(answer), from);
  }

  BAddress master;
  BAddress from;
  BSASocket socket{2048, 0};
  unsigned lastRequestId = 0x5000;
  std::vector<BSAPdu> received;
};

// A MIB handler that refuses registrations or withdrawals when told to.
class RecordingMibHandler : public BMibHandler {
 public:
  int RegisterSubtreeHandler(BMibSubtreeHandler* handler) override {
    return refuseRegister ? 0 : BMibHandler::RegisterSubtreeHandler(handler);
  }
  int WithdrawSubtreeHandler(BMibSubtreeHandler* handler, std::function<void()> reclaim) override {
    return refuseUnregister ? 0 : BMibHandler::WithdrawSubtreeHandler(handler, std::move(reclaim));
  }
  std::atomic<bool> refuseRegister{false}, refuseUnregister{false};
};

// What the master tells its event listener: "+<n>" opened, "-<n>:<reason>/<subtrees>" closed, <n> the order
// in which the sessions opened; and the refusal reports.
struct EventRecorder : ISAMasterEvents {
  void OnSessionOpened(const BSASession& session) override {
    std::lock_guard<std::mutex> guard(lock);
    order[session.m_id] = static_cast<int>(order.size());
    log += "+" + std::to_string(order[session.m_id]) + " ";
  }
  void OnSessionClosed(const BSASession& session, ECloseReason reason, int subtrees) override {
    static const char* const kWhy[] = {"closed", "silent", "master", "idle"};
    std::lock_guard<std::mutex> guard(lock);
    log += "-" + std::to_string(order[session.m_id]) + ":" + kWhy[static_cast<int>(reason)] + "/" +
           std::to_string(subtrees) + " ";
  }
  void OnRefusal(ESAMasterCounter kind, const BString& text, uint64_t others) override {
    std::lock_guard<std::mutex> guard(lock);
    refusals.push_back(std::string(QVSAMasterCounterName(kind)) + ": " + text.str() + " +" + std::to_string(others));
  }
  std::string Log() {
    std::lock_guard<std::mutex> guard(lock);
    return log;
  }
  std::mutex lock;
  std::map<int, int> order;
  std::string log;
  std::vector<std::string> refusals;
};

// A started BSAMaster on a free loopback port with a manual clock and the settings of the test; the monitor
// is slowed down so that tests run CheckSessions themselves (or set their own interval).
class MasterTest : public ::testing::Test {
 protected:
  static constexpr unsigned kUpTime = 4242;
  void SetUp() override { Restart({}); }
  void TearDown() override {
    if (m_master) m_master->Stop();
  }
  // A fresh master with these "SAMaster" keys besides the port.
  void Restart(const std::map<std::string, std::string>& keys, unsigned monitorMs = 3600000) {
    if (m_master) m_master->Stop();
    m_master.reset();
    m_events = std::make_unique<EventRecorder>();
    m_master = std::make_unique<BSAMaster>(&m_mib, &m_clock);
    m_master->SetEventListener(m_events.get());
    BMemoryStore store;
    for (const auto& [key, value] : keys) store.SetString("SAMaster", key.c_str(), value.c_str(), 0, 0);
    for (int attempt = 0; attempt < 20; ++attempt) {
      m_port = FreeUdpPort();
      store.SetInt("SAMaster", "Port", m_port, 0, 0, 0);
      if (m_port != 0 && m_master->Init(&store) == 0) break;
    }
    ASSERT_EQ(m_master->Port(), m_port) << m_master->ConfigError().str();
    BSAMasterPeer::SetMonitorInterval(*m_master, monitorMs);
    ASSERT_EQ(m_master->Start(), 0);
  }
  uint64_t Counter(ESAMasterCounter counter) const { return m_master->Counters().Get(counter); }
  // "<status>[@<error index>] <varbinds>" of a GET (or another request) of the space-separated `names` through the
  // agent's MIB handler; the index when there is one.
  std::string Get(const std::string& names, int type = SNMP_REQ_GET) {
    BVarBindList list;
    std::istringstream in(names);
    for (std::string name; in >> name;) list.Append(Oid(name));
    int errorIndex = 0;
    const int status = m_mib.Query(type, NextTransaction(), BSecurityParams(), BString(), list, errorIndex);
    return std::to_string(status) + (errorIndex == 0 ? "" : "@" + std::to_string(errorIndex)) + " " + Texts(list);
  }

  ManualClock m_clock{kUpTime};
  RecordingMibHandler m_mib;
  std::unique_ptr<EventRecorder> m_events;
  std::unique_ptr<BSAMaster> m_master;
  unsigned short m_port = 0;
};

}  // namespace test
}  // namespace QVT
