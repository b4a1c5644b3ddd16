// BSAPdu: the one message record master and sub-agents exchange, together
// with the numbers that travel in it: the PDU types, the index-allocation
// flags, the wire error codes of a RESPONSE and the library's own status
// codes. They live in one header because they change together: a new PDU
// type touches the record, the coders and the texts at the same time.
//
// Status convention of the whole library: 0 is success; a wire error code
// (256..268) or an SNMP error status (1..18) means the peer or a handler
// refused; a library status code (0x800C.... protocol, 0x800B.... socket) is
// negative as a signed 32-bit number, and so is -1 for a datagram without the
// magic. Callers of a request exchange therefore test for a negative result to
// tell a failed exchange from a RESPONSE.
#pragma once

#include <atomic>
#include <cstdint>

#include "BVarBind.h"
#include "QVExport.h"

namespace QVT {

enum ESAPduType : unsigned char {
  SA_PDU_OPEN_SESSION = 1,
  SA_PDU_CLOSE_SESSION = 2,
  SA_PDU_REGISTER = 3,
  SA_PDU_UNREGISTER = 4,
  SA_PDU_GET = 5,
  SA_PDU_GET_NEXT = 6,
  SA_PDU_GET_BULK = 7,
  SA_PDU_SET_TEST = 8,
  SA_PDU_SET_COMMIT = 9,
  SA_PDU_SET_UNDO = 10,
  SA_PDU_SET_CLEANUP = 11,
  SA_PDU_NOTIFY = 12,
  SA_PDU_PING = 13,
  SA_PDU_INDEX_ALLOCATE = 14,
  SA_PDU_INDEX_DEALLOCATE = 15,
  SA_PDU_ADD_AGENT_CAPS = 16,
  SA_PDU_REMOVE_AGENT_CAPS = 17,
  SA_PDU_RESPONSE = 18,
};

// The flags octet of an indexAllocate request. The master tests bit 0x02
// first, then bit 0x04; with neither set it allocates the given values.
enum ESAIxAlloc : unsigned char {
  SA_IXALLOC_VALUE = 0,
  SA_IXALLOC_NEW_INDEX = 2,
  SA_IXALLOC_ANY_INDEX = 4,
};

// Error codes carried in the errorStatus of a RESPONSE (decimal on the wire
// and in the documentation, printed in hexadecimal by QVSAErr2Str).
enum ESAWireError : int {
  SA_WIRE_NO_ERROR = 0,
  SA_WIRE_OPEN_FAILED = 256,
  SA_WIRE_NOT_OPEN = 257,
  SA_WIRE_INDEX_WRONG_TYPE = 258,
  SA_WIRE_INDEX_ALREADY_ALLOCATED = 259,
  SA_WIRE_INDEX_NONE_AVAILABLE = 260,
  SA_WIRE_INDEX_NOT_ALLOCATED = 261,
  SA_WIRE_UNSUPPORTED_CONTEXT = 262,
  SA_WIRE_DUPLICATE_REGISTRATION = 263,
  SA_WIRE_UNKNOWN_REGISTRATION = 264,
  SA_WIRE_UNKNOWN_AGENT_CAPS = 265,
  SA_WIRE_PARSE_ERROR = 266,
  SA_WIRE_REQUEST_DENIED = 267,
  SA_WIRE_PROCESSING_ERROR = 268,
};

// Library status codes. They are written in hexadecimal but used as signed
// 32-bit numbers: every one of them is negative.
enum ESAStatus : int {
  SA_ERR_TIMEOUT = static_cast<int>(0x800C0001u),          // no datagram within the wait
  SA_ERR_ALREADY_OPEN = static_cast<int>(0x800C0002u),     // the sub-agent already holds a session
  SA_ERR_BAD_ENCODING = static_cast<int>(0x800C000Bu),     // malformed element or frame structure
  SA_ERR_BAD_VALUE = static_cast<int>(0x800C000Eu),        // value does not fit or its content is cut short
  SA_ERR_WRONG_TAG = static_cast<int>(0x800C0010u),        // tag octet other than the one expected
  SA_ERR_BUFFER_FULL = static_cast<int>(0x800C0011u),      // no room left for the next element
  SA_ERR_OCTETS_TOO_LONG = static_cast<int>(0x800C0012u),  // string longer than a fixed destination
  SA_ERR_SESSION_CLOSED = static_cast<int>(0x800C0013u),   // the session closed (or the master stopped) meanwhile
  SA_ERR_SESSION_FAILING = static_cast<int>(0x800C0014u),  // the session timed out just before: not asked again yet
  SA_ERR_SESSION_BUSY = static_cast<int>(0x800C0015u),     // too many requests already wait for the session
  SA_ERR_ALREADY_BOUND = static_cast<int>(0x800B000Bu),    // Initialize given the port the socket has
  SA_ERR_SOCKET_BASE = static_cast<int>(0x800B0064u),      // plus the socket's last error number
  SA_ERR_BAD_MAGIC = -1,                                   // datagram does not begin with "QVT1"
};

class QV_API BSAPdu {
 public:
  // A PDU of type 0 (no type yet): the form a receiver decodes into.
  BSAPdu() = default;
  // Every number 0 but the type; empty list.
  explicit BSAPdu(ESAPduType pduType) : type(pduType) {}
  // The form both sides build requests and RESPONSEs with; transactionId 0.
  BSAPdu(ESAPduType pduType, unsigned session, unsigned request)
      : type(pduType), sessionId(session), requestId(request) {}
  BSAPdu(const BSAPdu& other) { Assign(other); }
  BSAPdu& operator=(const BSAPdu& other) {
    Assign(other);
    return *this;
  }

