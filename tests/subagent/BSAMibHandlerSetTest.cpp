// The SET phases of the sub-agent's MIB handler, run as the command
// responder runs them (ProcessPdu): the record kept from SET-test to
// SET-cleanup, the error statuses and indices, and the index requests that
// keep the master's registry in step with rows created and deleted through
// a RowStatus column.
#include <gtest/gtest.h>

#include <atomic>

#include "BMibTableImplEx.h"
#include "FakeSubtreeHandler.h"
#include "SubAgentTestSupport.h"

namespace QVT::test {
namespace {

constexpr const char* kEntry = "1.3.6.1.4.1.99.3.1";  // a read-create table
constexpr const char* kFakeA = "1.3.6.1.4.1.99.1";
constexpr const char* kFakeB = "1.3.6.1.4.1.99.2";
constexpr int kActive = 1;
constexpr int kCreateAndGo = 4;
constexpr int kDestroy = 6;

BObjectIdentifier Cell(int column, int index) {
  return BObjectIdentifier(std::string(kEntry) + "." + std::to_string(column) + "." + std::to_string(index));
}

// A read-create table whose undo can be made to fail after it has done its
// work.
class RowTable : public BMibTableImplEx {
 public:
  RowTable() : BMibTableImplEx("rows", BObjectIdentifier(kEntry)) {}
  int Set(unsigned int tid, const BVarBindList& list, ESnmpSetOpCode code, void** contexts, int& index,
          int count) override {
    const int status = BMibTableImplEx::Set(tid, list, code, contexts, index, count);
    if (code != SNMP_SET_UNDO || !failUndo) return status;
    index = 0;
    return SNMP_ERR_GENERR;
  }
  bool failUndo = false;
};

class SetPhaseTest : public SubAgentTest {
 protected:
  void SetUp() override {
    SubAgentTest::SetUp();
    m_table.AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER);
    m_table.AddColumn(2, MIB_ACCESS_READ_CREATE, ASN_OCTET_STRING).Default(Text(""));
    m_table.SetRowStatusColumn(4);
    m_table.AddIndex(1, MIB_INDEX_INTEGER);
    m_table.AddRow(BObjectIdentifier{5});
    m_table.StoreCell(BObjectIdentifier{5}, 4, Int(kActive));
    m_master.SetScript([this](const BSAPdu& request) {
      if (request.type == SA_PDU_INDEX_ALLOCATE) return std::vector<Datagram>{Answer(request, m_allocStatus)};
      if (request.type == SA_PDU_INDEX_DEALLOCATE) return std::vector<Datagram>{Answer(request, m_deallocStatus)};
      return ScriptedMaster::AnswerAll(request);
    });
    OpenSubAgent();
    m_opened = m_master.Received().size();
    BSAMibHandler& mib = m_subAgent->m_mibHandler;
    ASSERT_TRUE(mib.RegisterSubtreeHandler(&m_table) && mib.RegisterSubtreeHandler(&m_fakeA) &&
                mib.RegisterSubtreeHandler(&m_fakeB));
  }

  void TearDown() override {
    SubAgentTest::TearDown();
    for (BMibSubtreeHandler* handler : std::initializer_list<BMibSubtreeHandler*>{&m_table, &m_fakeA, &m_fakeB}) {
      m_subAgent->m_mibHandler.UnregisterSubtreeHandler(handler);
    }
  }

  // One phase through ProcessPdu; the answer's error status and index as
  // "status/index".
  std::string Phase(int type, unsigned tid, const BVarBindList& list = {}) {
    BSAPdu request(static_cast<ESAPduType>(type), ScriptedMaster::kSessionId, ++m_requestId);
    request.transactionId = tid;
    request.varBindList = list;
    BSAPdu answer(SA_PDU_RESPONSE, request.sessionId, request.requestId);
    answer.varBindList = list;
    m_subAgent->ProcessPdu(tid, request, answer);
    EXPECT_TRUE(answer.errorStatus == 0 || answer.varBindList.IsEmpty());
    return std::to_string(answer.errorStatus) + "/" + std::to_string(answer.errorIndex);
  }

