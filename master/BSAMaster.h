// BSAMaster: the master side of the sub-agent protocol, living in the SNMP
// agent process.
//
// It accepts sessions from sub-agents on its UDP port (10001 unless the
// "SAMaster" section says otherwise), installs a proxy handler
// (BSAMibSubtreeHandler) into the agent's MIB handler for every subtree a
// sub-agent registers, forwards the SNMP requests that fall into those
// subtrees to the sub-agent and waits for the answers, hands notifications
// to the agent's trap sender, keeps a registry of allocated table index
// values, and closes the sessions of sub-agents that stop answering.
//
// The sub-agent port is an untrusted input. A datagram is looked at only
// when its sender is in AllowFrom; a request that names a session counts
// only from the IP that opened it; session and request ids cannot be
// guessed; what a session may hold (registrations, index values,
// notifications per second) is bounded, and all of it goes with the
// session. What was dropped or refused is counted (Counters()) and
// reported to the application at a bounded rate (ISAMasterEvents).
//
// Threads and sockets:
// - the worker thread reads m_listenSocket, dispatches every sub-agent
//   request by PDU type and answers it; all request handlers, and every
//   change to the MIB handler's tree, run there, one at a time. None of
//   them waits for the queries in flight (which may wait for a slow
//   sub-agent): a registration goes in beside them, and a proxy taken out
//   (and a closed session's record) is freed through the MIB handler's
//   grace periods once no query that may still use it runs. A closing
//   session's registrations are taken away a few hundred at a time;
// - the session-monitor thread wakes every 3 s, marks the sessions whose
//   sub-agent missed three requests in a row (or that sit idle) as closing
//   and leaves the closing to the worker; it never takes the MIB's lock;
// - the agent's SNMP request threads enter through the proxy handlers and
//   exchange with a sub-agent on its session's own socket: exchanges with
//   different sessions run at once, each session serves one at a time,
//   and every wait ends by MaxWait.
//
// Locks, in the order they may be taken: the MIB handler's Mutex(), its
// reader/writer lock Synch() (read by queries), a session's slot, then
// m_sessionsLock, m_viewLock and a session's socket lock (all three
// innermost). The master never takes Synch() for writing; proxies and
// sessions outlive every query that may use them through the MIB handler's
// grace periods.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BAddress.h"
#include "BMapInt2Ptr.h"
#include "BMibHandler.h"
#include "BObjectIdentifier.h"
#include "BObjectSyntax.h"
#include "BSABuffer.h"
#include "BSAIdSequence.h"
#include "BSAMasterCounters.h"
#include "BSAMasterSettings.h"
#include "BSAPdu.h"
#include "BSASession.h"
#include "BSASocket.h"
#include "BTime.h"
#include "BTrap.h"
#include "INonVolatile.h"
#include "ISAMasterEvents.h"
#include "QVExport.h"
#include "TEvent.h"
#include "TThread.h"

namespace QVT {

class BSAMibSubtreeHandler;
class BSAMasterPeer;

// The operator's view of the master (qvt-master-agent serves it as
// QVT-MASTER-MIB): copies of what it holds, handed out one row at a time
// in key order (BSAMaster::SessionFrom and the like).

// An open session.
struct BSASessionView {
  int id = 0;
  BString description;
  BAddress address;          // the sub-agent's: where the master's requests go
  int announcedTimeout = 0;  // seconds, as the sub-agent announced them
  uint32_t openedAt = 0;     // the master's up-time at the open (hundredths of a second)
  uint64_t requestsSent = 0;
  uint64_t timeouts = 0;
  int timeoutsInARow = 0;
  uint64_t notifications = 0;
};

// One registration of an open session: a subtree, or one instance of a
// range registration.
struct BSARegistrationView {
  int sessionId = 0;
  uint32_t number = 0;  // within the session: from 1, in the order registered
  BObjectIdentifier subtree;
  uint32_t rangeSubId = 0;  // the varied arc's position (from 1); 0 for a plain subtree
  uint32_t upperBound = 0;  // the range's highest value of that arc; 0 for a plain subtree
  uint32_t sysORIndex = 0;  // its sysORTable row; 0 when it has none
};

// One table index value an open session holds.
struct BSAIndexView {
  int sessionId = 0;
  uint32_t number = 0;      // within the session: from 1, in the order allocated
  BObjectIdentifier name;   // the index object
  BObjectIdentifier value;  // in the form it takes in an instance name
};

class QV_API BSAMaster {
 public:
  // Neither is owned; both outlive the master. `time` gives the up-time the
  // master answers pings with: without one it answers 0, which a
  // sub-agent's OnPingResponse cannot tell from notOpen.
  BSAMaster(BMibHandler* mibHandler, BTime* time);
  ~BSAMaster();
  BSAMaster(const BSAMaster&) = delete;
  BSAMaster& operator=(const BSAMaster&) = delete;

