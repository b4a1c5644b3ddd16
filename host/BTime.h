// BTime: the agent's clock. SysUptime() is the time since the clock was
// made (the agent's start) in hundredths of a second, the SNMP TimeTicks
// unit, from a monotonic clock so that wall-clock changes do not move it.
#pragma once

#include <chrono>
#include <cstdint>

#include "QVExport.h"

namespace QVT {

class QV_API BTime {
 public:
  BTime();
  virtual ~BTime() = default;

  virtual uint32_t SysUptime() const;
  // Starts counting from zero again.
  void Restart();

 private:
  std::chrono::steady_clock::time_point m_start;
};

}  // namespace QVT