  // The index requests the master received since the session was opened:
  // "alloc 1.3.6.1.4.1.99.3.1.1=INTEGER: 7", with the flags when not 0.
  std::vector<std::string> IndexRequests() const {
    std::vector<std::string> requests;
    const std::vector<BSAPdu> received = m_master.Received();
    for (size_t i = m_opened; i < received.size(); ++i) {
      std::string text = received[i].type == SA_PDU_INDEX_ALLOCATE     ? "alloc"
                         : received[i].type == SA_PDU_INDEX_DEALLOCATE ? "dealloc"
                                                                       : "type " + std::to_string(received[i].type);
      if (received[i].flags != 0) text += " flags " + std::to_string(received[i].flags);
      for (const std::string& vb : Texts(received[i].varBindList)) text += " " + vb;
      requests.push_back(text);
    }
    return requests;
  }

  static BVarBindList RowStatusSet(int index, int status, bool withName = true) {
    BVarBindList list;
    if (withName) list.Append(Cell(2, index), Text("n"));
    list.Append(Cell(4, index), Int(status));
    return list;
  }

  RowTable m_table;
  FakeSubtreeHandler m_fakeA{kFakeA, {"1.3.6.1.4.1.99.1.1.0", "1.3.6.1.4.1.99.1.2.0"}};
  FakeSubtreeHandler m_fakeB{kFakeB, {"1.3.6.1.4.1.99.2.1.0"}};
  // The master's answers to index requests; read on the scripted master's thread.
  std::atomic<int> m_allocStatus{0};
  std::atomic<int> m_deallocStatus{0};
  size_t m_opened = 0;
  unsigned m_requestId = 0x100;
};

const std::string kAlloc7 = "alloc 1.3.6.1.4.1.99.3.1.1=INTEGER: 7";
const std::string kDealloc7 = "dealloc 1.3.6.1.4.1.99.3.1.1=INTEGER: 7";
const std::string kAlloc5 = "alloc 1.3.6.1.4.1.99.3.1.1=INTEGER: 5";
const std::string kDealloc5 = "dealloc 1.3.6.1.4.1.99.3.1.1=INTEGER: 5";

TEST_F(SetPhaseTest, RowCreationAllocatesItsIndexAtTestOnly) {
  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 11, RowStatusSet(7, kCreateAndGo)), "0/0");
  EXPECT_EQ(m_subAgent->m_mibHandler.PendingSets(), 1);
  EXPECT_EQ(Phase(SA_PDU_SET_COMMIT, 11), "0/0");
  EXPECT_EQ(Phase(SA_PDU_SET_CLEANUP, 11), "0/0");
  EXPECT_EQ(m_subAgent->m_mibHandler.PendingSets(), 0);
  EXPECT_EQ(IndexRequests(), std::vector<std::string>{kAlloc7});
  EXPECT_EQ(m_table.RowStatusOf(BObjectIdentifier{7}), kActive);
}

TEST_F(SetPhaseTest, RefusedAllocationIsNoCreationAtTheRowStatusVarbind) {
  m_allocStatus = SA_WIRE_INDEX_ALREADY_ALLOCATED;
  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 12, RowStatusSet(7, kCreateAndGo)), "11/2");
  EXPECT_EQ(Phase(SA_PDU_SET_CLEANUP, 12), "0/0");
  EXPECT_EQ(IndexRequests(), std::vector<std::string>{kAlloc7});
  EXPECT_EQ(m_table.RowStatusOf(BObjectIdentifier{7}), 0);
}

TEST_F(SetPhaseTest, UndoOfACreationReleasesTheIndex) {
  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 13, RowStatusSet(7, kCreateAndGo)), "0/0");
  EXPECT_EQ(Phase(SA_PDU_SET_UNDO, 13), "0/0");
  EXPECT_EQ(Phase(SA_PDU_SET_CLEANUP, 13), "0/0");
  EXPECT_EQ(IndexRequests(), (std::vector<std::string>{kAlloc7, kDealloc7}));
  EXPECT_EQ(m_table.RowStatusOf(BObjectIdentifier{7}), 0);

  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 113, RowStatusSet(7, kCreateAndGo)), "0/0");
  m_deallocStatus = SA_WIRE_INDEX_NOT_ALLOCATED;
  EXPECT_EQ(Phase(SA_PDU_SET_UNDO, 113), "11/2");
  EXPECT_EQ(Phase(SA_PDU_SET_CLEANUP, 113), "0/0");
  EXPECT_EQ(IndexRequests().size(), 4u);
}

