// End-to-end tests of QVT-MASTER-MIB: the real qvt-master-agent and
// qvt-subagent-example instances, read and set with snmpget, snmpgetnext,
// snmpwalk, snmptable and snmpset. The master's tables follow the sessions,
// registrations and index values as sub-agents come and go; setting a
// session's admin status to down closes it; refusals move their counters.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "EndToEndSupport.h"

namespace QVT::test {
namespace {

// Numeric OIDs of the module's columns and of the example's objects.
const std::string kSessionEntry = ".1.3.6.1.4.1.32473.2.1.3.1";
const std::string kRegistrationEntry = ".1.3.6.1.4.1.32473.2.1.4.1";
const std::string kIndexEntry = ".1.3.6.1.4.1.32473.2.1.5.1";
const std::string kExDynIndex = ".1.3.6.1.4.1.32473.1.1.3.1.1";

// Every example sub-agent registers three columns of each of its shared
// rows; the one with the scalars also qvtExScalars and qvtExDynTable.
constexpr int kRegistrationsPerRow = 3;
constexpr int kScalarRegistrations = 2;

// A running master (at most three sessions, two index values each) and
// sub-agent A (rows 1-5 with the scalars). The sub-agents never ping, so
// that a session the master closes stays closed.
class MasterMibEndToEnd : public ProgramsTest {
 protected:
  MasterMibEndToEnd() : ProgramsTest("snmpget snmpgetnext snmpwalk snmptable snmpset", 0) {}

  void SetUp() override {
    ProgramsTest::SetUp();
    if (IsSkipped()) return;
    WriteFile(m_dir + "/master.conf", "[SAMaster]\nPort=" + std::to_string(m_masterPort) +
                                          "\nMaxSessions=3\nMaxIndexAllocations=2\n[Agent]\nListenAddress=127.0.0.1:" +
                                          std::to_string(m_snmpPort) + "\n");
    StartMaster();
    ASSERT_TRUE(Run("sub A", {"--rows", "1-5"}));
    ASSERT_TRUE(WaitUntil([&] { return Snmp("snmpget", "-Oqv", "qvtExShareOwner.5") == "sub A\n"; }, 15000, 200))
        << Log("master");
  }

  // Starts an example sub-agent described `description` with more arguments.
  bool Run(const std::string& description, const std::vector<std::string>& args) {
    return (m_subAgents[description] = StartSubAgent(description, args)) != nullptr;
  }

  // Stops it; it closes its session on the way out.
  bool Stop(const std::string& description) {
    ChildProcess& child = *m_subAgents.at(description);
    return child.Signal(SIGTERM) && child.Wait(5000) == 0;
  }

  // Runs a v2c tool against the master with both QVT modules loaded.
  std::string Snmp(const std::string& tool, const std::string& options, const std::string& args,
                   const std::string& community = "public") {
    return Ask(tool + " -v2c -c " + community + " -Ln -M +" + kMibs + " -m +QVT-MASTER-MIB:QVT-EXAMPLE-MIB -t 3 -r 0 " +
                   options,
               args);
  }

  // The same without the modules: names are numeric, and no index is
  // checked against the MIB before it is sent.
  std::string SnmpNumeric(const std::string& tool, const std::string& args) {
    return Ask(tool + " -v2c -c public -Ln -On -Oq -t 3 -r 0", args);
  }

  long long Value(const std::string& name) { return std::atoll(Snmp("snmpget", "-Oqv", name).c_str()); }

  // The instances of a column (numeric OID) by the index that follows it,
  // with their values as snmpwalk -Oq prints them.
  std::map<std::string, std::string> Column(const std::string& column) {
    std::map<std::string, std::string> cells;
    for (const std::string& line : Lines(Snmp("snmpwalk", "-On -Oq", column))) {
      if (line.rfind(column + ".", 0) != 0) continue;
      const size_t space = line.find(' ');
      cells[line.substr(column.size() + 1, space - column.size() - 1)] =
          space == std::string::npos ? std::string() : line.substr(space + 1);
    }
    return cells;
  }

