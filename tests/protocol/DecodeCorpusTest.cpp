// The decoder's fuzz seed corpus (fuzz/corpus/decode/): one valid frame of
// every PDU type, produced by the samples below. The committed files must be
// exactly their encodings, and every file of the corpus (crash inputs found
// later included) is replayed through the fuzz target's entry point, which
// aborts on any broken round trip.
//
// To write the seeds again after a deliberate change of the encoding:
//   QV_WRITE_DECODE_CORPUS=1 ctest -R DecodeCorpus
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "BSAFrame.h"
#include "BSAOIDs.h"
#include "BTrapOIDs.h"
#include "ProtocolTestUtil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace QVT::test {
namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = QV_DECODE_CORPUS_DIR;

struct Sample {
  std::string name;
  BSAPdu pdu;
};

// A varbind list holding every value syntax.
BVarBindList EverySyntax() {
  BVarBindList list;
  const BObjectSyntax values[] = {
      Int(-5),
      Octets("text"),
      BObjectSyntax(),
      Oid("1.3.6.1.4.1.32473"),
      Ip(192, 0, 2, 1),
      Unsigned(ASN_COUNTER32, 4000000000u),
      Unsigned(ASN_GAUGE32, 7),
      Unsigned(ASN_TIMETICKS, 360000),
      Octets(std::string("\x01\x02", 2), ASN_OPAQUE),
      Ctr64(0x123456789ull),
      Exception(SNMP_NO_SUCH_OBJECT),
      Exception(SNMP_NO_SUCH_INSTANCE),
      Exception(SNMP_END_OF_MIB_VIEW),
  };
  uint32_t column = 1;
  for (const BObjectSyntax& value : values) {
    BObjectIdentifier name("1.3.6.1.4.1.32473.1.2.1");
    name.Append(column++);
    name.Append(16384);
    list.Append(name, value);
  }
  return list;
}

