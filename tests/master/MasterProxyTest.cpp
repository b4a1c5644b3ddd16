// The proxy subtree handler, driven the way the agent drives it: GET and
// GET-NEXT through BMibHandler::Query, SETs through ProcessSet, against a
// scripted sub-agent on loopback UDP.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "MasterTestSupport.h"

namespace QVT::test {
namespace {

using Strings = std::vector<std::string>;

// "<type> <first varbind name>" of each request the sub-agent received.
Strings Requests(const ScriptedSubAgent& agent) {
  Strings out;
  for (const BSAPdu& pdu : agent.Received()) {
    out.push_back(std::to_string(pdu.type) + " " +
                  (pdu.varBindList.IsEmpty() ? std::string("-") : pdu.varBindList[0].name.ToString().str()));
  }
  return out;
}

class ProxyTest : public MasterTest {
 protected:
  void SetUp() override {
    MasterTest::SetUp();
    m_agent = NewSubAgent(/*timeout=*/1);
  }
  // Every request carries the session and the transaction; `ids` distinct
  // request ids were drawn for them.
  void ExpectHeaders(unsigned tid, size_t ids) {
    std::set<unsigned> drawn;
    for (const BSAPdu& pdu : m_agent->Received()) {
      EXPECT_EQ(pdu.sessionId, m_agent->SessionId());
      EXPECT_EQ(pdu.transactionId, tid);
      EXPECT_NE(pdu.requestId, 0u);
      drawn.insert(pdu.requestId);
    }
    EXPECT_EQ(drawn.size(), ids);
  }
  std::unique_ptr<ScriptedSubAgent> m_agent;
};

TEST_F(ProxyTest, GetCopiesTheValuesAndLeavesTheNames) {
  // The sub-agent answers under other names: only values travel back.
  m_agent->Serve([](const BSAPdu& request, ScriptedSubAgent::Replier& reply) {
    BVarBindList out;
    for (int i = 0; i < request.varBindList.Count(); ++i) out.Append(BObjectIdentifier("1.9.9"), Int(50 + i));
    reply.Send(AnswerTo(request, out));
  });
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1"), 0);
  BVarBindList list;
  int errorIndex = 0;
  ASSERT_EQ(Query(SNMP_REQ_GET, {"1.3.6.1.2.1.1.5.0", "1.3.6.1.3.7.1.1.0", "1.3.6.1.3.7.1.2.0"}, list, errorIndex,
                  /*tid=*/7001),
            0);
  EXPECT_EQ(Texts(list)[1], "1.3.6.1.3.7.1.1.0=50");
  EXPECT_EQ(Texts(list)[2], "1.3.6.1.3.7.1.2.0=51");
  const std::vector<BSAPdu> received = m_agent->Received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].type, SA_PDU_GET);
  EXPECT_EQ(Texts(received[0].varBindList), (Strings{"1.3.6.1.3.7.1.1.0=NULL", "1.3.6.1.3.7.1.2.0=NULL"}));
  ExpectHeaders(7001, 1);
}

// The GET of varbinds 2 and 3 of a request whose first varbind the system
// group serves; the sub-agent's answer varies.
struct GetErrorRow {
  const char* label;
  const char* answer;  // "status/index/varbinds", or "none" for no answer
  int status;
  int errorIndex;  // 1-based in the whole request
};

void PrintTo(const GetErrorRow& row, std::ostream* os) {
  *os << row.label;
}

class ProxyGetErrorTest : public ProxyTest, public ::testing::WithParamInterface<GetErrorRow> {};

