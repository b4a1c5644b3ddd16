// Master and sub-agents in one process on loopback: SNMP operations issued
// through the master's MIB handler reach the sub-agents' objects, the
// example MIB served by two sub-agents walks as one table, a row created
// through the master reserves its index and raises its notification, the
// master drops a sub-agent that stops answering, and the example program's
// sub-agent finds its way back to a restarted master.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "BMibHandler.h"
#include "BSAMaster.h"
#include "BSASession.h"
#include "ExampleMib.h"
#include "FakeSubtreeHandler.h"
#include "ManualClock.h"
#include "RecordingTrapSender.h"
#include "SubAgentExample.h"
#include "SubAgentTestSupport.h"

namespace QVT::test {
namespace {

constexpr const char* kShareEntry = "1.3.6.1.4.1.32473.1.1.2.1";
constexpr const char* kDynEntry = "1.3.6.1.4.1.32473.1.1.3.1";
constexpr const char* kDescr = "1.3.6.1.4.1.32473.1.1.1.1.0";

std::string Below(const char* prefix, int column, int row) {
  return std::string(prefix) + "." + std::to_string(column) + "." + std::to_string(row);
}

// A fake's state as its handler lock shows it (the sub-agents' responder
// threads change it under that lock).
int ValueOf(FakeSubtreeHandler& fake, const char* instance) {
  TMutexLock lock(*fake.Lock());
  return fake.ValueOf(instance);
}

int LiveSlots(FakeSubtreeHandler& fake) {
  TMutexLock lock(*fake.Lock());
  return fake.LiveSlots();
}

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_port = FreePort();
    StartMaster();
  }

  void TearDown() override {
    for (auto& subAgent : m_subAgents) subAgent->Stop();
    StopMaster();
  }

  // A master on m_port whose agent MIB handler is m_mib.
  void StartMaster() {
    m_mib = std::make_unique<BMibHandler>();
    m_master = std::make_unique<BSAMaster>(m_mib.get(), &m_clock);
    BMemoryStore store;
    store.SetInt("SAMaster", "Port", m_port, 0, 0, 0);
    ASSERT_EQ(m_master->Init(&store), 0);
    m_master->SetTrapSender(&m_traps);
    ASSERT_EQ(m_master->Start(), 0);
  }

  void StopMaster() {
    if (!m_master) return;
    m_master->Stop();
    m_master.reset();
    m_mib.reset();
  }

  std::string MasterAddress() const { return "127.0.0.1:" + std::to_string(m_port); }

  // A sub-agent of this master, initialised and with its session open:
  // master time-out and processing time 1 s, no pinging.
  BSASubAgent& NewSubAgent(const char* description) {
    BMemoryStore store;
    store.SetString("SubAgent", "MasterAddress", MasterAddress().c_str(), 0, 0);
    store.SetInt("SubAgent", "MasterTimeout", 1, 0, 0, 0);
    store.SetInt("SubAgent", "MaxProcTime", 1, 0, 0, 0);
    store.SetInt("SubAgent", "PingInterval", 0, 0, 0, 0);
    m_subAgents.push_back(std::make_unique<BSASubAgent>());
    BSASubAgent& subAgent = *m_subAgents.back();
    EXPECT_EQ(subAgent.Init(&store), 0);
    EXPECT_EQ(subAgent.OpenSession(description), 0);
    return subAgent;
  }

  // A fake handler that lives until the sub-agents are stopped.
  FakeSubtreeHandler& NewFake(const char* oid, std::initializer_list<const char*> instances) {
    m_fakes.push_back(std::make_unique<FakeSubtreeHandler>(oid, instances));
    return *m_fakes.back();
  }

  // A handler served by `subAgent` and announced to the master.
  void Serve(BSASubAgent& subAgent, BMibSubtreeHandler& handler) {
    ASSERT_NE(subAgent.m_mibHandler.RegisterSubtreeHandler(&handler), 0);
    ASSERT_EQ(subAgent.Register(&handler), 0);
  }

  // An SNMP request as the agent's engine runs it on the master's MIB
  // handler: the status, "/index", then the varbinds.
  std::vector<std::string> Query(int code, BVarBindList list) {
    int errorIndex = 0;
    const int status = m_mib->Query(code, static_cast<int>(++m_tid), Params(), BString(), list, errorIndex);
    std::vector<std::string> result = Texts(list);
    result.insert(result.begin(), std::to_string(status) + "/" + std::to_string(errorIndex));
    return result;
  }

