// BMibHandler::ProcessSet: the four phases over several handlers, what runs
// after a failure in each phase, and where the error index points.
#include <gtest/gtest.h>

#include <string>

#include "BMibHandler.h"
#include "FakeSubtreeHandler.h"

namespace QVT {
namespace {

using test::FakeSubtreeHandler;

// The phases a handler saw, one letter each: t(est) c(ommit) u(ndo) x (cleanup).
std::string Phases(const FakeSubtreeHandler& h) {
  std::string out;
  for (const auto& call : h.Calls()) {
    if (call.op != 's') continue;
    out += call.code == SNMP_SET_TEST     ? 't'
           : call.code == SNMP_SET_COMMIT ? 'c'
           : call.code == SNMP_SET_UNDO   ? 'u'
                                          : 'x';
  }
  return out;
}

BVarBind IntVb(const char* name, int value) {
  BObjectSyntax v;
  v.SetInt(value);
  return BVarBind(BObjectIdentifier(name), v);
}

TEST(MibSetTest, FailuresInEachPhaseRunTheRightPhasesAndPointAtTheVarbind) {
  struct Case {
    const char* what;
    char failing;  // 'A', 'B' or 0
    ESnmpSetOpCode phase;
    int at;  // varbind of the failing handler
    int status;
    int expectStatus;
    int expectIndex;
    const char* phasesA;
    const char* phasesB;
    int valueA1;  // A's first instance afterwards (-1: not checked)
  } cases[] = {
      {"success", 0, SNMP_SET_TEST, 0, 0, 0, 0, "tcx", "tcx", 10},
      {"B refuses in test", 'B', SNMP_SET_TEST, 0, SNMP_ERR_WRONGVALUE, SNMP_ERR_WRONGVALUE, 2, "tx", "tx", 1},
      {"A refuses its second varbind", 'A', SNMP_SET_TEST, 1, SNMP_ERR_WRONGLENGTH, SNMP_ERR_WRONGLENGTH, 3, "tx", "",
       1},
      {"B commit fails: A undoes", 'B', SNMP_SET_COMMIT, 0, SNMP_ERR_GENERR, SNMP_ERR_COMMITFAILED, 2, "tcux", "tcx",
       1},
      {"A commit fails first", 'A', SNMP_SET_COMMIT, 1, SNMP_ERR_GENERR, SNMP_ERR_COMMITFAILED, 3, "tcx", "tx", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BMibHandler mib;
    FakeSubtreeHandler a("1.3.9.1", {"1.3.9.1.1", "1.3.9.1.2"});
    FakeSubtreeHandler b("1.3.9.2", {"1.3.9.2.1"});
    ASSERT_NE(mib.RegisterSubtreeHandler(&a), 0);
    ASSERT_NE(mib.RegisterSubtreeHandler(&b), 0);
    if (c.failing != 0) (c.failing == 'A' ? a : b).FailSet(c.phase, c.at, c.status);
    BVarBindList list;  // A owns positions 1 and 3, so its varbinds are gathered
    list.Append(IntVb("1.3.9.1.1", 10));
    list.Append(IntVb("1.3.9.2.1", 20));
    list.Append(IntVb("1.3.9.1.2", 30));
    int errorIndex = -1;
    EXPECT_EQ(mib.ProcessSet(5, BSecurityParams(), list, errorIndex), c.expectStatus);
    EXPECT_EQ(errorIndex, c.expectIndex);
    EXPECT_EQ(Phases(a), c.phasesA);
    EXPECT_EQ(Phases(b), c.phasesB);
    if (c.valueA1 >= 0) {
      EXPECT_EQ(a.ValueOf("1.3.9.1.1"), c.valueA1);
    }
    EXPECT_EQ(a.LiveSlots() + b.LiveSlots(), 0) << "every slot freed at cleanup";
  }
}

TEST(MibSetTest, UndoFailureAnswersUndoFailedAtTheUndoneVarbind) {
  BMibHandler mib;
  FakeSubtreeHandler a("1.3.9.1", {"1.3.9.1.1"});
  FakeSubtreeHandler b("1.3.9.2", {"1.3.9.2.1"});
  mib.RegisterSubtreeHandler(&a);
  mib.RegisterSubtreeHandler(&b);
  a.FailSet(SNMP_SET_UNDO, 0, SNMP_ERR_GENERR);
  b.FailSet(SNMP_SET_COMMIT, 0, SNMP_ERR_GENERR);
  BVarBindList list;
  list.Append(IntVb("1.3.9.1.1", 10));
  list.Append(IntVb("1.3.9.2.1", 20));
  int errorIndex = 0;
  EXPECT_EQ(mib.ProcessSet(5, BSecurityParams(), list, errorIndex), SNMP_ERR_UNDOFAILED);
  EXPECT_EQ(errorIndex, 1);
  EXPECT_EQ(Phases(a), "tcux");
}

TEST(MibSetTest, NamesNobodyOwnsAreNotWritableBeforeAnyTest) {
  BMibHandler mib;
  FakeSubtreeHandler a("1.3.9.1", {"1.3.9.1.1"});
  mib.RegisterSubtreeHandler(&a);
  BVarBindList list;
  list.Append(IntVb("1.3.9.1.1", 10));
  list.Append(IntVb("1.3.8", 1));
  int errorIndex = 0;
  EXPECT_EQ(mib.ProcessSet(5, BSecurityParams(), list, errorIndex), SNMP_ERR_NOTWRITABLE);
  EXPECT_EQ(errorIndex, 2);
  EXPECT_EQ(Phases(a), "");
}

}  // namespace
}  // namespace QVT
