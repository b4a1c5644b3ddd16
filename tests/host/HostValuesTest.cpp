// Host value types: OIDs, SNMP values and their texts, ordered maps, addresses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BAddress.h"
#include "BAddressFilter.h"
#include "BMapInt2Ptr.h"
#include "BObjectSyntax.h"

namespace QVT {
namespace {

TEST(BObjectIdentifierTest, ParseTakesDottedDecimalOnlyAndKeepsTheOidOnFailure) {
  // clang-format off
  const struct { const char *text, *printed; } kCases[] = {  // printed null: refused
      {"1.3.6.1", "1.3.6.1"}, {".1.3.6.1", "1.3.6.1"}, {"0", "0"}, {"", ""}, {"007.1", "7.1"},
      {"1.3.4294967295", "1.3.4294967295"}, {".", nullptr}, {"1..3", nullptr}, {"1.3.", nullptr}, {"..1", nullptr},
      {"1.3.a", nullptr}, {"1.-3", nullptr}, {"1. 3", nullptr}, {" 1.3", nullptr}, {"1.3 ", nullptr}, {"+1", nullptr},
      {"1,3", nullptr}, {"0x10", nullptr}, {"1.3.4294967296", nullptr}, {"1.99999999999999999999", nullptr}};
  // clang-format on
  for (const auto& c : kCases) {
    BObjectIdentifier oid{9, 9};
    EXPECT_EQ(oid.Parse(c.text), c.printed != nullptr) << c.text;
    EXPECT_EQ(oid.ToString().str(), c.printed ? c.printed : "9.9") << c.text;
  }
  EXPECT_FALSE(BObjectIdentifier().Parse(nullptr));
}

TEST(BObjectIdentifierTest, CompareOrdersByUnsignedArcsWithAPrefixFirst) {
  // Each entry sorts strictly before the next; IsStartingSubOidOf follows the text.
  // clang-format off
  const std::string kAscending[] = {"", "0", "1.3", "1.3.6", "1.3.6.0", "1.3.6.1", "1.3.6.1.4294967295", "1.3.6.9",
      "1.3.6.10", "1.3.6.2147483647", "1.3.6.2147483648", "1.3.6.4294967295", "1.3.6.4294967295.0", "2"};
  // clang-format on
  for (size_t i = 0; i < std::size(kAscending); ++i) {
    for (size_t j = 0; j < std::size(kAscending); ++j) {
      const std::string &x = kAscending[i], &y = kAscending[j];
      const int got = BObjectIdentifier(x.c_str()).Compare(BObjectIdentifier(y.c_str()));
      EXPECT_EQ((got > 0) - (got < 0), i < j ? -1 : (i == j ? 0 : 1)) << x << " vs " << y;
      EXPECT_EQ(BObjectIdentifier(x.c_str()).IsStartingSubOidOf(BObjectIdentifier(y.c_str())) != 0,
                x.empty() || x == y || y.starts_with(x + "."))
          << x << " vs " << y;
    }
  }
}

TEST(BObjectIdentifierTest, SetAndAppendForms) {
  // clang-format off
  const struct { unsigned from, to; const char* arcs; } kRanges[] = {
      {1, 3, "11.12.13"}, {3, 3, "13"}, {2, BObjectIdentifier::kToEnd, "12.13.14"}, {2, 99, "12.13.14"}, {3, 2, ""}};
  // clang-format on
  BObjectIdentifier oid;
  for (const auto& c : kRanges) {
    oid.Set(BObjectIdentifier{10, 11, 12, 13, 14}, c.from, c.to);
    EXPECT_EQ(oid.ToString().str(), c.arcs) << c.from << ".." << c.to;
  }
  const unsigned char octets[] = {'a', 0x00, 0xFF};
  oid.Set(octets, 3, /*implied=*/false);
  oid.Append(oid, /*implied=*/true);  // appended to itself: the arcs as they were
  EXPECT_EQ(oid.ToString().str(), "3.97.0.255.3.97.0.255");
  oid.Set(octets, 3, /*implied=*/true);
  oid.Append(BObjectIdentifier{9, 10}, /*implied=*/false);
  EXPECT_EQ(oid.ToString().str(), "97.0.255.2.9.10");
}

// A value made by one setter call, e.g. VALUE(SetInt(42)).
// clang-format off
#define VALUE(call) [] { BObjectSyntax v; v.call; return v; }()
// clang-format on

TEST(BObjectSyntaxTest, ValToStrPrintsLikeTheSnmpCommandLineTools) {
  // The agent's codec test pins the other syntaxes' texts.
  // clang-format off
  const struct { BObjectSyntax value; const char* text; } kCases[] = {
      {VALUE(SetInt(-2147483647 - 1)), "INTEGER: -2147483648"}, {VALUE(SetOctets("a")), "STRING: \"a\""},
      {VALUE(SetOctets("")), "\"\""}, {VALUE(SetOctets("say \"hi\"\\")), "STRING: \"say \\\"hi\\\"\\\\\""},
      {VALUE(SetOctets("a\tb\n")), "STRING: \"a\tb\n\""}, {VALUE(SetOctets("\x7F")), "Hex-STRING: 7F"},
      {VALUE(SetOctets(std::string_view("ab\0", 3))), "Hex-STRING: 61 62 00"},
      {VALUE(SetOctets("caf\xC3\xA9")), "Hex-STRING: 63 61 66 C3 A9"},
      {VALUE(SetObjectId(BObjectIdentifier("1.3.6.1.4294967295"))), "OID: .1.3.6.1.4294967295"},
      {VALUE(SetCounter32(4294967295u)), "Counter32: 4294967295"}, {VALUE(SetGauge32(7)), "Gauge32: 7"},
      {VALUE(SetTimeTicks(0)), "Timeticks: (0) 0:00:00.00"}, {VALUE(SetSyntax(0x47)), "Wrong Type: unknown(0x47)"},
      {VALUE(SetTimeTicks(8639999)), "Timeticks: (8639999) 23:59:59.99"},
      {VALUE(SetTimeTicks(8640000)), "Timeticks: (8640000) 1 day, 0:00:00.00"},
      {VALUE(SetTimeTicks(4294967295u)), "Timeticks: (4294967295) 497 days, 2:27:52.95"}};
  // clang-format on
  for (const auto& c : kCases) EXPECT_EQ(c.value.ValToStr().str(), c.text);
}

TEST(BObjectSyntaxTest, EqualityComparesSyntaxAndTheValueItUses) {
  // clang-format off
  const BObjectSyntax kDistinct[] = {
      VALUE(SetInt(5)), VALUE(SetInt(6)), VALUE(SetGauge32(5)), VALUE(SetOctets("x")), VALUE(SetOctets("y")),
      VALUE(SetOctets("x", ASN_OPAQUE)), VALUE(SetObjectId(BObjectIdentifier("1.3"))),
      VALUE(SetObjectId(BObjectIdentifier("1.3.0"))), VALUE(SetIpAddress(BIpAddress(10, 0, 0, 4))),
      VALUE(SetIpAddress(BIpAddress(10, 0, 0, 5))), VALUE(SetCounter64(1ull << 32)), VALUE(SetCounter64(1)),
      VALUE(SetV2Exception(SNMP_END_OF_MIB_VIEW)), VALUE(SetV2Exception(SNMP_NO_SUCH_OBJECT)), BObjectSyntax()};
  // clang-format on
  for (const BObjectSyntax& a : kDistinct) {
    for (const BObjectSyntax& b : kDistinct) EXPECT_EQ(a == BObjectSyntax(b), &a == &b) << a.ValToStr().str();
  }
  BObjectSyntax leftOver = VALUE(SetOctets("left over"));  // members the syntax does not use do not count
  leftOver.SetNull();
  EXPECT_TRUE(leftOver == BObjectSyntax());
}

TEST(BMapTest, MapsKeepKeyOrderAndRefuseDuplicates) {
  int objects[8];
  BMapInt2Ptr ints;
  for (const int key : {5, -3, 100, 0, 7}) EXPECT_NE(ints.Insert(key, &objects[key & 7]), 0) << key;
  EXPECT_EQ(ints.Insert(7, &objects[1]), 0);
  EXPECT_EQ(ints.Lookup(7), &objects[7]);  // the first pointer stays
  for (const int i : {0, 1, 2, 3, 4}) EXPECT_EQ(ints.KeyAt(i), (std::vector<int>{-3, 0, 5, 7, 100}[i]));
  EXPECT_EQ(ints.Remove(5), &objects[5]);
  EXPECT_EQ(ints.Find(7), 2);

  const BObjectIdentifier kAscending[] = {{1, 3, 6}, {1, 3, 6, 1}, {1, 3, 6, 1, 9}, {1, 3, 6, 1, 10}, {2}};
  BMapOid2Ptr oids;
  for (const int i : {3, 0, 4, 2, 1}) EXPECT_NE(oids.Insert(kAscending[i], &objects[i]), 0) << i;
  EXPECT_EQ(oids.Insert(BObjectIdentifier{1, 3, 6, 1}, &objects[7]), 0);
  for (int i = 0; i < oids.Count(); ++i) EXPECT_EQ(oids.PtrAt(i), &objects[i]) << i;
  EXPECT_EQ(oids.RemoveAt(oids.Count()), nullptr);
  EXPECT_EQ(oids.Remove(oids.KeyAt(4)), &objects[4]);  // a key held by the map itself
}

TEST(BAddressTest, DottedParsingAndResolutionTakeTheirFormsAndKeepTheAddressOtherwise) {
  // clang-format off
  const struct { const char *text, *dotted, *resolved; } kCases[] = {  // null: refused
      {"127.0.0.1:10001", "127.0.0.1:10001", "127.0.0.1:10001"}, {"10.1.2.3:0161", "10.1.2.3:161", "10.1.2.3:161"},
      {"255.255.255.255:65535", "255.255.255.255:65535", "255.255.255.255:65535"},
      {"localhost:161", nullptr, "127.0.0.1:161"}, {"[::1]:161", nullptr, "[::1]:161"},
      {"127.0.0.1", nullptr, nullptr}, {"127.0.0.1:", nullptr, nullptr}, {":161", nullptr, nullptr},
      {"127.0.0.1:65536", nullptr, nullptr}, {"127.0.0.1:-1", nullptr, nullptr}, {"1.2.3.4: 1", nullptr, nullptr},
      {"1.2.3.4:1 ", nullptr, nullptr}, {"1.2.3.4:+1", nullptr, nullptr}, {"1.2.3.256:161", nullptr, nullptr},
      {"[]:161", nullptr, nullptr}, {"[::1]161", nullptr, nullptr}, {"[::1:161", nullptr, nullptr},
      {"::1:161", nullptr, nullptr}, {"1.2.3.4:161:1", nullptr, nullptr}, {"", nullptr, nullptr}};
  // clang-format on
  for (const auto& c : kCases) {
    BAddrINet dotted;
    ASSERT_NE(dotted.AssignFromDottedDecimalStr("9.9.9.9:99"), 0);
    BAddress resolved = dotted;
    EXPECT_EQ(dotted.AssignFromDottedDecimalStr(c.text) != 0, c.dotted != nullptr) << c.text;
    EXPECT_EQ(QVAddressToString(dotted).str(), c.dotted ? c.dotted : "9.9.9.9:99") << c.text;
    EXPECT_EQ(QVResolveAddress(c.text, resolved) != 0, c.resolved != nullptr) << c.text;
    EXPECT_EQ(QVAddressToString(resolved).str(), c.resolved ? c.resolved : "9.9.9.9:99") << c.text;
  }
}

// Addresses and prefixes of both families; IPv4-mapped senders match the IPv4 prefixes; host bits of a
// prefix are ignored; the port is never looked at.
TEST(BAddressFilterTest, PrefixesMatchTheirAddressesOnly) {
  // clang-format off
  const struct { const char* filter; const char* address; bool matches; } kCases[] = {
      {"127.0.0.0/8", "127.0.0.1:1", true},      {"127.0.0.0/8", "127.255.1.2:9", true},
      {"127.0.0.0/8", "128.0.0.1:1", false},     {"127.0.0.0/8", "[::1]:1", false},
      {"127.0.0.0/8, ::1", "[::1]:161", true},   {"10.1.2.3/8", "10.200.0.1:1", true},
      {"10.1.2.3", "10.1.2.3:7", true},          {"10.1.2.3", "10.1.2.4:7", false},
      {"192.168.1.128/25", "192.168.1.200:1", true}, {"192.168.1.128/25", "192.168.1.127:1", false},
      {"192.168.0.0/23", "192.168.1.9:1", true}, {"192.168.0.0/23", "192.168.2.9:1", false},
      {"0.0.0.0/0", "203.0.113.9:1", true},      {"::/0", "[2001:db8::1]:1", true},
      {"::/0", "10.0.0.1:1", false},             {"fd00::/8", "[fd12::1]:1", true},
      {"fd00::/8", "[fe80::1]:1", false},        {"127.0.0.0/8", "[::ffff:127.0.0.5]:1", true},
      {"::ffff:10.0.0.0/104", "10.9.9.9:1", true}, {"", "127.0.0.1:1", false},
  };
  const struct { const char* text; const char* bad; } kRefused[] = {
      {"10.0.0.0/33", "10.0.0.0/33"}, {"::/129", "::/129"}, {"10.0.0.300", "10.0.0.300"},
      {"127.0.0.1, host.example", "host.example"}, {"10.0.0.0/", "10.0.0.0/"}, {"10.0.0.0/x", "10.0.0.0/x"},
      {"10.0.0.0/-1", "10.0.0.0/-1"}, {"1.2.3.4:161", "1.2.3.4:161"},
  };
  // clang-format on
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string(c.filter) + " " + c.address);
    BAddressFilter filter;
    BString error;
    ASSERT_TRUE(filter.Parse(c.filter, error)) << error.str();
    BAddress address;
    ASSERT_NE(QVResolveAddress(c.address, address), 0);
    EXPECT_EQ(filter.Matches(address), c.matches);
  }
  for (const auto& c : kRefused) {
    SCOPED_TRACE(c.text);
    BAddressFilter filter = BAddressFilter::Loopback();
    BString error;
    EXPECT_FALSE(filter.Parse(c.text, error));
    EXPECT_EQ(error.str().rfind(std::string("'") + c.bad + "' is not an IP address or prefix", 0), 0u) << error.str();
    EXPECT_EQ(filter.ToString().str(), "127.0.0.0/8, ::1/128");  // unchanged
  }
  BAddress a, b, c;
  ASSERT_TRUE(QVResolveAddress("127.0.0.1:1", a) && QVResolveAddress("[::ffff:127.0.0.1]:2", b) &&
              QVResolveAddress("127.0.0.2:1", c));
  EXPECT_TRUE(QVSameHost(a, b));
  EXPECT_FALSE(QVSameHost(a, c));
  EXPECT_FALSE(QVSameHost(BAddress(), BAddress()));
}

}  // namespace
}  // namespace QVT
