// The sub-agent's session with a scripted master: the openSession request
// and its answers, close, ping and the ping thread's hooks, and how one
// request/response exchange picks its answer out of whatever arrives on the
// request socket.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <thread>

#include "SubAgentTestSupport.h"

namespace QVT::test {
namespace {

using Script = ScriptedMaster::Script;

// Answers requests of type `type` with `datagrams`, all others as usual.
Script ForType(int type, std::function<std::vector<Datagram>(const BSAPdu&)> datagrams) {
  return [type, datagrams](const BSAPdu& request) {
    return request.type == type ? datagrams(request) : ScriptedMaster::AnswerAll(request);
  };
}

Script Refuse(int type, int status) {
  return ForType(type, [status](const BSAPdu& request) { return std::vector<Datagram>{Answer(request, status)}; });
}

Script Silent(int type) {
  return ForType(type, [](const BSAPdu&) { return std::vector<Datagram>{}; });
}

TEST_F(SubAgentTest, OpenSessionAnnouncesTheProcessingTimeOnlyFrom1To3599) {
  struct Row {
    int maxProcTime;
    const char* description;
    std::vector<std::string> varbinds;
  };
  const Row rows[] = {
      {1, "sub-agent A", {"2.18.2=STRING: \"sub-agent A\"", "2.18.9=INTEGER: 1"}},
      {0, "x", {"2.18.2=STRING: \"x\"", "2.18.9=INTEGER: 1"}},  // read as 0, used as 1
      {3599, "", {"2.18.2=\"\"", "2.18.9=INTEGER: 3599"}},
      {3600, "x", {"2.18.2=STRING: \"x\""}},
      {100000, "x", {"2.18.2=STRING: \"x\""}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.maxProcTime);
    m_store.SetInt("SubAgent", "MaxProcTime", row.maxProcTime, 0, 0, 0);
    InitSubAgent();
    ASSERT_EQ(m_subAgent->OpenSession(row.description), 0);
    const BSAPdu open = m_master.Received().back();
    EXPECT_EQ(open.type, SA_PDU_OPEN_SESSION);
    EXPECT_EQ(open.sessionId, 0u);
    EXPECT_EQ(Texts(open.varBindList), row.varbinds);
    EXPECT_EQ(m_subAgent->SessionId(), ScriptedMaster::kSessionId);
  }
}

TEST_F(SubAgentTest, EveryOpenComesFromAFreshResponderPortAndTheResponderFollows) {
  OpenSubAgent();
  m_subAgent->Start();
  ASSERT_EQ(m_subAgent->CloseSession(), 0);
  ASSERT_EQ(m_subAgent->OpenSession("again"), 0);
  ASSERT_EQ(m_subAgent->CloseSession(), 0);
  ASSERT_EQ(m_subAgent->OpenSession("third"), 0);

  std::set<unsigned short> openPorts;
  const std::vector<BSAPdu> received = m_master.Received();
  const std::vector<unsigned short> ports = m_master.SourcePorts();
  for (size_t i = 0; i < received.size(); ++i) {
    if (received[i].type == SA_PDU_OPEN_SESSION) {
      openPorts.insert(ports[i]);
    } else {
      EXPECT_EQ(ports[i], BSASubAgentPeer::RequestPort(*m_subAgent));  // close: the request socket
    }
  }
  EXPECT_EQ(openPorts.size(), 3u);
  EXPECT_EQ(openPorts.count(BSASubAgentPeer::RequestPort(*m_subAgent)), 0u);
  // The running command responder reads the socket of the latest open.
  BSAPdu get(SA_PDU_GET, ScriptedMaster::kSessionId, 0x4711);
  get.varBindList = Names({"1.3.6.1.2.1.1.3.0"});
  const std::optional<BSAPdu> answer = m_master.Exchange(get);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->errorStatus, 0);
}

TEST_F(SubAgentTest, OpenSessionOutcomes) {
  struct Row {
    const char* name;
    Script script;
    int result;
    unsigned session;
  };
  const Row rows[] = {
      {"refused",
       ForType(SA_PDU_OPEN_SESSION,
               [](const BSAPdu& request) {
                 BSAPdu refusal(SA_PDU_RESPONSE, 0x99, request.requestId);  // a session id all the same
                 refusal.errorStatus = SA_WIRE_OPEN_FAILED;
                 return std::vector<Datagram>{{Encoded(refusal)}};
               }),
       SA_WIRE_OPEN_FAILED, 0},
      {"no answer", Silent(SA_PDU_OPEN_SESSION), SA_ERR_TIMEOUT, 0},
      {"undecodable answer",
       ForType(SA_PDU_OPEN_SESSION,
               [](const BSAPdu&) {
                 return std::vector<Datagram>{{{0x04, 0x04, 'Q', 'V', 'T', '2', 0x12, 0}}};
               }),
       SA_ERR_BAD_MAGIC, 0},
      {"other request id",
       ForType(SA_PDU_OPEN_SESSION,
               [](const BSAPdu& request) {
                 return std::vector<Datagram>{{Encoded(BSAPdu(SA_PDU_RESPONSE, 0x99, request.requestId + 5))}};
               }),
       0, 0x99},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    m_master.SetScript(row.script);
    InitSubAgent();
    EXPECT_EQ(m_subAgent->OpenSession("x"), row.result);
    EXPECT_EQ(m_subAgent->SessionId(), row.session);
  }
}

TEST_F(SubAgentTest, SessionStaysOpenUntilTheMasterAcceptsAClose) {
  OpenSubAgent();
  size_t sent = m_master.Received().size();
  EXPECT_EQ(m_subAgent->OpenSession("again"), SA_ERR_ALREADY_OPEN);

  m_master.SetScript(
      [](const BSAPdu& request) { return std::vector<Datagram>{Answer(request, SA_WIRE_NOT_OPEN, {}, 55)}; });
  int upTime = 99;
  EXPECT_EQ(m_subAgent->Ping(upTime), SA_WIRE_NOT_OPEN);
  EXPECT_EQ(upTime, 0);
  EXPECT_EQ(m_subAgent->CloseSession(), SA_WIRE_NOT_OPEN);
  EXPECT_EQ(m_subAgent->SessionId(), ScriptedMaster::kSessionId);
  EXPECT_EQ(m_subAgent->OpenSession("again"), SA_ERR_ALREADY_OPEN);
  EXPECT_EQ(m_master.Received().size(), sent + 2);  // ping and close; no open

  m_master.SetScript(Silent(SA_PDU_CLOSE_SESSION));
  EXPECT_EQ(m_subAgent->CloseSession(), SA_ERR_TIMEOUT);
  EXPECT_EQ(m_subAgent->SessionId(), ScriptedMaster::kSessionId);

  m_master.SetScript(ScriptedMaster::AnswerAll);
  EXPECT_EQ(m_subAgent->CloseSession(), 0);
  EXPECT_EQ(m_subAgent->SessionId(), 0u);
  const BSAPdu close = m_master.Received().back();
  EXPECT_EQ(close.type, SA_PDU_CLOSE_SESSION);
  EXPECT_EQ(close.sessionId, ScriptedMaster::kSessionId);
  EXPECT_TRUE(close.varBindList.IsEmpty());
  sent = m_master.Received().size();
  EXPECT_EQ(m_subAgent->CloseSession(), SA_WIRE_NOT_OPEN);
  EXPECT_FALSE(m_master.WaitForRequests(sent + 1, /*ms=*/200));
}

TEST_F(SubAgentTest, PingCarriesTheSessionIdAndReturnsTheMastersUpTime) {
  InitSubAgent();
  int upTime = 0;
  EXPECT_EQ(m_subAgent->Ping(upTime), 0);
  EXPECT_EQ(upTime, static_cast<int>(ScriptedMaster::kUpTime));
  ASSERT_EQ(m_subAgent->OpenSession("x"), 0);
  EXPECT_EQ(m_subAgent->Ping(upTime), 0);
  const std::vector<BSAPdu> received = m_master.Received();
  ASSERT_EQ(received.size(), 3u);
  for (const size_t i : {0u, 2u}) EXPECT_EQ(received[i].type, SA_PDU_PING);
  EXPECT_EQ(received[0].sessionId, 0u);
  EXPECT_EQ(received[2].sessionId, ScriptedMaster::kSessionId);
  EXPECT_TRUE(received[2].varBindList.IsEmpty());

  m_master.SetScript(Silent(SA_PDU_PING));
  upTime = 99;
  EXPECT_EQ(m_subAgent->Ping(upTime), SA_ERR_TIMEOUT);
  EXPECT_EQ(upTime, 0);
}

// The ping thread reports each ping through the hooks; ten times the ping
// interval is the value of a time-out.
TEST_F(SubAgentTest, PingThreadReportsThroughTheHooks) {
  struct Row {
    const char* name;
    Script script;
    const char* hook;
  };
  const Row rows[] = {
      {"answered", ScriptedMaster::AnswerAll, "response 4242"},
      {"notOpen", Refuse(SA_PDU_PING, SA_WIRE_NOT_OPEN), "response 0"},
      {"other refusal", Refuse(SA_PDU_PING, SA_WIRE_PROCESSING_ERROR), "timeout 20"},
      {"no answer", Silent(SA_PDU_PING), "timeout 20"},
  };
  m_store.SetInt("SubAgent", "PingInterval", 2, 0, 0, 0);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    m_master.SetScript(row.script);
    OpenSubAgent();
    m_subAgent->Start();
    const std::vector<std::string> hooks = m_subAgent->WaitForHooks(1, /*ms=*/3000);
    m_subAgent->Stop();
    ASSERT_FALSE(hooks.empty());
    EXPECT_EQ(hooks[0], row.hook);
    EXPECT_EQ(m_subAgent->SessionId(), ScriptedMaster::kSessionId);
  }
}

