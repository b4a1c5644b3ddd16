// Small helpers shared by the tests: hex text to octets and back, and a transaction id per query.
#pragma once

#include <string>
#include <vector>

namespace QVT::test {

// "02 01 7F" (blanks optional) to octets.
std::vector<unsigned char> FromHex(const std::string& hex);
// Octets to "02 01 7F".
std::string ToHex(const unsigned char* data, size_t length);
inline std::string ToHex(const std::vector<unsigned char>& octets) {
  return ToHex(octets.data(), octets.size());
}

// A fresh transaction id: every query a test makes is a request of its own,
// as the SNMP agent makes them.
int NextTransaction();

}  // namespace QVT::test
