// Short builders of SNMP values for the MIB framework's tables of cases.
#pragma once

#include <string_view>

#include "BObjectSyntax.h"

namespace QVT::test {

inline BObjectSyntax Int(int v) {
  BObjectSyntax s;
  s.SetInt(v);
  return s;
}
inline BObjectSyntax Text(std::string_view t) {
  BObjectSyntax s;
  s.SetOctets(t);
  return s;
}
inline BObjectSyntax Ip(int a, int b, int c, int d) {
  BObjectSyntax s;
  s.SetIpAddress(BIpAddress(static_cast<unsigned char>(a), static_cast<unsigned char>(b), static_cast<unsigned char>(c),
                            static_cast<unsigned char>(d)));
  return s;
}
inline BObjectSyntax Id(const char* oid) {
  BObjectSyntax s;
  s.SetObjectId(BObjectIdentifier(oid));
  return s;
}

}  // namespace QVT::test
