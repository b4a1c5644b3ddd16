// BSAMaster: the outbound exchange, one request of the master and the
// sub-agent's answer, on the session's own socket.
//
// A sub-agent that does not answer costs the requests for its objects, and
// only those: the wait for one answer ends by the session's time-out (at
// most MaxWait), a session that has just timed out is not asked again for
// a moment (requests fail at once instead of piling up behind it), at most
// MaxQueuedRequests SNMP requests wait for a session at a time and at most
// MaxWaitingRequests for all sessions together, and one SNMP read request
// (a walk step or a GET-BULK of many rows that reaches several sub-agents)
// waits MaxWait in all. Only a datagram from the session's own address
// with the request id sent is taken as the answer.
#include <algorithm>

#include "BSAExchange.h"
#include "BSAMaster.h"
#include "QVSubAgTrace.h"

namespace QVT {

namespace {

// After a time-out the session is not asked for this long: its requests
// fail at once. The next one then tries again.
constexpr auto kFailFast = std::chrono::seconds(1);

// When the SNMP read request this thread is serving must have its answers
// from sub-agents, by the request's transaction id: the first exchange of
// a request sets it.
struct ReadDeadline {
  unsigned int transactionId = 0;
  std::chrono::steady_clock::time_point at;
};
thread_local ReadDeadline t_readDeadline;

bool IsRead(uint8_t type) {
  return type == SA_PDU_GET || type == SA_PDU_GET_NEXT || type == SA_PDU_GET_BULK;
}

// Counts one SNMP request waiting for sub-agents while it lives.
class WaitingRequest {
 public:
  explicit WaitingRequest(std::atomic<int>& waiting) : m_waiting(waiting) { m_waiting.fetch_add(1); }
  ~WaitingRequest() { m_waiting.fetch_sub(1); }
  WaitingRequest(const WaitingRequest&) = delete;
  WaitingRequest& operator=(const WaitingRequest&) = delete;

 private:
  std::atomic<int>& m_waiting;
};

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
  const auto now = Clock::now();
  const auto wait = std::chrono::seconds(session.m_timeout);
  // A read request's exchanges share MaxWait; a SET phase (which must be
  // seen through once begun) and a call outside a request have their own.
  auto requestDeadline = Clock::time_point::max();
  // Whether an earlier exchange of the request used part of its time (a
  // time-out then may be the request's, not this sub-agent's).
  bool latecomer = false;
  if (IsRead(request.type) && request.transactionId != 0) {
    latecomer = t_readDeadline.transactionId == request.transactionId;
    if (!latecomer) t_readDeadline = {request.transactionId, now + std::chrono::seconds(m_settings.maxWait)};
    requestDeadline = t_readDeadline.at;
    if (requestDeadline <= now) {
      m_counters.Increment(SA_CNT_EXCHANGE_OVER_BUDGET);
      return SA_ERR_TIMEOUT;
    }
  }
  WaitingRequest waiting(m_waitingRequests);
  if (m_waitingRequests.load() > m_settings.maxWaitingRequests) {
    m_counters.Increment(SA_CNT_EXCHANGE_BUSY);
    return SA_ERR_SESSION_BUSY;
  }
  // Behind a request that is itself waiting at most `wait`: twice that is
  // always enough to find out whether the sub-agent answered it.
  int status =
      session.AcquireExchange(m_settings.maxQueuedRequests, std::min(now + 2 * wait, requestDeadline), m_stopping);
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
  const auto sessionDeadline = Clock::now() + wait;
  status = Exchange(session, request, response, std::min(sessionDeadline, requestDeadline),
                    latecomer && requestDeadline < sessionDeadline);
  session.ReleaseExchange();
  return status;
}

int BSAMaster::Exchange(BSASession& session, BSAPdu& request, BSAPdu& response, Clock::time_point deadline,
                        bool shortened) {
  // What the exchange tells of the datagrams it drops, and when it is to
  // give up (the session closing or the master stopping).
  struct Observer : IExchangeObserver {
    Observer(BSAMaster& m, BSASession& s) : master(m), session(s) {}
    void OnForeign(const BAddress& /*from*/) override { master.m_counters.Increment(SA_CNT_FOREIGN_ANSWERS); }
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
  if (status == 0) {
    // Only the answer itself shows the sub-agent serves requests (anything
    // else from its address could be a leftover, or sent by someone else).
    session.m_timeoutCount.store(0, std::memory_order_relaxed);
    session.m_failingUntil.store(0, std::memory_order_relaxed);
  } else if (status == SA_ERR_SESSION_CLOSED) {
    m_counters.Increment(SA_CNT_EXCHANGE_ABORTED);
  } else if (status == SA_ERR_TIMEOUT && shortened) {
    // The SNMP request ran out of time, not the sub-agent.
    m_counters.Increment(SA_CNT_EXCHANGE_OVER_BUDGET);
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
