// Object identifiers: dotted-text parsing, ordering, prefix tests and the
// Set/Append forms the codecs and the registration code are written
// against.
#include "BObjectIdentifier.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace QVT {
namespace {

using Arcs = std::vector<uint32_t>;

Arcs ArcsOf(const BObjectIdentifier& oid) {
  return Arcs(oid.begin(), oid.end());
}

TEST(BObjectIdentifierTest, ParseAcceptsDottedDecimalTexts) {
  const struct {
    const char* text;
    Arcs arcs;
  } kCases[] = {
      {"1.3.6.1", {1, 3, 6, 1}},
      {".1.3.6.1", {1, 3, 6, 1}},
      {"0", {0}},
      {"1.3.4294967295", {1, 3, 0xFFFFFFFFu}},
      {"1.3.0.0", {1, 3, 0, 0}},
      {"", {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    BObjectIdentifier oid{9, 9};
    EXPECT_TRUE(oid.Parse(c.text));
    EXPECT_EQ(ArcsOf(oid), c.arcs);
    EXPECT_EQ(ArcsOf(BObjectIdentifier(BString(c.text))), c.arcs);
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
    EXPECT_EQ(ArcsOf(oid), (Arcs{9, 9}));
    EXPECT_TRUE(BObjectIdentifier(BString(text)).IsEmpty());
  }
  BObjectIdentifier oid{9};
  EXPECT_FALSE(oid.Parse(nullptr));
}

TEST(BObjectIdentifierTest, CompareOrdersByArcValueWithPrefixFirst) {
  // Each row sorts strictly before the next one.
  const BObjectIdentifier kAscending[] = {
      {},
      {0},
      {1, 3},
      {1, 3, 6},
      {1, 3, 6, 0},
      {1, 3, 6, 1},
      {1, 3, 6, 1, 0xFFFFFFFFu},
      {1, 3, 6, 9},
      {1, 3, 6, 10},  // after 9 by value although "10" < "9" as text
      {1, 3, 6, 0x7FFFFFFFu},
      {1, 3, 6, 0x80000000u},  // unsigned: above the largest signed value
      {1, 3, 6, 0xFFFFFFFFu},
      {1, 3, 6, 0xFFFFFFFFu, 0},
      {2},
  };
  const size_t n = std::size(kAscending);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < n; ++j) {
      SCOPED_TRACE(kAscending[i].ToString().str() + " vs " + kAscending[j].ToString().str());
      const int expected = i < j ? -1 : (i == j ? 0 : 1);
      const int got = kAscending[i].Compare(kAscending[j]);
      EXPECT_EQ((got > 0) - (got < 0), expected);
      EXPECT_EQ(kAscending[i] < kAscending[j], i < j);
    }
  }
}

TEST(BObjectIdentifierTest, IsStartingSubOidOfHoldsForPrefixesAndEqualOids) {
  const BObjectIdentifier root{1, 3, 6, 1, 4};
  EXPECT_NE(root.IsStartingSubOidOf(BObjectIdentifier{1, 3, 6, 1, 4}), 0);
  EXPECT_NE(root.IsStartingSubOidOf(BObjectIdentifier{1, 3, 6, 1, 4, 1, 0}), 0);
  EXPECT_NE(BObjectIdentifier().IsStartingSubOidOf(root), 0);
  EXPECT_EQ(root.IsStartingSubOidOf(BObjectIdentifier{1, 3, 6, 1}), 0);
  EXPECT_EQ(root.IsStartingSubOidOf(BObjectIdentifier{1, 3, 6, 1, 5, 1}), 0);
  EXPECT_EQ(root.IsStartingSubOidOf(BObjectIdentifier{1, 3, 6, 1, 40}), 0);
  EXPECT_EQ(root.IsStartingSubOidOf(BObjectIdentifier()), 0);
}

TEST(BObjectIdentifierTest, SetRangeCopiesInclusiveArcs) {
  const BObjectIdentifier src{10, 11, 12, 13, 14};
  const unsigned kEnd = BObjectIdentifier::kToEnd;
  const struct {
    unsigned from, to;
    Arcs arcs;
  } kCases[] = {
      {0, kEnd, {10, 11, 12, 13, 14}},
      {2, kEnd, {12, 13, 14}},
      {4, kEnd, {14}},
      {1, 3, {11, 12, 13}},
      {0, 0, {10}},
      {3, 3, {13}},
      {2, 99, {12, 13, 14}},  // past the end: through the last arc
      {5, kEnd, {}},          // starts past the end
      {3, 2, {}},             // empty range
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.from) + ".." + std::to_string(c.to));
    BObjectIdentifier oid{7};
    oid.Set(src, c.from, c.to);
    EXPECT_EQ(ArcsOf(oid), c.arcs);
  }
  BObjectIdentifier self{1, 2, 3, 4};
  self.Set(self, 1, 2);
  EXPECT_EQ(ArcsOf(self), (Arcs{2, 3}));
}

