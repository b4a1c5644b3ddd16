// BSnmpAgent: configuration checks, the listening sockets and the request
// threads. The request processing itself is in BSnmpAgentProcessor.cpp.
//
// Every request thread polls the stop descriptor (an eventfd) and every
// listening socket. When a socket is readable it receives without waiting
// (several threads may have woken for the same datagram; those that find
// nothing go back to poll) and keeps receiving from that socket while
// datagrams are queued, which saves the poll call under load. Waking every
// idle thread costs a few futile receives; an exclusive wake-up (one
// thread per arrival) would be cheaper, but a thread that took one of two
// queued datagrams and then waits on a slow sub-agent would leave the
// second one unserved until the next arrival.
#include "BSnmpAgent.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "TThread.h"

namespace QVT {

struct BSnmpAgent::Endpoint {
  BSockDatagram socket;
  BAddress local;         // as bound, with the port the system chose
  bool wildcard = false;  // bound to 0.0.0.0 or [::]: answers name their source address
};

namespace {

// The largest UDP payload; a datagram this size is never cut.
constexpr size_t kReceiveBufferSize = 65536;
// Datagrams taken from one socket before the thread looks at the others.
constexpr int kBurst = 32;

bool IsWildcard(const BAddress& address) {
  const unsigned n = address.Family() == BAddress::kFamilyINet6 ? 16 : 4;
  for (unsigned i = 0; i < n; ++i) {
    if (address.Octets()[i] != 0) return false;
  }
  return true;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

class BSnmpAgent::RequestThread : public TThread {
 public:
  explicit RequestThread(BSnmpAgent& agent)
      : TThread(false), m_agent(agent), m_processor(agent), m_in(kReceiveBufferSize) {}
  ~RequestThread() override { Stop(kWaitForever); }

  int Run() override {
    std::vector<pollfd> fds;
    fds.push_back({m_agent.m_wakeFd, POLLIN, 0});
    for (const auto& endpoint : m_agent.m_endpoints) fds.push_back({endpoint->socket.Descriptor(), POLLIN, 0});
    while (!StopEvent().IsSet()) {
      const int ready = ::poll(fds.data(), fds.size(), -1);
      if (ready < 0) {
        if (errno == EINTR) continue;
        return -1;
      }
      if (fds[0].revents != 0) break;
      for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents != 0) Drain(*m_agent.m_endpoints[i - 1]);
      }
    }
    return 0;
  }

 private:
  void Drain(Endpoint& endpoint) {
    const int fd = endpoint.socket.Descriptor();
    for (int n = 0; n < kBurst && !StopEvent().IsSet(); ++n) {
      sockaddr_storage from{};
      alignas(cmsghdr) unsigned char control[128];
      iovec iov{m_in.data(), m_in.size()};
      msghdr msg{};
      msg.msg_name = &from;
      msg.msg_namelen = sizeof from;
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      const ssize_t received = ::recvmsg(fd, &msg, MSG_DONTWAIT);
      if (received < 0) {
        if (errno == EINTR) continue;
        return;  // nothing queued (another thread took it), or an error report of an earlier send
      }
      BAddress remote;
      remote.FromSockaddr(reinterpret_cast<sockaddr*>(&from), msg.msg_namelen);
      BAddress local = endpoint.local;
      in_pktinfo info4{};
      in6_pktinfo info6{};
      bool haveInfo4 = false;
      bool haveInfo6 = false;
      for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
          std::memcpy(&info4, CMSG_DATA(c), sizeof info4);
          haveInfo4 = true;
          local.SetIPv4(ntohl(info4.ipi_addr.s_addr));
        } else if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
          std::memcpy(&info6, CMSG_DATA(c), sizeof info6);
          haveInfo6 = true;
          local.SetIPv6(info6.ipi6_addr.s6_addr);
        }
      }
      local.SetPort(endpoint.local.Port());

      const size_t answer = m_processor.Process(m_in.data(), static_cast<size_t>(received), remote, local);
      if (answer == 0) continue;

      sockaddr_storage to{};
      const unsigned toLength = remote.ToSockaddr(&to, sizeof to);
      iovec out{const_cast<unsigned char*>(m_processor.Answer()), answer};
      msghdr reply{};
      reply.msg_name = &to;
      reply.msg_namelen = toLength;
      reply.msg_iov = &out;
      reply.msg_iovlen = 1;
      alignas(cmsghdr) unsigned char replyControl[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
      if (endpoint.wildcard && (haveInfo4 || haveInfo6)) {
        // Answer from the address the request was sent to.
        reply.msg_control = replyControl;
        reply.msg_controllen = haveInfo4 ? CMSG_SPACE(sizeof(in_pktinfo)) : CMSG_SPACE(sizeof(in6_pktinfo));
        cmsghdr* c = CMSG_FIRSTHDR(&reply);
        if (haveInfo4) {
          in_pktinfo source{};
          source.ipi_spec_dst = info4.ipi_addr;
          c->cmsg_level = IPPROTO_IP;
          c->cmsg_type = IP_PKTINFO;
          c->cmsg_len = CMSG_LEN(sizeof source);
          std::memcpy(CMSG_DATA(c), &source, sizeof source);
        } else {
          c->cmsg_level = IPPROTO_IPV6;
          c->cmsg_type = IPV6_PKTINFO;
          c->cmsg_len = CMSG_LEN(sizeof info6);
          std::memcpy(CMSG_DATA(c), &info6, sizeof info6);
        }
      }
      // Never wait for room: a full send queue loses this answer, as the
      // network may, and the manager retries.
      while (::sendmsg(fd, &reply, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno == EINTR) {
      }
    }
  }

