// The trap sender, managers as sinks: SNMPv1 and SNMPv2c sinks read the
// trap in their version; what a "v3:" sink receives is decoded back with
// the message codec, its MAC checked and its scoped PDU decrypted with the
// user's keys, as a receiver that knows the user would.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BSnmpEngineState.h"
#include "BSnmpTrapSender.h"
#include "BSnmpV3Message.h"
#include "BTrap.h"
#include "ChildProcess.h"
#include "ManualClock.h"
#include "SnmpTestPeer.h"
#include "TestSupport.h"
#include "V3TestSupport.h"

namespace QVT {
namespace {

namespace fs = std::filesystem;

constexpr const char* kEngineIdHex = "80007ED9050102030405060708";
constexpr const char* kTrapOid = "1.3.6.1.4.1.32473.1.0.1";
constexpr const char* kLabel = "1.3.6.1.4.1.32473.1.2.1.3.1";
constexpr const char* kDescr = "1.3.6.1.4.1.32473.1.1.1.0";
using test::Show;

BObjectSyntax Text(const char* text) {
  BObjectSyntax value;
  value.SetOctets(text);
  return value;
}

class BSnmpTrapSenderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(m_engine.Start(kEngineIdHex), ENGINE_STATE_OK); }
  void TearDown() override { fs::remove_all(m_folder); }
  std::string SinkText() const { return QVAddressToString(m_sink.address).str(); }

  test::ManualClock m_clock{4200};
  BSnmpTrapSender m_sender{&m_clock};
  test::SnmpManager m_sink;  // the v3 sink
  test::SnmpManager m_v1;    // and the others
  test::SnmpManager m_v2;
  const std::string m_v1Text = QVAddressToString(m_v1.address).str();
  const std::string m_v2Text = QVAddressToString(m_v2.address).str();
  const BObjectIdentifier m_enterprise{1, 3, 6, 1, 4, 1, 32473};
  const std::string m_folder = test::MakeTempDir("qv-trap-v3-");
  BSnmpEngineState m_engine{m_folder + "/state"};
};

// v2 sinks get sysUpTime.0 and snmpTrapOID.0 first; v1 sinks the numbers from the OID.
TEST_F(BSnmpTrapSenderTest, NotificationsReachEachSinkInItsVersion) {
  ASSERT_EQ(m_sender.Init(BString("v1:" + m_v1Text + ", " + m_v2Text), "traps"), 0) << m_sender.ErrorText().str();
  m_sender.SetAgentAddress(BIpAddress(192, 0, 2, 7));
  BNotification trap(BObjectIdentifier("1.3.6.1.4.1.32473.1.0.1"));
  trap.VarBinds().Append(BObjectIdentifier(kLabel), Text("alpha"));
  BObjectSyntax octets;
  octets.SetCounter64(1ull << 33);
  trap.VarBinds().Append(BObjectIdentifier("1.3.6.1.4.1.32473.1.1.5.0"), octets);
  ASSERT_EQ(m_sender.SendTrap(trap, nullptr), 0);
  EXPECT_EQ(Show(m_v2.Receive(-1)),
            "1 167 traps 1.3.0=Timeticks: (4200) 0:00:42.00 1.1.4.1.0=OID: .1.3.6.1.4.1.32473.1.0.1 "
            "32473.1.2.1.3.1=STRING: \"alpha\" 32473.1.1.5.0=Counter64: 8589934592");
  EXPECT_EQ(Show(m_v1.Receive(-1)),
            "0 164 traps 1.3.6.1.4.1.32473.1 192.0.2.7 6 1 4200 32473.1.2.1.3.1=STRING: \"alpha\"");
}

