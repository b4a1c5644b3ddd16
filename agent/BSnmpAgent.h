// BSnmpAgent: an SNMPv1/v2c/v3 command responder over UDP in front of a
// host BMibHandler.
//
// SNMPv3 messages go through the User-based Security Model (RFC 3414) with
// the users of the configuration: engine discovery, authentication, the
// timeliness window, privacy, each failure counted in usmStats and
// answered with a Report when the message is reportable. A user reads (and,
// with write access, writes) the objects under the prefixes of its view;
// objects outside it do not exist for that user. The response goes back at
// the request's security level.
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
#include "BSnmpV3Message.h"
#include "BSocket.h"
#include "BString.h"
#include "BTransactions.h"
#include "BTrap.h"
#include "BUsmCrypto.h"
#include "QVExport.h"

namespace QVT {

class BSnmpEngineState;

// SNMPv3 security levels (RFC 3411 SnmpSecurityLevel).
enum ESnmpSecurityLevel : int {
  SNMP_SEC_NO_AUTH_NO_PRIV = 1,
  SNMP_SEC_AUTH_NO_PRIV = 2,
  SNMP_SEC_AUTH_PRIV = 3,
};

// One SNMPv3 user of the agent.
struct QV_API BSnmpV3User {
  BString name;
  // Localized to the engine's ID when configured, never per request. Null
  // (or without authentication) for a user that only has noAuthNoPriv.
  std::shared_ptr<const BUsmUserKeys> keys;
  // The lowest security level accepted from this user.
  int minLevel = SNMP_SEC_AUTH_NO_PRIV;
  bool write = false;
  // OID prefixes the user may see; the objects under none of them do not
  // exist for the user.
  std::vector<BObjectIdentifier> view;

  bool InView(const BObjectIdentifier& oid) const;
  // The smallest prefix of the view at or after `oid` (null: none).
  const BObjectIdentifier* FirstViewPrefixFrom(const BObjectIdentifier& oid) const;
  // The first name after the part of the view that holds `oid` (the
  // subtree of the shortest prefix containing it); false when no prefix
  // contains it or nothing follows that subtree.
  bool ViewPartEnd(const BObjectIdentifier& oid, BObjectIdentifier& end) const;
  // The highest level the keys allow.
  int MaxLevel() const;
};

// RFC 3414 3.2 step 7: a message is in the time window when its boots are
// the engine's (and not the latched maximum) and its time is within 150 s.
QV_API bool QVUsmInTimeWindow(uint32_t engineBoots, uint32_t engineTime, int32_t messageBoots, int32_t messageTime);

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
  // The versions answered; the messages of the others are dropped and
  // counted in snmpInBadVersions.
  bool enableV1 = true;
  bool enableV2c = true;
  bool enableV3 = true;
  // SNMPv3: the engine's ID, boots and time (not owned; started before the
  // agent). Without it SNMPv3 messages count as a bad version.
  const BSnmpEngineState* engineState = nullptr;
  std::vector<BSnmpV3User> users;
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
  // The SNMPv3 engine's groups (snmpEngine when there is an engine state,
  // usmStats, snmpMPDStats, snmpUnknownContexts), to register likewise.
  std::vector<BMibSubtreeHandler*> EngineHandlers();
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

    // The PDU of an accepted request, with the access it has.
    size_t Dispatch(EAccess access);
    size_t ProcessV3();
    // Counts `counter` and, when the request is reportable, answers a
    // Report of it at `level`.
    size_t Report(ESnmpV3Counter counter, int level);
    // Sets the v3 answer's header for `level`.
    void PrepareV3Header(int level);
    // The request's PDU decoded again (from the datagram, or from the
    // decrypted scoped PDU).
    ESnmpCodecStatus Redecode();
    // Encodes `message` into m_out as the version of the request says.
    ESnmpCodecStatus EncodeAnswer(const BSnmpMessage& message, size_t& length);
    // The size of `message`'s answer if its varbinds had `varBindBytes`.
    size_t AnswerSizeWith(const BSnmpMessage& message, size_t varBindBytes) const;
    // Query() within the user's view (plain Query() without a user). Names
    // outside it are not asked of the MIB: GET answers noSuchObject for
    // them; GET-NEXT walks only inside the view, one part of it at a time,
    // never asking a registration that lies wholly outside. `errorIndex`
    // counts within `list`.
    int QueryWithinView(int code, BVarBindList& list, int& errorIndex);
    // Moves `vb` to the first instance in the view at or after the next
    // prefix from `from` (which it updates); endOfMibView under `asked` when
    // there is none. False on a query error (its status in `status`).
    bool NextInView(BVarBind& vb, const BObjectIdentifier& asked, BObjectIdentifier& from, int& status);
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
    // SNMPv3: the request's header, the user, the answer's header, the
    // decrypted request and the answer's scoped PDU.
    BSnmpV3Message m_v3;
    BSnmpV3Message m_v3Answer;
    const BSnmpV3User* m_pUser = nullptr;
    size_t m_answerLimit = 0;
    std::vector<unsigned char> m_plain;
    std::vector<unsigned char> m_scoped;
    // View handling: the names asked and where their walks stop, the
    // varbinds inside the view with their positions in the request and
    // their limits, NextInView's probe and its limit.
    std::vector<BObjectIdentifier> m_asked;
    std::vector<BObjectIdentifier> m_limits;
    BVarBindList m_inView;
    std::vector<BObjectIdentifier> m_inViewLimits;
    std::vector<int> m_positions;
    BObjectIdentifier m_from;
    BVarBindList m_probe;
    std::vector<BObjectIdentifier> m_probeLimit;
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
  BSnmpV3CounterMib m_usmStats;
  BSnmpV3CounterMib m_mpdStats;
  BSnmpV3CounterMib m_targetObjects;
  std::unique_ptr<BSnmpEngineMib> m_engineGroup;
  BUsmSaltCounter m_salts;
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
