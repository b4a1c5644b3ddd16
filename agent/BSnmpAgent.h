// BSnmpAgent: an SNMPv1/v2c command responder over UDP in front of a host
// BMibHandler.
//
// The agent listens on one or more UDP addresses and answers GetRequest,
// GetNextRequest, GetBulkRequest and SetRequest from the MIB handler with
// the RFC 3416 rules, mapped to SNMPv1 as RFC 3584 says for v1 managers.
// Access is by community: the read community may read, the write
// community may read and write; a message with any other community gets no
// answer and is counted. Every malformed message is dropped and counted in
// snmpInASNParseErrs; the snmp group counters are served by a MIB handler
// the application registers (SnmpGroupHandler()).
//
// Threads: a small pool of request threads (BSnmpAgentConfig::requestThreads,
// at least one per listening socket) receive from the sockets directly,
// without a hand-off queue, so that a request held up by a slow MIB handler
// (a sub-agent that takes seconds to answer) leaves the other threads free
// to answer the next ones. When every thread of a socket is busy, another
// one is started (up to maxRequestThreads in all), so that requests held
// up by slow sub-agents never leave the agent without a free thread; such
// extra threads end after a while without work. A manager's retransmission of a request that is
// still being processed (same address, same request id) is dropped: the
// answer to the first copy answers it too, and the copies of one slow
// request would otherwise take every thread. Each thread owns a Processor:
// the decoded request, the response and the buffers it reuses from one
// request to the next, so a request costs two system calls and no
// allocation once they have grown.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "BAddress.h"
#include "BMibHandler.h"
#include "BSecurityParams.h"
#include "BSnmpCounters.h"
#include "BSnmpGroupMib.h"
#include "BSnmpMessage.h"
#include "BSocket.h"
#include "BString.h"
#include "BTransactions.h"
#include "BTrap.h"
#include "QVExport.h"

namespace QVT {

// The settings of an agent; the keys of the [Agent] section map onto them.
struct QV_API BSnmpAgentConfig {
  // Listening addresses, comma separated: "a.b.c.d:port", "host:port" or
  // "[v6]:port". Port 0 lets the system choose (LocalAddresses() tells).
  BString listenAddresses = "127.0.0.1:1161";
  // A community that is empty never matches.
  BString readCommunity = "public";
  BString writeCommunity = "private";
  // The largest message the agent sends (484 .. 65507 octets): a response
  // that would be larger becomes tooBig, and GetBulk stops at this size.
  unsigned maxMessageSize = 1472;
  // Request threads always running (1 .. 64), and the most there may be
  // when requests are held up (requestThreads .. 1024).
  int requestThreads = 4;
  int maxRequestThreads = 64;
};

class QV_API BSnmpAgent {
 public:
  static constexpr unsigned kMinMessageSize = 484;
  static constexpr unsigned kMaxMessageSize = 65507;

  // The MIB handler must outlive the agent; the configuration is copied.
  BSnmpAgent(BMibHandler& mib, const BSnmpAgentConfig& config);
  // Stops the agent if it runs.
  ~BSnmpAgent();
  BSnmpAgent(const BSnmpAgent&) = delete;
  BSnmpAgent& operator=(const BSnmpAgent&) = delete;

  // Checks the configuration, binds every listening address and starts the
  // request threads. 0 on success; -1 when the agent runs already or a
  // setting or an address is unusable: ErrorText() then names it, and
  // nothing is left open.
  int Start();
  // Stops the request threads and closes the sockets. Returns once every
  // thread has finished the request it was serving (a request waiting on a
  // sub-agent finishes when that wait ends). Does nothing when stopped.
  void Stop();
  bool IsRunning() const { return m_running; }
  // Request threads running now.
  int RequestThreadCount();

  // The bound addresses, in the order of the configuration, with the ports
  // the system chose; empty while stopped.
  std::vector<BAddress> LocalAddresses() const;
  const BString& ErrorText() const { return m_errorText; }
  const BSnmpAgentConfig& Config() const { return m_config; }
  BSnmpCounters& Counters() { return m_counters; }
  // The snmp group over Counters(), for the application to register with
  // its MIB handler (and unregister before the agent goes).
  BMibSubtreeHandler& SnmpGroupHandler() { return m_snmpGroup; }
  // Where an authenticationFailure notification goes when a message with
  // an unknown community arrives and snmpEnableAuthenTraps is enabled (not
  // owned; null: none is sent).
  void SetTrapSender(ITrapSender* sender) { m_pTrapSender.store(sender); }

