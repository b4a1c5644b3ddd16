// The example sub-agent program's classes and a master in one process on loopback: the program registers
// through a lossy path and leaves no orphan session, and hands the library the settings it documents. (Its
// reconnects, walks, SETs, traps and failures through the real programs are driven by the end-to-end tests
// with the SNMP tools.)
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "BSAMaster.h"
#include "SubAgentExample.h"
#include "SubAgentTestSupport.h"

namespace QVT::test {
namespace {

// A temporary file holding `text`.
std::string TempFile(const std::string& text) {
  char path[] = "/tmp/qvt-subagent-e2e-XXXXXX";
  close(mkstemp(path));
  std::ofstream(path) << text;
  return path;
}

BAddress Loopback() {
  BAddress address;
  address.SetIPv4(0x7F000001);
  return address;
}

// A UDP relay between sub-agents and a master that loses a share of the datagrams each way. Sub-agents
// send to its port; it forwards each sub-agent socket's datagrams from a socket of its own to the master,
// and the master's datagrams back from its port, as the master's would come.
class LossyRelay {
 public:
  LossyRelay(unsigned short masterPort, double loss, unsigned seed) : m_loss(loss), m_random(seed) {
    m_master.SetPort(masterPort);
    EXPECT_EQ(m_front.Initialize(Loopback()), 0);
    m_front.GetLocalAddress(m_address);
    m_thread = std::thread([this] { Run(); });
  }
  ~LossyRelay() {
    m_stop = true;
    m_thread.join();
  }
  std::string Address() const { return QVAddressToString(m_address).str(); }
  int Dropped() const { return m_dropped.load(); }

 private:
  struct Back {
    BAddress subAgent;
    std::unique_ptr<BSASocket> socket;
  };
  // Sends the datagram on, unless it is lost.
  void Pass(BSASocket& via, BAddress to, BSABuffer& buffer, unsigned length) {
    if (std::uniform_real_distribution<double>(0, 1)(m_random) < m_loss) {
      ++m_dropped;
    } else {
      via.SendTo(buffer.Data(), length, to, false);
    }
  }
  void Run() {
    BSABuffer buffer;
    while (!m_stop) {
      std::vector<pollfd> fds{{m_front.Descriptor(), POLLIN, 0}};
      for (const Back& back : m_backs) fds.push_back({back.socket->Descriptor(), POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      BAddress sender;
      unsigned length = buffer.Capacity();
      if (fds[0].revents != 0 && m_front.RecvFrom(buffer.Data(), length, sender, 0) == 0) {
        Back* back = nullptr;
        for (Back& b : m_backs) back = b.subAgent == sender ? &b : back;
        if (back == nullptr) {
          back = &m_backs.emplace_back(Back{sender, std::make_unique<BSASocket>(2048, 0)});
          back->socket->Initialize(Loopback());
        }
        Pass(*back->socket, m_master, buffer, length);
      }
      for (size_t i = 1; i < fds.size(); ++i) {  // the master's answers, to the sub-agent of that socket
        length = buffer.Capacity();
        if (fds[i].revents != 0 && m_backs[i - 1].socket->RecvFrom(buffer.Data(), length, sender, 0) == 0) {
          Pass(m_front, m_backs[i - 1].subAgent, buffer, length);
        }
      }
    }
  }

  double m_loss;
  std::mt19937 m_random;
  BAddress m_master = Loopback();
  BAddress m_address;
  BSASocket m_front{2048, 0};
  std::vector<Back> m_backs;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_dropped{0};
  std::thread m_thread;
};

// Under a tenth of the datagrams lost each way the example sub-agent still opens its session and registers
// its MIB, and leaves no other session behind: a request that got no answer is sent again as the same
// request (an open included), the master answers a repeated request without doing it twice, and a session
// whose close went unanswered is closed before the next open. (Idle sessions are never reclaimed here.)
TEST(EndToEndTest, ExampleSubAgentRegistersThroughALossyPathAndLeavesNoOrphans) {
  // Seeds whose first losses fall on the open and on the registrations.
  for (const unsigned seed : {3u, 4u, 5u}) {
    SCOPED_TRACE(seed);
    BMibHandler mib;
    BSAMaster master(&mib, nullptr);
    BMemoryStore store;
    const unsigned short port = FreeUdpPort();
    store.SetInt("SAMaster", "Port", port, 0, 0, 0);
    store.SetString("SAMaster", "IdleTimeout", "0", 0, 0);
    ASSERT_TRUE(master.Init(&store) == 0 && master.Start() == 0);
    LossyRelay relay(port, 0.10, seed);
    const std::string path =
        TempFile("[SubAgent]\nMasterAddress=" + relay.Address() + "\nPingInterval=2\nMasterTimeout=1\nMaxProcTime=1\n");
    app::SubAgentExample example;
    ASSERT_EQ(example.Configure({"-c", path, "--description", "lossy", "--rows", "1-10"}), -1);
    TEvent stop;
    int exitStatus = -1;
    std::thread program([&] { exitStatus = example.Run(stop); });
    // The last row is registered last; the master's registry says so whatever the path loses.
    const BObjectIdentifier lastRow("1.3.6.1.4.1.32473.1.1.2.1.2.10");
    EXPECT_TRUE(WaitUntil(
        [&] {
          TReadLock reading(mib.Synch());
          return mib.Tree().FindExact(lastRow) != nullptr;
        },
        30000, 50));
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the example's clean-up of any earlier try
    EXPECT_EQ(master.SessionCount(), 1);
    EXPECT_GE(relay.Dropped(), 2);
    stop.Set();
    program.join();
    EXPECT_EQ(exitStatus, 0);
    std::remove(path.c_str());
    master.Stop();
  }
}

// The program hands the library the settings it documents, with no file and under the keys a file leaves out
// (the library alone would have no master address, or ping every 60 s).
TEST(EndToEndTest, ExampleProgramSettingsDefaultAsDocumented) {
  const std::string path = TempFile("[SubAgent]\nMasterTimeout=5\n");
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
  std::remove(path.c_str());
}

}  // namespace
}  // namespace QVT::test
