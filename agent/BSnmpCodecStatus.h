// The results of the SNMP message codec: one status per kind of malformed
// input, so that a caller (and a test) can tell exactly why a datagram was
// refused, and the two encoder failures.
#pragma once

#include "QVExport.h"

namespace QVT {

enum ESnmpCodecStatus : int {
  SNMP_CODEC_OK = 0,
  SNMP_CODEC_TRUNCATED = 1,          // a tag, length or content runs past the end of its container
  SNMP_CODEC_INDEFINITE_LENGTH = 2,  // length octet 0x80
  SNMP_CODEC_BAD_LENGTH = 3,         // a long-form length of more than four octets
  SNMP_CODEC_WRONG_TAG = 4,          // an element other than the one the message has at this place
  SNMP_CODEC_BAD_INTEGER = 5,        // empty or too long for its syntax, or a negative unsigned value
  SNMP_CODEC_BAD_OID = 6,            // empty, a sub-identifier over 32 bits or not minimal, too many arcs
  SNMP_CODEC_BAD_NULL = 7,           // NULL or an exception value with content
  SNMP_CODEC_BAD_IPADDRESS = 8,      // IpAddress of other than four octets
  SNMP_CODEC_BAD_VALUE_TAG = 9,      // a varbind value whose tag is no SNMP syntax
  SNMP_CODEC_BAD_VERSION = 10,       // a well-formed version field other than SNMPv1 (0) or SNMPv2c (1)
  SNMP_CODEC_BAD_PDU_TYPE = 11,      // an unknown PDU tag, or one the message's version does not have
  SNMP_CODEC_TRAILING_DATA = 12,     // octets left after the last field of a sequence or the message
  SNMP_CODEC_TOO_BIG = 13,           // encode: the message exceeds the size limit
  SNMP_CODEC_BAD_FIELD = 14,         // encode: a field that has no encoding (unknown syntax, bad OID)
  SNMP_CODEC_BAD_FLAGS = 15,         // SNMPv3 msgFlags of other than one octet, or privacy without authentication
  SNMP_CODEC_BAD_SECURITY_MODEL = 16,  // SNMPv3 msgSecurityModel other than USM (3)
  SNMP_CODEC_BAD_HEADER_VALUE = 17,  // SNMPv3 msgID, msgMaxSize, boots, time or a string out of its range
};

// A short fixed text for a status ("truncated", "indefinite length", ...).
QV_API const char* QVSnmpCodecStatusText(ESnmpCodecStatus status);

}  // namespace QVT
