// ISAMasterEvents: what the master tells its application about the
// sub-agents it serves, so that a daemon can say who connected and, above
// all, which sub-agent it gave up on and why.
//
// The calls come from the master's own threads: the worker (sessions opened
// and closed by their sub-agents) and the session monitor (sessions closed
// because their sub-agent stopped answering). A close is reported while the
// MIB handler's write lock is held, so an implementation must be quick
// (write a log line) and must not call into the master or the MIB handler.
#pragma once

#include "BSASession.h"
#include "QVExport.h"

namespace QVT {

class QV_API ISAMasterEvents {
 public:
  enum class ECloseReason {
    kClosedBySubAgent,  // its close request
    kNoAnswer,          // three requests in a row went unanswered
    kClosedByMaster,    // the application called BSAMaster::CloseSession(int)
  };

  virtual ~ISAMasterEvents() = default;
  virtual void OnSessionOpened(const BSASession& session) = 0;
  // `subtrees`: how many registrations went with the session.
  virtual void OnSessionClosed(const BSASession& session, ECloseReason reason, int subtrees) = 0;
};

}  // namespace QVT
