// The per-varbind context slots the scalar and table handlers keep across
// the phases of one SET, and the undo and cleanup passes they share. Used
// inside the host library only; not installed.
#pragma once

#include "SnmpTypes.h"

namespace QVT::detail {

// contexts[first + i] holds the Slot of the call's i-th varbind, or nothing
// yet; without a context array there are no slots at all.
template <class Slot>
class SetSlots {
 public:
  SetSlots(void** contexts, int first) : m_contexts(contexts), m_first(first) {}

  Slot* At(int i) const { return m_contexts != nullptr ? static_cast<Slot*>(m_contexts[m_first + i]) : nullptr; }
  // The i-th slot, created when there is room for it and none yet.
  Slot* Make(int i) {
    Slot* slot = At(i);
    if (m_contexts != nullptr && slot == nullptr) m_contexts[m_first + i] = slot = new Slot;
    return slot;
  }
  // The cleanup phase: every slot of the call goes.
  void DeleteAll(int count) {
    for (int i = 0; i < count && m_contexts != nullptr; ++i) {
      delete At(i);
      m_contexts[m_first + i] = nullptr;
    }
  }

 private:
  void** m_contexts;
  int m_first;
};

// The undo phase: undoOne(i) for the call's varbinds from the last to the
// first. Every one is tried; undoFailed with `index` at the first varbind
// whose undo failed.
template <class UndoOne>
int UndoAll(int count, int& index, UndoOne&& undoOne) {
  int result = 0;
  for (int i = count - 1; i >= 0; --i) {
    if (undoOne(i) != 0) {
      result = SNMP_ERR_UNDOFAILED;
      index = i;
    }
  }
  return result;
}

}  // namespace QVT::detail
