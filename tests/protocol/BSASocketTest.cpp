// The datagram socket on the loopback interface: default wait, time-out
// status, binding rules, a frame round trip and re-creation after ShutDown.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "BSAFrame.h"
#include "BSASocket.h"
#include "ProtocolTestUtil.h"

namespace QVT::test {
namespace {

// A plain socket bound to the wildcard address on `port` (0: any), standing
// in for another program that holds a port.
class PortHolder {
 public:
  explicit PortHolder(unsigned short port) : m_fd(::socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    m_bound = ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    socklen_t length = sizeof address;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
  }
  ~PortHolder() { ::close(m_fd); }
  bool Bound() const { return m_bound; }
  unsigned short Port() const { return m_port; }

 private:
  int m_fd;
  bool m_bound = false;
  unsigned short m_port = 0;
};

// A port that was free a moment ago.
unsigned short FreePort() {
  return PortHolder(0).Port();
}

// Initializes `socket` on a free port, retrying when another process took
// the port in between.
unsigned short BindToFreePort(BSASocket& socket) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    const unsigned short port = FreePort();
    if (socket.Initialize(port) == 0) return port;
  }
  ADD_FAILURE() << "no free port";
  return 0;
}

unsigned short LocalPort(BSASocket& socket) {
  BAddress local;
  EXPECT_EQ(socket.GetLocalAddress(local), 0);
  return local.Port();
}

BAddress Loopback(unsigned short port) {
  BAddrINet address;
  address.SetIPv4(0x7F000001);
  address.SetPort(port);
  return address;
}

TEST(BSASocketTest, WaitIntervalCases) {
  BSASocket socket(2048, 2);
  EXPECT_EQ(socket.maxMsgSize, 2048);
  EXPECT_EQ(socket.waitSeconds, 2);
  EXPECT_EQ(socket.waitMicroseconds, 0);
  EXPECT_FALSE(socket.IsInitialized());

  const struct {
    int microseconds;
    int seconds;
    int rest;
  } cases[] = {{2500000, 2, 500000}, {0, 2, 500000}, {-5, -1, -1}, {0, -1, -1}, {999999, 0, 999999}, {1, 0, 1}};
  for (const auto& c : cases) {
    socket.SetWaitInterval(c.microseconds);
    EXPECT_EQ(socket.waitSeconds, c.seconds) << c.microseconds;
    EXPECT_EQ(socket.waitMicroseconds, c.rest) << c.microseconds;
  }
  BSASocket untimed(2048, 0);
  EXPECT_EQ(untimed.waitSeconds, -1);
  EXPECT_EQ(untimed.waitMicroseconds, -1);
}

TEST(BSASocketTest, ReceiveWithNothingToReadTimesOut) {
  BSASocket socket(2048, 2);
  BindToFreePort(socket);
  socket.SetWaitInterval(50000);
  unsigned char data[16];
  unsigned length = sizeof data;
  BAddress from;
  EXPECT_EQ(socket.RecvFrom(data, length, from, false), SA_ERR_TIMEOUT);
  EXPECT_EQ(length, sizeof data);
  EXPECT_EQ(socket.RecvFrom(data, length, from, /*timeoutSeconds=*/0), static_cast<int>(0x800C0001u));
}

TEST(BSASocketTest, SecondInitializeOnTheSamePortIsRefused) {
  BSASocket socket(2048, 2);
  const unsigned short port = BindToFreePort(socket);
  const int descriptor = socket.Descriptor();
  EXPECT_EQ(socket.Initialize(port), SA_ERR_ALREADY_BOUND);
  EXPECT_EQ(socket.Descriptor(), descriptor);
  EXPECT_EQ(LocalPort(socket), port);
}

TEST(BSASocketTest, PortHeldElsewhereGivesTheSocketErrorNumber) {
  PortHolder holder(0);
  ASSERT_TRUE(holder.Bound());
  BSASocket socket(2048, 2);
  EXPECT_EQ(socket.Initialize(holder.Port()), SA_ERR_SOCKET_BASE + EADDRINUSE);
}

TEST(BSASocketTest, InitializeWithPortZeroLeavesTheSocketUnbound) {
  BSASocket socket(2048, 2);
  EXPECT_EQ(socket.Initialize(0), 0);
  EXPECT_TRUE(socket.IsInitialized());
  EXPECT_EQ(LocalPort(socket), 0);
  // Port 0 is never "already bound".
  EXPECT_EQ(socket.Initialize(0), 0);
}

