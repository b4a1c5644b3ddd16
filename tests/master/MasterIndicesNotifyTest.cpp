// The index registry behind indexAllocate / indexDeallocate and the
// forwarding of notifications, driven through the master's PDU handlers on
// the test's own thread (no sockets, no threads).
#include <gtest/gtest.h>

#include "BSAMaster.h"
#include "MasterTestSupport.h"
#include "RecordingTrapSender.h"

namespace QVT::test {
namespace {

using Strings = std::vector<std::string>;

class MasterHandlersTest : public ::testing::Test {
 protected:
  // A session opened through the open handler; its id.
  unsigned Open() {
    BSAPdu request = OpenPdu("t", std::nullopt);
    BSAPdu response(SA_PDU_RESPONSE);
    EXPECT_EQ(m_master.OpenSession(request, response), 0);
    return response.sessionId;
  }

  ManualClock m_clock;
  BMibHandler m_mib;
  BSAMaster m_master{&m_mib, &m_clock};
};

// --- index registry ---

BObjectSyntax Typed(EAsnSyntax syntax, uint32_t value) {
  BObjectSyntax s;
  s.SetUnsigned(syntax, value);
  return s;
}

constexpr const char* X = "1.3.6.1.3.7.9.1";
constexpr const char* Y = "1.3.6.1.3.7.9.2";

struct Step {
  char op;    // 'a' indexAllocate, 'd' indexDeallocate
  int flags;  // ESAIxAlloc
  std::vector<std::pair<const char*, BObjectSyntax>> varbinds;
  int status;
  int errorIndex;
  Strings values;  // the RESPONSE's varbinds ("name=value"); empty: not compared
};

struct Scenario {
  const char* name;
  std::vector<Step> steps;
};

constexpr int kNew = SA_IXALLOC_NEW_INDEX;
constexpr int kAny = SA_IXALLOC_ANY_INDEX;
constexpr int kValue = SA_IXALLOC_VALUE;

std::string x(const char* value) {
  return std::string(X) + "=" + value;
}
std::string y(const char* value) {
  return std::string(Y) + "=" + value;
}

BObjectSyntax Ip(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
  BObjectSyntax s;
  s.SetIpAddress(BIpAddress(a, b, c, d));
  return s;
}

const Scenario kScenarios[] = {
    {"NewCountsFrom1",
     {{'a', kNew, {{X, Int(0)}}, 0, 0, {x("1")}}, {'a', kNew, {{X, Int(0)}, {Y, Int(0)}}, 0, 0, {x("2"), y("1")}}}},
    {"NewStepsOverReleasedAnyReusesThem",
     {{'a', kValue, {{X, Int(1)}, {X, Int(2)}, {X, Int(3)}}, 0, 0, {}},
      {'d', 0, {{X, Int(3)}}, 0, 0, {x("3")}},
      {'a', kNew, {{X, Int(0)}}, 0, 0, {x("4")}},
      {'a', kAny, {{X, Int(0)}}, 0, 0, {x("3")}},
      {'d', 0, {{X, Int(3)}, {X, Int(2)}}, 0, 0, {}},
      {'a', kNew, {{X, Int(0)}}, 0, 0, {x("5")}},
      {'d', 0, {{X, Int(4)}, {X, Int(5)}}, 0, 0, {}},
      // allocated {1}, released {2, 3, 4, 5}: new skips every released value
      {'a', kNew, {{X, Int(0)}}, 0, 0, {x("6")}},
      {'a', kAny, {{X, Int(0)}}, 0, 0, {x("2")}}}},
    {"NewAfterEverythingWasReleased",
     {{'a', kValue, {{X, Int(5)}}, 0, 0, {}},
      {'d', 0, {{X, Int(5)}}, 0, 0, {}},
      {'a', kNew, {{X, Int(0)}}, 0, 0, {x("6")}}}},
    {"AnyWithNothingReleasedIsNew",
     {{'a', kAny, {{X, Int(9)}}, 0, 0, {x("1")}}, {'a', kAny | kNew, {{X, Int(9)}}, 0, 0, {x("2")}}}},
    {"GivenValueTwice",
     {{'a', kValue, {{X, Int(7)}}, 0, 0, {x("7")}},
      {'a', kValue, {{X, Int(7)}}, SA_WIRE_INDEX_ALREADY_ALLOCATED, 1, {}},
      {'d', 0, {{X, Int(7)}}, 0, 0, {}}}},
    {"SameValueTwiceInOneRequest",
     {{'a', kValue, {{Y, Int(1)}, {X, Int(7)}, {X, Int(7)}}, SA_WIRE_INDEX_ALREADY_ALLOCATED, 3, {}},
      {'a', kValue, {{X, Int(7)}}, SA_WIRE_INDEX_ALREADY_ALLOCATED, 1, {}},
      {'a', kValue, {{Y, Int(1)}}, SA_WIRE_INDEX_ALREADY_ALLOCATED, 1, {}}}},
    {"ReleaseOfWhatIsNotAllocated",
     {{'d', 0, {{X, Int(1)}}, SA_WIRE_INDEX_NOT_ALLOCATED, 1, {}},
      {'a', kValue, {{X, Int(1)}}, 0, 0, {}},
      {'d', 0, {{X, Int(2)}}, SA_WIRE_INDEX_NOT_ALLOCATED, 1, {}},
      {'d', 0, {{X, Int(1)}, {X, Int(1)}}, SA_WIRE_INDEX_NOT_ALLOCATED, 2, {}},
      // the first varbind stayed released
      {'a', kValue, {{X, Int(1)}}, 0, 0, {}}}},
    {"ValuesWithoutKey",
     {{'a', kValue, {{X, Text("")}}, SA_WIRE_INDEX_WRONG_TYPE, 1, {}},
      {'a', kValue, {{X, OidValue("")}}, SA_WIRE_INDEX_WRONG_TYPE, 1, {}},
      {'a', kValue, {{X, Typed(ASN_COUNTER32, 4)}}, SA_WIRE_INDEX_WRONG_TYPE, 1, {}},
      {'a', kValue, {{X, Int(1)}}, 0, 0, {}},
      // now the name has allocations: the test pass refuses a value without key
      {'a', kValue, {{X, Text("")}}, SA_WIRE_INDEX_NOT_ALLOCATED, 1, {}},
      {'d', 0, {{X, Text("")}}, SA_WIRE_INDEX_WRONG_TYPE, 1, {}},
      // releasing the last value forgets the name's allocations
      {'d', 0, {{X, Int(1)}}, 0, 0, {}},
      {'a', kValue, {{X, Text("")}}, SA_WIRE_INDEX_WRONG_TYPE, 1, {}}}},
    {"KeysOfStringsOidsAndAddresses",
     {{'a', kValue, {{X, Text("ab")}, {X, Text("abc")}, {X, OidValue("1.2.3")}, {X, Ip(10, 0, 0, 1)}}, 0, 0, {}},
      {'a', kValue, {{X, Text("ab")}}, SA_WIRE_INDEX_ALREADY_ALLOCATED, 1, {}},
      {'a', kValue, {{X, OidValue("1.2.3")}}, SA_WIRE_INDEX_ALREADY_ALLOCATED, 1, {}},
      {'a', kValue, {{X, Ip(10, 0, 0, 2)}, {X, Ip(10, 0, 0, 1)}}, SA_WIRE_INDEX_ALREADY_ALLOCATED, 2, {}},
      {'d', 0, {{X, Ip(10, 0, 0, 2)}}, SA_WIRE_INDEX_NOT_ALLOCATED, 1, {}},
      {'d', 0, {{X, Text("abc")}, {X, OidValue("1.2.3")}, {X, Text("ab")}, {X, Ip(10, 0, 0, 1)}}, 0, 0, {}}}},
    {"OnlyCountableSyntaxesAreChosen",
     {{'a', kNew, {{X, Int(0)}, {Y, Text("a")}}, SA_WIRE_INDEX_NONE_AVAILABLE, 2, {}},
      {'a', kAny, {{X, OidValue("1.2")}}, SA_WIRE_INDEX_NONE_AVAILABLE, 1, {}},
      // Counter32 has no key and is not countable; Gauge32 and TimeTicks are
      {'a', kNew, {{X, Typed(ASN_COUNTER32, 0)}}, SA_WIRE_INDEX_NONE_AVAILABLE, 1, {}},
      {'a',
       kNew,
       {{X, Typed(ASN_GAUGE32, 0)}, {Y, Typed(ASN_TIMETICKS, 0)}},
       0,
       0,
       {x("Gauge32: 1"), y(Typed(ASN_TIMETICKS, 1).ValToStr().c_str())}},
      {'a', kValue, {{X, Typed(ASN_GAUGE32, 9)}}, 0, 0, {}},
      {'d', 0, {{X, Typed(ASN_GAUGE32, 9)}}, 0, 0, {}},
      {'a', kAny, {{X, Int(0)}}, 0, 0, {x("Gauge32: 9")}}}},
    {"EmptyRequestsDoNothing",
     {{'a', kNew, {}, 0, 0, {}}, {'d', 0, {}, 0, 0, {}}, {'a', kNew, {{X, Int(0)}}, 0, 0, {x("1")}}}},
};

void PrintTo(const Scenario& scenario, std::ostream* os) {
  *os << scenario.name;
}

class IndexRegistryTest : public MasterHandlersTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(IndexRegistryTest, Steps) {
  const unsigned session = Open();
  int n = 0;
  for (const Step& step : GetParam().steps) {
    ++n;
    BSAPdu request(step.op == 'a' ? SA_PDU_INDEX_ALLOCATE : SA_PDU_INDEX_DEALLOCATE, session, 1);
    request.flags = static_cast<uint8_t>(step.flags);
    for (const auto& [name, value] : step.varbinds) request.varBindList.Append(BObjectIdentifier(name), value);
    BSAPdu response(SA_PDU_RESPONSE, session, 1);
    const int status =
        step.op == 'a' ? m_master.IndexAlloc(request, response) : m_master.IndexDealloc(request, response);
    EXPECT_EQ(status, step.status) << "step " << n;
    EXPECT_EQ(response.errorIndex, step.errorIndex) << "step " << n;
    EXPECT_EQ(response.varBindList.Count(), request.varBindList.Count()) << "step " << n;
    if (!step.values.empty()) {
      EXPECT_EQ(Texts(response.varBindList), step.values) << "step " << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, IndexRegistryTest, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(MasterHandlersTest, IndicesNeedAnOpenSessionButOutliveIt) {
  const unsigned first = Open();
  BSAPdu request(SA_PDU_INDEX_ALLOCATE, first, 1);
  request.varBindList.Append(BObjectIdentifier(X), Int(4));
  BSAPdu response(SA_PDU_RESPONSE);
  EXPECT_EQ(m_master.IndexAlloc(request, response), 0);
  {
    TWriteLock writing(m_mib.Synch());
    EXPECT_EQ(m_master.CloseSession(static_cast<int>(first)), 0);
  }
  response = BSAPdu(SA_PDU_RESPONSE);
  EXPECT_EQ(m_master.IndexAlloc(request, response), SA_WIRE_NOT_OPEN);
  EXPECT_EQ(response.varBindList.Count(), 0);
  request.type = SA_PDU_INDEX_DEALLOCATE;
  EXPECT_EQ(m_master.IndexDealloc(request, response), SA_WIRE_NOT_OPEN);
  EXPECT_EQ(response.varBindList.Count(), 0);

  request.sessionId = Open();
  EXPECT_EQ(m_master.IndexDealloc(request, response), 0);
  EXPECT_EQ(BSAMasterPeer::Indices(m_master).Exists(BObjectIdentifier(X), Int(4)), 0);
}

// --- notifications ---

TEST_F(MasterHandlersTest, NotifyChecksInOrderAndForwardsTheVarbinds) {
  RecordingTrapSender sender;
  BSAPdu notify(SA_PDU_NOTIFY, 77, 1);
  notify.varBindList.Append(BObjectIdentifier("1.3.6.1.6.3.1.1.4.1.0"), OidValue("1.3.6.1.4.1.32473.1.0.1"));
  EXPECT_EQ(m_master.Notify(notify), SA_WIRE_NOT_OPEN);  // before anything else, even without a sender
  notify.sessionId = Open();
  EXPECT_EQ(m_master.Notify(notify), SA_WIRE_PROCESSING_ERROR);  // no sender yet
  m_master.SetTrapSender(&sender);

  BSAPdu bad = notify;
  bad.varBindList.Clear();
  EXPECT_EQ(m_master.Notify(bad), SA_WIRE_PROCESSING_ERROR);
  bad.varBindList.Append(BObjectIdentifier("1.3.6.1.6.3.1.1.4.1.0"), Int(1));
  EXPECT_EQ(m_master.Notify(bad), SA_WIRE_PROCESSING_ERROR);
  EXPECT_EQ(sender.Count(), 0u);

  EXPECT_EQ(m_master.Notify(notify), 0);
  notify.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.1.3.1.2.1"), Text("row"));
  notify.varBindList.Append(BObjectIdentifier("1.3.6.1.2.1.1.3.0"), Int(12));
  EXPECT_EQ(m_master.Notify(notify), 0);
  ASSERT_EQ(sender.Count(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const auto* trap = dynamic_cast<const BSAMaster::SATrap*>(&sender.At(i));
    ASSERT_NE(trap, nullptr);
    EXPECT_EQ(trap->Version(), 2);
    EXPECT_EQ(trap->TrapOid().ToString().str(), "1.3.6.1.4.1.32473.1.0.1");
    EXPECT_EQ(trap->Text().str(), "");
    EXPECT_EQ(sender.ArgAt(i), "<null>");
  }
  EXPECT_EQ(sender.At(0).VarBinds().Count(), 0);
  EXPECT_EQ(Texts(sender.At(1).VarBinds()), (Strings{"1.3.6.1.4.1.32473.1.3.1.2.1=row", "1.3.6.1.2.1.1.3.0=12"}));
  // A failing sender does not change the answer.
  RecordingTrapSender failing(-1);
  m_master.SetTrapSender(&failing);
  EXPECT_EQ(m_master.Notify(notify), 0);
}

TEST(SATrapTest, CloneOutlivesTheOriginal) {
  auto original = std::make_unique<BSAMaster::SATrap>();
  original->SetTrapOid(BObjectIdentifier("1.3.6.1.4.1.32473.1.0.1"));
  original->SetText(BString("text"));
  original->VarBinds().Append(BObjectIdentifier("1.3.6.1.3.1"), Int(1));
  original->VarBinds().Append(BObjectIdentifier("1.3.6.1.3.2"), Text("two"));
  std::unique_ptr<BSAMaster::SATrap> clone(original->Clone());
  original.reset();
  EXPECT_EQ(clone->Version(), 2);
  EXPECT_EQ(clone->TrapOid().ToString().str(), "1.3.6.1.4.1.32473.1.0.1");
  EXPECT_EQ(clone->Text().str(), "text");
  EXPECT_EQ(Texts(clone->VarBinds()), (Strings{"1.3.6.1.3.1=1", "1.3.6.1.3.2=two"}));
}

}  // namespace
}  // namespace QVT::test
