// End-to-end tests with the standard SNMP tools: the real qvt-master-agent,
// two qvt-subagent-example instances (rows 1-5 with the scalars and the
// read-create table, rows 6-10 without) and snmptrapd, queried with
// snmpget, snmpgetnext, snmpwalk, snmpbulkwalk and snmpset.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <future>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "BSAFrame.h"
#include "BSAOIDs.h"
#include "BSASocket.h"
#include "ChildProcess.h"
#include "EndToEndSupport.h"

namespace QVT::test {
namespace {

bool HaveTools() {
  return test::HaveTools("snmpget snmpwalk snmpbulkwalk snmpset snmpgetnext snmptrapd");
}

int CountMatches(const std::string& text, const std::string& pattern) {
  const std::regex re(pattern);
  return static_cast<int>(std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator()));
}

// A running system: master, two sub-agents, a trap receiver, on free ports.
class ToolsEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTools()) GTEST_SKIP() << "the Net-SNMP command-line tools are not installed";
    m_dir = MakeTempDir("qvt-e2e-");
    m_snmpPort = FreeUdpPort();
    m_masterPort = FreeUdpPort();
    m_trapPort = FreeUdpPort();
    WriteFile(m_dir + "/master.conf", "[SAMaster]\nPort=" + std::to_string(m_masterPort) +
                                          "\n[Agent]\nListenAddress=127.0.0.1:" + std::to_string(m_snmpPort) +
                                          "\nTrapSink=127.0.0.1:" + std::to_string(m_trapPort) + "\n");
    WriteFile(m_dir + "/sub.conf", "[SubAgent]\nMasterAddress=127.0.0.1:" + std::to_string(m_masterPort) +
                                       "\nPingInterval=1\nMasterTimeout=1\nMaxProcTime=1\n");
    ASSERT_TRUE(
        m_trapd.Start({"/usr/sbin/snmptrapd", "-f", "-Lf", m_dir + "/traps.log", "-C", "--disableAuthorization=yes",
                       "-M", "+" + kMibs, "-m", "+QVT-EXAMPLE-MIB", "udp:127.0.0.1:" + std::to_string(m_trapPort)},
                      m_dir + "/snmptrapd.out"));
    StartMaster();
    ASSERT_TRUE(m_subA.Start({kSubAgent, "-c", m_dir + "/sub.conf", "--description", "sub A", "--rows", "1-5"},
                             m_dir + "/subA.log"));
    ASSERT_TRUE(
        m_subB.Start({kSubAgent, "-c", m_dir + "/sub.conf", "--description", "sub B", "--rows", "6-10", "--no-scalars"},
                     m_dir + "/subB.log"));
    ASSERT_TRUE(WaitForRegistrations()) << ReadFile(m_dir + "/master.log") << ReadFile(m_dir + "/subA.log");
  }

  void TearDown() override {
    for (ChildProcess* child : {&m_subA, &m_subB, &m_master, &m_trapd}) {
      if (child->Running()) child->Signal(SIGTERM);
    }
    for (ChildProcess* child : {&m_subA, &m_subB, &m_master, &m_trapd}) child->Wait(5000);
    if (!m_dir.empty() && !HasFailure()) RunCommand("rm -rf '" + m_dir + "'", m_scratch);
  }

  void StartMaster() { ASSERT_TRUE(m_master.Start({kMaster, "-c", m_dir + "/master.conf"}, m_dir + "/master.log")); }

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
    std::string out;
    RunCommand(tool + " -Ln -M +" + kMibs + " -m +QVT-EXAMPLE-MIB -t 3 -r 0 " + options +
                   " 127.0.0.1:" + std::to_string(m_snmpPort) + " " + args + " 2>&1",
               out, 60);
    return out;
  }

  std::string m_dir;
  std::string m_scratch;
  unsigned short m_snmpPort = 0;
  unsigned short m_masterPort = 0;
  unsigned short m_trapPort = 0;
  ChildProcess m_trapd;
  ChildProcess m_master;
  ChildProcess m_subA;
  ChildProcess m_subB;
};

