// The master's inbound path and session table over loopback UDP: session
// ids and time-outs, ping and close, the dispatch of every PDU type, bad
// datagrams, the time-out count with the session monitor, and the matching
// of answers by request id.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "BMemoryStore.h"
#include "BSAFrame.h"
#include "BSASession.h"
#include "MasterTestSupport.h"
#include "TestSupport.h"

namespace QVT::test {
namespace {

using SessionTest = MasterTest;

TEST_F(SessionTest, FirstSessionOfTheProcessGetsId2AndTheNext3) {
  if (BSASession::s_session_counter.load() != 1) GTEST_SKIP() << "needs a process of its own (as under ctest)";
  ScriptedSubAgent a(m_port);
  ScriptedSubAgent b(m_port);
  EXPECT_EQ(a.Open("a"), 0);
  EXPECT_EQ(b.Open("b"), 0);
  EXPECT_EQ(a.SessionId(), 2u);
  EXPECT_EQ(b.SessionId(), 3u);
  EXPECT_TRUE(m_trace.WaitFor("OpenSession succeeded ID=3"));
  // A second master of the process goes on with the same sequence.
  BMibHandler mib;
  BSAMaster second(&mib, &m_clock);
  BSAPdu open = OpenPdu("c", std::nullopt);
  BSAPdu response(SA_PDU_RESPONSE);
  EXPECT_EQ(second.OpenSession(open, response), 0);
  EXPECT_EQ(response.sessionId, 4u);
}

TEST_F(SessionTest, TimeoutComesFromTheSecondVarbindOrIsTwoSeconds) {
  const struct {
    std::optional<int> sent;
    int expected;
  } rows[] = {{std::nullopt, 2}, {1, 1}, {30, 30}, {3599, 3599}, {0, 2}, {3600, 2}, {-5, 2}};
  for (const auto& row : rows) {
    ScriptedSubAgent agent(m_port);
    ASSERT_EQ(agent.Open("sub agent \x01", row.sent), 0);
    BSASession* session = m_master->FindSession(static_cast<int>(agent.SessionId()));
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->m_timeout, row.expected) << (row.sent ? *row.sent : -1);
    EXPECT_EQ(session->m_timeoutCount, 0);
    EXPECT_EQ(session->m_description.str(), BOctetString("sub agent \x01").ToDispStr().str());
  }
}

TEST_F(SessionTest, PingAndCloseAnswerNotOpenForUnknownSessions) {
  auto agent = NewSubAgent();
  const unsigned id = agent->SessionId();
  EXPECT_EQ(agent->Ping(id), 0);
  EXPECT_EQ(agent->Ping(id + 100), SA_WIRE_NOT_OPEN);
  EXPECT_EQ(agent->Ask(BSAPdu(SA_PDU_CLOSE_SESSION, 12345, 0)), SA_WIRE_NOT_OPEN);
  EXPECT_EQ(agent->Ask(BSAPdu(SA_PDU_CLOSE_SESSION, id, 0)), 0);
  EXPECT_EQ(agent->Ping(id), SA_WIRE_NOT_OPEN);
  EXPECT_EQ(agent->Ask(BSAPdu(SA_PDU_CLOSE_SESSION, id, 0)), SA_WIRE_NOT_OPEN);
  EXPECT_EQ(BSAMasterPeer::SessionCount(*m_master), 0);
  EXPECT_EQ(m_trace.Count("Ping   sessionid= " + std::to_string(id)), 2);
  EXPECT_EQ(m_trace.Count("CloseSession 12345"), 1);
}

TEST_F(SessionTest, EveryPduTypeIsAnsweredOnceWithTheRequestIdsAndTheClock) {
  // Session 99 does not exist and the requests carry no varbinds.
  const int unsupported = SA_WIRE_PROCESSING_ERROR;
  const int expected[20] = {unsupported,      unsupported /* open without description */,
                            SA_WIRE_NOT_OPEN, SA_WIRE_NOT_OPEN,
                            SA_WIRE_NOT_OPEN, unsupported,
                            unsupported,      unsupported,
                            unsupported,      unsupported,
                            unsupported,      unsupported,
                            SA_WIRE_NOT_OPEN, SA_WIRE_NOT_OPEN,
                            SA_WIRE_NOT_OPEN, SA_WIRE_NOT_OPEN,
                            unsupported,      unsupported,
                            unsupported,      unsupported};
  ScriptedSubAgent agent(m_port);
  int wrongType = 0;
  for (int type = 0; type < 20; ++type) {
    BSAPdu request(static_cast<ESAPduType>(type), 99, 0x1000 + static_cast<unsigned>(type));
    request.transactionId = 77;
    request.flags = 4;
    BSAPdu answer;
    EXPECT_EQ(agent.Ask(request, &answer), expected[type]) << "type " << type;
    EXPECT_EQ(answer.type, SA_PDU_RESPONSE);
    EXPECT_EQ(answer.sessionId, 99u);
    EXPECT_EQ(answer.requestId, 0x1000u + static_cast<unsigned>(type));
    EXPECT_EQ(answer.transactionId, 0u);
    EXPECT_EQ(answer.flags, 0);
    EXPECT_EQ(answer.sysUpTime, kUpTime);
    EXPECT_EQ(answer.errorIndex, 0);
    EXPECT_EQ(answer.varBindList.Count(), 0);
    if (type == 0 || (type >= 5 && type <= 11) || type >= 16) ++wrongType;
  }
  EXPECT_EQ(m_trace.Count("ProcessRcvdData wrong pdu type"), wrongType);
  // Nothing else came: every request got exactly one answer.
  BSAPdu extra;
  EXPECT_FALSE(agent.NextDatagram(extra, 300));
}

TEST_F(SessionTest, BadDatagramsGetNoAnswerAndTheMasterGoesOn) {
  const struct {
    const char* hex;
    const char* trace;  // decoder status traced, or null: not even decoded
  } rows[] = {
      {"04 04 51 56 54 31 0D 00 82", nullptr},                       // 9 octets
      {"04 04 51 56 54 31 0D 00 82 00", "DECODING ERR = 800c000b"},  // 10 octets, cut in the length
      {"04 04 51 56 54 32 0D 00 82 00 0D 02 01 63 02 01 00 02 01 02 30 82 00 00", "DECODING ERR = ffffffff"},
      {"30 04 51 56 54 31 0D 00 82 00 0D 02 01 63 02 01 00 02 01 02 30 82 00 00", "DECODING ERR = 800c0010"},
  };
  // A ping of session 99 (request id 0x777) right behind each bad datagram:
  // the worker takes one datagram after the other, so the first answer that
  // comes must be the ping's.
  const std::vector<unsigned char> ping =
      FromHex("04 04 51 56 54 31 0D 00 82 00 0E 02 01 63 02 01 00 02 02 07 77 30 82 00 00");
  ScriptedSubAgent agent(m_port);
  for (const auto& row : rows) {
    m_trace.Clear();
    agent.SendRaw(FromHex(row.hex));
    agent.SendRaw(ping);
    BSAPdu first;
    ASSERT_TRUE(agent.NextDatagram(first, 3000)) << row.hex;
    EXPECT_EQ(first.requestId, 0x777u) << row.hex;
    EXPECT_EQ(first.errorStatus, SA_WIRE_NOT_OPEN) << row.hex;
    EXPECT_EQ(m_trace.Count("ReceiveAndProcessData FROM, 127.0.0.1:"), 2) << row.hex;
    EXPECT_EQ(m_trace.Count("DECODING ERR"), row.trace != nullptr ? 1 : 0) << row.hex;
    if (row.trace != nullptr) {
      EXPECT_EQ(m_trace.Count(row.trace), 1) << row.hex;
    }
  }
  auto fresh = NewSubAgent();
  EXPECT_EQ(fresh->Ping(fresh->SessionId()), 0);
}

TEST_F(SessionTest, MonitorClosesEverySessionPastTwoTimeoutsInARow) {
  const int counts[] = {3, 2, 0, 7, 1};
  std::vector<std::unique_ptr<ScriptedSubAgent>> agents;
  for (const int count : counts) {
    agents.push_back(NewSubAgent());
    const std::string oid = "1.3.6.1.3.7." + std::to_string(agents.size());
    ASSERT_EQ(agents.back()->Register(oid.c_str()), 0);
    m_master->FindSession(static_cast<int>(agents.back()->SessionId()))->m_timeoutCount = count;
  }
  BSAMasterPeer::CheckSessions(*m_master);
  for (size_t i = 0; i < agents.size(); ++i) {
    EXPECT_EQ(agents[i]->Ping(agents[i]->SessionId()), counts[i] > 2 ? SA_WIRE_NOT_OPEN : 0) << counts[i];
  }
  EXPECT_EQ(SysORRows(),
            (std::vector<std::string>{"1.3.6.1.3.7.2=scripted", "1.3.6.1.3.7.3=scripted", "1.3.6.1.3.7.5=scripted"}));
}

TEST_F(SessionTest, AStoppedMasterReadsNothingUntilStartedAgain) {
  auto agent = NewSubAgent();
  m_master->Stop();
  BSAPdu ping(SA_PDU_PING, agent->SessionId(), 0x779);
  BSABuffer buffer;
  ASSERT_EQ(Encode(buffer, ping), 0);
  agent->SendRaw(std::vector<unsigned char>(buffer.Data(), buffer.Data() + buffer.Length()));
  BSAPdu answer;
  EXPECT_FALSE(agent->NextDatagram(answer, 500));
  ASSERT_EQ(m_master->Start(), 0);
  ASSERT_TRUE(agent->NextDatagram(answer, 3000));
  EXPECT_EQ(answer.requestId, 0x779u);
  EXPECT_EQ(answer.errorStatus, 0);
}

// --- outbound exchange: time-outs, the monitor, request ids ---

// A sub-agent whose answers follow a plan, one step per request the master
// sends: 'n' no answer, 'a' answer, 'g' an undecodable datagram only,
// 'l' the answer to the previous request first, then its own,
// 'o' the answer from another socket.
class ExchangeTest : public MasterTest {
 protected:
  void Start(const std::string& plan) {
    m_agent = NewSubAgent(/*timeout=*/1);
    m_session = m_master->FindSession(static_cast<int>(m_agent->SessionId()));
    ASSERT_NE(m_session, nullptr);
    ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1"), 0);
    m_agent->Serve(
        [plan, step = size_t{0}, previous = BSAPdu()](const BSAPdu& request, ScriptedSubAgent::Replier& reply) mutable {
          const char what = step < plan.size() ? plan[step] : 'a';
          ++step;
          BVarBindList values = request.varBindList;
          for (BVarBind& vb : values) vb.value = Int(static_cast<int>(request.requestId));
          if (what == 'g') reply.SendRaw(FromHex("04 04 51 56 54 31 12 00 82 00"));
          if (what == 'l') {
            BVarBindList stale = values;
            for (BVarBind& vb : stale) vb.value = Int(-1);
            reply.Send(AnswerTo(previous, stale));
          }
          if (what == 'a' || what == 'l') reply.Send(AnswerTo(request, values));
          if (what == 'o') reply.SendFromOther(AnswerTo(request, values));
          previous = request;
        });
  }
  // One GET through the MIB handler: its status and the value it got.
  int Get(int* value = nullptr) {
    BVarBindList list;
    int errorIndex = 0;
    const int status = Query(SNMP_REQ_GET, {"1.3.6.1.3.7.1.1.0"}, list, errorIndex);
    if (value != nullptr) *value = list[0].value.GetInt();
    return status;
  }

