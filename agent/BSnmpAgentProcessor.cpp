// BSnmpAgent::Processor: one request from datagram to answer.
//
// The request is decoded into m_request and, for Get, GetNext and Set,
// answered from that same object: the MIB handler fills the values in
// place and the object is encoded back as the Response. An error answer
// carries the request's varbinds as they arrived, which the processor gets
// by decoding the datagram again (it is still in the receive buffer), so
// the successful path never copies a varbind list. GetBulk builds its
// answer in m_response, repetition by repetition, until the repetitions are
// done, every column is exhausted or the next varbind would pass the
// maximum message size.
#include "BSnmpAgent.h"

#include <algorithm>

#include "BSnmpTransaction.h"

namespace QVT {

namespace {

// RFC 3584 section 4.4: SNMPv2 error statuses as an SNMPv1 manager sees them.
int ToV1ErrorStatus(int status) {
  switch (status) {
    case SNMP_ERR_NOERROR:
    case SNMP_ERR_TOOBIG:
    case SNMP_ERR_NOSUCHNAME:
    case SNMP_ERR_BADVALUE:
    case SNMP_ERR_READONLY:
    case SNMP_ERR_GENERR:
      return status;
    case SNMP_ERR_WRONGVALUE:
    case SNMP_ERR_WRONGENCODING:
    case SNMP_ERR_WRONGTYPE:
    case SNMP_ERR_WRONGLENGTH:
    case SNMP_ERR_INCONSISTENTVALUE:
      return SNMP_ERR_BADVALUE;
    case SNMP_ERR_NOACCESS:
    case SNMP_ERR_NOTWRITABLE:
    case SNMP_ERR_NOCREATION:
    case SNMP_ERR_INCONSISTENTNAME:
    case SNMP_ERR_AUTHORIZATIONERROR:
      return SNMP_ERR_NOSUCHNAME;
    case SNMP_ERR_RESOURCEUNAVAILABLE:
    case SNMP_ERR_COMMITFAILED:
    case SNMP_ERR_UNDOFAILED:
    default:
      return SNMP_ERR_GENERR;
  }
}

bool Equals(const BOctetString& a, const BString& b) {
  return !b.empty() && a.AsStringView() == b.view();
}

}  // namespace

BSnmpAgent::Processor::Processor(BSnmpAgent& agent)
    : m_agent(agent), m_pTransactions(BTransactions::Instance()), m_out(agent.m_config.maxMessageSize) {}

BSnmpAgent::Processor::~Processor() = default;

size_t BSnmpAgent::Processor::Process(const unsigned char* data, size_t length, const BAddress& remote,
                                      const BAddress& local) {
  BSnmpCounters& counters = m_agent.m_counters;
  counters.Increment(SNMP_IN_PKTS);
  m_pData = data;
  m_length = length;
  m_pRemote = &remote;
  m_pLocal = &local;

  const ESnmpCodecStatus status = m_request.Decode(data, length);
  if (status == SNMP_CODEC_BAD_VERSION) {
    counters.Increment(SNMP_IN_BAD_VERSIONS);
    return 0;
  }
  if (status != SNMP_CODEC_OK) {
    counters.Increment(SNMP_IN_ASN_PARSE_ERRS);
    return 0;
  }

  EAccess access = kNone;
  if (Equals(m_request.community, m_agent.m_config.writeCommunity)) {
    access = kWrite;
  } else if (Equals(m_request.community, m_agent.m_config.readCommunity)) {
    access = kRead;
  }
  if (access == kNone) {
    counters.Increment(SNMP_IN_BAD_COMMUNITY_NAMES);
    m_agent.SendAuthenticationFailure();
    return 0;
  }

  if (m_request.pduType != SNMP_PDU_GET_BULK && m_request.pduType != SNMP_PDU_TRAP_V1) {
    switch (m_request.errorStatus) {
      case SNMP_ERR_TOOBIG:
        counters.Increment(SNMP_IN_TOO_BIGS);
        break;
      case SNMP_ERR_NOSUCHNAME:
        counters.Increment(SNMP_IN_NO_SUCH_NAMES);
        break;
      case SNMP_ERR_BADVALUE:
        counters.Increment(SNMP_IN_BAD_VALUES);
        break;
      case SNMP_ERR_READONLY:
        counters.Increment(SNMP_IN_READ_ONLYS);
        break;
      case SNMP_ERR_GENERR:
        counters.Increment(SNMP_IN_GEN_ERRS);
        break;
      default:
        break;
    }
  }

  // Only the security name changes between requests, and rarely: keep the
  // parameters unless it does.
  const int model = m_request.version == SNMP_VERSION_1 ? 1 : 2;
  if (m_params.Model() != model || m_params.Name().view() != m_request.community.AsStringView()) {
    m_params.Set(model, BString(m_request.community.AsStringView()), /*level=*/1);
  }

  switch (m_request.pduType) {
    case SNMP_PDU_GET:
      counters.Increment(SNMP_IN_GET_REQUESTS);
      break;
    case SNMP_PDU_GET_NEXT:
      counters.Increment(SNMP_IN_GET_NEXTS);
      break;
    case SNMP_PDU_SET:
      counters.Increment(SNMP_IN_SET_REQUESTS);
      break;
    case SNMP_PDU_GET_BULK:
      break;
    case SNMP_PDU_RESPONSE:
      counters.Increment(SNMP_IN_GET_RESPONSES);
      return 0;
    case SNMP_PDU_TRAP_V1:
    case SNMP_PDU_TRAP_V2:
      counters.Increment(SNMP_IN_TRAPS);
      return 0;
    default:
      return 0;  // informs and reports are for notification receivers and managers
  }

  // A manager that retransmits while the first copy waits for a slow
  // sub-agent gets its answer from the first copy; the copies would
  // otherwise hold every request thread on the same wait.
  const int32_t requestId = m_request.requestId;
  if (!m_agent.BeginRequest(remote, requestId)) return 0;

  // One host transaction per request, so that MIB code can find out who
  // asks while the request is processed.
  m_transactionId = m_pTransactions->NewTransactionId();
  BSnmpTransaction transaction(m_params, remote, local);
  const bool registered = m_pTransactions->StartTransaction(m_transactionId, &transaction) == 0;
  size_t answer = 0;
  switch (m_request.pduType) {
    case SNMP_PDU_GET:
      answer = ProcessGet(/*next=*/false);
      break;
    case SNMP_PDU_GET_NEXT:
      answer = ProcessGet(/*next=*/true);
      break;
    case SNMP_PDU_GET_BULK:
      answer = ProcessGetBulk();
      break;
    default:
      answer = ProcessSet(access);
      break;
  }
  if (registered) m_pTransactions->EndTransaction(m_transactionId);
  m_agent.EndRequest(remote, requestId);
  return answer;
}

int BSnmpAgent::Processor::Query(int code, BVarBindList& list, int& errorIndex) {
  errorIndex = 0;
  return m_agent.m_mib.Query(code, static_cast<int>(m_transactionId), m_params, m_context, list, errorIndex);
}

size_t BSnmpAgent::Processor::ProcessGet(bool next) {
  BVarBindList& list = m_request.varBinds;
  int index = 0;
  int status = Query(next ? SNMP_REQ_GET_NEXT : SNMP_REQ_GET, list, index);
  if (status == 0 && m_request.version == SNMP_VERSION_1) {
    // SNMPv1 has neither exceptions nor Counter64: GetNext steps over
    // Counter64 objects, and whatever is left becomes noSuchName.
    for (int i = 0; i < list.Count() && status == 0; ++i) {
      BVarBind& vb = list[i];
      if (next && vb.value.Syntax() == ASN_COUNTER64 && !SkipCounter64(vb, status)) index = i + 1;
      if (status == 0 && (vb.value.IsException() || vb.value.Syntax() == ASN_COUNTER64)) {
        status = SNMP_ERR_NOSUCHNAME;
        index = i + 1;
      }
    }
  }
  if (status != 0) return ErrorResponse(status, index);
  m_agent.m_counters.Increment(SNMP_IN_TOTAL_REQ_VARS, static_cast<uint32_t>(list.Count()));
  return Respond(m_request);
}

bool BSnmpAgent::Processor::SkipCounter64(BVarBind& vb, int& status) {
  if (m_scratch.Count() != 1) {
    m_scratch.Clear();
    m_scratch.AppendNew();
  }
  BVarBind& probe = m_scratch[0];
  while (vb.value.Syntax() == ASN_COUNTER64) {
    probe.name = vb.name;
    probe.value.SetNull();
    int index = 0;
    status = Query(SNMP_REQ_GET_NEXT, m_scratch, index);
    if (status != 0) return false;
    // A handler that does not move forward would keep us here for ever.
    if (!probe.value.IsException() && probe.name.Compare(vb.name) <= 0) {
      vb.value.SetV2Exception(SNMP_END_OF_MIB_VIEW);
      return true;
    }
    if (probe.value.IsException()) {
      vb.value = probe.value;
      return true;
    }
    vb = probe;
  }
  return true;
}

size_t BSnmpAgent::Processor::ProcessGetBulk() {
  const int count = m_request.varBinds.Count();
  const int nonRepeaters = std::min(std::max(m_request.NonRepeaters(), 0), count);
  const int maxRepetitions = std::max(m_request.MaxRepetitions(), 0);
  const int repeaters = count - nonRepeaters;
  BVarBindList& request = m_request.varBinds;
  if (maxRepetitions == 0) request.Truncate(nonRepeaters);

  // The first pass answers the non-repeaters and the first repetition.
  int index = 0;
  const int status = Query(SNMP_REQ_GET_NEXT, request, index);
  if (status != 0) return ErrorResponse(status, index);

  m_response.version = m_request.version;
  m_response.community.Assign(m_request.community.View().length, m_request.community.View().data);
  m_response.pduType = SNMP_PDU_RESPONSE;
  m_response.requestId = m_request.requestId;
  m_response.errorStatus = 0;
  m_response.errorIndex = 0;
  BVarBindList& answer = m_response.varBinds;
  const size_t limit = m_agent.m_config.maxMessageSize;
  size_t bytes = 0;
  int used = 0;
  bool full = false;
  bool unencodable = false;
  auto add = [&](const BVarBind& vb) {
    const size_t size = BSnmpMessage::VarBindSize(vb);
    if (size == 0) unencodable = true;
    if (size == 0 || m_response.SizeWithVarBindBytes(bytes + size) > limit) {
      full = true;
      return;
    }
    bytes += size;
    if (used < answer.Count()) {
      answer[used] = vb;
    } else {
      answer.Append(vb);
    }
    ++used;
  };

  for (int i = 0; i < request.Count() && !full; ++i) add(request[i]);
  // Later repetitions start from the previous repetition's names; a column
  // at endOfMibView stays there without asking the MIB again.
  for (int repetition = 1; repetition < maxRepetitions && !full; ++repetition) {
    bool anyLeft = false;
    int active = 0;
    for (int r = 0; r < repeaters; ++r) {
      const BVarBind& previous = answer[used - repeaters + r];
      if (previous.value.Syntax() == ASN_END_OF_MIB_VIEW) continue;
      anyLeft = true;
      if (active < m_scratch.Count()) {
        m_scratch[active].name = previous.name;
      } else {
        m_scratch.Append(previous.name);
      }
      m_scratch[active].value.SetNull();
      ++active;
    }
    if (!anyLeft) break;
    m_scratch.Truncate(active);
    const int repStatus = Query(SNMP_REQ_GET_NEXT, m_scratch, index);
    if (repStatus != 0) {
      // The varbind in error is counted from the start of the request.
      int requestIndex = 0;
      if (index > 0) {
        int seen = 0;
        for (int r = 0; r < repeaters; ++r) {
          if (answer[used - repeaters + r].value.Syntax() == ASN_END_OF_MIB_VIEW) continue;
          if (++seen == index) requestIndex = nonRepeaters + r + 1;
        }
      }
      return ErrorResponse(repStatus, requestIndex);
    }
    int next = 0;
    const int base = used - repeaters;
    for (int r = 0; r < repeaters && !full; ++r) {
      if (answer[base + r].value.Syntax() == ASN_END_OF_MIB_VIEW) {
        const BVarBind exhausted = answer[base + r];
        add(exhausted);
      } else {
        add(m_scratch[next++]);
      }
    }
  }
  if (unencodable && used == 0) return ErrorResponse(SNMP_ERR_GENERR, 0);
  answer.Truncate(used);
  m_agent.m_counters.Increment(SNMP_IN_TOTAL_REQ_VARS, static_cast<uint32_t>(used));
  return Respond(m_response);
}

size_t BSnmpAgent::Processor::ProcessSet(EAccess access) {
  const int count = m_request.varBinds.Count();
  if (access != kWrite) {
    m_agent.m_counters.Increment(SNMP_IN_BAD_COMMUNITY_USES);
    return ErrorResponse(SNMP_ERR_NOACCESS, count > 0 ? 1 : 0);
  }
  int index = 0;
  const int status = m_agent.m_mib.ProcessSet(m_transactionId, m_params, m_request.varBinds, index);
  if (status != 0) return ErrorResponse(status, index);
  m_agent.m_counters.Increment(SNMP_IN_TOTAL_SET_VARS, static_cast<uint32_t>(count));
  // The answer to a successful SET carries the request's varbinds.
  if (m_request.Decode(m_pData, m_length) != SNMP_CODEC_OK) return 0;
  return Respond(m_request);
}

size_t BSnmpAgent::Processor::ErrorResponse(int status, int index) {
  if (m_request.Decode(m_pData, m_length) != SNMP_CODEC_OK) return 0;
  if (m_request.version == SNMP_VERSION_1) status = ToV1ErrorStatus(status);
  if (index < 0 || index > m_request.varBinds.Count()) index = 0;
  m_request.pduType = SNMP_PDU_RESPONSE;
  m_request.errorStatus = status;
  m_request.errorIndex = index;
  size_t length = 0;
  const ESnmpCodecStatus encoded = m_request.Encode(m_out.data(), m_out.size(), length);
  if (encoded == SNMP_CODEC_OK) return Finish(m_request, length);
  return encoded == SNMP_CODEC_TOO_BIG ? TooBig() : 0;
}

size_t BSnmpAgent::Processor::Respond(BSnmpMessage& message) {
  message.pduType = SNMP_PDU_RESPONSE;
  if (&message == &m_request) {
    m_request.errorStatus = 0;
    m_request.errorIndex = 0;
  }
  size_t length = 0;
  const ESnmpCodecStatus status = message.Encode(m_out.data(), m_out.size(), length);
  if (status == SNMP_CODEC_OK) return Finish(message, length);
  // A value the MIB gave that has no encoding is the MIB's failure: genErr
  // naming the varbind (tooBig is counted where it is answered).
  if (status == SNMP_CODEC_BAD_FIELD) {
    if (&message == &m_request) {
      for (int i = 0; i < m_request.varBinds.Count(); ++i) {
        if (BSnmpMessage::VarBindSize(m_request.varBinds[i]) == 0) return ErrorResponse(SNMP_ERR_GENERR, i + 1);
      }
    }
    return ErrorResponse(SNMP_ERR_GENERR, 0);
  }
  return TooBig();
}

size_t BSnmpAgent::Processor::TooBig() {
  m_agent.m_counters.Increment(SNMP_OUT_TOO_BIGS);
  size_t length = 0;
  if (m_request.version == SNMP_VERSION_1) {
    // SNMPv1 answers tooBig with the request's own varbinds (RFC 1157).
    if (m_request.Decode(m_pData, m_length) != SNMP_CODEC_OK) return 0;
    m_request.pduType = SNMP_PDU_RESPONSE;
    m_request.errorStatus = SNMP_ERR_TOOBIG;
    m_request.errorIndex = 0;
    if (m_request.Encode(m_out.data(), m_out.size(), length) == SNMP_CODEC_OK) return Finish(m_request, length);
  } else {
    // SNMPv2 answers tooBig with an empty varbind list (RFC 3416 4.2.1).
    m_request.pduType = SNMP_PDU_RESPONSE;
    m_request.errorStatus = SNMP_ERR_TOOBIG;
    m_request.errorIndex = 0;
    m_request.varBinds.Truncate(0);
    if (m_request.Encode(m_out.data(), m_out.size(), length) == SNMP_CODEC_OK) return Finish(m_request, length);
  }
  m_agent.m_counters.Increment(SNMP_SILENT_DROPS);
  return 0;
}

size_t BSnmpAgent::Processor::Finish(const BSnmpMessage& message, size_t length) {
  BSnmpCounters& counters = m_agent.m_counters;
  counters.Increment(SNMP_OUT_PKTS);
  counters.Increment(SNMP_OUT_GET_RESPONSES);
  switch (message.errorStatus) {
    case SNMP_ERR_NOSUCHNAME:
      counters.Increment(SNMP_OUT_NO_SUCH_NAMES);
      break;
    case SNMP_ERR_BADVALUE:
      counters.Increment(SNMP_OUT_BAD_VALUES);
      break;
    case SNMP_ERR_GENERR:
      counters.Increment(SNMP_OUT_GEN_ERRS);
      break;
    default:
      break;
  }
  return length;
}

}  // namespace QVT
