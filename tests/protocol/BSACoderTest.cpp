// Element coders: every value form in both directions, grouped by length
// class, the accepted non-minimal forms, a bad-input table with the status of
// each reason, and the encoder's room checks.
#include <gtest/gtest.h>

#include <climits>

#include "BSADecoder.h"
#include "BSAEncoder.h"
#include "ProtocolTestUtil.h"

namespace QVT::test {
namespace {

struct ValueCase {
  const char* what;
  BObjectSyntax value;
  std::string hex;
};

std::vector<ValueCase> ValueCases() {
  return {
      // INTEGER: both sides of each octet count, both signs.
      {"int 0", Int(0), "02 01 00"},
      {"int 127", Int(127), "02 01 7F"},
      {"int 128", Int(128), "02 02 00 80"},
      {"int 256", Int(256), "02 02 01 00"},
      {"int 32767", Int(32767), "02 02 7F FF"},
      {"int 32768", Int(32768), "02 03 00 80 00"},
      {"int 8388608", Int(8388608), "02 04 00 80 00 00"},
      {"int max", Int(INT_MAX), "02 04 7F FF FF FF"},
      {"int -1", Int(-1), "02 01 FF"},
      {"int -128", Int(-128), "02 01 80"},
      {"int -129", Int(-129), "02 02 FF 7F"},
      {"int -32769", Int(-32769), "02 03 FF 7F FF"},
      {"int min", Int(INT_MIN), "02 04 80 00 00 00"},
      // Unsigned 32: a 0x00 goes in front of a leading octet with its top bit set.
      {"counter32 0", Unsigned(ASN_COUNTER32, 0), "41 01 00"},
      {"counter32 127", Unsigned(ASN_COUNTER32, 127), "41 01 7F"},
      {"counter32 128", Unsigned(ASN_COUNTER32, 128), "41 02 00 80"},
      {"counter32 256", Unsigned(ASN_COUNTER32, 256), "41 02 01 00"},
      {"gauge32 max", Unsigned(ASN_GAUGE32, 4294967295u), "42 05 00 FF FF FF FF"},
      {"timeticks 300", Unsigned(ASN_TIMETICKS, 300), "43 02 01 2C"},
      {"timeticks 2^31-1", Unsigned(ASN_TIMETICKS, 0x7FFFFFFF), "43 04 7F FF FF FF"},
      {"timeticks 2^31", Unsigned(ASN_TIMETICKS, 0x80000000u), "43 05 00 80 00 00 00"},
      // Counter64.
      {"counter64 0", Ctr64(0), "46 01 00"},
      {"counter64 2^32-1", Ctr64(0xFFFFFFFFull), "46 05 00 FF FF FF FF"},
      {"counter64 2^32", Ctr64(0x100000000ull), "46 05 01 00 00 00 00"},
      {"counter64 mixed", Ctr64(0x0123456789ABCDEFull), "46 08 01 23 45 67 89 AB CD EF"},
      {"counter64 2^63", Ctr64(0x8000000000000000ull), "46 09 00 80 00 00 00 00 00 00 00"},
      {"counter64 max", Ctr64(~0ull), "46 09 00 FF FF FF FF FF FF FF FF"},
      // Octet strings: the length forms 127 / 128, 255 / 256.
      {"string abc", Octets("abc"), "04 03 61 62 63"},
      {"string empty", Octets(""), "04 00"},
      {"opaque", Octets("ab", ASN_OPAQUE), "44 02 61 62"},
      {"string 127", Octets(std::string(127, 'x')), "04 7F " + Repeat("78", 127)},
      {"string 128", Octets(std::string(128, 'x')), "04 81 80 " + Repeat("78", 128)},
      {"string 200", Octets(std::string(200, 'x')), "04 81 C8 " + Repeat("78", 200)},
      {"string 255", Octets(std::string(255, 'x')), "04 81 FF " + Repeat("78", 255)},
      {"string 256", Octets(std::string(256, 'x')), "04 82 01 00 " + Repeat("78", 256)},
      {"string 300", Octets(std::string(300, 'x')), "04 82 01 2C " + Repeat("78", 300)},
      // Object identifiers: sub-identifiers on both sides of each octet count.
      {"oid 1.3.6.1", Oid("1.3.6.1"), "06 03 2B 06 01"},
      {"oid 2.18.9", Oid("2.18.9"), "06 02 62 09"},
      {"oid 0.0", Oid("0.0"), "06 01 00"},
      {"oid subid 127", Oid("1.3.127"), "06 02 2B 7F"},
      {"oid subid 128", Oid("1.3.128"), "06 03 2B 81 00"},
      {"oid subid 16383", Oid("1.3.16383"), "06 03 2B FF 7F"},
      {"oid subid 16384", Oid("1.3.16384"), "06 04 2B 81 80 00"},
      {"oid subid 2^21-1", Oid("1.3.2097151"), "06 04 2B FF FF 7F"},
      {"oid subid 2^21", Oid("1.3.2097152"), "06 05 2B 81 80 80 00"},
      {"oid subid 2^28-1", Oid("1.3.268435455"), "06 05 2B FF FF FF 7F"},
      {"oid subid 2^28", Oid("1.3.268435456"), "06 06 2B 81 80 80 80 00"},
      {"oid subid 2^32-1", Oid("1.3.4294967295"), "06 06 2B 8F FF FF FF 7F"},
      // Fixed forms.
      {"ipaddress", Ip(127, 0, 0, 1), "40 04 7F 00 00 01"},
      {"null", BObjectSyntax(), "05 00"},
      {"noSuchObject", Exception(SNMP_NO_SUCH_OBJECT), "80 00"},
      {"noSuchInstance", Exception(SNMP_NO_SUCH_INSTANCE), "81 00"},
      {"endOfMibView", Exception(SNMP_END_OF_MIB_VIEW), "82 00"},
  };
}

TEST(BSACoderTest, ValuesEncodeToTheirOctetsAndDecodeBack) {
  for (const ValueCase& c : ValueCases()) {
    SCOPED_TRACE(c.what);
    BSABuffer out;
    BSAEncoder encoder(out);
    ASSERT_EQ(encoder.EncodeValue(c.value), 1);
    EXPECT_EQ(HexOf(out), ToHex(FromHex(c.hex)));

    BSABuffer in = BufferOf(c.hex);
    BSADecoder decoder(in);
    BObjectSyntax decoded;
    ASSERT_EQ(decoder.DecodeValue(decoded), 1) << std::hex << decoder.status;
    EXPECT_TRUE(decoded == c.value) << decoded.ValToStr().c_str();
    EXPECT_EQ(decoder.position, in.Length());
  }
}

TEST(BSACoderTest, DecoderAcceptsNonMinimalForms) {
  const struct {
    const char* hex;
    BObjectSyntax value;
  } cases[] = {
      {"02 02 00 01", Int(1)},
      {"02 04 FF FF FF FF", Int(-1)},
      {"41 00", Unsigned(ASN_COUNTER32, 0)},
      {"43 05 00 00 00 00 2A", Unsigned(ASN_TIMETICKS, 42)},
      {"46 00", Ctr64(0)},
      {"46 09 00 00 00 00 00 00 00 00 07", Ctr64(7)},
      {"04 80", Octets("")},
      {"04 81 03 61 62 63", Octets("abc")},
      {"04 84 00 00 00 03 61 62 63", Octets("abc")},
      {"06 03 2B 80 01", Oid("1.3.1")},
      {"06 82 00 03 2B 06 01", Oid("1.3.6.1")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hex);
    BSABuffer in = BufferOf(c.hex);
    BSADecoder decoder(in);
    BObjectSyntax decoded;
    ASSERT_EQ(decoder.DecodeValue(decoded), 1) << std::hex << decoder.status;
    EXPECT_TRUE(decoded == c.value) << decoded.ValToStr().c_str();
  }
}

// One row per reason a value is refused.
TEST(BSACoderTest, MalformedValuesFailWithTheirStatus) {
  const struct {
    const char* hex;
    int status;
  } cases[] = {
      {"", SA_ERR_BAD_ENCODING},                                     // no tag octet
      {"02", SA_ERR_BAD_ENCODING},                                   // no length octet
      {"02 00", SA_ERR_BAD_ENCODING},                                // INTEGER of 0 octets
      {"02 05 00 00 00 00 01", SA_ERR_BAD_ENCODING},                 // INTEGER of 5 octets
      {"02 02 01", SA_ERR_BAD_VALUE},                                // INTEGER content cut short
      {"41 06 00 00 00 00 00 01", SA_ERR_BAD_ENCODING},              // unsigned of 6 octets
      {"41 05 01 00 00 00 00", SA_ERR_BAD_VALUE},                    // 5 octets, first not 0
      {"43 03 01", SA_ERR_BAD_VALUE},                                // unsigned content cut short
      {"46 0A 00 00 00 00 00 00 00 00 00 01", SA_ERR_BAD_ENCODING},  // Counter64 of 10 octets
      {"46 09 01 00 00 00 00 00 00 00 00", SA_ERR_BAD_VALUE},        // 9 octets, first not 0
      {"46 02 01", SA_ERR_BAD_VALUE},                                // Counter64 content cut short
      {"05 01 00", SA_ERR_BAD_ENCODING},                             // NULL with content
      {"82 01 00", SA_ERR_BAD_ENCODING},                             // exception with content
      {"40 03 01 02 03", SA_ERR_BAD_ENCODING},                       // IpAddress of 3 octets
      {"40 04 7F 00", SA_ERR_BAD_VALUE},                             // IpAddress cut short
      {"06 00", SA_ERR_BAD_ENCODING},                                // OID of 0 octets
      {"06 03 2B 06", SA_ERR_BAD_VALUE},                             // OID content cut short
      {"06 02 2B 86", SA_ERR_BAD_VALUE},                             // sub-id runs past the OID
      {"06 07 2B 8F FF FF FF FF 7F", SA_ERR_BAD_VALUE},              // sub-id of 6 octets
      {"06 06 2B 90 80 80 80 00", SA_ERR_BAD_VALUE},                 // sub-id of 2^32
      {"04 05 61", SA_ERR_BAD_ENCODING},                             // string longer than the data
      {"04 85 00 00 00 00 01 61", SA_ERR_BAD_ENCODING},              // length form of 5 octets
      {"04 82 01", SA_ERR_BAD_ENCODING},                             // length octets cut short
      {"04 84 FF FF FF FF", SA_ERR_BAD_ENCODING},                    // length beyond any data
      {"45 00", SA_ERR_WRONG_TAG},                                   // no SNMP syntax
      {"47 00", SA_ERR_WRONG_TAG},
      {"30 00", SA_ERR_WRONG_TAG},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hex);
    BSABuffer in = BufferOf(c.hex);
    BSADecoder decoder(in);
    BObjectSyntax decoded;
    EXPECT_EQ(decoder.DecodeValue(decoded), 0);
    EXPECT_EQ(decoder.status, c.status) << std::hex << decoder.status;
  }
}

TEST(BSACoderTest, WrongTagIsConsumedAndReported) {
  BSABuffer in = BufferOf("04 01 00");
  BSADecoder decoder(in);
  int value = 0;
  EXPECT_EQ(decoder.DecodeInt(value), 0);
  EXPECT_EQ(decoder.status, SA_ERR_WRONG_TAG);
  EXPECT_EQ(decoder.position, 1u);
}

TEST(BSACoderTest, LengthForms) {
  const struct {
    const char* hex;
    int ok;
    int length;
  } cases[] = {
      {"7F", 1, 127},
      {"81 80", 1, 128},
      {"81 FF", 1, 255},
      {"82 01 00", 1, 256},
      {"80", 1, 0},
      {"82 00 07", 1, 7},
      {"84 00 01 00 00", 1, 65536},
      {"85 00 00 00 00 01", 0, -1},
      {"82 01", 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hex);
    BSABuffer in = BufferOf(c.hex);
    BSADecoder decoder(in);
    int length = 99;
    EXPECT_EQ(decoder.DecodeLength(length), c.ok);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(decoder.status, c.ok ? 0 : SA_ERR_BAD_ENCODING);
  }
}

TEST(BSACoderTest, SingleOctetAndTextForms) {
  BSABuffer out;
  BSAEncoder encoder(out);
  ASSERT_EQ(encoder.EncodeSingleOctet(0x5A), 1);
  ASSERT_EQ(encoder.EncodeOctets(BString("hi")), 1);
  EXPECT_EQ(HexOf(out), "04 01 5A 04 02 68 69");

  BSADecoder decoder(out);
  unsigned char octet = 0;
  BString text("keep");
  ASSERT_EQ(decoder.DecodeSingleOctet(octet), 1);
  ASSERT_EQ(decoder.DecodeOctets(text), 1);
  EXPECT_EQ(octet, 0x5A);
  EXPECT_EQ(text.str(), "hi");

  BSABuffer empty = BufferOf("04 00 04 02 61 62");
  BSADecoder emptyDecoder(empty);
  ASSERT_EQ(emptyDecoder.DecodeOctets(text), 1);
  EXPECT_EQ(text.str(), "hi");  // an empty string leaves the text as it was
  EXPECT_EQ(emptyDecoder.DecodeSingleOctet(octet), 0);
  EXPECT_EQ(emptyDecoder.status, SA_ERR_BAD_ENCODING);
}

TEST(BSACoderTest, FixedCapacityDestinationRefusesLongerStrings) {
  BSABuffer in = BufferOf("04 03 61 62 63 04 03 61 62 63");
  BSADecoder decoder(in);
  BOctetString roomy;
  roomy.Reserve(3, 0);
  ASSERT_EQ(decoder.DecodeOctets(ASN_OCTET_STRING, roomy, false), 1);
  EXPECT_EQ(roomy.AsStringView(), "abc");
  BOctetString small;
  small.Reserve(2, 0);
  EXPECT_EQ(decoder.DecodeOctets(ASN_OCTET_STRING, small, false), 0);
  EXPECT_EQ(decoder.status, SA_ERR_OCTETS_TOO_LONG);
}

TEST(BSACoderTest, ObjectIdReplacesWhatTheDestinationHeld) {
  BSABuffer in = BufferOf("06 03 2B 06 01 06 04 2B 06 81 00");
  BSADecoder decoder(in);
  BObjectIdentifier oid("1.2.3.4.5.6.7.8");
  ASSERT_EQ(decoder.DecodeObjectId(oid), 1);
  EXPECT_EQ(oid.ToString().str(), "1.3.6.1");
  ASSERT_EQ(decoder.DecodeObjectId(oid), 1);
  EXPECT_EQ(oid.ToString().str(), "1.3.6.128");
}

TEST(BSACoderTest, VarBindAndListForms) {
  BVarBindList list;
  BSABuffer out;
  {
    BSAEncoder encoder(out);
    ASSERT_EQ(encoder.EncodeVarBindList(list), 1);
  }
  EXPECT_EQ(HexOf(out), "30 82 00 00");

  out.SetLength(0);
  BVarBind vb(BObjectIdentifier("1.3.6.1"));
  {
    BSAEncoder encoder(out);
    ASSERT_EQ(encoder.EncodeVarBind(vb), 1);
  }
  EXPECT_EQ(HexOf(out), "30 82 00 07 06 03 2B 06 01 05 00");

  // A varbind of more than 127 octets fills both length octets of its slot.
  list.Append(BObjectIdentifier("1.3.6.1"), Octets(std::string(200, 'x')));
  out.SetLength(0);
  {
    BSAEncoder encoder(out);
    ASSERT_EQ(encoder.EncodeVarBindList(list), 1);
  }
  EXPECT_EQ(ToHex(out.Data(), 12), "30 82 00 D4 30 82 00 D0 06 03 2B 06");
  BSADecoder decoder(out);
  BVarBindList decoded;
  ASSERT_EQ(decoder.DecodeVarBindList(decoded, static_cast<int>(out.Length())), 1);
  ASSERT_EQ(decoded.Count(), 1);
  EXPECT_TRUE(decoded[0].value == list[0].value);
}

TEST(BSACoderTest, MalformedListsFailWithTheirStatus) {
  const struct {
    const char* what;
    const char* hex;
    int status;
    int kept;  // varbinds left in the list
    int end;   // where the list must end; -1: the end of the data
  } cases[] = {
      {"varbind shorter than 5", "30 06 30 04 06 01 2B 05", SA_ERR_BAD_ENCODING, 0, -1},
      {"varbind past its list", "30 82 00 09 30 82 00 07 06 03 2B 06 01 05 00", SA_ERR_BAD_ENCODING, 0, 13},
      {"list ends before the PDU", "30 82 00 0A 30 82 00 07 06 03 2B 06 01 05 00 00", SA_ERR_BAD_ENCODING, 0, -1},
      {"list ends after the PDU", "30 82 00 0B 30 82 00 07 06 03 2B 06 01 05 00", SA_ERR_BAD_ENCODING, 0, 14},
      {"value of no syntax", "30 82 00 0B 30 82 00 07 06 03 2B 06 01 45 00", SA_ERR_WRONG_TAG, 0, -1},
      {"second varbind bad", "30 82 00 16 30 82 00 07 06 03 2B 06 01 05 00 30 82 00 07 06 03 2B 06 01 05 01",
       SA_ERR_BAD_ENCODING, 1, -1},
      {"list tag", "31 82 00 00", SA_ERR_WRONG_TAG, 0, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    BSABuffer in = BufferOf(c.hex);
    BSADecoder decoder(in);
    BVarBindList list;
    EXPECT_EQ(decoder.DecodeVarBindList(list, c.end < 0 ? static_cast<int>(in.Length()) : c.end), 0);
    EXPECT_EQ(decoder.status, c.status) << std::hex << decoder.status;
    EXPECT_EQ(list.Count(), c.kept);
  }
}

TEST(BSACoderTest, LeftoverInsideAVarBindIsSkipped) {
  // The varbind claims 9 octets; its name and value take 7.
  BSABuffer in = BufferOf("30 82 00 18 30 82 00 09 06 03 2B 06 01 05 00 EE EE 30 82 00 07 06 03 2B 06 02 05 00");
  BSADecoder decoder(in);
  BVarBindList list;
  ASSERT_EQ(decoder.DecodeVarBindList(list, static_cast<int>(in.Length())), 1);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list[1].name.ToString().str(), "1.3.6.2");
}

// Leaves `room` octets in a fresh buffer.
void LeaveRoom(BSABuffer& buffer, unsigned room) {
  buffer.SetLength(buffer.Capacity() - room);
}

TEST(BSACoderTest, EncoderChecksRoomBeforeWriting) {
  {
    BSABuffer buffer;
    LeaveRoom(buffer, 3);
    BSAEncoder encoder(buffer);
    int lengthPos = 0;
    EXPECT_EQ(encoder.EncodeTypeAndReserveThreeOctetsForLength(0x30, lengthPos), 0);
    EXPECT_EQ(encoder.status, SA_ERR_BUFFER_FULL);
    EXPECT_EQ(buffer.Length(), 0xFFFFFFFFu);
    // Nothing more fits once the run has overrun.
    EXPECT_EQ(encoder.EncodeNull(), 0);
  }
  {
    BSABuffer buffer;
    LeaveRoom(buffer, 2);
    BSAEncoder encoder(buffer);
    EXPECT_EQ(encoder.EncodeNull(), 1);
    EXPECT_EQ(buffer.Length(), buffer.Capacity());
  }
  {
    BSABuffer buffer;
    LeaveRoom(buffer, 4);
    BSAEncoder encoder(buffer);
    EXPECT_EQ(encoder.EncodeOctets(BString("abc")), 0);  // needs 5
    EXPECT_EQ(encoder.status, SA_ERR_BUFFER_FULL);
  }
  {
    BSABuffer buffer;
    LeaveRoom(buffer, 4);
    BSAEncoder encoder(buffer);
    int lengthPos = 0;
    EXPECT_EQ(encoder.EncodeTypeFlagsAndReserve3OctetsForLength(13, 0, lengthPos), 0);
  }
  {
    BSABuffer buffer;
    LeaveRoom(buffer, 2);
    BSAEncoder encoder(buffer);
    EXPECT_EQ(encoder.EncodeSubID(16384), 0);  // 3 octets
    EXPECT_EQ(encoder.status, SA_ERR_BUFFER_FULL);
  }
}

TEST(BSACoderTest, EncoderRefusesWhatTheWireCannotCarry) {
  BSABuffer buffer;
  BSAEncoder encoder(buffer);
  EXPECT_EQ(encoder.EncodeObjectId(BObjectIdentifier().View()), 0);
  EXPECT_EQ(encoder.status, SA_ERR_BAD_ENCODING);

  BSAEncoder oneArc(buffer);
  EXPECT_EQ(oneArc.EncodeObjectId(BObjectIdentifier("1").View()), 0);
  EXPECT_EQ(oneArc.status, SA_ERR_BAD_ENCODING);

  for (const unsigned char syntax : {0x30, 0x45, 0x47, 0x7F, 0x83}) {
    BObjectSyntax value;
    value.SetSyntax(syntax);
    BSAEncoder valueEncoder(buffer);
    EXPECT_EQ(valueEncoder.EncodeValue(value), 0) << int{syntax};
    EXPECT_EQ(valueEncoder.status, SA_ERR_BAD_ENCODING);
  }
  EXPECT_EQ(buffer.Length(), 0u);
}

TEST(BSACoderTest, LengthSlotKeepsItsHighOctetBelow128) {
  BSABuffer buffer;
  BSAEncoder encoder(buffer);
  int lengthPos = 0;
  ASSERT_EQ(encoder.EncodeTypeAndReserveThreeOctetsForLength(0x30, lengthPos), 1);
  EXPECT_EQ(lengthPos, 2);
  buffer[2] = 0x55;  // only the low octet is written for lengths up to 127
  ASSERT_EQ(encoder.Append(const_cast<char*>("abcde"), 5), 1);
  encoder.EncodeLengthInTwoOctetsAtPosition(lengthPos);
  EXPECT_EQ(ToHex(buffer.Data(), 4), "30 82 55 05");

  buffer.SetLength(300);
  encoder.EncodeLengthInTwoOctetsAtPosition(lengthPos);
  EXPECT_EQ(ToHex(buffer.Data(), 4), "30 82 01 28");  // 296 octets after the slot

  buffer.SetLength(0xFFFFFFFFu);  // an overrun run stores nothing
  encoder.EncodeLengthInTwoOctetsAtPosition(lengthPos);
  EXPECT_EQ(ToHex(buffer.Data(), 4), "30 82 01 28");
}

TEST(BSACoderTest, AppendCopiesRawOctetsWhenThereIsRoom) {
  BSABuffer source = BufferOf("01 02 03");
  BSABuffer target;
  LeaveRoom(target, 5);
  BSAEncoder encoder(target);
  EXPECT_EQ(encoder.Append(source), 1);
  EXPECT_EQ(encoder.Append(source), 0);  // 2 octets left
  EXPECT_EQ(encoder.status, 0);
  EXPECT_EQ(target.Length(), target.Capacity() - 2);
  EXPECT_EQ(ToHex(target.Data() + target.Length() - 3, 3), "01 02 03");
}

TEST(BSACoderTest, LengthEstimateCoversEveryFixedSizeValue) {
  const BObjectIdentifier name("1.3.6.1.4.1.32473.1.1.1.0");
  const BObjectSyntax widest[] = {
      Int(INT_MIN),
      Unsigned(ASN_COUNTER32, ~0u),
      Unsigned(ASN_GAUGE32, ~0u),
      Ip(1, 2, 3, 4),
      Octets(std::string(100, 'x')),
      Octets("ab", ASN_OPAQUE),
      BObjectSyntax(),
      Exception(SNMP_END_OF_MIB_VIEW),
      Oid("1.3.6.1.4.1.4294967295"),
      Ctr64(0xFFFFFFFFFFFFFFull),
  };
  for (const BObjectSyntax& value : widest) {
    SCOPED_TRACE(value.ValToStr().c_str());
    BVarBind vb(name, value);
    BSABuffer buffer;
    BSAEncoder encoder(buffer);
    ASSERT_EQ(encoder.EncodeVarBind(vb), 1);
    EXPECT_GE(BSAEncoder::CalculateLengthOfEncoding(vb), static_cast<int>(buffer.Length()));
  }
  // Counter64 is counted with 8 content octets, and a syntax outside the
  // table with none.
  const int n = BSAEncoder::NumOctetsToEncodeObjectId(name.View());
  EXPECT_EQ(n, 12);
  EXPECT_EQ(BSAEncoder::CalculateLengthOfEncoding(BVarBind(name, Ctr64(~0ull))), n + 16);
  BObjectSyntax odd;
  odd.SetSyntax(0x47);
  EXPECT_EQ(BSAEncoder::CalculateLengthOfEncoding(BVarBind(name, odd)), n + 6);
  EXPECT_EQ(BSAEncoder::CalculateLengthOfEncoding(BVarBind(name, Octets("abc"))), n + 11);
}

}  // namespace
}  // namespace QVT::test
