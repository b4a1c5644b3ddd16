// BSAMaster: the inbound path (admit, receive, dispatch, answer), the
// session table, closing sessions a step at a time, the session monitor,
// answers kept for retransmissions, and the counting and reporting of what
// was dropped or refused.
#include <algorithm>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "BAddressFilter.h"
#include "BSAExchange.h"
#include "BSAFrame.h"
#include "BSAMaster.h"
#include "QVSubAgTrace.h"

namespace QVT {

namespace {

// A datagram of this size or less cannot be a frame: dropped unanswered.
constexpr unsigned int kShortDatagram = 9;
constexpr int kDefaultSessionTimeout = 2;
constexpr int kMaxSessionTimeout = 3599;
// The monitor closes a session after this many receives in a row timed out.
constexpr int kMaxTimeoutsInARow = 2;
// How long the worker waits for a datagram when it has nothing else to do;
// while it takes sessions apart it only looks between the steps.
constexpr int kIdleWaitMicroseconds = 1000000;
constexpr int kBusyWaitMicroseconds = 0;
// A closing session's registrations are withdrawn in steps of this long,
// so that the other sub-agents' requests are served between the steps.
constexpr auto kCloseStep = std::chrono::milliseconds(2);
// A close request of a session with this many registrations or fewer is
// done (and answered) at once.
constexpr size_t kCloseAtOnce = 512;
// Withdrawn proxies freed per turn of the worker.
constexpr size_t kCollectAtOnce = 4096;
// Open and close answers kept for retransmissions, and for how long.
constexpr size_t kMaxKeptAnswers = 256;
constexpr auto kKeepAnswers = std::chrono::seconds(30);
// At most one report per kind of refusal in this long.
constexpr auto kReportInterval = std::chrono::seconds(10);
// notOpen answers to one IP address: this many a second, bursts of twice
// as many; the addresses tracked at most (beyond, only those whose
// allowance is used up are kept).
constexpr double kNotOpenPerSecond = 10;
constexpr size_t kNotOpenAddresses = 1024;
// Dispatch results that are not answers: the answer comes later, or the
// request is a retransmission of one still in work.
constexpr int kAnswerLater = -2;
constexpr int kNoAnswer = -3;

bool NamesASession(uint8_t type) {
  return type == SA_PDU_CLOSE_SESSION || type == SA_PDU_REGISTER || type == SA_PDU_UNREGISTER ||
         type == SA_PDU_NOTIFY || type == SA_PDU_PING || type == SA_PDU_INDEX_ALLOCATE ||
         type == SA_PDU_INDEX_DEALLOCATE;
}

int64_t Ticks(std::chrono::steady_clock::time_point t) {
  return t.time_since_epoch().count();
}

uint64_t Digest(const BSABuffer& buffer) {
  return std::hash<std::string_view>{}(
      std::string_view(reinterpret_cast<const char*>(buffer.Data()), buffer.Length()));
}

std::string HostKey(const BAddress& address) {
  const BAddress host = QVUnmappedAddress(address);
  const unsigned n = host.Family() == BAddress::kFamilyINet6 ? 16 : 4;
  return std::string(reinterpret_cast<const char*>(host.Octets()), n);
}

}  // namespace

int BSAMaster::ReceiveAndProcessData() {
  TakeCloseRequests();
  const bool busy = ClosingPending();
  m_rxBuffer.SetLength(m_rxBuffer.Capacity());
  int length = static_cast<int>(m_rxBuffer.Capacity());
  BAddress to;
  const int wait = busy ? kBusyWaitMicroseconds : kIdleWaitMicroseconds;
  const int status = m_listenSocket.BSockDatagram::RecvFrom(reinterpret_cast<char*>(m_rxBuffer.Data()), length,
                                                            m_addrPeer, to, wait / 1000000, wait % 1000000);
  int received = 0;
  if (status == 0) {
    m_rxBuffer.SetLength(static_cast<unsigned>(length));
    m_addrLocal = to;
    if (m_addrPeer == m_wakeAddress) {
      // The monitor's or Stop's alarm: nothing to answer.
    } else if (!m_settings.allowFrom.Matches(m_addrPeer)) {
      Count(SA_CNT_NOT_ALLOWED, m_addrPeer);
    } else {
      if (QVSubAgTraceActive()) QVSubAgTrace("ReceiveAndProcessData FROM, %s", QVAddressToString(m_addrPeer).c_str());
      ProcessRcvdData();
      received = 1;
    }
  }
  TakeCloseRequests();
  ContinueClosing();
  // What was withdrawn while queries ran is freed here rather than by the
  // queries (a closed session's may be many thousand proxies).
  m_pMibHandler->Grace().Collect(kCollectAtOnce);
  FlushRefusalReports(false);
  return received;
}

int BSAMaster::ProcessRcvdData() {
  if (m_rxBuffer.Length() <= kShortDatagram) {
    Count(SA_CNT_SHORT_DATAGRAMS, m_addrPeer);
    return 1;
  }
  BSAPdu request(static_cast<ESAPduType>(0));
  const int decoded = Decode(m_rxBuffer, request);
  if (decoded != 0) {
    QVSubAgTrace("ProcessRcvdData DECODING ERR = %x", decoded);
    Count(SA_CNT_MALFORMED, m_addrPeer);
    return 1;
  }
  m_requestDigest = Digest(m_rxBuffer);
  if (AnswerAgain(request)) return 1;
  Answer(request);
  return 1;
}

int BSAMaster::Dispatch(BSAPdu& request, BSAPdu& response) {
  if (NamesASession(request.type)) {
    BSASession* session = nullptr;
    {
      std::lock_guard<std::mutex> guard(m_sessionsLock);
      const auto it = m_sessions.find(static_cast<int>(request.sessionId));
      if (it != m_sessions.end()) session = it->second.get();
    }
    if (session == nullptr) {
      Count(SA_CNT_UNKNOWN_SESSION, m_addrPeer);
      return SA_WIRE_NOT_OPEN;
    }
    if (!QVSameHost(session->m_address, m_addrPeer)) {
      Count(SA_CNT_WRONG_ADDRESS, m_addrPeer);
      return SA_WIRE_NOT_OPEN;
    }
    if (session->IsClosing()) {
      // Its own close, sent again while it is being taken apart: the answer
      // is on its way. Anything else finds the session gone.
      if (request.type == SA_PDU_CLOSE_SESSION) {
        Count(SA_CNT_DUPLICATES_DROPPED, m_addrPeer);
        return kNoAnswer;
      }
      return SA_WIRE_NOT_OPEN;
    }
    session->m_lastHeard.store(Ticks(Clock::now()), std::memory_order_relaxed);
  }
  switch (request.type) {
    case SA_PDU_OPEN_SESSION:
      return OpenSession(request, response);
    case SA_PDU_CLOSE_SESSION:
      return CloseSession(request);
    case SA_PDU_REGISTER:
      return RegisterSH(request);
    case SA_PDU_UNREGISTER:
      return UnregisterSH(request);
    case SA_PDU_NOTIFY:
      return Notify(request);
    case SA_PDU_PING:
      return Ping(request);
    case SA_PDU_INDEX_ALLOCATE:
      return IndexAlloc(request, response);
    case SA_PDU_INDEX_DEALLOCATE:
      return IndexDealloc(request, response);
    default:
      QVSubAgTrace("ProcessRcvdData wrong pdu type");
      return SA_WIRE_PROCESSING_ERROR;
  }
}

void BSAMaster::Answer(BSAPdu& request) {
  BSAPdu response(SA_PDU_RESPONSE, request.sessionId, request.requestId);
  const int status = Dispatch(request, response);
  if (status == kNoAnswer) return;
  if (status == kAnswerLater) {
    // A close taken apart in steps: FinishClose answers it.
    BSASession* session = FindSessionRecord(static_cast<int>(request.sessionId));
    if (session != nullptr) session->m_closeAnswer = {true, m_addrPeer, m_addrLocal, m_requestDigest, response};
    return;
  }
  if (status == SA_WIRE_NOT_OPEN && !TakeNotOpenAllowance()) {
    m_counters.Increment(SA_CNT_NOT_OPEN_UNANSWERED);
    return;
  }
  const uint64_t digest = m_requestDigest;
  response.errorStatus = status;
  response.sysUpTime = m_pTime != nullptr ? m_pTime->SysUptime() : 0;
  if (ReturnResponsePdu(response) != 0) return;
  if (request.type == SA_PDU_OPEN_SESSION || request.type == SA_PDU_CLOSE_SESSION) {
    if (status == 0) KeepAnswer(nullptr, request, static_cast<int>(response.sessionId), digest);
  } else if (status != SA_WIRE_NOT_OPEN) {
    KeepAnswer(FindSession(static_cast<int>(request.sessionId)), request, 0, digest);
  }
}

bool BSAMaster::TakeNotOpenAllowance() {
  const auto now = Clock::now();
  const auto refill = [&](NotOpenAllowance& allowance) {
    const double elapsed = std::chrono::duration<double>(now - allowance.refill).count();
    allowance.refill = now;
    allowance.tokens = std::min(2 * kNotOpenPerSecond, allowance.tokens + elapsed * kNotOpenPerSecond);
  };
  const std::string key = HostKey(m_addrPeer);
  auto it = m_notOpenAllowances.find(key);
  if (it == m_notOpenAllowances.end()) {
    if (m_notOpenAllowances.size() >= kNotOpenAddresses) {
      // An address with its whole allowance back is as good as new.
      for (auto entry = m_notOpenAllowances.begin(); entry != m_notOpenAllowances.end();) {
        refill(entry->second);
        entry = entry->second.tokens >= 2 * kNotOpenPerSecond ? m_notOpenAllowances.erase(entry) : std::next(entry);
      }
      if (m_notOpenAllowances.size() >= kNotOpenAddresses) return false;
    }
    it = m_notOpenAllowances.emplace(key, NotOpenAllowance{2 * kNotOpenPerSecond, now}).first;
  }
  refill(it->second);
  if (it->second.tokens < 1.0) return false;
  it->second.tokens -= 1.0;
  return true;
}

int BSAMaster::ReturnResponsePdu(BSAPdu& response) {
  if (QVSubAgTraceActive()) {
    QVSubAgTrace("ReturnResponsePdu  %d  --> %s", response.sessionId, QVAddressToString(m_addrPeer).c_str());
  }
  // From the address the request went to: the sub-agent takes answers from
  // its master's address only.
  BSAExchange::EStep failed = BSAExchange::EStep::kEncode;
  const int status = BSAExchange(m_listenSocket, m_rxBuffer, m_addrPeer)
                         .Send(response, m_listenWildcard ? m_addrLocal : BAddress(), failed);
  if (status != 0 && failed == BSAExchange::EStep::kEncode) QVSubAgTrace(" ReturnResponsePdu Encode ERR %x", status);
  if (status != 0 && failed == BSAExchange::EStep::kSend) QVSubAgTrace("ReturnResponsePdu SendTo ERR %x", status);
  return status;
}

bool BSAMaster::AnswerAgain(const BSAPdu& request) {
  const std::vector<unsigned char>* frame = nullptr;
  const auto now = Clock::now();
  while (!m_keptAnswers.empty() && m_keptAnswers.front().expires < now) m_keptAnswers.pop_front();
  if (request.type == SA_PDU_OPEN_SESSION || request.type == SA_PDU_CLOSE_SESSION) {
    for (auto it = m_keptAnswers.begin(); it != m_keptAnswers.end() && frame == nullptr; ++it) {
      if (it->requestId != request.requestId || it->type != request.type || !(it->peer == m_addrPeer) ||
          it->requestDigest != m_requestDigest) {
        continue;
      }
      // An open answered again only while its session lives.
      if (request.type == SA_PDU_OPEN_SESSION && FindSession(it->sessionId) == nullptr) {
        m_keptAnswers.erase(it);
        break;
      }
      frame = &it->frame;
    }
  } else if (NamesASession(request.type)) {
    BSASession* session = FindSession(static_cast<int>(request.sessionId));
    if (session == nullptr || !QVSameHost(session->m_address, m_addrPeer)) return false;
    for (const BSASession::SentAnswer& sent : session->m_sent) {
      if (sent.requestId == request.requestId && sent.type == request.type && sent.sourcePort == m_addrPeer.Port() &&
          sent.requestDigest == m_requestDigest && !sent.frame.empty()) {
        frame = &sent.frame;
        break;
      }
    }
  }
  if (frame == nullptr) return false;
  Count(SA_CNT_RETRANSMISSIONS, m_addrPeer);
  int length = static_cast<int>(frame->size());
  m_listenSocket.BSockDatagram::SendTo(reinterpret_cast<const char*>(frame->data()), length, m_addrPeer,
                                       m_listenWildcard ? m_addrLocal : BAddress());
  return true;
}

void BSAMaster::KeepAnswer(BSASession* session, const BSAPdu& request, int sessionId, uint64_t requestDigest) {
  const unsigned char* data = m_rxBuffer.Data();
  std::vector<unsigned char> frame(data, data + m_rxBuffer.Length());
  if (request.type == SA_PDU_OPEN_SESSION || request.type == SA_PDU_CLOSE_SESSION) {
    if (m_keptAnswers.size() >= kMaxKeptAnswers) m_keptAnswers.pop_front();
    m_keptAnswers.push_back({m_addrPeer, request.requestId, request.type, requestDigest, Clock::now() + kKeepAnswers,
                             std::move(frame), sessionId});
    return;
  }
  if (session == nullptr) return;
  BSASession::SentAnswer& slot = session->m_sent[session->m_nextSent];
  session->m_nextSent = (session->m_nextSent + 1) % BSASession::kSentAnswers;
  slot.requestId = request.requestId;
  slot.type = request.type;
  slot.sourcePort = m_addrPeer.Port();
  slot.requestDigest = requestDigest;
  slot.frame = std::move(frame);
}

int BSAMaster::OpenSession(BSAPdu& request, BSAPdu& response) {
  QVSubAgTrace("OpenSession ");
  // An open request must name the sub-agent; one without any varbind is
  // malformed and refused rather than guessed at.
  if (request.varBindList.Count() < 1) return SA_WIRE_PROCESSING_ERROR;
  // Sessions being taken apart count: what they hold is still there.
  size_t all = 0;
  int fromHost = 0;
  {
    std::lock_guard<std::mutex> guard(m_sessionsLock);
    all = m_sessions.size();
    for (const auto& [id, open] : m_sessions) fromHost += QVSameHost(open->m_address, m_addrPeer) ? 1 : 0;
  }
  const bool tooMany = all >= static_cast<size_t>(m_settings.maxSessions);
  if (tooMany || fromHost >= m_settings.maxSessionsPerHost) {
    Refuse(SA_CNT_SESSIONS_REFUSED,
           BString("openSession from " + QVAddressToString(m_addrPeer).str() + " refused: " +
                   (tooMany ? "MaxSessions (" + std::to_string(m_settings.maxSessions) + ") sessions are open"
                            : "MaxSessionsPerHost (" + std::to_string(m_settings.maxSessionsPerHost) +
                                  ") sessions from its host are open")));
    return SA_WIRE_OPEN_FAILED;
  }

  auto session = std::make_unique<BSASession>();
  session->m_description = NameFrom(request.varBindList[0].value);
  session->m_address = m_addrPeer;
  session->m_localAddress = m_addrLocal;
  session->m_timeoutCount = 0;
  int announced = kDefaultSessionTimeout;
  if (request.varBindList.Count() >= 2) {
    // Sub-agents send 1..3599. Anything else would make every exchange with
    // this session end at once or never; it gets the default instead.
    const int seconds = request.varBindList[1].value.GetInt();
    if (seconds >= 1 && seconds <= kMaxSessionTimeout) announced = seconds;
  }
  session->m_announcedTimeout = announced;
  session->m_timeout = std::min(announced, m_settings.maxWait);
  session->m_openedAt = m_pTime != nullptr ? m_pTime->SysUptime() : 0;
  session->m_notifyTokens = 2.0 * m_settings.maxNotifyRate;

  BSASession* record = session.get();
  {
    std::lock_guard<std::mutex> guard(m_sessionsLock);
    int id = 0;
    do {
      id = static_cast<int>(m_sessionIds.Next());
    } while (m_sessions.count(id) != 0);
    session->m_id = id;
    m_sessions.emplace(id, std::move(session));
  }
  if (m_pEvents != nullptr) m_pEvents->OnSessionOpened(*record);
  response.sessionId = static_cast<unsigned int>(record->m_id);
  QVSubAgTrace("OpenSession succeeded ID=%d", record->m_id);
  return 0;
}

int BSAMaster::CloseSession(BSAPdu& request) {
  QVSubAgTrace("CloseSession %d", request.sessionId);
  BSASession* session = FindSession(static_cast<int>(request.sessionId));
  if (session == nullptr) return SA_WIRE_NOT_OPEN;
  BeginClose(*session, ISAMasterEvents::ECloseReason::kClosedBySubAgent);
  if (session->m_registrations.size() <= kCloseAtOnce) {
    return FinishClose(*session, session->m_registrations.size()) ? 0 : SA_WIRE_PROCESSING_ERROR;
  }
  return kAnswerLater;
}

int BSAMaster::CloseSession(int sessionId) {
  if (m_workerThread.IsRunning() && std::this_thread::get_id() != m_workerId.load()) {
    // The worker uses session records without the MIB's lock (index values,
    // notifications): only the worker frees them. Requests for the session
    // fail from now on; the worker takes it apart.
    {
      std::lock_guard<std::mutex> guard(m_sessionsLock);
      const auto it = m_sessions.find(sessionId);
      if (it == m_sessions.end() || it->second->IsClosing()) return SA_WIRE_NOT_OPEN;
      it->second->m_closing.store(true, std::memory_order_release);
      it->second->AbortExchanges();
      m_closeRequests.emplace_back(sessionId, ISAMasterEvents::ECloseReason::kClosedByMaster);
    }
    WakeWorker();
    return 0;
  }
  BSASession* session = FindSession(sessionId);
  if (session == nullptr) return SA_WIRE_NOT_OPEN;
  BeginClose(*session, ISAMasterEvents::ECloseReason::kClosedByMaster);
  return FinishClose(*session, session->m_registrations.size()) ? 0 : SA_WIRE_PROCESSING_ERROR;
}

void BSAMaster::BeginClose(BSASession& session, ISAMasterEvents::ECloseReason reason) {
  {
    std::lock_guard<std::mutex> guard(m_sessionsLock);
    if (session.m_closeQueued) return;
    session.m_closeQueued = true;
    session.m_closeReason = static_cast<int>(reason);
    session.m_closedSubtrees = static_cast<int>(session.m_registrationCount.load());
    session.m_closing.store(true, std::memory_order_release);
    m_closing.push_back(session.m_id);
  }
  session.AbortExchanges();
}

bool BSAMaster::ClosingPending() {
  std::lock_guard<std::mutex> guard(m_sessionsLock);
  return !m_closing.empty();
}

bool BSAMaster::ContinueClosing() {
  const auto until = Clock::now() + kCloseStep;
  while (Clock::now() < until) {
    BSASession* session = nullptr;
    {
      std::lock_guard<std::mutex> guard(m_sessionsLock);
      while (!m_closing.empty() && session == nullptr) {
        const auto it = m_sessions.find(m_closing.front());
        if (it != m_sessions.end() && !it->second->m_stuck) {
          session = it->second.get();
        } else {
          m_closing.pop_front();
        }
      }
    }
    if (session == nullptr) break;
    // A few hundred at a time, then the clock is looked at again.
    FinishClose(*session, 256);
  }
  return ClosingPending();
}

bool BSAMaster::FinishClose(BSASession& session, size_t maxRegistrations) {
  for (size_t n = 0; n < maxRegistrations && !session.m_registrations.empty(); ++n) {
    if (UnregisterSH(session.m_registrations.back()) != 0) {
      // The MIB handler keeps the proxy: the session it points to must live
      // on (it acts as gone); it is freed with the master.
      session.m_stuck = true;
      return false;
    }
  }
  if (!session.m_registrations.empty()) return false;
  ReleaseIndexValues(session);
  std::shared_ptr<BSASession> record;
  {
    std::lock_guard<std::mutex> guard(m_sessionsLock);
    const auto it = m_sessions.find(session.m_id);
    if (it != m_sessions.end()) {
      record = std::move(it->second);
      m_sessions.erase(it);
    }
    m_closing.erase(std::remove(m_closing.begin(), m_closing.end(), session.m_id), m_closing.end());
  }
  // A query may still be inside an exchange with it (being abandoned): the
  // record goes once no query that could have reached it runs.
  if (record) m_pMibHandler->Grace().Retire([record] {});
  if (m_pEvents != nullptr) {
    m_pEvents->OnSessionClosed(session, static_cast<ISAMasterEvents::ECloseReason>(session.m_closeReason),
                               session.m_closedSubtrees);
  }
  if (session.m_closeAnswer.pending) {
    const BAddress peer = m_addrPeer;
    const BAddress local = m_addrLocal;
    m_addrPeer = session.m_closeAnswer.peer;
    m_addrLocal = session.m_closeAnswer.local;
    BSAPdu& response = session.m_closeAnswer.response;
    response.errorStatus = 0;
    response.sysUpTime = m_pTime != nullptr ? m_pTime->SysUptime() : 0;
    if (ReturnResponsePdu(response) == 0) {
      BSAPdu request(SA_PDU_CLOSE_SESSION, response.sessionId, response.requestId);
      KeepAnswer(nullptr, request, session.m_id, session.m_closeAnswer.requestDigest);
    }
    m_addrPeer = peer;
    m_addrLocal = local;
  }
  return true;
}

void BSAMaster::TakeCloseRequests() {
  std::vector<std::pair<int, ISAMasterEvents::ECloseReason>> requests;
  {
    std::lock_guard<std::mutex> guard(m_sessionsLock);
    requests.swap(m_closeRequests);
  }
  for (const auto& [id, reason] : requests) {
    BSASession* session = FindSessionRecord(id);
    if (session == nullptr) continue;
    BeginClose(*session, reason);
    if (reason == ISAMasterEvents::ECloseReason::kClosedByMaster) continue;
    Count(reason == ISAMasterEvents::ECloseReason::kIdle ? SA_CNT_SESSIONS_IDLE : SA_CNT_SESSIONS_NO_ANSWER,
          session->m_address, session->m_description.c_str());
  }
}

BString BSAMaster::NameFrom(const BObjectSyntax& value) {
  std::string text = value.GetOctets().ToDispStr().str();
  if (text.size() > kMaxNameLength) text.resize(kMaxNameLength);
  return BString(text);
}

BSASession* BSAMaster::FindSession(int sessionId) {
  BSASession* session = FindSessionRecord(sessionId);
  return session != nullptr && !session->IsClosing() ? session : nullptr;
}

BSASession* BSAMaster::FindSessionRecord(int sessionId) {
  std::lock_guard<std::mutex> guard(m_sessionsLock);
  const auto it = m_sessions.find(sessionId);
  return it == m_sessions.end() ? nullptr : it->second.get();
}

int BSAMaster::Ping(BSAPdu& request) {
  QVSubAgTrace("Ping   sessionid= %d", request.sessionId);
  return FindSession(static_cast<int>(request.sessionId)) != nullptr ? 0 : SA_WIRE_NOT_OPEN;
}

void BSAMaster::CheckSessions() {
  const int64_t now = Ticks(Clock::now());
  const int64_t idleLimit =
      std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(m_settings.idleTimeout)).count();
  bool any = false;
  {
    std::lock_guard<std::mutex> guard(m_sessionsLock);
    for (const auto& [id, session] : m_sessions) {
      if (session->IsClosing()) continue;
      ISAMasterEvents::ECloseReason reason;
      if (session->m_timeoutCount.load() > kMaxTimeoutsInARow) {
        reason = ISAMasterEvents::ECloseReason::kNoAnswer;
      } else if (m_settings.idleTimeout > 0 && session->m_registrationCount.load(std::memory_order_relaxed) == 0 &&
                 now - session->m_lastHeard.load(std::memory_order_relaxed) > idleLimit) {
        reason = ISAMasterEvents::ECloseReason::kIdle;
      } else {
        continue;
      }
      // Requests for it fail from now on; the worker takes it apart.
      session->m_closing.store(true, std::memory_order_release);
      session->AbortExchanges();
      m_closeRequests.emplace_back(id, reason);
      any = true;
    }
  }
  if (any) WakeWorker();
}

