// BMibTableImplEx: RowStatus transitions as a table of cases through
// ProcessSet, and the phases driven one by one with a slot array of their
// own, the way a sub-agent drives them (row creation and deletion flags,
// undo, hooks at cleanup).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BMibHandler.h"
#include "BMibTableImplEx.h"
#include "MibTestValues.h"

namespace QVT {
namespace {

using namespace test;

using Oid = BObjectIdentifier;
constexpr char kEntry[] = "1.3.6.1.4.1.32473.4.1";
constexpr uint32_t kName = 2, kLimit = 3, kStatus = 4;

BVarBind Cell(uint32_t column, const char* row, const BObjectSyntax& value) {
  Oid name(kEntry);
  name.Append(column);
  name.Append(Oid(row), true);
  return BVarBind(name, value);
}
BVarBind Status(const char* row, int value) {
  return Cell(kStatus, row, Int(value));
}
BVarBind Label(const char* row) {
  BObjectSyntax text;
  text.SetOctets("n");
  return Cell(kName, row, text);
}

// Rows: 1 active, 2 notInService, 3 notReady (no name yet).
class RowTable : public BMibTableImplEx {
 public:
  RowTable() : BMibTableImplEx("rows", BObjectIdentifier(kEntry)) {
    AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER).Range(1, 1000);
    AddColumn(kName, MIB_ACCESS_READ_CREATE, ASN_OCTET_STRING).Size(1, 16);
    AddColumn(kLimit, MIB_ACCESS_READ_CREATE, ASN_INTEGER).Default(Int(7));
    SetRowStatusColumn(kStatus);
    AddIndex(1, MIB_INDEX_INTEGER);
    for (int row : {1, 2, 3}) AddRow(BObjectIdentifier{static_cast<uint32_t>(row)});
    StoreCell(BObjectIdentifier{1}, kName, Label("1").value);
    StoreCell(BObjectIdentifier{2}, kName, Label("2").value);
    StoreCell(BObjectIdentifier{2}, kStatus, Int(ROW_NOT_IN_SERVICE));
    StoreCell(BObjectIdentifier{3}, kStatus, Int(ROW_NOT_READY));
  }
  std::vector<std::string> events;

