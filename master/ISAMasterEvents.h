// ISAMasterEvents: what the master tells its application about the
// sub-agents it serves, so that a daemon can say who connected, which
// sub-agent it gave up on and why, and what it refused.
//
// The calls come from the master's worker thread, one at a time. An
// implementation must be quick (write a log line) and must not call into
// the master or the MIB handler.
#pragma once

#include <cstdint>

#include "BSAMasterCounters.h"
#include "BSASession.h"
#include "BString.h"
#include "QVExport.h"

namespace QVT {

class QV_API ISAMasterEvents {
 public:
  enum class ECloseReason {
    kClosedBySubAgent,  // its close request
    kNoAnswer,          // three requests in a row went unanswered
    kClosedByMaster,    // the application called BSAMaster::CloseSession(int)
    kIdle,              // nothing registered and nothing heard for IdleTimeout
  };

  virtual ~ISAMasterEvents() = default;
  virtual void OnSessionOpened(const BSASession& session) = 0;
  // `subtrees`: how many registrations went with the session.
  virtual void OnSessionClosed(const BSASession& session, ECloseReason reason, int subtrees) = 0;
  // A refusal or drop of kind `kind`, told at most once per kind every ten
  // seconds: `text` describes one of them (what, from whom, why), and
  // `others` counts the ones of that kind not told since the last report.
  virtual void OnRefusal(ESAMasterCounter kind, const BString& text, uint64_t others) {
    (void)kind;
    (void)text;
    (void)others;
  }
};

}  // namespace QVT
