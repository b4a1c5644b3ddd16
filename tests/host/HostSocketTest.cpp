// The datagram socket where it fails: addresses it cannot bind, datagrams it
// cannot send, receives that find nothing or too much, and a socket used
// after it was closed. Results follow the host convention: 0 done, 1 the
// wait ran out, a negative number (minus the error number, or -1 from Bind,
// Connect and Create) otherwise, with the error number in LastError().
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "BSocket.h"
#include "ChildProcess.h"

namespace QVT {
namespace {

BAddress Address(const char* text) {
  BAddrINet address;
  EXPECT_NE(address.AssignFromDottedDecimalStr(text), 0) << text;
  return address;
}

BAddress Loopback(unsigned short port) {
  BAddress address = Address("127.0.0.1:0");
  address.SetPort(port);
  return address;
}

BAddress LoopbackIPv6(unsigned short port) {
  unsigned char octets[16] = {};
  octets[15] = 1;
  BAddress address(BAddress::kFamilyINet6);
  address.SetIPv6(octets);
  address.SetPort(port);
  return address;
}

int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
  }
  return count;
}

// A socket bound to a port of its own on 127.0.0.1.
struct BoundSocket : BSockDatagram {
  BoundSocket() {
    BAddress any = Loopback(0);
    EXPECT_EQ(Create(), 0);
    EXPECT_EQ(Bind(any), 0);
  }
  unsigned short Port() const { return MyAddress().Port(); }
};

// A datagram from `sender` reaches `receiver`, a socket bound on 127.0.0.1, whole and from the sender's port.
void ExpectCarries(BoundSocket& sender, BSockDatagram& receiver) {
  BAddress to, from;
  ASSERT_EQ(receiver.GetLocalAddress(to), 0);
  int length = 3;
  ASSERT_EQ(sender.SendTo("abc", length, to), 0);
  char buffer[8];
  length = sizeof buffer;
  ASSERT_EQ(receiver.RecvFrom(buffer, length, from, 5, 0), 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), "abc");
  EXPECT_EQ(from.Port(), sender.Port());
}

TEST(BSockDatagramFailureTest, BindFailsWithMinusOneAndTheReasonAndLeavesTheSocketUsable) {
  BoundSocket taken;
  // clang-format off
  const struct { const char* name; BAddress address; bool bindFirst; int error; } kCases[] = {
      {"port in use", Loopback(taken.Port()), false, EADDRINUSE},
      {"address not on this host", Address("198.51.100.7:0"), false, EADDRNOTAVAIL},
      {"IPv6 address on an IPv4 socket", LoopbackIPv6(0), false, EAFNOSUPPORT},
      {"bound already", Loopback(0), true, EINVAL}};
  // clang-format on
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    BSockDatagram socket;
    ASSERT_EQ(socket.Create(), 0);
    BAddress first = Loopback(0), address = c.address, free = Loopback(0);
    if (c.bindFirst) {
      ASSERT_EQ(socket.Bind(first), 0);
    }
    EXPECT_EQ(socket.Bind(address), -1);  // the transport compares with -1
    EXPECT_EQ(socket.LastError(), c.error);
    // The descriptor survives a failed bind: bound now (or still), it carries a datagram.
    if (!c.bindFirst) {
      ASSERT_EQ(socket.Bind(free), 0);
    }
    ExpectCarries(taken, socket);
  }
}

