// Element decoder. Every read is bounded by the end of the buffer's data;
// lengths found in the octets are checked against it before content is read.
#include "BSADecoder.h"

#include <climits>
#include <cstring>

#include "BSAWireTags.h"

namespace QVT {

namespace {

using namespace wire;
// The smallest varbind content: a one-octet OID (3 octets) and NULL (2).
constexpr int kMinVarBindContent = 5;

}  // namespace

BSADecoder::BSADecoder(BSABuffer& source)
    : buffer(&source),
      m_data(source.Data()),
      m_end(source.Length() < source.Capacity() ? source.Length() : source.Capacity()) {}

int BSADecoder::Fail(int code) {
  if (status == 0) status = code;
  return 0;
}

int BSADecoder::DecodeType(unsigned char tag) {
  if (Remaining() == 0) return Fail(SA_ERR_BAD_ENCODING);
  if (m_data[position++] != tag) return Fail(SA_ERR_WRONG_TAG);
  return 1;
}

int BSADecoder::DecodeLength(int& length) {
  if (Remaining() == 0) return Fail(SA_ERR_BAD_ENCODING);
  const unsigned char first = m_data[position++];
  if (first < 0x80) {
    length = first;
    return 1;
  }
  const unsigned octets = first & 0x7Fu;
  if (octets > 4 || octets > Remaining()) {
    length = -1;
    return Fail(SA_ERR_BAD_ENCODING);
  }
  uint32_t value = 0;
  for (unsigned i = 0; i < octets; ++i) value = (value << 8) | m_data[position++];
  // A four-octet length from 2^31 up lands negative; every caller rejects it.
  length = static_cast<int>(value);
  return 1;
}

int BSADecoder::DecodeTypeAndLength(unsigned char tag, int& length) {
  if (!DecodeType(tag)) return 0;
  if (!DecodeLength(length)) return 0;
  if (length < 0 || static_cast<unsigned>(length) > Remaining()) return Fail(SA_ERR_BAD_ENCODING);
  return 1;
}

int BSADecoder::DecodePduTypeAndFlags(unsigned char& type, unsigned char& flags) {
  if (Remaining() < 2) return Fail(SA_ERR_BAD_ENCODING);
  type = m_data[position++];
  flags = m_data[position++];
  return 1;
}

int BSADecoder::DecodeInt(int& value) {
  int length = 0;
  if (!DecodeType(kTagInteger)) return 0;
  if (!DecodeLength(length)) return 0;
  const auto n = static_cast<unsigned>(length);
  if (n < 1 || n > 4) return Fail(SA_ERR_BAD_ENCODING);
  if (n > Remaining()) return Fail(SA_ERR_BAD_VALUE);
  uint32_t bits = (m_data[position] & 0x80) != 0 ? 0xFFFFFFFFu : 0u;
  for (unsigned i = 0; i < n; ++i) bits = (bits << 8) | m_data[position++];
  value = static_cast<int>(bits);
  return 1;
}

int BSADecoder::DecodeUInt32(unsigned char tag, unsigned& value) {
  int length = 0;
  if (!DecodeType(tag)) return 0;
  if (!DecodeLength(length)) return 0;
  unsigned n = static_cast<unsigned>(length);
  if (n > 5) return Fail(SA_ERR_BAD_ENCODING);
  if (n > Remaining()) return Fail(SA_ERR_BAD_VALUE);
  if (n == 5) {
    if (m_data[position] != 0) return Fail(SA_ERR_BAD_VALUE);
    ++position;
    --n;
  }
  uint32_t bits = 0;
  for (unsigned i = 0; i < n; ++i) bits = (bits << 8) | m_data[position++];
  value = bits;
  return 1;
}

int BSADecoder::DecodeCtr64(BCounter64& value) {
  value = 0u;
  int length = 0;
  if (!DecodeType(ASN_COUNTER64)) return 0;
  if (!DecodeLength(length)) return 0;
  unsigned n = static_cast<unsigned>(length);
  if (n > 9) return Fail(SA_ERR_BAD_ENCODING);
  if (n > Remaining()) return Fail(SA_ERR_BAD_VALUE);
  if (n == 9) {
    if (m_data[position] != 0) return Fail(SA_ERR_BAD_VALUE);
    ++position;
    --n;
  }
  // The last four octets (or all, when fewer) are the low half.
  const unsigned highOctets = n > 4 ? n - 4 : 0;
  uint32_t high = 0;
  uint32_t low = 0;
  for (unsigned i = 0; i < highOctets; ++i) high = (high << 8) | m_data[position++];
  for (unsigned i = highOctets; i < n; ++i) low = (low << 8) | m_data[position++];
  value[0] = low;
  value[1] = high;
  return 1;
}

int BSADecoder::DecodeOctets(unsigned char tag, BOctetString& dest, bool mayGrow) {
  int length = 0;
  if (!DecodeTypeAndLength(tag, length)) return 0;
  if (length == 0) return 1;
  const auto n = static_cast<unsigned>(length);
  if (!mayGrow && dest.Capacity() < n) return Fail(SA_ERR_OCTETS_TOO_LONG);
  dest.Assign(n, m_data + position);
  position += n;
  return 1;
}

int BSADecoder::DecodeOctets(BString& text) {
  int length = 0;
  if (!DecodeTypeAndLength(kTagOctets, length)) return 0;
  if (length == 0) return 1;
  const auto n = static_cast<unsigned>(length);
  text.Init(reinterpret_cast<const char*>(m_data + position), n);
  position += n;
  return 1;
}

int BSADecoder::DecodeSingleOctet(unsigned char& octet) {
  int length = 0;
  if (!DecodeTypeAndLength(kTagOctets, length)) return 0;
  if (length != 1) return Fail(SA_ERR_BAD_ENCODING);
  octet = m_data[position++];
  return 1;
}

int BSADecoder::DecodeIpAddr(BIpAddress& address) {
  int length = 0;
  if (!DecodeType(ASN_IPADDRESS)) return 0;
  if (!DecodeLength(length)) return 0;
  if (length != 4) return Fail(SA_ERR_BAD_ENCODING);
  if (Remaining() < 4) return Fail(SA_ERR_BAD_VALUE);
  for (int i = 0; i < 4; ++i) address[i] = m_data[position++];
  return 1;
}

int BSADecoder::DecodeNull() {
  return DecodeV2Exception(ASN_NULL);
}

int BSADecoder::DecodeV2Exception(unsigned char tag) {
  int length = 0;
  if (!DecodeType(tag)) return 0;
  if (!DecodeLength(length)) return 0;
  if (length != 0) return Fail(SA_ERR_BAD_ENCODING);
  return 1;
}

int BSADecoder::DecodeObjectId(BObjectIdentifier& oid) {
  int length = 0;
  if (!DecodeType(ASN_OBJECT_ID)) return 0;
  if (!DecodeLength(length)) return 0;
  const auto n = static_cast<unsigned>(length);
  if (n < 1) return Fail(SA_ERR_BAD_ENCODING);
  if (n > Remaining()) return Fail(SA_ERR_BAD_VALUE);

  // Size the OID once: every octet without the continuation bit ends one
  // sub-identifier.
  const unsigned char* content = m_data + position;
  unsigned arcs = 2;
  for (unsigned i = 1; i < n; ++i) arcs += (content[i] & 0x80) == 0 ? 1 : 0;
  oid.Clear();
  oid.SetLength(arcs);
  oid[0] = content[0] / 40u;
  oid[1] = content[0] % 40u;
  ++position;

  unsigned consumed = 1;
  unsigned arc = 2;
  while (consumed < n) {
    uint32_t value = 0;
    for (unsigned octetNo = 1;; ++octetNo) {
      if (consumed == n) {  // the sub-identifier runs past the content
        oid.SetLength(arc);
        return Fail(SA_ERR_BAD_VALUE);
      }
      const unsigned char octet = m_data[position++];
      ++consumed;
      // A fifth octet must end the sub-identifier and keep it within 32 bits.
      if (octetNo == 5 && (value >= 0x2000000u || (octet & 0x80) != 0)) {
        oid.SetLength(arc);
        return Fail(SA_ERR_BAD_VALUE);
      }
      value = (value << 7) | (octet & 0x7Fu);
      if ((octet & 0x80) == 0) break;
    }
    oid[arc++] = value;
  }
  return 1;
}

int BSADecoder::DecodeValue(BObjectSyntax& value) {
  if (Remaining() == 0) return Fail(SA_ERR_BAD_ENCODING);
  const unsigned char tag = m_data[position];
  value.SetSyntax(tag);
  switch (tag) {
    case ASN_INTEGER: {
      int number = 0;
      if (!DecodeInt(number)) return 0;
      value.Number() = static_cast<uint32_t>(number);
      return 1;
    }
    case ASN_OCTET_STRING:
    case ASN_OPAQUE:
      return DecodeOctets(tag, value.Octets(), true);
    case ASN_NULL:
      return DecodeNull();
    case ASN_OBJECT_ID:
      return DecodeObjectId(value.ObjectId());
    case ASN_IPADDRESS:
      return DecodeIpAddr(value.IpAddress());
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
      return DecodeUInt32(tag, value.Number());
    case ASN_COUNTER64:
      return DecodeCtr64(value.Counter64());
    case ASN_NO_SUCH_OBJECT:
    case ASN_NO_SUCH_INSTANCE:
    case ASN_END_OF_MIB_VIEW:
      return DecodeV2Exception(tag);
    default:
      return Fail(SA_ERR_WRONG_TAG);
  }
}

int BSADecoder::DecodeVarBind(BVarBind& vb, int end) {
  int length = 0;
  if (!DecodeTypeAndLength(kTagSequence, length)) return 0;
  const unsigned vbEnd = position + static_cast<unsigned>(length);
  if (length < kMinVarBindContent || int64_t{vbEnd} > end) return Fail(SA_ERR_BAD_ENCODING);
  if (!DecodeObjectId(vb.name)) return 0;
  if (!DecodeValue(vb.value)) return 0;
  if (position < vbEnd) position = vbEnd;
  return 1;
}

int BSADecoder::DecodeVarBindList(BVarBindList& list, int end) {
  int length = 0;
  if (!DecodeTypeAndLength(kTagSequence, length)) return 0;
  if (int64_t{position} + length != end) return Fail(SA_ERR_BAD_ENCODING);
  const auto listEnd = static_cast<unsigned>(end);

  // Size the list once: hop over the varbind headers to count them. This is
  // only a capacity hint; the varbinds are checked one by one below.
  int count = 0;
  for (uint64_t p = position; p + 2 <= listEnd && m_data[p] == kTagSequence;) {
    uint64_t header = 2;
    uint64_t content = m_data[p + 1];
    if (content >= 0x80) {
      const unsigned octets = m_data[p + 1] & 0x7Fu;
      if (octets > 4 || p + 2 + octets > listEnd) break;
      content = 0;
      for (unsigned i = 0; i < octets; ++i) content = (content << 8) | m_data[p + 2 + i];
      header += octets;
    }
    p += header + content;
    ++count;
  }
  list.Reserve(list.Count() + count);

  while (position < listEnd) {
    BVarBind& vb = list.AppendNew();
    if (!DecodeVarBind(vb, end)) {
      list.RemoveAt(list.Count() - 1);
      return 0;
    }
  }
  return 1;
}

int BSADecoder::DecodeSAPdu(BSAPdu& pdu) {
  int length = 0;
  if (!DecodeTypeAndLength(kTagOctets, length)) return 0;
  if (length != sizeof kMagic || std::memcmp(m_data + position, kMagic, sizeof kMagic) != 0) {
    position += static_cast<unsigned>(length);
    return Fail(SA_ERR_BAD_MAGIC);
  }
  position += sizeof kMagic;
  if (!DecodePduTypeAndFlags(pdu.type, pdu.flags)) return 0;
  if (!DecodeLength(length)) return 0;
  // Any length form is accepted here; the varbind list must end exactly
  // where this length says the PDU ends.
  const int64_t pduEnd = int64_t{position} + static_cast<unsigned>(length);
  const int end = pduEnd > INT_MAX ? INT_MAX : static_cast<int>(pduEnd);

  int number = 0;
  if (!DecodeInt(number)) return 0;
  pdu.sessionId = static_cast<uint32_t>(number);
  if (!DecodeInt(number)) return 0;
  pdu.transactionId = static_cast<uint32_t>(number);
  if (!DecodeInt(number)) return 0;
  pdu.requestId = static_cast<uint32_t>(number);
  if (pdu.type == SA_PDU_RESPONSE) {
    if (!DecodeInt(number)) return 0;
    pdu.sysUpTime = static_cast<uint32_t>(number);
    if (!DecodeInt(number)) return 0;
    pdu.errorStatus = number;
    if (!DecodeInt(number)) return 0;
    pdu.errorIndex = number;
  }
  return DecodeVarBindList(pdu.varBindList, end);
}

}  // namespace QVT
