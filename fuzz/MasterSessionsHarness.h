// The body of the qv_fuzz_mastersessions target: one input is a run of a
// BSAMaster's session table, fed datagrams from several senders, with the
// session monitor and the application acting in between. After every step
// the master's bookkeeping must hold together; when it does not, the run
// aborts with a line on stderr that says what broke.
//
// The ordinary test suite replays the seed corpus through this same function
// (tests/master/MasterFuzzReplayTest.cpp).
//
// The master is driven the way its worker thread drives it, on the calling
// thread: each datagram is put into the receive buffer with its sender, the
// sender is admitted or dropped by AllowFrom exactly as
// ReceiveAndProcessData does, and the steps the worker runs after every
// receive follow. The threads are never started. The master is initialised
// on a free loopback port, so that its answers are really sent (and kept
// for retransmissions); the senders on loopback are sockets of this harness,
// which read the answers back.
//
// Input: three settings octets, then steps (a missing octet reads as 0).
//
//   s0  MaxSessions 1 + (s0 & 3); AllowOverlap when s0 & 4; RegisterAllow
//       1.3.6.1.3.7 when s0 & 8; MaxNotifyRate (s0 >> 4) & 3; IdleTimeout
//       0 when s0 & 0x40, 60 otherwise
//   s1  MaxRegistrations 1 + (s1 & 15); MaxRangeInstances 1 + (s1 >> 4)
//   s2  MaxIndexAllocations 1 + (s2 & 7)
//
// A step is an opcode octet: bits 0-1 pick the sender (0: 127.0.0.1:A,
// 1: 127.0.0.1:B, 2: 127.0.0.2:C, 3: 10.0.0.1, outside AllowFrom), bits 2-4
// the action:
//
//   0, 1  a PDU: t s r c, then c & 7 varbinds (an OID, a value). Type t % 20,
//         flags ((t / 20) & 3) * 2; session s (0: 0, 0xFF: four octets,
//         otherwise one of the ids handed out so far, or s itself before
//         any); request id r (0xFF: four octets); transaction id c >> 3
//   2     a raw datagram: n, then n octets
//   3     the previous datagram again, from this step's sender
//   4     monitor m: m & 3 = 0 CheckSessions; 1 the session m >> 2 (of the
//         ids handed out so far) missed three answers; 2 it has been silent
//         for long; 3 as 1, then CheckSessions
//   5     the application closes the session s (of the ids handed out so
//         far): CloseSession(id), while a query may be in flight
//   6     queries in flight: another thread reads the MIB during the next
//         1 + k % 3 steps (k the next octet; 4 such steps per input at most)
//   7     a worker turn without a datagram (its receive timed out)
//
// An OID is one octet n: with bit 7, 1.3.6.1.3.7 (bit 6: 1.3.6.1.2.1.1)
// followed by n & 7 arcs of one octet each; otherwise one of 16 names
// (kOids). A value is a tag octet v: v & 7 = 0 INTEGER of one octet, 1
// INTEGER of four, 2 OCTET STRING of v >> 3 octets, 3 OBJECT IDENTIFIER,
// 4 NULL, 5 Gauge32 of one octet, 6 IpAddress of four, 7 by (v >> 3) & 3:
// TimeTicks, Counter32, Counter64 of one octet, noSuchObject.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BAddressFilter.h"
#include "BMemoryStore.h"
#include "BMibHandler.h"
#include "BSAFrame.h"
#include "BSAMaster.h"
#include "BSAMibSubtreeHandler.h"
#include "BSAOIDs.h"

