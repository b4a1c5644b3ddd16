// The agent over loopback UDP against a real MIB handler: scalars, a table,
// the snmp group and a handler that blocks until the test lets it go. Each
// test talks to the agent with the codec's own client; the last group runs
// the standard command-line tools when they are installed.
#include "BSnmpAgent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "BMibTableImpl.h"
#include "BSnmpTransaction.h"
#include "SnmpTestClient.h"
#include "TEvent.h"
#include "TestSupport.h"

namespace QVT {
namespace {

using test::SnmpTestClient;

constexpr const char* kDescr = "1.3.6.1.4.1.32473.1.1.1.0";
constexpr const char* kLabel = "1.3.6.1.4.1.32473.1.1.3.0";
constexpr const char* kCount = "1.3.6.1.4.1.32473.1.1.4.0";
constexpr const char* kOctets = "1.3.6.1.4.1.32473.1.1.5.0";  // Counter64
constexpr const char* kLevel = "1.3.6.1.4.1.32473.1.1.6.0";
constexpr const char* kTable = "1.3.6.1.4.1.32473.1.2.1";
constexpr const char* kGate = "1.3.6.1.4.1.32473.9.1.0";
constexpr const char* kInParseErrs = "1.3.6.1.2.1.11.6.0";
constexpr const char* kEnableAuthenTraps = "1.3.6.1.2.1.11.30.0";

// Waits (bounded) until `done` holds.
bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 300; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

// Scalars that remember the transaction of the last SET test phase.
class RecordingScalars : public BMibImpl {
 public:
  RecordingScalars() : BMibImpl(BString("scalars"), BObjectIdentifier("1.3.6.1.4.1.32473.1.1")) {}

  int Set(unsigned int tid, const BVarBindList& list, ESnmpSetOpCode code, void** contexts, int& index,
          int count) override {
    if (code == SNMP_SET_TEST) {
      std::lock_guard<std::mutex> guard(lock);
      const auto* tx = dynamic_cast<BSnmpTransaction*>(BTransactions::Instance()->Find(tid));
      seen = tx != nullptr;
      if (tx != nullptr) {
        remote = tx->RemoteAddress();
        local = tx->LocalAddress();
        community = tx->GetParams()->Name().str();
      }
    }
    return BMibImpl::Set(tid, list, code, contexts, index, count);
  }

