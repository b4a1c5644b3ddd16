// Read access to the reader/writer lock's counters, for tests that order
// threads by what the lock has seen (a writer waiting, a reader blocked)
// instead of by sleeping.
#pragma once

#include <mutex>

#include "TSWMRSynch.h"

namespace QVT {

class TSWMRSynchPeer {
 public:
  static int WaitingWriters(TSWMRSynch& lock) {
    std::lock_guard<std::mutex> guard(lock.m_lock);
    return lock.m_waitingWriters;
  }
  static int WaitingReaders(TSWMRSynch& lock) {
    std::lock_guard<std::mutex> guard(lock.m_lock);
    return lock.m_waitingReaders;
  }
  static int Readers(TSWMRSynch& lock) {
    std::lock_guard<std::mutex> guard(lock.m_lock);
    return lock.m_readers;
  }
};

}  // namespace QVT
