// SNMP values: octet strings (growth, reserve, display text), the value
// setters and their printed form, value equality, and varbind lists.
#include "BObjectSyntax.h"

#include <gtest/gtest.h>

#include <string>

#include "BVarBind.h"

namespace QVT {
namespace {

TEST(BStringTest, LengthBasedOperationsAcceptNullAndEmbeddedZeros) {
  BString s("sysDescr");
  EXPECT_EQ(s.compare(3, 5, "Descr", 5), 0);
  EXPECT_LT(s.compare(0, 3, "syz", 3), 0);
  EXPECT_EQ(s.compare(20, 1, "", 0), 0);  // past the end: equal to the empty text only
  EXPECT_NE(s.compare(20, 1, "x", 1), 0);
  EXPECT_EQ(s.compare(0, 0, nullptr, 5), 0);
  s.Init("abc\0def", 7);
  s.Append("xyz", 2);
  s.Append(nullptr, 3);
  EXPECT_EQ(s.str(), std::string("abc\0defxy", 9));
  s.Init(nullptr, 4);
  EXPECT_TRUE(s.empty());
  EXPECT_EQ(BString(static_cast<const char*>(nullptr)).length(), 0u);
}

TEST(BOctetStringTest, AssignGrowsTheStorageButNeverShrinksIt) {
  BOctetString s;
  EXPECT_EQ(s.Length(), 0u);
  EXPECT_EQ(s.Data(), nullptr);
  s.Assign("abcdef");
  EXPECT_EQ(s.Length(), 6u);
  EXPECT_GE(s.Capacity(), 6u);
  s.Assign("xy");
  EXPECT_EQ(s.AsStringView(), "xy");
  EXPECT_GE(s.Capacity(), 6u);
  s.Assign("0123456789");
  EXPECT_GE(s.Capacity(), 10u);
  s.Assign(4, s.Data() + 6);  // a part of its own storage
  EXPECT_EQ(s.AsStringView(), "6789");
  s.Assign(3, nullptr);
  EXPECT_EQ(s.Length(), 0u);
}

TEST(BOctetStringTest, ReserveFillsTheStorageAndEmptiesTheContent) {
  BOctetString s("abc");
  s.Reserve(2048, 0xAA);
  EXPECT_EQ(s.Capacity(), 2048u);
  EXPECT_EQ(s.Length(), 0u);
  EXPECT_EQ(s[0], 0xAA);
  EXPECT_EQ(s[2047], 0xAA);
  s[1] = 'z';
  s.SetLength(2);
  EXPECT_EQ(s.AsStringView(), "\xAAz");
  // A length beyond the storage (the coders' overrun marker) reads as empty.
  s.SetLength(0xFFFFFFFFu);
  EXPECT_EQ(s.View().length, 0u);
  EXPECT_EQ(s.ToDispStr().str(), "");
}

TEST(BOctetStringTest, ToDispStrGivesTextWhenPrintableElseHexPairs) {
  // clang-format off
  const struct {
    std::string octets;
    const char* display;
  } kCases[] = {
      {"", ""}, {"public", "public"}, {"tab\there\r\n", "tab\there\r\n"}, {"a\vb\f", "a\vb\f"},
      {std::string("\x00\x1A\xFF", 3), "00 1A FF"}, {std::string("abc\0", 4), "61 62 63 00"}, {"\x7F", "7F"},
      {"caf\xC3\xA9", "63 61 66 C3 A9"}};
  // clang-format on
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.display);
    EXPECT_EQ(BOctetString(c.octets).ToDispStr().str(), c.display);
  }
}

// A value made by one setter call, e.g. VALUE(SetInt(42)).
template <class Setter>
BObjectSyntax Make(Setter set) {
  BObjectSyntax v;
  set(v);
  return v;
}
#define VALUE(call) Make([](BObjectSyntax& v) { v.call; })

