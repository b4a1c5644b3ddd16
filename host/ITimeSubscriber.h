// ITimeSubscriber: something that can be told that a period has passed.
#pragma once

#include <cstdint>

#include "QVExport.h"

namespace QVT {

class QV_API BTimeInterval {
 public:
  explicit BTimeInterval(uint32_t milliseconds = 0) : m_milliseconds(milliseconds) {}
  uint32_t Milliseconds() const { return m_milliseconds; }

 private:
  uint32_t m_milliseconds;
};

class QV_API ITimeSubscriber {
 public:
  virtual ~ITimeSubscriber() = default;
  virtual void OnTimeout(BTimeInterval& interval) = 0;
};

}  // namespace QVT
