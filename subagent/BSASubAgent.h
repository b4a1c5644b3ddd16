// BSASubAgent: the one object a sub-agent process creates to take part in
// the protocol.
//
// The application drives it in this order: construct; Init with a settings
// store ("SubAgent" section); OpenSession; register its subtree handlers
// with the embedded MIB handler (m_mibHandler) and announce them to the
// master (Register, RegisterRow); Start; then Notify and the index requests
// at any time; at the end Stop, CloseSession, destruction.
//
// Two sockets keep the two directions apart. The responder socket carries
// the openSession exchange and then the master's requests and our answers;
// it is re-created on a fresh port at every open, so the master learns the
// session's address from the open datagram. The request socket carries every
// other exchange the sub-agent starts, one at a time under m_reqLock.
//
// Threads: the application's; the command responder, which answers the
// master one datagram at a time and runs the SET phases; the pinger, which
// pings once per ping interval and reports through OnPingResponse /
// OnPingTimeout; in keep-session mode (KeepSession) the keeper, which
// opens the session, notices when it is lost (a ping refused with notOpen,
// pings without answer, a master whose up-time went back), opens a new one
// with capped exponential back-off, announces every registration again and
// reserves the index values held, and tells the application
// (ISASessionEvents). Without that mode the library never re-opens a
// session by itself.
//
// Both sockets are bound to one local address: the one the system sends
// from to reach the master (loopback for a master on this host), or
// "ListenAddress". Only the master may talk to them: the responder serves
// requests from the master's address for the session it holds, and an
// exchange takes answers from the master's address and port only; every
// other datagram is dropped and counted. A request that gets no answer is
// sent again (same request id) a few times within MasterTimeout; the master
// answers a repeated request without doing its work twice.
#pragma once

#include <atomic>
#include <mutex>

#include "BAddress.h"
#include "BMibSubtreeHandler.h"
#include "BMibTableImpl.h"
#include "BSABuffer.h"
#include "BSAMibHandler.h"
#include "BSAMibImpl.h"
#include "BSAPdu.h"
#include "BSASocket.h"
#include "BString.h"
#include "BTrap.h"
#include "INonVolatile.h"
#include "QVExport.h"
#include "TEvent.h"
#include "TThread.h"

#include <map>
#include <vector>

namespace QVT {

class BSASubAgentPeer;

// What the keeper tells the application, on its own thread. Defaults do
// nothing.
class QV_API ISASessionEvents {
 public:
  virtual ~ISASessionEvents() = default;
  // The session is gone; the keeper is opening a new one.
  virtual void OnSessionLost(const char* reason) { (void)reason; }
  // A session is open and everything was announced again (refusals told
  // just before).
  virtual void OnSessionBack(unsigned int sessionId) { (void)sessionId; }
  // The master refused to take back, in session `sessionId`, a
  // registration (`subtree`, the OID registered) or an index value
  // (`subtree`: the index object); `status` is its wire error.
  virtual void OnRegistrationRefused(unsigned int sessionId, const BObjectIdentifier& subtree, int status) {
    (void)sessionId;
    (void)subtree;
    (void)status;
  }
};

class QV_API BSASubAgent : public ITrapSender {
 public:
  BSASubAgent();
  // Stops the threads if the application has not (destroying a running
  // sub-agent is safe); does not close the session. A derived class that
  // overrides the ping hooks calls Stop in its own destructor: the pinger
  // may call them until then.
  ~BSASubAgent() override;
  BSASubAgent(const BSASubAgent&) = delete;
  BSASubAgent& operator=(const BSASubAgent&) = delete;

  // ITrapSender: hands the trap to the master (Notify); `text` is unused.
  int SendTrap(const BTrap& trap, const char* text) override;
  // The application's hooks, called on the pinger thread. Defaults trace
  // only. OnPingResponse gets the master's up-time (hundredths of a second),
  // 0 when the master answered notOpen, which a master whose clock reads 0
  // cannot be told from: Ping again and look for SA_WIRE_NOT_OPEN.
  // OnPingTimeout is called when a ping got no answer or failed otherwise;
  // `value` is the ping interval times ten.
  virtual void OnPingResponse(int upTime);
  virtual void OnPingTimeout(int value);

