// BSnmpV3Message: one SNMPv3 message (RFC 3412 section 6) with the USM
// security parameters (RFC 3414 section 2.4) and its BER codec.
//
//   SEQUENCE { msgVersion 3,
//              msgGlobalData SEQUENCE { msgID, msgMaxSize, msgFlags, msgSecurityModel },
//              msgSecurityParameters OCTET STRING { SEQUENCE { engineID, boots, time,
//                                                              userName, authParams, privParams } },
//              msgData: scopedPDU SEQUENCE { contextEngineID, contextName, PDU }
//                       or encryptedPDU OCTET STRING }
//
// Decoding happens in two steps because the scoped PDU may be encrypted:
// Decode reads the header and the security parameters and leaves msgData
// as it is (ScopedData()); once the security model has checked and, if
// need be, decrypted it, DecodeScopedPdu reads the plaintext scoped PDU.
// Encoding mirrors that: EncodeScopedPdu writes the plaintext scoped PDU,
// which the caller may encrypt, and Encode wraps the result (as a SEQUENCE
// or, with the privacy flag, as an OCTET STRING) in the header, telling
// where the authentication parameters lie so that they can be signed.
//
// Decoding is strict like BSnmpMessage's, with three statuses of its own:
// SNMP_CODEC_BAD_FLAGS (msgFlags not one octet, or privacy without
// authentication), SNMP_CODEC_BAD_SECURITY_MODEL (not USM; the security
// parameters are then not read) and SNMP_CODEC_BAD_HEADER_VALUE (msgID,
// msgMaxSize, boots or time outside their ranges, an engine ID or user name
// longer than 32 octets).
#pragma once

#include <cstddef>
#include <cstdint>

#include "BOctetString.h"
#include "BSnmpCodecStatus.h"
#include "BSnmpMessage.h"
#include "QVExport.h"

namespace QVT {

enum ESnmpV3Flags : unsigned char {
  SNMP_V3_FLAG_AUTH = 0x01,
  SNMP_V3_FLAG_PRIV = 0x02,
  SNMP_V3_FLAG_REPORTABLE = 0x04,
};

// msgSecurityModel of the User-based Security Model.
constexpr int32_t kSnmpSecurityModelUsm = 3;

class QV_API BSnmpV3Message {
 public:
  static constexpr int32_t kMinMaxSize = 484;
  static constexpr size_t kMaxEngineIdLength = 32;
  static constexpr size_t kMaxUserNameLength = 32;

  BSnmpV3Message() { pdu.version = SNMP_VERSION_3; }

  // Reads the whole datagram but the scoped PDU. On success the fields
  // below describe the message's header, and ScopedData() is msgData's
  // content: the scoped PDU's whole SEQUENCE element in clear, or the
  // encrypted octets (the OCTET STRING's content) with the privacy flag.
  // After SNMP_CODEC_BAD_FLAGS and SNMP_CODEC_BAD_SECURITY_MODEL the
  // global data fields (msgID, flags, model) hold what was read.
  [[nodiscard]] ESnmpCodecStatus Decode(const unsigned char* data, size_t length);
  // Reads a plaintext scoped PDU (the whole SEQUENCE element) into
  // contextEngineId, contextName and pdu.
  [[nodiscard]] ESnmpCodecStatus DecodeScopedPdu(const unsigned char* data, size_t length) {
    return DecodeScopedPdu(data, length, pdu);
  }
  // The same with the PDU read into `into` (whose version is set to 3).
  [[nodiscard]] ESnmpCodecStatus DecodeScopedPdu(const unsigned char* data, size_t length, BSnmpMessage& into);

  const unsigned char* ScopedData() const { return m_pScoped; }
  size_t ScopedLength() const { return m_scopedLength; }
  // Where authParameters' content lies in the datagram last decoded, or in
  // the buffer last encoded into.
  size_t AuthOffset() const { return m_authOffset; }

  // The scoped PDU (contextEngineId, contextName, pdu) in clear.
  [[nodiscard]] ESnmpCodecStatus EncodeScopedPdu(unsigned char* buffer, size_t limit, size_t& length) const {
    return EncodeScopedPdu(pdu, buffer, limit, length);
  }
  // The same with the PDU of `from` (of version 3).
  [[nodiscard]] ESnmpCodecStatus EncodeScopedPdu(const BSnmpMessage& from, unsigned char* buffer, size_t limit,
                                                 size_t& length) const;
  // Its size; 0 when it has no encoding.
  [[nodiscard]] size_t ScopedPduSize() const;
  // The scoped PDU's size if its PDU element had `pduSize` octets.
  [[nodiscard]] size_t ScopedPduSizeWithPdu(size_t pduSize) const;

  // The whole message with `scoped` as msgData: a scoped PDU element, or
  // with SNMP_V3_FLAG_PRIV in `flags` the encrypted octets. authParameters
  // are written as they are (zeros of the MAC's length, to be signed in
  // place at AuthOffset()).
  [[nodiscard]] ESnmpCodecStatus Encode(const unsigned char* scoped, size_t scopedLength, unsigned char* buffer,
                                        size_t limit, size_t& length);
  // The size Encode would produce for msgData of `scopedLength` octets.
  [[nodiscard]] size_t SizeWithScopedLength(size_t scopedLength) const;

  int32_t msgId = 0;
  int32_t maxSize = 65507;
  unsigned char flags = 0;
  int32_t securityModel = kSnmpSecurityModelUsm;
  BOctetString engineId;
  int32_t engineBoots = 0;
  int32_t engineTime = 0;
  BOctetString userName;
  BOctetString authParameters;
  BOctetString privParameters;
  BOctetString contextEngineId;
  BOctetString contextName;
  BSnmpMessage pdu;  // version SNMP_VERSION_3; its community is unused

 private:
  size_t GlobalDataContentSize() const;
  size_t UsmContentSize() const;

  const unsigned char* m_pScoped = nullptr;
  size_t m_scopedLength = 0;
  size_t m_authOffset = 0;
};

}  // namespace QVT
