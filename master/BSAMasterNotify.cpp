// BSAMaster: forwarding of sub-agent notifications to the agent's trap
// sender, and the trap class it builds for them.
#include "BSAMaster.h"
#include "QVSubAgTrace.h"

namespace QVT {

BSAMaster::SATrap::~SATrap() = default;

BSAMaster::SATrap* BSAMaster::SATrap::Clone() const {
  auto* copy = new SATrap();
  copy->m_version = m_version;
  copy->m_varBinds = m_varBinds;
  copy->m_trapOid = m_trapOid;
  copy->m_text = m_text;
  return copy;
}

int BSAMaster::Notify(BSAPdu& request) {
  QVSubAgTrace("Notify   sessionid= %d", request.sessionId);
  if (!SessionExists(static_cast<int>(request.sessionId))) return SA_WIRE_NOT_OPEN;
  if (m_pTrapSender == nullptr) return SA_WIRE_PROCESSING_ERROR;
  if (request.varBindList.Count() < 1) return SA_WIRE_PROCESSING_ERROR;
  if (request.varBindList[0].value.Syntax() != ASN_OBJECT_ID) return SA_WIRE_PROCESSING_ERROR;

  SATrap trap;
  trap.SetTrapOid(request.varBindList[0].value.GetObjectId());
  for (int i = 1; i < request.varBindList.Count(); ++i) trap.VarBinds().Append(request.varBindList[i]);
  m_pTrapSender->SendTrap(trap, nullptr);
  return 0;
}

}  // namespace QVT
