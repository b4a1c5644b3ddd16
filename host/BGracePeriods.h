// BGracePeriods: lets something be taken out of a shared structure while
// readers still run, and frees it once every reader that may have seen it
// has finished.
//
// A reader holds a ticket from Enter to Leave. Retire hands over the
// freeing of what was just taken out (a closure); it may run once every
// reader that entered before the Retire has left, in the order things were
// retired: at once in Retire when no such reader is left, else in Collect,
// the next Retire, or a reader's Leave (which runs kRunOnLeave at most, so
// that a reader, a query waiting to answer its manager, never pays for the
// freeing of a whole withdrawn subtree). Readers that enter after a Retire
// cannot reach what it retired, so they never hold it up. The cost for a
// reader is two short locked steps; a removal never waits for a reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <utility>

#include "QVExport.h"

namespace QVT {

class QV_API BGracePeriods {
 public:
  BGracePeriods() = default;
  // Runs whatever is still retired: nobody may read any more.
  ~BGracePeriods();
  BGracePeriods(const BGracePeriods&) = delete;
  BGracePeriods& operator=(const BGracePeriods&) = delete;

  static constexpr size_t kRunOnLeave = 8;

  uint64_t Enter();
  void Leave(uint64_t ticket);
  void Retire(std::function<void()> reclaim);
  // Runs at most `most` of the retired closures whose readers have all
  // left, oldest first, on the calling thread; how many ran. For the owner
  // of what is retired, when it has time.
  size_t Collect(size_t most = SIZE_MAX);
  // Retired closures not run yet.
  size_t Pending() const;

 private:
  // Takes at most `most` of the closures whose readers have all left; the
  // caller runs them without the lock.
  std::deque<std::function<void()>> TakeDue(size_t most);

  mutable std::mutex m_lock;  // guards the fields below; innermost
  uint64_t m_epoch = 1;
  std::map<uint64_t, int> m_readers;                                 // epoch entered -> readers still inside
  std::deque<std::pair<uint64_t, std::function<void()>>> m_retired;  // epoch of the Retire -> closure
};

// A reader's ticket, for a scope.
class BGracePeriod {
 public:
  explicit BGracePeriod(BGracePeriods& periods) : m_periods(periods), m_ticket(periods.Enter()) {}
  ~BGracePeriod() { m_periods.Leave(m_ticket); }
  BGracePeriod(const BGracePeriod&) = delete;
  BGracePeriod& operator=(const BGracePeriod&) = delete;

 private:
  BGracePeriods& m_periods;
  uint64_t m_ticket;
};

}  // namespace QVT