namespace QVT {
namespace fuzz {

// What a run (or several, summed) reached; the replay test checks that the
// seed corpus gets everywhere it is meant to.
struct MasterSessionsStats {
  uint64_t counters[SA_CNT_COUNT] = {};
  int runs = 0;
  int steps = 0;
  int sessionsOpened = 0;
  std::set<uint32_t> openingHosts;  // IPv4 addresses sessions were opened from
  int closed[4] = {};               // by ISAMasterEvents::ECloseReason
  size_t peakRegistrations = 0;     // proxies installed at one time
  size_t peakRangeInstances = 0;    // of them, row instances of range registrations
  size_t peakIndexValues = 0;       // index values held at one time
  int traps = 0;                    // notifications handed to the trap sender
  int answers = 0;                  // answers the senders received
};

namespace detail {

[[noreturn]] inline void Violation(int step, const char* what, long long a = 0, long long b = 0) {
  std::fprintf(stderr, "FuzzMasterSessions: step %d: %s (%lld, %lld)\n", step, what, a, b);
  std::abort();
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
  bool Empty() const { return m_pos >= m_size; }
  uint8_t Byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
  uint32_t Word() {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value = (value << 8) | Byte();
    return value;
  }

 private:
  const uint8_t* m_data;
  size_t m_size;
  size_t m_pos = 0;
};

inline BObjectIdentifier ReadOid(Input& in) {
  static const BObjectIdentifier kOids[16] = {
      BObjectIdentifier("2.18.2"),               // description / registration name
      BObjectIdentifier("2.18.3"),               // handler type
      BObjectIdentifier("2.18.4"),               // subtree
      BObjectIdentifier("2.18.5"),               // range position and bound
      BObjectIdentifier("2.18.9"),               // processing time
      BObjectIdentifier("1.3.6.1.3.7.1"),        //
      BObjectIdentifier("1.3.6.1.3.7.1.1"),      // inside the one above
      BObjectIdentifier("1.3.6.1.3.7.2"),        //
      BObjectIdentifier("1.3.6.1.3.7.2.1.5"),    // a row to register as a range
      BObjectIdentifier("1.3.6.1.3.7.100.1"),    // index names
      BObjectIdentifier("1.3.6.1.3.7.100.2"),    //
      BObjectIdentifier("1.3.6.1.2.1.1.5"),      // the master's own sysName
      BObjectIdentifier("1.3.6.1.3"),            // around every test subtree
      BObjectIdentifier("1.3.6.1.6.3.1.1.5.1"),  // coldStart
      BObjectIdentifier("1.3.6.1.3.7.1.2"),      //
      BObjectIdentifier("1.3.6.1.4.1.32473.1"),  // outside RegisterAllow
  };
  const uint8_t n = in.Byte();
  if ((n & 0x80) == 0) return kOids[n & 15];
  BObjectIdentifier oid((n & 0x40) != 0 ? "1.3.6.1.2.1.1" : "1.3.6.1.3.7");
  for (unsigned i = 0; i < (n & 7u); ++i) oid.Append(in.Byte());
  return oid;
}

inline BObjectSyntax ReadValue(Input& in) {
  const uint8_t tag = in.Byte();
  BObjectSyntax value;
  switch (tag & 7) {
    case 0:
      value.SetInt(in.Byte());
      break;
    case 1:
      value.SetInt(static_cast<int>(in.Word()));
      break;
    case 2: {
      unsigned char octets[32];
      const unsigned length = tag >> 3;
      for (unsigned i = 0; i < length; ++i) octets[i] = in.Byte();
      value.SetOctets(length, octets);
      break;
    }
    case 3:
      value.SetObjectId(ReadOid(in));
      break;
    case 4:
      value.SetNull();
      break;
    case 5:
      value.SetGauge32(in.Byte());
      break;
    case 6: {
      const uint8_t a = in.Byte(), b = in.Byte(), c = in.Byte(), d = in.Byte();
      value.SetIpAddress(BIpAddress(a, b, c, d));
      break;
    }
    default:
      switch ((tag >> 3) & 3) {
        case 0:
          value.SetTimeTicks(in.Byte());
          break;
        case 1:
          value.SetCounter32(in.Byte());
          break;
        case 2:
          value.SetCounter64(uint64_t{in.Byte()});
          break;
        default:
          value.SetV2Exception(SNMP_NO_SUCH_OBJECT);
          break;
      }
      break;
  }
  return value;
}

// The sub-agents' side of loopback: a socket per sender, made for one run,
// that the master's answers go to.
class Senders {
 public:
  static constexpr int kCount = 4;
  static constexpr int kOutside = 3;  // 10.0.0.1: no socket, never answered

