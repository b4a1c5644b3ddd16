// BVarBind and BVarBindList: a variable binding (name and value) and an
// ordered list of them, the payload of every SNMP and sub-agent PDU.
#pragma once

#include <vector>

#include "BObjectIdentifier.h"
#include "BObjectSyntax.h"
#include "QVExport.h"

namespace QVT {

struct QV_API BVarBind {
  BVarBind() = default;
  explicit BVarBind(const BObjectIdentifier& oid) : name(oid) {}
  BVarBind(const BObjectIdentifier& oid, const BObjectSyntax& val) : name(oid), value(val) {}

  void Assign(const BVarBind& other) { *this = other; }

  BObjectIdentifier name;
  BObjectSyntax value;  // NULL until set
};

class QV_API BVarBindList {
 public:
  BVarBindList() = default;

  int Count() const { return static_cast<int>(m_list.size()); }
  bool IsEmpty() const { return m_list.empty(); }

  void Append(const BVarBind& vb) { m_list.push_back(vb); }
  void Append(BVarBind&& vb) { m_list.push_back(std::move(vb)); }
  void Append(const BObjectIdentifier& oid) { m_list.emplace_back(oid); }
  void Append(const BObjectIdentifier& oid, const BObjectSyntax& value) { m_list.emplace_back(oid, value); }
  void Append(const BVarBindList& other) {
    if (&other == this) {
      const std::vector<BVarBind> copy(m_list);  // appending to itself: the entries as they were
      m_list.insert(m_list.end(), copy.begin(), copy.end());
      return;
    }
    m_list.insert(m_list.end(), other.m_list.begin(), other.m_list.end());
  }
  BVarBind& AppendNew() { return m_list.emplace_back(); }
  void Assign(const BVarBindList& other) {
    if (this != &other) m_list = other.m_list;
  }
  void Clear() { m_list.clear(); }
  void Reserve(int count) { m_list.reserve(static_cast<size_t>(count)); }
  // Out of range: nothing happens.
  void RemoveAt(int i) {
    if (i >= 0 && i < Count()) m_list.erase(m_list.begin() + i);
  }
  // Keeps the first `count` entries (none for a count below 1).
  void Truncate(int count) {
    if (count < Count()) m_list.resize(static_cast<size_t>(count < 0 ? 0 : count));
  }

  BVarBind& operator[](int i) { return m_list[static_cast<size_t>(i)]; }
  const BVarBind& operator[](int i) const { return m_list[static_cast<size_t>(i)]; }
  auto begin() { return m_list.begin(); }
  auto end() { return m_list.end(); }
  auto begin() const { return m_list.begin(); }
  auto end() const { return m_list.end(); }

 private:
  std::vector<BVarBind> m_list;
};

}  // namespace QVT