TEST_F(SubAgentTest, ExchangeSkipsStrayUndecodableAndShortDatagrams) {
  InitSubAgent();
  m_master.SetScript(ForType(SA_PDU_PING, [](const BSAPdu& request) {
    BSAPdu stray = request;
    stray.requestId = request.requestId + 1;
    return std::vector<Datagram>{Answer(stray, 0, {}, 1),
                                 {std::vector<unsigned char>(16, 0xAB)},
                                 {std::vector<unsigned char>(3, 0x04)},
                                 Answer(request, 0, {}, 4242)};
  }));
  int upTime = 0;
  EXPECT_EQ(m_subAgent->Ping(upTime), 0);
  EXPECT_EQ(upTime, 4242);
}

TEST_F(SubAgentTest, LateAnswerToATimedOutRequestIsDropped) {
  InitSubAgent();
  auto earlier = std::make_shared<BSAPdu>();
  m_master.SetScript(ForType(SA_PDU_PING, [earlier](const BSAPdu& request) {
    if (earlier->requestId == 0) {
      *earlier = request;
      return std::vector<Datagram>{};
    }
    return std::vector<Datagram>{Answer(*earlier, 0, {}, 1), Answer(request, 0, {}, 2)};
  }));
  int upTime = 0;
  EXPECT_EQ(m_subAgent->Ping(upTime), SA_ERR_TIMEOUT);
  EXPECT_EQ(m_subAgent->Ping(upTime), 0);
  EXPECT_EQ(upTime, 2);
}

