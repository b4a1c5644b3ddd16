// The command responder and the SET phases: the master's requests over the
// wire, answer sizes and GET-BULK through ProcessPdu, the SET records and the
// index requests that follow rows created and deleted through RowStatus.
#include <map>
#include <sstream>

#include "BMibTableImplEx.h"
#include "BSAEncoder.h"
#include "BTransactions.h"
#include "FakeSubtreeHandler.h"
#include "SubAgentTestSupport.h"

namespace QVT::test {
namespace {

enum { T = SA_PDU_SET_TEST, C, U, X };
const std::string kFake = "1.9.1.";   // six instances kFake.k.0 with value k
const std::string kRow = "1.9.3.1.";  // entry of a read-create table

// A read-create table with row 5 active, whose undo can be made to fail
// after it has done its work.
struct RowTable : public BMibTableImplEx {
  RowTable() : BMibTableImplEx("rows", BObjectIdentifier("1.9.3.1")) {
    AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER);
    AddColumn(2, MIB_ACCESS_READ_CREATE, ASN_OCTET_STRING).Default(Val("''"));
    SetRowStatusColumn(4);
    AddIndex(1, MIB_INDEX_INTEGER);
    AddRow(BObjectIdentifier{5});
    StoreCell(BObjectIdentifier{5}, 4, Val("1"));
  }
  int Set(unsigned tid, const BVarBindList& list, ESnmpSetOpCode code, void** contexts, int& index,
          int count) override {
    const int status = BMibTableImplEx::Set(tid, list, code, contexts, index, count);
    return code == SNMP_SET_UNDO && failUndo ? (index = 0, SNMP_ERR_GENERR) : status;
  }
  bool failUndo = false;
};

class ResponderTest : public SubAgentTest {
 protected:
  void SetUp() override {
    SubAgentTest::SetUp();
    for (int k = 1; k <= 12; ++k) {
      m_big.AddEntry(k, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING).Getter([this](BObjectSyntax& value) {
        value.SetOctets(std::string(m_length, 'x'));
        m_found = BTransactions::Instance()->Find(9);  // on the responder thread
      });
    }
    Open();
    for (BMibSubtreeHandler* handler : Handlers()) ASSERT_NE(m_sa->m_mibHandler.RegisterSubtreeHandler(handler), 0);
  }
  void TearDown() override {
    m_sa->Stop();  // before the handlers go
    for (BMibSubtreeHandler* handler : Handlers()) m_sa->m_mibHandler.UnregisterSubtreeHandler(handler);
  }
  std::vector<BMibSubtreeHandler*> Handlers() { return {&m_fake, &m_big}; }

  // Gives the big entries values whose varbinds encode to `octets`.
  void SetEncodedLength(int octets) {
    m_length = octets - static_cast<int>(BSAEncoder::CalculateLengthOfEncoding(Big(1, 1)[0]));
  }
  // The names big.k.0 for k = first..last.
  static BVarBindList Big(int first, int last) {
    BVarBindList list;
    for (int k = first; k <= last; ++k) list.Append(BObjectIdentifier("1.9.2." + std::to_string(k) + ".0"));
    return list;
  }
  // ProcessPdu as the responder runs it, without the network: "status/index".
  std::string Process(int type, const BVarBindList& list, unsigned tid = 9, int nonRepeaters = 0, int repetitions = 0) {
    BSAPdu request = Pdu(type, 0x555, 0x1234567, list);
    request.errorStatus = nonRepeaters;
    request.errorIndex = repetitions;
    m_answer = Pdu(SA_PDU_RESPONSE, 0x555, 0x1234567, list);
    m_sa->ProcessPdu(tid, request, m_answer);
    EXPECT_TRUE(m_answer.errorStatus == 0 || m_answer.varBindList.IsEmpty());
    return std::to_string(m_answer.errorStatus) + "/" + std::to_string(m_answer.errorIndex);
  }