  std::mutex lock;
  bool seen = false;
  BAddress remote;
  BAddress local;
  std::string community;
};

// A handler whose GET waits until the test opens the gate.
class GateHandler : public BMibSubtreeHandler {
 public:
  GateHandler() : BMibSubtreeHandler(BString("gate"), BObjectIdentifier("1.3.6.1.4.1.32473.9")) {}
  int Get(unsigned int, BVarBindList& list, int& index, int count) override {
    entered.Set();
    open.Wait(10000);
    for (int i = index; i < index + count; ++i) list[i].value.SetOctets("late");
    return 0;
  }
  TEvent entered;
  TEvent open;
};

class RecordingTrapSender : public ITrapSender {
 public:
  int SendTrap(const BTrap& trap, const char*) override {
    std::lock_guard<std::mutex> guard(lock);
    const auto* v2 = dynamic_cast<const BTrapV2*>(&trap);
    if (v2 != nullptr) oids.push_back(v2->TrapOid().ToString().str());
    return 0;
  }
  std::vector<std::string> Oids() {
    std::lock_guard<std::mutex> guard(lock);
    return oids;
  }
  std::mutex lock;
  std::vector<std::string> oids;
};

class BSnmpAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_scalars.AddEntry(1, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING).Getter([](BObjectSyntax& v) {
      v.SetOctets("agent under test");
    });
    m_scalars.AddEntry(3, MIB_ACCESS_READ_WRITE, ASN_OCTET_STRING)
        .Size(0, 8)
        .Getter([this](BObjectSyntax& v) { v.SetOctets(Label()); })
        .Setter([this](const BObjectSyntax& v) {
          std::lock_guard<std::mutex> guard(m_stateLock);
          m_label = std::string(v.GetOctets().AsStringView());
          return 0;
        });
    m_scalars.AddEntry(4, MIB_ACCESS_READ_ONLY, ASN_COUNTER32).Getter([](BObjectSyntax& v) { v.SetCounter32(7); });
    m_scalars.AddEntry(5, MIB_ACCESS_READ_ONLY, ASN_COUNTER64).Getter([](BObjectSyntax& v) {
      v.SetCounter64(uint64_t{1} << 40);
    });
    m_scalars.AddEntry(6, MIB_ACCESS_READ_WRITE, ASN_INTEGER)
        .Range(1, 10)
        .Getter([this](BObjectSyntax& v) { v.SetInt(m_level); })
        .Setter([this](const BObjectSyntax& v) {
          m_level = v.GetInt();
          return 0;
        });
    m_table.AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER);
    m_table.AddIndex(1, MIB_INDEX_INTEGER);
    m_table.AddColumn(2, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING);
    m_table.AddColumn(3, MIB_ACCESS_READ_ONLY, ASN_GAUGE32);
    for (uint32_t row = 1; row <= 5; ++row) {
      BObjectIdentifier index{row};
      ASSERT_TRUE(m_table.AddRow(index));
      BObjectSyntax name;
      name.SetOctets("row-" + std::to_string(row));
      m_table.StoreCell(index, 2, name);
      BObjectSyntax gauge;
      gauge.SetGauge32(row * 7);
      m_table.StoreCell(index, 3, gauge);
    }
    ASSERT_TRUE(m_mib.RegisterSubtreeHandler(&m_scalars));
    ASSERT_TRUE(m_mib.RegisterSubtreeHandler(&m_table));
    ASSERT_TRUE(m_mib.RegisterSubtreeHandler(&m_gate));
    StartAgent(BSnmpAgentConfig{});
  }

  void TearDown() override {
    m_gate.open.Set();
    StopAgent();
    m_mib.UnregisterSubtreeHandler(&m_gate);
    m_mib.UnregisterSubtreeHandler(&m_table);
    m_mib.UnregisterSubtreeHandler(&m_scalars);
  }

  void StartAgent(BSnmpAgentConfig config) {
    StopAgent();
    config.listenAddresses = "127.0.0.1:0";
    m_agent = std::make_unique<BSnmpAgent>(m_mib, config);
    ASSERT_TRUE(m_mib.RegisterSubtreeHandler(&m_agent->SnmpGroupHandler()));
    ASSERT_EQ(m_agent->Start(), 0) << m_agent->ErrorText().str();
    ASSERT_EQ(m_agent->LocalAddresses().size(), 1u);
    m_client = std::make_unique<SnmpTestClient>(m_agent->LocalAddresses()[0]);
  }

  void StopAgent() {
    if (!m_agent) return;
    m_agent->Stop();
    m_mib.UnregisterSubtreeHandler(&m_agent->SnmpGroupHandler());
    m_agent.reset();
  }

  // One request and its answer.
  BSnmpMessage Ask(int version, const char* community, unsigned char type, std::initializer_list<const char*> oids,
                   int32_t nonRepeaters = 0, int32_t maxRepetitions = 0) {
    BSnmpMessage request = SnmpTestClient::Make(version, community, type, oids);
    request.errorStatus = nonRepeaters;
    request.errorIndex = maxRepetitions;
    BSnmpMessage response;
    EXPECT_TRUE(m_client->Exchange(request, response)) << "no answer";
    EXPECT_EQ(response.pduType, SNMP_PDU_RESPONSE);
    EXPECT_EQ(response.version, version);
    return response;
  }

  BSnmpMessage Set(int version, const char* community, const char* oid, const BObjectSyntax& value) {
    BSnmpMessage request = SnmpTestClient::Make(version, community, SNMP_PDU_SET, {oid});
    request.varBinds[0].value = value;
    BSnmpMessage response;
    EXPECT_TRUE(m_client->Exchange(request, response)) << "no answer";
    return response;
  }

  static BObjectSyntax Text(const char* text) {
    BObjectSyntax v;
    v.SetOctets(text);
    return v;
  }
  static BObjectSyntax Int(int n) {
    BObjectSyntax v;
    v.SetInt(n);
    return v;
  }

  BMibHandler m_mib;
  RecordingScalars m_scalars;
  BMibTableImpl m_table{BString("table"), BObjectIdentifier(kTable)};
  GateHandler m_gate;
  // The writable objects' values, set on the agent's request threads.
  std::string Label() {
    std::lock_guard<std::mutex> guard(m_stateLock);
    return m_label;
  }
  std::mutex m_stateLock;  // guards m_label; taken alone
  std::string m_label;
  std::atomic<int> m_level{1};
  std::unique_ptr<BSnmpAgent> m_agent;
  std::unique_ptr<SnmpTestClient> m_client;
};

