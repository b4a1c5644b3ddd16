// Object identifiers: dotted-text parsing, ordering, prefix tests and the
// Set/Append forms the codecs and the registration code are written
// against. Expected OIDs are written as dotted text.
#include "BObjectIdentifier.h"

#include <gtest/gtest.h>

#include <string>

namespace QVT {
namespace {

std::string Text(const BObjectIdentifier& oid) {
  return oid.ToString().str();
}

// Whether dotted OID `a` starts dotted OID `b` (equal OIDs included).
bool IsPrefixText(const std::string& a, const std::string& b) {
  return a.empty() || a == b || b.starts_with(a + ".");
}

TEST(BObjectIdentifierTest, ParseAcceptsDottedDecimalAndToStringGivesItBack) {
  // clang-format off
  const struct {
    const char* text;
    unsigned count;
    const char* printed;
  } kGood[] = {
      {"1.3.6.1", 4, "1.3.6.1"}, {".1.3.6.1", 4, "1.3.6.1"}, {"0", 1, "0"}, {"1.3.0.0", 4, "1.3.0.0"},
      {"", 0, ""}, {"007.1", 2, "7.1"}, {"1.3.4294967295", 3, "1.3.4294967295"}};
  // clang-format on
  for (const auto& c : kGood) {
    SCOPED_TRACE(c.text);
    BObjectIdentifier oid{9, 9};
    EXPECT_TRUE(oid.Parse(c.text));
    EXPECT_EQ(oid.Length(), c.count);
    EXPECT_EQ(Text(oid), c.printed);
    EXPECT_EQ(BObjectIdentifier(BString(c.text)), oid);
  }
}

TEST(BObjectIdentifierTest, ParseRejectsMalformedTextsAndKeepsTheOid) {
  // clang-format off
  const char* const kBad[] = {
      ".", "1..3", "1.3.", "..1", "1.3.a", "1.-3", "-1", "1. 3", " 1.3", "1.3 ", "+1", "1,3", "0x10",
      "1.3.4294967296", "1.99999999999999999999", "1.3.6.1#"};
  // clang-format on
  for (const char* text : kBad) {
    SCOPED_TRACE(text);
    BObjectIdentifier oid{9, 9};
    EXPECT_FALSE(oid.Parse(text));
    EXPECT_EQ(Text(oid), "9.9");
    EXPECT_TRUE(BObjectIdentifier(BString(text)).IsEmpty());
  }
  BObjectIdentifier oid{9};
  EXPECT_FALSE(oid.Parse(nullptr));
}

TEST(BObjectIdentifierTest, CompareOrdersByArcValueWithPrefixFirst) {
  // Each entry sorts strictly before the next: a prefix before its
  // extensions, 10 after 9 (unlike text), arcs compared as unsigned. The
  // same pairs check IsStartingSubOidOf.
  // clang-format off
  const char* const kAscending[] = {
      "", "0", "1.3", "1.3.6", "1.3.6.0", "1.3.6.1", "1.3.6.1.4294967295", "1.3.6.9", "1.3.6.10",
      "1.3.6.2147483647", "1.3.6.2147483648", "1.3.6.4294967295", "1.3.6.4294967295.0", "2"};
  // clang-format on
  const size_t n = std::size(kAscending);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) {
      SCOPED_TRACE(std::string(kAscending[i]) + " vs " + kAscending[j]);
      const BObjectIdentifier a(kAscending[i]);
      const BObjectIdentifier b(kAscending[j]);
      const int got = a.Compare(b);
      EXPECT_EQ((got > 0) - (got < 0), i < j ? -1 : (i == j ? 0 : 1));
      EXPECT_EQ(a < b, i < j);
      EXPECT_EQ(a.IsStartingSubOidOf(b) != 0, IsPrefixText(kAscending[i], kAscending[j]));
    }
  }
}

TEST(BObjectIdentifierTest, SetRangeCopiesInclusiveArcs) {
  const BObjectIdentifier src{10, 11, 12, 13, 14};
  const unsigned kEnd = BObjectIdentifier::kToEnd;
  // clang-format off
  const struct {
    unsigned from, to;
    const char* arcs;
  } kCases[] = {
      {0, kEnd, "10.11.12.13.14"}, {2, kEnd, "12.13.14"}, {4, kEnd, "14"}, {1, 3, "11.12.13"}, {0, 0, "10"},
      {3, 3, "13"}, {2, 99, "12.13.14"} /* past the end: through the last arc */, {5, kEnd, ""}, {3, 2, ""}};
  // clang-format on
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.from) + ".." + std::to_string(c.to));
    BObjectIdentifier oid{7};
    oid.Set(src, c.from, c.to);
    EXPECT_EQ(Text(oid), c.arcs);
  }
  BObjectIdentifier self{1, 2, 3, 4};
  self.Set(self, 1, 2);
  EXPECT_EQ(Text(self), "2.3");
}

TEST(BObjectIdentifierTest, OtherSetFormsReplaceTheWholeOid) {
  BObjectIdentifier oid{1, 2, 3};
  const uint32_t arcs[] = {5, 6, 0xFFFFFFFFu};
  oid.Set(3, arcs);
  EXPECT_EQ(Text(oid), "5.6.4294967295");
  EXPECT_EQ(Text(BObjectIdentifier(2, arcs)), "5.6");
  oid.Set(42u);
  EXPECT_EQ(Text(oid), "42");
  oid.Set(BObjectIdentifier{8, 9});
  EXPECT_EQ(Text(oid), "8.9");
  oid.Set(0, nullptr);
  EXPECT_TRUE(oid.IsEmpty());

  const unsigned char octets[] = {'a', 0x00, 0xFF};
  oid.Set(octets, 3, /*implied=*/false);
  EXPECT_EQ(Text(oid), "3.97.0.255");
  oid.Set(octets, 3, /*implied=*/true);
  EXPECT_EQ(Text(oid), "97.0.255");
  oid.Set(octets, 0, /*implied=*/false);
  EXPECT_EQ(Text(oid), "0");
  oid.Set(octets, -1, /*implied=*/true);
  EXPECT_TRUE(oid.IsEmpty());
}

TEST(BObjectIdentifierTest, AppendFormsAddArcsAtTheEnd) {
  BObjectIdentifier oid{1, 3};
  oid.Append(6u);
  oid.Append(BObjectIdentifier{7, 8}, /*implied=*/true);
  oid.Append(BObjectIdentifier{9, 10}, /*implied=*/false);
  oid.Append(BObjectIdentifier(), /*implied=*/false);
  EXPECT_EQ(Text(oid), "1.3.6.7.8.2.9.10.0");
  // An OID appended to itself: the arcs as they were before the call.
  BObjectIdentifier self{4, 5};
  self.Append(self, /*implied=*/true);
  EXPECT_EQ(Text(self), "4.5.4.5");
  self.Append(self, /*implied=*/false);
  EXPECT_EQ(Text(self), "4.5.4.5.4.4.5.4.5");
}

}  // namespace
}  // namespace QVT
