// The SNMP message fuzzer's seed corpus (fuzz/corpus/snmpmessage/): valid
// SNMPv1 and SNMPv2c requests (and the two trap forms) produced by the
// samples below. The committed seeds must be exactly their encodings, and
// every file of the corpus (crash inputs found later included) is replayed
// through the fuzz target's entry point, which aborts on any broken round
// trip or malformed answer.
//
// To write the seeds again after a deliberate change of the samples:
//   QV_WRITE_SNMP_CORPUS=1 ctest -R SnmpMessageCorpus
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BSnmpMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace QVT {
namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = QV_SNMP_CORPUS_DIR;

struct Sample {
  std::string name;
  BSnmpMessage message;
};

BSnmpMessage Request(int version, const char* community, unsigned char type, int32_t id,
                     std::initializer_list<const char*> oids) {
  BSnmpMessage m;
  m.version = version;
  m.community.Assign(community);
  m.pduType = type;
  m.requestId = id;
  for (const char* oid : oids) m.varBinds.Append(BObjectIdentifier(oid));
  return m;
}

std::vector<Sample> Samples() {
  const char* descr = "1.3.6.1.4.1.32473.1.1.1.0";
  const char* label = "1.3.6.1.4.1.32473.1.1.3.0";
  const char* level = "1.3.6.1.4.1.32473.1.1.6.0";
  const char* column = "1.3.6.1.4.1.32473.1.2.1.2";
  std::vector<Sample> samples;
  samples.push_back({"v1-get", Request(SNMP_VERSION_1, "public", SNMP_PDU_GET, 1, {descr, "1.3.6.1.2.1.11.1.0"})});
  samples.push_back(
      {"v1-getnext", Request(SNMP_VERSION_1, "public", SNMP_PDU_GET_NEXT, 2, {"1.3.6.1.4.1.32473.1.1.4.0"})});
  samples.push_back({"v1-set", Request(SNMP_VERSION_1, "private", SNMP_PDU_SET, 3, {label})});
  samples.back().message.varBinds[0].value.SetOctets("v1");
  samples.push_back(
      {"v2c-get", Request(SNMP_VERSION_2C, "public", SNMP_PDU_GET, 4, {descr, label, "1.3.6.1.4.1.32473.1.1.5.0"})});
  samples.push_back(
      {"v2c-getnext", Request(SNMP_VERSION_2C, "public", SNMP_PDU_GET_NEXT, 5, {"1.3.6.1.4.1.32473", column})});
  samples.push_back(
      {"v2c-getbulk", Request(SNMP_VERSION_2C, "public", SNMP_PDU_GET_BULK, 6, {descr, column, "1.3.6.1.2.1.11"})});
  samples.back().message.errorStatus = 1;  // non-repeaters
  samples.back().message.errorIndex = 10;  // max-repetitions
  samples.push_back(
      {"v2c-set", Request(SNMP_VERSION_2C, "private", SNMP_PDU_SET, 7, {label, level, "1.3.6.1.2.1.11.30.0"})});
  samples.back().message.varBinds[0].value.SetOctets("label");
  samples.back().message.varBinds[1].value.SetInt(5);
  samples.back().message.varBinds[2].value.SetInt(2);
  // Every value syntax, in a SET the MIB refuses.
  Sample every{"v2c-set-every-syntax", Request(SNMP_VERSION_2C, "private", SNMP_PDU_SET, 8, {})};
  BObjectSyntax values[13];
  values[0].SetInt(-129);
  values[1].SetOctets("text");
  values[3].SetObjectId(BObjectIdentifier("1.3.6.1.4.1.32473"));
  values[4].SetIpAddress(BIpAddress(192, 0, 2, 1));
  values[5].SetCounter32(4000000000u);
  values[6].SetGauge32(7);
  values[7].SetTimeTicks(360000);
  values[8].SetOctets(std::string("\x01\x02", 2), ASN_OPAQUE);
  values[9].SetCounter64(0x123456789ull);
  values[10].SetV2Exception(SNMP_NO_SUCH_OBJECT);
  values[11].SetV2Exception(SNMP_NO_SUCH_INSTANCE);
  values[12].SetV2Exception(SNMP_END_OF_MIB_VIEW);
  for (const BObjectSyntax& value : values) every.message.varBinds.Append(BObjectIdentifier(level), value);
  samples.push_back(every);
  BSnmpMessage trap1 = Request(SNMP_VERSION_1, "public", SNMP_PDU_TRAP_V1, 0, {descr});
  trap1.enterprise = BObjectIdentifier("1.3.6.1.4.1.32473");
  trap1.agentAddress = BIpAddress(127, 0, 0, 1);
  trap1.genericTrap = 6;
  trap1.specificTrap = 1;
  trap1.timeStamp = 100;
  samples.push_back({"v1-trap", trap1});
  BSnmpMessage trap2 =
      Request(SNMP_VERSION_2C, "public", SNMP_PDU_TRAP_V2, 9, {"1.3.6.1.2.1.1.3.0", "1.3.6.1.6.3.1.1.4.1.0"});
  trap2.varBinds[0].value.SetTimeTicks(100);
  trap2.varBinds[1].value.SetObjectId(BObjectIdentifier("1.3.6.1.4.1.32473.1.0.1"));
  samples.push_back({"v2c-trap", trap2});
  return samples;
}

std::vector<unsigned char> Encoded(const BSnmpMessage& message) {
  std::vector<unsigned char> out(65536);
  size_t length = 0;
  EXPECT_EQ(message.Encode(out.data(), out.size(), length), SNMP_CODEC_OK);
  out.resize(length);
  return out;
}

std::vector<unsigned char> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(SnmpMessageCorpusTest, SeedsAreTheEncodingsOfTheSamples) {
  const bool write = std::getenv("QV_WRITE_SNMP_CORPUS") != nullptr;
  int index = 0;
  for (const Sample& sample : Samples()) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "valid-%02d-", ++index);
    const fs::path path = kCorpus / (prefix + sample.name);
    const std::vector<unsigned char> bytes = Encoded(sample.message);
    if (write) {
      fs::create_directories(kCorpus);
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    SCOPED_TRACE(path.string());
    ASSERT_TRUE(fs::exists(path));
    EXPECT_EQ(ReadFile(path), bytes);
  }
}

TEST(SnmpMessageCorpusTest, EveryCorpusFileReplaysThroughTheFuzzTarget) {
  int files = 0;
  for (const auto& entry : fs::directory_iterator(kCorpus)) {
    if (!entry.is_regular_file()) continue;
    const std::vector<unsigned char> bytes = ReadFile(entry.path());
    SCOPED_TRACE(entry.path().string());
    EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0);
    ++files;
  }
  EXPECT_GE(files, 10);
}

}  // namespace
}  // namespace QVT
