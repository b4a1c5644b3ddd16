// The sub-agent's configuration ("SubAgent" section of the settings store),
// Init, SaveToNV, which threads Start runs, and the request id counter.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "FailingStore.h"
#include "SubAgentTestSupport.h"

namespace QVT::test {
namespace {

std::string AddressText(const BSASubAgent& subAgent) {
  return QVAddressToString(subAgent.MasterAddress()).str();
}

TEST(SubAgentConfigTest, InitWithoutStoreKeepsTheConstructorValues) {
  BSASubAgent subAgent;
  ASSERT_EQ(subAgent.Init(nullptr), 0);
  EXPECT_TRUE(BSASubAgentPeer::Initialized(subAgent));
  EXPECT_EQ(subAgent.PingInterval(), 10);
  EXPECT_EQ(BSASubAgentPeer::MasterTimeout(subAgent), 3);
  EXPECT_EQ(BSASubAgentPeer::MaxProcTime(subAgent), 3);
  EXPECT_TRUE(subAgent.MasterAddress().IsEmpty());
  int upTime = 0;
  EXPECT_LT(subAgent.Ping(upTime), 0);  // nowhere to send it: a failed exchange
}

TEST(SubAgentConfigTest, SettingsAndTheirRules) {
  struct Row {
    const char* key;
    const char* stored;  // null: key absent
    std::function<std::string(BSASubAgent&)> read;
    std::string expected;
  };
  const auto ping = [](BSASubAgent& s) { return std::to_string(s.PingInterval()); };
  const auto timeout = [](BSASubAgent& s) { return std::to_string(BSASubAgentPeer::MasterTimeout(s)); };
  const auto procTime = [](BSASubAgent& s) { return std::to_string(BSASubAgentPeer::MaxProcTime(s)); };
  const Row rows[] = {
      {"PingInterval", nullptr, ping, "60"},
      {"PingInterval", "3600", ping, "3600"},
      {"PingInterval", "3601", ping, "60"},
      {"PingInterval", "0", ping, "0"},
      {"PingInterval", "-5", ping, "-5"},
      {"PingInterval", "often", ping, "60"},
      {"MasterTimeout", nullptr, timeout, "3"},
      {"MasterTimeout", "0", timeout, "1"},
      {"MasterTimeout", "-4", timeout, "1"},
      {"MasterTimeout", "7", timeout, "7"},
      {"MasterTimeout", "soon", timeout, "3"},
      {"MaxProcTime", nullptr, procTime, "3"},
      {"MaxProcTime", "0", procTime, "1"},
      {"MaxProcTime", "-4", procTime, "1"},
      {"MaxProcTime", "5000", procTime, "5000"},
      {"MasterAddress", nullptr, AddressText, "127.0.0.1:10001"},
      {"MasterAddress", "127.0.0.2:161", AddressText, "127.0.0.2:161"},
      {"MasterAddress", "localhost:70000", AddressText, "127.0.0.1:10001"},
      {"MasterAddress", "127.0.0.2", AddressText, "127.0.0.1:10001"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.key) + "=" + (row.stored ? row.stored : "(absent)"));
    BMemoryStore store;
    if (row.stored != nullptr) store.SetString("SubAgent", row.key, row.stored, 0, 0);
    BSASubAgent subAgent;
    ASSERT_EQ(subAgent.Init(&store), 0);
    EXPECT_EQ(row.read(subAgent), row.expected);
  }
}

TEST(SubAgentConfigTest, UnresolvableAddressFallsBackToTheDefaultNotThePreviousValue) {
  BSASubAgent subAgent;
  BMemoryStore store;
  store.SetString("SubAgent", "MasterAddress", "127.0.0.2:161", 0, 0);
  EXPECT_EQ(subAgent.InitFromNV(&store), 0);
  store.SetString("SubAgent", "MasterAddress", "localhost:70000", 0, 0);
  EXPECT_EQ(subAgent.InitFromNV(&store), 0);
  EXPECT_EQ(AddressText(subAgent), "127.0.0.1:10001");
}

TEST(SubAgentConfigTest, SecondInitReadsNothingAndKeepsTheSockets) {
  ScriptedMaster master;
  BMemoryStore first;
  first.SetString("SubAgent", "MasterAddress", master.Address().c_str(), 0, 0);
  first.SetInt("SubAgent", "MasterTimeout", 1, 0, 0, 0);
  BSASubAgent subAgent;
  ASSERT_EQ(subAgent.Init(&first), 0);
  int upTime = 0;
  ASSERT_EQ(subAgent.Ping(upTime), 0);
  const unsigned short port = BSASubAgentPeer::RequestPort(subAgent);

  BMemoryStore second;
  second.SetInt("SubAgent", "MasterTimeout", 9, 0, 0, 0);
  second.SetInt("SubAgent", "PingInterval", 99, 0, 0, 0);
  EXPECT_EQ(subAgent.Init(&second), 0);
  EXPECT_EQ(BSASubAgentPeer::MasterTimeout(subAgent), 1);
  EXPECT_EQ(subAgent.PingInterval(), 60);
  ASSERT_EQ(subAgent.Ping(upTime), 0);
  EXPECT_EQ(BSASubAgentPeer::RequestPort(subAgent), port);
}

TEST(SubAgentConfigTest, SaveToNVWritesAddressAndIntervalAndReportsTheFirstFailure) {
  BMemoryStore source;
  source.SetString("SubAgent", "MasterAddress", "127.0.0.2:1161", 0, 0);
  source.SetInt("SubAgent", "PingInterval", 42, 0, 0, 0);
  source.SetInt("SubAgent", "MasterTimeout", 9, 0, 0, 0);
  BSASubAgent subAgent;
  ASSERT_EQ(subAgent.Init(&source), 0);
  EXPECT_EQ(subAgent.SaveToNV(nullptr), 0);

  struct Row {
    std::vector<std::string> failing;
    int result;
  };
  for (const Row& row : {Row{{}, NV_OK}, Row{{"MasterAddress"}, NV_ERR_IO}, Row{{"PingInterval"}, NV_ERR_IO},
                         Row{{"MasterAddress", "PingInterval"}, NV_ERR_IO}}) {
    FailingStore store;
    for (const std::string& key : row.failing) store.FailWritesOf(key);
    EXPECT_EQ(subAgent.SaveToNV(&store), row.result);
    // Both always attempted; MasterTimeout and MaxProcTime never written.
    EXPECT_EQ(store.Written(), (std::set<std::string>{"MasterAddress", "PingInterval"}));
    BString address;
    int interval = 0;
    const bool addressFails = std::count(row.failing.begin(), row.failing.end(), "MasterAddress") != 0;
    const bool intervalFails = std::count(row.failing.begin(), row.failing.end(), "PingInterval") != 0;
    EXPECT_EQ(store.GetString("SubAgent", "MasterAddress", address, 0) == 0, !addressFails);
    EXPECT_EQ(store.GetInt("SubAgent", "PingInterval", &interval, 0) == 0, !intervalFails);
    EXPECT_EQ(address.str(), addressFails ? "" : "127.0.0.2:1161");
    EXPECT_EQ(interval, intervalFails ? 0 : 42);
  }
}

TEST_F(SubAgentTest, StartRunsThePingThreadOnlyForAPositiveInterval) {
  for (const int interval : {0, -5, 1}) {
    SCOPED_TRACE(interval);
    m_store.SetInt("SubAgent", "PingInterval", interval, 0, 0, 0);
    InitSubAgent();
    EXPECT_EQ(m_subAgent->Start(), 0);
    EXPECT_EQ(BSASubAgentPeer::PingThreadRunning(*m_subAgent), interval > 0);
    EXPECT_TRUE(BSASubAgentPeer::ResponderRunning(*m_subAgent));
    EXPECT_EQ(m_subAgent->Stop(), 0);
    EXPECT_FALSE(BSASubAgentPeer::ResponderRunning(*m_subAgent));
    EXPECT_FALSE(BSASubAgentPeer::PingThreadRunning(*m_subAgent));
  }
}

// Destroying a running sub-agent with an open session stops its threads.
TEST_F(SubAgentTest, DestroyingARunningSubAgentIsSafe) {
  m_store.SetInt("SubAgent", "PingInterval", 1, 0, 0, 0);
  auto subAgent = std::make_unique<BSASubAgent>();
  ASSERT_EQ(subAgent->Init(&m_store), 0);
  ASSERT_EQ(subAgent->OpenSession("x"), 0);
  subAgent->Start();
  EXPECT_TRUE(m_master.WaitForRequests(2));  // the open and a ping
  subAgent.reset();
}

// Used out of order, before Init, the sub-agent refuses instead of running
// threads that have no owner or sending to no address.
TEST(SubAgentConfigTest, OperationsBeforeInitFailCleanly) {
  BSASubAgent subAgent;
  EXPECT_NE(subAgent.Start(), 0);
  EXPECT_FALSE(BSASubAgentPeer::ResponderRunning(subAgent));
  EXPECT_FALSE(BSASubAgentPeer::PingThreadRunning(subAgent));
  int upTime = 0;
  EXPECT_LT(subAgent.Ping(upTime), 0);
  EXPECT_LT(subAgent.OpenSession("x"), 0);
  EXPECT_EQ(subAgent.Stop(), 0);
}

TEST(SubAgentConfigTest, RequestIdsRunFrom1To0x3FFFFFFF) {
  BSASubAgent subAgent;
  EXPECT_EQ(subAgent.GetNewRequestId(), 1u);
  EXPECT_EQ(subAgent.GetNewRequestId(), 2u);
  BSASubAgentPeer::SetLastRequestId(subAgent, 0x3FFFFFFE);
  EXPECT_EQ(subAgent.GetNewRequestId(), 0x3FFFFFFFu);
  EXPECT_EQ(subAgent.GetNewRequestId(), 1u);
}

}  // namespace
}  // namespace QVT::test
