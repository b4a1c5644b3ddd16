// The entry points snmpd's dlmod calls when it loads and unloads the module
// library built from this file and NetSnmpBenchMib.cpp ("dlmod qvtBenchMib
// <path>"). dlmod passes no arguments, so the row count comes from the
// environment of snmpd: QVT_BENCH_ROWS (default 1000).
#include <cstdlib>

#include "NetSnmpBenchMib.h"

extern "C" __attribute__((visibility("default"))) void init_qvtBenchMib() {
  const char* text = std::getenv("QVT_BENCH_ROWS");
  const long rows = text != nullptr ? std::strtol(text, nullptr, 10) : 1000;
  (void)QVT::bench::RegisterNetSnmpBenchMib(rows);
}

extern "C" __attribute__((visibility("default"))) void deinit_qvtBenchMib() {
  QVT::bench::UnregisterNetSnmpBenchMib();
}
