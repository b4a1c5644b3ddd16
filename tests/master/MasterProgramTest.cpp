// The qvt-master-agent program serves a sub-agent until SIGTERM ends it with 0;
// an unusable configuration ends it with status 2 and one line naming it.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>

#include "MasterTestSupport.h"

namespace QVT::test {
namespace {

class ProgramTest : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(m_dir); }
  void Start(unsigned masterPort, unsigned agentPort) {
    WriteFile(m_dir + "/qvt.conf", "[SAMaster]\nPort=" + std::to_string(masterPort) +
                                       "\n[Agent]\nListenAddress=127.0.0.1:" + std::to_string(agentPort) + "\n");
    ASSERT_TRUE(m_program.Start({QV_MASTER_AGENT_PATH, "-c", m_dir + "/qvt.conf"}, m_dir + "/log"));
  }
  std::string Log() const { return ReadFile(m_dir + "/log"); }

  std::string m_dir = MakeTempDir("qvt-master-test-");
  ChildProcess m_program;
};

TEST_F(ProgramTest, ServesUntilSigtermAndRefusesAnUnusableConfigurationWithStatus2) {
  const unsigned short port = FreeUdpPort();
  Start(port, FreeUdpPort());
  SubAgent agent(port);
  BSAPdu answer;
  int opened = SubAgent::kNoAnswer;  // the program needs a moment to bind (longer under sanitizers)
  for (int attempt = 0; attempt < 50 && opened == SubAgent::kNoAnswer; ++attempt) {
    opened = agent.Ask(OpenPdu(1), &answer, 200);
  }
  ASSERT_EQ(opened, 0) << Log();
  EXPECT_EQ(agent.Ask(BSAPdu(SA_PDU_PING, answer.sessionId, 0)), 0);
  ASSERT_TRUE(m_program.Signal(SIGTERM));
  EXPECT_EQ(m_program.Wait(/*ms=*/5000), 0) << Log();
  BSASocket holder{2048, 0};  // holds a port, so that the program cannot bind it
  const unsigned short busy = FreeUdpPort(), free = FreeUdpPort();
  ASSERT_EQ(holder.Initialize(busy), 0);
  const std::tuple<unsigned, unsigned, std::string> rows[] = {{70000, free, "[SAMaster] Port"},
                                                              {busy, free, "UDP port " + std::to_string(busy)},
                                                              {free, busy, "[Agent] ListenAddress"}};
  for (const auto& [masterPort, agentPort, named] : rows) {
    std::filesystem::remove(m_dir + "/log");
    Start(masterPort, agentPort);
    EXPECT_EQ(m_program.Wait(/*ms=*/5000), 2) << masterPort;
    const std::string text = Log();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find(named), std::string::npos) << text;
  }
}

}  // namespace
}  // namespace QVT::test