std::vector<Sample> Samples() {
  BSAOIDs* oids = BSAOIDs::Instance();
  std::vector<Sample> samples;
  samples.reserve(32);  // the references handed out below stay valid
  auto add = [&samples](const char* name, ESAPduType type, uint32_t session, uint32_t request) -> BSAPdu& {
    samples.push_back({name, BSAPdu(type, session, request)});
    return samples.back().pdu;
  };

  BSAPdu& open = add("01-openSession", SA_PDU_OPEN_SESSION, 0, 1);
  open.varBindList.Append(oids->oidName, Octets("example sub-agent"));
  open.varBindList.Append(oids->oidMaxProcTime, Int(3));
  add("02-closeSession", SA_PDU_CLOSE_SESSION, 4, 2);
  BSAPdu& reg = add("03-registerSubtree", SA_PDU_REGISTER, 4, 3);
  reg.varBindList.Append(oids->oidHandlerType, Int(3));
  reg.varBindList.Append(oids->oidName, Octets("scalars"));
  reg.varBindList.Append(oids->oidSubtree, Oid("1.3.6.1.4.1.32473.1.1"));
  BSAPdu& unreg = add("04-unregisterSubtree", SA_PDU_UNREGISTER, 4, 4);
  unreg.varBindList.Append(oids->oidHandlerType, Int(6));
  unreg.varBindList.Append(oids->oidName, Octets("range"));
  unreg.varBindList.Append(oids->oidSubtree, Oid("1.3.6.1.2.1.2.2.1.1"));
  unreg.varBindList.Append(oids->oidSubId, Int(10));
  unreg.varBindList.Append(oids->oidSubId, Int(24));
  BSAPdu& get = add("05-GET", SA_PDU_GET, 4, 0x3FFFFFFF);
  get.transactionId = 1001;
  get.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.1.1.1.0"));
  get.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.1.1.2.0"));
  BSAPdu& next = add("06-GET-NEXT", SA_PDU_GET_NEXT, 4, 6);
  next.transactionId = 1002;
  next.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.1.2"));
  BSAPdu& bulk = add("07-GET-BULK", SA_PDU_GET_BULK, 4, 7);
  bulk.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.1.3"));
  const ESAPduType phases[] = {SA_PDU_SET_TEST, SA_PDU_SET_COMMIT, SA_PDU_SET_UNDO, SA_PDU_SET_CLEANUP};
  const char* const phaseNames[] = {"08-SET-test", "09-SET-commit", "10-SET-undo", "11-SET-cleanup"};
  for (int i = 0; i < 4; ++i) {
    BSAPdu& set = add(phaseNames[i], phases[i], 4, 8 + static_cast<uint32_t>(i));
    set.transactionId = 0x80000000u;
    set.varBindList = EverySyntax();
  }
  BSAPdu& notify = add("12-notify", SA_PDU_NOTIFY, 4, 12);
  notify.varBindList.Append(BTrapOIDs::Instance()->SysUpTime(), Unsigned(ASN_TIMETICKS, 12345));
  notify.varBindList.Append(BTrapOIDs::Instance()->SnmpTrapOid(), Oid("1.3.6.1.4.1.32473.1.0.1"));
  notify.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.1.3.1.2.7"), Octets("row seven"));
  add("13-ping", SA_PDU_PING, 4, 13);
  BSAPdu& alloc = add("14-indexAllocate", SA_PDU_INDEX_ALLOCATE, 4, 14);
  alloc.SetFlagsIndex(SA_IXALLOC_ANY_INDEX);
  alloc.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.1.3.1.1"), Int(0));
  BSAPdu& dealloc = add("15-indexDeallocate", SA_PDU_INDEX_DEALLOCATE, 4, 15);
  dealloc.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.1.3.1.1"), Int(7));
  BSAPdu& addCaps = add("16-addAgentCapabilities", SA_PDU_ADD_AGENT_CAPS, 4, 16);
  addCaps.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.2"), Octets("capabilities"));
  BSAPdu& removeCaps = add("17-removeAgentCapabilities", SA_PDU_REMOVE_AGENT_CAPS, 4, 17);
  removeCaps.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.2"));
  BSAPdu& response = add("18-RESPONSE", SA_PDU_RESPONSE, 4, 5);
  response.sysUpTime = 0xFFFFFFF0u;
  response.varBindList = EverySyntax();
  BSAPdu& refused = add("18-RESPONSE-error", SA_PDU_RESPONSE, 4, 9);
  refused.errorStatus = SA_WIRE_PROCESSING_ERROR;
  refused.errorIndex = 2;
  BSAPdu& large = add("18-RESPONSE-large", SA_PDU_RESPONSE, 4, 10);
  large.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.1.1.1.0"), Octets(std::string(1900, 'q')));
  large.varBindList.Append(BObjectIdentifier("1.3.6.1.4.1.32473.1.1.2.0"), Unsigned(ASN_TIMETICKS, 1));
  return samples;
}

std::vector<unsigned char> ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(DecodeCorpusTest, SeedsAreTheEncodingsOfTheSamples) {
  const bool write = std::getenv("QV_WRITE_DECODE_CORPUS") != nullptr;
  for (Sample& sample : Samples()) {
    SCOPED_TRACE(sample.name);
    BSABuffer buffer;
    ASSERT_EQ(Encode(buffer, sample.pdu), 0);
    const fs::path path = kCorpus / ("valid-" + sample.name);
    if (write) {
      std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(buffer.Data()), buffer.Length());
    }
    EXPECT_EQ(ToHex(ReadFile(path)), HexOf(buffer)) << "write the seeds again (see the top of this file)";
  }
}

TEST(DecodeCorpusTest, EveryCorpusFileReplaysThroughTheFuzzTarget) {
  int valid = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(kCorpus)) {
    SCOPED_TRACE(entry.path().filename().string());
    const std::vector<unsigned char> octets = ReadFile(entry.path());
    EXPECT_EQ(LLVMFuzzerTestOneInput(octets.data(), octets.size()), 0);
    if (entry.path().filename().string().starts_with("valid-")) {
      ++valid;
      BSABuffer buffer = BufferOf(octets);
      BSAPdu pdu;
      EXPECT_EQ(Decode(buffer, pdu), 0);
    }
  }
  EXPECT_EQ(valid, static_cast<int>(Samples().size()));
}

}  // namespace
}  // namespace QVT::test
