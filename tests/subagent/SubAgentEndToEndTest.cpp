// The example sub-agent program's classes and a master in one process on loopback: the program opens a new
// session and registers again, once, when its master restarts on the same port, right away (the new master
// answers its ping notOpen) or after an outage in which its pings time out and its first attempts to
// reconnect fail. (Walks, SETs, traps and a killed sub-agent through the real programs are driven by the
// end-to-end tests with the SNMP tools.)
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "BSAMaster.h"
#include "BSASession.h"
#include "SubAgentExample.h"
#include "SubAgentTestSupport.h"

namespace QVT::test {
namespace {

struct OpenCounter : ISAMasterEvents {
  void OnSessionOpened(const BSASession&) override { ++opened; }
  void OnSessionClosed(const BSASession&, ECloseReason, int) override {}
  std::atomic<int> opened{0};
};

TEST(EndToEndTest, ExampleProgramReconnectsToARestartedMasterOnce) {
  const unsigned short port = FreeUdpPort();
  OpenCounter sessions;
  std::unique_ptr<BMibHandler> mib;
  std::unique_ptr<BSAMaster> master;
  const auto startMaster = [&] {
    master.reset();  // before the MIB handler it uses
    mib = std::make_unique<BMibHandler>();
    master = std::make_unique<BSAMaster>(mib.get(), nullptr);  // up-time 0, as notOpen looks to the example
    BMemoryStore store;
    store.SetInt("SAMaster", "Port", port, 0, 0, 0);
    master->SetEventListener(&sessions);
    EXPECT_TRUE(master->Init(&store) == 0 && master->Start() == 0);
  };
  startMaster();
  char path[] = "/tmp/qvt-subagent-e2e-XXXXXX";
  close(mkstemp(path));
  std::ofstream(path) << "[SubAgent]\nMasterAddress=127.0.0.1:" << port
                      << "\nPingInterval=1\nMasterTimeout=1\nMaxProcTime=1\n";
  app::SubAgentExample example;
  ASSERT_EQ(example.Configure({"-c", path, "--description", "again", "--rows", "1-2"}), -1);
  TEvent stop;
  int exitStatus = -1;
  std::thread program([&] { exitStatus = example.Run(stop); });
  const std::string descr = "1.3.6.1.4.1.32473.1.1.1.1.0", owner = "1.3.6.1.4.1.32473.1.1.2.1.2.2";
  const auto registered = [&] {  // the scalars first, the last row last
    BVarBindList list = Vbl({descr, owner});
    int index = 0;
    return mib->Query(SNMP_REQ_GET, 7001, BSecurityParams(2, BString("public"), 1), BString(), list, index) == 0 &&
           Texts(list) == descr + "=\"again\"|" + owner + "=\"again\"";
  };
  EXPECT_TRUE(WaitUntil(registered, 10000));
  for (const int outageMs : {0, 4000}) {
    master->Stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(outageMs));
    startMaster();
    EXPECT_TRUE(WaitUntil(registered, 20000)) << outageMs;
    const int opened = sessions.opened.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(sessions.opened.load(), opened) << "a second reconnect";
    EXPECT_EQ(master->SessionCount(), 1) << outageMs;
  }
  stop.Set();
  program.join();
  EXPECT_EQ(exitStatus, 0);
  std::remove(path);
  master->Stop();
}

// The program hands the library the settings it documents, with no file and under the keys a file leaves out
// (the library alone would have no master address, or ping every 60 s).
TEST(EndToEndTest, ExampleProgramSettingsDefaultAsDocumented) {
  char path[] = "/tmp/qvt-subagent-conf-XXXXXX";
  close(mkstemp(path));
  std::ofstream(path) << "[SubAgent]\nMasterTimeout=5\n";
  for (const auto& [file, expected] :
       {std::pair<std::string, std::string>{"", "10 3 3 127.0.0.1:10001"}, {path, "10 5 3 127.0.0.1:10001"}}) {
    app::Configuration config(app::SubAgentKeys());
    std::string error;
    ASSERT_TRUE(config.Load(file, error)) << error;
    BMemoryStore settings;
    app::FillSubAgentSettings(config, settings);
    BSASubAgent subAgent;
    ASSERT_EQ(subAgent.Init(&settings), 0);
    EXPECT_EQ(BSASubAgentPeer::Config(subAgent), expected) << file;
  }
  std::remove(path);
}

}  // namespace
}  // namespace QVT::test
