// qvt-bench-load: the load client of the side-by-side comparison (see
// LoadClient.h). One operation per run; it prints one line of key=value
// pairs on standard output, or the first wrong answer on standard error.
// Exit status: 0 when every answer was right, 1 when one was not (or none
// came), 2 for unusable arguments.

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchCommandLine.h"
#include "LoadClient.h"

namespace {

constexpr const char* kProgram = "qvt-bench-load";

int Usage(FILE* out, int status) {
  std::fprintf(out,
               "Usage: %s [options] OPERATION\n"
               "\n"
               "Operations (every answer is checked against the bench MIB 1.3.6.1.4.1.32473.9):\n"
               "  get COUNT         COUNT sequential GETs of .1.1.0\n"
               "  getfor SECONDS    sequential GETs of .1.1.0 for SECONDS seconds (1..3600)\n"
               "  probe RATE SECONDS TARGET\n"
               "                    GETs of TARGET (sysdescr: sysDescr.0; bench: .1.1.0) sent RATE per second\n"
               "                    (1..100000) for SECONDS seconds (1..3600; 10,000,000 requests at most)\n"
               "                    without waiting for the answers;\n"
               "                    prints the latency percentiles and what the answers were\n"
               "  walk ROWS         GET-NEXT walk of the table, which must have ROWS rows\n"
               "  bulk ROWS [REPS]  GET-BULK walk of the table, max-repetitions REPS (default 25)\n"
               "  check ROWS        the MIB's answers beyond the walks (values, missing names, GET-BULK)\n"
               "  wait              GETs .1.1.0 until it is answered correctly (at most --max-seconds)\n"
               "  floor COUNT       round trip of a UDP datagram between two processes on 127.0.0.1\n"
               "\n"
               "Options:\n"
               "  --agent HOST:PORT  the agent's UDP endpoint (default 127.0.0.1:161)\n"
               "  --community TEXT   SNMPv2c community (default public)\n"
               "  --v3-user NAME     SNMPv3 instead, as this user at authPriv (SHA-256, AES-128)\n"
               "  --auth-pass TEXT   the user's authentication password\n"
               "  --priv-pass TEXT   the user's privacy password\n"
               "  --timeout-ms MS    wait for each answer (default 2000; no retries)\n"
               "  --max-seconds S    time limit of the whole operation (default 120)\n"
               "  --pid PID          also measure the CPU time of this process (repeatable)\n"
               "  --mib-arc A        the bench MIB is served under 1.3.6.1.4.1.32473.A (default 9)\n"
               "  --samples FILE     probe: one line per request into FILE (sent at, monotonic\n"
               "                     seconds; latency in ms or 'lost'; outcome)\n",
               kProgram);
  return status;
}

using QVT::bench::ParseLong;

}  // namespace

