// BSASubAgent against a scripted master: configuration and lifecycle, the session and its exchanges, what the
// sub-agent sends; the command responder over the wire, answer sizes and GET-BULK, the SET phases and the
// index requests that follow rows created and deleted.
#include <array>
#include <mutex>
#include <regex>
#include <set>

#include "BMessageDispatcher.h"
#include "BMibTableImplEx.h"
#include "BSAEncoder.h"
#include "BTransactions.h"
#include "FailingStore.h"
#include "FakeSubtreeHandler.h"
#include "QVSubAgTrace.h"
#include "SubAgentTestSupport.h"

namespace QVT::test {
namespace {

using Peer = BSASubAgentPeer;

// Before Init no thread starts and no exchange goes out; Init runs once. Then PingInterval, MasterTimeout,
// MaxProcTime, MasterAddress as stored (null: absent), one row after the other into one sub-agent, and as
// used; a MasterAddress that does not resolve is refused, named in InitError, and leaves the master as it
// was (never the default one), the other keys read all the same. SaveToNV writes the first and the last,
// and returns the first failure.
TEST(SubAgentConfigTest, SettingsAndTheirRules) {
  BSASubAgent sa;
  int upTime = 0;
  EXPECT_NE(sa.Start(), 0);
  EXPECT_EQ(Peer::Threads(sa), 0);
  EXPECT_LT(sa.Ping(upTime), 0);
  EXPECT_EQ(sa.GetNewRequestId(), 2u);  // the ping drew 1
  Peer::SetLastRequestId(sa, 0x3FFFFFFE);
  EXPECT_EQ(sa.GetNewRequestId(), 0x3FFFFFFFu);
  EXPECT_EQ(sa.GetNewRequestId(), 1u);
  BMemoryStore unread;
  unread.SetInt("SubAgent", "MasterTimeout", 9, 0, 0, 0);
  ASSERT_TRUE(sa.Init(nullptr) == 0 && sa.Init(&unread) == 0);
  EXPECT_EQ(Peer::Config(sa), "10 3 3 ");
  // clang-format off
  const struct { const char* keys[4]; const char* config; bool refused; } kRows[] = {
      {{nullptr, nullptr, nullptr, nullptr}, "60 3 3 127.0.0.1:10001", false},
      {{"-5", "7", "0", "127.0.0.3:162"}, "-5 7 1 127.0.0.3:162", false},
      {{"3601", "-4", "5000", "localhost:70000"}, "60 1 5000 127.0.0.3:162", true},
      {{"often", "soon", "x", nullptr}, "60 3 3 127.0.0.1:10001", false},
      {{"-5", "7", "0", "127.0.0.2"}, "-5 7 1 127.0.0.1:10001", true},
      {{"3600", "0", "-4", "127.0.0.2:161"}, "3600 1 1 127.0.0.2:161", false}};
  // clang-format on
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.config);
    BMemoryStore store;
    int i = 0;
    for (const char* key : {"PingInterval", "MasterTimeout", "MaxProcTime", "MasterAddress"}) {
      if (row.keys[i++] != nullptr) store.SetString("SubAgent", key, row.keys[i - 1], 0, 0);
    }
    EXPECT_EQ(sa.InitFromNV(&store), row.refused ? SA_ERR_BAD_VALUE : 0);
    EXPECT_EQ(Peer::Config(sa), row.config);
    const std::string named = std::string("[SubAgent] MasterAddress: '") + (row.keys[3] ? row.keys[3] : "") + "'";
    EXPECT_EQ(sa.InitError().str().starts_with(named), row.refused) << sa.InitError().str();
    EXPECT_EQ(sa.InitError().empty(), !row.refused);
  }
  EXPECT_EQ(sa.SaveToNV(nullptr), 0);
  for (const auto& [failing, expected] :
       {std::pair{"", "0 127.0.0.2:161 3600"}, {"MasterAddress", "3  3600"}, {"PingInterval", "3 127.0.0.2:161 0"}}) {
    FailingStore store;
    store.FailWritesOf(failing);
    const int result = sa.SaveToNV(&store);
    BString address;
    int interval = 0;
    store.GetString("SubAgent", "MasterAddress", address, 0);
    store.GetInt("SubAgent", "PingInterval", &interval, 0);
    EXPECT_EQ(std::to_string(result) + " " + address.str() + " " + std::to_string(interval), expected);
  }
}

// Start runs the pinger only for a positive interval; it reports each ping through the hooks, a time-out
// with ten times the ping interval, and leaves the session as it is. Stop ends both threads, and so does
// destroying a running sub-agent.
TEST_F(SubAgentTest, StartStopAndThePingThread) {
  for (const auto& [interval, status, hook] : {std::tuple{0, 0, -1},
                                               {-5, 0, -1},
                                               {2, 0, 4242},
                                               {2, int{SA_WIRE_NOT_OPEN}, 0},
                                               {2, int{SA_WIRE_PROCESSING_ERROR}, -20},
                                               {2, int{SA_ERR_TIMEOUT}, -20}}) {
    Set("PingInterval", interval);
    m_master.Answer({.type = SA_PDU_PING, .status = status, .upTime = 4242});
    Open();
    EXPECT_EQ(m_sa->Start(), 0);
    EXPECT_EQ(Peer::Threads(*m_sa), interval > 0 ? 3 : 1) << interval;
    EXPECT_EQ(WaitUntil([&] { return m_sa->m_hook != -1; }, interval > 0 ? 3000 : 300, 10), interval > 0);
    EXPECT_EQ(m_sa->m_hook.load(), hook);
    EXPECT_EQ(m_sa->SessionId(), ScriptedMaster::kSessionId);
    EXPECT_EQ(m_sa->Stop(), 0);
    EXPECT_EQ(Peer::Threads(*m_sa), 0);
  }
  auto sa = std::make_unique<BSASubAgent>();
  ASSERT_TRUE(sa->Init(&m_store) == 0 && sa->OpenSession("x") == 0 && sa->Start() == 0);
  const size_t count = m_master.Count();
  EXPECT_TRUE(WaitUntil([&] { return m_master.Count() > count; }, 3000, 10));  // a ping
  sa.reset();
}