// The choice made for a failed undo: the index registry is still put back,
// and the failure is answered although that step succeeded.
TEST_F(SetPhaseTest, FailedUndoStillReleasesTheIndexAndIsReported) {
  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 16, RowStatusSet(7, kCreateAndGo)), "0/0");
  m_table.failUndo = true;
  EXPECT_EQ(Phase(SA_PDU_SET_UNDO, 16), "15/1");
  EXPECT_EQ(Phase(SA_PDU_SET_CLEANUP, 16), "0/0");
  EXPECT_EQ(IndexRequests(), (std::vector<std::string>{kAlloc7, kDealloc7}));
}

TEST_F(SetPhaseTest, RowDeletionReleasesAtTestAndAllocatesAgainAtUndo) {
  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 14, RowStatusSet(5, kDestroy, false)), "0/0");
  EXPECT_EQ(Phase(SA_PDU_SET_UNDO, 14), "0/0");
  EXPECT_EQ(Phase(SA_PDU_SET_CLEANUP, 14), "0/0");
  EXPECT_EQ(IndexRequests(), (std::vector<std::string>{kDealloc5, kAlloc5}));
  EXPECT_EQ(m_table.RowStatusOf(BObjectIdentifier{5}), kActive);

  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 114, RowStatusSet(5, kDestroy, false)), "0/0");
  m_allocStatus = SA_WIRE_INDEX_ALREADY_ALLOCATED;
  EXPECT_EQ(Phase(SA_PDU_SET_UNDO, 114), "15/1");
  EXPECT_EQ(Phase(SA_PDU_SET_CLEANUP, 114), "0/0");
  EXPECT_EQ(IndexRequests().size(), 4u);  // cleanup makes no index request

  // A release the master refuses is the test phase's result: a wire code,
  // answered as the error status with an empty list.
  m_deallocStatus = SA_WIRE_INDEX_NOT_ALLOCATED;
  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 15, RowStatusSet(5, kDestroy, false)), "261/0");
  EXPECT_EQ(Phase(SA_PDU_SET_CLEANUP, 15), "0/0");
}

TEST_F(SetPhaseTest, OnlyRowCreationAndDeletionOfAnExtendedTableAskTheMaster) {
  BVarBindList plain;
  plain.Append(BObjectIdentifier("1.3.6.1.4.1.99.1.2.0"), Int(20));
  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 16, plain), "0/0");
  EXPECT_EQ(Phase(SA_PDU_SET_COMMIT, 16), "0/0");
  EXPECT_EQ(m_fakeA.ValueOf("1.3.6.1.4.1.99.1.2.0"), 20);
  EXPECT_EQ(Phase(SA_PDU_SET_UNDO, 16), "0/0");
  EXPECT_EQ(m_fakeA.ValueOf("1.3.6.1.4.1.99.1.2.0"), 2);
  EXPECT_EQ(Phase(SA_PDU_SET_CLEANUP, 16), "0/0");
  EXPECT_EQ(m_fakeA.LiveSlots(), 0);

  BVarBindList cell;
  cell.Append(Cell(2, 5), Text("renamed"));
  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 17, cell), "0/0");
  EXPECT_EQ(Phase(SA_PDU_SET_COMMIT, 17), "0/0");
  EXPECT_EQ(Phase(SA_PDU_SET_CLEANUP, 17), "0/0");
  EXPECT_TRUE(IndexRequests().empty());
}

TEST_F(SetPhaseTest, LaterPhasesOfAnUnknownTransactionAreGenErr) {
  for (const int type : {SA_PDU_SET_COMMIT, SA_PDU_SET_UNDO, SA_PDU_SET_CLEANUP}) {
    EXPECT_EQ(Phase(type, 999), "5/0") << type;
  }
  // A first varbind outside every subtree: noSuchName at 1, no record left.
  BVarBindList outside;
  outside.Append(BObjectIdentifier("1.3.6.1.4.1.98.1.0"), Int(1));
  outside.Append(BObjectIdentifier("1.3.6.1.4.1.99.1.1.0"), Int(1));
  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 18, outside), "2/1");
  EXPECT_EQ(m_subAgent->m_mibHandler.PendingSets(), 0);
  EXPECT_EQ(Phase(SA_PDU_SET_CLEANUP, 18), "5/0");
  // Cleanup frees the record: a second one finds none.
  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 19, RowStatusSet(7, kCreateAndGo)), "0/0");
  EXPECT_EQ(Phase(SA_PDU_SET_CLEANUP, 19), "0/0");
  EXPECT_EQ(Phase(SA_PDU_SET_CLEANUP, 19), "5/0");
  EXPECT_EQ(m_subAgent->m_mibHandler.PendingSets(), 0);
}

