// BSAMaster's outbound side: the proxies turn the MIB handler's calls into requests and the answers into
// results; only the session's own address with the request id sent answers; a sub-agent that does not
// answer costs only the requests for its objects, never more than MaxWait, and is closed after three
// requests in a row went unanswered; Stop ends every wait at once.
#include <thread>

#include "MasterTestSupport.h"

namespace QVT::test {
namespace {

struct Reply {
  int status = 0;
  int index = 0;
  BVarBindList list;
};

BVarBindList List(std::initializer_list<std::pair<const char*, BObjectSyntax>> items) {
  BVarBindList list;
  for (const auto& [name, value] : items) list.Append(Oid(name), value);
  return list;
}

// `call`'s result while `agent` answers every request with name=value.
template <class Call>
std::string Answering(SubAgent& agent, Call call, const char* name, int value) {
  return agent.While(call, [&](const BSAPdu& r) { agent.Reply(r, List({{name, Int(value)}})); });
}

constexpr int kGet = 0, kGetNext = 1;  // the other calls are SETs, named by their phase

// The host's varbinds hold -1; the proxy serves all but the first (GET, SET) or the first (GET-NEXT). The
// sub-agent answers a GET or SET phase with toGet, a GET-NEXT with toNext (none: silence).
struct ProxyCase {
  const char* name;
  int call;
  const char* proxy;  // the subtree proxy 1, or the row-instance proxy 1.5.1
  std::vector<const char*> names;
  std::optional<Reply> toGet, toNext;
  int status;
  int index;
  const char* result;    // the host's varbinds afterwards
  const char* requests;  // "<type> <first varbind>" of each request the sub-agent got
};

const std::vector<const char*> kThree = {"9", "1.1.0", "1.2.0"}, kTwo = {"9", "1.1.0"}, kBefore = {"1.3.6.1.3.7"};
constexpr int kGenErr = SNMP_ERR_GENERR;
constexpr std::nullopt_t kSilence = std::nullopt;

const ProxyCase kProxyCases[] = {
    // clang-format off
    {"GET copies the values", kGet, "1", kThree, Reply{0, 0, List({{"1.9", Int(50)}, {"1.9", Int(51)}})}, kSilence,
     0, 1, "9=-1 1.1.0=50 1.2.0=51", "5 1.1.0=-1"},
    {"GET passes the sub-agent's error with its index", kGet, "1", kThree, Reply{2, 2, List({{"1.9", Int(7)}})},
     kSilence, 2, 1, "9=-1 1.1.0=-1 1.2.0=-1", "5 1.1.0=-1"},
    {"GET answered with too few values", kGet, "1", kThree, Reply{0, 0, List({{"1.9", Int(7)}})}, kSilence,
     kGenErr, 0, "9=-1 1.1.0=-1 1.2.0=-1", "5 1.1.0=-1"},
    {"SET commit", SNMP_SET_COMMIT, "1", kTwo, Reply{}, kSilence, 0, 1, "9=-1 1.1.0=-1", "9 1.1.0=-1"},
    {"SET undo", SNMP_SET_UNDO, "1", kTwo, Reply{}, kSilence, 0, 1, "9=-1 1.1.0=-1", "10 1.1.0=-1"},
    {"SET cleanup", SNMP_SET_CLEANUP, "1", kTwo, Reply{}, kSilence, 0, 1, "9=-1 1.1.0=-1", "11 1.1.0=-1"},
    {"SET test refused at the second varbind", SNMP_SET_TEST, "1", kThree, Reply{4, 2, {}}, kSilence, 4, 1,
     "9=-1 1.1.0=-1 1.2.0=-1", "8 1.1.0=-1"},
    {"GET-NEXT from before the subtree", kGetNext, "1", kBefore, kSilence, Reply{0, 0, List({{"1.1.0", Int(5)}})},
     0, 0, "1.1.0=5", "6 1=NULL"},
    {"GET-NEXT answered outside the subtree", kGetNext, "1", {"1.1"}, kSilence, Reply{0, 0, List({{"2.1", Int(1)}})},
     0, 0, "1.1=endOfMibView", "6 1.1=-1"},
    {"GET-NEXT does not look at the error status", kGetNext, "1", {"1.2"}, kSilence,
     Reply{5, 1, List({{"1.3", Int(3)}})}, 0, 0, "1.3=3", "6 1.2=-1"},
    {"GET-NEXT answered with two varbinds", kGetNext, "1", {"1.5"}, kSilence,
     Reply{0, 0, List({{"1.6", Int(6)}, {"1.7", Int(7)}})}, kGenErr, 0, "1.5=-1", "6 1.5=-1"},
    {"row instance: GET of the instance first", kGetNext, "1.5.1", kBefore, Reply{0, 0, List({{"1.5.1", Int(55)}})},
     kSilence, 0, 0, "1.5.1=55", "5 1.5.1=NULL"},
    {"row instance: no such instance, then GET-NEXT", kGetNext, "1.5.1", kBefore,
     Reply{0, 0, List({{"1.5.1", Exception(SNMP_NO_SUCH_INSTANCE)}})}, Reply{0, 0, List({{"2", Int(1)}})}, 0, 0,
     "1.3.6.1.3.7=endOfMibView", "5 1.5.1=NULL, 6 1.5.1=NULL"},
    {"row instance: GET error, then GET-NEXT", kGetNext, "1.5.1", kBefore, Reply{5, 1, List({{"1.5.1", Int(55)}})},
     Reply{0, 0, List({{"1.5.1", Int(7)}})}, 0, 0, "1.5.1=7", "5 1.5.1=NULL, 6 1.5.1=NULL"},
    {"row instance: from the instance on", kGetNext, "1.5.1", {"1.5.1"}, kSilence, Reply{0, 0, List({{"2", Int(1)}})},
     0, 0, "1.5.1=endOfMibView", "6 1.5.1=-1"},
    // Silence ends each call at the session's wait (1 s); a GET-NEXT then fails too: a walk must not end
    // early and look complete.
    {"GET unanswered", kGet, "1", kTwo, kSilence, kSilence, kGenErr, 0, "9=-1 1.1.0=-1", "5 1.1.0=-1"},
    {"GET-NEXT unanswered", kGetNext, "1", {"1.4"}, kSilence, kSilence, kGenErr, 0, "1.4=-1", "6 1.4=-1"},
    // clang-format on
};

TEST_F(MasterTest, ProxiesTurnCallsIntoRequestsAndAnswersIntoResults) {
  SubAgent agent(m_port);
  const unsigned id = agent.Holding("1");
  ASSERT_EQ(agent.Ask(RegisterPdu(SA_PDU_REGISTER, id, "1.5.1", std::pair{8u, 5u})), 0);
  unsigned tid = 0;
  for (const ProxyCase& c : kProxyCases) {
    SCOPED_TRACE(c.name);
    BSAMasterPeer::StopFailing(*m_master, id);
    BVarBindList list;
    for (const char* name : c.names) list.Append(Oid(name), Int(-1));
    BMibSubtreeHandler* handler = m_mib.Tree().FindSubtreeHandlerNode(Oid(c.proxy))->Handler();
    int index = 1;
    void* slot = nullptr;
    agent.received.clear();
    ++tid;
    const int status = agent.While(
        [&] {
          if (c.call == kGet) return handler->Get(tid, list, index, list.Count() - 1);
          if (c.call != kGetNext) {
            return handler->Set(tid, list, static_cast<ESnmpSetOpCode>(c.call), &slot, index, list.Count() - 1);
          }
          index = 0;
          return handler->GetNext(tid, list[0]);
        },
        [&](const BSAPdu& request) {
          const std::optional<Reply>& reply = request.type == SA_PDU_GET_NEXT ? c.toNext : c.toGet;
          if (reply) agent.Reply(request, reply->list, reply->status, reply->index);
        });
    EXPECT_EQ(std::make_pair(status, index), std::make_pair(c.status, c.index));
    EXPECT_EQ(Texts(list), c.result);
    std::string sent;
    for (BSAPdu pdu : agent.received) {
      EXPECT_EQ(std::make_pair(pdu.sessionId, pdu.transactionId), std::make_pair(id, tid));
      pdu.varBindList.Truncate(1);
      sent += (sent.empty() ? "" : ", ") + std::to_string(pdu.type) + " " + Texts(pdu.varBindList);
    }
    EXPECT_EQ(sent, c.requests);
  }
  EXPECT_EQ(Counter(SA_CNT_EXCHANGE_TIMEOUTS), 2u);
}

// Only a datagram from the session's own address and port with the request id sent is the answer: one from
// another port of the same host, a late answer to an earlier request and an undecodable one are dropped
// and counted, and the wait goes on to the real answer.
TEST_F(MasterTest, OnlyTheSessionsAddressWithTheRequestIdAnswers) {
  SubAgent agent(m_port), forger(m_port);
  const unsigned id = agent.Holding("1", /*timeout=*/2);
  const std::string got = agent.While([&] { return Get("1.1.0"); },
                                      [&](const BSAPdu& request) {
                                        BSAPdu forged(SA_PDU_RESPONSE, id, request.requestId);
                                        forged.varBindList = List({{"1.1.0", Int(666)}});
                                        forger.Send(Encoded(forged), agent.from);
                                        BSAPdu late(SA_PDU_RESPONSE, id, request.requestId - 1);
                                        late.varBindList = List({{"1.1.0", Int(13)}});
                                        agent.Send(Encoded(late), agent.from);
                                        agent.Send(FromHex("04 04 51 56 54 31 12 00 82 00"), agent.from);
                                        agent.Reply(request, List({{"1.1.0", Int(42)}}));
                                      });
  EXPECT_EQ(got, "0 1.1.0=42");
  EXPECT_EQ(std::make_tuple(Counter(SA_CNT_FOREIGN_ANSWERS), Counter(SA_CNT_STALE_ANSWERS), Counter(SA_CNT_MALFORMED)),
            std::make_tuple(1u, 1u, 1u));
}

// One sub-agent that never answers (announcing the longest processing time there is) costs only the
// requests for its own objects: each waits at most MaxWait; once one timed out the next fail at once; no
// more than MaxQueuedRequests wait for it; and the requests for a healthy sub-agent and for the master's
// own objects are answered meanwhile.
TEST_F(MasterTest, AHungSubAgentCostsOnlyItsOwnObjects) {
  Restart({{"MaxWait", "3"}, {"MaxQueuedRequests", "1"}});
  SubAgent hung(m_port), healthy(m_port);
  hung.Holding("1"), healthy.Holding("2");

  std::vector<std::future<std::string>> stuck;
  for (int i = 0; i < 3; ++i) stuck.push_back(std::async(std::launch::async, [&] { return Get("1.1.0"); }));
  BSAPdu first;
  ASSERT_TRUE(hung.Next(first, 3000));  // one request reaches it; one waits; one is refused at once
  ASSERT_TRUE(WaitUntil([&] { return Counter(SA_CNT_EXCHANGE_BUSY) == 1; }, 3000, 10));
  const std::string answered =
      Answering(healthy, [&] { return Get("2.1.0") + " " + Get("1.3.6.1.2.1.1.3.0"); }, "2.1.0", 7);
  EXPECT_EQ(answered.substr(0, 12), "0 2.1.0=7 0 ");
  int pending = 0;
  for (auto& f : stuck) pending += f.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
  EXPECT_EQ(pending, 2) << "answered while the hung sub-agent still held two requests";
  for (auto& f : stuck) EXPECT_EQ(f.get(), "5@1 1.1.0=NULL");
  EXPECT_EQ(Counter(SA_CNT_EXCHANGE_TIMEOUTS), 1u);  // the waiting one failed fast
  EXPECT_EQ(Get("1.1.0"), "5@1 1.1.0=NULL");
  EXPECT_EQ(Get("1", SNMP_REQ_GET_NEXT), "5@1 1=NULL");
  EXPECT_EQ(Counter(SA_CNT_EXCHANGE_FAILED_FAST), 3u);
  BSAPdu more;
  EXPECT_FALSE(hung.Next(more, 200));  // none of those was sent
}

// Three requests in a row without an answer close the session at the monitor's next run; an answer in
// between resets the count, anything else from the sub-agent's address does not.
TEST_F(MasterTest, SilentSubAgentIsClosedAfterThreeUnansweredRequestsInARow) {
  SubAgent agent(m_port);
  const unsigned id = agent.Holding("1");
  // 'n' no answer, 'g' an undecodable datagram only, 'a' the answer.
  const std::pair<char, int> plan[] = {{'n', 1}, {'n', 2}, {'a', 0}, {'n', 1}, {'g', 2}, {'n', 3}};
  for (const auto& [what, count] : plan) {
    SCOPED_TRACE(std::string(1, what) + std::to_string(count));
    BSAMasterPeer::StopFailing(*m_master, id);
    const std::string got = agent.While([&] { return Get("1.1.0"); },
                                        [&, what = what](const BSAPdu& request) {
                                          if (what == 'g')
                                            agent.Send(FromHex("04 04 51 56 54 31 12 00 82 00"), agent.from);
                                          if (what == 'a') agent.Reply(request, List({{"1.1.0", Int(1)}}));
                                        });
    EXPECT_EQ(got, what == 'a' ? "0 1.1.0=1" : "5@1 1.1.0=NULL");
    EXPECT_EQ(BSAMasterPeer::Record(*m_master, id)->m_timeoutCount.load(), count);
    m_master->CheckSessions();
    EXPECT_EQ(agent.Ask(BSAPdu(SA_PDU_PING, id, 0)), count < 3 ? 0 : SA_WIRE_NOT_OPEN);
  }
  EXPECT_TRUE(WaitUntil([&] { return m_master->RegistrationCount() == 0; }, 3000, 10));
  EXPECT_EQ(m_events->Log(), "+0 -0:silent/1 ");
}

// One SNMP read request waits MaxWait for sub-agents in all, however many of them it reaches (a GET-BULK
// over slow sub-agents would otherwise hold a request thread for minutes): after a slow answer from the
// first, the second gets what is left, and a time-out then is not held against it.
TEST_F(MasterTest, OneReadRequestWaitsMaxWaitInAll) {
  Restart({{"MaxWait", "2"}});
  SubAgent slow(m_port), silent(m_port);
  slow.Holding("1", /*timeout=*/2);
  const unsigned silentId = silent.Holding("2", /*timeout=*/2);
  EXPECT_EQ(slow.While([&] { return Get("1.1.0 2.1.0"); },
                       [&](const BSAPdu& r) {
                         std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                         slow.Reply(r, List({{"1.1.0", Int(1)}}));
                       }),
            "5@2 1.1.0=1 2.1.0=NULL");
  EXPECT_EQ(Counter(SA_CNT_EXCHANGE_OVER_BUDGET), 1u);
  EXPECT_EQ(Counter(SA_CNT_EXCHANGE_TIMEOUTS), 0u);
  EXPECT_EQ(BSAMasterPeer::Record(*m_master, silentId)->m_timeoutCount.load(), 0);
  // The next request has MaxWait of its own.
  EXPECT_EQ(Answering(silent, [&] { return Get("2.1.0"); }, "2.1.0", 4), "0 2.1.0=4");
}

// At most MaxWaitingRequests SNMP requests wait for sub-agents at once, all sessions together: beyond, a
// request for another sub-agent is refused at once instead of holding one more of the agent's threads.
TEST_F(MasterTest, RequestsWaitingForSubAgentsAreBoundedInAll) {
  Restart({{"MaxWaitingRequests", "1"}, {"MaxWait", "2"}});
  SubAgent hung(m_port), other(m_port);
  hung.Holding("1", /*timeout=*/2), other.Holding("2");
  auto waiting = std::async(std::launch::async, [&] { return Get("1.1.0"); });
  BSAPdu request;
  ASSERT_TRUE(hung.Next(request, 3000));
  EXPECT_EQ(Get("2.1.0"), "5@1 2.1.0=NULL");
  EXPECT_EQ(Counter(SA_CNT_EXCHANGE_BUSY), 1u);
  EXPECT_FALSE(other.Next(request, 100));
  EXPECT_EQ(waiting.get(), "5@1 1.1.0=NULL");
  EXPECT_EQ(Answering(other, [&] { return Get("2.1.0"); }, "2.1.0", 5), "0 2.1.0=5");
}

// Stop ends every wait for a sub-agent at once, whatever it announced and whatever MaxWait says.
TEST_F(MasterTest, StopEndsTheWaitsAtOnce) {
  Restart({{"MaxWait", "3599"}});
  SubAgent hung(m_port);
  hung.Holding("1", /*timeout=*/3599);
  auto get = std::async(std::launch::async, [&] { return Get("1.1.0"); });
  BSAPdu request;
  ASSERT_TRUE(hung.Next(request, 3000));
  m_master->Stop();
  ASSERT_EQ(get.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(get.get(), "5@1 1.1.0=NULL");
  EXPECT_EQ(Counter(SA_CNT_EXCHANGE_ABORTED), 1u);
  ASSERT_EQ(m_master->Start(), 0);  // and a started master asks the sub-agent again
  EXPECT_EQ(Answering(hung, [&] { return Get("1.1.0"); }, "1.1.0", 3), "0 1.1.0=3");
}

// Closing a session of a hundred thousand registrations goes in steps: queries of other objects are served
// between them (a close that held the MIB's lock throughout would let none through), and the close is
// answered once everything is gone.
TEST_F(MasterTest, ClosingABigSessionLetsQueriesThrough) {
  Restart({{"MaxRegistrations", "100000"}, {"MaxRangeInstances", "65536"}});
  SubAgent agent(m_port);
  const unsigned big = agent.Open();
  ASSERT_EQ(agent.Ask(RegisterPdu(SA_PDU_REGISTER, big, "1.0.1", std::pair{8u, 65535u}), nullptr, 30000), 0);
  ASSERT_EQ(agent.Ask(RegisterPdu(SA_PDU_REGISTER, big, "2.0.1", std::pair{8u, 34463u}), nullptr, 30000), 0);
  ASSERT_EQ(m_master->RegistrationCount(), 100000);
  std::atomic<bool> closing{false}, closed{false};
  std::atomic<int> servedWhileClosing{0};
  std::thread queries([&] {
    while (!closed) {
      const bool during = closing && m_master->RegistrationCount() > 0;
      if (Get("1.3.6.1.2.1.1.3.0").rfind("0 ", 0) == 0 && during && m_master->RegistrationCount() > 0) {
        ++servedWhileClosing;
      }
    }
  });
  closing = true;
  EXPECT_EQ(agent.Ask(BSAPdu(SA_PDU_CLOSE_SESSION, big, 0), nullptr, 30000), 0);
  closed = true;
  queries.join();
  EXPECT_EQ(m_master->RegistrationCount(), 0);
  EXPECT_EQ(m_mib.Mib2System().GetNumORRows(), 0);
  EXPECT_GT(servedWhileClosing.load(), 2);
}

}  // namespace
}  // namespace QVT::test