// Every form of send refuses a datagram the system will not take, with minus the error number.
TEST(BSockDatagramFailureTest, SendsTheSystemRefusesReturnMinusTheErrorNumberInEveryForm) {
  BoundSocket receiver, sender;
  const int largest = sender.GetMaxMsgSize();
  ASSERT_EQ(largest, 65507);
  const std::string tooLong(static_cast<size_t>(largest) + 1, 'x');
  // clang-format off
  const struct { const char* name; BAddress to; int length; int result; } kCases[] = {
      {"no address", BAddress(), 4, -EDESTADDRREQ},
      {"port zero", Loopback(0), 4, -EINVAL},
      {"broadcast not enabled", Address("255.255.255.255:9"), 4, -EACCES},
      {"IPv6 destination", LoopbackIPv6(9), 4, -EAFNOSUPPORT},
      {"longer than a datagram", Loopback(receiver.Port()), largest + 1, -EMSGSIZE}};
  // clang-format on
  using Send = std::function<int(const char*, int&, BAddress&)>;
  const BAddress from = Loopback(0);
  const struct {
    const char* name;
    Send send;
  } kForms[] = {{"blocking", [&](const char* d, int& n, BAddress& to) { return sender.SendTo(d, n, to); }},
                {"timed", [&](const char* d, int& n, BAddress& to) { return sender.SendTo(d, n, to, 1, 0); }},
                {"with source", [&](const char* d, int& n, BAddress& to) { return sender.SendTo(d, n, to, from); }}};
  for (const auto& form : kForms) {
    for (const auto& c : kCases) {
      BAddress to = c.to;
      int length = c.length;
      EXPECT_EQ(form.send(tooLong.data(), length, to), c.result) << form.name << ", " << c.name;
      EXPECT_EQ(sender.LastError(), -c.result) << form.name << ", " << c.name;
    }
  }
  // The largest datagram the socket names goes through whole.
  const std::string largestDatagram(static_cast<size_t>(largest), 'y');
  BAddress to = Loopback(receiver.Port()), source;
  int length = largest;
  ASSERT_EQ(sender.SendTo(largestDatagram.data(), length, to), 0);
  EXPECT_EQ(length, largest);
  std::string received(static_cast<size_t>(largest) + 10, '\0');
  length = static_cast<int>(received.size());
  ASSERT_EQ(receiver.RecvFrom(received.data(), length, source, 5, 0), 0);
  EXPECT_EQ(length, largest);
  EXPECT_EQ(received.substr(0, static_cast<size_t>(length)), largestDatagram);
}

// A datagram to a port nobody listens on comes back as "connection refused"
// on a connected socket: the receive that follows reports it, once.
TEST(BSockDatagramFailureTest, AnUnreachablePeerIsReportedByTheNextReceiveOfAConnectedSocket) {
  BAddress nobody = Loopback(test::FreeUdpPort());
  BSockDatagram socket;
  ASSERT_EQ(socket.Create(), 0);
  ASSERT_EQ(socket.Connect(nobody), 0);
  char buffer[8];
  BAddress from;
  int result = 1;
  for (int attempt = 0; attempt < 5 && result == 1; ++attempt) {  // the system may limit its ICMP replies
    int length = 4;
    ASSERT_EQ(socket.SendTo("ping", length, nobody), 0);
    length = sizeof buffer;
    result = socket.RecvFrom(buffer, length, from, 2, 0);
  }
  EXPECT_EQ(result, -ECONNREFUSED);
  EXPECT_EQ(socket.LastError(), ECONNREFUSED);
  int length = sizeof buffer;
  EXPECT_EQ(socket.RecvFrom(buffer, length, from, 0, 20000), 1);  // reported once, then a plain time-out
  BSockDatagram unconnected;                                      // Connect without a peer address
  ASSERT_EQ(unconnected.Create(), 0);
  EXPECT_EQ(unconnected.Connect(), -1);
  EXPECT_EQ(unconnected.LastError(), EDESTADDRREQ);
}

// Nothing to read: 1 from every timed receive, whatever the socket's style;
// an untimed receive on a non-blocking socket fails at once instead.
TEST(BSockDatagramFailureTest, ReceivesThatFindNothingTimeOutWithOne) {
  // clang-format off
  const struct { const char* name; bool nonBlocking, withDestination; int seconds, microseconds, result; } kCases[] = {
      {"blocking, timed", false, false, 0, 20000, 1}, {"blocking, poll", false, false, 0, 0, 1},
      {"blocking, timed, destination", false, true, 0, 20000, 1}, {"blocking, poll, destination", false, true, 0, 0, 1},
      {"non-blocking, timed", true, false, 0, 20000, 1}, {"non-blocking, poll", true, false, 0, 0, 1},
      {"non-blocking, timed, destination", true, true, 0, 20000, 1},
      {"non-blocking, untimed", true, false, -1, -1, -EAGAIN},
      {"non-blocking, untimed, destination", true, true, -1, -1, -EAGAIN}};
  // clang-format on
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    BoundSocket socket, sender;
    ASSERT_EQ(socket.SetStyle(c.nonBlocking, 0, 1), 0);
    if (c.withDestination) {
      ASSERT_EQ(socket.EnablePacketInfo(), 0);
    }
    char buffer[8];
    int length = sizeof buffer;
    BAddress from, to;
    const int result = c.withDestination ? socket.RecvFrom(buffer, length, from, to, c.seconds, c.microseconds)
                                         : socket.RecvFrom(buffer, length, from, c.seconds, c.microseconds);
    EXPECT_EQ(result, c.result);
    ExpectCarries(sender, socket);  // whatever came before, a datagram that is there is received
  }
}