  // Reads the configuration, binds the sub-agent port and arms the
  // threads. 0; SA_ERR_BAD_VALUE when a setting cannot be used
  // (ConfigError() names it); or the socket status when the port cannot be
  // opened (then Init may be called again). A second successful Init does
  // nothing.
  int Init(INonVolatile* nv);
  // Reads section "SAMaster": "Port" and the keys of BSAMasterSettings.
  // 0; the store's status when "Port" cannot be read (the port then stays
  // as it was); SA_ERR_BAD_VALUE for another key that cannot be used.
  int InitFromNV(INonVolatile* nv);
  int SaveToNV(INonVolatile* nv);
  // The settings Init goes by; the application may change them before Init.
  BSAMasterSettings& Settings() { return m_settings; }
  // The key and value InitFromNV could not use ("MaxWait: '0' is outside
  // 1..3599"); empty when none.
  const BString& ConfigError() const { return m_configError; }
  // Starts the worker, then the session monitor; -1 before a successful Init.
  int Start();
  // Ends every exchange in progress (its SNMP request gets genErr at once),
  // stops both threads and waits for them; always 0. Until Start, requests
  // for sub-agents fail at once.
  int Stop();

  // Where forwarded notifications go; not owned. Without one a sub-agent's
  // notification is answered processingError.
  void SetTrapSender(ITrapSender* sender) { m_pTrapSender = sender; }
  // Who hears of sessions opened and closed and of refusals; not owned;
  // set before Start.
  void SetEventListener(ISAMasterEvents* listener) { m_pEvents = listener; }
  unsigned short Port() const { return m_port; }
  // The address the sub-agent port is bound to (after Init).
  BAddress ListenAddress() const;
  BMibHandler* MibHandler() const { return m_pMibHandler; }
  const BSAMasterCounters& Counters() const { return m_counters; }
  // Sessions open (closing ones not counted) and proxies installed.
  int SessionCount();
  int RegistrationCount() const { return static_cast<int>(m_handlerCount.load()); }
  // Index values held, by every session (closing ones included).
  int IndexValueCount();

  // The operator's view: the first row whose key is at or after the one
  // given, rows of closing sessions left out; false when there is none.
  // Sessions are keyed by id, registrations and index values by session id
  // and their number in the session. Each is a copy taken under a short
  // lock of the master's with one ordered lookup; none waits for a
  // sub-agent. Any thread.
  bool SessionFrom(int sessionId, BSASessionView& view);
  bool RegistrationFrom(int sessionId, uint32_t number, BSARegistrationView& view);
  bool IndexValueFrom(int sessionId, uint32_t number, BSAIndexView& view);

  // Sessions and the inbound path (the worker thread's).
  int ReceiveAndProcessData();
  int ProcessRcvdData();
  int ReturnResponsePdu(BSAPdu& response);
  int OpenSession(BSAPdu& request, BSAPdu& response);
  int CloseSession(BSAPdu& request);
  // Closes the session, registrations and index values included, reported
  // to the event listener as closed by the master: 0 or notOpen. The
  // requests for it fail at once. While the master runs, a call from any
  // other thread than the worker leaves the taking apart to the worker;
  // otherwise the session is gone on return. No lock needs to be held.
  int CloseSession(int sessionId);
  // The record of an open session (not one that is closing), or null. It
  // stays valid until the worker closes the session: use it on the worker
  // thread, or inside a query (within a grace period of the MIB handler).
  BSASession* FindSession(int sessionId);
  int Ping(BSAPdu& request);
  // Marks the sessions to close (three requests in a row unanswered, or
  // idle past IdleTimeout) and hands them to the worker.
  void CheckSessions();
  // A fresh request id: unpredictable, in 1 .. 0x3FFFFFFF, not repeated
  // before the whole range is used.
  unsigned int GetNewRequestId();
  // One request/response exchange with a sub-agent: 0 with `response`
  // decoded, or a negative status: SA_ERR_TIMEOUT (no answer within the
  // session's wait), SA_ERR_SESSION_FAILING (the session has just timed
  // out: not asked), SA_ERR_SESSION_BUSY (too many requests wait for it),
  // SA_ERR_SESSION_CLOSED (closing, or the master stopped), or an encoder
  // or socket status.
  int SendAndRecvPdu(BSASession& session, BSAPdu& request, BSAPdu& response);

