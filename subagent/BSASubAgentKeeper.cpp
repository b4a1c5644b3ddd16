// BSASubAgent's keep-session mode: how a lost session is noticed (from the
// pings), and the keeper thread that opens a new one with back-off and
// announces everything again.
#include <algorithm>
#include <chrono>
#include <random>
#include <utility>
#include <vector>

#include "BSASubAgent.h"
#include "QVSubAgTrace.h"

namespace QVT {

namespace {

// How often the keeper looks whether the session needs it.
constexpr unsigned kKeeperStepMs = 200;
// Pings without an answer, in a row, after which the master counts as gone.
constexpr int kPingTimeoutsBeforeLost = 2;
constexpr unsigned kFirstDelayMs = 1000;

}  // namespace

void BSASubAgent::KeepSession(const BString& description, ISASessionEvents* events, unsigned maxDelaySeconds) {
  m_keep = true;
  m_keepDescription = description;
  m_pEvents = events;
  m_maxDelaySeconds = std::max(1u, maxDelaySeconds);
}

void BSASubAgent::WatchPing(unsigned int session, int status, int upTime) {
  // A ping sent with a session the keeper has replaced since says nothing
  // about the new one.
  if (!m_keep || session == 0 || session != m_sessionId.load()) return;
  if (status == SA_WIRE_NOT_OPEN) {
    SessionLost("the master does not know our session");
  } else if (status < 0) {
    if (m_pingTimeoutsInARow.fetch_add(1) + 1 >= kPingTimeoutsBeforeLost) {
      SessionLost("the master does not answer pings");
    }
  } else if (status == 0) {
    m_pingTimeoutsInARow.store(0);
    // Up-time in hundredths of a second, wrapping after 497 days: it went
    // back when the step backwards is shorter than half the circle.
    const unsigned int now = static_cast<unsigned int>(upTime);
    const unsigned int last = m_lastUpTime.exchange(now);
    if (last != 0 && now != last && last - now < 0x80000000u) SessionLost("the master restarted (its up-time went back)");
  }
}

void BSASubAgent::SessionLost(const char* reason) {
  const char* none = nullptr;
  m_lostReason.compare_exchange_strong(none, reason);
}

BSASubAgent::KeeperThread::~KeeperThread() {
  Stop(kWaitForever);
}

int BSASubAgent::KeeperThread::Run() {
  for (;;) {
    BSASubAgent& subAgent = *m_pSubAgent;
    if (subAgent.m_lostReason.load() != nullptr || !subAgent.IsSessionOpen()) subAgent.Restore(*this);
    if (StopEvent().Wait(kKeeperStepMs) == 0) return 0;
  }
}

void BSASubAgent::Restore(KeeperThread& keeper) {
  {
    // Everything is announced in the session to come, even should the
    // master hand out the same session id again.
    std::lock_guard<std::mutex> guard(m_keepLock);
    m_restoring = true;
    for (auto& entry : m_announced) entry.second.session = 0;
  }
  const char* reason = m_lostReason.exchange(nullptr);
  if (const unsigned int lost = m_sessionId.load(); lost != 0) {
    QVSubAgTrace("keeper: session %u lost: %s", lost, reason != nullptr ? reason : "unknown");
    if (m_pEvents != nullptr) m_pEvents->OnSessionLost(reason != nullptr ? reason : "the session was lost");
    // The master may still hold it (the pings may be what got lost):
    // closing it lets its registrations go before we announce them again.
    (void)CloseSession(lost);
    ForgetSession();
  }
  std::minstd_rand random(static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  unsigned delayMs = kFirstDelayMs;
  for (int attempt = 1;; ++attempt) {
    if (keeper.StopEvent().Wait(0) == 0) return;
    int status = OpenSession(m_keepDescription);
    if (status == 0) {
      m_pingTimeoutsInARow.store(0);
      m_lastUpTime.store(0);
      QVSubAgTrace("keeper: session %u open (attempt %d); announcing again", m_sessionId.load(), attempt);
      if (AnnounceAgain(m_sessionId.load())) {
        // A loss noticed while announcing concerned the session before.
        m_lostReason.store(nullptr);
        if (m_pEvents != nullptr) m_pEvents->OnSessionBack(m_sessionId.load());
        return;
      }
      status = SA_ERR_TIMEOUT;
      const unsigned int unusable = m_sessionId.load();
      const char* why = "the master stopped answering while we announced our registrations";
      QVSubAgTrace("keeper: session %u lost: %s", unusable, why);
      if (m_pEvents != nullptr) m_pEvents->OnSessionLost(why);
      (void)CloseSession(unusable);
      ForgetSession();
    }
    // Equal jitter: half the delay for sure, the other half at random, so
    // that sub-agents that lost the same master do not return in step.
    const unsigned waitMs = delayMs / 2 + static_cast<unsigned>(random() % (delayMs / 2 + 1));
    QVSubAgTrace("keeper: attempt %d to open a session failed:%s; next in %u ms", attempt, QVSAStatus2Str(status),
                 waitMs);
    if (keeper.StopEvent().Wait(waitMs) == 0) return;
    delayMs = std::min(delayMs * 2, m_maxDelaySeconds * 1000);
  }
}

bool BSASubAgent::AnnounceAgain(unsigned int session) {
  std::vector<BVarBindList> indices;
  {
    std::lock_guard<std::mutex> guard(m_keepLock);
    indices = m_heldIndices;
  }
  // Rounds until every registration is announced in this session: the
  // application may add some while a round runs (they wait for us).
  std::vector<std::pair<BObjectIdentifier, Announced>> pending;
  for (;;) {
    pending.clear();
    {
      std::lock_guard<std::mutex> guard(m_keepLock);
      for (const auto& entry : m_announced) {
        if (entry.second.session != session) pending.push_back(entry);
      }
      if (pending.empty()) {
        m_restoring = false;
        break;
      }
    }
    for (const auto& [subtree, what] : pending) {
      const int status = SendRegistration(subtree, what, SA_PDU_REGISTER);
      if (status < 0) return false;
      {
        std::lock_guard<std::mutex> guard(m_keepLock);
        auto found = m_announced.find(subtree);
        if (found != m_announced.end()) found->second.session = session;
      }
      if (status == 0) continue;
      if (QVSubAgTraceActive()) {
        QVSubAgTrace("keeper: registration of %s refused:%s", subtree.ToString().c_str(), QVSAStatus2Str(status));
      }
      if (m_pEvents != nullptr) m_pEvents->OnRegistrationRefused(session, subtree, status);
    }
  }
  for (BVarBindList& list : indices) {
    const BObjectIdentifier name = list.Count() > 0 ? list[0].name : BObjectIdentifier();
    const int status = SendIndexAlloc(SA_IXALLOC_VALUE, list);
    if (status < 0) return false;
    if (status != 0) {
      if (QVSubAgTraceActive()) {
        QVSubAgTrace("keeper: index value of %s refused:%s", name.ToString().c_str(), QVSAStatus2Str(status));
      }
      if (m_pEvents != nullptr) m_pEvents->OnRegistrationRefused(session, name, status);
    }
  }
  return true;
}

}  // namespace QVT
