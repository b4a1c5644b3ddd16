// libFuzzer target for the master's session table: sequences of datagrams
// from several senders (two ports of one host, a second host, and a host
// outside AllowFrom), with the session monitor, the application and SNMP
// queries holding the MIB acting in between. After every step the
// registrations, index values and sessions the master keeps must agree with
// each other and with the agent's MIB, stay within the configured limits,
// and change only through requests of the host that owns them; when the
// master is gone, nothing of it may be left in the MIB. The input format is
// described in MasterSessionsHarness.h.
//
// The ordinary test suite replays the seed corpus through the same harness
// (tests/master/MasterFuzzReplayTest.cpp).
#include <cstddef>
#include <cstdint>

#include "MasterSessionsHarness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return QVT::fuzz::RunMasterSessions(data, size);
}
