// NetSnmpBenchMib: the bench MIB of BenchMib.h written as a Net-SNMP agent
// module, the peer our path is compared with. The same code serves as an
// AgentX sub-agent (qvt-bench-netsnmp-subagent) and inside snmpd itself,
// loaded with "dlmod qvtBenchMib <path>" (the module library).
//
// Scalars: one handler registered at .1 with the scalar_group helper.
// Table: one handler registered at the table .2 with the base table helper
// (netsnmp_register_table), which parses column and index out of the
// request name; the handler computes the cell, or for GET-NEXT the next
// row, from the index alone. Running off the end of a column answers
// endOfMibView, which the table helper turns into a retry in the next
// column. Why this helper and not table_iterator, table_data(set),
// table_container or the MFD family: bench/README.md, "Net-SNMP set-ups".
#pragma once

namespace QVT::bench {

// Registers both subtrees with the Net-SNMP agent, the table with `rows`
// rows (1..1000000), under 1.3.6.1.4.1.32473.<arc>. 0 on success, -1 after
// logging what failed.
//
// `neverAnswer` makes the module a sub-agent that hangs while its process
// stays up (bench/isolation.sh): both handlers mark every request they get
// as delegated and never complete it, so the agent library never sends an
// answer, and both registrations announce the longest time-out an AgentX
// registration carries (255 s) to the master.
int RegisterNetSnmpBenchMib(long rows, unsigned long arc = 9, bool neverAnswer = false);
// Removes both registrations again.
void UnregisterNetSnmpBenchMib();

}  // namespace QVT::bench