  Senders() {
    static const uint32_t kIps[kCount] = {0x7F000001, 0x7F000001, 0x7F000002, 0x0A000001};
    for (int i = 0; i < kCount; ++i) {
      m_address[i].SetIPv4(kIps[i]);
      m_address[i].SetPort(static_cast<unsigned short>(40001 + i));
      if (i == kOutside) continue;
      const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in local{};
      local.sin_family = AF_INET;
      local.sin_addr.s_addr = htonl(kIps[i]);
      socklen_t length = sizeof local;
      if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
          ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        m_fd[i] = fd;
        m_address[i].SetPort(ntohs(local.sin_port));
      } else if (fd >= 0) {
        ::close(fd);  // the answers to this sender go nowhere
      }
    }
  }
  ~Senders() {
    for (int fd : m_fd) {
      if (fd >= 0) ::close(fd);
    }
  }
  Senders(const Senders&) = delete;
  Senders& operator=(const Senders&) = delete;

  const BAddress& Address(int sender) const { return m_address[sender]; }
  // Every datagram waiting on the sender's socket, in arrival order.
  std::vector<std::vector<unsigned char>> Read(int sender) {
    std::vector<std::vector<unsigned char>> datagrams;
    if (m_fd[sender] < 0) return datagrams;
    for (;;) {
      std::vector<unsigned char> octets(BSABuffer::kCapacity);
      const ssize_t n = ::recv(m_fd[sender], octets.data(), octets.size(), MSG_DONTWAIT);
      if (n < 0) break;
      octets.resize(static_cast<size_t>(n));
      datagrams.push_back(std::move(octets));
    }
    return datagrams;
  }

 private:
  BAddress m_address[kCount];
  int m_fd[kCount] = {-1, -1, -1, -1};
};

// A UDP port on 127.0.0.1 that nobody holds at the moment.
inline unsigned short FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return 0;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof local;
  unsigned short port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
    port = ntohs(local.sin_port);
  }
  ::close(fd);
  return port;
}

// Init on a free loopback port, the one of the previous run when it is
// still free. False when none could be had: the master then runs without a
// socket (its answers are not sent).
inline bool InitOnFreePort(BSAMaster& master) {
  static unsigned short port = 0;
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (port == 0 || port == 1) port = FreeLoopbackPort();
    if (port < 2) continue;
    BMemoryStore store;
    store.SetInt("SAMaster", "Port", port, 0, 0, 0);
    if (master.Init(&store) == 0) return true;
    port = 0;
  }
  return false;
}

// A query in flight on a thread of its own until released: it holds the MIB
// handler's lock for reading and a grace period open, as SNMP queries
// waiting for a sub-agent do, so that what the master retires meanwhile
// must outlive it.
class QueryInFlight {
 public:
  explicit QueryInFlight(BMibHandler& mib) : m_mib(mib) {}
  ~QueryInFlight() { End(); }
  bool Active() const { return m_thread.joinable(); }
  void Begin() {
    if (Active()) return;
    m_end = false;
    bool holding = false;
    m_thread = std::thread([this, &holding] {
      TReadLock reading(m_mib.Synch());
      BGracePeriod grace(m_mib.Grace());
      std::unique_lock<std::mutex> guard(m_mutex);
      holding = true;
      m_changed.notify_all();
      m_changed.wait(guard, [this] { return m_end; });
    });
    std::unique_lock<std::mutex> guard(m_mutex);
    m_changed.wait(guard, [&holding] { return holding; });
  }
  void End() {
    if (!Active()) return;
    {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_end = true;
    }
    m_changed.notify_all();
    m_thread.join();
  }

 private:
  BMibHandler& m_mib;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  bool m_end = false;
  std::thread m_thread;
};

class DroppingTrapSender : public ITrapSender {
 public:
  int SendTrap(const BTrap& /*trap*/, const char* /*arg*/) override {
    ++sent;
    return 0;
  }
  int sent = 0;
};

// What one session looked like before a step.
struct SessionView {
  BAddress address;
  size_t registrations = 0;
  size_t indexValues = 0;
  uint64_t notifications = 0;
  int64_t lastHeard = 0;
};

// The run: the master, what the harness knows of it, and the checks.
template <class Peer>
class Run : public ISAMasterEvents {
 public:
  Run(BSAMaster& master, MasterSessionsStats& stats) : m_master(master), m_stats(stats) {}

