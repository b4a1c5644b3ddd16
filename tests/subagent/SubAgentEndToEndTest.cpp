// Master and example sub-agents in one process on loopback, SNMP requests
// run on the master's MIB handler the way the agent's engine runs them.
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "BSAMaster.h"
#include "BSASession.h"
#include "ManualClock.h"
#include "RecordingTrapSender.h"
#include "SubAgentExample.h"
#include "SubAgentTestSupport.h"

namespace QVT::test {
namespace {

const std::string kShare = "1.3.6.1.4.1.32473.1.1.2.1.", kDyn = "1.3.6.1.4.1.32473.1.1.3.1.";
const std::string kDescr = "1.3.6.1.4.1.32473.1.1.1.1.0";

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override { StartMaster(); }
  void TearDown() override {
    for (auto& subAgent : m_subAgents) subAgent->Stop();
    m_master->Stop();
  }
  void StartMaster() {
    m_master.reset();  // before the MIB handler it uses
    m_mib = std::make_unique<BMibHandler>();
    m_master = std::make_unique<BSAMaster>(m_mib.get(), &m_clock);
    BMemoryStore store;
    store.SetInt("SAMaster", "Port", m_port, 0, 0, 0);
    m_master->SetTrapSender(&m_traps);
    ASSERT_TRUE(m_master->Init(&store) == 0 && m_master->Start() == 0);
  }
  // A started sub-agent serving the example MIB's rows first..last, and its
  // scalars and qvtExDynTable with `scalars`; time-outs 1 s, no pings.
  BSASubAgent& Example(const char* description, int first, int last, bool scalars) {
    BMemoryStore store;
    store.SetString("SubAgent", "MasterAddress", ("127.0.0.1:" + std::to_string(m_port)).c_str(), 0, 0);
    for (const char* key : {"MasterTimeout", "MaxProcTime"}) store.SetInt("SubAgent", key, 1, 0, 0, 0);
    store.SetInt("SubAgent", "PingInterval", 0, 0, 0, 0);
    BSASubAgent& subAgent = *m_subAgents.emplace_back(std::make_unique<BSASubAgent>());
    auto& mib = *m_mibs.emplace_back(std::make_unique<app::ExampleMib>(subAgent, description, first, last, scalars));
    std::string what;
    EXPECT_TRUE(subAgent.Init(&store) == 0 && subAgent.OpenSession(description) == 0 && mib.InstallLocally() &&
                mib.AnnounceToMaster(what) == 0 && subAgent.Start() == 0)
        << what;
    return subAgent;
  }
  // "status/index|varbinds" of a GET or GET-NEXT, "status/index" of a SET (code 0).
  std::string Query(BVarBindList list, int code = SNMP_REQ_GET) {
    int index = 0;
    const int status = code == 0 ? m_mib->ProcessSet(++m_tid, m_params, list, index)
                                 : m_mib->Query(code, static_cast<int>(++m_tid), m_params, BString(), list, index);
    return std::to_string(status) + "/" + std::to_string(index) + (code == 0 ? "" : "|" + Texts(list));
  }

