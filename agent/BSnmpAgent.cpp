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
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
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
// How long a request thread waits in its receive before it looks whether
// it is to end (set on the socket once, before the threads start).
constexpr int kReceiveWaitSeconds = 2;

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
      // Every thread blocks in the receive itself, so that the system wakes
      // exactly one per datagram; the socket's receive time-out wakes it now
      // and then, and an extra thread ends once it has had nothing to do for
      // a while.
      if (Serve(*m_pEndpoint)) {
        idleSince = std::chrono::steady_clock::now();
      } else if (m_extra && std::chrono::steady_clock::now() - idleSince > kExtraIdleLimit) {
        break;
      }
    }
    m_finished.store(true);
    return 0;
  }

  bool Finished() const { return m_finished.load(); }

 private:
  static constexpr auto kExtraIdleLimit = std::chrono::seconds(10);

  // Waits (up to the endpoint's receive wait) for one datagram and answers
  // it; false when none came.
  bool Serve(Endpoint& endpoint) {
    BSockDatagram& socket = endpoint.socket;
    int length = static_cast<int>(m_in.size());
    BAddress remote, local;
    char* data = reinterpret_cast<char*>(m_in.data());
    ++endpoint.waiting;
    const int status = socket.RecvFrom(data, length, remote, local, kReceiveWaitSeconds, 0);
    --endpoint.waiting;
    // After Stop's shutdown every receive returns at once with nothing.
    if (status != 0 || (length == 0 && StopEvent().Wait(0) == 0)) return false;
    m_agent.TookDatagram(endpoint);
    const size_t answer = m_processor.Process(m_in.data(), static_cast<size_t>(length), remote, local);
    if (answer == 0) return true;
    // From the address the request was sent to; never waiting for room: a
    // full send queue loses this answer, as the network may, and the manager
    // retries.
    int size = static_cast<int>(answer);
    socket.SendTo(reinterpret_cast<const char*>(m_processor.Answer()), size, remote,
                  endpoint.wildcard ? local : BAddress());
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
    : m_mib(mib),
      m_config(config),
      m_snmpGroup(m_counters),
      m_usmStats("usmStats", BObjectIdentifier{1, 3, 6, 1, 6, 3, 15, 1, 1}, m_counters,
                 {{1, USM_STATS_UNSUPPORTED_SEC_LEVELS},
                  {2, USM_STATS_NOT_IN_TIME_WINDOWS},
                  {3, USM_STATS_UNKNOWN_USER_NAMES},
                  {4, USM_STATS_UNKNOWN_ENGINE_IDS},
                  {5, USM_STATS_WRONG_DIGESTS},
                  {6, USM_STATS_DECRYPTION_ERRORS}}),
      m_mpdStats("snmpMPDStats", BObjectIdentifier{1, 3, 6, 1, 6, 3, 11, 2, 1}, m_counters,
                 {{1, SNMP_UNKNOWN_SECURITY_MODELS}, {2, SNMP_INVALID_MSGS}, {3, SNMP_UNKNOWN_PDU_HANDLERS}}),
      m_targetObjects("snmpTargetObjects", BObjectIdentifier{1, 3, 6, 1, 6, 3, 12, 1}, m_counters,
                      {{5, SNMP_UNKNOWN_CONTEXTS}}) {
  if (m_config.engineState != nullptr) {
    m_engineGroup = std::make_unique<BSnmpEngineMib>(*m_config.engineState, m_config.maxMessageSize);
  }
}

std::vector<BMibSubtreeHandler*> BSnmpAgent::EngineHandlers() {
  std::vector<BMibSubtreeHandler*> handlers{&m_usmStats, &m_mpdStats, &m_targetObjects};
  if (m_engineGroup) handlers.push_back(m_engineGroup.get());
  return handlers;
}

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
      if (address.Family() == BAddress::kFamilyINet6) {
        // Let "[::]:port" and "0.0.0.0:port" be bound side by side.
        const int on = 1;
        ::setsockopt(socket.Descriptor(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
      }
      result = socket.Bind();
    }
    if (result == 0) result = socket.EnablePacketInfo();
    if (result == 0) result = socket.SetReceiveWait(kReceiveWaitSeconds, 0);
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