TEST_F(BSnmpAgentTest, V2cGetAnswersValuesAndExceptions) {
  const BSnmpMessage r = Ask(SNMP_VERSION_2C, "public", SNMP_PDU_GET,
                             {kDescr, "1.3.6.1.4.1.32473.1.1.1.1", "1.3.6.1.4.1.32473.7.0", kOctets});
  EXPECT_EQ(r.errorStatus, 0);
  ASSERT_EQ(r.varBinds.Count(), 4);
  EXPECT_EQ(r.varBinds[0].value.GetOctets().AsStringView(), "agent under test");
  EXPECT_EQ(r.varBinds[1].value.Syntax(), ASN_NO_SUCH_INSTANCE);
  EXPECT_EQ(r.varBinds[2].value.Syntax(), ASN_NO_SUCH_OBJECT);
  EXPECT_EQ(r.varBinds[3].value.GetCounter64().Value(), uint64_t{1} << 40);
  EXPECT_EQ(r.varBinds[2].name, BObjectIdentifier("1.3.6.1.4.1.32473.7.0"));
}

TEST_F(BSnmpAgentTest, V1GetOfAMissingOrCounter64ObjectIsNoSuchNameWithItsIndex) {
  BSnmpMessage r = Ask(SNMP_VERSION_1, "public", SNMP_PDU_GET, {kDescr, "1.3.6.1.4.1.32473.7.0"});
  EXPECT_EQ(r.errorStatus, SNMP_ERR_NOSUCHNAME);
  EXPECT_EQ(r.errorIndex, 2);
  ASSERT_EQ(r.varBinds.Count(), 2);
  EXPECT_TRUE(r.varBinds[0].value.IsNull());  // the request's varbinds come back unchanged

  r = Ask(SNMP_VERSION_1, "public", SNMP_PDU_GET, {kDescr, kCount, kOctets});
  EXPECT_EQ(r.errorStatus, SNMP_ERR_NOSUCHNAME);
  EXPECT_EQ(r.errorIndex, 3);
}

TEST_F(BSnmpAgentTest, GetNextCrossesHandlersAndEndsWithEndOfMibView) {
  BSnmpMessage r = Ask(SNMP_VERSION_2C, "public", SNMP_PDU_GET_NEXT, {kLevel, "1.3.6.1.4.1.32473.1.2.1.3.5"});
  ASSERT_EQ(r.varBinds.Count(), 2);
  EXPECT_EQ(r.varBinds[0].name, BObjectIdentifier("1.3.6.1.4.1.32473.1.2.1.2.1"));
  EXPECT_EQ(r.varBinds[0].value.GetOctets().AsStringView(), "row-1");
  EXPECT_EQ(r.varBinds[1].value.Syntax(), ASN_END_OF_MIB_VIEW);
  EXPECT_EQ(r.varBinds[1].name, BObjectIdentifier("1.3.6.1.4.1.32473.1.2.1.3.5"));

  // SNMPv1: the Counter64 object after kCount is stepped over, and the end
  // of the MIB is noSuchName.
  r = Ask(SNMP_VERSION_1, "public", SNMP_PDU_GET_NEXT, {kCount});
  ASSERT_EQ(r.errorStatus, 0);
  EXPECT_EQ(r.varBinds[0].name, BObjectIdentifier(kLevel));
  r = Ask(SNMP_VERSION_1, "public", SNMP_PDU_GET_NEXT, {kDescr, "1.3.6.1.4.1.32473.1.2.1.3.5"});
  EXPECT_EQ(r.errorStatus, SNMP_ERR_NOSUCHNAME);
  EXPECT_EQ(r.errorIndex, 2);
}