  // ISAMasterEvents: the ids handed out, and that each session opens once
  // and closes once, with nothing of it left.
  void OnSessionOpened(const BSASession& session) override {
    if (session.m_id == 0) Violation(m_step, "a session opened with id 0");
    if (!m_open.insert(session.m_id).second) Violation(m_step, "a session id handed out twice", session.m_id);
    if (!m_master.Settings().allowFrom.Matches(session.m_address)) {
      Violation(m_step, "a session opened from outside AllowFrom", session.m_address.IPv4());
    }
    m_ids.push_back(session.m_id);
    ++m_stats.sessionsOpened;
    m_stats.openingHosts.insert(session.m_address.IPv4());
  }
  void OnSessionClosed(const BSASession& session, ECloseReason reason, int /*subtrees*/) override {
    if (m_open.erase(session.m_id) != 1) Violation(m_step, "a session closed that was not open", session.m_id);
    if (!(session.*Peer::registrations).empty()) {
      Violation(m_step, "a session closed with registrations left", session.m_id,
                static_cast<long long>((session.*Peer::registrations).size()));
    }
    if (!(session.*Peer::indexValues).empty()) Violation(m_step, "a session closed with index values left");
    const int why = static_cast<int>(reason);
    if (why < 0 || why > 3) Violation(m_step, "a close reason out of range", why);
    ++m_stats.closed[why];
  }

  void Execute(Input& in) {
    const BAddress listen = m_master.ListenAddress();
    m_local.SetIPv4(0x7F000001);
    m_local.SetPort(m_master.Port());
    if (!listen.IsEmpty()) m_local = listen;
    constexpr int kMaxSteps = 256;
    constexpr int kMaxHeldSteps = 4;
    int heldSteps = 0;
    int holdFor = 0;
    QueryInFlight query(*m_master.MibHandler());
    for (m_step = 1; m_step <= kMaxSteps && !in.Empty(); ++m_step) {
      const uint8_t op = in.Byte();
      const int sender = op & 3;
      switch ((op >> 2) & 7) {
        case 0:
        case 1:
          SendPdu(in, sender);
          break;
        case 2: {
          std::vector<unsigned char> octets(in.Byte());
          for (unsigned char& octet : octets) octet = in.Byte();
          Deliver(octets, sender);
          break;
        }
        case 3:
          Deliver(m_last, sender);
          break;
        case 4:
          Monitor(in.Byte());
          break;
        case 5: {
          const int id = KnownSession(in.Byte());
          if (id == 0) break;
          const BSASession* record = FindRecord(id);
          const bool open = record != nullptr && !record->IsClosing();
          const int status = m_master.CloseSession(id);
          if (status != (open ? 0 : SA_WIRE_NOT_OPEN)) Violation(m_step, "CloseSession(id) answered", id, status);
          if (FindRecord(id) != nullptr && open) Violation(m_step, "a session closed by the application stays", id);
          break;
        }
        case 6: {
          const int steps = 1 + in.Byte() % 3;
          if (heldSteps + steps > kMaxHeldSteps) break;
          heldSteps += steps;
          holdFor = steps + 1;  // this step and the next `steps`
          query.Begin();
          break;
        }
        default:
          WorkerTurn();
          break;
      }
      if (holdFor > 0 && --holdFor == 0) query.End();
      Check();
      ++m_stats.steps;
    }
    query.End();
    WorkerTurn();
    Check();
    Drain();
    for (int counter = 0; counter < SA_CNT_COUNT; ++counter) {
      m_stats.counters[counter] += m_master.Counters().Get(static_cast<ESAMasterCounter>(counter));
    }
  }

 private:
  using Sessions = std::map<int, std::unique_ptr<BSASession>>;

  Sessions& AllSessions() { return m_master.*Peer::sessions; }
  BSASession* FindRecord(int id) {
    const auto it = AllSessions().find(id);
    return it == AllSessions().end() ? nullptr : it->second.get();
  }
  // The session id selector s stands for: one of the ids handed out so far
  // (closed ones included), 0 before any was.
  int KnownSession(uint8_t s) const {
    if (m_ids.empty()) return 0;
    return m_ids[s % m_ids.size()];
  }

