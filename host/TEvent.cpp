#include "TEvent.h"

#include <cassert>
#include <chrono>
#include <thread>

namespace QVT {

void TEvent::Set() {
  // Notified under the lock: a waiter that sees the event set may destroy
  // it at once, so this thread must be done with it before the lock goes.
  std::lock_guard<std::mutex> guard(m_lock);
  m_set = true;
  m_changed.notify_all();
}

void TEvent::Reset() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_set = false;
}

bool TEvent::IsSet() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_set;
}

int TEvent::Wait(unsigned ms) {
  std::unique_lock<std::mutex> guard(m_lock);
  // A poll: the condition variable would still go to sleep for a moment
  // (a system call and a context switch) before noticing the time is up.
  if (ms == 0) return m_set ? 0 : 1;
  if (ms == kWaitForever) {
    m_changed.wait(guard, [this] { return m_set; });
    return 0;
  }
  return m_changed.wait_for(guard, std::chrono::milliseconds(ms), [this] { return m_set; }) ? 0 : 1;
}

void TTimer::Sleep(unsigned ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

TMutex::TMutex(bool recursive) : m_recursive(recursive) {}

TMutex::~TMutex() = default;

int TMutex::Wait(unsigned ms) {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> guard(m_lock);
  if (m_recursive && m_depth > 0 && m_owner == self) {
    ++m_depth;
    return 0;
  }
  const auto isFree = [this] { return m_depth == 0; };
  if (ms == kWaitForever) {
    m_released.wait(guard, isFree);
  } else if (!m_released.wait_for(guard, std::chrono::milliseconds(ms), isFree)) {
    return 1;
  }
  m_owner = self;
  m_depth = 1;
  return 0;
}

void TMutex::Done() {
  std::unique_lock<std::mutex> guard(m_lock);
  const bool owner = m_depth > 0 && m_owner == std::this_thread::get_id();
  assert(owner && "TMutex::Done by a thread that does not hold it");
  if (!owner || --m_depth > 0) return;
  m_owner = std::thread::id();
  m_released.notify_one();  // under the lock, as in TEvent::Set
}

}  // namespace QVT
