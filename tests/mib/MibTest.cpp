// The MIB-handler framework: GET-NEXT against a model of the registration rule
// on random trees and on hand-made ones, GET, SET phases, access control;
// scalars, tables, the system group, table indexes and RowStatus transitions;
// queries on other threads while handlers, sysORTable rows and table rows come
// and go (for ThreadSanitizer).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <random>
#include <thread>

#include "BMibHandler.h"
#include "BMibTableImplEx.h"
#include "FakeSubtreeHandler.h"
#include "ManualClock.h"

namespace QVT::test {
namespace {

using Oid = BObjectIdentifier;
using VarBinds = std::vector<std::pair<std::string, BObjectSyntax>>;

// clang-format off
BObjectSyntax Int(int v) { BObjectSyntax s; s.SetInt(v); return s; }
BObjectSyntax Text(std::string_view t) { BObjectSyntax s; s.SetOctets(t); return s; }
// clang-format on
// A value as the tools print it, an exception by its name ("noSuchObject").
std::string Show(const BObjectSyntax& v) {
  return (v.IsException() ? BObjectSyntax::SyntaxName(v.Syntax()) : v.ValToStr()).str();
}
// One GET or GET-NEXT of `name`: the exception's name, or "<name> = <value>".
std::string Ask(BMibHandler& mib, int code, const std::string& name) {
  BVarBindList list;
  list.Append(Oid(name.c_str()));
  int errorIndex = 0;
  EXPECT_EQ(mib.Query(code, 1, BSecurityParams(), BString(), list, errorIndex), 0) << name;
  return (list[0].value.IsException() ? "" : list[0].name.ToString().str() + " = ") + Show(list[0].value);
}
int Set(BMibHandler& mib, const VarBinds& vbs, int* errorIndex = nullptr) {
  BVarBindList list;
  for (const auto& [name, value] : vbs) list.Append(Oid(name.c_str()), value);
  int index = -1;
  const int status = mib.ProcessSet(1, BSecurityParams(), list, index);
  if (errorIndex != nullptr) *errorIndex = index;
  return status;
}

// Random trees of nested registrations with instances of their own (some
// inside deeper registrations, where they must stay hidden), some removed
// again, one misbehaving (answers outside its subtree), behind an access
// control that hides names ending in 3. The model: an instance is visible
// when its handler is the deepest registration whose OID starts it, behaves
// and the name is not hidden.
TEST(MibHandlerTest, GetNextMatchesTheRegistrationModelOnRandomTrees) {
  struct HideThrees : IAccessControl {
    int IsAccessAllowed(const BSecurityParams&, const Oid& name, int) override { return name.Last() == 3 ? 0 : 1; }
  } hide;
  for (unsigned seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    auto randomOid = [&](Oid base, int minArcs, int maxArcs) {
      for (int n = std::uniform_int_distribution<int>(minArcs, maxArcs)(rng); n > 0; --n) base.Append(rng() % 4);
      return base;
    };
    BMibHandler mib(&hide);
    mib.UnregisterSubtreeHandler(&mib.Mib2System());
    std::vector<std::unique_ptr<FakeSubtreeHandler>> owned;
    std::map<Oid, FakeSubtreeHandler*> registered;
    for (int i = 0; i < 25; ++i) {
      const std::string oid = randomOid(Oid("1.3"), 1, 4).ToString().str();
      owned.push_back(std::make_unique<FakeSubtreeHandler>(oid.c_str(), std::initializer_list<const char*>{}));
      if (rng() % 4 == 0) owned.back()->Add(oid.c_str(), 1);  // the registration is itself an instance
      for (int k = 0; k < 6; ++k) owned.back()->Add(randomOid(Oid(oid.c_str()), 1, 3).ToString().c_str(), k);
      if (mib.RegisterSubtreeHandler(owned.back().get()) != 0) registered[Oid(oid.c_str())] = owned.back().get();
    }
    owned[0]->SetMisbehave(FakeSubtreeHandler::Misbehave::kOutside);
    for (int i = 0; i < 5; ++i) {
      auto it = std::next(registered.begin(), static_cast<long>(rng() % registered.size()));
      ASSERT_NE(mib.UnregisterSubtreeHandler(it->second), 0);
      registered.erase(it);
    }
    auto ownerOf = [&](const Oid& name) {
      FakeSubtreeHandler* best = nullptr;
      for (const auto& [oid, h] : registered) {
        if (oid.IsStartingSubOidOf(name) && (best == nullptr || oid.Length() > best->Oid().Length())) best = h;
      }
      return best;
    };
    std::map<Oid, std::string> visible;  // name: the answer GET-NEXT gives for it
    for (const auto& [oid, h] : registered) {
      for (const auto& [name, value] : h->Instances()) {
        if (ownerOf(name) == h && h != owned[0].get() && name.Last() != 3) {
          visible[name] = name.ToString().str() + " = " + Show(value);
        }
      }
    }
    std::string from = "0.0";  // a walk returns every visible instance in order, then endOfMibView
    for (auto it = visible.begin(); from != "endOfMibView"; ++it) {
      const std::string next = it == visible.end() ? "endOfMibView" : it->second;
      ASSERT_EQ(Ask(mib, SNMP_REQ_GET_NEXT, from), next) << "seed " << seed << " from " << from;
      from = next.substr(0, next.find(' '));
    }
    for (int probe = 0; probe < 20; ++probe) {  // and from names that are not instances
      const Oid name = randomOid(Oid("1.3"), 0, 6);
      auto next = visible.upper_bound(name);
      EXPECT_EQ(Ask(mib, SNMP_REQ_GET_NEXT, name.ToString().str()),
                next == visible.end() ? "endOfMibView" : next->second)
          << "seed " << seed << " from " << name.ToString().str();
    }
  }
  Oid end;
  ASSERT_TRUE(BMibTree::SubtreeEnd(Oid("1.3.4294967295"), end));  // the end of a subtree carries over
  EXPECT_EQ(end, Oid("1.4"));
  EXPECT_FALSE(BMibTree::SubtreeEnd(Oid("4294967295.4294967295"), end));
}

TEST(MibHandlerTest, GetGathersEachHandlersVarbindsAndMapsItsErrorIndexToTheRequest) {
  BMibHandler mib;
  FakeSubtreeHandler a("1.3.9.1", {"1.3.9.1.1.0", "1.3.9.1.2.0"}), b("1.3.9.2", {"1.3.9.2.1.0"});
  ASSERT_NE(mib.RegisterSubtreeHandler(&a) & mib.RegisterSubtreeHandler(&b), 0);
  BVarBindList list;
  for (auto name : {"1.3.9.1.1.0", "1.3.9.2.1.0", "1.3.9.1.2.0", "1.3.8.1", "1.3.9.1.3.0"}) list.Append(Oid(name));
  int errorIndex = -1;
  ASSERT_EQ(mib.Query(SNMP_REQ_GET, 7, BSecurityParams(), BString(), list, errorIndex), 0);
  const char* const kValues[] = {"INTEGER: 1", "INTEGER: 1", "INTEGER: 2", "noSuchObject", "noSuchInstance"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Show(list[i].value), kValues[i]) << i;
  EXPECT_NE(a.Calls()[0].list, &list);  // positions 0, 2, 4: gathered
  EXPECT_EQ(b.Calls()[0].list, &list);  // position 1 alone: served in place
  a.FailGet(SNMP_ERR_GENERR);
  EXPECT_EQ(mib.Query(SNMP_REQ_GET, 7, BSecurityParams(), BString(), list, errorIndex), SNMP_ERR_GENERR);
  EXPECT_EQ(errorIndex, 5);  // the handler's last varbind
}

// The SET phases a handler saw, one letter each: t(est) c(ommit) u(ndo) x (cleanup).
std::string Phases(const FakeSubtreeHandler& h) {
  std::map<int, char> letters = {
      {SNMP_SET_TEST, 't'}, {SNMP_SET_COMMIT, 'c'}, {SNMP_SET_UNDO, 'u'}, {SNMP_SET_CLEANUP, 'x'}};
  std::string out;
  for (const auto& call : h.Calls()) out += call.op == 's' ? std::string(1, letters[call.code]) : "";
  return out;
}

TEST(MibSetTest, FailuresInEachPhaseRunTheRightPhasesAndPointAtTheVarbind) {
  // clang-format off
  // Handler A owns positions 1 and 3 (gathered), B position 2; `failing` fails at its `at`-th varbind in `phase`.
  const struct { const char* what; char failing; ESnmpSetOpCode phase; int at, status, expectStatus, expectIndex;
                 const char* phases; int valueA1; } kCases[] = {
      {"success", 0, SNMP_SET_TEST, 0, 0, 0, 0, "tcx/tcx", 10},
      {"B refuses in test", 'B', SNMP_SET_TEST, 0, SNMP_ERR_WRONGVALUE, SNMP_ERR_WRONGVALUE, 2, "tx/tx", 1},
      {"A refuses its second", 'A', SNMP_SET_TEST, 1, SNMP_ERR_WRONGLENGTH, SNMP_ERR_WRONGLENGTH, 3, "tx/", 1},
      {"B commit fails: A undoes", 'B', SNMP_SET_COMMIT, 0, SNMP_ERR_GENERR, SNMP_ERR_COMMITFAILED, 2, "tcux/tcx", 1},
      {"A commit fails first", 'A', SNMP_SET_COMMIT, 1, SNMP_ERR_GENERR, SNMP_ERR_COMMITFAILED, 3, "tcx/tx", 10},
      {"A's undo fails too", 'A', SNMP_SET_UNDO, 0, SNMP_ERR_GENERR, SNMP_ERR_UNDOFAILED, 1, "tcux/tcx", 10},
      {"unowned name", 0, SNMP_SET_TEST, 0, 0, SNMP_ERR_NOTWRITABLE, 4, "/", 1}};
  // clang-format on
  for (const auto& c : kCases) {
    BMibHandler mib;
    FakeSubtreeHandler a("1.3.9.1", {"1.3.9.1.1", "1.3.9.1.2"}), b("1.3.9.2", {"1.3.9.2.1"});
    ASSERT_NE(mib.RegisterSubtreeHandler(&a) & mib.RegisterSubtreeHandler(&b), 0);
    if (c.failing != 0) (c.failing == 'A' ? a : b).FailSet(c.phase, c.at, c.status);
    if (c.phase == SNMP_SET_UNDO) b.FailSet(SNMP_SET_COMMIT, 0, SNMP_ERR_GENERR);
    VarBinds vbs = {{"1.3.9.1.1", Int(10)}, {"1.3.9.2.1", Int(20)}, {"1.3.9.1.2", Int(30)}};
    if (c.expectStatus == SNMP_ERR_NOTWRITABLE) vbs.emplace_back("1.3.8", Int(1));
    int errorIndex = -1;
    EXPECT_EQ(Set(mib, vbs, &errorIndex), c.expectStatus) << c.what;
    EXPECT_EQ(errorIndex, c.expectIndex) << c.what;
    EXPECT_EQ(Phases(a) + "/" + Phases(b), c.phases) << c.what;
    EXPECT_EQ(a.ValueOf("1.3.9.1.1"), c.valueA1) << c.what;
    EXPECT_EQ(a.LiveSlots(), 0) << c.what << ": every slot freed at cleanup";
    EXPECT_EQ(b.LiveSlots(), 0) << c.what << ": every slot freed at cleanup";
  }
}

#define BASE "1.3.6.1.4.1.32473.1.1"
#define ENTRY "1.3.6.1.4.1.32473.3.1"  // a table entry; the RowStatus table below uses it too

class MibImplTest : public ::testing::Test {
 protected:
  void SetUp() override {
    impl.AddEntry(1, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING).Getter([](BObjectSyntax& v) { v.SetOctets("box"); });
    impl.AddEntry(2, MIB_ACCESS_READ_WRITE, ASN_INTEGER)
        .Getter([this](BObjectSyntax& v) { v.SetInt(level); })
        .Setter([this](const BObjectSyntax& v) { return v.GetInt() == 99 ? SNMP_ERR_GENERR : (level = v.GetInt(), 0); })
        .Check([](const BObjectSyntax& v) { return v.GetInt() == 13 ? SNMP_ERR_INCONSISTENTVALUE : 0; })
        .Range(0, 100);
    impl.AddEntry(3, MIB_ACCESS_READ_WRITE, ASN_OCTET_STRING)
        .Getter([this](BObjectSyntax& v) { v.SetOctets(label); })
        .Setter([this](const BObjectSyntax& v) { return label.assign(v.GetOctets().AsStringView()), 0; })
        .Size(1, 8);
    impl.AddEntry(4, MIB_ACCESS_NONE, ASN_INTEGER).Getter([](BObjectSyntax& v) { v.SetInt(4); });
    impl.AddEntry(5, MIB_ACCESS_READ_ONLY, ASN_COUNTER32).Getter([](BObjectSyntax& v) { v.SetCounter32(7); });

    table.AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER);
    table.AddColumn(2, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING);
    table.AddColumn(3, MIB_ACCESS_READ_WRITE, ASN_INTEGER).Range(0, 10);
    table.AddIndex(1, MIB_INDEX_INTEGER);
    for (const uint32_t row : {3, 1, 2}) {
      ASSERT_EQ(table.AddRow(BObjectIdentifier{row}), 1);
      table.StoreCell(BObjectIdentifier{row}, 2, Text("r"));
      if (row != 2) table.StoreCell(BObjectIdentifier{row}, 3, Int(static_cast<int>(row)));  // row 2: no column 3
    }
    ASSERT_NE(mib.RegisterSubtreeHandler(&impl) & mib.RegisterSubtreeHandler(&table), 0);
    mib.Mib2System().SetTime(&clock);
  }
  // "name = value" of every instance a walk from `from` returns below it.
  std::vector<std::string> Walk(const std::string& from) {
    std::vector<std::string> names;
    for (std::string answer = Ask(mib, SNMP_REQ_GET_NEXT, from); answer.starts_with(from + ".") && names.size() < 50;) {
      names.push_back(answer.substr(from.size() + 1));
      answer = Ask(mib, SNMP_REQ_GET_NEXT, answer.substr(0, answer.find(' ')));
    }
    return names;
  }
  int level = 5;
  std::string label = "old";
  // A table whose storage refuses the value 3, so that a cell holding 3 cannot get it back either.
  class RefusingTable : public BMibTableImpl {
   public:
    using BMibTableImpl::BMibTableImpl;
    int SetCell(const BObjectIdentifier& index, uint32_t column, const BObjectSyntax& value) override {
      if (value.Syntax() == ASN_INTEGER && value.GetInt() == 3) return SNMP_ERR_RESOURCEUNAVAILABLE;
      return BMibTableImpl::SetCell(index, column, value);
    }
  };

