// Datagram frames: the documented examples, one annotated frame decoded and
// re-encoded byte-exact, the frame cut at every length, and the frame-level
// failures.
#include <gtest/gtest.h>

#include "BSADecoder.h"
#include "BSAEncoder.h"
#include "BSAFrame.h"
#include "ProtocolTestUtil.h"

namespace QVT::test {
namespace {

const char kMagic[] = "04 04 51 56 54 31 ";

// A RESPONSE with three varbinds, one line per element.
const char kAnnotatedResponse[] = R"(
  04 04 51 56 54 31            # magic "QVT1"
  12 00                        # type 18 RESPONSE, flags 0
  82 00 55                     # 85 octets follow
  02 01 07                     # sessionId 7
  02 01 00                     # transactionId 0
  02 04 80 00 00 01            # requestId 0x80000001, sent as a negative INTEGER
  02 02 01 2C                  # sysUpTime 300
  02 01 00                     # errorStatus 0
  02 01 00                     # errorIndex 0
  30 82 00 3B                  # varbind list, 59 octets
    30 82 00 0F                #   varbind 1
      06 08 2B 06 01 02 01 01 05 00          # 1.3.6.1.2.1.1.5.0
      04 03 61 62 63                         # "abc"
    30 82 00 13                #   varbind 2
      06 0A 2B 06 01 02 01 02 02 01 0A 01    # 1.3.6.1.2.1.2.2.1.10.1
      41 05 00 FF FF FF FF                   # Counter32 4294967295
    30 82 00 0D                #   varbind 3
      06 09 2B 06 01 04 01 81 FD 59 01       # 1.3.6.1.4.1.32473.1
      82 00                                  # endOfMibView
)";

BSAPdu AnnotatedResponse() {
  BSAPdu pdu(SA_PDU_RESPONSE, 7, 0x80000001u);
  pdu.sysUpTime = 300;
  pdu.varBindList.Append(BObjectIdentifier("1.3.6.1.2.1.1.5.0"), Octets("abc"));
  pdu.varBindList.Append(BObjectIdentifier("1.3.6.1.2.1.2.2.1.10.1"), Unsigned(ASN_COUNTER32, 4294967295u));
  pdu.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.1"), Exception(SNMP_END_OF_MIB_VIEW));
  return pdu;
}

void ExpectSamePdu(const BSAPdu& a, const BSAPdu& b) {
  EXPECT_EQ(a.type, b.type);
  EXPECT_EQ(a.flags, b.flags);
  EXPECT_EQ(a.sessionId, b.sessionId);
  EXPECT_EQ(a.transactionId, b.transactionId);
  EXPECT_EQ(a.requestId, b.requestId);
  EXPECT_EQ(a.errorStatus, b.errorStatus);
  EXPECT_EQ(a.errorIndex, b.errorIndex);
  EXPECT_EQ(a.sysUpTime, b.sysUpTime);
  ASSERT_EQ(a.varBindList.Count(), b.varBindList.Count());
  for (int i = 0; i < a.varBindList.Count(); ++i) {
    EXPECT_TRUE(a.varBindList[i].name == b.varBindList[i].name) << i;
    EXPECT_TRUE(a.varBindList[i].value == b.varBindList[i].value) << i;
  }
}

TEST(BSAFrameTest, PingAndResponseEncodeToTheDocumentedOctets) {
  struct {
    BSAPdu pdu;
    std::string hex;
  } cases[] = {
      {BSAPdu(SA_PDU_PING, 1, 2), std::string(kMagic) + "0D 00 82 00 0D 02 01 01 02 01 00 02 01 02 30 82 00 00"},
      {[] {
         BSAPdu response(SA_PDU_RESPONSE, 1, 2);
         response.sysUpTime = 100;
         return response;
       }(),
       std::string(kMagic) + "12 00 82 00 16 02 01 01 02 01 00 02 01 02 02 01 64 02 01 00 02 01 00 30 82 00 00"},
  };
  for (auto& c : cases) {
    BSABuffer buffer;
    ASSERT_EQ(Encode(buffer, c.pdu), 0);
    EXPECT_EQ(HexOf(buffer), ToHex(FromHex(c.hex)));
    // The rest of the capacity reads 0xAB.
    for (unsigned i = buffer.Length(); i < buffer.Capacity(); ++i) ASSERT_EQ(buffer[i], 0xAB) << i;

    BSAPdu decoded;
    ASSERT_EQ(Decode(buffer, decoded), 0);
    ExpectSamePdu(decoded, c.pdu);
  }
}

TEST(BSAFrameTest, AnnotatedFrameDecodesAndReencodesByteExact) {
  BSABuffer in = BufferOf(kAnnotatedResponse);
  ASSERT_EQ(in.Length(), 96u);
  BSAPdu decoded;
  ASSERT_EQ(Decode(in, decoded), 0);
  ExpectSamePdu(decoded, AnnotatedResponse());

  BSABuffer out;
  ASSERT_EQ(Encode(out, decoded), 0);
  EXPECT_EQ(HexOf(out), HexOf(in));
}

TEST(BSAFrameTest, HeaderNumbersTravelAsTheir32Bits) {
  BSAPdu pdu(SA_PDU_GET, 0xFFFFFFFFu, 4294967295u);
  pdu.transactionId = 0x80000000u;
  BSABuffer buffer;
  ASSERT_EQ(Encode(buffer, pdu), 0);
  EXPECT_EQ(HexOf(buffer),
            ToHex(FromHex(std::string(kMagic) + "05 00 82 00 10 02 01 FF 02 04 80 00 00 00 02 01 FF 30 82 00 00")));
  BSAPdu decoded;
  ASSERT_EQ(Decode(buffer, decoded), 0);
  EXPECT_EQ(decoded.requestId, 4294967295u);
  EXPECT_EQ(decoded.sessionId, 0xFFFFFFFFu);
  EXPECT_EQ(decoded.transactionId, 0x80000000u);
}

TEST(BSAFrameTest, FlagsAndNegativeResponseNumbersRoundTrip) {
  BSAPdu request(SA_PDU_INDEX_ALLOCATE, 3, 4);
  request.SetFlagsIndex(SA_IXALLOC_ANY_INDEX);
  BSAPdu response(SA_PDU_RESPONSE, 3, 4);
  response.errorStatus = SA_ERR_BAD_ENCODING;
  response.errorIndex = -1;
  response.sysUpTime = 0xFFFFFFFFu;
  for (BSAPdu* pdu : {&request, &response}) {
    BSABuffer buffer;
    ASSERT_EQ(Encode(buffer, *pdu), 0);
    BSAPdu decoded;
    ASSERT_EQ(Decode(buffer, decoded), 0);
    ExpectSamePdu(decoded, *pdu);
  }
}

TEST(BSAFrameTest, FrameCutAtEveryLengthFailsWithTheStatusOfItsField) {
  const std::vector<unsigned char> frame = FromHex(StripAnnotations(kAnnotatedResponse));
  // The fields in frame order: size, and the status of a cut inside the
  // content (a cut in a tag or length octet is always SA_ERR_BAD_ENCODING).
  const struct {
    const char* field;
    unsigned size;
    int contentCut;
  } fields[] = {
      {"magic", 6, SA_ERR_BAD_ENCODING},      {"type and flags", 2, SA_ERR_BAD_ENCODING},
      {"PDU length", 3, SA_ERR_BAD_ENCODING}, {"sessionId", 3, SA_ERR_BAD_VALUE},
      {"transactionId", 3, SA_ERR_BAD_VALUE}, {"requestId", 6, SA_ERR_BAD_VALUE},
      {"sysUpTime", 4, SA_ERR_BAD_VALUE},     {"errorStatus", 3, SA_ERR_BAD_VALUE},
      {"errorIndex", 3, SA_ERR_BAD_VALUE},    {"varbind list", 63, SA_ERR_BAD_ENCODING},
  };
  unsigned start = 0;
  for (const auto& f : fields) {
    for (unsigned cut = start; cut < start + f.size; ++cut) {
      SCOPED_TRACE(std::string(f.field) + " cut at " + std::to_string(cut));
      BSABuffer buffer = BufferOf(std::vector<unsigned char>(frame.begin(), frame.begin() + cut));
      BSAPdu pdu;
      EXPECT_EQ(Decode(buffer, pdu), cut - start < 2 ? SA_ERR_BAD_ENCODING : f.contentCut);
    }
    start += f.size;
  }
  ASSERT_EQ(start, frame.size());
}

TEST(BSAFrameTest, FrameLevelFailures) {
  const std::string ping = "0D 00 82 00 0D 02 01 01 02 01 00 02 01 02 30 82 00 00";
  const struct {
    const char* what;
    std::string hex;
    int status;
  } cases[] = {
      {"magic QVT2", "04 04 51 56 54 32 " + ping, SA_ERR_BAD_MAGIC},
      {"magic of 5 octets", "04 05 51 56 54 31 00 " + ping, SA_ERR_BAD_MAGIC},
      {"magic not a string", "02 04 51 56 54 31 " + ping, SA_ERR_WRONG_TAG},
      {"cut after the type", std::string(kMagic) + "0D", SA_ERR_BAD_ENCODING},
      {"PDU length one less", std::string(kMagic) + "0D 00 82 00 0C 02 01 01 02 01 00 02 01 02 30 82 00 00",
       SA_ERR_BAD_ENCODING},
      {"PDU length one more", std::string(kMagic) + "0D 00 82 00 0E 02 01 01 02 01 00 02 01 02 30 82 00 00",
       SA_ERR_BAD_ENCODING},
      {"extra octets after a GET", std::string(kMagic) + "05 00 82 00 0D 02 01 01 02 01 00 02 01 02 30 82 00 00 EE EE",
       0},
      {"short PDU length form", std::string(kMagic) + "0D 00 0D 02 01 01 02 01 00 02 01 02 30 82 00 00", 0},
      {"type out of range", std::string(kMagic) + "63 00 82 00 0D 02 01 01 02 01 00 02 01 02 30 82 00 00", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    BSABuffer buffer = BufferOf(c.hex);
    BSAPdu pdu(SA_PDU_GET_BULK, 77, 88);
    EXPECT_EQ(Decode(buffer, pdu), c.status);
    if (c.status == SA_ERR_BAD_MAGIC) {  // nothing of the PDU changed
      EXPECT_EQ(pdu.type, SA_PDU_GET_BULK);
      EXPECT_EQ(pdu.sessionId, 77u);
    }
  }
}

TEST(BSAFrameTest, DecodeKeepsFieldsTheFrameDoesNotCarry) {
  BSABuffer buffer;
  BSAPdu ping(SA_PDU_PING, 1, 2);
  ping.varBindList.Append(BObjectIdentifier("1.3.6.1"));
  ASSERT_EQ(Encode(buffer, ping), 0);

  BSAPdu target(SA_PDU_RESPONSE, 9, 9);
  target.sysUpTime = 5;
  target.errorIndex = 6;
  target.varBindList.Append(BObjectIdentifier("1.3.9"));
  ASSERT_EQ(Decode(buffer, target), 0);
  EXPECT_EQ(target.type, SA_PDU_PING);
  EXPECT_EQ(target.sessionId, 1u);
  EXPECT_EQ(target.sysUpTime, 5u);
  EXPECT_EQ(target.errorIndex, 6);
  ASSERT_EQ(target.varBindList.Count(), 2);
  EXPECT_EQ(target.varBindList[1].name.ToString().str(), "1.3.6.1");
}

TEST(BSAFrameTest, LargestFrameFillsTheBufferExactly) {
  // A ping with one string varbind: 24 octets of frame, 13 of varbind
  // around the string.
  for (const unsigned size : {2011u, 2012u}) {
    BSAPdu pdu(SA_PDU_PING, 1, 2);
    pdu.varBindList.Append(BObjectIdentifier("1.3.6.1"), Octets(std::string(size, 'x')));
    BSABuffer buffer;
    const int status = Encode(buffer, pdu);
    if (size == 2011) {
      ASSERT_EQ(status, 0);
      EXPECT_EQ(buffer.Length(), 2048u);
      BSAPdu decoded;
      ASSERT_EQ(Decode(buffer, decoded), 0);
      ExpectSamePdu(decoded, pdu);
    } else {
      EXPECT_EQ(status, SA_ERR_BUFFER_FULL);
      EXPECT_EQ(buffer.Length(), 0xFFFFFFFFu);
    }
  }
}

TEST(BSAFrameTest, EncodeReportsAValueTheWireCannotCarry) {
  BSAPdu pdu(SA_PDU_GET, 1, 2);
  pdu.varBindList.Append(BObjectIdentifier());
  BSABuffer buffer;
  EXPECT_EQ(Encode(buffer, pdu), SA_ERR_BAD_ENCODING);
}

TEST(BSAFrameTest, CodersFrameAtTheirCurrentPosition) {
  BSABuffer buffer = BufferOf("EE EE");
  BSAPdu ping(SA_PDU_PING, 1, 2);
  BSAEncoder encoder(buffer);
  ASSERT_EQ(encoder.EncodeSAPdu(ping), 1);
  EXPECT_EQ(HexOf(buffer),
            ToHex(FromHex("EE EE " + std::string(kMagic) + "0D 00 82 00 0D 02 01 01 02 01 00 02 01 02 30 82 00 00")));

  BSADecoder decoder(buffer);
  decoder.position = 2;
  BSAPdu decoded;
  ASSERT_EQ(decoder.DecodeSAPdu(decoded), 1);
  ExpectSamePdu(decoded, ping);

  BSADecoder atStart(buffer);
  EXPECT_EQ(atStart.DecodeSAPdu(decoded), 0);
  EXPECT_EQ(atStart.status, SA_ERR_WRONG_TAG);
  BSABuffer wrongMagic = BufferOf("04 04 51 56 54 30");
  BSADecoder magicDecoder(wrongMagic);
  EXPECT_EQ(magicDecoder.DecodeSAPdu(decoded), 0);
  EXPECT_EQ(magicDecoder.status, SA_ERR_BAD_MAGIC);
}

TEST(BSAFrameTest, BufferIsAZeroFilledFixedCapacity) {
  BSABuffer buffer;
  EXPECT_EQ(buffer.Capacity(), 2048u);
  EXPECT_EQ(buffer.Length(), 0u);
  for (unsigned i = 0; i < buffer.Capacity(); ++i) ASSERT_EQ(buffer[i], 0) << i;
}

}  // namespace
}  // namespace QVT::test
