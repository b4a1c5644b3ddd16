// qvt-master-agent as a program: it ends with status 2 and one line naming the setting when its configuration is
// unusable; a usable one it serves until SIGTERM ends it with status 0, warning about the lines it ignores and
// keeping what sub-agents send out of its log's structure and volume.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "BSASocket.h"
#include "ChildProcess.h"
#include "MasterTestSupport.h"

namespace QVT::test {
namespace {

std::string Conf(unsigned masterPort, unsigned agentPort, const std::string& more = "") {
  return "[SAMaster]\nPort=" + std::to_string(masterPort) +
         "\n[Agent]\nListenAddress=127.0.0.1:" + std::to_string(agentPort) + "\n" + more;
}

// The service manager's end of NOTIFY_SOCKET: a datagram socket at a path, or at an abstract name ("@...").
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& name) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    EXPECT_EQ(bind(m_fd, reinterpret_cast<const sockaddr*>(&address), size), 0) << std::strerror(errno);
  }
  ~NotifySocket() { close(m_fd); }
  // The next message, or "" when none comes within `ms`.
  std::string Receive(int ms) const {
    pollfd ready{m_fd, POLLIN, 0};
    if (poll(&ready, 1, ms) != 1) return "";
    char buffer[512];
    const ssize_t size = recv(m_fd, buffer, sizeof(buffer), 0);
    return size > 0 ? std::string(buffer, static_cast<size_t>(size)) : "";
  }

 private:
  int m_fd = -1;
};

bool PortTaken(unsigned short port) {
  BSASocket probe{2048, 0};
  return probe.Initialize(port) != 0;
}

class ProgramTest : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(m_dir); }
  // Runs the program on `text` as qvt.conf (readable by its owner only, so that the passwords in it are worth no
  // warning line), with no file name after -c when `named` is false.
  void Start(const std::string& text, bool named = true) {
    WriteFile(m_dir + "/qvt.conf", text);
    std::filesystem::permissions(m_dir + "/qvt.conf",
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::remove(m_dir + "/log");
    ASSERT_TRUE(m_program.Start({QV_MASTER_AGENT_PATH, "-c", named ? m_dir + "/qvt.conf" : ""}, m_dir + "/log"));
  }
  std::string Log() const { return ReadFile(m_dir + "/log"); }

  const std::string m_dir = MakeTempDir("qvt-master-test-");
  ChildProcess m_program;
};

TEST_F(ProgramTest, RefusesAnUnusableConfigurationWithStatus2AndOneLineNamingTheSetting) {
  BSASocket holder{2048, 0};  // holds a port, so that the program cannot bind it
  const unsigned short busy = FreeUdpPort(), free = FreeUdpPort();
  ASSERT_EQ(holder.Initialize(busy), 0);
  const unsigned short other = FreeUdpPort();
  const std::string bob = Conf(free, other) + "[User bob]\n", good = "Auth=SHA\nAuthPassword=bobs-password\n";
  const std::string v3Sink = "TrapSink=v3:127.0.0.1:" + std::to_string(FreeUdpPort()) + "\n";
  const std::pair<std::string, std::string> cases[] = {
      {Conf(70000, free), "[SAMaster] Port"},
      {Conf(busy, free), "UDP port " + std::to_string(busy)},
      {Conf(free, busy), "[Agent] ListenAddress: cannot bind"},
      {Conf(free, free, "TrapSink=127.0.0.1:0\n"), "[Agent] TrapSink: '127.0.0.1:0'"},
      {"", "option -c/--config needs a file name"},  // no file name
      {bob + good + "Priv=DES\nPrivPassword=bobs-password\n", "[User bob] Priv:"},
      {bob + "Auth=SHA-999\nAuthPassword=bobs-password\n", "[User bob] Auth:"},
      {bob + good + "Level=secret\n", "[User bob] Level:"},
      {bob + good + "Level=authPriv\n", "[User bob] Level:"},  // above the keys
      {bob + good + "Access=admin\n", "[User bob] Access:"},
      {bob + good + "View=1.3.6.x\n", "[User bob] View:"},
      {bob + "Auth=SHA\nAuthKey=00112233445566778899\n", "[User bob] AuthKey:"},  // of the wrong length
      {bob + "Auth=SHA\nAuthKey=xyz\n", "[User bob] AuthKey:"},
      {bob + "Auth=SHA\nAuthPassword=seven77\n", "[User bob] AuthPassword:"},
      {bob + good + "Priv=AES\nPrivPassword=seven77\n", "[User bob] PrivPassword:"},
      {bob + "Priv=AES\nPrivPassword=bobs-password\n", "[User bob] Priv:"},  // without Auth
      {Conf(free, other, "TrapUser=alice\n") + "[User bob]\n" + good, "[Agent] TrapUser:"},
      {Conf(free, other, v3Sink) + "[User bob]\n" + good, "[Agent] TrapUser:"},  // a v3 sink without one
  };
  for (const auto& [text, named] : cases) {
    SCOPED_TRACE(named);
    Start(text, !text.empty());
    EXPECT_EQ(m_program.Wait(/*ms=*/5000), 2) << text;
    const std::string log = Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_NE(log.find(named), std::string::npos) << log;
  }
}

