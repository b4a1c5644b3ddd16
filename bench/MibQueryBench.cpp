// Query latency of the host MIB handler with 10, 1,000 and 100,000
// registered subtree handlers (first argument): a GET of one instance, a
// GET-NEXT answered inside the owning handler, and a GET-NEXT that passes
// from one handler to the next. The handlers do almost nothing, so the
// figures are the MIB handler's own cost (read lock, owner lookup, segment
// checks).
//
// The names asked cycle through a set of distinct names (second argument)
// drawn at random from all handlers. With 256 names the data a query
// touches stays in the caches whatever the number of handlers, so the
// figures show how the lookup itself grows; with 16,384 names spread over
// 100,000 handlers every query misses the caches and the TLB several times
// (the handler object and the names themselves included), which is the
// memory's cost rather than the lookup's.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "BMibHandler.h"

namespace {

using namespace QVT;

// One scalar-like instance, OID.1.0.
class OneInstance : public BMibSubtreeHandler {
 public:
  explicit OneInstance(const BObjectIdentifier& oid) : BMibSubtreeHandler("bench", oid), m_instance(oid) {
    m_instance.Append(1);
    m_instance.Append(0);
  }
  int Get(unsigned int, BVarBindList& list, int& index, int count) override {
    for (int i = index; i < index + count; ++i) {
      if (list[i].name == m_instance) {
        list[i].value.SetInt(42);
      } else {
        list[i].value.SetV2Exception(SNMP_NO_SUCH_INSTANCE);
      }
    }
    return 0;
  }
  int GetNext(unsigned int, BVarBind& varbind) override {
    if (varbind.name.Compare(m_instance) < 0) {
      varbind.name = m_instance;
      varbind.value.SetInt(42);
    } else {
      varbind.value.SetV2Exception(SNMP_END_OF_MIB_VIEW);
    }
    return 0;
  }
  const BObjectIdentifier& Instance() const { return m_instance; }

 private:
  BObjectIdentifier m_instance;
};

constexpr size_t kSamples = 1 << 14;

struct Mib {
  BMibHandler handler;
  std::vector<std::unique_ptr<OneInstance>> subtrees;
  std::vector<BObjectIdentifier> roots;      // random handlers' OIDs
  std::vector<BObjectIdentifier> instances;  // and their instances
  std::vector<OneInstance*> owners;          // and the handlers themselves
};

// Handlers at enterprise.9.(k / 1000).(k % 1000), registered in random order.
Mib& MibWith(int count) {
  static std::map<int, std::unique_ptr<Mib>> built;
  auto& mib = built[count];
  if (mib) return *mib;
  mib = std::make_unique<Mib>();
  std::mt19937 rng(7);
  for (int k = 0; k < count; ++k) {
    BObjectIdentifier oid("1.3.6.1.4.1.32473.9");
    oid.Append(static_cast<uint32_t>(k / 1000));
    oid.Append(static_cast<uint32_t>(k % 1000));
    mib->subtrees.push_back(std::make_unique<OneInstance>(oid));
  }
  std::vector<OneInstance*> order;
  for (auto& s : mib->subtrees) order.push_back(s.get());
  std::shuffle(order.begin(), order.end(), rng);
  for (OneInstance* s : order) mib->handler.RegisterSubtreeHandler(s);
  for (size_t i = 0; i < kSamples; ++i) {
    const OneInstance* s = mib->subtrees[rng() % mib->subtrees.size()].get();
    mib->roots.push_back(s->Oid());
    mib->instances.push_back(s->Instance());
    mib->owners.push_back(const_cast<OneInstance*>(s));
  }
  return *mib;
}

void RunQueries(benchmark::State& state, int code, const std::vector<BObjectIdentifier> Mib::*names) {
  Mib& mib = MibWith(static_cast<int>(state.range(0)));
  const std::vector<BObjectIdentifier>& asked = mib.*names;
  const size_t distinct = static_cast<size_t>(state.range(1));
  const BSecurityParams params;
  const BString context;
  BVarBindList list;
  list.Append(BObjectIdentifier());
  size_t i = 0;
  for (auto _ : state) {
    list[0].name = asked[i++ % distinct];
    list[0].value.SetNull();
    int errorIndex = 0;
    const int status = mib.handler.Query(code, 1, params, context, list, errorIndex);
    benchmark::DoNotOptimize(status);
    benchmark::DoNotOptimize(list[0].value.Syntax());
  }
}

// GET of OID.1.0.
void BM_MibGet(benchmark::State& state) {
  RunQueries(state, SNMP_REQ_GET, &Mib::instances);
}
// GET-NEXT of OID: the owner answers OID.1.0.
void BM_MibGetNextInHandler(benchmark::State& state) {
  RunQueries(state, SNMP_REQ_GET_NEXT, &Mib::roots);
}
// GET-NEXT of OID.1.0: the owner has nothing more, the next handler answers.
void BM_MibGetNextToNextHandler(benchmark::State& state) {
  RunQueries(state, SNMP_REQ_GET_NEXT, &Mib::instances);
}

// The floor: the owning handler's Get called directly, without the MIB
// handler (no lock, no lookup). What it costs at 100,000 handlers with
// 16,384 names is what touching cold handlers and names costs anyway.
void BM_HandlerGetDirect(benchmark::State& state) {
  Mib& mib = MibWith(static_cast<int>(state.range(0)));
  const size_t distinct = static_cast<size_t>(state.range(1));
  BVarBindList list;
  list.Append(BObjectIdentifier());
  size_t i = 0;
  for (auto _ : state) {
    const size_t k = i++ % distinct;
    list[0].name = mib.instances[k];
    list[0].value.SetNull();
    int index = 0;
    const int status = mib.owners[k]->Get(1, list, index, 1);
    benchmark::DoNotOptimize(status);
    benchmark::DoNotOptimize(list[0].value.Syntax());
  }
}

BENCHMARK(BM_HandlerGetDirect)->ArgsProduct({{10, 1000, 100000}, {256, kSamples}});
BENCHMARK(BM_MibGet)->ArgsProduct({{10, 1000, 100000}, {256, kSamples}});
BENCHMARK(BM_MibGetNextInHandler)->ArgsProduct({{10, 1000, 100000}, {256, kSamples}});
BENCHMARK(BM_MibGetNextToNextHandler)->ArgsProduct({{10, 1000, 100000}, {256, kSamples}});

}  // namespace

BENCHMARK_MAIN();
