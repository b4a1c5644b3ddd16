#include "BSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace QVT {

BSocket::BSocket(int type) : m_type(type) {}

BSocket::~BSocket() {
  Close();
}

int BSocket::Fail() {
  m_lastError = errno == 0 ? EIO : errno;
  return -m_lastError;
}

int BSocket::Close() {
  if (m_fd < 0) return 0;
  const int fd = m_fd;
  m_fd = -1;
  return ::close(fd) == 0 ? 0 : Fail();
}

int BSocket::ShutDown(int how) {
  if (m_fd < 0) return 0;
  // A UDP socket that is not connected reports ENOTCONN; that is no failure
  // for us, the descriptor is closed just the same.
  ::shutdown(m_fd, how);
  if (how == SHUT_RDWR) return Close();
  return 0;
}

int BSocket::Create() {
  Close();
  m_nonBlocking = false;
  m_receiveTimeout = -1;
  const int domain = m_myAddress.Family() == BAddress::kFamilyINet6 ? AF_INET6 : AF_INET;
  m_fd = ::socket(domain, m_type | SOCK_CLOEXEC, 0);
  if (m_fd < 0) {
    Fail();
    return -1;
  }
  return 0;
}

int BSocket::Bind(BAddress& address) {
  SetMyAddress(address);
  return Bind();
}