TEST_F(ToolsEndToEnd, GetAndGetNextReadSystemGroupAndExampleScalarsInBothVersions) {
  for (const std::string version : {"-v1", "-v2c"}) {
    const std::string out = Snmp("snmpget", version + " -c public", "sysDescr.0 qvtExDescr.0 qvtExShareValue.7");
    EXPECT_NE(out.find("SNMPv2-MIB::sysDescr.0 = STRING: QVT master agent"), std::string::npos) << out;
    EXPECT_NE(out.find("QVT-EXAMPLE-MIB::qvtExDescr.0 = STRING: sub A"), std::string::npos) << out;
    EXPECT_NE(out.find("QVT-EXAMPLE-MIB::qvtExShareValue.7 = Gauge32: 49"), std::string::npos) << out;

    const std::string next = Snmp("snmpgetnext", version + " -c public", "qvtExShareOwner.5 qvtExScalars");
    EXPECT_NE(next.find("qvtExShareOwner.6 = STRING: sub B"), std::string::npos) << next;
    EXPECT_NE(next.find("qvtExDescr.0 = STRING: sub A"), std::string::npos) << next;
  }
}

TEST_F(ToolsEndToEnd, WalksListEveryRegistrationAndTheWholeMibInOrder) {
  // sysORTable: qvtExScalars, qvtExDynTable, and three columns for each of
  // the ten shared rows.
  const std::string orTable = Snmp("snmpwalk", "-v2c -c public", "sysORDescr");
  EXPECT_EQ(CountMatches(orTable, "sysORDescr\\.\\d+ = STRING: qvtExShareTable \\d+"), 30) << orTable;
  EXPECT_EQ(CountMatches(orTable, "STRING: qvtExScalars"), 1) << orTable;
  EXPECT_EQ(CountMatches(orTable, "STRING: qvtExDynTable"), 1) << orTable;
  // The dynamic table is registered as a whole (the table's OID), not its entry.
  const std::string orIds = Snmp("snmpwalk", "-v2c -c public -On", "sysORID");
  EXPECT_EQ(CountMatches(orIds, "OID: \\.1\\.3\\.6\\.1\\.4\\.1\\.32473\\.1\\.1\\.3\n"), 1) << orIds;

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
  const std::string readOnly = Snmp("snmpset", "-v2c -c private", "qvtExDescr.0 s nope");
  EXPECT_NE(readOnly.find("notWritable"), std::string::npos) << readOnly;
  const std::string readCommunity = Snmp("snmpset", "-v2c -c public", "qvtExLabel.0 s nope");
  EXPECT_NE(readCommunity.find("noAccess"), std::string::npos) << readCommunity;
  const std::string v1ReadCommunity = Snmp("snmpset", "-v1 -c public", "qvtExLabel.0 s nope");
  EXPECT_NE(v1ReadCommunity.find("noSuchName"), std::string::npos) << v1ReadCommunity;
  EXPECT_NE(Snmp("snmpget", "-v2c -c public", "qvtExLabel.0").find("STRING: hello-world"), std::string::npos);
}

TEST_F(ToolsEndToEnd, RowStatusCreatesARowThatTrapsAndDestroyRemovesIt) {
  const std::string created =
      Snmp("snmpset", "-v2c -c private", "qvtExDynRowStatus.42 i createAndGo qvtExDynName.42 s answer");
  EXPECT_EQ(created.find("Error"), std::string::npos) << created;
  const std::string row = Snmp("snmpwalk", "-v2c -c public", "qvtExDynTable");
  EXPECT_NE(row.find("qvtExDynName.42 = STRING: answer"), std::string::npos) << row;
  EXPECT_NE(row.find("qvtExDynRowStatus.42 = INTEGER: active(1)"), std::string::npos) << row;

  // The row's index was reserved at the master: creating it again is refused.
  const std::string again = Snmp("snmpset", "-v2c -c private", "qvtExDynRowStatus.42 i createAndGo");
  EXPECT_NE(again.find("inconsistentValue"), std::string::npos) << again;

  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string traps = ReadFile(m_dir + "/traps.log");
        return traps.find("qvtExRowCreated") != std::string::npos &&
               traps.find("qvtExDynName.42 = STRING: answer") != std::string::npos;
      },
      5000))
      << ReadFile(m_dir + "/traps.log");

  const std::string destroyed = Snmp("snmpset", "-v2c -c private", "qvtExDynRowStatus.42 i destroy");
  EXPECT_EQ(destroyed.find("Error"), std::string::npos) << destroyed;
  EXPECT_EQ(Snmp("snmpwalk", "-v2c -c public", "qvtExDynTable").find(".42 ="), std::string::npos);
}