TEST(BObjectIdentifierTest, SetFormsReplaceTheWholeOid) {
  BObjectIdentifier oid{1, 2, 3};
  const uint32_t arcs[] = {5, 6, 0xFFFFFFFFu};
  oid.Set(3, arcs);
  EXPECT_EQ(ArcsOf(oid), (Arcs{5, 6, 0xFFFFFFFFu}));
  EXPECT_EQ(ArcsOf(BObjectIdentifier(2, arcs)), (Arcs{5, 6}));
  oid.Set(42u);
  EXPECT_EQ(ArcsOf(oid), (Arcs{42}));
  oid.Set(BObjectIdentifier{8, 9});
  EXPECT_EQ(ArcsOf(oid), (Arcs{8, 9}));
  oid.Set(0, nullptr);
  EXPECT_TRUE(oid.IsEmpty());

  const unsigned char octets[] = {'a', 0x00, 0xFF};
  oid.Set(octets, 3, /*implied=*/false);
  EXPECT_EQ(ArcsOf(oid), (Arcs{3, 'a', 0, 255}));
  oid.Set(octets, 3, /*implied=*/true);
  EXPECT_EQ(ArcsOf(oid), (Arcs{'a', 0, 255}));
  oid.Set(octets, 0, /*implied=*/false);
  EXPECT_EQ(ArcsOf(oid), (Arcs{0}));
  oid.Set(octets, -1, /*implied=*/true);
  EXPECT_TRUE(oid.IsEmpty());
}

TEST(BObjectIdentifierTest, AppendFormsAddArcsAtTheEnd) {
  BObjectIdentifier oid{1, 3};
  oid.Append(6u);
  oid.Append(BObjectIdentifier{7, 8}, /*implied=*/true);
  EXPECT_EQ(ArcsOf(oid), (Arcs{1, 3, 6, 7, 8}));
  oid.Append(BObjectIdentifier{9, 10}, /*implied=*/false);
  EXPECT_EQ(ArcsOf(oid), (Arcs{1, 3, 6, 7, 8, 2, 9, 10}));
  oid.Append(BObjectIdentifier(), /*implied=*/false);
  EXPECT_EQ(oid.Last(), 0u);

  // An OID appended to itself: the arcs as they were before the call.
  BObjectIdentifier self{4, 5, 6};
  self.Append(self, /*implied=*/true);
  EXPECT_EQ(ArcsOf(self), (Arcs{4, 5, 6, 4, 5, 6}));
  BObjectIdentifier index{4, 5};
  index.Append(index, /*implied=*/false);
  EXPECT_EQ(ArcsOf(index), (Arcs{4, 5, 2, 4, 5}));
}

TEST(BObjectIdentifierTest, ToStringRoundTripsThroughParse) {
  for (const BObjectIdentifier& oid :
       {BObjectIdentifier{1, 3, 6, 1, 4, 1, 32473, 1, 0}, BObjectIdentifier{0, 0xFFFFFFFFu}, BObjectIdentifier{}}) {
    const BString text = oid.ToString();
    SCOPED_TRACE(text.str());
    BObjectIdentifier back;
    EXPECT_TRUE(back.Parse(text.c_str()));
    EXPECT_EQ(back, oid);
  }
  EXPECT_EQ(BObjectIdentifier({1, 3, 6, 1, 4294967295u}).ToString().str(), "1.3.6.1.4294967295");
  EXPECT_EQ(BObjectIdentifier().ToString().str(), "");
}

}  // namespace
}  // namespace QVT
