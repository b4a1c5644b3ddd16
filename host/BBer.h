// BBer: the BER primitives shared by the SNMP message codec (agent/BSnmpBer.h)
// and the sub-agent wire coders (protocol/BSAEncoder, BSADecoder): definite
// lengths, base-128 sub-identifiers and two's-complement integers, each with
// a size, a writer and a reader. Internal to the libraries, not installed.
//
// Writers write the minimal form forward from `out`, into room the caller
// has checked with the matching Size function, and return where they
// stopped. Readers take a cursor `p` and the end of the data, and never read
// at or past `end`: on success they store the value and move `p` past the
// field; on failure they leave both alone and return why.
#pragma once

#include <cstddef>
#include <cstdint>

namespace QVT::ber {

enum class EBerStatus : unsigned char {
  Ok,
  Truncated,   // the data ends inside the field
  PastEnd,     // a length announces more content than the data holds
  Indefinite,  // the length octet 0x80
  TooLong,     // more octets than the field may have (length octets, integer content, a sub-identifier)
  Empty,       // an integer without content octets
  NonMinimal,  // a sub-identifier led by a redundant 0x80 octet
  OutOfRange,  // a negative unsigned value, or a value wider than its type
};

// The input forms a reader accepts besides the minimal definite ones. The
// SNMP engine reads strictly. The wire decoder has always taken three more
// from its peers and keeps taking them: the length octet 0x80 as an empty
// length, a sub-identifier led by redundant 0x80 octets (within five
// octets), and an unsigned value of no octets (0) or with its top bit set
// (read as magnitude, not sign).
enum class EBerForms : unsigned char { Strict, Tolerant };

// Long-form length octets a reader accepts; no datagram needs more.
inline constexpr unsigned kMaxLengthOctets = 4;
// Octets of a sub-identifier of at most 32 bits.
inline constexpr unsigned kMaxSubIdOctets = 5;

// Octets of `value` from its most significant non-zero one (1 for 0).
constexpr size_t SignificantOctets(uint64_t value) {
  size_t n = 1;
  while (n < 8 && (value >> (8 * n)) != 0) ++n;
  return n;
}

// The low `n` (at most 8) octets of `value`, most significant first.
constexpr unsigned char* WriteBigEndian(unsigned char* out, uint64_t value, size_t n) {
  for (size_t i = n; i > 0; --i) *out++ = static_cast<unsigned char>(value >> (8 * (i - 1)));
  return out;
}

// --- Lengths ---------------------------------------------------------------

// One octet below 128; else 0x80 | n followed by the n significant octets.
constexpr size_t LengthSize(size_t length) {
  return length < 0x80 ? 1 : 1 + SignificantOctets(length);
}

constexpr unsigned char* WriteLength(unsigned char* out, size_t length) {
  if (length < 0x80) {
    *out++ = static_cast<unsigned char>(length);
    return out;
  }
  const size_t n = SignificantOctets(length);
  *out++ = static_cast<unsigned char>(0x80 | n);
  return WriteBigEndian(out, length, n);
}

// A definite length in the short form or in the long form of at most
// kMaxLengthOctets octets; long forms with leading zero octets are taken.
// Failures: Truncated, Indefinite (Strict only), TooLong. The length is not
// compared with the data left (ReadContentLength does that).
[[nodiscard]] constexpr EBerStatus ReadLength(const unsigned char*& p, const unsigned char* end, size_t& length,
                                              EBerForms forms = EBerForms::Strict) {
  if (p == end) return EBerStatus::Truncated;
  const unsigned char first = *p;
  if (first < 0x80) {
    length = first;
    ++p;
    return EBerStatus::Ok;
  }
  const unsigned octets = first & 0x7Fu;
  if (octets == 0 && forms == EBerForms::Strict) return EBerStatus::Indefinite;
  if (octets > kMaxLengthOctets) return EBerStatus::TooLong;
  if (static_cast<size_t>(end - p) - 1 < octets) return EBerStatus::Truncated;
  size_t value = 0;
  for (unsigned i = 1; i <= octets; ++i) value = (value << 8) | p[i];
  length = value;
  p += 1 + octets;
  return EBerStatus::Ok;
}

// ReadLength, and the content it announces must lie before `end` (PastEnd).
[[nodiscard]] constexpr EBerStatus ReadContentLength(const unsigned char*& p, const unsigned char* end, size_t& length,
                                                     EBerForms forms = EBerForms::Strict) {
  const unsigned char* q = p;
  size_t n = 0;
  const EBerStatus status = ReadLength(q, end, n, forms);
  if (status != EBerStatus::Ok) return status;
  if (static_cast<size_t>(end - q) < n) return EBerStatus::PastEnd;
  length = n;
  p = q;
  return EBerStatus::Ok;
}

// --- Base-128 sub-identifiers ----------------------------------------------

constexpr size_t SubIdSize(uint32_t value) {
  size_t n = 1;
  while (n < kMaxSubIdOctets && (value >> (7 * n)) != 0) ++n;
  return n;
}

// Seven bits per octet, most significant first, the continuation bit on all
// but the last.
constexpr unsigned char* WriteSubId(unsigned char* out, uint32_t value) {
  for (size_t i = SubIdSize(value); i > 1; --i) {
    *out++ = static_cast<unsigned char>(0x80 | ((value >> (7 * (i - 1))) & 0x7F));
  }
  *out++ = static_cast<unsigned char>(value & 0x7F);
  return out;
}

// One sub-identifier: at most kMaxSubIdOctets octets, the last without the
// continuation bit, and a value of at most 32 bits. Failures: Truncated (the
// data ends before the last octet), NonMinimal (Strict only), TooLong,
// OutOfRange.
[[nodiscard]] constexpr EBerStatus ReadSubId(const unsigned char*& p, const unsigned char* end, uint32_t& value,
                                             EBerForms forms = EBerForms::Strict) {
  if (p == end) return EBerStatus::Truncated;
  if (*p < 0x80) {
    value = *p++;
    return EBerStatus::Ok;
  }
  if (*p == 0x80 && forms == EBerForms::Strict) return EBerStatus::NonMinimal;
  const unsigned char* q = p;
  uint64_t wide = 0;
  for (unsigned octets = 1;; ++octets) {
    if (q == end) return EBerStatus::Truncated;
    const unsigned char octet = *q++;
    wide = (wide << 7) | (octet & 0x7Fu);
    if ((octet & 0x80) == 0) break;
    if (octets == kMaxSubIdOctets) return EBerStatus::TooLong;
  }
  if (wide > 0xFFFFFFFFu) return EBerStatus::OutOfRange;
  value = static_cast<uint32_t>(wide);
  p = q;
  return EBerStatus::Ok;
}

// --- Integers --------------------------------------------------------------

// Two's complement without the leading octets that only repeat the sign of
// the next one (1 to 8 octets; at most 4 for a 32-bit value).
constexpr size_t IntSize(int64_t value) {
  size_t n = 1;
  while (n < 8) {
    const int64_t rest = value >> (8 * n - 1);
    if (rest == 0 || rest == -1) break;
    ++n;
  }
  return n;
}

constexpr unsigned char* WriteInt(unsigned char* out, int64_t value) {
  return WriteBigEndian(out, static_cast<uint64_t>(value), IntSize(value));
}

// A signed integer of the `n` content octets at `p`, one to four of them.
// Leading sign octets are taken as they are. Failures: Empty, TooLong,
// Truncated (fewer than `n` octets before `end`).
[[nodiscard]] constexpr EBerStatus ReadInt32(const unsigned char*& p, const unsigned char* end, size_t n,
                                             int32_t& value) {
  if (n == 0) return EBerStatus::Empty;
  if (n > 4) return EBerStatus::TooLong;
  if (static_cast<size_t>(end - p) < n) return EBerStatus::Truncated;
  uint32_t bits = (p[0] & 0x80) != 0 ? 0xFFFFFFFFu : 0u;
  for (size_t i = 0; i < n; ++i) bits = (bits << 8) | p[i];
  value = static_cast<int32_t>(bits);
  p += n;
  return EBerStatus::Ok;
}

// A non-negative value as an INTEGER's content: its significant octets and
// a leading zero octet when their top bit is set (1 to 9 octets).
constexpr size_t UnsignedSize(uint64_t value) {
  size_t n = 1;
  while (n < 9 && (value >> (8 * n - 1)) != 0) ++n;
  return n;
}

constexpr unsigned char* WriteUnsigned(unsigned char* out, uint64_t value) {
  size_t n = UnsignedSize(value);
  if (n > 8) {
    *out++ = 0;
    n = 8;
  }
  return WriteBigEndian(out, value, n);
}

// An unsigned value of `bits` (32 or 64) bits from the `n` content octets at
// `p`: one octet more than the width is taken only as a leading zero.
// Failures: Empty (Strict only), TooLong, Truncated (fewer than `n` octets
// before `end`), OutOfRange (a leading octet that does not fit, or, Strict
// only, the top bit set: a negative value).
[[nodiscard]] constexpr EBerStatus ReadUnsigned(const unsigned char*& p, const unsigned char* end, size_t n,
                                                unsigned bits, uint64_t& value, EBerForms forms = EBerForms::Strict) {
  const bool strict = forms == EBerForms::Strict;
  if (n == 0) {
    if (strict) return EBerStatus::Empty;
    value = 0;
    return EBerStatus::Ok;
  }
  const size_t maxOctets = bits / 8 + 1;
  if (n > maxOctets) return EBerStatus::TooLong;
  if (static_cast<size_t>(end - p) < n) return EBerStatus::Truncated;
  if (strict && (p[0] & 0x80) != 0) return EBerStatus::OutOfRange;
  if (n == maxOctets && p[0] != 0) return EBerStatus::OutOfRange;
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  value = v;
  p += n;
  return EBerStatus::Ok;
}

}  // namespace QVT::ber
