// The trace channel and the varbind dump.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BTrapOIDs.h"
#include "ProtocolTestUtil.h"
#include "QVSubAgTrace.h"

namespace QVT::test {
namespace {

class Recorder : public IMessageSubscriber {
 public:
  void OnMessage(const BMessage& message) override {
    types.push_back(message.Type());
    texts.push_back(message.Text().str());
  }
  std::vector<int> types;
  std::vector<std::string> texts;
};

class QVSubAgTraceTest : public ::testing::Test {
 protected:
  void TearDown() override {
    BMessageDispatcher::Instance()->Unsubscribe(SA_TRACE_MESSAGE_TYPE, &m_trace);
    BMessageDispatcher::Instance()->Unsubscribe(SA_TRACE_MESSAGE_TYPE + 1, &m_other);
  }
  Recorder m_trace;
  Recorder m_other;
};

TEST_F(QVSubAgTraceTest, NothingIsFormattedOrPublishedWithoutSubscriber) {
  ASSERT_EQ(BMessageDispatcher::Instance()->Subscribe(SA_TRACE_MESSAGE_TYPE + 1, nullptr, &m_other), 0);
  // %n stores the count of characters formatted so far: it shows whether
  // the line was formatted at all.
  int formatted = -1;
  QVSubAgTrace("IndexAlloc   sessionid= %d%n\n", 3, &formatted);
  EXPECT_EQ(formatted, -1);
  EXPECT_TRUE(m_other.texts.empty());
}

TEST_F(QVSubAgTraceTest, SubscribersReceiveThePrefixedLine) {
  ASSERT_EQ(QVSubAgTraceSubscribe(&m_trace), 0);
  EXPECT_EQ(QVSubAgTraceSubscribe(&m_trace), -1);

  int formatted = -1;
  QVSubAgTrace("Ping   ");
  QVSubAgTrace("IndexAlloc   sessionid= %d\n%n", 3, &formatted);
  QVSubAgTrace("%s", std::string(600, 'x').c_str());
  ASSERT_EQ(m_trace.texts.size(), 3u);
  EXPECT_EQ(m_trace.types[0], 7);
  EXPECT_EQ(m_trace.texts[0], "[SUBAG] Ping   ");
  EXPECT_EQ(m_trace.texts[1], "[SUBAG] IndexAlloc   sessionid= 3\n");
  EXPECT_EQ(formatted, 26);
  // Text beyond the 512-character line is cut.
  EXPECT_EQ(m_trace.texts[2], "[SUBAG] " + std::string(511, 'x'));
}

TEST_F(QVSubAgTraceTest, DiagnosticHookProducesNothing) {
  ASSERT_EQ(QVSubAgTraceSubscribe(&m_trace), 0);
  int formatted = -1;
  QVDbgModuleTraceClass(SA_DBG_SOCKET, "SendTo TO '%s'  socket=%d   ERR %x%n", "127.0.0.1:1", 3, 0u, &formatted);
  EXPECT_EQ(formatted, -1);
  EXPECT_TRUE(m_trace.texts.empty());
}

std::string Dump(const char* title, const BVarBindList& list) {
  ::testing::internal::CaptureStdout();
  DumpVbList(title, list);
  return ::testing::internal::GetCapturedStdout();
}

TEST(DumpVbListTest, EmptyListPrintsTheTitleLineOnly) {
  EXPECT_EQ(Dump("L", BVarBindList()), "L  count=(0)\n ");
}

TEST(DumpVbListTest, NotificationOidsPrintByName) {
  BVarBindList list;
  list.Append(BTrapOIDs::Instance()->SysUpTime(), Unsigned(ASN_TIMETICKS, 100));
  list.Append(BObjectIdentifier("1.3.6.1.2.1.1.5.0"), Octets("abc"));
  list.Append(BTrapOIDs::Instance()->SnmpTrapOid(), Oid("1.3.6.1.6.3.1.1.5.1"));
  EXPECT_EQ(Dump("Trap", list),
            "Trap  count=(3)\n "
            "[1] sysUpTime.0: Timeticks: (100) 0:00:01.00\n"
            "[2] 1.3.6.1.2.1.1.5.0: STRING: \"abc\"\n"
            "[3] snmpTrapOID.0: OID: .1.3.6.1.6.3.1.1.5.1\n");
}

}  // namespace
}  // namespace QVT::test
