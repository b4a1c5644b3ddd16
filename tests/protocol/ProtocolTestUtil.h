// Helpers of the protocol tests: buffers from hex and back, value builders.
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
// `n` octets of "x", as text and as hex.
inline const auto Xs = [](unsigned n) { return std::string(n, 'x'); };
inline const auto Hex = [](unsigned n) { return ToHex(std::vector<unsigned char>(n, 'x')); };
// A value made by one setter call, e.g. VALUE(SetInt(42)), and builders for the tables.
// clang-format off
#define VALUE(call) [&] { BObjectSyntax v; v.call; return v; }()
// clang-format on
inline const auto Int = [](int n) { return VALUE(SetInt(n)); };
inline const auto Unsigned = [](EAsnSyntax s, uint32_t n) { return VALUE(SetUnsigned(s, n)); };
inline const auto Ctr64 = [](uint64_t n) { return VALUE(SetCounter64(n)); };
inline const auto Octets = [](std::string t, EAsnSyntax s = ASN_OCTET_STRING) { return VALUE(SetOctets(t, s)); };
inline const auto Oid = [](const char* s) { return VALUE(SetObjectId(BObjectIdentifier(s))); };
inline const auto Ip = [](int a, int b, int c, int d) { return VALUE(SetIpAddress(BIpAddress(a, b, c, d))); };
inline const auto Exception = [](ESnmpException e) { return VALUE(SetV2Exception(e)); };
inline const auto Syntax = [](unsigned char s) { return VALUE(SetSyntax(s)); };

}  // namespace QVT::test