int BSocket::Bind() {
  sockaddr_storage storage{};
  BAddress address = m_myAddress;
  if (address.IsEmpty()) address = BAddress(BAddress::kFamilyINet);
  const unsigned length = address.ToSockaddr(&storage, sizeof storage);
  if (::bind(m_fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    Fail();
    return -1;
  }
  // The own address with the port the system chose, for packet information.
  BAddress bound;
  if (GetLocalAddress(bound) == 0) m_myAddress = bound;
  return 0;
}

int BSocket::Connect(BAddress& address) {
  SetPeerAddress(address);
  return Connect();
}

int BSocket::Connect() {
  sockaddr_storage storage{};
  const unsigned length = m_peerAddress.ToSockaddr(&storage, sizeof storage);
  if (length == 0) errno = EDESTADDRREQ;  // no peer address set
  if (length == 0 || ::connect(m_fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    Fail();
    return -1;
  }
  return 0;
}

void BSocket::SetMyAddress(BAddress& address) {
  m_myAddress = address;
}

void BSocket::SetPeerAddress(BAddress& address) {
  m_peerAddress = address;
}

int BSocket::SetStyle(int nonBlocking, int reuseAddress, int closeOnExec) {
  const int flags = ::fcntl(m_fd, F_GETFL);
  if (flags < 0 || ::fcntl(m_fd, F_SETFL, nonBlocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) != 0) return Fail();
  m_nonBlocking = nonBlocking != 0;
  const int reuse = reuseAddress ? 1 : 0;
  if (::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) return Fail();
  const int fdFlags = ::fcntl(m_fd, F_GETFD);
  if (fdFlags < 0 || ::fcntl(m_fd, F_SETFD, closeOnExec ? fdFlags | FD_CLOEXEC : fdFlags & ~FD_CLOEXEC) != 0) {
    return Fail();
  }
  return 0;
}

int BSocket::GetLocalAddress(BAddress& address) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return Fail();
  address.FromSockaddr(reinterpret_cast<sockaddr*>(&storage), length);
  return 0;
}

int BSocket::GetPeerAddress(BAddress& address) {
  sockaddr_storage storage{};
  socklen_t length = sizeof storage;
  if (::getpeername(m_fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return Fail();
  address.FromSockaddr(reinterpret_cast<sockaddr*>(&storage), length);
  return 0;
}

int BSocket::SetMaxReadBufferSize(int bytes) {
  return ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0 ? 0 : Fail();
}

int BSocket::SetBroadcastOption(bool on) {
  const int value = on ? 1 : 0;
  return ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) == 0 ? 0 : Fail();
}

int BSocket::SetLingerOption(bool on, int seconds) {
  linger value{on ? 1 : 0, seconds};
  return ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0 ? 0 : Fail();
}

int BSocket::SetSendBufferOption(int bytes) {
  return ::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0 ? 0 : Fail();
}

BSockDatagram::BSockDatagram() : BSocket(SOCK_DGRAM) {}

int BSockDatagram::GetMaxMsgSize() {
  // The largest UDP payload: 65535 minus the IP and UDP headers.
  if (m_fd < 0) return -1;
  return m_myAddress.Family() == BAddress::kFamilyINet6 ? 65527 : 65507;
}

int BSockDatagram::WaitReady(short events, int seconds, int microseconds) {
  int timeoutMs = -1;
  if (seconds >= 0 && microseconds >= 0) {
    const long long ms = static_cast<long long>(seconds) * 1000 + (microseconds + 999) / 1000;
    timeoutMs = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
  }
  pollfd pfd{m_fd, events, 0};
  for (;;) {
    const int ready = ::poll(&pfd, 1, timeoutMs);
    if (ready > 0) return 0;
    if (ready == 0) return 1;
    if (errno != EINTR) return Fail();
  }
}

int BSockDatagram::Send(const char* data, int& length, BAddress& to, const BAddress* from, int flags) {
  if (m_fd < 0) {
    errno = EBADF;
    return Fail();
  }
  sockaddr_storage storage{};
  const unsigned addressLength = to.ToSockaddr(&storage, sizeof storage);
  if (addressLength == 0) {
    errno = EDESTADDRREQ;
    return Fail();
  }
  iovec iov{const_cast<char*>(data), static_cast<size_t>(length < 0 ? 0 : length)};
  msghdr msg{};
  msg.msg_name = &storage;
  msg.msg_namelen = addressLength;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
  const bool v6 = m_myAddress.Family() == BAddress::kFamilyINet6;
  if (from != nullptr && from->Family() == (v6 ? BAddress::kFamilyINet6 : BAddress::kFamilyINet)) {
    // The source address of this datagram, for a socket bound to a wildcard.
    msg.msg_control = control;
    msg.msg_controllen = v6 ? CMSG_SPACE(sizeof(in6_pktinfo)) : CMSG_SPACE(sizeof(in_pktinfo));
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = v6 ? IPPROTO_IPV6 : IPPROTO_IP;
    c->cmsg_type = v6 ? IPV6_PKTINFO : IP_PKTINFO;
    if (v6) {
      in6_pktinfo source{};
      std::memcpy(&source.ipi6_addr, from->Octets(), 16);
      c->cmsg_len = CMSG_LEN(sizeof source);
      std::memcpy(CMSG_DATA(c), &source, sizeof source);
    } else {
      in_pktinfo source{};
      std::memcpy(&source.ipi_spec_dst, from->Octets(), 4);
      c->cmsg_len = CMSG_LEN(sizeof source);
      std::memcpy(CMSG_DATA(c), &source, sizeof source);
    }
  }
  for (;;) {
    const ssize_t sent = ::sendmsg(m_fd, &msg, flags | MSG_NOSIGNAL);
    if (sent >= 0) {
      length = static_cast<int>(sent);
      return 0;
    }
    if (errno != EINTR) return Fail();
  }
}

int BSockDatagram::SendTo(const char* data, int& length, BAddress& to) {
  return Send(data, length, to, nullptr, 0);
}

int BSockDatagram::SendTo(const char* data, int& length, BAddress& to, int seconds, int microseconds) {
  const int result = Send(data, length, to, nullptr, MSG_DONTWAIT);
  if (result != -EAGAIN && result != -EWOULDBLOCK) return result;
  // No room in the send queue: wait for some, then try once more.
  const int ready = WaitReady(POLLOUT, seconds, microseconds);
  if (ready != 0) return ready;
  return Send(data, length, to, nullptr, 0);
}

int BSockDatagram::SendTo(const char* data, int& length, BAddress& to, const BAddress& from) {
  return Send(data, length, to, &from, MSG_DONTWAIT);
}

bool BSockDatagram::SetReceiveTimeout(long long microseconds) {
  if (microseconds < 0) microseconds = -1;
  if (microseconds == m_receiveTimeout) return true;
  // A zero timeval means "no limit" to the system.
  timeval limit{};
  if (microseconds > 0) {
    limit.tv_sec = static_cast<time_t>(microseconds / 1000000);
    limit.tv_usec = static_cast<suseconds_t>(microseconds % 1000000);
  }
  if (::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) return false;
  m_receiveTimeout = microseconds;
  return true;
}

int BSockDatagram::Receive(char* data, int& length, BAddress& from, int flags, BAddress* to) {
  sockaddr_storage storage{};
  alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo))];
  for (;;) {
    iovec iov{data, static_cast<size_t>(length < 0 ? 0 : length)};
    msghdr msg{};
    msg.msg_name = &storage;
    msg.msg_namelen = sizeof storage;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (to != nullptr) {
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
    }
    const ssize_t received = ::recvmsg(m_fd, &msg, flags);
    if (received >= 0) {
      length = static_cast<int>(received);
      from.FromSockaddr(reinterpret_cast<sockaddr*>(&storage), msg.msg_namelen);
      if (to != nullptr) ReadDestination(msg, *to);
      return 0;
    }
    if (errno == EINTR) continue;
    // Only a receive time-out set on the socket ends a blocking receive so.
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && flags == 0 && !m_nonBlocking && m_receiveTimeout > 0) return 1;
    return Fail();
  }
}