unsigned int BSAMaster::GetNewRequestId() {
  return m_requestIds.Next();
}

void BSAMaster::Count(ESAMasterCounter counter, const BAddress& from, const char* detail) {
  m_counters.Increment(counter);
  if (QVSubAgTraceActive()) {
    QVSubAgTrace("Drop %s from %s%s%s", QVSAMasterCounterName(counter), QVAddressToString(from).c_str(),
                 detail != nullptr ? ": " : "", detail != nullptr ? detail : "");
  }
  switch (counter) {
    case SA_CNT_NOT_ALLOWED:
    case SA_CNT_WRONG_ADDRESS:
    case SA_CNT_UNKNOWN_SESSION:
    case SA_CNT_SESSIONS_NO_ANSWER:
    case SA_CNT_SESSIONS_IDLE:
      Report(counter, BString(std::string(QVSAMasterCounterDescription(counter)) + ": " +
                              QVAddressToString(from).str() + (detail != nullptr ? std::string(" ") + detail : "")));
      break;
    default:
      break;
  }
}

void BSAMaster::Refuse(ESAMasterCounter counter, const BString& text) {
  m_counters.Increment(counter);
  QVSubAgTrace("Refused %s: %s", QVSAMasterCounterName(counter), text.c_str());
  Report(counter, text);
}

void BSAMaster::Report(ESAMasterCounter counter, const BString& text) {
  if (m_pEvents == nullptr) return;
  RefusalReport& report = m_refusals[counter];
  const auto now = Clock::now();
  if (report.last == Clock::time_point{} || now - report.last >= kReportInterval) {
    m_pEvents->OnRefusal(counter, text, report.suppressed);
    report.last = now;
    report.suppressed = 0;
    report.example = BString();
    return;
  }
  ++report.suppressed;
  report.example = text;
}

void BSAMaster::FlushRefusalReports(bool all) {
  if (m_pEvents == nullptr) return;
  const auto now = Clock::now();
  for (int kind = 0; kind < SA_CNT_COUNT; ++kind) {
    RefusalReport& report = m_refusals[kind];
    if (report.suppressed == 0 || (!all && now - report.last < kReportInterval)) continue;
    m_pEvents->OnRefusal(static_cast<ESAMasterCounter>(kind), report.example, report.suppressed - 1);
    report.last = now;
    report.suppressed = 0;
    report.example = BString();
  }
}

}  // namespace QVT
