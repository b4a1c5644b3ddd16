// BSAMaster's inbound side over loopback UDP, against sub-agents played by the test: the answers to every
// datagram, who is admitted and who may speak for a session, retransmissions, the registration policy and
// requests, the quotas, and how sessions end and what goes with them.
#include <set>
#include <thread>

#include "FakeSubtreeHandler.h"
#include "MasterTestSupport.h"
#include "RecordingTrapSender.h"

namespace QVT::test {
namespace {

constexpr uint32_t kOtherHost = 0x7F000002;  // 127.0.0.2

BSAPdu Allocate(unsigned session, std::vector<int> values) {
  BSAPdu pdu(SA_PDU_INDEX_ALLOCATE, session, 0);
  for (const int value : values) pdu.varBindList.Append(Oid("9"), Int(value));
  return pdu;
}

BSAPdu Notification(unsigned session) {
  BSAPdu pdu(SA_PDU_NOTIFY, session, 0);
  pdu.varBindList.Append(Oid("1.3.6.1.6.3.1.1.4.1.0"), ObjectId("1.3.6.1.4.1.32473.1.0.1"));
  return pdu;
}

TEST_F(MasterTest, AnswersEveryTypeFromAnUnknownSessionAndEchoesItsIds) {
  // Types 0..19 naming session 99, which is not open, without varbinds: notOpen for the requests that name
  // a session, processingError for the types the master does not serve (and an open without a description).
  SubAgent agent(m_port);
  const std::set<int> namingASession = {SA_PDU_CLOSE_SESSION,   SA_PDU_REGISTER, SA_PDU_UNREGISTER,
                                        SA_PDU_NOTIFY,          SA_PDU_PING,     SA_PDU_INDEX_ALLOCATE,
                                        SA_PDU_INDEX_DEALLOCATE};
  for (unsigned type = 0; type < 20; ++type) {
    SCOPED_TRACE(type);
    BSAPdu request(static_cast<ESAPduType>(type), 99, 0x1000 + type), answer;
    request.transactionId = 77;
    request.flags = 4;
    EXPECT_EQ(agent.Ask(request, &answer),
              namingASession.count(static_cast<int>(type)) != 0 ? SA_WIRE_NOT_OPEN : SA_WIRE_PROCESSING_ERROR);
    EXPECT_EQ(std::make_tuple(int{answer.type}, answer.sessionId, answer.requestId, answer.transactionId,
                              int{answer.flags}, answer.sysUpTime, answer.errorIndex, answer.varBindList.Count()),
              std::make_tuple(int{SA_PDU_RESPONSE}, 99u, 0x1000 + type, 0u, 0, kUpTime, 0, 0));
  }
  EXPECT_EQ(Counter(SA_CNT_UNKNOWN_SESSION), namingASession.size());
  agent.Send(FromHex("04 04 51 56 54 31 0D 00 82 00"), agent.master);  // cut short: no answer
  agent.Send(FromHex("04 04 51 56 54 31 0D"), agent.master);           // too short to be a frame
  BSAPdu answer;
  EXPECT_EQ(agent.Ask(BSAPdu(SA_PDU_PING, 99, 0x777), &answer), SA_WIRE_NOT_OPEN);
  EXPECT_EQ(Counter(SA_CNT_MALFORMED), 1u);
  EXPECT_EQ(Counter(SA_CNT_SHORT_DATAGRAMS), 1u);
}

TEST_F(MasterTest, AnnouncedWaitsAreKeptAndCappedByMaxWait) {
  Restart({{"MaxWait", "30"}});
  SubAgent agent(m_port);
  const std::tuple<std::optional<int>, int, int> rows[] = {
      {std::nullopt, 2, 2}, {1, 1, 1}, {30, 30, 30}, {3599, 3599, 30}, {0, 2, 2}, {3600, 2, 2}, {-5, 2, 2}};
  for (const auto& [announced, kept, used] : rows) {
    SCOPED_TRACE(announced.value_or(-1));
    BSAPdu response;
    ASSERT_EQ(agent.Ask(OpenPdu(announced), &response), 0);
    const BSASession* session = m_master->FindSession(static_cast<int>(response.sessionId));
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(std::make_pair(session->m_announcedTimeout, session->m_timeout), std::make_pair(kept, used));
  }
}

TEST_F(MasterTest, SessionAndRequestIdsAreNeitherZeroNorRepeatedNorInSequence) {
  Restart({{"MaxSessionsPerHost", "100"}});
  SubAgent agent(m_port);
  std::vector<unsigned> sessions;
  for (int i = 0; i < 100; ++i) sessions.push_back(agent.Open());
  std::vector<unsigned> requests;
  for (int i = 0; i < 100000; ++i) requests.push_back(m_master->GetNewRequestId());
  for (const std::vector<unsigned>* ids : {&sessions, &requests}) {
    const std::set<unsigned> distinct(ids->begin(), ids->end());
    EXPECT_EQ(distinct.size(), ids->size());
    EXPECT_EQ(distinct.count(0), 0u);
    EXPECT_LE(*distinct.rbegin(), 0x3FFFFFFFu);  // what a sub-agent may expect of a request id
    int inSequence = 0;
    for (size_t i = 1; i < ids->size(); ++i) inSequence += (*ids)[i] == (*ids)[i - 1] + 1;
    EXPECT_LT(inSequence, 3);
  }
}

// Every request that names a session counts only from the IP address that opened it: from another host it
// is answered notOpen and counted, and the session is left as it was. Its own host may use any port.
TEST_F(MasterTest, RequestsNamingASessionCountOnlyFromTheHostThatOpenedIt) {
  SubAgent owner(m_port), intruder(m_port, kOtherHost);
  const unsigned id = owner.Holding("1");
  ASSERT_EQ(owner.Ask(Allocate(id, {4})), 0);
  BSAPdu deallocate = Allocate(id, {4});
  deallocate.type = SA_PDU_INDEX_DEALLOCATE;
  const BSAPdu spoofed[] = {BSAPdu(SA_PDU_CLOSE_SESSION, id, 0),
                            RegisterPdu(SA_PDU_UNREGISTER, id, "1"),
                            RegisterPdu(SA_PDU_REGISTER, id, "2"),
                            BSAPdu(SA_PDU_PING, id, 0),
                            Notification(id),
                            deallocate,
                            Allocate(id, {4})};
  for (const BSAPdu& request : spoofed) {
    SCOPED_TRACE(QVSAPduType2Str(request.type));
    EXPECT_EQ(intruder.Ask(request), SA_WIRE_NOT_OPEN);
  }
  EXPECT_EQ(Counter(SA_CNT_WRONG_ADDRESS), std::size(spoofed));
  EXPECT_EQ(BSAMasterPeer::Registry(*m_master), "1/47");
  EXPECT_EQ(BSAMasterPeer::IndexValues(*m_master, id), 1u);
  SubAgent samePlace(m_port);  // another port of the owner's host
  EXPECT_EQ(samePlace.Ask(BSAPdu(SA_PDU_PING, id, 0)), 0);
  EXPECT_EQ(samePlace.Ask(BSAPdu(SA_PDU_CLOSE_SESSION, id, 0)), 0);
}

TEST_F(MasterTest, SendersOutsideAllowFromAreDroppedUnread) {
  Restart({{"AllowFrom", "127.0.0.1/32, ::1"}});
  SubAgent admitted(m_port), outsider(m_port, kOtherHost);
  EXPECT_EQ(outsider.Ask(OpenPdu(), nullptr, 500), -1);
  EXPECT_EQ(outsider.Ask(BSAPdu(SA_PDU_PING, 99, 0), nullptr, 500), -1);
  outsider.Send(FromHex("00"), outsider.master);
  EXPECT_EQ(admitted.Ask(BSAPdu(SA_PDU_PING, 99, 0)), SA_WIRE_NOT_OPEN);
  EXPECT_EQ(Counter(SA_CNT_NOT_ALLOWED), 3u);
  EXPECT_EQ(m_master->SessionCount(), 0);
  EXPECT_EQ(Counter(SA_CNT_MALFORMED), 0u);  // never decoded
  EXPECT_EQ(Counter(SA_CNT_SHORT_DATAGRAMS), 0u);
}

// An answer that got lost makes the sub-agent send its request again, with the same request id: it gets the
// answer it missed, and the master does not do the work twice (a second session, a duplicateRegistration).
TEST_F(MasterTest, RetransmittedRequestsAreAnsweredAgainWithoutDoingTheWorkTwice) {
  SubAgent agent(m_port);
  BSAPdu open = OpenPdu(), first, second;
  open.requestId = 0x100;
  ASSERT_EQ(agent.Ask(open, &first), 0);
  ASSERT_EQ(agent.Ask(open, &second), 0);
  EXPECT_EQ(first.sessionId, second.sessionId);
  const unsigned id = first.sessionId;
  BSAPdu reg = RegisterPdu(SA_PDU_REGISTER, id, "1");
  reg.requestId = 0x101;
  BSAPdu allocate(SA_PDU_INDEX_ALLOCATE, id, 0x102);
  allocate.flags = SA_IXALLOC_NEW_INDEX;
  allocate.varBindList.Append(Oid("9"), Int(0));
  BSAPdu allocated[2];
  for (int copy = 0; copy < 2; ++copy) {
    EXPECT_EQ(agent.Ask(reg), 0) << copy;
    EXPECT_EQ(agent.Ask(allocate, &allocated[copy]), 0) << copy;
  }
  EXPECT_EQ(Texts(allocated[0].varBindList) + " " + Texts(allocated[1].varBindList), "9=1 9=1");
  EXPECT_EQ(m_master->SessionCount(), 1);
  EXPECT_EQ(BSAMasterPeer::Registry(*m_master), "1/47");
  EXPECT_EQ(BSAMasterPeer::IndexValues(*m_master, id), 1u);
  // The same request id with other content is a new request, not a copy.
  BSAPdu other = RegisterPdu(SA_PDU_REGISTER, id, "2");
  other.requestId = reg.requestId;
  EXPECT_EQ(agent.Ask(other), 0);
  EXPECT_EQ(BSAMasterPeer::Registry(*m_master), "1/47 2/47");
  BSAPdu close(SA_PDU_CLOSE_SESSION, id, 0x103);
  EXPECT_EQ(agent.Ask(close), 0);
  EXPECT_EQ(agent.Ask(close), 0);  // after the session is gone
  EXPECT_EQ(Counter(SA_CNT_RETRANSMISSIONS), 4u);
  open.requestId = 0x104;  // a new request opens a new session
  EXPECT_EQ(agent.Ask(open, &second), 0);
  EXPECT_NE(second.sessionId, first.sessionId);
}

// A "Key=Value" of the master's settings, or none.
std::map<std::string, std::string> Setting(const std::string& text) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos) return {};
  return {{text.substr(0, equals), text.substr(equals + 1)}};
}