// One sub-agent through a series of steps, the master answering as the row's rule says; then the result,
// the session id, the number of requests the master has seen, and the last one. An open announces the
// processing time only from 1 to 3599. Every exchange takes the first datagram from the master's address
// that decodes and carries its request id, and sends its request three times in all when none comes (an
// open that got no answer is asked again as the same request, from the same port). The session changes
// only on success. Every other open comes from a fresh responder port, and the responder follows.
TEST_F(SubAgentTest, SessionSteps) {
  Init();
  int upTime = 0;
  const auto open = [&](int seconds) -> std::function<std::string()> {
    return [&, seconds] {
      Set("MaxProcTime", seconds);
      m_sa->InitFromNV(&m_store);
      return R(m_sa->OpenSession("x"));
    };
  };
  const std::function<std::string()> close = [&] { return R(m_sa->CloseSession()); };
  const std::function<std::string()> ping = [&] {
    const int result = m_sa->Ping(upTime);
    return R(result) + "," + std::to_string(upTime);
  };
  const int kOpen = SA_PDU_OPEN_SESSION, kClose = SA_PDU_CLOSE_SESSION, kPing = SA_PDU_PING;
  const std::string opened = " t1 s0 f0|2.18.2=\"x\"|2.18.9=3";
  const std::tuple<Rule, std::function<std::string()>, std::string> steps[] = {
      {{}, ping, "0,4242 s0 n1 t13 s0 f0"},
      {{.type = kOpen, .status = SA_WIRE_OPEN_FAILED}, open(0), "256 s0 n2 t1 s0 f0|2.18.2=\"x\"|2.18.9=1"},
      {{.type = kOpen, .status = SA_ERR_TIMEOUT}, open(3599), "800c0001 s0 n5 t1 s0 f0|2.18.2=\"x\"|2.18.9=3599"},
      {{.type = kOpen, .octets = {4, 4, 'Q', 'V', 'T', '2', 0}}, open(3600), "800c0001 s0 n8 t1 s0 f0|2.18.2=\"x\""},
      {{.type = kOpen, .offset = 5}, open(3), "800c0001 s0 n11" + opened},
      {{}, open(3), "0 s119 n12" + opened},
      {{}, open(3), "800c0002 s119 n12" + opened},
      {{.type = kPing, .upTime = 7, .strays = true}, ping, "0,7 s119 n13 t13 s119 f0"},
      {{.type = kPing, .upTime = 77, .third = true}, ping, "800c0001,0 s119 n16 t13 s119 f0"},
      {{.type = kPing, .status = SA_WIRE_NOT_OPEN, .upTime = 55}, ping, "257,0 s119 n17 t13 s119 f0"},
      {{.type = kPing, .status = SA_ERR_TIMEOUT}, ping, "800c0001,0 s119 n20 t13 s119 f0"},
      {{.type = kClose, .status = SA_WIRE_NOT_OPEN}, close, "257 s119 n21 t2 s119 f0"},
      {{.type = kClose, .status = SA_ERR_TIMEOUT}, close, "800c0001 s119 n24 t2 s119 f0"},
      {{}, close, "0 s0 n25 t2 s119 f0"},
      {{}, close, "257 s0 n25 t2 s119 f0"}};
  for (const auto& [rule, step, expected] : steps) {
    m_master.Answer(rule);
    const std::string result = step();
    EXPECT_EQ(
        result + " s" + std::to_string(m_sa->SessionId()) + " n" + std::to_string(m_master.Count()) + " " + Sent(),
        expected);
  }
  ASSERT_TRUE(m_sa->OpenSession("again") == 0 && m_sa->Start() == 0);
  std::set<unsigned short> ports;
  std::set<unsigned> openIds;
  for (const auto& [request, port] : m_master.Received()) {
    ports.insert(request.type == kOpen ? port : 0);
    if (request.type == kOpen) openIds.insert(request.requestId);
  }
  EXPECT_EQ(ports.size(), 4u);  // three fresh opens (the one that went unanswered was repeated), 0 for the others
  EXPECT_EQ(openIds.size(), 3u);
  EXPECT_EQ(m_master.Exchange(Pdu(SA_PDU_GET, ScriptedMaster::kSessionId, 0x4711, Vbl({"1.3.6"})))->errorStatus, 0);
  // A request for another session gets no answer; the answers from the third address above were dropped.
  EXPECT_EQ(m_sa->DroppedDatagrams(), 3u);
  EXPECT_FALSE(m_master.Exchange(Pdu(SA_PDU_GET, 1, 0x4712, Vbl({"1.3.6"}))).has_value());
  EXPECT_EQ(m_sa->DroppedDatagrams(), 4u);
}

