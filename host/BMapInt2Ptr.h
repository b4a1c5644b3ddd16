// BMapInt2Ptr, BMapOid2Ptr and BPtrArray: the small pointer containers of
// the host. The maps keep their entries sorted by key (binary search for
// lookups, entries readable by position in key order); none of them owns
// the objects it points to.
#pragma once

#include <utility>
#include <vector>

#include "BObjectIdentifier.h"
#include "QVExport.h"

namespace QVT {

class QV_API BMapInt2Ptr {
 public:
  // Non-zero on success; 0 when the key is already present (nothing changes).
  int Insert(int key, void* ptr);
  // Position of the key's entry, or -1.
  int Find(int key) const;
  // Removes the key's entry and returns its pointer, or null when absent.
  void* Remove(int key);
  void Clear() { m_entries.clear(); }
  int Count() const { return static_cast<int>(m_entries.size()); }

  int KeyAt(int position) const { return m_entries[static_cast<size_t>(position)].first; }
  void* PtrAt(int position) const { return m_entries[static_cast<size_t>(position)].second; }
  // The pointer stored under `key`, or null.
  void* Lookup(int key) const;

 private:
  std::vector<std::pair<int, void*>> m_entries;  // sorted by key
};

class QV_API BMapOid2Ptr {
 public:
  // Non-zero on success; 0 when the key is already present.
  int Insert(const BObjectIdentifier& key, void* ptr);
  int Find(const BObjectIdentifier& key) const;
  // Removes the key's entry and returns its pointer, or null.
  void* Remove(const BObjectIdentifier& key);
  // Removes the entry at `position` and returns its pointer (null when the
  // position is out of range).
  void* RemoveAt(int position);
  void Clear() { m_entries.clear(); }
  int Count() const { return static_cast<int>(m_entries.size()); }

  const BObjectIdentifier& KeyAt(int position) const { return m_entries[static_cast<size_t>(position)].first; }
  void* PtrAt(int position) const { return m_entries[static_cast<size_t>(position)].second; }
  void* Lookup(const BObjectIdentifier& key) const;

 private:
  std::vector<std::pair<BObjectIdentifier, void*>> m_entries;  // sorted by key
};

class QV_API BPtrArray {
 public:
  void PushBack(void* ptr) { m_items.push_back(ptr); }
  // Removes element i; later elements move down by one. Out of range: no-op.
  void RemoveElementAt(int i);
  void Clear() { m_items.clear(); }
  int Count() const { return static_cast<int>(m_items.size()); }
  void* operator[](int i) const { return m_items[static_cast<size_t>(i)]; }
  void* At(int i) const { return m_items[static_cast<size_t>(i)]; }

 private:
  std::vector<void*> m_items;
};

}  // namespace QVT