  void SendPdu(Input& in, int sender) {
    const uint8_t t = in.Byte();
    BSAPdu pdu(static_cast<ESAPduType>(t % 20));
    pdu.flags = static_cast<uint8_t>(((t / 20) & 3) * 2);
    const uint8_t s = in.Byte();
    if (s == 0xFF) {
      pdu.sessionId = in.Word();
    } else if (s != 0) {
      pdu.sessionId = m_ids.empty() ? s : static_cast<uint32_t>(m_ids[(s - 1) % m_ids.size()]);
    }
    const uint8_t r = in.Byte();
    pdu.requestId = r == 0xFF ? in.Word() : r;
    const uint8_t c = in.Byte();
    pdu.transactionId = c >> 3;
    for (int i = 0; i < (c & 7); ++i) {
      const BObjectIdentifier name = ReadOid(in);
      pdu.varBindList.Append(name, ReadValue(in));
    }
    BSABuffer frame;
    if (Encode(frame, pdu) != 0) return;  // nothing a sub-agent could send
    Deliver(std::vector<unsigned char>(frame.Data(), frame.Data() + frame.Length()), sender);
  }

  // One datagram as the worker receives it (ReceiveAndProcessData).
  void Deliver(const std::vector<unsigned char>& octets, int sender) {
    m_last = octets;
    const BAddress& from = m_senders.Address(sender);
    const std::map<int, SessionView> before = Views();

    (m_master.*Peer::takeCloseRequests)();
    BSABuffer& buffer = m_master.*Peer::rxBuffer;
    const size_t length = std::min<size_t>(octets.size(), buffer.Capacity());
    if (length > 0) std::memcpy(buffer.Data(), octets.data(), length);
    buffer.SetLength(static_cast<unsigned>(length));
    m_master.*Peer::addrPeer = from;
    m_master.*Peer::addrLocal = m_local;
    const bool admitted = m_master.Settings().allowFrom.Matches(from);
    if (!admitted) {
      (m_master.*Peer::count)(SA_CNT_NOT_ALLOWED, from, nullptr);
    } else {
      m_master.ProcessRcvdData();
      BSAPdu request;
      if (Decoded(octets, request)) m_sent[sender].insert(request.requestId);
    }
    AfterReceive();

    // What one host sends changes no session of another host (nor, from
    // outside AllowFrom, any session at all).
    for (const auto& [id, view] : before) {
      BSASession* session = FindRecord(id);
      if (session == nullptr || session->IsClosing()) continue;
      if (admitted && QVSameHost(view.address, from)) continue;
      const SessionView now = View(*session);
      if (now.registrations != view.registrations) {
        Violation(m_step, "another host changed a session's registrations", id,
                  static_cast<long long>(now.registrations));
      }
      if (now.indexValues != view.indexValues) Violation(m_step, "another host changed a session's index values", id);
      if (now.notifications != view.notifications) Violation(m_step, "another host sent a session's notification", id);
      if (now.lastHeard != view.lastHeard) Violation(m_step, "another host kept a session alive", id);
    }
  }

  static bool Decoded(const std::vector<unsigned char>& octets, BSAPdu& pdu) {
    BSABuffer buffer;
    const size_t length = std::min<size_t>(octets.size(), buffer.Capacity());
    if (length > 0) std::memcpy(buffer.Data(), octets.data(), length);
    buffer.SetLength(static_cast<unsigned>(length));
    return Decode(buffer, pdu) == 0;
  }

  // The worker's steps after every receive, timed out or not.
  void AfterReceive() {
    (m_master.*Peer::takeCloseRequests)();
    (m_master.*Peer::continueClosing)();
    (m_master.*Peer::flushRefusalReports)(false);
  }

  void WorkerTurn() {
    const std::map<int, SessionView> before = Views();
    AfterReceive();
    // Without a datagram only closing sessions move.
    for (const auto& [id, view] : before) {
      BSASession* session = FindRecord(id);
      if (session == nullptr || session->IsClosing()) continue;
      const SessionView now = View(*session);
      if (now.indexValues != view.indexValues || now.notifications != view.notifications) {
        Violation(m_step, "a session changed without a request", id);
      }
    }
  }

