// BMib2System as a MIB handler serves it: the system scalars, the writable
// ones, and sysORTable rows inserted and removed through the object.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BMibHandler.h"

namespace QVT {
namespace {

using Oid = BObjectIdentifier;

class ManualClock : public BTime {
 public:
  uint32_t SysUptime() const override { return now; }
  uint32_t now = 0;
};

class Mib2SystemTest : public ::testing::Test {
 protected:
  void SetUp() override { mib.Mib2System().SetTime(&clock); }
  // "suffix = value" below 1.3.6.1.2.1.1 for every instance a walk from
  // the group's OID returns, up to the first name outside it.
  std::vector<std::string> WalkGroup() {
    std::vector<std::string> out;
    Oid name("1.3.6.1.2.1.1");
    for (;;) {
      BVarBindList list;
      list.Append(name);
      int errorIndex = 0;
      EXPECT_EQ(mib.Query(SNMP_REQ_GET_NEXT, 1, BSecurityParams(), BString(), list, errorIndex), 0);
      if (list[0].value.IsException() || !Oid("1.3.6.1.2.1.1").IsStartingSubOidOf(list[0].name)) break;
      name = list[0].name;
      out.push_back(name.ToString().str().substr(14) + " = " + list[0].value.ValToStr().str());
    }
    return out;
  }
  std::string Get(const char* name) {
    BVarBindList list;
    list.Append(Oid(name));
    int errorIndex = 0;
    mib.Query(SNMP_REQ_GET, 1, BSecurityParams(), BString(), list, errorIndex);
    return list[0].value.IsException() ? BObjectSyntax::SyntaxName(list[0].value.Syntax()).str()
                                       : list[0].value.ValToStr().str();
  }
  int SetText(const char* name, const std::string& text) {
    BObjectSyntax value;
    value.SetOctets(text);
    BVarBindList list;
    list.Append(Oid(name), value);
    int errorIndex = 0;
    return mib.ProcessSet(1, BSecurityParams(), list, errorIndex);
  }
  ManualClock clock;
  BMibHandler mib;
};

TEST_F(Mib2SystemTest, ScalarsAndORRowsAreVisibleThroughQuery) {
  BMib2System& sys = mib.Mib2System();
  sys.SetSysDescr("box");
  clock.now = 100;
  EXPECT_EQ(sys.InsertORRow(Oid("1.3.6.1.3.7.1"), "first"), 1);
  clock.now = 200;
  EXPECT_EQ(sys.InsertORRow(Oid("1.3.6.1.3.7.2"), "second"), 2);
  EXPECT_EQ(sys.InsertORRow(Oid("1.3.6.1.3.7.3"), "third"), 3);
  clock.now = 300;
  ASSERT_EQ(sys.RemoveORRow(2), 1);  // positions are 1-based: "second" goes
  EXPECT_EQ(sys.RemoveORRow(3), 0);
  ASSERT_EQ(sys.GetNumORRows(), 2);
  EXPECT_EQ(sys.GetORRow(2)->index, 3u);
  EXPECT_EQ(sys.GetORRow(3), nullptr);
  clock.now = 12345;
  EXPECT_EQ(WalkGroup(), (std::vector<std::string>{
                             "1.0 = STRING: \"box\"",
                             "2.0 = OID: .1.3.6.1.4.1.32473.2",
                             "3.0 = Timeticks: (12345) 0:02:03.45",
                             "4.0 = \"\"",
                             "5.0 = \"\"",
                             "6.0 = \"\"",
                             "7.0 = INTEGER: 72",
                             "8.0 = Timeticks: (300) 0:00:03.00",
                             "9.1.2.1 = OID: .1.3.6.1.3.7.1",
                             "9.1.2.3 = OID: .1.3.6.1.3.7.3",
                             "9.1.3.1 = STRING: \"first\"",
                             "9.1.3.3 = STRING: \"third\"",
                             "9.1.4.1 = Timeticks: (100) 0:00:01.00",
                             "9.1.4.3 = Timeticks: (200) 0:00:02.00",
                         }));
  EXPECT_EQ(Get("1.3.6.1.2.1.1.9.1.2.2"), "noSuchInstance");
  EXPECT_EQ(Get("1.3.6.1.2.1.1.9.1.1.1"), "noSuchObject");
  EXPECT_EQ(Get("1.3.6.1.2.1.1.9.1"), "noSuchObject");
}

TEST_F(Mib2SystemTest, ContactNameAndLocationAreWritableUpTo255Characters) {
  EXPECT_EQ(SetText("1.3.6.1.2.1.1.4.0", "ops@example.org"), 0);
  EXPECT_EQ(mib.Mib2System().SysContact().str(), "ops@example.org");
  EXPECT_EQ(SetText("1.3.6.1.2.1.1.5.0", std::string(255, 'n')), 0);
  EXPECT_EQ(SetText("1.3.6.1.2.1.1.6.0", std::string(256, 'l')), SNMP_ERR_WRONGLENGTH);
  EXPECT_EQ(SetText("1.3.6.1.2.1.1.1.0", "x"), SNMP_ERR_NOTWRITABLE);
  EXPECT_EQ(SetText("1.3.6.1.2.1.1.9.1.3.1", "x"), SNMP_ERR_NOTWRITABLE);
  EXPECT_EQ(mib.Mib2System().SysLocation().str(), "");
}

}  // namespace
}  // namespace QVT