// Both sockets bind to the address the system sends from to reach the master (loopback here), or to
// ListenAddress; the responder serves only the master's address: a request from another host gets no answer
// and is counted, and so does an answer to the sub-agent's own request from anywhere but the master.
TEST_F(SubAgentTest, SocketsBindToOneAddressAndServeOnlyTheMaster) {
  Open();
  EXPECT_EQ(QVAddressToString(m_sa->LocalAddress()).str(), "127.0.0.1:0");
  ASSERT_TRUE(m_sa->Start() == 0 && m_master.Exchange(Pdu(SA_PDU_GET, ScriptedMaster::kSessionId, 1)));
  BAddress responder, other;
  responder.SetIPv4(0x7F000001);
  responder.SetPort(m_master.Received().front().second);  // the open came from the responder
  other.SetIPv4(0x7F000002);
  BSASocket intruder{2048, 1};
  ASSERT_EQ(intruder.Initialize(other), 0);
  const std::vector<unsigned char> get = Encoded(Pdu(SA_PDU_GET, ScriptedMaster::kSessionId, 2, Vbl({"1.3.6"})));
  unsigned length = static_cast<unsigned>(get.size());
  ASSERT_EQ(intruder.SendTo(const_cast<unsigned char*>(get.data()), length, responder, false), 0);
  BSABuffer buffer;
  length = buffer.Capacity();
  BAddress from;
  EXPECT_EQ(intruder.RecvFrom(buffer.Data(), length, from, 1), SA_ERR_TIMEOUT);
  EXPECT_EQ(m_sa->DroppedDatagrams(), 1u);
  m_sa->Stop();

  for (const auto& [listen, result, bound] : {std::tuple{"127.0.0.2", 0, "127.0.0.2:0"},
                                              {"::1", 0, "[::1]:0"},
                                              {"no.such.host.invalid", int{SA_ERR_BAD_VALUE}, ""}}) {
    SCOPED_TRACE(listen);
    m_store.SetString("SubAgent", "ListenAddress", listen, 0, 0);
    BSASubAgent sa;
    EXPECT_EQ(sa.Init(&m_store), result);
    EXPECT_EQ(QVAddressToString(sa.LocalAddress()).str(), bound);
  }
  m_store.SetString("SubAgent", "ListenAddress", "127.0.0.2", 0, 0);
  BSASubAgent sa;
  ASSERT_EQ(sa.Init(&m_store), 0);
  EXPECT_EQ(sa.OpenSession("from 127.0.0.2"), 0);  // the master hears it from there
}

// Registrations carry three varbinds, five for a range; a table row is a range over its accessible columns,
// entry.firstColumn.index up to the last one. A notification has snmpTrapOID.0 first; an index allocation
// its mode in the flags, and it takes the master's list only from a success. The master's refusal comes
// back as its wire code, a failed exchange as its negative status. Not sent: a v1 trap that does not
// convert, a list too large for a datagram.
TEST_F(SubAgentTest, WhatTheSubAgentSends) {
  Open();
  std::atomic<int> failures{0};  // exchanges on two threads at once each get an id and an answer of their own
  std::thread pinger([&] {
    for (int i = 0, upTime = 0; i < 20; ++i) failures += m_sa->Ping(upTime) != 0 || upTime != 4242;
  });
  for (int i = 0; i < 20; ++i) failures += m_sa->Notify(BNotification(BObjectIdentifier("1.3.9.0.1"))) != 0;
  pinger.join();
  EXPECT_EQ(failures.load(), 0);
  std::set<unsigned> ids;
  for (const auto& [request, port] : m_master.Received()) ids.insert(request.requestId);
  EXPECT_EQ(ids.size(), 41u);
  FakeSubtreeHandler plain("1.3.1", {}), range("1.3.2", {});
  range.SetHandlerType(MIB_HANDLER_RANGE);
  range.SetRange(9, 4);
  BMibTableImpl table("tbl", BObjectIdentifier("1.3.4"));
  const int access[] = {0, MIB_ACCESS_NONE, MIB_ACCESS_READ_ONLY, MIB_ACCESS_NONE, 0, MIB_ACCESS_READ_CREATE, -1};
  for (const uint32_t column : {1u, 2u, 3u, 5u, 6u}) table.AddColumn(column, access[column], ASN_INTEGER);
  BNotification v2(BObjectIdentifier("1.3.9.0.1"));
  BTrapV1 specific(BObjectIdentifier("1.3.9"), SNMP_TRAP_ENTERPRISE_SPECIFIC, 17);
  for (BTrap* trap : std::initializer_list<BTrap*>{&v2, &specific})
    trap->VarBinds() = Vbl({{"1.3.9.1", Int(1)}, {"1.3.9.2", Str("2")}});
  BVarBindList index = Vbl({{"1.3.4.1", Int(5)}}), alloc = index;  // IndexDealloc keeps its list
  const std::function<int()> sends[] = {[&] { return m_sa->Register(&plain); },
                                        [&] { return m_sa->Register(&range); },
                                        [&] {
                                          return m_sa->UnregisterRow(&table, BObjectIdentifier{3, 7});
                                        },
                                        [&] { return m_sa->Notify(v2); },
                                        [&] { return m_sa->SendTrap(specific, "ignored"); },
                                        [&] { return m_sa->IndexDealloc(index); },
                                        [&] { return m_sa->IndexAlloc(SA_IXALLOC_ANY_INDEX, alloc); }};
  const std::string trap = " s119 f0|1.3.6.1.6.3.1.1.4.1.0=.", vbs = "|1.3.9.1=1|1.3.9.2=\"2\"";
  const std::string sent[] = {"t3 s119 f0|2.18.3=2|2.18.2=\"1.3.1\"|2.18.4=.1.3.1",
                              "t3 s119 f0|2.18.3=6|2.18.2=\"1.3.2\"|2.18.4=.1.3.2|2.18.5=9|2.18.5=4",
                              "t4 s119 f0|2.18.3=6|2.18.2=\"tbl 3.7\"|2.18.4=.1.3.4.2.3.7|2.18.5=4|2.18.5=5",
                              "t12" + trap + "1.3.9.0.1" + vbs,
                              "t12" + trap + "1.3.9.0.17" + vbs,
                              "t15 s119 f0|1.3.4.1=5",
                              "t14 s119 f4|1.3.4.1=5"};
  m_master.Answer({.type = SA_PDU_INDEX_ALLOCATE, .list = Vbl({{"1.3.4", Int(17)}})});
  for (size_t i = 0; i < std::size(sends); ++i) {
    EXPECT_EQ(sends[i](), 0) << sent[i];
    EXPECT_EQ(Sent(), sent[i]);
  }
  EXPECT_EQ(Texts(index) + " " + Texts(alloc), "1.3.4.1=5 1.3.4=17");
  alloc = index;
  for (const int status : {int{SA_WIRE_DUPLICATE_REGISTRATION}, int{SA_WIRE_NOT_OPEN}, int{SA_ERR_TIMEOUT}}) {
    m_master.Answer({.type = -1, .status = status});
    for (size_t i = 0; i < std::size(sends); i += status == SA_ERR_TIMEOUT ? 3 : 1) {
      EXPECT_EQ(sends[i](), status) << sent[i];
    }
  }
  EXPECT_EQ(Texts(index) + " " + Texts(alloc), "1.3.4.1=5 1.3.4.1=5");
  const size_t count = m_master.Count();
  EXPECT_EQ(m_sa->Notify(BTrapV1(BObjectIdentifier(), SNMP_TRAP_ENTERPRISE_SPECIFIC, 1)), -1);
  v2.VarBinds() = Vbl({{"1.3.9.1", Str(std::string(3000, 'x'))}});
  EXPECT_EQ(m_sa->Notify(v2), SA_ERR_BUFFER_FULL);
  EXPECT_FALSE(WaitUntil([&] { return m_master.Count() > count; }, 200, 10));
}

