// Smoke test of the side-by-side comparison's programs (bench/compare.sh):
// for each set-up (ours: qvt-master-agent + qvt-bench-subagent; agentx:
// snmpd + the Net-SNMP sub-agent; standalone: snmpd with the module loaded
// by dlmod) the load client checks the MIB and runs a short GET, GET-NEXT
// walk and GET-BULK walk, every answer checked. Also: the load client
// refuses a table of another size, and the bench sub-agent refuses bad
// arguments. No timing is asserted.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <deque>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace QVT::test {
namespace {

#ifdef QV_BENCH_LOAD_PATH
const std::string kLoad = QV_BENCH_LOAD_PATH;
const std::string kNetSnmpSubAgent = QV_BENCH_NETSNMP_SUBAGENT_PATH;
const std::string kNetSnmpModule = QV_BENCH_NETSNMP_MODULE_PATH;
#else
const std::string kLoad;
const std::string kNetSnmpSubAgent;
const std::string kNetSnmpModule;
#endif
const std::string kMaster = QV_MASTER_AGENT_PATH;
const std::string kSubAgent = QV_BENCH_SUBAGENT_PATH;
const std::string kSnmpd = "/usr/sbin/snmpd";
constexpr int kRows = 50;

// True once some process has bound UDP port `port` on 127.0.0.1.
bool UdpPortBound(unsigned short port) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno == EADDRINUSE;
  ::close(fd);
  return bound;
}

bool Exists(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

// One set-up of the comparison, started on free loopback ports.
class BenchSmoke : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (kLoad.empty()) GTEST_SKIP() << "libsnmp-dev was not found when configuring: no load client";
    if (GetParam() != "ours" && !Exists(kSnmpd)) GTEST_SKIP() << kSnmpd << " is not installed";
    m_dir = MakeTempDir("qvt-bench-smoke-");
    m_port = FreeUdpPort();
    const std::string rows = std::to_string(kRows);
    // Net-SNMP's processes: no MIB files, persistent files in our folder.
    const std::vector<std::string> netSnmpEnv = {"/usr/bin/env", "MIBS=", "SNMP_PERSISTENT_DIR=" + m_dir,
                                                 "QVT_BENCH_ROWS=" + rows};
    if (GetParam() == "ours") {
      const unsigned short masterPort = FreeUdpPort();
      WriteFile(m_dir + "/master.conf", "[SAMaster]\nPort=" + std::to_string(masterPort) +
                                            "\n[Agent]\nListenAddress=127.0.0.1:" + std::to_string(m_port) + "\n");
      WriteFile(m_dir + "/sub.conf", "[SubAgent]\nMasterAddress=127.0.0.1:" + std::to_string(masterPort) +
                                         "\nPingInterval=10\nMasterTimeout=1\nMaxProcTime=2\n");
      Start({kMaster, "-c", m_dir + "/master.conf"}, "master");
      ASSERT_TRUE(WaitUntil([&] { return UdpPortBound(masterPort); }, 10000)) << Logs();
      Start({kSubAgent, "-c", m_dir + "/sub.conf", "--rows", rows}, "subagent");
    } else {
      std::string conf = "agentaddress udp:127.0.0.1:" + std::to_string(m_port) +
                         "\nrocommunity public 127.0.0.1\ndontLogTCPWrappersConnects yes\n";
      const std::string socket = m_dir + "/agentx.sock";
      conf += GetParam() == "agentx" ? "master agentx\nagentXSocket " + socket + "\n"
                                     : "dlmod qvtBenchMib " + kNetSnmpModule + "\n";
      WriteFile(m_dir + "/snmpd.conf", conf);
      std::vector<std::string> snmpd = netSnmpEnv;
      snmpd.insert(snmpd.end(), {kSnmpd, "-f", "-Lo", "-C", "-c", m_dir + "/snmpd.conf", "-I", "vacm_conf,dlmod"});
      Start(snmpd, "snmpd");
      if (GetParam() == "agentx") {
        ASSERT_TRUE(WaitUntil([&] { return Exists(socket); }, 10000)) << ReadFile(m_dir + "/snmpd.log");
        std::vector<std::string> sub = netSnmpEnv;
        sub.insert(sub.end(), {kNetSnmpSubAgent, "--agentx", socket, "--rows", rows, "--ping", "1"});
        Start(sub, "subagent");
      }
    }
    std::string out;
    ASSERT_EQ(Load("--max-seconds 20 --timeout-ms 300 wait", out), 0) << out << Logs();
  }

  void TearDown() override {
    for (ChildProcess& child : m_children) {
      if (child.Running()) child.Signal(SIGTERM);
    }
    // Both of our programs stop cleanly on SIGTERM (under the sanitizers
    // that includes: nothing leaked).
    for (size_t i = 0; i < m_children.size(); ++i) {
      const int status = m_children[i].Wait(10000);
      if (GetParam() == "ours") {
        EXPECT_EQ(status, 0) << m_names[i] << "\n" << Logs();
      }
    }
    if (!m_dir.empty() && !HasFailure()) RunCommand("rm -rf '" + m_dir + "'", m_scratch);
  }

  void Start(const std::vector<std::string>& argv, const std::string& name) {
    m_children.emplace_back();
    m_names.push_back(name);
    ASSERT_TRUE(m_children.back().Start(argv, m_dir + "/" + name + ".log")) << argv[0];
  }

  // The load client against the set-up; its output and error in `out`.
  int Load(const std::string& args, std::string& out) {
    return RunCommand(kLoad + " --agent 127.0.0.1:" + std::to_string(m_port) + " --timeout-ms 3000 " + args + " 2>&1",
                      out, 60);
  }

  std::string Logs() const {
    std::string text;
    for (const std::string& name : m_names) text += name + ":\n" + ReadFile(m_dir + "/" + name + ".log");
    return text;
  }

  std::string PidOptions() {
    std::string text;
    for (const ChildProcess& child : m_children) text += " --pid " + std::to_string(child.Pid());
    return text;
  }

  std::string m_dir;
  std::string m_scratch;
  unsigned short m_port = 0;
  std::deque<ChildProcess> m_children;  // not movable: a deque keeps them in place
  std::vector<std::string> m_names;
};