// A range at sub-id 8 up to `upTo`; 0 for a plain subtree.
std::optional<std::pair<uint32_t, uint32_t>> Range(uint32_t upTo) {
  return upTo == 0 ? std::nullopt : std::optional(std::pair{8u, upTo});
}

struct PolicyCase {
  const char* name;
  const char* setting;
  bool fromOtherHost;
  const char* oid;
  uint32_t rangeUpTo;  // 0: a subtree; else a range at sub-id 8 up to this
  int status;
  int counted;  // the ESAMasterCounter, -1 for none
};

// Sub-agent A (127.0.0.1) holds 1.3.6.1.4.1.8.1; the embedding program serves 1.3.6.1.4.1.9.99 locally.
// Each case registers, from A's host (another session) or from B (127.0.0.2), one subtree or range.
constexpr int kDenied = SA_WIRE_REQUEST_DENIED;
const PolicyCase kPolicyCases[] = {
    {"sysDescr", "", true, "1.3.6.1.2.1.1.1", 0, kDenied, SA_CNT_REG_PROTECTED},
    {"around the system group", "", true, "1.3.6.1.2.1", 0, kDenied, SA_CNT_REG_PROTECTED},
    {"the system group itself", "", false, "1.3.6.1.2.1.1", 0, kDenied, SA_CNT_REG_PROTECTED},
    {"inside a local handler", "", false, "1.3.6.1.4.1.9.99.1", 0, kDenied, SA_CNT_REG_PROTECTED},
    {"a range reaching a local handler", "", false, "1.3.6.1.4.1.9.97.1", 99, kDenied, SA_CNT_REG_PROTECTED},
    {"inside another host's subtree", "", true, "1.3.6.1.4.1.8.1.5", 0, kDenied, SA_CNT_REG_OVERLAP},
    {"around another host's subtree", "", true, "1.3.6.1.4.1.8", 0, kDenied, SA_CNT_REG_OVERLAP},
    {"a range over another host's subtree", "", true, "1.3.6.1.4.1.8.0.1", 2, kDenied, SA_CNT_REG_OVERLAP},
    {"inside a subtree of its own host", "", false, "1.3.6.1.4.1.8.1.5", 0, 0, -1},
    {"inside another host's subtree, overlap allowed", "AllowOverlap=yes", true, "1.3.6.1.4.1.8.1.5", 0, 0, -1},
    {"the same subtree, overlap allowed", "AllowOverlap=yes", true, "1.3.6.1.4.1.8.1", 0,
     SA_WIRE_DUPLICATE_REGISTRATION, SA_CNT_REG_DUPLICATE},
    {"outside RegisterAllow", "RegisterAllow=1.3.6.1.4.1.32473, .1.3.6.1.4.1.8", true, "1.3.6.1.4.1.7", 0, kDenied,
     SA_CNT_REG_NOT_ALLOWED},
    {"inside RegisterAllow", "RegisterAllow=1.3.6.1.4.1.32473, .1.3.6.1.4.1.8", true, "1.3.6.1.4.1.32473.5", 0, 0, -1},
    {"a range leaving RegisterAllow", "RegisterAllow=1.3.6.1.4.1.32473.5, 1.3.6.1.4.1.8", true, "1.3.6.1.4.1.32473.5.1",
     6, kDenied, SA_CNT_REG_NOT_ALLOWED},
};

