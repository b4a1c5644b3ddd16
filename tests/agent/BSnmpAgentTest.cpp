// The agent over loopback UDP, a scripted manager asking a MIB of scalars, a
// table, the snmp group and a gate handler.
#include "BSnmpAgent.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>

#include "BMibTableImpl.h"
#include "BSnmpTransaction.h"
#include "ChildProcess.h"
#include "RecordingTrapSender.h"
#include "SnmpTestPeer.h"
#include "TEvent.h"
#include "TestSupport.h"

namespace QVT {
namespace {

constexpr const char* kDescr = "1.3.6.1.4.1.32473.1.1.1.0";
constexpr const char* kCount = "1.3.6.1.4.1.32473.1.1.4.0";
constexpr const char* kOctets = "1.3.6.1.4.1.32473.1.1.5.0";   // Counter64
constexpr const char* kLabel = "1.3.6.1.4.1.32473.1.2.1.3.1";  // writable, 0..8 octets
constexpr const char* kLevel = "1.3.6.1.4.1.32473.1.2.1.4.1";  // writable, 1..10
constexpr const char* kGate = "1.3.6.1.4.1.32473.9.1.0";
constexpr int kV1 = SNMP_VERSION_1;
constexpr int kV2 = SNMP_VERSION_2C;
using test::Show;

// clang-format off
#define VALUE(call) [&] { BObjectSyntax v; v.call; return v; }()
// clang-format on
const auto Int = [](int n) { return VALUE(SetInt(n)); };
const auto Text = [](const char* text) { return VALUE(SetOctets(text)); };

// Records who asked, as the request's host transaction tells; GET waits for the gate.
struct GateHandler : BMibSubtreeHandler {
  GateHandler() : BMibSubtreeHandler(BString("gate"), BObjectIdentifier("1.3.6.1.4.1.32473.9")) {}
  int Get(unsigned tid, BVarBindList& list, int& index, int count) override {
    if (const auto* tx = dynamic_cast<BSnmpTransaction*>(BTransactions::Instance()->Find(tid))) {
      std::lock_guard<std::mutex> guard(lock);
      asker = QVAddressToString(tx->RemoteAddress()).str() + " to " + QVAddressToString(tx->LocalAddress()).str() +
              " as " + tx->GetParams()->Name().str();
    }
    const int now = ++inside;
    for (int most = mostInside.load(); now > most && !mostInside.compare_exchange_weak(most, now);) {
    }
    entered.Set();
    open.Wait(10000);
    --inside;
    for (int i = index; i < index + count; ++i) list[i].value.SetOctets("late");
    return 0;
  }
  TEvent entered, open;
  std::atomic<int> inside{0}, mostInside{0};  // requests held in the gate, now and at once at the most
  std::mutex lock;                            // guards asker; taken alone
  std::string asker;
};

class BSnmpAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_scalars.AddEntry(1, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING).Getter([](auto& v) { v.SetOctets("agent"); });
    m_scalars.AddEntry(4, MIB_ACCESS_READ_ONLY, ASN_COUNTER32).Getter([](auto& v) { v.SetCounter32(7); });
    m_scalars.AddEntry(5, MIB_ACCESS_READ_ONLY, ASN_COUNTER64).Getter([](auto& v) { v.SetCounter64(1ull << 40); });
    m_table.AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER);
    m_table.AddIndex(1, MIB_INDEX_INTEGER);
    m_table.AddColumn(2, MIB_ACCESS_READ_ONLY, ASN_INTEGER);
    m_table.AddColumn(3, MIB_ACCESS_READ_WRITE, ASN_OCTET_STRING).Size(0, 8);
    m_table.AddColumn(4, MIB_ACCESS_READ_WRITE, ASN_INTEGER).Range(1, 10);
    for (uint32_t row = 1; row <= 3; ++row) {
      ASSERT_TRUE(m_table.AddRow(BObjectIdentifier{row}));
      m_table.StoreCell(BObjectIdentifier{row}, 2, Int(static_cast<int>(row) * 7));
      m_table.StoreCell(BObjectIdentifier{row}, 3, Text(""));
      m_table.StoreCell(BObjectIdentifier{row}, 4, Int(1));
    }
    for (BMibSubtreeHandler* handler : Handlers()) ASSERT_TRUE(m_mib.RegisterSubtreeHandler(handler));
    StartAgent(BSnmpAgentConfig{});
  }
  void TearDown() override {
    m_gate.open.Set();
    StopAgent();
    for (BMibSubtreeHandler* handler : Handlers()) m_mib.UnregisterSubtreeHandler(handler);
  }
  std::vector<BMibSubtreeHandler*> Handlers() { return {&m_scalars, &m_table, &m_gate}; }
  // The manager sends to 127.0.0.1, also when the agent listens on 0.0.0.0.
  void StartAgent(BSnmpAgentConfig config, const char* address = "127.0.0.1:0") {
    StopAgent();
    config.listenAddresses = address;
    m_agent = std::make_unique<BSnmpAgent>(m_mib, config);
    ASSERT_TRUE(m_mib.RegisterSubtreeHandler(&m_agent->SnmpGroupHandler()));
    ASSERT_EQ(m_agent->Start(), 0) << m_agent->ErrorText().str();
    m_target = m_agent->LocalAddresses()[0];
    m_target.SetIPv4(0x7F000001);
    m_manager = std::make_unique<test::SnmpManager>(m_target);
  }
  // Stop must return promptly with the request threads blocked in their receive; if it
  // waits for them, one datagram per thread lets them go: the test fails, not hangs.
  static void StopPromptly(BSnmpAgent& agent) {
    const BAddress address = agent.LocalAddresses()[0];
    auto stopped = std::async(std::launch::async, [&agent] { agent.Stop(); });
    if (stopped.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << "Stop waited for the blocked receives";
      for (int i = 0; i < 2 * agent.Config().requestThreads; ++i) test::SnmpManager(address).SendRaw({});
    }
    stopped.wait();
  }
  void StopAgent() {
    if (!m_agent) return;
    StopPromptly(*m_agent);
    m_mib.UnregisterSubtreeHandler(&m_agent->SnmpGroupHandler());
    m_agent.reset();
  }
  // GetBulk takes `a` and `b` as non-repeaters and max-repetitions.
  std::string Ask(int version, unsigned char type, std::initializer_list<const char*> oids, int a = 0, int b = 0) {
    auto bulk = [&](BSnmpMessage& m) { m.errorStatus = a, m.errorIndex = b; };
    return Show(m_manager->Receive(m_manager->Send(version, "public", type, oids, bulk)));
  }
  BSnmpMessage Set(int version, const char* community, const char* oid, const BObjectSyntax& value, int ms = 3000) {
    auto edit = [&](BSnmpMessage& m) { m.varBinds[0].value = value; };
    return m_manager->Receive(m_manager->Send(version, community, SNMP_PDU_SET, {oid}, edit), ms);
  }
  uint32_t Counter(ESnmpCounter counter) { return m_agent->Counters().Get(counter); }
  // Sends `manager` a v2c GET of the gate's object with request id 77 (the same octets each time).
  static void AskTheGate(test::SnmpManager& manager) {
    manager.Send(kV2, "public", SNMP_PDU_GET, {kGate}, [](BSnmpMessage& m) { m.requestId = 77; });
  }

  BMibHandler m_mib;
  BMibImpl m_scalars{BString("scalars"), BObjectIdentifier("1.3.6.1.4.1.32473.1.1")};
  BMibTableImpl m_table{BString("table"), BObjectIdentifier("1.3.6.1.4.1.32473.1.2.1")};  // rows 1..3
  GateHandler m_gate;
  std::unique_ptr<BSnmpAgent> m_agent;
  BAddress m_target;
  std::unique_ptr<test::SnmpManager> m_manager;
};