  BSnmpAgent& m_agent;
  Processor m_processor;
  std::vector<unsigned char> m_in;
};

BSnmpAgent::BSnmpAgent(BMibHandler& mib, const BSnmpAgentConfig& config)
    : m_mib(mib), m_config(config), m_snmpGroup(m_counters) {}

BSnmpAgent::~BSnmpAgent() {
  Stop();
}

int BSnmpAgent::Start() {
  if (m_running) {
    m_errorText = "the agent runs already";
    return -1;
  }
  m_errorText = BString();
  if (m_config.maxMessageSize < kMinMessageSize || m_config.maxMessageSize > kMaxMessageSize) {
    m_errorText = "MaxMessageSize: " + std::to_string(m_config.maxMessageSize) + " is outside " +
                  std::to_string(kMinMessageSize) + ".." + std::to_string(kMaxMessageSize);
    return -1;
  }
  if (m_config.requestThreads < 1 || m_config.requestThreads > 64) {
    m_errorText = "request threads: " + std::to_string(m_config.requestThreads) + " is outside 1..64";
    return -1;
  }

  const std::string& list = m_config.listenAddresses.str();
  size_t begin = 0;
  while (begin <= list.size()) {
    size_t end = list.find(',', begin);
    if (end == std::string::npos) end = list.size();
    const std::string text = Trimmed(list.substr(begin, end - begin));
    begin = end + 1;
    if (text.empty()) continue;
    BAddress address;
    if (!QVResolveAddress(BString(text), address)) {
      m_errorText = "ListenAddress: cannot resolve '" + text + "'";
      CloseEndpoints();
      return -1;
    }
    auto endpoint = std::make_unique<Endpoint>();
    BSockDatagram& socket = endpoint->socket;
    socket.SetMyAddress(address);
    int result = socket.Create();
    if (result == 0) result = socket.SetStyle(/*nonBlocking=*/1, /*reuseAddress=*/0, /*closeOnExec=*/1);
    if (result == 0) {
      const int on = 1;
      if (address.Family() == BAddress::kFamilyINet6) {
        // Let "[::]:port" and "0.0.0.0:port" be bound side by side.
        ::setsockopt(socket.Descriptor(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        ::setsockopt(socket.Descriptor(), IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
      } else {
        ::setsockopt(socket.Descriptor(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
      }
      result = socket.Bind();
    }
    if (result == 0) result = socket.GetLocalAddress(endpoint->local);
    if (result != 0) {
      m_errorText = "ListenAddress: cannot bind '" + text + "': " + std::strerror(socket.LastError());
      CloseEndpoints();
      return -1;
    }
    endpoint->wildcard = IsWildcard(endpoint->local);
    m_endpoints.push_back(std::move(endpoint));
  }
  if (m_endpoints.empty()) {
    m_errorText = "ListenAddress: no address given";
    return -1;
  }

  m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_wakeFd < 0) {
    m_errorText = std::string("cannot create the stop event: ") + std::strerror(errno);
    CloseEndpoints();
    return -1;
  }
  m_running = true;
  for (int i = 0; i < m_config.requestThreads; ++i) {
    auto thread = std::make_unique<RequestThread>(*this);
    if (thread->Start(0, 0) != 0) {
      m_errorText = "cannot start a request thread";
      Stop();
      return -1;
    }
    m_threads.push_back(std::move(thread));
  }
  return 0;
}

void BSnmpAgent::Stop() {
  if (!m_running) return;
  for (auto& thread : m_threads) thread->Terminate();
  const uint64_t one = 1;
  while (::write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
  for (auto& thread : m_threads) thread->Stop(kWaitForever);
  m_threads.clear();
  CloseEndpoints();
  ::close(m_wakeFd);
  m_wakeFd = -1;
  m_running = false;
}

void BSnmpAgent::CloseEndpoints() {
  m_endpoints.clear();
}

std::vector<BAddress> BSnmpAgent::LocalAddresses() const {
  std::vector<BAddress> addresses;
  for (const auto& endpoint : m_endpoints) addresses.push_back(endpoint->local);
  return addresses;
}

void BSnmpAgent::SendAuthenticationFailure() {
  ITrapSender* sender = m_pTrapSender.load();
  if (sender == nullptr || m_counters.EnableAuthenTraps() != SNMP_AUTHEN_TRAPS_ENABLED) return;
  // snmpTraps.5: authenticationFailure (RFC 3418).
  const BNotification trap(BObjectIdentifier{1, 3, 6, 1, 6, 3, 1, 1, 5, 5});
  if (sender->SendTrap(trap, nullptr) == 0) m_counters.Increment(SNMP_OUT_TRAPS);
}

}  // namespace QVT
