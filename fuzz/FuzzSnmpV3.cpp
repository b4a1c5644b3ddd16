// libFuzzer target for the SNMPv3 message parser. Any datagram must decode
// or fail with a status, never crash, leak or read outside the input. What
// decodes (header, and the scoped PDU when in clear) must encode again in
// at most as many octets, decode to the same fields, and encode a second
// time to the same octets.
//
// The ordinary test suite replays the seed corpus through this same entry
// point (tests/agent/BSnmpV3MessageTest.cpp).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "BSnmpV3Message.h"

namespace {

using namespace QVT;

[[noreturn]] void Violation(const char* what) {
  std::fprintf(stderr, "FuzzSnmpV3: %s\n", what);
  std::abort();
}

bool SameHeader(const BSnmpV3Message& a, const BSnmpV3Message& b) {
  return a.msgId == b.msgId && a.maxSize == b.maxSize && a.flags == b.flags && a.securityModel == b.securityModel &&
         a.engineId == b.engineId && a.engineBoots == b.engineBoots && a.engineTime == b.engineTime &&
         a.userName == b.userName && a.authParameters == b.authParameters && a.privParameters == b.privParameters;
}

bool SamePdu(const BSnmpMessage& a, const BSnmpMessage& b) {
  if (a.pduType != b.pduType || a.requestId != b.requestId || a.errorStatus != b.errorStatus ||
      a.errorIndex != b.errorIndex || a.varBinds.Count() != b.varBinds.Count()) {
    return false;
  }
  for (int i = 0; i < a.varBinds.Count(); ++i) {
    if (!(a.varBinds[i].name == b.varBinds[i].name) || !(a.varBinds[i].value == b.varBinds[i].value)) return false;
  }
  return true;
}

// The scoped PDU in clear: it encodes again within its size, and that
// encoding decodes to the same fields.
std::vector<unsigned char> CheckScopedPdu(BSnmpV3Message& message) {
  std::vector<unsigned char> scoped(message.ScopedData(), message.ScopedData() + message.ScopedLength());
  if ((message.flags & SNMP_V3_FLAG_PRIV) != 0) return scoped;
  if (message.DecodeScopedPdu(scoped.data(), scoped.size()) != SNMP_CODEC_OK) return scoped;
  std::vector<unsigned char> out(scoped.size());
  size_t length = 0;
  if (message.EncodeScopedPdu(out.data(), out.size(), length) != SNMP_CODEC_OK) {
    Violation("a decoded scoped PDU does not encode within its size");
  }
  if (message.ScopedPduSize() != length) Violation("ScopedPduSize differs from the encoding");
  out.resize(length);
  BSnmpV3Message again;
  if (again.DecodeScopedPdu(out.data(), out.size()) != SNMP_CODEC_OK) Violation("a re-encoded scoped PDU fails");
  if (!(again.contextEngineId == message.contextEngineId) || !(again.contextName == message.contextName) ||
      !SamePdu(again.pdu, message.pdu)) {
    Violation("the re-decoded scoped PDU differs");
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  BSnmpV3Message message;
  if (message.Decode(data, size) != SNMP_CODEC_OK) return 0;
  const std::vector<unsigned char> scoped = CheckScopedPdu(message);
  std::vector<unsigned char> out(size);
  size_t length = 0;
  if (message.Encode(scoped.data(), scoped.size(), out.data(), out.size(), length) != SNMP_CODEC_OK) {
    Violation("a decoded message does not encode within its size");
  }
  if (message.SizeWithScopedLength(scoped.size()) != length) Violation("SizeWithScopedLength differs");
  BSnmpV3Message again;
  if (again.Decode(out.data(), length) != SNMP_CODEC_OK) Violation("a re-encoded message does not decode");
  if (again.AuthOffset() != message.AuthOffset()) Violation("Encode and Decode disagree on AuthOffset");
  if (!SameHeader(message, again)) Violation("the re-decoded header differs");
  const std::vector<unsigned char> scopedAgain(again.ScopedData(), again.ScopedData() + again.ScopedLength());
  if (scopedAgain != scoped) Violation("the re-decoded scoped PDU differs");
  std::vector<unsigned char> twice(length);
  size_t twiceLength = 0;
  if (again.Encode(scopedAgain.data(), scopedAgain.size(), twice.data(), twice.size(), twiceLength) != SNMP_CODEC_OK ||
      twiceLength != length || std::memcmp(twice.data(), out.data(), length) != 0) {
    Violation("the second encoding differs from the first");
  }
  return 0;
}
