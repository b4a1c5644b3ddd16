// SnmpTestPeer: a scripted SNMP manager (or trap sink) on a loopback socket
// that speaks through the agent's own codec, and a one-line text of a
// message for comparisons, for the tests of the SNMP front-end.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "BAddress.h"
#include "BSnmpMessage.h"
#include "BSocket.h"

namespace QVT::test {

// A manager, or a trap sink, on a loopback socket.
class SnmpManager {
 public:
  explicit SnmpManager(const BAddress& agent = BAddress()) : m_agent(agent), m_buffer(65536) {
    BAddress local(BAddress::kFamilyINet);
    local.SetIPv4(0x7F000001);
    m_socket.SetMyAddress(local);
    m_socket.Create();
    m_socket.Bind();
    m_socket.GetLocalAddress(address);
  }
  bool SendRaw(const std::vector<unsigned char>& octets) {
    int length = static_cast<int>(octets.size());
    return m_socket.SendTo(reinterpret_cast<const char*>(octets.data()), length, m_agent) == 0;
  }
  // Sends a request of `type` for `oids` with a fresh request id; `edit`
  // may set values, or GetBulk's numbers, first.
  int32_t Send(int version, const char* community, unsigned char type, std::initializer_list<const char*> oids,
               const std::function<void(BSnmpMessage&)>& edit = nullptr) {
    BSnmpMessage m;
    m.version = version;
    m.community.Assign(community);
    m.pduType = type;
    m.requestId = ++m_lastId;
    for (const char* oid : oids) m.varBinds.Append(BObjectIdentifier(oid));
    if (edit) edit(m);
    size_t length = 0;
    EXPECT_EQ(m.Encode(m_buffer.data(), m_buffer.size(), length), SNMP_CODEC_OK);
    EXPECT_TRUE(SendRaw({m_buffer.begin(), m_buffer.begin() + static_cast<long>(length)}));
    return m.requestId;
  }
  // The datagram that arrives within `ms`; empty when none does.
  std::vector<unsigned char> ReceiveRaw(int ms = 3000) {
    int length = static_cast<int>(m_buffer.size());
    BAddress from;
    if (m_socket.RecvFrom(reinterpret_cast<char*>(m_buffer.data()), length, from, ms / 1000, ms % 1000 * 1000) != 0) {
      return {};
    }
    return {m_buffer.begin(), m_buffer.begin() + length};
  }
  // The answer to `requestId` (-1: any message) arriving within `ms`;
  // pduType 0 when none.
  BSnmpMessage Receive(int32_t requestId, int ms = 3000) {
    const std::vector<unsigned char> octets = ReceiveRaw(ms);
    BSnmpMessage m;
    if (octets.empty() || m.Decode(octets.data(), octets.size()) != SNMP_CODEC_OK ||
        (requestId >= 0 && m.requestId != requestId)) {
      m.pduType = 0;
    }
    return m;
  }
  BAddress address;

 private:
  BSockDatagram m_socket;
  BAddress m_agent;
  std::vector<unsigned char> m_buffer;
  int32_t m_lastId = 1000;
};

// A message as text: for a trap its version, PDU type, community (and the
// SNMPv1 trap fields); for a response the status and index; then per
// varbind its name after 1.3.6.1.x.1 and its value.
inline std::string Show(const BSnmpMessage& m) {
  if (m.pduType == 0) return "no answer";
  std::string s = std::to_string(m.errorStatus) + "/" + std::to_string(m.errorIndex);
  if (m.pduType != SNMP_PDU_RESPONSE) {
    s = std::to_string(m.version) + " " + std::to_string(m.pduType) + " " + std::string(m.community.AsStringView());
  }
  if (m.pduType == SNMP_PDU_TRAP_V1) {
    s += " " + m.enterprise.ToString().str() + " " + m.agentAddress.ToString().str() + " " +
         std::to_string(m.genericTrap) + " " + std::to_string(m.specificTrap) + " " + std::to_string(m.timeStamp);
  }
  const char* const exceptions[] = {"noSuchObject", "noSuchInstance", "endOfMibView"};
  for (const BVarBind& vb : m.varBinds) {
    const unsigned char syntax = vb.value.Syntax();
    s += " " + vb.name.ToString().str().substr(12) + "=" +
         (vb.value.IsException() ? exceptions[syntax - ASN_NO_SUCH_OBJECT] : vb.value.ValToStr().str());
  }
  return s;
}

}  // namespace QVT::test
