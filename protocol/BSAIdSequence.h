// BSAIdSequence: identifiers that a peer can neither guess nor make us
// repeat: session ids and the master's request ids.
//
// The n-th identifier is a secret permutation of n: a balanced Feistel
// network over 30 bits whose round function is SipHash-2-4 under a 128-bit
// key drawn from the system's random source (getrandom). A counter under a
// permutation never repeats until the whole range has been used
// (2^30 - 1 identifiers), and without the key the next value cannot be told
// from the ones seen. 0 is skipped, so every identifier lies in
// 1 .. 0x3FFFFFFF, the range the protocol gives request ids.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "QVExport.h"

namespace QVT {

class QV_API BSAIdSequence {
 public:
  // A sequence under a fresh random key.
  BSAIdSequence();
  // A sequence under a given key (tests).
  BSAIdSequence(uint64_t key0, uint64_t key1) : m_key{key0, key1} {}

  // The next identifier, 1 .. 0x3FFFFFFF; safe to call from several
  // threads at once.
  uint32_t Next();

  // SipHash-2-4 of `length` octets under the key (k0, k1): the round
  // function, exposed for its published test vectors.
  static uint64_t SipHash24(uint64_t k0, uint64_t k1, const unsigned char* data, size_t length);

 private:
  uint32_t Permute(uint32_t value) const;

  uint64_t m_key[2];
  std::atomic<uint32_t> m_counter{0};
};

}  // namespace QVT