TEST_F(BSnmpAgentTest, GetBulkAnswersNonRepeatersThenRepetitions) {
  const BSnmpMessage r = Ask(SNMP_VERSION_2C, "public", SNMP_PDU_GET_BULK,
                             {kDescr, "1.3.6.1.4.1.32473.1.2.1.2", "1.3.6.1.4.1.32473.1.2.1.3"}, 1, 3);
  ASSERT_EQ(r.errorStatus, 0);
  const char* expected[] = {kLabel,
                            "1.3.6.1.4.1.32473.1.2.1.2.1",
                            "1.3.6.1.4.1.32473.1.2.1.3.1",
                            "1.3.6.1.4.1.32473.1.2.1.2.2",
                            "1.3.6.1.4.1.32473.1.2.1.3.2",
                            "1.3.6.1.4.1.32473.1.2.1.2.3",
                            "1.3.6.1.4.1.32473.1.2.1.3.3"};
  ASSERT_EQ(r.varBinds.Count(), 7);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(r.varBinds[i].name, BObjectIdentifier(expected[i])) << i;
  EXPECT_EQ(r.varBinds[6].value.GetUnsigned(), 21u);

  // max-repetitions 0 answers the non-repeaters alone; non-repeaters above
  // the count make every varbind a non-repeater.
  EXPECT_EQ(Ask(SNMP_VERSION_2C, "public", SNMP_PDU_GET_BULK, {kDescr, kLabel}, 1, 0).varBinds.Count(), 1);
  EXPECT_EQ(Ask(SNMP_VERSION_2C, "public", SNMP_PDU_GET_BULK, {kDescr, kLabel}, 5, 9).varBinds.Count(), 2);
}

TEST_F(BSnmpAgentTest, GetBulkStopsOnceEveryColumnIsAtEndOfMibView) {
  const BSnmpMessage r = Ask(SNMP_VERSION_2C, "public", SNMP_PDU_GET_BULK,
                             {"1.3.6.1.4.1.32473.1.2.1.3.4", "1.3.6.1.4.1.32473.1.2.1.3.5"}, 0, 50);
  ASSERT_EQ(r.varBinds.Count(), 4);
  EXPECT_EQ(r.varBinds[0].name, BObjectIdentifier("1.3.6.1.4.1.32473.1.2.1.3.5"));
  for (int i = 1; i < 4; ++i) {
    EXPECT_EQ(r.varBinds[i].value.Syntax(), ASN_END_OF_MIB_VIEW) << i;
    EXPECT_EQ(r.varBinds[i].name, BObjectIdentifier("1.3.6.1.4.1.32473.1.2.1.3.5")) << i;
  }
}

TEST_F(BSnmpAgentTest, GetBulkFillsTheMaximumMessageSizeWithAPrefixOfTheWalk) {
  BSnmpAgentConfig config;
  config.maxMessageSize = 484;
  StartAgent(config);
  const BSnmpMessage bulk = Ask(SNMP_VERSION_2C, "public", SNMP_PDU_GET_BULK, {"1.3.6.1.2.1.11"}, 0, 100);
  ASSERT_EQ(bulk.errorStatus, 0);
  const int got = bulk.varBinds.Count();
  ASSERT_GT(got, 5);
  ASSERT_LT(got, 100);
  EXPECT_LE(bulk.EncodedSize(), 484u);

  // The same names, one GetNext at a time; the one after the last returned
  // would not have fitted.
  BSnmpMessage step = Ask(SNMP_VERSION_2C, "public", SNMP_PDU_GET_NEXT, {"1.3.6.1.2.1.11"});
  for (int i = 0; i < got; ++i) {
    ASSERT_EQ(step.varBinds[0].name, bulk.varBinds[i].name) << i;
    step = Ask(SNMP_VERSION_2C, "public", SNMP_PDU_GET_NEXT, {step.varBinds[0].name.ToString().c_str()});
  }
  EXPECT_GT(bulk.SizeWithVarBindBytes(bulk.EncodedSize() - bulk.SizeWithVarBindBytes(0) +
                                      BSnmpMessage::VarBindSize(step.varBinds[0])),
            484u);
}

