#include "SnmpTestClient.h"

#include <chrono>

namespace QVT::test {

SnmpTestClient::SnmpTestClient(const BAddress& agent) : m_agent(agent), m_nextId(1000), m_buffer(65536) {
  BAddress any(agent.Family());
  if (agent.Family() == BAddress::kFamilyINet) any.SetIPv4(0x7F000001);
  if (agent.Family() == BAddress::kFamilyINet6) {
    const unsigned char loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    any.SetIPv6(loopback);
  }
  m_socket.SetMyAddress(any);
  m_socket.Create();
  m_socket.Bind();
  m_socket.GetLocalAddress(m_local);
}

BSnmpMessage SnmpTestClient::Make(int version, const char* community, unsigned char type,
                                  std::initializer_list<const char*> oids) {
  BSnmpMessage m;
  m.version = version;
  m.community.Assign(community);
  m.pduType = type;
  for (const char* oid : oids) m.varBinds.Append(BObjectIdentifier(oid));
  return m;
}

bool SnmpTestClient::SendRaw(const std::vector<unsigned char>& octets) {
  int length = static_cast<int>(octets.size());
  return m_socket.SendTo(reinterpret_cast<const char*>(octets.data()), length, m_agent) == 0;
}

bool SnmpTestClient::Send(BSnmpMessage& request) {
  request.requestId = ++m_nextId;
  size_t length = 0;
  if (request.Encode(m_buffer.data(), m_buffer.size(), length) != SNMP_CODEC_OK) return false;
  return SendRaw(std::vector<unsigned char>(m_buffer.begin(), m_buffer.begin() + static_cast<long>(length)));
}

bool SnmpTestClient::ReceiveFor(int32_t requestId, BSnmpMessage& response, unsigned ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    int length = static_cast<int>(m_buffer.size());
    BAddress from;
    if (m_socket.RecvFrom(reinterpret_cast<char*>(m_buffer.data()), length, from, static_cast<int>(left / 1000000),
                          static_cast<int>(left % 1000000)) != 0) {
      return false;
    }
    if (response.Decode(m_buffer.data(), static_cast<size_t>(length)) == SNMP_CODEC_OK &&
        response.requestId == requestId) {
      return true;
    }
  }
}

bool SnmpTestClient::Exchange(BSnmpMessage& request, BSnmpMessage& response, unsigned ms) {
  return Send(request) && ReceiveFor(request.requestId, response, ms);
}

bool SnmpTestClient::Silent(unsigned ms) {
  int length = static_cast<int>(m_buffer.size());
  BAddress from;
  return m_socket.RecvFrom(reinterpret_cast<char*>(m_buffer.data()), length, from, 0, static_cast<int>(ms) * 1000) == 1;
}

}  // namespace QVT::test
