// BSAMaster: the operator's view. Each call copies one row under one short
// lock (m_sessionsLock for sessions, m_viewLock for registrations and index
// values) and finds it with one ordered lookup, plus one per closing
// session skipped, so that a walk of 100,000 registrations costs the same
// per step as a walk of ten. Nothing here waits for a sub-agent.
#include <cstdint>

#include "BSAMaster.h"
#include "BSAMibSubtreeHandler.h"

namespace QVT {

int BSAMaster::IndexValueCount() {
  std::lock_guard<std::mutex> guard(m_viewLock);
  return static_cast<int>(m_indexRows.size());
}

bool BSAMaster::SessionFrom(int sessionId, BSASessionView& view) {
  std::lock_guard<std::mutex> guard(m_sessionsLock);
  for (auto it = m_sessions.lower_bound(sessionId); it != m_sessions.end(); ++it) {
    const BSASession& session = *it->second;
    if (session.IsClosing()) continue;
    // The description, address, timeout and opening time are set before
    // the record enters m_sessions and never change; the rest are atomics.
    view.id = session.m_id;
    view.description = session.m_description;
    view.address = session.m_address;
    view.announcedTimeout = session.m_announcedTimeout;
    view.openedAt = session.m_openedAt;
    view.requestsSent = session.m_requestsSent.load(std::memory_order_relaxed);
    view.timeouts = session.m_timeouts.load(std::memory_order_relaxed);
    view.timeoutsInARow = session.m_timeoutCount.load(std::memory_order_relaxed);
    view.notifications = session.m_notifications.load(std::memory_order_relaxed);
    return true;
  }
  return false;
}

bool BSAMaster::RegistrationFrom(int sessionId, uint32_t number, BSARegistrationView& view) {
  std::lock_guard<std::mutex> guard(m_viewLock);
  auto it = m_registrationRows.lower_bound({sessionId, number});
  while (it != m_registrationRows.end()) {
    const BSAMibSubtreeHandler& proxy = *it->second;
    // A listed proxy has a session, which lives at least until the proxy
    // leaves the list.
    if (proxy.Session()->IsClosing()) {
      it = m_registrationRows.upper_bound({it->first.first, UINT32_MAX});
      continue;
    }
    view.sessionId = it->first.first;
    view.number = it->first.second;
    view.subtree = proxy.Oid();
    view.rangeSubId = static_cast<uint32_t>(proxy.RangeSubId());
    view.upperBound = static_cast<uint32_t>(proxy.RangeUpperBound());
    view.sysORIndex = proxy.SysORIndex();
    return true;
  }
  return false;
}

bool BSAMaster::IndexValueFrom(int sessionId, uint32_t number, BSAIndexView& view) {
  std::lock_guard<std::mutex> guard(m_viewLock);
  auto it = m_indexRows.lower_bound({sessionId, number});
  while (it != m_indexRows.end()) {
    const IndexRow& row = it->second;
    if (row.session->IsClosing()) {
      it = m_indexRows.upper_bound({it->first.first, UINT32_MAX});
      continue;
    }
    view.sessionId = it->first.first;
    view.number = it->first.second;
    view.name = row.name;
    view.value = row.value;
    return true;
  }
  return false;
}

}  // namespace QVT
