// qvt-master-agent as a program. It ends with status 2 and one line naming the setting when its configuration is
// unusable; a usable one it serves until SIGTERM ends it with status 0, warning about the lines it ignores and
// keeping what sub-agents send out of its log's structure and volume. With --check-config it reports every problem
// of a file with its line, exits 0 or 2, and binds, writes and starts nothing: the ports it is given are held by
// the test throughout (a start would fail on them) and the state file is not made or changed.
#include <grp.h>
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
#include <set>
#include <sstream>
#include <thread>

#include "BSASocket.h"
#include "MasterTestSupport.h"

namespace QVT::test {
namespace {

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

// A problem the check must report: "qvt.conf:<line>: <text>"; line 0 for one outside the configuration file
// (the state file's), found by its text alone.
struct Problem {
  int line;
  std::string text;
};

struct Case {
  std::string name;
  std::string conf;
  int status;
  std::vector<Problem> errors;
  std::vector<Problem> warnings;
  std::string stateFile;  // the state file's content before the check; empty: there is none
};

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(m_masterHolder.Initialize(m_masterPort), 0);
    ASSERT_EQ(m_agentHolder.Initialize(m_agentPort), 0);
  }
  void TearDown() override { std::filesystem::remove_all(m_dir); }

  // [SAMaster] on line 1, its keys from line 2 (Port first), then [Agent] with ListenAddress first, then `rest`;
  // on the held ports unless others are given.
  std::string Conf(const std::string& samaster, const std::string& agent, const std::string& rest = "",
                   unsigned masterPort = 0, unsigned agentPort = 0) const {
    return "[SAMaster]\nPort=" + std::to_string(masterPort != 0 ? masterPort : m_masterPort) + "\n" + samaster +
           "[Agent]\nListenAddress=127.0.0.1:" + std::to_string(agentPort != 0 ? agentPort : m_agentPort) + "\n" +
           agent + rest;
  }
  // Starts the program on `text` as qvt.conf (owner-only unless `mode` says otherwise, so that passwords in it are
  // worth no warning) with the given arguments after "-c FILE".
  void Start(const std::string& text, const std::vector<std::string>& more = {}, mode_t mode = 0600) {
    WriteFile(m_conf, text);
    ::chmod(m_conf.c_str(), mode);
    std::vector<std::string> argv = {QV_MASTER_AGENT_PATH, "-c", m_conf};
    argv.insert(argv.end(), more.begin(), more.end());
    std::filesystem::remove(m_dir + "/log");
    ASSERT_TRUE(m_program.Start(argv, m_dir + "/log"));
  }
  // Runs it to its end: its exit status, the log in `log`.
  int Run(const std::string& text, const std::vector<std::string>& more, std::string& log, mode_t mode = 0600) {
    Start(text, more, mode);
    const int status = m_program.Wait(/*ms=*/10000);
    log = Log();
    return status;
  }
  std::string Log() const { return ReadFile(m_dir + "/log"); }

  const std::string m_dir = MakeTempDir("qvt-master-test-");
  const std::string m_conf = m_dir + "/qvt.conf";
  const std::string m_state = m_dir + "/qvt-master-agent.state";
  ChildProcess m_program;
  // Held by the test: a start that bound them would fail.
  const unsigned short m_masterPort = FreeUdpPort();
  const unsigned short m_agentPort = FreeUdpPort();
  BSASocket m_masterHolder{2048, 0};
  BSASocket m_agentHolder{2048, 0};
};

