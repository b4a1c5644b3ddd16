#include "BSAIdSequence.h"

#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace QVT {

namespace {

constexpr unsigned kHalfBits = 15;
constexpr uint32_t kHalfMask = (1u << kHalfBits) - 1;
constexpr unsigned kRounds = 4;

uint64_t Rotl(uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

void SipRound(uint64_t& v0, uint64_t& v1, uint64_t& v2, uint64_t& v3) {
  v0 += v1;
  v1 = Rotl(v1, 13);
  v1 ^= v0;
  v0 = Rotl(v0, 32);
  v2 += v3;
  v3 = Rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = Rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = Rotl(v1, 17);
  v1 ^= v2;
  v2 = Rotl(v2, 32);
}

// The key from the kernel's random source; should it fail (a kernel
// without getrandom), a key from the clock still makes every run differ.
void RandomKey(uint64_t key[2]) {
  unsigned char octets[16];
  size_t got = 0;
  while (got < sizeof octets) {
    const ssize_t n = getrandom(octets + got, sizeof octets - got, 0);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      break;
    }
  }
  if (got < sizeof octets) {
    const auto now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const uint64_t fallback[2] = {now ^ 0x736F6D6570736575ull,
                                  reinterpret_cast<uintptr_t>(key) ^ 0x646F72616E646F6Dull};
    std::memcpy(octets, fallback, sizeof octets);
  }
  std::memcpy(key, octets, sizeof octets);
}

}  // namespace

uint64_t BSAIdSequence::SipHash24(uint64_t k0, uint64_t k1, const unsigned char* data, size_t length) {
  uint64_t v0 = 0x736F6D6570736575ull ^ k0;
  uint64_t v1 = 0x646F72616E646F6Dull ^ k1;
  uint64_t v2 = 0x6C7967656E657261ull ^ k0;
  uint64_t v3 = 0x7465646279746573ull ^ k1;
  const size_t whole = length - length % 8;
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t m = 0;
    for (int b = 7; b >= 0; --b) m = (m << 8) | data[i + static_cast<size_t>(b)];
    v3 ^= m;
    SipRound(v0, v1, v2, v3);
    SipRound(v0, v1, v2, v3);
    v0 ^= m;
  }
  uint64_t last = static_cast<uint64_t>(length & 0xFF) << 56;
  for (size_t i = whole; i < length; ++i) last |= static_cast<uint64_t>(data[i]) << (8 * (i - whole));
  v3 ^= last;
  SipRound(v0, v1, v2, v3);
  SipRound(v0, v1, v2, v3);
  v0 ^= last;
  v2 ^= 0xFF;
  for (int i = 0; i < 4; ++i) SipRound(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

BSAIdSequence::BSAIdSequence() {
  RandomKey(m_key);
}

uint32_t BSAIdSequence::Permute(uint32_t value) const {
  uint32_t left = (value >> kHalfBits) & kHalfMask;
  uint32_t right = value & kHalfMask;
  for (unsigned round = 0; round < kRounds; ++round) {
    const unsigned char input[3] = {static_cast<unsigned char>(round), static_cast<unsigned char>(right),
                                    static_cast<unsigned char>(right >> 8)};
    const uint32_t mixed =
        left ^ (static_cast<uint32_t>(SipHash24(m_key[0], m_key[1], input, sizeof input)) & kHalfMask);
    left = right;
    right = mixed;
  }
  return (left << kHalfBits) | right;
}

uint32_t BSAIdSequence::Next() {
  // 0 is the one value the permutation may give that cannot be used; the
  // counter is then simply taken one step further (a permutation sends
  // exactly one counter value there).
  for (;;) {
    const uint32_t n = m_counter.fetch_add(1, std::memory_order_relaxed) & ((1u << (2 * kHalfBits)) - 1);
    const uint32_t id = Permute(n);
    if (id != 0) return id;
  }
}

}  // namespace QVT
