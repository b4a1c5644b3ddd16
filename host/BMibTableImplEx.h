// BMibTableImplEx: a read-create table whose rows are created and deleted
// through a RowStatus column, following RFC 2579's state table:
//
//   row absent:       createAndGo -> active (inconsistentValue when the row
//                     would not be complete), createAndWait -> notInService
//                     or notReady, destroy -> no change, anything else ->
//                     inconsistentValue (noCreation for other columns)
//   row present:      createAndGo/createAndWait -> inconsistentValue,
//                     active -> active (inconsistentValue when incomplete),
//                     notInService -> notInService (inconsistentValue from
//                     notReady), destroy -> row removed
//   notReady is never accepted (wrongValue); values outside 1..6 wrongValue.
//
// A row is complete when every read-create column without a default has a
// value. The other columns set in the same request are applied together
// with the status change, so one createAndGo SET can carry the whole row.
//
// During a SET, IsRowCreation and IsRowDeletion tell for a row index
// whether the transaction in progress creates or deletes that row (from
// the test phase until its cleanup). A table whose index values are kept
// in a registry elsewhere (a sub-agent's: at its master, which installs
// itself when the table is registered with it) reserves and releases them
// through its IMibRowReservation during the SET. Handler type 7.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "BMibTableImpl.h"
#include "QVExport.h"

namespace QVT {

// An index registry kept elsewhere. `indexList` holds one varbind per
// index part of one row (GetIndexList); 0 on success, else the registry's
// status.
class QV_API IMibRowReservation {
 public:
  virtual ~IMibRowReservation() = default;
  virtual int ReserveRowIndex(BVarBindList& indexList) = 0;
  virtual int ReleaseRowIndex(BVarBindList& indexList) = 0;
};

class QV_API BMibTableImplEx : public BMibTableImpl {
 public:
  BMibTableImplEx(const BString& name, const BObjectIdentifier& entryOid);
  ~BMibTableImplEx() override;

  // The RowStatus column (a read-create INTEGER column is added for it).
  void SetRowStatusColumn(uint32_t column);
  uint32_t RowStatusColumn() const { return m_rowStatusColumn; }

  // Non-zero when the varbind names this table's RowStatus column.
  int IsRowStatus(const BVarBind& varbind);
  // Non-zero when the SET in progress creates (deletes) the row.
  int IsRowCreation(const BObjectIdentifier& rowIndex);
  int IsRowDeletion(const BObjectIdentifier& rowIndex);
  // The row's RowStatus value, 0 when the row does not exist.
  int RowStatusOf(const BObjectIdentifier& rowIndex) const;

  // Checks one cell of a SET: the column is writable and the value passes
  // its entry's checks. Whether the row may exist is the RowStatus logic's
  // business, so unlike the base this does not ask for an existing row.
  // Subclasses add their own checks and call this one.
  int TestCell(const BObjectIdentifier& index, uint32_t column, const BObjectSyntax& value) override;

  // The registry that keeps this table's index values, null (the default)
  // when there is none. Not owned; it stays alive while installed.
  void SetRowReservation(IMibRowReservation* reservation);
  IMibRowReservation* RowReservation() const;

  // The SET phases. The transaction's state lives in contexts[index] from
  // test to cleanup (the other slots stay null), so every phase works from
  // the slots alone, whoever drives them.
  //
  // With a registry, once the test has passed it reserves the index values
  // of every row the SET creates and releases those of every row it
  // deletes, row by row in the order of their RowStatus varbinds; undo does
  // the reverse. A step that fails ends the phase: noCreation at the row's
  // RowStatus varbind for a reservation at test or a release at undo,
  // undoFailed there for a reservation at undo. A release at test that
  // fails is the test's result (at no particular varbind, index -1) unless
  // a later row's step succeeds. The registry is called without the
  // table's lock held.
  int Set(unsigned int transactionId, const BVarBindList& list, ESnmpSetOpCode code, void** contexts, int& index,
          int count) override;

 protected:
  // Called at cleanup of a SET that committed, for every row the SET made
  // active (created with createAndGo, or moved to active) and every row it
  // destroyed. The defaults do nothing.
  virtual void OnRowActivated(const BObjectIdentifier& rowIndex);
  virtual void OnRowDestroyed(const BObjectIdentifier& rowIndex);
  // Whether the row would be complete with `pending` cells set on top of
  // its stored values.
  bool IsComplete(const BObjectIdentifier& rowIndex, const std::map<uint32_t, BObjectSyntax>& pending) const;

 private:
  struct PendingRow;
  struct Transaction;

  // A row whose index values move at the registry, and the served
  // position of its RowStatus varbind.
  struct RowChange {
    int position;
    BObjectIdentifier index;
    bool creates;
  };

  // The SET test of one varbind alone: checks it and adds it to its row of
  // the transaction; 0 or an SNMP error.
  int TakeVarBind(Transaction& t, const BVarBind& vb, int position);
  // Evaluates one row of a SET test against the state table; 0 or an SNMP
  // error with `errorPos` the served position it concerns.
  int PlanRow(PendingRow& row, int& errorPos);
  // Applies one planned row; on failure the row is as before and
  // `errorPos` at the position it concerns.
  int CommitRow(PendingRow& row, int& errorPos);
  void RestoreRow(const PendingRow& row);
  // The transaction a SET test starts (a fresh one, or the one of a test
  // repeated before its cleanup), made the newest.
  Transaction* StartTransaction(unsigned int transactionId, void** contexts, int index);
  Transaction* FindTransaction(unsigned int transactionId, void** contexts, int index) const;
  // The newest transaction's row with this index, or null.
  const PendingRow* NewestRow(const BObjectIdentifier& rowIndex) const;
  static std::vector<RowChange> RowChanges(const Transaction& t);
  // The registry steps of a test (undo = false) or an undo, as Set tells.
  int MoveRowIndexes(IMibRowReservation& registry, const std::vector<RowChange>& changes, bool undo, int& index);

  uint32_t m_rowStatusColumn = 0;
  std::vector<Transaction*> m_transactions;      // SETs between test and cleanup; guarded by the handler's lock
  IMibRowReservation* m_pReservation = nullptr;  // guarded by the handler's lock
};

}  // namespace QVT
