// Element decoder. Every read is bounded by the end of the buffer's data;
// lengths found in the octets are checked against it before content is read.
#include "BSADecoder.h"

#include <climits>
#include <cstring>

#include "BBer.h"
#include "BSAWireTags.h"

namespace QVT {

namespace {

using namespace wire;
using ber::EBerForms;
using ber::EBerStatus;
// The smallest varbind content: a one-octet OID (3 octets) and NULL (2).
constexpr int kMinVarBindContent = 5;
// The wire keeps the forms it has always taken (see EBerForms).
constexpr EBerForms kWireForms = EBerForms::Tolerant;

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
  const unsigned char* p = Cursor();
  size_t value = 0;
  if (ber::ReadLength(p, End(), value, kWireForms) != EBerStatus::Ok) {
    length = -1;
    return Fail(SA_ERR_BAD_ENCODING);
  }
  MoveTo(p);
  // A four-octet length from 2^31 up lands negative; every caller rejects it.
  length = static_cast<int>(static_cast<uint32_t>(value));
  return 1;
}

int BSADecoder::DecodeTypeAndLength(unsigned char tag, int& length) {
  if (!DecodeType(tag)) return 0;
  const unsigned char* p = Cursor();
  size_t value = 0;
  if (ber::ReadContentLength(p, End(), value, kWireForms) != EBerStatus::Ok) return Fail(SA_ERR_BAD_ENCODING);
  MoveTo(p);
  length = static_cast<int>(value);
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
  const unsigned char* p = Cursor();
  int32_t number = 0;
  switch (ber::ReadInt32(p, End(), static_cast<unsigned>(length), number)) {
    case EBerStatus::Ok:
      break;
    case EBerStatus::Truncated:
      return Fail(SA_ERR_BAD_VALUE);
    default:
      return Fail(SA_ERR_BAD_ENCODING);
  }
  MoveTo(p);
  value = number;
  return 1;
}

int BSADecoder::DecodeUInt32(unsigned char tag, unsigned& value) {
  int length = 0;
  if (!DecodeType(tag)) return 0;
  if (!DecodeLength(length)) return 0;
  uint64_t number = 0;
  if (!ReadUnsigned(static_cast<unsigned>(length), 32, number)) return 0;
  value = static_cast<unsigned>(number);
  return 1;
}

int BSADecoder::DecodeCtr64(BCounter64& value) {
  value = 0u;
  int length = 0;
  if (!DecodeType(ASN_COUNTER64)) return 0;
  if (!DecodeLength(length)) return 0;
  uint64_t number = 0;
  if (!ReadUnsigned(static_cast<unsigned>(length), 64, number)) return 0;
  value[0] = static_cast<uint32_t>(number);
  value[1] = static_cast<uint32_t>(number >> 32);
  return 1;
}

int BSADecoder::ReadUnsigned(unsigned n, unsigned bits, uint64_t& value) {
  const unsigned char* p = Cursor();
  switch (ber::ReadUnsigned(p, End(), n, bits, value, kWireForms)) {
    case EBerStatus::Ok:
      MoveTo(p);
      return 1;
    case EBerStatus::TooLong:
      return Fail(SA_ERR_BAD_ENCODING);
    default:
      return Fail(SA_ERR_BAD_VALUE);
  }
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
  // sub-identifier. The first octet alone holds the first two arcs.
  const unsigned char* p = Cursor();
  const unsigned char* const end = p + n;
  unsigned arcs = 2;
  for (unsigned i = 1; i < n; ++i) arcs += (p[i] & 0x80) == 0 ? 1 : 0;
  oid.Clear();
  oid.SetLength(arcs);
  oid[0] = p[0] / 40u;
  oid[1] = p[0] % 40u;
  ++p;

  unsigned arc = 2;
  while (p != end) {
    uint32_t value = 0;
    if (ber::ReadSubId(p, end, value, kWireForms) != EBerStatus::Ok) {
      oid.SetLength(arc);
      MoveTo(p);
      return Fail(SA_ERR_BAD_VALUE);
    }
    oid[arc++] = value;
  }
  MoveTo(end);
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
  const unsigned char* const stop = m_data + listEnd;
  for (const unsigned char* p = Cursor(); stop - p >= 2 && *p == kTagSequence; ++count) {
    size_t content = 0;
    ++p;
    if (ber::ReadContentLength(p, stop, content, kWireForms) != EBerStatus::Ok) break;
    p += content;
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
