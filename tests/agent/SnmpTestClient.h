// A small SNMP manager for the agent tests, built on the agent's own codec:
// it sends one message from a loopback socket and waits a bounded time for
// the answer with the same request id.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "BAddress.h"
#include "BSnmpMessage.h"
#include "BSocket.h"

namespace QVT::test {

class SnmpTestClient {
 public:
  explicit SnmpTestClient(const BAddress& agent);

  // A request of `type` for `oids` (NULL values).
  static BSnmpMessage Make(int version, const char* community, unsigned char type,
                           std::initializer_list<const char*> oids);

  // Sends `request` (with a fresh request id) and decodes the answer into
  // `response`. False when no answer with that id arrives within `ms`.
  bool Exchange(BSnmpMessage& request, BSnmpMessage& response, unsigned ms = 3000);
  // Sends raw octets.
  bool SendRaw(const std::vector<unsigned char>& octets);
  // Sends a request without waiting; ReceiveFor picks up its answer later.
  bool Send(BSnmpMessage& request);
  // Waits up to `ms` for an answer with `requestId`.
  bool ReceiveFor(int32_t requestId, BSnmpMessage& response, unsigned ms = 3000);
  // True when nothing at all arrives within `ms`.
  bool Silent(unsigned ms);
  const BAddress& LocalAddress() const { return m_local; }

 private:
  BSockDatagram m_socket;
  BAddress m_agent;
  BAddress m_local;
  int32_t m_nextId;
  std::vector<unsigned char> m_buffer;
};

}  // namespace QVT::test