  // Runs SET phases ("T:list C U X", T with a list of m_lists) on transaction
  // `tid`, each followed by its answer's "=status/index".
  std::string Phases(const std::string& steps, unsigned tid) {
    std::istringstream in(steps);
    std::string phases;
    for (std::string step; in >> step;) {
      const size_t colon = step.find(':'), eq = step.find('=');
      const BVarBindList list = colon < eq ? m_lists.at(step.substr(colon + 1, eq - colon - 1)) : BVarBindList();
      const int type = T + static_cast<int>(std::string("TCUX").find(step[0]));
      phases += (phases.empty() ? "" : " ") + step.substr(0, eq + 1) + Process(type, list, tid);
    }
    return phases;
  }

  const std::map<std::string, BVarBindList> m_lists = {
      {"create7", Vbl({kRow + "2.7='n'", kRow + "4.7=4"})}, {"destroy5", Vbl({kRow + "4.5=6"})},
      {"rename5", Vbl({kRow + "2.5='renamed'"})},           {"outside", Vbl({"1.8.1.0=1", kFake + "1.0=1"})},
      {"pair", Vbl({kFake + "1.0=10", kFake + "2.0=20"})},  {"span", Vbl({kFake + "1.0=10", "1.9.5.1.0=20"})}};
  FakeSubtreeHandler m_fake{"1.9.1", {"1.9.1.1.0", "1.9.1.2.0", "1.9.1.3.0", "1.9.1.4.0", "1.9.1.5.0", "1.9.1.6.0"}};
  BMibImpl m_big{"big", BObjectIdentifier("1.9.2")};
  std::atomic<BTransaction*> m_found{nullptr};
  int m_length = 0;
  BSAPdu m_answer;
};

// Answers echo the request's ids (not compared with our session) with
// up-time 0, under a host transaction of the request's id; an error answer
// has an empty list; a GET-BULK off the wire has no non-repeaters and
// max-repetitions: one GET-NEXT per varbind. Datagrams of 9 octets or fewer,
// datagrams that do not decode and answers that do not fit get no answer.
TEST_F(ResponderTest, AnswersOverTheWire) {
  SetEncodedLength(256);
  m_sa->Start();
  const std::vector<unsigned char> frame = Encoded(Pdu(SA_PDU_GET, 1, 2, Vbl({kFake + "2.0"})));
  for (const auto& junk : {std::vector<unsigned char>(frame.begin(), frame.begin() + 9),
                           std::vector<unsigned char>(frame.begin(), frame.begin() + 20),
                           std::vector<unsigned char>(12, 0x30), Encoded(Pdu(SA_PDU_GET, 1, 3, Big(1, 8)))}) {
    m_master.SendRaw(junk);
  }
  const std::tuple<int, BVarBindList, std::string> rows[] = {
      {SA_PDU_GET, Vbl({kFake + "1.0", kFake + "3.0"}), "0/0|" + kFake + "1.0=1|" + kFake + "3.0=3"},
      {SA_PDU_GET_NEXT, Vbl({"1.9.1", kFake + "4.0"}), "0/0|" + kFake + "1.0=1|" + kFake + "5.0=5"},
      {SA_PDU_GET_BULK, Vbl({kFake + "1.0", kFake + "2.0"}), "0/0|" + kFake + "2.0=2|" + kFake + "3.0=3"},
      {SA_PDU_GET, Big(1, 1), "0/0|1.9.2.1.0=\"" + std::string(m_length, 'x') + "\""},
      {0, Vbl({kFake + "1.0"}), "5/0|"},
      {4, Vbl({kFake + "1.0"}), "5/0|"},
      {12, Vbl({kFake + "1.0"}), "5/0|"},
      {18, Vbl({kFake + "1.0"}), "5/0|"},
      {255, Vbl({kFake + "1.0"}), "5/0|"}};
  for (const auto& [type, list, expected] : rows) {
    BSAPdu request = Pdu(type, 0x555, 0x1234567, list);
    request.transactionId = 9;
    const std::optional<BSAPdu> answer = m_master.Exchange(request);
    ASSERT_TRUE(answer.has_value()) << type;
    EXPECT_EQ(R(answer->errorStatus) + "/" + R(answer->errorIndex) + "|" + Texts(answer->varBindList), expected);
    EXPECT_EQ(Texts(Pdu(answer->type, answer->sessionId, 0)) + R(answer->transactionId + answer->sysUpTime),
              "t18 s1365 f00");
  }
  EXPECT_TRUE(WaitUntil([&] { return m_sa->RequestsAnswered() == std::size(rows); }, 3000, 10));
  EXPECT_TRUE(m_found != nullptr && BTransactions::Instance()->Find(9) == nullptr);
}
// A handler's error is answered with its index; GET answers count their
// varbinds against 2048 octets: exactly 2048 pass, more are tooBig. GET-BULK lists the non-repeaters, then repetition
// after repetition of the repeaters, and counts 50 octets for the header: a repetition that would pass 2048 octets is
// left out whole, a first pass beyond them is tooBig.
TEST_F(ResponderTest, AnswerSizesAndGetBulk) {
  for (const int status : {int{SNMP_ERR_RESOURCEUNAVAILABLE}, int{SA_WIRE_INDEX_NOT_ALLOCATED}, 0}) {
    m_fake.FailGet(status);
    EXPECT_EQ(Process(SA_PDU_GET, Vbl({kFake + "1.0", kFake + "2.0"})), status == 0 ? "0/0" : R(status) + "/2");
  }
  for (const auto& [octets, expected] : {std::pair{256, "0/0 8"}, {257, "1/0 0"}}) {
    SetEncodedLength(octets);
    const std::string status = Process(SA_PDU_GET, Big(1, 8));
    EXPECT_EQ(status + " " + std::to_string(m_answer.varBindList.Count()), expected);
  }
  const std::tuple<int, int, std::string> rows[] = {{2, 5, "0/0 2 4"}, {1, 3, "0/0 2 4 5 6"}, {0, 3, "0/0 2 4 3 5 4 6"},
                                                    {0, 1, "0/0 2 4"}, {0, 0, "0/0 2 4"},     {-1, 1, "5/0"},
                                                    {3, 1, "5/0"}};
  for (const auto& [nonRepeaters, repetitions, expected] : rows) {
    std::string got = Process(SA_PDU_GET_BULK, Vbl({kFake + "1.0", kFake + "3.0"}), 9, nonRepeaters, repetitions);
    for (const BVarBind& vb : m_answer.varBindList) got += " " + std::to_string(vb.name[3]);
    EXPECT_EQ(got, expected) << nonRepeaters << "/" << repetitions;
  }
  // 50 + 10 * 199 = 2040; 50 + 9 * 222 = 2048; 50 + 7 * 256 = 1842 (8 * 256 alone would fit)
  for (const auto& [octets, kept] : {std::pair{199, 10}, {222, 9}, {256, 7}}) {
    SetEncodedLength(octets);
    const std::string status = Process(SA_PDU_GET_BULK, Vbl({"1.9.2"}), 9, 0, 20);
    EXPECT_EQ(status + " " + std::to_string(m_answer.varBindList.Count()), "0/0 " + std::to_string(kept));
  }
  for (const int nonRepeaters : {9, 0}) EXPECT_EQ(Process(SA_PDU_GET_BULK, Big(0, 8), 9, nonRepeaters, 5), "1/0");
}

// Each row runs its phases on one transaction against a fresh table, the
// master refusing the index requests of one type as the row says.
TEST_F(ResponderTest, SetPhasesKeepTheIndexRegistryInStepWithRowChanges) {
  const std::string a7 = "t14 s119 f0|" + kRow + "1=7", d7 = "t15 s119 f0|" + kRow + "1=7";
  const std::string a5 = "t14 s119 f0|" + kRow + "1=5", d5 = "t15 s119 f0|" + kRow + "1=5";
  const int kAlloc = SA_PDU_INDEX_ALLOCATE, kDealloc = SA_PDU_INDEX_DEALLOCATE;
  const std::tuple<int, int, bool, std::string, std::string> rows[] = {
      {0, 0, false, "T:create7=0/0 C=0/0 X=0/0 X=5/0", a7},
      {kAlloc, 259, false, "T:create7=11/2 X=0/0", a7},
      {0, 0, false, "T:create7=0/0 U=0/0 X=0/0", a7 + "," + d7},
      {kDealloc, 261, false, "T:create7=0/0 U=11/2 X=0/0", a7 + "," + d7},
      {0, 0, true, "T:create7=0/0 U=15/1 X=0/0", a7 + "," + d7},  // a failed undo still releases the index
      {0, 0, false, "T:destroy5=0/0 U=0/0 X=0/0", d5 + "," + a5},
      {kAlloc, 259, false, "T:destroy5=0/0 U=15/1 X=0/0", d5 + "," + a5},
      {kDealloc, 261, false, "T:destroy5=261/0 X=0/0", d5},
      {0, 0, false, "T:rename5=0/0 C=0/0 X=0/0", ""},
      {0, 0, false, "C=5/0 U=5/0 X=5/0 T:outside=2/1 X=5/0", ""}};
  unsigned tid = 100;
  for (const auto& [type, status, failUndo, phases, requests] : rows) {
    RowTable table;
    table.failUndo = failUndo;
    ASSERT_NE(m_sa->m_mibHandler.RegisterSubtreeHandler(&table), 0);
    m_master.Answer({.type = type, .status = status});
    const size_t before = m_master.Count();
    EXPECT_EQ(Phases(phases, ++tid), phases);
    std::string sent;
    const auto received = m_master.Received();
    for (size_t i = before; i < received.size(); ++i) sent += (i > before ? "," : "") + Texts(received[i].first);
    EXPECT_EQ(sent, requests) << phases;
    EXPECT_EQ(m_sa->m_mibHandler.PendingSets(), 0);
    m_sa->m_mibHandler.UnregisterSubtreeHandler(&table);
  }
}

// The phases drive the handler of the first varbind with the whole list
// SET-test kept, and answer its failures at their positions.
TEST_F(ResponderTest, SetPhasesDriveTheHandlerAndReportItsFailures) {
  EXPECT_EQ(Phases("T:pair=0/0 C=0/0", 1), "T:pair=0/0 C=0/0");
  EXPECT_EQ(m_fake.ValueOf("1.9.1.2.0"), 20);
  EXPECT_EQ(Phases("U=0/0 X=0/0 T:span=17/2 X=0/0", 1), "U=0/0 X=0/0 T:span=17/2 X=0/0");
  EXPECT_EQ(m_fake.ValueOf("1.9.1.2.0"), 2);
  m_fake.FailSet(SNMP_SET_TEST, 1, SNMP_ERR_WRONGVALUE);
  EXPECT_EQ(Phases("T:pair=10/2", 2), "T:pair=10/2");
  EXPECT_EQ(m_sa->m_mibHandler.PendingSets(), 1);  // kept for cleanup
  const std::tuple<ESnmpSetOpCode, int, int, std::string> rows[] = {
      {SNMP_SET_TEST, 1, SNMP_ERR_WRONGVALUE, "X=0/0"},
      {SNMP_SET_COMMIT, 1, SNMP_ERR_GENERR, "T:pair=0/0 C=14/2"},
      {SNMP_SET_UNDO, 0, SNMP_ERR_GENERR, "U=15/1"},
      {SNMP_SET_CLEANUP, 1, SNMP_ERR_RESOURCEUNAVAILABLE, "X=13/2"}};
  for (const auto& [code, at, status, phases] : rows) {
    m_fake.FailSet(code, at, status);
    EXPECT_EQ(Phases(phases, 2), phases);
  }
  EXPECT_EQ(m_sa->m_mibHandler.PendingSets(), 0);
  EXPECT_EQ(m_fake.LiveSlots(), 0);
}

}  // namespace
}  // namespace QVT::test
