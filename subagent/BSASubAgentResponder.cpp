// BSASubAgent: the command responder. Its thread reads the master's
// requests from the responder socket one at a time, runs each against the
// sub-agent's own MIB handler and sends one answer back to the sender.
// GET-BULK is assembled here from GET-NEXT passes.
#include "BAddressFilter.h"
#include "BSAEncoder.h"
#include "BSAFrame.h"
#include "BSASubAgent.h"
#include "BTransactions.h"
#include "QVSubAgTrace.h"

namespace QVT {

namespace {

constexpr unsigned int kShortDatagram = 9;
// Room for the encoded varbinds of one answer: the datagram buffer's size.
constexpr int kAnswerLimit = 2048;
// What a GET-BULK answer reserves for the frame around its varbinds.
constexpr int kBulkHeaderAllowance = 50;

// The security parameters and context under which the sub-agent's MIB
// handler sees every request of the master: SNMPv2c, no name,
// noAuthNoPriv, the default context.
const BSecurityParams& MasterSecurityParams() {
  static const BSecurityParams params(2, BString(), 1);
  return params;
}

const BString& DefaultContext() {
  static const BString context;
  return context;
}

int EncodedLength(const BVarBind& vb) {
  return static_cast<int>(BSAEncoder::CalculateLengthOfEncoding(vb));
}

}  // namespace

int BSASubAgent::ReceiveAndProcessData() {
  m_respBuffer.SetLength(m_respBuffer.Capacity());
  unsigned int length = m_respBuffer.Capacity();
  if (m_respSocket.RecvFrom(m_respBuffer.Data(), length, m_addrPeer, false) != 0) return 0;
  m_respBuffer.SetLength(length);
  if (m_addrPeer.Port() == m_respSocket.MyAddress().Port() && QVSameHost(m_addrPeer, m_respSocket.MyAddress())) {
    return 1;  // WakeResponder's octet
  }
  // Only the master may ask: its requests come from its address (from a
  // port of its own choosing).
  if (!QVSameHost(m_addrPeer, m_addrMaster)) {
    m_dropped.fetch_add(1, std::memory_order_relaxed);
    if (QVSubAgTraceActive())
      QVSubAgTrace("ProcessRcvdData dropped a datagram from %s", QVAddressToString(m_addrPeer).c_str());
    return 1;
  }
  ProcessRcvdData();
  return 1;
}

int BSASubAgent::ProcessRcvdData() {
  if (m_respBuffer.Length() <= kShortDatagram) return 1;
  BSAPdu request(static_cast<ESAPduType>(0));
  const int decoded = Decode(m_respBuffer, request);
  if (decoded != 0) {
    QVSubAgTrace("ProcessRcvdData DECODING ERR = %x", decoded);
    return 1;
  }
  if (request.sessionId != m_sessionId.load()) {
    // Not for the session we hold (a request meant for an earlier one, or
    // a guess): unanswered.
    m_dropped.fetch_add(1, std::memory_order_relaxed);
    QVSubAgTrace("ProcessRcvdData dropped a request for session %u", request.sessionId);
    return 1;
  }
  const unsigned int transactionId = request.transactionId;
  BSAPdu response(SA_PDU_RESPONSE, request.sessionId, request.requestId);
  response.varBindList = request.varBindList;

  // MIB code may look the request up by its transaction id. When the id is
  // taken already (a master in this same process registered it for the
  // SNMP request this one serves), that registration stays as it is.
  BTransaction transaction;
  BTransactions* transactions = BTransactions::Instance();
  const bool registered = transactions->StartTransaction(transactionId, &transaction) == 0;
  if (QVSubAgTraceActive()) {
    QVSubAgTrace("ProcessRcvdData tranid=%d  pdutype = %s", transactionId, QVSAPduType2Str(request.type));
  }
  const int status = ProcessPdu(transactionId, request, response);
  if (registered) transactions->EndTransaction(transactionId);
  if (status != 0) QVSubAgTrace("ProcessRcvdData ProcPdu err = %x", status);
  if (QVSubAgTraceActive()) {
    // One line per request served: what was asked, from which name, and how
    // it ended.
    const BString first = request.varBindList.Count() > 0 ? request.varBindList[0].name.ToString() : BString("-");
    QVSubAgTrace("served %s of %d varbind(s) from %s, transaction %u: result%s, index %d",
                 QVSAPduType2Str(request.type), request.varBindList.Count(), first.c_str(), transactionId,
                 QVSAStatus2Str(response.errorStatus), response.errorIndex);
  }
  if (ReturnResponsePdu(response) == 0) m_requestsAnswered.fetch_add(1, std::memory_order_relaxed);
  return 1;
}

int BSASubAgent::ProcessPdu(unsigned int transactionId, BSAPdu& request, BSAPdu& response) {
  BVarBindList& list = response.varBindList;
  int errorIndex = 0;
  if (request.type < SA_PDU_GET || request.type > SA_PDU_SET_CLEANUP) {
    response.errorStatus = SNMP_ERR_GENERR;
    response.errorIndex = 0;
    list.Clear();
    return 0;
  }
  int result = 0;
  switch (static_cast<ESAPduType>(request.type)) {
    case SA_PDU_GET:
      result = m_mibHandler.Query(SNMP_REQ_GET, static_cast<int>(transactionId), MasterSecurityParams(),
                                  DefaultContext(), list, errorIndex);
      break;
    case SA_PDU_GET_NEXT:
      result = m_mibHandler.Query(SNMP_REQ_GET_NEXT, static_cast<int>(transactionId), MasterSecurityParams(),
                                  DefaultContext(), list, errorIndex);
      break;
    case SA_PDU_GET_BULK:
      result = QueryGetBulk(transactionId, request, list, errorIndex);
      break;
    case SA_PDU_SET_TEST:
      result = m_mibHandler.QuerySetTest(transactionId, list, errorIndex);
      break;
    case SA_PDU_SET_COMMIT:
      result = m_mibHandler.QuerySetCommit(transactionId, list, errorIndex);
      break;
    case SA_PDU_SET_UNDO:
      result = m_mibHandler.QuerySetUndo(transactionId, list, errorIndex);
      break;
    case SA_PDU_SET_CLEANUP:
      result = m_mibHandler.QuerySetCleanup(transactionId, list, errorIndex);
      break;
    default:
      break;
  }

  if (static_cast<unsigned int>(result) > SNMP_ERR_INCONSISTENTNAME) {
    response.errorStatus = result;
    response.errorIndex = errorIndex;
    list.Clear();
    return result;
  }
  if (result != 0) {
    response.errorStatus = result;
    response.errorIndex = errorIndex;
    list.Clear();
    return 0;
  }
  if (request.type == SA_PDU_GET_BULK) return 0;
  int size = 0;
  for (const BVarBind& vb : list) {
    size += EncodedLength(vb);
    if (size > kAnswerLimit) {
      response.errorStatus = SNMP_ERR_TOOBIG;
      response.errorIndex = errorIndex;
      list.Clear();
      return 0;
    }
  }
  return 0;
}

int BSASubAgent::QueryGetBulk(unsigned int transactionId, BSAPdu& request, BVarBindList& list, int& errorIndex) {
  // Non-repeaters and max-repetitions travel in the request's error fields.
  const int nonRepeaters = request.errorStatus;
  const int maxRepetitions = request.errorIndex;
  const int count = list.Count();
  if (nonRepeaters < 0 || nonRepeaters > count) {
    errorIndex = 0;
    list.Clear();
    return SNMP_ERR_GENERR;
  }
  const int repeaters = count - nonRepeaters;

  int result = m_mibHandler.Query(SNMP_REQ_GET_NEXT, static_cast<int>(transactionId), MasterSecurityParams(),
                                  DefaultContext(), list, errorIndex);
  if (result != 0) return result;
  int size = kBulkHeaderAllowance;
  for (const BVarBind& vb : list) size += EncodedLength(vb);
  // A first pass that alone does not fit is answered tooBig (with an empty
  // list, as every error answer), whether or not repetitions were asked for.
  if (size > kAnswerLimit) return SNMP_ERR_TOOBIG;
  if (repeaters < 1 || maxRepetitions - 1 < 1) return 0;

  BVarBindList repetition;
  for (int r = 1; r < maxRepetitions; ++r) {
    repetition.Clear();
    for (int i = list.Count() - repeaters; i < list.Count(); ++i) repetition.Append(list[i].name);
    result = m_mibHandler.Query(SNMP_REQ_GET_NEXT, static_cast<int>(transactionId), MasterSecurityParams(),
                                DefaultContext(), repetition, errorIndex);
    if (result != 0) return result;
    for (const BVarBind& vb : repetition) size += EncodedLength(vb);
    if (size > kAnswerLimit) return 0;
    list.Append(repetition);
  }
  return 0;
}

}  // namespace QVT
