#include "BTime.h"

namespace QVT {

BTime::BTime() : m_start(std::chrono::steady_clock::now()) {}

uint32_t BTime::SysUptime() const {
  const auto elapsed = std::chrono::steady_clock::now() - m_start;
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 10);
}

void BTime::Restart() {
  m_start = std::chrono::steady_clock::now();
}

}  // namespace QVT