  // Copies the eight header fields and the list; no-op on itself.
  void Assign(const BSAPdu& other);
  // Resets the record in place. The third number lands in transactionId
  // (unlike the constructor); requestId becomes 0 and the list is cleared.
  // Receivers call Init(0, 0, 0) to empty a PDU before decoding into it,
  // hence the plain int type.
  void Init(int pduType, unsigned session, unsigned transaction);
  // type, sessionId and requestId from the arguments, the other header
  // numbers 0, the list assigned from `list`.
  void Init(ESAPduType pduType, unsigned session, unsigned request, const BVarBindList& list);
  void SetFlagsIndex(ESAIxAlloc allocFlags) { flags = allocFlags; }

  uint8_t type = 0;            // an ESAPduType on the wire; a decoder stores any octet
  uint8_t flags = 0;           // ESAIxAlloc for indexAllocate, 0 elsewhere
  uint32_t sessionId = 0;      // 0 before a session is open
  uint32_t transactionId = 0;  // the host's SNMP transaction a master request belongs to
  uint32_t requestId = 0;      // matches a RESPONSE to its request
  int32_t errorStatus = 0;     // RESPONSE only: 0, wire error code or handler status
  int32_t errorIndex = 0;      // RESPONSE only: 1-based failing varbind, 0 if none
  uint32_t sysUpTime = 0;      // RESPONSE only: responder's up-time
  BVarBindList varBindList;
};

// " (101) notOpen": an empty prefix, the code in lower-case hexadecimal and
// its name ("internalError" for codes outside the wire table). The text lives
// in a per-thread buffer that the next call on the same thread overwrites.
QV_API const char* QVSAErr2Str(int code);
// The same form for any status the library returns, each named: its own
// codes (" (800c0001) timeout", " (800c000b) badEncoding", ...), socket
// errors with the system's text, SNMP error statuses 1..18 from handlers
// (" (2) noSuchName"), and the wire codes as above. Per-thread buffer.
QV_API const char* QVSAStatus2Str(int code);
// "GET (5)", or "unknown (0)" outside 1..18; per-thread buffer as above.
QV_API const char* QVSAPduType2Str(int type);

// Draws the next request id from `last`: 1, 2, ... up to 0x3FFFFFFF, then 1
// again. The increment and its wrap are one atomic step, so threads drawing
// at once never get the same id.
QV_API unsigned int SANextRequestId(std::atomic<unsigned int>& last);

}  // namespace QVT