  std::string Set(BVarBindList list) {
    int errorIndex = 0;
    const int status = m_mib->ProcessSet(++m_tid, Params(), list, errorIndex);
    return std::to_string(status) + "/" + std::to_string(errorIndex);
  }

  // GET-NEXT from `prefix` for as long as the answers stay below it.
  std::vector<std::string> Walk(const char* prefix) {
    const BObjectIdentifier root(prefix);
    std::vector<std::string> walked;
    BVarBindList list = Names({prefix});
    for (int step = 0; step < 100; ++step) {
      int errorIndex = 0;
      if (m_mib->Query(SNMP_REQ_GET_NEXT, static_cast<int>(++m_tid), Params(), BString(), list, errorIndex) != 0 ||
          root.IsStartingSubOidOf(list[0].name) == 0 || list[0].value.IsException()) {
        break;
      }
      walked.push_back(Texts(list)[0]);
      list[0].value.SetNull();
    }
    return walked;
  }

  static const BSecurityParams& Params() {
    static const BSecurityParams params(2, BString("public"), 1);
    return params;
  }

  // Up-time 0, which is also what the sub-agent's ping hook reports for a
  // master that answered notOpen: the example program must tell them apart.
  ManualClock m_clock{0};
  RecordingTrapSender m_traps;
  unsigned short m_port = 0;
  std::unique_ptr<BMibHandler> m_mib;
  std::unique_ptr<BSAMaster> m_master;
  std::vector<std::unique_ptr<FakeSubtreeHandler>> m_fakes;
  std::vector<std::unique_ptr<BSASubAgent>> m_subAgents;
  unsigned m_tid = 7000;
};

TEST_F(EndToEndTest, GetGetNextAndSetReachTheSubAgentsObjects) {
  FakeSubtreeHandler& fakeA = NewFake("1.3.6.1.4.1.99.1", {"1.3.6.1.4.1.99.1.1.0", "1.3.6.1.4.1.99.1.2.0"});
  FakeSubtreeHandler& fakeB = NewFake("1.3.6.1.4.1.99.2", {"1.3.6.1.4.1.99.2.1.0"});
  fakeB.Add("1.3.6.1.4.1.99.2.1.0", 7);
  BSASubAgent& a = NewSubAgent("A");
  BSASubAgent& b = NewSubAgent("B");
  Serve(a, fakeA);
  Serve(b, fakeB);
  a.Start();
  b.Start();

  EXPECT_EQ(Query(SNMP_REQ_GET, Names({"1.3.6.1.4.1.99.2.1.0", "1.3.6.1.4.1.99.1.2.0"})),
            (std::vector<std::string>{"0/0", "1.3.6.1.4.1.99.2.1.0=INTEGER: 7", "1.3.6.1.4.1.99.1.2.0=INTEGER: 2"}));
  EXPECT_EQ(Walk("1.3.6.1.4.1.99"),
            (std::vector<std::string>{"1.3.6.1.4.1.99.1.1.0=INTEGER: 1", "1.3.6.1.4.1.99.1.2.0=INTEGER: 2",
                                      "1.3.6.1.4.1.99.2.1.0=INTEGER: 7"}));

  BVarBindList set;
  set.Append(BObjectIdentifier("1.3.6.1.4.1.99.1.2.0"), Int(20));
  set.Append(BObjectIdentifier("1.3.6.1.4.1.99.2.1.0"), Int(70));
  EXPECT_EQ(Set(set), "0/0");
  EXPECT_EQ(ValueOf(fakeA, "1.3.6.1.4.1.99.1.2.0"), 20);
  EXPECT_EQ(ValueOf(fakeB, "1.3.6.1.4.1.99.2.1.0"), 70);
  EXPECT_EQ(LiveSlots(fakeA) + LiveSlots(fakeB), 0);  // cleanup reached both

  // A sub-agent's refusal comes back with the request's own position.
  {
    TMutexLock handlerLock(*fakeB.Lock());  // the responder reads the setting under it
    fakeB.FailSet(SNMP_SET_TEST, 0, SNMP_ERR_WRONGVALUE);
  }
  EXPECT_EQ(Set(set), "10/2");
  EXPECT_EQ(ValueOf(fakeA, "1.3.6.1.4.1.99.1.2.0"), 20);
}