  BMibImpl impl{"scalars", BObjectIdentifier(BASE)};
  RefusingTable table{"t", BObjectIdentifier(ENTRY)};
  ManualClock clock;
  BMibHandler mib;
};

TEST_F(MibImplTest, ScalarsAndTableCellsAnswerValuesOrTheRightExceptions) {
  // clang-format off
  const int kGet = SNMP_REQ_GET, kNext = SNMP_REQ_GET_NEXT;
  const struct { int code; const char *name, *answer; } kCases[] = {
      {kGet, BASE ".1.0", BASE ".1.0 = STRING: \"box\""}, {kGet, BASE ".1", "noSuchInstance"},
      {kGet, BASE ".1.1", "noSuchInstance"}, {kGet, BASE ".1.0.0", "noSuchInstance"}, {kGet, BASE ".7", "noSuchObject"},
      {kGet, BASE ".4.0", "noSuchObject"}, {kGet, ENTRY ".3.2", "noSuchInstance"}, {kGet, ENTRY ".1.1", "noSuchObject"},
      {kNext, BASE, BASE ".1.0 = STRING: \"box\""}, {kNext, BASE ".1.0", BASE ".2.0 = INTEGER: 5"},
      {kNext, BASE ".3.0", BASE ".5.0 = Counter32: 7"} /* past the not-accessible one */,
      {kNext, BASE ".5.0", ENTRY ".2.1 = STRING: \"r\""}, {kNext, ENTRY ".3.1.5", ENTRY ".3.3 = INTEGER: 3"}};
  // clang-format on
  for (const auto& c : kCases) EXPECT_EQ(Ask(mib, c.code, c.name), c.answer) << c.name;
  EXPECT_EQ(Walk(ENTRY), (std::vector<std::string>{"2.1 = STRING: \"r\"", "2.2 = STRING: \"r\"", "2.3 = STRING: \"r\"",
                                                   "3.1 = INTEGER: 1", "3.3 = INTEGER: 3"}));
}

TEST_F(MibImplTest, SetChecksInOrderAndCommits) {
  // clang-format off
  const struct { const char* name; BObjectSyntax value; int status; } kCases[] = {
      {BASE ".2.0", Text("x"), SNMP_ERR_WRONGTYPE}, {BASE ".2.0", Int(101), SNMP_ERR_WRONGVALUE},
      {BASE ".2.0", Int(-1), SNMP_ERR_WRONGVALUE}, {BASE ".2.0", Int(13), SNMP_ERR_INCONSISTENTVALUE},
      {BASE ".3.0", Text(""), SNMP_ERR_WRONGLENGTH}, {BASE ".3.0", Text("123456789"), SNMP_ERR_WRONGLENGTH},
      {BASE ".1.0", Text("x"), SNMP_ERR_NOTWRITABLE}, {BASE ".4.0", Int(1), SNMP_ERR_NOTWRITABLE},
      {BASE ".9.0", Int(1), SNMP_ERR_NOTWRITABLE}, {BASE ".2.1", Int(1), SNMP_ERR_NOCREATION},
      {BASE ".2.1", Text("x"), SNMP_ERR_WRONGTYPE}, {BASE ".2.0", Int(100), 0}, {BASE ".3.0", Text("12345678"), 0},
      {ENTRY ".3.1", Int(9), 0}, {ENTRY ".3.2", Int(8), 0} /* a missing cell of an existing row */,
      {ENTRY ".3.9", Int(1), SNMP_ERR_NOCREATION}, {ENTRY ".3", Int(1), SNMP_ERR_NOCREATION},
      {ENTRY ".3.1", Int(11), SNMP_ERR_WRONGVALUE}, {ENTRY ".3.1", Text("1"), SNMP_ERR_WRONGTYPE},
      {ENTRY ".2.1", Text("w"), SNMP_ERR_NOTWRITABLE}, {ENTRY ".1.1", Int(1), SNMP_ERR_NOTWRITABLE}};
  // clang-format on
  for (const auto& c : kCases) {
    int errorIndex = 0;
    EXPECT_EQ(Set(mib, {{c.name, c.value}}, &errorIndex), c.status) << c.name << " " << Show(c.value);
    EXPECT_EQ(errorIndex, c.status != 0 ? 1 : 0);
  }
  EXPECT_EQ(Ask(mib, SNMP_REQ_GET, BASE ".2.0"), BASE ".2.0 = INTEGER: 100");
  EXPECT_EQ(label, "12345678");
}

TEST_F(MibImplTest, SystemGroupServesItsScalarsAndSysORTable) {
  BMib2System& sys = mib.Mib2System();
  sys.SetSysDescr("box");
  const char* const kDescr[] = {"first", "second", "third", "fourth"};
  for (uint32_t i = 1; i <= 4; ++i) {  // rows 1 to 4 inserted at 100 to 400
    clock.Set(100 * i);
    sys.InsertORRow(BObjectIdentifier{1, 3, 6, 1, 3, 7, i}, kDescr[i - 1]);
    if (i == 2) sys.RemoveORRow(1);  // positions count from 1: "first" goes
  }
  clock.Set(500);
  ASSERT_EQ(sys.RemoveORRow(3), 1);  // "fourth" goes; indexes are not reused
  clock.Set(12345);
  EXPECT_EQ(Walk("1.3.6.1.2.1.1"),
            (std::vector<std::string>{
                "1.0 = STRING: \"box\"", "2.0 = OID: .1.3.6.1.4.1.32473.2", "3.0 = Timeticks: (12345) 0:02:03.45",
                "4.0 = \"\"", "5.0 = \"\"", "6.0 = \"\"", "7.0 = INTEGER: 72", "8.0 = Timeticks: (500) 0:00:05.00",
                "9.1.2.2 = OID: .1.3.6.1.3.7.2", "9.1.2.3 = OID: .1.3.6.1.3.7.3", "9.1.3.2 = STRING: \"second\"",
                "9.1.3.3 = STRING: \"third\"", "9.1.4.2 = Timeticks: (200) 0:00:02.00",
                "9.1.4.3 = Timeticks: (300) 0:00:03.00"}));
  EXPECT_EQ(Ask(mib, SNMP_REQ_GET, "1.3.6.1.2.1.1.9.1.1.2"), "noSuchObject");
  EXPECT_EQ(Set(mib, {{"1.3.6.1.2.1.1.6.0", Text(std::string(256, 'l'))}}), SNMP_ERR_WRONGLENGTH);
  EXPECT_EQ(Set(mib, {{"1.3.6.1.2.1.1.9.1.3.2", Text("x")}}), SNMP_ERR_NOTWRITABLE);
}

TEST(MibTableIndexTest, ValuesRoundTripThroughTheIndexOidAndMalformedIndexesAreRefused) {
  // clang-format off
  const struct { std::vector<EMibIndexKind> kinds; const char *index, *values; } kCases[] = {  // values null: refused
      {{MIB_INDEX_INTEGER}, "2147483647", "INTEGER: 2147483647"}, {{MIB_INDEX_OCTETS}, "0", "\"\""},
      {{MIB_INDEX_OID, MIB_INDEX_INTEGER}, "2.2.5.9", "OID: .2.5|INTEGER: 9"},
      {{MIB_INDEX_OID_IMPLIED}, "1.3.6", "OID: .1.3.6"},
      {{MIB_INDEX_INTEGER, MIB_INDEX_OCTETS, MIB_INDEX_IPADDRESS, MIB_INDEX_OCTETS_IMPLIED}, "7.1.120.1.2.3.4.121.122",
       "INTEGER: 7|STRING: \"x\"|IpAddress: 1.2.3.4|STRING: \"yz\""},
      {{MIB_INDEX_INTEGER}, "", nullptr}, {{MIB_INDEX_INTEGER}, "1.2", nullptr}, {{MIB_INDEX_OCTETS}, "99.97", nullptr},
      {{MIB_INDEX_INTEGER}, "2147483648", nullptr}, {{MIB_INDEX_OCTETS}, "3.97.98", nullptr},
      {{MIB_INDEX_OCTETS}, "2.97.256", nullptr}, {{MIB_INDEX_IPADDRESS}, "10.0.0", nullptr},
      {{MIB_INDEX_IPADDRESS}, "10.0.0.300", nullptr}, {{MIB_INDEX_OID}, "5.1.3", nullptr},
      {{MIB_INDEX_OCTETS_IMPLIED, MIB_INDEX_INTEGER}, "97.1", nullptr}};
  // clang-format on
  for (const auto& c : kCases) {
    BMibTableImpl table("t", Oid("1.3.6.1.4.1.32473.3.1"));
    for (uint32_t k = 0; k < c.kinds.size(); ++k) table.AddIndex(k + 1, c.kinds[k]);
    std::vector<BObjectSyntax> values;
    ASSERT_EQ(table.IndexToValues(Oid(c.index), values), c.values ? 1 : 0) << c.index;
    if (c.values == nullptr) continue;
    std::string shown;
    for (const BObjectSyntax& v : values) shown += (shown.empty() ? "" : "|") + Show(v);
    EXPECT_EQ(shown, c.values) << c.index;
    Oid index;
    EXPECT_TRUE(table.ValuesToIndex(values, index) == 1 && index == Oid(c.index)) << c.index;
  }
  BMibTableImpl table("t", Oid("1.3.6.1.4.1.32473.3.1"));
  table.AddIndex(1, MIB_INDEX_INTEGER);
  Oid index;  // a negative integer and a wrong syntax are refused
  EXPECT_EQ(table.ValuesToIndex({Int(-1)}, index), 0);
  EXPECT_EQ(table.ValuesToIndex({Text("1")}, index), 0);
}

constexpr uint32_t kName = 2, kLimit = 3, kStatus = 4;

VarBinds::value_type Cell(uint32_t column, const char* row, const BObjectSyntax& value) {
  return {ENTRY "." + std::to_string(column) + "." + row, value};
}
#define STATUS(row, value) Cell(kStatus, row, Int(value))
#define LABEL(row) Cell(kName, row, Text("n"))

// Rows: 1 active, 2 notInService, 3 notReady (no name yet).
class RowTable : public BMibTableImplEx {
 public:
  RowTable() : BMibTableImplEx("rows", BObjectIdentifier(ENTRY)) {
    AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER).Range(1, 1000);
    AddColumn(kName, MIB_ACCESS_READ_CREATE, ASN_OCTET_STRING).Size(1, 16);
    AddColumn(kLimit, MIB_ACCESS_READ_CREATE, ASN_INTEGER).Default(Int(7));
    SetRowStatusColumn(kStatus);
    AddIndex(1, MIB_INDEX_INTEGER);
    for (const uint32_t row : {1, 2, 3}) AddRow(BObjectIdentifier{row});
    StoreCell(BObjectIdentifier{1}, kName, Text("n"));
    StoreCell(BObjectIdentifier{2}, kName, Text("n"));
    StoreCell(BObjectIdentifier{2}, kStatus, Int(ROW_NOT_IN_SERVICE));
    StoreCell(BObjectIdentifier{3}, kStatus, Int(ROW_NOT_READY));
  }
  std::string events;
  void OnRowActivated(const BObjectIdentifier& row) override { events += "active " + row.ToString().str() + ";"; }
  void OnRowDestroyed(const BObjectIdentifier& row) override { events += "destroyed " + row.ToString().str() + ";"; }
  // The storage refuses the limit 13, which only the commit finds out.
  int SetCell(const BObjectIdentifier& index, uint32_t column, const BObjectSyntax& value) override {
    if (column == kLimit && value.GetInt() == 13) return SNMP_ERR_RESOURCEUNAVAILABLE;
    return BMibTableImplEx::SetCell(index, column, value);
  }
};

