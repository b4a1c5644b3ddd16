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
// the test phase until its cleanup), which the sub-agent uses to reserve
// and release index values at the master. Handler type 7.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "BMibTableImpl.h"
#include "QVExport.h"

namespace QVT {

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

  // The SET phases. The transaction's state lives in contexts[index] from
  // test to cleanup (the other slots stay null), so every phase works from
  // the slots alone, whoever drives them.
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

  // Evaluates one row of a SET test against the state table; 0 or an SNMP
  // error with `errorPos` the served position it concerns.
  int PlanRow(PendingRow& row, int& errorPos);
  void RestoreRow(const PendingRow& row);
  Transaction* FindTransaction(unsigned int transactionId, void** contexts, int index) const;

  uint32_t m_rowStatusColumn = 0;
  std::vector<Transaction*> m_transactions;  // SETs between test and cleanup; guarded by the handler's lock
};

}  // namespace QVT
