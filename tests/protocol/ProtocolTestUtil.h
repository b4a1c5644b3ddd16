// Helpers of the protocol tests: buffers from hex and back, and
// value builders for the tables.
#pragma once

#include "BObjectSyntax.h"
#include "BSABuffer.h"
#include "BVarBind.h"
#include "TestSupport.h"

namespace QVT::test {

inline BSABuffer BufferOf(const std::vector<unsigned char>& octets) {
  BSABuffer buffer;
  buffer.Assign(static_cast<unsigned>(octets.size()), octets.data());
  return buffer;
}
inline BSABuffer BufferOf(const std::string& hex) {
  return BufferOf(FromHex(hex));
}
inline const auto HexOf = [](const BSABuffer& buffer) { return ToHex(buffer.Data(), buffer.Length()); };
// Hex in the form ToHex writes.
inline const auto Canonical = [](const std::string& hex) { return ToHex(FromHex(hex)); };
// A value made by `set`, and builders over it for the tables.
template <class Set>
BObjectSyntax Value(Set set) {
  BObjectSyntax v;
  set(v);
  return v;
}
inline const auto Int = [](int n) { return Value([&](BObjectSyntax& v) { v.SetInt(n); }); };
inline const auto Unsigned = [](EAsnSyntax s, uint32_t n) { return Value([&](auto& v) { v.SetUnsigned(s, n); }); };
inline const auto Ctr64 = [](uint64_t n) { return Value([&](BObjectSyntax& v) { v.SetCounter64(n); }); };
inline const auto Octets = [](std::string t, EAsnSyntax s = ASN_OCTET_STRING) {
  return Value([&](BObjectSyntax& v) { v.SetOctets(t, s); });
};
inline const auto Oid = [](const char* s) { return Value([&](auto& v) { v.SetObjectId(BObjectIdentifier(s)); }); };
inline const auto Ip = [](int a, int b, int c, int d) {
  return Value([&](auto& v) { v.SetIpAddress(BIpAddress(a, b, c, d)); });
};
inline const auto Exception = [](ESnmpException e) { return Value([&](BObjectSyntax& v) { v.SetV2Exception(e); }); };
inline const auto Syntax = [](unsigned char s) { return Value([&](BObjectSyntax& v) { v.SetSyntax(s); }); };

}  // namespace QVT::test
