// TThread: the base of every thread of the system. A derived class supplies
// Run(); Start launches it on a new thread, Stop sets the thread's stop
// event and waits for Run() to return. Run() bodies poll or wait on
// StopEvent() to notice the request.
#pragma once

#include <atomic>
#include <thread>

#include "QVExport.h"
#include "TEvent.h"

namespace QVT {

class QV_API TThread {
 public:
  // With `detached` true the thread runs detached and cannot be stopped or
  // joined; the library's threads are all joinable (false).
  explicit TThread(bool detached = false);
  // A thread still running is stopped and joined here as a last resort; a
  // derived class whose Run() uses its own members stops it in its own
  // destructor, before those members are gone.
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts Run() on a new thread. The arguments (stack size, flags) are
  // accepted for compatibility and ignored. 0 on success, -1 when the
  // thread is running already or cannot be created. A stopped thread can
  // be started again.
  virtual int Start(unsigned stackSize, unsigned flags);
  // Sets the stop event without waiting.
  virtual void Terminate();
  // Sets the stop event and waits up to `ms` (kWaitForever: no limit) for
  // Run() to return. 0 when the thread has ended, 1 when the wait ran out.
  // Called from Run() itself it only sets the stop event and returns 1.
  virtual int Stop(unsigned ms);
  // Waits up to `ms` for Run() to return; 0 when ended, 1 on time-out (at
  // once when called from Run() itself).
  virtual int Join(unsigned ms);
  // Called by Start before the new thread runs; resets the stop event.
  virtual void ResetMembers();
  virtual int Run() = 0;
  // Called on the thread after Run() returns (a Stop from here, as from
  // Run(), does not wait).
  virtual void OnThreadEnd() {}

  TEvent& StopEvent() { return m_stopEvent; }
  bool IsRunning() const { return m_running.load(); }
  int ExitCode() const { return m_exitCode.load(); }

 private:
  void Body();

  bool m_detached;
  TEvent m_stopEvent;
  TEvent m_finished;
  std::thread m_thread;
  std::atomic<bool> m_running{false};
  std::atomic<int> m_exitCode{0};
};

}  // namespace QVT