// A start stops at the first error with that one line, before the boot is counted (unless it is a port it cannot
// bind); the checks of a user's settings are the same as --check-config's, which the table below goes through.
TEST_F(ProgramTest, RefusesAnUnusableConfigurationWithStatus2AndOneLineNamingTheSetting) {
  const unsigned short busy = m_masterPort, free = FreeUdpPort(), other = FreeUdpPort();
  const std::string bob = Conf("", "", "[User bob]\n", free, other), good = "Auth=SHA\nAuthPassword=bobs-password\n";
  const std::string v3Sink = "TrapSink=v3:127.0.0.1:" + std::to_string(FreeUdpPort()) + "\n";
  const std::pair<std::string, std::string> cases[] = {
      {Conf("", "", "", 70000, free), "[SAMaster] Port"},
      {Conf("", "", "", busy, free), "UDP port " + std::to_string(busy)},
      {Conf("", "", "", free, busy), "[Agent] ListenAddress: cannot bind"},
      {Conf("MaxWait=0\n", "TrapSink=127.0.0.1:0\nVersions=v4\n"), "qvt.conf:3: [SAMaster] MaxWait: '0' is outside"},
      {Conf("", "TrapSink=127.0.0.1:0\n", "", free, free), "[Agent] TrapSink: '127.0.0.1:0'"},
      {"", "option -c/--config needs a file name"},  // "-c" again, with no file name
      {bob + good + "Priv=DES\nPrivPassword=bobs-password\n", "[User bob] Priv:"},
      {bob + good + "Level=secret\n", "[User bob] Level:"},
      {bob + good + "Level=authPriv\n", "[User bob] Level:"},  // above the keys
      {bob + "Auth=SHA\nAuthKey=xyz\n", "[User bob] AuthKey:"},
      {bob + "Priv=AES\nPrivPassword=bobs-password\n", "[User bob] Priv:"},  // without Auth
      {Conf("", v3Sink, "[User bob]\n" + good, free, other), "[Agent] TrapUser:"},  // a v3 sink without one
  };
  for (const auto& [text, named] : cases) {
    SCOPED_TRACE(named);
    std::filesystem::remove(m_state);
    std::string log;
    EXPECT_EQ(Run(text, text.empty() ? std::vector<std::string>{"-c", ""} : std::vector<std::string>{}, log), 2);
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
    EXPECT_NE(log.find(named), std::string::npos) << log;
    if (named.find(std::to_string(busy)) == std::string::npos && named.find("bind") == std::string::npos) {
      EXPECT_FALSE(std::filesystem::exists(m_state));
    }
  }
}