int main(int argc, char** argv) {
  QVT::bench::LoadClient::Options options;
  std::vector<std::string> operation;
  std::string samplesPath;
  long timeoutMs = options.timeoutMs;
  long maxSeconds = static_cast<long>(options.maxSeconds);
  long mibArc = static_cast<long>(options.mibArc);
  QVT::bench::CommandLine line(kProgram, Usage);
  line.Text("--agent", options.agent)
      .Text("--community", options.community)
      .Text("--v3-user", options.v3User)
      .Text("--auth-pass", options.authPassword)
      .Text("--priv-pass", options.privPassword)
      .Number("--timeout-ms", 1, 600000, timeoutMs)
      .Number("--max-seconds", 1, 86400, maxSeconds)
      .Number("--mib-arc", 1, 1000000, mibArc)
      .Text("--samples", samplesPath)
      .Take("--pid",
            [&options](const std::string& text) {
              long pid = 0;
              if (!ParseLong(text, 1, 0x7FFFFFFF, pid)) return false;
              options.watched.push_back(static_cast<pid_t>(pid));
              return true;
            })
      .Operands(operation);
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  options.timeoutMs = static_cast<int>(timeoutMs);
  options.maxSeconds = static_cast<double>(maxSeconds);
  options.mibArc = static_cast<unsigned long>(mibArc);
  long count = 0;
  long repetitions = 25;
  long rate = 0;
  long seconds = 0;
  QVT::bench::ProbeTarget target = QVT::bench::ProbeTarget::kSysDescr;
  const std::string op = operation.empty() ? "" : operation[0];
  const bool counted = op == "get" || op == "floor" || op == "walk" || op == "bulk" || op == "check";
  const long maxCount = op == "get" || op == "floor" ? 100000000 : 1000000;
  bool usable = false;
  if (op == "probe") {
    const std::string what = operation.size() == 4 ? operation[3] : "";
    target = what == "bench" ? QVT::bench::ProbeTarget::kBenchScalar : QVT::bench::ProbeTarget::kSysDescr;
    // Every request's sample is kept: at most ten million of them.
    usable = operation.size() == 4 && ParseLong(operation[1], 1, 100000, rate) &&
             ParseLong(operation[2], 1, 3600, seconds) && rate * seconds <= 10000000 &&
             (what == "sysdescr" || what == "bench");
  } else if (op == "getfor") {
    usable = operation.size() == 2 && ParseLong(operation[1], 1, 3600, seconds);
  } else {
    usable = !(op.empty() || (op == "wait" && operation.size() != 1) ||
               (counted && (operation.size() < 2 || !ParseLong(operation[1], 1, maxCount, count))) ||
               (op == "bulk" && operation.size() == 3 && !ParseLong(operation[2], 1, 1000, repetitions)) ||
               (operation.size() > (op == "bulk" ? 3u : 2u)) || (!counted && op != "wait"));
  }
  if (!usable || (!samplesPath.empty() && op != "probe")) {
    std::fprintf(stderr, "%s: unusable operation (see --help)\n", kProgram);
    return 2;
  }
  if (!options.v3User.empty() && (options.authPassword.size() < 8 || options.privPassword.size() < 8)) {
    std::fprintf(stderr, "%s: --v3-user needs --auth-pass and --priv-pass of at least 8 characters\n", kProgram);
    return 2;
  }

  QVT::bench::LoadResult result;
  if (op == "floor") {
    std::string error;
    if (!QVT::bench::MeasureUdpFloor(count, options.maxSeconds, result, error)) {
      std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
      return 1;
    }
    std::printf("%s\n", result.Format().c_str());
    return 0;
  }

  // No configuration files, no MIB files (names are compared as numbers)
  // and nothing persisted.
  setenv("MIBS", "", 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  init_snmp(kProgram);

  int status = 1;
  {
    QVT::bench::LoadClient client(options);
    const uint32_t rows = static_cast<uint32_t>(count);
    bool ok = client.Open();
    if (ok && op == "get") ok = client.Get(count, result);
    if (ok && op == "walk") ok = client.Walk(rows, result);
    if (ok && op == "bulk") ok = client.BulkWalk(rows, repetitions, result);
    if (ok && op == "check") ok = client.Check(rows);
    if (ok && op == "wait") ok = client.WaitReady();
    if (ok && op == "getfor") ok = client.GetFor(static_cast<double>(seconds), result);
    QVT::bench::ProbeResult probe;
    if (ok && op == "probe") {
      ok = client.Probe(static_cast<double>(rate), static_cast<double>(seconds), target, samplesPath, probe);
    }
    if (!ok) {
      std::fprintf(stderr, "%s: %s: %s\n", kProgram, options.agent.c_str(), client.Error().c_str());
    } else if (op == "probe") {
      std::printf("%s\n", probe.Format().c_str());
      status = 0;
    } else if (op == "check" || op == "wait") {
      std::printf("op=%s ok\n", op.c_str());
      status = 0;
    } else {
      std::printf("%s\n", result.Format().c_str());
      status = 0;
    }
  }
  snmp_shutdown(kProgram);
  return status;
}
