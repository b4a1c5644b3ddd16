// The SNMPv3 message codec byte by byte: messages the Net-SNMP tools sent,
// decoded and re-encoded exactly; refusals with their status.
#include "BSnmpV3Message.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "TestSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace QVT {
namespace {

using test::FromHex;
using Bytes = std::vector<unsigned char>;

// Captured with the Net-SNMP 5.9 tools against a closed port (the printout
// of "Sending N bytes"), MIBS= SNMPCONFPATH=/nonexistent, and kept as the fuzzer's seeds:
//   valid-01-discovery:  snmpget -v3 -d -r0 -t1 -l noAuthNoPriv -u "" 127.0.0.1:19999 1.3.6.1.2.1.1.1.0
//   valid-02-authpriv:   snmpget -v3 -d -r0 -t1 -l authPriv -u alice -a SHA -A alicepass1 -x AES -X alicepriv1
//                          -e 0x80007ed90501020304050607 127.0.0.1:19999 1.3.6.1.2.1.1.1.0
//   valid-03-authnopriv: snmpgetnext -v3 -d -r0 -t1 -l authNoPriv -u bob -a SHA-256 -A bobpassword
//                          -e 0x80007ed90501020304050607 127.0.0.1:19999 1.3.6.1.2.1.1
Bytes Seed(const std::string& name) {
  std::ifstream in(QV_SNMPV3_CORPUS_DIR "/" + name, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
const char* const kEngineId = "80 00 7E D9 05 01 02 03 04 05 06 07";

struct CapturedCase {
  const char* name;  // the seed's
  int32_t msgId;
  unsigned char flags;
  const char* user;
  const char* engineId;
  size_t authLength;
  size_t privLength;
  int pduType;  // -1: encrypted
  int32_t requestId;
  int varBinds;
};

const CapturedCase kCaptured[] = {
    {"valid-01-discovery", 0x73D95059, 0x04, "", "", 0, 0, SNMP_PDU_GET, 0x5D5A2450, 0},
    {"valid-02-authpriv", 0x7E3D74D8, 0x07, "alice", kEngineId, 12, 8, -1, 0, 0},
    {"valid-03-authnopriv", 0x059DD766, 0x05, "bob", kEngineId, 24, 0, SNMP_PDU_GET_NEXT, 0x54DBCE92, 1},
};

// Every seed is one of them: each is decoded, re-encoded and cut here, and replayed through the fuzz target.
TEST(BSnmpV3MessageTest, CapturedMessagesDecodeAndReencodeByteExact) {
  const auto seeds = std::filesystem::directory_iterator(QV_SNMPV3_CORPUS_DIR);
  EXPECT_EQ(std::distance(begin(seeds), end(seeds)), std::ssize(kCaptured));
  for (const CapturedCase& c : kCaptured) {
    SCOPED_TRACE(c.name);
    const Bytes bytes = Seed(c.name);
    ASSERT_FALSE(bytes.empty());
    BSnmpV3Message m;
    ASSERT_EQ(m.Decode(bytes.data(), bytes.size()), SNMP_CODEC_OK);
    EXPECT_EQ(m.msgId, c.msgId);
    EXPECT_EQ(m.maxSize, 65507);
    EXPECT_EQ(m.flags, c.flags);
    EXPECT_EQ(m.securityModel, 3);
    EXPECT_EQ(std::string(m.userName.AsStringView()), c.user);
    EXPECT_EQ(test::ToHex(m.engineId.Data(), m.engineId.Length()), test::ToHex(FromHex(c.engineId)));
    EXPECT_EQ(m.authParameters.Length(), c.authLength);
    EXPECT_EQ(m.privParameters.Length(), c.privLength);
    if (c.authLength > 0) {
      EXPECT_EQ(test::ToHex(bytes.data() + m.AuthOffset(), c.authLength),
                test::ToHex(m.authParameters.Data(), c.authLength));
    }
    Bytes scoped(m.ScopedData(), m.ScopedData() + m.ScopedLength());
    if (c.pduType >= 0) {
      ASSERT_EQ(m.DecodeScopedPdu(scoped.data(), scoped.size()), SNMP_CODEC_OK);
      EXPECT_EQ(m.pdu.pduType, c.pduType);
      EXPECT_EQ(m.pdu.requestId, c.requestId);
      EXPECT_EQ(m.pdu.varBinds.Count(), c.varBinds);
      EXPECT_EQ(m.contextEngineId.Length(), m.engineId.Length());
      // The scoped PDU encodes again to the same octets.
      Bytes again(scoped.size());
      size_t length = 0;
      ASSERT_EQ(m.ScopedPduSize(), scoped.size());
      ASSERT_EQ(m.EncodeScopedPdu(again.data(), again.size(), length), SNMP_CODEC_OK);
      EXPECT_EQ(test::ToHex(again), test::ToHex(scoped));
    }
    Bytes out(bytes.size());
    size_t length = 0;
    const size_t authOffset = m.AuthOffset();
    ASSERT_EQ(m.Encode(scoped.data(), scoped.size(), out.data(), out.size(), length), SNMP_CODEC_OK);
    EXPECT_EQ(length, bytes.size());
    EXPECT_EQ(m.SizeWithScopedLength(scoped.size()), bytes.size());
    EXPECT_EQ(test::ToHex(out), test::ToHex(bytes));
    EXPECT_EQ(m.AuthOffset(), authOffset);
    EXPECT_EQ(m.Encode(scoped.data(), scoped.size(), out.data(), out.size() - 1, length), SNMP_CODEC_TOO_BIG);
    // Every prefix fails without reading past its end (the sanitizer builds tell); the fuzz target takes it whole.
    for (size_t n = 0; n < bytes.size(); ++n) {
      const Bytes cut(bytes.begin(), bytes.begin() + static_cast<long>(n));
      EXPECT_NE(BSnmpV3Message().Decode(cut.data(), cut.size()), SNMP_CODEC_OK) << "cut at " << n;
    }
    EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
  }
}

std::string WithoutBlanks(std::string hex) {
  std::erase(hex, ' ');
  return hex;
}

const std::string kDiscovery = WithoutBlanks(test::ToHex(Seed("valid-01-discovery")));

// The discovery request with one part replaced.
std::string Replaced(const std::string& from, const std::string& to) {
  std::string hex = kDiscovery;
  const size_t at = hex.find(WithoutBlanks(from));
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? hex : hex.replace(at, WithoutBlanks(from).size(), WithoutBlanks(to));
}

TEST(BSnmpV3MessageTest, MalformedMessagesGetTheStatusOfTheirFault) {
  struct Case {
    const char* name;
    std::string hex;
    ESnmpCodecStatus status;
    bool scopedPduOnly = false;  // decoded alone with DecodeScopedPdu
  };
  const std::string clearPdu = "A0 0E 02 04 5D 5A 24 50 02 01 00 02 01 00 30 00";
  const Case cases[] = {
      {"empty", "", SNMP_CODEC_TRUNCATED},
      {"version 2", Replaced("02 01 03 30 11", "02 01 02 30 11"), SNMP_CODEC_BAD_VERSION},
      {"global data not a SEQUENCE", Replaced("02 01 03 30 11", "02 01 03 31 11"), SNMP_CODEC_WRONG_TAG},
      {"negative msgID", Replaced("02 04 73 D9", "02 04 F3 D9"), SNMP_CODEC_BAD_HEADER_VALUE},
      {"msgMaxSize 483", Replaced("02 03 00 FF E3", "02 03 00 01 E3"), SNMP_CODEC_BAD_HEADER_VALUE},
      {"flags of two octets",
       "30 3F 02 01 03 30 12 02 04 73 D9 50 59 02 03 00 FF E3 04 02 04 00 02 01 03"
       " 04 10 30 0E 04 00 02 01 00 02 01 00 04 00 04 00 04 00 30 14 04 00 04 00 A0 0E"
       " 02 04 5D 5A 24 50 02 01 00 02 01 00 30 00",
       SNMP_CODEC_BAD_FLAGS},
      {"privacy without authentication", Replaced("04 01 04 02", "04 01 06 02"), SNMP_CODEC_BAD_FLAGS},
      {"security model 2", Replaced("02 01 03 04 10", "02 01 02 04 10"), SNMP_CODEC_BAD_SECURITY_MODEL},
      {"security model 0", Replaced("02 01 03 04 10", "02 01 00 04 10"), SNMP_CODEC_BAD_HEADER_VALUE},
      {"security parameters not wrapped", Replaced("04 10 30 0E", "30 10 30 0E"), SNMP_CODEC_WRONG_TAG},
      {"negative boots",
       Replaced("04 00 02 01 00 02 01 00 04 00 04 00 04 00 30", "04 00 02 01 80 02 01 00 04 00 04 00 04 00 30"),
       SNMP_CODEC_BAD_HEADER_VALUE},
      {"user name an INTEGER", Replaced("02 01 00 04 00 04 00 04 00 30", "02 01 00 02 00 04 00 04 00 30"),
       SNMP_CODEC_WRONG_TAG},
      {"clear scoped PDU as OCTET STRING", Replaced("30 14 04 00 04 00 A0", "04 14 04 00 04 00 A0"),
       SNMP_CODEC_WRONG_TAG},
      {"encrypted PDU as SEQUENCE", Replaced("04 01 04 02", "04 01 07 02"), SNMP_CODEC_WRONG_TAG},
      {"octet after the message", kDiscovery + "00", SNMP_CODEC_TRAILING_DATA},
      {"message cut", kDiscovery.substr(0, kDiscovery.size() - 2), SNMP_CODEC_TRUNCATED},
      // The scoped PDU alone.
      {"not a SEQUENCE", "31 14 04 00 04 00 " + clearPdu, SNMP_CODEC_WRONG_TAG, true},
      {"context name missing", "30 12 04 00 " + clearPdu, SNMP_CODEC_WRONG_TAG, true},
      {"v1 trap PDU", "30 14 04 00 04 00 A4 0E 02 04 5D 5A 24 50 02 01 00 02 01 00 30 00", SNMP_CODEC_BAD_PDU_TYPE,
       true},
      {"octet after the PDU", "30 15 04 00 04 00 " + clearPdu + " 00", SNMP_CODEC_TRAILING_DATA, true},
      {"octet after the scoped PDU", "30 14 04 00 04 00 " + clearPdu + " 00", SNMP_CODEC_TRAILING_DATA, true},
      {"context engine ID of 33 octets", "30 35 04 21 " + test::ToHex(Bytes(33, 0)) + " 04 00 " + clearPdu,
       SNMP_CODEC_BAD_HEADER_VALUE, true},
  };
  for (const Case& c : cases) {
    const Bytes bytes = FromHex(c.hex);
    BSnmpV3Message m;
    EXPECT_EQ(c.scopedPduOnly ? m.DecodeScopedPdu(bytes.data(), bytes.size()) : m.Decode(bytes.data(), bytes.size()),
              c.status)
        << c.name;
  }
}

}  // namespace
}  // namespace QVT
