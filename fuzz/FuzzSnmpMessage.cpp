// libFuzzer target for the SNMP message parser and the agent's request
// processing. Any datagram must decode or fail with a status, never crash,
// leak or read outside the input. What decodes must encode again in at most
// as many octets (the encoder writes the minimal forms), and the encoding
// must decode to the same message and encode to the same octets. The same
// datagram then goes through an agent's request processor over a small
// MIB: whatever it answers must be a well-formed Response to that request,
// within the maximum message size.
//
// The ordinary test suite replays the seed corpus through this same entry
// point (tests/agent/BSnmpMessageTest.cpp).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BMibHandler.h"
#include "BMibTableImpl.h"
#include "BSnmpAgent.h"
#include "BSnmpMessage.h"

namespace {

using namespace QVT;

[[noreturn]] void Violation(const char* what) {
  std::fprintf(stderr, "FuzzSnmpMessage: %s\n", what);
  std::abort();
}

bool Same(const BSnmpMessage& a, const BSnmpMessage& b) {
  if (a.version != b.version || !(a.community == b.community) || a.pduType != b.pduType ||
      a.varBinds.Count() != b.varBinds.Count()) {
    return false;
  }
  if (a.pduType == SNMP_PDU_TRAP_V1) {
    if (!(a.enterprise == b.enterprise) || !(a.agentAddress == b.agentAddress) || a.genericTrap != b.genericTrap ||
        a.specificTrap != b.specificTrap || a.timeStamp != b.timeStamp) {
      return false;
    }
  } else if (a.requestId != b.requestId || a.errorStatus != b.errorStatus || a.errorIndex != b.errorIndex) {
    return false;
  }
  for (int i = 0; i < a.varBinds.Count(); ++i) {
    if (!(a.varBinds[i].name == b.varBinds[i].name) || !(a.varBinds[i].value == b.varBinds[i].value)) return false;
  }
  return true;
}

// A small MIB under 1.3.6.1.4.1.32473.1 (scalars .1, a table .2.1 of three
// rows) and the snmp group, served by an agent that is never started: only
// its processor is used.
struct Fixture {
  Fixture() {
    scalars.AddEntry(1, MIB_ACCESS_READ_ONLY, ASN_OCTET_STRING).Getter([](BObjectSyntax& v) { v.SetOctets("fuzz"); });
    scalars.AddEntry(3, MIB_ACCESS_READ_WRITE, ASN_OCTET_STRING)
        .Size(0, 8)
        .Getter([this](BObjectSyntax& v) { v.SetOctets(label); })
        .Setter([this](const BObjectSyntax& v) {
          label = std::string(v.GetOctets().AsStringView());
          return 0;
        });
    scalars.AddEntry(5, MIB_ACCESS_READ_ONLY, ASN_COUNTER64).Getter([](BObjectSyntax& v) { v.SetCounter64(1u); });
    scalars.AddEntry(6, MIB_ACCESS_READ_WRITE, ASN_INTEGER)
        .Range(1, 10)
        .Getter([this](BObjectSyntax& v) { v.SetInt(level); })
        .Setter([this](const BObjectSyntax& v) {
          level = v.GetInt();
          return 0;
        });
    table.AddColumn(1, MIB_ACCESS_NONE, ASN_INTEGER);
    table.AddIndex(1, MIB_INDEX_INTEGER);
    table.AddColumn(2, MIB_ACCESS_READ_ONLY, ASN_GAUGE32);
    for (uint32_t row = 1; row <= 3; ++row) {
      table.AddRow(BObjectIdentifier{row});
      BObjectSyntax gauge;
      gauge.SetGauge32(row);
      table.StoreCell(BObjectIdentifier{row}, 2, gauge);
    }
    mib.RegisterSubtreeHandler(&scalars);
    mib.RegisterSubtreeHandler(&table);
    mib.RegisterSubtreeHandler(&agent.SnmpGroupHandler());
    remote.SetIPv4(0x7F000001);
    remote.SetPort(40000);
    local.SetIPv4(0x7F000001);
    local.SetPort(161);
  }
  ~Fixture() {
    mib.UnregisterSubtreeHandler(&agent.SnmpGroupHandler());
    mib.UnregisterSubtreeHandler(&table);
    mib.UnregisterSubtreeHandler(&scalars);
  }

  BMibHandler mib;
  BMibImpl scalars{BString("scalars"), BObjectIdentifier("1.3.6.1.4.1.32473.1.1")};
  BMibTableImpl table{BString("table"), BObjectIdentifier("1.3.6.1.4.1.32473.1.2.1")};
  std::string label;
  int level = 1;
  BSnmpAgent agent{mib, BSnmpAgentConfig{}};
  BSnmpAgent::Processor processor{agent};
  BAddress remote;
  BAddress local;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture fixture;

  BSnmpMessage message;
  if (message.Decode(data, size) == SNMP_CODEC_OK) {
    std::vector<unsigned char> out(size);
    size_t length = 0;
    if (message.Encode(out.data(), out.size(), length) != SNMP_CODEC_OK) Violation("a decoded message does not encode");
    if (message.EncodedSize() != length) Violation("EncodedSize differs from the encoding");
    BSnmpMessage again;
    if (again.Decode(out.data(), length) != SNMP_CODEC_OK) Violation("a re-encoded message does not decode");
    if (!Same(message, again)) Violation("the re-decoded message differs from the decoded one");
    std::vector<unsigned char> twice(length);
    size_t twiceLength = 0;
    if (again.Encode(twice.data(), twice.size(), twiceLength) != SNMP_CODEC_OK || twiceLength != length ||
        std::memcmp(twice.data(), out.data(), length) != 0) {
      Violation("the second encoding differs from the first");
    }
  }

  const size_t answer = fixture.processor.Process(data, size, fixture.remote, fixture.local);
  if (answer > 0) {
    if (answer > fixture.agent.Config().maxMessageSize) Violation("an answer exceeds the maximum message size");
    BSnmpMessage response;
    if (response.Decode(fixture.processor.Answer(), answer) != SNMP_CODEC_OK) Violation("an answer does not decode");
    if (response.pduType != SNMP_PDU_RESPONSE || response.requestId != message.requestId) {
      Violation("an answer is no Response to the request");
    }
  }
  return 0;
}
