// BCounter64 and BIpAddress: the two fixed-size SNMP value types.
#pragma once

#include <cstdint>

#include "BString.h"
#include "QVExport.h"

namespace QVT {

// A 64-bit counter kept as two 32-bit halves; half 0 is the low word and
// half 1 the high word.
class QV_API BCounter64 {
 public:
  BCounter64() = default;
  explicit BCounter64(uint64_t value) { Set(value); }

  BCounter64& operator=(unsigned low) {
    m_halves[0] = low;
    m_halves[1] = 0;
    return *this;
  }
  uint32_t& operator[](int half) { return m_halves[half & 1]; }
  uint32_t operator[](int half) const { return m_halves[half & 1]; }

  void Set(uint64_t value) {
    m_halves[0] = static_cast<uint32_t>(value);
    m_halves[1] = static_cast<uint32_t>(value >> 32);
  }
  uint64_t Value() const { return (static_cast<uint64_t>(m_halves[1]) << 32) | m_halves[0]; }
  // Octet i of the counter, 0 the least and 7 the most significant.
  unsigned char Octet(int i) const { return static_cast<unsigned char>(Value() >> (8 * i)); }

  friend bool operator==(const BCounter64& a, const BCounter64& b) { return a.Value() == b.Value(); }

 private:
  uint32_t m_halves[2] = {0, 0};
};

// Four IPv4 octets in network order.
class QV_API BIpAddress {
 public:
  BIpAddress() = default;
  BIpAddress(unsigned char a, unsigned char b, unsigned char c, unsigned char d) : m_octets{a, b, c, d} {}

  unsigned char& operator[](int i) { return m_octets[i & 3]; }
  unsigned char operator[](int i) const { return m_octets[i & 3]; }
  const unsigned char* Data() const { return m_octets; }
  BString ToString() const;

  friend bool operator==(const BIpAddress& a, const BIpAddress& b) {
    return a.m_octets[0] == b.m_octets[0] && a.m_octets[1] == b.m_octets[1] && a.m_octets[2] == b.m_octets[2] &&
           a.m_octets[3] == b.m_octets[3];
  }

 private:
  unsigned char m_octets[4] = {0, 0, 0, 0};
};

}  // namespace QVT
