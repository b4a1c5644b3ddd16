// BSnmpBer: the BER primitives of the SNMP message codec (internal to
// libQVAgent, not installed).
//
// BBerReader walks a datagram in place: it never copies the input and never
// reads past the end of the element it was given, so a nested element is
// read by a reader limited to that element's content. Only the forms SNMP
// uses are accepted: one-octet tags and definite lengths (short form, or
// long form with at most four length octets). BBerWriter writes forward into
// a buffer whose size the caller has checked beforehand with the Size
// helpers, which is how the message encoder knows every constructed
// element's length before it writes its header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "BObjectIdentifier.h"
#include "BSnmpCodecStatus.h"

namespace QVT {

class BBerReader {
 public:
  BBerReader(const unsigned char* data, size_t length) : m_p(data), m_end(data + length) {}

  size_t Remaining() const { return static_cast<size_t>(m_end - m_p); }
  bool AtEnd() const { return m_p == m_end; }
  const unsigned char* Position() const { return m_p; }

  // Reads a tag and a definite length and checks that the content lies
  // within this reader. On success `content` covers the element's content
  // and this reader stands after the element; on failure nothing moves.
  [[nodiscard]] ESnmpCodecStatus ReadElement(unsigned char& tag, BBerReader& content) {
    if (m_p == m_end) return SNMP_CODEC_TRUNCATED;
    const unsigned char* p = m_p;
    tag = *p++;
    // High tag numbers (low five bits all set) are no SNMP tag.
    if ((tag & 0x1F) == 0x1F) return SNMP_CODEC_WRONG_TAG;
    if (p == m_end) return SNMP_CODEC_TRUNCATED;
    size_t length = *p++;
    if (length & 0x80) {
      const unsigned octets = length & 0x7F;
      if (octets == 0) return SNMP_CODEC_INDEFINITE_LENGTH;
      if (octets > 4) return SNMP_CODEC_BAD_LENGTH;
      if (static_cast<size_t>(m_end - p) < octets) return SNMP_CODEC_TRUNCATED;
      length = 0;
      for (unsigned i = 0; i < octets; ++i) length = (length << 8) | *p++;
    }
    if (static_cast<size_t>(m_end - p) < length) return SNMP_CODEC_TRUNCATED;
    content = BBerReader(p, length);
    m_p = p + length;
    return SNMP_CODEC_OK;
  }

  // ReadElement that also requires the tag `expected`.
  [[nodiscard]] ESnmpCodecStatus Expect(unsigned char expected, BBerReader& content) {
    const unsigned char* start = m_p;
    unsigned char tag = 0;
    const ESnmpCodecStatus status = ReadElement(tag, content);
    if (status != SNMP_CODEC_OK) return status;
    if (tag != expected) {
      m_p = start;
      return SNMP_CODEC_WRONG_TAG;
    }
    return SNMP_CODEC_OK;
  }

  // Content decoders; each consumes the whole content of this reader.

  // A signed INTEGER of one to four octets.
  [[nodiscard]] ESnmpCodecStatus DecodeInt32(int32_t& value) {
    const size_t n = Remaining();
    if (n == 0 || n > 4) return SNMP_CODEC_BAD_INTEGER;
    uint32_t v = (m_p[0] & 0x80) ? 0xFFFFFFFFu : 0u;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | m_p[i];
    value = static_cast<int32_t>(v);
    m_p = m_end;
    return SNMP_CODEC_OK;
  }

  // A non-negative integer that fits `bits` (32 or 64) bits: one octet more
  // than the width is allowed only as a leading zero octet.
  [[nodiscard]] ESnmpCodecStatus DecodeUnsigned(uint64_t& value, unsigned bits) {
    const size_t n = Remaining();
    const size_t maxOctets = bits / 8 + 1;
    if (n == 0 || n > maxOctets) return SNMP_CODEC_BAD_INTEGER;
    if (m_p[0] & 0x80) return SNMP_CODEC_BAD_INTEGER;  // negative
    if (n == maxOctets && m_p[0] != 0) return SNMP_CODEC_BAD_INTEGER;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | m_p[i];
    value = v;
    m_p = m_end;
    return SNMP_CODEC_OK;
  }

  // An OBJECT IDENTIFIER: at least one octet, minimal sub-identifiers of at
  // most 32 bits, at most kSnmpMaxOidArcs arcs. The arcs are counted first
  // (one per octet without the continuation bit, plus the split first
  // sub-identifier) so that they are written into storage sized once.
  [[nodiscard]] ESnmpCodecStatus DecodeOid(BObjectIdentifier& oid) {
    const size_t n = Remaining();
    if (n == 0) return SNMP_CODEC_BAD_OID;
    if (m_p[n - 1] & 0x80) return SNMP_CODEC_BAD_OID;  // the last octet has its continuation bit
    unsigned count = 1;
    for (size_t i = 0; i < n; ++i) count += (m_p[i] & 0x80) ? 0 : 1;
    if (count > kSnmpMaxOidArcs) return SNMP_CODEC_BAD_OID;
    oid.SetLength(count);
    uint32_t* out = &oid[0];
    bool first = true;
    while (m_p != m_end) {
      uint32_t arc = *m_p++;
      if (arc & 0x80) {
        if (arc == 0x80) return SNMP_CODEC_BAD_OID;  // redundant leading octet
        uint64_t wide = arc & 0x7F;
        for (;;) {
          const unsigned char octet = *m_p++;  // in range: the last octet ends a sub-identifier
          wide = (wide << 7) | (octet & 0x7F);
          if (wide > 0xFFFFFFFFu) return SNMP_CODEC_BAD_OID;
          if (!(octet & 0x80)) break;
        }
        arc = static_cast<uint32_t>(wide);
      }
      if (first) {
        const uint32_t a = arc < 40 ? 0 : (arc < 80 ? 1 : 2);
        *out++ = a;
        *out++ = arc - 40 * a;
        first = false;
      } else {
        *out++ = arc;
      }
    }
    return SNMP_CODEC_OK;
  }

