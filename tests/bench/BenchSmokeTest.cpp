// The programs of bench/compare.sh, correctness only: each set-up (ours,
// agentx: snmpd + the Net-SNMP sub-agent, standalone: snmpd + dlmod) serves
// the bench MIB exactly and answers a short run of every measured operation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <deque>

#include "ChildProcess.h"

namespace QVT::test {
namespace {

#ifdef QV_BENCH_LOAD_PATH
const std::string kLoad = QV_BENCH_LOAD_PATH;
const std::string kNetSnmpSubAgent = QV_BENCH_NETSNMP_SUBAGENT_PATH;
const std::string kNetSnmpModule = QV_BENCH_NETSNMP_MODULE_PATH;
#else
const std::string kLoad, kNetSnmpSubAgent, kNetSnmpModule;
#endif
const std::string kSnmpd = "/usr/sbin/snmpd";
const std::string kRows = "50";

// One set-up of the comparison on free loopback ports.
class BenchSmoke : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (kLoad.empty()) GTEST_SKIP() << "libsnmp-dev was not found when configuring: no load client";
    if (GetParam() != "ours" && access(kSnmpd.c_str(), X_OK) != 0) GTEST_SKIP() << kSnmpd << " is not installed";
    m_dir = MakeTempDir("qvt-bench-smoke-");
    // Net-SNMP's processes: no MIB files, persistent files in our folder.
    const std::vector<std::string> env = {"/usr/bin/env", "MIBS=", "SNMP_PERSISTENT_DIR=" + m_dir,
                                          "QVT_BENCH_ROWS=" + kRows};
    const std::string socket = m_dir + "/agentx.sock";
    if (GetParam() == "ours") {
      const std::string master = std::to_string(FreeUdpPort());
      WriteFile(m_dir + "/master.conf", "[SAMaster]\nPort=" + master + "\n[Agent]\nListenAddress=" + Agent() + "\n");
      WriteFile(m_dir + "/sub.conf", "[SubAgent]\nMasterAddress=127.0.0.1:" + master +
                                         "\nPingInterval=10\nMasterTimeout=1\nMaxProcTime=2\n");
      Start({QV_MASTER_AGENT_PATH, "-c", m_dir + "/master.conf"}, "master");
      Start({QV_BENCH_SUBAGENT_PATH, "-c", m_dir + "/sub.conf", "--rows", kRows}, "subagent");
    } else {
      WriteFile(m_dir + "/snmpd.conf", "agentaddress udp:" + Agent() +
                                           "\nrocommunity public 127.0.0.1\ndontLogTCPWrappersConnects yes\n" +
                                           (GetParam() == "agentx" ? "master agentx\nagentXSocket " + socket
                                                                   : "dlmod qvtBenchMib " + kNetSnmpModule) +
                                           "\n");
      std::vector<std::string> snmpd = env;
      snmpd.insert(snmpd.end(), {kSnmpd, "-f", "-Lo", "-C", "-c", m_dir + "/snmpd.conf", "-I", "vacm_conf,dlmod"});
      Start(snmpd, "snmpd");
    }
    if (GetParam() == "agentx") {
      ASSERT_TRUE(WaitUntil([&] { return access(socket.c_str(), F_OK) == 0; }, 10000)) << Logs();
      std::vector<std::string> sub = env;
      sub.insert(sub.end(), {kNetSnmpSubAgent, "--agentx", socket, "--rows", kRows, "--ping", "1"});
      Start(sub, "subagent");
    }
    std::string out;
    ASSERT_EQ(Load("--max-seconds 20 --timeout-ms 300 wait", out), 0) << out << Logs();
  }

  // Our programs stop cleanly on SIGTERM (under the sanitizers: nothing leaked).
  void TearDown() override {
    const std::vector<int> statuses = StopAll(m_children, 10000);
    for (size_t i = 0; i < statuses.size(); ++i) {
      EXPECT_TRUE(GetParam() != "ours" || statuses[i] == 0) << m_names[i] << " " << statuses[i] << "\n" << Logs();
    }
    if (!HasFailure()) RemoveTempDir(m_dir);
  }

  std::string Agent() {
    if (m_port.empty()) m_port = std::to_string(FreeUdpPort());
    return "127.0.0.1:" + m_port;
  }
  void Start(const std::vector<std::string>& argv, const std::string& name) {
    m_names.push_back(name);
    ASSERT_TRUE(m_children.emplace_back().Start(argv, m_dir + "/" + name + ".log")) << argv[0];
  }
  // The load client against the set-up; its output and error in `out`.
  int Load(const std::string& args, std::string& out) {
    return RunCommand(kLoad + " --agent " + Agent() + " --timeout-ms 3000 " + args + " 2>&1", out, 60);
  }
  std::string Logs() const {
    std::string text;
    for (const std::string& name : m_names) text += name + ":\n" + ReadFile(m_dir + "/" + name + ".log");
    return text;
  }

  std::string m_dir, m_port;
  std::deque<ChildProcess> m_children;  // not movable: a deque keeps them in place
  std::vector<std::string> m_names;
};

// Each run's output line, or the reason it failed (exit status 1).
TEST_P(BenchSmoke, ServesTheMibAndEveryMeasuredOperation) {
  std::string pids;
  for (const ChildProcess& child : m_children) pids += " --pid " + std::to_string(child.Pid());
  const std::string cells = " varbinds=150 ";
  std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"check 50", 0, "op=check ok"},
      {pids + " get 200", 0, "op=get requests=200 varbinds=200 "},
      {"walk 50", 0, "op=walk requests=151" + cells},
      {"bulk 50 25", 0, cells},
      {"bulk 50 7", 0, cells}};
  if (GetParam() == "ours") {
    cases.insert(cases.end(), {{"walk 49", 1, "walk, varbind 50: got .1.3.6.1.4.1.32473.9.2.1.2.50"},
                               {"walk 51", 1, "walk, varbind 51: got .1.3.6.1.4.1.32473.9.2.1.3.1"},
                               {"bulk 51 25", 1, "bulk, varbind 51:"},
                               {"check 49", 1, "check, GET-NEXT of the last row of column 2"},
                               {"--agent 127.0.0.1:9 --timeout-ms 200 get 1", 1, "no answer within 200 ms"}});
  }
  for (const auto& [args, status, expected] : cases) {
    std::string out;
    EXPECT_EQ(Load(args, out), status) << args << "\n" << out;
    EXPECT_NE(out.find(expected), std::string::npos) << args << "\n" << out;
    EXPECT_TRUE(args != pids + " get 200" || out.find("nan") == std::string::npos) << out;  // CPU times were read
  }
}

INSTANTIATE_TEST_SUITE_P(SetUps, BenchSmoke, ::testing::Values("ours", "agentx", "standalone"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(BenchSmokePrograms, BenchSubAgentArgumentsAndTheFloor) {
  std::string out;
  for (const char* args : {"--rows 0", "--rows 1000001", "--rows 12x", "--rows", "--colour"}) {
    EXPECT_EQ(RunCommand(std::string(QV_BENCH_SUBAGENT_PATH) + " " + args + " 2>&1", out), 2) << args << "\n" << out;
    EXPECT_NE(out.find("qvt-bench-subagent"), std::string::npos) << out;
  }
  if (kLoad.empty()) GTEST_SKIP() << "libsnmp-dev was not found when configuring: no load client";
  EXPECT_EQ(RunCommand(kLoad + " floor 200 2>&1", out), 0) << out;
  EXPECT_NE(out.find("op=floor requests=200 "), std::string::npos) << out;
}

}  // namespace
}  // namespace QVT::test