int BSockDatagram::RecvFrom(char* data, int& length, BAddress& from) {
  return ReceiveWithin(data, length, from, -1, -1, nullptr);
}

int BSockDatagram::RecvFrom(char* data, int& length, BAddress& from, int seconds, int microseconds) {
  return ReceiveWithin(data, length, from, seconds, microseconds, nullptr);
}

int BSockDatagram::RecvFrom(char* data, int& length, BAddress& from, BAddress& to) {
  return ReceiveWithin(data, length, from, -1, -1, &to);
}

int BSockDatagram::RecvFrom(char* data, int& length, BAddress& from, BAddress& to, int seconds, int microseconds) {
  return ReceiveWithin(data, length, from, seconds, microseconds, &to);
}

int BSockDatagram::ReceiveWithin(char* data, int& length, BAddress& from, int seconds, int microseconds, BAddress* to) {
  if (m_fd < 0) {
    errno = EBADF;
    return Fail();
  }
  const bool noLimit = seconds < 0 || microseconds < 0;
  const long long wait = noLimit ? -1 : static_cast<long long>(seconds) * 1000000 + microseconds;
  if (!m_nonBlocking && wait != 0 && SetReceiveTimeout(wait)) return Receive(data, length, from, 0, to);
  if (noLimit && m_nonBlocking) return Receive(data, length, from, 0, to);  // as the socket's style says
  const int ready = WaitReady(POLLIN, seconds, microseconds);
  if (ready != 0) return ready;
  return Receive(data, length, from, MSG_DONTWAIT, to);
}

void BSockDatagram::ReadDestination(const msghdr& msg, BAddress& to) {
  to = m_myAddress;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(const_cast<msghdr*>(&msg), c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      to.SetIPv4(ntohl(info.ipi_addr.s_addr));
    } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
      in6_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      to.SetIPv6(info.ipi6_addr.s6_addr);
    }
  }
  to.SetPort(m_myAddress.Port());
}

int BSockDatagram::SetReceiveWait(int seconds, int microseconds) {
  const bool noLimit = seconds < 0 || microseconds < 0;
  return SetReceiveTimeout(noLimit ? -1 : static_cast<long long>(seconds) * 1000000 + microseconds) ? 0 : Fail();
}

int BSockDatagram::EnablePacketInfo() {
  const int on = 1;
  const bool v6 = m_myAddress.Family() == BAddress::kFamilyINet6;
  const int result = v6 ? ::setsockopt(m_fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on)
                        : ::setsockopt(m_fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  return result == 0 ? 0 : Fail();
}

}  // namespace QVT
