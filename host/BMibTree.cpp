// BMibTree: one ordered map owns the nodes and answers every lookup; parent
// pointers and nested counts are repaired on every insertion and removal by
// visiting only the direct children concerned.
#include "BMibTree.h"

#include <mutex>

namespace QVT {

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

void BMibTree::MoveChildren(const BObjectIdentifier& oid, BMibTreeNode* from, BMibTreeNode* to,
                            const BMibTreeNode* skip) {
  auto it = m_nodes.lower_bound(oid);
  BObjectIdentifier end;
  while (it != m_nodes.end() && oid.IsStartingSubOidOf(it->first)) {
    BMibTreeNode* node = it->second.get();
    if (node == skip || node->m_pParent.load(std::memory_order_relaxed) != from) {
      ++it;
      continue;
    }
    node->m_pParent.store(to, std::memory_order_release);
    if (from != nullptr) --from->m_nested;
    if (to != nullptr) ++to->m_nested;
    // Everything inside this child keeps its parent: jump over it.
    if (!SubtreeEnd(node->Oid(), end)) break;
    it = m_nodes.lower_bound(end);
  }
}

int BMibTree::Insert(BMibSubtreeHandler* handler) {
  if (handler == nullptr) return 0;
  std::unique_lock<std::shared_mutex> guard(m_lock);
  if (m_nodes.count(handler->Oid()) != 0) return 0;
  InsertLocked(handler);
  return 1;
}

int BMibTree::InsertGroup(BMibSubtreeHandler* const* handlers, int count) {
  std::unique_lock<std::shared_mutex> guard(m_lock);
  std::set<BObjectIdentifier> group;
  for (int i = 0; i < count; ++i) {
    if (handlers[i] == nullptr || m_nodes.count(handlers[i]->Oid()) != 0) return 0;
    if (!group.insert(handlers[i]->Oid()).second) return 0;
  }
  for (int i = 0; i < count; ++i) InsertLocked(handlers[i]);
  return 1;
}

void BMibTree::InsertLocked(BMibSubtreeHandler* handler) {
  const BObjectIdentifier& oid = handler->Oid();
  BMibTreeNode* parent = OwnerOf(oid);
  auto node = std::make_unique<BMibTreeNode>(handler, parent);
  BMibTreeNode* raw = node.get();
  MoveChildren(oid, parent, raw, nullptr);
  if (parent != nullptr) ++parent->m_nested;
  m_nodes.emplace(oid, std::move(node));
  if (!QVIsProxyHandlerType(handler->HandlerType())) m_local.insert(oid);
}

int BMibTree::Remove(BMibSubtreeHandler* handler) {
  return Detach(handler) != nullptr ? 1 : 0;
}

std::unique_ptr<BMibTreeNode> BMibTree::Detach(BMibSubtreeHandler* handler) {
  if (handler == nullptr) return nullptr;
  std::unique_lock<std::shared_mutex> guard(m_lock);
  auto it = m_nodes.find(handler->Oid());
  if (it == m_nodes.end() || it->second->m_pHandler != handler) return nullptr;
  BMibTreeNode* node = it->second.get();
  BMibTreeNode* parent = node->m_pParent.load(std::memory_order_relaxed);
  MoveChildren(it->first, node, parent, node);
  if (parent != nullptr) --parent->m_nested;
  m_local.erase(it->first);
  std::unique_ptr<BMibTreeNode> detached = std::move(it->second);
  m_nodes.erase(it);
  return detached;
}

BMibTreeNode* BMibTree::OwnerOf(const BObjectIdentifier& name) const {
  auto it = m_nodes.upper_bound(name);
  if (it == m_nodes.begin()) return nullptr;
  BMibTreeNode* node = std::prev(it)->second.get();
  while (node != nullptr && !node->Oid().IsStartingSubOidOf(name))
    node = node->m_pParent.load(std::memory_order_relaxed);
  return node;
}

BMibTreeNode* BMibTree::After(const BObjectIdentifier& oid) const {
  auto it = m_nodes.upper_bound(oid);
  return it == m_nodes.end() ? nullptr : it->second.get();
}

BMibTreeNode* BMibTree::FindSubtreeHandlerNode(const BObjectIdentifier& name) const {
  std::shared_lock<std::shared_mutex> guard(m_lock);
  return OwnerOf(name);
}

BMibTreeNode* BMibTree::FindExact(const BObjectIdentifier& oid) const {
  std::shared_lock<std::shared_mutex> guard(m_lock);
  auto it = m_nodes.find(oid);
  return it == m_nodes.end() ? nullptr : it->second.get();
}

BMibTreeNode* BMibTree::First() const {
  std::shared_lock<std::shared_mutex> guard(m_lock);
  return m_nodes.empty() ? nullptr : m_nodes.begin()->second.get();
}

BMibTreeNode* BMibTree::Next(const BMibTreeNode* node) const {
  return node == nullptr ? First() : FirstAfter(node->Oid());
}

BMibTreeNode* BMibTree::FirstAfter(const BObjectIdentifier& oid) const {
  std::shared_lock<std::shared_mutex> guard(m_lock);
  return After(oid);
}

BMibTreeNode* BMibTree::FirstNestedAfter(const BMibTreeNode* owner, const BObjectIdentifier& name) const {
  if (owner == nullptr || owner->m_nested.load(std::memory_order_acquire) == 0) return nullptr;
  std::shared_lock<std::shared_mutex> guard(m_lock);
  BMibTreeNode* next = After(name);
  return next != nullptr && owner->Oid().IsStartingSubOidOf(next->Oid()) ? next : nullptr;
}

int BMibTree::Count() const {
  std::shared_lock<std::shared_mutex> guard(m_lock);
  return static_cast<int>(m_nodes.size());
}

bool BMibTree::FindLocalOverlap(const BObjectIdentifier& oid, BObjectIdentifier& local) const {
  std::shared_lock<std::shared_mutex> guard(m_lock);
  const auto inside = m_local.lower_bound(oid);
  if (inside != m_local.end() && oid.IsStartingSubOidOf(*inside)) {
    local = *inside;
    return true;
  }
  BObjectIdentifier prefix;
  for (unsigned length = 1; length < oid.Length(); ++length) {
    prefix.Set(length, oid.Data());
    if (m_local.count(prefix) != 0) {
      local = prefix;
      return true;
    }
  }
  return false;
}

}  // namespace QVT