// v2c answers exceptions per varbind; v1, without exceptions or Counter64, noSuchName.
TEST_F(BSnmpAgentTest, ReadsInBothVersions) {
  EXPECT_EQ(Ask(kV2, SNMP_PDU_GET, {kDescr, "1.3.6.1.4.1.32473.1.1.1.1", "1.3.6.1.4.1.32473.7.0", kOctets}),
            "0/0 32473.1.1.1.0=STRING: \"agent\" 32473.1.1.1.1=noSuchInstance 32473.7.0=noSuchObject "
            "32473.1.1.5.0=Counter64: 1099511627776");
  EXPECT_EQ(Ask(kV1, SNMP_PDU_GET, {kDescr, "1.3.6.1.4.1.32473.7.0"}), "2/2 32473.1.1.1.0=NULL 32473.7.0=NULL");
  EXPECT_EQ(Ask(kV1, SNMP_PDU_GET, {kDescr, kCount, kOctets}).substr(0, 3), "2/3");
  // GetNext crosses handlers; v1 steps over Counter64 and gets noSuchName at the end.
  EXPECT_EQ(Ask(kV2, SNMP_PDU_GET_NEXT, {kOctets, "1.3.6.1.4.1.32473.1.2.1.4.3"}),
            "0/0 32473.1.2.1.2.1=INTEGER: 7 32473.1.2.1.4.3=endOfMibView");
  EXPECT_EQ(Ask(kV1, SNMP_PDU_GET_NEXT, {kCount}), "0/0 32473.1.2.1.2.1=INTEGER: 7");
  EXPECT_EQ(Ask(kV1, SNMP_PDU_GET_NEXT, {kDescr, "1.3.6.1.4.1.32473.1.2.1.4.3"}).substr(0, 3), "2/2");
  // GetBulk: non-repeaters, then repetitions until every column ends; max 0: non-repeaters.
  EXPECT_EQ(
      Ask(kV2, SNMP_PDU_GET_BULK, {kDescr, "1.3.6.1.4.1.32473.1.1", "1.3.6.1.4.1.32473.1.2.1.2.2"}, 1, 3),
      "0/0 32473.1.1.4.0=Counter32: 7 32473.1.1.1.0=STRING: \"agent\" 32473.1.2.1.2.3=INTEGER: 21 "
      "32473.1.1.4.0=Counter32: 7 32473.1.2.1.3.1=\"\" 32473.1.1.5.0=Counter64: 1099511627776 32473.1.2.1.3.2=\"\"");
  EXPECT_EQ(Ask(kV2, SNMP_PDU_GET_BULK, {"1.3.6.1.4.1.32473.1.2.1.4.2"}, 0, 50),
            "0/0 32473.1.2.1.4.3=INTEGER: 1 32473.1.2.1.4.3=endOfMibView");
  EXPECT_EQ(Ask(kV2, SNMP_PDU_GET_BULK, {kDescr, kCount}, 1, 0), "0/0 32473.1.1.4.0=Counter32: 7");
}