TEST_P(ProxyGetErrorTest, MapsTheAnswer) {
  const GetErrorRow& row = GetParam();
  int status = 0;
  int index = 0;
  int count = 0;
  const bool answer = std::sscanf(row.answer, "%d/%d/%d", &status, &index, &count) == 3;
  m_agent->Serve([=](const BSAPdu& request, ScriptedSubAgent::Replier& reply) {
    if (!answer) return;
    BVarBindList out;
    for (int i = 0; i < count; ++i) out.Append(BObjectIdentifier("1.3.6.1.3.7.1.1.0"), Int(7));
    reply.Send(AnswerTo(request, out, status, index));
  });
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1"), 0);
  BVarBindList list;
  int errorIndex = -1;
  EXPECT_EQ(Query(SNMP_REQ_GET, {"1.3.6.1.2.1.1.5.0", "1.3.6.1.3.7.1.1.0", "1.3.6.1.3.7.1.2.0"}, list, errorIndex),
            row.status);
  EXPECT_EQ(errorIndex, row.errorIndex);
  if (row.status != 0) {
    EXPECT_TRUE(list[1].value.IsNull()) << "values copied despite the error";
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ProxyGetErrorTest,
                         ::testing::Values(GetErrorRow{"Values", "0/0/2", 0, 0},
                                           GetErrorRow{"ErrorAtSecond", "2/2/2", SNMP_ERR_NOSUCHNAME, 3},
                                           GetErrorRow{"ErrorAtFirst", "2/1/2", SNMP_ERR_NOSUCHNAME, 2},
                                           GetErrorRow{"ErrorWithoutIndex", "13/0/0", SNMP_ERR_RESOURCEUNAVAILABLE, 2},
                                           GetErrorRow{"TooFewVarbinds", "0/0/1", SNMP_ERR_GENERR, 2},
                                           GetErrorRow{"TooManyVarbinds", "0/0/3", SNMP_ERR_GENERR, 2},
                                           GetErrorRow{"NoAnswer", "none", SNMP_ERR_GENERR, 2}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(ProxyTest, GetNextOfASubtreeProxyStartsAtItsSubtree) {
  m_agent->Serve(ServeInstances({{"1.3.6.1.3.7.1.1.0", 5}, {"1.3.6.1.3.7.1.2.0", 6}}));
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1"), 0);
  BVarBindList list;
  int errorIndex = 0;
  ASSERT_EQ(Query(SNMP_REQ_GET_NEXT, {"1.3.6.1.3.7", "1.3.6.1.3.7.1.1.0", "1.3.6.1.3.7.1.2.0"}, list, errorIndex,
                  /*tid=*/7002),
            0);
  EXPECT_EQ(Texts(list), (Strings{"1.3.6.1.3.7.1.1.0=5", "1.3.6.1.3.7.1.2.0=6", "1.3.6.1.3.7.1.2.0=endOfMibView"}));
  EXPECT_EQ(Requests(*m_agent), (Strings{"6 1.3.6.1.3.7.1", "6 1.3.6.1.3.7.1.1.0", "6 1.3.6.1.3.7.1.2.0"}));
  EXPECT_TRUE(m_agent->Received()[0].varBindList[0].value.IsNull());
  ExpectHeaders(7002, 3);
}

// A range of three row-instance proxies (5.1, 6.1, 7.1 under 1.3.6.1.3.7.1)
// asked for the name that follows 1.3.6.1.3.7: each proxy first GETs its
// instance; the sub-agent's answer to that GET decides whether it asks
// once more with a GET-NEXT.
struct RowInstanceRow {
  const char* getAnswer;  // "value", "noSuchInstance", "noSuchObject", "error", "none"
  Strings requests;
  const char* result;
};

void PrintTo(const RowInstanceRow& row, std::ostream* os) {
  *os << row.getAnswer;
}

class RowInstanceTest : public ProxyTest, public ::testing::WithParamInterface<RowInstanceRow> {};

TEST_P(RowInstanceTest, AsksForItsInstanceFirst) {
  const RowInstanceRow& row = GetParam();
  const std::string mode = row.getAnswer;
  const BObjectIdentifier first("1.3.6.1.3.7.1.5.1");
  m_agent->Serve([=](const BSAPdu& request, ScriptedSubAgent::Replier& reply) {
    BVarBindList out = request.varBindList;
    BVarBind& vb = out[0];
    if (vb.name != first) {  // 6.1 has the value 66; after it comes 1.3.6.1.3.7.2
      if (request.type == SA_PDU_GET) vb.value = Int(66);
      if (request.type == SA_PDU_GET_NEXT) vb = BVarBind(BObjectIdentifier("1.3.6.1.3.7.2"), Int(1));
      return reply.Send(AnswerTo(request, out));
    }
    if (request.type == SA_PDU_GET_NEXT) {  // the resend: the next instance lies outside 5.1
      vb = BVarBind(BObjectIdentifier("1.3.6.1.3.7.1.6.1"), Int(66));
      return reply.Send(AnswerTo(request, out));
    }
    if (mode == "none") return;
    vb.value = mode == "noSuchInstance" ? Exception(SNMP_NO_SUCH_INSTANCE)
               : mode == "noSuchObject" ? Exception(SNMP_NO_SUCH_OBJECT)
                                        : Int(55);
    reply.Send(AnswerTo(request, out, mode == "error" ? SNMP_ERR_GENERR : 0, mode == "error" ? 1 : 0));
  });
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1.5.1", {8, 7}), 0);
  BVarBindList list;
  int errorIndex = 0;
  ASSERT_EQ(Query(SNMP_REQ_GET_NEXT, {"1.3.6.1.3.7"}, list, errorIndex, /*tid=*/7003), 0);
  EXPECT_EQ(Texts(list), Strings{row.result});
  EXPECT_EQ(Requests(*m_agent), row.requests);
  // A resend keeps the request id of its GET.
  const bool resent = row.requests.size() == 3;
  ExpectHeaders(7003, resent ? 2 : row.requests.size());
  EXPECT_EQ(m_trace.Count("SendAndRecvPdu("), static_cast<int>(row.requests.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, RowInstanceTest,
    ::testing::Values(RowInstanceRow{"value", {"5 1.3.6.1.3.7.1.5.1"}, "1.3.6.1.3.7.1.5.1=55"},
                      RowInstanceRow{"noSuchInstance",
                                     {"5 1.3.6.1.3.7.1.5.1", "6 1.3.6.1.3.7.1.5.1", "5 1.3.6.1.3.7.1.6.1"},
                                     "1.3.6.1.3.7.1.6.1=66"},
                      RowInstanceRow{"noSuchObject",
                                     {"5 1.3.6.1.3.7.1.5.1", "6 1.3.6.1.3.7.1.5.1", "5 1.3.6.1.3.7.1.6.1"},
                                     "1.3.6.1.3.7.1.6.1=66"},
                      RowInstanceRow{"error",
                                     {"5 1.3.6.1.3.7.1.5.1", "6 1.3.6.1.3.7.1.5.1", "5 1.3.6.1.3.7.1.6.1"},
                                     "1.3.6.1.3.7.1.6.1=66"},
                      RowInstanceRow{"none", {"5 1.3.6.1.3.7.1.5.1", "5 1.3.6.1.3.7.1.6.1"}, "1.3.6.1.3.7.1.6.1=66"}),
    [](const auto& info) { return std::string(info.param.getAnswer); });

TEST_F(ProxyTest, RowInstanceResendsAtMostOnce) {
  // Every answer is noSuchInstance under the asked name.
  m_agent->Serve([](const BSAPdu& request, ScriptedSubAgent::Replier& reply) {
    BVarBindList out = request.varBindList;
    for (BVarBind& vb : out) vb.value = Exception(SNMP_NO_SUCH_INSTANCE);
    reply.Send(AnswerTo(request, out));
  });
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1.5.1", {8, 5}), 0);
  BVarBindList list;
  int errorIndex = 0;
  ASSERT_EQ(Query(SNMP_REQ_GET_NEXT, {"1.3.6.1.3.7"}, list, errorIndex), 0);
  EXPECT_EQ(Texts(list), Strings{"1.3.6.1.3.7=endOfMibView"});
  EXPECT_EQ(Requests(*m_agent), (Strings{"5 1.3.6.1.3.7.1.5.1", "6 1.3.6.1.3.7.1.5.1"}));
}

TEST_F(ProxyTest, GetNextAnswerOutsideTheSubtreeOrMissingIsEndOfMibView) {
  // Called on the proxy itself, so that the host's own checks do not hide
  // what the proxy answers.
  m_agent->Serve([](const BSAPdu& request, ScriptedSubAgent::Replier& reply) {
    const std::string name = request.varBindList[0].name.ToString().str();
    BVarBindList out;
    if (name == "1.3.6.1.3.7.1.1") out.Append(BObjectIdentifier("1.3.6.1.3.7.2.1"), Int(1));  // outside
    if (name == "1.3.6.1.3.7.1.2") out.Append(BObjectIdentifier("1.3.6.1.3.7.1.3"), Int(3));  // inside
    if (name == "1.3.6.1.3.7.1.4") return;                                                    // no answer
    if (name == "1.3.6.1.3.7.1.5") {                                                          // two varbinds
      out.Append(BObjectIdentifier("1.3.6.1.3.7.1.6"), Int(6));
      out.Append(BObjectIdentifier("1.3.6.1.3.7.1.7"), Int(7));
    }
    reply.Send(AnswerTo(request, out, /*errorStatus=*/5));  // not consulted for GET-NEXT
  });
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1"), 0);
  TReadLock reading(m_mib.Synch());
  BMibSubtreeHandler* proxy = m_mib.Tree().FindSubtreeHandlerNode(BObjectIdentifier("1.3.6.1.3.7.1"))->Handler();
  const struct {
    const char* asked;
    const char* result;
  } rows[] = {{"1.3.6.1.3.7.1.1", "1.3.6.1.3.7.1.1=endOfMibView"},
              {"1.3.6.1.3.7.1.2", "1.3.6.1.3.7.1.3=3"},
              {"1.3.6.1.3.7.1.4", "1.3.6.1.3.7.1.4=endOfMibView"},
              {"1.3.6.1.3.7.1.5", "1.3.6.1.3.7.1.5=endOfMibView"}};
  for (const auto& row : rows) {
    BVarBindList one;
    one.Append(BObjectIdentifier(row.asked), Int(-1));
    EXPECT_EQ(proxy->GetNext(/*tid=*/1, one[0]), 0);
    EXPECT_EQ(Texts(one), Strings{row.result});
  }
  // The host's varbind goes out as it is.
  ASSERT_EQ(m_agent->Received().size(), 4u);
  EXPECT_EQ(Texts(m_agent->Received()[1].varBindList), Strings{"1.3.6.1.3.7.1.2=-1"});
}

TEST_F(ProxyTest, GetOfNoVarbindsSendsAnEmptyGet) {
  m_agent->Serve(ServeInstances({}));
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1"), 0);
  TReadLock reading(m_mib.Synch());
  BMibSubtreeHandler* proxy = m_mib.Tree().FindSubtreeHandlerNode(BObjectIdentifier("1.3.6.1.3.7.1"))->Handler();
  BVarBindList list;
  int index = 0;
  EXPECT_EQ(proxy->Get(/*tid=*/3, list, index, 0), 0);
  ASSERT_EQ(m_agent->Received().size(), 1u);
  EXPECT_EQ(m_agent->Received()[0].type, SA_PDU_GET);
  EXPECT_EQ(m_agent->Received()[0].varBindList.Count(), 0);
}

// SETs over two proxies of one sub-agent, A (1.3.6.1.3.7.1) and B
// (1.3.6.1.3.7.2); the sub-agent fails one phase of B when told to.
struct SetRow {
  const char* label;
  int failType;  // PDU type B fails, or 0
  int status;    // ProcessSet's result
  int errorIndex;
  Strings requests;
};

void PrintTo(const SetRow& row, std::ostream* os) {
  *os << row.label;
}

class ProxySetTest : public ProxyTest, public ::testing::WithParamInterface<SetRow> {};

TEST_P(ProxySetTest, PhasesBecomePduTypes) {
  const SetRow& row = GetParam();
  m_agent->Serve([fail = row.failType](const BSAPdu& request, ScriptedSubAgent::Replier& reply) {
    const bool failB = request.type == fail && request.varBindList[0].name.ToString().str() == "1.3.6.1.3.7.2.1.0";
    reply.Send(AnswerTo(request, BVarBindList(), failB ? SNMP_ERR_WRONGVALUE : 0, failB ? 1 : 0));
  });
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1"), 0);
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.2"), 0);
  BVarBindList list;
  list.Append(BObjectIdentifier("1.3.6.1.3.7.1.1.0"), Int(1));
  list.Append(BObjectIdentifier("1.3.6.1.3.7.2.1.0"), Int(2));
  int errorIndex = -1;
  EXPECT_EQ(m_mib.ProcessSet(/*tid=*/9001, BSecurityParams(), list, errorIndex), row.status);
  EXPECT_EQ(errorIndex, row.errorIndex);
  Strings requests;
  for (const std::string& r : Requests(*m_agent)) requests.push_back(r.substr(0, r.size() - 4));  // "8 ...7.1"
  EXPECT_EQ(requests, row.requests);
  for (const BSAPdu& pdu : m_agent->Received()) EXPECT_EQ(Texts(pdu.varBindList).size(), 1u);
  ExpectHeaders(9001, row.requests.size());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProxySetTest,
    ::testing::Values(SetRow{"AllPhasesSucceed",
                             0,
                             0,
                             0,
                             {"8 1.3.6.1.3.7.1", "8 1.3.6.1.3.7.2", "9 1.3.6.1.3.7.1", "9 1.3.6.1.3.7.2",
                              "11 1.3.6.1.3.7.1", "11 1.3.6.1.3.7.2"}},
                      SetRow{"TestFails",
                             SA_PDU_SET_TEST,
                             SNMP_ERR_WRONGVALUE,
                             2,
                             {"8 1.3.6.1.3.7.1", "8 1.3.6.1.3.7.2", "11 1.3.6.1.3.7.1", "11 1.3.6.1.3.7.2"}},
                      SetRow{"CommitFails",
                             SA_PDU_SET_COMMIT,
                             SNMP_ERR_COMMITFAILED,
                             2,
                             {"8 1.3.6.1.3.7.1", "8 1.3.6.1.3.7.2", "9 1.3.6.1.3.7.1", "9 1.3.6.1.3.7.2",
                              "10 1.3.6.1.3.7.1", "11 1.3.6.1.3.7.1", "11 1.3.6.1.3.7.2"}}));

TEST_F(ProxyTest, SetOfAnUnknownPhaseIsATestAndATimeoutIsGenErr) {
  m_agent->Serve([](const BSAPdu&, ScriptedSubAgent::Replier&) {});  // never answers
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1"), 0);
  BVarBindList list;
  list.Append(BObjectIdentifier("1.3.6.1.3.7.1.1.0"), Int(1));
  TReadLock reading(m_mib.Synch());
  BMibSubtreeHandler* proxy = m_mib.Tree().FindSubtreeHandlerNode(BObjectIdentifier("1.3.6.1.3.7.1"))->Handler();
  void* slot = nullptr;
  int index = 0;
  EXPECT_EQ(proxy->Set(/*tid=*/5, list, static_cast<ESnmpSetOpCode>(0x55), &slot, index, 1), SNMP_ERR_GENERR);
  EXPECT_EQ(index, 0);
  ASSERT_EQ(m_agent->Received().size(), 1u);
  EXPECT_EQ(m_agent->Received()[0].type, SA_PDU_SET_TEST);
  EXPECT_EQ(m_agent->Received()[0].transactionId, 5u);
}

}  // namespace
}  // namespace QVT::test
