// BMibImpl scalars served through a BMibHandler: the exception values of
// GET, the order of GET-NEXT, and the SET checks in the order SNMP asks
// for them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BMibHandler.h"
#include "BMibImpl.h"
#include "MibTestValues.h"

namespace QVT {
namespace {

using namespace test;

const char* const kBase = "1.3.6.1.4.1.32473.1.1";

std::string Name(const std::string& suffix) {
  return std::string(kBase) + "." + suffix;
}

class MibImplTest : public ::testing::Test {
 protected:
  void SetUp() override {
    impl.AddEntry(1, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING).Getter([](BObjectSyntax& v) { v.SetOctets("box"); });
    impl.AddEntry(2, MIB_ACCESS_READ_WRITE, ASN_INTEGER)
        .Getter([this](BObjectSyntax& v) { v.SetInt(level); })
        .Setter([this](const BObjectSyntax& v) {
          if (v.GetInt() == 99) return static_cast<int>(SNMP_ERR_GENERR);  // a device that refuses late
          level = v.GetInt();
          return 0;
        })
        .Check([](const BObjectSyntax& v) { return v.GetInt() == 13 ? SNMP_ERR_INCONSISTENTVALUE : 0; })
        .Range(0, 100);
    impl.AddEntry(3, MIB_ACCESS_READ_WRITE, ASN_OCTET_STRING)
        .Getter([this](BObjectSyntax& v) { v.SetOctets(label); })
        .Setter([this](const BObjectSyntax& v) {
          label.assign(v.GetOctets().AsStringView());
          return 0;
        })
        .Size(1, 8);
    impl.AddEntry(4, MIB_ACCESS_NONE, ASN_INTEGER).Getter([](BObjectSyntax& v) { v.SetInt(4); });
    impl.AddEntry(5, MIB_ACCESS_READ_ONLY, ASN_COUNTER32).Getter([](BObjectSyntax& v) { v.SetCounter32(7); });
    impl.AddEntry(6, MIB_ACCESS_READ_ONLY, ASN_INTEGER).Getter([](BObjectSyntax& v) {
      v.SetV2Exception(SNMP_NO_SUCH_INSTANCE);  // no value at the moment
    });
    mib.UnregisterSubtreeHandler(&mib.Mib2System());
    ASSERT_NE(mib.RegisterSubtreeHandler(&impl), 0);
  }

  BVarBind Query(int code, const std::string& name) {
    BVarBindList list;
    list.Append(BObjectIdentifier(name.c_str()));
    int errorIndex = 0;
    EXPECT_EQ(mib.Query(code, 1, BSecurityParams(), BString(), list, errorIndex), 0);
    return list[0];
  }

  int Set(std::vector<BVarBind> vbs, int* errorIndex = nullptr) {
    BVarBindList list;
    for (auto& vb : vbs) list.Append(vb);
    int index = 0;
    const int status = mib.ProcessSet(1, BSecurityParams(), list, index);
    if (errorIndex != nullptr) *errorIndex = index;
    return status;
  }

  int level = 5;
  std::string label = "old";
  BMibImpl impl{"scalars", BObjectIdentifier(kBase)};
  BMibHandler mib;
};

TEST_F(MibImplTest, GetAnswersValuesAndTheRightException) {
  struct Case {
    const char* suffix;
    const char* value;
  } cases[] = {
      {"1.0", "STRING: \"box\""},  {"2.0", "INTEGER: 5"},     {"1", "noSuchInstance"}, {"1.1", "noSuchInstance"},
      {"1.0.0", "noSuchInstance"}, {"6.0", "noSuchInstance"}, {"4.0", "noSuchObject"}, {"7.0", "noSuchObject"},
  };
  for (const Case& c : cases) {
    const BVarBind vb = Query(SNMP_REQ_GET, Name(c.suffix));
    const std::string text =
        vb.value.IsException() ? BObjectSyntax::SyntaxName(vb.value.Syntax()).str() : vb.value.ValToStr().str();
    EXPECT_EQ(text, c.value) << c.suffix;
  }
}

TEST_F(MibImplTest, GetNextSkipsNotAccessibleAndValuelessEntries) {
  struct Case {
    std::string from;
    std::string next;
  } cases[] = {
      {"1.3", Name("1.0")},       {kBase, Name("1.0")},       {Name("1"), Name("1.0")},
      {Name("1.0"), Name("2.0")}, {Name("3.0"), Name("5.0")}, {Name("5.0"), "end"},
  };
  for (const Case& c : cases) {
    const BVarBind vb = Query(SNMP_REQ_GET_NEXT, c.from);
    EXPECT_EQ(vb.value.Syntax() == ASN_END_OF_MIB_VIEW ? "end" : vb.name.ToString().str(), c.next) << c.from;
  }
}

TEST_F(MibImplTest, SetChecksInOrderAndCommitsThroughTheSetter) {
  struct Case {
    const char* suffix;
    BObjectSyntax value;
    int status;
  } cases[] = {
      {"2.0", Text("x"), SNMP_ERR_WRONGTYPE},
      {"2.0", Int(101), SNMP_ERR_WRONGVALUE},
      {"2.0", Int(-1), SNMP_ERR_WRONGVALUE},
      {"2.0", Int(13), SNMP_ERR_INCONSISTENTVALUE},
      {"3.0", Text(""), SNMP_ERR_WRONGLENGTH},
      {"3.0", Text("123456789"), SNMP_ERR_WRONGLENGTH},
      {"1.0", Text("x"), SNMP_ERR_NOTWRITABLE},
      {"4.0", Int(1), SNMP_ERR_NOTWRITABLE},
      {"9.0", Int(1), SNMP_ERR_NOTWRITABLE},
      {"2.1", Int(1), SNMP_ERR_NOCREATION},
      {"2.1", Text("x"), SNMP_ERR_WRONGTYPE},
      {"2.0", Int(100), 0},
      {"3.0", Text("12345678"), 0},
  };
  for (const Case& c : cases) {
    int errorIndex = 0;
    EXPECT_EQ(Set({BVarBind(BObjectIdentifier(Name(c.suffix).c_str()), c.value)}, &errorIndex), c.status)
        << c.suffix << " " << c.value.ValToStr().str();
    EXPECT_EQ(errorIndex, c.status != 0 ? 1 : 0);
  }
  EXPECT_EQ(level, 100);
  EXPECT_EQ(label, "12345678");
}

TEST_F(MibImplTest, FailedCommitPutsBackWhatTheSameHandlerCommitted) {
  int errorIndex = 0;
  EXPECT_EQ(Set({BVarBind(BObjectIdentifier(Name("3.0").c_str()), Text("new")),
                 BVarBind(BObjectIdentifier(Name("2.0").c_str()), Int(99))},
                &errorIndex),
            SNMP_ERR_COMMITFAILED);
  EXPECT_EQ(errorIndex, 2);
  EXPECT_EQ(label, "old");
  EXPECT_EQ(Set({BVarBind(BObjectIdentifier(Name("2.0").c_str()), Int(60)),
                 BVarBind(BObjectIdentifier(Name("3.0").c_str()), Text(""))},
                &errorIndex),
            SNMP_ERR_WRONGLENGTH);
  EXPECT_EQ(errorIndex, 2);
  EXPECT_EQ(level, 5) << "nothing committed after a failed test";
}

}  // namespace
}  // namespace QVT
