// Transport addresses: the dotted "a.b.c.d:port" parser, resolution of
// "host:port" texts, the printable form and equality.
#include "BAddress.h"

#include <gtest/gtest.h>

namespace QVT {
namespace {

TEST(BAddressTest, AssignFromDottedDecimalStrParsesAddressAndPort) {
  // clang-format off
  const struct {
    const char* text;
    uint32_t ip;
    unsigned short port;
  } kGood[] = {
      {"127.0.0.1:10001", 0x7F000001u, 10001}, {"0.0.0.0:0", 0, 0}, {"255.255.255.255:65535", 0xFFFFFFFFu, 65535},
      {"10.1.2.3:0161", 0x0A010203u, 161}};
  // clang-format on
  for (const auto& c : kGood) {
    SCOPED_TRACE(c.text);
    BAddrINet address;
    ASSERT_NE(address.AssignFromDottedDecimalStr(c.text), 0);
    EXPECT_EQ(address.Family(), BAddress::kFamilyINet);
    EXPECT_EQ(address.IPv4(), c.ip);
    EXPECT_EQ(address.Port(), c.port);
  }
}

TEST(BAddressTest, AssignFromDottedDecimalStrRefusesOtherTextsAndKeepsTheAddress) {
  // clang-format off
  const char* const kBad[] = {
      "", "127.0.0.1", "127.0.0.1:", ":161", "127.0.0.1:65536", "127.0.0.1:-1", "1.2.3.4:1x", "1.2.3.4: 1",
      " 1.2.3.4:1", "1.2.3:161", "1.2.3.256:161", "01.2.3.4:161", "localhost:161", "[::1]:161",
      "[1.2.3.4]:161", "1.2.3.4:161:1", "1.2.3.4:+1"};
  // clang-format on
  for (const char* text : kBad) {
    SCOPED_TRACE(text);
    BAddrINet address;
    ASSERT_NE(address.AssignFromDottedDecimalStr("9.9.9.9:99"), 0);
    EXPECT_EQ(address.AssignFromDottedDecimalStr(text), 0);
    EXPECT_EQ(QVAddressToString(address).str(), "9.9.9.9:99");
  }
  BAddrINet address;
  EXPECT_EQ(address.AssignFromDottedDecimalStr(nullptr), 0);
}

TEST(BAddressTest, QVResolveAddressResolvesNamesDottedAndBracketedForms) {
  const struct {
    const char* text;
    short family;
    const char* printed;
  } kGood[] = {
      {"127.0.0.1:10001", BAddress::kFamilyINet, "127.0.0.1:10001"},
      {"localhost:161", BAddress::kFamilyINet, "127.0.0.1:161"},
      {"[::1]:161", BAddress::kFamilyINet6, "[::1]:161"},
  };
  for (const auto& c : kGood) {
    SCOPED_TRACE(c.text);
    BAddress address;
    ASSERT_NE(QVResolveAddress(c.text, address), 0);
    EXPECT_EQ(address.Family(), c.family);
    EXPECT_EQ(QVAddressToString(address).str(), c.printed);
    // The printed form resolves back to the same address.
    BAddress again;
    ASSERT_NE(QVResolveAddress(QVAddressToString(address), again), 0);
    EXPECT_EQ(again, address);
  }
}

TEST(BAddressTest, QVResolveAddressRefusesBadFormsAndKeepsTheAddress) {
  // clang-format off
  const char* const kBad[] = {
      "127.0.0.1", "localhost",    "127.0.0.1:70000", "127.0.0.1:", ":161",
      "[]:161",    "[::1]161",     "[::1:161",        "::1:161",    "127.0.0.1:x",
      "",          "127.0.0.1:-5", "[::1]:",          "1.2.3.4:1 "};
  // clang-format on
  for (const char* text : kBad) {
    SCOPED_TRACE(text);
    BAddrINet address;
    ASSERT_NE(address.AssignFromDottedDecimalStr("9.9.9.9:99"), 0);
    EXPECT_EQ(QVResolveAddress(text, address), 0);
    EXPECT_EQ(QVAddressToString(address).str(), "9.9.9.9:99");
  }
}

TEST(BAddressTest, EqualityCoversFamilyAddressAndPort) {
  BAddrINet a;
  BAddrINet b;
  ASSERT_NE(a.AssignFromDottedDecimalStr("127.0.0.1:161"), 0);
  ASSERT_NE(b.AssignFromDottedDecimalStr("127.0.0.1:161"), 0);
  EXPECT_TRUE(a == b);
  b.SetPort(162);
  EXPECT_FALSE(a == b);
  EXPECT_TRUE(a != b);
  ASSERT_NE(b.AssignFromDottedDecimalStr("127.0.0.2:161"), 0);
  EXPECT_FALSE(a == b);

  BAddress copy;
  copy.Set(a);
  EXPECT_TRUE(copy == a);
  copy.Clear();
  EXPECT_TRUE(copy.IsEmpty());
  EXPECT_EQ(QVAddressToString(copy).str(), "");
  EXPECT_FALSE(copy == a);
  // An empty address and the IPv4 any-address on port 0 are different.
  EXPECT_FALSE(BAddress() == BAddress(BAddress::kFamilyINet));
  EXPECT_TRUE(BAddress(BAddress::kFamilyINet) == BAddrINet());

  BAddress v6;
  ASSERT_NE(QVResolveAddress("[::ffff:127.0.0.1]:161", v6), 0);
  EXPECT_EQ(v6.Family(), BAddress::kFamilyINet6);
  EXPECT_FALSE(v6 == a);
}

}  // namespace
}  // namespace QVT