 protected:
  void OnRowActivated(const BObjectIdentifier& row) override { events.push_back("active " + row.ToString().str()); }
  void OnRowDestroyed(const BObjectIdentifier& row) override { events.push_back("destroyed " + row.ToString().str()); }
};

TEST(MibRowStatusTest, TransitionsFollowTheRowStatusStateTable) {
  struct Case {
    const char* what;
    std::vector<BVarBind> vbs;
    int status;
    int errorIndex;
    const char* row;  // the row to look at afterwards
    int after;        // its RowStatus, 0: no row
  } cases[] = {
      {"createAndGo with the name", {Status("10", ROW_CREATE_AND_GO), Label("10")}, 0, 0, "10", ROW_ACTIVE},
      {"createAndGo without the name", {Status("10", ROW_CREATE_AND_GO)}, SNMP_ERR_INCONSISTENTVALUE, 1, "10", 0},
      {"createAndGo on an existing row", {Status("1", ROW_CREATE_AND_GO)}, SNMP_ERR_INCONSISTENTVALUE, 1, "1", 1},
      {"createAndWait, incomplete", {Status("10", ROW_CREATE_AND_WAIT)}, 0, 0, "10", ROW_NOT_READY},
      {"createAndWait, complete", {Label("10"), Status("10", ROW_CREATE_AND_WAIT)}, 0, 0, "10", ROW_NOT_IN_SERVICE},
      {"createAndWait on an existing row", {Status("2", ROW_CREATE_AND_WAIT)}, SNMP_ERR_INCONSISTENTVALUE, 1, "2", 2},
      {"active on a missing row", {Status("10", ROW_ACTIVE)}, SNMP_ERR_INCONSISTENTVALUE, 1, "10", 0},
      {"active on an incomplete row", {Status("3", ROW_ACTIVE)}, SNMP_ERR_INCONSISTENTVALUE, 1, "3", ROW_NOT_READY},
      {"active completed in the same request", {Status("3", ROW_ACTIVE), Label("3")}, 0, 0, "3", ROW_ACTIVE},
      {"active from notInService", {Status("2", ROW_ACTIVE)}, 0, 0, "2", ROW_ACTIVE},
      {"notInService from active", {Status("1", ROW_NOT_IN_SERVICE)}, 0, 0, "1", ROW_NOT_IN_SERVICE},
      {"notInService from notReady", {Status("3", ROW_NOT_IN_SERVICE)}, SNMP_ERR_INCONSISTENTVALUE, 1, "3", 3},
      {"notReady is never accepted", {Status("3", ROW_NOT_READY)}, SNMP_ERR_WRONGVALUE, 1, "3", 3},
      {"value outside 1..6", {Status("1", 7)}, SNMP_ERR_WRONGVALUE, 1, "1", 1},
      {"status as text", {Cell(kStatus, "1", Label("1").value)}, SNMP_ERR_WRONGTYPE, 1, "1", 1},
      {"destroy a missing row", {Status("10", ROW_DESTROY)}, 0, 0, "10", 0},
      {"destroy an active row", {Status("1", ROW_DESTROY)}, 0, 0, "1", 0},
      {"destroy with another column", {Status("1", ROW_DESTROY), Label("1")}, SNMP_ERR_INCONSISTENTVALUE, 2, "1", 1},
      {"a column of a missing row", {Label("10")}, SNMP_ERR_NOCREATION, 1, "10", 0},
      {"a column completes a notReady row", {Label("3")}, 0, 0, "3", ROW_NOT_IN_SERVICE},
      {"the status twice",
       {Status("10", ROW_CREATE_AND_WAIT), Status("10", 4)},
       SNMP_ERR_INCONSISTENTVALUE,
       2,
       "10",
       0},
      {"an index arc too many", {Status("10.1", ROW_CREATE_AND_GO)}, SNMP_ERR_NOCREATION, 1, "10.1", 0},
      {"an index out of range", {Status("1001", ROW_CREATE_AND_WAIT)}, SNMP_ERR_NOCREATION, 1, "1001", 0},
      {"the index column itself", {Cell(1, "1", Int(1))}, SNMP_ERR_NOTWRITABLE, 1, "1", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RowTable table;
    BMibHandler mib;
    ASSERT_NE(mib.RegisterSubtreeHandler(&table), 0);
    BVarBindList list;
    for (const BVarBind& vb : c.vbs) list.Append(vb);
    int errorIndex = -1;
    EXPECT_EQ(mib.ProcessSet(3, BSecurityParams(), list, errorIndex), c.status);
    EXPECT_EQ(errorIndex, c.errorIndex);
    EXPECT_EQ(table.RowStatusOf(Oid(c.row)), c.after);
  }
}

TEST(MibRowStatusTest, PhasesDrivenOneByOneKeepCreationAndDeletionUntilCleanup) {
  RowTable table;
  BVarBindList list;
  list.Append(Status("10", ROW_CREATE_AND_GO));
  list.Append(Label("10"));
  list.Append(Status("1", ROW_DESTROY));
  for (bool undo : {true, false}) {
    SCOPED_TRACE(undo ? "undone" : "committed");
    std::vector<void*> slots(static_cast<size_t>(list.Count()), nullptr);
    auto phase = [&](ESnmpSetOpCode code) {
      int index = 0;
      return table.Set(9, list, code, slots.data(), index, list.Count());
    };
    ASSERT_EQ(phase(SNMP_SET_TEST), 0);
    EXPECT_EQ(table.IsRowStatus(list[0]), 1);
    EXPECT_EQ(table.IsRowStatus(list[1]), 0);
    EXPECT_EQ(table.IsRowCreation(Oid{10}), 1);
    EXPECT_EQ(table.IsRowDeletion(Oid{1}), 1);
    EXPECT_EQ(table.IsRowCreation(Oid{1}), 0);
    EXPECT_FALSE(table.RowExists(Oid{10})) << "nothing visible before commit";
    ASSERT_EQ(phase(SNMP_SET_COMMIT), 0);
    EXPECT_EQ(table.RowStatusOf(Oid{10}), ROW_ACTIVE);
    EXPECT_FALSE(table.RowExists(Oid{1}));
    if (undo) {
      ASSERT_EQ(phase(SNMP_SET_UNDO), 0);
      EXPECT_FALSE(table.RowExists(Oid{10}));
      EXPECT_EQ(table.RowStatusOf(Oid{1}), ROW_ACTIVE);
      BObjectSyntax name;
      EXPECT_EQ(table.GetCell(Oid{1}, kName, name), 0) << "the destroyed row comes back whole";
      EXPECT_EQ(table.IsRowCreation(Oid{10}), 1) << "still known until cleanup";
    }
    ASSERT_EQ(phase(SNMP_SET_CLEANUP), 0);
    EXPECT_EQ(table.IsRowCreation(Oid{10}), 0);
    EXPECT_EQ(table.IsRowDeletion(Oid{1}), 0);
    EXPECT_EQ(slots[0], nullptr);
  }
  EXPECT_EQ(table.events, (std::vector<std::string>{"active 10", "destroyed 1"})) << "hooks only after a kept SET";
}

}  // namespace
}  // namespace QVT