// One run: the ignored lines are warned about; a sub-agent opens, pings and closes; a description cannot start a
// log line of its own (control characters are escaped); sessions that open in a burst cost the log a few lines a
// second, then one line that counts the rest; SIGTERM ends the program with 0.
TEST_F(ProgramTest, ServesSubAgentsUntilSigtermAndKeepsItsLogUnforgedAndBounded) {
  const unsigned short port = FreeUdpPort();
  Start("Port=7\n[SAMaster]\nPort=" + std::to_string(port) +
        "\n[Agent]\nListenAddress=127.0.0.1:1\nlistenaddress=127.0.0.1:0\n");
  ASSERT_TRUE(WaitUntil([&] { return Log().find("SNMP agent on") != std::string::npos; }, 5000)) << Log();
  SubAgent agent(port);
  constexpr int kSessions = 30;
  unsigned last = 0;
  for (int i = 0; i < kSessions; ++i) {
    BSAPdu answer;
    ASSERT_EQ(agent.Ask(OpenPdu(1, "x\nqvt-master-agent: forged"), &answer), 0);
    last = answer.sessionId;
  }
  EXPECT_EQ(agent.Ask(BSAPdu(SA_PDU_PING, last, 0)), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(agent.Ask(BSAPdu(SA_PDU_CLOSE_SESSION, last, 0)), 0);
  ASSERT_TRUE(m_program.Signal(SIGTERM));
  EXPECT_EQ(m_program.Wait(5000), 0);
  const std::string log = Log();
  EXPECT_NE(log.find("qvt.conf:1: key 'Port' before any [section] ignored"), std::string::npos) << log;
  EXPECT_NE(log.find("qvt.conf:6: key 'listenaddress' in [Agent] is set 2 times"), std::string::npos) << log;
  EXPECT_EQ(log.find("\nqvt-master-agent: forged"), std::string::npos) << log;
  const auto count = [&](const std::string& needle) {
    size_t n = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
    return n;
  };
  constexpr size_t kLoggedPerSecond = 10;
  EXPECT_EQ(count("('x\\x0Aqvt-master-agent: forged' at 127.0.0.1:"), kLoggedPerSecond + 1) << log;  // and the close
  EXPECT_EQ(count(") opened; answers awaited 1 s"), kLoggedPerSecond) << log;
  EXPECT_EQ(count(std::to_string(kSessions - kLoggedPerSecond) + " more sub-agent session(s) opened or closed"), 1u)
      << log;
  EXPECT_EQ(count(") closed by the sub-agent; 0 subtree(s) withdrawn"), 1u) << log;
}

// Started by a service manager, the program says READY=1 only once both of its ports are bound and the engine
// state is on disk, and STOPPING=1 when a signal ends it; the manager's socket may be a path or an abstract name.
// When standard error is the journal, the lines go without the time stamp the journal adds, warnings marked.
TEST_F(ProgramTest, TellsTheServiceManagerWhenItIsReadyAndWhenItStops) {
  for (const std::string& name : {m_dir + "/notify", "@qvt-notify-" + std::to_string(getpid())}) {
    SCOPED_TRACE(name);
    const NotifySocket manager(name);
    const unsigned short master = FreeUdpPort(), agent = FreeUdpPort();
    std::filesystem::remove(m_dir + "/qvt-master-agent.state");
    const bool journal = name[0] == '@';
    WriteFile(m_dir + "/qvt.conf", Conf(master, agent, "Colour=blue\n"));
    WriteFile(m_dir + "/log", "");
    struct stat log {};
    ASSERT_EQ(::stat((m_dir + "/log").c_str(), &log), 0);
    const std::string stream = std::to_string(log.st_dev) + ":" + std::to_string(journal ? log.st_ino : 0);
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    setenv("JOURNAL_STREAM", stream.c_str(), 1);  // names another file when `journal` is false
    ASSERT_TRUE(m_program.Start({QV_MASTER_AGENT_PATH, "-c", m_dir + "/qvt.conf"}, m_dir + "/log"));
    unsetenv("NOTIFY_SOCKET");
    unsetenv("JOURNAL_STREAM");
    const std::string ready = manager.Receive(5000);
    EXPECT_TRUE(std::filesystem::exists(m_dir + "/qvt-master-agent.state"));
    EXPECT_TRUE(PortTaken(master));
    EXPECT_TRUE(PortTaken(agent));
    EXPECT_EQ(ready, "READY=1\nSTATUS=SNMP agent on 127.0.0.1:" + std::to_string(agent)) << Log();
    ASSERT_TRUE(m_program.Signal(SIGTERM));
    EXPECT_EQ(manager.Receive(5000), "STOPPING=1");
    EXPECT_EQ(m_program.Wait(5000), 0);
    const std::string text = Log();
    EXPECT_EQ(text.rfind(journal ? "<4>qvt-master-agent: warning: " : "20", 0), 0u) << text;
    EXPECT_EQ(text.find("\nqvt-master-agent: stopped\n") != std::string::npos, journal) << text;
  }
}

}  // namespace
}  // namespace QVT::test
