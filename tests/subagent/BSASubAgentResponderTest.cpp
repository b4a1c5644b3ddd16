// The command responder: the master's GET, GET-NEXT and GET-BULK over the
// wire against a running sub-agent, the answers to other PDU types and to
// datagrams that are no request, and the 2048-octet limit of an answer,
// driven directly through ProcessPdu and QueryGetBulk.
#include <gtest/gtest.h>

#include <atomic>

#include "BMibImpl.h"
#include "BSAEncoder.h"
#include "BTransactions.h"
#include "FakeSubtreeHandler.h"
#include "SubAgentTestSupport.h"

namespace QVT::test {
namespace {

constexpr const char* kFake = "1.3.6.1.4.1.99.1";
constexpr const char* kBig = "1.3.6.1.4.1.99.2";
constexpr int kBigEntries = 12;

class ResponderTest : public SubAgentTest {
 protected:
  void SetUp() override {
    SubAgentTest::SetUp();
    for (int k = 1; k <= kBigEntries; ++k) {
      m_big.AddEntry(k, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING).Getter([this, k](BObjectSyntax& value) {
        value.SetOctets(std::string(m_lengths[k], 'x'));
      });
    }
    OpenSubAgent();
    ASSERT_NE(m_subAgent->m_mibHandler.RegisterSubtreeHandler(&m_fake), 0);
    ASSERT_NE(m_subAgent->m_mibHandler.RegisterSubtreeHandler(&m_big), 0);
  }

  void TearDown() override {
    SubAgentTest::TearDown();
    m_subAgent->m_mibHandler.UnregisterSubtreeHandler(&m_fake);
    m_subAgent->m_mibHandler.UnregisterSubtreeHandler(&m_big);
  }

  static BSAPdu Request(int type, BVarBindList list) {
    BSAPdu request(static_cast<ESAPduType>(type), 0x555, 0x1234567);
    request.transactionId = 9;
    request.varBindList = list;
    return request;
  }

  // Gives every big entry the value length that makes its varbind's
  // estimated encoding `octets` long.
  void SetEncodedLength(int octets) {
    BVarBind sample(BObjectIdentifier(std::string(kBig) + ".1.0"), Text(""));
    for (int k = 1; k <= kBigEntries; ++k) m_lengths[k] = octets - BSAEncoder::CalculateLengthOfEncoding(sample);
  }

  // ProcessPdu as the responder runs it, without the network.
  BSAPdu Process(BSAPdu request) {
    BSAPdu answer(SA_PDU_RESPONSE, request.sessionId, request.requestId);
    answer.varBindList = request.varBindList;
    m_subAgent->ProcessPdu(request.transactionId, request, answer);
    return answer;
  }

  static std::vector<std::string> NamesOf(const BVarBindList& list) {
    std::vector<std::string> names;
    for (const BVarBind& vb : list) names.push_back(vb.name.ToString().str());
    return names;
  }

