// The programs bench/isolation.sh adds, correctness only (no timing):
// qvt-bench-register (pipelined registrations, every answer checked, the
// quota check, the close), qvt-bench-tarpit (registers and never answers),
// and the probe and getfor operations of qvt-bench-load, against our
// master. The Net-SNMP sub-agent's --never-answer against snmpd as well.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <deque>

#include "ChildProcess.h"

namespace QVT::test {
namespace {

#ifdef QV_BENCH_LOAD_PATH
const std::string kLoad = QV_BENCH_LOAD_PATH;
const std::string kNetSnmpSubAgent = QV_BENCH_NETSNMP_SUBAGENT_PATH;
#else
const std::string kLoad, kNetSnmpSubAgent;
#endif
const std::string kRegister = QV_BENCH_REGISTER_PATH;
const std::string kTarpit = QV_BENCH_TARPIT_PATH;
const std::string kSnmpd = "/usr/sbin/snmpd";

class IsolationSmoke : public ::testing::Test {
 protected:
  void SetUp() override { m_dir = MakeTempDir("qvt-isolation-smoke-"); }

  void TearDown() override {
    StopAll(m_children, 10000);
    if (!HasFailure()) RemoveTempDir(m_dir);
  }

  // Our master with `extra` lines in [SAMaster]; its sub-agent port in m_master.
  void StartMaster(const std::string& extra) {
    m_master = std::to_string(FreeUdpPort());
    m_agent = std::to_string(FreeUdpPort());
    WriteFile(m_dir + "/master.conf", "[SAMaster]\nPort=" + m_master + "\n" + extra +
                                          "[Agent]\nListenAddress=127.0.0.1:" + m_agent + "\n");
    Start({QV_MASTER_AGENT_PATH, "-c", m_dir + "/master.conf"}, "master");
    ASSERT_TRUE(WaitUntil([&] { return Load("--timeout-ms 200 probe 5 1 sysdescr", m_out) == 0 &&
                                       m_out.find(" ok=5 ") != std::string::npos; },
                          10000))
        << m_out << Logs();
  }
  void Start(const std::vector<std::string>& argv, const std::string& name) {
    m_names.push_back(name);
    ASSERT_TRUE(m_children.emplace_back().Start(argv, m_dir + "/" + name + ".log")) << argv[0];
  }
  int Load(const std::string& args, std::string& out) {
    return RunCommand(kLoad + " --agent 127.0.0.1:" + m_agent + " " + args + " 2>&1", out, 60);
  }
  int Register(const std::string& args, std::string& out) {
    return RunCommand(kRegister + " --master 127.0.0.1:" + m_master + " " + args + " 2>&1", out, 60);
  }
  std::string Logs() const {
    std::string text;
    for (const std::string& name : m_names) text += name + ":\n" + ReadFile(m_dir + "/" + name + ".log");
    return text;
  }