TEST(BSASocketTest, MessageSizeIsLoweredToWhatTheSystemCarries) {
  BSASocket large(100000, 2);
  ASSERT_EQ(large.Initialize(0), 0);
  EXPECT_EQ(large.maxMsgSize, 65507);
  BSASocket small(2048, 2);
  ASSERT_EQ(small.Initialize(0), 0);
  EXPECT_EQ(small.maxMsgSize, 2048);
}

TEST(BSASocketTest, HostFailuresPassThroughNegative) {
  BSASocket socket(2048, 2);  // never initialized: no descriptor
  unsigned char data[4] = {1, 2, 3, 4};
  unsigned length = sizeof data;
  BAddress to = Loopback(9);
  EXPECT_EQ(socket.SendTo(data, length, to, false), -EBADF);
  EXPECT_EQ(socket.RecvFrom(data, length, to, false), -EBADF);
}

TEST(BSASocketTest, FramesTravelBetweenTwoSockets) {
  BSASocket master(2048, 2);
  const unsigned short masterPort = BindToFreePort(master);
  BSASocket subAgent(2048, 2);
  ASSERT_EQ(subAgent.Initialize(0), 0);

  BSABuffer out;
  BSAPdu ping(SA_PDU_PING, 1, 2);
  ASSERT_EQ(Encode(out, ping), 0);
  unsigned length = out.Length();
  BAddress to = Loopback(masterPort);
  ASSERT_EQ(subAgent.SendTo(out.Data(), length, to, false), 0);
  EXPECT_EQ(length, 24u);
  const unsigned short subAgentPort = LocalPort(subAgent);
  EXPECT_NE(subAgentPort, 0);

  BSABuffer in;
  in.SetLength(in.Capacity());
  BAddress from;
  ASSERT_EQ(master.RecvFrom(in.Data(), in.LengthRef(), from, false), 0);
  EXPECT_EQ(HexOf(in), HexOf(out));
  EXPECT_EQ(from.Port(), subAgentPort);
  EXPECT_EQ(from.IPv4(), 0x7F000001u);

  BSAPdu request;
  ASSERT_EQ(Decode(in, request), 0);
  BSAPdu response(SA_PDU_RESPONSE, request.sessionId, request.requestId);
  ASSERT_EQ(Encode(out, response), 0);
  length = out.Length();
  ASSERT_EQ(master.SendTo(out.Data(), length, from, false), 0);

  in.SetLength(in.Capacity());
  ASSERT_EQ(subAgent.RecvFrom(in.Data(), in.LengthRef(), from, /*timeoutSeconds=*/2), 0);
  BSAPdu answer;
  ASSERT_EQ(Decode(in, answer), 0);
  EXPECT_EQ(answer.type, SA_PDU_RESPONSE);
  EXPECT_EQ(answer.requestId, 2u);
  EXPECT_EQ(from.Port(), masterPort);
}

TEST(BSASocketTest, ShutDownThenInitializeGivesAFreshSocket) {
  BSASocket peer(2048, 2);
  const unsigned short peerPort = BindToFreePort(peer);
  BAddress to = Loopback(peerPort);
  unsigned char octet = 0x42;

  BSASocket socket(2048, 2);
  ASSERT_EQ(socket.Initialize(0), 0);
  unsigned length = 1;
  ASSERT_EQ(socket.SendTo(&octet, length, to, false), 0);
  const unsigned short firstPort = LocalPort(socket);

  socket.ShutDown(2);
  EXPECT_FALSE(socket.IsInitialized());
  // The old port is free again; holding it makes sure the new socket cannot
  // get it back by chance.
  PortHolder oldPort(firstPort);
  ASSERT_TRUE(oldPort.Bound());

  ASSERT_EQ(socket.Initialize(0), 0);
  length = 1;
  ASSERT_EQ(socket.SendTo(&octet, length, to, false), 0);
  const unsigned short secondPort = LocalPort(socket);
  EXPECT_NE(secondPort, 0);
  EXPECT_NE(secondPort, firstPort);

  unsigned char data[4];
  BAddress from;
  for (const unsigned short expected : {firstPort, secondPort}) {
    length = sizeof data;
    ASSERT_EQ(peer.RecvFrom(data, length, from, false), 0);
    EXPECT_EQ(from.Port(), expected);
  }
}

}  // namespace
}  // namespace QVT::test
