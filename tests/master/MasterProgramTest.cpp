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

TEST_F(ProgramTest, UnusablePortExitsWithStatus2AndOneLineNamingTheKey) {
  Start("[SAMaster]\nPort=70000\n[Agent]\nListenAddress=127.0.0.1:" + std::to_string(FreeUdpPort()) + "\n");
  EXPECT_EQ(m_program.Wait(/*ms=*/5000), 2);
  const std::string text = Log();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_NE(text.find("[SAMaster] Port"), std::string::npos) << text;
  EXPECT_NE(text.find("70000"), std::string::npos) << text;
}

}  // namespace
}  // namespace QVT::test
