// The trap sender against loopback sockets standing in for trap sinks: what
// each sink receives, decoded with the agent's codec.
#include "BSnmpTrapSender.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BTrapOIDs.h"

namespace QVT {
namespace {

// A loopback socket on a free port that receives traps.
class Sink {
 public:
  Sink() {
    BAddress any(BAddress::kFamilyINet);
    any.SetIPv4(0x7F000001);
    m_socket.SetMyAddress(any);
    m_socket.Create();
    m_socket.Bind();
    m_socket.GetLocalAddress(m_address);
  }
  std::string Text() const { return QVAddressToString(m_address).str(); }
  // Waits up to 3 s for one datagram and decodes it.
  bool Receive(BSnmpMessage& message) {
    std::vector<unsigned char> buffer(65536);
    int length = static_cast<int>(buffer.size());
    BAddress from;
    if (m_socket.RecvFrom(reinterpret_cast<char*>(buffer.data()), length, from, 3, 0) != 0) return false;
    return message.Decode(buffer.data(), static_cast<size_t>(length)) == SNMP_CODEC_OK;
  }
  bool Silent() {
    char buffer[16];
    int length = sizeof buffer;
    BAddress from;
    return m_socket.RecvFrom(buffer, length, from, 0, 200000) == 1;
  }

 private:
  BSockDatagram m_socket;
  BAddress m_address;
};

// A clock that stands still at 4200 ticks.
class FixedClock : public BTime {
 public:
  uint32_t SysUptime() const override { return 4200; }
};

const BObjectIdentifier kEnterprise("1.3.6.1.4.1.32473");
const BObjectIdentifier kRowCreated("1.3.6.1.4.1.32473.1.0.1");
const BObjectIdentifier kDynName("1.3.6.1.4.1.32473.1.3.1.2.7");

BObjectSyntax Text(const char* text) {
  BObjectSyntax v;
  v.SetOctets(text);
  return v;
}

class BSnmpTrapSenderTest : public ::testing::Test {
 protected:
  FixedClock m_clock;
  BSnmpTrapSender m_sender{&m_clock};
  const BTrapOIDs& m_oids = *BTrapOIDs::Instance();
};

TEST_F(BSnmpTrapSenderTest, NotificationReachesAV2cSinkWithUpTimeAndTrapOidFirst) {
  Sink sink;
  ASSERT_EQ(m_sender.Init(BString(sink.Text()), "traps"), 0) << m_sender.ErrorText().str();
  BNotification trap(kRowCreated);
  trap.VarBinds().Append(kDynName, Text("alpha"));
  BObjectSyntax big;
  big.SetCounter64(uint64_t{1} << 33);
  trap.VarBinds().Append(BObjectIdentifier("1.3.6.1.4.1.32473.1.2.1.4.1"), big);
  ASSERT_EQ(m_sender.SendTrap(trap, nullptr), 0);

  BSnmpMessage m;
  ASSERT_TRUE(sink.Receive(m));
  EXPECT_EQ(m.version, SNMP_VERSION_2C);
  EXPECT_EQ(m.pduType, SNMP_PDU_TRAP_V2);
  EXPECT_EQ(m.community.AsStringView(), "traps");
  ASSERT_EQ(m.varBinds.Count(), 4);
  EXPECT_EQ(m.varBinds[0].name, m_oids.SysUpTime());
  EXPECT_EQ(m.varBinds[0].value.Syntax(), ASN_TIMETICKS);
  EXPECT_EQ(m.varBinds[0].value.GetUnsigned(), 4200u);
  EXPECT_EQ(m.varBinds[1].name, m_oids.SnmpTrapOid());
  EXPECT_EQ(m.varBinds[1].value.GetObjectId(), kRowCreated);
  EXPECT_EQ(m.varBinds[2].name, kDynName);
  EXPECT_EQ(m.varBinds[2].value, Text("alpha"));
  EXPECT_EQ(m.varBinds[3].value, big);
  EXPECT_EQ(m_sender.SentCount(), 1u);
}

TEST_F(BSnmpTrapSenderTest, V1TrapIsConvertedForAV2cSink) {
  Sink sink;
  ASSERT_EQ(m_sender.Init(BString("v2c:" + sink.Text()), "public"), 0);
  BTrapV1 specific(kEnterprise, SNMP_TRAP_ENTERPRISE_SPECIFIC, 17);
  specific.VarBinds().Append(kDynName, Text("beta"));
  ASSERT_EQ(m_sender.SendTrap(specific, nullptr), 0);
  BSnmpMessage m;
  ASSERT_TRUE(sink.Receive(m));
  ASSERT_EQ(m.varBinds.Count(), 4);
  EXPECT_EQ(m.varBinds[1].value.GetObjectId(), BObjectIdentifier("1.3.6.1.4.1.32473.0.17"));
  EXPECT_EQ(m.varBinds[2].name, kDynName);
  EXPECT_EQ(m.varBinds[3].name, m_oids.SnmpTrapEnterprise());
  EXPECT_EQ(m.varBinds[3].value.GetObjectId(), kEnterprise);

  const BTrapV1 linkDown(kEnterprise, SNMP_TRAP_LINK_DOWN, 0);
  ASSERT_EQ(m_sender.SendTrap(linkDown, nullptr), 0);
  ASSERT_TRUE(sink.Receive(m));
  EXPECT_EQ(m.varBinds[1].value.GetObjectId(), BObjectIdentifier("1.3.6.1.6.3.1.1.5.3"));
}

TEST_F(BSnmpTrapSenderTest, V1SinkReceivesTrapPdusConvertedFromNotifications) {
  Sink v1;
  Sink v2;
  ASSERT_EQ(m_sender.Init(BString("v1:" + v1.Text() + ", " + v2.Text()), "public"), 0);
  m_sender.SetAgentAddress(BIpAddress(192, 0, 2, 7));
  BNotification trap(kRowCreated);
  trap.VarBinds().Append(kDynName, Text("gamma"));
  BObjectSyntax big;
  big.SetCounter64(5);
  trap.VarBinds().Append(BObjectIdentifier("1.3.6.1.4.1.32473.1.2.1.4.1"), big);  // no Counter64 in SNMPv1
  ASSERT_EQ(m_sender.SendTrap(trap, nullptr), 0);

  BSnmpMessage m;
  ASSERT_TRUE(v1.Receive(m));
  EXPECT_EQ(m.version, SNMP_VERSION_1);
  EXPECT_EQ(m.pduType, SNMP_PDU_TRAP_V1);
  EXPECT_EQ(m.enterprise, BObjectIdentifier("1.3.6.1.4.1.32473.1"));
  EXPECT_EQ(m.genericTrap, SNMP_TRAP_ENTERPRISE_SPECIFIC);
  EXPECT_EQ(m.specificTrap, 1);
  EXPECT_EQ(m.timeStamp, 4200u);
  EXPECT_EQ(m.agentAddress, BIpAddress(192, 0, 2, 7));
  ASSERT_EQ(m.varBinds.Count(), 1);
  EXPECT_EQ(m.varBinds[0].name, kDynName);
  ASSERT_TRUE(v2.Receive(m));
  EXPECT_EQ(m.pduType, SNMP_PDU_TRAP_V2);

  // A v1 trap to a v1 sink keeps its own fields.
  const BTrapV1 coldStart(kEnterprise, SNMP_TRAP_COLD_START, 0);
  ASSERT_EQ(m_sender.SendTrap(coldStart, v1.Text().c_str()), 0);  // this sink only
  ASSERT_TRUE(v1.Receive(m));
  EXPECT_EQ(m.genericTrap, SNMP_TRAP_COLD_START);
  EXPECT_EQ(m.enterprise, kEnterprise);
  EXPECT_TRUE(v2.Silent());
}

TEST_F(BSnmpTrapSenderTest, UnresolvableSinkIsRefusedAndTheOldSinksStay) {
  Sink sink;
  ASSERT_EQ(m_sender.Init(BString(sink.Text()), "public"), 0);
  EXPECT_EQ(m_sender.Init(BString(sink.Text() + ",no-such-host.invalid:162"), "public"), -1);
  EXPECT_NE(m_sender.ErrorText().str().find("no-such-host.invalid"), std::string::npos);
  ASSERT_EQ(m_sender.Sinks().size(), 1u);
  EXPECT_EQ(m_sender.Sinks()[0].text.str(), sink.Text());

  // A notification that has no SNMPv1 form of the trap numbers is refused.
  BTrapV1 bad(kEnterprise, static_cast<ESNMPv1TrapType>(7), 0);
  EXPECT_EQ(m_sender.SendTrap(bad, nullptr), -1);
  EXPECT_TRUE(sink.Silent());
}

}  // namespace
}  // namespace QVT
