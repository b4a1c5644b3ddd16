// Encode and Decode of three frames: a ping, a RESPONSE of ten varbinds of
// mixed syntaxes with 12-arc names, and a RESPONSE close to the 2048-octet
// datagram limit. Besides the time per frame, each benchmark reports the
// heap allocations per frame, counted by replacing the global allocation
// functions of this program (the libraries' allocations go through them
// too). The goal: Encode allocates nothing, Decode only the storage of the
// varbinds it produces.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

#include "BSAFrame.h"

namespace {

std::atomic<uint64_t> g_allocations{0};

void* CountedAllocation(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) std::abort();
  return p;
}

}  // namespace

void* operator new(std::size_t size) {
  return CountedAllocation(size);
}
void* operator new[](std::size_t size) {
  return CountedAllocation(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

using namespace QVT;

enum class Frame { kPing, kResponse10, kNear2048 };

// A 12-arc name under the example enterprise.
BObjectIdentifier Name(uint32_t column, uint32_t row) {
  BObjectIdentifier name{1, 3, 6, 1, 4, 1, 32473, 1, 3, 1};
  name.Append(column);
  name.Append(row);
  return name;
}

BSAPdu MakePdu(Frame frame) {
  if (frame == Frame::kPing) return BSAPdu(SA_PDU_PING, 1, 2);
  BSAPdu pdu(SA_PDU_RESPONSE, 7, 123456);
  pdu.sysUpTime = 987654;
  BVarBindList& list = pdu.varBindList;
  if (frame == Frame::kResponse10) {
    BObjectSyntax v;
    v.SetInt(-42);
    list.Append(Name(1, 1), v);
    v.SetOctets("interface description");
    list.Append(Name(2, 1), v);
    v.SetCounter32(4000000000u);
    list.Append(Name(3, 1), v);
    v.SetGauge32(1000000000u);
    list.Append(Name(4, 1), v);
    v.SetTimeTicks(8640000);
    list.Append(Name(5, 1), v);
    v.SetCounter64(0x123456789ABCull);
    list.Append(Name(6, 1), v);
    v.SetIpAddress(BIpAddress(192, 0, 2, 17));
    list.Append(Name(7, 1), v);
    v.SetObjectId(BObjectIdentifier{1, 3, 6, 1, 4, 1, 32473, 2, 1});
    list.Append(Name(8, 1), v);
    v.SetNull();
    list.Append(Name(9, 1), v);
    v.SetV2Exception(SNMP_NO_SUCH_INSTANCE);
    list.Append(Name(10, 1), v);
    return pdu;
  }
  // 24 varbinds of 12-arc names and 62-octet strings: a frame of 2029 octets.
  BObjectSyntax text;
  text.SetOctets(std::string(62, 'd'));
  for (uint32_t row = 1; row <= 24; ++row) list.Append(Name(2, row), text);
  return pdu;
}

void ReportPerFrame(benchmark::State& state, uint64_t allocations, unsigned octets) {
  const auto frames = static_cast<double>(state.iterations());
  state.counters["allocs_per_frame"] = benchmark::Counter(static_cast<double>(allocations) / frames);
  state.counters["octets"] = benchmark::Counter(octets);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * octets);
}

void BM_Encode(benchmark::State& state, Frame frame) {
  BSAPdu pdu = MakePdu(frame);
  BSABuffer buffer;
  const uint64_t before = g_allocations.load();
  for (auto _ : state) {
    int status = Encode(buffer, pdu);
    benchmark::DoNotOptimize(status);
    benchmark::ClobberMemory();
  }
  const uint64_t allocations = g_allocations.load() - before;
  if (Encode(buffer, pdu) != 0) state.SkipWithError("frame does not encode");
  ReportPerFrame(state, allocations, buffer.Length());
}

void BM_Decode(benchmark::State& state, Frame frame) {
  BSAPdu original = MakePdu(frame);
  BSABuffer buffer;
  if (Encode(buffer, original) != 0) state.SkipWithError("frame does not encode");
  BSAPdu pdu;
  const uint64_t before = g_allocations.load();
  for (auto _ : state) {
    pdu.Init(0, 0, 0);  // what a receiver does before every datagram
    int status = Decode(buffer, pdu);
    benchmark::DoNotOptimize(status);
    benchmark::ClobberMemory();
  }
  const uint64_t allocations = g_allocations.load() - before;
  if (pdu.varBindList.Count() != original.varBindList.Count()) state.SkipWithError("frame does not decode");
  ReportPerFrame(state, allocations, buffer.Length());
}

BENCHMARK_CAPTURE(BM_Encode, ping, Frame::kPing);
BENCHMARK_CAPTURE(BM_Decode, ping, Frame::kPing);
BENCHMARK_CAPTURE(BM_Encode, response10, Frame::kResponse10);
BENCHMARK_CAPTURE(BM_Decode, response10, Frame::kResponse10);
BENCHMARK_CAPTURE(BM_Encode, near2048, Frame::kNear2048);
BENCHMARK_CAPTURE(BM_Decode, near2048, Frame::kNear2048);

}  // namespace

BENCHMARK_MAIN();