TEST(BObjectSyntaxTest, ValToStrPrintsLikeTheSnmpCommandLineTools) {
  BObjectSyntax unknown;
  unknown.SetSyntax(0x47);
  // clang-format off
  const struct {
    BObjectSyntax value;
    const char* text;
  } kCases[] = {
      {VALUE(SetInt(42)), "INTEGER: 42"},
      {VALUE(SetInt(-2147483647 - 1)), "INTEGER: -2147483648"},
      {VALUE(SetOctets("a")), "STRING: \"a\""},
      {VALUE(SetOctets("")), "\"\""},
      {VALUE(SetOctets("say \"hi\"\\")), "STRING: \"say \\\"hi\\\"\\\\\""},
      {VALUE(SetOctets("a\tb\n")), "STRING: \"a\tb\n\""},
      {VALUE(SetOctets(std::string_view("\x00\x01", 2))), "Hex-STRING: 00 01"},
      {VALUE(SetOctets(std::string_view("ab\0", 3))), "Hex-STRING: 61 62 00"},
      {BObjectSyntax(), "NULL"},
      {BObjectSyntax(ASN_NULL), "NULL"},
      {VALUE(SetObjectId(BObjectIdentifier("1.3.6.1.4294967295"))), "OID: .1.3.6.1.4294967295"},
      {VALUE(SetIpAddress(BIpAddress(10, 0, 0, 1))), "IpAddress: 10.0.0.1"},
      {VALUE(SetUnsigned(ASN_COUNTER32, 4294967295u)), "Counter32: 4294967295"},
      {VALUE(SetUnsigned(ASN_GAUGE32, 7)), "Gauge32: 7"},
      {VALUE(SetUnsigned(ASN_TIMETICKS, 0)), "Timeticks: (0) 0:00:00.00"},
      {VALUE(SetUnsigned(ASN_TIMETICKS, 300)), "Timeticks: (300) 0:00:03.00"},
      {VALUE(SetUnsigned(ASN_TIMETICKS, 8639999)), "Timeticks: (8639999) 23:59:59.99"},
      {VALUE(SetUnsigned(ASN_TIMETICKS, 8640000)), "Timeticks: (8640000) 1 day, 0:00:00.00"},
      {VALUE(SetUnsigned(ASN_TIMETICKS, 17646100)), "Timeticks: (17646100) 2 days, 1:01:01.00"},
      {VALUE(SetUnsigned(ASN_TIMETICKS, 4294967295u)), "Timeticks: (4294967295) 497 days, 2:27:52.95"},
      {VALUE(SetOctets("\x01\x02", ASN_OPAQUE)), "OPAQUE: 01 02"},
      {VALUE(SetCounter64(18446744073709551615ull)), "Counter64: 18446744073709551615"},
      {VALUE(SetV2Exception(SNMP_NO_SUCH_OBJECT)), "No Such Object available on this agent at this OID"},
      {VALUE(SetV2Exception(SNMP_NO_SUCH_INSTANCE)), "No Such Instance currently exists at this OID"},
      {VALUE(SetV2Exception(SNMP_END_OF_MIB_VIEW)), "No more variables left in this MIB View (It is past the end of the MIB tree)"},
      {unknown, "Wrong Type: unknown(0x47)"},
  };
  // clang-format on
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.value.ValToStr().str(), c.text);
  }
}

TEST(BObjectSyntaxTest, EachSetterSetsTheSyntaxOfAReusedValue) {
  BObjectSyntax v;
  v.SetOctets("text");
  v.SetInt(-1);
  EXPECT_EQ(v.Syntax(), ASN_INTEGER);
  v.SetCounter64(BCounter64(1ull << 40));
  EXPECT_EQ(v.Syntax(), ASN_COUNTER64);
  EXPECT_EQ(v.GetCounter64().Value(), 1ull << 40);
  v.SetOctets(BOctetString("xyz"), ASN_OPAQUE);
  EXPECT_EQ(v.Syntax(), ASN_OPAQUE);
  v.SetOctets(v.GetOctets());  // its own octets
  EXPECT_EQ(v.GetOctets().AsStringView(), "xyz");
  BOctetString overrun("abc");
  overrun.SetLength(0xFFFFFFFFu);  // the encoders' overrun marker
  v.SetOctets(overrun);
  EXPECT_EQ(v.GetOctets().Length(), 0u);
  v.SetV2Exception(SNMP_NO_SUCH_INSTANCE);
  EXPECT_TRUE(v.IsException());
  v.SetNull();
  EXPECT_TRUE(v.IsNull());
}