  std::string m_dir, m_master, m_agent, m_out;
  std::deque<ChildProcess> m_children;
  std::vector<std::string> m_names;
};

TEST_F(IsolationSmoke, RegisterChecksEveryAnswerAndTheQuota) {
  if (kLoad.empty()) GTEST_SKIP() << "libsnmp-dev was not found when configuring: no load client";
  StartMaster("MaxRegistrations=1000\n");
  std::string out;
  ASSERT_EQ(Register("--count 1000 --window 16 --quota-check", out), 0) << out << Logs();
  EXPECT_NE(out.find("op=register count=1000 window=16 "), std::string::npos) << out;
  EXPECT_NE(out.find(" quota_check=ok "), std::string::npos) << out;
  EXPECT_NE(out.find(" close_seconds="), std::string::npos) << out;
  // Closed: the same subtrees register again; one more than the quota is refused.
  EXPECT_EQ(Register("--count 1001 --window 16", out), 1) << out;
  EXPECT_NE(out.find("registration 1000 (1.3.6.1.4.1.32473.20.1.0) answered 267"), std::string::npos) << out;
  // That session, left open, holds .20.0.0 to .20.0.999: registering them
  // again is refused as a duplicate.
  EXPECT_EQ(Register("--count 3", out), 1) << out;
  EXPECT_NE(out.find("(1.3.6.1.4.1.32473.20.0.0) answered 263"), std::string::npos) << out;
  // A quota check against a quota that is not full fails.
  EXPECT_EQ(Register("--count 10 --base 1.3.6.1.4.1.32473.22 --quota-check", out), 1) << out;
  EXPECT_NE(out.find("quota check: registration 11 was answered 0"), std::string::npos) << out;
  for (const char* args : {"--count 0", "--window 0", "--base 1", "--colour 3"}) {
    EXPECT_EQ(Register(args, out), 2) << args << "\n" << out;
  }
  EXPECT_EQ(RunCommand(kRegister + " --count 5 2>&1", out), 2) << out;  // no --master
}

TEST_F(IsolationSmoke, TarpitRegistersAndNeverAnswersWhileTheRestIsServed) {
  if (kLoad.empty()) GTEST_SKIP() << "libsnmp-dev was not found when configuring: no load client";
  StartMaster("");
  Start({kTarpit, "--master", "127.0.0.1:" + m_master, "--mib-arc", "12"}, "tarpit");
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(m_dir + "/tarpit.log").find("op=tarpit ready") != std::string::npos; },
                        10000))
      << Logs();
  std::string out;
  // Its object: never answered (the master waits up to MaxWait for it).
  EXPECT_EQ(Load("--mib-arc 12 --timeout-ms 300 get 1", out), 1) << out;
  EXPECT_NE(out.find("no answer within 300 ms"), std::string::npos) << out;
  // The probe counts what it got: lost ones or the master's busy answer for
  // the tarpit's object; sysDescr.0 answered, and an unregistered object as such.
  ASSERT_EQ(Load("--mib-arc 12 --timeout-ms 300 probe 20 1 bench", out), 0) << out;
  EXPECT_NE(out.find(" sent=20 ok=0 "), std::string::npos) << out;
  ASSERT_EQ(Load("--timeout-ms 1000 probe 50 1 sysdescr --samples " + m_dir + "/samples.txt", out), 0) << out;
  EXPECT_NE(out.find("op=probe target=sysDescr.0 rate=50.0 "), std::string::npos) << out;
  EXPECT_NE(out.find(" sent=50 ok=50 lost=0 other=0 "), std::string::npos) << out;
  const std::string samples = ReadFile(m_dir + "/samples.txt");
  EXPECT_EQ(std::count(samples.begin(), samples.end(), '\n'), 50) << samples;
  EXPECT_NE(samples.find(" ok\n"), std::string::npos) << samples;
  ASSERT_EQ(Load("--mib-arc 13 --timeout-ms 1000 probe 20 1 bench", out), 0) << out;
  EXPECT_NE(out.find(" ok=0 lost=0 other=20 "), std::string::npos) << out;
  EXPECT_NE(out.find("other_kinds=noSuchObject:20"), std::string::npos) << out;
  // On SIGTERM it says how many requests it left unanswered.
  m_children.back().Signal(SIGTERM);
  EXPECT_EQ(m_children.back().Wait(10000), 0);
  const std::string log = ReadFile(m_dir + "/tarpit.log");
  EXPECT_NE(log.find("op=tarpit unanswered="), std::string::npos) << log;
  EXPECT_EQ(log.find("op=tarpit unanswered=0 "), std::string::npos) << log;
}