  // Subtree registration.
  int RegisterSH(BSAPdu& request);
  int UnregisterSH(BSAPdu& request);
  // One proxy: 0, 263 when the MIB handler refuses it. The caller (the
  // worker) has checked the policy. For an instance of a range
  // registration, `rangeSubId` and `upperBound` describe the range.
  int RegisterSH(BString& name, BObjectIdentifier& oid, BSASession* session, int type, uint32_t rangeSubId = 0,
                 uint32_t upperBound = 0);
  // Withdraws one proxy: 0, or 268 when the MIB handler refuses (the proxy
  // then stays).
  int UnregisterSH(BSAMibSubtreeHandler* handler);
  // The proxy registered with exactly `oid` (of that session unless
  // `sessionId` is 0), or null.
  BSAMibSubtreeHandler* FindSubtreeHandler(const BObjectIdentifier& oid, int sessionId);

  // Notifications and index values.
  int Notify(BSAPdu& request);
  int IndexAlloc(BSAPdu& request, BSAPdu& response);
  int IndexDealloc(BSAPdu& request, BSAPdu& response);

  class QV_API WorkerThread : public TThread {
   public:
    WorkerThread() : TThread(false) {}
    ~WorkerThread() override;
    int Run() override;
    BSAMaster* m_pMaster = nullptr;
  };

  class QV_API SessMonThread : public TThread {
   public:
    SessMonThread() : TThread(false) {}
    ~SessMonThread() override;
    int Run() override;
    BSAMaster* m_pMaster = nullptr;
    unsigned int m_interval = 3000;  // milliseconds between two session checks
  };

  // The registry of allocated table index values, by index name (the index
  // object's OID). Used by the worker thread only. Which session holds a
  // value is kept by the master, so that a session's values are released
  // when it closes.
  class QV_API Indices {
   public:
    Indices() = default;
    ~Indices();
    Indices(const Indices&) = delete;
    Indices& operator=(const Indices&) = delete;

    BMapOid2Ptr* GetIndicesForName(BMapOid2Ptr& map, const BObjectIdentifier& name);
    int FindValue(BMapOid2Ptr* values, const BObjectIdentifier& key);
    int ValToOid(const BObjectSyntax& value, BObjectIdentifier& key);
    int IsNumericSyntax(const BObjectSyntax& value);
    int TestNew(const BObjectIdentifier& name, const BObjectSyntax& value);
    int TestAny(const BObjectIdentifier& name, const BObjectSyntax& value);
    int TestValue(const BObjectIdentifier& name, const BObjectSyntax& value);
    int Exists(const BObjectIdentifier& name, const BObjectSyntax& value);
    int Add(const BObjectIdentifier& name, const BObjectSyntax& value);
    int AddNew(const BObjectIdentifier& name, BObjectSyntax& value);
    int AddAny(const BObjectIdentifier& name, BObjectSyntax& value);
    int Remove(const BObjectIdentifier& name, const BObjectSyntax& value);
    // Remove by the value's key; the released value is kept for AddAny
    // only while fewer than kMaxReleased values are kept in all.
    int RemoveKey(const BObjectIdentifier& name, const BObjectIdentifier& key);

    // Released values kept at most (beyond, a released value is forgotten,
    // so that sessions coming and going cannot grow the registry).
    static constexpr int kMaxReleased = 16384;