  // The open sessions' ids by their description.
  std::map<std::string, std::string> Sessions() {
    std::map<std::string, std::string> ids;
    for (const auto& [index, description] : Column(kSessionEntry + ".4")) ids[description] = index;
    return ids;
  }

  // How many registrations the table lists for each session, by description.
  std::map<std::string, int> RegistrationsBySession() {
    std::map<std::string, std::string> names;
    for (const auto& [description, id] : Sessions()) names[id] = description;
    std::map<std::string, int> counts;
    for (const auto& [index, subtree] : Column(kRegistrationEntry + ".2")) {
      const auto name = names.find(index.substr(0, index.find('.')));
      ++counts[name == names.end() ? "?" : name->second];
    }
    return counts;
  }

  std::map<std::string, ChildProcess*> m_subAgents;
};

TEST_F(MasterMibEndToEnd, RowsAndTotalsFollowTheSessionsAndTheirRegistrations) {
  struct Step {
    const char* what;
    const char* description;
    std::vector<std::string> args;  // start the sub-agent with these; empty: stop it
    std::map<std::string, int> registrations;
  };
  const int a = kScalarRegistrations + 5 * kRegistrationsPerRow;
  const Step steps[] = {
      {"B starts", "sub B", {"--rows", "6-10", "--no-scalars"}, {{"sub A", a}, {"sub B", 5 * kRegistrationsPerRow}}},
      {"C starts", "sub C", {"--rows", "11-11", "--no-scalars"},
       {{"sub A", a}, {"sub B", 5 * kRegistrationsPerRow}, {"sub C", kRegistrationsPerRow}}},
      {"B stops", "sub B", {}, {{"sub A", a}, {"sub C", kRegistrationsPerRow}}},
      {"A stops", "sub A", {}, {{"sub C", kRegistrationsPerRow}}},
      {"C stops", "sub C", {}, {}},
  };
  for (const Step& step : steps) {
    if (step.args.empty()) {
      ASSERT_TRUE(Stop(step.description)) << step.what;
    } else {
      ASSERT_TRUE(Run(step.description, step.args)) << step.what;
    }
    int registrations = 0;
    for (const auto& [description, count] : step.registrations) registrations += count;
    EXPECT_TRUE(WaitUntil([&] { return RegistrationsBySession() == step.registrations; }, 10000, 200))
        << step.what << ": " << Snmp("snmptable", "-Ci", "qvtMasterSessionTable")
        << Snmp("snmpwalk", "", "qvtMasterRegSubtree");
    EXPECT_EQ(Sessions().size(), step.registrations.size()) << step.what;
    EXPECT_EQ(Value("qvtMasterOpenSessions.0"), static_cast<long long>(step.registrations.size())) << step.what;
    EXPECT_EQ(Value("qvtMasterRegistrationCount.0"), registrations) << step.what;
  }
}

TEST_F(MasterMibEndToEnd, SessionRowColumnsCountersAndAdminStatus) {
  ASSERT_EQ(Snmp("snmpset", "", "qvtExDynRowStatus.42 i createAndGo", "private").find("Error"), std::string::npos);
  const std::string id = Sessions()["sub A"];
  ASSERT_FALSE(id.empty());
  // The row's notification arrives after the SET's answer.
  ASSERT_TRUE(WaitUntil([&] { return Value("qvtMasterSessionNotifications." + id) == 1; }, 5000));
  // The session id is the one the master logged when it opened the session.
  EXPECT_NE(Log("master").find("sub-agent session " + id + " ('sub A' at 127.0.0.1:"),
            std::string::npos)
      << Log("master");

  const std::vector<std::string> lines = Lines(Snmp("snmptable", "-Ci -Cf '|'", "qvtMasterSessionTable"));
  ASSERT_GE(lines.size(), 3u) << lines.size();
  EXPECT_EQ(lines[0], "SNMP table: QVT-MASTER-MIB::qvtMasterSessionTable");
  EXPECT_EQ(lines[1],
            "index|qvtMasterSessionAddress|qvtMasterSessionPort|qvtMasterSessionDescr|qvtMasterSessionTimeout|"
            "qvtMasterSessionOpenTime|qvtMasterSessionRequests|qvtMasterSessionTimeouts|"
            "qvtMasterSessionTimeoutsInARow|qvtMasterSessionNotifications|qvtMasterSessionAdminStatus");
  ASSERT_EQ(lines.size(), 3u) << lines.back();
  std::vector<std::string> fields;
  for (size_t start = 0;;) {
    const size_t bar = lines[2].find('|', start);
    fields.push_back(lines[2].substr(start, bar - start));
    if (bar == std::string::npos) break;
    start = bar + 1;
  }
  // The dynamic row's SET reached the sub-agent in requests (test, commit,
  // cleanup) and came back as one notification.
  struct Cell {
    const char* column;
    const char* pattern;
  };
  const Cell cells[] = {
      {"index", "[1-9][0-9]*"},           {"address", "127\\.0\\.0\\.1"},
      {"port", "[1-9][0-9]*"},            {"description", "sub A"},
      {"timeout", "1 seconds"},           {"open time", "0:0:00:[0-9.]+"},
      {"requests", "[3-9]|[1-9][0-9]+"},  {"timeouts", "0"},
      {"timeouts in a row", "0"},         {"notifications", "1"},
      {"admin status", "up"},
  };
  ASSERT_EQ(fields.size(), std::size(cells)) << lines[2];
  EXPECT_EQ(fields[0], id);
  for (size_t i = 0; i < fields.size(); ++i) {
    EXPECT_TRUE(std::regex_match(fields[i], std::regex(cells[i].pattern))) << cells[i].column << ": " << fields[i];
  }

  // The session's counters follow its requests and its time-outs.
  const std::string row = "." + id;
  const long long requests = Value("qvtMasterSessionRequests" + row);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Snmp("snmpget", "-Oqv", "qvtExDescr.0"), "sub A\n");
  EXPECT_EQ(Value("qvtMasterSessionRequests" + row), requests + 3);