 private:
  const unsigned char* m_p;
  const unsigned char* m_end;
};

// Sizes of encodings.
namespace ber {

inline size_t LengthSize(size_t length) {
  if (length < 0x80) return 1;
  if (length <= 0xFF) return 2;
  if (length <= 0xFFFF) return 3;
  if (length <= 0xFFFFFF) return 4;
  return 5;
}

// Tag, length and content.
inline size_t ElementSize(size_t contentLength) {
  return 1 + LengthSize(contentLength) + contentLength;
}

inline size_t Int32ContentSize(int32_t value) {
  size_t n = 1;
  // Drop leading octets that only repeat the sign of the next one.
  while (n < 4) {
    const int32_t shifted = value >> (8 * n - 1);
    if (shifted == 0 || shifted == -1) break;
    ++n;
  }
  return n;
}

inline size_t UnsignedContentSize(uint64_t value) {
  size_t n = 1;
  // One octet per 8 bits, plus a leading zero when the top bit is set.
  while (n < 9 && (value >> (8 * n - 1)) != 0) ++n;
  return n;
}

inline size_t ArcSize(uint32_t arc) {
  if (arc < (1u << 7)) return 1;
  if (arc < (1u << 14)) return 2;
  if (arc < (1u << 21)) return 3;
  if (arc < (1u << 28)) return 4;
  return 5;
}

// 0 when the OID cannot be encoded: a first arc above 2, a second arc of 40
// or more under arcs 0 and 1, or a combined first sub-identifier beyond 32
// bits. The empty OID encodes as 0.0 and a one-arc OID X as X.0.
inline size_t OidContentSize(const BObjectIdentifier& oid) {
  const unsigned count = oid.Length();
  const uint32_t a0 = count > 0 ? oid[0] : 0;
  const uint32_t a1 = count > 1 ? oid[1] : 0;
  if (a0 > 2 || (a0 < 2 && a1 >= 40) || (a0 == 2 && a1 > 0xFFFFFFFFu - 80)) return 0;
  size_t size = ArcSize(a0 * 40 + a1);
  for (unsigned i = 2; i < count; ++i) size += ArcSize(oid[i]);
  return size;
}

}  // namespace ber

class BBerWriter {
 public:
  explicit BBerWriter(unsigned char* out) : m_p(out) {}
  unsigned char* Position() const { return m_p; }

  void Header(unsigned char tag, size_t length) {
    *m_p++ = tag;
    const size_t n = ber::LengthSize(length);
    if (n == 1) {
      *m_p++ = static_cast<unsigned char>(length);
      return;
    }
    *m_p++ = static_cast<unsigned char>(0x80 | (n - 1));
    for (size_t i = n - 1; i > 0; --i) *m_p++ = static_cast<unsigned char>(length >> (8 * (i - 1)));
  }

  void Int32(unsigned char tag, int32_t value) {
    const size_t n = ber::Int32ContentSize(value);
    Header(tag, n);
    const uint32_t v = static_cast<uint32_t>(value);
    for (size_t i = n; i > 0; --i) *m_p++ = static_cast<unsigned char>(v >> (8 * (i - 1)));
  }

  void Unsigned(unsigned char tag, uint64_t value) {
    const size_t n = ber::UnsignedContentSize(value);
    Header(tag, n);
    for (size_t i = n; i > 0; --i) *m_p++ = i > 8 ? 0 : static_cast<unsigned char>(value >> (8 * (i - 1)));
  }

  void Octets(unsigned char tag, const unsigned char* data, size_t length) {
    Header(tag, length);
    if (length != 0) std::memcpy(m_p, data, length);
    m_p += length;
  }

  // `contentSize` is OidContentSize(oid), which the caller has checked is
  // not 0.
  void Oid(const BObjectIdentifier& oid, size_t contentSize) {
    Header(0x06, contentSize);
    const unsigned count = oid.Length();
    const uint32_t a0 = count > 0 ? oid[0] : 0;
    const uint32_t a1 = count > 1 ? oid[1] : 0;
    Arc(a0 * 40 + a1);
    for (unsigned i = 2; i < count; ++i) Arc(oid[i]);
  }

 private:
  void Arc(uint32_t arc) {
    if (arc < 0x80) {
      *m_p++ = static_cast<unsigned char>(arc);
      return;
    }
    for (size_t i = ber::ArcSize(arc); i > 1; --i) *m_p++ = static_cast<unsigned char>(0x80 | (arc >> (7 * (i - 1))));
    *m_p++ = static_cast<unsigned char>(arc & 0x7F);
  }

  unsigned char* m_p;
};

}  // namespace QVT
