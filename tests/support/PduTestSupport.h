// Builders the master and sub-agent tests share: values of the real value
// types, and a PDU's octets as the wire codec encodes them.
#pragma once

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

#include "BObjectSyntax.h"
#include "BSABuffer.h"
#include "BSAFrame.h"
#include "BSAPdu.h"

namespace QVT::test {

inline BObjectSyntax Int(int value) {
  BObjectSyntax syntax;
  syntax.SetInt(value);
  return syntax;
}

inline BObjectSyntax Str(std::string_view text) {
  BObjectSyntax syntax;
  syntax.SetOctets(text);
  return syntax;
}

inline std::vector<unsigned char> Encoded(BSAPdu pdu) {
  BSABuffer buffer;
  EXPECT_EQ(Encode(buffer, pdu), 0);
  return {buffer.Data(), buffer.Data() + buffer.Length()};
}

}  // namespace QVT::test
