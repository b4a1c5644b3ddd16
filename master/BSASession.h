// BSASession: the master's record of one open session with a sub-agent:
// who it is (description), where its requests go (the address its open
// request came from), how long the master waits for each of its answers,
// and how many requests in a row it left unanswered.
#pragma once

#include <atomic>

#include "BAddress.h"
#include "BString.h"
#include "QVExport.h"

namespace QVT {

class QV_API BSASession {
 public:
  BSASession() = default;
  BSASession(const BSASession&) = delete;
  BSASession& operator=(const BSASession&) = delete;

  // Shared by every master of the process: the first session gets id 2.
  static std::atomic<int> s_session_counter;

  int m_id = 0;
  BString m_description;
  BAddress m_address;
  int m_timeout = 2;  // seconds
  // Receives in a row that timed out. Written by the SNMP request threads
  // under the master's exchange lock, read by the session monitor; atomic
  // so that the monitor's lock-free pre-check is well defined.
  std::atomic<int> m_timeoutCount{0};
};

}  // namespace QVT