TEST_F(ToolsEndToEnd, UnknownCommunityGetsNoAnswer) {
  const std::string out = Snmp("snmpget", "-v2c -c wrong", "sysDescr.0");
  EXPECT_NE(out.find("Timeout"), std::string::npos) << out;
  EXPECT_NE(Snmp("snmpget", "-v2c -c public", "snmpInBadCommunityNames.0").find("Counter32: 1"), std::string::npos);
}

TEST_F(ToolsEndToEnd, KilledSubAgentGivesGenErrUntilItsSessionIsClosed) {
  m_subB.Signal(SIGKILL);
  m_subB.Wait(2000);
  // Each request into the dead sub-agent's rows waits its 1-second time-out
  // and fails; the third time-out in a row closes its session at the next
  // check of the master's monitor.
  for (int i = 0; i < 3; ++i) {
    const std::string out = Snmp("snmpget", "-v2c -c public", "qvtExShareOwner.7");
    EXPECT_NE(out.find("genErr"), std::string::npos) << out;
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
  EXPECT_NE(Snmp("snmpget", "-v2c -c public", "qvtExShareOwner.3").find("STRING: sub A"), std::string::npos);
}

// The sub-agents keep their sessions through the library: a master killed
// and started again finds both back with every registration once, and the
// row index the dynamic table reserved is reserved again.
TEST_F(ToolsEndToEnd, RestartedMasterIsFoundAgainByTheSubAgents) {
  EXPECT_EQ(Snmp("snmpset", "-v2c -c private", "qvtExDynRowStatus.42 i createAndGo").find("Error"), std::string::npos);
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
  ASSERT_TRUE(m_master.Signal(SIGKILL));
  m_master.Wait(5000);
  StartMaster();
  EXPECT_TRUE(WaitForRegistrations()) << ReadFile(m_dir + "/subA.log") << ReadFile(m_dir + "/master.log");
  // The index value was reserved again: creating the row anew is refused.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Snmp("snmpset", "-v2c -c private", "qvtExDynRowStatus.42 i createAndGo").find("inconsistentValue") !=
               std::string::npos;
      },
      5000, 200));
  EXPECT_EQ(registrations(), orBefore) << "each registration once, as before";
  for (const char* log : {"/subA.log", "/subB.log"}) {
    const std::string text = ReadFile(m_dir + log);
    EXPECT_EQ(CountMatches(text, "lost: the master does not know our session; opening a new one"), 1) << text;
    EXPECT_EQ(CountMatches(text, "session \\d+ open with the master"), 2) << text;
  }
}

// A master that goes away while a sub-agent is still registering (nine
// thousand rows), and stays away for a while: the sub-agent logs the loss
// once, comes back once the master does, and every row is registered once.
TEST_F(ToolsEndToEnd, MasterLostDuringRegistrationAndAwayForAWhile) {
  // Room for 3 x 9,000 column registrations in one session.
  ASSERT_TRUE(m_master.Signal(SIGTERM));
  m_master.Wait(5000);
  WriteFile(m_dir + "/master.conf", ReadFile(m_dir + "/master.conf") + "[SAMaster]\nMaxRegistrations=30000\n");
  StartMaster();
  ASSERT_TRUE(WaitForRegistrations());
  ChildProcess big;
  ASSERT_TRUE(big.Start({kSubAgent, "-c", m_dir + "/sub.conf", "--description", "sub C", "--rows", "101-9100",
                         "--no-scalars"},
                        m_dir + "/subC.log"));
  ASSERT_TRUE(WaitUntil([&] { return Snmp("snmpget", "-v2c -c public -Oqv", "qvtExShareOwner.101") == "sub C\n"; },
                        15000, 20));
  ASSERT_TRUE(m_master.Signal(SIGKILL));
  m_master.Wait(5000);
  const bool unfinished = Snmp("snmpget", "-v2c -c public -Oqv", "qvtExShareOwner.9100") != "sub C\n";
  std::string scratch;
  RunCommand("sleep 6", scratch);  // several back-off rounds without a master
  StartMaster();
  EXPECT_TRUE(WaitUntil([&] { return Snmp("snmpget", "-v2c -c public -Oqv", "qvtExShareOwner.9100") == "sub C\n"; },
                        60000, 500))
      << ReadFile(m_dir + "/subC.log");
  EXPECT_TRUE(WaitForRegistrations());
  const std::string orTable = Snmp("snmpwalk", "-v2c -c public", "sysORDescr");
  EXPECT_EQ(CountMatches(orTable, "STRING: qvtExShareTable \\d+"), 3 * 9010) << "every row once";
  // One line when the master went (during the first announcement, or
  // after it), one when a session is back: none per failed attempt.
  const std::string log = ReadFile(m_dir + "/subC.log");
  EXPECT_EQ(CountMatches(log, " lost: "), 1) << log;
  const int opened = CountMatches(log, "session \\d+ open with the master");
  EXPECT_TRUE(opened == 1 || opened == 2) << log;
  EXPECT_EQ(CountMatches(log, "refused"), 0) << log;
  big.Signal(SIGTERM);
  EXPECT_EQ(big.Wait(10000), 0);
  if (!unfinished) std::printf("note: the sub-agent had finished registering before the master was killed\n");
}

