// BSASession: the master's record of one open session with a sub-agent:
// who it is (description, the address its open request came from), how
// long the master waits for each of its answers, and everything the session
// holds at the master (registrations, index values, its share of the
// notification rate), so that all of it goes when the session does.
//
// Requests to the sub-agent go out on the session's own socket, one at a
// time (the sub-agent's responder serves one datagram at a time): an SNMP
// request thread takes the session's exchange slot for the whole exchange,
// others wait for it in turn, up to a limit. Sessions do not share a lock
// on the way out, so a sub-agent that hangs costs only the requests for
// its own objects.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "BAddress.h"
#include "BObjectIdentifier.h"
#include "BSAPdu.h"
#include "BSASocket.h"
#include "BString.h"
#include "QVExport.h"

namespace QVT {

class BSAMibSubtreeHandler;

class QV_API BSASession {
 public:
  BSASession();
  ~BSASession();
  BSASession(const BSASession&) = delete;
  BSASession& operator=(const BSASession&) = delete;

  int m_id = 0;
  BString m_description;
  // Where the master's requests go: the sub-agent's responder, the sender
  // of the open request. Every request that names the session must come
  // from the same IP.
  BAddress m_address;
  // The master's own address the open request was sent to; the session's
  // socket sends from it, so the sub-agent sees its master's address.
  BAddress m_localAddress;
  int m_timeout = 2;           // seconds waited for each answer: as announced, capped by MaxWait
  int m_announcedTimeout = 2;  // seconds, as the sub-agent announced them
  uint32_t m_openedAt = 0;     // the master's up-time at the open (hundredths of a second)
  // Requests in a row that got no answer; the monitor closes the session at 3.
  std::atomic<int> m_timeoutCount{0};

  // What the session did (for the application and for diagnostics).
  std::atomic<uint64_t> m_requestsSent{0};
  std::atomic<uint64_t> m_timeouts{0};
  std::atomic<uint64_t> m_notifications{0};

  // True from the moment the master decided to close the session: requests
  // for it fail at once and its proxies act as if gone.
  bool IsClosing() const { return m_closing.load(std::memory_order_acquire); }

 private:
  friend class BSAMaster;
  friend class BSAMasterPeer;           // tests
  friend class BSAMasterHarnessAccess;  // the session-table fuzz harness

  using Clock = std::chrono::steady_clock;

  // The exchange slot. Acquire waits until the slot is free, the session
  // closes, or `deadline` passes; it refuses at once when `maxWaiting`
  // threads wait already. The outcome is a library status (0: the slot is
  // this thread's until Release).
  int AcquireExchange(int maxWaiting, Clock::time_point deadline, const std::atomic<bool>& stopping);
  void ReleaseExchange();
  // Wakes an exchange waiting for an answer and every thread waiting for
  // the slot; the socket is made anew by the next exchange.
  void AbortExchanges();
  // The session's socket, bound to m_localAddress, made when first needed
  // or after an abort; the caller holds the slot. 0 or a socket status.
  int PrepareSocket();

  std::atomic<bool> m_closing{false};
  // Until when requests fail at once after a time-out (steady clock, ns
  // since its epoch); 0: not failing.
  std::atomic<int64_t> m_failingUntil{0};

  std::mutex m_slotLock;  // guards the three fields below; taken alone
  std::condition_variable m_slotFree;
  bool m_slotTaken = false;
  int m_slotWaiters = 0;

  std::mutex m_socketLock;  // guards the descriptor's replacement; taken while the slot is held, or alone
  BSASocket m_socket{2048, 2};
  bool m_socketUsable = false;

  // When the sub-agent last sent the master anything (steady clock ticks).
  std::atomic<int64_t> m_lastHeard{0};
  std::atomic<size_t> m_registrationCount{0};

  // Kept by the worker thread only.
  std::vector<BSAMibSubtreeHandler*> m_registrations;  // each proxy knows its position here
  // (index name, value key) -> the value's number in the session.
  std::map<std::pair<BObjectIdentifier, BObjectIdentifier>, uint32_t> m_indexValues;
  // The numbers last given to a registration and to an index value.
  uint32_t m_registrationsMade = 0;
  uint32_t m_indexValuesMade = 0;
  double m_notifyTokens = 0;
  Clock::time_point m_notifyRefill;
  bool m_closeQueued = false;  // in the worker's list of sessions to take apart
  bool m_stuck = false;        // the MIB handler refused to withdraw one of its proxies
  int m_closeReason = 0;
  int m_closedSubtrees = 0;
  // The answer to its close request, sent once it is taken apart.
  struct CloseAnswer {
    bool pending = false;
    BAddress peer;
    BAddress local;
    uint64_t requestDigest = 0;
    BSAPdu response;
  };
  CloseAnswer m_closeAnswer;

  // The answers to its latest requests, so that a retransmitted request is
  // answered again instead of done twice.
  struct SentAnswer {
    uint32_t requestId = 0;
    uint8_t type = 0;
    unsigned short sourcePort = 0;
    uint64_t requestDigest = 0;  // the same id with other content is a new request
    std::vector<unsigned char> frame;
  };
  static constexpr size_t kSentAnswers = 16;
  SentAnswer m_sent[kSentAnswers];
  size_t m_nextSent = 0;
};

}  // namespace QVT
