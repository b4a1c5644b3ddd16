// BMibTableImplEx: the SET of a RowStatus table is planned per row in the
// test phase (every varbind of a row is looked at together, because the
// status change and the other columns decide each other), applied per row
// in commit, taken back from a copy of each row in undo, and reported to
// the hooks in cleanup; the phases run through the skeleton every MIB
// implementation shares, with the row as the unit of commit and undo.
#include "BMibTableImplEx.h"

#include <algorithm>

#include "BMibSetPhases.h"

namespace QVT {

struct BMibTableImplEx::PendingRow {
  BObjectIdentifier index;
  int statusPos = -1;  // served position of the RowStatus varbind, -1 when none
  int requested = 0;   // the RowStatus value asked for, 0 when none
  std::map<uint32_t, BObjectSyntax> cells;
  std::map<uint32_t, int> cellPos;
  bool existed = false;
  int oldStatus = 0;                         // 0: no row
  int newStatus = 0;                         // 0: no row afterwards
  std::map<uint32_t, BObjectSyntax> before;  // the stored row, kept for undo
  bool committed = false;

  bool Creates() const { return !existed && newStatus != 0; }
  bool Deletes() const { return existed && newStatus == 0; }
  int FirstCellPos() const {
    int pos = -1;
    for (const auto& [column, p] : cellPos) pos = pos < 0 ? p : std::min(pos, p);
    return pos;
  }
  // The position a failure of the whole row is told at.
  int Position() const { return statusPos >= 0 ? statusPos : FirstCellPos(); }
};

struct BMibTableImplEx::Transaction {
  unsigned int id = 0;
  std::vector<PendingRow> rows;
  bool committed = false;
  bool undone = false;
};

BMibTableImplEx::BMibTableImplEx(const BString& name, const BObjectIdentifier& entryOid)
    : BMibTableImpl(name, entryOid, MIB_HANDLER_TABLE_EX) {}

BMibTableImplEx::~BMibTableImplEx() {
  for (Transaction* t : m_transactions) delete t;
}

void BMibTableImplEx::SetRowStatusColumn(uint32_t column) {
  TMutexLock lock(*m_pLock);
  m_rowStatusColumn = column;
  BObjectSyntax active;
  active.SetInt(ROW_ACTIVE);
  // Rows the application adds itself (AddRow) are in service from the start.
  AddColumn(column, MIB_ACCESS_READ_CREATE, ASN_INTEGER).Range(ROW_ACTIVE, ROW_DESTROY).Default(active);
}

int BMibTableImplEx::IsRowStatus(const BVarBind& varbind) {
  const unsigned base = m_oid.Length();
  return m_rowStatusColumn != 0 && varbind.name.Length() >= base + 2 && m_oid.IsStartingSubOidOf(varbind.name) != 0 &&
                 varbind.name[base] == m_rowStatusColumn
             ? 1
             : 0;
}

void BMibTableImplEx::SetRowReservation(IMibRowReservation* reservation) {
  TMutexLock lock(*m_pLock);
  m_pReservation = reservation;
}

IMibRowReservation* BMibTableImplEx::RowReservation() const {
  TMutexLock lock(*m_pLock);
  return m_pReservation;
}

// SETs run one at a time, so the SET in progress is the newest transaction;
// an older one is a SET whose cleanup never came and no longer counts.
const BMibTableImplEx::PendingRow* BMibTableImplEx::NewestRow(const BObjectIdentifier& rowIndex) const {
  if (m_transactions.empty()) return nullptr;
  for (const PendingRow& row : m_transactions.back()->rows) {
    if (row.index == rowIndex) return &row;
  }
  return nullptr;
}

int BMibTableImplEx::IsRowCreation(const BObjectIdentifier& rowIndex) {
  TMutexLock lock(*m_pLock);
  const PendingRow* row = NewestRow(rowIndex);
  return row != nullptr && row->Creates() ? 1 : 0;
}

int BMibTableImplEx::IsRowDeletion(const BObjectIdentifier& rowIndex) {
  TMutexLock lock(*m_pLock);
  const PendingRow* row = NewestRow(rowIndex);
  return row != nullptr && row->Deletes() ? 1 : 0;
}

int BMibTableImplEx::RowStatusOf(const BObjectIdentifier& rowIndex) const {
  TMutexLock lock(*m_pLock);
  auto row = m_rows.find(rowIndex);
  if (row == m_rows.end()) return 0;
  auto cell = row->second.find(m_rowStatusColumn);
  return cell == row->second.end() ? ROW_ACTIVE : cell->second.GetInt();
}

bool BMibTableImplEx::IsComplete(const BObjectIdentifier& rowIndex,
                                 const std::map<uint32_t, BObjectSyntax>& pending) const {
  TMutexLock lock(*m_pLock);
  auto row = m_rows.find(rowIndex);
  for (const BMibRqHndlrEntry& e : m_entries) {
    if (e.access != MIB_ACCESS_READ_CREATE || e.subId == m_rowStatusColumn || e.hasDefault) continue;
    const bool isIndex = std::any_of(m_indexParts.begin(), m_indexParts.end(),
                                     [&e](const BMibIndexPart& p) { return p.column == e.subId; });
    if (isIndex || pending.count(e.subId) != 0) continue;
    if (row == m_rows.end() || row->second.count(e.subId) == 0) return false;
  }
  return true;
}

int BMibTableImplEx::TestCell(const BObjectIdentifier& /*index*/, uint32_t column, const BObjectSyntax& value) {
  const BMibRqHndlrEntry* entry = FindRqHndlrEntry(column);
  if (entry == nullptr || entry->access < MIB_ACCESS_READ_WRITE) return SNMP_ERR_NOTWRITABLE;
  return entry->Validate(value);
}

void BMibTableImplEx::OnRowActivated(const BObjectIdentifier& /*rowIndex*/) {}

void BMibTableImplEx::OnRowDestroyed(const BObjectIdentifier& /*rowIndex*/) {}

int BMibTableImplEx::PlanRow(PendingRow& row, int& errorPos) {
  row.existed = RowExists(row.index);
  row.oldStatus = row.existed ? RowStatusOf(row.index) : 0;
  const bool complete = IsComplete(row.index, row.cells);
  errorPos = row.statusPos;
  if (row.requested == 0) {  // other columns only
    errorPos = row.FirstCellPos();
    if (!row.existed) return SNMP_ERR_NOCREATION;
    row.newStatus = row.oldStatus == ROW_NOT_READY && complete ? ROW_NOT_IN_SERVICE : row.oldStatus;
  } else {
    switch (row.requested) {
      case ROW_CREATE_AND_GO:
        if (row.existed || !complete) return SNMP_ERR_INCONSISTENTVALUE;
        row.newStatus = ROW_ACTIVE;
        break;
      case ROW_CREATE_AND_WAIT:
        if (row.existed) return SNMP_ERR_INCONSISTENTVALUE;
        row.newStatus = complete ? ROW_NOT_IN_SERVICE : ROW_NOT_READY;
        break;
      case ROW_ACTIVE:
        if (!row.existed || !complete) return SNMP_ERR_INCONSISTENTVALUE;
        row.newStatus = ROW_ACTIVE;
        break;
      case ROW_NOT_IN_SERVICE:
        if (!row.existed || (row.oldStatus == ROW_NOT_READY && !complete)) return SNMP_ERR_INCONSISTENTVALUE;
        row.newStatus = ROW_NOT_IN_SERVICE;
        break;
      case ROW_DESTROY:
        if (!row.cells.empty()) {
          errorPos = row.FirstCellPos();
          return SNMP_ERR_INCONSISTENTVALUE;
        }
        row.newStatus = 0;
        break;
      default:
        return SNMP_ERR_WRONGVALUE;
    }
  }
  for (const auto& [column, value] : row.cells) {
    const int status = TestCell(row.index, column, value);
    if (status != 0) {
      errorPos = row.cellPos[column];
      return status;
    }
  }
  return 0;
}

void BMibTableImplEx::RestoreRow(const PendingRow& row) {
  if (row.existed) {
    m_rows[row.index] = row.before;
  } else {
    m_rows.erase(row.index);
  }
}

int BMibTableImplEx::TakeVarBind(Transaction& t, const BVarBind& vb, int position) {
  const BMibRqHndlrEntry* entry = ColumnOf(vb.name);
  uint32_t column = 0;
  BObjectIdentifier rowIndex;
  std::vector<BObjectSyntax> indexValues;
  int status = 0;
  if (entry == nullptr || entry->access < MIB_ACCESS_READ_WRITE) {
    status = SNMP_ERR_NOTWRITABLE;
  } else if (entry->subId == m_rowStatusColumn && vb.value.Syntax() == ASN_INTEGER &&
             vb.value.GetInt() == ROW_NOT_READY) {
    status = SNMP_ERR_WRONGVALUE;  // notReady is reported, never requested
  } else {
    status = entry->Validate(vb.value);
  }
  if (status == 0 && (!SplitInstance(vb.name, column, rowIndex) || IndexToValues(rowIndex, indexValues) == 0)) {
    status = SNMP_ERR_NOCREATION;
  }
  for (size_t k = 0; status == 0 && k < indexValues.size(); ++k) {
    const BMibRqHndlrEntry* part = FindRqHndlrEntry(m_indexParts[k].column);
    if (part != nullptr && part->Validate(indexValues[k]) != 0) status = SNMP_ERR_NOCREATION;
  }
  if (status != 0) return status;
  auto row =
      std::find_if(t.rows.begin(), t.rows.end(), [&rowIndex](const PendingRow& r) { return r.index == rowIndex; });
  if (row == t.rows.end()) {
    row = t.rows.emplace(t.rows.end());
    row->index = rowIndex;
  }
  bool conflict = column == m_rowStatusColumn ? row->statusPos >= 0 : row->cells.count(column) != 0;
  for (size_t k = 0; k < indexValues.size(); ++k) {
    // An index object written in its own row must repeat the index.
    if (m_indexParts[k].column == column && !(indexValues[k] == vb.value)) conflict = true;
  }
  if (conflict) return SNMP_ERR_INCONSISTENTVALUE;
  if (column == m_rowStatusColumn) {
    row->statusPos = position;
    row->requested = vb.value.GetInt();
  } else {
    row->cells[column] = vb.value;
    row->cellPos[column] = position;
  }
  return 0;
}

int BMibTableImplEx::CommitRow(PendingRow& row, int& errorPos) {
  errorPos = row.Position();
  auto stored = m_rows.find(row.index);
  // The row must still be as the test found it (the application may add or
  // remove rows itself between the phases).
  if ((stored != m_rows.end()) != row.existed) return SNMP_ERR_COMMITFAILED;
  row.before = row.existed ? stored->second : std::map<uint32_t, BObjectSyntax>();
  int status = 0;
  if (row.Creates() && AddRow(row.index) == 0) status = SNMP_ERR_COMMITFAILED;
  if (row.Deletes()) {
    m_rows.erase(row.index);
  } else if (status == 0 && row.newStatus != 0) {
    for (auto cell = row.cells.begin(); status == 0 && cell != row.cells.end(); ++cell) {
      status = SetCell(row.index, cell->first, cell->second);
    }
    BObjectSyntax statusValue;
    statusValue.SetInt(row.newStatus);
    if (status == 0 && StoreCell(row.index, m_rowStatusColumn, statusValue) == 0) status = SNMP_ERR_COMMITFAILED;
  }
  if (status != 0) {
    RestoreRow(row);
    return status;
  }
  row.committed = true;
  return 0;
}

BMibTableImplEx::Transaction* BMibTableImplEx::StartTransaction(unsigned int transactionId, void** contexts,
                                                                int index) {
  Transaction* t = FindTransaction(transactionId, contexts, index);
  if (t == nullptr) {
    t = new Transaction;
    if (contexts != nullptr) contexts[index] = t;
  } else {
    std::erase(m_transactions, t);
  }
  m_transactions.push_back(t);
  t->id = transactionId;
  t->rows.clear();
  return t;
}

BMibTableImplEx::Transaction* BMibTableImplEx::FindTransaction(unsigned int transactionId, void** contexts,
                                                               int index) const {
  if (contexts != nullptr) return static_cast<Transaction*>(contexts[index]);
  for (Transaction* t : m_transactions) {
    if (t->id == transactionId) return t;
  }
  return nullptr;
}

std::vector<BMibTableImplEx::RowChange> BMibTableImplEx::RowChanges(const Transaction& t) {
  std::vector<RowChange> changes;
  for (const PendingRow& row : t.rows) {
    // Only a RowStatus varbind creates or deletes a row.
    if (row.statusPos >= 0 && (row.Creates() || row.Deletes())) {
      changes.push_back({row.statusPos, row.index, row.Creates()});
    }
  }
  std::sort(changes.begin(), changes.end(),
            [](const RowChange& a, const RowChange& b) { return a.position < b.position; });
  return changes;
}

int BMibTableImplEx::MoveRowIndexes(IMibRowReservation& registry, const std::vector<RowChange>& changes, bool undo,
                                    int& index) {
  int result = 0;
  for (const RowChange& change : changes) {
    BVarBindList indexList;
    if (GetIndexList(change.index, indexList) == 0) continue;
    // The test reserves a created row's index values and releases a deleted
    // row's; undo does the reverse.
    const bool reserve = change.creates != undo;
    const int status = reserve ? registry.ReserveRowIndex(indexList) : registry.ReleaseRowIndex(indexList);
    if (status != 0 && (change.creates || undo)) {
      index = change.position;
      return change.creates ? SNMP_ERR_NOCREATION : SNMP_ERR_UNDOFAILED;
    }
    result = status;  // non-zero only for a release at test
  }
  if (result != 0) index = -1;
  return result;
}

int BMibTableImplEx::Set(unsigned int transactionId, const BVarBindList& list, ESnmpSetOpCode code, void** contexts,
                         int& index, int count) {
  IMibRowReservation* registry = nullptr;
  std::vector<RowChange> changes;
  std::vector<BObjectIdentifier> activated;
  std::vector<BObjectIdentifier> destroyed;
  BVarBindList committed;  // for the OnCommitted hook
  int status = 0;
  {
    TMutexLock lock(*m_pLock);
    const int first = index;
    Transaction* t = code == SNMP_SET_TEST ? StartTransaction(transactionId, contexts, first)
                                           : FindTransaction(transactionId, contexts, first);
    if (t == nullptr && code == SNMP_SET_COMMIT) {
      index = 0;
      return SNMP_ERR_COMMITFAILED;
    }
    if (t == nullptr) return code == SNMP_SET_UNDO || code == SNMP_SET_CLEANUP ? 0 : SNMP_ERR_GENERR;

    detail::BMibSetSteps steps;
    steps.test = [&](int i) { return TakeVarBind(*t, list[first + i], i); };
    steps.testTogether = [&](int& position) {
      for (PendingRow& row : t->rows) {
        if (const int planned = PlanRow(row, position); planned != 0) return planned;
      }
      return 0;
    };
    steps.units = [&] { return static_cast<int>(t->rows.size()); };
    steps.commit = [&](int unit, int& position) { return CommitRow(t->rows[static_cast<size_t>(unit)], position); };
    steps.undo = [&](int unit, int& /*position*/) {
      PendingRow& row = t->rows[static_cast<size_t>(unit)];
      if (row.committed) RestoreRow(row);
      row.committed = false;
      return 0;
    };
    steps.cleanup = [&] {
      if (t->committed && !t->undone) {
        for (int i = 0; i < count && m_onCommitted; ++i) committed.Append(list[first + i]);
        for (const PendingRow& row : t->rows) {
          if (row.newStatus == ROW_ACTIVE && row.oldStatus != ROW_ACTIVE) activated.push_back(row.index);
          if (row.Deletes()) destroyed.push_back(row.index);
        }
      }
      std::erase(m_transactions, t);
      delete t;
      if (contexts != nullptr) contexts[first] = nullptr;
    };
    status = detail::RunSetPhase(code, count, steps, index);

    if (code == SNMP_SET_TEST && status != 0) t->rows.clear();
    if (code == SNMP_SET_COMMIT && status == 0) t->committed = true;
    if (code == SNMP_SET_UNDO) t->undone = true;
    if ((code == SNMP_SET_TEST && status == 0) || code == SNMP_SET_UNDO) {
      registry = m_pReservation;
      if (registry != nullptr) changes = RowChanges(*t);
    }
  }
  // The registry and the hooks run outside the handler's lock: they may
  // take their own, and a registry may wait for its answer.
  if (registry != nullptr && !changes.empty()) {
    int position = 0;
    if (const int moved = MoveRowIndexes(*registry, changes, code == SNMP_SET_UNDO, position); moved != 0) {
      status = moved;
      index = position;
    }
  }
  for (const BObjectIdentifier& row : activated) OnRowActivated(row);
  for (const BObjectIdentifier& row : destroyed) OnRowDestroyed(row);
  for (const BVarBind& vb : committed) m_onCommitted(vb);
  return status;
}

}  // namespace QVT
