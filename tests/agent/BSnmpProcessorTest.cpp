// The agent's request processor without sockets: SNMPv3 requests through the USM step (a Report, a Response or
// nothing back, which counter moved), the timeliness window and the view; the error status of a failed SET in
// each version's terms.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BMibHandler.h"
#include "FakeSubtreeHandler.h"
#include "BSnmpAgent.h"
#include "BSnmpEngineState.h"
#include "BSnmpTransaction.h"
#include "BSnmpV3Message.h"
#include "BUsmCrypto.h"
#include "ChildProcess.h"
#include "V3TestSupport.h"

namespace QVT {
namespace {

namespace fs = std::filesystem;

constexpr const char* kEngineIdHex = "80007ED9050102030405060708";
const std::vector<unsigned char> kOtherEngineId = {0x80, 0x00, 0x7E, 0xD9, 0x05, 0xAA, 0xBB, 0xCC, 0xDD};
constexpr int32_t kRequestId = 4711;
constexpr int32_t kMsgId = 815;

enum class EEngine { kOurs, kEmpty, kOther };
enum class EKeys { kRight, kWrong };
enum class ETime { kNow, kOldBoots, kFarAhead };

// One request as a manager would send it.
struct SRequest {
  EEngine engine = EEngine::kOurs;
  const char* user = "alice";
  int level = SNMP_SEC_AUTH_PRIV;
  EKeys keys = EKeys::kRight;
  ETime time = ETime::kNow;
  bool otherContextEngine = false;
  const char* contextName = "";
  bool reportable = true;
  int pduType = SNMP_PDU_GET;
  std::vector<const char*> names = {"1.3.6.1.2.1.1.1.0"};
  int maxRepetitions = 0;  // GetBulk; no non-repeaters
};

class BSnmpProcessorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_engine = std::make_unique<BSnmpEngineState>(m_folder + "/state");
    ASSERT_EQ(m_engine->Start(kEngineIdHex), ENGINE_STATE_OK);
    const std::vector<unsigned char>& id = m_engine->EngineId();
    m_alice = std::make_shared<BUsmUserKeys>(USM_AUTH_HMAC_SHA256_192, "alice-auth-pass", USM_PRIV_AES128,
                                             "alice-priv-pass", id);
    m_impostor = std::make_shared<BUsmUserKeys>(USM_AUTH_HMAC_SHA256_192, "not-alices-pass", USM_PRIV_AES128,
                                                "alice-priv-pass", id);
    ASSERT_EQ(m_alice->Status(), USM_OK);
    ASSERT_EQ(m_impostor->Status(), USM_OK);
    m_config.users.push_back({.name = BString("alice"), .keys = m_alice, .view = {BObjectIdentifier("1.3.6.1")}});
    m_config.engineState = m_engine.get();
    m_remote.SetIPv4(0x7F000001);
    m_remote.SetPort(40000);
    m_local.SetIPv4(0x7F000001);
    m_local.SetPort(161);
  }
  void TearDown() override { fs::remove_all(m_folder); }