class ExampleMibTest : public EndToEndTest {
 protected:
  void SetUp() override {
    EndToEndTest::SetUp();
    for (const bool first : {true, false}) {
      BSASubAgent& subAgent = NewSubAgent(first ? "A" : "B");
      m_mibs.push_back(
          std::make_unique<app::ExampleMib>(subAgent, first ? "A" : "B", first ? 1 : 6, first ? 5 : 10, first));
      ASSERT_TRUE(m_mibs.back()->InstallLocally());
      std::string what;
      ASSERT_EQ(m_mibs.back()->AnnounceToMaster(what), 0) << what;
      subAgent.Start();
    }
  }

  void TearDown() override {
    EndToEndTest::TearDown();
    m_mibs.clear();
  }

  std::vector<std::unique_ptr<app::ExampleMib>> m_mibs;
};

TEST_F(ExampleMibTest, TwoSubAgentsServeTheShareTableAsOneTable) {
  std::vector<std::string> expected;
  for (int column = 2; column <= 4; ++column) {
    for (int row = 1; row <= 10; ++row) {
      const std::string value = column == 2   ? std::string("STRING: \"") + (row <= 5 ? "A" : "B") + "\""
                                : column == 3 ? "Gauge32: " + std::to_string(row * 7)
                                              : "Counter64: " + std::to_string(row * 1000000000ull);
      expected.push_back(Below(kShareEntry, column, row) + "=" + value);
    }
  }
  EXPECT_EQ(Walk("1.3.6.1.4.1.32473.1.1.2"), expected);
}

TEST_F(ExampleMibTest, RowCreatedThroughTheMasterReservesItsIndexAndIsAnnounced) {
  BVarBindList create;
  create.Append(BObjectIdentifier(Below(kDynEntry, 2, 42)), Text("made"));
  create.Append(BObjectIdentifier(Below(kDynEntry, 4, 42)), Int(4));  // createAndGo
  ASSERT_EQ(Set(create), "0/0");
  EXPECT_EQ(Query(SNMP_REQ_GET, Names({Below(kDynEntry, 2, 42).c_str(), Below(kDynEntry, 4, 42).c_str()})),
            (std::vector<std::string>{"0/0", Below(kDynEntry, 2, 42) + "=STRING: \"made\"",
                                      Below(kDynEntry, 4, 42) + "=INTEGER: 1"}));

  ASSERT_TRUE(WaitUntil([&] { return m_traps.Count() == 1; }));
  const auto* trap = dynamic_cast<const BTrapV2*>(&m_traps.At(0));
  ASSERT_NE(trap, nullptr);
  EXPECT_EQ(trap->TrapOid(), app::kRowCreatedOid);
  EXPECT_EQ(Texts(trap->VarBinds()), std::vector<std::string>{Below(kDynEntry, 2, 42) + "=STRING: \"made\""});

  // The master's registry holds index 42 now: another sub-agent cannot
  // take it, until the row is destroyed again.
  BSASubAgent& other = *m_subAgents[1];
  const auto allocate = [&](int value) {
    BVarBindList index;
    index.Append(BObjectIdentifier(std::string(kDynEntry) + ".1"), Int(value));
    return other.IndexAlloc(SA_IXALLOC_VALUE, index);
  };
  EXPECT_EQ(allocate(42), SA_WIRE_INDEX_ALREADY_ALLOCATED);
  BVarBindList destroy;
  destroy.Append(BObjectIdentifier(Below(kDynEntry, 4, 42)), Int(6));
  ASSERT_EQ(Set(destroy), "0/0");
  EXPECT_EQ(allocate(42), 0);
  EXPECT_EQ(m_traps.Count(), 1u);
}

