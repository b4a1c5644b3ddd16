// BSAMaster over loopback UDP and through its handlers: sessions, dispatch, the time-out
// rule and answer matching, registration, the proxies, the port and request ids.
#include <cstdio>
#include <map>
#include <sstream>

#include "MasterTestSupport.h"
#include "TestSupport.h"

namespace QVT::test {
namespace {

TEST_F(MasterTest, SessionsGetIdsFrom2OnAndTheTimeoutOfTheSecondVarbindWhenSane) {
  if (BSASession::s_session_counter.load() != 1) GTEST_SKIP() << "needs a process of its own (as under ctest)";
  SubAgent agent(m_port);
  EXPECT_EQ(agent.Open(), 2u);
  const std::pair<std::optional<int>, int> rows[] = {{std::nullopt, 2}, {1, 1}, {30, 30}, {3599, 3599}, {0, 2},
                                                     {3600, 2},         {-5, 2}};
  for (const auto& [sent, expected] : rows) {
    BSAPdu response;
    ASSERT_EQ(agent.Ask(OpenPdu(sent, "sub agent \x01"), &response), 0);
    const BSASession* session = m_master->FindSession(static_cast<int>(response.sessionId));
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(session->m_timeout, expected) << sent.value_or(-1);
    EXPECT_EQ(session->m_description.str(), BOctetString("sub agent \x01").ToDispStr().str());
  }
  BMibHandler mib;  // a second master goes on with the same sequence
  BSAMaster second(&mib, &m_clock);
  EXPECT_EQ(Open(second), 10u);
}

TEST_F(MasterTest, EveryDecodedRequestGetsOneAnswerWithItsIdsAndTheClock) {
  // Types 0..19 from session 99 (not open), without varbinds: N notOpen, P processingError (types the
  // master does not serve, and an open request without the sub-agent's description).
  const std::string answers = "PPNNNPPPPPPPNNNNPPPP";
  SubAgent agent(m_port);
  BSAPdu answer;
  for (unsigned type = 0; type < answers.size(); ++type) {
    BSAPdu request(static_cast<ESAPduType>(type), 99, 0x1000 + type);
    request.transactionId = 77;
    request.flags = 4;
    EXPECT_EQ(agent.Ask(request, &answer), answers[type] == 'N' ? SA_WIRE_NOT_OPEN : SA_WIRE_PROCESSING_ERROR) << type;
    EXPECT_EQ(std::make_tuple(int{answer.type}, answer.sessionId, answer.requestId, answer.transactionId,
                              int{answer.flags}, answer.sysUpTime, answer.errorIndex, answer.varBindList.Count()),
              std::make_tuple(int{SA_PDU_RESPONSE}, 99u, 0x1000 + type, 0u, 0, kUpTime, 0, 0))
        << type;
  }
  EXPECT_FALSE(agent.Next(answer, 300));
  BSAPdu index(SA_PDU_INDEX_ALLOCATE, agent.Open(), 0);  // allocated, then released twice
  index.varBindList.Append(Oid("9"), Value("i4"));
  EXPECT_EQ(agent.Ask(index), 0);
  index.type = SA_PDU_INDEX_DEALLOCATE;
  EXPECT_EQ(agent.Ask(index) + agent.Ask(index), SA_WIRE_INDEX_NOT_ALLOCATED);
}

TEST_F(MasterTest, BadDatagramsAndAStoppedMasterGetNoAnswer) {
  // 9 octets, 10 cut short, a wrong magic, a wrong tag; each followed by a ping that must be answered first.
  const char* const datagrams[] = {"04 04 51 56 54 31 0D 00 82", "04 04 51 56 54 31 0D 00 82 00",
                                   "04 04 51 56 54 32 0D 00 82 00 0D 02 01 63 02 01 00 02 01 02 30 82 00 00",
                                   "30 04 51 56 54 31 0D 00 82 00 0D 02 01 63 02 01 00 02 01 02 30 82 00 00"};
  SubAgent agent(m_port);
  BSAPdu answer;
  for (const char* hex : datagrams) {
    agent.Send(FromHex(hex), agent.master);
    agent.Send(Bytes(BSAPdu(SA_PDU_PING, 99, 0x777)), agent.master);
    ASSERT_TRUE(agent.Next(answer, 3000));
    EXPECT_EQ(answer.requestId, 0x777u) << hex;
  }
  EXPECT_EQ(m_trace.Count("DECODING ERR = "), 3);  // the 9 octets are not decoded
  m_master->Stop();
  agent.Send(Bytes(BSAPdu(SA_PDU_PING, 99, 0x779)), agent.master);
  EXPECT_FALSE(agent.Next(answer, 500));
  ASSERT_EQ(m_master->Start(), 0);
  ASSERT_TRUE(agent.Next(answer, 3000));
  EXPECT_EQ(answer.requestId, 0x779u);
}

TEST_F(MasterTest, CheckSessionsClosesTheSessionsPastTwoTimeoutsInARow) {
  m_master->Stop();  // direct calls use what the worker uses
  const int counts[] = {3, 2, 0, 7, 1};
  std::vector<unsigned> ids;
  for (const int count : counts) {
    ids.push_back(Open(*m_master));
    const std::string oid = "1.3.6.1.3.7." + std::to_string(ids.size());
    ASSERT_EQ(Reg(ids.back(), oid.c_str()) + Reg(ids.back(), (oid + ".1").c_str()), 0);
    m_master->FindSession(static_cast<int>(ids.back()))->m_timeoutCount = count;
  }
  m_master->CheckSessions();
  for (size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(m_master->FindSession(static_cast<int>(ids[i])) != nullptr, counts[i] <= 2) << counts[i];
  }
  EXPECT_EQ(m_mib.unregistered, "4.1 4 1.1 1 ");  // sessions and their subtrees, the last first
  EXPECT_EQ(BSAMasterPeer::Registry(*m_master), "2/47 2.1/47 3/47 3.1/47 5/47 5.1/47");
}

TEST_F(MasterTest, SilentSubAgentIsClosedAndAnswersMatchByRequestId) {
  // GETs answered by plan: 'n' not at all, 'g' by an undecodable datagram only, 'l' by the answer to the
  // request before, then its own, 'o' from another address, 'a' plainly. The value answered is the request id.
  const std::string plan = "nnglonnn";
  const int counts[] = {1, 2, 1, 0, 0, 1, 2, 3};  // receives in a row that timed out
  SubAgent agent(m_port), other(m_port);
  const unsigned id = agent.Open(/*timeout=*/1);  // the session's address is the open request's
  BSAPdu ping(SA_PDU_PING, id, 0), previous;
  ASSERT_EQ(Reg(id, "1.3.6.1.3.7.1") + Reg(id, "1.3.6.1.3.7.2"), 0);
  char what = 'a';
  const auto serve = [&](const BSAPdu& request, const BAddress& from) {
    BSAPdu answer(SA_PDU_RESPONSE, id, request.requestId), late(SA_PDU_RESPONSE, id, previous.requestId);
    answer.varBindList.Append(request.varBindList[0].name, Value("i" + std::to_string(request.requestId)));
    if (what == 'g') agent.Send(FromHex("04 04 51 56 54 31 12 00 82 00"), from);
    if (what == 'l') agent.Send(Bytes(late), from);
    if (what == 'l' || what == 'a') agent.Send(Bytes(answer), from);
    if (what == 'o') other.Send(Bytes(answer), from);
    previous = request;
  };
  BVarBindList one, two;  // GETs of two proxies at once take turns on the master's request socket
  one.Append(Oid("1.1.0"));
  two.Append(Oid("2.1.0"));
  const auto both = [&] {
    auto first = std::async(std::launch::async, [&] { return Get(one); });
    return Get(two) + first.get();
  };
  EXPECT_EQ(agent.While(both, serve), 0);
  for (size_t i = 0; i < plan.size(); ++i) {
    what = plan[i];
    BVarBindList list;
    list.Append(Oid("1.1.0"));
    const int status = agent.While([&] { return Get(list); }, serve);
    const bool answered = plan[i] == 'l' || plan[i] == 'o';  // with the value of the request's own id
    EXPECT_EQ(status, answered ? 0 : SNMP_ERR_GENERR) << i;
    EXPECT_EQ(list[0].value.GetUnsigned(), answered ? previous.requestId : 0) << i;
    EXPECT_EQ(m_master->FindSession(static_cast<int>(id))->m_timeoutCount, counts[i]) << i;
    EXPECT_EQ(m_master->Ping(ping), 0);  // which changes no count
    if (i + 1 < plan.size()) m_master->CheckSessions();
  }
  EXPECT_EQ(m_trace.Count(" SendAndRecvPdu RecvFrom !(aFrom == target.address)"), 1);
  m_master->Stop();  // the monitor thread itself closes the session at its next run
  BSAMasterPeer::SetMonitorInterval(*m_master, /*ms=*/50);
  ASSERT_EQ(m_master->Start(), 0);
  EXPECT_TRUE(WaitUntil([&] { return m_master->Ping(ping) == SA_WIRE_NOT_OPEN; }, 3000, 50));
  EXPECT_EQ(BSAMasterPeer::Registry(*m_master), "");
}

TEST_F(MasterTest, RegistrationRequests) {
  // Requests over UDP, in order: r register, u unregister, R and U with the MIB handler refusing, c close;
  // the session (a, b, or x not open); the subtree under 1.3.6.1.3.7 (- cut to two varbinds, = an INTEGER
  // instead of an OBJECT IDENTIFIER); the range varbinds; the answer; then the proxies and rows (Registry).
  const std::tuple<char, char, const char*, std::vector<uint32_t>, int, const char*> steps[] = {
      {'r', 'a', "1", {}, 0, "1/47"},
      {'r', 'a', "1", {}, 263, "1/47"},
      {'r', 'b', "1", {}, 263, "1/47"},
      {'r', 'b', "1", {7, 9}, 263, "1/47"},  // a range whose first instance is taken
      {'r', 'b', "2.6.1", {}, 0, "1/47 2.6.1/47"},
      {'r', 'a', "2.5.1", {8, 7}, 263, "1/47 2.6.1/47 2.5.1/48"},  // the MIB handler refuses 2.6.1 again
      {'u', 'b', "1", {}, 264, "1/47 2.6.1/47 2.5.1/48"},          // another session's
      {'u', 'a', "1", {}, 0, "2.6.1/47 2.5.1/48"},
      {'r', 'a', "1", {}, 0, "2.6.1/47 2.5.1/48 1/47"},
      {'r', 'x', "4", {}, 257, "2.6.1/47 2.5.1/48 1/47"},
      {'u', 'x', "4", {}, 257, "2.6.1/47 2.5.1/48 1/47"},
      {'r', 'a', "-", {}, 268, "2.6.1/47 2.5.1/48 1/47"},
      {'u', 'a', "-", {}, 268, "2.6.1/47 2.5.1/48 1/47"},
      {'r', 'a', "=", {}, 268, "2.6.1/47 2.5.1/48 1/47"},  // must not register the whole MIB
      {'c', 'a', "", {}, 0, "2.6.1/47"},
      {'c', 'b', "", {}, 0, ""},
      {'r', 'a', "1.5.1", {8, 7}, 0, "1.5.1/48 1.6.1/48 1.7.1/48"},
      {'c', 'a', "", {}, 0, ""},
      {'r', 'a', "1.5.1", {8, 5}, 0, "1.5.1/48"},
      {'r', 'a', "2.5.1", {8, 4}, 0, "1.5.1/48"},
      {'r', 'a', "2.5.1", {0, 7}, 268, "1.5.1/48"},
      {'r', 'a', "2.5.1", {9, 7}, 268, "1.5.1/48"},
      {'r', 'a', "2.5.1", {8, 0xFFFFFFFFu}, 268, "1.5.1/48"},
      {'r', 'a', "2.5.1", {8}, 0, "1.5.1/48 2.5.1/47"},  // four varbinds: a plain registration
      {'r', 'a', "3.5.1", {7, 4}, 0, "1.5.1/48 2.5.1/47 3.5.1/48 4.5.1/48"},
      {'c', 'a', "", {}, 0, ""},
      {'r', 'a', "1.5.1", {8, 8}, 0, "1.5.1/48 1.6.1/48 1.7.1/48 1.8.1/48"},
      {'u', 'a', "1.5.1", {9, 8}, 268, "1.5.1/48 1.6.1/48 1.7.1/48 1.8.1/48"},
      {'u', 'a', "1.5.1", {8, 4}, 0, "1.5.1/48 1.6.1/48 1.7.1/48 1.8.1/48"},
      {'u', 'a', "1.7.1", {}, 0, "1.5.1/48 1.6.1/48 1.8.1/48"},
      {'u', 'a', "1.5.1", {8, 8}, 264, "1.8.1/48"},  // stops at the gap
      {'u', 'a', "1.8.1", {8, 8}, 0, ""},
      {'R', 'a', "1", {}, 263, ""},
      {'r', 'a', "1", {}, 0, "1/47"},
      {'r', 'a', "2.5.1", {8, 6}, 0, "1/47 2.5.1/48 2.6.1/48"},
      {'U', 'a', "1", {}, 268, "1/47 2.5.1/48 2.6.1/48 | 2.5.1=r 2.6.1=r"},
      {'U', 'a', "2.5.1", {8, 6}, 267, "1/47 2.5.1/48 2.6.1/48 | 2.6.1=r"},
      {'u', 'a', "1", {}, 0, "2.5.1/48 2.6.1/48 | 2.6.1=r"}};
  SubAgent agent(m_port);
  std::map<char, unsigned> sessions = {{'x', 999}};
  for (const auto& [op, who, oid, range, status, registry] : steps) {
    if (sessions.count(who) == 0) sessions[who] = agent.Open();
    const ESAPduType type = op == 'r' || op == 'R' ? SA_PDU_REGISTER : SA_PDU_UNREGISTER;
    BSAPdu request = op == 'c' ? BSAPdu(SA_PDU_CLOSE_SESSION, sessions[who], 0)
                               : RegisterPdu(type, sessions[who], ("1.3.6.1.3.7." + std::string(oid)).c_str(), range);
    if (oid[0] == '-') request.varBindList.Truncate(2);
    if (oid[0] == '=') request.varBindList[2].value = Value("i1");
    m_mib.refuseRegister = op == 'R';
    m_mib.refuseUnregister = op == 'U';
    EXPECT_EQ(agent.Ask(request), status) << op << oid;
    EXPECT_EQ(op == 'c' ? agent.Ask(request) : 0, op == 'c' ? SA_WIRE_NOT_OPEN : 0) << op << oid;
    if (op == 'c') sessions.erase(who);
    EXPECT_EQ(BSAMasterPeer::Registry(*m_master), registry) << op << oid;
  }
  m_master->Stop();
  m_master = std::make_unique<BSAMaster>(&m_mib, &m_clock);  // the old one withdraws its proxies
  EXPECT_EQ(m_mib.Mib2System().GetNumORRows(), 0);
  BVarBindList list;
  list.Append(Oid("2.5.1.0"));
  EXPECT_EQ(Get(list), 0);
  EXPECT_EQ(Texts(list), "2.5.1.0=noSuchObject");
}

TEST_F(MasterTest, ProxiesTurnCallsIntoRequestsAndAnswersIntoResults) {
  // Calls on a subtree proxy (1) and a row-instance proxy (1.5.1): g GET, or the SET phase code, of the
  // names after the first; n GET-NEXT of the name. The names (under 1.3.6.1.3.7, valued -1); the sub-agent's
  // answers to a GET or SET and to a GET-NEXT ("" none, else "!<errorStatus>@<errorIndex>" and
  // "<name>=<Value()>"); the result ("<status>@<index> <names>"); the requests ("<type> <first
  // varbind>#<n>", n numbering the request ids).
  const std::tuple<const char*, const char*, const char*, const char*, const char*, const char*, const char*> rows[] = {
      {"g", "1", "9 1.1.0 1.2.0", "1.9=i50 1.9=i51", "", "0@1 9=-1 1.1.0=50 1.2.0=51", "5 1.1.0=-1#1"},
      {"g", "1", "9 1.1.0 1.2.0", "!2@2 1.9=i7 1.9=i7", "", "2@1 9=-1 1.1.0=-1 1.2.0=-1", "5 1.1.0=-1#1"},
      {"g", "1", "9 1.1.0 1.2.0", "1.9=i7", "", "5@0 9=-1 1.1.0=-1 1.2.0=-1", "5 1.1.0=-1#1"},
      {"g", "1", "9 1.1.0 1.2.0", "1.9=i7 1.9=i7 1.9=i7", "", "5@0 9=-1 1.1.0=-1 1.2.0=-1", "5 1.1.0=-1#1"},
      {"g", "1", "9 1.1.0 1.2.0", "", "", "5@0 9=-1 1.1.0=-1 1.2.0=-1", "5 1.1.0=-1#1"},
      {"g", "1", "9", "!0@0", "", "0@1 9=-1", "5 -#1"},
      {"a3", "1", "9 1.1.0", "!0@0", "", "0@1 9=-1 1.1.0=-1", "9 1.1.0=-1#1"},
      {"e1", "1", "9 1.1.0", "!0@0", "", "0@1 9=-1 1.1.0=-1", "10 1.1.0=-1#1"},
      {"e2", "1", "9 1.1.0", "!0@0", "", "0@1 9=-1 1.1.0=-1", "11 1.1.0=-1#1"},
      {"e0", "1", "9 1.1.0 1.2.0", "!4@2", "", "4@1 9=-1 1.1.0=-1 1.2.0=-1", "8 1.1.0=-1#1"},
      {"55", "1", "9 1.1.0", "", "", "5@0 9=-1 1.1.0=-1", "8 1.1.0=-1#1"},
      {"n", "1", "1.3.6.1.3.7", "", "1.1.0=i5", "0@1 1.1.0=5", "6 1=NULL#1"},
      {"n", "1", "1.1", "", "2.1=i1", "0@1 1.1=endOfMibView", "6 1.1=-1#1"},
      {"n", "1", "1.2", "", "!5@1 1.3=i3", "0@1 1.3=3", "6 1.2=-1#1"},
      {"n", "1", "1.4", "", "", "0@1 1.4=endOfMibView", "6 1.4=-1#1"},
      {"n", "1", "1.5", "", "1.6=i6 1.7=i7", "0@1 1.5=endOfMibView", "6 1.5=-1#1"},
      {"n", "1.5.1", "1.3.6.1.3.7", "1.5.1=i55", "", "0@1 1.5.1=55", "5 1.5.1=NULL#1"},
      {"n", "1.5.1", "1.3.6.1.3.7", "1.5.1=xnoSuchInstance", "2=i1", "0@1 1.3.6.1.3.7=endOfMibView",
       "5 1.5.1=NULL#1, 6 1.5.1=NULL#1"},
      {"n", "1.5.1", "1.3.6.1.3.7", "1.5.1=xnoSuchObject", "1.5.1=i7", "0@1 1.5.1=7", "5 1.5.1=NULL#1, 6 1.5.1=NULL#1"},
      {"n", "1.5.1", "1.3.6.1.3.7", "!5@1 1.5.1=i55", "2=i1", "0@1 1.3.6.1.3.7=endOfMibView",
       "5 1.5.1=NULL#1, 6 1.5.1=NULL#1"},
      {"n", "1.5.1", "1.3.6.1.3.7", "", "", "0@1 1.3.6.1.3.7=endOfMibView", "5 1.5.1=NULL#1"},
      {"n", "1.5.1", "1.5.1", "", "2=i1", "0@1 1.5.1=endOfMibView", "6 1.5.1=-1#1"}};
  SubAgent agent(m_port);
  const unsigned id = agent.Open(/*timeout=*/1);
  ASSERT_EQ(Reg(id, "1.3.6.1.3.7.1") + Reg(id, "1.3.6.1.3.7.1.5.1", {8, 5}), 0);
  for (unsigned tid = 1; tid <= std::size(rows); ++tid) {
    const auto& [call, proxy, names, get, next, result, requests] = rows[tid - 1];
    BVarBindList list;
    std::istringstream words(names);
    for (std::string word; words >> word;) list.Append(Oid(word), Value("i-1"));
    BMibSubtreeHandler* handler = m_mib.Tree().FindSubtreeHandlerNode(Oid(proxy))->Handler();
    int index = 1;
    void* slot = nullptr;
    agent.received.clear();
    const int status = agent.While(
        [&] {
          if (std::string(call) == "g") return handler->Get(tid, list, index, list.Count() - 1);
          if (std::string(call) == "n") return handler->GetNext(tid, list[0]);
          const auto code = static_cast<ESnmpSetOpCode>(std::stoi(call, nullptr, 16));
          return handler->Set(tid, list, code, &slot, index, list.Count() - 1);
        },
        [&](const BSAPdu& request, const BAddress& from) {
          BSAPdu answer(SA_PDU_RESPONSE, id, request.requestId);
          std::istringstream given(request.type == SA_PDU_GET_NEXT ? next : get);
          for (std::string token; given >> token;) {
            const size_t eq = token.find('=');
            const bool error = std::sscanf(token.c_str(), "!%d@%d", &answer.errorStatus, &answer.errorIndex) == 2;
            if (!error) answer.varBindList.Append(Oid(token.substr(0, eq)), Value(token.substr(eq + 1)));
          }
          if (!given.str().empty()) agent.Send(Bytes(answer), from);
        });
    EXPECT_EQ(std::to_string(status) + "@" + std::to_string(index) + " " + Texts(list), result) << tid;
    std::string sent;
    std::map<unsigned, int> ids;
    for (const BSAPdu& pdu : agent.received) {
      EXPECT_EQ(std::make_pair(pdu.sessionId, pdu.transactionId), std::make_pair(id, tid));
      const int n = ids.emplace(pdu.requestId, static_cast<int>(ids.size()) + 1).first->second;
      BVarBindList first = pdu.varBindList;
      first.Truncate(1);
      sent += (sent.empty() ? "" : ", ") + std::to_string(pdu.type) + " " + (first.IsEmpty() ? "-" : Texts(first)) +
              "#" + std::to_string(n);
    }
    EXPECT_EQ(sent, requests) << tid;
  }
}

TEST(MasterConfigTest, PortStartSaveAndRequestIds) {
  BMibHandler mib;
  BSAMaster master(&mib, nullptr);
  EXPECT_EQ(master.Start(), -1);  // before Init
  BMemoryStore saved;
  int port = 0;
  EXPECT_EQ(master.SaveToNV(nullptr) + master.SaveToNV(&saved) + saved.GetInt("SAMaster", "Port", &port, 0), 0);
  EXPECT_EQ(port, 10001);
  const char* const stored[] = {nullptr, "x", "1", "2", "65534", "65535", "-5", "70000"};  // null: absent
  const int results[] = {NV_ERR_NOT_FOUND, NV_ERR_BAD_VALUE, 0, 0, 0, 0, 0, 0};
  const unsigned short ports[] = {10001, 10001, 10001, 2, 65534, 10001, 10001, 10001};
  for (size_t i = 0; i < std::size(ports); ++i) {
    BMemoryStore store;
    if (stored[i] != nullptr) store.SetString("SAMaster", "Port", stored[i], 0, 0);
    EXPECT_EQ(master.InitFromNV(&store), results[i]) << i;
    EXPECT_EQ(master.Port(), ports[i]) << i;
  }
  EXPECT_EQ(master.GetNewRequestId(), 1u);
  EXPECT_EQ(master.GetNewRequestId(), 2u);
  BSAMasterPeer::SetLastRequestId(master, 0x3FFFFFFE);
  EXPECT_EQ(master.GetNewRequestId(), 0x3FFFFFFFu);
  EXPECT_EQ(master.GetNewRequestId(), 1u);
}

}  // namespace
}  // namespace QVT::test