TEST_F(MasterTest, RegistrationPolicyProtectsTheMastersObjectsAndOtherHostsSubtrees) {
  FakeSubtreeHandler local("1.3.6.1.4.1.9.99", {});
  ASSERT_NE(m_mib.RegisterSubtreeHandler(&local), 0);
  for (const PolicyCase& c : kPolicyCases) {
    SCOPED_TRACE(c.name);
    Restart(Setting(c.setting));
    SubAgent a(m_port), b(m_port, kOtherHost);
    a.Holding("1.3.6.1.4.1.8.1");
    SubAgent& asker = c.fromOtherHost ? b : a;
    const std::string before = BSAMasterPeer::Registry(*m_master);
    EXPECT_EQ(asker.Ask(RegisterPdu(SA_PDU_REGISTER, asker.Open(), c.oid, Range(c.rangeUpTo))), c.status);
    if (c.status != 0) {
      EXPECT_EQ(BSAMasterPeer::Registry(*m_master), before);  // nothing of a refused range
    }
    uint64_t refused = 0;
    for (int kind = SA_CNT_REG_PROTECTED; kind <= SA_CNT_REG_DUPLICATE; ++kind) {
      refused += Counter(static_cast<ESAMasterCounter>(kind));
    }
    EXPECT_EQ(refused, c.counted >= 0 ? 1u : 0u);
    if (c.counted >= 0) {
      EXPECT_EQ(Counter(static_cast<ESAMasterCounter>(c.counted)), 1u);
    }
    EXPECT_EQ(Get("1.3.6.1.2.1.1.1.0").substr(0, 28), "0 1.3.6.1.2.1.1.1.0=STRING: ");  // still the master's
  }
  m_master.reset();
  m_mib.UnregisterSubtreeHandler(&local);
}

