#include "TSWMRSynch.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

namespace QVT {

namespace {

// Read locks held by this thread, per lock object. A thread rarely holds
// more than one or two, so a short vector beats a map.
thread_local std::vector<std::pair<const TSWMRSynch*, int>> t_readDepths;

}  // namespace

int& TSWMRSynch::ThreadReadDepth() {
  for (auto& entry : t_readDepths) {
    if (entry.first == this) return entry.second;
  }
  return t_readDepths.emplace_back(this, 0).second;
}

void TSWMRSynch::WaitToRead() {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> guard(m_lock);
  if (m_writer == self) {
    ++m_writeDepth;
    return;
  }
  int& depth = ThreadReadDepth();
  if (depth > 0) {
    ++depth;
    return;
  }
  ++m_waitingReaders;
  m_changed.wait(guard, [this] { return m_writer == std::thread::id() && m_waitingWriters == 0; });
  --m_waitingReaders;
  ++m_readers;
  depth = 1;
}

void TSWMRSynch::DoneReading() {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> guard(m_lock);
  if (m_writer == self) {
    --m_writeDepth;
    return;
  }
  int& depth = ThreadReadDepth();
  assert(depth > 0 && "DoneReading without WaitToRead");
  if (--depth > 0) return;
  std::erase_if(t_readDepths, [this](const auto& entry) { return entry.first == this; });
  if (--m_readers == 0) {
    guard.unlock();
    m_changed.notify_all();
  }
}

void TSWMRSynch::WaitToWrite() {
  AcquireWrite(std::nullopt, /*holdReaders=*/true);
}

bool TSWMRSynch::TryWaitToWrite(unsigned ms, bool holdReaders) {
  return AcquireWrite(std::chrono::milliseconds(ms), holdReaders);
}

bool TSWMRSynch::AcquireWrite(std::optional<std::chrono::milliseconds> limit, bool holdReaders) {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> guard(m_lock);
  if (m_writer == self) {
    ++m_writeDepth;
    return true;
  }
  assert(std::none_of(t_readDepths.begin(), t_readDepths.end(),
                      [this](const auto& entry) { return entry.first == this && entry.second > 0; }) &&
         "a read lock cannot be upgraded to a write lock");
  // A writer that does not hold readers back also lets the ones already
  // waiting go first (a writer that just released the lock would otherwise
  // take it again before they wake).
  const auto free = [this, holdReaders] {
    return m_writer == std::thread::id() && m_readers == 0 && (holdReaders || m_waitingReaders == 0);
  };
  if (holdReaders) ++m_waitingWriters;
  const bool acquired = limit ? m_changed.wait_for(guard, *limit, free) : (m_changed.wait(guard, free), true);
  if (holdReaders) --m_waitingWriters;
  if (!acquired) {
    // Readers held back while this writer waited may go on now.
    guard.unlock();
    m_changed.notify_all();
    return false;
  }
  m_writer = self;
  m_writeDepth = 1;
  return true;
}

void TSWMRSynch::DoneWriting() {
  std::unique_lock<std::mutex> guard(m_lock);
  assert(m_writer == std::this_thread::get_id() && "DoneWriting by a thread that does not write");
  if (--m_writeDepth > 0) return;
  m_writer = std::thread::id();
  guard.unlock();
  m_changed.notify_all();
}

}  // namespace QVT
