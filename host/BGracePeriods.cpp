#include "BGracePeriods.h"

namespace QVT {

BGracePeriods::~BGracePeriods() {
  for (auto& [epoch, reclaim] : m_retired) reclaim();
}

uint64_t BGracePeriods::Enter() {
  std::lock_guard<std::mutex> guard(m_lock);
  ++m_readers[m_epoch];
  return m_epoch;
}

void BGracePeriods::Leave(uint64_t ticket) {
  std::deque<std::function<void()>> due;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_readers.find(ticket);
    if (it != m_readers.end() && --it->second == 0) m_readers.erase(it);
    due = TakeDue(kRunOnLeave);
  }
  for (auto& reclaim : due) reclaim();
}

void BGracePeriods::Retire(std::function<void()> reclaim) {
  std::deque<std::function<void()>> due;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    // Readers that enter from now on get a later epoch than this one.
    m_retired.emplace_back(m_epoch++, std::move(reclaim));
    due = TakeDue(SIZE_MAX);
  }
  for (auto& r : due) r();
}

size_t BGracePeriods::Collect(size_t most) {
  std::deque<std::function<void()>> due;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    due = TakeDue(most);
  }
  for (auto& reclaim : due) reclaim();
  return due.size();
}

size_t BGracePeriods::Pending() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_retired.size();
}

std::deque<std::function<void()>> BGracePeriods::TakeDue(size_t most) {
  std::deque<std::function<void()>> due;
  const uint64_t oldestReader = m_readers.empty() ? UINT64_MAX : m_readers.begin()->first;
  while (!m_retired.empty() && m_retired.front().first < oldestReader && due.size() < most) {
    due.push_back(std::move(m_retired.front().second));
    m_retired.pop_front();
  }
  return due;
}

}  // namespace QVT
