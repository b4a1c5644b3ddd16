#include "TThread.h"

#include <system_error>

namespace QVT {

namespace {

// The TThread whose Run() the calling thread is in (null on others).
thread_local const TThread* tRunning = nullptr;

}  // namespace

TThread::TThread(bool detached) : m_detached(detached) {}

TThread::~TThread() {
  if (m_thread.joinable()) {
    m_stopEvent.Set();
    m_thread.join();
  }
}

int TThread::Start(unsigned /*stackSize*/, unsigned /*flags*/) {
  if (m_running.load()) return -1;
  if (m_thread.joinable()) m_thread.join();  // an earlier run that has ended
  ResetMembers();
  m_finished.Reset();
  m_running.store(true);
  try {
    m_thread = std::thread(&TThread::Body, this);
  } catch (const std::system_error&) {
    m_running.store(false);
    m_finished.Set();
    return -1;
  }
  if (m_detached) m_thread.detach();
  return 0;
}

void TThread::Terminate() {
  m_stopEvent.Set();
}

int TThread::Stop(unsigned ms) {
  m_stopEvent.Set();
  return Join(ms);
}

int TThread::Join(unsigned ms) {
  // Called from Run itself (a thread stopping itself), the wait could only
  // end in a deadlock: the request stands, and Run ends when it returns.
  if (tRunning == this) return 1;
  if (m_detached) return m_running.load() ? 1 : 0;
  if (!m_thread.joinable()) return 0;
  if (m_finished.Wait(ms) != 0) return 1;
  m_thread.join();
  return 0;
}

void TThread::ResetMembers() {
  m_stopEvent.Reset();
}

void TThread::Body() {
  tRunning = this;
  m_exitCode.store(Run());
  OnThreadEnd();
  tRunning = nullptr;
  // Finished first: once IsRunning() says false the owner of a detached
  // thread may destroy the object, so the thread touches it no more.
  m_finished.Set();
  m_running.store(false);
}

}  // namespace QVT