TEST_F(SubAgentTest, AnswerFromAThirdAddressIsAccepted) {
  InitSubAgent();
  m_master.SetScript(ForType(SA_PDU_PING, [](const BSAPdu& request) {
    Datagram answer = Answer(request, 0, {}, 77);
    answer.fromOtherSocket = true;
    return std::vector<Datagram>{answer};
  }));
  int upTime = 0;
  EXPECT_EQ(m_subAgent->Ping(upTime), 0);
  EXPECT_EQ(upTime, 77);
}

// Exchanges started on several threads at once go out one at a time, each
// with an id of its own, and each gets its own answer.
TEST_F(SubAgentTest, ConcurrentExchangesEachGetTheirOwnAnswer) {
  OpenSubAgent();
  constexpr int kRounds = 20;
  std::atomic<int> failures{0};
  std::thread pinger([&] {
    for (int i = 0; i < kRounds; ++i) {
      int upTime = 0;
      if (m_subAgent->Ping(upTime) != 0 || upTime != static_cast<int>(ScriptedMaster::kUpTime)) ++failures;
    }
  });
  std::thread notifier([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (m_subAgent->Notify(BNotification(BObjectIdentifier("1.3.6.1.4.1.99.0.1"))) != 0) ++failures;
    }
  });
  pinger.join();
  notifier.join();
  EXPECT_EQ(failures.load(), 0);
  std::set<unsigned> ids;
  for (const BSAPdu& request : m_master.Received()) ids.insert(request.requestId);
  EXPECT_EQ(ids.size(), 2u * kRounds + 1);
}

}  // namespace
}  // namespace QVT::test
