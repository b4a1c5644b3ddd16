// BMibTableImpl: cells named OID.column.index, index values encoded by the
// SMI rules, rows kept in an ordered map so that the index order of the
// storage is the order GET-NEXT walks a column in.
#include "BMibTableImpl.h"

#include <algorithm>
#include <climits>

#include "BMibSetPhases.h"

namespace QVT {

namespace {

constexpr unsigned kMaxOidArcs = 128;

bool IsUnsignedSyntax(unsigned char syntax) {
  return syntax == ASN_COUNTER32 || syntax == ASN_GAUGE32 || syntax == ASN_TIMETICKS;
}

}  // namespace

BMibTableImpl::BMibTableImpl(const BString& name, const BObjectIdentifier& entryOid, int handlerType)
    : BMibImpl(name, entryOid, handlerType) {}

BMibTableImpl::~BMibTableImpl() = default;

void BMibTableImpl::AddIndex(uint32_t column, EMibIndexKind kind) {
  TMutexLock lock(*m_pLock);
  m_indexParts.push_back({column, kind});
}

int BMibTableImpl::ValuesToIndex(const std::vector<BObjectSyntax>& values, BObjectIdentifier& index) const {
  if (values.size() != m_indexParts.size() || values.empty()) return 0;
  BObjectIdentifier out;
  for (size_t k = 0; k < values.size(); ++k) {
    const BObjectSyntax& v = values[k];
    const bool last = k + 1 == values.size();
    switch (m_indexParts[k].kind) {
      case MIB_INDEX_INTEGER:
        if (v.Syntax() == ASN_INTEGER) {
          if (v.GetInt() < 0) return 0;  // only non-negative integers fit one arc
          out.Append(static_cast<uint32_t>(v.GetInt()));
        } else if (IsUnsignedSyntax(v.Syntax())) {
          out.Append(v.GetUnsigned());
        } else {
          return 0;
        }
        break;
      case MIB_INDEX_OCTETS:
      case MIB_INDEX_OCTETS_IMPLIED: {
        const bool implied = m_indexParts[k].kind == MIB_INDEX_OCTETS_IMPLIED;
        if ((v.Syntax() != ASN_OCTET_STRING && v.Syntax() != ASN_OPAQUE) || (implied && !last)) return 0;
        const BOctetString& octets = v.GetOctets();
        if (!implied) out.Append(octets.Length());
        for (unsigned i = 0; i < octets.Length(); ++i) out.Append(octets[i]);
        break;
      }
      case MIB_INDEX_IPADDRESS:
        if (v.Syntax() != ASN_IPADDRESS) return 0;
        for (int i = 0; i < 4; ++i) out.Append(v.GetIpAddress()[i]);
        break;
      case MIB_INDEX_OID:
      case MIB_INDEX_OID_IMPLIED: {
        const bool implied = m_indexParts[k].kind == MIB_INDEX_OID_IMPLIED;
        if (v.Syntax() != ASN_OBJECT_ID || (implied && !last)) return 0;
        out.Append(v.GetObjectId(), implied);
        break;
      }
    }
  }
  if (m_oid.Length() + 1 + out.Length() > kMaxOidArcs) return 0;
  index = std::move(out);
  return 1;
}

int BMibTableImpl::IndexToValues(const BObjectIdentifier& index, std::vector<BObjectSyntax>& values) const {
  values.clear();
  if (index.IsEmpty()) return 0;
  if (m_indexParts.empty()) return 1;  // an index the table does not interpret
  const unsigned n = index.Length();
  unsigned pos = 0;
  for (size_t k = 0; k < m_indexParts.size(); ++k) {
    const BMibIndexPart& part = m_indexParts[k];
    const bool last = k + 1 == m_indexParts.size();
    const BMibRqHndlrEntry* column = FindRqHndlrEntry(part.column);
    // The arcs of a variable-length part: the rest of the index when it is
    // IMPLIED (only the last part may be), else a length arc and that many.
    uint32_t length = 0;
    auto takeLength = [&](bool implied) {
      if (implied) {
        length = n - pos;
        return last;
      }
      if (pos >= n) return false;
      length = index[pos++];
      return length <= n - pos;
    };
    BObjectSyntax v;
    switch (part.kind) {
      case MIB_INDEX_INTEGER: {
        if (pos >= n) return 0;
        const uint32_t arc = index[pos++];
        const unsigned char syntax = column != nullptr ? column->syntax : static_cast<unsigned char>(ASN_INTEGER);
        if (IsUnsignedSyntax(syntax)) {
          v.SetUnsigned(static_cast<EAsnSyntax>(syntax), arc);
        } else {
          if (arc > static_cast<uint32_t>(INT_MAX)) return 0;
          v.SetInt(static_cast<int>(arc));
        }
        break;
      }
      case MIB_INDEX_OCTETS:
      case MIB_INDEX_OCTETS_IMPLIED: {
        if (!takeLength(part.kind == MIB_INDEX_OCTETS_IMPLIED)) return 0;
        std::vector<unsigned char> octets(length);
        for (uint32_t i = 0; i < length; ++i) {
          const uint32_t arc = index[pos++];
          if (arc > 255) return 0;
          octets[i] = static_cast<unsigned char>(arc);
        }
        const EAsnSyntax syntax = column != nullptr && column->syntax == ASN_OPAQUE ? ASN_OPAQUE : ASN_OCTET_STRING;
        v.SetOctets(length, octets.data(), syntax);
        break;
      }
      case MIB_INDEX_IPADDRESS: {
        if (n - pos < 4) return 0;
        BIpAddress address;
        for (int i = 0; i < 4; ++i) {
          const uint32_t arc = index[pos++];
          if (arc > 255) return 0;
          address[i] = static_cast<unsigned char>(arc);
        }
        v.SetIpAddress(address);
        break;
      }
      case MIB_INDEX_OID:
      case MIB_INDEX_OID_IMPLIED: {
        if (!takeLength(part.kind == MIB_INDEX_OID_IMPLIED)) return 0;
        BObjectIdentifier oid(length, index.Data() + pos);
        pos += length;
        v.SetObjectId(oid);
        break;
      }
    }
    values.push_back(std::move(v));
  }
  if (pos != n) {  // arcs left over
    values.clear();
    return 0;
  }
  return 1;
}

int BMibTableImpl::AddRow(const BObjectIdentifier& index) {
  TMutexLock lock(*m_pLock);
  std::vector<BObjectSyntax> values;
  if (IndexToValues(index, values) == 0 || m_rows.count(index) != 0) return 0;
  auto& row = m_rows[index];
  for (size_t k = 0; k < values.size(); ++k) row[m_indexParts[k].column] = std::move(values[k]);
  for (const BMibRqHndlrEntry& e : m_entries) {
    if (e.hasDefault && row.count(e.subId) == 0) row[e.subId] = e.defaultValue;
  }
  return 1;
}

int BMibTableImpl::RemoveRow(const BObjectIdentifier& index) {
  TMutexLock lock(*m_pLock);
  return m_rows.erase(index) != 0 ? 1 : 0;
}

bool BMibTableImpl::RowExists(const BObjectIdentifier& index) const {
  TMutexLock lock(*m_pLock);
  return m_rows.count(index) != 0;
}

int BMibTableImpl::StoreCell(const BObjectIdentifier& index, uint32_t column, const BObjectSyntax& value) {
  TMutexLock lock(*m_pLock);
  auto row = m_rows.find(index);
  if (row == m_rows.end()) return 0;
  const bool isIndexColumn = std::any_of(m_indexParts.begin(), m_indexParts.end(),
                                         [column](const BMibIndexPart& p) { return p.column == column; });
  if (!isIndexColumn && FindRqHndlrEntry(column) == nullptr) return 0;
  row->second[column] = value;
  return 1;
}

int BMibTableImpl::NextRowIndex(int /*flags*/, uint32_t column, const BObjectIdentifier& index,
                                BObjectIdentifier& next) {
  TMutexLock lock(*m_pLock);
  for (auto it = m_rows.upper_bound(index); it != m_rows.end(); ++it) {
    if (it->second.count(column) != 0) {
      next = it->first;
      return 1;
    }
  }
  return 0;
}

int BMibTableImpl::GetCell(const BObjectIdentifier& index, uint32_t column, BObjectSyntax& value) {
  TMutexLock lock(*m_pLock);
  auto row = m_rows.find(index);
  if (row == m_rows.end()) return SNMP_NO_SUCH_INSTANCE;
  auto cell = row->second.find(column);
  if (cell == row->second.end()) return SNMP_NO_SUCH_INSTANCE;
  value = cell->second;
  return 0;
}

int BMibTableImpl::TestCell(const BObjectIdentifier& index, uint32_t column, const BObjectSyntax& value) {
  const BMibRqHndlrEntry* entry = FindRqHndlrEntry(column);
  if (entry == nullptr || entry->access < MIB_ACCESS_READ_WRITE) return SNMP_ERR_NOTWRITABLE;
  const int status = entry->Validate(value);
  if (status != 0) return status;
  return RowExists(index) ? 0 : SNMP_ERR_NOCREATION;
}

int BMibTableImpl::SetCell(const BObjectIdentifier& index, uint32_t column, const BObjectSyntax& value) {
  return StoreCell(index, column, value) != 0 ? 0 : SNMP_ERR_COMMITFAILED;
}

int BMibTableImpl::GetIndexList(const BObjectIdentifier& rowIndex, BVarBindList& list) {
  std::vector<BObjectSyntax> values;
  if (m_indexParts.empty() || IndexToValues(rowIndex, values) == 0) return 0;
  for (size_t k = 0; k < values.size(); ++k) {
    BObjectIdentifier name = m_oid;
    name.Append(m_indexParts[k].column);
    list.Append(name, values[k]);
  }
  return 1;
}

const BMibRqHndlrEntry* BMibTableImpl::ColumnOf(const BObjectIdentifier& name) const {
  const unsigned base = m_oid.Length();
  return name.Length() > base && m_oid.IsStartingSubOidOf(name) != 0 ? FindRqHndlrEntry(name[base]) : nullptr;
}

bool BMibTableImpl::SplitInstance(const BObjectIdentifier& name, uint32_t& column, BObjectIdentifier& index) const {
  const unsigned base = m_oid.Length();
  if (name.Length() < base + 2 || m_oid.IsStartingSubOidOf(name) == 0) return false;
  column = name[base];
  index.Set(name, base + 1, BObjectIdentifier::kToEnd);
  return true;
}

int BMibTableImpl::Get(unsigned int /*transactionId*/, BVarBindList& list, int& index, int count) {
  TMutexLock lock(*m_pLock);
  BObjectIdentifier rowIndex;
  for (int i = index; i < index + count && i < list.Count(); ++i) {
    BVarBind& vb = list[i];
    const BMibRqHndlrEntry* entry = ColumnOf(vb.name);
    uint32_t column = 0;
    if (entry == nullptr || entry->access <= MIB_ACCESS_NONE) {
      vb.value.SetV2Exception(SNMP_NO_SUCH_OBJECT);
    } else if (!SplitInstance(vb.name, column, rowIndex) || GetCell(rowIndex, column, vb.value) != 0 ||
               vb.value.IsException()) {
      vb.value.SetV2Exception(SNMP_NO_SUCH_INSTANCE);
    }
  }
  return 0;
}

int BMibTableImpl::GetNext(unsigned int /*transactionId*/, BVarBind& varbind) {
  TMutexLock lock(*m_pLock);
  const unsigned base = m_oid.Length();
  const BObjectIdentifier& name = varbind.name;
  // Where to start: a column and the row index the answer must follow
  // (empty: the column's first row).
  uint32_t column = 0;
  BObjectIdentifier after;
  bool startInColumn = false;
  if (m_oid.IsStartingSubOidOf(name) != 0 && name.Length() > base) {
    column = name[base];
    after.Set(name, base + 1, BObjectIdentifier::kToEnd);
    startInColumn = true;
  } else if (name.Compare(m_oid) > 0) {
    varbind.value.SetV2Exception(SNMP_END_OF_MIB_VIEW);
    return 0;
  }
  BObjectIdentifier current;
  BObjectIdentifier next;
  BObjectSyntax value;
  for (const BMibRqHndlrEntry& entry : m_entries) {
    if (entry.access <= MIB_ACCESS_NONE || (startInColumn && entry.subId < column)) continue;
    if (startInColumn && entry.subId == column) {
      current = after;
    } else {
      current.Clear();
    }
    while (NextRowIndex(0, entry.subId, current, next) != 0 && next.Compare(current) > 0) {
      if (GetCell(next, entry.subId, value) == 0 && !value.IsException()) {
        varbind.name = m_oid;
        varbind.name.Append(entry.subId);
        varbind.name.Append(next, true);
        varbind.value = std::move(value);
        return 0;
      }
      current = next;
    }
  }
  varbind.value.SetV2Exception(SNMP_END_OF_MIB_VIEW);
  return 0;
}

int BMibTableImpl::Set(unsigned int /*transactionId*/, const BVarBindList& list, ESnmpSetOpCode code, void** contexts,
                       int& index, int count) {
  BVarBindList committed;  // told to the hook once the lock is released
  int result = 0;
  {
    TMutexLock lock(*m_pLock);
    detail::BMibValueSteps steps;
    steps.test = [&](const BVarBind& vb) {
      const BMibRqHndlrEntry* entry = ColumnOf(vb.name);
      uint32_t column = 0;
      BObjectIdentifier rowIndex;
      if (entry == nullptr || entry->access < MIB_ACCESS_READ_WRITE) return int{SNMP_ERR_NOTWRITABLE};
      if (SplitInstance(vb.name, column, rowIndex)) return TestCell(rowIndex, column, vb.value);
      const int status = entry->Validate(vb.value);
      return status != 0 ? status : int{SNMP_ERR_NOCREATION};
    };
    steps.read = [&](const BVarBind& vb, BObjectSyntax& value) {
      uint32_t column = 0;
      BObjectIdentifier rowIndex;
      return SplitInstance(vb.name, column, rowIndex) && GetCell(rowIndex, column, value) == 0;
    };
    steps.write = [&](const BVarBind& vb, const BObjectSyntax& value) {
      uint32_t column = 0;
      BObjectIdentifier rowIndex;
      return SplitInstance(vb.name, column, rowIndex) ? SetCell(rowIndex, column, value) : int{SNMP_ERR_COMMITFAILED};
    };
    steps.forget = [&](const BVarBind& vb) {  // the cell had no value: it has none again
      uint32_t column = 0;
      BObjectIdentifier rowIndex;
      if (!SplitInstance(vb.name, column, rowIndex)) return int{SNMP_ERR_UNDOFAILED};
      auto row = m_rows.find(rowIndex);
      if (row != m_rows.end()) row->second.erase(column);
      return 0;
    };
    if (m_onCommitted) steps.committed = [&committed](const BVarBind& vb) { committed.Append(vb); };
    result = detail::RunValueSetPhase(code, list, contexts, index, count, steps);
  }
  for (const BVarBind& vb : committed) m_onCommitted(vb);
  return result;
}

}  // namespace QVT