enum class Op { kRegister, kUnregister, kRegisterRefused, kUnregisterRefused, kClose };

struct RegistrationStep {
  Op op;
  char session;  // 'a' and 'b' open on the test's host; 'x' never open
  const char* oid;
  std::optional<std::pair<uint32_t, uint32_t>> range;
  int status;
  const char* registry;  // afterwards, in OID order (nullptr: unchanged)
};

// The registrations and unregistrations of two sessions of one host, plain and by range, against a MIB
// handler that sometimes refuses; after each step the proxies and their sysOR rows.
const RegistrationStep kRegistrationSteps[] = {
    {Op::kRegister, 'a', "1", std::nullopt, 0, "1/47"},
    {Op::kRegister, 'b', "1", std::nullopt, SA_WIRE_DUPLICATE_REGISTRATION, nullptr},
    {Op::kRegister, 'b', "2.6.1", std::nullopt, 0, "1/47 2.6.1/47"},
    {Op::kRegister, 'a', "2.5.1", std::pair{8u, 7u}, SA_WIRE_DUPLICATE_REGISTRATION, nullptr},  // 2.6.1 taken
    {Op::kUnregister, 'b', "1", std::nullopt, SA_WIRE_UNKNOWN_REGISTRATION, nullptr},           // a's
    {Op::kUnregister, 'a', "1", std::nullopt, 0, "2.6.1/47"},
    {Op::kRegister, 'x', "4", std::nullopt, SA_WIRE_NOT_OPEN, nullptr},
    {Op::kUnregister, 'x', "4", std::nullopt, SA_WIRE_NOT_OPEN, nullptr},
    {Op::kClose, 'b', nullptr, std::nullopt, 0, ""},
    {Op::kRegister, 'a', "1.5.1", std::pair{8u, 7u}, 0, "1.5.1/48 1.6.1/48 1.7.1/48"},
    {Op::kRegister, 'a', "2.5.1", std::pair{8u, 4u}, 0, nullptr},  // the bound before the first value
    {Op::kRegister, 'a', "2.5.1", std::pair{0u, 7u}, SA_WIRE_PROCESSING_ERROR, nullptr},
    {Op::kRegister, 'a', "2.5.1", std::pair{9u, 7u}, SA_WIRE_PROCESSING_ERROR, nullptr},
    {Op::kRegister, 'a', "2.5.1", std::pair{8u, 4294967295u}, SA_WIRE_PROCESSING_ERROR, nullptr},
    {Op::kUnregister, 'a', "1.5.1", std::pair{9u, 8u}, SA_WIRE_PROCESSING_ERROR, nullptr},
    {Op::kUnregister, 'a', "1.6.1", std::nullopt, 0, "1.5.1/48 1.7.1/48"},
    {Op::kUnregister, 'a', "1.5.1", std::pair{8u, 7u}, SA_WIRE_UNKNOWN_REGISTRATION, "1.7.1/48"},  // up to the gap
    {Op::kRegisterRefused, 'a', "3", std::nullopt, SA_WIRE_DUPLICATE_REGISTRATION, nullptr},
    {Op::kRegister, 'a', "2.5.1", std::pair{8u, 6u}, 0, "1.7.1/48 2.5.1/48 2.6.1/48"},
    {Op::kUnregisterRefused, 'a', "2.5.1", std::pair{8u, 6u}, SA_WIRE_REQUEST_DENIED, "1.7.1/48 2.5.1/48! 2.6.1/48"},
    {Op::kUnregisterRefused, 'a', "1.7.1", std::nullopt, SA_WIRE_PROCESSING_ERROR, "1.7.1/48! 2.5.1/48! 2.6.1/48"},
    {Op::kUnregister, 'a', "1.7.1", std::nullopt, 0, "2.5.1/48! 2.6.1/48"},
    {Op::kClose, 'a', nullptr, std::nullopt, 0, ""},
};

