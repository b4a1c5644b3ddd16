// qvt-bench-netsnmp-subagent: the comparison's peer sub-agent, written on
// the Net-SNMP agent library. It connects to snmpd as AgentX master on the
// given socket and serves NetSnmpBenchMib until SIGINT or SIGTERM.
//
//   qvt-bench-netsnmp-subagent --agentx SOCKET [--rows N] [--ping SECONDS]
//                              [--mib-arc A] [--never-answer]
//
// SOCKET is in Net-SNMP's transport syntax (a path for a unix socket, or
// tcp:127.0.0.1:PORT). --ping sets the AgentX ping interval, which also
// makes the sub-agent reconnect on its own when the master was not ready.
// --mib-arc serves the MIB under 1.3.6.1.4.1.32473.A instead of .9, so that
// several sub-agents serve it side by side; --never-answer makes it a
// sub-agent that hangs while its process and its AgentX session stay up:
// it registers the MIB (announcing a 255 s time-out) and never answers a
// request for it (see NetSnmpBenchMib.h). No configuration file is read
// and nothing is persisted.

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
// clang-format on

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "BenchCommandLine.h"
#include "NetSnmpBenchMib.h"

namespace {

constexpr const char* kProgram = "qvt-bench-netsnmp-subagent";
volatile std::sig_atomic_t s_running = 1;

void OnStopSignal(int /*signal*/) {
  s_running = 0;
}

int Usage(FILE* out, int status) {
  std::fprintf(out,
               "Usage: %s --agentx SOCKET [--rows N] [--ping SECONDS] [--mib-arc A] [--never-answer]\n"
               "Serves the bench MIB (1.3.6.1.4.1.32473.9, or .A) as a Net-SNMP AgentX sub-agent;\n"
               "with --never-answer it registers the MIB and never answers a request for it.\n",
               kProgram);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::string socket;
  long rows = 1000;
  long ping = 0;
  long arc = 9;
  bool neverAnswer = false;
  QVT::bench::CommandLine line(kProgram, Usage);
  line.Text("--agentx", socket)
      .Number("--rows", 1, 1000000, rows)
      .Number("--ping", 0, 3600, ping)
      .Number("--mib-arc", 1, 1000000, arc)
      .Flag("--never-answer", neverAnswer);
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  if (socket.empty()) {
    std::fprintf(stderr, "%s: --agentx SOCKET is required\n", kProgram);
    return Usage(stderr, 2);
  }

  snmp_enable_stderrlog();
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);  // sub-agent
  netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, socket.c_str());
  netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL, static_cast<int>(ping));
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  init_agent(kProgram);
  if (QVT::bench::RegisterNetSnmpBenchMib(rows, static_cast<unsigned long>(arc), neverAnswer) != 0) return 1;
  init_snmp(kProgram);

  std::signal(SIGTERM, OnStopSignal);
  std::signal(SIGINT, OnStopSignal);
  snmp_log(LOG_INFO, "%s: serving %ld rows under 1.3.6.1.4.1.32473.%ld through AgentX at %s%s\n", kProgram, rows, arc,
           socket.c_str(), neverAnswer ? ", never answering" : "");
  while (s_running != 0) agent_check_and_process(1);

  QVT::bench::UnregisterNetSnmpBenchMib();
  snmp_shutdown(kProgram);
  shutdown_agent();
  return 0;
}
