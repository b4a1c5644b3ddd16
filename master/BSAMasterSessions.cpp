// BSAMaster: the inbound path (receive, dispatch, answer), the session
// table and the outbound request/response exchange with sub-agents.
#include <vector>

#include "BSAFrame.h"
#include "BSAMaster.h"
#include "BSAMibSubtreeHandler.h"
#include "QVSubAgTrace.h"

namespace QVT {

std::atomic<int> BSASession::s_session_counter{1};

namespace {
// A datagram of this size or less cannot be a frame: dropped unanswered.
constexpr unsigned int kShortDatagram = 9;
constexpr int kDefaultSessionTimeout = 2;
constexpr int kMaxSessionTimeout = 3599;
// The monitor closes a session after this many receives in a row timed out.
constexpr int kMaxTimeoutsInARow = 2;
// How long the worker waits for the write lock before it keeps the request
// for later and serves the next datagram.
constexpr unsigned kWriteLockWaitMs = 50;
// Requests kept beyond this many are dropped unanswered (their senders see
// their own time-out), so that a stalled query cannot make the list grow
// without bound.
constexpr size_t kMaxDeferred = 256;

// The requests whose handlers change the MIB handler's tree or the session
// table under its write lock.
bool NeedsWriteLock(uint8_t type) {
  return type == SA_PDU_OPEN_SESSION || type == SA_PDU_CLOSE_SESSION || type == SA_PDU_REGISTER ||
         type == SA_PDU_UNREGISTER;
}
}  // namespace

int BSAMaster::ReceiveAndProcessData() {
  m_rxBuffer.SetLength(m_rxBuffer.Capacity());
  unsigned int length = m_rxBuffer.Capacity();
  // While requests wait for the write lock the receive only polls, so that
  // AnswerDeferred tries the lock again soon.
  const int status = m_deferred.empty() ? m_listenSocket.RecvFrom(m_rxBuffer.Data(), length, m_addrPeer, false)
                                        : m_listenSocket.RecvFrom(m_rxBuffer.Data(), length, m_addrPeer, 0);
  int received = 0;
  if (status == 0) {
    m_rxBuffer.SetLength(length);
    if (QVSubAgTraceActive()) QVSubAgTrace("ReceiveAndProcessData FROM, %s", QVAddressToString(m_addrPeer).c_str());
    ProcessRcvdData();
    received = 1;
  }
  AnswerDeferred();
  return received;
}

int BSAMaster::ProcessRcvdData() {
  if (m_rxBuffer.Length() <= kShortDatagram) return 1;
  BSAPdu request(static_cast<ESAPduType>(0));
  const int decoded = Decode(m_rxBuffer, request);
  if (decoded != 0) {
    QVSubAgTrace("ProcessRcvdData DECODING ERR = %x", decoded);
    return 1;
  }
  if (!NeedsWriteLock(request.type)) {
    Answer(request);
    return 1;
  }
  // Behind the requests kept already, or kept itself while queries hold the
  // lock; the handlers take the lock again, nested.
  if (m_deferred.empty() && m_pMibHandler->Synch().TryWaitToWrite(kWriteLockWaitMs)) {
    Answer(request);
    m_pMibHandler->Synch().DoneWriting();
  } else if (m_deferred.size() < kMaxDeferred) {
    m_deferred.push_back({request, m_addrPeer});
  }
  return 1;
}

void BSAMaster::AnswerDeferred() {
  if (m_deferred.empty() || !m_pMibHandler->Synch().TryWaitToWrite(kWriteLockWaitMs)) return;
  while (!m_deferred.empty()) {
    m_addrPeer = m_deferred.front().peer;
    Answer(m_deferred.front().request);
    m_deferred.pop_front();
  }
  m_pMibHandler->Synch().DoneWriting();
}

void BSAMaster::Answer(BSAPdu& request) {
  BSAPdu response(SA_PDU_RESPONSE, request.sessionId, request.requestId);
  int status = 0;
  switch (request.type) {
    case SA_PDU_OPEN_SESSION:
      status = OpenSession(request, response);
      break;
    case SA_PDU_CLOSE_SESSION:
      status = CloseSession(request);
      break;
    case SA_PDU_REGISTER:
      status = RegisterSH(request);
      break;
    case SA_PDU_UNREGISTER:
      status = UnregisterSH(request);
      break;
    case SA_PDU_NOTIFY:
      status = Notify(request);
      break;
    case SA_PDU_PING:
      status = Ping(request);
      break;
    case SA_PDU_INDEX_ALLOCATE:
      status = IndexAlloc(request, response);
      break;
    case SA_PDU_INDEX_DEALLOCATE:
      status = IndexDealloc(request, response);
      break;
    default:
      QVSubAgTrace("ProcessRcvdData wrong pdu type");
      status = SA_WIRE_PROCESSING_ERROR;
      break;
  }
  response.errorStatus = status;
  response.sysUpTime = m_pTime != nullptr ? m_pTime->SysUptime() : 0;
  ReturnResponsePdu(response);
}

int BSAMaster::ReturnResponsePdu(BSAPdu& response) {
  if (QVSubAgTraceActive()) {
    QVSubAgTrace("ReturnResponsePdu  %d  --> %s", response.sessionId, QVAddressToString(m_addrPeer).c_str());
  }
  int status = Encode(m_rxBuffer, response);
  if (status != 0) {
    QVSubAgTrace(" ReturnResponsePdu Encode ERR %x", status);
    return status;
  }
  unsigned int length = m_rxBuffer.Length();
  status = m_listenSocket.SendTo(m_rxBuffer.Data(), length, m_addrPeer, false);
  if (status != 0) {
    QVSubAgTrace("ReturnResponsePdu SendTo ERR %x", status);
    return status;
  }
  return 0;
}

int BSAMaster::OpenSession(BSAPdu& request, BSAPdu& response) {
  QVSubAgTrace("OpenSession ");
  // An open request must name the sub-agent; one without any varbind is
  // malformed and refused rather than guessed at.
  if (request.varBindList.Count() < 1) return SA_WIRE_PROCESSING_ERROR;

  auto* session = new BSASession();
  session->m_id = ++BSASession::s_session_counter;
  session->m_description = request.varBindList[0].value.GetOctets().ToDispStr();
  session->m_address = m_addrPeer;
  session->m_timeoutCount = 0;
  session->m_timeout = kDefaultSessionTimeout;
  if (request.varBindList.Count() >= 2) {
    // Sub-agents send 1..3599. Anything else would make every exchange with
    // this session end at once or never; it gets the default instead.
    const int seconds = request.varBindList[1].value.GetInt();
    if (seconds >= 1 && seconds <= kMaxSessionTimeout) session->m_timeout = seconds;
  }

  {
    TWriteLock writeLock(m_pMibHandler->Synch());
    bool inserted = false;
    {
      std::lock_guard<std::mutex> guard(m_sessionsLock);
      inserted = m_sessions.Insert(session->m_id, session) != 0;
    }
    if (!inserted) {
      delete session;
      return SA_WIRE_OPEN_FAILED;
    }
    // Under the write lock, as every close is: the record cannot go away meanwhile.
    if (m_pEvents != nullptr) m_pEvents->OnSessionOpened(*session);
    response.sessionId = static_cast<unsigned int>(session->m_id);
  }
  QVSubAgTrace("OpenSession succeeded ID=%d", static_cast<int>(response.sessionId));
  return 0;
}

int BSAMaster::CloseSession(BSAPdu& request) {
  QVSubAgTrace("CloseSession %d", request.sessionId);
  TWriteLock writeLock(m_pMibHandler->Synch());
  return CloseSession(static_cast<int>(request.sessionId), ISAMasterEvents::ECloseReason::kClosedBySubAgent);
}

int BSAMaster::CloseSession(int sessionId) {
  return CloseSession(sessionId, ISAMasterEvents::ECloseReason::kClosedByMaster);
}

int BSAMaster::CloseSession(int sessionId, ISAMasterEvents::ECloseReason reason) {
  BSASession* session = nullptr;
  {
    std::lock_guard<std::mutex> guard(m_sessionsLock);
    session = static_cast<BSASession*>(m_sessions.Remove(sessionId));
  }
  if (session == nullptr) return SA_WIRE_NOT_OPEN;
  int subtrees = 0;
  for (int i = m_handlers.Count() - 1; i >= 0; --i) {
    auto* handler = static_cast<BSAMibSubtreeHandler*>(m_handlers[i]);
    if (handler == nullptr || handler->Session() == nullptr || handler->Session()->m_id != session->m_id) continue;
    const int status = UnregisterSH(i);
    if (status != 0) return status;
    ++subtrees;
  }
  if (m_pEvents != nullptr) m_pEvents->OnSessionClosed(*session, reason, subtrees);
  delete session;
  return 0;
}

BSASession* BSAMaster::FindSession(int sessionId) {
  std::lock_guard<std::mutex> guard(m_sessionsLock);
  return static_cast<BSASession*>(m_sessions.Lookup(sessionId));
}

bool BSAMaster::SessionExists(int sessionId) {
  return FindSession(sessionId) != nullptr;
}

int BSAMaster::Ping(BSAPdu& request) {
  QVSubAgTrace("Ping   sessionid= %d", request.sessionId);
  return SessionExists(static_cast<int>(request.sessionId)) ? 0 : SA_WIRE_NOT_OPEN;
}

void BSAMaster::CheckSessions() {
  // Most runs find nothing to close. Looking first without the MIB
  // handler's write lock keeps the monitor from stalling every SNMP request
  // behind a query that waits for a slow sub-agent.
  bool anyToClose = false;
  {
    std::lock_guard<std::mutex> guard(m_sessionsLock);
    for (int i = 0; i < m_sessions.Count() && !anyToClose; ++i) {
      anyToClose = static_cast<BSASession*>(m_sessions.PtrAt(i))->m_timeoutCount > kMaxTimeoutsInARow;
    }
  }
  if (!anyToClose) return;

  TWriteLock writeLock(m_pMibHandler->Synch());
  std::vector<int> toClose;
  {
    std::lock_guard<std::mutex> guard(m_sessionsLock);
    for (int i = m_sessions.Count() - 1; i >= 0; --i) {
      auto* session = static_cast<BSASession*>(m_sessions.PtrAt(i));
      if (session->m_timeoutCount > kMaxTimeoutsInARow) toClose.push_back(session->m_id);
    }
  }
  for (const int id : toClose) CloseSession(id, ISAMasterEvents::ECloseReason::kNoAnswer);
}

unsigned int BSAMaster::GetNewRequestId() {
  // Several SNMP request threads draw ids at once (atomic draw, see SANextRequestId).
  return SANextRequestId(m_lastRequestId);
}

int BSAMaster::SendAndRecvPdu(BSASession& session, BSAPdu& request, BSAPdu& response) {
  if (QVSubAgTraceActive()) {
    QVSubAgTrace("SendAndRecvPdu(%d)  sessId=%d, rqId=%d, addr=%s", m_reqSocket.Descriptor(), request.sessionId,
                 request.requestId, QVAddressToString(session.m_address).c_str());
  }
  TMutexLock exchange(m_reqLock);
  int status = Encode(m_reqBuffer, request);
  if (status != 0) return status;
  unsigned int length = m_reqBuffer.Length();
  status = m_reqSocket.SendTo(m_reqBuffer.Data(), length, session.m_address, false);
  if (status != 0) return status;

  BAddress from;
  for (;;) {
    m_reqBuffer.SetLength(m_reqBuffer.Capacity());
    response.Init(static_cast<ESAPduType>(0), 0, 0);
    from.Clear();
    length = m_reqBuffer.Capacity();
    status = m_reqSocket.RecvFrom(m_reqBuffer.Data(), length, from, session.m_timeout);
    if (status == SA_ERR_TIMEOUT) {
      ++session.m_timeoutCount;
      return SA_ERR_TIMEOUT;
    }
    if (status != 0) return status;
    session.m_timeoutCount = 0;
    m_reqBuffer.SetLength(length);
    if (Decode(m_reqBuffer, response) != 0) continue;
    if (response.requestId != request.requestId) continue;
    break;
  }
  if (!(from == session.m_address)) QVSubAgTrace(" SendAndRecvPdu RecvFrom !(aFrom == target.address)");
  return 0;
}

}  // namespace QVT
