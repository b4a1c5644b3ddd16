// Helpers of the protocol tests: buffers from annotated hex and back, and
// value builders for the tables.
#pragma once

#include <string>
#include <vector>

#include "BObjectSyntax.h"
#include "BSABuffer.h"
#include "BVarBind.h"
#include "TestSupport.h"

namespace QVT::test {

// Hex text with blanks, line ends and "|" separators; "#" starts a comment
// that runs to the end of the line.
inline std::string StripAnnotations(const std::string& annotated) {
  std::string hex;
  bool comment = false;
  for (const char c : annotated) {
    if (c == '\n') comment = false;
    if (c == '#') comment = true;
    if (!comment && c != '|') hex += c;
  }
  return hex;
}

inline BSABuffer BufferOf(const std::vector<unsigned char>& octets) {
  BSABuffer buffer;
  buffer.Assign(static_cast<unsigned>(octets.size()), octets.data());
  return buffer;
}

inline BSABuffer BufferOf(const std::string& annotatedHex) {
  return BufferOf(FromHex(StripAnnotations(annotatedHex)));
}

inline std::string HexOf(const BSABuffer& buffer) {
  return ToHex(buffer.Data(), buffer.Length());
}

// `count` copies of the two-digit hex octet `octet`.
inline std::string Repeat(const char* octet, unsigned count) {
  std::string hex;
  for (unsigned i = 0; i < count; ++i) (hex += octet) += ' ';
  return hex;
}

inline BObjectSyntax Int(int v) {
  BObjectSyntax s;
  s.SetInt(v);
  return s;
}
inline BObjectSyntax Unsigned(EAsnSyntax syntax, uint32_t v) {
  BObjectSyntax s;
  s.SetUnsigned(syntax, v);
  return s;
}
inline BObjectSyntax Ctr64(uint64_t v) {
  BObjectSyntax s;
  s.SetCounter64(v);
  return s;
}
inline BObjectSyntax Octets(const std::string& text, EAsnSyntax syntax = ASN_OCTET_STRING) {
  BObjectSyntax s;
  s.SetOctets(text, syntax);
  return s;
}
inline BObjectSyntax Oid(const char* dotted) {
  BObjectSyntax s;
  s.SetObjectId(BObjectIdentifier(dotted));
  return s;
}
inline BObjectSyntax Ip(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
  BObjectSyntax s;
  s.SetIpAddress(BIpAddress(a, b, c, d));
  return s;
}
inline BObjectSyntax Exception(ESnmpException e) {
  BObjectSyntax s;
  s.SetV2Exception(e);
  return s;
}

}  // namespace QVT::test
