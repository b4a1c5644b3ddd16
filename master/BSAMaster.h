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
// Threads and sockets:
// - the worker thread reads m_listenSocket, dispatches every sub-agent
//   request by PDU type and answers it; all request handlers run there, one
//   at a time. Requests that change the MIB (open, close, register,
//   unregister) need the MIB handler's write lock, so they wait for the
//   queries in flight; such a query may itself wait for a sub-agent that
//   waits for the worker (an index value at SET-test, a notification), so
//   the worker does not block on the lock: it keeps those requests, in
//   arrival order, serves the other requests meanwhile and answers the kept
//   ones as soon as the lock is free;
// - the session-monitor thread wakes every 3 s and closes sessions whose
//   sub-agent missed three requests in a row;
// - the agent's SNMP request threads enter through the proxy handlers and
//   use m_reqSocket, one exchange at a time under m_reqLock.
//
// Locks, in the order they may be taken: the MIB handler's Mutex(), its
// reader/writer lock Synch(), a proxy handler's own lock, m_reqLock; and
// m_sessionsLock innermost. Sessions and proxy handlers are removed only
// while Synch() is held for writing, and queries hold it for reading, so a
// handler or session is never freed under a running query.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>

#include "BAddress.h"
#include "BMapInt2Ptr.h"
#include "BMibHandler.h"
#include "BObjectIdentifier.h"
#include "BObjectSyntax.h"
#include "BSABuffer.h"
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

class QV_API BSAMaster {
 public:
  // Neither is owned; both outlive the master. `time` gives the up-time the
  // master answers pings with: without one it answers 0, which a
  // sub-agent's OnPingResponse cannot tell from notOpen.
  BSAMaster(BMibHandler* mibHandler, BTime* time);
  ~BSAMaster();
  BSAMaster(const BSAMaster&) = delete;
  BSAMaster& operator=(const BSAMaster&) = delete;

  // Reads the configuration, binds both sockets and arms the threads. 0, or
  // the socket status when a socket cannot be opened (then Init may be
  // called again). A second successful Init does nothing.
  int Init(INonVolatile* nv);
  // Reads "Port" of section "SAMaster": 0, or the store's status when the
  // key cannot be read (the port then stays as it was).
  int InitFromNV(INonVolatile* nv);
  int SaveToNV(INonVolatile* nv);
  // Starts the worker, then the session monitor; -1 before a successful Init.
  int Start();
  // Stops both threads and waits for them; always 0.
  int Stop();

  // Where forwarded notifications go; not owned. Without one a sub-agent's
  // notification is answered processingError.
  void SetTrapSender(ITrapSender* sender) { m_pTrapSender = sender; }
  // Who hears of sessions opened and closed; not owned; set before Start.
  void SetEventListener(ISAMasterEvents* listener) { m_pEvents = listener; }
  unsigned short Port() const { return m_port; }
  BMibHandler* MibHandler() const { return m_pMibHandler; }

  // Sessions and the outbound exchange.
  int ReceiveAndProcessData();
  int ProcessRcvdData();
  int ReturnResponsePdu(BSAPdu& response);
  int OpenSession(BSAPdu& request, BSAPdu& response);
  int CloseSession(BSAPdu& request);
  // The caller holds the MIB handler's write lock. Reported to the event
  // listener as closed by the master.
  int CloseSession(int sessionId);
  BSASession* FindSession(int sessionId);
  int Ping(BSAPdu& request);
  void CheckSessions();
  unsigned int GetNewRequestId();
  // One request/response exchange with a sub-agent: 0 with `response`
  // decoded, or a negative status (SA_ERR_TIMEOUT, encoder or socket).
  int SendAndRecvPdu(BSASession& session, BSAPdu& request, BSAPdu& response);

  // Subtree registration.
  int RegisterSH(BSAPdu& request);
  int UnregisterSH(BSAPdu& request);
  int RegisterSH(BString& name, BObjectIdentifier& oid, BSASession* session, int type);
  int UnregisterSH(int index);
  int FindSubtreeHandler(const BObjectIdentifier& oid, int sessionId);

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
  // object's OID). Global to the master: allocations outlive the session
  // that made them. Used by the worker thread only.
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

    BMapOid2Ptr m_allocated;  // name -> heap BMapOid2Ptr of key -> heap BObjectSyntax
    BMapOid2Ptr m_released;

   private:
    // The inner map of `name` in `map`, created (and entered) when absent.
    BMapOid2Ptr* IndicesForNameCreate(BMapOid2Ptr& map, const BObjectIdentifier& name);
  };

  // The trap object the master builds for a forwarded notification.
  class QV_API SATrap : public BTrapV2 {
   public:
    SATrap() = default;
    ~SATrap() override;
    SATrap* Clone() const override;
  };

 private:
  friend class BSAMasterPeer;
  friend class BSAMibSubtreeHandler;

  // A request that waits for the MIB handler's write lock, and where its
  // answer goes.
  struct Deferred {
    BSAPdu request;
    BAddress peer;
  };

  // Wakes the worker out of its receive so that Stop need not wait for the
  // receive's 2-second time-out.
  void WakeWorker();
  // Runs the handler of `request` and sends the answer to m_addrPeer.
  void Answer(BSAPdu& request);
  // Answers the kept requests, oldest first, if the write lock can be had.
  void AnswerDeferred();
  // CloseSession(int) with the reason the event listener hears.
  int CloseSession(int sessionId, ISAMasterEvents::ECloseReason reason);
  // The session's existence, looked up under m_sessionsLock (the record
  // itself is not used afterwards).
  bool SessionExists(int sessionId);

  BMibHandler* m_pMibHandler;
  BTime* m_pTime;
  ITrapSender* m_pTrapSender = nullptr;
  ISAMasterEvents* m_pEvents = nullptr;
  BSASocket m_listenSocket{2048, 2};
  unsigned short m_port = 10001;
  BSABuffer m_rxBuffer;
  BAddress m_addrPeer;
  BSASocket m_reqSocket{2048, 2};
  BSABuffer m_reqBuffer;
  TMutex m_reqLock{true};  // one exchange on m_reqSocket at a time; after a proxy's lock
  bool m_initialized = false;
  WorkerThread m_workerThread;
  SessMonThread m_sessMonThread;
  std::mutex m_sessionsLock;  // guards the structure of m_sessions; innermost
  BMapInt2Ptr m_sessions;     // session id -> owned BSASession*
  BPtrArray m_handlers;       // owned BSAMibSubtreeHandler*, in registration order
  Indices m_indices;
  std::deque<Deferred> m_deferred;  // requests waiting for the write lock; worker thread only
  std::atomic<unsigned int> m_lastRequestId{0};
};

}  // namespace QVT