  FakeSubtreeHandler m_fake{kFake,
                            {"1.3.6.1.4.1.99.1.1.0", "1.3.6.1.4.1.99.1.2.0", "1.3.6.1.4.1.99.1.3.0",
                             "1.3.6.1.4.1.99.1.4.0", "1.3.6.1.4.1.99.1.5.0", "1.3.6.1.4.1.99.1.6.0"}};
  BMibImpl m_big{"big", BObjectIdentifier(kBig)};
  int m_lengths[kBigEntries + 1] = {};
};

TEST_F(ResponderTest, AnswersEchoTheRequestsIdsWithUpTime0) {
  m_subAgent->Start();
  struct Row {
    int type;
    BVarBindList list;
    std::vector<std::string> answer;
  };
  const Row rows[] = {
      {SA_PDU_GET,
       Names({"1.3.6.1.4.1.99.1.1.0", "1.3.6.1.4.1.99.1.3.0"}),
       {"1.3.6.1.4.1.99.1.1.0=INTEGER: 1", "1.3.6.1.4.1.99.1.3.0=INTEGER: 3"}},
      {SA_PDU_GET_NEXT,
       Names({"1.3.6.1.4.1.99.1", "1.3.6.1.4.1.99.1.4.0"}),
       {"1.3.6.1.4.1.99.1.1.0=INTEGER: 1", "1.3.6.1.4.1.99.1.5.0=INTEGER: 5"}},
      // The frame carries no non-repeaters and max-repetitions in a request:
      // a GET-BULK off the wire is one GET-NEXT per varbind.
      {SA_PDU_GET_BULK,
       Names({"1.3.6.1.4.1.99.1.1.0", "1.3.6.1.4.1.99.1.2.0"}),
       {"1.3.6.1.4.1.99.1.2.0=INTEGER: 2", "1.3.6.1.4.1.99.1.3.0=INTEGER: 3"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.type);
    const std::optional<BSAPdu> answer = m_master.Exchange(Request(row.type, row.list));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->type, SA_PDU_RESPONSE);
    EXPECT_EQ(answer->sessionId, 0x555u);  // not compared with our session
    EXPECT_EQ(answer->requestId, 0x1234567u);
    EXPECT_EQ(answer->transactionId, 0u);
    EXPECT_EQ(answer->sysUpTime, 0u);
    EXPECT_EQ(answer->errorStatus, 0);
    EXPECT_EQ(Texts(answer->varBindList), row.answer);
  }
  EXPECT_TRUE(WaitUntil([&] { return m_subAgent->RequestsAnswered() == 3; }));
}

TEST_F(ResponderTest, OtherPduTypesAreAnsweredGenErrWithAnEmptyList) {
  m_subAgent->Start();
  for (const int type : {0, 1, 2, 3, 4, 12, 13, 14, 15, 16, 17, 18, 19, 255}) {
    SCOPED_TRACE(type);
    const std::optional<BSAPdu> answer = m_master.Exchange(Request(type, Names({"1.3.6.1.4.1.99.1.1.0"})));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->requestId, 0x1234567u);
    EXPECT_EQ(answer->errorStatus, SNMP_ERR_GENERR);
    EXPECT_EQ(answer->errorIndex, 0);
    EXPECT_TRUE(answer->varBindList.IsEmpty());
  }
}

// Datagrams of 9 octets or fewer and datagrams that do not decode get no
// answer: the first answer that comes back is the one to the GET after them.
TEST_F(ResponderTest, ShortAndUndecodableDatagramsGetNoAnswer) {
  SetEncodedLength(256);
  m_subAgent->Start();
  const std::vector<unsigned char> frame = Encoded(Request(SA_PDU_GET, Names({"1.3.6.1.4.1.99.1.2.0"})));
  m_master.SendRaw({frame.begin(), frame.begin() + 9});
  m_master.SendRaw({frame.begin(), frame.begin() + 20});
  m_master.SendRaw(std::vector<unsigned char>(12, 0x30));
  // An answer whose varbinds pass the size check but whose frame does not
  // fit the datagram buffer cannot be sent.
  BVarBindList big;
  for (int k = 1; k <= 8; ++k) big.Append(BObjectIdentifier(std::string(kBig) + "." + std::to_string(k) + ".0"));
  m_master.SendRaw(Encoded(Request(SA_PDU_GET, big)));
  BSAPdu get = Request(SA_PDU_GET, Names({"1.3.6.1.4.1.99.1.2.0"}));
  get.requestId = 0x42;
  m_master.SendRaw(Encoded(get));
  const std::optional<BSAPdu> answer = m_master.NextAnswer();
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->requestId, 0x42u);
  EXPECT_EQ(Texts(answer->varBindList), std::vector<std::string>{"1.3.6.1.4.1.99.1.2.0=INTEGER: 2"});
}

// MIB code finds a transaction under the request's id while the request
// runs; one registered by somebody else under that id stays theirs.
TEST_F(ResponderTest, RequestRunsUnderAHostTransaction) {
  class Probe : public BMibSubtreeHandler {
   public:
    Probe() : BMibSubtreeHandler("probe", "1.3.6.1.4.1.99.7") {}
    int Get(unsigned int tid, BVarBindList& list, int& index, int count) override {
      found = BTransactions::Instance()->Find(tid);  // on the responder thread
      for (int i = index; i < index + count; ++i) list[i].value.SetInt(1);
      return 0;
    }
    std::atomic<BTransaction*> found{nullptr};
  } probe;
  ASSERT_NE(m_subAgent->m_mibHandler.RegisterSubtreeHandler(&probe), 0);
  m_subAgent->Start();
  BTransaction theirs;
  ASSERT_EQ(BTransactions::Instance()->StartTransaction(10, &theirs), 0);
  for (const unsigned tid : {9u, 10u}) {
    BSAPdu get = Request(SA_PDU_GET, Names({"1.3.6.1.4.1.99.7.1.0"}));
    get.transactionId = tid;
    ASSERT_TRUE(m_master.Exchange(get).has_value());
    EXPECT_NE(probe.found, nullptr);
  }
  EXPECT_EQ(probe.found, &theirs);
  EXPECT_EQ(BTransactions::Instance()->Find(9), nullptr);
  EXPECT_EQ(BTransactions::Instance()->Find(10), &theirs);
  BTransactions::Instance()->EndTransaction(10);
  m_subAgent->Stop();
  m_subAgent->m_mibHandler.UnregisterSubtreeHandler(&probe);
}