TEST_F(IsolationSmoke, SecondBenchSubAgentUnderItsOwnArcAndGetFor) {
  if (kLoad.empty()) GTEST_SKIP() << "libsnmp-dev was not found when configuring: no load client";
  StartMaster("");
  WriteFile(m_dir + "/sub.conf", "[SubAgent]\nMasterAddress=127.0.0.1:" + m_master +
                                     "\nPingInterval=10\nMasterTimeout=1\nMaxProcTime=2\n");
  Start({QV_BENCH_SUBAGENT_PATH, "-c", m_dir + "/sub.conf", "--rows", "20"}, "subagent9");
  Start({QV_BENCH_SUBAGENT_PATH, "-c", m_dir + "/sub.conf", "--rows", "30", "--mib-arc", "10"}, "subagent10");
  std::string out;
  ASSERT_EQ(Load("--max-seconds 20 --timeout-ms 300 wait", out), 0) << out << Logs();
  ASSERT_EQ(Load("--mib-arc 10 --max-seconds 20 --timeout-ms 300 wait", out), 0) << out << Logs();
  EXPECT_EQ(Load("--mib-arc 10 check 30", out), 0) << out;
  EXPECT_EQ(Load("check 20", out), 0) << out;
  EXPECT_EQ(Load("--mib-arc 10 walk 30", out), 0) << out;
  EXPECT_EQ(Load("--mib-arc 10 walk 20", out), 1) << out;  // the other table
  ASSERT_EQ(Load("--mib-arc 10 getfor 1", out), 0) << out;
  EXPECT_NE(out.find("op=getfor requests="), std::string::npos) << out;
  EXPECT_EQ(out.find("op=getfor requests=0 "), std::string::npos) << out;
  // A slow rate: this checks the answers, not how many may wait for the
  // sub-agent at once on a busy machine (MaxQueuedRequests).
  ASSERT_EQ(Load("--timeout-ms 1000 probe 20 1 bench", out), 0) << out;
  EXPECT_NE(out.find(" sent=20 ok=20 lost=0 "), std::string::npos) << out;
  for (const char* args : {"probe 0 1 bench", "probe 10 1 nothing", "probe 10 1", "getfor 0", "get 5 --samples x"}) {
    EXPECT_EQ(Load(args, out), 2) << args << "\n" << out;
  }
  EXPECT_EQ(RunCommand(std::string(QV_BENCH_SUBAGENT_PATH) + " --mib-arc 0 2>&1", out), 2) << out;
}

TEST_F(IsolationSmoke, NetSnmpSubAgentThatNeverAnswers) {
  if (kLoad.empty()) GTEST_SKIP() << "libsnmp-dev was not found when configuring: no load client";
  if (access(kSnmpd.c_str(), X_OK) != 0) GTEST_SKIP() << kSnmpd << " is not installed";
  m_agent = std::to_string(FreeUdpPort());
  const std::string socket = m_dir + "/agentx.sock";
  WriteFile(m_dir + "/snmpd.conf", "agentaddress udp:127.0.0.1:" + m_agent +
                                       "\nrocommunity public 127.0.0.1\nmaster agentx\nagentXSocket " + socket + "\n");
  const std::vector<std::string> env = {"/usr/bin/env", "MIBS=", "SNMP_PERSISTENT_DIR=" + m_dir};
  std::vector<std::string> snmpd = env;
  snmpd.insert(snmpd.end(), {kSnmpd, "-f", "-Lo", "-C", "-c", m_dir + "/snmpd.conf", "-I", "vacm_conf,system_mib"});
  Start(snmpd, "snmpd");
  ASSERT_TRUE(WaitUntil([&] { return access(socket.c_str(), F_OK) == 0; }, 10000)) << Logs();
  std::vector<std::string> sub = env;
  sub.insert(sub.end(), {kNetSnmpSubAgent, "--agentx", socket, "--mib-arc", "12", "--never-answer"});
  Start(sub, "tarpit");
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(m_dir + "/tarpit.log").find("subagent connected") != std::string::npos; },
                        10000))
      << Logs();
  std::string out;
  EXPECT_EQ(Load("--mib-arc 12 --timeout-ms 300 get 1", out), 1) << out;
  EXPECT_NE(out.find("no answer within 300 ms"), std::string::npos) << out;
  ASSERT_EQ(Load("--mib-arc 13 --timeout-ms 1000 probe 10 1 bench", out), 0) << out;
  EXPECT_NE(out.find("other_kinds=noSuchObject:10"), std::string::npos) << out;
  ASSERT_EQ(Load("--timeout-ms 1000 probe 10 1 sysdescr", out), 0) << out;
  EXPECT_NE(out.find(" sent=10 ok=10 "), std::string::npos) << out;
}

}  // namespace
}  // namespace QVT::test