// A third sub-agent, traced, that asks for the scalars sub-agent A holds:
// both sides name the OID and the session of the refusal, and its trace
// has a line per request it serves with the PDU type, the first name and
// the result.
TEST_F(ToolsEndToEnd, RefusalsNameOidAndSessionAndTheTraceNamesEachRequest) {
  ChildProcess third;
  ASSERT_TRUE(third.Start({kSubAgent, "-t", "-c", m_dir + "/sub.conf", "--description", "sub C", "--rows", "11-11"},
                          m_dir + "/subC.log"));
  ASSERT_TRUE(WaitUntil([&] { return Snmp("snmpget", "-v2c -c public -Oqv", "qvtExShareOwner.11") == "sub C\n"; },
                        15000, 200));
  const std::string sub = ReadFile(m_dir + "/subC.log");
  std::smatch found;
  ASSERT_TRUE(std::regex_search(sub, found, std::regex("refused 1\\.3\\.6\\.1\\.4\\.1\\.32473\\.1\\.1\\.1 \\(session (\\d+)\\): "
                                                         "\\(107\\) duplicateRegistration")))
      << sub;
  const std::string master = ReadFile(m_dir + "/master.log");
  EXPECT_NE(master.find("registration of 1.3.6.1.4.1.32473.1.1.1 from 127.0.0.1:"), std::string::npos) << master;
  EXPECT_NE(master.find("(session " + found[1].str() + " 'sub C') refused: registered already"), std::string::npos)
      << master;
  EXPECT_TRUE(std::regex_search(ReadFile(m_dir + "/subC.log"),
                                std::regex("served GET \\(5\\) of 1 varbind\\(s\\) from 1\\.3\\.6\\.1\\.4\\.1\\.32473\\.1\\.1\\.2\\.1\\.2\\.11, "
                                           "transaction \\d+: result \\(0\\) noError, index 0")))
      << ReadFile(m_dir + "/subC.log");
  third.Signal(SIGTERM);
  EXPECT_EQ(third.Wait(5000), 0);
}

// Datagrams that are malformed by construction: garbage that does not start
// a BER sequence, and every proper prefix of a valid GET (the outer length
// then runs past the end).
std::vector<std::vector<unsigned char>> MalformedSnmpMessages(size_t count) {
  const std::vector<unsigned char> get = {0x30, 0x26, 0x02, 0x01, 0x01, 0x04, 0x06, 'p',  'u',  'b',
                                          'l',  'i',  'c',  0xA0, 0x19, 0x02, 0x01, 0x01, 0x02, 0x01,
                                          0x00, 0x02, 0x01, 0x00, 0x30, 0x0E, 0x30, 0x0C, 0x06, 0x08,
                                          0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00, 0x05, 0x00};
  std::mt19937 random(12345);
  std::vector<std::vector<unsigned char>> messages;
  while (messages.size() < count) {
    if (messages.size() % 2 == 0) {
      std::vector<unsigned char> garbage(1 + random() % 200);
      for (unsigned char& octet : garbage) octet = static_cast<unsigned char>(random());
      if (garbage[0] == 0x30) garbage[0] = 0x31;
      messages.push_back(garbage);
    } else {
      messages.emplace_back(get.begin(), get.begin() + static_cast<long>(1 + random() % (get.size() - 1)));
    }
  }
  return messages;
}

