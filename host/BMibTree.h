// BMibTree: the registered subtree handlers of a MIB handler, ordered by
// OID. Registrations may nest; every node knows the nearest registration
// above it (its parent) and how many registrations sit directly inside it.
// Not thread-safe by itself: BMibHandler guards it with its reader/writer
// lock.
//
// Two indexes are kept in step: an ordered map for the walks (GET-NEXT
// moves from registration to registration) and a hash of the registered
// OIDs. The owner of a name (the deepest registration whose OID starts the
// name) is found by probing the hash with the name's prefixes, once per
// distinct registration length, longest first, so that it costs the same
// with ten registrations as with a hundred thousand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>
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
  // The nearest registration whose subtree contains this one, or null.
  BMibTreeNode* Parent() const { return m_pParent; }

 private:
  friend class BMibTree;
  BMibSubtreeHandler* m_pHandler;
  BMibTreeNode* m_pParent;
  int m_nested = 0;  // registrations whose parent is this node
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
  // The first registration nested inside `owner`'s subtree whose OID is
  // greater than `name`, or null; costs nothing when `owner` has no nested
  // registration.
  BMibTreeNode* FirstNestedAfter(const BMibTreeNode* owner, const BObjectIdentifier& name) const;

  int Count() const { return static_cast<int>(m_nodes.size()); }

  // A local registration (one whose handler is not a proxy, see
  // QVIsProxyHandlerType) whose subtree holds `oid` or lies inside the
  // subtree of `oid`, or null. Costs a lookup per arc of `oid`, whatever
  // the number of registrations.
  const BObjectIdentifier* FindLocalOverlap(const BObjectIdentifier& oid) const;

  // The first OID that follows every name of the subtree `oid` (1.3.6 for
  // 1.3.5; 1.4 for 1.3.4294967295). False when nothing follows it (the
  // empty OID, or every arc at its maximum).
  static bool SubtreeEnd(const BObjectIdentifier& oid, BObjectIdentifier& end);

 private:
  // A run of arcs with its hash, for probing the hash index with a prefix
  // of a name without copying it.
  struct ArcsView {
    const uint32_t* arcs;
    unsigned count;
    size_t hash;
  };
  struct ArcsHash {
    using is_transparent = void;
    static size_t Of(const uint32_t* arcs, unsigned count);
    size_t operator()(const BObjectIdentifier& oid) const { return Of(oid.Data(), oid.Length()); }
    size_t operator()(const ArcsView& view) const { return view.hash; }
  };
  struct ArcsEqual {
    using is_transparent = void;
    bool operator()(const BObjectIdentifier& a, const BObjectIdentifier& b) const { return a == b; }
    bool operator()(const ArcsView& a, const BObjectIdentifier& b) const;
    bool operator()(const BObjectIdentifier& a, const ArcsView& b) const { return (*this)(b, a); }
  };

  // Re-parents the registrations directly below `from` that lie in the
  // subtree of `oid` to `to` (null: top level).
  void MoveChildren(const BObjectIdentifier& oid, BMibTreeNode* from, BMibTreeNode* to, const BMibTreeNode* skip);
  void CountLength(unsigned length, int delta);

  std::map<BObjectIdentifier, std::unique_ptr<BMibTreeNode>> m_nodes;
  std::unordered_map<BObjectIdentifier, BMibTreeNode*, ArcsHash, ArcsEqual> m_byOid;
  std::vector<std::pair<unsigned, int>> m_lengths;  // registration length -> count, longest first
  std::set<BObjectIdentifier> m_local;              // OIDs of the registrations that are not proxies
};

}  // namespace QVT
