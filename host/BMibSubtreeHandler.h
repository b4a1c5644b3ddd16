// BMibSubtreeHandler: the base of everything that serves a MIB subtree.
//
// A handler owns the instances whose names start with its OID (unless a
// deeper registration claims part of them, see BMibHandler). The MIB
// handler calls Get, GetNext and Set with the host transaction id of the
// SNMP request.
//
// Conventions of the three operations:
// - `list`, `index` and `count`: the handler serves list[index] to
//   list[index + count - 1] and leaves every other entry alone.
// - Results are 0 or an SNMP error status (SnmpTypes.h). On an error,
//   `index` is set to the 0-based position of the failing varbind counted
//   from the first one served.
// - A value that does not exist is answered with an exception value, not
//   with an error: noSuchObject when no such object is implemented,
//   noSuchInstance when the object exists but this instance does not.
// - GetNext(varbind) replaces the varbind by the first instance of the
//   subtree whose name follows the varbind's name, or sets the value
//   endOfMibView (name left as it was) when there is none.
#pragma once

#include "BObjectIdentifier.h"
#include "BString.h"
#include "BVarBind.h"
#include "ITimeSubscriber.h"
#include "QVExport.h"
#include "SnmpTypes.h"
#include "TEvent.h"

namespace QVT {

// Optional description of a MIB implementation (none by default).
class QV_API IMibInfo {
 public:
  virtual ~IMibInfo() = default;
  virtual BString Describe() const = 0;
};

class QV_API BMibSubtreeHandler : public ITimeSubscriber {
 public:
  // From text: the name and the OID in dotted form (handler type 0 until
  // set, range fields 0).
  BMibSubtreeHandler(const char* name, const char* oid);
  BMibSubtreeHandler(const BString& name, const BObjectIdentifier& oid, int handlerType = MIB_HANDLER_SUBTREE);
  ~BMibSubtreeHandler() override;

  // Virtual operations, in this order.
  void OnTimeout(BTimeInterval& interval) override;
  // Default: every served varbind gets noSuchObject.
  virtual int Get(unsigned int transactionId, BVarBindList& list, int& index, int count);
  // Default: GetNext(varbind) on each served varbind; stops at the first error.
  virtual int GetNext(unsigned int transactionId, BVarBindList& list, int& index, int count);
  // Default: endOfMibView.
  virtual int GetNext(unsigned int transactionId, BVarBind& varbind);
  // One SET phase over list[index .. index+count-1]. contexts[i] is a slot
  // that belongs to list[i]: a handler may keep per-varbind state there
  // from test to cleanup (it starts null; whatever is put there is the
  // handler's to free at cleanup). Default: notWritable for test, 0 for
  // the other phases.
  virtual int Set(unsigned int transactionId, const BVarBindList& list, ESnmpSetOpCode code, void** contexts,
                  int& index, int count);
  // Non-zero when `name` lies in this handler's subtree.
  virtual int HandlesInstance(const BObjectIdentifier& name);
  virtual IMibInfo* GetIMibInfo();
  virtual BString ToString() const;

  const BString& Name() const { return m_name; }
  const BObjectIdentifier& Oid() const { return m_oid; }
  int HandlerType() const { return m_handlerType; }
  void SetHandlerType(int type) { m_handlerType = type; }
  // For a range registration: the 1-based position of the varying
  // sub-identifier within the OID, and its highest value.
  int RangeSubId() const { return m_rangeSubId; }
  int RangeUpperBound() const { return m_rangeUpperBound; }
  void SetRange(int subIdPosition, int upperBound) {
    m_rangeSubId = subIdPosition;
    m_rangeUpperBound = upperBound;
  }
  // The handler's own lock; subclasses that need one take it through here.
  TMutex* Lock() { return m_pLock; }

 protected:
  BString m_name;
  BObjectIdentifier m_oid;
  int m_handlerType = 0;
  int m_rangeSubId = 0;
  int m_rangeUpperBound = 0;
  TMutex m_lock{true};
  TMutex* m_pLock = &m_lock;
};

}  // namespace QVT