TEST_F(BSnmpAgentTest, ResponsesOverTheMaximumSizeAreTooBig) {
  BSnmpAgentConfig config;
  config.maxMessageSize = 484;
  StartAgent(config);
  auto many = [](int version) {
    BSnmpMessage request = SnmpTestClient::Make(version, "public", SNMP_PDU_GET, {});
    for (int i = 0; i < 20; ++i) request.varBinds.Append(BObjectIdentifier(kDescr));
    return request;
  };
  BSnmpMessage request = many(SNMP_VERSION_2C);
  BSnmpMessage response;
  ASSERT_TRUE(m_client->Exchange(request, response));
  EXPECT_EQ(response.errorStatus, SNMP_ERR_TOOBIG);
  EXPECT_EQ(response.errorIndex, 0);
  EXPECT_EQ(response.varBinds.Count(), 0);  // SNMPv2: an empty list

  request = many(SNMP_VERSION_1);
  ASSERT_TRUE(m_client->Exchange(request, response));
  EXPECT_EQ(response.errorStatus, SNMP_ERR_TOOBIG);
  EXPECT_EQ(response.varBinds.Count(), 20);  // SNMPv1: the request's list
  EXPECT_EQ(m_agent->Counters().Get(SNMP_OUT_TOO_BIGS), 2u);
}

TEST_F(BSnmpAgentTest, SetChangesTheValueAndFailuresGetTheirStatus) {
  BSnmpMessage r = Set(SNMP_VERSION_2C, "private", kLabel, Text("hello"));
  EXPECT_EQ(r.errorStatus, 0);
  ASSERT_EQ(r.varBinds.Count(), 1);
  EXPECT_EQ(r.varBinds[0].value.GetOctets().AsStringView(), "hello");
  EXPECT_EQ(Label(), "hello");
  EXPECT_EQ(Ask(SNMP_VERSION_2C, "public", SNMP_PDU_GET, {kLabel}).varBinds[0].value.GetOctets().AsStringView(),
            "hello");

  struct Case {
    int version;
    const char* community;
    const char* oid;
    BObjectSyntax value;
    int status;
  };
  const Case cases[] = {
      {SNMP_VERSION_2C, "private", kLabel, Int(3), SNMP_ERR_WRONGTYPE},
      {SNMP_VERSION_2C, "private", kLabel, Text("too long!"), SNMP_ERR_WRONGLENGTH},
      {SNMP_VERSION_2C, "private", kLevel, Int(11), SNMP_ERR_WRONGVALUE},
      {SNMP_VERSION_2C, "private", kDescr, Text("x"), SNMP_ERR_NOTWRITABLE},
      {SNMP_VERSION_2C, "public", kLabel, Text("x"), SNMP_ERR_NOACCESS},
      {SNMP_VERSION_1, "private", kLabel, Int(3), SNMP_ERR_BADVALUE},
      {SNMP_VERSION_1, "private", kLabel, Text("too long!"), SNMP_ERR_BADVALUE},
      {SNMP_VERSION_1, "private", kDescr, Text("x"), SNMP_ERR_NOSUCHNAME},
      {SNMP_VERSION_1, "public", kLabel, Text("x"), SNMP_ERR_NOSUCHNAME},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.oid) + " v" + std::to_string(c.version + 1) + " " + c.community);
    r = Set(c.version, c.community, c.oid, c.value);
    EXPECT_EQ(r.errorStatus, c.status);
    EXPECT_EQ(r.errorIndex, 1);
    ASSERT_EQ(r.varBinds.Count(), 1);
    EXPECT_EQ(r.varBinds[0].value, c.value);
  }
  EXPECT_EQ(Label(), "hello");
  EXPECT_EQ(m_level, 1);
  EXPECT_EQ(m_agent->Counters().Get(SNMP_IN_BAD_COMMUNITY_USES), 2u);
}

