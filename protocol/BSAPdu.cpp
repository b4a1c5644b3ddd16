// The PDU record's copy and reset operations, the two texts every trace
// line of the library prints for a status code and a PDU type, and the
// draw of request ids (SANextRequestId).
#include "BSAPdu.h"

#include <cstdio>
#include <cstring>

namespace QVT {

void BSAPdu::Assign(const BSAPdu& other) {
  if (&other == this) return;
  type = other.type;
  flags = other.flags;
  sessionId = other.sessionId;
  transactionId = other.transactionId;
  requestId = other.requestId;
  errorStatus = other.errorStatus;
  errorIndex = other.errorIndex;
  sysUpTime = other.sysUpTime;
  varBindList.Assign(other.varBindList);
}

void BSAPdu::Init(int pduType, unsigned session, unsigned transaction) {
  type = static_cast<uint8_t>(pduType);
  flags = 0;
  sessionId = session;
  transactionId = transaction;
  requestId = 0;
  errorStatus = 0;
  errorIndex = 0;
  sysUpTime = 0;
  varBindList.Clear();
}

void BSAPdu::Init(ESAPduType pduType, unsigned session, unsigned request, const BVarBindList& list) {
  type = pduType;
  flags = 0;
  sessionId = session;
  transactionId = 0;
  requestId = request;
  errorStatus = 0;
  errorIndex = 0;
  sysUpTime = 0;
  varBindList.Assign(list);
}

namespace {

const char* WireErrorName(int code) {
  switch (code) {
    case SA_WIRE_NO_ERROR:
      return "noError";
    case SA_WIRE_OPEN_FAILED:
      return "openFailed";
    case SA_WIRE_NOT_OPEN:
      return "notOpen";
    case SA_WIRE_INDEX_WRONG_TYPE:
      return "indexWrongType";
    case SA_WIRE_INDEX_ALREADY_ALLOCATED:
      return "indexAlreadyAllocated";
    case SA_WIRE_INDEX_NONE_AVAILABLE:
      return "indexNoneAvailable";
    case SA_WIRE_INDEX_NOT_ALLOCATED:
      return "indexNotAllocated";
    case SA_WIRE_UNSUPPORTED_CONTEXT:
      return "unsupportedContext";
    case SA_WIRE_DUPLICATE_REGISTRATION:
      return "duplicateRegistration";
    case SA_WIRE_UNKNOWN_REGISTRATION:
      return "unknownRegistration";
    case SA_WIRE_UNKNOWN_AGENT_CAPS:
      return "unknownAgentCaps";
    case SA_WIRE_PARSE_ERROR:
      return "parseError";
    case SA_WIRE_REQUEST_DENIED:
      return "requestDenied";
    case SA_WIRE_PROCESSING_ERROR:
      return "processingError";
    default:
      return "internalError";
  }
}

// Indexed by type; entry 0 stands for every value outside 1..18.
const char* const kPduTypeNames[] = {
    "unknown",
    "openSession",
    "closeSession",
    "registerSubtree",
    "unregisterSubtree",
    "GET",
    "GET-NEXT",
    "GET-BULK",
    "SET-test",
    "SET-commit",
    "SET-undo",
    "SET-cleanup",
    "notify",
    "ping",
    "indexAllocate",
    "indexDeallocate",
    "addAgentCapabilities",
    "removeAgentCapabilities",
    "RESPONSE",
};
static_assert(sizeof kPduTypeNames / sizeof kPduTypeNames[0] == SA_PDU_RESPONSE + 1);

}  // namespace

const char* QVSAErr2Str(int code) {
  thread_local char text[256];
  std::snprintf(text, sizeof text, "%s (%x) %s", "", static_cast<unsigned>(code), WireErrorName(code));
  return text;
}

namespace {

// The library's own statuses and the SNMP error statuses a handler gives;
// null for any other code.
const char* LibraryStatusName(int code) {
  switch (code) {
    case SA_ERR_TIMEOUT:
      return "timeout";
    case SA_ERR_ALREADY_OPEN:
      return "alreadyOpen";
    case SA_ERR_BAD_ENCODING:
      return "badEncoding";
    case SA_ERR_BAD_VALUE:
      return "badValue";
    case SA_ERR_WRONG_TAG:
      return "wrongTag";
    case SA_ERR_BUFFER_FULL:
      return "bufferFull";
    case SA_ERR_OCTETS_TOO_LONG:
      return "octetsTooLong";
    case SA_ERR_SESSION_CLOSED:
      return "sessionClosed";
    case SA_ERR_SESSION_FAILING:
      return "sessionFailing";
    case SA_ERR_SESSION_BUSY:
      return "sessionBusy";
    case SA_ERR_ALREADY_BOUND:
      return "alreadyBound";
    case SA_ERR_BAD_MAGIC:
      return "badMagic";
    default:
      break;
  }
  // SNMP error statuses (RFC 3416), as handlers and sub-agents return them.
  static const char* const kSnmpErrors[] = {
      "noError",      "tooBig",        "noSuchName",          "badValue",     "readOnly",
      "genErr",       "noAccess",      "wrongType",           "wrongLength",  "wrongEncoding",
      "wrongValue",   "noCreation",    "inconsistentValue",   "resourceUnavailable",
      "commitFailed", "undoFailed",    "authorizationError",  "notWritable",  "inconsistentName",
  };
  if (code > 0 && code < static_cast<int>(sizeof kSnmpErrors / sizeof kSnmpErrors[0])) return kSnmpErrors[code];
  return nullptr;
}

}  // namespace

const char* QVSAStatus2Str(int code) {
  thread_local char text[256];
  const unsigned hex = static_cast<unsigned>(code);
  const int socketError = code - SA_ERR_SOCKET_BASE;
  if (const char* name = LibraryStatusName(code); name != nullptr) {
    std::snprintf(text, sizeof text, " (%x) %s", hex, name);
  } else if (code < 0 && socketError >= 0 && socketError < 0x10000) {
    char buffer[128];
    std::snprintf(text, sizeof text, " (%x) socket error %d: %s", hex, socketError,
                  strerror_r(socketError, buffer, sizeof buffer));
  } else {
    std::snprintf(text, sizeof text, " (%x) %s", hex, WireErrorName(code));
  }
  return text;
}

const char* QVSAPduType2Str(int type) {
  thread_local char text[64];
  const char* name = type >= SA_PDU_OPEN_SESSION && type <= SA_PDU_RESPONSE ? kPduTypeNames[type] : kPduTypeNames[0];
  std::snprintf(text, sizeof text, "%s (%d)", name, type);
  return text;
}

unsigned int SANextRequestId(std::atomic<unsigned int>& last) {
  constexpr unsigned int kRequestIdWrap = 0x40000000;
  unsigned int seen = last.load();
  unsigned int next = 0;
  do {
    next = seen + 1 == kRequestIdWrap ? 1 : seen + 1;
  } while (!last.compare_exchange_weak(seen, next));
  return next;
}

}  // namespace QVT
