// BSnmpAgent: configuration checks, the listening sockets and the request
// threads. The request processing itself is in BSnmpAgentProcessor.cpp.
//
// Every request thread serves one listening socket (threads are spread
// over the sockets, at least one each) and blocks in its receive. The
// system wakes exactly one waiting thread per datagram, so a request costs
// one receive and one send, and a thread held up by a slow sub-agent is
// simply not among the waiters: the next datagram goes to an idle thread.
// Stop shuts the sockets down for reading, which makes every blocked
// receive return.
#include "BSnmpAgent.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "TThread.h"

namespace QVT {

struct BSnmpAgent::Endpoint {
  BSockDatagram socket;
  BAddress local;               // as bound, with the port the system chose
  bool wildcard = false;        // bound to 0.0.0.0 or [::]: answers name their source address
  std::atomic<int> waiting{0};  // threads of this socket waiting for a datagram
};

namespace {

// The largest UDP payload; a datagram this size is never cut.
constexpr size_t kReceiveBufferSize = 65536;

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
  RequestThread(BSnmpAgent& agent, Endpoint& endpoint, bool extra)
      : TThread(false),
        m_agent(agent),
        m_pEndpoint(&endpoint),
        m_extra(extra),
        m_processor(agent),
        m_in(kReceiveBufferSize) {}
  ~RequestThread() override { Stop(kWaitForever); }

  int Run() override {
    auto idleSince = std::chrono::steady_clock::now();
    while (StopEvent().Wait(0) != 0) {
      if (!m_extra) {
        Serve(*m_pEndpoint, 0);
        continue;
      }
      // An extra thread waits with a limit and ends once it has had
      // nothing to do for a while.
      pollfd ready{m_pEndpoint->socket.Descriptor(), POLLIN, 0};
      ++m_pEndpoint->waiting;
      const int polled = ::poll(&ready, 1, kExtraPollMs);
      --m_pEndpoint->waiting;
      if (polled > 0 && Serve(*m_pEndpoint, MSG_DONTWAIT)) {
        idleSince = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - idleSince > kExtraIdleLimit) {
        break;
      }
    }
    m_finished.store(true);
    return 0;
  }

  bool Finished() const { return m_finished.load(); }

 private:
  static constexpr int kExtraPollMs = 1000;
  static constexpr auto kExtraIdleLimit = std::chrono::seconds(10);

  // Receives one datagram and answers it; false when there was none.
  bool Serve(Endpoint& endpoint, int flags) {
    const int fd = endpoint.socket.Descriptor();
    {
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
      if (flags == 0) ++endpoint.waiting;
      const ssize_t received = ::recvmsg(fd, &msg, flags);
      if (flags == 0) --endpoint.waiting;
      // After Stop's shutdown every receive returns at once with nothing.
      if (received < 0 || (received == 0 && StopEvent().Wait(0) == 0)) return false;
      m_agent.TookDatagram(endpoint);
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
      if (answer == 0) return true;

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
    return true;
  }

  BSnmpAgent& m_agent;
  Endpoint* m_pEndpoint;
  const bool m_extra;
  std::atomic<bool> m_finished{false};
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
  if (m_config.maxRequestThreads < m_config.requestThreads || m_config.maxRequestThreads > 1024) {
    m_errorText = "most request threads: " + std::to_string(m_config.maxRequestThreads) + " is outside " +
                  std::to_string(m_config.requestThreads) + "..1024";
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
    if (result == 0) result = socket.SetStyle(/*nonBlocking=*/0, /*reuseAddress=*/0, /*closeOnExec=*/1);
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

  m_running = true;
  {
    std::lock_guard<std::mutex> guard(m_threadsLock);
    m_stopping = false;
  }
  const size_t threads = std::max(static_cast<size_t>(m_config.requestThreads), m_endpoints.size());
  for (size_t i = 0; i < threads; ++i) {
    if (!StartThread(*m_endpoints[i % m_endpoints.size()], /*extra=*/false)) {
      m_errorText = "cannot start a request thread";
      Stop();
      return -1;
    }
  }
  return 0;
}

bool BSnmpAgent::StartThread(Endpoint& endpoint, bool extra) {
  std::lock_guard<std::mutex> guard(m_threadsLock);
  if (m_stopping) return false;
  // Extra threads that ended are reaped here (joining them costs nothing).
  std::erase_if(m_threads, [](const std::unique_ptr<RequestThread>& t) { return t->Finished(); });
  if (extra && static_cast<int>(m_threads.size()) >= m_config.maxRequestThreads) return false;
  auto thread = std::make_unique<RequestThread>(*this, endpoint, extra);
  if (thread->Start(0, 0) != 0) return false;
  m_threads.push_back(std::move(thread));
  return true;
}

void BSnmpAgent::TookDatagram(Endpoint& endpoint) {
  if (endpoint.waiting.load() == 0) StartThread(endpoint, /*extra=*/true);
}

int BSnmpAgent::RequestThreadCount() {
  std::lock_guard<std::mutex> guard(m_threadsLock);
  return static_cast<int>(std::count_if(m_threads.begin(), m_threads.end(),
                                        [](const std::unique_ptr<RequestThread>& t) { return !t->Finished(); }));
}

void BSnmpAgent::Stop() {
  if (!m_running) return;
  std::vector<std::unique_ptr<RequestThread>> threads;
  {
    std::lock_guard<std::mutex> guard(m_threadsLock);
    m_stopping = true;
    threads.swap(m_threads);
  }
  for (auto& thread : threads) thread->Terminate();
  // A UDP socket shut down for reading wakes every thread blocked in its
  // receive (which then returns with nothing), and every later receive
  // returns at once.
  for (auto& endpoint : m_endpoints) ::shutdown(endpoint->socket.Descriptor(), SHUT_RD);
  for (auto& thread : threads) thread->Stop(kWaitForever);
  threads.clear();
  CloseEndpoints();
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

bool BSnmpAgent::BeginRequest(const BAddress& remote, int32_t requestId) {
  std::lock_guard<std::mutex> guard(m_inFlightLock);
  for (const InFlight& entry : m_inFlight) {
    if (entry.requestId == requestId && entry.remote == remote) return false;
  }
  m_inFlight.push_back({remote, requestId});
  return true;
}

void BSnmpAgent::EndRequest(const BAddress& remote, int32_t requestId) {
  std::lock_guard<std::mutex> guard(m_inFlightLock);
  for (size_t i = 0; i < m_inFlight.size(); ++i) {
    if (m_inFlight[i].requestId == requestId && m_inFlight[i].remote == remote) {
      m_inFlight[i] = m_inFlight.back();
      m_inFlight.pop_back();
      return;
    }
  }
}

void BSnmpAgent::SendAuthenticationFailure() {
  ITrapSender* sender = m_pTrapSender.load();
  if (sender == nullptr || m_counters.EnableAuthenTraps() != SNMP_AUTHEN_TRAPS_ENABLED) return;
  // snmpTraps.5: authenticationFailure (RFC 3418).
  const BNotification trap(BObjectIdentifier{1, 3, 6, 1, 6, 3, 1, 1, 5, 5});
  if (sender->SendTrap(trap, nullptr) == 0) m_counters.Increment(SNMP_OUT_TRAPS);
}

}  // namespace QVT
