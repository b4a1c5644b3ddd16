// BSAMibHandler: the sub-agent's own MIB handler. It answers the master's
// GET and GET-NEXT through the host BMibHandler::Query, and routes the four
// SET phases the master sends as separate requests to the handler that
// serves the SET, keeping a record of each SET between its phases. It is
// also the index registry of the tables with a RowStatus column registered
// with it: such a table reserves the index values of the rows a SET creates
// at the master and releases those of the rows it deletes, through this
// handler, while it runs the phases.
#pragma once

#include <functional>
#include <optional>
#include <vector>

#include "BMapInt2Ptr.h"
#include "BMibHandler.h"
#include "BMibTableImplEx.h"
#include "BMibTree.h"
#include "BObjectIdentifier.h"
#include "BVarBind.h"
#include "INonVolatile.h"
#include "QVExport.h"

namespace QVT {

class BSASubAgent;

class QV_API BSAMibHandler : public BMibHandler, private IMibRowReservation {
 public:
  BSAMibHandler();
  ~BSAMibHandler() override;

  void SetSubAg(BSASubAgent* subAgent) { m_pSubAg = subAgent; }
  int Init(INonVolatile* nv);

  // As BMibHandler's; a RowStatus table registered here has this handler as
  // its index registry until it is unregistered or withdrawn.
  int RegisterSubtreeHandler(BMibSubtreeHandler* handler) override;
  int RegisterGroup(BMibSubtreeHandler* const* handlers, int count) override;
  int UnregisterSubtreeHandler(BMibSubtreeHandler* handler) override;
  int UnregisterGroup(BMibSubtreeHandler* const* handlers, int count) override;
  int WithdrawSubtreeHandler(BMibSubtreeHandler* handler, std::function<void()> reclaim) override;

  // The SET phases. Each returns 0 or an SNMP error status with the
  // 1-based position of the varbind it concerns in `errorIndex`. Only
  // SET-test reads `list`; the later phases work on the record SET-test
  // made. Test answers the handler's status; a failed commit is
  // commitFailed, a failed undo undoFailed (noCreation passes: a created
  // row whose index values the master did not take back); cleanup answers
  // the handler's status. Without a record or its handler: genErr.
  int QuerySetTest(unsigned int transactionId, const BVarBindList& list, int& errorIndex);
  int QuerySetCommit(unsigned int transactionId, const BVarBindList& list, int& errorIndex);
  int QuerySetUndo(unsigned int transactionId, const BVarBindList& list, int& errorIndex);
  int QuerySetCleanup(unsigned int transactionId, const BVarBindList& list, int& errorIndex);

  // One SET in progress: a copy of the SET-test varbinds, the node of the
  // handler that serves them, and one context slot per varbind that the
  // handler keeps its state in from phase to phase.
  class QV_API SET : public BVarBindList {
   public:
    explicit SET(const BVarBindList& list);
    BMibTreeNode* m_pHandlerNode = nullptr;
    BObjectIdentifier m_handlerOid;  // to tell a node that has gone since SET-test
    std::vector<void*> m_pContexts;
  };

  // The number of SET records held (transactions between test and cleanup).
  int PendingSets() const { return m_setTransactions.Count(); }

 private:
  // The master's index registry, for the RowStatus tables registered here.
  int ReserveRowIndex(BVarBindList& indexList) override;
  int ReleaseRowIndex(BVarBindList& indexList) override;
  // Makes this handler the index registry of `handler` when it is a
  // RowStatus table (`attach`), or stops being it.
  void Attach(BMibSubtreeHandler* handler, bool attach);

  SET* FindRecord(unsigned int transactionId);
  // The record's handler, or null when it has been unregistered meanwhile.
  BMibSubtreeHandler* HandlerOf(SET& record);
  void FreeRecord(unsigned int transactionId);
  // A later phase on the record SET-test made: the handler's status, or
  // nothing without a record or its handler.
  std::optional<int> RunRecorded(unsigned int transactionId, ESnmpSetOpCode code, int& errorIndex);

  BSASubAgent* m_pSubAg = nullptr;
  BMapInt2Ptr m_setTransactions;  // transaction id -> SET*; guarded by Mutex()
};

}  // namespace QVT
