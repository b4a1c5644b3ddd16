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

int BSnmpTrapSender::Init(const BString& sinks, const BString& community) {
  std::vector<BSnmpTrapSink> parsed;
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
    }
    sink.text = BString(text);
    if (!QVResolveAddress(sink.text, sink.address)) {
      m_errorText = "TrapSink: cannot resolve '" + text + "'";
      return -1;
    }
    if (sink.address.Port() == 0) {
      m_errorText = "TrapSink: '" + text + "' names port 0, where no trap can be sent";
      return -1;
    }
    parsed.push_back(sink);
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
  for (int version : {SNMP_VERSION_2C, SNMP_VERSION_1}) {
    bool built = false;
    size_t length = 0;
    for (const BSnmpTrapSink& sink : m_sinks) {
      if (sink.version != version || (arg != nullptr && sink.text.str() != arg)) continue;
      if (!built) {
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
