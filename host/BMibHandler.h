// BMibHandler: an agent's MIB, the set of subtree handlers it serves.
//
// Query answers GET and GET-NEXT over every registered handler with the
// SNMPv2 rules: a GET of a name no handler owns gives noSuchObject; a
// GET-NEXT asks the handler that owns or follows the name and moves on to
// the following handlers whenever one has nothing more (endOfMibView),
// ending with endOfMibView when the whole MIB is passed. Registrations may
// nest: the deeper subtree serves the names it holds, the enclosing one
// the rest (the usual MIB registration rule); an identical OID is refused.
// A handler keeps its OID unchanged while it is registered. The system
// group (Mib2System(), 1.3.6.1.2.1.1) is registered from construction on,
// so every MIB answers sysDescr, sysUpTime and sysORTable.
//
// A handler's error index is relative to the first varbind it served; Query
// and ProcessSet turn it into the request's 1-based position (a negative
// one into 0: no particular varbind).
//
// Locking: Query holds the reader/writer lock (Synch()) for reading while
// it runs, and UnregisterSubtreeHandler takes it for writing; so a handler
// is never unregistered while a query may still call it, and its owner may
// free it on return. Registration needs no more than the tree's own lock:
// it never waits for a query, however long that takes (one waiting for a
// slow sub-agent). WithdrawSubtreeHandler does not wait either: it takes
// the handler out at once and leaves its freeing to Grace(), which may run
// it once the queries that may still use it have ended (the owner of many
// withdrawn handlers calls Grace().Collect() to free them promptly, instead
// of leaving most of it to later withdrawals). Mutex() serialises
// SETs (ProcessSet and the sub-agent's SET phases hold it for a whole
// phase). Lock order: Mutex(), then Synch(), then a handler's own lock.
#pragma once

#include <functional>
#include <vector>

#include "BCmdHandler.h"
#include "BGracePeriods.h"
#include "BMib2System.h"
#include "BMibSubtreeHandler.h"
#include "BMibTree.h"
#include "BSecurityParams.h"
#include "BVarBind.h"
#include "QVExport.h"
#include "TEvent.h"
#include "TSWMRSynch.h"

namespace QVT {

class BTransactions;

// Decides whether a requester may see a name (a MIB view). Names outside
// the view read as noSuchObject and are skipped by GET-NEXT.
class QV_API IAccessControl {
 public:
  virtual ~IAccessControl() = default;
  // Non-zero when `params` may apply request `code` to `name`.
  virtual int IsAccessAllowed(const BSecurityParams& params, const BObjectIdentifier& name, int code) = 0;
};

class QV_API BMibHandler : public BCmdHandler {
 public:
  explicit BMibHandler(IAccessControl* accessControl = nullptr);
  ~BMibHandler() override;

  // Virtual operations, in this order.
  // Non-zero on success; 0 when the handler is null or its OID is taken.
  // The handler is not owned: it stays alive while registered and while any
  // thread may still query this MIB handler.
  virtual int RegisterSubtreeHandler(BMibSubtreeHandler* handler);
  // Registers `count` handlers, all or none; non-zero on success.
  virtual int RegisterGroup(BMibSubtreeHandler* const* handlers, int count);
  // Non-zero when the handler was registered and is now removed. Waits for
  // the queries in flight: the caller may free the handler on return.
  virtual int UnregisterSubtreeHandler(BMibSubtreeHandler* handler);
  // Removes every handler of the group that is registered; non-zero when
  // all of them were.
  virtual int UnregisterGroup(BMibSubtreeHandler* const* handlers, int count);
  // Fills the values of `list` in place for `code` SNMP_REQ_GET (160) or
  // SNMP_REQ_GET_NEXT (161); GET-NEXT also replaces the names. Returns 0 or
  // an SNMP error status with the failing varbind's 1-based position in
  // `errorIndex` (0 when none). Other codes: genErr. `transactionId` names
  // the SNMP request: each request its own (handlers may keep per-request
  // state by it, such as how long the request has waited so far).
  virtual int Query(int code, int transactionId, const BSecurityParams& params, const BString& context,
                    BVarBindList& list, int& errorIndex);
  // GET-NEXT as Query does, but the walk of varbind i stops at `limits[i]`
  // (when given and not empty): no registration at or after it is asked,
  // and the varbind answers endOfMibView when nothing comes before it. Keeps
  // a walk inside one part of the MIB (an SNMPv3 user's view) without
  // querying the handlers beyond it.
  int QueryNextBefore(int transactionId, const BSecurityParams& params, BVarBindList& list,
                      const std::vector<BObjectIdentifier>& limits, int& errorIndex);
  // The process-wide transaction registry.
  virtual BTransactions* GetITransactions();
  // Takes the handler out at once, without waiting for the queries in
  // flight: non-zero when it was registered; then `reclaim` (which frees
  // it) runs once none of the queries that may still call it runs.
  virtual int WithdrawSubtreeHandler(BMibSubtreeHandler* handler, std::function<void()> reclaim);
  int CmdExecute(int id, const BString& args, BString& output) override;
  BString CmdGetHndlrName() const override;
  BString CmdGetMap() const override;

  // BCmdHandler: "handlers" lists the registrations, "get OID" and
  // "next OID" run a query.
  BString CmdHndlrName() const override;
  int CmdCount() const override;
  BString CmdNameAt(int id) const override;
  BString CmdGetDescr(int id) const override;
  BString CmdGetArgsDescr(int id) const override;

  // Runs a whole SET the way an SNMP engine does: every varbind is tested
  // in its handler (varbinds grouped per handler, in the order of their
  // first appearance), then every handler commits; when a commit fails the
  // handlers that committed before it undo; cleanup runs for every tested
  // handler whatever happened. Holds Mutex() throughout and Synch() for
  // reading. Returns 0 or an SNMP error status with the 1-based position of
  // the varbind it concerns in `errorIndex`: the test's own error, 14
  // commitFailed, or 15 undoFailed when an undo failed as well. A name no
  // handler owns is notWritable (17). The access control, when set, is
  // asked with code 0xA3 (SET).
  int ProcessSet(unsigned int transactionId, const BSecurityParams& params, BVarBindList& list, int& errorIndex);

  TSWMRSynch& Synch() { return m_synch; }
  // Every query and SET phase is a reader here from its start to its end
  // (held with Synch() for reading); what a withdrawal took out is freed
  // through it.
  BGracePeriods& Grace() { return m_grace; }
  TMutex& Mutex() { return m_mutex; }
  // Its lookups may be used at any time; the nodes they give stay valid
  // while Synch() is held for reading and a grace period of Grace() is open
  // (as in Query and ProcessSet).
  BMibTree& Tree() { return m_tree; }
  BMib2System& Mib2System() { return m_mib2System; }
  IAccessControl* AccessControl() const { return m_pAccessControl; }

 private:
  int QueryGet(int transactionId, const BSecurityParams& params, BVarBindList& list, int& errorIndex);
  int QueryGetNext(int transactionId, const BSecurityParams& params, BVarBindList& list, int& errorIndex,
                   const std::vector<BObjectIdentifier>* limits = nullptr);

  IAccessControl* m_pAccessControl;
  TMutex m_mutex{true};  // serialises SETs; taken before m_synch
  TSWMRSynch m_synch;    // keeps unregistrations away from running queries
  BGracePeriods m_grace;
  BMibTree m_tree;
  BMib2System m_mib2System;
};

}  // namespace QVT
