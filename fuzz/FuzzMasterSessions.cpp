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

namespace QVT {

// The members of the master and of its sessions that the harness reads, and
// the steps the worker thread runs, as pointers to members.
class BSAMasterPeer {
 public:
  static constexpr auto rxBuffer = &BSAMaster::m_rxBuffer;
  static constexpr auto addrPeer = &BSAMaster::m_addrPeer;
  static constexpr auto addrLocal = &BSAMaster::m_addrLocal;
  static constexpr auto sessions = &BSAMaster::m_sessions;
  static constexpr auto handlers = &BSAMaster::m_handlers;
  static constexpr auto handlerCount = &BSAMaster::m_handlerCount;
  static constexpr auto indexOwners = &BSAMaster::m_indexOwners;
  static constexpr auto indices = &BSAMaster::m_indices;
  static constexpr auto keptAnswers = &BSAMaster::m_keptAnswers;
  static constexpr auto takeCloseRequests = &BSAMaster::TakeCloseRequests;
  static constexpr auto continueClosing = &BSAMaster::ContinueClosing;
  static constexpr auto flushRefusalReports = &BSAMaster::FlushRefusalReports;
  static constexpr auto count = &BSAMaster::Count;

  static constexpr auto registrations = &BSASession::m_registrations;
  static constexpr auto registrationCount = &BSASession::m_registrationCount;
  static constexpr auto indexValues = &BSASession::m_indexValues;
  static constexpr auto lastHeard = &BSASession::m_lastHeard;
  static constexpr auto closeQueued = &BSASession::m_closeQueued;
};

}  // namespace QVT

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return QVT::fuzz::RunMasterSessions<QVT::BSAMasterPeer>(data, size);
}
