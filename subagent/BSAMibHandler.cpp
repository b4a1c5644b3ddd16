#include "BSAMibHandler.h"

#include <new>

#include "BMibTableImplEx.h"
#include "BSAPdu.h"
#include "BSASubAgent.h"
#include "QVSubAgTrace.h"

namespace QVT {

namespace {

// Holds the MIB handler's mutex and then the read side of its
// reader/writer lock for the whole of one SET phase, as a reader of its
// grace periods.
class PhaseLocks {
 public:
  explicit PhaseLocks(BMibHandler& handler)
      : m_mutex(handler.Mutex()), m_read(handler.Synch()), m_grace(handler.Grace()) {}

 private:
  TMutexLock m_mutex;
  TReadLock m_read;
  BGracePeriod m_grace;
};

// The row index a varbind of an extended table addresses: the arcs after
// the table's own OID and the column.
BObjectIdentifier RowIndexOf(const BObjectIdentifier& name, const BObjectIdentifier& tableOid) {
  BObjectIdentifier rowIndex;
  rowIndex.Set(name, tableOid.Length() + 1, BObjectIdentifier::kToEnd);
  return rowIndex;
}

// One phase of a recorded SET on its handler: the handler's status, with
// `index` (0-based) and `errorIndex` (1-based) at the varbind it names when
// it fails.
int RunPhase(BMibSubtreeHandler& handler, unsigned int transactionId, BSAMibHandler::SET& record, ESnmpSetOpCode code,
             int& index, int& errorIndex) {
  index = 0;
  const int status = handler.Set(transactionId, record, code, record.m_pContexts.data(), index, record.Count());
  if (status != 0) errorIndex = index + 1;
  return status;
}

BMibTableImplEx* AsRowStatusTable(BMibSubtreeHandler* handler) {
  return handler->HandlerType() == MIB_HANDLER_TABLE_EX ? dynamic_cast<BMibTableImplEx*>(handler) : nullptr;
}

}  // namespace

BSAMibHandler::SET::SET(const BVarBindList& list) : m_pContexts(static_cast<size_t>(list.Count()), nullptr) {
  Assign(list);
}

BSAMibHandler::BSAMibHandler() : BMibHandler(nullptr) {}

BSAMibHandler::~BSAMibHandler() {
  // SETs whose cleanup never came (the master went away between the phases)
  // still have records. Their handlers are not called: by now the
  // application may have destroyed them.
  for (int i = 0; i < m_setTransactions.Count(); ++i) delete static_cast<SET*>(m_setTransactions.PtrAt(i));
  m_setTransactions.Clear();
}

int BSAMibHandler::Init(INonVolatile* /*nv*/) {
  return 0;
}

BSAMibHandler::SET* BSAMibHandler::FindRecord(unsigned int transactionId) {
  return static_cast<SET*>(m_setTransactions.Lookup(static_cast<int>(transactionId)));
}

BMibSubtreeHandler* BSAMibHandler::HandlerOf(SET& record) {
  // The node found at SET-test is used again only while that registration
  // is still in place; a handler unregistered between the phases is gone.
  BMibTreeNode* node = Tree().FindExact(record.m_handlerOid);
  if (node == nullptr || node != record.m_pHandlerNode) return nullptr;
  return node->Handler();
}

void BSAMibHandler::FreeRecord(unsigned int transactionId) {
  delete static_cast<SET*>(m_setTransactions.Remove(static_cast<int>(transactionId)));
}

int BSAMibHandler::ForEachRowChange(BMibTableImplEx& table, const BVarBindList& list, int from, int& errorIndex,
                                    bool testPhase, int initial) {
  int result = initial;
  for (int position = from < 0 ? 0 : from; position < list.Count(); ++position) {
    const BVarBind& vb = list[position];
    if (table.IsRowStatus(vb) == 0) continue;
    const BObjectIdentifier rowIndex = RowIndexOf(vb.name, table.Oid());
    const bool creation = table.IsRowCreation(rowIndex) != 0;
    if (!creation && table.IsRowDeletion(rowIndex) == 0) continue;
    BVarBindList indexList;
    if (table.GetIndexList(rowIndex, indexList) == 0) continue;

    // SET-test reserves a created row's index values and releases a deleted
    // row's; SET-undo does the reverse.
    const bool allocate = creation == testPhase;
    const int status = allocate ? m_pSubAg->IndexAlloc(SA_IXALLOC_VALUE, indexList) : m_pSubAg->IndexDealloc(indexList);
    if (creation) {
      if (status != 0) {
        errorIndex = position + 1;
        return SNMP_ERR_NOCREATION;
      }
      result = 0;
    } else if (testPhase) {
      result = status;
    } else {
      if (status != 0) {
        errorIndex = position + 1;
        return SNMP_ERR_UNDOFAILED;
      }
      result = 0;
    }
  }
  return result;
}

int BSAMibHandler::QuerySetTest(unsigned int transactionId, const BVarBindList& list, int& errorIndex) {
  QVDbgModuleTraceClass(SA_DBG_SET_PHASES, "QuerySetTest");
  PhaseLocks locks(*this);

  // A test for a transaction that still has a record (the master never
  // repeats one, but a confused peer might) first cleans up the old one so
  // that its handler state is released and nothing leaks.
  if (SET* stale = FindRecord(transactionId); stale != nullptr) {
    if (BMibSubtreeHandler* handler = HandlerOf(*stale); handler != nullptr) {
      int ignored = 0;
      handler->Set(transactionId, *stale, SNMP_SET_CLEANUP, stale->m_pContexts.data(), ignored, stale->Count());
    }
    FreeRecord(transactionId);
  }

  auto* record = new (std::nothrow) SET(list);
  if (record == nullptr) return SNMP_ERR_RESOURCEUNAVAILABLE;
  m_setTransactions.Insert(static_cast<int>(transactionId), record);

  BMibTreeNode* node = list.Count() > 0 ? Tree().FindSubtreeHandlerNode(list[0].name) : nullptr;
  if (node == nullptr || node->Handler() == nullptr) {
    errorIndex = 1;
    FreeRecord(transactionId);
    return SNMP_ERR_NOSUCHNAME;
  }
  record->m_pHandlerNode = node;
  record->m_handlerOid = node->Oid();
  BMibSubtreeHandler* handler = node->Handler();

  int index = 0;
  const int status = handler->Set(transactionId, list, SNMP_SET_TEST, record->m_pContexts.data(), index, list.Count());
  if (status != 0) {
    errorIndex = index + 1;
    return status;
  }
  BMibTableImplEx* table = AsRowStatusTable(handler);
  if (table == nullptr) return 0;
  return ForEachRowChange(*table, list, index, errorIndex, /*testPhase=*/true, 0);
}

int BSAMibHandler::QuerySetCommit(unsigned int transactionId, const BVarBindList& /*list*/, int& errorIndex) {
  QVDbgModuleTraceClass(SA_DBG_SET_PHASES, "QuerySetCommit");
  PhaseLocks locks(*this);
  SET* record = FindRecord(transactionId);
  if (record == nullptr) return SNMP_ERR_GENERR;
  BMibSubtreeHandler* handler = HandlerOf(*record);
  if (handler == nullptr) return SNMP_ERR_GENERR;
  int index = 0;
  const int status = RunPhase(*handler, transactionId, *record, SNMP_SET_COMMIT, index, errorIndex);
  return status != 0 ? SNMP_ERR_COMMITFAILED : 0;
}

int BSAMibHandler::QuerySetUndo(unsigned int transactionId, const BVarBindList& /*list*/, int& errorIndex) {
  QVDbgModuleTraceClass(SA_DBG_SET_PHASES, "QuerySetUndo");
  PhaseLocks locks(*this);
  SET* record = FindRecord(transactionId);
  if (record == nullptr) return SNMP_ERR_GENERR;
  BMibSubtreeHandler* handler = HandlerOf(*record);
  if (handler == nullptr) return SNMP_ERR_GENERR;
  int index = 0;
  const int status = RunPhase(*handler, transactionId, *record, SNMP_SET_UNDO, index, errorIndex);
  const int result = status != 0 ? SNMP_ERR_UNDOFAILED : 0;
  BMibTableImplEx* table = AsRowStatusTable(handler);
  if (table == nullptr) return result;
  // The index registry is put back whatever the handler's undo gave, but a
  // failed handler undo is not hidden by index steps that succeed.
  const int rows = ForEachRowChange(*table, *record, index, errorIndex, /*testPhase=*/false, result);
  return result != 0 && rows == 0 ? result : rows;
}

int BSAMibHandler::QuerySetCleanup(unsigned int transactionId, const BVarBindList& /*list*/, int& errorIndex) {
  QVDbgModuleTraceClass(SA_DBG_SET_PHASES, "QuerySetCleanup");
  PhaseLocks locks(*this);
  SET* record = FindRecord(transactionId);
  if (record == nullptr) return SNMP_ERR_GENERR;
  int result = 0;
  if (BMibSubtreeHandler* handler = HandlerOf(*record); handler != nullptr) {
    int index = 0;
    result = RunPhase(*handler, transactionId, *record, SNMP_SET_CLEANUP, index, errorIndex);
  }
  FreeRecord(transactionId);
  return result;
}

}  // namespace QVT
