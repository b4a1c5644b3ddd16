// BSnmpMessage: decoding is a ladder of early exits, one per field, each
// returning the status of the field it stopped at; encoding first sizes
// every constructed element, checks the total against the limit and then
// writes forward without further checks.
#include "BSnmpMessage.h"

#include <cassert>

#include "BSnmpBer.h"

namespace QVT {

const char* QVSnmpCodecStatusText(ESnmpCodecStatus status) {
  switch (status) {
    case SNMP_CODEC_OK:
      return "ok";
    case SNMP_CODEC_TRUNCATED:
      return "truncated";
    case SNMP_CODEC_INDEFINITE_LENGTH:
      return "indefinite length";
    case SNMP_CODEC_BAD_LENGTH:
      return "bad length";
    case SNMP_CODEC_WRONG_TAG:
      return "wrong tag";
    case SNMP_CODEC_BAD_INTEGER:
      return "bad integer";
    case SNMP_CODEC_BAD_OID:
      return "bad object identifier";
    case SNMP_CODEC_BAD_NULL:
      return "bad null";
    case SNMP_CODEC_BAD_IPADDRESS:
      return "bad IpAddress";
    case SNMP_CODEC_BAD_VALUE_TAG:
      return "bad value tag";
    case SNMP_CODEC_BAD_VERSION:
      return "bad version";
    case SNMP_CODEC_BAD_PDU_TYPE:
      return "bad PDU type";
    case SNMP_CODEC_TRAILING_DATA:
      return "trailing data";
    case SNMP_CODEC_TOO_BIG:
      return "too big";
    case SNMP_CODEC_BAD_FIELD:
      return "bad field";
    case SNMP_CODEC_BAD_FLAGS:
      return "bad message flags";
    case SNMP_CODEC_BAD_SECURITY_MODEL:
      return "unknown security model";
    case SNMP_CODEC_BAD_HEADER_VALUE:
      return "header value out of range";
  }
  return "unknown status";
}

bool QVSnmpPduAllowed(int version, unsigned char type) {
  switch (type) {
    case SNMP_PDU_GET:
    case SNMP_PDU_GET_NEXT:
    case SNMP_PDU_RESPONSE:
    case SNMP_PDU_SET:
      return version == SNMP_VERSION_1 || version == SNMP_VERSION_2C || version == SNMP_VERSION_3;
    case SNMP_PDU_TRAP_V1:
      return version == SNMP_VERSION_1;
    case SNMP_PDU_GET_BULK:
    case SNMP_PDU_INFORM:
    case SNMP_PDU_TRAP_V2:
    case SNMP_PDU_REPORT:
      return version == SNMP_VERSION_2C || version == SNMP_VERSION_3;
  }
  return false;
}

namespace {

// Reads one varbind value; `content` is the value's content.
ESnmpCodecStatus DecodeValue(unsigned char tag, BBerReader& content, BObjectSyntax& value) {
  switch (tag) {
    case ASN_INTEGER: {
      int32_t v = 0;
      const ESnmpCodecStatus status = content.DecodeInt32(v);
      if (status != SNMP_CODEC_OK) return status;
      value.SetInt(v);
      return SNMP_CODEC_OK;
    }
    case ASN_OCTET_STRING:
    case ASN_OPAQUE:
      value.SetOctets(static_cast<unsigned>(content.Remaining()), content.Position(), static_cast<EAsnSyntax>(tag));
      return SNMP_CODEC_OK;
    case ASN_NULL:
    case ASN_NO_SUCH_OBJECT:
    case ASN_NO_SUCH_INSTANCE:
    case ASN_END_OF_MIB_VIEW:
      if (!content.AtEnd()) return SNMP_CODEC_BAD_NULL;
      value.SetSyntax(tag);
      return SNMP_CODEC_OK;
    case ASN_OBJECT_ID: {
      const ESnmpCodecStatus status = content.DecodeOid(value.ObjectId());
      if (status != SNMP_CODEC_OK) return status;
      value.SetSyntax(ASN_OBJECT_ID);
      return SNMP_CODEC_OK;
    }
    case ASN_IPADDRESS: {
      if (content.Remaining() != 4) return SNMP_CODEC_BAD_IPADDRESS;
      const unsigned char* p = content.Position();
      value.SetIpAddress(BIpAddress(p[0], p[1], p[2], p[3]));
      return SNMP_CODEC_OK;
    }
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS: {
      uint64_t v = 0;
      const ESnmpCodecStatus status = content.DecodeUnsigned(v, 32);
      if (status != SNMP_CODEC_OK) return status;
      value.SetUnsigned(static_cast<EAsnSyntax>(tag), static_cast<uint32_t>(v));
      return SNMP_CODEC_OK;
    }
    case ASN_COUNTER64: {
      uint64_t v = 0;
      const ESnmpCodecStatus status = content.DecodeUnsigned(v, 64);
      if (status != SNMP_CODEC_OK) return status;
      value.SetCounter64(v);
      return SNMP_CODEC_OK;
    }
    default:
      return SNMP_CODEC_BAD_VALUE_TAG;
  }
}

ESnmpCodecStatus DecodeVarBind(BBerReader& list, BVarBind& vb) {
  BBerReader seq(nullptr, 0);
  ESnmpCodecStatus status = list.Expect(ASN_SEQUENCE, seq);
  if (status != SNMP_CODEC_OK) return status;
  BBerReader name(nullptr, 0);
  if ((status = seq.Expect(ASN_OBJECT_ID, name)) != SNMP_CODEC_OK) return status;
  if ((status = name.DecodeOid(vb.name)) != SNMP_CODEC_OK) return status;
  unsigned char tag = 0;
  BBerReader value(nullptr, 0);
  if ((status = seq.ReadElement(tag, value)) != SNMP_CODEC_OK) return status;
  if ((status = DecodeValue(tag, value, vb.value)) != SNMP_CODEC_OK) return status;
  return seq.AtEnd() ? SNMP_CODEC_OK : SNMP_CODEC_TRAILING_DATA;
}

// Decodes the varbinds into `list`, reusing the entries it already holds.
ESnmpCodecStatus DecodeVarBindList(BBerReader& pdu, BVarBindList& list) {
  BBerReader seq(nullptr, 0);
  const ESnmpCodecStatus status = pdu.Expect(ASN_SEQUENCE, seq);
  if (status != SNMP_CODEC_OK) return status;
  int count = 0;
  while (!seq.AtEnd()) {
    BVarBind& vb = count < list.Count() ? list[count] : list.AppendNew();
    ++count;
    const ESnmpCodecStatus vbStatus = DecodeVarBind(seq, vb);
    if (vbStatus != SNMP_CODEC_OK) return vbStatus;
  }
  list.Truncate(count);
  return SNMP_CODEC_OK;
}

ESnmpCodecStatus DecodeInt32Field(BBerReader& r, int32_t& value) {
  BBerReader content(nullptr, 0);
  const ESnmpCodecStatus status = r.Expect(ASN_INTEGER, content);
  if (status != SNMP_CODEC_OK) return status;
  return content.DecodeInt32(value);
}

size_t ValueContentSize(const BObjectSyntax& value) {
  switch (value.Syntax()) {
    case ASN_INTEGER:
      return ber::IntSize(value.GetInt());
    case ASN_OCTET_STRING:
    case ASN_OPAQUE:
      return value.GetOctets().View().length;
    case ASN_NULL:
    case ASN_NO_SUCH_OBJECT:
    case ASN_NO_SUCH_INSTANCE:
    case ASN_END_OF_MIB_VIEW:
      return 0;
    case ASN_OBJECT_ID:
      return ber::OidContentSize(value.GetObjectId());
    case ASN_IPADDRESS:
      return 4;
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
      return ber::UnsignedSize(value.GetUnsigned());
    case ASN_COUNTER64:
      return ber::UnsignedSize(value.GetCounter64().Value());
    default:
      return SIZE_MAX;
  }
}

void EncodeValue(BBerWriter& w, const BObjectSyntax& value) {
  const unsigned char tag = value.Syntax();
  switch (tag) {
    case ASN_INTEGER:
      w.Int32(tag, value.GetInt());
      return;
    case ASN_OCTET_STRING:
    case ASN_OPAQUE: {
      const SASNOctetStr view = value.GetOctets().View();
      w.Octets(tag, view.data, view.length);
      return;
    }
    case ASN_OBJECT_ID:
      w.Oid(value.GetObjectId(), ber::OidContentSize(value.GetObjectId()));
      return;
    case ASN_IPADDRESS:
      w.Octets(tag, value.GetIpAddress().Data(), 4);
      return;
    case ASN_COUNTER32:
    case ASN_GAUGE32:
    case ASN_TIMETICKS:
      w.Unsigned(tag, value.GetUnsigned());
      return;
    case ASN_COUNTER64:
      w.Unsigned(tag, value.GetCounter64().Value());
      return;
    default:
      w.Header(tag, 0);
      return;  // NULL and the exceptions
  }
}

// Content size of a varbind's SEQUENCE; 0 when it has no encoding.
size_t VarBindContentSize(const BVarBind& vb) {
  const size_t name = ber::OidContentSize(vb.name);
  if (name == 0) return 0;
  const size_t value = ValueContentSize(vb.value);
  if (value == SIZE_MAX) return 0;
  if (vb.value.Syntax() == ASN_OBJECT_ID && value == 0) return 0;
  return ber::ElementSize(name) + ber::ElementSize(value);
}

}  // namespace

ESnmpCodecStatus BSnmpMessage::Decode(const unsigned char* data, size_t length) {
  BBerReader datagram(data, length);
  BBerReader message(nullptr, 0);
  ESnmpCodecStatus status = datagram.Expect(ASN_SEQUENCE, message);
  if (status != SNMP_CODEC_OK) return status;
  if (!datagram.AtEnd()) return SNMP_CODEC_TRAILING_DATA;

  int32_t v = 0;
  if ((status = DecodeInt32Field(message, v)) != SNMP_CODEC_OK) return status;
  version = v;
  if (v != SNMP_VERSION_1 && v != SNMP_VERSION_2C) return SNMP_CODEC_BAD_VERSION;

  BBerReader text(nullptr, 0);
  if ((status = message.Expect(ASN_OCTET_STRING, text)) != SNMP_CODEC_OK) return status;
  community.Assign(static_cast<unsigned>(text.Remaining()), text.Position());

  return DecodePduElement(message);
}

ESnmpCodecStatus BSnmpMessage::DecodePdu(const unsigned char* data, size_t length) {
  BBerReader element(data, length);
  return DecodePduElement(element);
}

// Reads the PDU element, which must end `message`.
ESnmpCodecStatus BSnmpMessage::DecodePduElement(BBerReader& message) {
  ESnmpCodecStatus status = SNMP_CODEC_OK;
  unsigned char tag = 0;
  BBerReader pdu(nullptr, 0);
  if ((status = message.ReadElement(tag, pdu)) != SNMP_CODEC_OK) return status;
  if (tag < SNMP_PDU_GET || tag > SNMP_PDU_REPORT) return SNMP_CODEC_WRONG_TAG;
  if (!QVSnmpPduAllowed(version, tag)) return SNMP_CODEC_BAD_PDU_TYPE;
  pduType = tag;
  if (!message.AtEnd()) return SNMP_CODEC_TRAILING_DATA;

  if (pduType == SNMP_PDU_TRAP_V1) {
    BBerReader field(nullptr, 0);
    if ((status = pdu.Expect(ASN_OBJECT_ID, field)) != SNMP_CODEC_OK) return status;
    if ((status = field.DecodeOid(enterprise)) != SNMP_CODEC_OK) return status;
    if ((status = pdu.Expect(ASN_IPADDRESS, field)) != SNMP_CODEC_OK) return status;
    if (field.Remaining() != 4) return SNMP_CODEC_BAD_IPADDRESS;
    const unsigned char* p = field.Position();
    agentAddress = BIpAddress(p[0], p[1], p[2], p[3]);
    if ((status = DecodeInt32Field(pdu, genericTrap)) != SNMP_CODEC_OK) return status;
    if ((status = DecodeInt32Field(pdu, specificTrap)) != SNMP_CODEC_OK) return status;
    if ((status = pdu.Expect(ASN_TIMETICKS, field)) != SNMP_CODEC_OK) return status;
    uint64_t ticks = 0;
    if ((status = field.DecodeUnsigned(ticks, 32)) != SNMP_CODEC_OK) return status;
    timeStamp = static_cast<uint32_t>(ticks);
  } else {
    if ((status = DecodeInt32Field(pdu, requestId)) != SNMP_CODEC_OK) return status;
    if ((status = DecodeInt32Field(pdu, errorStatus)) != SNMP_CODEC_OK) return status;
    if ((status = DecodeInt32Field(pdu, errorIndex)) != SNMP_CODEC_OK) return status;
  }
  if ((status = DecodeVarBindList(pdu, varBinds)) != SNMP_CODEC_OK) return status;
  return pdu.AtEnd() ? SNMP_CODEC_OK : SNMP_CODEC_TRAILING_DATA;
}

size_t BSnmpMessage::VarBindSize(const BVarBind& varbind) {
  const size_t content = VarBindContentSize(varbind);
  return content == 0 ? 0 : ber::ElementSize(content);
}

size_t BSnmpMessage::PduHeaderContentSize() const {
  if (pduType == SNMP_PDU_TRAP_V1) {
    const size_t oid = ber::OidContentSize(enterprise);
    if (oid == 0) return 0;
    return ber::ElementSize(oid) + ber::ElementSize(4) + ber::ElementSize(ber::IntSize(genericTrap)) +
           ber::ElementSize(ber::IntSize(specificTrap)) + ber::ElementSize(ber::UnsignedSize(timeStamp));
  }
  return ber::ElementSize(ber::IntSize(requestId)) + ber::ElementSize(ber::IntSize(errorStatus)) +
         ber::ElementSize(ber::IntSize(errorIndex));
}

size_t BSnmpMessage::SizeWithVarBindBytes(size_t varBindBytes) const {
  if (!QVSnmpPduAllowed(version, pduType)) return 0;
  const size_t header = PduHeaderContentSize();
  if (header == 0) return 0;
  const size_t pdu = header + ber::ElementSize(varBindBytes);
  const size_t message =
      ber::ElementSize(ber::IntSize(version)) + ber::ElementSize(community.View().length) + ber::ElementSize(pdu);
  return ber::ElementSize(message);
}

size_t BSnmpMessage::EncodedSize() const {
  size_t bytes = 0;
  for (const BVarBind& vb : varBinds) {
    const size_t size = VarBindSize(vb);
    if (size == 0) return 0;
    bytes += size;
  }
  return SizeWithVarBindBytes(bytes);
}

size_t BSnmpMessage::PduSizeWithVarBindBytes(size_t varBindBytes) const {
  if (!QVSnmpPduAllowed(version, pduType)) return 0;
  const size_t header = PduHeaderContentSize();
  if (header == 0) return 0;
  return ber::ElementSize(header + ber::ElementSize(varBindBytes));
}

size_t BSnmpMessage::PduSize() const {
  size_t sizes[kSizeCache];
  const size_t bytes = VarBindBytes(sizes);
  return bytes == 0 ? 0 : PduSizeWithVarBindBytes(bytes - 1);
}

size_t BSnmpMessage::VarBindBytes(size_t* sizes) const {
  size_t vbBytes = 0;
  for (int i = 0; i < varBinds.Count(); ++i) {
    const size_t content = VarBindContentSize(varBinds[i]);
    if (content == 0) return 0;
    if (i < kSizeCache) sizes[i] = content;
    vbBytes += ber::ElementSize(content);
  }
  return vbBytes + 1;
}

void BSnmpMessage::WritePdu(BBerWriter& w, size_t pduContent, size_t vbBytes, const size_t* sizes) const {
  w.Header(pduType, pduContent);
  if (pduType == SNMP_PDU_TRAP_V1) {
    w.Oid(enterprise, ber::OidContentSize(enterprise));
    w.Octets(ASN_IPADDRESS, agentAddress.Data(), 4);
    w.Int32(ASN_INTEGER, genericTrap);
    w.Int32(ASN_INTEGER, specificTrap);
    w.Unsigned(ASN_TIMETICKS, timeStamp);
  } else {
    w.Int32(ASN_INTEGER, requestId);
    w.Int32(ASN_INTEGER, errorStatus);
    w.Int32(ASN_INTEGER, errorIndex);
  }
  w.Header(ASN_SEQUENCE, vbBytes);
  for (int i = 0; i < varBinds.Count(); ++i) {
    const BVarBind& vb = varBinds[i];
    const size_t content = i < kSizeCache ? sizes[i] : VarBindContentSize(vb);
    w.Header(ASN_SEQUENCE, content);
    w.Oid(vb.name, ber::OidContentSize(vb.name));
    EncodeValue(w, vb.value);
  }
}

ESnmpCodecStatus BSnmpMessage::EncodePdu(unsigned char* buffer, size_t limit, size_t& length) const {
  size_t sizes[kSizeCache];
  const size_t counted = VarBindBytes(sizes);
  if (counted == 0) return SNMP_CODEC_BAD_FIELD;
  const size_t vbBytes = counted - 1;
  const size_t total = PduSizeWithVarBindBytes(vbBytes);
  if (total == 0) return SNMP_CODEC_BAD_FIELD;
  length = total;
  if (total > limit) return SNMP_CODEC_TOO_BIG;
  BBerWriter w(buffer);
  WritePdu(w, PduHeaderContentSize() + ber::ElementSize(vbBytes), vbBytes, sizes);
  assert(static_cast<size_t>(w.Position() - buffer) == total);
  return SNMP_CODEC_OK;
}

ESnmpCodecStatus BSnmpMessage::Encode(unsigned char* buffer, size_t limit, size_t& length) const {
  // The content sizes of the first varbinds are kept for the writing pass.
  size_t sizes[kSizeCache];
  const size_t counted = VarBindBytes(sizes);
  if (counted == 0) return SNMP_CODEC_BAD_FIELD;
  const size_t vbBytes = counted - 1;
  const size_t total = SizeWithVarBindBytes(vbBytes);
  if (total == 0) return SNMP_CODEC_BAD_FIELD;
  length = total;
  if (total > limit) return SNMP_CODEC_TOO_BIG;

  const size_t pduContent = PduHeaderContentSize() + ber::ElementSize(vbBytes);
  const SASNOctetStr text = community.View();
  const size_t messageContent =
      ber::ElementSize(ber::IntSize(version)) + ber::ElementSize(text.length) + ber::ElementSize(pduContent);

  BBerWriter w(buffer);
  w.Header(ASN_SEQUENCE, messageContent);
  w.Int32(ASN_INTEGER, version);
  w.Octets(ASN_OCTET_STRING, text.data, text.length);
  WritePdu(w, pduContent, vbBytes, sizes);
  assert(static_cast<size_t>(w.Position() - buffer) == total);
  return SNMP_CODEC_OK;
}

}  // namespace QVT