const std::string kFake = "1.9.1.";   // six instances kFake.k.0 with value k
const std::string kRow = "1.9.3.1.";  // entry of a read-create table

// A read-create table with row 5 active, whose undo can be made to fail after it has done its work.
struct RowTable : public BMibTableImplEx {
  RowTable() : BMibTableImplEx("rows", BObjectIdentifier("1.9.3.1")) {
    AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER);
    AddColumn(2, MIB_ACCESS_READ_CREATE, ASN_OCTET_STRING).Default(Str(""));
    SetRowStatusColumn(4);
    AddIndex(1, MIB_INDEX_INTEGER);
    AddRow(BObjectIdentifier{5});
    StoreCell(BObjectIdentifier{5}, 4, Int(1));
  }
  int Set(unsigned tid, const BVarBindList& list, ESnmpSetOpCode code, void** contexts, int& index,
          int count) override {
    const int status = BMibTableImplEx::Set(tid, list, code, contexts, index, count);
    return code == SNMP_SET_UNDO && failUndo ? (index = 0, SNMP_ERR_GENERR) : status;
  }
  bool failUndo = false;
};

// A RowStatus table has the sub-agent's MIB handler as its index registry exactly while it is registered there,
// however it comes and goes; leaving one handler does not take the registry of another.
TEST(SubAgentMibHandlerTest, RowStatusTablesUseTheIndexRegistryWhileRegistered) {
  using Change = std::function<int(BSAMibHandler&, BMibSubtreeHandler*)>;
  const Change add = [](BSAMibHandler& mib, BMibSubtreeHandler* h) { return mib.RegisterSubtreeHandler(h); };
  const Change addGroup = [](BSAMibHandler& mib, BMibSubtreeHandler* h) { return mib.RegisterGroup(&h, 1); };
  const Change remove = [](BSAMibHandler& mib, BMibSubtreeHandler* h) { return mib.UnregisterSubtreeHandler(h); };
  const Change removeGroup = [](BSAMibHandler& mib, BMibSubtreeHandler* h) { return mib.UnregisterGroup(&h, 1); };
  const Change withdraw = [](BSAMibHandler& mib, BMibSubtreeHandler* h) {
    return mib.WithdrawSubtreeHandler(h, nullptr);
  };
  const struct {
    const char* name;
    Change in, out;
  } kCases[] = {{"one by one", add, remove}, {"as a group", addGroup, removeGroup}, {"withdrawn", add, withdraw}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    BSAMibHandler mib, other;
    RowTable table;
    EXPECT_EQ(table.RowReservation(), nullptr);
    ASSERT_NE(c.in(mib, &table), 0);
    IMibRowReservation* const registry = table.RowReservation();
    EXPECT_NE(registry, nullptr);
    ASSERT_NE(c.in(other, &table), 0);  // the newer registration's handler takes over
    EXPECT_NE(table.RowReservation(), registry);
    ASSERT_NE(c.out(mib, &table), 0);
    EXPECT_NE(table.RowReservation(), nullptr);
    ASSERT_NE(c.out(other, &table), 0);
    EXPECT_EQ(table.RowReservation(), nullptr);
    mib.Grace().Collect();
    other.Grace().Collect();
  }
}

class ResponderTest : public SubAgentTest {
 protected:
  void SetUp() override {
    SubAgentTest::SetUp();
    for (int k = 1; k <= 12; ++k) {
      m_big.AddEntry(k, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING).Getter([this](BObjectSyntax& value) {
        value.SetOctets(std::string(m_length, 'x'));
        m_found = BTransactions::Instance()->Find(9);  // on the responder thread
      });
    }
    Open();
    ASSERT_TRUE(m_sa->m_mibHandler.RegisterSubtreeHandler(&m_fake) &&
                m_sa->m_mibHandler.RegisterSubtreeHandler(&m_big));
  }
  void TearDown() override {
    m_sa->Stop();  // before the handlers go
    m_sa->m_mibHandler.UnregisterSubtreeHandler(&m_fake);
    m_sa->m_mibHandler.UnregisterSubtreeHandler(&m_big);
  }