TEST_F(EndToEndTest, MasterClosesTheSessionOfASubAgentThatStopsAnswering) {
  FakeSubtreeHandler& fake = NewFake("1.3.6.1.4.1.99.1", {"1.3.6.1.4.1.99.1.1.0"});
  BSASubAgent& subAgent = NewSubAgent("A");
  Serve(subAgent, fake);
  subAgent.Start();
  const BVarBindList get = Names({"1.3.6.1.4.1.99.1.1.0"});
  ASSERT_EQ(Query(SNMP_REQ_GET, get)[0], "0/0");

  subAgent.Stop();
  for (int i = 0; i < 3; ++i) {
    m_master->CheckSessions();  // fewer than three time-outs: the session stays
    EXPECT_EQ(Query(SNMP_REQ_GET, get)[0], "5/1") << i;
  }
  int upTime = 0;
  EXPECT_EQ(subAgent.Ping(upTime), 0);
  m_master->CheckSessions();
  EXPECT_EQ(
      Query(SNMP_REQ_GET, get),
      (std::vector<std::string>{"0/0", "1.3.6.1.4.1.99.1.1.0=No Such Object available on this agent at this OID"}));
  EXPECT_EQ(subAgent.Ping(upTime), SA_WIRE_NOT_OPEN);
}

// The example program's sub-agent opens a new session and registers again
// when its master restarts on the same port, once: right away (the new
// master answers its ping with notOpen), or after an outage in which its
// pings time out and its first attempts to reconnect fail.
TEST_F(EndToEndTest, ExampleProgramReconnectsToARestartedMasterOnce) {
  char path[] = "/tmp/qvt-subagent-e2e-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << "[SubAgent]\nMasterAddress=" << MasterAddress()
                      << "\nPingInterval=1\nMasterTimeout=1\nMaxProcTime=1\n";
  app::SubAgentExample example;
  ASSERT_EQ(example.Configure({"-c", path, "--description", "restartable", "--rows", "1-2"}), -1);
  TEvent stop;
  int exitStatus = -1;
  std::thread program([&] { exitStatus = example.Run(stop); });
  const std::vector<std::string> described = {"0/0", std::string(kDescr) + "=STRING: \"restartable\""};
  const std::string row = Below(kShareEntry, 2, 2) + "=STRING: \"restartable\"";
  EXPECT_TRUE(
      WaitUntil([&] { return Query(SNMP_REQ_GET, Names({Below(kShareEntry, 2, 2).c_str()}))[1] == row; }, 10000));

  for (const int outageMs : {0, 4000}) {
    SCOPED_TRACE(outageMs);
    StopMaster();
    std::this_thread::sleep_for(std::chrono::milliseconds(outageMs));
    StartMaster();
    // The last row is the last registration.
    EXPECT_TRUE(
        WaitUntil([&] { return Query(SNMP_REQ_GET, Names({Below(kShareEntry, 2, 2).c_str()}))[1] == row; }, 20000));
    EXPECT_EQ(Query(SNMP_REQ_GET, Names({kDescr})), described);
    // No second reconnect follows: the session stays the one just opened.
    const int sessions = BSASession::s_session_counter.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(BSASession::s_session_counter.load(), sessions);
  }

  stop.Set();
  program.join();
  EXPECT_EQ(exitStatus, 0);
  std::remove(path);
}

// The example's sub-agent overrides the ping hooks: destroying it while its
// pinger waits for an answer must not let the pinger call into a half
// destroyed object.
TEST(ExampleSubAgentTest, DestroyedWhileAPingIsUnderWay) {
  ScriptedMaster master;
  master.SetScript([](const BSAPdu& request) {
    return request.type == SA_PDU_PING ? std::vector<Datagram>{} : ScriptedMaster::AnswerAll(request);
  });
  BMemoryStore store;
  store.SetString("SubAgent", "MasterAddress", master.Address().c_str(), 0, 0);
  store.SetInt("SubAgent", "PingInterval", 1, 0, 0, 0);
  store.SetInt("SubAgent", "MasterTimeout", 1, 0, 0, 0);
  auto subAgent = std::make_unique<app::ReconnectingSubAgent>();
  ASSERT_EQ(subAgent->Init(&store), 0);
  ASSERT_EQ(subAgent->OpenSession("x"), 0);
  ASSERT_EQ(subAgent->Start(), 0);
  ASSERT_TRUE(master.WaitForRequests(2));  // the open and an unanswered ping
  subAgent.reset();
}

}  // namespace
}  // namespace QVT::test