TEST(MibRowStatusTest, TransitionsFollowTheRowStatusStateTableAndTheHooksSeeOnlyKeptChanges) {
  const VarBinds::value_type kFails = {"1.3.9.1", Int(0)};  // its handler fails in commit
  // clang-format off
  // After the SET: `row` has RowStatus `after` (0: no row) and the hooks saw `events`.
  const struct { const char* what; VarBinds vbs; int status, errorIndex; const char* row; int after;
                 const char* events; } kCases[] = {
      {"createAndGo, complete", {STATUS("10", ROW_CREATE_AND_GO), LABEL("10")}, 0, 0, "10", ROW_ACTIVE, "active 10;"},
      {"createAndGo without the name", {STATUS("10", ROW_CREATE_AND_GO)}, SNMP_ERR_INCONSISTENTVALUE, 1, "10", 0, ""},
      {"createAndGo on an existing row", {STATUS("1", ROW_CREATE_AND_GO)}, SNMP_ERR_INCONSISTENTVALUE, 1, "1", 1, ""},
      {"createAndGo undone", {STATUS("10", 4), LABEL("10"), kFails}, SNMP_ERR_COMMITFAILED, 3, "10", 0, ""},
      {"createAndWait, incomplete", {STATUS("10", ROW_CREATE_AND_WAIT)}, 0, 0, "10", ROW_NOT_READY, ""},
      {"createAndWait, complete", {LABEL("10"), STATUS("10", ROW_CREATE_AND_WAIT)}, 0, 0, "10", ROW_NOT_IN_SERVICE, ""},
      {"active on a missing row", {STATUS("10", ROW_ACTIVE)}, SNMP_ERR_INCONSISTENTVALUE, 1, "10", 0, ""},
      {"active on an incomplete row", {STATUS("3", ROW_ACTIVE)}, SNMP_ERR_INCONSISTENTVALUE, 1, "3", ROW_NOT_READY, ""},
      {"active completing the row", {STATUS("3", ROW_ACTIVE), LABEL("3")}, 0, 0, "3", ROW_ACTIVE, "active 3;"},
      {"active from notInService", {STATUS("2", ROW_ACTIVE)}, 0, 0, "2", ROW_ACTIVE, "active 2;"},
      {"notInService from active", {STATUS("1", ROW_NOT_IN_SERVICE)}, 0, 0, "1", ROW_NOT_IN_SERVICE, ""},
      {"notInService from notReady", {STATUS("3", ROW_NOT_IN_SERVICE)}, SNMP_ERR_INCONSISTENTVALUE, 1, "3", 3, ""},
      {"notReady is never accepted", {STATUS("3", ROW_NOT_READY)}, SNMP_ERR_WRONGVALUE, 1, "3", 3, ""},
      {"value outside 1..6", {STATUS("1", 7)}, SNMP_ERR_WRONGVALUE, 1, "1", 1, ""},
      {"destroy a missing row", {STATUS("10", ROW_DESTROY)}, 0, 0, "10", 0, ""},
      {"destroy an active row", {STATUS("1", ROW_DESTROY)}, 0, 0, "1", 0, "destroyed 1;"},
      {"destroy undone", {STATUS("1", ROW_DESTROY), kFails}, SNMP_ERR_COMMITFAILED, 2, "1", ROW_ACTIVE, ""},
      {"destroy with another column", {STATUS("1", 6), LABEL("1")}, SNMP_ERR_INCONSISTENTVALUE, 2, "1", 1, ""},
      {"a column of a missing row", {LABEL("10")}, SNMP_ERR_NOCREATION, 1, "10", 0, ""},
      {"a column completes a notReady row", {LABEL("3")}, 0, 0, "3", ROW_NOT_IN_SERVICE, ""},
      {"the status twice", {STATUS("10", 5), STATUS("10", 5)}, SNMP_ERR_INCONSISTENTVALUE, 2, "10", 0, ""},
      {"an index arc too many", {STATUS("10.1", ROW_CREATE_AND_GO)}, SNMP_ERR_NOCREATION, 1, "10.1", 0, ""},
      {"an index out of range", {STATUS("1001", ROW_CREATE_AND_WAIT)}, SNMP_ERR_NOCREATION, 1, "1001", 0, ""},
      {"the index column itself", {Cell(1, "1", Int(1))}, SNMP_ERR_NOTWRITABLE, 1, "1", 1, ""}};
  // clang-format on
  for (const auto& c : kCases) {
    RowTable table;
    FakeSubtreeHandler failing("1.3.9", {"1.3.9.1"});
    failing.FailSet(SNMP_SET_COMMIT, 0, SNMP_ERR_GENERR);
    BMibHandler mib;
    ASSERT_NE(mib.RegisterSubtreeHandler(&table) & mib.RegisterSubtreeHandler(&failing), 0);
    int errorIndex = -1;
    EXPECT_EQ(Set(mib, c.vbs, &errorIndex), c.status) << c.what;
    EXPECT_EQ(errorIndex, c.errorIndex) << c.what;
    EXPECT_EQ(table.RowStatusOf(BObjectIdentifier(c.row)), c.after) << c.what;
    EXPECT_EQ(table.events, c.events) << c.what;
  }
}

