// The qvt-master-agent program itself: started with a generated
// configuration on free ports, it serves a sub-agent session and stops
// cleanly on SIGTERM; an unusable configuration ends it with status 2 and
// one line that names the key.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "MasterTestSupport.h"

extern char** environ;

namespace QVT::test {
namespace {

unsigned short FreePort() {
  BSockDatagram probe;
  BAddrINet any;
  if (probe.Create() != 0 || probe.Bind(any) != 0) return 0;
  BAddress local;
  probe.GetLocalAddress(local);
  return local.Port();
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qvt-master-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_dir = pattern;
  }
  void TearDown() override {
    if (m_pid > 0) {
      kill(m_pid, SIGKILL);
      waitpid(m_pid, nullptr, 0);
    }
    std::remove((m_dir + "/qvt.conf").c_str());
    std::remove((m_dir + "/stderr").c_str());
    rmdir(m_dir.c_str());
  }

  void Start(const std::string& config) {
    std::ofstream(m_dir + "/qvt.conf") << config;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, (m_dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string path = QV_MASTER_AGENT_PATH;
    const std::string conf = m_dir + "/qvt.conf";
    char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("-c"), const_cast<char*>(conf.c_str()), nullptr};
    ASSERT_EQ(posix_spawn(&m_pid, path.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
  }
  // The exit status, or -1 when the program neither exited nor was killed
  // within `ms`.
  int WaitExit(int ms) {
    for (int waited = 0; waited < ms; waited += 20) {
      int status = 0;
      if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }
  std::string Stderr() const {
    std::ifstream in(m_dir + "/stderr");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string m_dir;
  pid_t m_pid = -1;
};

TEST_F(ProgramTest, ServesASessionAndStopsOnSigterm) {
  const unsigned short port = FreePort();
  const unsigned short snmpPort = FreePort();
  Start("[SAMaster]\nPort=" + std::to_string(port) + "\n[Agent]\nListenAddress=127.0.0.1:" + std::to_string(snmpPort) +
        "\n");
  ScriptedSubAgent agent(port);
  // The program needs a moment to bind its port (longer under sanitizers).
  int opened = ScriptedSubAgent::kNoAnswer;
  for (int attempt = 0; attempt < 50 && opened == ScriptedSubAgent::kNoAnswer; ++attempt) {
    opened = agent.Open("prog", 1, /*waitMs=*/200);
  }
  ASSERT_EQ(opened, 0) << Stderr();
  EXPECT_GE(agent.SessionId(), 2u);
  EXPECT_EQ(agent.Ping(agent.SessionId()), 0);
  EXPECT_EQ(agent.Ping(agent.SessionId() + 1), SA_WIRE_NOT_OPEN);

  ASSERT_EQ(kill(m_pid, SIGTERM), 0);
  EXPECT_EQ(WaitExit(/*ms=*/5000), 0) << Stderr();
}

TEST_F(ProgramTest, UnusablePortExitsWithStatus2AndOneLineNamingTheKey) {
  Start("[SAMaster]\nPort=70000\n[Agent]\nListenAddress=127.0.0.1:" + std::to_string(FreePort()) + "\n");
  EXPECT_EQ(WaitExit(/*ms=*/5000), 2);
  const std::string text = Stderr();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_NE(text.find("[SAMaster] Port"), std::string::npos) << text;
  EXPECT_NE(text.find("70000"), std::string::npos) << text;
}

}  // namespace
}  // namespace QVT::test