// v1 traps reach v2 sinks converted, v1 sinks as they are; a sink named gets it alone.
TEST_F(BSnmpTrapSenderTest, V1TrapsAreConvertedForV2cSinks) {
  ASSERT_EQ(m_sender.Init(BString("v2c:" + m_v2Text + ",v1:" + m_v1Text), "public"), 0);
  BTrapV1 specific(m_enterprise, SNMP_TRAP_ENTERPRISE_SPECIFIC, 17);
  specific.VarBinds().Append(BObjectIdentifier(kDescr));
  ASSERT_EQ(m_sender.SendTrap(specific, nullptr), 0);
  EXPECT_EQ(Show(m_v2.Receive(-1)),
            "1 167 public 1.3.0=Timeticks: (4200) 0:00:42.00 1.1.4.1.0=OID: .1.3.6.1.4.1.32473.0.17 "
            "32473.1.1.1.0=NULL 1.1.4.3.0=OID: .1.3.6.1.4.1.32473");
  EXPECT_EQ(Show(m_v1.Receive(-1)), "0 164 public 1.3.6.1.4.1.32473 0.0.0.0 6 17 4200 32473.1.1.1.0=NULL");
  ASSERT_EQ(m_sender.SendTrap(BTrapV1(m_enterprise, SNMP_TRAP_LINK_DOWN, 0), m_v2Text.c_str()), 0);
  EXPECT_EQ(Show(m_v2.Receive(-1)),
            "1 167 public 1.3.0=Timeticks: (4200) 0:00:42.00 1.1.4.1.0=OID: .1.3.6.1.6.3.1.1.5.3 "
            "1.1.4.3.0=OID: .1.3.6.1.4.1.32473");
  EXPECT_EQ(Show(m_v1.Receive(-1, 200)), "no answer");

  // A sink that does not resolve keeps the old sinks; generic trap 7 has no form.
  EXPECT_EQ(m_sender.Init(BString(m_v1Text + ",no-such-host.invalid:162"), "public"), -1);
  EXPECT_NE(m_sender.ErrorText().str().find("no-such-host.invalid"), std::string::npos);
  EXPECT_EQ(m_sender.Sinks().size(), 2u);
  EXPECT_EQ(m_sender.SendTrap(BTrapV1(m_enterprise, static_cast<ESNMPv1TrapType>(7), 0), nullptr), -1);
  EXPECT_EQ(Show(m_v2.Receive(-1, 200)), "no answer");
}

