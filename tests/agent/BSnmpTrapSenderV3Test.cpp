// The trap sender's SNMPv3 form: what a "v3:" sink receives is decoded
// back with the message codec, its MAC checked and its scoped PDU
// decrypted with the user's keys, as a receiver that knows the user would.
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

namespace QVT {
namespace {

namespace fs = std::filesystem;

constexpr const char* kEngineIdHex = "80007ED9050102030405060708";
constexpr const char* kTrapOid = "1.3.6.1.4.1.32473.1.0.1";
constexpr const char* kLabel = "1.3.6.1.4.1.32473.1.2.1.3.1";

class BSnmpTrapSenderV3Test : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(m_engine.Start(kEngineIdHex), ENGINE_STATE_OK); }
  void TearDown() override { fs::remove_all(m_folder); }
  std::string SinkText() const { return QVAddressToString(m_sink.address).str(); }

  test::ManualClock m_clock{4200};
  BSnmpTrapSender m_sender{&m_clock};
  test::SnmpManager m_sink;  // the v3 sink
  const std::string m_folder = test::MakeTempDir("qv-trap-v3-");
  BSnmpEngineState m_engine{m_folder + "/state"};
};

TEST_F(BSnmpTrapSenderV3Test, TrapsCarryTheLocalEngineAndDecodeWithTheUsersKeys) {
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
    BSnmpTrapV3User user;
    user.name = BString("trapper");
    user.level = c.level;
    if (c.auth != USM_AUTH_NONE) user.keys = keys;
    user.engine = &m_engine;
    m_sender.SetV3User(user);

    BNotification trap{BObjectIdentifier(kTrapOid)};
    BObjectSyntax label;
    label.SetOctets("alpha");
    trap.VarBinds().Append(BObjectIdentifier(kLabel), label);
    ASSERT_EQ(m_sender.SendTrap(trap, nullptr), 0);
    std::vector<unsigned char> datagram = m_sink.ReceiveRaw();
    ASSERT_FALSE(datagram.empty()) << "no trap arrived";

    BSnmpV3Message v3;
    ASSERT_EQ(v3.Decode(datagram.data(), datagram.size()), SNMP_CODEC_OK);
    EXPECT_EQ(v3.flags, c.flags) << "the user's level, and never reportable";
    EXPECT_EQ(v3.securityModel, kSnmpSecurityModelUsm);
    EXPECT_EQ(test::ToHex(v3.engineId.Data(), v3.engineId.Length()), engineId)
        << "the sender is the authoritative engine";
    EXPECT_EQ(v3.engineBoots, static_cast<int32_t>(m_engine.EngineBoots()));
    EXPECT_LE(std::abs(v3.engineTime - static_cast<int32_t>(m_engine.EngineTime())), 1);
    EXPECT_EQ(v3.userName.View().length, 7u);

    if (c.auth != USM_AUTH_NONE) {
      EXPECT_EQ(keys->Verify(datagram, v3.AuthOffset(), v3.authParameters.View().length), USM_OK);
      std::vector<unsigned char> tampered = datagram;
      tampered.back() ^= 0x01;
      EXPECT_EQ(keys->Verify(tampered, v3.AuthOffset(), v3.authParameters.View().length), USM_ERR_WRONG_DIGEST);
    } else {
      EXPECT_EQ(v3.authParameters.View().length, 0u);
    }
    std::vector<unsigned char> scoped(v3.ScopedData(), v3.ScopedData() + v3.ScopedLength());
    if (c.level == 3) {
      ASSERT_EQ(v3.privParameters.View().length, 8u);
      const std::span<const unsigned char> salt(v3.privParameters.View().data, 8);
      ASSERT_EQ(keys->Decrypt(scoped, scoped.data(), static_cast<uint32_t>(v3.engineBoots),
                              static_cast<uint32_t>(v3.engineTime), salt),
                USM_OK);
    }
    ASSERT_EQ(v3.DecodeScopedPdu(scoped.data(), scoped.size()), SNMP_CODEC_OK) << "scoped PDU unreadable";
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
TEST_F(BSnmpTrapSenderV3Test, AV3SinkWithoutAUsableUserFailsAlone) {
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
  test::SnmpManager v2;
  const std::string v2Text = QVAddressToString(v2.address).str();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BSnmpTrapSender sender(&m_clock);
    ASSERT_EQ(sender.Init(BString("v3:" + SinkText() + ",v2c:" + v2Text), "public"), 0);
    if (c.withUser) {
      BSnmpTrapV3User user;
      user.name = BString("trapper");
      user.level = c.level;
      user.keys =
          std::make_shared<BUsmUserKeys>(USM_AUTH_HMAC_SHA_96, "trap-secret-1", c.priv, "", m_engine.EngineId());
      user.engine = &m_engine;
      sender.SetV3User(user);
    }
    EXPECT_EQ(sender.SendTrap(BNotification(BObjectIdentifier(kTrapOid)), nullptr), -1);
    EXPECT_EQ(sender.FailedCount(), 1u);
    EXPECT_EQ(sender.SentCount(), 1u);
    EXPECT_FALSE(v2.ReceiveRaw().empty()) << "the v2c sink gets the trap";
    EXPECT_TRUE(m_sink.ReceiveRaw(200).empty()) << "the v3 sink gets nothing";
  }
}

}  // namespace
}  // namespace QVT