  // Lifecycle (0 or a status code).
  // Init reads the "SubAgent" keys (MasterAddress, PingInterval,
  // MasterTimeout, MaxProcTime, ListenAddress; `nv` null: nothing is read
  // and no master address is set) and
  // opens both sockets; the store is not kept. Without a MasterAddress the
  // master is 127.0.0.1:10001; a MasterAddress that does not resolve, or a
  // ListenAddress that is not an address of this host, gives
  // SA_ERR_BAD_VALUE and InitError() names the key and the value. A second
  // call after a successful one does nothing.
  int Init(INonVolatile* nv);
  // 0, or SA_ERR_BAD_VALUE when "MasterAddress" or "ListenAddress" is set
  // but unusable (the other keys are read all the same).
  int InitFromNV(INonVolatile* nv);
  // Why the last Init or InitFromNV failed on a setting: the key and its
  // value, in one line; empty when it did not.
  const BString& InitError() const { return m_initError; }
  // The local address both sockets bind to, instead of the one that routes
  // to the master; before Init (the key "ListenAddress" does the same).
  void SetListenAddress(const BAddress& local) { m_listenAddress = local; }
  // The address the sockets are bound to (port 0), after Init.
  const BAddress& LocalAddress() const { return m_localAddress; }
  // Datagrams dropped because they did not come from the master or named
  // another session.
  uint64_t DroppedDatagrams() const { return m_dropped.load(); }
  int SaveToNV(INonVolatile* nv);
  // Keep-session mode, set before Start: the keeper opens the session as
  // `description` (unless the application opened one already) and keeps it
  // open as the file comment says; `events` (not owned, may be null) hears
  // about it. Registrations, rows and index values made through this
  // object are remembered and announced again on every new session; made
  // while no session is open (or while the keeper announces), they are
  // remembered and return SA_WIRE_NOT_OPEN at once, to be announced by the
  // keeper; one whose exchange failed is announced with the next session.
  // Back-off between attempts: 1 s doubling up to `maxDelaySeconds`, each
  // drawn at random between half and all of it.
  void KeepSession(const BString& description, ISASessionEvents* events, unsigned maxDelaySeconds = 30);
  // Starts the threads: 0, or -1 (nothing started) before a successful Init.
  int Start();
  int Stop();
  unsigned int GetNewRequestId();

  // The session with the master. OpenSession: 0, SA_ERR_ALREADY_OPEN, a
  // negative exchange status (SA_ERR_TIMEOUT after MasterTimeout without an
  // answer), or the master's wire error. An open that got no answer is
  // tried again by the next OpenSession as the same request (same socket,
  // same request id), so that a master that did open the session answers
  // with that session instead of leaving it behind.
  int OpenSession(const BString& description);
  int CloseSession();
  // Closes a session of ours at the master other than the one held: one the
  // application gave up on (ForgetSession) when its close got no answer. 0,
  // notOpen when the master does not know it, or a negative status.
  int CloseSession(unsigned int sessionId);
  int Ping(int& upTime);
  // One exchange on the request socket: 0 with `response` decoded, or a
  // negative status (SA_ERR_TIMEOUT, encoder, socket).
  int SendAndRecvPdu(BSAPdu& request, BSAPdu& response);
  int ReturnResponsePdu(BSAPdu& response);

  // The command responder (run by its thread).
  int ReceiveAndProcessData();
  int ProcessRcvdData();
  int ProcessPdu(unsigned int transactionId, BSAPdu& request, BSAPdu& response);
  int QueryGetBulk(unsigned int transactionId, BSAPdu& request, BVarBindList& list, int& errorIndex);

