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
#include <cstdlib>

#include "BSnmpEngineState.h"
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

// The SNMPv2 status for one a handler or sub-agent gave in SNMPv1 terms:
// noSuchName, badValue and readOnly do not exist in SNMPv2 answers
// (RFC 3416). For a SET they become the SNMPv2 statuses that say the same;
// a read has no such status, so it is the handler's failure: genErr.
int ToV2ErrorStatus(int status, bool set) {
  if (!set && (status == SNMP_ERR_NOSUCHNAME || status == SNMP_ERR_BADVALUE || status == SNMP_ERR_READONLY)) {
    return SNMP_ERR_GENERR;
  }
  switch (status) {
    case SNMP_ERR_NOSUCHNAME:
      return SNMP_ERR_NOCREATION;
    case SNMP_ERR_BADVALUE:
      return SNMP_ERR_WRONGVALUE;
    case SNMP_ERR_READONLY:
      return SNMP_ERR_NOTWRITABLE;
    default:
      return status;
  }
}

bool Equals(const BOctetString& a, const BString& b) {
  return !b.empty() && a.AsStringView() == b.view();
}

// The largest datagram a request thread receives, and so the largest
// scoped PDU there is to decrypt or to encode.
constexpr size_t kScopedBufferSize = 65536;
constexpr int32_t kUsmTimeWindow = 150;

int LevelOf(unsigned char flags) {
  if ((flags & SNMP_V3_FLAG_PRIV) != 0) return SNMP_SEC_AUTH_PRIV;
  return (flags & SNMP_V3_FLAG_AUTH) != 0 ? SNMP_SEC_AUTH_NO_PRIV : SNMP_SEC_NO_AUTH_NO_PRIV;
}

bool SameOctets(const BOctetString& a, const std::vector<unsigned char>& b) {
  const SASNOctetStr view = a.View();
  return view.length == b.size() && (b.empty() || std::equal(b.begin(), b.end(), view.data));
}

}  // namespace

const BObjectIdentifier* BSnmpV3User::FirstViewPrefixFrom(const BObjectIdentifier& oid) const {
  const BObjectIdentifier* first = nullptr;
  for (const BObjectIdentifier& prefix : view) {
    if (prefix.Compare(oid) >= 0 && (first == nullptr || prefix.Compare(*first) < 0)) first = &prefix;
  }
  return first;
}

bool BSnmpV3User::ViewPartEnd(const BObjectIdentifier& oid, BObjectIdentifier& end) const {
  const BObjectIdentifier* widest = nullptr;
  for (const BObjectIdentifier& prefix : view) {
    if (oid.Length() < prefix.Length() || (widest != nullptr && prefix.Length() >= widest->Length())) continue;
    bool under = true;
    for (unsigned i = 0; i < prefix.Length() && under; ++i) under = oid[i] == prefix[i];
    if (under) widest = &prefix;
  }
  return widest != nullptr && BMibTree::SubtreeEnd(*widest, end);
}

bool BSnmpV3User::InView(const BObjectIdentifier& oid) const {
  for (const BObjectIdentifier& prefix : view) {
    if (oid.Length() < prefix.Length()) continue;
    bool under = true;
    for (unsigned i = 0; i < prefix.Length() && under; ++i) under = oid[i] == prefix[i];
    if (under) return true;
  }
  return false;
}

int BSnmpV3User::MaxLevel() const {
  if (!keys || keys->Status() != USM_OK || keys->Auth() == USM_AUTH_NONE) return SNMP_SEC_NO_AUTH_NO_PRIV;
  return keys->Priv() == USM_PRIV_NONE ? SNMP_SEC_AUTH_NO_PRIV : SNMP_SEC_AUTH_PRIV;
}

bool QVUsmInTimeWindow(uint32_t engineBoots, uint32_t engineTime, int32_t messageBoots, int32_t messageTime) {
  if (engineBoots >= BSnmpEngineState::kMaxBoots || messageBoots < 0 || messageTime < 0) return false;
  if (static_cast<uint32_t>(messageBoots) != engineBoots) return false;
  const int64_t difference = static_cast<int64_t>(messageTime) - static_cast<int64_t>(engineTime);
  return difference >= -kUsmTimeWindow && difference <= kUsmTimeWindow;
}

BSnmpAgent::Processor::Processor(BSnmpAgent& agent)
    : m_agent(agent),
      m_pTransactions(BTransactions::Instance()),
      m_answerLimit(agent.m_config.maxMessageSize),
      m_out(agent.m_config.maxMessageSize) {}