TEST_P(BenchSmoke, ServesTheMibAndEveryMeasuredOperation) {
  struct Case {
    std::string args;
    std::string expected;  // in the client's output line
  };
  const std::string rows = std::to_string(kRows);
  const std::string cells = std::to_string(3 * kRows);
  const Case cases[] = {
      {"check " + rows, "op=check ok"},
      {PidOptions() + " get 200", "op=get requests=200 varbinds=200 "},
      {"walk " + rows, "op=walk requests=" + std::to_string(3 * kRows + 1) + " varbinds=" + cells + " "},
      {"bulk " + rows + " 25", " varbinds=" + cells + " "},
      {"bulk " + rows + " 7", " varbinds=" + cells + " "},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(Load(c.args, out), 0) << c.args << "\n" << out;
    EXPECT_NE(out.find(c.expected), std::string::npos) << c.args << "\n" << out;
    // The CPU time of every watched process was read before and after.
    if (c.args.find("--pid") != std::string::npos) {
      EXPECT_EQ(out.find("nan"), std::string::npos) << out;
    }
  }
}

std::string SetUpName(const ::testing::TestParamInfo<std::string>& info) {
  return info.param;
}

INSTANTIATE_TEST_SUITE_P(SetUps, BenchSmoke, ::testing::Values("ours", "agentx", "standalone"), SetUpName);

// The client's checks catch a table that is not the one it expects, and
// missing or wrong answers end the run with status 1.
class BenchSmokeOurs : public BenchSmoke {};

TEST_P(BenchSmokeOurs, LoadClientRefusesATableOfAnotherSize) {
  struct Case {
    std::string args;
    std::string reason;
  };
  const Case cases[] = {
      {"walk " + std::to_string(kRows - 1), "walk, varbind 50: got .1.3.6.1.4.1.32473.9.2.1.2.50"},
      {"walk " + std::to_string(kRows + 1), "walk, varbind 51: got .1.3.6.1.4.1.32473.9.2.1.3.1"},
      {"bulk " + std::to_string(kRows + 1) + " 25", "bulk, varbind 51:"},
      {"check " + std::to_string(kRows - 1), "check, GET-NEXT of the last row of column 2"},
      {"--agent 127.0.0.1:9 --timeout-ms 200 get 1", "no answer within 200 ms"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(Load(c.args, out), 1) << c.args << "\n" << out;
    EXPECT_NE(out.find(c.reason), std::string::npos) << c.args << "\n" << out;
  }
}

INSTANTIATE_TEST_SUITE_P(Ours, BenchSmokeOurs, ::testing::Values("ours"), SetUpName);

TEST(BenchSmokePrograms, FloorIsMeasuredBetweenTwoProcesses) {
  if (kLoad.empty()) GTEST_SKIP() << "libsnmp-dev was not found when configuring: no load client";
  std::string out;
  EXPECT_EQ(RunCommand(kLoad + " floor 200 2>&1", out), 0) << out;
  EXPECT_NE(out.find("op=floor requests=200 "), std::string::npos) << out;
}

TEST(BenchSmokePrograms, BenchSubAgentRefusesUnusableArguments) {
  for (const char* args : {"--rows 0", "--rows 1000001", "--rows 12x", "--rows", "--colour"}) {
    std::string out;
    EXPECT_EQ(RunCommand(kSubAgent + " " + args + " 2>&1", out), 2) << args << "\n" << out;
    EXPECT_NE(out.find("qvt-bench-subagent"), std::string::npos) << out;
  }
}

}  // namespace
}  // namespace QVT::test