// The time-out a timed receive gives the socket must not outlive it: an
// untimed receive afterwards waits for the datagram however long it takes.
TEST(BSockDatagramFailureTest, AnUntimedReceiveAfterATimedOneWaitsWithoutLimit) {
  BoundSocket socket, sender;
  char buffer[8];
  int length = sizeof buffer;
  BAddress from;
  ASSERT_EQ(socket.RecvFrom(buffer, length, from, 0, 10000), 1);
  ASSERT_EQ(socket.SetReceiveWait(0, 10000), 0);
  std::atomic<int> result{-100};
  std::thread receiver([&] {
    int size = sizeof buffer;
    result = socket.RecvFrom(buffer, size, from);
  });
  // Several times the earlier time-out: still waiting.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(result.load(), -100);
  BAddress own = Loopback(socket.Port());
  length = 2;
  ASSERT_EQ(sender.SendTo("ok", length, own), 0);
  receiver.join();
  EXPECT_EQ(result.load(), 0);
}

// A datagram longer than the buffer is cut to fit, and its rest is gone: the
// next receive gets the next datagram. An empty datagram is a datagram, not a time-out.
TEST(BSockDatagramFailureTest, ALongDatagramIsCutToTheBufferAndItsRestDropped) {
  BoundSocket socket, sender;
  std::string longText(100, '\0');
  for (size_t i = 0; i < longText.size(); ++i) longText[i] = static_cast<char>('a' + i % 26);
  // clang-format off
  const struct { const char* name; bool timed, withDestination; } kForms[] = {
      {"untimed", false, false}, {"timed", true, false}, {"untimed, destination", false, true},
      {"timed, destination", true, true}};
  // clang-format on
  ASSERT_EQ(socket.EnablePacketInfo(), 0);
  BAddress own = Loopback(socket.Port());
  for (const auto& form : kForms) {
    for (const std::string& text : {longText, std::string("next"), std::string()}) {
      int length = static_cast<int>(text.size());
      ASSERT_EQ(sender.SendTo(text.data(), length, own), 0) << form.name;
    }
    const auto receive = [&](char* buffer, int& length) {
      BAddress from, to;
      if (form.withDestination) {
        return form.timed ? socket.RecvFrom(buffer, length, from, to, 5, 0) : socket.RecvFrom(buffer, length, from, to);
      }
      return form.timed ? socket.RecvFrom(buffer, length, from, 5, 0) : socket.RecvFrom(buffer, length, from);
    };
    char buffer[10 + 1] = {};
    buffer[10] = '#';  // past the buffer the caller passed: untouched
    int length = 10;
    ASSERT_EQ(receive(buffer, length), 0) << form.name;
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), longText.substr(0, 10)) << form.name;
    EXPECT_EQ(buffer[10], '#') << form.name;
    length = 10;
    ASSERT_EQ(receive(buffer, length), 0) << form.name;
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), "next") << form.name;
    length = 10;
    EXPECT_EQ(receive(buffer, length), 0) << form.name;
    EXPECT_EQ(length, 0) << form.name;
  }
}