BSnmpAgent::Processor::~Processor() = default;

size_t BSnmpAgent::Processor::Process(const unsigned char* data, size_t length, const BAddress& remote,
                                      const BAddress& local) {
  BSnmpCounters& counters = m_agent.m_counters;
  counters.Increment(SNMP_IN_PKTS);
  m_pData = data;
  m_length = length;
  m_pRemote = &remote;
  m_pLocal = &local;
  m_pUser = nullptr;
  m_answerLimit = m_out.size();
  const BSnmpAgentConfig& config = m_agent.m_config;

  const ESnmpCodecStatus status = m_request.Decode(data, length);
  if (status == SNMP_CODEC_BAD_VERSION && m_request.version == SNMP_VERSION_3 && config.enableV3 &&
      config.engineState != nullptr) {
    return ProcessV3();
  }
  if (status == SNMP_CODEC_BAD_VERSION) {
    counters.Increment(SNMP_IN_BAD_VERSIONS);
    return 0;
  }
  if (status != SNMP_CODEC_OK) {
    counters.Increment(SNMP_IN_ASN_PARSE_ERRS);
    return 0;
  }
  if (!(m_request.version == SNMP_VERSION_1 ? config.enableV1 : config.enableV2c)) {
    counters.Increment(SNMP_IN_BAD_VERSIONS);
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

  // Only the security name changes between requests, and rarely: keep the
  // parameters unless it does.
  const int model = m_request.version == SNMP_VERSION_1 ? 1 : 2;
  if (m_params.Model() != model || m_params.Name().view() != m_request.community.AsStringView()) {
    m_params.Set(model, BString(m_request.community.AsStringView()), /*level=*/1);
  }
  return Dispatch(access);
}

size_t BSnmpAgent::Processor::Dispatch(EAccess access) {
  BSnmpCounters& counters = m_agent.m_counters;
  const BAddress& remote = *m_pRemote;
  const BAddress& local = *m_pLocal;
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
    case SNMP_PDU_INFORM:
      // No notification receiver here: RFC 3412 7.2 step 10 for SNMPv3.
      if (m_request.version == SNMP_VERSION_3) return Report(SNMP_UNKNOWN_PDU_HANDLERS, LevelOf(m_v3.flags));
      return 0;
    default:
      return 0;  // reports are for managers
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

// RFC 3412 7.2 and RFC 3414 3.2, in their order: the header, the engine
// ID, the user, the level, the digest, the time window, the decryption,
// then the context; each failure counted and, if the message is
// reportable, answered by a Report.
size_t BSnmpAgent::Processor::ProcessV3() {
  BSnmpCounters& counters = m_agent.m_counters;
  const BSnmpAgentConfig& config = m_agent.m_config;
  const BSnmpEngineState& engine = *config.engineState;
  m_v3.contextName.Clear();
  m_request.requestId = 0;
  switch (m_v3.Decode(m_pData, m_length)) {
    case SNMP_CODEC_OK:
      break;
    case SNMP_CODEC_BAD_FLAGS:
      counters.Increment(SNMP_INVALID_MSGS);
      return 0;
    case SNMP_CODEC_BAD_SECURITY_MODEL:
      counters.Increment(SNMP_UNKNOWN_SECURITY_MODELS);
      return 0;
    default:
      counters.Increment(SNMP_IN_ASN_PARSE_ERRS);
      return 0;
  }
  // The answer is no larger than the manager can take.
  m_answerLimit = std::min(m_out.size(), static_cast<size_t>(m_v3.maxSize));
  const int level = LevelOf(m_v3.flags);
  if (level == SNMP_SEC_NO_AUTH_NO_PRIV) {
    // A plaintext scoped PDU gives the Report its request id (discovery).
    BSnmpMessage& pdu = m_request;
    if (m_v3.DecodeScopedPdu(m_v3.ScopedData(), m_v3.ScopedLength(), pdu) != SNMP_CODEC_OK) pdu.requestId = 0;
  }

  if (!SameOctets(m_v3.engineId, engine.EngineId())) return Report(USM_STATS_UNKNOWN_ENGINE_IDS, SNMP_SEC_NO_AUTH_NO_PRIV);
  const BSnmpV3User* user = nullptr;
  for (const BSnmpV3User& candidate : config.users) {
    if (candidate.name.view() == m_v3.userName.AsStringView()) {
      user = &candidate;
      break;
    }
  }
  if (user == nullptr) return Report(USM_STATS_UNKNOWN_USER_NAMES, SNMP_SEC_NO_AUTH_NO_PRIV);
  m_pUser = user;
  if (level > user->MaxLevel() || level < user->minLevel) {
    return Report(USM_STATS_UNSUPPORTED_SEC_LEVELS, SNMP_SEC_NO_AUTH_NO_PRIV);
  }
  if (level >= SNMP_SEC_AUTH_NO_PRIV) {
    if (user->keys->Verify({m_pData, m_length}, m_v3.AuthOffset(), m_v3.authParameters.Length()) != USM_OK) {
      return Report(USM_STATS_WRONG_DIGESTS, SNMP_SEC_NO_AUTH_NO_PRIV);
    }
    if (!QVUsmInTimeWindow(engine.EngineBoots(), engine.EngineTime(), m_v3.engineBoots, m_v3.engineTime)) {
      // Authenticated, so that the manager may trust the boots and time.
      return Report(USM_STATS_NOT_IN_TIME_WINDOWS, SNMP_SEC_AUTH_NO_PRIV);
    }
  }
  const unsigned char* scoped = m_v3.ScopedData();
  size_t scopedLength = m_v3.ScopedLength();
  if (level == SNMP_SEC_AUTH_PRIV) {
    if (m_plain.size() < kScopedBufferSize) m_plain.resize(kScopedBufferSize);
    if (user->keys->Decrypt({scoped, scopedLength}, m_plain.data(), static_cast<uint32_t>(m_v3.engineBoots),
                            static_cast<uint32_t>(m_v3.engineTime),
                            {m_v3.privParameters.Data(), m_v3.privParameters.Length()}) != USM_OK) {
      return Report(USM_STATS_DECRYPTION_ERRORS, SNMP_SEC_NO_AUTH_NO_PRIV);
    }
    scoped = m_plain.data();
  }
  m_pData = scoped;
  m_length = scopedLength;
  if (m_v3.DecodeScopedPdu(scoped, scopedLength, m_request) != SNMP_CODEC_OK) {
    // Garbage after decryption is what a wrong privacy key gives.
    if (level == SNMP_SEC_AUTH_PRIV) return Report(USM_STATS_DECRYPTION_ERRORS, SNMP_SEC_NO_AUTH_NO_PRIV);
    counters.Increment(SNMP_IN_ASN_PARSE_ERRS);
    return 0;
  }
  if (!SameOctets(m_v3.contextEngineId, engine.EngineId()) || m_v3.contextName.Length() != 0) {
    return Report(SNMP_UNKNOWN_CONTEXTS, level);
  }
  PrepareV3Header(level);
  if (m_params.Model() != kSnmpSecurityModelUsm || m_params.Name() != user->name || m_params.Level() != level) {
    m_params.Set(kSnmpSecurityModelUsm, user->name, level);
  }
  return Dispatch(user->write ? kWrite : kRead);
}

void BSnmpAgent::Processor::PrepareV3Header(int level) {
  const BSnmpEngineState& engine = *m_agent.m_config.engineState;
  BSnmpV3Message& a = m_v3Answer;
  a.msgId = m_v3.msgId;
  a.maxSize = static_cast<int32_t>(m_agent.m_config.maxMessageSize);
  a.flags = level == SNMP_SEC_AUTH_PRIV   ? SNMP_V3_FLAG_AUTH | SNMP_V3_FLAG_PRIV
            : level == SNMP_SEC_AUTH_NO_PRIV ? SNMP_V3_FLAG_AUTH
                                          : 0;
  a.securityModel = kSnmpSecurityModelUsm;
  const std::vector<unsigned char>& id = engine.EngineId();
  a.engineId.Assign(static_cast<unsigned>(id.size()), id.data());
  a.engineBoots = static_cast<int32_t>(engine.EngineBoots());
  a.engineTime = static_cast<int32_t>(engine.EngineTime());
  a.userName = m_v3.userName;
  const unsigned macLength = level >= SNMP_SEC_AUTH_NO_PRIV ? m_pUser->keys->MacLength() : 0;
  a.authParameters.Reserve(macLength, 0);
  a.authParameters.SetLength(macLength);
  for (unsigned i = 0; i < macLength; ++i) a.authParameters[i] = 0;
  a.privParameters.Reserve(level == SNMP_SEC_AUTH_PRIV ? 8 : 0, 0);
  a.privParameters.SetLength(level == SNMP_SEC_AUTH_PRIV ? 8 : 0);
  a.contextEngineId.Assign(static_cast<unsigned>(id.size()), id.data());
  a.contextName = m_v3.contextName;
}

size_t BSnmpAgent::Processor::Report(ESnmpV3Counter counter, int level) {
  BSnmpCounters& counters = m_agent.m_counters;
  counters.Increment(counter);
  if ((m_v3.flags & SNMP_V3_FLAG_REPORTABLE) == 0) return 0;
  if (level > SNMP_SEC_NO_AUTH_NO_PRIV && m_pUser == nullptr) level = SNMP_SEC_NO_AUTH_NO_PRIV;
  PrepareV3Header(level);
  m_response.version = SNMP_VERSION_3;
  m_response.pduType = SNMP_PDU_REPORT;
  m_response.requestId = m_request.requestId;
  m_response.errorStatus = 0;
  m_response.errorIndex = 0;
  if (m_response.varBinds.Count() != 1) {
    m_response.varBinds.Clear();
    m_response.varBinds.AppendNew();
  }
  BVarBind& vb = m_response.varBinds[0];
  vb.name = BObjectIdentifier(BSnmpCounters::Oid(counter));
  vb.value.SetCounter32(counters.Get(counter));
  size_t length = 0;
  if (EncodeAnswer(m_response, length) != SNMP_CODEC_OK) return 0;
  counters.Increment(SNMP_OUT_PKTS);
  return length;
}

ESnmpCodecStatus BSnmpAgent::Processor::Redecode() {
  if (m_request.version != SNMP_VERSION_3) return m_request.Decode(m_pData, m_length);
  return m_v3.DecodeScopedPdu(m_pData, m_length, m_request);
}

size_t BSnmpAgent::Processor::AnswerSizeWith(const BSnmpMessage& message, size_t varBindBytes) const {
  if (message.version != SNMP_VERSION_3) return message.SizeWithVarBindBytes(varBindBytes);
  const size_t pdu = message.PduSizeWithVarBindBytes(varBindBytes);
  return pdu == 0 ? 0 : m_v3Answer.SizeWithScopedLength(m_v3Answer.ScopedPduSizeWithPdu(pdu));
}

ESnmpCodecStatus BSnmpAgent::Processor::EncodeAnswer(const BSnmpMessage& message, size_t& length) {
  if (message.version != SNMP_VERSION_3) return message.Encode(m_out.data(), m_answerLimit, length);
  if (m_scoped.size() < kScopedBufferSize) m_scoped.resize(kScopedBufferSize);
  size_t scopedLength = 0;
  ESnmpCodecStatus status = m_v3Answer.EncodeScopedPdu(message, m_scoped.data(), m_scoped.size(), scopedLength);
  if (status != SNMP_CODEC_OK) return status == SNMP_CODEC_TOO_BIG ? SNMP_CODEC_BAD_FIELD : status;
  const size_t total = m_v3Answer.SizeWithScopedLength(scopedLength);
  if (total > m_answerLimit) {
    length = total;
    return SNMP_CODEC_TOO_BIG;
  }
  BSnmpV3Message& a = m_v3Answer;
  const bool priv = (a.flags & SNMP_V3_FLAG_PRIV) != 0;
  if (priv) {
    unsigned char salt[8];
    if (m_pUser->keys->Encrypt({m_scoped.data(), scopedLength}, m_scoped.data(), static_cast<uint32_t>(a.engineBoots),
                               static_cast<uint32_t>(a.engineTime), m_agent.m_salts, salt) != USM_OK) {
      return SNMP_CODEC_BAD_FIELD;
    }
    a.privParameters.Assign(8, salt);
  }
  status = a.Encode(m_scoped.data(), scopedLength, m_out.data(), m_answerLimit, length);
  if (status != SNMP_CODEC_OK) return status;
  if ((a.flags & SNMP_V3_FLAG_AUTH) != 0 &&
      m_pUser->keys->Sign({m_out.data(), length}, a.AuthOffset()) != USM_OK) {
    return SNMP_CODEC_BAD_FIELD;
  }
  return SNMP_CODEC_OK;
}

int BSnmpAgent::Processor::QueryWithinView(int code, BVarBindList& list, int& errorIndex) {
  if (m_pUser == nullptr) return Query(code, list, errorIndex);
  const bool next = code == SNMP_REQ_GET_NEXT;
  const int count = list.Count();
  // Only names inside the view are asked of the MIB (and so of the
  // sub-agents). A GET-NEXT walk is kept inside the part of the view it
  // starts in; what lies beyond is reached by NextInView, part by part.
  m_positions.clear();
  m_asked.resize(static_cast<size_t>(count));
  m_limits.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    const size_t k = static_cast<size_t>(i);
    m_asked[k] = list[i].name;
    m_limits[k].Clear();
    if (!m_pUser->InView(list[i].name)) continue;
    m_positions.push_back(i);
    if (next) m_pUser->ViewPartEnd(list[i].name, m_limits[k]);
  }
  auto query = [&](BVarBindList& asked, const std::vector<BObjectIdentifier>& limits) {
    return next ? m_agent.m_mib.QueryNextBefore(static_cast<int>(m_transactionId), m_params, asked, limits, errorIndex)
                : Query(code, asked, errorIndex);
  };
  int status = 0;
  if (m_positions.size() == static_cast<size_t>(count)) {
    status = query(list, m_limits);
  } else if (!m_positions.empty()) {
    m_inView.Clear();
    m_inViewLimits.clear();
    for (const int i : m_positions) {
      m_inView.Append(std::move(list[i]));
      m_inViewLimits.push_back(m_limits[static_cast<size_t>(i)]);
    }
    status = query(m_inView, m_inViewLimits);
    if (status != 0) {
      errorIndex = errorIndex > 0 && errorIndex <= static_cast<int>(m_positions.size())
                       ? m_positions[static_cast<size_t>(errorIndex - 1)] + 1
                       : 0;
      return status;
    }
    for (size_t k = 0; k < m_positions.size(); ++k) list[m_positions[k]] = std::move(m_inView[static_cast<int>(k)]);
  }
  if (status != 0) return status;

  for (int i = 0; i < count; ++i) {
    const size_t k = static_cast<size_t>(i);
    BVarBind& vb = list[i];
    const bool askedInView = m_pUser->InView(m_asked[k]);
    if (!next) {
      if (!askedInView) vb.value.SetV2Exception(SNMP_NO_SUCH_OBJECT);
      continue;
    }
    // Where the walk goes on from: the name asked when it lies outside the
    // view, the end of its part when the part had nothing more, or an
    // answer that left the view.
    const BObjectIdentifier* from = nullptr;
    if (!askedInView) {
      from = &m_asked[k];
    } else if (vb.value.Syntax() == ASN_END_OF_MIB_VIEW) {
      if (m_limits[k].Length() > 0) from = &m_limits[k];
    } else if (!m_pUser->InView(vb.name)) {
      from = &vb.name;
    }
    if (from == nullptr) continue;
    m_from = *from;
    if (!NextInView(vb, m_asked[k], m_from, status)) {
      errorIndex = i + 1;
      return status;
    }
  }
  return 0;
}

bool BSnmpAgent::Processor::NextInView(BVarBind& vb, const BObjectIdentifier& asked, BObjectIdentifier& from,
                                       int& status) {
  if (m_probe.Count() != 1) {
    m_probe.Clear();
    m_probe.AppendNew();
  }
  m_probeLimit.resize(1);
  BVarBind& probe = m_probe[0];
  BObjectIdentifier& limit = m_probeLimit[0];
  int index = 0;
  // Each turn takes the next prefix of the view at or after `from`: an
  // instance may be named by the prefix itself, so it is asked for first,
  // then the first instance after it within its part. `from` moves past
  // the part each turn, so this ends within as many turns as the view has
  // prefixes.
  for (const BObjectIdentifier* prefix = m_pUser->FirstViewPrefixFrom(from); prefix != nullptr;
       prefix = m_pUser->FirstViewPrefixFrom(from)) {
    probe.name = *prefix;
    probe.value.SetNull();
    status = Query(SNMP_REQ_GET, m_probe, index);
    if (status != 0) return false;
    if (!probe.value.IsException()) {
      vb = probe;
      return true;
    }
    limit.Clear();
    const bool bounded = m_pUser->ViewPartEnd(*prefix, limit);
    probe.name = *prefix;
    probe.value.SetNull();
    status = m_agent.m_mib.QueryNextBefore(static_cast<int>(m_transactionId), m_params, m_probe, m_probeLimit, index);
    if (status != 0) return false;
    if (!probe.value.IsException() && m_pUser->InView(probe.name)) {
      vb = probe;
      return true;
    }
    if (probe.value.IsException()) {
      if (!bounded) break;
      from = limit;
    } else {
      // An answer outside the view lies past the part; a handler that does
      // not move forward would keep us here for ever.
      if (probe.name.Compare(*prefix) <= 0) break;
      from = probe.name;
    }
  }
  vb.name = asked;
  vb.value.SetV2Exception(SNMP_END_OF_MIB_VIEW);
  return true;
}

int BSnmpAgent::Processor::Query(int code, BVarBindList& list, int& errorIndex) {
  errorIndex = 0;
  return m_agent.m_mib.Query(code, static_cast<int>(m_transactionId), m_params, m_context, list, errorIndex);
}

size_t BSnmpAgent::Processor::ProcessGet(bool next) {
  BVarBindList& list = m_request.varBinds;
  int index = 0;
  int status = QueryWithinView(next ? SNMP_REQ_GET_NEXT : SNMP_REQ_GET, list, index);
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
  int status = QueryWithinView(SNMP_REQ_GET_NEXT, request, index);
  if (status != 0) return ErrorResponse(status, index);

  m_response.version = m_request.version;
  m_response.community.Assign(m_request.community.View().length, m_request.community.View().data);
  m_response.pduType = SNMP_PDU_RESPONSE;
  m_response.requestId = m_request.requestId;
  m_response.errorStatus = 0;
  m_response.errorIndex = 0;
  BVarBindList& answer = m_response.varBinds;
  const size_t limit = m_answerLimit;
  size_t bytes = 0;
  int used = 0;
  bool full = false;
  bool unencodable = false;
  auto add = [&](const BVarBind& vb) {
    const size_t size = BSnmpMessage::VarBindSize(vb);
    if (size == 0) unencodable = true;
    if (size == 0 || AnswerSizeWith(m_response, bytes + size) > limit) {
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
    const int repStatus = QueryWithinView(SNMP_REQ_GET_NEXT, m_scratch, index);
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
  if (m_pUser != nullptr) {
    // SNMPv3: a user without write access is not authorized to set at all;
    // an object outside the user's view is not accessible.
    if (access != kWrite) return ErrorResponse(SNMP_ERR_AUTHORIZATIONERROR, 0);
    for (int i = 0; i < count; ++i) {
      if (!m_pUser->InView(m_request.varBinds[i].name)) return ErrorResponse(SNMP_ERR_NOACCESS, i + 1);
    }
  } else if (access != kWrite) {
    m_agent.m_counters.Increment(SNMP_IN_BAD_COMMUNITY_USES);
    return ErrorResponse(SNMP_ERR_NOACCESS, count > 0 ? 1 : 0);
  }
  int index = 0;
  const int status = m_agent.m_mib.ProcessSet(m_transactionId, m_params, m_request.varBinds, index);
  if (status != 0) return ErrorResponse(status, index);
  m_agent.m_counters.Increment(SNMP_IN_TOTAL_SET_VARS, static_cast<uint32_t>(count));
  // The answer to a successful SET carries the request's varbinds.
  if (Redecode() != SNMP_CODEC_OK) return 0;
  return Respond(m_request);
}

size_t BSnmpAgent::Processor::ErrorResponse(int status, int index) {
  if (Redecode() != SNMP_CODEC_OK) return 0;
  status = m_request.version == SNMP_VERSION_1 ? ToV1ErrorStatus(status)
                                               : ToV2ErrorStatus(status, m_request.pduType == SNMP_PDU_SET);
  if (index < 0 || index > m_request.varBinds.Count()) index = 0;
  m_request.pduType = SNMP_PDU_RESPONSE;
  m_request.errorStatus = status;
  m_request.errorIndex = index;
  size_t length = 0;
  const ESnmpCodecStatus encoded = EncodeAnswer(m_request, length);
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
  const ESnmpCodecStatus status = EncodeAnswer(message, length);
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
    if (EncodeAnswer(m_request, length) == SNMP_CODEC_OK) return Finish(m_request, length);
  } else {
    // SNMPv2 answers tooBig with an empty varbind list (RFC 3416 4.2.1).
    m_request.pduType = SNMP_PDU_RESPONSE;
    m_request.errorStatus = SNMP_ERR_TOOBIG;
    m_request.errorIndex = 0;
    m_request.varBinds.Truncate(0);
    if (EncodeAnswer(m_request, length) == SNMP_CODEC_OK) return Finish(m_request, length);
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
