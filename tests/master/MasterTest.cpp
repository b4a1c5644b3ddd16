// BSAMaster as a whole: the configuration, the index registry and
// notification forwarding.
#include <cstring>

#include "MasterTestSupport.h"
#include "RecordingTrapSender.h"

namespace QVT::test {
namespace {

unsigned Open(BSAMaster& master) {  // a session opened by a direct call, with no address; its id
  BSAPdu request = OpenPdu(std::nullopt), response;
  EXPECT_EQ(master.OpenSession(request, response), 0);
  return response.sessionId;
}

// The port: 2..65534, else the default 10001; what is used is what SaveToNV stores. Start needs Init first.
TEST(MasterConfigTest, PortStartAndSave) {
  BMibHandler mib;
  BSAMaster master(&mib, nullptr);
  EXPECT_EQ(master.Start(), -1);
  const std::tuple<const char*, int, unsigned short> rows[] = {
      // clang-format off
      {nullptr, NV_ERR_NOT_FOUND, 10001}, {"x", NV_ERR_BAD_VALUE, 10001}, {"1", 0, 10001},  {"2", 0, 2},
      {"65534", 0, 65534},                {"65535", 0, 10001},            {"-5", 0, 10001}, {"70000", 0, 10001},
      // clang-format on
  };
  for (const auto& [stored, result, used] : rows) {
    SCOPED_TRACE(stored != nullptr ? stored : "absent");
    BMemoryStore store, saved;
    if (stored != nullptr) store.SetString("SAMaster", "Port", stored, 0, 0);
    EXPECT_EQ(master.InitFromNV(&store), result);
    EXPECT_EQ(master.Port(), used);
    int port = 0;
    EXPECT_EQ(master.SaveToNV(&saved), 0);
    EXPECT_EQ(saved.GetInt("SAMaster", "Port", &port, 0), 0);
    EXPECT_EQ(port, used);
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

const auto Ip = [](unsigned char last) { return VALUE(SetIpAddress(BIpAddress(10, 0, 0, last))); };

// An index request of the registry: allocate given, new, any (or, with both flags, new) values, or
// release them; each value under the index name 1 or 2 (below 1.3.6.1.3.7).
enum class IndexOp { kGiven, kNew, kAny, kBoth, kRelease };

struct IndexStep {
  IndexOp op;
  std::vector<std::pair<int, BObjectSyntax>> values;
  int status;
  int errorIndex;
  std::vector<BObjectSyntax> answered = {};  // when not empty: the values the answer carries
  bool fromClosedSession = false;
};

struct IndexScenario {
  const char* name;
  std::vector<IndexStep> steps;
};

const BObjectSyntax kNone = Int(0);  // the value a new or any request leaves to the master

const IndexScenario kIndexScenarios[] = {
    {"new counts from 1; any is new with nothing released",
     {{IndexOp::kNew, {{1, kNone}}, 0, 0, {Int(1)}},
      {IndexOp::kNew, {{1, kNone}, {2, kNone}}, 0, 0, {Int(2), Int(1)}},
      {IndexOp::kAny, {{1, Int(9)}}, 0, 0, {Int(3)}},
      {IndexOp::kBoth, {{1, Int(9)}}, 0, 0, {Int(4)}}}},
    {"new steps over released values; any takes them again",
     {{IndexOp::kGiven, {{1, Int(1)}, {1, Int(2)}, {1, Int(3)}}, 0, 0},
      {IndexOp::kRelease, {{1, Int(3)}}, 0, 0, {Int(3)}},
      {IndexOp::kNew, {{1, kNone}}, 0, 0, {Int(4)}},
      {IndexOp::kAny, {{1, kNone}}, 0, 0, {Int(3)}},
      {IndexOp::kRelease, {{1, Int(3)}, {1, Int(2)}}, 0, 0},
      {IndexOp::kNew, {{1, kNone}}, 0, 0, {Int(5)}},
      {IndexOp::kRelease, {{1, Int(4)}, {1, Int(5)}}, 0, 0},
      {IndexOp::kNew, {{1, kNone}}, 0, 0, {Int(6)}},
      {IndexOp::kAny, {{1, kNone}}, 0, 0, {Int(2)}}}},
    {"new after everything was released",
     {{IndexOp::kGiven, {{1, Int(5)}}, 0, 0},
      {IndexOp::kRelease, {{1, Int(5)}}, 0, 0},
      {IndexOp::kNew, {{1, kNone}}, 0, 0, {Int(6)}}}},
    {"a given value twice",
     {{IndexOp::kGiven, {{1, Int(7)}}, 0, 0, {Int(7)}},
      {IndexOp::kGiven, {{1, Int(7)}}, SA_WIRE_INDEX_ALREADY_ALLOCATED, 1},
      {IndexOp::kRelease, {{1, Int(7)}}, 0, 0}}},
    {"the same value twice in one request: the ones before it stay",
     {{IndexOp::kGiven, {{2, Int(1)}, {1, Int(7)}, {1, Int(7)}}, SA_WIRE_INDEX_ALREADY_ALLOCATED, 3},
      {IndexOp::kGiven, {{1, Int(7)}}, SA_WIRE_INDEX_ALREADY_ALLOCATED, 1},
      {IndexOp::kGiven, {{2, Int(1)}}, SA_WIRE_INDEX_ALREADY_ALLOCATED, 1}}},
    {"release of what is not allocated",
     {{IndexOp::kRelease, {{1, Int(1)}}, SA_WIRE_INDEX_NOT_ALLOCATED, 1},
      {IndexOp::kGiven, {{1, Int(1)}}, 0, 0},
      {IndexOp::kRelease, {{1, Int(2)}}, SA_WIRE_INDEX_NOT_ALLOCATED, 1},
      {IndexOp::kRelease, {{1, Int(1)}, {1, Int(1)}}, SA_WIRE_INDEX_NOT_ALLOCATED, 2},
      {IndexOp::kGiven, {{1, Int(1)}}, 0, 0}}},
    // Refused by the test pass while the name has allocations, else by the allocation.
    {"values without a key",
     {{IndexOp::kGiven, {{1, Str("")}}, SA_WIRE_INDEX_WRONG_TYPE, 1},
      {IndexOp::kGiven, {{1, OidValue("")}}, SA_WIRE_INDEX_WRONG_TYPE, 1},
      {IndexOp::kGiven, {{1, Unsigned(ASN_COUNTER32, 4)}}, SA_WIRE_INDEX_WRONG_TYPE, 1},
      {IndexOp::kGiven, {{1, Int(1)}}, 0, 0},
      {IndexOp::kGiven, {{1, Str("")}}, SA_WIRE_INDEX_NOT_ALLOCATED, 1},
      {IndexOp::kRelease, {{1, Str("")}}, SA_WIRE_INDEX_WRONG_TYPE, 1},
      {IndexOp::kRelease, {{1, Int(1)}}, 0, 0},
      {IndexOp::kGiven, {{1, Str("")}}, SA_WIRE_INDEX_WRONG_TYPE, 1}}},
    {"keys of strings, OIDs and addresses",
     {{IndexOp::kGiven, {{1, Str("ab")}, {1, Str("abc")}, {1, OidValue("1.2.3")}, {1, Ip(1)}}, 0, 0},
      {IndexOp::kGiven, {{1, Str("ab")}}, SA_WIRE_INDEX_ALREADY_ALLOCATED, 1},
      {IndexOp::kGiven, {{1, OidValue("1.2.3")}}, SA_WIRE_INDEX_ALREADY_ALLOCATED, 1},
      {IndexOp::kGiven, {{1, Ip(2)}, {1, Ip(1)}}, SA_WIRE_INDEX_ALREADY_ALLOCATED, 2},
      {IndexOp::kRelease, {{1, Ip(2)}}, SA_WIRE_INDEX_NOT_ALLOCATED, 1},
      {IndexOp::kRelease, {{1, Str("abc")}, {1, OidValue("1.2.3")}, {1, Str("ab")}, {1, Ip(1)}}, 0, 0}}},
    {"only countable syntaxes are chosen",
     {{IndexOp::kNew, {{1, kNone}, {2, Str("a")}}, SA_WIRE_INDEX_NONE_AVAILABLE, 2},
      {IndexOp::kAny, {{1, OidValue("1.2")}}, SA_WIRE_INDEX_NONE_AVAILABLE, 1},
      {IndexOp::kNew, {{1, Unsigned(ASN_COUNTER32, 0)}}, SA_WIRE_INDEX_NONE_AVAILABLE, 1},
      {IndexOp::kGiven, {{1, Unsigned(ASN_GAUGE32, 9)}}, 0, 0},
      {IndexOp::kRelease, {{1, Unsigned(ASN_GAUGE32, 9)}}, 0, 0},
      {IndexOp::kAny,
       {{1, kNone}, {2, Unsigned(ASN_TIMETICKS, 100)}},
       0,
       0,
       {Unsigned(ASN_GAUGE32, 9), Unsigned(ASN_TIMETICKS, 1)}},
      {IndexOp::kNew, {{2, kNone}}, 0, 0, {Int(2)}}}},
    {"new counts on from the first arc of a string's key",  // "ab" is 97.98: 98 is free, and then taken
     {{IndexOp::kGiven, {{1, Str("ab")}}, 0, 0},
      {IndexOp::kNew, {{1, kNone}}, 0, 0, {Int(98)}},
      {IndexOp::kGiven, {{1, Int(98)}}, SA_WIRE_INDEX_ALREADY_ALLOCATED, 1},
      {IndexOp::kNew, {{1, kNone}}, 0, 0, {Int(99)}},
      {IndexOp::kRelease, {{1, Int(98)}}, 0, 0}}},
    {"past the highest number, new takes the lowest free one",
     {{IndexOp::kGiven, {{1, Int(1)}, {1, Unsigned(ASN_GAUGE32, 4294967295u)}}, 0, 0},
      {IndexOp::kNew, {{1, kNone}}, 0, 0, {Int(2)}},
      {IndexOp::kNew, {{1, kNone}}, 0, 0, {Int(3)}}}},
    {"no SNMP index has more than 128 sub-identifiers",
     {{IndexOp::kGiven, {{1, Str(std::string(128, 'a'))}}, 0, 0},
      {IndexOp::kGiven, {{2, Str(std::string(129, 'a'))}}, SA_WIRE_INDEX_WRONG_TYPE, 1}}},
    {"index requests need an open session",
     {{IndexOp::kGiven, {{1, Int(4)}}, 0, 0},
      {IndexOp::kGiven, {{1, Int(5)}}, SA_WIRE_NOT_OPEN, 0, {}, true},
      {IndexOp::kRelease, {{1, Int(4)}}, SA_WIRE_NOT_OPEN, 0, {}, true},
      {IndexOp::kRelease, {{1, Int(4)}}, 0, 0}}},
};

TEST(IndexRegistryTest, Scenarios) {
  for (const IndexScenario& scenario : kIndexScenarios) {
    SCOPED_TRACE(scenario.name);
    BMibHandler mib;
    BSAMaster master(&mib, nullptr);
    const unsigned session = Open(master);
    for (size_t i = 0; i < scenario.steps.size(); ++i) {
      SCOPED_TRACE(i);
      const IndexStep& step = scenario.steps[i];
      const bool release = step.op == IndexOp::kRelease;
      BSAPdu request(release ? SA_PDU_INDEX_DEALLOCATE : SA_PDU_INDEX_ALLOCATE, step.fromClosedSession ? 999 : session,
                     1),
          response;
      static const uint8_t kFlags[] = {SA_IXALLOC_VALUE, SA_IXALLOC_NEW_INDEX, SA_IXALLOC_ANY_INDEX,
                                       SA_IXALLOC_NEW_INDEX | SA_IXALLOC_ANY_INDEX, 0};
      request.flags = kFlags[static_cast<int>(step.op)];
      for (const auto& [name, value] : step.values) request.varBindList.Append(Oid(std::to_string(name)), value);
      const int status = release ? master.IndexDealloc(request, response) : master.IndexAlloc(request, response);
      EXPECT_EQ(status, step.status);
      EXPECT_EQ(response.errorIndex, step.errorIndex);
      if (step.answered.empty()) continue;
      ASSERT_EQ(response.varBindList.Count(), static_cast<int>(step.answered.size()));
      for (size_t k = 0; k < step.answered.size(); ++k) {
        EXPECT_TRUE(response.varBindList[static_cast<int>(k)].value == step.answered[k])
            << k << ": " << response.varBindList[static_cast<int>(k)].value.ValToStr().str();
        EXPECT_EQ(response.varBindList[static_cast<int>(k)].name, request.varBindList[static_cast<int>(k)].name);
      }
    }
  }
}

// Checked in order: the session, a sender, the trap OID first. The trap the sender gets has the rest.
TEST(MasterNotifyTest, ChecksInOrderAndForwardsTheVarbinds) {
  BMibHandler mib;
  BSAMaster master(&mib, nullptr);
  RecordingTrapSender sender, failing(-1);
  BSAPdu notify(SA_PDU_NOTIFY, 77, 1), bad;
  notify.varBindList.Append(BObjectIdentifier("1.3.6.1.6.3.1.1.4.1.0"), OidValue("1.3.6.1.4.1.32473.1.0.1"));
  EXPECT_EQ(master.Notify(notify), SA_WIRE_NOT_OPEN);
  notify.sessionId = Open(master);
  EXPECT_EQ(master.Notify(notify), SA_WIRE_PROCESSING_ERROR);
  master.SetTrapSender(&sender);
  bad = BSAPdu(SA_PDU_NOTIFY, notify.sessionId, 2);
  EXPECT_EQ(master.Notify(bad), SA_WIRE_PROCESSING_ERROR);
  bad.varBindList.Append(BObjectIdentifier("1.3.6.1.6.3.1.1.4.1.0"), Int(1));
  EXPECT_EQ(master.Notify(bad), SA_WIRE_PROCESSING_ERROR);
  EXPECT_EQ(master.Notify(notify), 0);
  notify.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.1.3.1.2.1"), Str("row"));
  notify.varBindList.Append(BObjectIdentifier("1.3.6.1.2.1.1.3.0"), Int(12));
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