  void Monitor(uint8_t m) {
    const int id = KnownSession(static_cast<uint8_t>(m >> 2));
    BSASession* session = FindRecord(id);
    switch (m & 3) {
      case 0:
        m_master.CheckSessions();
        break;
      case 1:
        if (session != nullptr) session->m_timeoutCount = 3;
        break;
      case 2:
        if (session != nullptr) (session->*Peer::lastHeard).store(0);
        break;
      default:
        if (session != nullptr) session->m_timeoutCount = 3;
        m_master.CheckSessions();
        if (session != nullptr && !session->IsClosing()) {
          Violation(m_step, "a session that missed three answers is not closing", id);
        }
        break;
    }
  }

  SessionView View(BSASession& session) {
    return {session.m_address, (session.*Peer::registrations).size(), (session.*Peer::indexValues).size(),
            session.m_notifications.load(), (session.*Peer::lastHeard).load()};
  }
  std::map<int, SessionView> Views() {
    std::map<int, SessionView> views;
    for (const auto& [id, session] : AllSessions()) views.emplace(id, View(*session));
    return views;
  }

  // Every answer a sender got is a RESPONSE to a request it sent.
  void Drain() {
    for (int sender = 0; sender < Senders::kCount; ++sender) {
      for (const std::vector<unsigned char>& octets : m_senders.Read(sender)) {
        BSAPdu answer;
        if (!Decoded(octets, answer)) Violation(m_step, "an answer does not decode", sender);
        if (answer.type != SA_PDU_RESPONSE) Violation(m_step, "an answer is no RESPONSE", sender, answer.type);
        if (m_sent[sender].count(answer.requestId) == 0) {
          Violation(m_step, "an answer with a request id its receiver never sent", sender, answer.requestId);
        }
        ++m_stats.answers;
      }
    }
  }