  std::vector<unsigned char> Encode(const SRequest& r) {
    const std::vector<unsigned char>& ours = m_engine->EngineId();
    BSnmpV3Message m;
    m.msgId = kMsgId;
    m.flags = static_cast<unsigned char>((r.level >= SNMP_SEC_AUTH_NO_PRIV ? SNMP_V3_FLAG_AUTH : 0) |
                                         (r.level == SNMP_SEC_AUTH_PRIV ? SNMP_V3_FLAG_PRIV : 0) |
                                         (r.reportable ? SNMP_V3_FLAG_REPORTABLE : 0));
    const std::vector<unsigned char> engineId = r.engine == EEngine::kOurs    ? ours
                                                : r.engine == EEngine::kOther ? kOtherEngineId
                                                                              : std::vector<unsigned char>{};
    m.engineId.Assign(static_cast<unsigned>(engineId.size()), engineId.data());
    if (r.engine != EEngine::kEmpty) {
      m.engineBoots = static_cast<int32_t>(m_engine->EngineBoots()) - (r.time == ETime::kOldBoots ? 1 : 0);
      m.engineTime = static_cast<int32_t>(m_engine->EngineTime()) + (r.time == ETime::kFarAhead ? 1000 : 0);
    }
    m.userName.Assign(r.user);
    const BUsmUserKeys& keys = r.keys == EKeys::kRight ? *m_alice : *m_impostor;
    const std::vector<unsigned char> zeros(r.level >= SNMP_SEC_AUTH_NO_PRIV ? keys.MacLength() : 0, 0);
    m.authParameters.Assign(static_cast<unsigned>(zeros.size()), zeros.data());
    const std::vector<unsigned char>& contextId = r.otherContextEngine ? kOtherEngineId : ours;
    m.contextEngineId.Assign(static_cast<unsigned>(contextId.size()), contextId.data());
    m.contextName.Assign(r.contextName);
    m.pdu.version = SNMP_VERSION_3;
    m.pdu.pduType = r.pduType;
    m.pdu.requestId = kRequestId;
    m.pdu.errorIndex = r.maxRepetitions;  // GetBulk's; no non-repeaters
    for (const char* name : r.names) m.pdu.varBinds.Append(BObjectIdentifier(name));

    std::vector<unsigned char> scoped(4096);
    size_t scopedLength = 0;
    EXPECT_EQ(m.EncodeScopedPdu(scoped.data(), scoped.size(), scopedLength), SNMP_CODEC_OK);
    if (r.level == SNMP_SEC_AUTH_PRIV) {
      unsigned char salt[8];
      EXPECT_EQ(keys.Encrypt({scoped.data(), scopedLength}, scoped.data(), static_cast<uint32_t>(m.engineBoots),
                             static_cast<uint32_t>(m.engineTime), m_salts, salt),
                USM_OK);
      m.privParameters.Assign(8, salt);
    }
    std::vector<unsigned char> out(8192);
    size_t length = 0;
    EXPECT_EQ(m.Encode(scoped.data(), scopedLength, out.data(), out.size(), length), SNMP_CODEC_OK);
    out.resize(length);
    if (r.level >= SNMP_SEC_AUTH_NO_PRIV) {
      EXPECT_EQ(keys.Sign(out, m.AuthOffset()), USM_OK);
    }
    return out;
  }

  // Sends `r` through `processor`: the answer's length (0: none).
  size_t Process(BSnmpAgent::Processor& processor, const SRequest& r) {
    const std::vector<unsigned char> request = Encode(r);
    return processor.Process(request.data(), request.size(), m_remote, m_local);
  }

  // Reads the answer in `processor` and checks its header and security for `level`.
  void ReadAnswer(const BSnmpAgent::Processor& processor, size_t length, int level, BSnmpV3Message& reply) {
    ASSERT_NO_FATAL_FAILURE(test::ReadV3({processor.Answer(), processor.Answer() + length}, *m_alice, reply));
    EXPECT_EQ(reply.msgId, kMsgId);
    EXPECT_EQ(reply.flags & SNMP_V3_FLAG_REPORTABLE, 0) << "answers are never reportable";
    const std::vector<unsigned char> engineId(reply.engineId.Data(), reply.engineId.Data() + reply.engineId.Length());
    EXPECT_EQ(engineId, m_engine->EngineId()) << "the authoritative engine is ours";
    EXPECT_EQ(reply.engineBoots, static_cast<int32_t>(m_engine->EngineBoots()));
    EXPECT_LE(std::abs(reply.engineTime - static_cast<int32_t>(m_engine->EngineTime())), 1);
    EXPECT_EQ((reply.flags & SNMP_V3_FLAG_AUTH) != 0, level >= SNMP_SEC_AUTH_NO_PRIV) << "flags " << int(reply.flags);
    EXPECT_EQ((reply.flags & SNMP_V3_FLAG_PRIV) != 0, level == SNMP_SEC_AUTH_PRIV) << "flags " << int(reply.flags);
  }

