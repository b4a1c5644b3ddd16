// BSnmpTransaction: the host transaction of one SNMP request, registered in
// BTransactions under the request's transaction id for as long as the
// agent processes it, so that MIB code (and the sub-agent proxies) can learn
// who asks: the security parameters, the manager's address and the agent
// address the request arrived on.
#pragma once

#include "BAddress.h"
#include "BSecurityParams.h"
#include "BTransactions.h"
#include "QVExport.h"

namespace QVT {

class QV_API BSnmpTransaction : public BTransaction {
 public:
  BSnmpTransaction(const BSecurityParams& params, const BAddress& remote, const BAddress& local)
      : m_params(params), m_remote(remote), m_local(local) {}

  const BSecurityParams* GetParams() const override { return &m_params; }
  uint32_t GetLocalIpAddress() const override { return m_local.IPv4(); }
  uint32_t GetRemoteIpAddress() const override { return m_remote.IPv4(); }
  unsigned short GetLocalUdpPort() const override { return m_local.Port(); }
  unsigned short GetRemoteUdpPort() const override { return m_remote.Port(); }
  // The full addresses (IPv6 too).
  const BAddress& RemoteAddress() const { return m_remote; }
  const BAddress& LocalAddress() const { return m_local; }

 private:
  const BSecurityParams& m_params;
  const BAddress& m_remote;
  const BAddress& m_local;
};

}  // namespace QVT