TEST_F(ResponderTest, HandlerErrorIsAnsweredWithItsIndexAndAnEmptyList) {
  m_fake.FailGet(SNMP_ERR_RESOURCEUNAVAILABLE);
  m_subAgent->Start();
  const std::optional<BSAPdu> answer =
      m_master.Exchange(Request(SA_PDU_GET, Names({"1.3.6.1.2.1.1.3.0", "1.3.6.1.4.1.99.1.1.0"})));
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->errorStatus, SNMP_ERR_RESOURCEUNAVAILABLE);
  EXPECT_EQ(answer->errorIndex, 2);
  EXPECT_TRUE(answer->varBindList.IsEmpty());
}

TEST_F(ResponderTest, EachStepWritesItsTraceLine) {
  TraceRecorder trace;
  FakeSubtreeHandler extra("1.3.6.1.4.1.99.8", {});
  m_master.SetScript([](const BSAPdu& request) {
    std::vector<Datagram> answer = ScriptedMaster::AnswerAll(request);
    answer[0].fromOtherSocket = request.type == SA_PDU_PING;
    return answer;
  });
  ASSERT_EQ(m_subAgent->Register(&extra), 0);
  int upTime = 0;
  ASSERT_EQ(m_subAgent->Ping(upTime), 0);
  m_subAgent->Start();
  m_master.SendRaw(std::vector<unsigned char>(9, 0x30));  // too short to be decoded at all
  m_master.SendRaw(std::vector<unsigned char>(12, 0x30));
  ASSERT_TRUE(m_master.Exchange(Request(SA_PDU_GET, Names({"1.3.6.1.4.1.99.1.1.0"}))).has_value());
  {
    TMutexLock handlerLock(*m_fake.Lock());       // the responder reads the setting under it
    m_fake.FailGet(SA_WIRE_INDEX_NOT_ALLOCATED);  // a status above the SNMP range
  }
  const std::optional<BSAPdu> failed = m_master.Exchange(Request(SA_PDU_GET, Names({"1.3.6.1.4.1.99.1.1.0"})));
  ASSERT_TRUE(failed.has_value());
  EXPECT_EQ(failed->errorStatus, SA_WIRE_INDEX_NOT_ALLOCATED);

  const std::string exchange = " SendAndRecvPdu(" + std::to_string(BSASubAgentPeer::RequestDescriptor(*m_subAgent)) +
                               ")  119, " + m_master.Address();
  const std::string answered =
      "ReturnResponsePdu  sessId=1365, rqId=19088743  --> 127.0.0.1:" + std::to_string(m_master.RequesterPort());
  EXPECT_EQ(
      trace.Lines(),
      (std::vector<std::string>{
          "Register handler", exchange, "Ping   ", exchange, " SendAndRecvPdu RecvFrom !(aMaster == m_addrMaster)",
          "ProcessRcvdData DECODING ERR = 800c0010", "ProcessRcvdData tranid=9  pdutype = GET (5)", answered,
          "ProcessRcvdData tranid=9  pdutype = GET (5)", "ProcessRcvdData ProcPdu err = 105", answered}));
}

// GET answers count their varbinds against 2048 octets: exactly 2048
// passes, one octet more is tooBig with an empty list.
TEST_F(ResponderTest, GetAnswerOf2048OctetsPassesAndOneMoreIsTooBig) {
  SetEncodedLength(256);
  BVarBindList names;
  for (int k = 1; k <= 8; ++k) names.Append(BObjectIdentifier(std::string(kBig) + "." + std::to_string(k) + ".0"));
  BSAPdu answer = Process(Request(SA_PDU_GET, names));
  EXPECT_EQ(answer.errorStatus, 0);
  EXPECT_EQ(answer.varBindList.Count(), 8);

  ++m_lengths[8];
  answer = Process(Request(SA_PDU_GET, names));
  EXPECT_EQ(answer.errorStatus, SNMP_ERR_TOOBIG);
  EXPECT_EQ(answer.errorIndex, 0);
  EXPECT_TRUE(answer.varBindList.IsEmpty());
}