  void Check() {
    BSAMaster& master = m_master;
    const BSAMasterSettings& settings = master.Settings();
    const Sessions& sessions = AllSessions();
    const auto& handlers = master.*Peer::handlers;

    // The sessions the listener heard of are the ones the master keeps.
    if (sessions.size() != m_open.size()) {
      Violation(m_step, "sessions kept differ from sessions opened and not closed",
                static_cast<long long>(sessions.size()), static_cast<long long>(m_open.size()));
    }
    if (master.SessionCount() > settings.maxSessions) {
      Violation(m_step, "more sessions open than MaxSessions", master.SessionCount(), settings.maxSessions);
    }

    // Registrations: each proxy in exactly one session's list, and the
    // counts agree.
    std::set<const BSAMibSubtreeHandler*> listed;
    size_t indexValues = 0;
    for (const auto& [id, session] : sessions) {
      if (m_open.count(id) == 0) Violation(m_step, "a session kept that the listener never heard of", id);
      if (session->m_id != id) Violation(m_step, "a session kept under another id", id, session->m_id);
      const auto& list = session.get()->*Peer::registrations;
      if ((session.get()->*Peer::registrationCount).load() != list.size()) {
        Violation(m_step, "a session's registration count is off", id);
      }
      if (list.size() > static_cast<size_t>(settings.maxRegistrations)) {
        Violation(m_step, "a session holds more than MaxRegistrations", id, static_cast<long long>(list.size()));
      }
      for (const BSAMibSubtreeHandler* handler : list) {
        if (!listed.insert(handler).second) Violation(m_step, "a proxy listed twice", id);
        if (handler->Session() != session.get()) Violation(m_step, "a proxy in the list of another session", id);
        const auto it = handlers.find(handler->Oid());
        if (it == handlers.end() || it->second != handler) Violation(m_step, "a session's proxy is not registered", id);
      }
      const auto& values = session.get()->*Peer::indexValues;
      if (values.size() > static_cast<size_t>(settings.maxIndexAllocations)) {
        Violation(m_step, "a session holds more than MaxIndexAllocations", id, static_cast<long long>(values.size()));
      }
      indexValues += values.size();
      if (!session->IsClosing() && (session.get()->*Peer::closeQueued)) {
        Violation(m_step, "a session queued for closing is not closing", id);
      }
    }
    if (listed.size() != handlers.size() || (master.*Peer::handlerCount).load() != handlers.size() ||
        static_cast<size_t>(master.RegistrationCount()) != handlers.size()) {
      Violation(m_step, "the registration count differs from the sum over the sessions",
                static_cast<long long>(handlers.size()), static_cast<long long>(listed.size()));
    }
    size_t rows = 0;
    for (const auto& [oid, handler] : handlers) {
      if (listed.count(handler) == 0) Violation(m_step, "a proxy no session lists");
      if (!(handler->Oid() == oid)) Violation(m_step, "a proxy kept under another OID");
      if (handler->HandlerType() == SA_PROXY_ROW_INSTANCE) ++rows;
    }

    // The agent's MIB: its own system group and exactly the proxies; one
    // sysORTable row each.
    BMibHandler& mib = *master.MibHandler();
    {
      TReadLock reading(mib.Synch());
      BMibTree& tree = mib.Tree();
      if (static_cast<size_t>(tree.Count()) != handlers.size() + 1) {
        Violation(m_step, "the MIB holds other handlers than the proxies and the system group", tree.Count(),
                  static_cast<long long>(handlers.size()));
      }
      for (BMibTreeNode* node = tree.First(); node != nullptr; node = tree.Next(node)) {
        if (node->Handler() == &mib.Mib2System()) continue;
        const auto it = handlers.find(node->Oid());
        if (it == handlers.end() || it->second != node->Handler()) {
          Violation(m_step, "a proxy in the MIB that belongs to no session");
        }
      }
      if (static_cast<size_t>(mib.Mib2System().GetNumORRows()) != handlers.size()) {
        Violation(m_step, "sysORTable rows differ from the proxies", mib.Mib2System().GetNumORRows(),
                  static_cast<long long>(handlers.size()));
      }
      std::set<uint32_t> indices;
      for (int i = 1; const BSysORRow* row = mib.Mib2System().GetORRow(i); ++i) indices.insert(row->index);
      for (const auto& [oid, handler] : handlers) {
        if (indices.count(handler->SysORIndex()) == 0) Violation(m_step, "a proxy without its sysORTable row");
      }
    }

    // Index values: held by one session each, and allocated in the
    // registry; nothing allocated that no session holds.
    const auto& owners = master.*Peer::indexOwners;
    if (owners.size() != indexValues) {
      Violation(m_step, "index owners differ from the values the sessions hold", static_cast<long long>(owners.size()),
                static_cast<long long>(indexValues));
    }
    for (const auto& [value, id] : owners) {
      const BSASession* holder = FindRecord(id);
      if (holder == nullptr) Violation(m_step, "an index value owned by a session that is gone", id);
      if ((holder->*Peer::indexValues).count(value) == 0) {
        Violation(m_step, "an index owner does not hold its value", id);
      }
    }
    BSAMaster::Indices& registry = master.*Peer::indices;
    size_t allocated = 0;
    for (int i = 0; i < registry.m_allocated.Count(); ++i) {
      const BObjectIdentifier& name = registry.m_allocated.KeyAt(i);
      const auto* values = static_cast<const BMapOid2Ptr*>(registry.m_allocated.PtrAt(i));
      if (values->Count() == 0) Violation(m_step, "an empty list of allocated values is kept");
      for (int j = 0; j < values->Count(); ++j) {
        if (owners.count({name, values->KeyAt(j)}) == 0) {
          const std::string what = "an allocated index value that no session holds: " + name.ToString().str() +
                                   " key " + values->KeyAt(j).ToString().str();
          Violation(m_step, what.c_str());
        }
        ++allocated;
      }
    }
    if (allocated != owners.size()) {
      Violation(m_step, "index values held that are not allocated", static_cast<long long>(owners.size()),
                static_cast<long long>(allocated));
    }

    // The queues stay bounded.
    if ((master.*Peer::keptAnswers).size() > 256) Violation(m_step, "too many answers kept");

    m_stats.peakRegistrations = std::max(m_stats.peakRegistrations, handlers.size());
    m_stats.peakRangeInstances = std::max(m_stats.peakRangeInstances, rows);
    m_stats.peakIndexValues = std::max(m_stats.peakIndexValues, indexValues);
  }