TEST(MibRowStatusTest, CreationAndDeletionAreKnownFromTestToCleanup) {
  RowTable table;
  BVarBindList list;
  for (const auto& [name, value] : {STATUS("10", ROW_CREATE_AND_GO), LABEL("10"), STATUS("1", ROW_DESTROY)}) {
    list.Append(Oid(name.c_str()), value);
  }
  std::vector<void*> slots(3, nullptr);
  int index = 0;
  ASSERT_EQ(table.Set(9, list, SNMP_SET_TEST, slots.data(), index, 3), 0);
  EXPECT_EQ(std::pair(table.IsRowStatus(list[0]), table.IsRowStatus(list[1])), std::pair(1, 0));
  EXPECT_EQ(std::pair(table.IsRowCreation(Oid{10}), table.IsRowCreation(Oid{1})), std::pair(1, 0));
  EXPECT_EQ(std::pair(table.IsRowDeletion(Oid{1}), table.IsRowDeletion(Oid{10})), std::pair(1, 0));
  ASSERT_EQ(table.Set(9, list, SNMP_SET_CLEANUP, slots.data(), index, 3), 0);
  EXPECT_EQ(table.IsRowCreation(Oid{10}), 0);
  EXPECT_EQ(table.IsRowDeletion(Oid{1}), 0);
  EXPECT_EQ(slots[0], nullptr);
}