    BMapOid2Ptr m_allocated;  // name -> heap BMapOid2Ptr of key -> heap BObjectSyntax
    BMapOid2Ptr m_released;

   private:
    // The inner map of `name` in `map`, created (and entered) when absent.
    BMapOid2Ptr* IndicesForNameCreate(BMapOid2Ptr& map, const BObjectIdentifier& name);
    // Takes the released entry of `key` out of `name`'s released map (null
    // when there is none), dropping the map when it empties.
    BObjectSyntax* TakeReleased(const BObjectIdentifier& name, const BObjectIdentifier& key);
    // Enters `stored` (owned from now on) as allocated under `name`.`key`.
    int Allocate(const BObjectIdentifier& name, const BObjectIdentifier& key, BObjectSyntax* stored);

    int m_releasedCount = 0;
  };

  // The trap object the master builds for a forwarded notification.
  class QV_API SATrap : public BTrapV2 {
   public:
    SATrap() = default;
    ~SATrap() override;
    SATrap* Clone() const override;
  };

 private:
  friend class BSAMasterPeer;           // tests
  friend class BSAMasterHarnessAccess;  // the session-table fuzz harness
  friend class BSAMibSubtreeHandler;
  using Clock = std::chrono::steady_clock;

  // An answer kept for a retransmission of an open or close, whose session
  // record cannot keep it (none yet, or gone).
  struct KeptAnswer {
    BAddress peer;
    uint32_t requestId;
    uint8_t type;
    uint64_t requestDigest;
    Clock::time_point expires;
    std::vector<unsigned char> frame;
    int sessionId;
  };
  // The notOpen answers one IP address may still be sent (a token bucket).
  struct NotOpenAllowance {
    double tokens;
    Clock::time_point refill;
  };
  // Reports of one kind of refusal: the first at once, the rest summed up
  // once per interval.
  struct RefusalReport {
    Clock::time_point last{};
    uint64_t suppressed = 0;
    BString example;
  };

  // Wakes the worker out of its receive.
  void WakeWorker();
  // SendAndRecvPdu's exchange proper, the session's slot held.
  // `shortened`: the deadline is the SNMP request's, earlier than the
  // session's own wait would end (a time-out then is not the sub-agent's).
  int Exchange(BSASession& session, BSAPdu& request, BSAPdu& response, Clock::time_point deadline, bool shortened);
  // Runs the handler of `request` and sends the answer to m_addrPeer.
  void Answer(BSAPdu& request);
  // The handler of `request` by type; its wire status.
  int Dispatch(BSAPdu& request, BSAPdu& response);
  // Sends an answer that was sent before; true when there was one.
  bool AnswerAgain(const BSAPdu& request);
  // Keeps the answer just sent (in m_rxBuffer) to the request of
  // `requestDigest`.
  void KeepAnswer(BSASession* session, const BSAPdu& request, int sessionId, uint64_t requestDigest);
  // Whether a notOpen answer may go to m_addrPeer now: a few a second per
  // IP address, so that requests for sessions that are not there cost the
  // master and the path back no more than that.
  bool TakeNotOpenAllowance();

  // Closing: marked at once (requests fail, proxies act as if gone), then
  // the registrations are withdrawn in steps by the worker.
  void BeginClose(BSASession& session, ISAMasterEvents::ECloseReason reason);
  // Withdraws registrations of closing sessions, a few hundred at a time
  // for at most a couple of milliseconds; frees each session once nothing
  // of it is left. True when work remains.
  bool ContinueClosing();
  bool ClosingPending();
  // Withdraws up to `maxRegistrations` registrations of a closing session;
  // once none is left, releases its index values and frees it. False while
  // registrations remain, or when the MIB handler refused to withdraw a
  // proxy (the session then stays).
  bool FinishClose(BSASession& session, size_t maxRegistrations);
  void ReleaseIndexValues(BSASession& session);
  // Takes one notification from the session's allowance; false when it has
  // none left.
  bool TakeNotifyToken(BSASession& session);
  // Takes the close requests of the monitor.
  void TakeCloseRequests();

