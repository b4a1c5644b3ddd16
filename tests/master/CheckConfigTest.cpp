// qvt-master-agent --check-config: the real program on a table of configuration files. It reports every problem
// with the file's line, exits 0 or 2, and binds, writes and starts nothing: the ports it is given are held by the
// test throughout (a start would fail on them) and the state file is not made or changed.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "BSASocket.h"
#include "ChildProcess.h"

namespace QVT::test {
namespace {

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

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::set<std::string> Entries(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.insert(entry.path().filename().string());
  return names;
}

class CheckConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(m_masterHolder.Initialize(m_masterPort), 0);
    ASSERT_EQ(m_agentHolder.Initialize(m_agentPort), 0);
  }
  void TearDown() override { std::filesystem::remove_all(m_dir); }

  // [SAMaster] on line 1, its keys from line 2 (Port first), then [Agent] with ListenAddress first, then `rest`.
  std::string Conf(const std::string& samaster, const std::string& agent, const std::string& rest = "") const {
    return "[SAMaster]\nPort=" + std::to_string(m_masterPort) + "\n" + samaster + "[Agent]\nListenAddress=127.0.0.1:" +
           std::to_string(m_agentPort) + "\n" + agent + rest;
  }

  // Runs the program on `text` as qvt.conf (owner-only unless `mode` says otherwise, so that passwords in it are
  // worth no warning) with the given arguments after "-c FILE"; returns its exit status, the log in `log`.
  int Run(const std::string& text, const std::vector<std::string>& more, std::string& log, mode_t mode = 0600) {
    WriteFile(m_conf, text);
    ::chmod(m_conf.c_str(), mode);
    std::vector<std::string> argv = {QV_MASTER_AGENT_PATH, "-c", m_conf};
    argv.insert(argv.end(), more.begin(), more.end());
    ChildProcess program;
    std::filesystem::remove(m_dir + "/log");
    if (!program.Start(argv, m_dir + "/log")) return -1;
    const int status = program.Wait(/*ms=*/10000);
    log = ReadFile(m_dir + "/log");
    return status;
  }

  const std::string m_dir = MakeTempDir("qvt-check-config-");
  const std::string m_conf = m_dir + "/qvt.conf";
  const std::string m_state = m_dir + "/qvt-master-agent.state";
  // Held by the test: a start that bound them would fail.
  const unsigned short m_masterPort = FreeUdpPort();
  const unsigned short m_agentPort = FreeUdpPort();
  BSASocket m_masterHolder{2048, 0};
  BSASocket m_agentHolder{2048, 0};
};

