// Datagram sockets on 127.0.0.1 with system-chosen ports: the round trip,
// the time-out result 1, negative results with the error number kept, and a
// fresh socket after a full shutdown.
#include "BSocket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace QVT {
namespace {

class BSockDatagramTest : public ::testing::Test {
 protected:
  // Creates `socket` bound to 127.0.0.1 on a free port; its address in `address`.
  static void Open(BSockDatagram& socket, BAddress& address) {
    BAddrINet loopback;
    ASSERT_NE(loopback.AssignFromDottedDecimalStr("127.0.0.1:0"), 0);
    ASSERT_EQ(socket.Create(), 0);
    ASSERT_EQ(socket.Bind(loopback), 0);
    ASSERT_EQ(socket.GetLocalAddress(address), 0);
    ASSERT_NE(address.Port(), 0);
  }

  // Receives one datagram with a wait of up to 5 s.
  static std::string Receive(BSockDatagram& socket, BAddress& from, int capacity = 2048) {
    std::string buffer(static_cast<size_t>(capacity), '\0');
    int length = capacity;
    EXPECT_EQ(socket.RecvFrom(buffer.data(), length, from, /*seconds=*/5, /*microseconds=*/0), 0);
    buffer.resize(static_cast<size_t>(length < 0 ? 0 : length));
    return buffer;
  }

  BSockDatagram m_a;
  BSockDatagram m_b;
  BAddress m_addrA;
  BAddress m_addrB;
};

TEST_F(BSockDatagramTest, RoundTripCarriesDataAndSender) {
  Open(m_a, m_addrA);
  Open(m_b, m_addrB);
  int length = 5;
  ASSERT_EQ(m_a.SendTo("hello", length, m_addrB, /*seconds=*/1, /*microseconds=*/0), 0);
  EXPECT_EQ(length, 5);
  BAddress from;
  EXPECT_EQ(Receive(m_b, from), "hello");
  EXPECT_EQ(from, m_addrA);

  // The answer goes back to the sender with the untimed forms.
  length = 3;
  ASSERT_EQ(m_b.SendTo("abc", length, from), 0);
  char buffer[16];
  length = sizeof buffer;
  ASSERT_EQ(m_a.RecvFrom(buffer, length, from), 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), "abc");
  EXPECT_EQ(from, m_addrB);

  // Negative waits mean no limit.
  length = 0;
  ASSERT_EQ(m_a.SendTo("", length, m_addrB, -1, -1), 0);
  EXPECT_EQ(Receive(m_b, from), "");
}

TEST_F(BSockDatagramTest, DatagramLongerThanTheBufferIsCut) {
  Open(m_a, m_addrA);
  Open(m_b, m_addrB);
  const std::string payload(100, 'x');
  int length = static_cast<int>(payload.size());
  ASSERT_EQ(m_a.SendTo(payload.data(), length, m_addrB), 0);
  BAddress from;
  EXPECT_EQ(Receive(m_b, from, /*capacity=*/10), std::string(10, 'x'));
}

TEST_F(BSockDatagramTest, ReceiveWithoutDatagramTimesOutWithOne) {
  Open(m_a, m_addrA);
  char buffer[8];
  int length = 7;
  BAddress from;
  EXPECT_EQ(m_a.RecvFrom(buffer, length, from, /*seconds=*/0, /*microseconds=*/20000), 1);
  EXPECT_EQ(length, 7);
  EXPECT_TRUE(from.IsEmpty());
  EXPECT_EQ(m_a.RecvFrom(buffer, length, from, 0, 0), 1);
}

TEST_F(BSockDatagramTest, FailuresAreNegativeAndKeepTheErrorNumber) {
  Open(m_b, m_addrB);
  char buffer[8];
  BAddress from;
  int length = 4;
  // No system socket yet.
  EXPECT_EQ(m_a.SendTo("data", length, m_addrB), -EBADF);
  EXPECT_EQ(m_a.LastError(), EBADF);
  EXPECT_EQ(m_a.RecvFrom(buffer, length, from, 0, 1000), -EBADF);
  EXPECT_EQ(m_a.GetMaxMsgSize(), -1);
  EXPECT_EQ(m_a.Bind(), -1);
  EXPECT_EQ(m_a.LastError(), EBADF);
  EXPECT_LT(m_a.SetBroadcastOption(true), 0);

  // A port that is taken already.
  ASSERT_EQ(m_a.Create(), 0);
  EXPECT_EQ(m_a.Bind(m_addrB), -1);
  EXPECT_EQ(m_a.LastError(), EADDRINUSE);
  // No destination.
  BAddress none;
  EXPECT_LT(m_a.SendTo("data", length, none), 0);
  EXPECT_EQ(m_a.LastError(), EDESTADDRREQ);
  EXPECT_EQ(m_a.Connect(), -1);
  EXPECT_EQ(m_a.LastError(), EDESTADDRREQ);
  // Non-blocking with nothing to read: a failure, not a time-out.
  ASSERT_EQ(m_a.SetStyle(/*nonBlocking=*/1, /*reuseAddress=*/0, /*closeOnExec=*/1), 0);
  length = sizeof buffer;
  EXPECT_EQ(m_a.RecvFrom(buffer, length, from), -EAGAIN);
  EXPECT_EQ(m_a.LastError(), EAGAIN);

  // A closed socket.
  ASSERT_EQ(m_a.Close(), 0);
  length = 4;
  EXPECT_EQ(m_a.SendTo("data", length, m_addrB, 1, 0), -EBADF);
  EXPECT_EQ(m_a.LastError(), EBADF);
}

TEST_F(BSockDatagramTest, ShutDownBothWaysThenCreateGivesAFreshSocket) {
  Open(m_a, m_addrA);
  Open(m_b, m_addrB);
  EXPECT_EQ(m_a.SetBroadcastOption(true), 0);
  EXPECT_EQ(m_a.SetLingerOption(true, 0), 0);
  EXPECT_EQ(m_a.SetSendBufferOption(2048), 0);
  EXPECT_EQ(m_a.GetMaxMsgSize(), 65507);
  EXPECT_EQ(m_a.ShutDown(2), 0);
  EXPECT_TRUE(m_a.IsInvalid());
  int length = 1;
  EXPECT_EQ(m_a.SendTo("x", length, m_addrB), -EBADF);

  ASSERT_EQ(m_a.Create(), 0);
  EXPECT_FALSE(m_a.IsInvalid());
  BAddress unbound;
  ASSERT_EQ(m_a.GetLocalAddress(unbound), 0);
  EXPECT_EQ(unbound.Port(), 0);  // not the old bound socket
  length = 1;
  ASSERT_EQ(m_a.SendTo("y", length, m_addrB, 1, 0), 0);
  BAddress from;
  EXPECT_EQ(Receive(m_b, from), "y");
  EXPECT_NE(from.Port(), 0);  // bound by the system on the first send
}

}  // namespace
}  // namespace QVT