TEST_F(ToolsEndToEnd, ThousandsOfBadDatagramsAreCountedAndServiceGoesOn) {
  auto counter = [&] {
    const std::string out = Snmp("snmpget", "-v2c -c public -Oqv", "snmpInASNParseErrs.0");
    return std::atoll(out.c_str());
  };
  const long long before = counter();
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  auto sendTo = [&](unsigned short port, const std::vector<unsigned char>& data) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  };
  const auto messages = MalformedSnmpMessages(3000);
  std::mt19937 random(777);
  const std::vector<unsigned char> ping = {0x04, 0x04, 'Q',  'V',  'T',  '1',  0x0D, 0x00, 0x82, 0x00, 0x0D, 0x02,
                                           0x01, 0x07, 0x02, 0x01, 0x00, 0x02, 0x01, 0x02, 0x30, 0x82, 0x00, 0x00};
  for (size_t i = 0; i < messages.size(); ++i) {
    sendTo(m_snmpPort, messages[i]);
    // The sub-agent port gets random octets and mutated pings (the PDU type
    // is kept, so no mutation can close or open a session).
    std::vector<unsigned char> mutated = ping;
    const size_t position = random() % mutated.size();
    if (position != 6) mutated[position] = static_cast<unsigned char>(random());
    sendTo(m_masterPort, i % 2 == 0 ? mutated : messages[i]);
    // Pace the flood so that no datagram is lost in a full receive queue:
    // every hundred, one synchronous request goes through.
    if (i % 100 == 99) counter();
  }
  ::close(fd);
  EXPECT_TRUE(WaitUntil([&] { return counter() - before >= static_cast<long long>(messages.size()); }, 5000));
  EXPECT_EQ(counter() - before, static_cast<long long>(messages.size()));
  EXPECT_TRUE(m_master.Running());
  EXPECT_TRUE(m_subA.Running());
  EXPECT_NE(Snmp("snmpget", "-v2c -c public", "qvtExShareOwner.8").find("STRING: sub B"), std::string::npos);
}

// A sub-agent process that stops (SIGSTOP) costs only its own objects: the master's objects and the other
// sub-agent's answer as before, every time, while managers keep asking the stopped one; its objects answer
// genErr, a GET-NEXT into them too (never a walk that ends early and looks complete); it answers again once
// it goes on.
TEST_F(ToolsEndToEnd, StoppedSubAgentCostsOnlyItsOwnObjects) {
  ASSERT_TRUE(m_subB.Signal(SIGSTOP));
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
  ASSERT_TRUE(m_subB.Signal(SIGCONT));
  EXPECT_TRUE(WaitUntil(
      [&] { return Snmp("snmpget", "-v2c -c public -Oqv", "qvtExShareValue.7") == "49\n"; }, 20000, 250))
      << ReadFile(m_dir + "/subB.log");
}

// A raw sub-agent: one socket on `ip`, talking to the master's port.
struct RawSubAgent {
  RawSubAgent(unsigned short masterPort, uint32_t ip) {
    master.SetIPv4(0x7F000001);
    master.SetPort(masterPort);
    BAddress local;
    local.SetIPv4(ip);
    EXPECT_EQ(socket.Initialize(local), 0);
  }
  // The answer's errorStatus (the answer in `answer`), -1 without one within 3 s.
  int Ask(BSAPdu request, BSAPdu* answer = nullptr) {
    request.requestId = ++lastRequestId;
    BSABuffer buffer;
    EXPECT_EQ(Encode(buffer, request), 0);
    unsigned length = buffer.Length();
    socket.SendTo(buffer.Data(), length, master, false);
    for (;;) {
      BSAPdu response;
      length = buffer.Capacity();
      BAddress from;
      if (socket.RecvFrom(buffer.Data(), length, from, 3) != 0) return -1;
      buffer.SetLength(length);
      if (Decode(buffer, response) != 0 || response.requestId != request.requestId) continue;
      if (answer != nullptr) *answer = response;
      return response.errorStatus;
    }
  }
  unsigned Open(int processingTime) {
    BSAPdu open(SA_PDU_OPEN_SESSION), answer;
    BObjectSyntax text, seconds;
    text.SetOctets("raw");
    seconds.SetInt(processingTime);
    open.varBindList.Append(BSAOIDs::Instance()->oidName, text);
    open.varBindList.Append(BSAOIDs::Instance()->oidMaxProcTime, seconds);
    EXPECT_EQ(Ask(open, &answer), 0);
    return answer.sessionId;
  }
  BSAPdu Registration(ESAPduType type, unsigned session, const char* oid) {
    BSAPdu pdu(type, session, 0);
    BObjectSyntax handlerType, name, subtree;
    handlerType.SetInt(2);
    name.SetOctets("raw");
    subtree.SetObjectId(BObjectIdentifier(oid));
    pdu.varBindList.Append(BSAOIDs::Instance()->oidHandlerType, handlerType);
    pdu.varBindList.Append(BSAOIDs::Instance()->oidName, name);
    pdu.varBindList.Append(BSAOIDs::Instance()->oidSubtree, subtree);
    return pdu;
  }
  BAddress master;
  BSASocket socket{2048, 3};
  unsigned lastRequestId = 0;
};