  // Registrations: the master's verdict (0 or a wire error code), or a
  // negative status when the exchange failed.
  int Register(BMibSubtreeHandler* handler);
  int Unregister(BMibSubtreeHandler* handler);
  // The same for `subtree`, a subtree that holds the handler's OID: the
  // master sends everything under it here, for instance a whole table
  // (table OID) served by a handler rooted at its entry (table.1).
  int Register(BMibSubtreeHandler* handler, const BObjectIdentifier& subtree);
  int Unregister(BMibSubtreeHandler* handler, const BObjectIdentifier& subtree);
  int RegisterRow(BMibTableImpl* table, const BObjectIdentifier& index);
  int UnregisterRow(BMibTableImpl* table, const BObjectIdentifier& index);
  void AddSubidsToVbl(BSAMibImpl* mib, BSAPdu& pdu);
  void AddIndicesToVbl(BMibTableImpl* table, BSAPdu& pdu);

  // Notifications and index values. Each returns 0, a negative exchange
  // status, or the master's wire error (ESAWireError); Notify returns -1
  // for an SNMPv1 trap that has no SNMPv2 form. Callable from any thread,
  // the MIB callbacks included, once the session is open.
  int Notify(const BTrap& trap);
  // `list`: one varbind per index part, named by the index object (the
  // table's entry OID + the index column) and carrying a value of its
  // syntax. SA_IXALLOC_VALUE reserves the values given (any index syntax);
  // SA_IXALLOC_NEW_INDEX and SA_IXALLOC_ANY_INDEX have the master choose,
  // for INTEGER, Gauge32 and TimeTicks values only: NEW the next value above
  // the highest one allocated, skipping released ones; ANY the lowest
  // released value, else as NEW. On 0 `list` holds the values reserved.
  int IndexAlloc(ESAIxAlloc mode, BVarBindList& list);
  // Releases the values of `list` (named as for IndexAlloc).
  int IndexDealloc(BVarBindList& list);

  // Forgets the session without telling the master: for a master that no
  // longer knows it (it answered a ping with notOpen, or restarted), so that
  // OpenSession can open a new one.
  void ForgetSession() { m_sessionId.store(0); }
  // Requests of the master answered since construction.
  unsigned int RequestsAnswered() const { return m_requestsAnswered.load(); }

  bool IsSessionOpen() const { return m_sessionId.load() != 0; }
  unsigned int SessionId() const { return m_sessionId.load(); }
  const BAddress& MasterAddress() const { return m_addrMaster; }
  int PingInterval() const { return m_pingThread.m_interval; }

  class QV_API CmdRespThread : public TThread {
   public:
    CmdRespThread() : TThread(false) {}
    ~CmdRespThread() override;
    int Run() override;
    BSASubAgent* m_pSubAgent = nullptr;
  };

  class QV_API KeeperThread : public TThread {
   public:
    KeeperThread() : TThread(false) {}
    ~KeeperThread() override;
    int Run() override;
    BSASubAgent* m_pSubAgent = nullptr;
  };

  class QV_API PingThread : public TThread {
   public:
    explicit PingThread(int interval) : TThread(false), m_interval(interval) {}
    ~PingThread() override;
    int Run() override;
    BSASubAgent* m_pSubAgent = nullptr;
    int m_interval;  // seconds; 0 or less: no pinging
  };

  // The local MIB handler; the application registers its handlers here.
  BSAMibHandler m_mibHandler;

 private:
  friend class BSASubAgentPeer;

  int RegisterHandler(BMibSubtreeHandler* handler, ESAPduType type, const BObjectIdentifier* subtree = nullptr);

