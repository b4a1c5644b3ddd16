// qvt-master-agent ends with status 2 and one line naming the setting when its configuration is unusable,
// warns about the lines of a usable one that it ignores, and keeps what sub-agents send out of its log's
// structure and volume.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

#include "BSASocket.h"
#include "ChildProcess.h"
#include "MasterTestSupport.h"

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

// Each unusable SNMPv3 user or trap user setting: status 2 and one line naming the section and key.
TEST(ProgramTest, RefusesUnusableUsersNamingSectionAndKey) {
  const std::string dir = MakeTempDir("qvt-master-test-");
  struct Case {
    const char* name;
    std::string agentKeys;  // more [Agent] lines
    std::string user;       // the [User bob] section's lines
    std::string named;
  };
  const std::string sink = "TrapSink=v3:127.0.0.1:" + std::to_string(FreeUdpPort()) + "\n";
  const std::string good = "Auth=SHA\nAuthPassword=bobs-password\n";
  const Case cases[] = {
      {"DES refused", "", good + "Priv=DES\nPrivPassword=bobs-password\n", "[User bob] Priv"},
      {"unknown Auth", "", "Auth=SHA-999\nAuthPassword=bobs-password\n", "[User bob] Auth"},
      {"bad Level", "", good + "Level=secret\n", "[User bob] Level"},
      {"Level above the keys", "", good + "Level=authPriv\n", "[User bob] Level"},
      {"bad Access", "", good + "Access=admin\n", "[User bob] Access"},
      {"bad View", "", good + "View=1.3.6.x\n", "[User bob] View"},
      {"AuthKey of the wrong length", "", "Auth=SHA\nAuthKey=00112233445566778899\n", "[User bob] AuthKey"},
      {"AuthKey not hex", "", "Auth=SHA\nAuthKey=xyz\n", "[User bob] AuthKey"},
      {"short AuthPassword", "", "Auth=SHA\nAuthPassword=seven77\n", "[User bob] AuthPassword"},
      {"short PrivPassword", "", good + "Priv=AES\nPrivPassword=seven77\n", "[User bob] PrivPassword"},
      {"Priv without Auth", "", "Priv=AES\nPrivPassword=bobs-password\n", "[User bob] Priv"},
      {"TrapUser unknown", "TrapUser=alice\n", good, "[Agent] TrapUser"},
      {"v3 TrapSink without TrapUser", sink, good, "[Agent] TrapUser"},
  };
  for (const Case& c : cases) {
    const std::string text = "[SAMaster]\nPort=" + std::to_string(FreeUdpPort()) +
                             "\n[Agent]\nListenAddress=127.0.0.1:" + std::to_string(FreeUdpPort()) + "\n" +
                             c.agentKeys + "[User bob]\n" + c.user;
    WriteFile(dir + "/qvt.conf", text);
    // Passwords in a file others may read are worth a warning line; not here.
    std::filesystem::permissions(dir + "/qvt.conf", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::remove(dir + "/log");
    ChildProcess program;
    ASSERT_TRUE(program.Start({QV_MASTER_AGENT_PATH, "-c", dir + "/qvt.conf"}, dir + "/log")) << c.name;
    EXPECT_EQ(program.Wait(/*ms=*/5000), 2) << c.name;
    const std::string log = ReadFile(dir + "/log");
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << c.name << ": " << log;
    EXPECT_NE(log.find(c.named + ":"), std::string::npos) << c.name << ": " << log;
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

// A sub-agent's description cannot start a log line of its own (control characters are escaped), and
// sessions that open in a burst cost the log a few lines a second, then one line that counts the rest.
TEST(ProgramTest, SubAgentsCannotForgeOrFloodLogLines) {
  const std::string dir = MakeTempDir("qvt-master-test-");
  const unsigned short port = FreeUdpPort();
  WriteFile(dir + "/qvt.conf", "[SAMaster]\nPort=" + std::to_string(port) + "\n[Agent]\nListenAddress=127.0.0.1:" +
                                   std::to_string(FreeUdpPort()) + "\n");
  ChildProcess program;
  ASSERT_TRUE(program.Start({QV_MASTER_AGENT_PATH, "-c", dir + "/qvt.conf"}, dir + "/log"));
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(dir + "/log").find("SNMP agent on") != std::string::npos; }, 5000));
  SubAgent agent(port);
  constexpr int kSessions = 30;
  unsigned last = 0;
  for (int i = 0; i < kSessions; ++i) {
    BSAPdu answer;
    ASSERT_EQ(agent.Ask(OpenPdu(1, "x\nqvt-master-agent: forged"), &answer), 0);
    last = answer.sessionId;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(agent.Ask(BSAPdu(SA_PDU_CLOSE_SESSION, last, 0)), 0);
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(5000), 0);
  const std::string log = ReadFile(dir + "/log");
  EXPECT_EQ(log.find("\nqvt-master-agent: forged"), std::string::npos) << log;
  const auto count = [&](const std::string& needle) {
    size_t n = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
    return n;
  };
  constexpr size_t kLoggedPerSecond = 10;
  EXPECT_EQ(count("('x\\x0Aqvt-master-agent: forged' at 127.0.0.1:"), kLoggedPerSecond + 1) << log;  // and the close
  EXPECT_EQ(count(") opened;"), kLoggedPerSecond) << log;
  EXPECT_EQ(count(std::to_string(kSessions - kLoggedPerSecond) + " more sub-agent session(s) opened or closed"), 1u)
      << log;
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace QVT::test
