// SNMP values: octet strings (growth, reserve, display text), the value
// setters and their printed form, value equality, and varbind lists.
#include "BObjectSyntax.h"

#include <gtest/gtest.h>

#include <string>

#include "BVarBind.h"

namespace QVT {
namespace {

BOctetString Octets(std::string_view text) {
  return BOctetString(text);
}

TEST(BStringTest, LengthBasedOperationsAcceptNullAndEmbeddedZeros) {
  BString s("sysDescr");
  EXPECT_EQ(s.compare(0, 3, "sys", 3), 0);
  EXPECT_EQ(s.compare(3, 5, "Descr", 5), 0);
  EXPECT_LT(s.compare(0, 3, "syz", 3), 0);
  EXPECT_NE(s.compare(0, 8, "sys", 3), 0);
  EXPECT_EQ(s.compare(20, 1, "", 0), 0);  // past the end: equal to the empty text only
  EXPECT_NE(s.compare(20, 1, "x", 1), 0);
  EXPECT_EQ(s.compare(0, 0, nullptr, 5), 0);
  s.Init("abc\0def", 7);
  EXPECT_EQ(s.length(), 7u);
  s.Append("xyz", 2);
  s.Append(nullptr, 3);
  EXPECT_EQ(s.str(), std::string("abc\0defxy", 9));
  s.Init(nullptr, 4);
  EXPECT_TRUE(s.empty());
  EXPECT_EQ(BString::Strlen(nullptr), 0u);
  EXPECT_EQ(BString(static_cast<const char*>(nullptr)).length(), 0u);
  EXPECT_STREQ(BString::_Nullstr(), "");
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
  const struct {
    std::string octets;
    const char* display;
  } kCases[] = {
      {"", ""},
      {"public", "public"},
      {"tab\there\r\n", "tab\there\r\n"},
      {"a\vb\f", "a\vb\f"},
      {std::string("\x00\x1A\xFF", 3), "00 1A FF"},
      {std::string("abc\0", 4), "61 62 63 00"},
      {"\x7F", "7F"},
      {"caf\xC3\xA9", "63 61 66 C3 A9"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.display);
    EXPECT_EQ(Octets(c.octets).ToDispStr().str(), c.display);
  }
}

TEST(BCounter64Test, HalvesAndValueAgree) {
  BCounter64 c(0x0123456789ABCDEFull);
  EXPECT_EQ(c[0], 0x89ABCDEFu);
  EXPECT_EQ(c[1], 0x01234567u);
  EXPECT_EQ(c.Octet(0), 0xEF);
  EXPECT_EQ(c.Octet(7), 0x01);
  c = 5u;
  EXPECT_EQ(c.Value(), 5u);
  c[1] = 1;
  EXPECT_EQ(c.Value(), 0x100000005ull);
}

TEST(BObjectSyntaxTest, ValToStrPrintsLikeTheSnmpCommandLineTools) {
  auto make = [](auto setter) {
    BObjectSyntax v;
    setter(v);
    return v;
  };
  const struct {
    BObjectSyntax value;
    unsigned char syntax;
    const char* text;
  } kCases[] = {
      {make([](auto& v) { v.SetInt(42); }), ASN_INTEGER, "INTEGER: 42"},
      {make([](auto& v) { v.SetInt(-2147483647 - 1); }), ASN_INTEGER, "INTEGER: -2147483648"},
      {make([](auto& v) { v.SetOctets("a"); }), ASN_OCTET_STRING, "STRING: \"a\""},
      {make([](auto& v) { v.SetOctets(""); }), ASN_OCTET_STRING, "\"\""},
      {make([](auto& v) { v.SetOctets("say \"hi\"\\"); }), ASN_OCTET_STRING, "STRING: \"say \\\"hi\\\"\\\\\""},
      {make([](auto& v) { v.SetOctets("a\tb\n"); }), ASN_OCTET_STRING, "STRING: \"a\tb\n\""},
      {make([](auto& v) { v.SetOctets(std::string_view("\x00\x01", 2)); }), ASN_OCTET_STRING, "Hex-STRING: 00 01"},
      {make([](auto& v) { v.SetOctets(std::string_view("ab\0", 3)); }), ASN_OCTET_STRING, "Hex-STRING: 61 62 00"},
      {BObjectSyntax(), ASN_NULL, "NULL"},
      {BObjectSyntax(ASN_NULL), ASN_NULL, "NULL"},
      {make([](auto& v) {
         v.SetObjectId(BObjectIdentifier{1, 3, 6, 1, 0xFFFFFFFFu});
       }),
       ASN_OBJECT_ID, "OID: .1.3.6.1.4294967295"},
      {make([](auto& v) { v.SetIpAddress(BIpAddress(10, 0, 0, 1)); }), ASN_IPADDRESS, "IpAddress: 10.0.0.1"},
      {make([](auto& v) { v.SetCounter32(4294967295u); }), ASN_COUNTER32, "Counter32: 4294967295"},
      {make([](auto& v) { v.SetGauge32(7); }), ASN_GAUGE32, "Gauge32: 7"},
      {make([](auto& v) { v.SetTimeTicks(0); }), ASN_TIMETICKS, "Timeticks: (0) 0:00:00.00"},
      {make([](auto& v) { v.SetTimeTicks(300); }), ASN_TIMETICKS, "Timeticks: (300) 0:00:03.00"},
      {make([](auto& v) { v.SetTimeTicks(8639999); }), ASN_TIMETICKS, "Timeticks: (8639999) 23:59:59.99"},
      {make([](auto& v) { v.SetTimeTicks(8640000); }), ASN_TIMETICKS, "Timeticks: (8640000) 1 day, 0:00:00.00"},
      {make([](auto& v) { v.SetTimeTicks(17646100); }), ASN_TIMETICKS, "Timeticks: (17646100) 2 days, 1:01:01.00"},
      {make([](auto& v) { v.SetTimeTicks(4294967295u); }), ASN_TIMETICKS,
       "Timeticks: (4294967295) 497 days, 2:27:52.95"},
      {make([](auto& v) { v.SetOctets("\x01\x02", ASN_OPAQUE); }), ASN_OPAQUE, "OPAQUE: 01 02"},
      {make([](auto& v) { v.SetCounter64(18446744073709551615ull); }), ASN_COUNTER64,
       "Counter64: 18446744073709551615"},
      {make([](auto& v) { v.SetV2Exception(SNMP_NO_SUCH_OBJECT); }), ASN_NO_SUCH_OBJECT,
       "No Such Object available on this agent at this OID"},
      {make([](auto& v) { v.SetV2Exception(SNMP_NO_SUCH_INSTANCE); }), ASN_NO_SUCH_INSTANCE,
       "No Such Instance currently exists at this OID"},
      {make([](auto& v) { v.SetV2Exception(SNMP_END_OF_MIB_VIEW); }), ASN_END_OF_MIB_VIEW,
       "No more variables left in this MIB View (It is past the end of the MIB tree)"},
      {make([](auto& v) { v.SetSyntax(0x47); }), 0x47, "Wrong Type: unknown(0x47)"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.value.Syntax(), c.syntax);
    EXPECT_EQ(c.value.ValToStr().str(), c.text);
    EXPECT_EQ(c.value.IsException(), c.syntax >= 0x80 && c.syntax <= 0x82);
  }
}

TEST(BObjectSyntaxTest, SettersReplaceTheSyntaxOfAnEarlierValue) {
  BObjectSyntax v;
  v.SetOctets("text");
  v.SetInt(-1);
  EXPECT_EQ(v.Syntax(), ASN_INTEGER);
  EXPECT_EQ(v.GetInt(), -1);
  v.SetCounter64(BCounter64(1ull << 40));
  EXPECT_EQ(v.Syntax(), ASN_COUNTER64);
  EXPECT_EQ(v.GetCounter64().Value(), 1ull << 40);
  v.SetOctets(BOctetString("xyz"), ASN_OPAQUE);
  EXPECT_EQ(v.Syntax(), ASN_OPAQUE);
  EXPECT_EQ(v.GetOctets().AsStringView(), "xyz");
  v.SetOctets(v.GetOctets());  // its own octets
  EXPECT_EQ(v.GetOctets().AsStringView(), "xyz");
  BOctetString overrun("abc");
  overrun.SetLength(0xFFFFFFFFu);  // the encoders' overrun marker
  v.SetOctets(overrun);
  EXPECT_EQ(v.GetOctets().Length(), 0u);
  v.SetNull();
  EXPECT_TRUE(v.IsNull());
}

TEST(BObjectSyntaxTest, EqualityComparesSyntaxAndTheValueItUses) {
  BObjectSyntax a;
  BObjectSyntax b;
  a.SetInt(5);
  b.SetGauge32(5);
  EXPECT_FALSE(a == b);  // same number, other syntax
  b.SetInt(5);
  EXPECT_TRUE(a == b);
  b.SetInt(6);
  EXPECT_FALSE(a == b);
  // Members the syntax does not use do not count.
  a.SetOctets("left over");
  a.SetNull();
  b.SetNull();
  EXPECT_TRUE(a == b);
  a.SetOctets("x");
  b.SetOctets("x", ASN_OPAQUE);
  EXPECT_FALSE(a == b);
  b.SetOctets("x");
  EXPECT_TRUE(a == b);
  a.SetObjectId(BObjectIdentifier{1, 3});
  b.SetObjectId(BObjectIdentifier{1, 3, 0});
  EXPECT_FALSE(a == b);
  a.SetIpAddress(BIpAddress(1, 2, 3, 4));
  b.SetIpAddress(BIpAddress(1, 2, 3, 5));
  EXPECT_FALSE(a == b);
  a.SetCounter64(1ull << 32);
  b.SetCounter64(1);
  EXPECT_FALSE(a == b);
  a.SetV2Exception(SNMP_END_OF_MIB_VIEW);
  b.SetV2Exception(SNMP_END_OF_MIB_VIEW);
  EXPECT_TRUE(a == b);

  BObjectSyntax copy(a);
  copy.Assign(b);
  a.SetOctets("changed");
  EXPECT_TRUE(copy == b);
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