TEST_F(BSnmpTrapSenderTest, TrapsCarryTheLocalEngineAndDecodeWithTheUsersKeys) {
  struct Case {
    const char* name;
    EUsmAuthProtocol auth;
    EUsmPrivProtocol priv;
    int level;
    unsigned char flags;
  };
  const Case cases[] = {
      {"noAuthNoPriv", USM_AUTH_NONE, USM_PRIV_NONE, 1, 0},
      {"authNoPriv SHA-256", USM_AUTH_HMAC_SHA256_192, USM_PRIV_NONE, 2, SNMP_V3_FLAG_AUTH},
      {"authNoPriv of a user that could encrypt", USM_AUTH_HMAC_SHA_96, USM_PRIV_AES128, 2, SNMP_V3_FLAG_AUTH},
      {"authPriv SHA-256 AES", USM_AUTH_HMAC_SHA256_192, USM_PRIV_AES128, 3, SNMP_V3_FLAG_AUTH | SNMP_V3_FLAG_PRIV},
      {"authPriv MD5 AES256", USM_AUTH_HMAC_MD5_96, USM_PRIV_AES256, 3, SNMP_V3_FLAG_AUTH | SNMP_V3_FLAG_PRIV},
  };
  ASSERT_EQ(m_sender.Init(BString("v3:" + SinkText()), "unused"), 0) << m_sender.ErrorText().str();
  EXPECT_TRUE(m_sender.HasV3Sink());
  const std::string engineId = test::ToHex(m_engine.EngineId());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto keys = std::make_shared<BUsmUserKeys>(c.auth, "trap-secret-1", c.priv, "trap-secret-2", m_engine.EngineId());
    ASSERT_EQ(keys->Status(), USM_OK);
    m_sender.SetV3User({BString("trapper"), c.level, c.auth != USM_AUTH_NONE ? keys : nullptr, &m_engine});

    BNotification trap{BObjectIdentifier(kTrapOid)};
    trap.VarBinds().Append(BObjectIdentifier(kLabel), Text("alpha"));
    ASSERT_EQ(m_sender.SendTrap(trap, nullptr), 0);
    std::vector<unsigned char> datagram = m_sink.ReceiveRaw();
    ASSERT_FALSE(datagram.empty()) << "no trap arrived";

    BSnmpV3Message v3;
    ASSERT_NO_FATAL_FAILURE(test::ReadV3(datagram, *keys, v3));
    EXPECT_EQ(v3.flags, c.flags) << "the user's level, and never reportable";
    EXPECT_EQ(v3.securityModel, kSnmpSecurityModelUsm);
    EXPECT_EQ(test::ToHex(v3.engineId.Data(), v3.engineId.Length()), engineId)
        << "the sender is the authoritative engine";
    EXPECT_EQ(v3.engineBoots, static_cast<int32_t>(m_engine.EngineBoots()));
    EXPECT_LE(std::abs(v3.engineTime - static_cast<int32_t>(m_engine.EngineTime())), 1);
    EXPECT_EQ(v3.userName.View().length, 7u);
    EXPECT_EQ(v3.authParameters.View().length, keys->MacLength());
    EXPECT_EQ(v3.privParameters.View().length, c.level == 3 ? 8u : 0u);
    EXPECT_EQ(test::ToHex(v3.contextEngineId.Data(), v3.contextEngineId.Length()), engineId);
    EXPECT_EQ(v3.contextName.View().length, 0u);
    EXPECT_EQ(v3.pdu.pduType, SNMP_PDU_TRAP_V2);
    ASSERT_EQ(v3.pdu.varBinds.Count(), 3);
    EXPECT_EQ(v3.pdu.varBinds[0].value.GetUnsigned(), 4200u);
    EXPECT_EQ(v3.pdu.varBinds[1].value.GetObjectId(), BObjectIdentifier(kTrapOid));
    EXPECT_EQ(v3.pdu.varBinds[2].name, BObjectIdentifier(kLabel));
  }
}

// Without a user, or with a level the keys do not allow, nothing is sent
// and the send counts as failed; v2c sinks still get the trap.
TEST_F(BSnmpTrapSenderTest, AV3SinkWithoutAUsableUserFailsAlone) {
  struct Case {
    const char* name;
    bool withUser;
    EUsmPrivProtocol priv;
    int level;
  };
  const Case cases[] = {
      {"no user", false, USM_PRIV_NONE, 2},
      {"authPriv without privacy keys", true, USM_PRIV_NONE, 3},
      {"level out of range", true, USM_PRIV_NONE, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BSnmpTrapSender sender(&m_clock);
    ASSERT_EQ(sender.Init(BString("v3:" + SinkText() + ",v2c:" + m_v2Text), "public"), 0);
    if (c.withUser) {
      auto keys = std::make_shared<BUsmUserKeys>(USM_AUTH_HMAC_SHA_96, "trap-secret", c.priv, "", m_engine.EngineId());
      sender.SetV3User({BString("trapper"), c.level, keys, &m_engine});
    }
    EXPECT_EQ(sender.SendTrap(BNotification(BObjectIdentifier(kTrapOid)), nullptr), -1);
    EXPECT_EQ(sender.FailedCount(), 1u);
    EXPECT_EQ(sender.SentCount(), 1u);
    EXPECT_FALSE(m_v2.ReceiveRaw().empty()) << "the v2c sink gets the trap";
    EXPECT_TRUE(m_sink.ReceiveRaw(200).empty()) << "the v3 sink gets nothing";
  }
}

}  // namespace
}  // namespace QVT
