// BSAMaster: the outbound exchange, one request of the master and the
// sub-agent's answer, on the session's own socket.
//
// A sub-agent that does not answer costs the requests for its objects, and
// only those: the wait for one answer ends by the session's time-out (at
// most MaxWait), a session that has just timed out is not asked again for
// a moment (requests fail at once instead of piling up behind it), and at
// most MaxQueuedRequests SNMP requests wait for a session at a time. Only
// a datagram from the session's own address with the request id sent is
// taken as the answer.
#include <algorithm>

#include "BSAExchange.h"
#include "BSAMaster.h"
#include "QVSubAgTrace.h"

namespace QVT {

namespace {

// After a time-out the session is not asked for this long: its requests
// fail at once. The next one then tries again.
constexpr auto kFailFast = std::chrono::seconds(1);

}  // namespace

int BSAMaster::SendAndRecvPdu(BSASession& session, BSAPdu& request, BSAPdu& response) {
  if (QVSubAgTraceActive()) {
    QVSubAgTrace("SendAndRecvPdu(%d)  sessId=%d, rqId=%d, addr=%s", session.m_socket.Descriptor(), request.sessionId,
                 request.requestId, QVAddressToString(session.m_address).c_str());
  }
  const auto failing = [&] {
    return session.m_failingUntil.load(std::memory_order_relaxed) > Clock::now().time_since_epoch().count();
  };
  if (m_stopping.load(std::memory_order_acquire) || session.IsClosing()) {
    m_counters.Increment(SA_CNT_EXCHANGE_ABORTED);
    return SA_ERR_SESSION_CLOSED;
  }
  if (failing()) {
    m_counters.Increment(SA_CNT_EXCHANGE_FAILED_FAST);
    return SA_ERR_SESSION_FAILING;
  }
  const auto wait = std::chrono::seconds(session.m_timeout);
  // Behind a request that is itself waiting at most `wait`: twice that is
  // always enough to find out whether the sub-agent answered it.
  int status = session.AcquireExchange(m_settings.maxQueuedRequests, Clock::now() + 2 * wait, m_stopping);
  if (status != 0) {
    m_counters.Increment(status == SA_ERR_SESSION_BUSY ? SA_CNT_EXCHANGE_BUSY : SA_CNT_EXCHANGE_ABORTED);
    return status;
  }
  // Waiting behind a request that timed out: do not ask again now either.
  if (failing()) {
    session.ReleaseExchange();
    m_counters.Increment(SA_CNT_EXCHANGE_FAILED_FAST);
    return SA_ERR_SESSION_FAILING;
  }
  status = Exchange(session, request, response, Clock::now() + wait);
  session.ReleaseExchange();
  return status;
}

int BSAMaster::Exchange(BSASession& session, BSAPdu& request, BSAPdu& response, Clock::time_point deadline) {
  // What the exchange tells of the datagrams it drops, and when it is to
  // give up (the session closing or the master stopping).
  struct Observer : IExchangeObserver {
    Observer(BSAMaster& m, BSASession& s) : master(m), session(s) {}
    void OnForeign(const BAddress& /*from*/) override { master.m_counters.Increment(SA_CNT_FOREIGN_ANSWERS); }
    void OnHeard() override {
      session.m_timeoutCount.store(0, std::memory_order_relaxed);
      session.m_failingUntil.store(0, std::memory_order_relaxed);
    }
    void OnUndecodable() override { master.m_counters.Increment(SA_CNT_MALFORMED); }
    void OnStale() override { master.m_counters.Increment(SA_CNT_STALE_ANSWERS); }
    bool Abandoned() override { return master.m_stopping.load(std::memory_order_acquire) || session.IsClosing(); }
    BSAMaster& master;
    BSASession& session;
  } observer(*this, session);

  int status = session.PrepareSocket();
  if (status != 0) return status;
  thread_local BSABuffer buffer;
  session.m_requestsSent.fetch_add(1, std::memory_order_relaxed);
  status = BSAExchange(session.m_socket, buffer, session.m_address, &observer).Run(request, response, deadline);
  if (status == SA_ERR_SESSION_CLOSED) {
    m_counters.Increment(SA_CNT_EXCHANGE_ABORTED);
  } else if (status == SA_ERR_TIMEOUT) {
    // Nothing at all came from the sub-agent in time.
    session.m_timeoutCount.fetch_add(1, std::memory_order_relaxed);
    session.m_timeouts.fetch_add(1, std::memory_order_relaxed);
    session.m_failingUntil.store((Clock::now() + kFailFast).time_since_epoch().count(), std::memory_order_relaxed);
    m_counters.Increment(SA_CNT_EXCHANGE_TIMEOUTS);
    QVSubAgTrace("SendAndRecvPdu sessId=%d rqId=%d: no answer within %d s", session.m_id, request.requestId,
                 session.m_timeout);
  }
  return status;
}

}  // namespace QVT