  ManualClock m_clock{0};  // up-time 0, as a ping's notOpen looks to the example's hook
  RecordingTrapSender m_traps;
  const BSecurityParams m_params{2, BString("public"), 1};
  unsigned short m_port = FreeUdpPort();
  unsigned m_tid = 7000;
  std::unique_ptr<BMibHandler> m_mib;
  std::unique_ptr<BSAMaster> m_master;
  std::vector<std::unique_ptr<BSASubAgent>> m_subAgents;
  std::vector<std::unique_ptr<app::ExampleMib>> m_mibs;  // gone before their sub-agents
};

// Two sub-agents serve the share table as one table. createAndGo through
// the master reserves the row's index and raises the notification; destroy
// releases the index; a refused SET reserves nothing.
TEST_F(EndToEndTest, SharedTableAndCreatedRow) {
  Example("A", 1, 5, true);
  BSASubAgent& other = Example("B", 6, 10, false);
  std::string expected, walked;
  for (int cell = 0, column = 2, row = 1; cell < 30; ++cell, column = 2 + cell / 10, row = 1 + cell % 10) {
    expected += "|" + kShare + std::to_string(column) + "." + std::to_string(row) + "=" +
                (column == 2   ? std::string("\"") + (row <= 5 ? "A" : "B") + "\""
                 : column == 3 ? "Gauge32: " + std::to_string(row * 7)
                               : "Counter64: " + std::to_string(row * 1000000000ull));
  }
  for (std::string name = "1.3.6.1.4.1.32473.1.1.2", answer;
       (answer = Query(Vbl({name}), SNMP_REQ_GET_NEXT)).rfind("0/0|" + kShare, 0) == 0 &&
       answer.find(name + "=") != 4;  // not the end of the MIB view
       name = answer.substr(4, answer.find('=') - 4)) {
    walked += answer.substr(3);
  }
  EXPECT_EQ(walked, expected);

  const auto allocate = [&](int value) {
    BVarBindList index = Vbl({kDyn + "1=" + std::to_string(value)});
    return other.IndexAlloc(SA_IXALLOC_VALUE, index);
  };
  EXPECT_EQ(Query(Vbl({kDyn + "2.43='" + std::string(33, 'x') + "'", kDyn + "4.43=4"}), 0), "8/1");  // too long
  EXPECT_EQ(allocate(43), 0);
  ASSERT_EQ(Query(Vbl({kDyn + "2.42='made'", kDyn + "4.42=4"}), 0), "0/0");
  EXPECT_EQ(Query(Vbl({kDyn + "4.42"})), "0/0|" + kDyn + "4.42=1");
  ASSERT_TRUE(WaitUntil([&] { return m_traps.Count() == 1; }, 3000, 10));
  const auto* trap = dynamic_cast<const BTrapV2*>(&m_traps.At(0));
  ASSERT_TRUE(trap != nullptr && trap->TrapOid() == app::kRowCreatedOid);
  EXPECT_EQ(Texts(trap->VarBinds()), kDyn + "2.42=\"made\"");
  EXPECT_EQ(allocate(42), SA_WIRE_INDEX_ALREADY_ALLOCATED);
  ASSERT_EQ(Query(Vbl({kDyn + "4.42=6"}), 0), "0/0");
  EXPECT_EQ(allocate(42), 0);
  EXPECT_EQ(m_traps.Count(), 1u);
}

// Three requests in a row without an answer, and the next check closes the session.
TEST_F(EndToEndTest, MasterClosesTheSessionOfASubAgentThatStopsAnswering) {
  BSASubAgent& subAgent = Example("A", 1, 5, true);
  ASSERT_EQ(Query(Vbl({kDescr})), "0/0|" + kDescr + "=\"A\"");
  subAgent.Stop();
  for (int i = 0; i < 3; ++i) {
    m_master->CheckSessions();
    EXPECT_EQ(Query(Vbl({kDescr})), "5/1|" + kDescr + "=NULL") << i;
  }
  int upTime = 0;
  EXPECT_EQ(subAgent.Ping(upTime), 0);
  m_master->CheckSessions();
  EXPECT_EQ(Query(Vbl({kDescr})), "0/0|" + kDescr + "=No Such Object available on this agent at this OID");
  EXPECT_EQ(subAgent.Ping(upTime), SA_WIRE_NOT_OPEN);
}

// The example program opens a new session and registers again, once, when
// its master restarts on the same port: right away (the new master answers
// its ping notOpen), or after an outage in which its pings time out and its
// first attempts to reconnect fail.
TEST_F(EndToEndTest, ExampleProgramReconnectsToARestartedMasterOnce) {
  char path[] = "/tmp/qvt-subagent-e2e-XXXXXX";
  close(mkstemp(path));
  std::ofstream(path) << "[SubAgent]\nMasterAddress=127.0.0.1:" << m_port
                      << "\nPingInterval=1\nMasterTimeout=1\nMaxProcTime=1\n";
  app::SubAgentExample example;
  ASSERT_EQ(example.Configure({"-c", path, "--description", "again", "--rows", "1-2"}), -1);
  TEvent stop;
  int exitStatus = -1;
  std::thread program([&] { exitStatus = example.Run(stop); });
  const auto registered = [&] {  // the scalars first, the last row last
    return Query(Vbl({kDescr, kShare + "2.2"})) == "0/0|" + kDescr + "=\"again\"|" + kShare + "2.2=\"again\"";
  };
  EXPECT_TRUE(WaitUntil(registered, 10000));
  for (const int outageMs : {0, 4000}) {
    m_master->Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(outageMs));
    StartMaster();
    EXPECT_TRUE(WaitUntil(registered, 20000)) << outageMs;
    const int sessions = BSASession::s_session_counter.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(BSASession::s_session_counter.load(), sessions) << "a second reconnect";
  }
  stop.Set();
  program.join();
  EXPECT_EQ(exitStatus, 0);
  std::remove(path);
}

}  // namespace
}  // namespace QVT::test