TEST_F(BSnmpAgentTest, SetRunsAsATransactionRegisteredWithTheManagersAddress) {
  ASSERT_EQ(Set(SNMP_VERSION_2C, "private", kLevel, Int(4)).errorStatus, 0);
  EXPECT_EQ(m_level, 4);
  std::lock_guard<std::mutex> guard(m_scalars.lock);
  ASSERT_TRUE(m_scalars.seen);
  EXPECT_EQ(m_scalars.remote, m_client->LocalAddress());
  EXPECT_EQ(m_scalars.local, m_agent->LocalAddresses()[0]);
  EXPECT_EQ(m_scalars.community, "private");
  EXPECT_EQ(BTransactions::Instance()->Count(), 0);  // ended with the request
}

TEST_F(BSnmpAgentTest, UnknownCommunityIsSilentAndCounted) {
  BSnmpMessage request = SnmpTestClient::Make(SNMP_VERSION_2C, "secret", SNMP_PDU_GET, {kDescr});
  ASSERT_TRUE(m_client->Send(request));
  EXPECT_TRUE(m_client->Silent(300));
  ASSERT_TRUE(WaitFor([&] { return m_agent->Counters().Get(SNMP_IN_BAD_COMMUNITY_NAMES) == 1; }));
  const BSnmpMessage r = Ask(SNMP_VERSION_2C, "public", SNMP_PDU_GET, {"1.3.6.1.2.1.11.4.0", "1.3.6.1.2.1.11.1.0"});
  EXPECT_EQ(r.varBinds[0].value.Syntax(), ASN_COUNTER32);
  EXPECT_EQ(r.varBinds[0].value.GetUnsigned(), 1u);
  EXPECT_EQ(r.varBinds[1].value.GetUnsigned(), 2u);  // snmpInPkts: the two messages so far
}

TEST_F(BSnmpAgentTest, AuthenticationFailureTrapFollowsSnmpEnableAuthenTraps) {
  RecordingTrapSender traps;
  m_agent->SetTrapSender(&traps);
  BSnmpMessage bad = SnmpTestClient::Make(SNMP_VERSION_1, "secret", SNMP_PDU_GET, {kDescr});
  ASSERT_TRUE(m_client->Send(bad));
  EXPECT_TRUE(m_client->Silent(200));
  ASSERT_TRUE(WaitFor([&] { return m_agent->Counters().Get(SNMP_IN_BAD_COMMUNITY_NAMES) == 1; }));
  EXPECT_TRUE(traps.Oids().empty());  // disabled by default

  EXPECT_EQ(Set(SNMP_VERSION_2C, "private", kEnableAuthenTraps, Int(3)).errorStatus, SNMP_ERR_WRONGVALUE);
  ASSERT_EQ(Set(SNMP_VERSION_2C, "private", kEnableAuthenTraps, Int(SNMP_AUTHEN_TRAPS_ENABLED)).errorStatus, 0);
  ASSERT_TRUE(m_client->Send(bad));
  ASSERT_TRUE(WaitFor([&] { return !traps.Oids().empty(); }));
  EXPECT_EQ(traps.Oids()[0], "1.3.6.1.6.3.1.1.5.5");
  m_agent->SetTrapSender(nullptr);
}

TEST_F(BSnmpAgentTest, MalformedDatagramsAreCountedAndTheAgentKeepsAnswering) {
  const std::vector<std::vector<unsigned char>> garbage = {
      {},
      test::FromHex("30 80 02 01 01 04 06 70 75 62 6c 69 63 a0 00 00 00"),
      test::FromHex("30 29 02 01 00 04 06 70 75 62 6c 69 63 a0 1c 02 04 0c c3 ef 5d 02 01 00"),
      test::FromHex("30 0f 02 01 01 04 06 70 75 62 6c 69 63 a5 02 02 00"),
      test::FromHex("ff ff ff ff"),
      test::FromHex("30 10 02 01 03 30 0b 02 01 00 02 01 00 04 00 02 01 03"),  // SNMPv3 header
  };
  for (const auto& datagram : garbage) ASSERT_TRUE(m_client->SendRaw(datagram));
  EXPECT_TRUE(m_client->Silent(200));
  ASSERT_TRUE(WaitFor([&] { return m_agent->Counters().Get(SNMP_IN_PKTS) == 6; }));
  EXPECT_EQ(m_agent->Counters().Get(SNMP_IN_ASN_PARSE_ERRS), 5u);
  EXPECT_EQ(m_agent->Counters().Get(SNMP_IN_BAD_VERSIONS), 1u);
  const BSnmpMessage r = Ask(SNMP_VERSION_2C, "public", SNMP_PDU_GET, {kInParseErrs});
  EXPECT_EQ(r.varBinds[0].value.GetUnsigned(), 5u);
}

