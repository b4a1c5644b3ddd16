// Subtree registration and unregistration over loopback UDP: plain and
// range forms, duplicates and overlaps, requests of other sessions, the
// MIB handler refusing, and the sysORTable rows read through the agent's
// MIB handler.
#include <gtest/gtest.h>

#include "MasterTestSupport.h"

namespace QVT::test {
namespace {

using Strings = std::vector<std::string>;

class RegistryTest : public MasterTest {
 protected:
  void SetUp() override {
    MasterTest::SetUp();
    m_agent = NewSubAgent();
    m_sid = "/" + std::to_string(m_agent->SessionId());
  }
  std::unique_ptr<ScriptedSubAgent> m_agent;
  std::string m_sid;  // "/<session id>", the suffix of BSAMasterPeer::Handlers
};

TEST_F(RegistryTest, PlainRegistrationInstallsAProxyAndASysORRow) {
  EXPECT_EQ(m_agent->Register("1.3.6.1.3.7.1", {}, "alpha"), 0);
  EXPECT_EQ(BSAMasterPeer::Handlers(*m_master), Strings{"1.3.6.1.3.7.1/47" + m_sid});
  EXPECT_EQ(SysORRows(), Strings{"1.3.6.1.3.7.1=alpha"});
  EXPECT_EQ(m_trace.Count("RegisterSH  sessionid= " + m_sid.substr(1)), 1);
  EXPECT_EQ(m_trace.Count("RegisterSH alpha = 1.3.6.1.3.7.1 "), 1);

  EXPECT_EQ(m_agent->Unregister("1.3.6.1.3.7.1"), 0);
  EXPECT_TRUE(BSAMasterPeer::Handlers(*m_master).empty());
  EXPECT_TRUE(SysORRows().empty());
  EXPECT_EQ(m_mib.Unregistered(), Strings{"1.3.6.1.3.7.1"});
  EXPECT_EQ(m_trace.Count("UnregisterSH   sessionid= " + m_sid.substr(1)), 1);
}

struct RangeRow {
  const char* label;
  std::vector<uint32_t> range;  // varbinds 3 and 4
  int status;
  Strings handlers;  // "<oid>/<type>", session id appended by the test
};

void PrintTo(const RangeRow& row, std::ostream* os) {
  *os << row.label;
}

class RangeRegistrationTest : public RegistryTest, public ::testing::WithParamInterface<RangeRow> {};

TEST_P(RangeRegistrationTest, RegistersOneProxyPerValue) {
  const RangeRow& row = GetParam();
  EXPECT_EQ(m_agent->Register("1.3.6.1.3.7.1.5.1", row.range, "r"), row.status);
  Strings handlers;
  Strings rows;
  for (const std::string& h : row.handlers) {
    handlers.push_back(h + m_sid);
    rows.push_back(h.substr(0, h.find('/')) + "=r");
  }
  EXPECT_EQ(BSAMasterPeer::Handlers(*m_master), handlers);
  EXPECT_EQ(SysORRows(), rows);
  if (row.range.size() >= 2 && row.status == 0) {
    for (uint32_t v = 5; v <= row.range[1]; ++v) {
      EXPECT_EQ(m_trace.Count("RegisterSH [" + std::to_string(v) + "] r = 1.3.6.1.3.7.1." + std::to_string(v) + ".1 "),
                1);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RangeRegistrationTest,
    ::testing::Values(
        RangeRow{
            "Position8Upper7", {8, 7}, 0, {"1.3.6.1.3.7.1.5.1/48", "1.3.6.1.3.7.1.6.1/48", "1.3.6.1.3.7.1.7.1/48"}},
        RangeRow{"Position8Upper5", {8, 5}, 0, {"1.3.6.1.3.7.1.5.1/48"}}, RangeRow{"UpperBelowFirst", {8, 4}, 0, {}},
        RangeRow{"Position0", {0, 7}, SA_WIRE_PROCESSING_ERROR, {}},
        RangeRow{"PositionIsOidLength", {9, 7}, SA_WIRE_PROCESSING_ERROR, {}},
        RangeRow{"UpperAllOnes", {8, 0xFFFFFFFFu}, SA_WIRE_PROCESSING_ERROR, {}},
        RangeRow{"FourVarbindsArePlain", {8}, 0, {"1.3.6.1.3.7.1.5.1/47"}},
        RangeRow{"Position7Upper2", {7, 2}, 0, {"1.3.6.1.3.7.1.5.1/48", "1.3.6.1.3.7.2.5.1/48"}}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(RegistryTest, DuplicatesFromAnySessionAreRefused) {
  auto other = NewSubAgent();
  EXPECT_EQ(m_agent->Register("1.3.6.1.3.7.1", {}, "first"), 0);
  EXPECT_EQ(m_agent->Register("1.3.6.1.3.7.1", {}, "again"), SA_WIRE_DUPLICATE_REGISTRATION);
  EXPECT_EQ(other->Register("1.3.6.1.3.7.1", {}, "other"), SA_WIRE_DUPLICATE_REGISTRATION);
  // A range whose first instance is taken.
  EXPECT_EQ(other->Register("1.3.6.1.3.7.1", {7, 9}, "other"), SA_WIRE_DUPLICATE_REGISTRATION);
  EXPECT_EQ(BSAMasterPeer::Handlers(*m_master), Strings{"1.3.6.1.3.7.1/47" + m_sid});
  EXPECT_EQ(SysORRows(), Strings{"1.3.6.1.3.7.1=first"});
  // A later instance of a range that the MIB handler refuses ends the
  // range; the instances before it stay.
  EXPECT_EQ(other->Register("1.3.6.1.3.7.2.6.1", {}, "six"), 0);
  EXPECT_EQ(m_agent->Register("1.3.6.1.3.7.2.5.1", {8, 7}, "r"), SA_WIRE_DUPLICATE_REGISTRATION);
  EXPECT_EQ(m_trace.Count("RegisterSH r Err=107 "), 1);
  EXPECT_EQ(SysORRows(), (Strings{"1.3.6.1.3.7.1=first", "1.3.6.1.3.7.2.6.1=six", "1.3.6.1.3.7.2.5.1=r"}));
}

TEST_F(RegistryTest, NestedSubtreesServeTheirOwnNames) {
  auto inner = NewSubAgent();
  inner->Serve(ServeInstances({{"1.3.6.1.3.7.1.1.0", 11}}));
  m_agent->Serve(ServeInstances({{"1.3.6.1.3.7.2.0", 22}, {"1.3.6.1.3.7.1.1.0", 99}}));
  EXPECT_EQ(m_agent->Register("1.3.6.1.3.7", {}, "outer"), 0);
  EXPECT_EQ(inner->Register("1.3.6.1.3.7.1", {}, "inner"), 0);
  EXPECT_EQ(SysORRows(), (Strings{"1.3.6.1.3.7=outer", "1.3.6.1.3.7.1=inner"}));
  BVarBindList list;
  int errorIndex = 0;
  EXPECT_EQ(Query(SNMP_REQ_GET, {"1.3.6.1.3.7.1.1.0", "1.3.6.1.3.7.2.0"}, list, errorIndex), 0);
  EXPECT_EQ(Texts(list), (Strings{"1.3.6.1.3.7.1.1.0=11", "1.3.6.1.3.7.2.0=22"}));
}

TEST_F(RegistryTest, UnregistrationOfAnotherSessionsSubtreeIsUnknown) {
  auto other = NewSubAgent();
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1"), 0);
  EXPECT_EQ(other->Unregister("1.3.6.1.3.7.1"), SA_WIRE_UNKNOWN_REGISTRATION);
  EXPECT_EQ(m_trace.Count("UnregisterSH UNKNOWN_REGISTRATION   1.3.6.1.3.7.1"), 1);
  EXPECT_EQ(m_agent->Unregister("1.3.6.1.3.7.2"), SA_WIRE_UNKNOWN_REGISTRATION);
  EXPECT_EQ(BSAMasterPeer::HandlerCount(*m_master), 1);
  EXPECT_EQ(SysORRows().size(), 1u);
}

TEST_F(RegistryTest, RangeUnregistrationStopsAtAGap) {
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1.5.1", {8, 8}, "r"), 0);
  EXPECT_EQ(m_agent->Unregister("1.3.6.1.3.7.1.7.1"), 0);
  EXPECT_EQ(m_agent->Unregister("1.3.6.1.3.7.1.5.1", {8, 8}), SA_WIRE_UNKNOWN_REGISTRATION);
  EXPECT_EQ(BSAMasterPeer::Handlers(*m_master), Strings{"1.3.6.1.3.7.1.8.1/48" + m_sid});
  EXPECT_EQ(SysORRows(), Strings{"1.3.6.1.3.7.1.8.1=r"});
  EXPECT_EQ(m_agent->Unregister("1.3.6.1.3.7.1.8.1", {8, 8}), 0);
  EXPECT_EQ(m_agent->Unregister("1.3.6.1.3.7.1.8.1", {9, 8}), SA_WIRE_UNKNOWN_REGISTRATION);
  EXPECT_TRUE(SysORRows().empty());
}

TEST_F(RegistryTest, RangeUnregistrationChecksItsPosition) {
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1.5.1", {8, 6}, "r"), 0);
  EXPECT_EQ(m_agent->Unregister("1.3.6.1.3.7.1.5.1", {9, 6}), SA_WIRE_PROCESSING_ERROR);
  EXPECT_EQ(m_agent->Unregister("1.3.6.1.3.7.1.5.1", {0, 6}), SA_WIRE_PROCESSING_ERROR);
  EXPECT_EQ(m_agent->Unregister("1.3.6.1.3.7.1.5.1", {8, 4}), 0);
  EXPECT_EQ(BSAMasterPeer::HandlerCount(*m_master), 2);
  EXPECT_EQ(m_agent->Unregister("1.3.6.1.3.7.1.5.1", {8, 6}), 0);
  EXPECT_EQ(BSAMasterPeer::HandlerCount(*m_master), 0);
  EXPECT_TRUE(SysORRows().empty());
}

TEST_F(RegistryTest, SysORRowsFollowRegistrationsInOrder) {
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.3", {}, "c"), 0);
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1", {}, "a"), 0);
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.2", {}, "b"), 0);
  EXPECT_EQ(SysORRows(), (Strings{"1.3.6.1.3.7.3=c", "1.3.6.1.3.7.1=a", "1.3.6.1.3.7.2=b"}));
  ASSERT_EQ(m_agent->Unregister("1.3.6.1.3.7.1"), 0);
  EXPECT_EQ(SysORRows(), (Strings{"1.3.6.1.3.7.3=c", "1.3.6.1.3.7.2=b"}));
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1", {}, "a2"), 0);
  EXPECT_EQ(SysORRows(), (Strings{"1.3.6.1.3.7.3=c", "1.3.6.1.3.7.2=b", "1.3.6.1.3.7.1=a2"}));
  EXPECT_EQ(m_master->MibHandler()->Mib2System().GetNumORRows(), 3);
}

TEST_F(RegistryTest, ClosingASessionUnregistersItsSubtreesLastFirst) {
  auto other = NewSubAgent();
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1"), 0);
  ASSERT_EQ(other->Register("1.3.6.1.3.7.9"), 0);
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.2"), 0);
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.3"), 0);
  EXPECT_EQ(m_agent->Ask(BSAPdu(SA_PDU_CLOSE_SESSION, m_agent->SessionId(), 0)), 0);
  EXPECT_EQ(m_mib.Unregistered(), (Strings{"1.3.6.1.3.7.3", "1.3.6.1.3.7.2", "1.3.6.1.3.7.1"}));
  EXPECT_EQ(BSAMasterPeer::Handlers(*m_master), Strings{"1.3.6.1.3.7.9/47/" + std::to_string(other->SessionId())});
  EXPECT_EQ(SysORRows(), Strings{"1.3.6.1.3.7.9=scripted"});
}

TEST_F(RegistryTest, DestroyingTheMasterWithdrawsItsProxies) {
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1"), 0);
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.2.5.1", {8, 6}), 0);
  m_master->Stop();
  m_master.reset();
  EXPECT_TRUE(SysORRows().empty());
  BVarBindList list;
  int errorIndex = 0;
  EXPECT_EQ(Query(SNMP_REQ_GET, {"1.3.6.1.3.7.1.1.0", "1.3.6.1.3.7.2.6.1"}, list, errorIndex), 0);
  EXPECT_EQ(Texts(list), (Strings{"1.3.6.1.3.7.1.1.0=noSuchObject", "1.3.6.1.3.7.2.6.1=noSuchObject"}));
}

TEST_F(RegistryTest, RefusalsOfTheMibHandler) {
  m_mib.refuseRegister = true;
  EXPECT_EQ(m_agent->Register("1.3.6.1.3.7.1", {}, "alpha"), SA_WIRE_DUPLICATE_REGISTRATION);
  EXPECT_EQ(m_trace.Count("RegisterSH alpha Err=107 "), 1);
  EXPECT_EQ(BSAMasterPeer::HandlerCount(*m_master), 0);
  EXPECT_TRUE(SysORRows().empty());

  m_mib.refuseRegister = false;
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.1"), 0);
  ASSERT_EQ(m_agent->Register("1.3.6.1.3.7.2.5.1", {8, 6}), 0);
  m_mib.refuseUnregister = true;
  EXPECT_EQ(m_agent->Unregister("1.3.6.1.3.7.1"), SA_WIRE_PROCESSING_ERROR);
  EXPECT_EQ(m_agent->Unregister("1.3.6.1.3.7.2.5.1", {8, 6}), SA_WIRE_REQUEST_DENIED);
  EXPECT_EQ(BSAMasterPeer::HandlerCount(*m_master), 3);
  m_mib.refuseUnregister = false;
  EXPECT_EQ(m_agent->Unregister("1.3.6.1.3.7.1"), 0);
}

TEST_F(RegistryTest, MalformedRequestsAndUnknownSessions) {
  BSAPdu shortRequest = RegisterPdu(SA_PDU_REGISTER, m_agent->SessionId(), "x", "1.3.6.1.3.7.1");
  shortRequest.varBindList.Truncate(2);
  EXPECT_EQ(m_agent->Ask(shortRequest), SA_WIRE_PROCESSING_ERROR);
  shortRequest.type = SA_PDU_UNREGISTER;
  EXPECT_EQ(m_agent->Ask(shortRequest), SA_WIRE_PROCESSING_ERROR);
  EXPECT_EQ(m_agent->Ask(RegisterPdu(SA_PDU_REGISTER, 999, "x", "1.3.6.1.3.7.1")), SA_WIRE_NOT_OPEN);
  EXPECT_EQ(m_agent->Ask(RegisterPdu(SA_PDU_UNREGISTER, 999, "x", "1.3.6.1.3.7.1")), SA_WIRE_NOT_OPEN);
  // A subtree that is no OBJECT IDENTIFIER names nothing: it must not
  // become a registration of the whole MIB.
  BSAPdu noOid = RegisterPdu(SA_PDU_REGISTER, m_agent->SessionId(), "x", "1.3.6.1.3.7.1");
  noOid.varBindList[2].value = Int(5);
  EXPECT_EQ(m_agent->Ask(noOid), SA_WIRE_PROCESSING_ERROR);
  noOid.type = SA_PDU_UNREGISTER;
  EXPECT_EQ(m_agent->Ask(noOid), SA_WIRE_UNKNOWN_REGISTRATION);
  EXPECT_EQ(BSAMasterPeer::HandlerCount(*m_master), 0);
  BVarBindList list;
  int errorIndex = 0;
  EXPECT_EQ(Query(SNMP_REQ_GET, {"1.3.6.1.3.7.1.1.0"}, list, errorIndex), 0);
  EXPECT_EQ(Texts(list), Strings{"1.3.6.1.3.7.1.1.0=noSuchObject"});
}

}  // namespace
}  // namespace QVT::test
