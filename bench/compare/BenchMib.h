// BenchMib: the MIB the side-by-side comparison measures, served with the
// host MIB framework under 1.3.6.1.4.1.32473.9 (the documentation enterprise
// number, RFC 5612):
//
// - .1 scalars, one BMibImpl registered as one subtree:
//   .1.1.0 INTEGER 42, .1.2.0 OCTET STRING "bench", .1.3.0 Counter32, the
//   number of scalar values served so far (this one included);
// - .2 a read-only table, one BMibTableImpl at its entry .2.1 registered as
//   one subtree: INTEGER index .2.1.1 (1..N, not accessible), columns .2
//   INTEGER (row x 10), .3 OCTET STRING ("row-" and the row number in 12
//   digits), .4 Counter32 (row x 1000).
//
// The table computes its rows from the index (NextRowIndex, GetCell), so a
// table of any size costs neither memory nor start-up time. The Net-SNMP
// module of the comparison (NetSnmpBenchMib) serves exactly the same objects.
//
// Several sub-agents can serve the MIB side by side (bench/isolation.sh):
// each under its own arc, 1.3.6.1.4.1.32473.<arc> (9 unless told otherwise).
#pragma once

#include <atomic>
#include <cstdint>

#include "BMibImpl.h"
#include "BMibTableImpl.h"
#include "BObjectIdentifier.h"

namespace QVT::bench {

inline constexpr uint32_t kBenchMibArc = 9;  // the MIB's arc below 1.3.6.1.4.1.32473 by default
inline const BObjectIdentifier kBenchMib{1, 3, 6, 1, 4, 1, 32473, kBenchMibArc};
inline const BObjectIdentifier kBenchScalars{1, 3, 6, 1, 4, 1, 32473, kBenchMibArc, 1};
inline const BObjectIdentifier kBenchTableEntry{1, 3, 6, 1, 4, 1, 32473, kBenchMibArc, 2, 1};

// The largest table the programs accept.
inline constexpr uint32_t kMaxBenchRows = 1000000;

class BenchMib {
 public:
  // `rows`: N, 1..kMaxBenchRows; the MIB lives under 1.3.6.1.4.1.32473.<arc>.
  explicit BenchMib(uint32_t rows, uint32_t arc = kBenchMibArc);

  BMibImpl& Scalars() { return m_scalars; }
  BMibTableImpl& Table() { return m_table; }
  uint32_t ScalarReads() const { return m_scalarReads.load(); }

 private:
  // The table with computed rows: row r exists for 1 <= r <= N and has a
  // value in every readable column.
  class ComputedTable : public BMibTableImpl {
   public:
    ComputedTable(uint32_t rows, const BObjectIdentifier& entry);
    int NextRowIndex(int flags, uint32_t column, const BObjectIdentifier& index, BObjectIdentifier& next) override;
    int GetCell(const BObjectIdentifier& index, uint32_t column, BObjectSyntax& value) override;

   private:
    uint32_t m_rows;
  };

  std::atomic<uint32_t> m_scalarReads{0};
  BMibImpl m_scalars;
  ComputedTable m_table;
};

}  // namespace QVT::bench
