// BSnmpMessage: one SNMPv1 or SNMPv2c message (RFC 1157, RFC 3416) and its
// BER codec.
//
// The agent keeps one message object per request thread and decodes every
// datagram into it: decoding reads the datagram in place and overwrites the
// fields and varbinds left by the previous message, so that once the
// storage has grown to the usual size, a request costs no allocation. A
// response is usually the request object itself with the PDU type and the
// error fields changed, encoded into a caller buffer under a size limit;
// the size helpers tell in advance how large a message will be, which is
// what tooBig decisions and GetBulk truncation need.
//
// Decoding is strict: one-octet tags, definite lengths, integers within
// the size of their syntax, minimal object identifiers, no trailing octets
// anywhere; every refusal has its own status (BSnmpCodecStatus.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "BCounter64.h"
#include "BObjectIdentifier.h"
#include "BOctetString.h"
#include "BSnmpCodecStatus.h"
#include "BVarBind.h"
#include "QVExport.h"

namespace QVT {

class BBerReader;
class BBerWriter;

// The version field's wire values.
enum ESnmpVersion : int {
  SNMP_VERSION_1 = 0,
  SNMP_VERSION_2C = 1,
  SNMP_VERSION_3 = 3,  // carried by BSnmpV3Message; BSnmpMessage holds its PDU
};

// PDU tags (context-specific, constructed).
enum ESnmpPduType : unsigned char {
  SNMP_PDU_GET = 0xA0,
  SNMP_PDU_GET_NEXT = 0xA1,
  SNMP_PDU_RESPONSE = 0xA2,
  SNMP_PDU_SET = 0xA3,
  SNMP_PDU_TRAP_V1 = 0xA4,   // SNMPv1 messages only
  SNMP_PDU_GET_BULK = 0xA5,  // SNMPv2c messages only, and so are the three below
  SNMP_PDU_INFORM = 0xA6,
  SNMP_PDU_TRAP_V2 = 0xA7,
  SNMP_PDU_REPORT = 0xA8,
};

// True when `type` is a PDU an SNMP message of `version` may carry.
QV_API bool QVSnmpPduAllowed(int version, unsigned char type);

class QV_API BSnmpMessage {
 public:
  BSnmpMessage() = default;

  // Decodes one whole datagram. On success every field below describes the
  // message (the v1 trap fields only for SNMP_PDU_TRAP_V1). On failure the
  // status names the first problem met and the fields are unspecified,
  // except after SNMP_CODEC_BAD_VERSION: then `version` holds the version
  // found (so that it can be counted) and nothing after it was read.
  [[nodiscard]] ESnmpCodecStatus Decode(const unsigned char* data, size_t length);

  // Encodes into `buffer`, writing at most `limit` octets. On success
  // `length` is the message's size. SNMP_CODEC_TOO_BIG when the message
  // would be larger than `limit` (nothing is written, `length` holds the
  // size it would need); SNMP_CODEC_BAD_FIELD when a value or name has no
  // encoding (a syntax tag that is not an SNMP syntax, an OID whose first
  // arcs BER cannot express, a PDU type the version does not have).
  [[nodiscard]] ESnmpCodecStatus Encode(unsigned char* buffer, size_t limit, size_t& length) const;

  // The size Encode would produce; 0 when Encode would give BAD_FIELD.
  [[nodiscard]] size_t EncodedSize() const;
  // The size of this message if its varbind list had `varBindBytes` octets
  // of content (the sum of VarBindSize of its varbinds) instead of its own
  // varbinds. 0 when a field outside the varbinds has no encoding.
  [[nodiscard]] size_t SizeWithVarBindBytes(size_t varBindBytes) const;
  // The encoded size of one varbind (its SEQUENCE, name and value); 0 when
  // it has no encoding.
  [[nodiscard]] static size_t VarBindSize(const BVarBind& varbind);

  // The PDU alone, as an SNMPv3 scoped PDU carries it: `data` is the whole
  // PDU element and nothing more. `version` must be set beforehand (it
  // decides which PDU types are allowed) and is left alone.
  [[nodiscard]] ESnmpCodecStatus DecodePdu(const unsigned char* data, size_t length);
  // The PDU element alone into `buffer`, as Encode does the message.
  [[nodiscard]] ESnmpCodecStatus EncodePdu(unsigned char* buffer, size_t limit, size_t& length) const;
  // The size of the PDU element alone; 0 when it has no encoding.
  [[nodiscard]] size_t PduSize() const;
  // PduSize if the varbind list had `varBindBytes` octets of content.
  [[nodiscard]] size_t PduSizeWithVarBindBytes(size_t varBindBytes) const;

  // GetBulk's names for the two error fields.
  int32_t NonRepeaters() const { return errorStatus; }
  int32_t MaxRepetitions() const { return errorIndex; }

  int version = SNMP_VERSION_2C;
  BOctetString community;
  unsigned char pduType = SNMP_PDU_GET;
  int32_t requestId = 0;
  int32_t errorStatus = 0;  // non-repeaters in a GetBulk
  int32_t errorIndex = 0;   // max-repetitions in a GetBulk
  // SNMPv1 Trap-PDU fields.
  BObjectIdentifier enterprise;
  BIpAddress agentAddress;
  int32_t genericTrap = 0;
  int32_t specificTrap = 0;
  uint32_t timeStamp = 0;
  BVarBindList varBinds;

 private:
  size_t PduHeaderContentSize() const;
  ESnmpCodecStatus DecodePduElement(BBerReader& message);
  // Sizes the varbinds into `sizes` (the first kSizeCache); 0 when one has
  // no encoding, else the varbind list's content size plus one.
  size_t VarBindBytes(size_t* sizes) const;
  void WritePdu(BBerWriter& w, size_t pduContent, size_t vbBytes, const size_t* sizes) const;
  static constexpr int kSizeCache = 64;
};

}  // namespace QVT
