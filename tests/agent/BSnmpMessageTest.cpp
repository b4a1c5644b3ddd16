// The SNMP message codec byte by byte: captured messages, value boundaries,
// refusals with their status, the size limit; the corpus replayed and cut.
#include "BSnmpMessage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "TestSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace QVT {
namespace {

using test::FromHex;
using Bytes = std::vector<unsigned char>;

// Tag, definite length and content.
Bytes Tlv(unsigned char tag, const Bytes& content) {
  const size_t n = content.size();
  Bytes out = n < 0x80    ? Bytes{tag}
              : n < 0x100 ? Bytes{tag, 0x81}
                          : Bytes{tag, 0x82, static_cast<unsigned char>(n >> 8)};
  out.push_back(static_cast<unsigned char>(n));
  out.insert(out.end(), content.begin(), content.end());
  return out;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
// A "public" message of `version` whose PDU (tag `pdu`, request id 1) holds
// the varbind list content `varbinds`.
Bytes Message(unsigned char version, const Bytes& varbinds, unsigned char pdu = 0xA0) {
  return Tlv(0x30, Cat({{0x02, 0x01, version},
                        FromHex("04 06 70 75 62 6c 69 63"),
                        Tlv(pdu, Cat({FromHex("02 01 01 02 01 00 02 01 00"), Tlv(0x30, varbinds)}))}));
}
const Bytes kName = FromHex("06 08 2b 06 01 02 01 01 01 00");  // sysDescr.0
Bytes WithValue(const char* value) {
  return Message(1, Tlv(0x30, Cat({kName, FromHex(value)})));
}

void ExpectReencodesExactly(const BSnmpMessage& message, const Bytes& original) {
  Bytes out(2048);
  size_t length = 0;
  ASSERT_EQ(message.Encode(out.data(), out.size(), length), SNMP_CODEC_OK);
  EXPECT_EQ(message.EncodedSize(), original.size());
  EXPECT_EQ(test::ToHex(out.data(), length), test::ToHex(original));
}

// Messages as the standard tools send them (the corpus holds more), with version,
// PDU type, request id, error status and index, varbind count.
const std::pair<const char*, std::vector<int>> kCaptured[] = {
    {"30 38 02 01 01 04 06 70 75 62 6c 69 63 a5 2b 02 04 48 2a 9f c8 02 01 01 02 01 0a"  // v2c "public" GetBulk 1, 10
     " 30 1d 30 0c 06 08 2b 06 01 02 01 01 03 00 05 00 30 0d 06 09 2b 06 01 02 01 02 02 01 02 05 00",
     {1, 0xa5, 0x482a9fc8, 1, 10, 2}},
    {"30 29 02 01 00 04 06 70 75 62 6c 69 63 a2 1c 02 04 0c c3 ef 5d 02 01 02 02 01 01"  // noSuchName, index 1
     " 30 0e 30 0c 06 08 2b 06 01 02 01 01 01 00 05 00",
     {0, 0xa2, 0x0cc3ef5d, 2, 1, 1}},
    {"30 3c 02 01 00 04 06 70 75 62 6c 69 63 a4 2f 06 08 2b 06 01 04 01 81 fd 59"  // v1 Trap, enterprises.32473
     " 40 04 c0 00 02 01 02 01 06 02 01 11 43 02 30 39"  // agent 192.0.2.1, generic 6, specific 17, time 12345
     " 30 13 30 11 06 0c 2b 06 01 04 01 81 fd 59 01 01 01 00 04 01 78",
     {0, 0xa4, 0, 0, 0, 1}},
};

TEST(BSnmpMessageTest, CapturedMessagesDecodeAndReencodeByteExact) {
  for (const auto& [hex, fields] : kCaptured) {
    const Bytes bytes = FromHex(hex);
    BSnmpMessage m;
    ASSERT_EQ(m.Decode(bytes.data(), bytes.size()), SNMP_CODEC_OK) << hex;
    EXPECT_EQ(std::vector<int>({m.version, m.pduType, m.requestId, m.errorStatus, m.errorIndex, m.varBinds.Count()}),
              fields);
    ExpectReencodesExactly(m, bytes);
  }
}

// Every syntax with its text, and the codec's own choices: the nested lengths of a message around a long
// string, leading zero and sign octets, Counter64 past 32 bits, the first two arcs of an OID. The boundaries of
// lengths, integers and sub-identifiers themselves are the BER toolkit's test's.
TEST(BSnmpMessageTest, ValuesRoundTripAtTheirBoundaries) {
  // A string of `n` octets "x" after its tag and length octets, and its text.
  const auto x = [](const char* header, size_t n) { return header + test::ToHex(Bytes(n, 'x')); };
  const auto text = [](size_t n) { return "STRING: \"" + std::string(n, 'x') + "\""; };
  const std::pair<std::string, std::string> cases[] = {
      // clang-format off
      // The varbind's SEQUENCE holds 12 octets besides the string: 115 and
      // 116 put it on both sides of the long length form, 128 the string
      // itself (128 as a lone 80 would announce an indefinite length).
      {x("04 73 ", 115), text(115)},     {x("04 74 ", 116), text(116)},
      {x("04 81 80 ", 128), text(128)},  {x("04 82 01 00 ", 256), text(256)},
      {"02 02 00 80", "INTEGER: 128"},   {"02 04 80 00 00 00", "INTEGER: -2147483648"},
      {"41 02 00 80", "Counter32: 128"}, {"42 05 00 ff ff ff ff", "Gauge32: 4294967295"},
      {"43 04 7f ff ff ff", "Timeticks: (2147483647) 248 days, 13:13:56.47"},
      {"46 05 01 00 00 00 00", "Counter64: 4294967296"},
      {"46 09 00 ff ff ff ff ff ff ff ff", "Counter64: 18446744073709551615"},
      {"04 00", "\"\""},  {"04 03 00 ff 41", "Hex-STRING: 00 FF 41"},  {"44 02 9f 78", "OPAQUE: 9F 78"},
      {"40 04 c0 00 02 01", "IpAddress: 192.0.2.1"},  {"05 00", "NULL"},
      {"80 00", "No Such Object available on this agent at this OID"},
      {"81 00", "No Such Instance currently exists at this OID"},
      {"82 00", "No more variables left in this MIB View (It is past the end of the MIB tree)"},
      {"06 01 00", "OID: .0.0"},  {"06 06 2b 8f ff ff ff 7f", "OID: .1.3.4294967295"},
      {"06 02 88 37", "OID: .2.999"},  {"06 01 4f", "OID: .1.39"},
      // clang-format on
  };
  for (const auto& [hex, text] : cases) {
    const Bytes bytes = WithValue(hex.c_str());
    BSnmpMessage m;
    ASSERT_EQ(m.Decode(bytes.data(), bytes.size()), SNMP_CODEC_OK) << hex;
    EXPECT_EQ(m.varBinds[0].value.ValToStr().str(), text) << hex;
    ExpectReencodesExactly(m, bytes);
  }
}

Bytes Pdu(const char* content, unsigned char version = 1, unsigned char tag = 0xA0) {
  return Tlv(0x30, Cat({{0x02, 0x01, version, 0x04, 0x00}, Tlv(tag, FromHex(content))}));
}

TEST(BSnmpMessageTest, MalformedMessagesGetTheStatusOfTheirFault) {
  const auto T = SNMP_CODEC_TRUNCATED, W = SNMP_CODEC_WRONG_TAG, I = SNMP_CODEC_BAD_INTEGER, O = SNMP_CODEC_BAD_OID,
             D = SNMP_CODEC_TRAILING_DATA, P = SNMP_CODEC_BAD_PDU_TYPE;
  const auto name = [](const char* hex) { return Message(1, Tlv(0x30, FromHex(hex))); };  // varbind content
  const std::pair<Bytes, ESnmpCodecStatus> cases[] = {
      // clang-format off
      {{}, T},  {FromHex("30 05 02 01 00"), T},  {FromHex("30 84 7f ff ff ff 02 01 00"), T},  // length past the end
      {FromHex("31 03 02 01 00"), W},  {FromHex("30 03 1f 01 00"), W},       // not a SEQUENCE; high tag number form
      {FromHex("30 80 02 01 00 00 00"), SNMP_CODEC_INDEFINITE_LENGTH},
      {FromHex("30 85 00 00 00 00 03 02 01 00"), SNMP_CODEC_BAD_LENGTH},     // five length octets
      {FromHex("30 03 02 01 03"), SNMP_CODEC_BAD_VERSION},
      {FromHex("30 05 04 01 00 04 00"), W},  {FromHex("30 08 02 01 01 06 03 2b 06 01"), W},  // version, community
      {Message(1, {}, 0xA9), W},  {Message(0, {}, 0xA5), P},  {Message(1, {}, 0xA4), P},   // PDU tag 0xA9, PDU types
      {Pdu("02 01 01 02 01 00"), T},                                        // error index missing
      {Pdu("02 01 01 02 01 00 02 01 00 31 00"), W},                         // varbind list not a SEQUENCE
      {Cat({WithValue("05 00"), {0x00}}), D},                               // octets after the message
      {FromHex("30 09 02 01 01 04 00 a0 00 05 00"), D},                     // octets after the PDU
      {Pdu("02 01 01 02 01 00 02 01 00 30 00 05 00"), D},                   // octets after the list
      {WithValue("05 00 05 00"), D},  {Message(1, Tlv(0x30, kName)), T},    // varbind of 3 and of 1 element
      {Message(1, FromHex("30 0c 06 08 2b 06 01 02 01 01 01 00 04 05 41 42 43")), T},  // value past its varbind
      {name("04 01 2b 05 00"), W},  {name("06 00 05 00"), O},  {name("06 02 2b 86 05 00"), O},  // OID forms
      {name("06 03 2b 80 01 05 00"), O},  {name("06 06 2b 90 80 80 80 00 05 00"), O},  // 0x80 first; over 32 bits
      {Message(1, Tlv(0x30, Cat({Tlv(0x06, Bytes(128, 0x01)), FromHex("05 00")}))), O},  // OID of 129 arcs
      {WithValue("05 01 00"), SNMP_CODEC_BAD_NULL},
      {WithValue("02 05 00 00 00 00 01"), I},  {WithValue("02 00"), I},  {WithValue("41 01 ff"), I},  // negative
      {WithValue("42 05 01 00 00 00 00"), I},  {WithValue("46 09 01 00 00 00 00 00 00 00 00"), I},  // too large
      {WithValue("40 05 c0 00 02 01 00"), SNMP_CODEC_BAD_IPADDRESS},
      {WithValue("45 01 00"), SNMP_CODEC_BAD_VALUE_TAG},  {WithValue("24 03 04 01 41"), SNMP_CODEC_BAD_VALUE_TAG},
      {Pdu("06 02 2b 06 40 03 7f 00 01 02 01 00 02 01 00 43 01 00 30 00", 0, 0xA4), SNMP_CODEC_BAD_IPADDRESS},
      {Pdu("06 02 2b 06 40 04 7f 00 00 01 02 01 00 02 01 00 02 01 00 30 00", 0, 0xA4), W},  // time not TimeTicks
      // clang-format on
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    BSnmpMessage m;
    const ESnmpCodecStatus status = m.Decode(cases[i].first.data(), cases[i].first.size());
    EXPECT_EQ(status, cases[i].second) << "row " << i << ": " << QVSnmpCodecStatusText(status);
  }
  BSnmpMessage m;  // a bad version keeps the version found
  const Bytes v3 = FromHex("30 0e 02 01 03 30 09 02 01 00 02 01 00 02 01 00");
  EXPECT_EQ(m.Decode(v3.data(), v3.size()), SNMP_CODEC_BAD_VERSION);
  EXPECT_EQ(m.version, 3);
}

TEST(BSnmpMessageTest, EncodeRespectsTheLimitAndRefusesFieldsWithoutAnEncoding) {
  const Bytes bytes = FromHex(kCaptured[0].first);
  BSnmpMessage m;
  ASSERT_EQ(m.Decode(bytes.data(), bytes.size()), SNMP_CODEC_OK);
  Bytes out(bytes.size(), 0xEE);
  size_t length = 0;
  EXPECT_EQ(m.Encode(out.data(), bytes.size() - 1, length), SNMP_CODEC_TOO_BIG);
  EXPECT_EQ(length, bytes.size());  // the size needed
  EXPECT_EQ(out, Bytes(bytes.size(), 0xEE));
  EXPECT_EQ(m.Encode(out.data(), bytes.size(), length), SNMP_CODEC_OK);
  EXPECT_EQ(out, bytes);

  m.varBinds[0].value.SetSyntax(0x45);  // no SNMP syntax
  EXPECT_EQ(m.Encode(out.data(), out.size(), length), SNMP_CODEC_BAD_FIELD);
  EXPECT_EQ(m.EncodedSize(), 0u);
  m.varBinds[0].value.SetNull();
  m.varBinds[0].name = BObjectIdentifier("1.40");  // a second arc of 40 under the first arc 1
  EXPECT_EQ(m.Encode(out.data(), out.size(), length), SNMP_CODEC_BAD_FIELD);
  m.varBinds[0].name = BObjectIdentifier("1.3");
  m.version = SNMP_VERSION_1;
  m.pduType = SNMP_PDU_GET_BULK;  // v1 has no GetBulk
  EXPECT_EQ(m.Encode(out.data(), out.size(), length), SNMP_CODEC_BAD_FIELD);
}

TEST(SnmpMessageCorpusTest, EveryFileReplaysAndEveryValidSeedRoundTripsAndIsRefusedWhenCut) {
  int valid = 0;
  for (const auto& entry : std::filesystem::directory_iterator(QV_SNMP_CORPUS_DIR)) {
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream file(entry.path(), std::ios::binary);
    const Bytes octets{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    EXPECT_EQ(LLVMFuzzerTestOneInput(octets.data(), octets.size()), 0);
    if (!entry.path().filename().string().starts_with("valid-")) continue;
    ++valid;
    BSnmpMessage m;
    ASSERT_EQ(m.Decode(octets.data(), octets.size()), SNMP_CODEC_OK);
    ExpectReencodesExactly(m, octets);
    // A copy of exactly `cut` octets: the sanitizers see any read beyond it.
    for (size_t cut = 0; cut < octets.size(); ++cut) {
      const Bytes prefix(octets.begin(), octets.begin() + static_cast<long>(cut));
      EXPECT_EQ(m.Decode(prefix.data(), prefix.size()), SNMP_CODEC_TRUNCATED) << "cut at " << cut;
    }
  }
  EXPECT_EQ(valid, 10);
}

}  // namespace
}  // namespace QVT