  void SetEncodedLength(int octets) {  // values of the big entries whose varbinds encode to `octets`
    m_length = octets - static_cast<int>(BSAEncoder::CalculateLengthOfEncoding(Big(1, 1)[0]));
  }
  static BVarBindList Big(int first, int last) {  // the names big.k.0 for k = first..last
    BVarBindList list;
    for (int k = first; k <= last; ++k) list.Append(BObjectIdentifier("1.9.2." + std::to_string(k) + ".0"));
    return list;
  }
  // ProcessPdu as the responder runs it, without the network: "status/index".
  std::string Process(int type, const BVarBindList& list, unsigned tid = 9, int nonRepeaters = 0, int repetitions = 0) {
    BSAPdu request = Pdu(type, ScriptedMaster::kSessionId, 0x1234567, list);
    request.errorStatus = nonRepeaters;
    request.errorIndex = repetitions;
    m_answer = Pdu(SA_PDU_RESPONSE, 0x555, 0x1234567, list);
    m_sa->ProcessPdu(tid, request, m_answer);
    EXPECT_TRUE(m_answer.errorStatus == 0 || m_answer.varBindList.IsEmpty());
    return std::to_string(m_answer.errorStatus) + "/" + std::to_string(m_answer.errorIndex);
  }

  // One SET phase as the responder runs it, without the network: checks the answer's status and index and the
  // index requests the master got meanwhile (an index request is a whole exchange within the phase).
  struct PhaseStep {
    int phase;           // SA_PDU_SET_TEST .. SA_PDU_SET_CLEANUP
    BVarBindList list;   // SET-test's varbinds; the later phases send none
    int status;          // the answer's
    int errorIndex;
    std::vector<BSAPdu> requests{};  // to the master during the phase
  };
  void Expect(const PhaseStep& step, unsigned tid) {
    const size_t before = m_master.Count();
    Process(step.phase, step.list, tid);
    EXPECT_EQ(m_answer.errorStatus, step.status);
    EXPECT_EQ(m_answer.errorIndex, step.errorIndex);
    std::vector<std::string> sent, expected;
    const auto received = m_master.Received();
    for (size_t i = before; i < received.size(); ++i) sent.push_back(Texts(received[i].first));
    for (const BSAPdu& request : step.requests) expected.push_back(Texts(request));
    EXPECT_EQ(sent, expected);
  }
  // The index request for row `row` of the RowStatus table.
  static BSAPdu IndexRequest(int type, int row) {
    return Pdu(type, ScriptedMaster::kSessionId, 0, Vbl({{kRow + "1", Int(row)}}));
  }

  FakeSubtreeHandler m_fake{"1.9.1", {"1.9.1.1.0", "1.9.1.2.0", "1.9.1.3.0", "1.9.1.4.0", "1.9.1.5.0", "1.9.1.6.0"}};
  BMibImpl m_big{"big", BObjectIdentifier("1.9.2")};
  std::atomic<BTransaction*> m_found{nullptr};
  int m_length = 0;
  BSAPdu m_answer;
};