  // One request the stopped sub-agent leaves unanswered: counted for the
  // session and for the master; the next answer ends the run of time-outs.
  const long long timeouts = Value("qvtMasterExchangeTimeouts.0");
  ASSERT_TRUE(m_subAgents.at("sub A")->Signal(SIGSTOP));
  EXPECT_NE(Snmp("snmpget", "", "qvtExDescr.0").find("genErr"), std::string::npos);
  EXPECT_EQ(Value("qvtMasterSessionTimeouts" + row), 1);
  EXPECT_EQ(Value("qvtMasterSessionTimeoutsInARow" + row), 1);
  EXPECT_EQ(Value("qvtMasterExchangeTimeouts.0"), timeouts + 1);
  ASSERT_TRUE(m_subAgents.at("sub A")->Signal(SIGCONT));
  EXPECT_TRUE(WaitUntil([&] { return Snmp("snmpget", "-Oqv", "qvtExDescr.0") == "sub A\n"; }, 10000, 250));
  EXPECT_EQ(Value("qvtMasterSessionTimeoutsInARow" + row), 0);
  EXPECT_EQ(Value("qvtMasterSessionTimeouts" + row), 1);
  const std::string& a = id;
  // Index values appear with their rows and go when released.
  struct Step {
    const char* set;
    std::map<std::string, std::string> values;  // value by number in the session
  };
  const Step steps[] = {
      {"qvtExDynRowStatus.7 i createAndGo", {{"1", "\"42\""}, {"2", "\"7\""}}},
      {"qvtExDynRowStatus.42 i destroy", {{"2", "\"7\""}}},
  };
  for (const Step& step : steps) {
    const std::string set = Snmp("snmpset", "", step.set, "private");
    ASSERT_EQ(set.find("Error"), std::string::npos) << step.set << ": " << set;
    std::map<std::string, std::string> values;
    EXPECT_TRUE(WaitUntil(
        [&] {
          values.clear();
          for (const auto& [index, text] : Column(kIndexEntry + ".3")) values[index.substr(a.size() + 1)] = text;
          return values == step.values;
        },
        5000))
        << step.set << ": " << Snmp("snmpwalk", "", "qvtMasterIndexTable");
    for (const auto& [number, text] : step.values) {
      EXPECT_EQ(Snmp("snmpget", "-On -Oqv", kIndexEntry + ".2." + a + "." + number), kExDynIndex + "\n") << step.set;
    }
    EXPECT_EQ(Value("qvtMasterIndexAllocationCount.0"), static_cast<long long>(step.values.size())) << step.set;
  }
  // Only down is accepted for the admin status, and it closes the session.
  struct Set {
    std::string instance;
    std::string value;
    const char* expected;  // in the tool's answer
  };
  const Set refused[] = {
      {a, "3", "wrongValue"},
      {a, "0", "wrongValue"},
      {"12345", "2", "noCreation"},
      {a + ".0", "2", "noCreation"},
  };
  for (const Set& set : refused) {
    const std::string out = Snmp("snmpset", "", "qvtMasterSessionAdminStatus." + set.instance + " i " + set.value,
                                 "private");
    EXPECT_NE(out.find(set.expected), std::string::npos) << set.instance << " = " << set.value << ": " << out;
  }
  EXPECT_NE(Snmp("snmpset", "", "qvtMasterSessionAdminStatus." + a + " i up", "private").find("up(1)"),
            std::string::npos);
  ASSERT_EQ(Snmp("snmpget", "-Oqv", "qvtExDescr.0 qvtMasterSessionAdminStatus." + a), "sub A\nup\n");

