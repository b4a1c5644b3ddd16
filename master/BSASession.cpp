#include "BSASession.h"

namespace QVT {

BSASession::BSASession() : m_lastHeard(Clock::now().time_since_epoch().count()), m_notifyRefill(Clock::now()) {}

BSASession::~BSASession() = default;

int BSASession::AcquireExchange(int maxWaiting, Clock::time_point deadline, const std::atomic<bool>& stopping) {
  std::unique_lock<std::mutex> guard(m_slotLock);
  const auto over = [&] { return IsClosing() || stopping.load(std::memory_order_acquire); };
  if (over()) return SA_ERR_SESSION_CLOSED;
  if (!m_slotTaken) {
    m_slotTaken = true;
    return 0;
  }
  if (m_slotWaiters >= maxWaiting) return SA_ERR_SESSION_BUSY;
  ++m_slotWaiters;
  const bool free = m_slotFree.wait_until(guard, deadline, [&] { return !m_slotTaken || over(); });
  --m_slotWaiters;
  if (over()) return SA_ERR_SESSION_CLOSED;
  if (!free) return SA_ERR_SESSION_BUSY;
  m_slotTaken = true;
  return 0;
}

void BSASession::ReleaseExchange() {
  {
    std::lock_guard<std::mutex> guard(m_slotLock);
    m_slotTaken = false;
  }
  m_slotFree.notify_one();
}

void BSASession::AbortExchanges() {
  {
    std::lock_guard<std::mutex> socket(m_socketLock);
    // A receive blocked on the socket returns at once, and so would every
    // later one: the next exchange makes a fresh socket.
    if (m_socketUsable) m_socket.ShutDown(0);
    m_socketUsable = false;
  }
  { std::lock_guard<std::mutex> guard(m_slotLock); }
  m_slotFree.notify_all();
}

int BSASession::PrepareSocket() {
  std::lock_guard<std::mutex> socket(m_socketLock);
  if (m_socketUsable) return 0;
  BAddress local = m_localAddress;
  local.SetPort(0);
  if (local.IsEmpty()) {
    // Only a session opened by a direct call (tests) has no address of its
    // own; it talks on loopback.
    static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (m_address.Family() == BAddress::kFamilyINet6) {
      local.SetIPv6(kLoopback6);
    } else {
      local.SetIPv4(0x7F000001);
    }
  }
  m_socket.ShutDown(2);
  const int status = m_socket.Initialize(local);
  m_socketUsable = status == 0;
  return status;
}

}  // namespace QVT