// At 484 octets GetBulk answers what fits; other answers are tooBig, v1 with the list.
TEST_F(BSnmpAgentTest, MessageSizeLimitCutsGetBulkAndMakesOtherAnswersTooBig) {
  BSnmpAgentConfig config;
  config.maxMessageSize = 484;
  StartAgent(config);
  auto bulk = [](BSnmpMessage& m) { m.errorIndex = 100; };
  const BSnmpMessage walk = m_manager->Receive(m_manager->Send(kV2, "public", SNMP_PDU_GET_BULK, {"1.3.6"}, bulk));
  EXPECT_GT(walk.varBinds.Count(), 10);
  EXPECT_LE(walk.EncodedSize(), 484u);
  for (const int version : {kV2, kV1}) {
    auto many = [](BSnmpMessage& m) {
      for (int i = 1; i < 22; ++i) m.varBinds.Append(BObjectIdentifier(kDescr));
    };
    const BSnmpMessage r = m_manager->Receive(m_manager->Send(version, "public", SNMP_PDU_GET, {kDescr}, many));
    EXPECT_EQ(std::make_tuple(r.errorStatus, r.errorIndex, r.varBinds.Count()),
              std::make_tuple(int{SNMP_ERR_TOOBIG}, 0, version == kV1 ? 22 : 0));
  }
  EXPECT_EQ(Counter(SNMP_OUT_TOO_BIGS), 2u);
}

