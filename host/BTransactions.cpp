#include "BTransactions.h"

namespace QVT {

std::atomic<BTransactions*> BTransactions::s_pInstance{nullptr};

BTransactions* BTransactions::Instance() {
  return QVSingletonInstance(s_pInstance, [] { return new BTransactions(); });
}

void BTransactions::Destroy() {
  QVSingletonForget(s_pInstance, this);
  delete this;
}

int BTransactions::StartTransaction(unsigned int id, BTransaction* transaction) {
  if (transaction == nullptr) return -1;
  std::lock_guard<std::mutex> guard(m_lock);
  return m_active.emplace(id, transaction).second ? 0 : -1;
}

int BTransactions::EndTransaction(unsigned int id) {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_active.erase(id) == 1 ? 0 : -1;
}

BTransaction* BTransactions::Find(unsigned int id) const {
  std::lock_guard<std::mutex> guard(m_lock);
  const auto it = m_active.find(id);
  return it == m_active.end() ? nullptr : it->second;
}

int BTransactions::Count() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return static_cast<int>(m_active.size());
}

unsigned int BTransactions::NewTransactionId() {
  for (;;) {
    const unsigned int id = m_lastId.fetch_add(1) + 1;
    if (id != 0) return id;
  }
}

}  // namespace QVT
