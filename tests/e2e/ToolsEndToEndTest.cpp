// End-to-end tests with the standard SNMP tools: the real qvt-master-agent,
// two qvt-subagent-example instances (rows 1-5 with the scalars and the
// read-create table, rows 6-10 without) and snmptrapd, queried with
// snmpget, snmpgetnext, snmpwalk, snmpbulkwalk and snmpset.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <future>
#include <regex>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "EndToEndSupport.h"

namespace QVT::test {
namespace {

int CountMatches(const std::string& text, const std::string& pattern) {
  const std::regex re(pattern);
  return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

// A running system: master, two sub-agents, a trap receiver, on free ports.
class ToolsEndToEnd : public ProgramsTest {
 protected:
  ToolsEndToEnd() : ProgramsTest("snmpget snmpwalk snmpbulkwalk snmpset snmpgetnext snmptrapd", 1) {}

  void SetUp() override {
    ProgramsTest::SetUp();
    if (IsSkipped()) return;
    const std::string trapPort = std::to_string(FreeUdpPort());
    // Room for 3 x 9,000 column registrations in one session.
    WriteFile(m_dir + "/master.conf", "[SAMaster]\nMaxRegistrations=30000\nPort=" + std::to_string(m_masterPort) +
                                          "\n[Agent]\nListenAddress=127.0.0.1:" + std::to_string(m_snmpPort) +
                                          "\nTrapSink=127.0.0.1:" + trapPort + "\n");
    ASSERT_TRUE(Start({"/usr/sbin/snmptrapd", "-f", "-Lf", m_dir + "/traps.log", "-C", "--disableAuthorization=yes",
                       "-M", "+" + kMibs, "-m", "+QVT-EXAMPLE-MIB", "udp:127.0.0.1:" + trapPort},
                      "snmptrapd.out"));
    StartMaster();
    ASSERT_TRUE(m_subA = StartSubAgent("sub A", {"--rows", "1-5"}));
    ASSERT_TRUE(m_subB = StartSubAgent("sub B", {"--rows", "6-10", "--no-scalars"}));
    ASSERT_TRUE(WaitForRegistrations()) << Log("master") << Log("sub A");
  }

  // Every registration of both sub-agents answers: each registers its rows
  // last, in order, so its last row answering means it is done.
  bool WaitForRegistrations() {
    return WaitUntil(
        [&] {
          const std::string out = Snmp("snmpget", "-v2c -c public -Oqv", "qvtExShareOwner.5 qvtExShareOwner.10");
          return out == "sub A\nsub B\n";
        },
        15000, 200);
  }

  // Runs a tool against the master's SNMP port with the example MIB loaded.
  std::string Snmp(const std::string& tool, const std::string& options, const std::string& args) {
    return Ask(tool + " -Ln -M +" + kMibs + " -m +QVT-EXAMPLE-MIB -t 3 -r 0 " + options, args);
  }

  ChildProcess* m_subA = nullptr;
  ChildProcess* m_subB = nullptr;
};

TEST_F(ToolsEndToEnd, WalksListEveryRegistrationAndTheWholeMibInOrder) {
  // sysORTable: qvtExScalars, qvtExDynTable, and three columns for each of
  // the ten shared rows.
  const std::string orTable = Snmp("snmpwalk", "-v2c -c public", "sysORDescr");
  EXPECT_EQ(CountMatches(orTable, "sysORDescr\\.\\d+ = STRING: qvtExShareTable \\d+"), 30) << orTable;
  EXPECT_EQ(CountMatches(orTable, "STRING: qvtExScalars"), 1) << orTable;
  EXPECT_EQ(CountMatches(orTable, "STRING: qvtExDynTable"), 1) << orTable;

  // The whole example MIB, with v2c GET-NEXT, v1 GET-NEXT and GET-BULK:
  // the same instances, strictly in order, the two sub-agents' rows
  // interleaved column by column.
  const std::string v2 = Snmp("snmpwalk", "-v2c -c public -On -Oq", "qvtExampleMIB");
  const std::string v1 = Snmp("snmpwalk", "-v1 -c public -On -Oq", "qvtExampleMIB");
  const std::string bulk = Snmp("snmpbulkwalk", "-v2c -c public -On -Oq -Cr25", "qvtExampleMIB");
  std::vector<std::string> expected;
  const std::string scalars = ".1.3.6.1.4.1.32473.1.1.1.";
  expected.push_back(scalars + "1.0 sub A");
  for (int column = 2; column <= 4; ++column) {
    for (int row = 1; row <= 10; ++row) {
      const std::string name = ".1.3.6.1.4.1.32473.1.1.2.1." + std::to_string(column) + "." + std::to_string(row);
      const std::string value = column == 2   ? (row <= 5 ? "sub A" : "sub B")
                                : column == 3 ? std::to_string(row * 7)
                                              : std::to_string(row * 1000000000LL);
      expected.push_back(name + " " + value);
    }
  }
  for (const std::string* walk : {&v2, &bulk}) {
    std::vector<std::string> lines = Lines(*walk);
    // The walk ends at the end of the agent's MIB: the tool prints the
    // endOfMibView it got for the last instance.
    if (!lines.empty() && lines.back().find("No more variables") != std::string::npos) lines.pop_back();
    ASSERT_EQ(lines.size(), 4u + 30u) << *walk;
    EXPECT_EQ(lines[0], expected[0]);
    EXPECT_EQ(lines[1].rfind(scalars + "2.0 ", 0), 0u) << lines[1];  // qvtExUpTime
    EXPECT_EQ(lines[2], scalars + "3.0 ");
    EXPECT_EQ(lines[3].rfind(scalars + "4.0 ", 0), 0u) << lines[3];  // qvtExRequests
    for (size_t i = 1; i < expected.size(); ++i) EXPECT_EQ(lines[i + 3], expected[i]);
  }
  // SNMPv1 managers never see Counter64: the qvtExShareOctets column is
  // skipped.
  std::vector<std::string> v1Lines = Lines(v1);
  if (!v1Lines.empty() && v1Lines.back().find("End of MIB") != std::string::npos) v1Lines.pop_back();
  EXPECT_EQ(v1Lines.size(), 4u + 20u) << v1;
  EXPECT_EQ(v1.find(".1.3.6.1.4.1.32473.1.1.2.1.4."), std::string::npos) << v1;
}

TEST_F(ToolsEndToEnd, SetChecksAccessAndValuesLikeTheMibSays) {
  EXPECT_NE(Snmp("snmpset", "-v2c -c private", "qvtExLabel.0 s hello-world").find("STRING: hello-world"),
            std::string::npos);
  EXPECT_NE(Snmp("snmpget", "-v2c -c public", "qvtExLabel.0").find("qvtExLabel.0 = STRING: hello-world"),
            std::string::npos);

  // -Ir: the tool would refuse the value itself, knowing the MIB's size limit.
  const std::string tooLong = Snmp("snmpset", "-v2c -c private -Ir", "qvtExLabel.0 s " + std::string(65, 'x'));
  EXPECT_NE(tooLong.find("wrongLength"), std::string::npos) << tooLong;
  const std::string readCommunity = Snmp("snmpset", "-v2c -c public", "qvtExLabel.0 s nope");
  EXPECT_NE(readCommunity.find("noAccess"), std::string::npos) << readCommunity;
  EXPECT_NE(Snmp("snmpget", "-v2c -c public", "qvtExLabel.0").find("STRING: hello-world"), std::string::npos);
  // An unknown community gets no answer, only a count.
  EXPECT_NE(Snmp("snmpget", "-v2c -c wrong", "sysDescr.0").find("Timeout"), std::string::npos);
  EXPECT_NE(Snmp("snmpget", "-v2c -c public", "snmpInBadCommunityNames.0").find("Counter32: 1"), std::string::npos);
}

// A row created with RowStatus traps and reserves its index at the master. The sub-agents keep their sessions
// through the library: a master killed and started again finds both back with every registration once, and
// the row's index reserved again; destroy then removes the row.
TEST_F(ToolsEndToEnd, RowStatusRowTrapsAndKeepsItsIndexAcrossAMasterRestart) {
  const std::string created =
      Snmp("snmpset", "-v2c -c private", "qvtExDynRowStatus.42 i createAndGo qvtExDynName.42 s answer");
  EXPECT_EQ(created.find("Error"), std::string::npos) << created;
  const std::string row = Snmp("snmpwalk", "-v2c -c public", "qvtExDynTable");
  EXPECT_NE(row.find("qvtExDynName.42 = STRING: answer"), std::string::npos) << row;
  EXPECT_NE(row.find("qvtExDynRowStatus.42 = INTEGER: active(1)"), std::string::npos) << row;
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string traps = Log("traps");
        return traps.find("qvtExRowCreated") != std::string::npos &&
               traps.find("qvtExDynName.42 = STRING: answer") != std::string::npos;
      },
      5000))
      << Log("traps");
  // The registrations as sysORTable lists them, whatever their order: the
  // two sub-agents come back in either order.
  auto registrations = [&] {
    std::vector<std::string> rows;
    for (const std::string& line : Lines(Snmp("snmpwalk", "-v2c -c public", "sysORDescr"))) {
      rows.push_back(line.substr(line.find(" = ")));
    }
    std::sort(rows.begin(), rows.end());
    return rows;
  };
  const std::vector<std::string> orBefore = registrations();
  ASSERT_TRUE(m_master->Signal(SIGKILL));
  m_master->Wait(5000);
  StartMaster();
  EXPECT_TRUE(WaitForRegistrations()) << Log("sub A") << Log("master");
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Snmp("snmpset", "-v2c -c private", "qvtExDynRowStatus.42 i createAndGo").find("inconsistentValue") !=
               std::string::npos;
      },
      5000, 200));
  EXPECT_EQ(registrations(), orBefore) << "each registration once, as before";
  for (const char* name : {"sub A", "sub B"}) {
    const std::string text = Log(name);
    EXPECT_EQ(CountMatches(text, "lost: the master does not know our session; opening a new one"), 1) << text;
    EXPECT_EQ(CountMatches(text, "session \\d+ open with the master"), 2) << text;
  }
  const std::string destroyed = Snmp("snmpset", "-v2c -c private", "qvtExDynRowStatus.42 i destroy");
  EXPECT_EQ(destroyed.find("Error"), std::string::npos) << destroyed;
  EXPECT_EQ(Snmp("snmpwalk", "-v2c -c public", "qvtExDynTable").find(".42 ="), std::string::npos);
}

