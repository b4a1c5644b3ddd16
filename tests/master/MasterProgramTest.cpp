// qvt-master-agent ends with status 2 and one line naming the setting when its configuration is unusable, and
// warns about the lines of a usable one that it ignores.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
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
  const auto conf = [](unsigned masterPort, unsigned agentPort, const std::string& more = "") {
    return "[SAMaster]\nPort=" + std::to_string(masterPort) +
           "\n[Agent]\nListenAddress=127.0.0.1:" + std::to_string(agentPort) + "\n" + more;
  };
  for (const auto& [text, path, named] : std::initializer_list<std::tuple<std::string, std::string, std::string>>{
           {conf(70000, free), dir + "/qvt.conf", "[SAMaster] Port"},
           {conf(busy, free), dir + "/qvt.conf", "UDP port " + std::to_string(busy)},
           {conf(free, busy), dir + "/qvt.conf", "[Agent] ListenAddress: cannot bind"},
           {conf(free, free, "TrapSink=127.0.0.1:0\n"), dir + "/qvt.conf", "[Agent] TrapSink: '127.0.0.1:0'"},
           {conf(free, free), "", "option -c/--config needs a file name"}}) {
    ChildProcess program;
    WriteFile(dir + "/qvt.conf", text);
    std::filesystem::remove(dir + "/log");
    ASSERT_TRUE(program.Start({QV_MASTER_AGENT_PATH, "-c", path}, dir + "/log"));
    EXPECT_EQ(program.Wait(/*ms=*/5000), 2) << text;
    const std::string log = ReadFile(dir + "/log");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_NE(log.find(named), std::string::npos) << log;
  }
  std::filesystem::remove_all(dir);
}

TEST(ProgramTest, WarnsOfKeysOutsideSectionsAndKeysSetTwice) {
  const std::string dir = MakeTempDir("qvt-master-test-");
  WriteFile(dir + "/qvt.conf", "Port=7\n[SAMaster]\nPort=" + std::to_string(FreeUdpPort()) +
                                   "\n[Agent]\nListenAddress=127.0.0.1:1\nlistenaddress=127.0.0.1:0\n");
  ChildProcess program;
  ASSERT_TRUE(program.Start({QV_MASTER_AGENT_PATH, "-c", dir + "/qvt.conf"}, dir + "/log"));
  EXPECT_TRUE(WaitUntil([&] { return ReadFile(dir + "/log").find("SNMP agent on") != std::string::npos; }, 5000));
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(5000), 0);
  const std::string log = ReadFile(dir + "/log");
  EXPECT_NE(log.find("qvt.conf:1: key 'Port' before any [section] ignored"), std::string::npos) << log;
  EXPECT_NE(log.find("qvt.conf:6: key 'listenaddress' in [Agent] is set 2 times"), std::string::npos) << log;
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace QVT::test
