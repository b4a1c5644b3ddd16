// The shared BER primitives octet by octet: every writer's octets and size
// on both sides of each boundary of its form, the reader back over them, and
// the readers' refusals with their reason, strict and tolerant.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <ostream>

#include "BBer.h"
#include "ProtocolTestUtil.h"

namespace QVT::ber {

void PrintTo(EBerStatus status, std::ostream* out) {
  static const char* const kNames[] = {"Ok",      "Truncated", "PastEnd",    "Indefinite",
                                       "TooLong", "Empty",     "NonMinimal", "OutOfRange"};
  *out << kNames[static_cast<int>(status)];
}

}  // namespace QVT::ber

namespace QVT::test {
namespace {

using ber::EBerForms;
using ber::EBerStatus;
using Bytes = std::vector<unsigned char>;
constexpr EBerForms kStrict = EBerForms::Strict;
constexpr EBerForms kTolerant = EBerForms::Tolerant;

// Calls `write(out)` on a buffer of guard octets; the writer must return the
// end of exactly `size` octets and leave the guard after them.
template <class Write>
std::string Written(Write write, size_t size) {
  unsigned char out[16];
  std::fill(std::begin(out), std::end(out), 0xEE);
  const unsigned char* end = write(out);
  EXPECT_EQ(static_cast<size_t>(end - out), size) << "the writer's end and the size disagree";
  EXPECT_EQ(out[size], 0xEE) << "the writer went past its size";
  return ToHex(out, static_cast<size_t>(end - out));
}

// Calls `read(p, end, value)` over exactly the octets of `hex` (a sanitizer build sees any read past them). After
// success the cursor must stand `consumed` octets on and the value be `expected`; a failure moves neither.
template <class T, class Read>
void ExpectRead(const std::string& hex, Read read, EBerStatus status, size_t consumed, T expected) {
  const Bytes data = FromHex(hex);
  const unsigned char* p = data.data();
  T value = 12345;
  EXPECT_EQ(read(p, data.data() + data.size(), value), status);
  EXPECT_EQ(static_cast<size_t>(p - data.data()), status == EBerStatus::Ok ? consumed : 0) << "octets consumed";
  EXPECT_EQ(value, status == EBerStatus::Ok ? expected : T{12345});
}

TEST(BerTest, LengthsAtTheBoundariesOfTheShortAndLongForms) {
  // clang-format off
  const struct { size_t length; const char* hex; } cases[] = {
      {0, "00"}, {127, "7F"}, {128, "81 80"}, {255, "81 FF"}, {256, "82 01 00"}, {65535, "82 FF FF"},
      {65536, "83 01 00 00"}, {0xFFFFFF, "83 FF FF FF"}, {0x1000000, "84 01 00 00 00"}, {0xFFFFFFFF, "84 FF FF FF FF"}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "length " << c.length);
    EXPECT_EQ(Written([&](unsigned char* out) { return ber::WriteLength(out, c.length); }, ber::LengthSize(c.length)),
              Canonical(c.hex));
    for (const EBerForms forms : {kStrict, kTolerant}) {
      ExpectRead(
          c.hex, [&](auto& p, auto end, size_t& length) { return ber::ReadLength(p, end, length, forms); },
          EBerStatus::Ok, ber::LengthSize(c.length), c.length);
    }
  }
}

TEST(BerTest, LengthReaderRefusesWhatItCannotTake) {
  // `content`: ReadContentLength, the content must lie within the data.
  // clang-format off
  const struct { const char *name, *hex; EBerForms forms; bool content; EBerStatus status; size_t length = 0, consumed = 0;
  } cases[] = {
      {"no octet", "", kStrict, false, EBerStatus::Truncated},
      {"long form without its octet", "81", kStrict, false, EBerStatus::Truncated},
      {"long form cut", "83 01 00", kTolerant, false, EBerStatus::Truncated},
      {"indefinite", "80 00 00", kStrict, false, EBerStatus::Indefinite},
      {"indefinite on the wire reads empty", "80", kTolerant, false, EBerStatus::Ok, 0, 1},
      {"five length octets", "85 00 00 00 00 01", kStrict, false, EBerStatus::TooLong},
      {"five length octets on the wire", "85 00 00 00 00 01", kTolerant, false, EBerStatus::TooLong},
      {"leading zero octets taken", "82 00 05", kStrict, false, EBerStatus::Ok, 5, 3},
      {"the length alone is not checked", "84 FF FF FF FF", kStrict, false, EBerStatus::Ok, 0xFFFFFFFF, 5},
      {"content fits", "03 61 62 63", kStrict, true, EBerStatus::Ok, 3, 1},
      {"no content", "00", kStrict, true, EBerStatus::Ok, 0, 1},
      {"content one octet short", "03 61 62", kStrict, true, EBerStatus::PastEnd},
      {"4 GiB of content", "84 FF FF FF FF 00", kTolerant, true, EBerStatus::PastEnd},
      {"indefinite content", "80 00 00", kStrict, true, EBerStatus::Indefinite}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectRead(
        c.hex,
        [&](auto& p, auto end, size_t& length) {
          return c.content ? ber::ReadContentLength(p, end, length, c.forms) : ber::ReadLength(p, end, length, c.forms);
        },
        c.status, c.consumed, c.length);
  }
}

TEST(BerTest, SubIdentifiersAtEverySevenBitBoundary) {
  // clang-format off
  const struct { uint32_t value; const char* hex; } cases[] = {
      {0, "00"}, {127, "7F"}, {128, "81 00"}, {16383, "FF 7F"}, {16384, "81 80 00"}, {2097151, "FF FF 7F"},
      {2097152, "81 80 80 00"}, {268435455, "FF FF FF 7F"}, {268435456, "81 80 80 80 00"},
      {4294967295u, "8F FF FF FF 7F"}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "sub-identifier " << c.value);
    EXPECT_EQ(Written([&](unsigned char* out) { return ber::WriteSubId(out, c.value); }, ber::SubIdSize(c.value)),
              Canonical(c.hex));
    ExpectRead(
        c.hex, [&](auto& p, auto end, uint32_t& value) { return ber::ReadSubId(p, end, value); }, EBerStatus::Ok,
        ber::SubIdSize(c.value), c.value);
  }
}