// One run: the ignored lines are warned about; a sub-agent opens, pings and closes; a description cannot start a
// log line of its own (control characters are escaped); sessions that open in a burst cost the log a few lines a
// second, then one line that counts the rest; SIGTERM ends the program with 0.
TEST_F(ProgramTest, ServesSubAgentsUntilSigtermAndKeepsItsLogUnforgedAndBounded) {
  const unsigned short port = FreeUdpPort();
  Start("Port=7\n" + Conf("", "listenaddress=127.0.0.1:0\n", "", port, 1));
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
    WriteFile(m_conf, Conf("", "Colour=blue\n", "", master, agent));
    WriteFile(m_dir + "/log", "");
    struct stat log {};
    ASSERT_EQ(::stat((m_dir + "/log").c_str(), &log), 0);
    const std::string stream = std::to_string(log.st_dev) + ":" + std::to_string(journal ? log.st_ino : 0);
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
    setenv("JOURNAL_STREAM", stream.c_str(), 1);  // names another file when `journal` is false
    ASSERT_TRUE(m_program.Start({QV_MASTER_AGENT_PATH, "-c", m_conf}, m_dir + "/log"));
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

TEST_F(ProgramTest, ReportsEveryProblemWithItsLineAndTouchesNothing) {
  const std::string v3Sink = "TrapSink=v3:127.0.0.1:" + std::to_string(FreeUdpPort()) + "\n";
  const std::string alice = "[User alice]\nAuth=SHA-256\nAuthPassword=alice-auth-pass\nPriv=AES\nLevel=authPriv\n";
  const std::string goodState = "EngineID=80007ED905A1B2C3D4E5F60718\nEngineBoots=12\n";
  const std::vector<Case> cases = {
      {"defaults beside the ports", Conf("", ""), 0, {}, {}, ""},
      {"SNMPv3 only, a user and a v3 trap sink", Conf("MaxWait=3\n", v3Sink + "TrapUser=alice\nVersions=v3\n", alice),
       0, {}, {}, ""},
      {"an existing state file is read, not rewritten", Conf("", "EngineID=80007ED905A1B2C3D4E5F60718\n"), 0, {}, {},
       goodState},
      {"SNMPv3 only without a user is a warning", Conf("", "Versions=v3\n"), 0, {},
       {{5, "[Agent] Versions: only v3 is answered and no [User] section names a user"}}, ""},
      {"a port out of range", "[SAMaster]\nPort=70000\n[Agent]\nListenAddress=127.0.0.1:" + std::to_string(m_agentPort), 2,
       {{2, "[SAMaster] Port: '70000' is not a whole number from 2 to 65534"}}, {}, ""},
      {"a user whose password is too short", Conf("", "", "[User bob]\nAuth=SHA\nAuthPassword=seven77\n"), 2,
       {{7, "[User bob] AuthPassword: fewer than 8 characters"}}, {}, ""},
      {"a user whose key has the wrong length", Conf("", "", "[User bob]\nAuth=SHA\nAuthKey=00112233445566778899\n"),
       2, {{7, "[User bob] AuthKey: "}}, {}, ""},
      {"a state file that a start would refuse", Conf("", ""), 2, {{0, "qvt-master-agent.state"}}, {},
       "this is no state file\n"},
      {"several problems at once",
       Conf("MaxWait=0\nMaxSessions=many\nAllowFrom=\n", "ListenAddress=127.0.0.1:99999\nTrapSink=v1:127.0.0.1:0\n"
                                                         "Versions=v1,v4\nTrapUser=nobody\nColour=blue\n",
            "[User bob]\nAuth=SHA-999\nAuthPassword=bobs-password\nAccess=admin\nView=1.3.x\n"
            "[User carol]\nAuth=SHA\nAuthPassword=carols-password\nPriv=AES\nPrivPassword=short\n"),
       2,
       {{3, "[SAMaster] MaxWait: '0' is outside 1..3599"},
        {4, "[SAMaster] MaxSessions: 'many' is not a whole number"},
        {5, "[SAMaster] AllowFrom: empty"},
        {8, "[Agent] ListenAddress: cannot resolve '127.0.0.1:99999'"},
        {9, "[Agent] TrapSink: '127.0.0.1:0' names port 0"},
        {10, "[Agent] Versions: 'v4' is none of v1, v2c, v3"},
        {11, "[Agent] TrapUser: no [User nobody] section"},
        {14, "[User bob] Auth: "},
        {16, "[User bob] Access: 'admin' is neither read nor write"},
        {17, "[User bob] View: '1.3.x' is no OID"},
        {22, "[User carol] PrivPassword: fewer than 8 characters"}},
       {{12, "unknown key 'Colour' in [Agent] ignored"}, {8, "key 'ListenAddress' in [Agent] is set 2 times"}},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(m_state);
    if (!c.stateFile.empty()) WriteFile(m_state, c.stateFile);
    std::string log;
    EXPECT_EQ(Run(c.conf, {"--check-config"}, log), c.status) << c.conf << log;

    std::vector<std::string> needles;
    for (const Problem& p : c.errors) {
      needles.push_back(p.line > 0 ? "qvt.conf:" + std::to_string(p.line) + ": " + p.text : p.text);
    }
    for (const Problem& p : c.warnings) {
      needles.push_back("warning: " + m_conf + ":" + std::to_string(p.line) + ": " + p.text);
    }
    for (const std::string& needle : needles) EXPECT_NE(log.find(needle), std::string::npos) << needle << "\n" << log;
    // One line per problem and nothing else but the warnings and the verdict.
    size_t errorLines = 0, warningLines = 0;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
      if (line.find(": usable, ") != std::string::npos || line.find(" error(s), ") != std::string::npos) continue;
      ++(line.find("qvt-master-agent: warning: ") != std::string::npos ? warningLines : errorLines);
    }
    EXPECT_EQ(errorLines, c.errors.size()) << log;
    EXPECT_EQ(warningLines, c.warnings.size()) << log;
    const std::string verdict = c.errors.empty()
                                    ? m_conf + ": usable, " + std::to_string(c.warnings.size()) + " warning(s)"
                                    : m_conf + ": " + std::to_string(c.errors.size()) + " error(s), " +
                                          std::to_string(c.warnings.size()) + " warning(s)";
    EXPECT_NE(log.find(verdict), std::string::npos) << log;

    // Nothing bound (a start on the held ports would have failed), nothing written: the state file is as it was
    // (or still absent) and no temporary file is left beside it.
    EXPECT_EQ(log.find("cannot bind"), std::string::npos) << log;
    EXPECT_EQ(log.find("cannot open UDP port"), std::string::npos) << log;
    std::set<std::string> expected = {"qvt.conf", "log"}, entries;
    if (!c.stateFile.empty()) expected.insert("qvt-master-agent.state");
    for (const auto& entry : std::filesystem::directory_iterator(m_dir)) {
      entries.insert(entry.path().filename().string());
    }
    EXPECT_EQ(entries, expected);
    if (!c.stateFile.empty()) {
      EXPECT_EQ(ReadFile(m_state), c.stateFile);
    }
  }
}

// A file with passwords may be read by the master's own group or a group with no members listed (as packaged: 640
// in the service's private group), by no one else; a file without passwords may be read by anyone.
TEST_F(ProgramTest, WarnsWhenOthersMayReadThePasswords) {
  const std::string bob = Conf("", "", "[User bob]\nAuth=SHA\nAuthPassword=bobs-password\n");
  const struct {
    std::string conf;
    mode_t mode;
    bool warned;
  } cases[] = {{bob, 0600, false}, {bob, 0640, false}, {bob, 0604, true}, {bob, 0644, true}, {Conf("", ""), 0644, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.mode));
    std::string log;
    EXPECT_EQ(Run(c.conf, {"--check-config"}, log, c.mode), 0) << log;
    EXPECT_EQ(log.find("holds SNMPv3 passwords and may be read by others") != std::string::npos, c.warned) << log;
  }
  // Groups other than the master's: only root can give the file one. One with members and one without, when this
  // machine has them.
  if (::geteuid() != 0) return;
  std::optional<gid_t> withMembers, withoutMembers;
  ::setgrent();
  while (const group* entry = ::getgrent()) {
    if (entry->gr_gid == ::getegid()) continue;
    auto& slot = entry->gr_mem != nullptr && entry->gr_mem[0] != nullptr ? withMembers : withoutMembers;
    if (!slot) slot = entry->gr_gid;
  }
  ::endgrent();
  for (const auto& [gid, warned] : {std::pair{withMembers, true}, std::pair{withoutMembers, false}}) {
    if (!gid) continue;
    SCOPED_TRACE("group " + std::to_string(*gid));
    WriteFile(m_conf, bob);
    ASSERT_EQ(::chown(m_conf.c_str(), 0, *gid), 0);  // kept as Run writes the file again
    std::string log;
    EXPECT_EQ(Run(bob, {"--check-config"}, log, 0640), 0);
    EXPECT_EQ(log.find("may be read by others") != std::string::npos, warned) << log;
  }
}

// An unknown argument is still refused, --check-config among the others taken.
TEST_F(ProgramTest, TakesTheOptionAmongTheOthers) {
  std::string log;
  EXPECT_EQ(Run(Conf("", ""), {"-t", "--check-config"}, log), 0) << log;
  EXPECT_EQ(Run(Conf("", ""), {"--check-configs"}, log), 2) << log;
  EXPECT_NE(log.find("unknown argument '--check-configs'"), std::string::npos) << log;
}

}  // namespace
}  // namespace QVT::test
