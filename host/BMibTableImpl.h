// BMibTableImpl: a conceptual table. Its OID is the entry OID (table.1), so
// that OID.column.index names a cell. Columns are request-handler entries
// (sub-id = column number); the index is made of one or more parts, each
// the value of an index column, encoded into the instance OID by the SMI
// rules (RFC 2578 section 7.7).
//
// Rows are kept by the table (AddRow, SetCell, RemoveRow) or supplied by a
// subclass that overrides the row operations (NextRowIndex, GetCell, and for
// writable tables TestCell/SetCell), for tables computed on the fly.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "BMibImpl.h"
#include "BObjectIdentifier.h"
#include "BVarBind.h"
#include "QVExport.h"

namespace QVT {

enum EMibIndexKind {
  MIB_INDEX_INTEGER,         // Integer32 / Unsigned32: one sub-id
  MIB_INDEX_OCTETS,          // OCTET STRING: length, then one sub-id per octet
  MIB_INDEX_OCTETS_IMPLIED,  // IMPLIED OCTET STRING (last part only): the octets
  MIB_INDEX_IPADDRESS,       // IpAddress: four sub-ids
  MIB_INDEX_OID,             // OBJECT IDENTIFIER: length, then the arcs
  MIB_INDEX_OID_IMPLIED,     // IMPLIED OBJECT IDENTIFIER (last part only): the arcs
};

struct BMibIndexPart {
  uint32_t column;  // the index object's column sub-id
  EMibIndexKind kind;
};

class QV_API BMibTableImpl : public BMibImpl {
 public:
  BMibTableImpl(const BString& name, const BObjectIdentifier& entryOid, int handlerType = MIB_HANDLER_TABLE);
  ~BMibTableImpl() override;

  BMibRqHndlrEntry& AddColumn(uint32_t column, int access, unsigned char syntax) {
    return AddEntry(column, access, syntax);
  }
  // Index parts in INDEX clause order.
  void AddIndex(uint32_t column, EMibIndexKind kind);
  const std::vector<BMibIndexPart>& IndexParts() const { return m_indexParts; }

  // Index values <-> index OID. Values come in index part order with the
  // syntax of their column. 0 when the values or the OID do not fit the
  // index parts (a trailing arc left over, a length that runs past the
  // end, an octet above 255 ...).
  int ValuesToIndex(const std::vector<BObjectSyntax>& values, BObjectIdentifier& index) const;
  int IndexToValues(const BObjectIdentifier& index, std::vector<BObjectSyntax>& values) const;

  // Row storage kept by the table. AddRow fills the index columns from the
  // index and the others from their defaults; 0 when the index is malformed
  // or the row exists.
  int AddRow(const BObjectIdentifier& index);
  int RemoveRow(const BObjectIdentifier& index);
  bool RowExists(const BObjectIdentifier& index) const;
  int RowCount() const { return static_cast<int>(m_rows.size()); }
  // Stores a cell value directly (no checks); 0 when row or column is unknown.
  int StoreCell(const BObjectIdentifier& index, uint32_t column, const BObjectSyntax& value);

  // The row operations. Overriding them replaces the row storage.
  // The next-row-index operation: the index of the first row whose index
  // follows `index` (the empty OID: the first row) and that has a value in
  // `column`; non-zero when there is one. `flags` is reserved (0).
  virtual int NextRowIndex(int flags, uint32_t column, const BObjectIdentifier& index, BObjectIdentifier& next);
  // 0 with the value, or SNMP_NO_SUCH_INSTANCE's tag (0x81) when the cell
  // does not exist.
  virtual int GetCell(const BObjectIdentifier& index, uint32_t column, BObjectSyntax& value);
  // SET of one cell: TestCell checks (0 or an SNMP error), SetCell stores.
  // The defaults check the column (writable, Validate) and that the row
  // exists (noCreation otherwise), and store into the row storage.
  virtual int TestCell(const BObjectIdentifier& index, uint32_t column, const BObjectSyntax& value);
  virtual int SetCell(const BObjectIdentifier& index, uint32_t column, const BObjectSyntax& value);
  // The index-list operation: one varbind per index part, named by the
  // index object (OID.column) and carrying its value from `rowIndex`.
  // Non-zero when the list was filled.
  virtual int GetIndexList(const BObjectIdentifier& rowIndex, BVarBindList& list);

  int Get(unsigned int transactionId, BVarBindList& list, int& index, int count) override;
  int GetNext(unsigned int transactionId, BVarBind& varbind) override;
  int Set(unsigned int transactionId, const BVarBindList& list, ESnmpSetOpCode code, void** contexts, int& index,
          int count) override;

 protected:
  // Splits an instance name into column and row index; false when the name
  // is not OID.column.index with at least one index arc.
  bool SplitInstance(const BObjectIdentifier& name, uint32_t& column, BObjectIdentifier& index) const;
  // The column entry a name below this table addresses (OID.column...), or
  // null.
  const BMibRqHndlrEntry* ColumnOf(const BObjectIdentifier& name) const;

  std::vector<BMibIndexPart> m_indexParts;
  std::map<BObjectIdentifier, std::map<uint32_t, BObjectSyntax>> m_rows;  // index -> column -> value
};

}  // namespace QVT