// Answers echo the request's ids (not compared with our session) with up-time 0, under a host transaction of
// the request's id; an error answer has an empty list; a GET-BULK off the wire has no non-repeaters and
// max-repetitions: one GET-NEXT per varbind. Datagrams of 9 octets or fewer, datagrams that do not decode
// and answers that do not fit get no answer; types the responder does not serve get genErr.
TEST_F(ResponderTest, AnswersOverTheWireAnswerSizesAndGetBulk) {
  SetEncodedLength(256);
  m_sa->Start();
  const std::vector<unsigned char> frame = Encoded(Pdu(SA_PDU_GET, 1, 2, Vbl({kFake + "2.0"})));
  for (const auto& junk : {std::vector<unsigned char>(frame.begin(), frame.begin() + 9),
                           std::vector<unsigned char>(frame.begin(), frame.begin() + 20),
                           std::vector<unsigned char>(12, 0x30), Encoded(Pdu(SA_PDU_GET, 1, 3, Big(1, 8)))}) {
    m_master.SendRaw(junk);
  }
  const std::tuple<int, BVarBindList, std::string> rows[] = {
      {SA_PDU_GET, Vbl({kFake + "1.0", kFake + "3.0"}), "0/0|" + kFake + "1.0=1|" + kFake + "3.0=3"},
      {SA_PDU_GET_NEXT, Vbl({"1.9.1", kFake + "4.0"}), "0/0|" + kFake + "1.0=1|" + kFake + "5.0=5"},
      {SA_PDU_GET_BULK, Vbl({kFake + "1.0", kFake + "2.0"}), "0/0|" + kFake + "2.0=2|" + kFake + "3.0=3"},
      {SA_PDU_GET, Big(1, 1), "0/0|1.9.2.1.0=\"" + std::string(m_length, 'x') + "\""},
      {SA_PDU_UNREGISTER, Vbl({kFake + "1.0"}), "5/0|"},
      {SA_PDU_NOTIFY, Vbl({kFake + "1.0"}), "5/0|"}};
  for (const auto& [type, list, expected] : rows) {
    BSAPdu request = Pdu(type, ScriptedMaster::kSessionId, 0x1234567, list);
    request.transactionId = 9;
    const std::optional<BSAPdu> answer = m_master.Exchange(request);
    ASSERT_TRUE(answer.has_value()) << type;
    EXPECT_EQ(R(answer->errorStatus) + "/" + R(answer->errorIndex) + "|" + Texts(answer->varBindList), expected);
    EXPECT_EQ(Texts(Pdu(answer->type, answer->sessionId, 0)) + R(answer->transactionId + answer->sysUpTime),
              "t18 s119 f00");
  }
  EXPECT_TRUE(WaitUntil([&] { return m_sa->RequestsAnswered() == std::size(rows); }, 3000, 10));
  EXPECT_TRUE(m_found != nullptr && BTransactions::Instance()->Find(9) == nullptr);
  m_sa->Stop();  // the rest runs ProcessPdu on this thread
  // A handler's error is answered with its index; GET answers count their varbinds against 2048 octets:
  // exactly 2048 pass, more are tooBig. GET-BULK lists the non-repeaters, then repetition after repetition
  // of the repeaters, and counts 50 octets for the header: a repetition that would pass 2048 octets is left
  // out whole, a first pass beyond them is tooBig.
  for (const int status : {int{SNMP_ERR_RESOURCEUNAVAILABLE}, int{SA_WIRE_INDEX_NOT_ALLOCATED}, 0}) {
    m_fake.FailGet(status);
    EXPECT_EQ(Process(SA_PDU_GET, Vbl({kFake + "1.0", kFake + "2.0"})), status == 0 ? "0/0" : R(status) + "/2");
  }
  for (const auto& [octets, expected] : {std::pair{256, "0/0 8"}, {257, "1/0 0"}}) {
    SetEncodedLength(octets);
    const std::string status = Process(SA_PDU_GET, Big(1, 8));
    EXPECT_EQ(status + " " + std::to_string(m_answer.varBindList.Count()), expected);
  }
  const std::tuple<int, int, std::string> bulks[] = {
      {2, 5, "0/0 2 4"}, {1, 3, "0/0 2 4 5 6"}, {0, 3, "0/0 2 4 3 5 4 6"}, {0, 1, "0/0 2 4"}, {0, 0, "0/0 2 4"},
      {-1, 1, "5/0"},    {3, 1, "5/0"}};
  for (const auto& [nonRepeaters, repetitions, expected] : bulks) {
    std::string got = Process(SA_PDU_GET_BULK, Vbl({kFake + "1.0", kFake + "3.0"}), 9, nonRepeaters, repetitions);
    for (const BVarBind& vb : m_answer.varBindList) got += " " + std::to_string(vb.name[3]);
    EXPECT_EQ(got, expected) << nonRepeaters << "/" << repetitions;
  }
  // 50 + 10 * 199 = 2040; 50 + 9 * 222 = 2048; 50 + 7 * 256 = 1842 (8 * 256 alone would fit)
  for (const auto& [octets, kept] : {std::pair{199, 10}, {222, 9}, {256, 7}}) {
    SetEncodedLength(octets);
    const std::string status = Process(SA_PDU_GET_BULK, Vbl({"1.9.2"}), 9, 0, 20);
    EXPECT_EQ(status + " " + std::to_string(m_answer.varBindList.Count()), "0/0 " + std::to_string(kept));
  }
  for (const int nonRepeaters : {9, 0}) EXPECT_EQ(Process(SA_PDU_GET_BULK, Big(0, 8), 9, nonRepeaters, 5), "1/0");
}

constexpr int kTest = SA_PDU_SET_TEST, kCommit = SA_PDU_SET_COMMIT, kUndo = SA_PDU_SET_UNDO,
              kCleanup = SA_PDU_SET_CLEANUP, kAlloc = SA_PDU_INDEX_ALLOCATE, kDealloc = SA_PDU_INDEX_DEALLOCATE;

