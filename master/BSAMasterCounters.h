// BSAMasterCounters: what the master dropped, refused and gave up on, by
// kind, since it was constructed. Each kind is also a trace line when it
// happens and, for the refusals, a rate-limited report to the application
// (ISAMasterEvents::OnRefusal), so that an operator can tell a hostile or
// broken sub-agent from a quiet one without reading every datagram.
#pragma once

#include <atomic>
#include <cstdint>

#include "QVExport.h"

namespace QVT {

enum ESAMasterCounter : int {
  // Datagrams dropped before or while decoding.
  SA_CNT_NOT_ALLOWED,         // sender outside AllowFrom
  SA_CNT_SHORT_DATAGRAMS,     // too short to be a frame
  SA_CNT_MALFORMED,           // does not decode
  SA_CNT_WRONG_ADDRESS,       // names a session that another address opened (answered notOpen)
  SA_CNT_UNKNOWN_SESSION,     // names no open session (answered notOpen)
  SA_CNT_NOT_OPEN_UNANSWERED, // one of the two above beyond the rate of notOpen answers to one address
  SA_CNT_RETRANSMISSIONS,     // a request answered before, answered again from what was sent
  SA_CNT_DUPLICATES_DROPPED,  // a retransmitted close of a session still being taken apart
  // Refusals answered with a wire error.
  SA_CNT_SESSIONS_REFUSED,  // MaxSessions or MaxSessionsPerHost reached (openFailed)
  SA_CNT_REG_PROTECTED,     // over the master's own objects (requestDenied)
  SA_CNT_REG_OVERLAP,       // inside or around another host's subtree (requestDenied)
  SA_CNT_REG_NOT_ALLOWED,   // outside RegisterAllow (requestDenied)
  SA_CNT_REG_DUPLICATE,     // the exact subtree is registered already (duplicateRegistration)
  SA_CNT_REG_QUOTA,         // MaxRegistrations or MaxTotalRegistrations (requestDenied)
  SA_CNT_RANGE_TOO_LARGE,   // more instances than MaxRangeInstances (requestDenied)
  SA_CNT_INDEX_QUOTA,       // MaxIndexAllocations or MaxTotalIndexAllocations (indexNoneAvailable)
  SA_CNT_INDEX_NOT_OWNER,   // release of a value another host allocated (indexNotAllocated)
  SA_CNT_NOTIFY_RATE,       // notifications beyond MaxNotifyRate (requestDenied)
  // Sessions the master ended.
  SA_CNT_SESSIONS_NO_ANSWER,  // three requests in a row unanswered
  SA_CNT_SESSIONS_IDLE,       // neither registered nor sent anything for IdleTimeout
  // Requests to sub-agents.
  SA_CNT_EXCHANGE_TIMEOUTS,     // no answer within the session's wait
  SA_CNT_EXCHANGE_FAILED_FAST,  // refused at once: the session timed out just before
  SA_CNT_EXCHANGE_BUSY,         // refused at once: too many requests wait for the session, or in all
  SA_CNT_EXCHANGE_ABORTED,      // the session closed or the master stopped during the wait
  SA_CNT_EXCHANGE_OVER_BUDGET,  // cut short: its SNMP request had waited MaxWait in all
  SA_CNT_FOREIGN_ANSWERS,       // a datagram on a session's socket from another address
  SA_CNT_STALE_ANSWERS,         // an answer with another request id (late, or forged)
  SA_CNT_COUNT
};

// "notAllowed", "sessionsRefused", ...: the counter's name in trace lines
// and reports.
QV_API const char* QVSAMasterCounterName(ESAMasterCounter counter);
// One line saying what the counter counts.
QV_API const char* QVSAMasterCounterDescription(ESAMasterCounter counter);

class QV_API BSAMasterCounters {
 public:
  void Increment(ESAMasterCounter counter) { m_values[counter].fetch_add(1, std::memory_order_relaxed); }
  uint64_t Get(ESAMasterCounter counter) const { return m_values[counter].load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> m_values[SA_CNT_COUNT] = {};
};

}  // namespace QVT
