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
// element's length before it writes its header. Lengths, integers and
// sub-identifiers are the shared primitives of BBer.h, read strictly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "BBer.h"
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
    size_t length = 0;
    switch (ber::ReadContentLength(p, m_end, length)) {
      case ber::EBerStatus::Ok:
        break;
      case ber::EBerStatus::Indefinite:
        return SNMP_CODEC_INDEFINITE_LENGTH;
      case ber::EBerStatus::TooLong:
        return SNMP_CODEC_BAD_LENGTH;
      default:
        return SNMP_CODEC_TRUNCATED;
    }
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
    if (ber::ReadInt32(m_p, m_end, Remaining(), value) != ber::EBerStatus::Ok) return SNMP_CODEC_BAD_INTEGER;
    return SNMP_CODEC_OK;
  }

  // A non-negative integer that fits `bits` (32 or 64) bits: one octet more
  // than the width is allowed only as a leading zero octet.
  [[nodiscard]] ESnmpCodecStatus DecodeUnsigned(uint64_t& value, unsigned bits) {
    if (ber::ReadUnsigned(m_p, m_end, Remaining(), bits, value) != ber::EBerStatus::Ok) return SNMP_CODEC_BAD_INTEGER;
    return SNMP_CODEC_OK;
  }

  // An OBJECT IDENTIFIER: at least one octet, minimal sub-identifiers of at
  // most 32 bits, at most kSnmpMaxOidArcs arcs. The arcs are counted first
  // (one per octet without the continuation bit, plus the split first
  // sub-identifier) so that they are written into storage sized once; an
  // unterminated last sub-identifier fails before it is stored.
  [[nodiscard]] ESnmpCodecStatus DecodeOid(BObjectIdentifier& oid) {
    const size_t n = Remaining();
    if (n == 0) return SNMP_CODEC_BAD_OID;
    unsigned count = 1;
    for (size_t i = 0; i < n; ++i) count += (m_p[i] & 0x80) ? 0 : 1;
    if (count > kSnmpMaxOidArcs) return SNMP_CODEC_BAD_OID;
    oid.SetLength(count);
    uint32_t* out = &oid[0];
    bool first = true;
    while (m_p != m_end) {
      uint32_t arc = 0;
      if (ber::ReadSubId(m_p, m_end, arc) != ber::EBerStatus::Ok) return SNMP_CODEC_BAD_OID;
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

// Tag, length and content.
inline size_t ElementSize(size_t contentLength) {
  return 1 + LengthSize(contentLength) + contentLength;
}

// 0 when the OID cannot be encoded: a first arc above 2, a second arc of 40
// or more under arcs 0 and 1, or a combined first sub-identifier beyond 32
// bits. The empty OID encodes as 0.0 and a one-arc OID X as X.0.
inline size_t OidContentSize(const BObjectIdentifier& oid) {
  const unsigned count = oid.Length();
  const uint32_t a0 = count > 0 ? oid[0] : 0;
  const uint32_t a1 = count > 1 ? oid[1] : 0;
  if (a0 > 2 || (a0 < 2 && a1 >= 40) || (a0 == 2 && a1 > 0xFFFFFFFFu - 80)) return 0;
  size_t size = SubIdSize(a0 * 40 + a1);
  for (unsigned i = 2; i < count; ++i) size += SubIdSize(oid[i]);
  return size;
}

}  // namespace ber

class BBerWriter {
 public:
  explicit BBerWriter(unsigned char* out) : m_p(out) {}
  unsigned char* Position() const { return m_p; }

  void Header(unsigned char tag, size_t length) {
    *m_p++ = tag;
    m_p = ber::WriteLength(m_p, length);
  }

  void Int32(unsigned char tag, int32_t value) {
    Header(tag, ber::IntSize(value));
    m_p = ber::WriteInt(m_p, value);
  }

  void Unsigned(unsigned char tag, uint64_t value) {
    Header(tag, ber::UnsignedSize(value));
    m_p = ber::WriteUnsigned(m_p, value);
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
    m_p = ber::WriteSubId(m_p, a0 * 40 + a1);
    for (unsigned i = 2; i < count; ++i) m_p = ber::WriteSubId(m_p, oid[i]);
  }

 private:
  unsigned char* m_p;
};

}  // namespace QVT