// Each implementation driven phase by phase, as an SNMP engine drives it, through the skeleton they share:
// a commit that fails takes back what the same call committed before it, undo takes back every committed
// unit (undoFailed at the one that cannot be), and cleanup frees every context slot, after a failed test
// too. Afterwards the names read as `after` says. The RowStatus table's unit is the row.
TEST_F(MibImplTest, EachImplementationRunsTheSetPhasesAlike) {
  RowTable rows;
  const int kUnavailable = SNMP_ERR_RESOURCEUNAVAILABLE;
  struct Phase {
    ESnmpSetOpCode code;
    int status;
    int index;  // when it fails
  };
  const Phase kTest = {SNMP_SET_TEST, 0, 0}, kCommit = {SNMP_SET_COMMIT, 0, 0}, kUndo = {SNMP_SET_UNDO, 0, 0},
              kCleanup = {SNMP_SET_CLEANUP, 0, 0};
  // clang-format off
  // `after`: the values read back; `told`: what the committed hook heard (once per varbind that
  // stands, never for one undone).
  const struct { const char* what; BMibSubtreeHandler* handler; VarBinds vbs; std::vector<Phase> phases;
                 std::vector<std::pair<std::string, std::string>> after; std::vector<std::string> told = {}; }
      kCases[] = {
      {"scalars: the second setter refuses, the first value comes back", &impl,
       {{BASE ".3.0", Text("new")}, {BASE ".2.0", Int(99)}}, {kTest, {SNMP_SET_COMMIT, SNMP_ERR_GENERR, 1}, kCleanup},
       {{BASE ".3.0", "STRING: \"old\""}, {BASE ".2.0", "INTEGER: 5"}}},
      {"scalars: undo after commit", &impl, {{BASE ".2.0", Int(50)}, {BASE ".3.0", Text("x")}},
       {kTest, kCommit, kUndo, kCleanup}, {{BASE ".2.0", "INTEGER: 5"}, {BASE ".3.0", "STRING: \"old\""}}},
      {"scalars: cleanup after a failed test", &impl, {{BASE ".2.0", Int(50)}, {BASE ".2.0", Int(101)}},
       {{SNMP_SET_TEST, SNMP_ERR_WRONGVALUE, 1}, kCleanup}, {{BASE ".2.0", "INTEGER: 5"}}},
      {"table: the second cell is refused, the first cell (new) goes again", &table,
       {{ENTRY ".3.2", Int(4)}, {ENTRY ".3.1", Int(3)}}, {kTest, {SNMP_SET_COMMIT, kUnavailable, 1}, kCleanup},
       {{ENTRY ".3.2", "noSuchInstance"}, {ENTRY ".3.1", "INTEGER: 1"}}},
      {"table: undo after commit", &table, {{ENTRY ".3.1", Int(9)}, {ENTRY ".3.2", Int(8)}},
       {kTest, kCommit, kUndo, kCleanup}, {{ENTRY ".3.1", "INTEGER: 1"}, {ENTRY ".3.2", "noSuchInstance"}}},
      {"table: cleanup after a failed test", &table, {{ENTRY ".3.1", Int(9)}, {ENTRY ".3.9", Int(1)}},
       {{SNMP_SET_TEST, SNMP_ERR_NOCREATION, 1}, kCleanup}, {{ENTRY ".3.1", "INTEGER: 1"}}},
      {"table: an old value that cannot come back is undoFailed, the others come back", &table,
       {{ENTRY ".3.1", Int(9)}, {ENTRY ".3.3", Int(9)}}, {kTest, kCommit, {SNMP_SET_UNDO, SNMP_ERR_UNDOFAILED, 1},
       kCleanup}, {{ENTRY ".3.1", "INTEGER: 1"}, {ENTRY ".3.3", "INTEGER: 9"}}},
      {"RowStatus table: the second row is refused, the row created before it goes again", &rows,
       {STATUS("10", ROW_CREATE_AND_GO), LABEL("10"), STATUS("11", ROW_CREATE_AND_GO), LABEL("11"),
        Cell(kLimit, "11", Int(13))}, {kTest, {SNMP_SET_COMMIT, kUnavailable, 2}, kCleanup},
       {{ENTRY ".4.10", "noSuchInstance"}, {ENTRY ".4.11", "noSuchInstance"}}},
      {"RowStatus table: cleanup after a failed test", &rows, {STATUS("10", 4), STATUS("10", 4)},
       {{SNMP_SET_TEST, SNMP_ERR_INCONSISTENTVALUE, 1}, kCleanup}, {{ENTRY ".4.10", "noSuchInstance"}}},
      // Last: these change the values the cases above start from.
      {"scalars: a SET that stands is told once per varbind", &impl,
       {{BASE ".2.0", Int(50)}, {BASE ".3.0", Text("x")}}, {kTest, kCommit, kCleanup},
       {{BASE ".2.0", "INTEGER: 50"}}, {BASE ".2.0", BASE ".3.0"}},
      {"table: a SET that stands is told", &table, {{ENTRY ".3.1", Int(7)}}, {kTest, kCommit, kCleanup},
       {{ENTRY ".3.1", "INTEGER: 7"}}, {ENTRY ".3.1"}},
      {"RowStatus table: a row that stands is told", &rows, {STATUS("12", ROW_CREATE_AND_GO), LABEL("12")},
       {kTest, kCommit, kCleanup}, {{ENTRY ".4.12", "INTEGER: 1"}}, {ENTRY ".4.12", ENTRY ".2.12"}}};
  // clang-format on
  std::vector<std::string> told;
  const auto tell = [&told](const BVarBind& vb) { told.push_back(vb.name.ToString().str()); };
  for (BMibImpl* handler : std::initializer_list<BMibImpl*>{&impl, &table, &rows}) handler->OnCommitted(tell);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    told.clear();
    BVarBindList list;
    for (const auto& [name, value] : c.vbs) list.Append(Oid(name.c_str()), value);
    std::vector<void*> slots(static_cast<size_t>(list.Count()), nullptr);
    for (const Phase& phase : c.phases) {
      int index = 0;
      EXPECT_EQ(c.handler->Set(7, list, phase.code, slots.data(), index, list.Count()), phase.status) << phase.code;
      if (phase.status != 0) {
        EXPECT_EQ(index, phase.index) << phase.code;
      }
    }
    EXPECT_EQ(std::count(slots.begin(), slots.end(), nullptr), list.Count()) << "a slot outlived cleanup";
    EXPECT_EQ(told, c.told);
    for (const auto& [name, value] : c.after) {
      BVarBindList read;
      read.Append(Oid(name.c_str()));
      int index = 0;
      c.handler->Get(7, read, index, 1);
      EXPECT_EQ(Show(read[0].value), value) << name;
    }
  }
}


