// BObjectIdentifier: an OBJECT IDENTIFIER as an array of 32-bit
// sub-identifiers. Ordering is lexicographic over the arcs, so a subtree's
// root sorts directly before everything inside it; that property is what
// the MIB tree and the registration lookups are built on.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "BString.h"
#include "QVExport.h"

namespace QVT {

// The view of an object identifier as the coders read it.
struct SASNObjectId {
  const uint32_t* ids = nullptr;
  unsigned count = 0;
};

// The most sub-identifiers an SNMP object name may have; longer ones
// cannot be named in any SNMP message.
inline constexpr unsigned kSnmpMaxOidArcs = 128;

class QV_API BObjectIdentifier {
 public:
  static constexpr unsigned kToEnd = 0xFFFFFFFFu;

  BObjectIdentifier() = default;
  // From dotted text such as "1.3.6.1" or ".1.3.6.1"; text that is not a
  // valid OID gives the empty OID (use Parse to tell the two apart).
  explicit BObjectIdentifier(const BString& dotted);
  explicit BObjectIdentifier(const char* dotted) : BObjectIdentifier(BString(dotted)) {}
  BObjectIdentifier(unsigned count, const uint32_t* arcs) { Set(count, arcs); }
  BObjectIdentifier(std::initializer_list<uint32_t> arcs) : m_arcs(arcs) {}

  // Parses dotted text; false (and the OID unchanged) when it is not a list
  // of decimal arcs of at most 32 bits.
  bool Parse(const char* dotted);

  void Append(uint32_t arc) { m_arcs.push_back(arc); }
  // implied true appends every arc of `other`; false appends its length as
  // one arc first (the form of a variable-length OID table index).
  void Append(const BObjectIdentifier& other, bool implied);

  void Set(const BObjectIdentifier& other) { m_arcs = other.m_arcs; }
  // Arcs `from` to `to` of `other`, both 0-based and inclusive; `to` of
  // kToEnd (or past the end) means through the last arc. An empty range
  // gives the empty OID.
  void Set(const BObjectIdentifier& other, unsigned from, unsigned to);
  void Set(unsigned count, const uint32_t* arcs);
  void Set(uint32_t singleArc) { m_arcs.assign(1, singleArc); }
  // One arc per octet; with implied false the length comes first as one arc
  // (the index form of an OCTET STRING).
  void Set(const unsigned char* octets, int length, bool implied);

  // Negative, 0 or positive by lexicographic order of the arcs.
  int Compare(const BObjectIdentifier& other) const;
  // Non-zero when `other` starts with all of this OID's arcs (also when
  // both are equal).
  int IsStartingSubOidOf(const BObjectIdentifier& other) const;
  BString ToString() const;

  unsigned Length() const { return static_cast<unsigned>(m_arcs.size()); }
  void SetLength(unsigned length) { m_arcs.resize(length, 0); }
  bool IsEmpty() const { return m_arcs.empty(); }
  void Clear() { m_arcs.clear(); }
  uint32_t& operator[](unsigned i) { return m_arcs[i]; }
  uint32_t operator[](unsigned i) const { return m_arcs[i]; }
  uint32_t Last() const { return m_arcs.back(); }
  const uint32_t* Data() const { return m_arcs.data(); }
  SASNObjectId View() const { return {m_arcs.data(), Length()}; }
  auto begin() const { return m_arcs.begin(); }
  auto end() const { return m_arcs.end(); }

  friend bool operator==(const BObjectIdentifier& a, const BObjectIdentifier& b) { return a.m_arcs == b.m_arcs; }
  friend bool operator<(const BObjectIdentifier& a, const BObjectIdentifier& b) { return a.m_arcs < b.m_arcs; }

 private:
  std::vector<uint32_t> m_arcs;
};

}  // namespace QVT