// Each case runs its phases on one transaction against a fresh RowStatus table (row 5 active), the master
// answering the index requests as the case says: the table reserves a created row's index at SET-test and
// releases it at undo, a deleted row's the other way round, and the answers tell the master's refusals.
TEST_F(ResponderTest, SetPhasesKeepTheMastersIndexRegistryInStep) {
  const BVarBindList create7 = Vbl({{kRow + "2.7", Str("n")}, {kRow + "4.7", Int(ROW_CREATE_AND_GO)}});
  const BVarBindList destroy5 = Vbl({{kRow + "4.5", Int(ROW_DESTROY)}});
  const BVarBindList rename5 = Vbl({{kRow + "2.5", Str("renamed")}});
  const BVarBindList outside = Vbl({{"1.8.1.0", Int(1)}, {kFake + "1.0", Int(1)}});
  const BSAPdu alloc7 = IndexRequest(kAlloc, 7), dealloc7 = IndexRequest(kDealloc, 7);
  const BSAPdu alloc5 = IndexRequest(kAlloc, 5), dealloc5 = IndexRequest(kDealloc, 5);
  const int kNoIndex = SA_WIRE_INDEX_ALREADY_ALLOCATED, kNotAllocated = SA_WIRE_INDEX_NOT_ALLOCATED;
  // clang-format off
  // `failUndo`: the table's undo fails after it has done its work.
  const struct { const char* name; Rule master; bool failUndo; std::vector<PhaseStep> steps; } kCases[] = {
      {"a created row's index is reserved at test; a second cleanup finds no record", {}, false,
       {{kTest, create7, 0, 0, {alloc7}}, {kCommit, {}, 0, 0}, {kCleanup, {}, 0, 0}, {kCleanup, {}, SNMP_ERR_GENERR, 0}}},
      {"the master refuses the reservation: noCreation at the row's status", {.type = kAlloc, .status = kNoIndex}, false,
       {{kTest, create7, SNMP_ERR_NOCREATION, 2, {alloc7}}, {kCleanup, {}, 0, 0}}},
      {"undo releases a created row's index", {}, false,
       {{kTest, create7, 0, 0, {alloc7}}, {kUndo, {}, 0, 0, {dealloc7}}, {kCleanup, {}, 0, 0}}},
      {"the master refuses the release at undo: noCreation at the row's status",
       {.type = kDealloc, .status = kNotAllocated}, false,
       {{kTest, create7, 0, 0, {alloc7}}, {kUndo, {}, SNMP_ERR_NOCREATION, 2, {dealloc7}}, {kCleanup, {}, 0, 0}}},
      {"a failed table undo still releases the index", {}, true,
       {{kTest, create7, 0, 0, {alloc7}}, {kUndo, {}, SNMP_ERR_UNDOFAILED, 1, {dealloc7}}, {kCleanup, {}, 0, 0}}},
      {"a deleted row's index is released at test and reserved again at undo", {}, false,
       {{kTest, destroy5, 0, 0, {dealloc5}}, {kUndo, {}, 0, 0, {alloc5}}, {kCleanup, {}, 0, 0}}},
      {"the master refuses the reservation at undo: undoFailed at the row's status",
       {.type = kAlloc, .status = kNoIndex}, false,
       {{kTest, destroy5, 0, 0, {dealloc5}}, {kUndo, {}, SNMP_ERR_UNDOFAILED, 1, {alloc5}}, {kCleanup, {}, 0, 0}}},
      {"the master refuses the release at test: its code, at no varbind", {.type = kDealloc, .status = kNotAllocated},
       false, {{kTest, destroy5, kNotAllocated, 0, {dealloc5}}, {kCleanup, {}, 0, 0}}},
      {"a row neither created nor deleted: no index request", {}, false,
       {{kTest, rename5, 0, 0}, {kCommit, {}, 0, 0}, {kCleanup, {}, 0, 0}}},
      {"phases without a test are genErr; a first name no handler serves is noSuchName", {}, false,
       {{kCommit, {}, SNMP_ERR_GENERR, 0}, {kUndo, {}, SNMP_ERR_GENERR, 0}, {kCleanup, {}, SNMP_ERR_GENERR, 0},
        {kTest, outside, SNMP_ERR_NOSUCHNAME, 1}, {kCleanup, {}, SNMP_ERR_GENERR, 0}}}};
  // clang-format on
  unsigned tid = 100;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    RowTable table;
    table.failUndo = c.failUndo;
    ASSERT_NE(m_sa->m_mibHandler.RegisterSubtreeHandler(&table), 0);
    m_master.Answer(c.master);
    ++tid;
    for (size_t k = 0; k < c.steps.size(); ++k) {
      SCOPED_TRACE("step " + std::to_string(k + 1));
      Expect(c.steps[k], tid);
    }
    EXPECT_EQ(m_sa->m_mibHandler.PendingSets(), 0);
    m_sa->m_mibHandler.UnregisterSubtreeHandler(&table);
  }
}

// Steps on the scripted handler, one after the other: the phases drive the handler of the first varbind with
// the whole list SET-test kept and answer its failures at their positions; a record stays from test to cleanup
// whatever the phases before, and out-of-order phases reach the handler as they come.
TEST_F(ResponderTest, SetPhasesRouteToTheHandlerAndAnswerItsFailures) {
  const BVarBindList pair = Vbl({{kFake + "1.0", Int(10)}, {kFake + "2.0", Int(20)}});
  const BVarBindList span = Vbl({{kFake + "1.0", Int(10)}, {"1.9.5.1.0", Int(20)}});
  struct Failure {
    ESnmpSetOpCode phase;
    int at;
    int status;
  };
  const int kUnavailable = SNMP_ERR_RESOURCEUNAVAILABLE;
  // clang-format off
  // `fail` is told to the handler before the step; afterwards the handler's kFake 1.0 and 2.0 hold `values`,
  // the sub-agent holds `pending` SET records and the handler `slots` live context slots.
  const struct { const char* name; unsigned tid; std::optional<Failure> fail; PhaseStep step; std::array<int, 2> values;
                 int pending, slots; } kSteps[] = {
      {"test of a pair", 1, {}, {kTest, pair, 0, 0}, {1, 2}, 1, 0},
      {"commit of the pair", 1, {}, {kCommit, {}, 0, 0}, {10, 20}, 1, 2},
      {"undo after commit", 1, {}, {kUndo, {}, 0, 0}, {1, 2}, 1, 2},
      {"cleanup frees the record and the slots", 1, {}, {kCleanup, {}, 0, 0}, {1, 2}, 0, 0},
      {"a second name outside the handler", 1, {}, {kTest, span, SNMP_ERR_NOTWRITABLE, 2}, {1, 2}, 1, 0},
      {"cleanup after a failed test", 1, {}, {kCleanup, {}, 0, 0}, {1, 2}, 0, 0},
      {"test refused at the second varbind", 2, Failure{SNMP_SET_TEST, 1, SNMP_ERR_WRONGVALUE},
       {kTest, pair, SNMP_ERR_WRONGVALUE, 2}, {1, 2}, 1, 0},
      {"cleanup of the refused test", 2, {}, {kCleanup, {}, 0, 0}, {1, 2}, 0, 0},
      {"test before a failing commit", 2, Failure{SNMP_SET_COMMIT, 1, SNMP_ERR_GENERR}, {kTest, pair, 0, 0}, {1, 2}, 1, 0},
      {"commit fails at the second varbind", 2, {}, {kCommit, {}, SNMP_ERR_COMMITFAILED, 2}, {10, 2}, 1, 1},
      {"undo fails at the first varbind", 2, Failure{SNMP_SET_UNDO, 0, SNMP_ERR_GENERR},
       {kUndo, {}, SNMP_ERR_UNDOFAILED, 1}, {10, 2}, 1, 1},
      {"cleanup fails at the second varbind, the record goes", 2, Failure{SNMP_SET_CLEANUP, 1, kUnavailable},
       {kCleanup, {}, kUnavailable, 2}, {10, 2}, 0, 0},
      // A SET whose cleanup never comes: its record goes with the sub-agent (LeakSanitizer watches).
      {"a test left without cleanup", 3, {}, {kTest, pair, 0, 0}, {10, 2}, 1, 0}};
  // clang-format on
  for (const auto& c : kSteps) {
    SCOPED_TRACE(c.name);
    if (c.fail.has_value()) m_fake.FailSet(c.fail->phase, c.fail->at, c.fail->status);
    Expect(c.step, c.tid);
    EXPECT_EQ((std::array{m_fake.ValueOf("1.9.1.1.0"), m_fake.ValueOf("1.9.1.2.0")}), c.values);
    EXPECT_EQ(m_sa->m_mibHandler.PendingSets(), c.pending);
    EXPECT_EQ(m_fake.LiveSlots(), c.slots);
  }
}

