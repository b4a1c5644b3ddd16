// TEvent, TTimer and TMutex: the host's basic synchronisation objects.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "QVExport.h"

namespace QVT {

// Wait time meaning "no limit".
inline constexpr unsigned kWaitForever = 0xFFFFFFFFu;

// A manual-reset event: once Set, every Wait returns at once until Reset.
class QV_API TEvent {
 public:
  TEvent() = default;
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // 0 when the event is (or becomes) set within `ms` milliseconds, 1 when
  // the wait ran out. kWaitForever waits without limit; 0 only polls.
  int Wait(unsigned ms);

 private:
  mutable std::mutex m_lock;  // guards m_set; innermost lock
  std::condition_variable m_changed;
  bool m_set = false;
};

class QV_API TTimer {
 public:
  void Sleep(unsigned ms);
};

// A mutex with timed waits. Constructed with true it is recursive: the
// owning thread may take it again and must release it as often; a plain
// one taken again by its owner waits (and times out) like any other thread.
// It is built on std::mutex and std::condition_variable rather than the
// standard timed mutexes, whose timed lock ThreadSanitizer cannot see.
class QV_API TMutex {
 public:
  explicit TMutex(bool recursive = true);
  ~TMutex();
  TMutex(const TMutex&) = delete;
  TMutex& operator=(const TMutex&) = delete;

  // 0 when the mutex was taken, 1 when `ms` milliseconds ran out first.
  int Wait(unsigned ms);
  void Done();

 private:
  bool m_recursive;
  std::mutex m_lock;  // guards m_owner and m_depth; innermost lock
  std::condition_variable m_released;
  std::thread::id m_owner;  // the thread holding the mutex, none when free
  unsigned m_depth = 0;     // how often the owner has taken it
};

// Scoped ownership of a TMutex taken without limit.
class TMutexLock {
 public:
  explicit TMutexLock(TMutex& mutex) : m_mutex(mutex) { m_mutex.Wait(kWaitForever); }
  ~TMutexLock() { m_mutex.Done(); }
  TMutexLock(const TMutexLock&) = delete;
  TMutexLock& operator=(const TMutexLock&) = delete;

 private:
  TMutex& m_mutex;
};

}  // namespace QVT
