#include "BMapInt2Ptr.h"

#include <algorithm>

namespace QVT {

namespace {

template <class Entries, class Key>
auto LowerBound(Entries& entries, const Key& key) {
  return std::lower_bound(entries.begin(), entries.end(), key,
                          [](const auto& entry, const Key& k) { return entry.first < k; });
}

template <class Entries, class Key>
int FindIn(const Entries& entries, const Key& key) {
  const auto it = LowerBound(entries, key);
  if (it == entries.end() || !(it->first == key)) return -1;
  return static_cast<int>(it - entries.begin());
}

template <class Entries, class Key>
int InsertIn(Entries& entries, const Key& key, void* ptr) {
  const auto it = LowerBound(entries, key);
  if (it != entries.end() && it->first == key) return 0;
  entries.emplace(it, key, ptr);
  return 1;
}

template <class Entries, class Key>
void* RemoveFrom(Entries& entries, const Key& key) {
  const auto it = LowerBound(entries, key);
  if (it == entries.end() || !(it->first == key)) return nullptr;
  void* ptr = it->second;
  entries.erase(it);
  return ptr;
}

}  // namespace

int BMapInt2Ptr::Insert(int key, void* ptr) {
  return InsertIn(m_entries, key, ptr);
}
int BMapInt2Ptr::Find(int key) const {
  return FindIn(m_entries, key);
}
void* BMapInt2Ptr::Remove(int key) {
  return RemoveFrom(m_entries, key);
}

void* BMapInt2Ptr::Lookup(int key) const {
  const int position = Find(key);
  return position < 0 ? nullptr : PtrAt(position);
}

int BMapOid2Ptr::Insert(const BObjectIdentifier& key, void* ptr) {
  return InsertIn(m_entries, key, ptr);
}
int BMapOid2Ptr::Find(const BObjectIdentifier& key) const {
  return FindIn(m_entries, key);
}
void* BMapOid2Ptr::Remove(const BObjectIdentifier& key) {
  return RemoveFrom(m_entries, key);
}

void* BMapOid2Ptr::RemoveAt(int position) {
  if (position < 0 || position >= Count()) return nullptr;
  void* ptr = m_entries[static_cast<size_t>(position)].second;
  m_entries.erase(m_entries.begin() + position);
  return ptr;
}

void* BMapOid2Ptr::Lookup(const BObjectIdentifier& key) const {
  const int position = Find(key);
  return position < 0 ? nullptr : PtrAt(position);
}

void BPtrArray::RemoveElementAt(int i) {
  if (i < 0 || i >= Count()) return;
  m_items.erase(m_items.begin() + i);
}

}  // namespace QVT
