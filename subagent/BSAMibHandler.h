// BSAMibHandler: the sub-agent's own MIB handler. It answers the master's
// GET and GET-NEXT through the host BMibHandler::Query, and runs the four
// SET phases the master sends as separate requests, keeping a record of
// each SET between its phases. For tables with a RowStatus column it keeps
// the master's index registry in step: a created row's index values are
// allocated at SET-test and released at SET-undo, a deleted row's the other
// way round.
#pragma once

#include <vector>

#include "BMapInt2Ptr.h"
#include "BMibHandler.h"
#include "BMibTree.h"
#include "BObjectIdentifier.h"
#include "BVarBind.h"
#include "INonVolatile.h"
#include "QVExport.h"

namespace QVT {

class BSASubAgent;
class BMibTableImplEx;

class QV_API BSAMibHandler : public BMibHandler {
 public:
  BSAMibHandler();
  ~BSAMibHandler() override;

  void SetSubAg(BSASubAgent* subAgent) { m_pSubAg = subAgent; }
  int Init(INonVolatile* nv);

  // The SET phases. Each returns 0 or an SNMP error status with the
  // 1-based position of the varbind it concerns in `errorIndex`. Only
  // SET-test reads `list`; the later phases work on the record SET-test made.
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
  using RowAction = int (BSAMibHandler::*)(BVarBindList& indexList);

  SET* FindRecord(unsigned int transactionId);
  // The record's handler, or null when it has been unregistered meanwhile.
  BMibSubtreeHandler* HandlerOf(SET& record);
  void FreeRecord(unsigned int transactionId);
  // Runs `creation` or `deletion` on the index list of every row that the
  // SET creates or deletes, from list position `from` on. Returns the
  // phase's status as the SET phases define it.
  int ForEachRowChange(BMibTableImplEx& table, const BVarBindList& list, int from, int& errorIndex, bool testPhase,
                       int initial);

  BSASubAgent* m_pSubAg = nullptr;
  BMapInt2Ptr m_setTransactions;  // transaction id -> SET*; guarded by Mutex()
};

}  // namespace QVT
