// The tags and the magic of the wire encoding, shared by the element
// encoder and decoder. Used inside the library only; not installed.
#pragma once

#include "SnmpTypes.h"

namespace QVT::wire {

inline constexpr unsigned char kTagInteger = ASN_INTEGER;
inline constexpr unsigned char kTagOctets = ASN_OCTET_STRING;
inline constexpr unsigned char kTagSequence = ASN_SEQUENCE;
// The four octets every frame starts with, as an OCTET STRING's content.
inline constexpr unsigned char kMagic[] = {'Q', 'V', 'T', '1'};

}  // namespace QVT::wire
