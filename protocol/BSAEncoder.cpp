// Element encoder. Every element checks once, in EncodeTypeAndLength (or the
// slot reservations), that its tag, length and content fit; the content is
// then written without further checks, by the BER writers of BBer.h. They go
// through a local pointer and hand back where they stopped: stores through
// an octet pointer could alias the encoder's position, which would otherwise
// be reloaded after every octet.
#include "BSAEncoder.h"

#include "QVSubAgTrace.h"

#include <climits>
#include <cstring>

#include "BBer.h"
#include "BSAWireTags.h"

namespace QVT {

using namespace wire;

BSAEncoder::BSAEncoder(BSABuffer& target)
    : buffer(&target), position(target.LengthRef()), capacity(target.Capacity()), m_data(target.Data()) {}

int BSAEncoder::Fail(int code) {
  if (status == 0) status = code;
  return 0;
}

int BSAEncoder::Full() {
  position = 0xFFFFFFFFu;
  return Fail(SA_ERR_BUFFER_FULL);
}

int BSAEncoder::EncodeTypeAndLength(unsigned char tag, int length) {
  if (length < 0) return Fail(SA_ERR_BAD_ENCODING);
  const auto content = static_cast<unsigned>(length);
  if (uint64_t{Room()} < 1 + ber::LengthSize(content) + content) return Full();
  unsigned char* out = Cursor();
  *out++ = tag;
  Advance(ber::WriteLength(out, content));
  return 1;
}

int BSAEncoder::EncodeTypeAndReserveThreeOctetsForLength(unsigned char tag, int& lengthPos) {
  if (Room() < 4) {
    QVDbgModuleTraceClass(SA_DBG_ENCODER, "EncodeTypeAndReserveThreeOctetsForLength");
    return Full();
  }
  unsigned char* out = Cursor();
  lengthPos = static_cast<int>(position + 2);
  out[0] = tag;
  out[1] = 0x82;
  out[2] = 0x00;
  out[3] = 0x00;
  Advance(out + 4);
  return 1;
}

int BSAEncoder::EncodeTypeFlagsAndReserve3OctetsForLength(unsigned char type, unsigned char flags, int& lengthPos) {
  if (Room() < 5) return Full();
  unsigned char* out = Cursor();
  lengthPos = static_cast<int>(position + 3);
  out[0] = type;
  out[1] = flags;
  out[2] = 0x82;
  out[3] = 0x00;
  out[4] = 0x00;
  Advance(out + 5);
  return 1;
}

void BSAEncoder::EncodeLengthInTwoOctetsAtPosition(int lengthPos) {
  if (lengthPos < 0 || static_cast<unsigned>(lengthPos) + 2 > capacity) return;
  const int64_t length = int64_t{position} - lengthPos - 2;
  if (length < 0 || length > 0xFFFF) return;
  if (length > 0x7F) m_data[lengthPos] = static_cast<unsigned char>(length >> 8);
  m_data[lengthPos + 1] = static_cast<unsigned char>(length & 0xFF);
}

int BSAEncoder::EncodeSubID(unsigned value) {
  if (Room() < ber::SubIdSize(value)) return Full();
  Advance(ber::WriteSubId(Cursor(), value));
  return 1;
}

int BSAEncoder::EncodeInt(int value) {
  if (!EncodeTypeAndLength(kTagInteger, static_cast<int>(ber::IntSize(value)))) return 0;
  Advance(ber::WriteInt(Cursor(), value));
  return 1;
}

int BSAEncoder::EncodeUInt32(unsigned char tag, unsigned value) {
  if (!EncodeTypeAndLength(tag, static_cast<int>(ber::UnsignedSize(value)))) return 0;
  Advance(ber::WriteUnsigned(Cursor(), value));
  return 1;
}

int BSAEncoder::EncodeCtr64(const BCounter64& value) {
  const uint64_t bits = (uint64_t{value[1]} << 32) | value[0];
  if (!EncodeTypeAndLength(ASN_COUNTER64, static_cast<int>(ber::UnsignedSize(bits)))) return 0;
  Advance(ber::WriteUnsigned(Cursor(), bits));
  return 1;
}

int BSAEncoder::EncodeOctets(unsigned char tag, const SASNOctetStr& octets) {
  if (octets.length > 0 && octets.data == nullptr) return Fail(SA_ERR_BAD_ENCODING);
  if (octets.length > INT_MAX) return Fail(SA_ERR_BAD_ENCODING);
  if (!EncodeTypeAndLength(tag, static_cast<int>(octets.length))) return 0;
  if (octets.length > 0) std::memcpy(m_data + position, octets.data, octets.length);
  position += octets.length;
  return 1;
}

int BSAEncoder::EncodeOctets(const BString& text) {
  return EncodeOctets(kTagOctets, SASNOctetStr{reinterpret_cast<const unsigned char*>(text.c_str()), text.length()});
}

int BSAEncoder::EncodeSingleOctet(unsigned char octet) {
  if (!EncodeTypeAndLength(kTagOctets, 1)) return 0;
  Put(octet);
  return 1;
}

int BSAEncoder::EncodeIpAddr(const BIpAddress& address) {
  if (!EncodeTypeAndLength(ASN_IPADDRESS, 4)) return 0;
  unsigned char* out = Cursor();
  for (int i = 0; i < 4; ++i) out[i] = address[i];
  Advance(out + 4);
  return 1;
}

int BSAEncoder::NumOctetsToEncodeObjectId(const SASNObjectId& oid) {
  if (oid.count < 2 || oid.ids == nullptr) return 0;
  size_t n = ber::SubIdSize(40 * oid.ids[0] + oid.ids[1]);
  for (unsigned i = 2; i < oid.count; ++i) n += ber::SubIdSize(oid.ids[i]);
  return static_cast<int>(n);
}

int BSAEncoder::EncodeObjectId(const SASNObjectId& oid) {
  const int n = NumOctetsToEncodeObjectId(oid);
  if (n == 0) return Fail(SA_ERR_BAD_ENCODING);
  if (!EncodeTypeAndLength(ASN_OBJECT_ID, n)) return 0;
  // The first two arcs share one sub-identifier (unsigned arithmetic: an
  // out-of-range first arc wraps instead of overflowing).
  unsigned char* out = ber::WriteSubId(Cursor(), 40 * oid.ids[0] + oid.ids[1]);
  for (unsigned i = 2; i < oid.count; ++i) out = ber::WriteSubId(out, oid.ids[i]);
  Advance(out);
  return 1;
}

int BSAEncoder::EncodeNull() {
  return EncodeTypeAndLength(ASN_NULL, 0);
}

int BSAEncoder::EncodeV2Exception(unsigned char tag) {
  return EncodeTypeAndLength(tag, 0);
}

int BSAEncoder::EncodeValue(const BObjectSyntax& value) {
  const unsigned char syntax = value.Syntax();
  switch (syntax) {
    case ASN_INTEGER:
      return EncodeInt(value.GetInt());
    case ASN_OCTET_STRING:
    case ASN_OPAQUE:
      return EncodeOctets(syntax, value.GetOctets().View());
    case ASN_NULL:
      return EncodeNull();
    case ASN_NO_SUCH_OBJECT:
    case ASN_NO_SUCH_INSTANCE:
    case ASN_END_OF_MIB_VIEW:
      return EncodeV2Exception(syntax);
    case ASN_OBJECT_ID:
      return EncodeObjectId(value.GetObjectId().View());
    case ASN_IPADDRESS:
      return EncodeIpAddr(value.GetIpAddress());
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
      return EncodeUInt32(syntax, value.GetUnsigned());
    case ASN_COUNTER64:
      return EncodeCtr64(value.GetCounter64());
    default:
      return Fail(SA_ERR_BAD_ENCODING);
  }
}

int BSAEncoder::EncodeVarBind(const BVarBind& vb) {
  int lengthPos = 0;
  if (!EncodeTypeAndReserveThreeOctetsForLength(kTagSequence, lengthPos)) return 0;
  if (!EncodeObjectId(vb.name.View())) return 0;
  if (!EncodeValue(vb.value)) return 0;
  EncodeLengthInTwoOctetsAtPosition(lengthPos);
  return 1;
}

int BSAEncoder::EncodeVarBindList(const BVarBindList& list) {
  int lengthPos = 0;
  if (!EncodeTypeAndReserveThreeOctetsForLength(kTagSequence, lengthPos)) return 0;
  for (const BVarBind& vb : list) {
    if (!EncodeVarBind(vb)) return 0;
  }
  EncodeLengthInTwoOctetsAtPosition(lengthPos);
  return 1;
}

int BSAEncoder::EncodeSAPdu(BSAPdu& pdu) {
  if (!EncodeOctets(kTagOctets, SASNOctetStr{kMagic, sizeof kMagic})) return 0;
  int lengthPos = 0;
  if (!EncodeTypeFlagsAndReserve3OctetsForLength(pdu.type, pdu.flags, lengthPos)) return 0;
  // The unsigned header numbers travel as INTEGERs of their 32 bits.
  if (!EncodeInt(static_cast<int>(pdu.sessionId))) return 0;
  if (!EncodeInt(static_cast<int>(pdu.transactionId))) return 0;
  if (!EncodeInt(static_cast<int>(pdu.requestId))) return 0;
  if (pdu.type == SA_PDU_RESPONSE) {
    if (!EncodeInt(static_cast<int>(pdu.sysUpTime))) return 0;
    if (!EncodeInt(pdu.errorStatus)) return 0;
    if (!EncodeInt(pdu.errorIndex)) return 0;
  }
  if (!EncodeVarBindList(pdu.varBindList)) return 0;
  EncodeLengthInTwoOctetsAtPosition(lengthPos);
  return 1;
}

int BSAEncoder::CalculateLengthOfEncoding(const BVarBind& vb) {
  const int n = NumOctetsToEncodeObjectId(vb.name.View());
  switch (vb.value.Syntax()) {
    case ASN_INTEGER:
    case ASN_IPADDRESS:
      return n + 12;
    case ASN_OCTET_STRING:
    case ASN_OPAQUE:
      return n + 8 + static_cast<int>(vb.value.GetOctets().Length());
    case ASN_NULL:
    case ASN_NO_SUCH_OBJECT:
    case ASN_NO_SUCH_INSTANCE:
    case ASN_END_OF_MIB_VIEW:
      return n + 8;
    case ASN_OBJECT_ID:
      return n + 8 + NumOctetsToEncodeObjectId(vb.value.GetObjectId().View());
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
      return n + 13;
    case ASN_COUNTER64:
      return n + 16;
    default:
      return n + 6;
  }
}

int BSAEncoder::Append(char* data, unsigned n) {
  if (Room() < n) return 0;
  if (n > 0) std::memmove(m_data + position, data, n);
  position += n;
  return 1;
}

int BSAEncoder::Append(BSABuffer& other) {
  const unsigned n = other.Length();
  if (n > other.Capacity() || Room() < n) return 0;
  if (n > 0) std::memmove(m_data + position, other.Data(), n);
  position += n;
  return 1;
}

}  // namespace QVT
