// BMibTableImpl: index values to index OIDs and back for every index kind,
// malformed index OIDs, and a sparse table read and written through a
// BMibHandler.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "BMibHandler.h"
#include "BMibTableImpl.h"
#include "MibTestValues.h"

namespace QVT {
namespace {

using namespace test;

using Oid = BObjectIdentifier;

std::unique_ptr<BMibTableImpl> TableWith(std::vector<EMibIndexKind> kinds) {
  auto table = std::make_unique<BMibTableImpl>("t", Oid("1.3.6.1.4.1.32473.3.1"));
  uint32_t column = 1;
  for (EMibIndexKind kind : kinds) table->AddIndex(column++, kind);
  return table;
}

TEST(MibTableIndexTest, ValuesRoundTripThroughTheIndexOid) {
  struct Case {
    std::vector<EMibIndexKind> kinds;
    std::vector<BObjectSyntax> values;
    const char* index;
  } cases[] = {
      {{MIB_INDEX_INTEGER}, {Int(0)}, "0"},
      {{MIB_INDEX_INTEGER}, {Int(2147483647)}, "2147483647"},
      {{MIB_INDEX_OCTETS}, {Text("ab")}, "2.97.98"},
      {{MIB_INDEX_OCTETS}, {Text("")}, "0"},
      {{MIB_INDEX_OCTETS_IMPLIED}, {Text("ab")}, "97.98"},
      {{MIB_INDEX_IPADDRESS}, {Ip(10, 0, 0, 255)}, "10.0.0.255"},
      {{MIB_INDEX_OID}, {Id("1.3.6")}, "3.1.3.6"},
      {{MIB_INDEX_OID_IMPLIED}, {Id("1.3.6")}, "1.3.6"},
      {{MIB_INDEX_INTEGER, MIB_INDEX_OCTETS, MIB_INDEX_IPADDRESS, MIB_INDEX_OCTETS_IMPLIED},
       {Int(7), Text("x"), Ip(1, 2, 3, 4), Text("yz")},
       "7.1.120.1.2.3.4.121.122"},
      {{MIB_INDEX_OID, MIB_INDEX_INTEGER}, {Id("2.5"), Int(9)}, "2.2.5.9"},
  };
  for (const Case& c : cases) {
    const auto table = TableWith(c.kinds);
    Oid index;
    ASSERT_EQ(table->ValuesToIndex(c.values, index), 1) << c.index;
    EXPECT_EQ(index.ToString().str(), c.index);
    std::vector<BObjectSyntax> back;
    ASSERT_EQ(table->IndexToValues(index, back), 1) << c.index;
    EXPECT_EQ(back, c.values) << c.index;
  }
}

TEST(MibTableIndexTest, MalformedIndexesAndValuesAreRefused) {
  struct Case {
    std::vector<EMibIndexKind> kinds;
    const char* index;
    const char* why;
  } cases[] = {
      {{MIB_INDEX_INTEGER}, "", "empty"},
      {{MIB_INDEX_INTEGER}, "1.2", "an arc left over"},
      {{MIB_INDEX_INTEGER}, "2147483648", "above Integer32"},
      {{MIB_INDEX_OCTETS}, "3.97.98", "length runs past the end"},
      {{MIB_INDEX_OCTETS}, "2.97.256", "octet above 255"},
      {{MIB_INDEX_IPADDRESS}, "10.0.0", "three octets"},
      {{MIB_INDEX_IPADDRESS}, "10.0.0.300", "octet above 255"},
      {{MIB_INDEX_OID}, "5.1.3", "length runs past the end"},
      {{MIB_INDEX_OCTETS_IMPLIED, MIB_INDEX_INTEGER}, "97.1", "IMPLIED not last"},
  };
  for (const Case& c : cases) {
    std::vector<BObjectSyntax> values;
    EXPECT_EQ(TableWith(c.kinds)->IndexToValues(Oid(c.index), values), 0) << c.why;
  }
  Oid index;
  EXPECT_EQ(TableWith({MIB_INDEX_INTEGER})->ValuesToIndex({Int(-1)}, index), 0) << "negative integer";
  EXPECT_EQ(TableWith({MIB_INDEX_INTEGER})->ValuesToIndex({Text("1")}, index), 0) << "wrong syntax";
  EXPECT_EQ(TableWith({MIB_INDEX_OID_IMPLIED, MIB_INDEX_INTEGER})->ValuesToIndex({Id("1"), Int(1)}, index), 0);
}

class MibTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table.AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER);
    table.AddColumn(2, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING);
    table.AddColumn(3, MIB_ACCESS_READ_WRITE, ASN_INTEGER).Range(0, 10);
    table.AddColumn(4, MIB_ACCESS_NONE, ASN_INTEGER).Default(Int(4));
    table.AddIndex(1, MIB_INDEX_INTEGER);
    for (int row : {3, 1, 2}) {
      const Oid index{static_cast<uint32_t>(row)};
      ASSERT_EQ(table.AddRow(index), 1);
      table.StoreCell(index, 2, Text("r"));
      if (row != 2) table.StoreCell(index, 3, Int(row));  // row 2 has no value in column 3
    }
    EXPECT_EQ(table.AddRow(Oid{1}), 0) << "the row exists";
    mib.UnregisterSubtreeHandler(&mib.Mib2System());
    ASSERT_NE(mib.RegisterSubtreeHandler(&table), 0);
  }
  std::string Get(int code, const char* suffix) {
    BVarBindList list;
    list.Append(Oid((std::string(kEntry) + "." + suffix).c_str()));
    int errorIndex = 0;
    mib.Query(code, 1, BSecurityParams(), BString(), list, errorIndex);
    if (list[0].value.IsException()) return BObjectSyntax::SyntaxName(list[0].value.Syntax()).str();
    return list[0].name.ToString().str().substr(sizeof kEntry) + " " + list[0].value.ValToStr().str();
  }
  int Set(const char* suffix, const BObjectSyntax& value) {
    BVarBindList list;
    list.Append(Oid((std::string(kEntry) + "." + suffix).c_str()), value);
    int errorIndex = 0;
    return mib.ProcessSet(1, BSecurityParams(), list, errorIndex);
  }
  static constexpr char kEntry[] = "1.3.6.1.4.1.32473.3.1";
  BMibTableImpl table{"t", Oid(kEntry)};
  BMibHandler mib;
};