// A master that goes away while a sub-agent is still registering (nine
// thousand rows), and stays away for a while: the sub-agent logs the loss
// once, comes back once the master does, and every row is registered once.
TEST_F(ToolsEndToEnd, MasterLostDuringRegistrationAndAwayForAWhile) {
  ChildProcess* big = StartSubAgent("sub C", {"--rows", "101-9100", "--no-scalars"});
  ASSERT_TRUE(big);
  ASSERT_TRUE(WaitUntil([&] { return Snmp("snmpget", "-v2c -c public -Oqv", "qvtExShareOwner.101") == "sub C\n"; },
                        15000, 20));
  ASSERT_TRUE(m_master->Signal(SIGKILL));
  m_master->Wait(5000);
  std::string scratch;
  RunCommand("sleep 6", scratch);  // several back-off rounds without a master
  StartMaster();
  EXPECT_TRUE(WaitUntil([&] { return Snmp("snmpget", "-v2c -c public -Oqv", "qvtExShareOwner.9100") == "sub C\n"; },
                        60000, 500))
      << Log("sub C");
  EXPECT_TRUE(WaitForRegistrations());
  const std::string orTable = Snmp("snmpwalk", "-v2c -c public", "sysORDescr");
  EXPECT_EQ(CountMatches(orTable, "STRING: qvtExShareTable \\d+"), 3 * 9010) << "every row once";
  // One line when the master went (during the first announcement, or
  // after it), one when a session is back: none per failed attempt.
  const std::string log = Log("sub C");
  EXPECT_EQ(CountMatches(log, " lost: "), 1) << log;
  const int opened = CountMatches(log, "session \\d+ open with the master");
  EXPECT_TRUE(opened == 1 || opened == 2) << log;
  EXPECT_EQ(CountMatches(log, "refused"), 0) << log;
  big->Signal(SIGTERM);
  EXPECT_EQ(big->Wait(10000), 0);
}

