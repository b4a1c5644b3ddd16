// Byte-level tests of the SNMP message codec: valid messages decoded and
// re-encoded byte-exact, value boundaries, a bad-input table with the
// status of each refusal, every truncation of every valid message, and the
// encoder's size limit.
#include "BSnmpMessage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"

namespace QVT {
namespace {

using test::FromHex;
using test::ToHex;
using Bytes = std::vector<unsigned char>;

// Tag-length-value with a definite length, for building test messages.
Bytes Tlv(unsigned char tag, const Bytes& content) {
  Bytes out{tag};
  const size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else if (n <= 0xFF) {
    out.insert(out.end(), {0x81, static_cast<unsigned char>(n)});
  } else {
    out.insert(out.end(), {0x82, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A v2c GetResponse (request id 1) around one varbind named 1.3.6.1.2.1.1.1.0
// whose value is the TLV `value`.
Bytes ResponseWithValue(const Bytes& value) {
  const Bytes vb = Tlv(0x30, Cat({FromHex("06 08 2b 06 01 02 01 01 01 00"), value}));
  const Bytes pdu = Tlv(0xA2, Cat({FromHex("02 01 01 02 01 00 02 01 00"), Tlv(0x30, vb)}));
  return Tlv(0x30, Cat({FromHex("02 01 01 04 06 70 75 62 6c 69 63"), pdu}));
}

void ExpectReencodesExactly(const BSnmpMessage& message, const Bytes& original) {
  unsigned char out[2048];
  size_t length = 0;
  ASSERT_EQ(message.Encode(out, sizeof out, length), SNMP_CODEC_OK);
  EXPECT_EQ(message.EncodedSize(), original.size());
  EXPECT_EQ(ToHex(out, length), ToHex(original));
}

struct ValidCase {
  const char* name;
  const char* hex;
  int version;
  unsigned char pduType;
  int32_t requestId;
  int varBinds;
};

// Requests as the standard command-line tools send them, and the notifications
// they send; responses as an agent sends them.
const ValidCase kValid[] = {
    {"v1 get sysDescr.0",
     "30 29 02 01 00 04 06 70 75 62 6c 69 63"             // message, version 0, "public"
     " a0 1c 02 04 0c c3 ef 5d 02 01 00 02 01 00"         // GetRequest, request id, error fields
     " 30 0e 30 0c 06 08 2b 06 01 02 01 01 01 00 05 00",  // sysDescr.0 = NULL
     SNMP_VERSION_1, SNMP_PDU_GET, 0x0cc3ef5d, 1},
    {"v2c getnext system",
     "30 27 02 01 01 04 06 70 75 62 6c 69 63 a1 1a 02 04 54 c5 20 f9 02 01 00 02 01 00"
     " 30 0c 30 0a 06 06 2b 06 01 02 01 01 05 00",
     SNMP_VERSION_2C, SNMP_PDU_GET_NEXT, 0x54c520f9, 1},
    {"v2c getbulk non-repeaters 1 max-repetitions 10",
     "30 38 02 01 01 04 06 70 75 62 6c 69 63 a5 2b 02 04 48 2a 9f c8 02 01 01 02 01 0a"
     " 30 1d 30 0c 06 08 2b 06 01 02 01 01 03 00 05 00 30 0d 06 09 2b 06 01 02 01 02 02 01 02 05 00",
     SNMP_VERSION_2C, SNMP_PDU_GET_BULK, 0x482a9fc8, 2},
    {"v2c set string and integer",
     "30 3e 02 01 01 04 07 70 72 69 76 61 74 65 a3 30 02 04 05 cb ec c3 02 01 00 02 01 00"
     " 30 22 30 11 06 08 2b 06 01 02 01 01 04 00 04 05 68 65 6c 6c 6f"  // sysContact.0 = "hello"
     " 30 0d 06 08 2b 06 01 02 01 01 07 00 02 01 48",                   // sysServices.0 = 72
     SNMP_VERSION_2C, SNMP_PDU_SET, 0x05cbecc3, 2},
    {"v1 set",
     "30 28 02 01 00 04 07 70 72 69 76 61 74 65 a3 1a 02 01 05 02 01 00 02 01 00"
     " 30 0f 30 0d 06 08 2b 06 01 04 01 81 fd 59 02 01 ff",  // enterprises.32473 = -1
     SNMP_VERSION_1, SNMP_PDU_SET, 5, 1},
    {"v1 response noSuchName index 1",
     "30 29 02 01 00 04 06 70 75 62 6c 69 63 a2 1c 02 04 0c c3 ef 5d 02 01 02 02 01 01"
     " 30 0e 30 0c 06 08 2b 06 01 02 01 01 01 00 05 00",
     SNMP_VERSION_1, SNMP_PDU_RESPONSE, 0x0cc3ef5d, 1},
    {"v2c response without varbinds",
     "30 19 02 01 01 04 06 70 75 62 6c 69 63 a2 0c 02 02 00 80 02 01 01 02 01 00 30 00", SNMP_VERSION_2C,
     SNMP_PDU_RESPONSE, 128, 0},
    {"v1 trap enterpriseSpecific 17",
     "30 3c 02 01 00 04 06 70 75 62 6c 69 63 a4 2f"
     " 06 08 2b 06 01 04 01 81 fd 59"                    // enterprise 1.3.6.1.4.1.32473
     " 40 04 c0 00 02 01 02 01 06 02 01 11 43 02 30 39"  // agent 192.0.2.1, 6, 17, time 12345
     " 30 13 30 11 06 0c 2b 06 01 04 01 81 fd 59 01 01 01 00 04 01 78",
     SNMP_VERSION_1, SNMP_PDU_TRAP_V1, 0, 1},
    {"v2c trap",
     "30 5c 02 01 01 04 06 70 75 62 6c 69 63 a7 4f 02 04 10 53 8e d2 02 01 00 02 01 00 30 41"
     " 30 0e 06 08 2b 06 01 02 01 01 03 00 43 02 30 39"                                   // sysUpTime.0
     " 30 19 06 0a 2b 06 01 06 03 01 01 04 01 00 06 0b 2b 06 01 04 01 81 fd 59 01 00 01"  // snmpTrapOID.0
     " 30 14 06 0d 2b 06 01 04 01 81 fd 59 01 03 01 02 01 04 03 72 6f 77",
     SNMP_VERSION_2C, SNMP_PDU_TRAP_V2, 0x10538ed2, 3},
};

TEST(BSnmpMessageTest, ValidMessagesDecodeAndReencodeByteExact) {
  for (const ValidCase& c : kValid) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = FromHex(c.hex);
    BSnmpMessage m;
    ASSERT_EQ(m.Decode(bytes.data(), bytes.size()), SNMP_CODEC_OK);
    EXPECT_EQ(m.version, c.version);
    EXPECT_EQ(m.pduType, c.pduType);
    EXPECT_EQ(m.requestId, c.requestId);
    EXPECT_EQ(m.varBinds.Count(), c.varBinds);
    ExpectReencodesExactly(m, bytes);
  }
}

TEST(BSnmpMessageTest, DecodedFieldsCarryTheWireValues) {
  BSnmpMessage m;
  Bytes bytes = FromHex(kValid[2].hex);  // getbulk
  ASSERT_EQ(m.Decode(bytes.data(), bytes.size()), SNMP_CODEC_OK);
  EXPECT_EQ(m.community.AsStringView(), "public");
  EXPECT_EQ(m.NonRepeaters(), 1);
  EXPECT_EQ(m.MaxRepetitions(), 10);
  EXPECT_EQ(m.varBinds[1].name, BObjectIdentifier("1.3.6.1.2.1.2.2.1.2"));
  EXPECT_TRUE(m.varBinds[1].value.IsNull());

  bytes = FromHex(kValid[3].hex);  // set, decoded into the same object
  ASSERT_EQ(m.Decode(bytes.data(), bytes.size()), SNMP_CODEC_OK);
  EXPECT_EQ(m.community.AsStringView(), "private");
  EXPECT_EQ(m.varBinds[0].value.Syntax(), ASN_OCTET_STRING);
  EXPECT_EQ(m.varBinds[0].value.GetOctets().AsStringView(), "hello");
  EXPECT_EQ(m.varBinds[1].value.Syntax(), ASN_INTEGER);
  EXPECT_EQ(m.varBinds[1].value.GetInt(), 72);

  bytes = FromHex(kValid[7].hex);  // v1 trap
  ASSERT_EQ(m.Decode(bytes.data(), bytes.size()), SNMP_CODEC_OK);
  EXPECT_EQ(m.enterprise, BObjectIdentifier("1.3.6.1.4.1.32473"));
  EXPECT_EQ(m.agentAddress, BIpAddress(192, 0, 2, 1));
  EXPECT_EQ(m.genericTrap, 6);
  EXPECT_EQ(m.specificTrap, 17);
  EXPECT_EQ(m.timeStamp, 12345u);
  EXPECT_EQ(m.varBinds.Count(), 1);
}

struct ValueCase {
  const char* hex;  // the value's TLV
  unsigned char syntax;
  uint64_t number;   // INTEGER (as uint32), unsigned, Counter64; ignored for other syntaxes
  const char* text;  // OID in dotted form or octets as hex; null when not used
};

// Each length class of each syntax, with the values on both sides of its
// boundaries.
const ValueCase kValues[] = {
    {"02 01 00", ASN_INTEGER, 0, nullptr},
    {"02 01 7f", ASN_INTEGER, 127, nullptr},
    {"02 02 00 80", ASN_INTEGER, 128, nullptr},
    {"02 01 80", ASN_INTEGER, static_cast<uint32_t>(-128), nullptr},
    {"02 02 ff 7f", ASN_INTEGER, static_cast<uint32_t>(-129), nullptr},
    {"02 04 7f ff ff ff", ASN_INTEGER, 0x7fffffff, nullptr},
    {"02 04 80 00 00 00", ASN_INTEGER, 0x80000000u, nullptr},
    {"41 01 00", ASN_COUNTER32, 0, nullptr},
    {"41 02 00 80", ASN_COUNTER32, 128, nullptr},
    {"42 05 00 ff ff ff ff", ASN_GAUGE32, 0xffffffffu, nullptr},
    {"43 04 7f ff ff ff", ASN_TIMETICKS, 0x7fffffff, nullptr},
    {"46 05 00 ff ff ff ff", ASN_COUNTER64, 0xffffffffu, nullptr},
    {"46 05 01 00 00 00 00", ASN_COUNTER64, 0x100000000u, nullptr},
    {"46 09 00 ff ff ff ff ff ff ff ff", ASN_COUNTER64, UINT64_MAX, nullptr},
    {"04 00", ASN_OCTET_STRING, 0, ""},
    {"04 03 00 ff 41", ASN_OCTET_STRING, 0, "00 FF 41"},
    {"44 02 9f 78", ASN_OPAQUE, 0, "9F 78"},
    {"40 04 c0 00 02 01", ASN_IPADDRESS, 0, nullptr},
    {"05 00", ASN_NULL, 0, nullptr},
    {"80 00", ASN_NO_SUCH_OBJECT, 0, nullptr},
    {"81 00", ASN_NO_SUCH_INSTANCE, 0, nullptr},
    {"82 00", ASN_END_OF_MIB_VIEW, 0, nullptr},
    {"06 01 00", ASN_OBJECT_ID, 0, "0.0"},
    {"06 04 2b 7f 81 00", ASN_OBJECT_ID, 0, "1.3.127.128"},
    {"06 06 2b ff 7f 81 80 00", ASN_OBJECT_ID, 0, "1.3.16383.16384"},
    {"06 06 2b 8f ff ff ff 7f", ASN_OBJECT_ID, 0, "1.3.4294967295"},
    {"06 02 88 37", ASN_OBJECT_ID, 0, "2.999"},
    {"06 01 4f", ASN_OBJECT_ID, 0, "1.39"},
};

TEST(BSnmpMessageTest, ValuesOfEverySyntaxRoundTripAtTheirBoundaries) {
  for (const ValueCase& c : kValues) {
    SCOPED_TRACE(c.hex);
    const Bytes bytes = ResponseWithValue(FromHex(c.hex));
    BSnmpMessage m;
    ASSERT_EQ(m.Decode(bytes.data(), bytes.size()), SNMP_CODEC_OK);
    const BObjectSyntax& v = m.varBinds[0].value;
    EXPECT_EQ(v.Syntax(), c.syntax);
    switch (c.syntax) {
      case ASN_INTEGER:
      case ASN_COUNTER32:
      case ASN_GAUGE32:
      case ASN_TIMETICKS:
        EXPECT_EQ(v.GetUnsigned(), static_cast<uint32_t>(c.number));
        break;
      case ASN_COUNTER64:
        EXPECT_EQ(v.GetCounter64().Value(), c.number);
        break;
      case ASN_OCTET_STRING:
      case ASN_OPAQUE:
        EXPECT_EQ(v.GetOctets().ToHex().str(), c.text);
        break;
      case ASN_OBJECT_ID:
        EXPECT_EQ(v.GetObjectId().ToString().str(), c.text);
        break;
      case ASN_IPADDRESS:
        EXPECT_EQ(v.GetIpAddress(), BIpAddress(192, 0, 2, 1));
        break;
      default:
        break;
    }
    ExpectReencodesExactly(m, bytes);
  }
}

struct BadCase {
  const char* name;
  Bytes bytes;
  ESnmpCodecStatus status;
};

const Bytes kVb = FromHex("06 08 2b 06 01 02 01 01 01 00");  // the varbind name used below

Bytes Get(unsigned char version, const Bytes& varbinds, unsigned char pdu = 0xA0) {
  return Tlv(0x30, Cat({FromHex("02 01"), Bytes{version}, FromHex("04 06 70 75 62 6c 69 63"),
                        Tlv(pdu, Cat({FromHex("02 01 01 02 01 00 02 01 00"), Tlv(0x30, varbinds)}))}));
}

std::vector<BadCase> BadCases() {
  return {
      {"empty datagram", {}, SNMP_CODEC_TRUNCATED},
      {"outer element not a SEQUENCE", FromHex("31 03 02 01 00"), SNMP_CODEC_WRONG_TAG},
      {"indefinite length", FromHex("30 80 02 01 00 00 00"), SNMP_CODEC_INDEFINITE_LENGTH},
      {"five length octets", FromHex("30 85 00 00 00 00 03 02 01 00"), SNMP_CODEC_BAD_LENGTH},
      {"length past the end", FromHex("30 05 02 01 00"), SNMP_CODEC_TRUNCATED},
      {"long length past the end", FromHex("30 84 7f ff ff ff 02 01 00"), SNMP_CODEC_TRUNCATED},
      {"octets after the message", Cat({Get(1, Tlv(0x30, Cat({kVb, FromHex("05 00")}))), FromHex("00")}),
       SNMP_CODEC_TRAILING_DATA},
      {"high tag number form", FromHex("30 03 1f 01 00"), SNMP_CODEC_WRONG_TAG},
      {"version not an INTEGER", FromHex("30 05 04 01 00 04 00"), SNMP_CODEC_WRONG_TAG},
      {"version 3", FromHex("30 03 02 01 03"), SNMP_CODEC_BAD_VERSION},
      {"version of five octets", FromHex("30 07 02 05 00 00 00 00 01"), SNMP_CODEC_BAD_INTEGER},
      {"empty version", FromHex("30 02 02 00"), SNMP_CODEC_BAD_INTEGER},
      {"community not an OCTET STRING", FromHex("30 08 02 01 01 06 03 2b 06 01"), SNMP_CODEC_WRONG_TAG},
      {"PDU tag 0xA9", Get(1, {}, 0xA9), SNMP_CODEC_WRONG_TAG},
      {"GetBulk in a v1 message", Get(0, {}, 0xA5), SNMP_CODEC_BAD_PDU_TYPE},
      {"SNMPv2-Trap in a v1 message", Get(0, {}, 0xA7), SNMP_CODEC_BAD_PDU_TYPE},
      {"v1 Trap in a v2c message", Get(1, {}, 0xA4), SNMP_CODEC_BAD_PDU_TYPE},
      {"request id of five octets",
       Tlv(0x30, Cat({FromHex("02 01 01 04 00"), Tlv(0xA0, FromHex("02 05 01 00 00 00 00 02 01 00 02 01 00 30 00"))})),
       SNMP_CODEC_BAD_INTEGER},
      {"error index missing", Tlv(0x30, Cat({FromHex("02 01 01 04 00"), Tlv(0xA0, FromHex("02 01 01 02 01 00"))})),
       SNMP_CODEC_TRUNCATED},
      {"varbind list not a SEQUENCE",
       Tlv(0x30, Cat({FromHex("02 01 01 04 00"), Tlv(0xA0, FromHex("02 01 01 02 01 00 02 01 00 31 00"))})),
       SNMP_CODEC_WRONG_TAG},
      {"octets after the varbind list",
       Tlv(0x30, Cat({FromHex("02 01 01 04 00"), Tlv(0xA0, FromHex("02 01 01 02 01 00 02 01 00 30 00 05 00"))})),
       SNMP_CODEC_TRAILING_DATA},
      {"octets after the PDU", Tlv(0x30, Cat({FromHex("02 01 01 04 00 a0 00"), FromHex("05 00")})),
       SNMP_CODEC_TRAILING_DATA},
      {"varbind without a value", Get(1, Tlv(0x30, kVb)), SNMP_CODEC_TRUNCATED},
      {"varbind with a third element", Get(1, Tlv(0x30, Cat({kVb, FromHex("05 00 05 00")}))), SNMP_CODEC_TRAILING_DATA},
      {"varbind name not an OID", Get(1, Tlv(0x30, FromHex("04 01 2b 05 00"))), SNMP_CODEC_WRONG_TAG},
      {"empty OID", Get(1, Tlv(0x30, FromHex("06 00 05 00"))), SNMP_CODEC_BAD_OID},
      {"OID ends inside a sub-identifier", Get(1, Tlv(0x30, FromHex("06 02 2b 86 05 00"))), SNMP_CODEC_BAD_OID},
      {"OID sub-identifier with a leading 0x80", Get(1, Tlv(0x30, FromHex("06 03 2b 80 01 05 00"))),
       SNMP_CODEC_BAD_OID},
      {"OID sub-identifier over 32 bits", Get(1, Tlv(0x30, FromHex("06 06 2b 90 80 80 80 00 05 00"))),
       SNMP_CODEC_BAD_OID},
      {"OID of 129 arcs", Get(1, Tlv(0x30, Cat({Tlv(0x06, Bytes(128, 0x01)), FromHex("05 00")}))), SNMP_CODEC_BAD_OID},
      {"NULL with content", Get(1, Tlv(0x30, Cat({kVb, FromHex("05 01 00")}))), SNMP_CODEC_BAD_NULL},
      {"endOfMibView with content", Get(1, Tlv(0x30, Cat({kVb, FromHex("82 01 00")}))), SNMP_CODEC_BAD_NULL},
      {"INTEGER of five octets", Get(1, Tlv(0x30, Cat({kVb, FromHex("02 05 00 00 00 00 01")}))),
       SNMP_CODEC_BAD_INTEGER},
      {"empty INTEGER", Get(1, Tlv(0x30, Cat({kVb, FromHex("02 00")}))), SNMP_CODEC_BAD_INTEGER},
      {"negative Counter32", Get(1, Tlv(0x30, Cat({kVb, FromHex("41 01 ff")}))), SNMP_CODEC_BAD_INTEGER},
      {"Gauge32 over 32 bits", Get(1, Tlv(0x30, Cat({kVb, FromHex("42 05 01 00 00 00 00")}))), SNMP_CODEC_BAD_INTEGER},
      {"TimeTicks of six octets", Get(1, Tlv(0x30, Cat({kVb, FromHex("43 06 00 00 00 00 00 01")}))),
       SNMP_CODEC_BAD_INTEGER},
      {"Counter64 over 64 bits", Get(1, Tlv(0x30, Cat({kVb, FromHex("46 09 01 00 00 00 00 00 00 00 00")}))),
       SNMP_CODEC_BAD_INTEGER},
      {"IpAddress of five octets", Get(1, Tlv(0x30, Cat({kVb, FromHex("40 05 c0 00 02 01 00")}))),
       SNMP_CODEC_BAD_IPADDRESS},
      {"value tag 0x45 (NsapAddress)", Get(1, Tlv(0x30, Cat({kVb, FromHex("45 01 00")}))), SNMP_CODEC_BAD_VALUE_TAG},
      {"constructed OCTET STRING", Get(1, Tlv(0x30, Cat({kVb, FromHex("24 03 04 01 41")}))), SNMP_CODEC_BAD_VALUE_TAG},
      {"value past the end of its varbind", Get(1, FromHex("30 0c 06 08 2b 06 01 02 01 01 01 00 04 05 41 42 43")),
       SNMP_CODEC_TRUNCATED},
      {"v1 trap agent address of three octets",
       Tlv(0x30, Cat({FromHex("02 01 00 04 00"),
                      Tlv(0xA4, FromHex("06 02 2b 06 40 03 7f 00 01 02 01 00 02 01 00 43 01 00 30 00"))})),
       SNMP_CODEC_BAD_IPADDRESS},
      {"v1 trap time stamp not TimeTicks",
       Tlv(0x30, Cat({FromHex("02 01 00 04 00"),
                      Tlv(0xA4, FromHex("06 02 2b 06 40 04 7f 00 00 01 02 01 00 02 01 00 02 01 00 30 00"))})),
       SNMP_CODEC_WRONG_TAG},
  };
}

TEST(BSnmpMessageTest, MalformedMessagesGetTheStatusOfTheirFault) {
  for (const BadCase& c : BadCases()) {
    SCOPED_TRACE(c.name);
    BSnmpMessage m;
    const ESnmpCodecStatus status = m.Decode(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(status, c.status) << QVSnmpCodecStatusText(status);
  }
}

TEST(BSnmpMessageTest, BadVersionKeepsTheVersionFound) {
  const Bytes bytes = FromHex("30 0e 02 01 03 30 09 02 01 00 02 01 00 02 01 00");
  BSnmpMessage m;
  EXPECT_EQ(m.Decode(bytes.data(), bytes.size()), SNMP_CODEC_BAD_VERSION);
  EXPECT_EQ(m.version, 3);
}

TEST(BSnmpMessageTest, EveryTruncationOfAValidMessageIsRefusedAsTruncated) {
  for (const ValidCase& c : kValid) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = FromHex(c.hex);
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
      // A copy of exactly `cut` octets, so that the sanitizers see any read
      // beyond it.
      const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<long>(cut));
      BSnmpMessage m;
      EXPECT_EQ(m.Decode(prefix.data(), prefix.size()), SNMP_CODEC_TRUNCATED) << "cut at " << cut;
    }
  }
}

TEST(BSnmpMessageTest, EncodeRespectsTheLimitAndReportsTheSizeNeeded) {
  const Bytes bytes = FromHex(kValid[3].hex);
  BSnmpMessage m;
  ASSERT_EQ(m.Decode(bytes.data(), bytes.size()), SNMP_CODEC_OK);
  Bytes out(bytes.size(), 0xEE);
  size_t length = 0;
  EXPECT_EQ(m.Encode(out.data(), bytes.size() - 1, length), SNMP_CODEC_TOO_BIG);
  EXPECT_EQ(length, bytes.size());
  EXPECT_EQ(out, Bytes(bytes.size(), 0xEE));  // nothing written
  EXPECT_EQ(m.Encode(out.data(), bytes.size(), length), SNMP_CODEC_OK);
  EXPECT_EQ(out, bytes);
}

TEST(BSnmpMessageTest, SizesMatchTheEncodingAcrossLengthClasses) {
  // A value that moves the varbind, list, PDU and message lengths from the
  // short form through one and two length octets.
  BSnmpMessage m;
  m.community.Assign("public");
  m.pduType = SNMP_PDU_RESPONSE;
  m.requestId = -1;
  m.varBinds.Append(BObjectIdentifier("1.3.6.1.2.1.1.1.0"));
  std::vector<unsigned char> out(2048);
  for (unsigned n : {80u, 95u, 96u, 97u, 100u, 110u, 111u, 112u, 200u, 224u, 225u, 226u, 240u, 241u, 242u, 1000u}) {
    SCOPED_TRACE(n);
    m.varBinds[0].value.SetOctets(std::string(n, 'x'));
    const size_t vbBytes = BSnmpMessage::VarBindSize(m.varBinds[0]);
    size_t length = 0;
    ASSERT_EQ(m.Encode(out.data(), out.size(), length), SNMP_CODEC_OK);
    EXPECT_EQ(length, m.EncodedSize());
    EXPECT_EQ(length, m.SizeWithVarBindBytes(vbBytes));
    BSnmpMessage back;
    ASSERT_EQ(back.Decode(out.data(), length), SNMP_CODEC_OK);
    EXPECT_EQ(back.varBinds[0].value, m.varBinds[0].value);
    EXPECT_EQ(back.requestId, -1);
  }
}

TEST(BSnmpMessageTest, FieldsWithoutAnEncodingAreRefused) {
  BSnmpMessage m;
  m.varBinds.Append(BObjectIdentifier("1.3.6.1"));
  unsigned char out[256];
  size_t length = 0;

  m.varBinds[0].value.SetSyntax(0x45);  // no SNMP syntax
  EXPECT_EQ(m.Encode(out, sizeof out, length), SNMP_CODEC_BAD_FIELD);
  EXPECT_EQ(m.EncodedSize(), 0u);

  m.varBinds[0].value.SetNull();
  m.varBinds[0].name = BObjectIdentifier("3.1");  // first arc above 2
  EXPECT_EQ(m.Encode(out, sizeof out, length), SNMP_CODEC_BAD_FIELD);

  m.varBinds[0].name = BObjectIdentifier("1.40");  // second arc too large under 1
  EXPECT_EQ(m.Encode(out, sizeof out, length), SNMP_CODEC_BAD_FIELD);

  m.varBinds[0].name = BObjectIdentifier("1.3");
  m.version = SNMP_VERSION_1;
  m.pduType = SNMP_PDU_GET_BULK;  // v1 has no GetBulk
  EXPECT_EQ(m.Encode(out, sizeof out, length), SNMP_CODEC_BAD_FIELD);
}

}  // namespace
}  // namespace QVT