TEST_F(MasterTest, RegistrationRequests) {
  SubAgent agent(m_port);
  std::map<char, unsigned> sessions = {{'x', 999}};
  for (const RegistrationStep& step : kRegistrationSteps) {
    SCOPED_TRACE(std::string(1, step.session) + " " + (step.oid != nullptr ? step.oid : "close"));
    if (sessions.count(step.session) == 0) sessions[step.session] = agent.Open();
    const std::string before = BSAMasterPeer::Registry(*m_master);
    const bool registering = step.op == Op::kRegister || step.op == Op::kRegisterRefused;
    m_mib.refuseRegister = step.op == Op::kRegisterRefused;
    m_mib.refuseUnregister = step.op == Op::kUnregisterRefused;
    const BSAPdu request = step.op == Op::kClose ? BSAPdu(SA_PDU_CLOSE_SESSION, sessions[step.session], 0)
                                                 : RegisterPdu(registering ? SA_PDU_REGISTER : SA_PDU_UNREGISTER,
                                                               sessions[step.session], step.oid, step.range);
    EXPECT_EQ(agent.Ask(request), step.status);
    EXPECT_EQ(BSAMasterPeer::Registry(*m_master), step.registry != nullptr ? step.registry : before);
    if (step.op == Op::kClose) {
      EXPECT_EQ(agent.Ask(BSAPdu(SA_PDU_PING, sessions[step.session], 0)), SA_WIRE_NOT_OPEN);
      sessions.erase(step.session);
    }
  }
  m_mib.refuseUnregister = false;
  // Malformed registrations: a subtree that is no OID (an INTEGER must not register the whole MIB), and a
  // request cut to two varbinds.
  const unsigned id = agent.Open();
  BSAPdu integer = RegisterPdu(SA_PDU_REGISTER, id, "1"), cut = integer;
  integer.varBindList[2].value = Int(1);
  cut.varBindList.Truncate(2);
  EXPECT_EQ(agent.Ask(integer), SA_WIRE_PROCESSING_ERROR);
  EXPECT_EQ(agent.Ask(cut), SA_WIRE_PROCESSING_ERROR);
  EXPECT_EQ(agent.Ask(RegisterPdu(SA_PDU_REGISTER, id, "3.5.1", std::pair{7u, 4u})), 0);
  EXPECT_EQ(BSAMasterPeer::Registry(*m_master), "3.5.1/48 4.5.1/48");
  m_master->Stop();
  m_master.reset();  // withdraws its proxies and their rows
  EXPECT_EQ(m_mib.Mib2System().GetNumORRows(), 0);
  EXPECT_EQ(Get("3.5.1.0"), "0 3.5.1.0=noSuchObject");
}

struct QuotaStep {
  ESAPduType type;
  const char* oid;          // what a (un)registration names
  uint32_t rangeUpTo;       // as Range takes it
  std::vector<int> values;  // what an index allocation asks for
  int status;
  int errorIndex;