// The session id of the sub-agent described `description`, as the master logged its opening.
unsigned LoggedSessionId(const std::string& log, const std::string& description) {
  std::smatch match;
  const std::regex opened("sub-agent session (\\d+) \\('" + description + "'");
  return std::regex_search(log, match, opened) ? static_cast<unsigned>(std::stoul(match[1])) : 0;
}

// A sub-agent on another host can neither take over the master's objects or another host's subtree, nor
// speak for another sub-agent's session; each refusal is logged with the OID and the sender.
TEST_F(ToolsEndToEnd, ASubAgentOnAnotherHostCannotTakeOverOrCloseAnother) {
  RawSubAgent intruder(m_masterPort, 0x7F000002);
  const unsigned own = intruder.Open(1);
  const unsigned victim = LoggedSessionId(ReadFile(m_dir + "/master.log"), "sub A");
  ASSERT_NE(victim, 0u) << ReadFile(m_dir + "/master.log");
  EXPECT_EQ(intruder.Ask(intruder.Registration(SA_PDU_REGISTER, own, "1.3.6.1.2.1.1.1")), SA_WIRE_REQUEST_DENIED);
  EXPECT_EQ(intruder.Ask(intruder.Registration(SA_PDU_REGISTER, own, "1.3.6.1.4.1.32473.1.1.1.1")),
            SA_WIRE_REQUEST_DENIED);
  EXPECT_EQ(intruder.Ask(intruder.Registration(SA_PDU_UNREGISTER, victim, "1.3.6.1.4.1.32473.1.1.1")),
            SA_WIRE_NOT_OPEN);
  EXPECT_EQ(intruder.Ask(BSAPdu(SA_PDU_CLOSE_SESSION, victim, 0)), SA_WIRE_NOT_OPEN);
  EXPECT_EQ(Snmp("snmpget", "-v2c -c public -Oqv", "sysDescr.0 qvtExDescr.0"), "QVT master agent\nsub A\n");
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string log = ReadFile(m_dir + "/master.log");
        return log.find("registrationsProtected: registration of 1.3.6.1.2.1.1.1 from 127.0.0.2:") !=
                   std::string::npos &&
               log.find("registrationsOverlap: registration of 1.3.6.1.4.1.32473.1.1.1.1 from 127.0.0.2:") !=
                   std::string::npos &&
               log.find("wrongAddress: requests naming a session that another address opened: 127.0.0.2:") !=
                   std::string::npos;
      },
      3000))
      << ReadFile(m_dir + "/master.log");
}

// A sub-agent that announces the longest processing time and never answers holds no more than its own
// requests, each at most MaxWait; the master's objects and the example sub-agents answer meanwhile, and
// SIGTERM stops the master at once, whatever the tarpit does.
TEST_F(ToolsEndToEnd, TarpitSubAgentHoldsNoThreadsAndCannotDelayTheStop) {
  RawSubAgent tarpit(m_masterPort, 0x7F000001);
  const unsigned session = tarpit.Open(3599);
  ASSERT_EQ(tarpit.Ask(tarpit.Registration(SA_PDU_REGISTER, session, "1.3.6.1.4.1.32473.9")), 0);
  std::vector<std::future<std::string>> stuck;
  for (int i = 0; i < 8; ++i) {
    stuck.push_back(std::async(std::launch::async, [&, i] {
      return Snmp("snmpget", "-v2c -c public -t 8", "1.3.6.1.4.1.32473.9.1." + std::to_string(i));
    }));
  }
  int answered = 0;
  for (int i = 0; i < 10; ++i) {
    answered += Snmp("snmpget", "-v2c -c public -t 1 -Oqv", "sysDescr.0 qvtExDescr.0 qvtExShareValue.7") ==
                "QVT master agent\nsub A\n49\n";
  }
  EXPECT_EQ(answered, 10);
  ASSERT_TRUE(m_master.Signal(SIGTERM));
  EXPECT_EQ(m_master.Wait(/*ms=*/2000), 0) << ReadFile(m_dir + "/master.log");
  for (auto& request : stuck) {
    const std::string out = request.get();
    EXPECT_TRUE(out.find("genErr") != std::string::npos || out.find("Timeout") != std::string::npos) << out;
  }
}

}  // namespace
}  // namespace QVT::test
