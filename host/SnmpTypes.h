// The SNMP protocol numbers shared by the MIB framework, the sub-agent
// library and the SNMP front-end: error statuses (RFC 3416), the SET phase
// codes of the MIB handlers, MIB access levels and handler types.
#pragma once

namespace QVT {

enum ESnmpErrorStatus {
  SNMP_ERR_NOERROR = 0,
  SNMP_ERR_TOOBIG = 1,
  SNMP_ERR_NOSUCHNAME = 2,
  SNMP_ERR_BADVALUE = 3,
  SNMP_ERR_READONLY = 4,
  SNMP_ERR_GENERR = 5,
  SNMP_ERR_NOACCESS = 6,
  SNMP_ERR_WRONGTYPE = 7,
  SNMP_ERR_WRONGLENGTH = 8,
  SNMP_ERR_WRONGENCODING = 9,
  SNMP_ERR_WRONGVALUE = 10,
  SNMP_ERR_NOCREATION = 11,
  SNMP_ERR_INCONSISTENTVALUE = 12,
  SNMP_ERR_RESOURCEUNAVAILABLE = 13,
  SNMP_ERR_COMMITFAILED = 14,
  SNMP_ERR_UNDOFAILED = 15,
  SNMP_ERR_AUTHORIZATIONERROR = 16,
  SNMP_ERR_NOTWRITABLE = 17,
  SNMP_ERR_INCONSISTENTNAME = 18,
};

// Request codes of BMibHandler::Query: the SNMP PDU tags.
enum ESnmpRequestCode {
  SNMP_REQ_GET = 0xA0,       // 160
  SNMP_REQ_GET_NEXT = 0xA1,  // 161
};

// The four phases of a SET as a subtree handler sees them.
enum ESnmpSetOpCode {
  SNMP_SET_TEST = 0xE0,     // 224: check every varbind, change nothing visible
  SNMP_SET_COMMIT = 0xA3,   // 163: make the change
  SNMP_SET_UNDO = 0xE1,     // 225: take a committed change back
  SNMP_SET_CLEANUP = 0xE2,  // 226: release what test and commit kept
};

// Access of a MIB object. Above 0 means the object can be read.
enum EMibAccess {
  MIB_ACCESS_NOTIFY = -1,  // accessible-for-notify: carried in notifications only
  MIB_ACCESS_NONE = 0,     // not-accessible (for example a table index)
  MIB_ACCESS_READ_ONLY = 1,
  MIB_ACCESS_READ_WRITE = 2,
  MIB_ACCESS_READ_CREATE = 3,
};

// Kinds of subtree handler, as registrations announce them.
enum EMibHandlerType {
  MIB_HANDLER_SUBTREE = 2,   // a plain subtree
  MIB_HANDLER_SCALARS = 3,   // BMibImpl: scalar objects below one OID
  MIB_HANDLER_TABLE = 4,     // BMibTableImpl
  MIB_HANDLER_RANGE = 6,     // a range registration: one sub-identifier varies
  MIB_HANDLER_TABLE_EX = 7,  // BMibTableImplEx: rows with a RowStatus column
  // Handlers that serve their subtree from another process (a master
  // agent's proxies for its sub-agents); every other kind is the MIB
  // handler's own, local objects.
  MIB_HANDLER_PROXY_SUBTREE = 47,  // a whole registered subtree
  MIB_HANDLER_PROXY_ROW = 48,      // one instance of a range registration
};

inline bool QVIsProxyHandlerType(int type) {
  return type == MIB_HANDLER_PROXY_SUBTREE || type == MIB_HANDLER_PROXY_ROW;
}

// RowStatus values (RFC 2579).
enum ERowStatus {
  ROW_ACTIVE = 1,
  ROW_NOT_IN_SERVICE = 2,
  ROW_NOT_READY = 3,
  ROW_CREATE_AND_GO = 4,
  ROW_CREATE_AND_WAIT = 5,
  ROW_DESTROY = 6,
};

}  // namespace QVT