  BSAPdu Request(unsigned session) const {
    if (type == SA_PDU_INDEX_ALLOCATE) return Allocate(session, values);
    return type == SA_PDU_NOTIFY ? Notification(session) : RegisterPdu(type, session, oid, Range(rangeUpTo));
  }
};

struct QuotaCase {
  const char* name;
  const char* setting;
  std::vector<QuotaStep> steps;  // from one session, opened first
  ESAMasterCounter counter;
  uint64_t count;
};

constexpr ESAPduType kReg = SA_PDU_REGISTER, kAlloc = SA_PDU_INDEX_ALLOCATE, kNotify = SA_PDU_NOTIFY;
constexpr int kNoIndex = SA_WIRE_INDEX_NONE_AVAILABLE;
const QuotaCase kQuotaCases[] = {
    {"registrations of a session",
     "MaxRegistrations=3",
     {{kReg, "1.1.1", 2, {}, 0, 0},
      {kReg, "2", 0, {}, 0, 0},
      {kReg, "3", 0, {}, kDenied, 0},
      {SA_PDU_UNREGISTER, "2", 0, {}, 0, 0},
      {kReg, "3.1.1", 2, {}, kDenied, 0},
      {kReg, "3", 0, {}, 0, 0}},
     SA_CNT_REG_QUOTA,
     2},
    {"instances of a range",
     "MaxRangeInstances=4",
     {{kReg, "1.1.1", 5, {}, kDenied, 0}, {kReg, "1.1.1", 4, {}, 0, 0}},
     SA_CNT_RANGE_TOO_LARGE,
     1},
    {"index values of a session",
     "MaxIndexAllocations=2",
     {{kAlloc, "", 0, {1, 2, 3}, kNoIndex, 3}, {kAlloc, "", 0, {1, 2}, 0, 0}, {kAlloc, "", 0, {3}, kNoIndex, 1}},
     SA_CNT_INDEX_QUOTA,
     2},
    {"registrations of all sessions",
     "MaxTotalRegistrations=2",
     {{kReg, "1", 0, {}, 0, 0}, {kReg, "2.1.1", 2, {}, kDenied, 0}, {kReg, "2", 0, {}, 0, 0}},
     SA_CNT_REG_QUOTA,
     1},
    {"index values of all sessions",
     "MaxTotalIndexAllocations=2",
     {{kAlloc, "", 0, {1, 2, 3}, kNoIndex, 3}, {kAlloc, "", 0, {1, 2}, 0, 0}},
     SA_CNT_INDEX_QUOTA,
     1},
    {"notifications a second (bursts of twice as many)",
     "MaxNotifyRate=1",
     {{kNotify, "", 0, {}, 0, 0}, {kNotify, "", 0, {}, 0, 0}, {kNotify, "", 0, {}, kDenied, 0}},
     SA_CNT_NOTIFY_RATE,
     1},
};

TEST_F(MasterTest, QuotasRefuseWithAWireErrorAndCount) {
  RecordingTrapSender traps;
  for (const QuotaCase& c : kQuotaCases) {
    SCOPED_TRACE(c.name);
    Restart(Setting(c.setting));
    m_master->SetTrapSender(&traps);
    SubAgent agent(m_port);
    const unsigned id = agent.Open();
    for (size_t i = 0; i < c.steps.size(); ++i) {
      BSAPdu answer;
      EXPECT_EQ(agent.Ask(c.steps[i].Request(id), &answer), c.steps[i].status) << i;
      EXPECT_EQ(answer.errorIndex, c.steps[i].errorIndex) << i;
    }
    EXPECT_EQ(Counter(c.counter), c.count);
  }
  // A session still being taken apart (here: one whose proxy the MIB handler will not let go) counts.
  Restart({{"MaxSessions", "2"}});
  SubAgent agent(m_port);
  const unsigned stuck = agent.Holding("1");
  m_mib.refuseUnregister = true;
  EXPECT_EQ(agent.Ask(BSAPdu(SA_PDU_CLOSE_SESSION, stuck, 0)), SA_WIRE_PROCESSING_ERROR);
  m_mib.refuseUnregister = false;
  EXPECT_EQ(agent.Ask(OpenPdu()), 0);
  EXPECT_EQ(agent.Ask(OpenPdu()), SA_WIRE_OPEN_FAILED);
  EXPECT_EQ(Counter(SA_CNT_SESSIONS_REFUSED), 1u);
  EXPECT_EQ(m_master->SessionCount(), 1);
  // One host may hold MaxSessionsPerHost; another host is not held back by it.
  Restart({{"MaxSessionsPerHost", "2"}});
  SubAgent local(m_port), other(m_port, kOtherHost);
  EXPECT_EQ(local.Ask(OpenPdu()), 0);
  EXPECT_EQ(local.Ask(OpenPdu()), 0);
  EXPECT_EQ(local.Ask(OpenPdu()), SA_WIRE_OPEN_FAILED);
  EXPECT_EQ(other.Ask(OpenPdu()), 0);
  EXPECT_EQ(Counter(SA_CNT_SESSIONS_REFUSED), 1u);
}

