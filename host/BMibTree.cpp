// BMibTree: the ordered map keeps the walk order and owns the nodes; the
// hash index answers "which registration has exactly these arcs" for every
// prefix length that some registration has, which is all an owner lookup
// needs. Parent pointers and nested counts are repaired on every insertion
// and removal by visiting only the direct children concerned.
#include "BMibTree.h"

#include <algorithm>
#include <cstring>

namespace QVT {

size_t BMibTree::ArcsHash::Of(const uint32_t* arcs, unsigned count) {
  uint64_t h = 0xCBF29CE484222325ull;
  for (unsigned i = 0; i < count; ++i) {
    h ^= arcs[i];
    h *= 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  return static_cast<size_t>(h);
}

bool BMibTree::ArcsEqual::operator()(const ArcsView& a, const BObjectIdentifier& b) const {
  return a.count == b.Length() && (a.count == 0 || std::memcmp(a.arcs, b.Data(), a.count * sizeof(uint32_t)) == 0);
}

bool BMibTree::SubtreeEnd(const BObjectIdentifier& oid, BObjectIdentifier& end) {
  unsigned n = oid.Length();
  while (n > 0 && oid[n - 1] == 0xFFFFFFFFu) --n;
  if (n == 0) return false;
  end.Set(oid, 0, n - 1);
  end[n - 1] += 1;
  return true;
}

BMibTree::BMibTree() = default;

BMibTree::~BMibTree() = default;

void BMibTree::CountLength(unsigned length, int delta) {
  auto it = std::find_if(m_lengths.begin(), m_lengths.end(), [length](const auto& e) { return e.first == length; });
  if (it == m_lengths.end()) {
    it = m_lengths.insert(
        std::find_if(m_lengths.begin(), m_lengths.end(), [length](const auto& e) { return e.first < length; }),
        {length, 0});
  }
  it->second += delta;
  if (it->second == 0) m_lengths.erase(it);
}

void BMibTree::MoveChildren(const BObjectIdentifier& oid, BMibTreeNode* from, BMibTreeNode* to,
                            const BMibTreeNode* skip) {
  auto it = m_nodes.lower_bound(oid);
  BObjectIdentifier end;
  while (it != m_nodes.end() && oid.IsStartingSubOidOf(it->first)) {
    BMibTreeNode* node = it->second.get();
    if (node == skip || node->m_pParent != from) {
      ++it;
      continue;
    }
    node->m_pParent = to;
    if (from != nullptr) --from->m_nested;
    if (to != nullptr) ++to->m_nested;
    // Everything inside this child keeps its parent: jump over it.
    if (!SubtreeEnd(node->Oid(), end)) break;
    it = m_nodes.lower_bound(end);
  }
}

int BMibTree::Insert(BMibSubtreeHandler* handler) {
  if (handler == nullptr) return 0;
  const BObjectIdentifier& oid = handler->Oid();
  if (m_byOid.find(oid) != m_byOid.end()) return 0;
  BMibTreeNode* parent = FindSubtreeHandlerNode(oid);
  auto node = std::make_unique<BMibTreeNode>(handler, parent);
  BMibTreeNode* raw = node.get();
  MoveChildren(oid, parent, raw, nullptr);
  if (parent != nullptr) ++parent->m_nested;
  m_nodes.emplace(oid, std::move(node));
  m_byOid.emplace(oid, raw);
  CountLength(oid.Length(), +1);
  if (!QVIsProxyHandlerType(handler->HandlerType())) m_local.insert(oid);
  return 1;
}

int BMibTree::Remove(BMibSubtreeHandler* handler) {
  if (handler == nullptr) return 0;
  auto it = m_nodes.find(handler->Oid());
  if (it == m_nodes.end() || it->second->m_pHandler != handler) return 0;
  BMibTreeNode* node = it->second.get();
  BMibTreeNode* parent = node->m_pParent;
  MoveChildren(it->first, node, parent, node);
  if (parent != nullptr) --parent->m_nested;
  m_byOid.erase(it->first);
  m_local.erase(it->first);
  CountLength(it->first.Length(), -1);
  m_nodes.erase(it);
  return 1;
}

BMibTreeNode* BMibTree::FindSubtreeHandlerNode(const BObjectIdentifier& name) const {
  for (const auto& [length, count] : m_lengths) {
    if (length > name.Length()) continue;
    const ArcsView view{name.Data(), length, ArcsHash::Of(name.Data(), length)};
    auto it = m_byOid.find(view);
    if (it != m_byOid.end()) return it->second;
  }
  return nullptr;
}

const BObjectIdentifier* BMibTree::FindLocalOverlap(const BObjectIdentifier& oid) const {
  const auto inside = m_local.lower_bound(oid);
  if (inside != m_local.end() && oid.IsStartingSubOidOf(*inside)) return &*inside;
  BObjectIdentifier prefix;
  for (unsigned length = 1; length < oid.Length(); ++length) {
    prefix.Set(length, oid.Data());
    const auto around = m_local.find(prefix);
    if (around != m_local.end()) return &*around;
  }
  return nullptr;
}

BMibTreeNode* BMibTree::FindExact(const BObjectIdentifier& oid) const {
  auto it = m_byOid.find(oid);
  return it == m_byOid.end() ? nullptr : it->second;
}

BMibTreeNode* BMibTree::First() const {
  return m_nodes.empty() ? nullptr : m_nodes.begin()->second.get();
}

BMibTreeNode* BMibTree::Next(const BMibTreeNode* node) const {
  return node == nullptr ? First() : FirstAfter(node->Oid());
}

BMibTreeNode* BMibTree::FirstAfter(const BObjectIdentifier& oid) const {
  auto it = m_nodes.upper_bound(oid);
  return it == m_nodes.end() ? nullptr : it->second.get();
}

BMibTreeNode* BMibTree::FirstNestedAfter(const BMibTreeNode* owner, const BObjectIdentifier& name) const {
  if (owner == nullptr || owner->m_nested == 0) return nullptr;
  BMibTreeNode* next = FirstAfter(name);
  return next != nullptr && owner->Oid().IsStartingSubOidOf(next->Oid()) ? next : nullptr;
}

}  // namespace QVT
