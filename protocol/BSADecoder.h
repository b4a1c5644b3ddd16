// BSADecoder reads the elements of the sub-agent wire format out of a
// BSABuffer, the counterpart of BSAEncoder. The buffer's length is the end
// of the data; nothing is read beyond it (nor beyond the capacity), whatever
// the lengths inside the octets claim.
//
// Decoding is a ladder of early exits: every operation returns 1 on success
// and 0 on failure, leaving the status code of the failing field in `status`;
// the position is not rewound and the caller abandons the run. The decoder
// allocates only the storage of what it produces (names, strings, OID values
// and list entries).
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

class QV_API BSADecoder {
 public:
  // Reads from position 0 up to the buffer's length as it is now (one
  // decoder per run, set up after the datagram arrived). The buffer must
  // outlive the decoder.
  explicit BSADecoder(BSABuffer& source);
  BSADecoder(const BSADecoder&) = delete;
  BSADecoder& operator=(const BSADecoder&) = delete;

  // Consumes one octet; SA_ERR_WRONG_TAG when it is not `tag` (the octet is
  // consumed all the same), SA_ERR_BAD_ENCODING when there is none.
  [[nodiscard]] int DecodeType(unsigned char tag);
  // Short or long (at most 4 octets) length form; "80" reads as 0. On a bad
  // form `length` is -1. The length is not compared with the data left.
  [[nodiscard]] int DecodeLength(int& length);
  // Tag and length, and the length must fit in the data left.
  [[nodiscard]] int DecodeTypeAndLength(unsigned char tag, int& length);
  // The two untagged octets of the PDU head; neither is range-checked.
  [[nodiscard]] int DecodePduTypeAndFlags(unsigned char& type, unsigned char& flags);

  [[nodiscard]] int DecodeInt(int& value);
  [[nodiscard]] int DecodeUInt32(unsigned char tag, unsigned& value);
  [[nodiscard]] int DecodeCtr64(BCounter64& value);
  // An empty string leaves `dest` untouched. With `mayGrow` false a string
  // longer than dest's capacity fails with SA_ERR_OCTETS_TOO_LONG.
  [[nodiscard]] int DecodeOctets(unsigned char tag, BOctetString& dest, bool mayGrow);
  // OCTET STRING into text; an empty string leaves `text` untouched.
  [[nodiscard]] int DecodeOctets(BString& text);
  // OCTET STRING of exactly one octet.
  [[nodiscard]] int DecodeSingleOctet(unsigned char& octet);
  [[nodiscard]] int DecodeIpAddr(BIpAddress& address);
  // The first content octet gives the first two arcs (octet / 40, octet % 40)
  // and replaces whatever `oid` held; each further sub-identifier is one arc.
  [[nodiscard]] int DecodeObjectId(BObjectIdentifier& oid);
  [[nodiscard]] int DecodeNull();
  [[nodiscard]] int DecodeV2Exception(unsigned char tag);

  // Stores the tag octet as the syntax, then reads the value of that syntax;
  // SA_ERR_WRONG_TAG (nothing consumed) for a tag that is no SNMP value.
  [[nodiscard]] int DecodeValue(BObjectSyntax& value);
  // `end` is where the enclosing list ends. Content left inside the varbind
  // after its value is skipped.
  [[nodiscard]] int DecodeVarBind(BVarBind& vb, int end);
  // The list must end exactly at `end`. Varbinds are appended to `list`; a
  // failing one is not, and the ones before it stay.
  [[nodiscard]] int DecodeVarBindList(BVarBindList& list, int end);

  // A whole frame from the current position into `pdu`, which is not
  // cleared first: fields the frame does not carry keep their values and the
  // varbinds are appended. A wrong magic fails with status -1 and leaves the
  // PDU unchanged; other failures leave the fields decoded so far.
  [[nodiscard]] int DecodeSAPdu(BSAPdu& pdu);

  BSABuffer* buffer;
  unsigned position = 0;  // next octet to read
  int status = 0;         // 0, or the status code of the first failure

 private:
  unsigned Remaining() const { return position < m_end ? m_end - position : 0; }
  // The position and the end of the data as pointers, for the BER readers.
  const unsigned char* Cursor() const { return m_data + (position < m_end ? position : m_end); }
  const unsigned char* End() const { return m_data + m_end; }
  void MoveTo(const unsigned char* p) { position = static_cast<unsigned>(p - m_data); }
  int Fail(int code);
  // The unsigned content of `n` octets at the position, of `bits` bits.
  int ReadUnsigned(unsigned n, unsigned bits, uint64_t& value);

  const unsigned char* m_data;
  unsigned m_end;  // the buffer's length, bounded by its capacity
};

}  // namespace QVT
