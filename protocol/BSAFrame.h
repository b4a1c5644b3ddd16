// The datagram frame: one BSAPdu per datagram, as
//
//   04 04 "QVT1"                 magic (an OCTET STRING)
//   tt ff                        PDU type and flags, untagged
//   82 hh ll                     octets that follow, to the end of the frame
//   02 .. sessionId              INTEGER of the 32 bits
//   02 .. transactionId
//   02 .. requestId
//   02 .. sysUpTime              } RESPONSE (type 18) only, in this order
//   02 .. errorStatus            }
//   02 .. errorIndex             }
//   30 82 hh ll varbinds...      varbind list
//
// Encode and Decode are what both sides call around every send and receive.
#pragma once

#include "BSABuffer.h"
#include "BSAPdu.h"
#include "QVExport.h"

namespace QVT {

// Fills the buffer's whole capacity with 0xAB, then writes the frame from
// octet 0. Returns 0 with the buffer's length set to the frame size, or the
// encoder's status (SA_ERR_BUFFER_FULL with the length 0xFFFFFFFF when the
// frame does not fit, SA_ERR_BAD_ENCODING for a value the wire cannot carry);
// such a buffer must not be sent.
[[nodiscard]] QV_API int Encode(BSABuffer& buffer, BSAPdu& pdu);

// Reads the frame at octet 0 of the buffer's data. Returns 0, -1
// (SA_ERR_BAD_MAGIC, the PDU untouched) when the datagram does not begin
// with the magic, or the decoder's status. The PDU is not cleared first:
// pass a fresh or reset one (BSAPdu(), Init(0, 0, 0)); after a failure it
// holds the fields decoded before the failing one. Octets after the frame
// are ignored.
[[nodiscard]] QV_API int Decode(BSABuffer& buffer, BSAPdu& pdu);

}  // namespace QVT
