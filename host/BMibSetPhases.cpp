// The SET-phase skeleton, and the value steps of scalars and plain tables
// that keep the value read before a commit in the varbind's context slot.
#include "BMibSetPhases.h"

#include <utility>

namespace QVT::detail {

namespace {

// What a value SET keeps per varbind from commit to cleanup.
struct ValueSlot {
  BObjectSyntax old;
  bool hadOld = false;
  bool committed = false;
};

}  // namespace

int RunSetPhase(ESnmpSetOpCode code, int count, const BMibSetSteps& steps, int& index) {
  auto fail = [&index](int position, int status) {
    index = position < 0 ? 0 : position;
    return status;
  };
  const auto units = [&] { return steps.units ? steps.units() : count; };
  switch (code) {
    case SNMP_SET_TEST: {
      for (int i = 0; i < count; ++i) {
        if (const int status = steps.test(i); status != 0) return fail(i, status);
      }
      int position = 0;
      const int status = steps.testTogether ? steps.testTogether(position) : 0;
      return status != 0 ? fail(position, status) : 0;
    }
    case SNMP_SET_COMMIT:
      for (int unit = 0, n = units(); unit < n; ++unit) {
        int position = unit;
        const int status = steps.commit(unit, position);
        if (status == 0) continue;
        // The units this call applied come back before the failure is told.
        for (int done = unit - 1; done >= 0; --done) {
          int ignored = done;
          (void)steps.undo(done, ignored);
        }
        return fail(position, status);
      }
      return 0;
    case SNMP_SET_UNDO: {
      int result = 0;
      for (int unit = units() - 1; unit >= 0; --unit) {
        int position = unit;
        if (steps.undo(unit, position) != 0) result = fail(position, SNMP_ERR_UNDOFAILED);
      }
      return result;
    }
    case SNMP_SET_CLEANUP:
      steps.cleanup();
      return 0;
  }
  return SNMP_ERR_GENERR;
}

int RunValueSetPhase(ESnmpSetOpCode code, const BVarBindList& list, void** contexts, int& index, int count,
                     const BMibValueSteps& steps) {
  const int first = index;
  // contexts[first + i] holds varbind i's slot from its commit to cleanup;
  // without a context array there are no slots at all.
  auto slotOf = [&](int i) { return contexts != nullptr ? static_cast<ValueSlot*>(contexts[first + i]) : nullptr; };
  BMibSetSteps phases;
  phases.test = [&](int i) { return steps.test(list[first + i]); };
  phases.commit = [&](int i, int& /*position*/) {
    const BVarBind& vb = list[first + i];
    BObjectSyntax old;
    const bool hadOld = steps.read(vb, old);
    const int status = steps.write(vb, vb.value);
    if (status == 0 && contexts != nullptr) {
      ValueSlot* slot = slotOf(i);
      if (slot == nullptr) contexts[first + i] = slot = new ValueSlot;
      *slot = {std::move(old), hadOld, /*committed=*/true};
    }
    return status;
  };
  phases.undo = [&](int i, int& /*position*/) {
    ValueSlot* slot = slotOf(i);
    if (slot == nullptr || !slot->committed) return 0;
    slot->committed = false;
    const BVarBind& vb = list[first + i];
    if (slot->hadOld) return steps.write(vb, slot->old) == 0 ? 0 : int{SNMP_ERR_UNDOFAILED};
    return steps.forget ? steps.forget(vb) : 0;
  };
  phases.cleanup = [&] {
    for (int i = 0; i < count && contexts != nullptr; ++i) {
      if (steps.committed && slotOf(i) != nullptr && slotOf(i)->committed) steps.committed(list[first + i]);
      delete slotOf(i);
      contexts[first + i] = nullptr;
    }
  };
  return RunSetPhase(code, count, phases, index);
}

}  // namespace QVT::detail