// A sub-agent process that stops (SIGSTOP) costs only its own objects: the master's objects and the other
// sub-agent's answer as before, every time, while managers keep asking the stopped one; its objects answer
// genErr, a GET-NEXT into them too (never a walk that ends early and looks complete). Its time-outs in a row
// close its session, and its objects and registrations go; once it goes on it opens a new session.
TEST_F(ToolsEndToEnd, StoppedSubAgentCostsOnlyItsOwnObjects) {
  ASSERT_TRUE(m_subB->Signal(SIGSTOP));
  std::vector<std::future<std::string>> walkers;
  for (int i = 0; i < 3; ++i) {
    walkers.push_back(std::async(std::launch::async, [&] {
      return Snmp("snmpwalk", "-v2c -c public -Cc", "qvtExShareValue");
    }));
  }
  int answered = 0;
  for (int i = 0; i < 20; ++i) {
    const std::string out = Snmp("snmpget", "-v2c -c public -t 1 -Oqv", "sysDescr.0 qvtExDescr.0 qvtExShareValue.3");
    answered += out == "QVT master agent\nsub A\n21\n";
  }
  EXPECT_EQ(answered, 20);
  const std::string get = Snmp("snmpget", "-v2c -c public", "qvtExShareValue.7");
  EXPECT_NE(get.find("genErr"), std::string::npos) << get;
  const std::string next = Snmp("snmpgetnext", "-v2c -c public", "qvtExShareOwner.5");
  EXPECT_NE(next.find("genErr"), std::string::npos) << next;
  for (auto& walker : walkers) {
    const std::string walk = walker.get();
    EXPECT_NE(walk.find("genErr"), std::string::npos) << walk;
    EXPECT_EQ(walk.find("No more variables"), std::string::npos) << walk;
  }
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Snmp("snmpget", "-v2c -c public", "qvtExShareOwner.7").find("No Such Object") != std::string::npos;
      },
      8000, 250));
  const std::string orTable = Snmp("snmpwalk", "-v2c -c public", "sysORDescr");
  EXPECT_EQ(CountMatches(orTable, "STRING: qvtExShareTable \\d+"), 15) << orTable;
  const std::string walk = Snmp("snmpwalk", "-v2c -c public -On -Oq", "qvtExShareOwner");
  EXPECT_EQ(Lines(walk).size(), 5u) << walk;
  ASSERT_TRUE(m_subB->Signal(SIGCONT));
  EXPECT_TRUE(WaitUntil(
      [&] { return Snmp("snmpget", "-v2c -c public -Oqv", "qvtExShareValue.7") == "49\n"; }, 20000, 250))
      << Log("sub B");
}

}  // namespace
}  // namespace QVT::test
