// The qvt-master-agent program itself: started with a generated
// configuration on free ports, it serves a sub-agent session and stops
// cleanly on SIGTERM; an unusable configuration ends it with status 2 and
// one line that names the key.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>

#include "ChildProcess.h"
#include "MasterTestSupport.h"

namespace QVT::test {
namespace {

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override { m_dir = MakeTempDir("qvt-master-test-"); }
  void TearDown() override { std::filesystem::remove_all(m_dir); }

  void Start(const std::string& config) {
    WriteFile(m_dir + "/qvt.conf", config);
    ASSERT_TRUE(m_program.Start({QV_MASTER_AGENT_PATH, "-c", m_dir + "/qvt.conf"}, m_dir + "/log"));
  }
  std::string Log() const { return ReadFile(m_dir + "/log"); }

  std::string m_dir;
  ChildProcess m_program;
};

TEST_F(ProgramTest, ServesASessionAndStopsOnSigterm) {
  const unsigned short port = FreeUdpPort();
  Start("[SAMaster]\nPort=" + std::to_string(port) +
        "\n[Agent]\nListenAddress=127.0.0.1:" + std::to_string(FreeUdpPort()) + "\n");
  ScriptedSubAgent agent(port);
  // The program needs a moment to bind its port (longer under sanitizers).
  int opened = ScriptedSubAgent::kNoAnswer;
  for (int attempt = 0; attempt < 50 && opened == ScriptedSubAgent::kNoAnswer; ++attempt) {
    opened = agent.Open("prog", 1, /*waitMs=*/200);
  }
  ASSERT_EQ(opened, 0) << Log();
  EXPECT_GE(agent.SessionId(), 2u);
  EXPECT_EQ(agent.Ping(agent.SessionId()), 0);
  EXPECT_EQ(agent.Ping(agent.SessionId() + 1), SA_WIRE_NOT_OPEN);

  ASSERT_TRUE(m_program.Signal(SIGTERM));
  EXPECT_EQ(m_program.Wait(/*ms=*/5000), 0) << Log();
}

TEST_F(ProgramTest, UnusableConfigurationExitsWithStatus2AndOneLineNamingIt) {
  // A port the test holds, so that the program cannot bind it.
  BSockDatagram taken;
  BAddrINet any;
  ASSERT_EQ(taken.Create(), 0);
  ASSERT_EQ(taken.Bind(any), 0);
  BAddress local;
  taken.GetLocalAddress(local);
  const std::string busy = std::to_string(local.Port());
  const std::string free = std::to_string(FreeUdpPort());
  const struct {
    std::string config;
    std::string named;
  } rows[] = {
      {"[SAMaster]\nPort=70000\n[Agent]\nListenAddress=127.0.0.1:" + free + "\n", "[SAMaster] Port"},
      {"[SAMaster]\nPort=" + busy + "\n[Agent]\nListenAddress=127.0.0.1:" + free + "\n", "UDP port " + busy},
      {"[SAMaster]\nPort=" + free + "\n[Agent]\nListenAddress=127.0.0.1:" + busy + "\n", "[Agent] ListenAddress"},
  };
  for (const auto& row : rows) {
    std::filesystem::remove(m_dir + "/log");
    Start(row.config);
    EXPECT_EQ(m_program.Wait(/*ms=*/5000), 2) << row.config;
    const std::string text = Log();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find(row.named), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace QVT::test