  // Keep-session mode. A registration as announced: a handler's subtree, or
  // a table row (range registration), keyed by the OID it registers.
  struct Announced {
    BMibSubtreeHandler* handler = nullptr;
    BMibTableImpl* table = nullptr;  // a row: the table and the row's index
    BObjectIdentifier index;
    unsigned int session = 0;  // the session it was last announced in (0: to announce)
  };
  static BObjectIdentifier RowSubtree(const BMibTableImpl& table, const BObjectIdentifier& index);
  // A (un)registration of `subtree`: sent, and in keep mode remembered
  // (or forgotten); without a session in keep mode only remembered.
  int Announce(const BObjectIdentifier& subtree, const Announced& what, ESAPduType type);
  // With m_keepLock held.
  void Remember(const BObjectIdentifier& subtree, const Announced& what, ESAPduType type);
  // Called by the pinger after each ping sent with `session`.
  void WatchPing(unsigned int session, int status, int upTime);
  void SessionLost(const char* reason);
  // The keeper's work: (re)open and announce again until done or stopped.
  void Restore(KeeperThread& keeper);
  // Announces every remembered registration not yet announced in
  // `session` (those the application adds meanwhile too) and every index
  // value again; false when an exchange failed (the session is no good
  // either).
  bool AnnounceAgain(unsigned int session);
  int SendRegistration(const BObjectIdentifier& subtree, const Announced& what, ESAPduType type);
  int SendIndexAlloc(ESAIxAlloc mode, BVarBindList& list);
  // Sends `request` from `socket` to the master and waits for the answer
  // with its request id from the master's address, sending it again when
  // none comes, for at most MasterTimeout in all. 0 with `response`
  // decoded, or a negative status.
  int Exchange(BSASocket& socket, BSABuffer& buffer, BSAPdu& request, BSAPdu& response);
  // The local address to bind to (ListenAddress, else the one that routes
  // to the master, else loopback).
  BAddress ChooseLocalAddress() const;
  int RegisterTableRow(BMibTableImpl* table, const BObjectIdentifier& index, ESAPduType type);
  // Sends one octet to our own responder port so that a thread blocked in
  // its receive there returns at once.
  void WakeResponder();

  BSASocket m_respSocket{2048, 2};
  BSABuffer m_respBuffer;
  BAddress m_addrPeer;
  BSASocket m_reqSocket{2048, 2};
  BSABuffer m_reqBuffer;
  TMutex m_reqLock{true};  // one exchange on the request socket at a time
  // Held by the command responder around each receive-and-answer, and by
  // OpenSession while it uses the responder socket, so the two never share it.
  std::mutex m_respLock;
  bool m_initialized = false;
  CmdRespThread m_cmdRespThread;
  PingThread m_pingThread{10};
  BAddress m_addrMaster;
  BAddress m_listenAddress;  // configured; empty: the address that routes to the master
  BString m_initError;
  BAddress m_localAddress;   // what the sockets are bound to
  // The request id of an open that got no answer, sent again as it was by
  // the next OpenSession (0: none pending).
  unsigned int m_pendingOpenId = 0;
  std::atomic<uint64_t> m_dropped{0};
  int m_masterTimeout = 3;
  int m_maxProcTime = 3;
  std::atomic<unsigned int> m_sessionId{0};
  std::atomic<unsigned int> m_lastRequestId{0};
  std::atomic<unsigned int> m_requestsAnswered{0};

  // Keep-session mode.
  bool m_keep = false;
  BString m_keepDescription;
  ISASessionEvents* m_pEvents = nullptr;
  unsigned m_maxDelaySeconds = 30;
  KeeperThread m_keeperThread;
  std::mutex m_keepLock;  // guards the two collections below
  std::map<BObjectIdentifier, Announced> m_announced;
  bool m_restoring = false;  // the keeper announces: the application's registrations wait for it
  std::vector<BVarBindList> m_heldIndices;
  std::atomic<const char*> m_lostReason{nullptr};  // set: the keeper opens a new session
  std::atomic<int> m_pingTimeoutsInARow{0};
  std::atomic<unsigned int> m_lastUpTime{0};
};

}  // namespace QVT
