// BSASubAgent: notifications (sent through the master, which turns them
// into traps) and the index allocation requests.
#include "BSASubAgent.h"
#include "BTrapOIDs.h"
#include "QVSubAgTrace.h"

namespace QVT {

int BSASubAgent::SendTrap(const BTrap& trap, const char* /*text*/) {
  return Notify(trap);
}

int BSASubAgent::Notify(const BTrap& trap) {
  QVSubAgTrace("Notify   ");
  const BTrapOIDs& trapOids = *BTrapOIDs::Instance();
  BVarBind trapOid(trapOids.SnmpTrapOid());
  if (trap.Version() == 1) {
    BObjectIdentifier converted;
    if (trapOids.V1ToV2(trap.Enterprise(), trap.GenericTrap(), trap.SpecificTrap(), converted) == 0) return -1;
    trapOid.value.SetObjectId(converted);
  } else if (const auto* v2 = dynamic_cast<const BTrapV2*>(&trap); v2 != nullptr) {
    trapOid.value.SetObjectId(v2->TrapOid());
  } else {
    trapOid.value.SetObjectId(trap.Enterprise());
  }

  BSAPdu request(SA_PDU_NOTIFY, m_sessionId.load(), GetNewRequestId());
  request.varBindList.Reserve(trap.VarBinds().Count() + 1);
  request.varBindList.Append(trapOid);
  request.varBindList.Append(trap.VarBinds());
  BSAPdu response(static_cast<ESAPduType>(0));
  const int status = SendAndRecvPdu(request, response);
  return status < 0 ? status : response.errorStatus;
}

int BSASubAgent::IndexAlloc(ESAIxAlloc mode, BVarBindList& list) {
  if (m_keep && !IsSessionOpen()) return SA_WIRE_NOT_OPEN;
  const int status = SendIndexAlloc(mode, list);
  if (m_keep && status == 0) {
    // Reserved again, value for value, on every new session.
    std::lock_guard<std::mutex> guard(m_keepLock);
    m_heldIndices.push_back(list);
  }
  return status;
}

int BSASubAgent::SendIndexAlloc(ESAIxAlloc mode, BVarBindList& list) {
  QVSubAgTrace("IndexAlloc   ");
  BSAPdu request(SA_PDU_INDEX_ALLOCATE, m_sessionId.load(), GetNewRequestId());
  request.SetFlagsIndex(mode);
  request.varBindList = list;
  BSAPdu response(static_cast<ESAPduType>(0));
  const int status = SendAndRecvPdu(request, response);
  if (status < 0) return status;
  if (response.errorStatus == 0) {
    list = response.varBindList;
    QVDbgModuleTraceClass(SA_DBG_SUBAGENT, "IndexAlloc  END \n\n ");
  }
  return response.errorStatus;
}

int BSASubAgent::IndexDealloc(BVarBindList& list) {
  QVSubAgTrace("IndexDealloc   ");
  BSAPdu request(SA_PDU_INDEX_DEALLOCATE, m_sessionId.load(), GetNewRequestId());
  request.varBindList = list;
  BSAPdu response(static_cast<ESAPduType>(0));
  const int status = SendAndRecvPdu(request, response);
  const int result = status < 0 ? status : response.errorStatus;
  if (m_keep && result == 0) {
    std::lock_guard<std::mutex> guard(m_keepLock);
    std::erase_if(m_heldIndices, [&list](const BVarBindList& held) {
      if (held.Count() != list.Count()) return false;
      for (int i = 0; i < held.Count(); ++i) {
        if (!(held[i].name == list[i].name) || !(held[i].value == list[i].value)) return false;
      }
      return true;
    });
  }
  return result;
}

}  // namespace QVT