TEST(BObjectSyntaxTest, EqualityComparesSyntaxAndTheValueItUses) {
  // Pairwise different values: equal only to (a copy of) themselves.
  // clang-format off
  const BObjectSyntax kDistinct[] = {
      VALUE(SetInt(5)), VALUE(SetInt(6)), VALUE(SetGauge32(5)), VALUE(SetOctets("x")), VALUE(SetOctets("y")),
      VALUE(SetOctets("x", ASN_OPAQUE)), VALUE(SetObjectId(BObjectIdentifier("1.3"))),
      VALUE(SetObjectId(BObjectIdentifier("1.3.0"))), VALUE(SetIpAddress(BIpAddress(10, 0, 0, 4))),
      VALUE(SetIpAddress(BIpAddress(10, 0, 0, 5))), VALUE(SetCounter64(1ull << 32)), VALUE(SetCounter64(1)),
      VALUE(SetV2Exception(SNMP_END_OF_MIB_VIEW)), VALUE(SetV2Exception(SNMP_NO_SUCH_OBJECT)), BObjectSyntax()};
  // clang-format on
  for (const BObjectSyntax& a : kDistinct) {
    for (const BObjectSyntax& b : kDistinct) {
      SCOPED_TRACE(a.ValToStr().str() + " vs " + b.ValToStr().str());
      BObjectSyntax copy;
      copy.Assign(b);
      EXPECT_EQ(a == copy, &a == &b);
    }
  }
  // Members the syntax does not use do not count.
  BObjectSyntax leftOver = VALUE(SetOctets("left over"));
  leftOver.SetNull();
  EXPECT_TRUE(leftOver == BObjectSyntax());
}

TEST(BVarBindListTest, AppendFormsKeepOrderAndCopyDeeply) {
  const BObjectIdentifier first{1, 3, 6, 1, 2, 1, 1, 1, 0};
  BObjectSyntax text;
  text.SetOctets("descr");

  BVarBindList list;
  list.Append(first);
  list.Append(BObjectIdentifier{1, 2}, text);
  list.Append(BVarBind(BObjectIdentifier{1, 3}));
  ASSERT_EQ(list.Count(), 3);
  EXPECT_TRUE(list[0].value.IsNull());
  EXPECT_EQ(list[0].name, first);
  EXPECT_EQ(list[1].value.ValToStr().str(), "STRING: \"descr\"");

  BVarBindList copy;
  copy.Append(list);
  copy.Append(copy);  // the list appended to itself
  ASSERT_EQ(copy.Count(), 6);
  EXPECT_EQ(copy[4].name, (BObjectIdentifier{1, 2}));
  copy[1].value.SetInt(1);
  EXPECT_EQ(list[1].value.ValToStr().str(), "STRING: \"descr\"");

  BVarBindList assigned;
  assigned.Append(first);
  assigned = list;
  EXPECT_EQ(assigned.Count(), 3);
  assigned.Assign(assigned);
  EXPECT_EQ(assigned.Count(), 3);
  assigned.RemoveAt(0);
  EXPECT_EQ(assigned[0].name, (BObjectIdentifier{1, 2}));
  assigned.RemoveAt(2);  // out of range: nothing happens
  assigned.RemoveAt(-1);
  EXPECT_EQ(assigned.Count(), 2);
  assigned.Truncate(5);
  assigned.Truncate(1);
  EXPECT_EQ(assigned.Count(), 1);
  assigned.Truncate(-1);
  EXPECT_EQ(assigned.Count(), 0);
  assigned.Clear();
  EXPECT_TRUE(assigned.IsEmpty());

  BVarBind vb;
  vb.Assign(list[1]);
  EXPECT_EQ(vb.name, list[1].name);
  EXPECT_TRUE(vb.value == list[1].value);
}

}  // namespace
}  // namespace QVT
