// ManualClock: an agent clock whose up-time the test sets, so that the
// sysUpTime a component puts into its answers can be compared exactly.
#pragma once

#include <atomic>
#include <cstdint>

#include "BTime.h"

namespace QVT::test {

class ManualClock : public BTime {
 public:
  explicit ManualClock(uint32_t ticks = 0) : m_ticks(ticks) {}
  uint32_t SysUptime() const override { return m_ticks.load(); }
  void Set(uint32_t ticks) { m_ticks.store(ticks); }

 private:
  std::atomic<uint32_t> m_ticks;
};

}  // namespace QVT::test
