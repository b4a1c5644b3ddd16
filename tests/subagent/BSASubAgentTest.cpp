// BSASubAgent against a scripted master: configuration and lifecycle, the
// session and its exchanges, what the sub-agent sends, the list builders.
#include <array>
#include <set>

#include "BMibTableImpl.h"
#include "BSAMibImpl.h"
#include "FailingStore.h"
#include "FakeSubtreeHandler.h"
#include "SubAgentTestSupport.h"

namespace QVT::test {
namespace {

using Peer = BSASubAgentPeer;

TEST(SubAgentConfigTest, BeforeInitWithoutStoreAndInitTwice) {
  BSASubAgent sa;
  int upTime = 0;
  EXPECT_NE(sa.Start(), 0);
  EXPECT_EQ(Peer::Threads(sa), 0);
  EXPECT_LT(sa.Ping(upTime), 0);
  EXPECT_EQ(sa.GetNewRequestId(), 2u);  // the ping drew 1
  Peer::SetLastRequestId(sa, 0x3FFFFFFE);
  EXPECT_EQ(sa.GetNewRequestId(), 0x3FFFFFFFu);
  EXPECT_EQ(sa.GetNewRequestId(), 1u);
  BMemoryStore store;  // not read: Init runs once
  store.SetInt("SubAgent", "MasterTimeout", 9, 0, 0, 0);
  ASSERT_TRUE(sa.Init(nullptr) == 0 && sa.Init(&store) == 0);
  EXPECT_EQ(Peer::Config(sa), "10 3 3 ");
}

// PingInterval, MasterTimeout, MaxProcTime, MasterAddress as stored (null:
// absent), one after the other into one sub-agent, and as used. SaveToNV
// always writes the first and the last, and returns the first failure.
TEST(SubAgentConfigTest, SettingsAndTheirRules) {
  const std::array<const char*, 5> rows[] = {{nullptr, nullptr, nullptr, nullptr, "60 3 3 127.0.0.1:10001"},
                                             {"3601", "-4", "5000", "localhost:70000", "60 1 5000 127.0.0.1:10001"},
                                             {"-5", "7", "0", "127.0.0.2", "-5 7 1 127.0.0.1:10001"},
                                             {"often", "soon", "x", nullptr, "60 3 3 127.0.0.1:10001"},
                                             {"3600", "0", "-4", "127.0.0.2:161", "3600 1 1 127.0.0.2:161"}};
  BSASubAgent sa;
  for (const auto& row : rows) {
    BMemoryStore store;
    int i = 0;
    for (const char* key : {"PingInterval", "MasterTimeout", "MaxProcTime", "MasterAddress"}) {
      if (row[i++] != nullptr) store.SetString("SubAgent", key, row[i - 1], 0, 0);
    }
    EXPECT_EQ(sa.InitFromNV(&store), 0);
    EXPECT_EQ(Peer::Config(sa), row[4]);
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
    EXPECT_EQ(store.Written().size(), 2u);
  }
}

// Start runs the pinger only for a positive interval, Stop ends both
// threads, and destroying a running sub-agent stops them too.
TEST_F(SubAgentTest, StartAndStop) {
  for (const int interval : {0, -5, 1}) {
    Set("PingInterval", interval);
    Init();
    EXPECT_EQ(m_sa->Start(), 0);
    EXPECT_EQ(Peer::Threads(*m_sa), interval > 0 ? 3 : 1) << interval;
    EXPECT_EQ(m_sa->Stop(), 0);
    EXPECT_EQ(Peer::Threads(*m_sa), 0);
  }
  auto sa = std::make_unique<BSASubAgent>();
  ASSERT_TRUE(sa->Init(&m_store) == 0 && sa->OpenSession("x") == 0 && sa->Start() == 0);
  EXPECT_TRUE(WaitUntil([&] { return m_master.Count() == 2; }, 3000, 10));  // the open and a ping
  sa.reset();
}

TEST_F(SubAgentTest, OpenSessionAnnouncesTheProcessingTimeOnlyFrom1To3599) {
  for (const auto& [maxProcTime, description, sent] :
       {std::tuple{0, "sub-agent A", "t1 s0 f0|2.18.2=\"sub-agent A\"|2.18.9=1"},
        {3599, "", "t1 s0 f0|2.18.2=\"\"|2.18.9=3599"},
        {3600, "x", "t1 s0 f0|2.18.2=\"x\""}}) {
    Set("MaxProcTime", maxProcTime);
    Init();
    ASSERT_EQ(m_sa->OpenSession(description), 0);
    EXPECT_EQ(Sent(), sent);
  }
}

// One sub-agent through a series of steps, the master answering as the
// row's rule says; then the result, the session id, the number of requests
// the master has seen, and the last one. The open takes the one datagram
// that comes back; other exchanges the first that decodes and carries their
// request id, from whichever address. The session changes only on success.
// Every open comes from a fresh responder port, and the responder follows.
TEST_F(SubAgentTest, SessionSteps) {
  Init();
  int upTime = 0;
  const std::function<std::string()> open = [&] { return R(m_sa->OpenSession("x")); };
  const std::function<std::string()> close = [&] { return R(m_sa->CloseSession()); };
  const std::function<std::string()> ping = [&] {
    const int result = m_sa->Ping(upTime);
    return R(result) + "," + std::to_string(upTime);
  };
  const int kOpen = SA_PDU_OPEN_SESSION, kClose = SA_PDU_CLOSE_SESSION, kPing = SA_PDU_PING;
  const std::string opened = " t1 s0 f0|2.18.2=\"x\"|2.18.9=3";
  const std::tuple<Rule, std::function<std::string()>, std::string> steps[] = {
      {{}, ping, "0,4242 s0 n1 t13 s0 f0"},
      {{.type = kOpen, .status = SA_WIRE_OPEN_FAILED}, open, "256 s0 n2" + opened},
      {{.type = kOpen, .status = SA_ERR_TIMEOUT}, open, "800c0001 s0 n3" + opened},
      {{.type = kOpen, .octets = {4, 4, 'Q', 'V', 'T', '2', 0}}, open, "ffffffff s0 n4" + opened},
      {{.type = kOpen, .offset = 5}, open, "0 s119 n5" + opened},
      {{}, open, "800c0002 s119 n5" + opened},
      {{.type = kPing, .upTime = 7, .strays = true}, ping, "0,7 s119 n6 t13 s119 f0"},
      {{.type = kPing, .upTime = 77, .third = true}, ping, "0,77 s119 n7 t13 s119 f0"},
      {{.type = kPing, .status = SA_WIRE_NOT_OPEN, .upTime = 55}, ping, "257,0 s119 n8 t13 s119 f0"},
      {{.type = kPing, .status = SA_ERR_TIMEOUT}, ping, "800c0001,0 s119 n9 t13 s119 f0"},
      {{.type = kClose, .status = SA_WIRE_NOT_OPEN}, close, "257 s119 n10 t2 s119 f0"},
      {{.type = kClose, .status = SA_ERR_TIMEOUT}, close, "800c0001 s119 n11 t2 s119 f0"},
      {{}, open, "800c0002 s119 n11 t2 s119 f0"},
      {{}, close, "0 s0 n12 t2 s119 f0"},
      {{}, close, "257 s0 n12 t2 s119 f0"}};
  for (const auto& [rule, step, expected] : steps) {
    m_master.Answer(rule);
    const std::string result = step();
    EXPECT_EQ(
        result + " s" + std::to_string(m_sa->SessionId()) + " n" + std::to_string(m_master.Count()) + " " + Sent(),
        expected);
  }
  ASSERT_TRUE(m_sa->OpenSession("again") == 0 && m_sa->Start() == 0);
  std::set<unsigned short> ports;
  for (const auto& [request, port] : m_master.Received()) ports.insert(request.type == kOpen ? port : 0);
  EXPECT_EQ(ports.size(), 6u);  // five opens, and 0 for the others
  EXPECT_EQ(m_master.Exchange(Pdu(SA_PDU_GET, 1, 0x4711, Vbl({"1.3.6"})))->errorStatus, 0);
}

// The ping thread reports each ping through the hooks, a time-out with ten
// times the ping interval, and leaves the session as it is.
TEST_F(SubAgentTest, PingThreadReportsThroughTheHooks) {
  Set("PingInterval", 2);
  for (const auto& [status, hook] :
       {std::pair{0, 4242}, {SA_WIRE_NOT_OPEN, 0}, {SA_WIRE_PROCESSING_ERROR, -20}, {SA_ERR_TIMEOUT, -20}}) {
    m_master.Answer({.type = SA_PDU_PING, .status = status, .upTime = 4242});
    Open();
    m_sa->Start();
    EXPECT_TRUE(WaitUntil([&] { return m_sa->m_hook != -1; }, 3000, 10));
    EXPECT_EQ(m_sa->m_hook.load(), hook);
    EXPECT_EQ(m_sa->SessionId(), ScriptedMaster::kSessionId);
  }
}

// Exchanges started on two threads at once go out one at a time, each with
// an id of its own, and each gets its own answer.
TEST_F(SubAgentTest, ConcurrentExchangesEachGetTheirOwnAnswer) {
  Open();
  std::atomic<int> failures{0};
  std::thread pinger([&] {
    for (int i = 0, upTime = 0; i < 20; ++i) failures += m_sa->Ping(upTime) != 0 || upTime != 4242;
  });
  for (int i = 0; i < 20; ++i) failures += m_sa->Notify(BNotification(BObjectIdentifier("1.3.9.0.1"))) != 0;
  pinger.join();
  EXPECT_EQ(failures.load(), 0);
  std::set<unsigned> ids;
  for (const auto& [request, port] : m_master.Received()) ids.insert(request.requestId);
  EXPECT_EQ(ids.size(), 41u);
}

// Registrations carry three varbinds, five for a range; a table row is a
// range over its accessible columns, entry.firstColumn.index up to the last
// one. A notification has snmpTrapOID.0 first. The master's refusal comes
// back as its wire code, a failed exchange as its negative status. Not sent:
// a v1 trap that does not convert, a list too large for a datagram.
TEST_F(SubAgentTest, WhatTheSubAgentSends) {
  Open();
  FakeSubtreeHandler plain("1.3.1", {}), range("1.3.2", {});
  range.SetHandlerType(MIB_HANDLER_RANGE);
  range.SetRange(9, 4);
  BMibTableImpl table("tbl", BObjectIdentifier("1.3.4")), hidden("hidden", BObjectIdentifier("1.3.4"));
  const int access[] = {0, MIB_ACCESS_NONE, MIB_ACCESS_READ_ONLY, MIB_ACCESS_NONE, 0, MIB_ACCESS_READ_CREATE, -1};
  for (const uint32_t column : {1u, 2u, 3u, 5u, 6u}) table.AddColumn(column, access[column], ASN_INTEGER);
  hidden.AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER);
  BNotification v2(BObjectIdentifier("1.3.9.0.1"));
  BTrapV1 specific(BObjectIdentifier("1.3.9"), SNMP_TRAP_ENTERPRISE_SPECIFIC, 17);
  for (BTrap* trap : std::initializer_list<BTrap*>{&v2, &specific})
    trap->VarBinds() = Vbl({"1.3.9.1=1", "1.3.9.2='2'"});
  BVarBindList index = Vbl({"1.3.4.1=5"});  // IndexDealloc does not replace it by the answer's list
  const BObjectIdentifier row37{3, 7}, none;
  const std::function<int()> sends[] = {[&] { return m_sa->Register(&plain); },
                                        [&] { return m_sa->Register(&range); },
                                        [&] { return m_sa->UnregisterRow(&table, row37); },
                                        [&] { return m_sa->RegisterRow(&table, none); },
                                        [&] { return m_sa->RegisterRow(&hidden, row37); },
                                        [&] { return m_sa->Notify(v2); },
                                        [&] { return m_sa->SendTrap(specific, "ignored"); },
                                        [&] { return m_sa->IndexDealloc(index); }};
  const std::string trap = " s119 f0|1.3.6.1.6.3.1.1.4.1.0=.", vbs = "|1.3.9.1=1|1.3.9.2=\"2\"";
  const std::string sent[] = {
      "t3 s119 f0|2.18.3=2|2.18.2=\"1.3.1\"|2.18.4=.1.3.1",
      "t3 s119 f0|2.18.3=6|2.18.2=\"1.3.2\"|2.18.4=.1.3.2|2.18.5=9|2.18.5=4",
      "t4 s119 f0|2.18.3=6|2.18.2=\"tbl 3.7\"|2.18.4=.1.3.4.2.3.7|2.18.5=4|2.18.5=5",
      "t3 s119 f0|2.18.3=6|2.18.2=\"tbl " + none.ToString().str() + "\"|2.18.4=.1.3.4.2|2.18.5=4|2.18.5=5",
      "t3 s119 f0|2.18.3=6|2.18.2=\"hidden 3.7\"|2.18.4=.1.3.4.0.3.7|2.18.5=4|2.18.5=0",
      "t12" + trap + "1.3.9.0.1" + vbs,
      "t12" + trap + "1.3.9.0.17" + vbs,
      "t15 s119 f0|1.3.4.1=5"};
  for (size_t i = 0; i < std::size(sends); ++i) {
    EXPECT_EQ(sends[i](), 0) << sent[i];
    EXPECT_EQ(Sent(), sent[i]);
  }
  for (const int status : {int{SA_WIRE_DUPLICATE_REGISTRATION}, int{SA_WIRE_NOT_OPEN}, int{SA_ERR_TIMEOUT}}) {
    m_master.Answer({.type = -1, .status = status});
    for (size_t i = 0; i < std::size(sends); i += status == SA_ERR_TIMEOUT ? 3 : 1) {
      EXPECT_EQ(sends[i](), status) << sent[i];
    }
  }
  EXPECT_EQ(Texts(index), "1.3.4.1=5");
  const size_t count = m_master.Count();
  EXPECT_EQ(m_sa->Notify(BTrapV1(BObjectIdentifier(), SNMP_TRAP_ENTERPRISE_SPECIFIC, 1)), -1);
  EXPECT_EQ(m_sa->Notify(BTrapV1(BObjectIdentifier("1.3.9"), static_cast<ESNMPv1TrapType>(7), 1)), -1);
  v2.VarBinds() = Vbl({"1.3.9.1='" + std::string(3000, 'x') + "'"});
  EXPECT_EQ(m_sa->Notify(v2), SA_ERR_BUFFER_FULL);
  BVarBindList huge = v2.VarBinds();
  EXPECT_EQ(m_sa->IndexAlloc(SA_IXALLOC_ANY_INDEX, huge), SA_ERR_BUFFER_FULL);
  EXPECT_EQ(Texts(huge), Texts(v2.VarBinds()));
  EXPECT_FALSE(WaitUntil([&] { return m_master.Count() > count; }, 200, 10));
}

// IndexAlloc sends its mode and takes the master's list only from a success.
TEST_F(SubAgentTest, IndexAlloc) {
  Open();
  for (const auto& [mode, status, expected] : {std::tuple{SA_IXALLOC_VALUE, 259, "259 1.3.4=1"},
                                               {SA_IXALLOC_NEW_INDEX, int{SA_ERR_TIMEOUT}, "800c0001 1.3.4=1"},
                                               {SA_IXALLOC_ANY_INDEX, 0, "0 1.3.4=17"}}) {
    m_master.Answer({.type = SA_PDU_INDEX_ALLOCATE, .status = status, .list = Vbl({"1.3.4=17"})});
    BVarBindList list = Vbl({"1.3.4=1"});
    const int result = m_sa->IndexAlloc(mode, list);
    EXPECT_EQ(R(result) + " " + Texts(list), expected);
    EXPECT_EQ(Sent(), "t14 s119 f" + std::to_string(mode) + "|1.3.4=1");
  }
}

// The list builders append to what the PDU holds already: a range, a
// subtree, the accessible scalars, none; then a table's rows, none, one, two.
TEST(SubAgentListTest, AddSubidsToVblAndAddIndicesToVbl) {
  BSAMibImpl range("r", BObjectIdentifier("1.3.5"), MIB_HANDLER_RANGE);
  range.SetRange(9, 4);
  BSAMibImpl subtree("s", BObjectIdentifier("1.3.5"), MIB_HANDLER_SUBTREE), scalars("c", BObjectIdentifier("1.3.6"));
  const int access[] = {0, MIB_ACCESS_READ_ONLY, MIB_ACCESS_NONE, MIB_ACCESS_READ_WRITE, MIB_ACCESS_NOTIFY, 0, 0, 3};
  for (const uint32_t subId : {1u, 2u, 3u, 4u, 7u}) scalars.AddEntry(subId, access[subId], ASN_INTEGER);
  BSAMibImpl hidden("h", BObjectIdentifier("1.3.6"));
  BMibTableImpl table("tbl", BObjectIdentifier("1.3.4.1"));
  table.AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER);
  table.AddColumn(2, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING).Default(Val("''"));
  table.AddIndex(1, MIB_INDEX_INTEGER);
  table.AddIndex(2, MIB_INDEX_OCTETS);
  BSASubAgent sa;
  BSAPdu pdu = Pdu(SA_PDU_REGISTER, 1, 1, Vbl({"1.2=1"}));
  for (BSAMibImpl* mib : {&range, &subtree, &scalars, &hidden}) sa.AddSubidsToVbl(mib, pdu);
  for (const BObjectIdentifier& row :
       {BObjectIdentifier(), BObjectIdentifier{9, 1, 97}, BObjectIdentifier{4, 2, 97, 98}}) {
    EXPECT_TRUE(row.IsEmpty() || table.AddRow(row) != 0);
    sa.AddIndicesToVbl(&table, pdu);
  }
  EXPECT_EQ(Texts(pdu.varBindList),
            "1.2=1|2.18.5=9|2.18.5=4|2.18.5=3|2.18.5=5|2.18.8=3|2.18.5=1|2.18.5=3|2.18.5=7|2.18.8=0|2.18.8=0|2.18.8=1|"
            "2.18.7=.2.18.9.1.97|2.18.8=2|2.18.7=.2.18.4.2.97.98|2.18.7=.2.18.9.1.97");
  EXPECT_EQ(hidden.Get1stAccessibleSubId() + hidden.GetLastAccessibleSubId() + hidden.Get1stSubId(), 0u);
  EXPECT_EQ(scalars.GetAccess(5) + static_cast<int>(scalars.GetNextSubId(7)), 0);
}

}  // namespace
}  // namespace QVT::test