TEST_F(BSnmpAgentTest, ASlowHandlerDoesNotHoldUpOtherRequests) {
  SnmpTestClient slowClient(m_agent->LocalAddresses()[0]);
  BSnmpMessage slow = SnmpTestClient::Make(SNMP_VERSION_2C, "public", SNMP_PDU_GET, {kGate});
  ASSERT_TRUE(slowClient.Send(slow));
  ASSERT_EQ(m_gate.entered.Wait(3000), 0);
  // One request thread is held in the gate; the others answer meanwhile.
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Ask(SNMP_VERSION_2C, "public", SNMP_PDU_GET, {kDescr}).varBinds[0].value.GetOctets().AsStringView(),
              "agent under test");
  }
  m_gate.open.Set();
  BSnmpMessage late;
  ASSERT_TRUE(slowClient.ReceiveFor(slow.requestId, late));
  EXPECT_EQ(late.varBinds[0].value.GetOctets().AsStringView(), "late");
}

TEST_F(BSnmpAgentTest, StartRefusesUnusableSettingsAndStopFreesThePort) {
  BSnmpAgentConfig config;
  config.listenAddresses = "no-such-host.invalid:161";
  BSnmpAgent bad(m_mib, config);
  EXPECT_EQ(bad.Start(), -1);
  EXPECT_NE(bad.ErrorText().str().find("ListenAddress"), std::string::npos);

  const BAddress bound = m_agent->LocalAddresses()[0];
  config.listenAddresses = QVAddressToString(bound);
  BSnmpAgent clash(m_mib, config);
  EXPECT_EQ(clash.Start(), -1);  // the port is taken
  EXPECT_FALSE(clash.IsRunning());

  config.maxMessageSize = 100;
  BSnmpAgent tiny(m_mib, config);
  EXPECT_EQ(tiny.Start(), -1);
  EXPECT_NE(tiny.ErrorText().str().find("MaxMessageSize"), std::string::npos);

  m_agent->Stop();
  EXPECT_TRUE(m_agent->LocalAddresses().empty());
  config.maxMessageSize = 1472;
  BSnmpAgent again(m_mib, config);
  ASSERT_EQ(again.Start(), 0) << again.ErrorText().str();
  SnmpTestClient client(again.LocalAddresses()[0]);
  BSnmpMessage request = SnmpTestClient::Make(SNMP_VERSION_2C, "public", SNMP_PDU_GET, {kDescr});
  BSnmpMessage response;
  EXPECT_TRUE(client.Exchange(request, response));
  again.Stop();
}

TEST_F(BSnmpAgentTest, WildcardAndIPv6EndpointsAnswerFromTheAddressAsked) {
  BSnmpAgentConfig config;
  config.listenAddresses = "0.0.0.0:0, [::1]:0";
  BSnmpAgent agent(m_mib, config);
  if (agent.Start() != 0) {
    // Without IPv6 on the host, the wildcard endpoint alone.
    config.listenAddresses = "0.0.0.0:0";
    BSnmpAgent v4only(m_mib, config);
    ASSERT_EQ(v4only.Start(), 0) << v4only.ErrorText().str();
    GTEST_SKIP() << "no IPv6 loopback: " << agent.ErrorText().str();
  }
  const std::vector<BAddress> bound = agent.LocalAddresses();
  ASSERT_EQ(bound.size(), 2u);
  BAddress loopback = bound[0];
  loopback.SetIPv4(0x7F000001);
  loopback.SetPort(bound[0].Port());
  for (const BAddress& target : {loopback, bound[1]}) {
    SCOPED_TRACE(QVAddressToString(target).str());
    SnmpTestClient client(target);
    BSnmpMessage request = SnmpTestClient::Make(SNMP_VERSION_2C, "private", SNMP_PDU_SET, {kLevel});
    request.varBinds[0].value.SetInt(target.Family() == BAddress::kFamilyINet ? 2 : 3);
    BSnmpMessage response;
    ASSERT_TRUE(client.Exchange(request, response));
    EXPECT_EQ(response.errorStatus, 0);
    std::lock_guard<std::mutex> guard(m_scalars.lock);
    EXPECT_EQ(m_scalars.local, target);  // the address the request was sent to, not the wildcard
    EXPECT_EQ(m_scalars.remote, client.LocalAddress());
  }
  EXPECT_EQ(m_level, 3);
}

