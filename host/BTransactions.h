// BTransactions: the process-wide registry of the SNMP requests in
// progress, by host transaction id, so that MIB code can learn who asks
// (BTransaction). Registered transactions are not owned: the caller keeps
// the object alive until EndTransaction. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#include "BSecurityParams.h"
#include "BSingleton.h"
#include "QVExport.h"

namespace QVT {

// A request in progress. The base kind knows no addresses (all 0).
class QV_API BTransaction {
 public:
  virtual ~BTransaction() = default;
  virtual const BSecurityParams* GetParams() const { return nullptr; }
  // IPv4 addresses in host byte order; 0 when unknown.
  virtual uint32_t GetLocalIpAddress() const { return 0; }
  virtual uint32_t GetRemoteIpAddress() const { return 0; }
  virtual unsigned short GetLocalUdpPort() const { return 0; }
  virtual unsigned short GetRemoteUdpPort() const { return 0; }
};

class QV_API BTransactions : public BSingleton {
 public:
  static std::atomic<BTransactions*> s_pInstance;
  // The instance, created on first use.
  static BTransactions* Instance();
  void Destroy() override;

  BTransactions() = default;
  ~BTransactions() override = default;

  // 0 on success; -1 when the id is in use or the transaction is null.
  int StartTransaction(unsigned int id, BTransaction* transaction);
  // 0 when the id was registered and is now gone, -1 otherwise.
  int EndTransaction(unsigned int id);
  // The transaction registered under `id`, or null.
  BTransaction* Find(unsigned int id) const;
  int Count() const;
  // A fresh id for a new request (1, 2, ...; never 0).
  unsigned int NewTransactionId();

 private:
  mutable std::mutex m_lock;  // guards m_active; taken alone
  std::map<unsigned int, BTransaction*> m_active;
  std::atomic<unsigned int> m_lastId{0};
};

}  // namespace QVT
