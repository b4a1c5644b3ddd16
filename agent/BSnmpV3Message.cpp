// BSnmpV3Message: the same ladder of early exits as BSnmpMessage, one per
// field; encoding sizes every element first and then writes forward.
#include "BSnmpV3Message.h"

#include <cassert>
#include <cstring>

#include "BSnmpBer.h"

namespace QVT {

namespace {

ESnmpCodecStatus ReadInt(BBerReader& r, int32_t& value) {
  BBerReader content(nullptr, 0);
  const ESnmpCodecStatus status = r.Expect(ASN_INTEGER, content);
  if (status != SNMP_CODEC_OK) return status;
  return content.DecodeInt32(value);
}

// An INTEGER (min..2147483647).
ESnmpCodecStatus ReadRanged(BBerReader& r, int32_t min, int32_t& value) {
  const ESnmpCodecStatus status = ReadInt(r, value);
  if (status != SNMP_CODEC_OK) return status;
  return value < min ? SNMP_CODEC_BAD_HEADER_VALUE : SNMP_CODEC_OK;
}

ESnmpCodecStatus ReadOctets(BBerReader& r, BOctetString& value, size_t maxLength = SIZE_MAX) {
  BBerReader content(nullptr, 0);
  const ESnmpCodecStatus status = r.Expect(ASN_OCTET_STRING, content);
  if (status != SNMP_CODEC_OK) return status;
  if (content.Remaining() > maxLength) return SNMP_CODEC_BAD_HEADER_VALUE;
  value.Assign(static_cast<unsigned>(content.Remaining()), content.Position());
  return SNMP_CODEC_OK;
}

size_t OctetsSize(const BOctetString& s) {
  return ber::ElementSize(s.View().length);
}

void WriteOctets(BBerWriter& w, const BOctetString& s) {
  const SASNOctetStr view = s.View();
  w.Octets(ASN_OCTET_STRING, view.data, view.length);
}

}  // namespace

ESnmpCodecStatus BSnmpV3Message::Decode(const unsigned char* data, size_t length) {
  m_pScoped = nullptr;
  m_scopedLength = 0;
  BBerReader datagram(data, length);
  BBerReader message(nullptr, 0);
  ESnmpCodecStatus status = datagram.Expect(ASN_SEQUENCE, message);
  if (status != SNMP_CODEC_OK) return status;
  if (!datagram.AtEnd()) return SNMP_CODEC_TRAILING_DATA;

  int32_t version = 0;
  if ((status = ReadInt(message, version)) != SNMP_CODEC_OK) return status;
  if (version != SNMP_VERSION_3) return SNMP_CODEC_BAD_VERSION;

  BBerReader global(nullptr, 0);
  if ((status = message.Expect(ASN_SEQUENCE, global)) != SNMP_CODEC_OK) return status;
  if ((status = ReadRanged(global, 0, msgId)) != SNMP_CODEC_OK) return status;
  if ((status = ReadRanged(global, kMinMaxSize, maxSize)) != SNMP_CODEC_OK) return status;
  BBerReader flagOctets(nullptr, 0);
  if ((status = global.Expect(ASN_OCTET_STRING, flagOctets)) != SNMP_CODEC_OK) return status;
  if ((status = ReadRanged(global, 1, securityModel)) != SNMP_CODEC_OK) return status;
  if (!global.AtEnd()) return SNMP_CODEC_TRAILING_DATA;
  if (flagOctets.Remaining() != 1) return SNMP_CODEC_BAD_FLAGS;
  flags = *flagOctets.Position();
  if ((flags & SNMP_V3_FLAG_PRIV) != 0 && (flags & SNMP_V3_FLAG_AUTH) == 0) return SNMP_CODEC_BAD_FLAGS;
  if (securityModel != kSnmpSecurityModelUsm) return SNMP_CODEC_BAD_SECURITY_MODEL;

  BBerReader wrapped(nullptr, 0);
  if ((status = message.Expect(ASN_OCTET_STRING, wrapped)) != SNMP_CODEC_OK) return status;
  BBerReader usm(nullptr, 0);
  if ((status = wrapped.Expect(ASN_SEQUENCE, usm)) != SNMP_CODEC_OK) return status;
  if (!wrapped.AtEnd()) return SNMP_CODEC_TRAILING_DATA;
  if ((status = ReadOctets(usm, engineId, kMaxEngineIdLength)) != SNMP_CODEC_OK) return status;
  if ((status = ReadRanged(usm, 0, engineBoots)) != SNMP_CODEC_OK) return status;
  if ((status = ReadRanged(usm, 0, engineTime)) != SNMP_CODEC_OK) return status;
  if ((status = ReadOctets(usm, userName, kMaxUserNameLength)) != SNMP_CODEC_OK) return status;
  BBerReader auth(nullptr, 0);
  if ((status = usm.Expect(ASN_OCTET_STRING, auth)) != SNMP_CODEC_OK) return status;
  authParameters.Assign(static_cast<unsigned>(auth.Remaining()), auth.Position());
  m_authOffset = static_cast<size_t>(auth.Position() - data);
  if ((status = ReadOctets(usm, privParameters)) != SNMP_CODEC_OK) return status;
  if (!usm.AtEnd()) return SNMP_CODEC_TRAILING_DATA;

  const unsigned char* scopedStart = message.Position();
  unsigned char tag = 0;
  BBerReader scoped(nullptr, 0);
  if ((status = message.ReadElement(tag, scoped)) != SNMP_CODEC_OK) return status;
  if (!message.AtEnd()) return SNMP_CODEC_TRAILING_DATA;
  if ((flags & SNMP_V3_FLAG_PRIV) != 0) {
    if (tag != ASN_OCTET_STRING) return SNMP_CODEC_WRONG_TAG;
    m_pScoped = scoped.Position();
    m_scopedLength = scoped.Remaining();
  } else {
    if (tag != ASN_SEQUENCE) return SNMP_CODEC_WRONG_TAG;
    m_pScoped = scopedStart;
    m_scopedLength = static_cast<size_t>(message.Position() - scopedStart);
  }
  return SNMP_CODEC_OK;
}

ESnmpCodecStatus BSnmpV3Message::DecodeScopedPdu(const unsigned char* data, size_t length, BSnmpMessage& into) {
  BBerReader outer(data, length);
  BBerReader scoped(nullptr, 0);
  ESnmpCodecStatus status = outer.Expect(ASN_SEQUENCE, scoped);
  if (status != SNMP_CODEC_OK) return status;
  if (!outer.AtEnd()) return SNMP_CODEC_TRAILING_DATA;
  if ((status = ReadOctets(scoped, contextEngineId, kMaxEngineIdLength)) != SNMP_CODEC_OK) return status;
  if ((status = ReadOctets(scoped, contextName, kMaxUserNameLength)) != SNMP_CODEC_OK) return status;
  into.version = SNMP_VERSION_3;
  return into.DecodePdu(scoped.Position(), scoped.Remaining());
}

size_t BSnmpV3Message::ScopedPduSizeWithPdu(size_t pduSize) const {
  return ber::ElementSize(OctetsSize(contextEngineId) + OctetsSize(contextName) + pduSize);
}

size_t BSnmpV3Message::ScopedPduSize() const {
  if (pdu.version != SNMP_VERSION_3) return 0;
  const size_t pduSize = pdu.PduSize();
  return pduSize == 0 ? 0 : ScopedPduSizeWithPdu(pduSize);
}

ESnmpCodecStatus BSnmpV3Message::EncodeScopedPdu(const BSnmpMessage& from, unsigned char* buffer, size_t limit,
                                                 size_t& length) const {
  if (from.version != SNMP_VERSION_3) return SNMP_CODEC_BAD_FIELD;
  const size_t pduSize = from.PduSize();
  if (pduSize == 0) return SNMP_CODEC_BAD_FIELD;
  const size_t total = ScopedPduSizeWithPdu(pduSize);
  length = total;
  if (total > limit) return SNMP_CODEC_TOO_BIG;
  BBerWriter w(buffer);
  w.Header(ASN_SEQUENCE, OctetsSize(contextEngineId) + OctetsSize(contextName) + pduSize);
  WriteOctets(w, contextEngineId);
  WriteOctets(w, contextName);
  size_t written = 0;
  const ESnmpCodecStatus status = from.EncodePdu(w.Position(), pduSize, written);
  assert(status == SNMP_CODEC_OK && written == pduSize);
  (void)status;
  return SNMP_CODEC_OK;
}

size_t BSnmpV3Message::GlobalDataContentSize() const {
  return ber::ElementSize(ber::IntSize(msgId)) + ber::ElementSize(ber::IntSize(maxSize)) + ber::ElementSize(1) +
         ber::ElementSize(ber::IntSize(securityModel));
}

size_t BSnmpV3Message::UsmContentSize() const {
  return OctetsSize(engineId) + ber::ElementSize(ber::IntSize(engineBoots)) +
         ber::ElementSize(ber::IntSize(engineTime)) + OctetsSize(userName) + OctetsSize(authParameters) +
         OctetsSize(privParameters);
}

size_t BSnmpV3Message::SizeWithScopedLength(size_t scopedLength) const {
  const size_t data = (flags & SNMP_V3_FLAG_PRIV) != 0 ? ber::ElementSize(scopedLength) : scopedLength;
  const size_t content = ber::ElementSize(1) + ber::ElementSize(GlobalDataContentSize()) +
                         ber::ElementSize(ber::ElementSize(UsmContentSize())) + data;
  return ber::ElementSize(content);
}

ESnmpCodecStatus BSnmpV3Message::Encode(const unsigned char* scoped, size_t scopedLength, unsigned char* buffer,
                                        size_t limit, size_t& length) {
  if (msgId < 0 || maxSize < kMinMaxSize || engineBoots < 0 || engineTime < 0) return SNMP_CODEC_BAD_FIELD;
  const bool encrypted = (flags & SNMP_V3_FLAG_PRIV) != 0;
  const size_t total = SizeWithScopedLength(scopedLength);
  length = total;
  if (total > limit) return SNMP_CODEC_TOO_BIG;
  const size_t usm = UsmContentSize();
  const size_t content = ber::ElementSize(1) + ber::ElementSize(GlobalDataContentSize()) +
                         ber::ElementSize(ber::ElementSize(usm)) +
                         (encrypted ? ber::ElementSize(scopedLength) : scopedLength);

  BBerWriter w(buffer);
  w.Header(ASN_SEQUENCE, content);
  w.Int32(ASN_INTEGER, SNMP_VERSION_3);
  w.Header(ASN_SEQUENCE, GlobalDataContentSize());
  w.Int32(ASN_INTEGER, msgId);
  w.Int32(ASN_INTEGER, maxSize);
  w.Octets(ASN_OCTET_STRING, &flags, 1);
  w.Int32(ASN_INTEGER, securityModel);
  w.Header(ASN_OCTET_STRING, ber::ElementSize(usm));
  w.Header(ASN_SEQUENCE, usm);
  WriteOctets(w, engineId);
  w.Int32(ASN_INTEGER, engineBoots);
  w.Int32(ASN_INTEGER, engineTime);
  WriteOctets(w, userName);
  m_authOffset = static_cast<size_t>(w.Position() - buffer) + 1 + ber::LengthSize(authParameters.View().length);
  WriteOctets(w, authParameters);
  WriteOctets(w, privParameters);
  if (encrypted) {
    w.Octets(ASN_OCTET_STRING, scoped, scopedLength);
    assert(static_cast<size_t>(w.Position() - buffer) == total);
  } else {
    // A plaintext scoped PDU is a whole element already.
    unsigned char* end = w.Position();
    if (scopedLength != 0) std::memmove(end, scoped, scopedLength);
    assert(static_cast<size_t>(end + scopedLength - buffer) == total);
  }
  return SNMP_CODEC_OK;
}

}  // namespace QVT
