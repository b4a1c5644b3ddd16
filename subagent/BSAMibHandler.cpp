#include "BSAMibHandler.h"

#include <new>
#include <utility>

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

// One phase of a recorded SET on its handler: the handler's status, with
// `errorIndex` (1-based) at the varbind it names when it fails.
int RunPhase(BMibSubtreeHandler& handler, unsigned int transactionId, BSAMibHandler::SET& record, ESnmpSetOpCode code,
             int& errorIndex) {
  int index = 0;
  const int status = handler.Set(transactionId, record, code, record.m_pContexts.data(), index, record.Count());
  if (status != 0) errorIndex = index + 1;
  return status;
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

int BSAMibHandler::RegisterSubtreeHandler(BMibSubtreeHandler* handler) {
  const int result = BMibHandler::RegisterSubtreeHandler(handler);
  if (result != 0) Attach(handler, true);
  return result;
}

int BSAMibHandler::RegisterGroup(BMibSubtreeHandler* const* handlers, int count) {
  const int result = BMibHandler::RegisterGroup(handlers, count);
  for (int i = 0; result != 0 && i < count; ++i) Attach(handlers[i], true);
  return result;
}

int BSAMibHandler::UnregisterSubtreeHandler(BMibSubtreeHandler* handler) {
  const int result = BMibHandler::UnregisterSubtreeHandler(handler);
  if (result != 0) Attach(handler, false);
  return result;
}

int BSAMibHandler::UnregisterGroup(BMibSubtreeHandler* const* handlers, int count) {
  const int result = BMibHandler::UnregisterGroup(handlers, count);
  for (int i = 0; handlers != nullptr && i < count; ++i) Attach(handlers[i], false);
  return result;
}

int BSAMibHandler::WithdrawSubtreeHandler(BMibSubtreeHandler* handler, std::function<void()> reclaim) {
  const int result = BMibHandler::WithdrawSubtreeHandler(handler, std::move(reclaim));
  if (result != 0) Attach(handler, false);
  return result;
}

void BSAMibHandler::Attach(BMibSubtreeHandler* handler, bool attach) {
  auto* table = handler != nullptr && handler->HandlerType() == MIB_HANDLER_TABLE_EX
                    ? dynamic_cast<BMibTableImplEx*>(handler)
                    : nullptr;
  if (table == nullptr) return;
  if (attach) {
    table->SetRowReservation(this);
  } else if (table->RowReservation() == this) {
    table->SetRowReservation(nullptr);
  }
}

int BSAMibHandler::ReserveRowIndex(BVarBindList& indexList) {
  return m_pSubAg->IndexAlloc(SA_IXALLOC_VALUE, indexList);
}

int BSAMibHandler::ReleaseRowIndex(BVarBindList& indexList) {
  return m_pSubAg->IndexDealloc(indexList);
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

std::optional<int> BSAMibHandler::RunRecorded(unsigned int transactionId, ESnmpSetOpCode code, int& errorIndex) {
  PhaseLocks locks(*this);
  SET* record = FindRecord(transactionId);
  BMibSubtreeHandler* handler = record != nullptr ? HandlerOf(*record) : nullptr;
  if (handler == nullptr) return std::nullopt;
  return RunPhase(*handler, transactionId, *record, code, errorIndex);
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
      (void)RunPhase(*handler, transactionId, *stale, SNMP_SET_CLEANUP, ignored);
    }
    FreeRecord(transactionId);
  }

  BMibTreeNode* node = list.Count() > 0 ? Tree().FindSubtreeHandlerNode(list[0].name) : nullptr;
  if (node == nullptr || node->Handler() == nullptr) {
    errorIndex = 1;
    return SNMP_ERR_NOSUCHNAME;
  }
  auto* record = new (std::nothrow) SET(list);
  if (record == nullptr) return SNMP_ERR_RESOURCEUNAVAILABLE;
  record->m_pHandlerNode = node;
  record->m_handlerOid = node->Oid();
  m_setTransactions.Insert(static_cast<int>(transactionId), record);
  return RunPhase(*node->Handler(), transactionId, *record, SNMP_SET_TEST, errorIndex);
}

int BSAMibHandler::QuerySetCommit(unsigned int transactionId, const BVarBindList& /*list*/, int& errorIndex) {
  QVDbgModuleTraceClass(SA_DBG_SET_PHASES, "QuerySetCommit");
  const std::optional<int> status = RunRecorded(transactionId, SNMP_SET_COMMIT, errorIndex);
  if (!status.has_value()) return SNMP_ERR_GENERR;
  return *status != 0 ? SNMP_ERR_COMMITFAILED : 0;
}

int BSAMibHandler::QuerySetUndo(unsigned int transactionId, const BVarBindList& /*list*/, int& errorIndex) {
  QVDbgModuleTraceClass(SA_DBG_SET_PHASES, "QuerySetUndo");
  const std::optional<int> status = RunRecorded(transactionId, SNMP_SET_UNDO, errorIndex);
  if (!status.has_value()) return SNMP_ERR_GENERR;
  return *status == 0 || *status == SNMP_ERR_NOCREATION ? *status : SNMP_ERR_UNDOFAILED;
}

int BSAMibHandler::QuerySetCleanup(unsigned int transactionId, const BVarBindList& /*list*/, int& errorIndex) {
  QVDbgModuleTraceClass(SA_DBG_SET_PHASES, "QuerySetCleanup");
  PhaseLocks locks(*this);
  SET* record = FindRecord(transactionId);
  if (record == nullptr) return SNMP_ERR_GENERR;
  BMibSubtreeHandler* handler = HandlerOf(*record);
  const int result = handler != nullptr ? RunPhase(*handler, transactionId, *record, SNMP_SET_CLEANUP, errorIndex) : 0;
  FreeRecord(transactionId);
  return result;
}

}  // namespace QVT
