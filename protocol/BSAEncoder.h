// BSAEncoder writes the elements of the sub-agent wire format into a
// BSABuffer: SNMP values, object identifiers, varbinds, varbind lists and the
// PDU frame. Tags, integer forms and sub-identifiers are BER's; constructed
// elements (varbind, list, the PDU itself) always get a two-octet length slot
// "82 hh ll" that is filled in once their content is written, so every frame
// is written in one pass with no second encoding.
//
// The encoder works in place: it allocates nothing and advances the buffer's
// own length as its position. Every operation returns 1 on success and 0 on
// failure; the first failure's status code stays in `status` and the caller
// abandons the run. When an element does not fit, `status` is
// SA_ERR_BUFFER_FULL and the buffer's length is set to 0xFFFFFFFF (the octets
// already written stay in the buffer).
#pragma once

#include "BObjectIdentifier.h"
#include "BObjectSyntax.h"
#include "BOctetString.h"
#include "BSABuffer.h"
#include "BSAPdu.h"
#include "BString.h"
#include "BVarBind.h"
#include "QVExport.h"

namespace QVT {

class QV_API BSAEncoder {
 public:
  // Starts at the buffer's current length, with the buffer's capacity as the
  // limit. The buffer must outlive the encoder.
  explicit BSAEncoder(BSABuffer& target);
  BSAEncoder(const BSAEncoder&) = delete;
  BSAEncoder& operator=(const BSAEncoder&) = delete;

  // Tag and length of an element of `length` content octets that the caller
  // writes next; checks that tag, length and content all fit.
  [[nodiscard]] int EncodeTypeAndLength(unsigned char tag, int length);
  // Tag and the slot 82 00 00; `lengthPos` receives the position of the
  // slot's two value octets for EncodeLengthInTwoOctetsAtPosition.
  [[nodiscard]] int EncodeTypeAndReserveThreeOctetsForLength(unsigned char tag, int& lengthPos);
  // The PDU head: type, flags and the slot 82 00 00.
  [[nodiscard]] int EncodeTypeFlagsAndReserve3OctetsForLength(unsigned char type, unsigned char flags, int& lengthPos);
  // Stores the number of octets written after the slot at `lengthPos`
  // big-endian in its two octets (only the low one when it is below 128).
  // Stores nothing when that number is above 65535.
  void EncodeLengthInTwoOctetsAtPosition(int lengthPos);

  // One base-128 sub-identifier, no tag: 1 to 5 octets.
  [[nodiscard]] int EncodeSubID(unsigned value);
  [[nodiscard]] int EncodeInt(int value);
  // Unsigned 32-bit value with the caller's tag (Counter32, Gauge32, TimeTicks).
  [[nodiscard]] int EncodeUInt32(unsigned char tag, unsigned value);
  [[nodiscard]] int EncodeCtr64(const BCounter64& value);
  [[nodiscard]] int EncodeOctets(unsigned char tag, const SASNOctetStr& octets);
  // OCTET STRING (tag 0x04) of the text.
  [[nodiscard]] int EncodeOctets(const BString& text);
  // OCTET STRING of length 1.
  [[nodiscard]] int EncodeSingleOctet(unsigned char octet);
  [[nodiscard]] int EncodeIpAddr(const BIpAddress& address);
  // Fails with SA_ERR_BAD_ENCODING for an OID of fewer than two arcs (one
  // that needs no content octets).
  [[nodiscard]] int EncodeObjectId(const SASNObjectId& oid);
  [[nodiscard]] int EncodeNull();
  // 0x80 noSuchObject, 0x81 noSuchInstance, 0x82 endOfMibView, length 0.
  [[nodiscard]] int EncodeV2Exception(unsigned char tag);

  // Dispatches on the syntax octet; SA_ERR_BAD_ENCODING for a syntax that is
  // not an SNMP value syntax.
  [[nodiscard]] int EncodeValue(const BObjectSyntax& value);
  [[nodiscard]] int EncodeVarBind(const BVarBind& vb);
  // The first failing varbind ends the list.
  [[nodiscard]] int EncodeVarBindList(const BVarBindList& list);

  // The whole frame at the current position: magic, type, flags, length,
  // header numbers and the varbind list. Neither fills nor resets the buffer.
  [[nodiscard]] int EncodeSAPdu(BSAPdu& pdu);

  // Content octets of an OID: the base-128 sizes of 40 * s0 + s1 and of
  // every arc from the third on. 0 for an OID of fewer than two arcs.
  static int NumOctetsToEncodeObjectId(const SASNObjectId& oid);
  // Upper estimate of a varbind's encoded size, by its value's syntax: the
  // 4-octet varbind slot, one-octet lengths for name and value, and the
  // longest content of each fixed-size type. Used to stay inside a datagram.
  static int CalculateLengthOfEncoding(const BVarBind& vb);

  // Raw octets, no tag. 0 (status unchanged) when fewer than `n` octets of
  // room are left.
  [[nodiscard]] int Append(char* data, unsigned n);
  [[nodiscard]] int Append(BSABuffer& other);

  BSABuffer* buffer;
  unsigned& position;  // the buffer's length: next octet to write
  unsigned capacity;   // octets the buffer can hold
  int status = 0;      // 0, or the status code of the first failure

 private:
  unsigned Room() const { return position < capacity ? capacity - position : 0; }
  // Marks the run as out of room: status and the buffer's overrun length.
  int Full();
  int Fail(int code);
  void Put(unsigned char octet) { m_data[position++] = octet; }
  unsigned char* Cursor() const { return m_data + position; }
  void Advance(const unsigned char* to) { position = static_cast<unsigned>(to - m_data); }

  unsigned char* m_data;
};

}  // namespace QVT
