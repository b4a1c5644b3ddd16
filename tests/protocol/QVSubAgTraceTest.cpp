// The trace channel and the varbind dump.
#include <gtest/gtest.h>

#include "BTrapOIDs.h"
#include "ProtocolTestUtil.h"
#include "QVSubAgTrace.h"

namespace QVT::test {
namespace {

struct Recorder : IMessageSubscriber {
  void OnMessage(const BMessage& m) override { texts.push_back(std::to_string(m.Type()) + " " + m.Text().str()); }
  std::vector<std::string> texts;
};

TEST(QVSubAgTraceTest, LinesAreFormattedAndPublishedOnlyForSubscribers) {
  Recorder other, trace;
  BMessageDispatcher* dispatcher = BMessageDispatcher::Instance();
  EXPECT_EQ(dispatcher->Subscribe(SA_TRACE_MESSAGE_TYPE + 1, nullptr, &other), 0);
  // %n stores the count of characters formatted so far: was the line formatted at all?
  int formatted = -1;
  QVSubAgTrace("IndexAlloc   sessionid= %d%n\n", 3, &formatted);
  EXPECT_EQ(formatted, -1);

  EXPECT_EQ(QVSubAgTraceSubscribe(&trace), 0);
  EXPECT_EQ(QVSubAgTraceSubscribe(&trace), -1);
  QVSubAgTrace("Ping   ");
  QVSubAgTrace("IndexAlloc   sessionid= %d\n%n", 3, &formatted);
  QVSubAgTrace("%s", std::string(600, 'x').c_str());
  dispatcher->Unsubscribe(SA_TRACE_MESSAGE_TYPE, &trace);
  dispatcher->Unsubscribe(SA_TRACE_MESSAGE_TYPE + 1, &other);

  EXPECT_EQ(formatted, 26);
  // Type 7; text beyond the 512-character line is cut.
  EXPECT_EQ(trace.texts, (std::vector<std::string>{"7 [SUBAG] Ping   ", "7 [SUBAG] IndexAlloc   sessionid= 3\n",
                                                   "7 [SUBAG] " + std::string(511, 'x')}));
  EXPECT_TRUE(other.texts.empty());
}

TEST(DumpVbListTest, TitleCountAndOneLinePerVarBind) {
  BVarBindList list;
  list.Append(BTrapOIDs::Instance()->SysUpTime(), Unsigned(ASN_TIMETICKS, 100));
  list.Append(BObjectIdentifier("1.3.6.1.2.1.1.5.0"), Octets("abc"));
  list.Append(BTrapOIDs::Instance()->SnmpTrapOid(), Oid("1.3.6.1.6.3.1.1.5.1"));
  ::testing::internal::CaptureStdout();
  DumpVbList("L", BVarBindList());
  DumpVbList("Trap", list);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "L  count=(0)\n "
            "Trap  count=(3)\n "
            "[1] sysUpTime.0: Timeticks: (100) 0:00:01.00\n"
            "[2] 1.3.6.1.2.1.1.5.0: STRING: \"abc\"\n"
            "[3] snmpTrapOID.0: OID: .1.3.6.1.6.3.1.1.5.1\n");
}

}  // namespace
}  // namespace QVT::test