TEST(BSockDatagramFailureTest, AClosedSocketFailsWithBadDescriptorAndCanBeMadeAgain) {
  BoundSocket socket, peer;
  BAddress to = Loopback(peer.Port()), from, address;
  const BAddress source = Loopback(0);
  ASSERT_EQ(socket.Close(), 0);
  EXPECT_TRUE(socket.IsInvalid());
  char buffer[8];
  int length = 0;
  using Operation = std::function<int()>;
  // clang-format off
  const struct { const char* name; Operation operation; int result; } kCases[] = {
      {"SendTo", [&] { length = 2; return socket.SendTo("hi", length, to); }, -EBADF},
      {"SendTo timed", [&] { length = 2; return socket.SendTo("hi", length, to, 0, 1000); }, -EBADF},
      {"SendTo with source", [&] { length = 2; return socket.SendTo("hi", length, to, source); }, -EBADF},
      {"RecvFrom", [&] { length = 8; return socket.RecvFrom(buffer, length, from); }, -EBADF},
      {"RecvFrom timed", [&] { length = 8; return socket.RecvFrom(buffer, length, from, 0, 1000); }, -EBADF},
      {"RecvFrom destination", [&] { length = 8; return socket.RecvFrom(buffer, length, from, address); }, -EBADF},
      {"RecvFrom destination timed",
       [&] { length = 8; return socket.RecvFrom(buffer, length, from, address, 0, 0); }, -EBADF},
      {"GetLocalAddress", [&] { return socket.GetLocalAddress(address); }, -EBADF},
      {"GetPeerAddress", [&] { return socket.GetPeerAddress(address); }, -EBADF},
      {"SetStyle", [&] { return socket.SetStyle(1, 1, 1); }, -EBADF},
      {"SetReceiveWait", [&] { return socket.SetReceiveWait(1, 0); }, -EBADF},
      {"EnablePacketInfo", [&] { return socket.EnablePacketInfo(); }, -EBADF},
      {"SetBroadcastOption", [&] { return socket.SetBroadcastOption(true); }, -EBADF},
      {"SetMaxReadBufferSize", [&] { return socket.SetMaxReadBufferSize(65536); }, -EBADF},
      {"Bind", [&] { return socket.Bind(); }, -1},
      {"Connect", [&] { return socket.Connect(to); }, -1}};
  // clang-format on
  for (const auto& c : kCases) {
    EXPECT_EQ(c.operation(), c.result) << c.name;
    EXPECT_EQ(socket.LastError(), EBADF) << c.name;
  }
  EXPECT_EQ(socket.GetMaxMsgSize(), -1);
  EXPECT_EQ(socket.Close(), 0);  // closing again, or shutting down, is no failure
  EXPECT_EQ(socket.ShutDown(2), 0);

  // Made again, it works; making it again and again does not leak descriptors.
  const int before = OpenDescriptors();
  for (int i = 0; i < 50; ++i) ASSERT_EQ(socket.Create(), 0);
  EXPECT_EQ(OpenDescriptors(), before + 1);
  BAddress own = Loopback(0);
  ASSERT_EQ(socket.Bind(own), 0);
  ExpectCarries(socket, peer);
  ASSERT_EQ(socket.ShutDown(2), 0);  // both directions: closed, and made again
  EXPECT_TRUE(socket.IsInvalid());
  EXPECT_EQ(OpenDescriptors(), before);
  ASSERT_EQ(socket.Create(), 0);
  EXPECT_EQ(socket.Bind(own), 0);
}

// A socket bound to every address learns which one a datagram was sent to, and answers from that one.
TEST(BSockDatagramTest, PacketInformationGivesTheDestinationAndSetsTheSource) {
  BSockDatagram wildcard, client;
  BAddress any = Address("0.0.0.0:0"), loopback2 = Address("127.0.0.2:0");
  ASSERT_EQ(wildcard.Create() | wildcard.Bind(any) | wildcard.EnablePacketInfo(), 0);
  ASSERT_EQ(client.Create() | client.Bind(loopback2), 0);
  BAddress to = loopback2, from, destination, answerFrom;
  to.SetPort(wildcard.MyAddress().Port());
  int length = 4;
  ASSERT_EQ(client.SendTo("ping", length, to), 0);
  char buffer[16];
  length = sizeof buffer;
  ASSERT_EQ(wildcard.RecvFrom(buffer, length, from, destination, 2, 0), 0);
  EXPECT_EQ(QVAddressToString(destination), QVAddressToString(to));
  length = 4;
  ASSERT_EQ(wildcard.SendTo("pong", length, from, destination), 0);
  length = sizeof buffer;
  ASSERT_EQ(client.RecvFrom(buffer, length, answerFrom, 2, 0), 0);
  EXPECT_EQ(QVAddressToString(answerFrom), QVAddressToString(to));  // not 127.0.0.1, the system's choice
}

}  // namespace
}  // namespace QVT
