// The error status a manager sees for a handler's failed SET: SNMPv1
// managers get SNMPv1 statuses, SNMPv2c (and v3) managers never get the
// SNMPv1-only ones (noSuchName, badValue, readOnly) that a handler or a
// sub-agent may give.
#include <gtest/gtest.h>

#include <vector>

#include "BMibHandler.h"
#include "BSnmpAgent.h"
#include "FakeSubtreeHandler.h"

namespace QVT {
namespace {

TEST(BSnmpErrorStatusTest, SetFailuresAnswerInTheManagersVersion) {
  struct Case {
    int handlerStatus;
    int v1Status;
    int v2Status;
  };
  const Case cases[] = {
      {SNMP_ERR_NOSUCHNAME, SNMP_ERR_NOSUCHNAME, SNMP_ERR_NOCREATION},
      {SNMP_ERR_BADVALUE, SNMP_ERR_BADVALUE, SNMP_ERR_WRONGVALUE},
      {SNMP_ERR_READONLY, SNMP_ERR_READONLY, SNMP_ERR_NOTWRITABLE},
      {SNMP_ERR_WRONGTYPE, SNMP_ERR_BADVALUE, SNMP_ERR_WRONGTYPE},
      {SNMP_ERR_NOCREATION, SNMP_ERR_NOSUCHNAME, SNMP_ERR_NOCREATION},
      {SNMP_ERR_GENERR, SNMP_ERR_GENERR, SNMP_ERR_GENERR},
  };
  BMibHandler mib;
  test::FakeSubtreeHandler handler("1.3.6.1.4.1.32473.7", {"1.3.6.1.4.1.32473.7.1.0", "1.3.6.1.4.1.32473.7.2.0"});
  ASSERT_NE(mib.RegisterSubtreeHandler(&handler), 0);
  BSnmpAgentConfig config;
  BSnmpAgent agent(mib, config);
  BSnmpAgent::Processor processor(agent);
  BAddress remote;
  remote.SetIPv4(0x7F000001);
  remote.SetPort(40000);
  BAddress local = remote;
  local.SetPort(161);

  for (const Case& c : cases) {
    for (const int version : {SNMP_VERSION_1, SNMP_VERSION_2C}) {
      SCOPED_TRACE("handler status " + std::to_string(c.handlerStatus) + ", version " + std::to_string(version));
      handler.FailSet(SNMP_SET_TEST, 1, c.handlerStatus);
      BSnmpMessage request;
      request.version = version;
      request.community.Assign("private");
      request.pduType = SNMP_PDU_SET;
      request.requestId = 77;
      BObjectSyntax value;
      value.SetInt(5);
      request.varBinds.Append(BObjectIdentifier("1.3.6.1.4.1.32473.7.1.0"), value);
      request.varBinds.Append(BObjectIdentifier("1.3.6.1.4.1.32473.7.2.0"), value);
      std::vector<unsigned char> datagram(1024);
      size_t length = 0;
      ASSERT_EQ(request.Encode(datagram.data(), datagram.size(), length), SNMP_CODEC_OK);
      const size_t answered = processor.Process(datagram.data(), length, remote, local);
      ASSERT_GT(answered, 0u);
      BSnmpMessage response;
      ASSERT_EQ(response.Decode(processor.Answer(), answered), SNMP_CODEC_OK);
      EXPECT_EQ(response.errorStatus, version == SNMP_VERSION_1 ? c.v1Status : c.v2Status);
      EXPECT_EQ(response.errorIndex, 2) << "the varbind the handler named";
    }
  }
  mib.UnregisterSubtreeHandler(&handler);
}

}  // namespace
}  // namespace QVT
