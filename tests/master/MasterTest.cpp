// BSAMaster as a whole: the real program serving a sub-agent, the configuration, the index registry and
// notification forwarding.
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "MasterTestSupport.h"
#include "RecordingTrapSender.h"

namespace QVT::test {
namespace {

// "<syntax letter><value>": i INTEGER, g Gauge32, t TimeTicks, c Counter32, s OCTET STRING,
// o OBJECT IDENTIFIER, p IpAddress 10.0.0.<n>.
BObjectSyntax Value(const std::string& text) {
  BObjectSyntax s;
  const std::string v = text.substr(1);
  const auto n = static_cast<uint32_t>(v.empty() || !(isdigit(v[0]) || v[0] == '-') ? 0 : std::stoll(v));
  if (text[0] == 'i') s.SetInt(static_cast<int>(n));
  if (std::string("gtc").find(text[0]) != std::string::npos)
    s.SetUnsigned(text[0] == 'g' ? ASN_GAUGE32 : text[0] == 't' ? ASN_TIMETICKS : ASN_COUNTER32, n);
  if (text[0] == 's') s.SetOctets(v);
  if (text[0] == 'o') s.SetObjectId(BObjectIdentifier(v.c_str()));
  if (text[0] == 'p') s.SetIpAddress(BIpAddress(10, 0, 0, static_cast<unsigned char>(n)));
  return s;
}

unsigned Open(BSAMaster& master) {  // a session opened by a direct call, with no address; its id
  BSAPdu request = OpenPdu(std::nullopt), response;
  EXPECT_EQ(master.OpenSession(request, response), 0);
  return response.sessionId;
}

// The real program serves a sub-agent on its configured port until SIGTERM ends it with status 0.
TEST(MasterProgramTest, ServesASubAgentUntilSigterm) {
  const std::string dir = MakeTempDir("qvt-master-test-");
  const unsigned short port = FreeUdpPort();
  WriteFile(dir + "/qvt.conf", "[SAMaster]\nPort=" + std::to_string(port) +
                                   "\n[Agent]\nListenAddress=127.0.0.1:" + std::to_string(FreeUdpPort()) + "\n");
  ChildProcess program;
  ASSERT_TRUE(program.Start({QV_MASTER_AGENT_PATH, "-c", dir + "/qvt.conf"}, dir + "/log"));
  SubAgent agent(port);
  BSAPdu answer;
  int opened = -1;  // the program needs a moment to bind (longer under sanitizers)
  for (int attempt = 0; attempt < 50 && opened == -1; ++attempt) opened = agent.Ask(OpenPdu(1), &answer, 200);
  ASSERT_EQ(opened, 0) << ReadFile(dir + "/log");
  EXPECT_EQ(agent.Ask(BSAPdu(SA_PDU_PING, answer.sessionId, 0)), 0);
  EXPECT_EQ(agent.Ask(BSAPdu(SA_PDU_CLOSE_SESSION, answer.sessionId, 0)), 0);
  ASSERT_TRUE(program.Signal(SIGTERM));
  EXPECT_EQ(program.Wait(/*ms=*/5000), 0) << ReadFile(dir + "/log");
  const std::string log = ReadFile(dir + "/log"), session = "session " + std::to_string(answer.sessionId) + " (";
  EXPECT_NE(log.find(session), log.rfind(session)) << log;  // opened, then closed
  EXPECT_NE(log.find(") opened; answers awaited 1 s"), std::string::npos) << log;
  EXPECT_NE(log.find(") closed by the sub-agent; 0 subtree(s) withdrawn"), std::string::npos) << log;
  std::filesystem::remove_all(dir);
}

TEST(MasterConfigTest, PortStartAndSave) {
  BMibHandler mib;
  BSAMaster master(&mib, nullptr);
  EXPECT_EQ(master.Start(), -1);  // before Init
  BMemoryStore saved;
  int port = 0;
  EXPECT_EQ(master.SaveToNV(nullptr) + master.SaveToNV(&saved) + saved.GetInt("SAMaster", "Port", &port, 0), 0);
  EXPECT_EQ(port, 10001);
  const std::tuple<const char*, int, unsigned short> rows[] = {{nullptr, NV_ERR_NOT_FOUND, 10001},
                                                               {"x", NV_ERR_BAD_VALUE, 10001},
                                                               {"1", 0, 10001},
                                                               {"2", 0, 2},
                                                               {"65534", 0, 65534},
                                                               {"65535", 0, 10001},
                                                               {"-5", 0, 10001},
                                                               {"70000", 0, 10001}};
  for (const auto& [stored, result, used] : rows) {
    BMemoryStore store;  // null: absent
    if (stored != nullptr) store.SetString("SAMaster", "Port", stored, 0, 0);
    EXPECT_EQ(master.InitFromNV(&store), result) << stored;
    EXPECT_EQ(master.Port(), used) << stored;
  }
}

// Every key is read, or refused with a one-line reason that names it and its value; the first bad one stops
// the reading (and Init).
TEST(MasterConfigTest, SettingsAreReadOrRefusedByName) {
  const std::tuple<const char*, const char*, const char*> rows[] = {
      {"MaxWait", "7", ""},
      {"MaxWait", "0", "MaxWait: '0' is outside 1..3599"},
      {"MaxWait", "x", "MaxWait: 'x' is not a whole number"},
      {"MaxSessions", "0", "MaxSessions: '0' is outside 1..65536"},
      {"MaxRangeInstances", "65537", "MaxRangeInstances: '65537' is outside 1..65536"},
      {"MaxNotifyRate", "-1", "MaxNotifyRate: '-1' is outside 0..1000000"},
      {"AllowFrom", "10.0.0.0/8 fd00::/8", ""},
      {"AllowFrom", "10.0.0.300", "AllowFrom: '10.0.0.300' is not an IP address or prefix"},
      {"AllowFrom", "10.0.0.0/33", "AllowFrom: '10.0.0.0/33' is not an IP address or prefix"},
      {"AllowFrom", " , ", "AllowFrom: empty: no sub-agent could reach the master"},
      {"AllowOverlap", "Yes", ""},
      {"AllowOverlap", "maybe", "AllowOverlap: 'maybe' is not yes or no"},
      {"RegisterAllow", ".1.3.6.1.4.1.32473, 1.3.6.1.3", ""},
      {"RegisterAllow", "1.3.x", "RegisterAllow: '1.3.x' is not an OID"},
      {"ListenAddress", "::1", ""},
      {"ListenAddress", "no.such.host.invalid", "ListenAddress: 'no.such.host.invalid' is not an IP address"},
  };
  for (const auto& [key, value, error] : rows) {
    SCOPED_TRACE(std::string(key) + "=" + value);
    BMemoryStore store;
    store.SetString("SAMaster", key, value, 0, 0);
    BSAMasterSettings settings;
    BString why;
    EXPECT_EQ(settings.Read(store, why), error[0] == 0);
    EXPECT_EQ(why.str().substr(0, std::strlen(error)), error);
    if (error[0] != 0) {
      BMibHandler mib;
      BSAMaster master(&mib, nullptr);
      EXPECT_EQ(master.Init(&store), SA_ERR_BAD_VALUE);
      EXPECT_EQ(master.ConfigError().str(), why.str());
    }
  }
  BMemoryStore store;
  store.SetString("SAMaster", "AllowFrom", "10.1.2.3/8, ::ffff:192.168.1.0/120", 0, 0);
  store.SetString("SAMaster", "RegisterAllow", ".1.3.6.1.4.1.32473, 1.3.6.1.3", 0, 0);
  store.SetString("SAMaster", "MaxWait", "7", 0, 0);
  BSAMasterSettings settings;
  BString why;
  ASSERT_TRUE(settings.Read(store, why));
  EXPECT_EQ(settings.allowFrom.ToString().str(), "10.0.0.0/8, 192.168.1.0/24");
  EXPECT_EQ(settings.registerAllow.size(), 2u);
  EXPECT_EQ(settings.maxWait, 7);
  EXPECT_EQ(BSAMasterSettings().allowFrom.ToString().str(), "127.0.0.0/8, ::1/128");  // the default
}

// Steps, each "<op> <varbinds> > <errorStatus> <errorIndex> [<the answer's varbinds>]". op: v, n, y, b
// allocate the given values, new values, any values, both flags; d deallocates; "!" before op sends from a
// session not open. A varbind is "<index name>=<Value()>", the names 1 and 2 under 1.3.6.1.3.7.
const std::pair<const char*, std::vector<const char*>> kScenarios[] = {
    {"NewCountsFrom1AnyIsNewWithNothingReleased",
     {"n 1=i0 > 0 0 1=1", "n 1=i0 2=i0 > 0 0 1=2 2=1", "y 1=i9 > 0 0 1=3", "b 1=i9 > 0 0 1=4"}},
    {"NewStepsOverReleasedAnyReusesThem",
     {"v 1=i1 1=i2 1=i3 > 0 0", "d 1=i3 > 0 0 1=3", "n 1=i0 > 0 0 1=4", "y 1=i0 > 0 0 1=3", "d 1=i3 1=i2 > 0 0",
      "n 1=i0 > 0 0 1=5", "d 1=i4 1=i5 > 0 0", "n 1=i0 > 0 0 1=6", "y 1=i0 > 0 0 1=2"}},
    {"NewAfterEverythingWasReleased", {"v 1=i5 > 0 0", "d 1=i5 > 0 0", "n 1=i0 > 0 0 1=6"}},
    {"GivenValueTwice", {"v 1=i7 > 0 0 1=7", "v 1=i7 > 259 1", "d 1=i7 > 0 0"}},
    {"SameValueTwiceInOneRequest", {"v 2=i1 1=i7 1=i7 > 259 3", "v 1=i7 > 259 1", "v 2=i1 > 259 1"}},
    {"ReleaseOfWhatIsNotAllocated",
     {"d 1=i1 > 261 1", "v 1=i1 > 0 0", "d 1=i2 > 261 1", "d 1=i1 1=i1 > 261 2", "v 1=i1 > 0 0"}},
    {"ValuesWithoutKey",  // refused by the test pass while the name has allocations, else by the allocation
     {"v 1=s > 258 1", "v 1=o > 258 1", "v 1=c4 > 258 1", "v 1=i1 > 0 0", "v 1=s > 261 1", "d 1=s > 258 1",
      "d 1=i1 > 0 0", "v 1=s > 258 1"}},
    {"KeysOfStringsOidsAndAddresses",
     {"v 1=sab 1=sabc 1=o1.2.3 1=p1 > 0 0", "v 1=sab > 259 1", "v 1=o1.2.3 > 259 1", "v 1=p2 1=p1 > 259 2",
      "d 1=p2 > 261 1", "d 1=sabc 1=o1.2.3 1=sab 1=p1 > 0 0"}},
    {"OnlyCountableSyntaxesAreChosen",
     {"n 1=i0 2=sa > 260 2", "y 1=o1.2 > 260 1", "n 1=c0 > 260 1", "v 1=g9 > 0 0", "d 1=g9 > 0 0",
      "y 1=i0 2=t100 > 0 0 1=Gauge32: 9 2=Timeticks: (1) 0:00:00.01", "n 2=i0 > 0 0 2=2"}},
    {"NewCountsFromTheFirstArcOfAStringsKey",  // "ab" is 97.98: 98 is free, and then taken
     {"v 1=sab > 0 0", "n 1=i0 > 0 0 1=98", "v 1=i98 > 259 1", "n 1=i0 > 0 0 1=99", "d 1=i98 > 0 0"}},
    {"IndicesNeedAnOpenSession", {"v 1=i4 > 0 0", "!v 1=i5 > 257 0", "!d 1=i4 > 257 0", "d 1=i4 > 0 0"}},
};

TEST(IndexRegistryTest, Scenarios) {
  for (const auto& [name, steps] : kScenarios) {
    BMibHandler mib;
    BSAMaster master(&mib, nullptr);
    const unsigned session = Open(master);
    for (const char* step : steps) {
      std::istringstream words(step);
      std::string op, word, expected;
      words >> op;
      const bool release = op.back() == 'd';
      BSAPdu request(release ? SA_PDU_INDEX_DEALLOCATE : SA_PDU_INDEX_ALLOCATE, op[0] == '!' ? 999 : session, 1),
          response;
      request.flags = static_cast<uint8_t>(std::string("v?n?y?b").find(op.back()));  // ignored by deallocations
      while (words >> word && word != ">") request.varBindList.Append(Oid(word.substr(0, 1)), Value(word.substr(2)));
      std::getline(words, expected);
      const int status = release ? master.IndexDealloc(request, response) : master.IndexAlloc(request, response);
      const std::string answered = expected.find('=') != std::string::npos ? " " + Texts(response.varBindList) : "";
      EXPECT_EQ(" " + std::to_string(status) + " " + std::to_string(response.errorIndex) + answered, expected)
          << name << ": " << step;
    }
  }
}

// Checked in order: the session, a sender, the trap OID first. The trap the sender gets has the rest.
TEST(MasterNotifyTest, ChecksInOrderAndForwardsTheVarbinds) {
  BMibHandler mib;
  BSAMaster master(&mib, nullptr);
  RecordingTrapSender sender, failing(-1);
  BSAPdu notify(SA_PDU_NOTIFY, 77, 1), bad;
  notify.varBindList.Append(BObjectIdentifier("1.3.6.1.6.3.1.1.4.1.0"), Value("o1.3.6.1.4.1.32473.1.0.1"));
  EXPECT_EQ(master.Notify(notify), SA_WIRE_NOT_OPEN);
  notify.sessionId = Open(master);
  EXPECT_EQ(master.Notify(notify), SA_WIRE_PROCESSING_ERROR);
  master.SetTrapSender(&sender);
  bad = BSAPdu(SA_PDU_NOTIFY, notify.sessionId, 2);
  EXPECT_EQ(master.Notify(bad), SA_WIRE_PROCESSING_ERROR);
  bad.varBindList.Append(BObjectIdentifier("1.3.6.1.6.3.1.1.4.1.0"), Value("i1"));
  EXPECT_EQ(master.Notify(bad) + master.Notify(notify), SA_WIRE_PROCESSING_ERROR);
  notify.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.1.3.1.2.1"), Value("srow"));
  notify.varBindList.Append(BObjectIdentifier("1.3.6.1.2.1.1.3.0"), Value("i12"));
  EXPECT_EQ(master.Notify(notify), 0);
  std::string traps;
  for (size_t i = 0; i < sender.Count(); ++i) {
    const auto& trap = dynamic_cast<const BSAMaster::SATrap&>(sender.At(i));
    traps += sender.ArgAt(i) + " " + std::to_string(trap.Version()) + " " + BSAMasterPeer::Short(trap.TrapOid()) + " " +
             Texts(trap.VarBinds()) + ";";
  }
  EXPECT_EQ(traps,
            "<null> 2 1.3.6.1.4.1.32473.1.0.1 ;<null> 2 1.3.6.1.4.1.32473.1.0.1 "
            "1.3.6.1.4.1.32473.1.3.1.2.1=STRING: \"row\" 1.3.6.1.2.1.1.3.0=12;");
  master.SetTrapSender(&failing);  // a failing sender does not change the answer
  EXPECT_EQ(master.Notify(notify), 0);
}

}  // namespace
}  // namespace QVT::test