  // The record of a session, closing ones included, or null.
  BSASession* FindSessionRecord(int sessionId);
  // A session description or registration name from its varbind, kept to
  // kMaxNameLength characters (they go into logs and sysORDescr).
  static constexpr size_t kMaxNameLength = 255;
  static BString NameFrom(const BObjectSyntax& value);

  // Counting and reporting of drops and refusals: Count counts and traces
  // (and reports the kinds an operator should hear of), Refuse does all
  // three, Report tells the event listener at a bounded rate.
  void Count(ESAMasterCounter counter, const BAddress& from, const char* detail = nullptr);
  void Refuse(ESAMasterCounter counter, const BString& text);
  void Report(ESAMasterCounter counter, const BString& text);
  void FlushRefusalReports(bool all);

  // Registration policy: 0 or the wire error to refuse `oid` with.
  int CheckRegistration(const BObjectIdentifier& oid, const BSASession& session, BString& why);
  BSAMibSubtreeHandler* FindHandler(const BObjectIdentifier& oid) const;
  void AddToSession(BSASession& session, BSAMibSubtreeHandler* handler);
  void RemoveFromSession(BSAMibSubtreeHandler* handler);
  // Enters a session's proxy into m_registrationRows (numbering it the
  // first time), and takes it out.
  void ListRegistration(BSAMibSubtreeHandler* handler);
  void UnlistRegistration(BSAMibSubtreeHandler* handler);

  BMibHandler* m_pMibHandler;
  BTime* m_pTime;
  ITrapSender* m_pTrapSender = nullptr;
  ISAMasterEvents* m_pEvents = nullptr;
  BSAMasterSettings m_settings;
  BString m_configError;
  BSAMasterCounters m_counters;
  BSASocket m_listenSocket{2048, 2};
  unsigned short m_port = 10001;
  bool m_listenWildcard = false;  // bound to every address: answers go out from the one asked
  BSABuffer m_rxBuffer;
  uint64_t m_requestDigest = 0;  // of the datagram being handled, to tell a retransmission from a new request
  BAddress m_addrPeer;
  BAddress m_addrLocal;           // where the datagram being handled was sent to
  BSASocket m_wakeSocket{16, 1};  // the worker's alarm clock: sends to the listening socket
  BAddress m_wakeAddress;
  bool m_initialized = false;
  std::atomic<bool> m_stopping{false};
  WorkerThread m_workerThread;
  std::atomic<std::thread::id> m_workerId{};
  SessMonThread m_sessMonThread;
  BSAIdSequence m_sessionIds;
  BSAIdSequence m_requestIds;

  // Guards m_sessions' structure, m_closeRequests, m_closing and the
  // sessions' close flags; innermost.
  std::mutex m_sessionsLock;
  std::map<int, std::unique_ptr<BSASession>> m_sessions;
  std::vector<std::pair<int, ISAMasterEvents::ECloseReason>> m_closeRequests;
  std::deque<int> m_closing;  // sessions being taken apart, oldest first

  // The worker thread's (and the owner's, once the master is stopped).
  std::map<BObjectIdentifier, BSAMibSubtreeHandler*> m_handlers;
  std::atomic<size_t> m_handlerCount{0};
  // SNMP requests waiting for sub-agents right now (MaxWaitingRequests).
  std::atomic<int> m_waitingRequests{0};
  Indices m_indices;
  std::map<std::pair<BObjectIdentifier, BObjectIdentifier>, int> m_indexOwners;  // (name, key) -> session

  // The registrations and index values of the sessions by (session id,
  // number in the session), for the view. Changed by the worker only;
  // m_viewLock guards their structure and the sysOR index of a listed
  // proxy (the worker holds it around each change, the view for one
  // lookup); innermost.
  struct IndexRow {
    BSASession* session;
    BObjectIdentifier name;
    BObjectIdentifier value;
  };
  std::mutex m_viewLock;
  std::map<std::pair<int, uint32_t>, BSAMibSubtreeHandler*> m_registrationRows;
  std::map<std::pair<int, uint32_t>, IndexRow> m_indexRows;
  std::deque<KeptAnswer> m_keptAnswers;
  std::map<std::string, NotOpenAllowance> m_notOpenAllowances;  // by IP address octets
  RefusalReport m_refusals[SA_CNT_COUNT];
};

}  // namespace QVT