  std::unique_ptr<ScriptedSubAgent> m_agent;
  BSASession* m_session = nullptr;
};

TEST_F(ExchangeTest, ThreeTimeoutsInARowCloseTheSessionAtTheNextCheck) {
  Start("nngannn");
  const int counts[] = {1, 2, 1, 0, 1, 2};
  for (const int expected : counts) {
    Get();
    EXPECT_EQ(m_session->m_timeoutCount, expected);
    // A ping touches no session field.
    EXPECT_EQ(m_agent->Ping(m_agent->SessionId()), 0);
    BSAMasterPeer::CheckSessions(*m_master);
    ASSERT_EQ(m_agent->Ping(m_agent->SessionId()), 0) << "closed too early";
  }
  EXPECT_EQ(Get(), SNMP_ERR_GENERR);
  EXPECT_EQ(m_session->m_timeoutCount, 3);
  EXPECT_EQ(SysORRows().size(), 1u);
  BSAMasterPeer::CheckSessions(*m_master);
  EXPECT_EQ(m_agent->Ping(m_agent->SessionId()), SA_WIRE_NOT_OPEN);
  EXPECT_EQ(BSAMasterPeer::HandlerCount(*m_master), 0);
  EXPECT_TRUE(SysORRows().empty());
  BVarBindList list;
  int errorIndex = 0;
  EXPECT_EQ(Query(SNMP_REQ_GET, {"1.3.6.1.3.7.1.1.0"}, list, errorIndex), 0);
  EXPECT_EQ(Texts(list), std::vector<std::string>{"1.3.6.1.3.7.1.1.0=noSuchObject"});
}

TEST_F(ExchangeTest, LateAnswerToAnEarlierRequestIsSkipped) {
  Start("nl");
  EXPECT_EQ(Get(), SNMP_ERR_GENERR);
  int value = 0;
  EXPECT_EQ(Get(&value), 0);
  const std::vector<BSAPdu> received = m_agent->Received();
  ASSERT_EQ(received.size(), 2u);
  EXPECT_EQ(value, static_cast<int>(received[1].requestId));
  EXPECT_NE(received[0].requestId, received[1].requestId);
  EXPECT_EQ(m_trace.Count("RecvFrom !(aFrom == target.address)"), 0);
}

TEST_F(ExchangeTest, AnswerFromAnotherAddressIsTakenAndTraced) {
  Start("oa");
  int value = 0;
  EXPECT_EQ(Get(&value), 0);
  const std::vector<BSAPdu> received = m_agent->Received();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(value, static_cast<int>(received[0].requestId));
  EXPECT_EQ(m_trace.Count(" SendAndRecvPdu RecvFrom !(aFrom == target.address)"), 1);
  EXPECT_EQ(m_trace.Count("sessId=" + std::to_string(m_agent->SessionId()) +
                          ", rqId=" + std::to_string(received[0].requestId) + ", addr=127.0.0.1:"),
            1);
  EXPECT_EQ(Get(), 0);
  EXPECT_EQ(m_trace.Count("RecvFrom !(aFrom == target.address)"), 1);
}

TEST_F(ExchangeTest, MonitorThreadClosesASilentSessionOnItsOwn) {
  m_master->Stop();
  BSAMasterPeer::SetMonitorInterval(*m_master, /*ms=*/50);
  ASSERT_EQ(m_master->Start(), 0);
  Start("nnn");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Get(), SNMP_ERR_GENERR);
  // The monitor runs every 50 ms; give it up to 3 s.
  int status = 0;
  for (int i = 0; i < 60 && status != SA_WIRE_NOT_OPEN; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    status = m_agent->Ping(m_agent->SessionId());
  }
  EXPECT_EQ(status, SA_WIRE_NOT_OPEN);
  EXPECT_TRUE(SysORRows().empty());
}

