// BSAMaster: forwarding of sub-agent notifications to the agent's trap
// sender, at most MaxNotifyRate a second per session, and the trap class it
// builds for them.
#include <algorithm>

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
  BSASession* session = FindSession(static_cast<int>(request.sessionId));
  if (session == nullptr) return SA_WIRE_NOT_OPEN;
  if (m_pTrapSender == nullptr) return SA_WIRE_PROCESSING_ERROR;
  if (!TakeNotifyToken(*session)) {
    Refuse(SA_CNT_NOTIFY_RATE, BString("notification from " + QVAddressToString(session->m_address).str() +
                                       " (session " + std::to_string(session->m_id) + ") refused: more than " +
                                       std::to_string(m_settings.maxNotifyRate) + " a second (MaxNotifyRate)"));
    return SA_WIRE_REQUEST_DENIED;
  }
  if (request.varBindList.Count() < 1) return SA_WIRE_PROCESSING_ERROR;
  if (request.varBindList[0].value.Syntax() != ASN_OBJECT_ID) return SA_WIRE_PROCESSING_ERROR;

  SATrap trap;
  trap.SetTrapOid(request.varBindList[0].value.GetObjectId());
  for (int i = 1; i < request.varBindList.Count(); ++i) trap.VarBinds().Append(request.varBindList[i]);
  session->m_notifications.fetch_add(1, std::memory_order_relaxed);
  m_pTrapSender->SendTrap(trap, nullptr);
  return 0;
}

bool BSAMaster::TakeNotifyToken(BSASession& session) {
  const int rate = m_settings.maxNotifyRate;
  if (rate <= 0) return true;
  // A token bucket: `rate` tokens a second, holding at most twice as many.
  const auto now = Clock::now();
  const double elapsed = std::chrono::duration<double>(now - session.m_notifyRefill).count();
  session.m_notifyRefill = now;
  session.m_notifyTokens = std::min(2.0 * rate, session.m_notifyTokens + elapsed * rate);
  if (session.m_notifyTokens < 1.0) return false;
  session.m_notifyTokens -= 1.0;
  return true;
}

}  // namespace QVT