  EXPECT_NE(Snmp("snmpset", "", "qvtMasterSessionAdminStatus." + a + " i down", "private").find("down(2)"),
            std::string::npos);
  // Its objects, its row, its registrations and its index value go, as the
  // master logs it.
  EXPECT_NE(Snmp("snmpget", "", "qvtExDescr.0").find("No Such Object"), std::string::npos);
  EXPECT_NE(Snmp("snmpget", "", "qvtMasterSessionDescr." + a).find("No Such Instance"), std::string::npos);
  EXPECT_TRUE(Sessions().empty());
  EXPECT_TRUE(WaitUntil([&] { return Value("qvtMasterRegistrationCount.0") == 0; }, 5000));
  EXPECT_TRUE(Column(kRegistrationEntry + ".2").empty());
  EXPECT_TRUE(WaitUntil([&] { return Value("qvtMasterIndexAllocationCount.0") == 0; }, 5000));
  EXPECT_TRUE(Column(kIndexEntry + ".3").empty());
  EXPECT_TRUE(WaitUntil(
      [&] { return Log("master").find("session " + a + " ('sub A' at ") != std::string::npos &&
                   Log("master").find("closed by the master") != std::string::npos; },
      3000))
      << Log("master");
  EXPECT_TRUE(m_subAgents.at("sub A")->Running());
}

TEST_F(MasterMibEndToEnd, RegistrationRowsDescribeTheirSubtreesAndGetNextFindsEveryNextRow) {
  ASSERT_TRUE(Run("sub B", {"--rows", "6-6", "--no-scalars"}));
  ASSERT_TRUE(WaitUntil([&] { return RegistrationsBySession()["sub B"] == kRegistrationsPerRow; }, 10000, 200));
  const auto subtrees = Column(kRegistrationEntry + ".2");
  const auto rangeSubIds = Column(kRegistrationEntry + ".3");
  const auto upperBounds = Column(kRegistrationEntry + ".4");
  const auto sysORIndices = Column(kRegistrationEntry + ".5");
  const auto sysORIDs = Column(".1.3.6.1.2.1.1.9.1.2");

  // A shared row is registered as a range over the table's columns 2 to 4
  // (the 12th sub-identifier); the scalars and the dynamic table as plain
  // subtrees.
  struct Kind {
    const char* prefix;
    int rows;
    const char* rangeSubId;
    const char* upperBound;
  };
  const Kind kinds[] = {
      {".1.3.6.1.4.1.32473.1.1.2.1.", 6 * kRegistrationsPerRow, "12", "4"},
      {".1.3.6.1.4.1.32473.1.1.1", 1, "0", "0"},
      {".1.3.6.1.4.1.32473.1.1.3", 1, "0", "0"},
  };
  ASSERT_EQ(subtrees.size(), static_cast<size_t>(kScalarRegistrations + 6 * kRegistrationsPerRow));
  std::map<std::string, std::string> sessionOfIndex;
  for (const Kind& kind : kinds) {
    int rows = 0;
    for (const auto& [index, subtree] : subtrees) {
      if (subtree.rfind(kind.prefix, 0) != 0) continue;
      ++rows;
      EXPECT_TRUE(kind.rows > 1 || subtree == kind.prefix) << subtree;  // a table itself, not its entry
      EXPECT_EQ(rangeSubIds.at(index), kind.rangeSubId) << subtree;
      EXPECT_EQ(upperBounds.at(index), kind.upperBound) << subtree;
      // Its sysORTable row names the same subtree.
      const auto sysOR = sysORIDs.find(sysORIndices.at(index));
      ASSERT_NE(sysOR, sysORIDs.end()) << subtree << " sysORIndex " << sysORIndices.at(index);
      EXPECT_EQ(sysOR->second, subtree);
    }
    EXPECT_EQ(rows, kind.rows) << kind.prefix;
  }
  // Numbered from 1 within each session, in the order registered: sub B's
  // three rows are its registrations 1 to 3.
  const std::map<std::string, std::string> ids = Sessions();
  const std::string b = ids.at("sub B");
  for (int number = 1; number <= kRegistrationsPerRow; ++number) {
    const auto row = subtrees.find(b + "." + std::to_string(number));
    ASSERT_NE(row, subtrees.end()) << number;
    EXPECT_EQ(row->second, ".1.3.6.1.4.1.32473.1.1.2.1." + std::to_string(number + 1) + ".6");
  }

  // GET-NEXT finds the following row from any index, GET only a row's exact index.
  ASSERT_EQ(Snmp("snmpset", "", "qvtExDynRowStatus.42 i createAndGo", "private").find("Error"), std::string::npos);
  std::map<std::string, int> registrations = RegistrationsBySession();
  // The sessions in the order of their ids, with their registrations.
  std::string first = "sub A";
  std::string second = "sub B";
  if (std::stoll(ids.at(second)) < std::stoll(ids.at(first))) std::swap(first, second);
  const std::string s1 = ids.at(first);
  const std::string s2 = ids.at(second);
  const std::string a = ids.at("sub A");

  const std::string descr = kSessionEntry + ".4";
  const std::string timeout = kSessionEntry + ".5";
  const std::string subtree = kRegistrationEntry + ".2";
  const std::string range = kRegistrationEntry + ".3";
  const std::string object = kIndexEntry + ".2";
  const std::string value = kIndexEntry + ".3";
  struct Case {
    std::string what;
    std::string from;
    std::string next;  // the name GET-NEXT answers with
  };
  const Case cases[] = {
      {"session column", descr, descr + "." + s1},
      {"below the first session", descr + ".0", descr + "." + s1},
      {"a session", descr + "." + s1, descr + "." + s2},
      {"inside a session's index", descr + "." + s1 + ".7.7", descr + "." + s2},
      {"the last session", descr + "." + s2, timeout + "." + s1},
      {"beyond every session id", descr + ".4294967295", timeout + "." + s1},
      {"registration column", subtree, subtree + "." + s1 + ".1"},
      {"a session alone", subtree + "." + s1, subtree + "." + s1 + ".1"},
      {"a registration", subtree + "." + s1 + ".1", subtree + "." + s1 + ".2"},
      {"inside a registration's index", subtree + "." + s1 + ".1.0", subtree + "." + s1 + ".2"},
      {"a session's last registration", subtree + "." + s1 + "." + std::to_string(registrations[first]),
       subtree + "." + s2 + ".1"},
      {"beyond a session's numbers", subtree + "." + s1 + ".4294967295", subtree + "." + s2 + ".1"},
      {"the last registration", subtree + "." + s2 + "." + std::to_string(registrations[second]),
       range + "." + s1 + ".1"},
      {"beyond every session id", subtree + ".4294967295", range + "." + s1 + ".1"},
      {"index value column", object, object + "." + a + ".1"},
      {"the only index value", object + "." + a + ".1", value + "." + a + ".1"},
  };
  for (const Case& c : cases) {
    const std::string out = SnmpNumeric("snmpgetnext", c.from);
    EXPECT_EQ(out.substr(0, out.find(' ')), c.next) << c.what << ": " << out;
  }
  // A GET names a row exactly: anything else is no instance.
  for (const std::string& name :
       {descr + "." + s1 + ".0", subtree + "." + s1, subtree + "." + s1 + ".1.0", object + "." + a}) {
    EXPECT_NE(SnmpNumeric("snmpget", name).find("No Such Instance"), std::string::npos) << name;
  }
}

TEST_F(MasterMibEndToEnd, RefusalsMoveTheirCounters) {
  // Each refusal in turn, with the counter it must move; the counters of
  // the refusals before it stay where they were.
  struct SubAgent {
    const char* description;
    std::vector<std::string> args;
  };
  struct Refusal {
    const char* counter;
    std::vector<SubAgent> subAgents;  // to start
    std::vector<std::string> sets;    // then to send
  };
  const Refusal refusals[] = {
      // The scalars again, which sub A registered already.
      {"qvtMasterRegistrationsDuplicate", {{"sub A again", {"--rows", "20-20", "-t"}}}, {}},
      // MaxIndexAllocations is 2: the third row's index is refused.
      {"qvtMasterIndexQuota",
       {},
       {"qvtExDynRowStatus.1 i createAndGo", "qvtExDynRowStatus.2 i createAndGo", "qvtExDynRowStatus.3 i createAndGo"}},
      // MaxSessions is 3: one of these two is refused.
      {"qvtMasterSessionsRefused",
       {{"sub B", {"--rows", "21-21", "--no-scalars"}}, {"sub C", {"--rows", "22-22", "--no-scalars"}}},
       {}},
  };
  std::map<std::string, long long> done;  // the counters of the refusals so far, as they ended
  for (const Refusal& refusal : refusals) {
    const std::string counter = std::string(refusal.counter) + ".0";
    const long long before = Value(counter);
    for (const SubAgent& subAgent : refusal.subAgents) {
      ASSERT_TRUE(Run(subAgent.description, subAgent.args)) << refusal.counter;
    }
    for (const std::string& set : refusal.sets) Snmp("snmpset", "", set, "private");
    EXPECT_TRUE(WaitUntil([&] { return Value(counter) > before; }, 10000, 200))
        << refusal.counter << ": " << Log("master");
    for (const auto& [earlier, value] : done) {
      EXPECT_EQ(Value(earlier), value) << earlier << " after " << refusal.counter;
    }
    done[counter] = Value(counter);
  }
  EXPECT_EQ(Sessions().size(), 3u);
  // Both sides name the duplicate's OID and session; the traced sub-agent logs each request it serves with
  // the PDU type, the first name and the result.
  const std::string sub = Log("sub A again");
  std::smatch found;
  ASSERT_TRUE(std::regex_search(sub, found, std::regex("refused 1\\.3\\.6\\.1\\.4\\.1\\.32473\\.1\\.1\\.1 \\(session "
                                                         "(\\d+)\\): \\(107\\) duplicateRegistration")))
      << sub;
  const std::string master = Log("master");
  EXPECT_NE(master.find("registration of 1.3.6.1.4.1.32473.1.1.1 from 127.0.0.1:"), std::string::npos) << master;
  EXPECT_NE(master.find("(session " + found[1].str() + " 'sub A again') refused: registered already"),
            std::string::npos)
      << master;
  EXPECT_EQ(Snmp("snmpget", "-Oqv", "qvtExShareOwner.20"), "sub A again\n");
  EXPECT_TRUE(WaitUntil(
      [&] {
        return std::regex_search(Log("sub A again"),
                                 std::regex("served GET \\(5\\) of 1 varbind\\(s\\) from 1\\.3\\.6\\.1\\.4\\.1\\.32473\\."
                                            "1\\.1\\.2\\.1\\.2\\.20, transaction \\d+: result \\(0\\) noError, index 0"));
      },
      3000))
      << Log("sub A again");
}

}  // namespace
}  // namespace QVT::test
