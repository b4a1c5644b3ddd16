// End-to-end tests of SNMPv3 with the Net-SNMP tools: the real
// qvt-master-agent with one user per authentication x privacy pair, the
// example sub-agent (rows 1-5), and snmpget, snmpwalk, snmpbulkwalk and
// snmpset -v3 against them; snmptrapd receives the master's v3 traps.
#include <gtest/gtest.h>

#include <cctype>
#include <csignal>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "EndToEndSupport.h"

namespace QVT::test {
namespace {

const char* const kAuths[] = {"MD5", "SHA", "SHA-224", "SHA-256", "SHA-384", "SHA-512"};
const char* const kPrivs[] = {"", "AES", "AES192", "AES256"};

std::string UserName(const char* auth, const char* priv) {
  std::string name = std::string("u") + auth + (*priv != 0 ? std::string("-") + priv : std::string());
  std::erase(name, '-');
  return name;
}

class V3EndToEnd : public ProgramsTest {
 protected:
  V3EndToEnd() : ProgramsTest("snmpget snmpwalk snmpbulkwalk snmpset", 1) {}

  void SetUp() override {
    ProgramsTest::SetUp();
    if (IsSkipped()) return;
    WriteMasterConf("v1,v2c,v3");
    StartMaster();
    ASSERT_TRUE(StartSubAgent("sub A", {"--rows", "1-5"}));
    ASSERT_TRUE(WaitUntil([&] { return Snmp("snmpget", "-v2c -c public -Oqv", "qvtExShareOwner.5") == "sub A\n"; },
                          15000, 200))
        << Log("master");
  }

  // `agentKeys`: more [Agent] lines.
  void WriteMasterConf(const std::string& versions, const std::string& agentKeys = "") {
    std::string conf = "[SAMaster]\nPort=" + std::to_string(m_masterPort) + "\n[Agent]\nListenAddress=127.0.0.1:" +
                       std::to_string(m_snmpPort) + "\nVersions=" + versions + "\n" + agentKeys;
    for (const char* auth : kAuths) {
      for (const char* priv : kPrivs) {
        conf += "[User " + UserName(auth, priv) + "]\nAuth=" + auth + "\nAuthPassword=authpass-" + auth +
                "\nAccess=write\n";
        if (*priv != 0) conf += std::string("Priv=") + priv + "\nPrivPassword=privpass-" + priv + "\n";
      }
    }
    conf += "[User reader]\nAuth=SHA\nAuthPassword=readerpass\nAccess=read\n";
    conf += "[User viewer]\nAuth=SHA\nAuthPassword=viewerpass\nView=1.3.6.1.2.1.1, 1.3.6.1.6.3.15\n";
    WriteFile(m_dir + "/master.conf", conf);
    std::string out;
    RunCommand("chmod 600 '" + m_dir + "/master.conf'", out);
  }

  void RestartMaster() {
    m_master->Signal(SIGTERM);
    ASSERT_EQ(m_master->Wait(10000), 0);
    StartMaster();
  }