TEST(BerTest, SubIdentifierReaderRefusesWhatItCannotTake) {
  // clang-format off
  const struct { const char *name, *hex; EBerForms forms; EBerStatus status; uint32_t value = 0; size_t consumed = 0;
  } cases[] = {
      {"no octet", "", kStrict, EBerStatus::Truncated},
      {"continuation on the last octet", "86", kStrict, EBerStatus::Truncated},
      {"continuation on every octet", "FF FF FF", kTolerant, EBerStatus::Truncated},
      {"redundant leading 0x80", "80 01", kStrict, EBerStatus::NonMinimal},
      {"redundant leading 0x80 on the wire", "80 01", kTolerant, EBerStatus::Ok, 1, 2},
      {"five octets of padding and value on the wire", "80 80 80 80 01", kTolerant, EBerStatus::Ok, 1, 5},
      {"six octets on the wire", "80 80 80 80 80 01", kTolerant, EBerStatus::TooLong},
      {"six octets", "81 80 80 80 80 00", kStrict, EBerStatus::TooLong},
      {"2^32", "90 80 80 80 00", kStrict, EBerStatus::OutOfRange},
      {"2^32 on the wire", "90 80 80 80 00", kTolerant, EBerStatus::OutOfRange},
      {"2^32 - 1 and the next one", "8F FF FF FF 7F 01", kStrict, EBerStatus::Ok, 4294967295u, 5}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectRead(
        c.hex, [&](auto& p, auto end, uint32_t& value) { return ber::ReadSubId(p, end, value, c.forms); }, c.status,
        c.consumed, c.value);
  }
}

TEST(BerTest, SignedIntegersInTheirShortestTwosComplement) {
  // clang-format off
  const struct { int64_t value; const char* hex; } cases[] = {
      {0, "00"}, {-1, "FF"}, {127, "7F"}, {128, "00 80"}, {-128, "80"}, {-129, "FF 7F"}, {255, "00 FF"},
      {256, "01 00"}, {32767, "7F FF"}, {32768, "00 80 00"}, {-32768, "80 00"}, {-32769, "FF 7F FF"},
      {INT32_MAX, "7F FF FF FF"}, {INT32_MIN, "80 00 00 00"}, {int64_t{INT32_MAX} + 1, "00 80 00 00 00"},
      {INT64_MAX, "7F FF FF FF FF FF FF FF"}, {INT64_MIN, "80 00 00 00 00 00 00 00"}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "integer " << c.value);
    const size_t size = ber::IntSize(c.value);
    EXPECT_EQ(Written([&](unsigned char* out) { return ber::WriteInt(out, c.value); }, size), Canonical(c.hex));
    if (c.value < INT32_MIN || c.value > INT32_MAX) continue;
    ExpectRead(
        c.hex, [&](auto& p, auto end, int32_t& value) { return ber::ReadInt32(p, end, size, value); }, EBerStatus::Ok,
        size, static_cast<int32_t>(c.value));
  }
}