TEST_F(MibTableTest, WalkGoesColumnByColumnAndSkipsNotAccessibleCells) {
  std::vector<std::string> walk;
  for (std::string from = "0"; walk.size() < 20;) {
    const std::string next = Get(SNMP_REQ_GET_NEXT, from.c_str());
    if (next == "endOfMibView") break;
    walk.push_back(next);
    from = next.substr(0, next.find(' '));
  }
  EXPECT_EQ(walk, (std::vector<std::string>{"2.1 STRING: \"r\"", "2.2 STRING: \"r\"", "2.3 STRING: \"r\"",
                                            "3.1 INTEGER: 1", "3.3 INTEGER: 3"}));
  EXPECT_EQ(Get(SNMP_REQ_GET, "3.2"), "noSuchInstance");
  EXPECT_EQ(Get(SNMP_REQ_GET, "4.1"), "noSuchObject");
  EXPECT_EQ(Get(SNMP_REQ_GET, "3"), "noSuchInstance");
  EXPECT_EQ(Get(SNMP_REQ_GET_NEXT, "3.1.5"), "3.3 INTEGER: 3");
}

TEST_F(MibTableTest, SetWritesExistingRowsOnly) {
  EXPECT_EQ(Set("3.1", Int(9)), 0);
  EXPECT_EQ(Get(SNMP_REQ_GET, "3.1"), "3.1 INTEGER: 9");
  EXPECT_EQ(Set("3.2", Int(8)), 0) << "a missing cell of an existing row";
  EXPECT_EQ(Set("3.9", Int(1)), SNMP_ERR_NOCREATION);
  EXPECT_EQ(Set("3", Int(1)), SNMP_ERR_NOCREATION);
  EXPECT_EQ(Set("3.1", Int(11)), SNMP_ERR_WRONGVALUE);
  EXPECT_EQ(Set("3.1", Text("1")), SNMP_ERR_WRONGTYPE);
  EXPECT_EQ(Set("2.1", Text("w")), SNMP_ERR_NOTWRITABLE);
  EXPECT_EQ(Set("1.1", Int(1)), SNMP_ERR_NOTWRITABLE);
  BVarBindList indexList;
  ASSERT_EQ(table.GetIndexList(Oid{3}, indexList), 1);
  ASSERT_EQ(indexList.Count(), 1);
  EXPECT_EQ(indexList[0].name, Oid("1.3.6.1.4.1.32473.3.1.1"));
  EXPECT_EQ(indexList[0].value, Int(3));
  BObjectSyntax hidden;
  EXPECT_EQ(table.GetCell(Oid{2}, 4, hidden), 0) << "AddRow filled the default";
}

}  // namespace
}  // namespace QVT