// Requests for sessions that are not there are answered notOpen up to a rate per address: a stream of them
// costs one address a few answers a second, and other addresses keep theirs.
TEST_F(MasterTest, NotOpenAnswersToOneAddressAreRateLimited) {
  SubAgent flooder(m_port), other(m_port, kOtherHost);
  constexpr int kRequests = 60;
  for (int i = 0; i < kRequests; ++i) flooder.Send(Encoded(BSAPdu(SA_PDU_PING, 77, 1000 + i)), flooder.master);
  ASSERT_TRUE(WaitUntil([&] { return Counter(SA_CNT_UNKNOWN_SESSION) == kRequests; }, 3000, 10));
  int answered = 0;
  for (BSAPdu answer; flooder.Next(answer, 200);) answered += answer.errorStatus == SA_WIRE_NOT_OPEN;
  EXPECT_GE(answered, 20);  // the burst allowance
  EXPECT_LT(answered, kRequests / 2);
  EXPECT_EQ(Counter(SA_CNT_NOT_OPEN_UNANSWERED), static_cast<uint64_t>(kRequests - answered));
  EXPECT_EQ(other.Ask(BSAPdu(SA_PDU_PING, 77, 0)), SA_WIRE_NOT_OPEN);
}

// What a sub-agent names itself and its registrations goes into logs and sysORDescr: kept to 255
// characters. Subtrees no SNMP name can fall in (beyond 128 arcs) are refused.
TEST_F(MasterTest, NamesAndSubtreesAreBounded) {
  SubAgent agent(m_port);
  BSAPdu open;
  ASSERT_EQ(agent.Ask(OpenPdu(1, std::string(1000, 'd').c_str()), &open), 0);
  EXPECT_EQ(BSAMasterPeer::Record(*m_master, open.sessionId)->m_description.str(), std::string(255, 'd'));
  std::string deep = "1";
  for (int arc = 1; arc < 128 - 6; ++arc) deep += ".1";  // 128 arcs with 1.3.6.1.3.7
  BSAPdu longest = RegisterPdu(SA_PDU_REGISTER, open.sessionId, deep);
  longest.varBindList[1].value = Str(std::string(1000, 'n'));
  EXPECT_EQ(agent.Ask(longest), 0);
  EXPECT_EQ(agent.Ask(RegisterPdu(SA_PDU_REGISTER, open.sessionId, deep + ".1")), SA_WIRE_PROCESSING_ERROR);
  EXPECT_EQ(m_mib.Mib2System().GetORRow(1)->descr.str(), std::string(255, 'n'));
}

// A closed session takes its registrations, their sysOR rows and its index values with it, however it ends.
TEST_F(MasterTest, ClosingReleasesEverythingTheSessionHeld) {
  // Closed by its close request, by the application or by the monitor: the reason the listener is told.
  for (const std::string reason : {"closed", "master", "silent"}) {
    SCOPED_TRACE(reason);
    Restart({}, /*monitorMs=*/50);
    SubAgent agent(m_port);
    const unsigned holder = agent.Holding("1"), other = agent.Open();
    ASSERT_EQ(agent.Ask(RegisterPdu(SA_PDU_REGISTER, holder, "2.1.1", std::pair{8u, 3u})), 0);
    ASSERT_EQ(agent.Ask(Allocate(holder, {1, 2})), 0);
    ASSERT_EQ(agent.Ask(Allocate(other, {1})), SA_WIRE_INDEX_ALREADY_ALLOCATED);
    ASSERT_EQ(BSAMasterPeer::Registry(*m_master), "1/47 2.1.1/48 2.2.1/48 2.3.1/48");
    if (reason == "closed") {
      EXPECT_EQ(agent.Ask(BSAPdu(SA_PDU_CLOSE_SESSION, holder, 0)), 0);
    } else if (reason == "master") {
      TWriteLock writeLock(m_mib.Synch());
      EXPECT_EQ(m_master->CloseSession(static_cast<int>(holder)), 0);
    } else {
      BSAMasterPeer::Record(*m_master, holder)->m_timeoutCount = 3;
    }
    EXPECT_TRUE(WaitUntil([&] { return m_master->RegistrationCount() == 0; }, 3000, 10));
    EXPECT_EQ(m_mib.Mib2System().GetNumORRows(), 0);
    EXPECT_EQ(agent.Ask(Allocate(other, {1, 2})), 0);
    EXPECT_EQ(agent.Ask(BSAPdu(SA_PDU_PING, holder, 0)), SA_WIRE_NOT_OPEN);
    EXPECT_EQ(m_events->Log(), "+0 +1 -0:" + reason + "/4 ");
  }
  EXPECT_EQ(Counter(SA_CNT_SESSIONS_NO_ANSWER), 1u);
}

