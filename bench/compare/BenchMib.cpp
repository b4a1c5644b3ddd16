#include "BenchMib.h"

#include <cstdio>
#include <initializer_list>

namespace QVT::bench {

namespace {

BObjectIdentifier BelowArc(uint32_t arc, std::initializer_list<uint32_t> below) {
  BObjectIdentifier oid{1, 3, 6, 1, 4, 1, 32473, arc};
  for (const uint32_t sub : below) oid.Append(sub);
  return oid;
}

}  // namespace

BenchMib::BenchMib(uint32_t rows, uint32_t arc)
    : m_scalars("benchScalars", BelowArc(arc, {1})), m_table(rows, BelowArc(arc, {2, 1})) {
  m_scalars.AddEntry(1, MIB_ACCESS_READ_ONLY, ASN_INTEGER).Getter([this](BObjectSyntax& value) {
    m_scalarReads.fetch_add(1);
    value.SetInt(42);
  });
  m_scalars.AddEntry(2, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING).Getter([this](BObjectSyntax& value) {
    m_scalarReads.fetch_add(1);
    value.SetOctets(std::string_view("bench"));
  });
  m_scalars.AddEntry(3, MIB_ACCESS_READ_ONLY, ASN_COUNTER32).Getter([this](BObjectSyntax& value) {
    value.SetCounter32(m_scalarReads.fetch_add(1) + 1);
  });
}

BenchMib::ComputedTable::ComputedTable(uint32_t rows, const BObjectIdentifier& entry)
    : BMibTableImpl("benchTable", entry), m_rows(rows) {
  AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER).Range(1, rows);
  AddColumn(2, MIB_ACCESS_READ_ONLY, ASN_INTEGER);
  AddColumn(3, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING);
  AddColumn(4, MIB_ACCESS_READ_ONLY, ASN_COUNTER32);
  AddIndex(1, MIB_INDEX_INTEGER);
}

int BenchMib::ComputedTable::NextRowIndex(int /*flags*/, uint32_t /*column*/, const BObjectIdentifier& index,
                                          BObjectIdentifier& next) {
  // Every row has every column, so the next row follows from the first arc
  // alone: r.x (any x) and r are both followed by r + 1.
  uint32_t row = 1;
  if (!index.IsEmpty()) {
    if (index[0] >= m_rows) return 0;
    row = index[0] + 1;
  }
  if (row > m_rows) return 0;
  next = BObjectIdentifier{row};
  return 1;
}

int BenchMib::ComputedTable::GetCell(const BObjectIdentifier& index, uint32_t column, BObjectSyntax& value) {
  if (index.Length() != 1 || index[0] < 1 || index[0] > m_rows) return SNMP_NO_SUCH_INSTANCE;
  const uint32_t row = index[0];
  switch (column) {
    case 2:
      value.SetInt(static_cast<int>(row * 10));
      return 0;
    case 3: {
      char text[24];
      const int length = std::snprintf(text, sizeof text, "row-%012u", row);
      value.SetOctets(std::string_view(text, static_cast<size_t>(length)));
      return 0;
    }
    case 4:
      value.SetCounter32(row * 1000u);
      return 0;
    default:
      return SNMP_NO_SUCH_INSTANCE;
  }
}

}  // namespace QVT::bench