// Keep-session mode against the scripted master. A registration made before any session is remembered and
// announced once one opens; opens that get no answer are tried again after delays that double up to the cap
// (2 s here) and never beyond, each between half and all of its step; a ping refused with notOpen brings a
// new session with the registration and the index value held announced again; the application hears each
// step once.
TEST_F(SubAgentTest, KeepSessionRetriesWithCappedBackOffAndAnnouncesEverythingAgain) {
  // What the threads report, kept under a lock for the test to read.
  struct Events : ISASessionEvents, IMessageSubscriber {
    void OnSessionLost(const char* reason) override { Add(std::string("lost: ") + reason); }
    void OnSessionBack(unsigned int) override { Add("back"); }
    void OnRegistrationRefused(unsigned int, const BObjectIdentifier& subtree, int) override {
      Add("refused " + subtree.ToString().str());
    }
    void OnMessage(const BMessage& m) override {  // the keeper's trace: the delay before its next open
      std::smatch found;
      const std::string text = m.Text().str();
      if (std::regex_search(text, found, std::regex("next in (\\d+) ms"))) Add(found[1], true);
    }
    void Add(const std::string& event, bool delay = false) {
      std::lock_guard<std::mutex> lock(m_lock);
      (delay ? m_delays : m_events).push_back(event);
    }
    std::vector<std::string> Seen(bool delays = false) {
      std::lock_guard<std::mutex> lock(m_lock);
      return delays ? m_delays : m_events;
    }
    std::mutex m_lock;
    std::vector<std::string> m_events, m_delays;
  } events;
  auto count = [&](int type) {
    int n = 0;
    for (const auto& [pdu, port] : m_master.Received()) n += pdu.type == type;
    return n;
  };

  Set("PingInterval", 1);
  m_master.Answer({.type = SA_PDU_OPEN_SESSION, .status = SA_ERR_TIMEOUT});
  Init();
  m_sa->KeepSession(BString("kept"), &events, 2);
  BMibImpl scalars("kept scalars", BObjectIdentifier("1.3.6.1.4.1.32473.5.1"));
  EXPECT_EQ(m_sa->Register(&scalars), SA_WIRE_NOT_OPEN) << "remembered, not sent";
  ASSERT_EQ(QVSubAgTraceSubscribe(&events), 0);
  ASSERT_EQ(m_sa->Start(), 0);
  EXPECT_TRUE(WaitUntil([&] { return events.Seen(true).size() >= 3; }, 30000, 20));
  std::vector<int> waited;
  for (const std::string& delay : events.Seen(true)) waited.push_back(std::stoi(delay));
  ASSERT_GE(waited.size(), 3u);
  EXPECT_TRUE(waited[0] >= 500 && waited[0] <= 1000) << waited[0];
  for (size_t i = 1; i < waited.size(); ++i) EXPECT_TRUE(waited[i] >= 1000 && waited[i] <= 2000) << waited[i];
  EXPECT_EQ(count(SA_PDU_REGISTER), 0);

  m_master.Answer({});
  EXPECT_TRUE(WaitUntil([&] { return events.Seen().size() == 1; }, 10000, 10));
  EXPECT_EQ(m_sa->SessionId(), ScriptedMaster::kSessionId);
  EXPECT_EQ(count(SA_PDU_REGISTER), 1);
  BVarBindList index = Vbl({{"1.3.6.1.4.1.32473.5.2.1.1", Int(9)}});
  EXPECT_EQ(m_sa->IndexAlloc(SA_IXALLOC_VALUE, index), 0);

  m_master.Answer({.type = SA_PDU_PING, .status = SA_WIRE_NOT_OPEN});
  EXPECT_TRUE(WaitUntil([&] { return events.Seen().size() >= 2; }, 10000, 10));
  m_master.Answer({});
  EXPECT_TRUE(WaitUntil([&] { return events.Seen().size() >= 3; }, 10000, 10));
  m_sa->Stop();
  BMessageDispatcher::Instance()->Unsubscribe(SA_TRACE_MESSAGE_TYPE, &events);
  EXPECT_EQ(events.Seen(),
            (std::vector<std::string>{"back", "lost: the master does not know our session", "back"}));
  EXPECT_EQ(count(SA_PDU_REGISTER), 2) << "announced again, once";
  EXPECT_EQ(count(SA_PDU_INDEX_ALLOCATE), 2) << "the index value reserved again";
  std::string again;
  for (const auto& [pdu, port] : m_master.Received()) {
    if (pdu.type == SA_PDU_INDEX_ALLOCATE) again = Texts(pdu.varBindList) + " f" + std::to_string(pdu.flags);
  }
  EXPECT_EQ(again, "1.3.6.1.4.1.32473.5.2.1.1=9 f0") << "the same value, asked for as it is";
}

}  // namespace
}  // namespace QVT::test