// A refused SET answers with the request's varbinds; the read community may not write. (How the handlers' refusals
// read in each version: the processor test.)
TEST_F(BSnmpAgentTest, SetChangesTheValueAndTheReadCommunityMayNotWrite) {
  EXPECT_EQ(Show(Set(kV2, "private", kLabel, Text("hello"))), "0/0 32473.1.2.1.3.1=STRING: \"hello\"");
  for (const int version : {kV2, kV1}) {
    const BSnmpMessage r = Set(version, "public", kLabel, Text("x"));
    EXPECT_EQ(std::make_tuple(r.errorStatus, r.errorIndex, r.version),
              std::make_tuple(version == kV1 ? SNMP_ERR_NOSUCHNAME : SNMP_ERR_NOACCESS, 1, version));
    EXPECT_TRUE(r.varBinds.Count() == 1 && r.varBinds[0].value == Text("x"));
  }
  EXPECT_EQ(Ask(kV2, SNMP_PDU_GET, {kLabel}), "0/0 32473.1.2.1.3.1=STRING: \"hello\"");
  EXPECT_EQ(Counter(SNMP_IN_BAD_COMMUNITY_USES), 2u);
  EXPECT_EQ(BTransactions::Instance()->Count(), 0);  // every request's transaction ended with it
}

// No answer but a count for both; with snmpEnableAuthenTraps, authenticationFailure.
TEST_F(BSnmpAgentTest, UnknownCommunitiesAndMalformedDatagramsAreSilentAndCounted) {
  test::RecordingTrapSender traps;
  m_agent->SetTrapSender(&traps);
  EXPECT_EQ(Show(Set(kV2, "secret", kLevel, Int(5), 200)), "no answer");
  EXPECT_EQ(Set(kV2, "private", "1.3.6.1.2.1.11.30.0", Int(3)).errorStatus, SNMP_ERR_WRONGVALUE);
  EXPECT_EQ(traps.Count(), 0u);  // disabled by default
  ASSERT_EQ(Set(kV2, "private", "1.3.6.1.2.1.11.30.0", Int(SNMP_AUTHEN_TRAPS_ENABLED)).errorStatus, 0);
  EXPECT_EQ(Show(Set(kV1, "secret", kLevel, Int(5), 200)), "no answer");
  ASSERT_TRUE(test::WaitUntil([&] { return traps.Count() == 1; }, 3000, 10));
  const auto* trap = dynamic_cast<const BTrapV2*>(&traps.At(0));
  EXPECT_EQ(trap != nullptr ? trap->TrapOid().ToString().str() : "", "1.3.6.1.6.3.1.1.5.5");
  m_agent->SetTrapSender(nullptr);

  for (const char* datagram : {"", "30 80 02 01 01 04 06 70 75 62 6c 69 63 a0 00 00 00",
                               "30 29 02 01 00 04 06 70 75 62 6c 69 63 a0 1c 02 04 0c c3 ef 5d 02 01 00",
                               "30 0f 02 01 01 04 06 70 75 62 6c 69 63 a5 02 02 00", "ff ff ff ff",
                               "30 10 02 01 03 30 0b 02 01 00 02 01 00 04 00 02 01 03"}) {  // the last: SNMPv3
    ASSERT_TRUE(m_manager->SendRaw(test::FromHex(datagram)));
  }
  ASSERT_TRUE(test::WaitUntil([&] { return Counter(SNMP_IN_PKTS) == 10; }, 3000, 10));
  EXPECT_EQ(std::make_pair(Counter(SNMP_IN_BAD_VERSIONS), Counter(SNMP_OUT_PKTS)), std::make_pair(1u, 2u));
  // snmpInBadCommunityNames, snmpInASNParseErrs; the level is unchanged.
  EXPECT_EQ(Ask(kV2, SNMP_PDU_GET, {"1.3.6.1.2.1.11.4.0", "1.3.6.1.2.1.11.6.0", kLevel}),
            "0/0 11.4.0=Counter32: 2 11.6.0=Counter32: 5 32473.1.2.1.4.1=INTEGER: 1");
}