TEST(MibConcurrencyTest, QueriesRunWhileHandlersComeAndGo) {
  BMibHandler mib;
  std::vector<std::unique_ptr<FakeSubtreeHandler>> fixed, moving;
  auto make = [](const std::string& oid, const std::string& instance) {
    return std::make_unique<FakeSubtreeHandler>(oid.c_str(), std::initializer_list<const char*>{instance.c_str()});
  };
  for (int k = 0; k < 8; ++k) {
    const std::string oid = "1.3.6.1.4.1.500." + std::to_string(k);
    fixed.push_back(make(oid, oid + ".9"));  // oid.9 always answers 1
    ASSERT_NE(mib.RegisterSubtreeHandler(fixed.back().get()), 0);
    moving.push_back(make(oid + ".5", oid + ".5.1"));  // nested in it
    moving.push_back(make("1.3.6.1.4.1.501." + std::to_string(k), "1.3.6.1.4.1.501.0"));
  }
  BMibTableImplEx rows("rows", Oid("1.3.6.1.4.1.502.1"));
  rows.SetRowStatusColumn(2);
  rows.AddIndex(1, MIB_INDEX_INTEGER);
  ASSERT_NE(mib.RegisterSubtreeHandler(&rows), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  auto query = [&](int code, BVarBindList& list) {
    int errorIndex = 0;
    if (mib.Query(code, 1, BSecurityParams(), BString(), list, errorIndex) != 0) ++failures;
  };
  auto reader = [&] {
    for (int rounds = 0; rounds < 10 || !stop.load(); ++rounds) {
      BVarBindList list;  // from sysORTable on, through the handlers that come and go
      list.Append(Oid("1.3.6.1.2.1.1.9"));
      for (int steps = 0; steps < 200 && !list[0].value.IsException(); ++steps) {
        const Oid from = list[0].name;
        query(SNMP_REQ_GET_NEXT, list);
        if (!list[0].value.IsException() && list[0].name.Compare(from) <= 0) ++failures;
      }
      BVarBindList get;
      get.Append(Oid("1.3.6.1.4.1.500.3.9"));
      query(SNMP_REQ_GET, get);
      if (get[0].value.GetInt() != 1) ++failures;
    }
  };
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) readers.emplace_back(reader);
  std::thread setter([&] {
    BVarBindList list;
    list.Append(Oid("1.3.6.1.4.1.502.1.2.7"));
    for (int i = 0; i < 2000; ++i) {
      list[0].value.SetInt(i % 2 == 0 ? ROW_CREATE_AND_GO : ROW_DESTROY);
      int errorIndex = 0;
      if (mib.ProcessSet(static_cast<unsigned>(i), BSecurityParams(), list, errorIndex) != 0) ++failures;
    }
  });
  for (int round = 0; round < 2000; ++round) {
    for (auto& h : moving) ASSERT_NE(mib.RegisterSubtreeHandler(h.get()), 0);
    mib.Mib2System().InsertORRow(Oid("1.3.6.1.4.1.501"), "moving");
    for (auto& h : moving) ASSERT_NE(mib.UnregisterSubtreeHandler(h.get()), 0);
    mib.Mib2System().RemoveORRow(1);
  }
  setter.join();
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_FALSE(rows.RowExists(Oid{7})) << "an even number of SETs: created, then destroyed";
}

// A registration never waits for a query, however long that holds the MIB (one waiting for a slow
// sub-agent); an unregistration does.
TEST(MibConcurrencyTest, RegistrationGoesInWhileAQueryHoldsTheMib) {
  BMibHandler mib;
  FakeSubtreeHandler handler("1.3.6.1.4.1.503", {"1.3.6.1.4.1.503.1"});
  TEvent reading, done;
  std::thread query([&] {
    TReadLock lock(mib.Synch());
    reading.Set();
    done.Wait(kWaitForever);
  });
  ASSERT_EQ(reading.Wait(3000), 0);
  EXPECT_NE(mib.RegisterSubtreeHandler(&handler), 0);
  EXPECT_EQ(mib.Tree().FindSubtreeHandlerNode(Oid("1.3.6.1.4.1.503.1"))->Handler(), &handler);
  std::atomic<bool> removed{false};
  std::thread remover([&] { removed = mib.UnregisterSubtreeHandler(&handler) != 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(removed.load());  // held back by the query
  done.Set();
  query.join();
  remover.join();
  EXPECT_TRUE(removed.load());
}

}  // namespace
}  // namespace QVT::test
