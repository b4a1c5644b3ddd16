// BMibTree: the registered subtree handlers of a MIB handler, ordered by
// OID. Registrations may nest; every node knows the nearest registration
// above it (its parent), so the owner of a name (the deepest registration
// whose OID starts the name) is found with one ordered lookup and a short
// walk up. Not thread-safe by itself: BMibHandler guards it with its
// reader/writer lock.
#pragma once

#include <map>
#include <memory>

#include "BMibSubtreeHandler.h"
#include "BObjectIdentifier.h"
#include "QVExport.h"

namespace QVT {

class QV_API BMibTreeNode {
 public:
  BMibTreeNode(BMibSubtreeHandler* handler, BMibTreeNode* parent) : m_pHandler(handler), m_pParent(parent) {}

  BMibSubtreeHandler* Handler() const { return m_pHandler; }
  const BObjectIdentifier& Oid() const { return m_pHandler->Oid(); }
  // The nearest registration whose subtree contains this one, or null.
  BMibTreeNode* Parent() const { return m_pParent; }

 private:
  friend class BMibTree;
  BMibSubtreeHandler* m_pHandler;
  BMibTreeNode* m_pParent;
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
  // Non-zero when the handler was registered and is now removed.
  int Remove(BMibSubtreeHandler* handler);

  // The node of the deepest registration whose OID starts `name`, or null.
  BMibTreeNode* FindSubtreeHandlerNode(const BObjectIdentifier& name) const;
  // The node registered with exactly this OID, or null.
  BMibTreeNode* FindExact(const BObjectIdentifier& oid) const;
  // Walk in OID order: the first node, the node after `node`, and the first
  // node whose OID is greater than `oid`. Null at the end.
  BMibTreeNode* First() const;
  BMibTreeNode* Next(const BMibTreeNode* node) const;
  BMibTreeNode* FirstAfter(const BObjectIdentifier& oid) const;

  int Count() const { return static_cast<int>(m_nodes.size()); }

 private:
  std::map<BObjectIdentifier, std::unique_ptr<BMibTreeNode>> m_nodes;
};

}  // namespace QVT
