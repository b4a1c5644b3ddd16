#include "TEvent.h"

#include <chrono>
#include <thread>

namespace QVT {

void TEvent::Set() {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_set = true;
  }
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
  if (ms == kWaitForever) {
    if (m_recursive) {
      m_recursiveMutex.lock();
    } else {
      m_plainMutex.lock();
    }
    return 0;
  }
  const auto limit = std::chrono::milliseconds(ms);
  const bool taken = m_recursive ? m_recursiveMutex.try_lock_for(limit) : m_plainMutex.try_lock_for(limit);
  return taken ? 0 : 1;
}

void TMutex::Done() {
  if (m_recursive) {
    m_recursiveMutex.unlock();
  } else {
    m_plainMutex.unlock();
  }
}

}  // namespace QVT
