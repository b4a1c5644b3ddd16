// Element coders: every value form both ways, accepted non-minimal forms,
// refusals with their status, lists, the encoder's room checks.
#include <gtest/gtest.h>

#include <climits>
#include <tuple>

#include "BSADecoder.h"
#include "BSAEncoder.h"
#include "ProtocolTestUtil.h"

namespace QVT::test {
namespace {

// Every value form; the boundaries of lengths, sub-identifiers and integers are the BER toolkit's test's,
// here one value on each side of the coder's own choices (long length form, multi-octet sub-identifiers,
// leading zero and sign octets).
const std::pair<BObjectSyntax, std::string> kValues[] = {
    // clang-format off
    {Int(0), "02 01 00"},             {Int(128), "02 02 00 80"},           {Int(-129), "02 02 FF 7F"},
    {Int(INT_MIN), "02 04 80 00 00 00"},
    {Unsigned(ASN_COUNTER32, 0), "41 01 00"},   {Unsigned(ASN_COUNTER32, 128), "41 02 00 80"},
    {Unsigned(ASN_TIMETICKS, 300), "43 02 01 2C"},  {Unsigned(ASN_GAUGE32, 4294967295u), "42 05 00 FF FF FF FF"},
    {Ctr64(0), "46 01 00"},           {Ctr64(0x100000000ull), "46 05 01 00 00 00 00"},
    {Ctr64(0x0123456789ABCDEFull), "46 08 01 23 45 67 89 AB CD EF"},
    {Ctr64(0x8000000000000000ull), "46 09 00 80 00 00 00 00 00 00 00"},
    {Octets("abc"), "04 03 61 62 63"},  {Octets(""), "04 00"},  {Octets("ab", ASN_OPAQUE), "44 02 61 62"},
    {Octets(Xs(127)), "04 7F " + Hex(127)},  {Octets(Xs(128)), "04 81 80 " + Hex(128)},
    {Octets(Xs(256)), "04 82 01 00 " + Hex(256)},
    {Oid("1.3.6.1"), "06 03 2B 06 01"},  {Oid("2.18.9"), "06 02 62 09"},  {Oid("0.0"), "06 01 00"},
    {Oid("1.3.128"), "06 03 2B 81 00"},  {Oid("1.3.4294967295"), "06 06 2B 8F FF FF FF 7F"},
    {Ip(127, 0, 0, 1), "40 04 7F 00 00 01"},      {BObjectSyntax(), "05 00"},
    {Exception(SNMP_NO_SUCH_OBJECT), "80 00"},    {Exception(SNMP_NO_SUCH_INSTANCE), "81 00"},
    {Exception(SNMP_END_OF_MIB_VIEW), "82 00"},
    // clang-format on
};

TEST(BSACoderTest, ValuesEncodeToTheirOctetsAndDecodeBack) {
  for (const auto& [value, hex] : kValues) {
    SCOPED_TRACE(hex.substr(0, 40));
    BSABuffer out;
    ASSERT_EQ(BSAEncoder(out).EncodeValue(value), 1);
    EXPECT_EQ(HexOf(out), Canonical(hex));
    BSABuffer in = BufferOf(hex);
    BSADecoder decoder(in);
    BObjectSyntax decoded;
    ASSERT_EQ(decoder.DecodeValue(decoded), 1) << std::hex << decoder.status;
    EXPECT_TRUE(decoded == value) << decoded.ValToStr().c_str();
    EXPECT_EQ(decoder.position, in.Length());
  }
}

constexpr int kBad = SA_ERR_BAD_ENCODING;
constexpr int kValue = SA_ERR_BAD_VALUE;

// The non-minimal forms the decoder accepts; one row per reason it refuses a value.
TEST(BSACoderTest, DecoderAcceptsNonMinimalFormsAndRefusesWithTheStatusOfTheFault) {
  const struct {
    const char* hex;
    int status;
    BObjectSyntax value = {};
  } cases[] = {
      // clang-format off
      {"02 02 00 01", 0, Int(1)},    {"41 00", 0, Unsigned(ASN_COUNTER32, 0)},
      {"43 05 00 00 00 00 2A", 0, Unsigned(ASN_TIMETICKS, 42)},  {"46 00", 0, Ctr64(0)},
      {"46 09 00 00 00 00 00 00 00 00 07", 0, Ctr64(7)},         {"04 80", 0, Octets("")},
      {"04 84 00 00 00 03 61 62 63", 0, Octets("abc")},          {"06 82 00 03 2B 06 01", 0, Oid("1.3.6.1")},
      {"", kBad},  {"02", kBad},                                  // no tag octet, no length octet
      {"02 00", kBad},  {"02 05 00 00 00 00 01", kBad},           // INTEGER of 0 and of 5 octets
      {"02 02 01", kValue},                                       // INTEGER content cut short
      {"41 06 00 00 00 00 00 01", kBad},                          // unsigned of 6 octets
      {"41 05 01 00 00 00 00", kValue},  {"43 03 01", kValue},    // 5 octets, first not 0; cut short
      {"46 0A 00 00 00 00 00 00 00 00 00 01", kBad},              // Counter64 of 10 octets
      {"46 09 01 00 00 00 00 00 00 00 00", kValue},  {"46 02 01", kValue},  // 9, first not 0; cut short
      {"05 01 00", kBad},                                         // NULL with content
      {"40 03 01 02 03", kBad},  {"40 04 7F 00", kValue},         // IpAddress of 3 octets; cut short
      {"06 00", kBad},  {"06 03 2B 06", kValue},                  // OID of 0 octets; cut short
      {"06 02 2B 86", kValue},                                    // sub-id runs past the OID
      {"06 07 2B 8F FF FF FF FF 7F", kValue},  {"06 06 2B 90 80 80 80 00", kValue},  // sub-id of 6 octets, of 2^32
      {"04 05 61", kBad},  {"04 84 FF FF FF FF", kBad},           // length beyond the data
      {"04 85 00 00 00 00 01 61", kBad},  {"04 82 01", kBad},     // length form of 5 octets; cut short
      {"45 00", SA_ERR_WRONG_TAG},                                // no SNMP syntax
      // clang-format on
  };
  for (const auto& c : cases) {
    BSABuffer in = BufferOf(c.hex);
    BSADecoder decoder(in);
    BObjectSyntax decoded;
    EXPECT_EQ(decoder.DecodeValue(decoded), c.status == 0 ? 1 : 0) << c.hex;
    EXPECT_EQ(decoder.status, c.status) << c.hex << std::hex << " got " << decoder.status;
    EXPECT_TRUE(c.status != 0 || decoded == c.value) << c.hex;
  }
  // A tag other than the one asked for is consumed; a fixed-capacity
  // destination takes a string that fits and refuses a longer one.
  BSABuffer in = BufferOf("04 03 61 62 63 04 04 61 62 63 64");
  BSADecoder decoder(in);
  int number = 0;
  EXPECT_EQ(decoder.DecodeInt(number), 0);
  EXPECT_EQ(decoder.position, 1u);
  BSADecoder strings(in);
  BOctetString fixed;
  fixed.Reserve(3, 0);
  EXPECT_EQ(strings.DecodeOctets(ASN_OCTET_STRING, fixed, false), 1);
  EXPECT_EQ(strings.DecodeOctets(ASN_OCTET_STRING, fixed, false), 0);
  EXPECT_EQ(std::vector<int>({decoder.status, strings.status}),
            std::vector<int>({SA_ERR_WRONG_TAG, SA_ERR_OCTETS_TOO_LONG}));
}

TEST(BSACoderTest, ListDecodingRules) {
  // Data, status, varbinds kept, where the list must end (-1: the end of the data).
  const std::tuple<const char*, int, int, int> cases[] = {
      {"30 06 30 04 06 01 2B 05", SA_ERR_BAD_ENCODING, 0, -1},                          // varbind shorter than 5
      {"30 82 00 09 30 82 00 07 06 03 2B 06 01 05 00", SA_ERR_BAD_ENCODING, 0, 13},     // varbind past its list
      {"30 82 00 0A 30 82 00 07 06 03 2B 06 01 05 00 00", SA_ERR_BAD_ENCODING, 0, -1},  // list ends before the PDU
      {"30 82 00 0B 30 82 00 07 06 03 2B 06 01 05 00", SA_ERR_BAD_ENCODING, 0, 14},     // list ends after the PDU
      {"30 82 00 0B 30 82 00 07 06 03 2B 06 01 45 00", SA_ERR_WRONG_TAG, 0, -1},        // value of no syntax
      {"31 82 00 00", SA_ERR_WRONG_TAG, 0, -1},
      // The second varbind is bad: the first stays.
      {"30 82 00 16 30 82 00 07 06 03 2B 06 01 05 00 30 82 00 07 06 03 2B 06 01 05 01", SA_ERR_BAD_ENCODING, 1, -1},
      // Octets left over inside a varbind are skipped.
      {"30 82 00 18 30 82 00 09 06 03 2B 06 01 05 00 EE EE 30 82 00 07 06 03 2B 06 02 05 00", 0, 2, -1},
  };
  for (const auto& [hex, status, kept, end] : cases) {
    BSABuffer in = BufferOf(hex);
    BSADecoder decoder(in);
    BVarBindList list;
    EXPECT_EQ(decoder.DecodeVarBindList(list, end < 0 ? static_cast<int>(in.Length()) : end), status == 0);
    EXPECT_EQ(decoder.status, status) << hex;
    ASSERT_EQ(list.Count(), kept) << hex;
    EXPECT_TRUE(kept < 2 || list[1].name == BObjectIdentifier("1.3.6.2"));
  }
}

int g_slot = 0;
using E = BSAEncoder;
constexpr int kFull = SA_ERR_BUFFER_FULL;

TEST(BSACoderTest, EncoderChecksRoomAndRefusesWhatTheWireCannotCarry) {
  const std::tuple<unsigned, int (*)(E&), int, int> cases[] = {
      // room, encoding, result, status
      {3, [](E& e) { return e.EncodeTypeAndReserveThreeOctetsForLength(0x30, g_slot); }, 0, kFull},
      {4, [](E& e) { return e.EncodeTypeAndReserveThreeOctetsForLength(0x30, g_slot); }, 1, 0},
      {2, [](E& e) { return e.EncodeNull(); }, 1, 0},
      {4, [](E& e) { return e.EncodeOctets(BString("abc")); }, 0, kFull},
      {5, [](E& e) { return e.EncodeOctets(BString("abc")); }, 1, 0},
      {99, [](E& e) { return e.EncodeObjectId(BObjectIdentifier().View()); }, 0, kBad},
      {99, [](E& e) { return e.EncodeValue(Syntax(0x45)); }, 0, kBad},
  };
  for (const auto& [room, encode, result, status] : cases) {
    BSABuffer buffer;
    buffer.SetLength(buffer.Capacity() - room);
    BSAEncoder encoder(buffer);
    EXPECT_EQ(encode(encoder), result) << room;
    EXPECT_EQ(encoder.status, status) << room;
    EXPECT_EQ(buffer.Length() == 0xFFFFFFFFu, status == kFull) << room;  // the overrun mark
  }
}

}  // namespace
}  // namespace QVT::test