  std::string Snmp(const std::string& tool, const std::string& options, const std::string& args) {
    return Ask("MIBS= SNMPCONFPATH=/nonexistent " + tool + " -Ln -M +" + kMibs + " -m +QVT-EXAMPLE-MIB -t 3 -r 1 " +
                   options,
               args);
  }
  static std::string V3(const char* user, const char* auth, const char* authPass, const char* priv = "",
                        const char* privPass = "") {
    std::string o = std::string("-v3 -u ") + user + " -a " + auth + " -A " + authPass;
    o += *priv != 0 ? std::string(" -l authPriv -x ") + priv + " -X " + privPass : std::string(" -l authNoPriv");
    return o;
  }
  // A usmStats or snmpEngine value as the reader sees it.
  long Value(const std::string& oid) {
    const std::string out = Snmp("snmpget", V3("reader", "SHA", "readerpass") + " -Oqv", oid);
    try {
      return std::stol(out);
    } catch (...) {
      ADD_FAILURE() << oid << ": " << out;
      return -1;
    }
  }

};

// Every pair the tools offer: GET of the master's own object and of a
// sub-agent's, a walk and a bulk walk of the sub-agent's table column, and
// a SET through the sub-agent, each at the user's level.
TEST_F(V3EndToEnd, EveryAuthAndPrivPairGetsWalksAndSets) {
  for (const char* auth : kAuths) {
    for (const char* priv : kPrivs) {
      const std::string user = UserName(auth, priv);
      SCOPED_TRACE(user);
      const std::string authPass = std::string("authpass-") + auth, privPass = std::string("privpass-") + priv;
      const std::string o = V3(user.c_str(), auth, authPass.c_str(), priv, privPass.c_str());
      EXPECT_EQ(Snmp("snmpget", o + " -Oqv", "1.3.6.1.2.1.1.1.0 qvtExShareOwner.3"), "QVT master agent\nsub A\n");
      EXPECT_EQ(Lines(Snmp("snmpwalk", o + " -Oqv", "qvtExShareOwner")).size(), 5u);
      EXPECT_EQ(Lines(Snmp("snmpbulkwalk", o + " -Oqv", "qvtExShareOwner")).size(), 5u);
      EXPECT_EQ(Snmp("snmpset", o + " -Oqv", "1.3.6.1.2.1.1.6.0 s " + user), user + "\n");
      EXPECT_EQ(Snmp("snmpget", o + " -Oqv", "1.3.6.1.2.1.1.6.0"), user + "\n");
    }
  }
}

TEST_F(V3EndToEnd, ReadUserCannotSetTheViewHidesWhatItShouldAndStaleTimeIsResynchronized) {
  const std::string reader = V3("reader", "SHA", "readerpass");
  EXPECT_NE(Snmp("snmpset", reader, "1.3.6.1.2.1.1.6.0 s nowhere").find("authorizationError"), std::string::npos);
  EXPECT_EQ(Snmp("snmpget", reader + " -Oqv", "1.3.6.1.2.1.1.6.0"), "\n");

  const std::string viewer = V3("viewer", "SHA", "viewerpass");
  EXPECT_EQ(Snmp("snmpget", viewer + " -Oqv", "1.3.6.1.2.1.1.5.0 qvtExShareOwner.3 1.3.6.1.2.1.11.1.0"),
            "\nNo Such Object available on this agent at this OID\n"
            "No Such Object available on this agent at this OID\n");
  // The walk of everything steps over the sub-agent's objects, the snmp
  // group and snmpEngine: the system group and usmStats, then the end.
  const std::string walk = Snmp("snmpbulkwalk", viewer + " -On", "1.3.6.1");
  EXPECT_EQ(walk.find("\n.1.3.6.1.4.1"), std::string::npos) << walk;
  EXPECT_EQ(walk.find("\n.1.3.6.1.2.1.11."), std::string::npos) << walk;
  EXPECT_EQ(walk.find("\n.1.3.6.1.6.3.10."), std::string::npos) << walk;
  EXPECT_NE(walk.find(".1.3.6.1.2.1.1.1.0"), std::string::npos) << walk;
  EXPECT_NE(walk.find(".1.3.6.1.6.3.15.1.1.6.0"), std::string::npos) << walk;
  EXPECT_EQ(Lines(Snmp("snmpwalk", viewer + " -On", "1.3.6.1")).size(), Lines(walk).size());

  // A request with a stale engine time (-Z) draws an authenticated
  // notInTimeWindows Report, from which the tool takes the engine's time
  // and asks again.
  std::string engineId = Snmp("snmpget", reader + " -Oqvx", "1.3.6.1.6.3.10.2.1.1.0");
  std::erase_if(engineId, [](char c) { return !std::isxdigit(static_cast<unsigned char>(c)); });
  ASSERT_GE(engineId.size(), 10u) << engineId;
  const long windows = Value("1.3.6.1.6.3.15.1.1.2.0");
  EXPECT_EQ(Snmp("snmpget", reader + " -e 0x" + engineId + " -Z 99,99 -Oqv",
                 "1.3.6.1.2.1.1.1.0"),
            "QVT master agent\n");
  EXPECT_EQ(Value("1.3.6.1.6.3.15.1.1.2.0"), windows + 1);
}

// A restart counts a boot; with Versions=v3 the v1 and v2c requests go unanswered, counted as bad versions.
TEST_F(V3EndToEnd, RestartCountsABootAndVersionsV3RefusesV1AndV2c) {
  const long boots = Value("1.3.6.1.6.3.10.2.1.2.0");
  ASSERT_GE(boots, 1);
  WriteMasterConf("v3");
  RestartMaster();
  ASSERT_TRUE(WaitUntil([&] { return Value("1.3.6.1.6.3.10.2.1.2.0") >= boots + 1; }, 10000, 200));
  EXPECT_EQ(Value("1.3.6.1.6.3.10.2.1.2.0"), boots + 1);
  const long badVersions = Value("1.3.6.1.2.1.11.3.0");
  EXPECT_NE(Snmp("snmpget", "-v2c -c public", "1.3.6.1.2.1.1.1.0").find("Timeout"), std::string::npos);
  EXPECT_NE(Snmp("snmpget", "-v1 -c public", "1.3.6.1.2.1.1.1.0").find("Timeout"), std::string::npos);
  EXPECT_GE(Value("1.3.6.1.2.1.11.3.0"), badVersions + 2);
}

// A notification of the sub-agent (a row created) reaches snmptrapd as an
// authPriv SNMPv3 trap of TrapUser, which snmptrapd accepts only with that
// user's keys localized to the master's engine ID.
TEST_F(V3EndToEnd, SubAgentNotificationReachesSnmptrapdAsAnAuthPrivV3Trap) {
  std::string out;
  if (RunCommand("test -x /usr/sbin/snmptrapd", out) != 0) GTEST_SKIP() << "snmptrapd is not installed";
  const std::string engineId = "80007ED9050A0B0C0D0E0F1011";
  const unsigned short trapPort = FreeUdpPort();
  WriteFile(m_dir + "/snmptrapd.conf", "[snmp] persistentDir " + m_dir + "/trapd-state\ncreateUser -e 0x" + engineId +
                                           " trapper SHA-256 trap-auth-pass AES trap-priv-pass\n"
                                           "authUser log trapper authPriv\n");
  ASSERT_TRUE(Start({"/usr/sbin/snmptrapd", "-f", "-Lf", m_dir + "/traps.log", "-c", m_dir + "/snmptrapd.conf", "-C",
                     "-M", "+" + kMibs, "-m", "+QVT-EXAMPLE-MIB", "udp:127.0.0.1:" + std::to_string(trapPort)},
                    "snmptrapd.out"));
  WriteMasterConf("v1,v2c,v3", "EngineID=" + engineId + "\nTrapSink=v3:127.0.0.1:" + std::to_string(trapPort) +
                                   "\nTrapUser=trapper\n[User trapper]\nAuth=SHA-256\nAuthPassword=trap-auth-pass\n"
                                   "Priv=AES\nPrivPassword=trap-priv-pass\nLevel=authPriv\n");
  RestartMaster();
  ASSERT_TRUE(WaitUntil([&] { return Snmp("snmpget", "-v2c -c public -Oqv", "qvtExShareOwner.5") == "sub A\n"; },
                        15000, 200))
      << Log("master");
  ASSERT_NE(Log("master").find("SNMPv3 engine " + engineId), std::string::npos)
      << Log("master");

  const std::string o = V3("uSHA256AES", "SHA-256", "authpass-SHA-256", "AES", "privpass-AES");
  const std::string created = Snmp("snmpset", o, "qvtExDynRowStatus.42 i createAndGo qvtExDynName.42 s answer");
  EXPECT_EQ(created.find("Error"), std::string::npos) << created;
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string traps = Log("traps");
        return traps.find("qvtExRowCreated") != std::string::npos &&
               traps.find("qvtExDynName.42 = STRING: answer") != std::string::npos;
      },
      10000, 100))
      << Log("traps") << ReadFile(m_dir + "/snmptrapd.out") << Log("master");
}

}  // namespace
}  // namespace QVT::test