TEST_F(SetPhaseTest, HandlerFailuresGiveThePhasesStatusAndPosition) {
  BVarBindList list;
  list.Append(BObjectIdentifier("1.3.6.1.4.1.99.1.1.0"), Int(10));
  list.Append(BObjectIdentifier("1.3.6.1.4.1.99.1.2.0"), Int(20));
  m_fakeA.FailSet(SNMP_SET_TEST, 1, SNMP_ERR_WRONGVALUE);
  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 20, list), "10/2");
  EXPECT_EQ(m_subAgent->m_mibHandler.PendingSets(), 1);  // kept for cleanup
  EXPECT_EQ(Phase(SA_PDU_SET_CLEANUP, 20), "0/0");
  EXPECT_EQ(m_subAgent->m_mibHandler.PendingSets(), 0);

  m_fakeA.FailSet(SNMP_SET_COMMIT, 1, SNMP_ERR_GENERR);
  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 21, list), "0/0");
  EXPECT_EQ(Phase(SA_PDU_SET_COMMIT, 21), "14/2");
  m_fakeA.FailSet(SNMP_SET_UNDO, 0, SNMP_ERR_GENERR);
  EXPECT_EQ(Phase(SA_PDU_SET_UNDO, 21), "15/1");
  m_fakeA.FailSet(SNMP_SET_CLEANUP, 1, SNMP_ERR_RESOURCEUNAVAILABLE);
  EXPECT_EQ(Phase(SA_PDU_SET_CLEANUP, 21), "13/2");
  EXPECT_EQ(m_subAgent->m_mibHandler.PendingSets(), 0);
}

// Every phase goes to the handler of the first varbind, with the whole list.
TEST_F(SetPhaseTest, ASetSpanningTwoHandlersGoesToTheFirstOne) {
  BVarBindList list;
  list.Append(BObjectIdentifier("1.3.6.1.4.1.99.1.1.0"), Int(10));
  list.Append(BObjectIdentifier("1.3.6.1.4.1.99.2.1.0"), Int(20));
  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 22, list), "17/2");  // not an instance of the first handler
  const std::vector<FakeSubtreeHandler::Call> calls = m_fakeA.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].code, SNMP_SET_TEST);
  EXPECT_EQ(calls[0].count, 2);
  EXPECT_TRUE(m_fakeB.Calls().empty());
  EXPECT_EQ(Phase(SA_PDU_SET_CLEANUP, 22), "0/0");
}

// The choices made where the phases leave them open: a repeated SET-test
// cleans up the transaction's earlier record, and a handler unregistered
// between the phases is no longer called.
TEST_F(SetPhaseTest, RepeatedTestAndVanishedHandler) {
  BVarBindList list;
  list.Append(BObjectIdentifier("1.3.6.1.4.1.99.1.1.0"), Int(10));
  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 23, list), "0/0");
  EXPECT_EQ(Phase(SA_PDU_SET_COMMIT, 23), "0/0");
  EXPECT_EQ(m_fakeA.LiveSlots(), 1);
  EXPECT_EQ(Phase(SA_PDU_SET_TEST, 23, list), "0/0");
  EXPECT_EQ(m_fakeA.LiveSlots(), 0);
  EXPECT_EQ(m_subAgent->m_mibHandler.PendingSets(), 1);

  ASSERT_NE(m_subAgent->m_mibHandler.UnregisterSubtreeHandler(&m_fakeA), 0);
  const size_t calls = m_fakeA.Calls().size();
  EXPECT_EQ(Phase(SA_PDU_SET_COMMIT, 23), "5/0");
  EXPECT_EQ(Phase(SA_PDU_SET_UNDO, 23), "5/0");
  Phase(SA_PDU_SET_CLEANUP, 23);
  EXPECT_EQ(m_fakeA.Calls().size(), calls);
  EXPECT_EQ(m_subAgent->m_mibHandler.PendingSets(), 0);
}

}  // namespace
}  // namespace QVT::test
