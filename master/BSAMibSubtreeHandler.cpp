#include "BSAMibSubtreeHandler.h"

#include "BSAMaster.h"
#include "BSAPdu.h"
#include "BSASession.h"
#include "QVSubAgTrace.h"

namespace QVT {

namespace {

ESAPduType SetPhasePduType(ESnmpSetOpCode code) {
  switch (code) {
    case SNMP_SET_TEST:
      return SA_PDU_SET_TEST;
    case SNMP_SET_COMMIT:
      return SA_PDU_SET_COMMIT;
    case SNMP_SET_UNDO:
      return SA_PDU_SET_UNDO;
    case SNMP_SET_CLEANUP:
      return SA_PDU_SET_CLEANUP;
  }
  return SA_PDU_SET_TEST;
}

// The sub-agent's 1-based error index as the 0-based position within the
// served varbinds. An error not tied to a varbind (index 0) points at the
// first of them rather than before it.
int LocalErrorIndex(int errorIndex) {
  return errorIndex > 0 ? errorIndex - 1 : 0;
}

// Sends the `count` varbinds from `index` on to the sub-agent in one request
// of `type` and waits for its answer. 0 with the answer in `response`, or
// the SNMP error to report with `index` at the varbind it concerns: genErr
// when the exchange failed, the sub-agent's own error otherwise.
int ForwardVarBinds(BSAMaster& master, BSASession& session, ESAPduType type, unsigned int transactionId,
                    const BVarBindList& list, int& index, int count, BSAPdu& response) {
  BSAPdu request(type, static_cast<unsigned int>(session.m_id), master.GetNewRequestId());
  request.transactionId = transactionId;
  request.varBindList.Reserve(count);
  for (int i = 0; i < count; ++i) request.varBindList.Append(list[index + i]);
  if (master.SendAndRecvPdu(session, request, response) < 0) {
    index = 0;
    return SNMP_ERR_GENERR;
  }
  if (response.errorStatus != 0) {
    index = LocalErrorIndex(response.errorIndex);
    return response.errorStatus;
  }
  return 0;
}

}  // namespace

BSAMibSubtreeHandler::BSAMibSubtreeHandler(const BString& name, const BObjectIdentifier& oid, BSAMaster* master,
                                           int type)
    : BMibSubtreeHandler(name.c_str(), oid.ToString().c_str()), m_pMaster(master) {
  QVDbgModuleTraceClass(SA_DBG_PROXY, "BSAMibSubtreeHandler  %s", m_name.c_str());
  m_handlerType = type;
}

BSAMibSubtreeHandler::~BSAMibSubtreeHandler() {
  QVDbgModuleTraceClass(SA_DBG_PROXY, "~~~BSAMibSubtreeHandler  %s", m_name.c_str());
}

int BSAMibSubtreeHandler::Get(unsigned int transactionId, BVarBindList& list, int& index, int count) {
  QVDbgModuleTraceClass(SA_DBG_PROXY, "Get %s %d", m_name.c_str(), transactionId);
  if (m_pSession->IsClosing()) return BMibSubtreeHandler::Get(transactionId, list, index, count);
  BSAPdu response(static_cast<ESAPduType>(0));
  const int status = ForwardVarBinds(*m_pMaster, *m_pSession, SA_PDU_GET, transactionId, list, index, count, response);
  if (status != 0) return status;
  if (response.varBindList.Count() != count) {
    index = 0;
    return SNMP_ERR_GENERR;
  }
  for (int i = 0; i < count; ++i) list[index + i].value.Assign(response.varBindList[i].value);
  return 0;
}

int BSAMibSubtreeHandler::Set(unsigned int transactionId, const BVarBindList& list, ESnmpSetOpCode code,
                              void** /*contexts*/, int& index, int count) {
  QVDbgModuleTraceClass(SA_DBG_PROXY, "Set %s %d", m_name.c_str(), transactionId);
  BSAPdu response(static_cast<ESAPduType>(0));
  return ForwardVarBinds(*m_pMaster, *m_pSession, SetPhasePduType(code), transactionId, list, index, count, response);
}

int BSAMibSubtreeHandler::GetNext(unsigned int transactionId, BVarBind& varbind) {
  if (SA_DBG_TRACE_ARGUMENTS) {
    QVDbgModuleTraceClass(SA_DBG_PROXY, "GetNext %s %d", m_oid.ToString().c_str(), transactionId);
  }
  if (m_pSession->IsClosing()) return BMibSubtreeHandler::GetNext(transactionId, varbind);
  BSAPdu request(SA_PDU_GET_NEXT, static_cast<unsigned int>(m_pSession->m_id), m_pMaster->GetNewRequestId());
  request.transactionId = transactionId;
  if (varbind.name.Compare(m_oid) < 0) {
    // Asked from before the subtree: ask for the subtree's first instance;
    // a row-instance proxy asks for its own instance directly.
    request.varBindList.Append(m_oid);
    if (m_handlerType == SA_PROXY_ROW_INSTANCE) request.type = SA_PDU_GET;
  } else {
    request.varBindList.Append(varbind);
  }

  BSAPdu response(static_cast<ESAPduType>(0));
  for (;;) {
    const int status = m_pMaster->SendAndRecvPdu(*m_pSession, request, response);
    if (status == SA_ERR_SESSION_CLOSED && m_pSession->IsClosing()) {
      varbind.value.SetV2Exception(SNMP_END_OF_MIB_VIEW);
      return 0;
    }
    // No answer, or one that is not an answer to a GET-NEXT: the walk stops
    // here with an error rather than end early and look complete.
    if (status < 0 || response.varBindList.Count() != 1) return SNMP_ERR_GENERR;
    if (request.type != SA_PDU_GET) break;
    if (response.errorStatus == 0 && response.varBindList[0].value.Syntax() < ASN_NO_SUCH_OBJECT) break;
    // The instance is not there: ask once more for what follows it.
    request.type = SA_PDU_GET_NEXT;
    response.Init(static_cast<ESAPduType>(0), 0, 0);
    if (SA_DBG_TRACE_ARGUMENTS) {
      QVDbgModuleTraceClass(SA_DBG_PROXY, "GetNext 6 ->>>RESEND>>>  %d  %s=%s", transactionId,
                            request.varBindList[0].name.ToString().c_str(),
                            request.varBindList[0].value.ValToStr().c_str());
    }
  }

  const BVarBind& answer = response.varBindList[0];
  if (m_oid.IsStartingSubOidOf(answer.name)) {
    varbind.Assign(answer);
  } else {
    varbind.value.SetV2Exception(SNMP_END_OF_MIB_VIEW);
  }
  if (SA_DBG_TRACE_ARGUMENTS) {
    QVDbgModuleTraceClass(SA_DBG_PROXY, "GetNext-< RECEIVED<<  %d  %s=%s", transactionId,
                          answer.name.ToString().c_str(), answer.value.ValToStr().c_str());
  }
  return 0;
}

}  // namespace QVT
