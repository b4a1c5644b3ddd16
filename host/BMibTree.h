// BMibTree: the registered subtree handlers of a MIB handler, ordered by
// OID. Registrations may nest; every node knows the nearest registration
// above it (its parent) and how many registrations sit directly inside it.
//
// The owner of a name (the deepest registration whose OID starts the name)
// is found from the last registration at or before the name, walking up its
// parents until one contains the name: any registration that contains the
// name lies between it and the name, so it is that node or one of its
// parents. A lookup is thus one search of the ordered map plus a walk as
// deep as registrations nest, with a hundred thousand registrations as with
// ten, and growing the tree never rehashes anything.
//
// The tree has a lock of its own: lookups share it, insertions and
// removals take it alone, each for the one operation. So a registration can
// go in while queries run (they see it or not, each lookup consistent);
// BMibHandler keeps removals away from running queries, since a query holds
// nodes and handlers across calls: UnregisterSubtreeHandler with its
// reader/writer lock, WithdrawSubtreeHandler by handing the detached node to
// its grace periods.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "BMibSubtreeHandler.h"
#include "BObjectIdentifier.h"
#include "QVExport.h"

namespace QVT {

class QV_API BMibTreeNode {
 public:
  BMibTreeNode(BMibSubtreeHandler* handler, BMibTreeNode* parent) : m_pHandler(handler), m_pParent(parent) {}

  BMibSubtreeHandler* Handler() const { return m_pHandler; }
  const BObjectIdentifier& Oid() const { return m_pHandler->Oid(); }
  // The nearest registration whose subtree contains this one, or null (as
  // of the last insertion or removal).
  BMibTreeNode* Parent() const { return m_pParent.load(std::memory_order_acquire); }

 private:
  friend class BMibTree;
  BMibSubtreeHandler* m_pHandler;
  std::atomic<BMibTreeNode*> m_pParent;
  std::atomic<int> m_nested{0};  // registrations whose parent is this node
};

class QV_API BMibTree {
 public:
  BMibTree();
  ~BMibTree();
  BMibTree(const BMibTree&) = delete;
  BMibTree& operator=(const BMibTree&) = delete;

  // Non-zero on success; 0 when a handler with the identical OID is
  // registered already (or `handler` is null).
  int Insert(BMibSubtreeHandler* handler);
  // Inserts `count` handlers, all or none: 0 when one of them is null, or
  // its OID taken or given twice.
  int InsertGroup(BMibSubtreeHandler* const* handlers, int count);
  // Non-zero when the handler was registered and is now removed.
  int Remove(BMibSubtreeHandler* handler);
  // Takes the handler's node out and hands it over (null when the handler
  // is not registered): a reader that found it before may still use it, so
  // the caller frees it once no such reader runs.
  std::unique_ptr<BMibTreeNode> Detach(BMibSubtreeHandler* handler);

  // The node of the deepest registration whose OID starts `name`, or null.
  BMibTreeNode* FindSubtreeHandlerNode(const BObjectIdentifier& name) const;
  // The node registered with exactly this OID, or null.
  BMibTreeNode* FindExact(const BObjectIdentifier& oid) const;
  // Walk in OID order: the first node, the node after `node`, and the first
  // node whose OID is greater than `oid`. Null at the end.
  BMibTreeNode* First() const;
  BMibTreeNode* Next(const BMibTreeNode* node) const;
  BMibTreeNode* FirstAfter(const BObjectIdentifier& oid) const;
  // The first registration nested inside `owner`'s subtree whose OID is
  // greater than `name`, or null; costs nothing when `owner` has no nested
  // registration.
  BMibTreeNode* FirstNestedAfter(const BMibTreeNode* owner, const BObjectIdentifier& name) const;

  int Count() const;

  // Whether a local registration (one whose handler is not a proxy, see
  // QVIsProxyHandlerType) has a subtree that holds `oid` or lies inside the
  // subtree of `oid`; its OID in `local`. Costs a lookup per arc of `oid`,
  // whatever the number of registrations.
  bool FindLocalOverlap(const BObjectIdentifier& oid, BObjectIdentifier& local) const;

  // The first OID that follows every name of the subtree `oid` (1.3.6 for
  // 1.3.5; 1.4 for 1.3.4294967295). False when nothing follows it (the
  // empty OID, or every arc at its maximum).
  static bool SubtreeEnd(const BObjectIdentifier& oid, BObjectIdentifier& end);

 private:
  using NodeMap = std::map<BObjectIdentifier, std::unique_ptr<BMibTreeNode>>;

  // The operations above, the caller holding m_lock.
  void InsertLocked(BMibSubtreeHandler* handler);
  BMibTreeNode* OwnerOf(const BObjectIdentifier& name) const;
  BMibTreeNode* After(const BObjectIdentifier& oid) const;
  // Re-parents the registrations directly below `from` that lie in the
  // subtree of `oid` to `to` (null: top level).
  void MoveChildren(const BObjectIdentifier& oid, BMibTreeNode* from, BMibTreeNode* to, const BMibTreeNode* skip);

  mutable std::shared_mutex m_lock;  // guards the fields below and the nodes' links; innermost
  NodeMap m_nodes;
  std::set<BObjectIdentifier> m_local;  // OIDs of the registrations that are not proxies
};

}  // namespace QVT