  BSnmpAgentConfig m_config;
  BMibHandler m_mib;
  std::unique_ptr<BSnmpEngineState> m_engine;
  std::shared_ptr<BUsmUserKeys> m_alice;
  std::shared_ptr<BUsmUserKeys> m_impostor;
  BUsmSaltCounter m_salts;
  BAddress m_remote;
  BAddress m_local;
  const std::string m_folder = test::MakeTempDir("qv-processor-");
};

constexpr int kNone = -1;  // no counter moves: the request is answered

TEST_F(BSnmpProcessorTest, EachUsmFailureCountsOnceAndReportsWhenReportable) {
  struct Case {
    const char* name;
    SRequest request;
    int counter;        // the ESnmpV3Counter that moves, or kNone
    bool answered;      // whether anything comes back
    int reportLevel;    // the level of the Report
  };
  const Case cases[] = {
      {"valid authPriv GET", {}, kNone, true, 0},
      {"valid authNoPriv GET", {.level = SNMP_SEC_AUTH_NO_PRIV}, kNone, true, 0},
      {"discovery: empty engine ID",
       {.engine = EEngine::kEmpty, .user = "", .level = SNMP_SEC_NO_AUTH_NO_PRIV},
       USM_STATS_UNKNOWN_ENGINE_IDS, true, SNMP_SEC_NO_AUTH_NO_PRIV},
      {"another engine's ID", {.engine = EEngine::kOther}, USM_STATS_UNKNOWN_ENGINE_IDS, true,
       SNMP_SEC_NO_AUTH_NO_PRIV},
      {"unknown user", {.user = "mallory"}, USM_STATS_UNKNOWN_USER_NAMES, true, SNMP_SEC_NO_AUTH_NO_PRIV},
      {"level below the user's lowest", {.level = SNMP_SEC_NO_AUTH_NO_PRIV}, USM_STATS_UNSUPPORTED_SEC_LEVELS, true,
       SNMP_SEC_NO_AUTH_NO_PRIV},
      {"wrong digest", {.keys = EKeys::kWrong}, USM_STATS_WRONG_DIGESTS, true, SNMP_SEC_NO_AUTH_NO_PRIV},
      {"old boots", {.time = ETime::kOldBoots}, USM_STATS_NOT_IN_TIME_WINDOWS, true, SNMP_SEC_AUTH_NO_PRIV},
      {"time 1000 s ahead", {.time = ETime::kFarAhead}, USM_STATS_NOT_IN_TIME_WINDOWS, true, SNMP_SEC_AUTH_NO_PRIV},
      {"another context engine", {.otherContextEngine = true}, SNMP_UNKNOWN_CONTEXTS, true, SNMP_SEC_AUTH_PRIV},
      {"a context name", {.contextName = "vlan7"}, SNMP_UNKNOWN_CONTEXTS, true, SNMP_SEC_AUTH_PRIV},
      {"unknown user, not reportable", {.user = "mallory", .reportable = false}, USM_STATS_UNKNOWN_USER_NAMES, false,
       0},  // one case: every refusal's Report goes through the one place that looks at the flag
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BSnmpAgent agent(m_mib, m_config);
    BSnmpAgent::Processor processor(agent);
    const size_t length = Process(processor, c.request);

    for (int counter = 0; counter < SNMP_V3_COUNTER_COUNT; ++counter) {
      EXPECT_EQ(agent.Counters().Get(static_cast<ESnmpV3Counter>(counter)), counter == c.counter ? 1u : 0u)
          << "counter " << BSnmpCounters::Oid(static_cast<ESnmpV3Counter>(counter));
    }
    if (!c.answered) {
      EXPECT_EQ(length, 0u) << "nothing is sent back";
      continue;
    }
    ASSERT_GT(length, 0u) << "an answer was expected";
    const int level = c.counter == kNone ? c.request.level : c.reportLevel;
    BSnmpV3Message reply;
    ASSERT_NO_FATAL_FAILURE(ReadAnswer(processor, length, level, reply));
    // An encrypted request refused before decryption has no readable
    // request id: its Report carries 0 (the manager matches the msgID).
    const bool readable = c.request.level < SNMP_SEC_AUTH_PRIV || c.counter == kNone ||
                          c.counter == SNMP_UNKNOWN_CONTEXTS;
    EXPECT_EQ(reply.pdu.requestId, readable ? kRequestId : 0);
    if (c.counter == kNone) {
      EXPECT_EQ(reply.pdu.pduType, SNMP_PDU_RESPONSE);
      continue;
    }
    EXPECT_EQ(reply.pdu.pduType, SNMP_PDU_REPORT);
    ASSERT_EQ(reply.pdu.varBinds.Count(), 1);
    EXPECT_EQ(reply.pdu.varBinds[0].name,
              BObjectIdentifier(BSnmpCounters::Oid(static_cast<ESnmpV3Counter>(c.counter))));
    EXPECT_EQ(reply.pdu.varBinds[0].value.Syntax(), ASN_COUNTER32);
    EXPECT_EQ(reply.pdu.varBinds[0].value.GetUnsigned(), 1u);
  }
}

