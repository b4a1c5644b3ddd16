// BSnmpTrapSender: building the two trap forms and sending them.
//
// SNMPv1 trap to an SNMPv2 sink (RFC 3584 3.1): snmpTrapOID.0 from the
// enterprise and trap numbers (BTrapOIDs::V1ToV2), the trap's varbinds, and
// snmpTrapEnterprise.0 with the enterprise appended when it is not there.
// SNMPv2 notification to an SNMPv1 sink (RFC 3584 3.2): enterprise and trap
// numbers from the notification OID (BTrapOIDs::V2ToV1), the varbinds less
// snmpTrapEnterprise.0 (carried in the enterprise field) and less any
// Counter64 value (SNMPv1 has none), agent-addr from snmpTrapAddress.0.
#include "BSnmpTrapSender.h"

#include <string>

#include "BSnmpEngineState.h"
#include "BTrapOIDs.h"

namespace QVT {

namespace {

// snmpTrapAddress.0 (RFC 3584).
const BObjectIdentifier kSnmpTrapAddress{1, 3, 6, 1, 6, 3, 18, 1, 3, 0};

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::unique_ptr<BSockDatagram> OpenSocket(short family) {
  auto socket = std::make_unique<BSockDatagram>();
  BAddress any(family);
  socket->SetMyAddress(any);
  if (socket->Create() != 0 || socket->SetStyle(/*nonBlocking=*/1, /*reuseAddress=*/0, /*closeOnExec=*/1) != 0 ||
      socket->Bind() != 0) {
    return nullptr;
  }
  return socket;
}

}  // namespace

BSnmpTrapSender::BSnmpTrapSender(BTime* clock) : m_pClock(clock != nullptr ? clock : &m_ownClock) {}

BSnmpTrapSender::~BSnmpTrapSender() = default;

bool BSnmpTrapSender::ParseSinks(const BString& sinks, std::vector<BSnmpTrapSink>& parsed,
                                 std::vector<std::string>& errors) {
  const size_t errorsBefore = errors.size();
  const std::string& list = sinks.str();
  size_t begin = 0;
  while (begin <= list.size()) {
    size_t end = list.find(',', begin);
    if (end == std::string::npos) end = list.size();
    std::string text = Trimmed(list.substr(begin, end - begin));
    begin = end + 1;
    if (text.empty()) continue;
    BSnmpTrapSink sink;
    if (text.rfind("v1:", 0) == 0) {
      sink.version = SNMP_VERSION_1;
      text = text.substr(3);
    } else if (text.rfind("v2c:", 0) == 0) {
      text = text.substr(4);
    } else if (text.rfind("v3:", 0) == 0) {
      sink.version = SNMP_VERSION_3;
      text = text.substr(3);
    }
    sink.text = BString(text);
    if (!QVResolveAddress(sink.text, sink.address)) {
      errors.push_back("cannot resolve '" + text + "'");
    } else if (sink.address.Port() == 0) {
      errors.push_back("'" + text + "' names port 0, where no trap can be sent");
    } else {
      parsed.push_back(sink);
    }
  }
  return errors.size() == errorsBefore;
}

int BSnmpTrapSender::Init(const BString& sinks, const BString& community) {
  std::vector<BSnmpTrapSink> parsed;
  std::vector<std::string> errors;
  if (!ParseSinks(sinks, parsed, errors)) {
    m_errorText = "TrapSink: " + errors.front();
    return -1;
  }
  bool need4 = false;
  bool need6 = false;
  for (const BSnmpTrapSink& sink : parsed) {
    (sink.address.Family() == BAddress::kFamilyINet6 ? need6 : need4) = true;
  }
  std::unique_ptr<BSockDatagram> socket4 = need4 ? OpenSocket(BAddress::kFamilyINet) : nullptr;
  std::unique_ptr<BSockDatagram> socket6 = need6 ? OpenSocket(BAddress::kFamilyINet6) : nullptr;
  if ((need4 && !socket4) || (need6 && !socket6)) {
    m_errorText = "TrapSink: cannot open a socket to send traps";
    return -1;
  }
  m_sinks = std::move(parsed);
  m_socket4 = std::move(socket4);
  m_socket6 = std::move(socket6);
  m_community = community;
  m_errorText = BString();
  if (m_buffer.empty()) m_buffer.resize(65507);
  return 0;
}

bool BSnmpTrapSender::BuildV2(const BTrap& trap, uint32_t upTime) {
  const BTrapOIDs& oids = *BTrapOIDs::Instance();
  BObjectIdentifier trapOid;
  if (trap.Version() == 1) {
    if (!oids.V1ToV2(trap.Enterprise(), trap.GenericTrap(), trap.SpecificTrap(), trapOid)) return false;
  } else {
    const auto* v2 = dynamic_cast<const BTrapV2*>(&trap);
    if (v2 == nullptr) return false;
    trapOid = v2->TrapOid();
  }
  m_message.version = SNMP_VERSION_2C;
  m_message.pduType = SNMP_PDU_TRAP_V2;
  m_message.requestId = m_requestId;
  m_message.errorStatus = 0;
  m_message.errorIndex = 0;
  BVarBindList& list = m_message.varBinds;
  list.Clear();
  BObjectSyntax value;
  value.SetTimeTicks(upTime);
  list.Append(oids.SysUpTime(), value);
  value.SetObjectId(trapOid);
  list.Append(oids.SnmpTrapOid(), value);
  bool hasEnterprise = false;
  for (const BVarBind& vb : trap.VarBinds()) {
    hasEnterprise = hasEnterprise || vb.name == oids.SnmpTrapEnterprise();
    list.Append(vb);
  }
  if (trap.Version() == 1 && !hasEnterprise) {
    value.SetObjectId(trap.Enterprise());
    list.Append(oids.SnmpTrapEnterprise(), value);
  }
  return true;
}

bool BSnmpTrapSender::HasV3Sink() const {
  for (const BSnmpTrapSink& sink : m_sinks) {
    if (sink.version == SNMP_VERSION_3) return true;
  }
  return false;
}

bool BSnmpTrapSender::EncodeV3(size_t& length) {
  const BSnmpTrapV3User& user = m_v3User;
  if (user.engine == nullptr || user.name.empty() || user.level < 1 || user.level > 3) return false;
  const bool auth = user.level >= 2;
  const bool priv = user.level == 3;
  if (auth && (user.keys == nullptr || user.keys->Status() != USM_OK || user.keys->Auth() == USM_AUTH_NONE)) return false;
  if (priv && user.keys->Priv() == USM_PRIV_NONE) return false;

  BSnmpV3Message& v3 = m_v3Message;
  const std::vector<unsigned char>& engineId = user.engine->EngineId();
  v3.msgId = m_requestId;
  v3.maxSize = 65507;
  // A trap is unconfirmed: no Report is ever sent back about it.
  v3.flags = static_cast<unsigned char>((auth ? SNMP_V3_FLAG_AUTH : 0) | (priv ? SNMP_V3_FLAG_PRIV : 0));
  v3.engineId.Assign(static_cast<unsigned>(engineId.size()), engineId.data());
  v3.engineBoots = static_cast<int32_t>(user.engine->EngineBoots());
  v3.engineTime = static_cast<int32_t>(user.engine->EngineTime());
  v3.userName.Assign(user.name.view());
  const std::vector<unsigned char> zeros(auth ? user.keys->MacLength() : 0, 0);
  v3.authParameters.Assign(static_cast<unsigned>(zeros.size()), zeros.data());
  v3.privParameters.Assign(0, nullptr);
  v3.contextEngineId.Assign(static_cast<unsigned>(engineId.size()), engineId.data());
  v3.contextName.Assign(0, nullptr);

  m_message.version = SNMP_VERSION_3;
  if (m_scoped.size() < m_buffer.size()) m_scoped.resize(m_buffer.size());
  size_t scopedLength = 0;
  const ESnmpCodecStatus status = v3.EncodeScopedPdu(m_message, m_scoped.data(), m_scoped.size(), scopedLength);
  m_message.version = SNMP_VERSION_2C;
  if (status != SNMP_CODEC_OK) return false;
  if (priv) {
    unsigned char salt[8];
    if (user.keys->Encrypt({m_scoped.data(), scopedLength}, m_scoped.data(), static_cast<uint32_t>(v3.engineBoots),
                           static_cast<uint32_t>(v3.engineTime), m_salts, salt) != USM_OK) {
      return false;
    }
    v3.privParameters.Assign(8, salt);
  }
  if (v3.Encode(m_scoped.data(), scopedLength, m_buffer.data(), m_buffer.size(), length) != SNMP_CODEC_OK) return false;
  return !auth || user.keys->Sign({m_buffer.data(), length}, v3.AuthOffset()) == USM_OK;
}

bool BSnmpTrapSender::BuildV1(const BTrap& trap, uint32_t upTime) {
  const BTrapOIDs& oids = *BTrapOIDs::Instance();
  m_message.version = SNMP_VERSION_1;
  m_message.pduType = SNMP_PDU_TRAP_V1;
  m_message.timeStamp = upTime;
  m_message.agentAddress = m_agentAddress;
  BVarBindList& list = m_message.varBinds;
  list.Clear();
  if (trap.Version() == 1) {
    if (trap.GenericTrap() < SNMP_TRAP_COLD_START || trap.GenericTrap() > SNMP_TRAP_ENTERPRISE_SPECIFIC) return false;
    m_message.enterprise = trap.Enterprise();
    m_message.genericTrap = trap.GenericTrap();
    m_message.specificTrap = trap.SpecificTrap();
  } else {
    const auto* v2 = dynamic_cast<const BTrapV2*>(&trap);
    if (v2 == nullptr) return false;
    ESNMPv1TrapType generic = SNMP_TRAP_ENTERPRISE_SPECIFIC;
    int specific = 0;
    if (!oids.V2ToV1(v2->TrapOid(), trap.VarBinds(), m_message.enterprise, generic, specific)) return false;
    m_message.genericTrap = generic;
    m_message.specificTrap = specific;
  }
  for (const BVarBind& vb : trap.VarBinds()) {
    if (vb.name == kSnmpTrapAddress && vb.value.Syntax() == ASN_IPADDRESS) {
      m_message.agentAddress = vb.value.GetIpAddress();
    }
    if (trap.Version() != 1 && (vb.name == oids.SnmpTrapEnterprise() || vb.value.Syntax() == ASN_COUNTER64)) continue;
    list.Append(vb);
  }
  return true;
}

int BSnmpTrapSender::SendTrap(const BTrap& trap, const char* arg) {
  const uint32_t upTime = m_pClock->SysUptime();
  std::lock_guard<std::mutex> guard(m_lock);
  m_message.community.Assign(m_community.view());
  m_requestId = m_requestId == INT32_MAX ? 1 : m_requestId + 1;
  int result = 0;
  // The SNMPv3 message is built anew for every sink: each one gets its own
  // engine time and, with privacy, its own salt.
  for (int version : {SNMP_VERSION_2C, SNMP_VERSION_1, SNMP_VERSION_3}) {
    bool built = false;
    size_t length = 0;
    for (const BSnmpTrapSink& sink : m_sinks) {
      if (sink.version != version || (arg != nullptr && sink.text.str() != arg)) continue;
      if (version == SNMP_VERSION_3) {
        if (!BuildV2(trap, upTime) || !EncodeV3(length)) {
          m_failed.fetch_add(1);
          result = -1;
          continue;
        }
      } else if (!built) {
        const bool ok = version == SNMP_VERSION_2C ? BuildV2(trap, upTime) : BuildV1(trap, upTime);
        if (!ok || m_message.Encode(m_buffer.data(), m_buffer.size(), length) != SNMP_CODEC_OK) {
          m_failed.fetch_add(1);
          result = -1;
          break;
        }
        built = true;
      }
      BSockDatagram* socket = sink.address.Family() == BAddress::kFamilyINet6 ? m_socket6.get() : m_socket4.get();
      int sent = static_cast<int>(length);
      BAddress to = sink.address;
      if (socket != nullptr && socket->SendTo(reinterpret_cast<const char*>(m_buffer.data()), sent, to) == 0) {
        m_sent.fetch_add(1);
      } else {
        m_failed.fetch_add(1);
        result = -1;
      }
    }
  }
  return result;
}

}  // namespace QVT
