// BMibImpl: a group of scalar objects below one OID, written the easy way.
//
//   BMibImpl mib("qvtExScalars", BObjectIdentifier("1.3.6.1.4.1.32473.1.1"));
//   mib.AddEntry(1, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING)
//       .Getter([&](BObjectSyntax& v) { v.SetOctets(description); });
//   mib.AddEntry(3, MIB_ACCESS_READ_WRITE, ASN_OCTET_STRING)
//       .Getter(...).Setter([&](const BObjectSyntax& v) { label = ...; return 0; })
//       .Size(0, 64);
//
// Each entry is one object, sub-id N below the group, whose one instance
// is OID.N.0. Writable entries are checked in the SET test phase (type,
// size, range, then the entry's own check) and changed in commit; undo puts
// the value read before the commit back through the same setter.
//
// The callbacks run on whatever thread queries the MIB (in a sub-agent, its
// command responder) with the handler's own lock held, so the callbacks of
// one BMibImpl never run at the same time; data they share with other
// threads of the application needs the application's own lock.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "BMibSubtreeHandler.h"
#include "BObjectSyntax.h"
#include "QVExport.h"

namespace QVT {

// One object of a MIB implementation: a scalar of a BMibImpl or a column of
// a BMibTableImpl. For tables the callbacks are not used (the table reads
// and writes its cells itself); the checks are.
struct QV_API BMibRqHndlrEntry {
  using GetterFn = std::function<void(BObjectSyntax& value)>;
  // Returns 0 or an SNMP error status (wrongValue, inconsistentValue, ...).
  using CheckFn = std::function<int(const BObjectSyntax& value)>;
  // Stores an already checked value (commit, and undo with the old value):
  // 0, or an SNMP error status that fails the SET.
  using SetterFn = std::function<int(const BObjectSyntax& value)>;

  uint32_t subId = 0;
  int access = MIB_ACCESS_NONE;
  unsigned char syntax = 0x05;
  GetterFn getter;
  CheckFn check;
  SetterFn setter;
  // Size limits of OCTET STRING values and range limits of INTEGER and
  // unsigned values; checked in the test phase.
  uint32_t minLength = 0;
  uint32_t maxLength = 0xFFFFFFFFu;
  int64_t minValue = INT64_MIN;
  int64_t maxValue = INT64_MAX;
  // For table columns: the value a newly created row starts with; a
  // read-create column without one must be set before the row can be
  // active.
  bool hasDefault = false;
  BObjectSyntax defaultValue;

  BMibRqHndlrEntry& Getter(GetterFn fn) {
    getter = std::move(fn);
    return *this;
  }
  BMibRqHndlrEntry& Setter(SetterFn fn) {
    setter = std::move(fn);
    return *this;
  }
  BMibRqHndlrEntry& Check(CheckFn fn) {
    check = std::move(fn);
    return *this;
  }
  BMibRqHndlrEntry& Size(uint32_t min, uint32_t max) {
    minLength = min;
    maxLength = max;
    return *this;
  }
  BMibRqHndlrEntry& Range(int64_t min, int64_t max) {
    minValue = min;
    maxValue = max;
    return *this;
  }
  BMibRqHndlrEntry& Default(const BObjectSyntax& value) {
    hasDefault = true;
    defaultValue = value;
    return *this;
  }

  // The standard checks of a new value against this entry: wrongType,
  // wrongLength, wrongValue, then the entry's own check. 0 when it passes.
  int Validate(const BObjectSyntax& value) const;
};

class QV_API BMibImpl : public BMibSubtreeHandler {
 public:
  BMibImpl(const BString& name, const BObjectIdentifier& oid, int handlerType = MIB_HANDLER_SCALARS);
  ~BMibImpl() override;

  // Adds (or replaces) the entry for `subId` and returns it for chaining.
  // The reference lasts until the next AddEntry or RemoveEntry; entries are
  // meant to be set up before the implementation is registered.
  BMibRqHndlrEntry& AddEntry(uint32_t subId, int access, unsigned char syntax);
  void RemoveEntry(uint32_t subId);

  // Entries in sub-id order; null at the end or when there is none.
  const BMibRqHndlrEntry* GetFirstRqHndlrEntry() const;
  const BMibRqHndlrEntry* NextRqHndlrEntry(uint32_t subId) const;
  const BMibRqHndlrEntry* FindRqHndlrEntry(uint32_t subId) const;

  // Called once for each varbind of a SET that committed and was not
  // undone, after the SET's cleanup and outside the handler's lock; never
  // for an undo. The place for what should follow a change exactly once (a
  // notification, a log line), since setters run again when undo writes the
  // old value back. Set it before the implementation is registered.
  using CommittedFn = std::function<void(const BVarBind& vb)>;
  void OnCommitted(CommittedFn hook) { m_onCommitted = std::move(hook); }

  int Get(unsigned int transactionId, BVarBindList& list, int& index, int count) override;
  int GetNext(unsigned int transactionId, BVarBind& varbind) override;
  int Set(unsigned int transactionId, const BVarBindList& list, ESnmpSetOpCode code, void** contexts, int& index,
          int count) override;

 protected:
  // The entry a name addresses and whether the name is its instance
  // (OID.subId.0). Null when the name is not below an entry.
  const BMibRqHndlrEntry* EntryFor(const BObjectIdentifier& name, bool& isInstance) const;

  std::vector<BMibRqHndlrEntry> m_entries;  // sorted by sub-id
  CommittedFn m_onCommitted;
};

}  // namespace QVT