TEST_F(CheckConfigTest, ReportsEveryProblemWithItsLineAndTouchesNothing) {
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
      {"an unknown key is a warning", Conf("", "Colour=blue\n"), 0, {}, {{5, "unknown key 'Colour' in [Agent] ignored"}},
       ""},
      {"a limit out of range", Conf("MaxWait=0\n", ""), 2, {{3, "[SAMaster] MaxWait: '0' is outside 1..3599"}}, {},
       ""},
      {"a port out of range", "[SAMaster]\nPort=70000\n[Agent]\nListenAddress=127.0.0.1:" + std::to_string(m_agentPort), 2,
       {{2, "[SAMaster] Port: '70000' is not a whole number from 2 to 65534"}}, {}, ""},
      {"a listening address that does not parse", Conf("", "ListenAddress=127.0.0.1:99999\n"), 2,
       {{5, "[Agent] ListenAddress: cannot resolve '127.0.0.1:99999'"}},
       {{5, "key 'ListenAddress' in [Agent] is set 2 times"}}, ""},
      {"a trap sink on port 0", Conf("", "TrapSink=v1:127.0.0.1:0\n"), 2,
       {{5, "[Agent] TrapSink: '127.0.0.1:0' names port 0"}}, {}, ""},
      {"a user whose password is too short", Conf("", "", "[User bob]\nAuth=SHA\nAuthPassword=seven77\n"), 2,
       {{7, "[User bob] AuthPassword: fewer than 8 characters"}}, {}, ""},
      {"a user whose key has the wrong length", Conf("", "", "[User bob]\nAuth=SHA\nAuthKey=00112233445566778899\n"),
       2, {{7, "[User bob] AuthKey: "}}, {}, ""},
      {"a state file that a start would refuse", Conf("", ""), 2, {{0, "qvt-master-agent.state"}}, {},
       "this is no state file\n"},
      {"several problems at once",
       Conf("MaxWait=0\nMaxSessions=many\nAllowFrom=\n", "ListenAddress=127.0.0.1:99999\nTrapSink=127.0.0.1:0\n"
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

    for (const Problem& problem : c.errors) {
      const std::string needle = problem.line > 0 ? "qvt.conf:" + std::to_string(problem.line) + ": " + problem.text
                                                  : problem.text;
      EXPECT_NE(log.find(needle), std::string::npos) << "missing: " << needle << "\n" << log;
    }
    for (const Problem& problem : c.warnings) {
      const std::string needle = "warning: " + m_conf + ":" + std::to_string(problem.line) + ": " + problem.text;
      EXPECT_NE(log.find(needle), std::string::npos) << "missing: " << needle << "\n" << log;
    }
    // One line per problem and nothing else but the warnings and the verdict.
    size_t errorLines = 0, warningLines = 0;
    for (const std::string& line : Lines(log)) {
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
    std::set<std::string> expected = {"qvt.conf", "log"};
    if (!c.stateFile.empty()) expected.insert("qvt-master-agent.state");
    EXPECT_EQ(Entries(m_dir), expected);
    if (!c.stateFile.empty()) {
      EXPECT_EQ(ReadFile(m_state), c.stateFile);
    }
  }
}

// The same files without --check-config: a start still ends at the first error, with that one line.
TEST_F(CheckConfigTest, AStartStillStopsAtTheFirstError) {
  std::string log;
  const std::string conf = Conf("MaxWait=0\n", "TrapSink=127.0.0.1:0\nVersions=v4\n");
  EXPECT_EQ(Run(conf, {}, log), 2) << log;
  const std::vector<std::string> lines = Lines(log);
  ASSERT_EQ(lines.size(), 1u) << log;
  EXPECT_NE(lines[0].find("qvt.conf:3: [SAMaster] MaxWait: '0' is outside 1..3599"), std::string::npos) << log;
  EXPECT_FALSE(std::filesystem::exists(m_state));
}

// A file with passwords may be read by the master's own group or a group with no members listed (as packaged: 640
// in the service's private group), by no one else; a file without passwords may be read by anyone.
TEST_F(CheckConfigTest, WarnsWhenOthersMayReadThePasswords) {
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
    ASSERT_EQ(::chown(m_conf.c_str(), 0, *gid), 0);
    ::chmod(m_conf.c_str(), 0640);
    ChildProcess program;
    std::filesystem::remove(m_dir + "/log");
    ASSERT_TRUE(program.Start({QV_MASTER_AGENT_PATH, "-c", m_conf, "--check-config"}, m_dir + "/log"));
    EXPECT_EQ(program.Wait(10000), 0);
    const std::string log = ReadFile(m_dir + "/log");
    EXPECT_EQ(log.find("may be read by others") != std::string::npos, warned) << log;
  }
}

// An unknown argument is still refused, --check-config among the others taken.
TEST_F(CheckConfigTest, TakesTheOptionAmongTheOthers) {
  std::string log;
  EXPECT_EQ(Run(Conf("", ""), {"-t", "--check-config"}, log), 0) << log;
  EXPECT_EQ(Run(Conf("", ""), {"--check-configs"}, log), 2) << log;
  EXPECT_NE(log.find("unknown argument '--check-configs'"), std::string::npos) << log;
}

}  // namespace
}  // namespace QVT::test