// A session that holds no registration and sends nothing is taken for an orphan (an open whose answer was
// lost, a flood) and closed after IdleTimeout; registering, or any request such as a ping, keeps it.
TEST_F(MasterTest, IdleSessionsAreReclaimed) {
  Restart({{"IdleTimeout", "1"}}, /*monitorMs=*/100);
  SubAgent agent(m_port);
  const unsigned idle = agent.Open(), registered = agent.Holding("1"), pinging = agent.Open();
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(agent.Ask(BSAPdu(SA_PDU_PING, pinging, 0)), 0);
  }
  EXPECT_EQ(agent.Ask(BSAPdu(SA_PDU_PING, idle, 0)), SA_WIRE_NOT_OPEN);
  EXPECT_EQ(agent.Ask(BSAPdu(SA_PDU_PING, registered, 0)), 0);
  EXPECT_EQ(m_events->Log(), "+0 +1 +2 -0:idle/0 ");
  EXPECT_EQ(Counter(SA_CNT_SESSIONS_IDLE), 1u);
}

// A flood of refusals makes one report at once, and later one report that counts the rest: never one per
// datagram.
TEST_F(MasterTest, RefusalsAreReportedAtABoundedRate) {
  SubAgent agent(m_port, kOtherHost);
  const unsigned id = agent.Open();
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(agent.Ask(RegisterPdu(SA_PDU_REGISTER, id, "1.3.6.1.2.1.1.1")), SA_WIRE_REQUEST_DENIED);
  }
  EXPECT_EQ(Counter(SA_CNT_REG_PROTECTED), 50u);
  std::lock_guard<std::mutex> guard(m_events->lock);
  ASSERT_EQ(m_events->refusals.size(), 1u);
  EXPECT_NE(m_events->refusals[0].find("registrationsProtected: registration of 1.3.6.1.2.1.1.1 from 127.0.0.2:"),
            std::string::npos)
      << m_events->refusals[0];
  EXPECT_NE(m_events->refusals[0].find("refused: the master's own objects (1.3.6.1.2.1.1)"), std::string::npos);
}

// Registrations and unregistrations go through beside the queries in flight: a query may wait for a slow
// sub-agent, and the others' requests must not wait behind it. A proxy taken out while a query may still
// use it is freed only once that query has ended.
TEST_F(MasterTest, RegistrationsAndUnregistrationsGoThroughBesideQueries) {
  SubAgent agent(m_port);
  const unsigned id = agent.Holding("4");
  TEvent reading, done;
  std::thread query([&] {  // as a query of the MIB handler holds it
    TReadLock lock(m_mib.Synch());
    BGracePeriod grace(m_mib.Grace());
    reading.Set();
    done.Wait(kWaitForever);
  });
  ASSERT_EQ(reading.Wait(3000), 0);
  EXPECT_EQ(agent.Ask(RegisterPdu(SA_PDU_REGISTER, id, "5")), 0);
  EXPECT_EQ(agent.Ask(RegisterPdu(SA_PDU_UNREGISTER, id, "4")), 0);
  EXPECT_EQ(BSAMasterPeer::Registry(*m_master), "5/47");
  EXPECT_EQ(m_mib.Grace().Pending(), 1u);  // proxy 4, kept for the query
  EXPECT_EQ(agent.Ask(BSAPdu(SA_PDU_CLOSE_SESSION, id, 0)), 0);
  EXPECT_EQ(BSAMasterPeer::Registry(*m_master), "");
  EXPECT_EQ(m_mib.Grace().Pending(), 3u);  // and proxy 5 and the session's record
  done.Set();
  query.join();
  EXPECT_EQ(m_mib.Grace().Pending(), 0u);
}

}  // namespace
}  // namespace QVT::test
