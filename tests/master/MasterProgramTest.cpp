// qvt-master-agent ends with status 2 and one line naming the setting when its configuration is unusable.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "BSASocket.h"
#include "ChildProcess.h"

namespace QVT::test {
namespace {

TEST(ProgramTest, RefusesAnUnusableConfigurationWithStatus2) {
  const std::string dir = MakeTempDir("qvt-master-test-");
  BSASocket holder{2048, 0};  // holds a port, so that the program cannot bind it
  const unsigned short busy = FreeUdpPort(), free = FreeUdpPort();
  ASSERT_EQ(holder.Initialize(busy), 0);
  for (const auto& [masterPort, agentPort, named] : std::initializer_list<std::tuple<unsigned, unsigned, std::string>>{
           {70000, free, "[SAMaster] Port"},
           {busy, free, "UDP port " + std::to_string(busy)},
           {free, busy, "[Agent] ListenAddress"}}) {
    ChildProcess program;
    WriteFile(dir + "/qvt.conf", "[SAMaster]\nPort=" + std::to_string(masterPort) +
                                     "\n[Agent]\nListenAddress=127.0.0.1:" + std::to_string(agentPort) + "\n");
    std::filesystem::remove(dir + "/log");
    ASSERT_TRUE(program.Start({QV_MASTER_AGENT_PATH, "-c", dir + "/qvt.conf"}, dir + "/log"));
    EXPECT_EQ(program.Wait(/*ms=*/5000), 2) << masterPort;
    const std::string text = ReadFile(dir + "/log");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find(named), std::string::npos) << text;
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace QVT::test
