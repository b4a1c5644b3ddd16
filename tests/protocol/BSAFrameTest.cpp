// The PDU frame both ways, cut at every length, and its failures; the record's
// Init, status and type texts, parameter OIDs; the decoder corpus replayed.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <tuple>

#include "BSAFrame.h"
#include "BSAIdSequence.h"
#include "BSAOIDs.h"
#include "ProtocolTestUtil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace QVT::test {
namespace {

const std::string kMagic = "04 04 51 56 54 31 ";
const std::string kPing = "0D 00 82 00 0D 02 01 01 02 01 00 02 01 02 30 82 00 00";  // session 1, request 2

// A RESPONSE: magic "QVT1", type 18, flags 0, 85 octets; session 7, transaction 0, request 0x80000001 (sent
// negative), sysUpTime 300, error status and index 0; a list of 59 octets: 1.3.6.1.2.1.1.5.0 "abc",
// ifInOctets.1 Counter32 2^32-1, enterprises.32473.1 endOfMibView.
const std::string kAnnotatedResponse =
    "04 04 51 56 54 31 12 00 82 00 55 02 01 07 02 01 00 02 04 80 00 00 01 02 02 01 2C 02 01 00 02 01 00 30 82 00 3B "
    "30 82 00 0F 06 08 2B 06 01 02 01 01 05 00 04 03 61 62 63 "
    "30 82 00 13 06 0A 2B 06 01 02 01 02 02 01 0A 01 41 05 00 FF FF FF FF "
    "30 82 00 0D 06 09 2B 06 01 04 01 81 FD 59 01 82 00";

BSAPdu Pdu(ESAPduType type, uint32_t session, uint32_t request, uint32_t transaction = 0, uint32_t upTime = 0,
           int status = 0, int index = 0) {
  BSAPdu pdu(type, session, request);
  std::tie(pdu.transactionId, pdu.sysUpTime, pdu.errorStatus, pdu.errorIndex) =
      std::tie(transaction, upTime, status, index);
  return pdu;
}

// Every field of a record, for comparisons with a readable difference.
std::string Text(const BSAPdu& p) {
  char head[160];
  std::snprintf(head, sizeof head, "type %u flags %u session %u transaction %u request %u up %u status %d index %d",
                p.type, p.flags, p.sessionId, p.transactionId, p.requestId, p.sysUpTime, p.errorStatus, p.errorIndex);
  std::string text = head;
  for (const BVarBind& vb : p.varBindList) text += " | " + vb.name.ToString().str() + " " + vb.value.ValToStr().str();
  return text;
}

TEST(BSAFrameTest, FramesEncodeToTheirOctetsAndDecodeBack) {
  BSAPdu annotated = Pdu(SA_PDU_RESPONSE, 7, 0x80000001u, 0, 300);
  annotated.varBindList.Append(BObjectIdentifier("1.3.6.1.2.1.1.5.0"), Octets("abc"));
  annotated.varBindList.Append(BObjectIdentifier("1.3.6.1.2.1.2.2.1.10.1"), Unsigned(ASN_COUNTER32, 4294967295u));
  annotated.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.1"), Exception(SNMP_END_OF_MIB_VIEW));
  BSAPdu allocate = Pdu(SA_PDU_INDEX_ALLOCATE, 3, 4);
  allocate.SetFlagsIndex(SA_IXALLOC_ANY_INDEX);
  const std::pair<BSAPdu, std::string> cases[] = {
      {Pdu(SA_PDU_PING, 1, 2), kMagic + kPing},
      {Pdu(SA_PDU_RESPONSE, 1, 2, 0, 100),
       kMagic + "12 00 82 00 16 02 01 01 02 01 00 02 01 02 02 01 64 02 01 00 02 01 00 30 82 00 00"},
      // The unsigned header numbers travel as INTEGERs of their 32 bits.
      {Pdu(SA_PDU_GET, 0xFFFFFFFFu, 4294967295u, 0x80000000u),
       kMagic + "05 00 82 00 10 02 01 FF 02 04 80 00 00 00 02 01 FF 30 82 00 00"},
      {allocate, kMagic + "0E 04 82 00 0D 02 01 03 02 01 00 02 01 04 30 82 00 00"},
      {Pdu(SA_PDU_RESPONSE, 3, 4, 0, 0xFFFFFFFFu, SA_ERR_BAD_ENCODING, -1),
       kMagic + "12 00 82 00 19 02 01 03 02 01 00 02 01 04 02 01 FF 02 04 80 0C 00 0B 02 01 FF 30 82 00 00"},
      {annotated, kAnnotatedResponse},
  };
  for (const auto& [record, hex] : cases) {
    SCOPED_TRACE(Text(record));
    BSABuffer buffer;
    BSAPdu pdu = record;
    ASSERT_EQ(Encode(buffer, pdu), 0);
    EXPECT_EQ(HexOf(buffer), Canonical(hex));  // the rest of the capacity reads 0xAB
    for (unsigned i = buffer.Length(); i < buffer.Capacity(); ++i) ASSERT_EQ(buffer[i], 0xAB) << i;

    BSABuffer in = BufferOf(hex);
    BSAPdu decoded;
    ASSERT_EQ(Decode(in, decoded), 0);
    EXPECT_EQ(Text(decoded), Text(record));
  }
}

TEST(BSAFrameTest, FrameCutAtEveryLengthFailsWithTheStatusOfItsField) {
  const std::vector<unsigned char> frame = FromHex(kAnnotatedResponse);
  // Fields in order: size, status of a cut in the content (in tag or length: bad encoding).
  const struct {
    unsigned size;
    int contentCut;
  } fields[] = {{6, SA_ERR_BAD_ENCODING}, {2, SA_ERR_BAD_ENCODING}, {3, SA_ERR_BAD_ENCODING}, {3, SA_ERR_BAD_VALUE},
                {3, SA_ERR_BAD_VALUE},    {6, SA_ERR_BAD_VALUE},    {4, SA_ERR_BAD_VALUE},    {3, SA_ERR_BAD_VALUE},
                {3, SA_ERR_BAD_VALUE},    {63, SA_ERR_BAD_ENCODING}};
  unsigned start = 0;
  for (const auto& f : fields) {
    for (unsigned cut = start; cut < start + f.size; ++cut) {
      BSABuffer buffer = BufferOf(std::vector<unsigned char>(frame.begin(), frame.begin() + cut));
      BSAPdu pdu;
      EXPECT_EQ(Decode(buffer, pdu), cut - start < 2 ? SA_ERR_BAD_ENCODING : f.contentCut) << "cut at " << cut;
    }
    start += f.size;
  }
  ASSERT_EQ(start, frame.size());
}

TEST(BSAFrameTest, FrameLevelFailures) {
  const std::pair<std::string, int> cases[] = {
      {"04 04 51 56 54 32 " + kPing, SA_ERR_BAD_MAGIC},                                         // magic QVT2
      {"04 05 51 56 54 31 00 " + kPing, SA_ERR_BAD_MAGIC},                                      // magic of 5 octets
      {"02 04 51 56 54 31 " + kPing, SA_ERR_WRONG_TAG},                                         // magic not a string
      {kMagic + "0D 00 82 00 0C 02 01 01 02 01 00 02 01 02 30 82 00 00", SA_ERR_BAD_ENCODING},  // PDU length - 1
      {kMagic + "0D 00 82 00 0E 02 01 01 02 01 00 02 01 02 30 82 00 00", SA_ERR_BAD_ENCODING},  // PDU length + 1
      {kMagic + "05 00 82 00 0D 02 01 01 02 01 00 02 01 02 30 82 00 00 EE EE", 0},              // octets after a GET
      {kMagic + "0D 00 0D 02 01 01 02 01 00 02 01 02 30 82 00 00", 0},                          // short length form
      {kMagic + "63 00 82 00 0D 02 01 01 02 01 00 02 01 02 30 82 00 00", 0},                    // type out of range
  };
  for (const auto& [hex, status] : cases) {
    BSABuffer buffer = BufferOf(hex);
    BSAPdu pdu(SA_PDU_GET_BULK, 77, 88);
    EXPECT_EQ(Decode(buffer, pdu), status) << hex;
    EXPECT_TRUE(status != SA_ERR_BAD_MAGIC || Text(pdu) == Text(BSAPdu(SA_PDU_GET_BULK, 77, 88)));
  }
}

TEST(BSAPduTest, InitResetsTheRecordAndPutsTheThirdNumberInTransactionId) {
  BSAPdu pdu = Pdu(SA_PDU_RESPONSE, 7, 42, 0, 1234, 2, 2);
  pdu.varBindList.Append(BObjectIdentifier("1.3.6.1"));
  pdu.Init(SA_PDU_GET, 3, 9);
  EXPECT_EQ(Text(pdu), "type 5 flags 0 session 3 transaction 9 request 0 up 0 status 0 index 0");
}

TEST(BSAPduTest, ErrorAndPduTypeTexts) {  // the ends of each table and the value after it
  std::string texts;
  for (const int code : {0, 256, 257, 268, 269, int{SA_ERR_BAD_ENCODING}}) texts += QVSAErr2Str(code);
  for (const int type : {0, 1, 13, 17, 18, 19}) texts += std::string(QVSAPduType2Str(type)) + ",";
  EXPECT_EQ(
      texts,
      " (0) noError (100) openFailed (101) notOpen (10c) processingError (10d) internalError (800c000b) "
      "internalErrorunknown (0),openSession (1),ping (13),removeAgentCapabilities (17),RESPONSE (18),unknown (19),");
}

// Every status the library returns has a name of its own; the wire codes keep theirs.
TEST(BSAPduTest, StatusTextsNameLibraryCodesSocketErrorsAndSnmpStatuses) {
  const struct {
    int code;
    const char* text;
  } cases[] = {
      {SA_ERR_TIMEOUT, " (800c0001) timeout"},         {SA_ERR_BAD_ENCODING, " (800c000b) badEncoding"},
      {SA_ERR_SESSION_BUSY, " (800c0015) sessionBusy"}, {SA_ERR_ALREADY_BOUND, " (800b000b) alreadyBound"},
      {SA_ERR_BAD_MAGIC, " (ffffffff) badMagic"},       {SA_ERR_SOCKET_BASE + 111, " (800b00d3) socket error 111: Connection refused"},
      {2, " (2) noSuchName"},                           {18, " (12) inconsistentName"},
      {0, " (0) noError"},                              {267, " (10b) requestDenied"},
      {19, " (13) internalError"},
  };
  for (const auto& c : cases) EXPECT_EQ(std::string(QVSAStatus2Str(c.code)), c.text) << c.code;
}

// SipHash-2-4 gives the published values; under one key the sequence repeats nothing and stays in
// 1 .. 0x3FFFFFFF, under another key it is another sequence.
TEST(BSAIdSequenceTest, KeyedPermutationOfACounter) {
  unsigned char message[15];
  for (unsigned char i = 0; i < sizeof message; ++i) message[i] = i;
  const uint64_t k0 = 0x0706050403020100ull, k1 = 0x0F0E0D0C0B0A0908ull;
  EXPECT_EQ(BSAIdSequence::SipHash24(k0, k1, message, 0), 0x726FDB47DD0E0E31ull);
  EXPECT_EQ(BSAIdSequence::SipHash24(k0, k1, message, 8), 0x93F5F5799A932462ull);
  EXPECT_EQ(BSAIdSequence::SipHash24(k0, k1, message, 15), 0xA129CA6149BE45E5ull);
  BSAIdSequence one(1, 2), same(1, 2), other(1, 3);
  std::set<uint32_t> seen;
  int differ = 0;
  for (int i = 0; i < 200000; ++i) {
    const uint32_t id = one.Next();
    EXPECT_EQ(same.Next(), id);
    differ += other.Next() != id;
    ASSERT_TRUE(id >= 1 && id <= 0x3FFFFFFFu) << id;
    ASSERT_TRUE(seen.insert(id).second) << "repeated at " << i;
  }
  EXPECT_GT(differ, 199000);
}

TEST(BSAOIDsTest, TenParameterOidsInConstructionOrderAndAFreshOneAfterDestroy) {
  BSAOIDs* oids = BSAOIDs::Instance();
  std::string dotted;
  for (const BObjectIdentifier* oid :
       {&oids->oidIndexPrefix, &oids->oidSpare1, &oids->oidHandlerType, &oids->oidName, &oids->oidSubtree,
        &oids->oidSubId, &oids->oidSpare6, &oids->oidRowIndex, &oids->oidCount, &oids->oidMaxProcTime}) {
    dotted += oid->ToString().str() + " ";
  }
  EXPECT_EQ(dotted, "2.18 2.18.1 2.18.3 2.18.2 2.18.4 2.18.5 2.18.6 2.18.7 2.18.8 2.18.9 ");
  oids->Destroy();
  EXPECT_EQ(BSAOIDs::s_pInstance.load(), nullptr);
  EXPECT_EQ(BSAOIDs::Instance()->oidMaxProcTime.ToString().str(), "2.18.9");
}

// Every corpus file through the fuzz target (which aborts on a broken round
// trip); every "valid-" seed, one per PDU type, encodes back to its octets.
TEST(DecodeCorpusTest, EveryFileReplaysAndEveryValidSeedRoundTrips) {
  std::set<int> types;
  for (const auto& entry : std::filesystem::directory_iterator(QV_DECODE_CORPUS_DIR)) {
    SCOPED_TRACE(entry.path().filename().string());
    std::ifstream file(entry.path(), std::ios::binary);
    const std::vector<unsigned char> octets{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    EXPECT_EQ(LLVMFuzzerTestOneInput(octets.data(), octets.size()), 0);
    if (!entry.path().filename().string().starts_with("valid-")) continue;
    BSABuffer in = BufferOf(octets), out;
    BSAPdu pdu;
    ASSERT_EQ(Decode(in, pdu), 0);
    ASSERT_EQ(Encode(out, pdu), 0);
    EXPECT_EQ(HexOf(out), HexOf(in));
    types.insert(pdu.type);
  }
  EXPECT_EQ(types.size(), 18u) << "a valid seed of every PDU type";
}

}  // namespace
}  // namespace QVT::test
