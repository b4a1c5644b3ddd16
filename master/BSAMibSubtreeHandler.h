// BSAMibSubtreeHandler: the master's proxy for a subtree a sub-agent
// registered. To the agent's MIB handler it is an ordinary subtree
// handler; each Get, GetNext and Set it receives becomes one request to the
// owning sub-agent's session (a row-instance GetNext at most two), and the
// answer is mapped back: values, the sub-agent's SNMP error status with its
// index, or genErr / endOfMibView when the exchange failed.
#pragma once

#include "BMibSubtreeHandler.h"
#include "BObjectIdentifier.h"
#include "BString.h"
#include "QVExport.h"

namespace QVT {

class BSAMaster;
class BSASession;

// Handler types the master gives its proxies.
enum ESAProxyType {
  SA_PROXY_SUBTREE = 47,       // a registration of one subtree
  SA_PROXY_ROW_INSTANCE = 48,  // one value of a range registration
};

class QV_API BSAMibSubtreeHandler : public BMibSubtreeHandler {
 public:
  BSAMibSubtreeHandler(const BString& name, const BObjectIdentifier& oid, BSAMaster* master, int type);
  ~BSAMibSubtreeHandler() override;

  void SetSession(BSASession* session) { m_pSession = session; }
  BSASession* Session() const { return m_pSession; }

  int Get(unsigned int transactionId, BVarBindList& list, int& index, int count) override;
  int GetNext(unsigned int transactionId, BVarBind& varbind) override;
  // The list form of the base class is used for GetNext.
  using BMibSubtreeHandler::GetNext;
  int Set(unsigned int transactionId, const BVarBindList& list, ESnmpSetOpCode code, void** contexts, int& index,
          int count) override;

 private:
  BSAMaster* m_pMaster;
  BSASession* m_pSession = nullptr;
};

}  // namespace QVT