// The standard command-line tools as the manager.
class BSnmpAgentToolsTest : public BSnmpAgentTest {
 protected:
  void SetUp() override {
    if (std::system("command -v snmpget >/dev/null 2>&1") != 0) GTEST_SKIP() << "snmp tools not installed";
    BSnmpAgentTest::SetUp();
  }

  // What `tool` prints (numeric OIDs, no MIB files) for `options`, the
  // agent's address and `operands`.
  std::string Run(const std::string& tool, const std::string& options, const std::string& operands) {
    const std::string line = "MIBS= SNMPCONFPATH=/nonexistent " + tool + " -On -t 2 -r 1 " + options + " " +
                             QVAddressToString(m_agent->LocalAddresses()[0]).str() + " " + operands + " 2>&1";
    std::string out;
    FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    pclose(pipe);
    return out;
  }
};

TEST_F(BSnmpAgentToolsTest, SnmpgetReadsInBothVersions) {
  const std::string oids = std::string(kDescr) + " " + kCount;
  EXPECT_EQ(Run("snmpget", "-v1 -c public -Oqv", oids), "\"agent under test\"\n7\n");
  EXPECT_EQ(Run("snmpget", "-v2c -c public -Oqv", oids), "\"agent under test\"\n7\n");
  EXPECT_NE(Run("snmpget", "-v1 -c public", kOctets).find("noSuchName"), std::string::npos);
}

TEST_F(BSnmpAgentToolsTest, SnmpwalkAndSnmpbulkwalkSeeTheSameTable) {
  // The table's lines; the tools word the end of the MIB each their own way.
  auto rows = [](const std::string& out) {
    std::string kept;
    size_t begin = 0;
    while (begin < out.size()) {
      const size_t end = out.find('\n', begin);
      const std::string line = out.substr(begin, end - begin);
      begin = end == std::string::npos ? out.size() : end + 1;
      if (line.rfind(".1.3.6.1.4.1.32473.1.2.1.", 0) == 0 && line.find("No more") == std::string::npos) {
        kept += line + "\n";
      }
    }
    return kept;
  };
  const std::string walk = rows(Run("snmpwalk", "-v2c -c public -Oq", kTable));
  EXPECT_EQ(std::count(walk.begin(), walk.end(), '\n'), 10) << walk;
  EXPECT_NE(walk.find(".1.3.6.1.4.1.32473.1.2.1.3.5 35"), std::string::npos) << walk;
  EXPECT_EQ(rows(Run("snmpbulkwalk", "-v2c -c public -Oq -Cr3", kTable)), walk);
  EXPECT_EQ(rows(Run("snmpwalk", "-v1 -c public -Oq", kTable)), walk);
}

TEST_F(BSnmpAgentToolsTest, SnmpsetWritesWithTheWriteCommunityOnly) {
  EXPECT_NE(Run("snmpset", "-v2c -c private", std::string(kLabel) + " s abc").find("abc"), std::string::npos);
  EXPECT_EQ(Label(), "abc");
  EXPECT_NE(Run("snmpset", "-v2c -c public", std::string(kLabel) + " s xyz").find("noAccess"), std::string::npos);
  EXPECT_NE(Run("snmpset", "-v1 -c private", std::string(kLabel) + " s toolongtext").find("badValue"),
            std::string::npos);
  EXPECT_EQ(Label(), "abc");
}

}  // namespace
}  // namespace QVT