  BSAMaster& m_master;
  MasterSessionsStats& m_stats;
  Senders m_senders;
  BAddress m_local;
  int m_step = 0;
  std::vector<int> m_ids;  // every id handed out, in order
  std::set<int> m_open;    // opened and not closed
  std::vector<unsigned char> m_last;
  std::set<uint32_t> m_sent[Senders::kCount];  // request ids each sender sent
};

}  // namespace detail
}  // namespace fuzz

// The members of the master and of its sessions that the harness reads, and
// the steps of the worker thread it runs, as pointers to members (the master
// and the session name it a friend).
class BSAMasterHarnessAccess {
 public:
  static constexpr auto rxBuffer = &BSAMaster::m_rxBuffer;
  static constexpr auto addrPeer = &BSAMaster::m_addrPeer;
  static constexpr auto addrLocal = &BSAMaster::m_addrLocal;
  static constexpr auto sessions = &BSAMaster::m_sessions;
  static constexpr auto handlers = &BSAMaster::m_handlers;
  static constexpr auto handlerCount = &BSAMaster::m_handlerCount;
  static constexpr auto indexOwners = &BSAMaster::m_indexOwners;
  static constexpr auto indices = &BSAMaster::m_indices;
  static constexpr auto keptAnswers = &BSAMaster::m_keptAnswers;
  static constexpr auto takeCloseRequests = &BSAMaster::TakeCloseRequests;
  static constexpr auto continueClosing = &BSAMaster::ContinueClosing;
  static constexpr auto flushRefusalReports = &BSAMaster::FlushRefusalReports;
  static constexpr auto count = &BSAMaster::Count;

  static constexpr auto registrations = &BSASession::m_registrations;
  static constexpr auto registrationCount = &BSASession::m_registrationCount;
  static constexpr auto indexValues = &BSASession::m_indexValues;
  static constexpr auto lastHeard = &BSASession::m_lastHeard;
  static constexpr auto closeQueued = &BSASession::m_closeQueued;
};

namespace fuzz {

// One run of `data`. Aborts on a broken invariant; returns 0 otherwise.
template <class Peer = BSAMasterHarnessAccess>
int RunMasterSessions(const uint8_t* data, size_t size, MasterSessionsStats* stats = nullptr) {
  MasterSessionsStats local;
  MasterSessionsStats& sums = stats != nullptr ? *stats : local;
  detail::Input in(data, size);
  BMibHandler mib;
  detail::DroppingTrapSender traps;
  {
    BSAMaster master(&mib, nullptr);
    BSAMasterSettings& settings = master.Settings();
    const uint8_t s0 = in.Byte(), s1 = in.Byte(), s2 = in.Byte();
    settings.maxSessions = 1 + (s0 & 3);
    settings.allowOverlap = (s0 & 4) != 0;
    if ((s0 & 8) != 0) settings.registerAllow.push_back(BObjectIdentifier("1.3.6.1.3.7"));
    settings.maxNotifyRate = (s0 >> 4) & 3;
    settings.idleTimeout = (s0 & 0x40) != 0 ? 0 : 60;
    settings.maxRegistrations = 1 + (s1 & 15);
    settings.maxRangeInstances = 1 + (s1 >> 4);
    settings.maxIndexAllocations = 1 + (s2 & 7);
    detail::InitOnFreePort(master);
    master.SetTrapSender(&traps);
    detail::Run<Peer> run(master, sums);
    master.SetEventListener(&run);
    run.Execute(in);
    master.SetEventListener(nullptr);
  }
  // The master took everything of its sessions with it.
  {
    TReadLock reading(mib.Synch());
    if (mib.Tree().Count() != 1) detail::Violation(-1, "proxies left in the MIB after the master", mib.Tree().Count());
    if (mib.Mib2System().GetNumORRows() != 0) {
      detail::Violation(-1, "sysORTable rows left after the master", mib.Mib2System().GetNumORRows());
    }
  }
  sums.traps += traps.sent;
  ++sums.runs;
  return 0;
}

}  // namespace fuzz
}  // namespace QVT