TEST(MasterConfigTest, PortFromTheStore) {
  const struct {
    const char* stored;  // null: key absent
    int result;
    unsigned short port;
  } rows[] = {{nullptr, NV_ERR_NOT_FOUND, 10001},
              {"x", NV_ERR_BAD_VALUE, 10001},
              {"1", 0, 10001},
              {"2", 0, 2},
              {"65534", 0, 65534},
              {"65535", 0, 10001},
              {"-5", 0, 10001},
              {"70000", 0, 10001}};
  for (const auto& row : rows) {
    BMibHandler mib;
    BSAMaster master(&mib, nullptr);
    BMemoryStore store;
    if (row.stored != nullptr) store.SetString("SAMaster", "Port", row.stored, 0, 0);
    TraceRecorder trace;
    EXPECT_EQ(master.InitFromNV(&store), row.result) << (row.stored ? row.stored : "absent");
    EXPECT_EQ(master.Port(), row.port) << (row.stored ? row.stored : "absent");
    EXPECT_EQ(trace.Count("Init  Port=" + std::to_string(row.port)), row.result == 0 ? 1 : 0);
  }
}

TEST(MasterConfigTest, StartNeedsInitAndSaveWritesThePort) {
  BMibHandler mib;
  BSAMaster master(&mib, nullptr);
  EXPECT_EQ(master.Start(), -1);
  EXPECT_EQ(master.SaveToNV(nullptr), 0);
  BMemoryStore store;
  EXPECT_EQ(master.SaveToNV(&store), 0);
  int port = 0;
  EXPECT_EQ(store.GetInt("SAMaster", "Port", &port, 0), 0);
  EXPECT_EQ(port, 10001);
  EXPECT_EQ(master.InitFromNV(nullptr), 0);
  EXPECT_EQ(master.Stop(), 0);
}

TEST(RequestIdTest, IdsRunFrom1To0x3FFFFFFFAndWrapTo1) {
  BMibHandler mib;
  BSAMaster master(&mib, nullptr);
  EXPECT_EQ(master.GetNewRequestId(), 1u);
  EXPECT_EQ(master.GetNewRequestId(), 2u);
  BSAMasterPeer::SetLastRequestId(master, 0x3FFFFFFE);
  EXPECT_EQ(master.GetNewRequestId(), 0x3FFFFFFFu);
  EXPECT_EQ(master.GetNewRequestId(), 1u);
}

}  // namespace
}  // namespace QVT::test
