// The datagram socket on loopback: wait and time-out, binding rules, message
// size, a fresh socket after ShutDown.
#include <gtest/gtest.h>

#include <cerrno>

#include "BSAPdu.h"
#include "BSASocket.h"
#include "ChildProcess.h"

namespace QVT::test {
namespace {

// Initializes `socket` on a free port, retrying if another process took it.
unsigned short BindToFreePort(BSASocket& socket) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    const unsigned short port = FreeUdpPort();
    if (socket.Initialize(port) == 0) return port;
  }
  ADD_FAILURE() << "no free port";
  return 0;
}

TEST(BSASocketTest, WaitIntervalAndTimeOut) {
  BSASocket socket(2048, 2);  // 2 s; 0 changes nothing
  const std::tuple<int, int, int> cases[] = {
      // set, seconds, microseconds
      {0, 2, 0}, {2500000, 2, 500000}, {0, 2, 500000}, {-5, -1, -1}, {0, -1, -1}, {999999, 0, 999999}};
  for (const auto& [microseconds, seconds, rest] : cases) {
    socket.SetWaitInterval(microseconds);
    EXPECT_EQ(std::make_pair(socket.waitSeconds, socket.waitMicroseconds), std::make_pair(seconds, rest));
  }
  BindToFreePort(socket);
  socket.SetWaitInterval(50000);
  unsigned char data[16];
  unsigned length = sizeof data;
  BAddress from;
  EXPECT_EQ(socket.RecvFrom(data, length, from, false), SA_ERR_TIMEOUT);
  EXPECT_EQ(length, sizeof data);
  EXPECT_EQ(socket.RecvFrom(data, length, from, /*timeoutSeconds=*/0), static_cast<int>(0x800C0001u));
}

TEST(BSASocketTest, BindingRulesMessageSizeAndAFreshSocketAfterShutDown) {
  BSASocket socket(100000, 2);
  const unsigned short port = BindToFreePort(socket);
  EXPECT_EQ(socket.maxMsgSize, 65507);  // lowered to what the system carries
  const int descriptor = socket.Descriptor();
  EXPECT_EQ(socket.Initialize(port), static_cast<int>(0x800B000Bu));  // SA_ERR_ALREADY_BOUND
  EXPECT_EQ(socket.Descriptor(), descriptor);

  BSASocket other(2048, 2);
  EXPECT_EQ(other.Initialize(port), SA_ERR_SOCKET_BASE + EADDRINUSE);
  BAddrINet to;
  to.SetIPv4(0x7F000001);
  to.SetPort(port);
  // ShutDown and Initialize give a fresh socket that sends again (the round
  // trip itself is pinned by the master and sub-agent tests).
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(other.Initialize(0), 0);
    EXPECT_EQ(other.maxMsgSize, 2048);
    unsigned char octet = 0x42;
    unsigned length = 1;
    BAddress from;
    ASSERT_EQ(other.SendTo(&octet, length, to, false), 0);
    ASSERT_EQ(socket.RecvFrom(&octet, length, from, false), 0);
    other.ShutDown(2);
    EXPECT_FALSE(other.IsInitialized());
  }
}

}  // namespace
}  // namespace QVT::test