// A user's view is applied before the MIB is asked: names outside it never
// reach the subtree handlers (sub-agents, at the master), whatever the PDU.
TEST_F(BSnmpProcessorTest, NamesOutsideTheViewAreNeverAskedOfTheMib) {
  test::FakeSubtreeHandler visible("1.3.6.1.3.1", {"1.3.6.1.3.1.1.0", "1.3.6.1.3.1.5.0"});
  test::FakeSubtreeHandler hidden("1.3.6.1.3.2", {"1.3.6.1.3.2.1.0"});
  test::FakeSubtreeHandler enterprise("1.3.6.1.4.1.32473",
                                      {"1.3.6.1.4.1.32473.1.0", "1.3.6.1.4.1.32473.2.0", "1.3.6.1.4.1.32473.3.0"});
  test::FakeSubtreeHandler hiddenLast("1.3.6.1.5.1", {"1.3.6.1.5.1.1.0"});
  const std::vector<BMibSubtreeHandler*> handlers = {&visible, &hidden, &enterprise, &hiddenLast};
  for (BMibSubtreeHandler* handler : handlers) ASSERT_NE(m_mib.RegisterSubtreeHandler(handler), 0);
  // One experimental subtree, and one enterprise instance named by the view itself.
  m_config.users[0].view = {BObjectIdentifier("1.3.6.1.4.1.32473.2.0"), BObjectIdentifier("1.3.6.1.3.1")};

  struct Answer {
    const char* name;
    int syntax;  // the value's syntax; INTEGER values are the fake's
  };
  struct Case {
    const char* name;
    SRequest request;
    std::vector<Answer> answers;
  };
  constexpr int kInt = ASN_INTEGER;
  const Case cases[] = {
      {"GET inside and outside",
       {.names = {"1.3.6.1.3.1.1.0", "1.3.6.1.3.2.1.0", "1.3.6.1.4.1.32473.1.0"}},
       {{"1.3.6.1.3.1.1.0", kInt}, {"1.3.6.1.3.2.1.0", ASN_NO_SUCH_OBJECT},
        {"1.3.6.1.4.1.32473.1.0", ASN_NO_SUCH_OBJECT}}},
      {"GET-NEXT from the end of one part to the next",
       {.pduType = SNMP_PDU_GET_NEXT, .names = {"1.3.6.1.3.1.5.0"}},
       {{"1.3.6.1.4.1.32473.2.0", kInt}}},
      {"GET-NEXT from outside, before a part",
       {.pduType = SNMP_PDU_GET_NEXT, .names = {"1.3.6.1.3.2", "1.3"}},
       {{"1.3.6.1.4.1.32473.2.0", kInt}, {"1.3.6.1.3.1.1.0", kInt}}},
      {"GET-NEXT after the last part",
       {.pduType = SNMP_PDU_GET_NEXT, .names = {"1.3.6.1.4.1.32473.2.0", "1.3.6.1.4.2"}},
       {{"1.3.6.1.4.1.32473.2.0", ASN_END_OF_MIB_VIEW}, {"1.3.6.1.4.2", ASN_END_OF_MIB_VIEW}}},
      {"GetBulk walks the view only",
       {.pduType = SNMP_PDU_GET_BULK, .names = {"1.3.6.1.3.2"}, .maxRepetitions = 3},
       {{"1.3.6.1.4.1.32473.2.0", kInt}, {"1.3.6.1.4.1.32473.2.0", ASN_END_OF_MIB_VIEW}}},
      {"GetBulk from the start",
       {.pduType = SNMP_PDU_GET_BULK, .names = {"1.3"}, .maxRepetitions = 4},
       {{"1.3.6.1.3.1.1.0", kInt}, {"1.3.6.1.3.1.5.0", kInt}, {"1.3.6.1.4.1.32473.2.0", kInt},
        {"1.3.6.1.4.1.32473.2.0", ASN_END_OF_MIB_VIEW}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BSnmpAgent agent(m_mib, m_config);
    BSnmpAgent::Processor processor(agent);
    const size_t length = Process(processor, c.request);
    ASSERT_GT(length, 0u);
    BSnmpV3Message reply;
    ASSERT_NO_FATAL_FAILURE(ReadAnswer(processor, length, SNMP_SEC_AUTH_PRIV, reply));
    ASSERT_EQ(reply.pdu.pduType, SNMP_PDU_RESPONSE);
    EXPECT_EQ(reply.pdu.errorStatus, 0);
    ASSERT_EQ(reply.pdu.varBinds.Count(), static_cast<int>(c.answers.size()));
    for (int i = 0; i < reply.pdu.varBinds.Count(); ++i) {
      const Answer& expected = c.answers[static_cast<size_t>(i)];
      EXPECT_EQ(reply.pdu.varBinds[i].name, BObjectIdentifier(expected.name)) << "varbind " << i;
      EXPECT_EQ(reply.pdu.varBinds[i].value.Syntax(), expected.syntax) << "varbind " << i;
    }
  }
  EXPECT_TRUE(hidden.Calls().empty()) << "a subtree outside the view was asked";
  EXPECT_TRUE(hiddenLast.Calls().empty()) << "a subtree outside the view was asked";
  EXPECT_FALSE(enterprise.Calls().empty()) << "the instance the view names was never asked for";
  for (BMibSubtreeHandler* handler : handlers) m_mib.UnregisterSubtreeHandler(handler);
}

// A handler's failed SET in the manager's version: SNMPv1 managers get SNMPv1 statuses, SNMPv2c (and v3) managers
// never the SNMPv1-only ones (noSuchName, badValue, readOnly) that a handler or a sub-agent may give.
TEST_F(BSnmpProcessorTest, SetFailuresAnswerInTheManagersVersion) {
  const std::tuple<int, int, int> cases[] = {  // the handler's status, then v1's and v2c's
      {SNMP_ERR_NOSUCHNAME, SNMP_ERR_NOSUCHNAME, SNMP_ERR_NOCREATION},
      {SNMP_ERR_BADVALUE, SNMP_ERR_BADVALUE, SNMP_ERR_WRONGVALUE},
      {SNMP_ERR_READONLY, SNMP_ERR_READONLY, SNMP_ERR_NOTWRITABLE},
      {SNMP_ERR_WRONGTYPE, SNMP_ERR_BADVALUE, SNMP_ERR_WRONGTYPE},
      {SNMP_ERR_NOCREATION, SNMP_ERR_NOSUCHNAME, SNMP_ERR_NOCREATION},
      {SNMP_ERR_GENERR, SNMP_ERR_GENERR, SNMP_ERR_GENERR},
      {SNMP_ERR_WRONGLENGTH, SNMP_ERR_BADVALUE, SNMP_ERR_WRONGLENGTH},
      {SNMP_ERR_WRONGVALUE, SNMP_ERR_BADVALUE, SNMP_ERR_WRONGVALUE},
      {SNMP_ERR_NOTWRITABLE, SNMP_ERR_NOSUCHNAME, SNMP_ERR_NOTWRITABLE},
  };
  test::FakeSubtreeHandler handler("1.3.6.1.4.1.32473.7", {"1.3.6.1.4.1.32473.7.1.0", "1.3.6.1.4.1.32473.7.2.0"});
  ASSERT_NE(m_mib.RegisterSubtreeHandler(&handler), 0);
  BSnmpAgent agent(m_mib, m_config);
  BSnmpAgent::Processor processor(agent);
  for (const auto& [handlerStatus, v1Status, v2Status] : cases) {
    for (const int version : {SNMP_VERSION_1, SNMP_VERSION_2C}) {
      SCOPED_TRACE("handler status " + std::to_string(handlerStatus) + ", version " + std::to_string(version));
      handler.FailSet(SNMP_SET_TEST, 1, handlerStatus);
      BSnmpMessage request;
      request.version = version;
      request.community.Assign("private");
      request.pduType = SNMP_PDU_SET;
      BObjectSyntax value;
      value.SetInt(5);
      request.varBinds.Append(BObjectIdentifier("1.3.6.1.4.1.32473.7.1.0"), value);
      request.varBinds.Append(BObjectIdentifier("1.3.6.1.4.1.32473.7.2.0"), value);
      std::vector<unsigned char> datagram(1024);
      size_t length = 0;
      ASSERT_EQ(request.Encode(datagram.data(), datagram.size(), length), SNMP_CODEC_OK);
      const size_t answered = processor.Process(datagram.data(), length, m_remote, m_local);
      BSnmpMessage response;
      ASSERT_EQ(response.Decode(processor.Answer(), answered), SNMP_CODEC_OK);
      EXPECT_EQ(response.errorStatus, version == SNMP_VERSION_1 ? v1Status : v2Status);
      EXPECT_EQ(response.errorIndex, 2) << "the varbind the handler named";
    }
  }
  EXPECT_EQ(BTransactions::Instance()->Count(), 0);  // every request's transaction ended with it
  m_mib.UnregisterSubtreeHandler(&handler);
}

TEST(BSnmpV3EngineTest, TimeWindowTakes150SecondsEitherWayAndNotOneMore) {
  struct Case {
    const char* name;
    uint32_t engineBoots, engineTime;
    int32_t messageBoots, messageTime;
    bool inWindow;
  };
  const uint32_t latched = BSnmpEngineState::kMaxBoots;
  const Case cases[] = {
      {"same time", 5, 1000, 5, 1000, true},
      {"150 s ahead", 5, 1000, 5, 1150, true},
      {"151 s ahead", 5, 1000, 5, 1151, false},
      {"150 s behind", 5, 1000, 5, 850, true},
      {"151 s behind", 5, 1000, 5, 849, false},
      {"other boots", 5, 1000, 4, 1000, false},
      {"boots latched at the maximum", latched, 1000, static_cast<int32_t>(latched), 1000, false},
      {"discovery's zeros", 5, 1000, 0, 0, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QVUsmInTimeWindow(c.engineBoots, c.engineTime, c.messageBoots, c.messageTime), c.inWindow) << c.name;
  }
}

TEST(BSnmpV3EngineTest, ViewHoldsTheObjectsUnderItsPrefixesOnly) {
  BSnmpV3User user;
  user.view = {BObjectIdentifier("1.3.6.1.2.1.1"), BObjectIdentifier("1.3.6.1.4.1.32473.1.1.5.0")};
  struct Case {
    const char* oid;
    bool inView;
  };
  const Case cases[] = {
      {"1.3.6.1.2.1.1.1.0", true},          {"1.3.6.1.2.1.1", true},
      {"1.3.6.1.2.1.2.1.0", false},         {"1.3.6.1.2.1", false},
      {"1.3.6.1.2.1.11.1.0", false},        {"1.3.6.1.4.1.32473.1.1.5.0", true},
      {"1.3.6.1.4.1.32473.1.1.5.1", false}, {"1.3.6.1.4.1.32473.1.1.50.0", false},
  };
  for (const Case& c : cases) EXPECT_EQ(user.InView(BObjectIdentifier(c.oid)), c.inView) << c.oid;
  user.view.clear();
  EXPECT_FALSE(user.InView(BObjectIdentifier("1.3.6.1.2.1.1.1.0"))) << "an empty view holds nothing";
}

}  // namespace
}  // namespace QVT
