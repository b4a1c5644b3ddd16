// BSAMibSubtreeHandler: the master's proxy for a subtree a sub-agent
// registered. To the agent's MIB handler it is an ordinary subtree
// handler; each Get, GetNext and Set it receives becomes one request to the
// owning sub-agent's session (a row-instance GetNext at most two), and the
// answer is mapped back: values, the sub-agent's SNMP error status with its
// index, or genErr when the exchange failed (for GET-NEXT too: a walk must
// not end early and look complete). A proxy whose session is closing acts
// as if it were gone already: noSuchObject, and GET-NEXT moves on.
//
// A proxy takes no lock of its own: its session's exchange slot lets one
// request at a time through to the sub-agent and bounds how many wait.
#pragma once

#include <cstddef>
#include <cstdint>

#include "BMibSubtreeHandler.h"
#include "BObjectIdentifier.h"
#include "BString.h"
#include "QVExport.h"

namespace QVT {

class BSAMaster;
class BSASession;

// Handler types the master gives its proxies.
enum ESAProxyType {
  SA_PROXY_SUBTREE = MIB_HANDLER_PROXY_SUBTREE,   // a registration of one subtree
  SA_PROXY_ROW_INSTANCE = MIB_HANDLER_PROXY_ROW,  // one value of a range registration
};

class QV_API BSAMibSubtreeHandler : public BMibSubtreeHandler {
 public:
  BSAMibSubtreeHandler(const BString& name, const BObjectIdentifier& oid, BSAMaster* master, int type);
  ~BSAMibSubtreeHandler() override;

  void SetSession(BSASession* session) { m_pSession = session; }
  BSASession* Session() const { return m_pSession; }
  // The sysORIndex of the row the master added for this proxy (0: none).
  uint32_t SysORIndex() const { return m_sysORIndex; }

  int Get(unsigned int transactionId, BVarBindList& list, int& index, int count) override;
  int GetNext(unsigned int transactionId, BVarBind& varbind) override;
  // The list form of the base class is used for GetNext.
  using BMibSubtreeHandler::GetNext;
  int Set(unsigned int transactionId, const BVarBindList& list, ESnmpSetOpCode code, void** contexts, int& index,
          int count) override;

 private:
  friend class BSAMaster;

  BSAMaster* m_pMaster;
  BSASession* m_pSession = nullptr;
  uint32_t m_sysORIndex = 0;
  size_t m_sessionSlot = 0;  // position in the session's list of registrations
  uint32_t m_number = 0;     // its number in the session (the view's key); 0 until listed
};

}  // namespace QVT
