// The SET phases of the MIB implementations (scalars, tables, RowStatus
// tables), run by one skeleton so that every implementation answers the
// phases alike: test looks at the varbinds one by one and then together,
// commit applies unit after unit and takes the units it applied back when
// one fails, undo takes every applied unit back (each one tried), cleanup
// frees what the SET kept. A unit is what commit applies and undo takes back
// as a whole: one varbind for scalars and plain tables, one row for RowStatus
// tables. Used inside the host library only; not installed.
#pragma once

#include <functional>

#include "BObjectSyntax.h"
#include "BVarBind.h"
#include "SnmpTypes.h"

namespace QVT::detail {

// What an implementation does in each phase. Positions count from the
// first varbind served; a step that fails sets `position` to the varbind it
// concerns (it starts at the unit's number).
struct BMibSetSteps {
  // The test of varbind i alone: 0 or an SNMP error status.
  std::function<int(int i)> test;
  // The test of the varbinds together, once each passed alone.
  std::function<int(int& position)> testTogether;
  // How many units commit applies (run after the test phase).
  std::function<int()> units;
  // Applies one unit; a unit that fails has taken back its own part.
  std::function<int(int unit, int& position)> commit;
  // Takes one unit back when it was applied; 0, or non-zero when it could
  // not be taken back.
  std::function<int(int unit, int& position)> undo;
  std::function<void()> cleanup;
};

// Runs phase `code` over `count` varbinds. 0, or the failing step's status
// with `index` at its position (0 for a negative one); undoFailed when an
// undo failed, with `index` at the first unit whose undo failed.
int RunSetPhase(ESnmpSetOpCode code, int count, const BMibSetSteps& steps, int& index);

// The steps of implementations whose unit is the varbind and that take a
// change back by writing the value read before it. They keep that value in
// the varbind's context slot from commit to cleanup.
struct BMibValueSteps {
  // The test of one varbind: 0 or an SNMP error status.
  std::function<int(const BVarBind& vb)> test;
  // The current value of the varbind's object; false when it has none.
  std::function<bool(const BVarBind& vb, BObjectSyntax& value)> read;
  // Stores a value (commit with the new one, undo with the old one): 0 or
  // an SNMP error status.
  std::function<int(const BVarBind& vb, const BObjectSyntax& value)> write;
  // Undo of a varbind whose object had no value before the commit: 0 or
  // non-zero when it could not be done. Unset: nothing to do.
  std::function<int(const BVarBind& vb)> forget;
  // Called at cleanup for each varbind whose commit stands (not undone).
  // Unset: nothing is told.
  std::function<void(const BVarBind& vb)> committed;
};

// One SET phase of list[index .. index+count-1] with these steps, under the
// subtree handler's Set contract (contexts[i] belongs to list[i]; without
// contexts nothing is kept and undo has nothing to take back).
int RunValueSetPhase(ESnmpSetOpCode code, const BVarBindList& list, void** contexts, int& index, int count,
                     const BMibValueSteps& steps);

}  // namespace QVT::detail