  // The request processing of one thread: decodes a datagram, runs it
  // against the MIB handler and encodes the answer into its own buffer.
  // Usable without sockets (benchmarks, fuzzing); not thread-safe, one per
  // thread.
  class QV_API Processor {
   public:
    explicit Processor(BSnmpAgent& agent);
    ~Processor();
    Processor(const Processor&) = delete;
    Processor& operator=(const Processor&) = delete;

    // Processes one datagram that `remote` sent to `local`. Returns the
    // size of the answer to send back (at Answer()), or 0 when the datagram
    // gets no answer (malformed, unknown community, not a request, or an
    // answer too big even as tooBig).
    size_t Process(const unsigned char* data, size_t length, const BAddress& remote, const BAddress& local);
    const unsigned char* Answer() const { return m_out.data(); }

   private:
    enum EAccess { kNone, kRead, kWrite };

    size_t ProcessGet(bool next);
    size_t ProcessGetBulk();
    size_t ProcessSet(EAccess access);
    // Queries GET-NEXT on one varbind until its value is no Counter64 (the
    // rule for SNMPv1 managers); false on a query error.
    bool SkipCounter64(BVarBind& vb, int& status);
    // The request's own varbinds (decoded again from the datagram) with
    // this error; SNMPv1 statuses mapped per RFC 3584.
    size_t ErrorResponse(int status, int index);
    // Encodes `message` as a Response; a message over the size limit
    // becomes the tooBig response, or no answer if even that is too big.
    size_t Respond(BSnmpMessage& message);
    size_t TooBig();
    size_t Finish(const BSnmpMessage& message, size_t length);
    int Query(int code, BVarBindList& list, int& errorIndex);

    BSnmpAgent& m_agent;
    BTransactions* m_pTransactions;
    const unsigned char* m_pData = nullptr;  // the datagram being processed
    size_t m_length = 0;
    const BAddress* m_pRemote = nullptr;
    const BAddress* m_pLocal = nullptr;
    unsigned m_transactionId = 0;
    BSecurityParams m_params;
    BString m_context;
    BSnmpMessage m_request;
    BSnmpMessage m_response;  // GetBulk and tooBig answers
    BVarBindList m_scratch;   // GetBulk repetitions and SNMPv1 Counter64 skips
    std::vector<unsigned char> m_out;
  };

 private:
  class RequestThread;
  struct Endpoint;

  void CloseEndpoints();
  void SendAuthenticationFailure();
  // A thread of `endpoint` took a datagram: when none of its threads is
  // left waiting for the next one, start another (within the limit).
  void TookDatagram(Endpoint& endpoint);
  bool StartThread(Endpoint& endpoint, bool extra);
  // Marks a request as being processed; false when it is already (a
  // retransmission). Every true is followed by EndRequest.
  bool BeginRequest(const BAddress& remote, int32_t requestId);
  void EndRequest(const BAddress& remote, int32_t requestId);

  struct InFlight {
    BAddress remote;
    int32_t requestId;
  };

  BMibHandler& m_mib;
  BSnmpAgentConfig m_config;
  BSnmpCounters m_counters;
  BSnmpGroupMib m_snmpGroup;
  std::atomic<ITrapSender*> m_pTrapSender{nullptr};
  std::mutex m_inFlightLock;         // guards m_inFlight; taken alone
  std::vector<InFlight> m_inFlight;  // at most one entry per request thread
  // Start, Stop and the fields below run on the application's thread; the
  // request threads only read the endpoints while they run.
  bool m_running = false;
  BString m_errorText;
  std::vector<std::unique_ptr<Endpoint>> m_endpoints;
  std::mutex m_threadsLock;  // guards m_threads and m_stopping; taken alone
  std::vector<std::unique_ptr<RequestThread>> m_threads;
  bool m_stopping = false;
};

}  // namespace QVT
