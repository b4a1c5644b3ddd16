// FakeSubtreeHandler: a subtree handler over a plain ordered map of
// instances, for tests of whatever drives subtree handlers. It answers GET,
// GET-NEXT (the first instance of the subtree for a name before its OID)
// and the four SET phases (commit stores the new value and keeps the old
// one in the varbind's slot, undo puts it back, cleanup frees the slot). It
// records every call, can be told to fail a phase at a varbind, and can
// misbehave in GET-NEXT the way a broken remote handler might.
#pragma once

#include <initializer_list>
#include <map>
#include <vector>

#include "BMibSubtreeHandler.h"

namespace QVT::test {

class FakeSubtreeHandler : public BMibSubtreeHandler {
 public:
  enum class Misbehave {
    kNone,
    kOutside,  // GET-NEXT answers a greater name outside the subtree
    kSmaller,  // GET-NEXT answers the name it was asked (never a greater one)
  };

  struct Call {
    char op;  // 'g' Get, 'n' GetNext, 's' Set
    int code;
    const BVarBindList* list;
    int index;
    int count;
  };

  // Instances are full OIDs; instance i gets the INTEGER value i + 1.
  FakeSubtreeHandler(const char* oid, std::initializer_list<const char*> instances);

  void Add(const char* instance, int value);
  int ValueOf(const char* instance) const;
  // Set(code) fails with `status` at the `at`-th varbind it serves.
  void FailSet(ESnmpSetOpCode code, int at, int status);
  // Get and GetNext fail with `status` (Get at the last varbind it serves).
  void FailGet(int status) { m_getStatus = status; }
  void SetMisbehave(Misbehave mode) { m_misbehave = mode; }
  std::vector<Call> Calls() const;
  int LiveSlots() const { return m_liveSlots; }
  const std::map<BObjectIdentifier, BObjectSyntax>& Instances() const { return m_instances; }

  int Get(unsigned int tid, BVarBindList& list, int& index, int count) override;
  int GetNext(unsigned int tid, BVarBind& varbind) override;
  int Set(unsigned int tid, const BVarBindList& list, ESnmpSetOpCode code, void** contexts, int& index,
          int count) override;

 private:
  std::map<BObjectIdentifier, BObjectSyntax> m_instances;
  std::vector<Call> m_calls;
  Misbehave m_misbehave = Misbehave::kNone;
  int m_getStatus = 0;
  int m_failCode = -1;
  int m_failAt = 0;
  int m_failStatus = 0;
  int m_liveSlots = 0;
};

}  // namespace QVT::test