// One thread held in the gate leaves the others free, also when the manager retransmits
// the waiting request (five copies would hold all four threads): a copy that comes while
// the first is in work is dropped, never held in the gate beside it. (One taken only after
// the first was answered is a request of its own, and answered again.) The host transaction names the manager, the
// address asked (through a wildcard endpoint) and the community.
TEST_F(BSnmpAgentTest, ASlowHandlerDoesNotHoldUpOtherRequests) {
  StartAgent(BSnmpAgentConfig{}, "0.0.0.0:0");
  test::SnmpManager slow(m_target);
  for (int i = 0; i < 5; ++i) AskTheGate(slow);
  ASSERT_EQ(m_gate.entered.Wait(3000), 0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Ask(kV2, SNMP_PDU_GET, {kDescr}), "0/0 32473.1.1.1.0=STRING: \"agent\"");
  m_gate.open.Set();
  EXPECT_EQ(Show(slow.Receive(77)), "0/0 32473.9.1.0=STRING: \"late\"");
  EXPECT_EQ(m_gate.mostInside.load(), 1);
  std::lock_guard<std::mutex> guard(m_gate.lock);
  EXPECT_EQ(m_gate.asker,
            QVAddressToString(slow.address).str() + " to " + QVAddressToString(m_target).str() + " as public");
}

// With every request thread held up, the agent starts another one for the next request, up to its most;
// at the most, the next request waits for a thread to come free.
TEST_F(BSnmpAgentTest, BusyThreadsBringAnotherUpToTheMost) {
  for (const int most : {3, 1}) {
    SCOPED_TRACE(most);
    m_gate.open.Reset();
    BSnmpAgentConfig config;
    config.requestThreads = 1;
    config.maxRequestThreads = most;
    StartAgent(config);
    test::SnmpManager held(m_target);
    AskTheGate(held);
    ASSERT_EQ(m_gate.entered.Wait(3000), 0);
    const std::string answer = Show(m_manager->Receive(m_manager->Send(kV2, "public", SNMP_PDU_GET, {kDescr}), 1000));
    EXPECT_EQ(answer, most > 1 ? "0/0 32473.1.1.1.0=STRING: \"agent\"" : "no answer");
    EXPECT_EQ(m_agent->RequestThreadCount(), most);  // one more for each request that found none waiting
    m_gate.open.Set();
    EXPECT_EQ(Show(held.Receive(77)), "0/0 32473.9.1.0=STRING: \"late\"");
    m_gate.entered.Reset();
  }
}

TEST_F(BSnmpAgentTest, StopReturnsPromptlyWithThreadsBlockedInTheirReceiveAndFreesThePort) {
  Ask(kV2, SNMP_PDU_GET, {kDescr});  // the threads run and wait for the next datagram
  BSnmpAgentConfig config;
  config.listenAddresses = QVAddressToString(m_target);
  config.writeCommunity = "";  // an empty community never matches
  StopAgent();
  BSnmpAgent again(m_mib, config);
  EXPECT_EQ(again.Start(), 0) << again.ErrorText().str();
  EXPECT_EQ(Show(Set(kV2, "", kLevel, Int(5), 200)), "no answer");
  BSnmpAgent clash(m_mib, config);
  EXPECT_EQ(clash.Start(), -1);  // the port is taken
  StopPromptly(again);
}

}  // namespace
}  // namespace QVT