TEST(BerTest, Int32ReaderRefusesWhatItCannotTake) {
  // clang-format off
  const struct { const char *name, *hex; size_t n; /* content octets announced */ EBerStatus status; int32_t value = 0;
  } cases[] = {
      {"no content", "", 0, EBerStatus::Empty}, {"five octets", "00 00 00 00 01", 5, EBerStatus::TooLong},
      {"cut short", "01", 2, EBerStatus::Truncated}, {"leading zero octet taken", "00 01", 2, EBerStatus::Ok, 1},
      {"leading sign octet taken", "FF FF", 2, EBerStatus::Ok, -1},
      {"only the octets announced", "7F FF", 1, EBerStatus::Ok, 127}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectRead(
        c.hex, [&](auto& p, auto end, int32_t& value) { return ber::ReadInt32(p, end, c.n, value); }, c.status, c.n,
        c.value);
  }
}

TEST(BerTest, UnsignedValuesWithTheirLeadingZeroOctet) {
  // clang-format off
  const struct { uint64_t value; const char* hex; } cases[] = {
      {0, "00"}, {127, "7F"}, {128, "00 80"}, {255, "00 FF"}, {256, "01 00"}, {0x7FFFFFFF, "7F FF FF FF"},
      {0x80000000, "00 80 00 00 00"}, {0xFFFFFFFF, "00 FF FF FF FF"}, {0x100000000, "01 00 00 00 00"},
      {INT64_MAX, "7F FF FF FF FF FF FF FF"}, {0x8000000000000000, "00 80 00 00 00 00 00 00 00"},
      {UINT64_MAX, "00 FF FF FF FF FF FF FF FF"}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "unsigned " << c.value);
    const size_t size = ber::UnsignedSize(c.value);
    EXPECT_EQ(Written([&](unsigned char* out) { return ber::WriteUnsigned(out, c.value); }, size), Canonical(c.hex));
    for (const unsigned bits : {32u, 64u}) {
      if (bits == 32 && c.value > UINT32_MAX) continue;
      SCOPED_TRACE(bits);
      ExpectRead(
          c.hex, [&](auto& p, auto end, uint64_t& value) { return ber::ReadUnsigned(p, end, size, bits, value); },
          EBerStatus::Ok, size, c.value);
    }
  }
}

TEST(BerTest, UnsignedReaderRefusesWhatItCannotTake) {
  // `n`: the content octets announced.
  // clang-format off
  const struct { const char *name, *hex; size_t n; unsigned bits; EBerForms forms; EBerStatus status; uint64_t value = 0;
  } cases[] = {
      {"no content", "", 0, 32, kStrict, EBerStatus::Empty},
      {"no content on the wire reads 0", "", 0, 32, kTolerant, EBerStatus::Ok, 0},
      {"top bit set: negative", "FF", 1, 32, kStrict, EBerStatus::OutOfRange},
      {"top bit set on the wire: magnitude", "FF", 1, 32, kTolerant, EBerStatus::Ok, 255},
      {"fifth octet beyond 32 bits", "01 00 00 00 00", 5, 32, kStrict, EBerStatus::OutOfRange},
      {"fifth octet beyond 32 bits on the wire", "01 00 00 00 00", 5, 32, kTolerant, EBerStatus::OutOfRange},
      {"six octets for 32 bits", "00 00 00 00 00 01", 6, 32, kTolerant, EBerStatus::TooLong},
      {"ninth octet beyond 64 bits", "01 00 00 00 00 00 00 00 00", 9, 64, kStrict, EBerStatus::OutOfRange},
      {"ten octets for 64 bits", "00 00 00 00 00 00 00 00 00 01", 10, 64, kTolerant, EBerStatus::TooLong},
      {"cut short", "01 02", 3, 32, kTolerant, EBerStatus::Truncated}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectRead(
        c.hex,
        [&](auto& p, auto end, uint64_t& value) { return ber::ReadUnsigned(p, end, c.n, c.bits, value, c.forms); },
        c.status, c.n, c.value);
  }
}

}  // namespace
}  // namespace QVT::test