TEST_F(ResponderTest, GetBulkRepeatsTheRepeatersAfterTheNonRepeaters) {
  struct Row {
    int nonRepeaters;
    int maxRepetitions;
    std::vector<std::string> names;  // last arcs below kFake, without ".0"
  };
  const Row rows[] = {
      {2, 5, {"2", "4"}},                      // N = V: no repetitions
      {1, 3, {"2", "4", "5", "6"}},            // one non-repeater, then three repetitions
      {0, 3, {"2", "4", "3", "5", "4", "6"}},  // repetitions interleaved in request order
      {0, 1, {"2", "4"}},
      {0, 0, {"2", "4"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.nonRepeaters << "/" << row.maxRepetitions);
    BSAPdu request = Request(SA_PDU_GET_BULK, Names({"1.3.6.1.4.1.99.1.1.0", "1.3.6.1.4.1.99.1.3.0"}));
    request.errorStatus = row.nonRepeaters;
    request.errorIndex = row.maxRepetitions;
    BVarBindList list = request.varBindList;
    int errorIndex = 0;
    ASSERT_EQ(m_subAgent->QueryGetBulk(9, request, list, errorIndex), 0);
    std::vector<std::string> expected;
    for (const std::string& arc : row.names) expected.push_back(std::string(kFake) + "." + arc + ".0");
    EXPECT_EQ(NamesOf(list), expected);
  }
  for (const int nonRepeaters : {-1, 3}) {
    BSAPdu request = Request(SA_PDU_GET_BULK, Names({"1.3.6.1.4.1.99.1.1.0", "1.3.6.1.4.1.99.1.4.0"}));
    request.errorStatus = nonRepeaters;
    BVarBindList list = request.varBindList;
    int errorIndex = 99;
    EXPECT_EQ(m_subAgent->QueryGetBulk(9, request, list, errorIndex), SNMP_ERR_GENERR);
    EXPECT_EQ(errorIndex, 0);
    EXPECT_TRUE(list.IsEmpty());
  }
}

// With a 50-octet allowance for the header, a repetition that would take
// the answer beyond 2048 octets is left out whole and the answer is noError;
// one that ends exactly at 2048 stays.
TEST_F(ResponderTest, GetBulkStopsBeforeTheRepetitionThatPasses2048Octets) {
  struct Row {
    int varbindOctets;
    int kept;
  };
  // 50 + 10 * 199 = 2040; 50 + 9 * 222 = 2048; 50 + 7 * 256 = 1842 (8 * 256 alone would fit)
  for (const Row row : {Row{199, 10}, Row{222, 9}, Row{256, 7}}) {
    SCOPED_TRACE(row.varbindOctets);
    SetEncodedLength(row.varbindOctets);
    BSAPdu request = Request(SA_PDU_GET_BULK, Names({kBig}));
    request.errorIndex = 20;
    BVarBindList list = request.varBindList;
    int errorIndex = 0;
    EXPECT_EQ(m_subAgent->QueryGetBulk(9, request, list, errorIndex), 0);
    EXPECT_EQ(list.Count(), row.kept);
  }
}

TEST_F(ResponderTest, GetBulkWhoseFirstPassExceeds2048OctetsIsTooBig) {
  SetEncodedLength(256);
  for (const int nonRepeaters : {9, 0}) {  // no repeaters; repeaters (the choice made for them)
    SCOPED_TRACE(nonRepeaters);
    BVarBindList names;
    for (int k = 0; k < 9; ++k) names.Append(BObjectIdentifier(std::string(kBig) + "." + std::to_string(k)));
    BSAPdu request = Request(SA_PDU_GET_BULK, names);
    request.errorStatus = nonRepeaters;
    request.errorIndex = 5;
    BSAPdu answer = Process(request);
    EXPECT_EQ(answer.errorStatus, SNMP_ERR_TOOBIG);
    EXPECT_TRUE(answer.varBindList.IsEmpty());
  }
}

}  // namespace
}  // namespace QVT::test
