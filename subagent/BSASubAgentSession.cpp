// BSASubAgent: the session with the master (open, close, ping), the one
// request/response exchange every sub-agent request goes through, and the
// sending of answers to the master's requests.
#include <chrono>
#include <vector>

#include "BSAFrame.h"
#include "BSAOIDs.h"
#include "BSASubAgent.h"
#include "QVSubAgTrace.h"

namespace QVT {

namespace {
constexpr unsigned int kMaxAnnouncedProcTime = 3599;
// How many times a request is sent within MasterTimeout when no answer
// comes (the wait is split evenly; the last try waits out the rest).
constexpr int kSendAttempts = 3;
}  // namespace

int BSASubAgent::OpenSession(const BString& description) {
  QVSubAgTrace("OpenSession %s", description.c_str());
  if (m_sessionId.load() != 0) return SA_ERR_ALREADY_OPEN;

  // An open that got no answer may have opened a session all the same:
  // asking again with the same request from the same socket gets that
  // session back instead of a second one.
  const bool again = m_pendingOpenId != 0;
  BSAPdu request(SA_PDU_OPEN_SESSION, 0, again ? m_pendingOpenId : GetNewRequestId());
  BObjectSyntax text;
  text.SetOctets(description.view());
  request.varBindList.Append(BSAOIDs::Instance()->oidName, text);
  if (static_cast<unsigned int>(m_maxProcTime) - 1u < kMaxAnnouncedProcTime) {
    BObjectSyntax seconds;
    seconds.SetInt(m_maxProcTime);
    request.varBindList.Append(BSAOIDs::Instance()->oidMaxProcTime, seconds);
  }

  // The command responder reads this socket only while a session is open,
  // but it may still be finishing a receive begun before a close: wake it
  // and wait until it has let go of the socket.
  std::unique_lock<std::mutex> responder(m_respLock, std::try_to_lock);
  if (!responder.owns_lock()) {
    WakeResponder();
    responder.lock();
  }

  if (!again) {
    // Every new session gets a fresh port, so that nothing meant for an
    // earlier one reaches it.
    m_respSocket.ShutDown(2);
    m_respSocket.Initialize(m_localAddress);
  }
  BSAPdu response(static_cast<ESAPduType>(0));
  const int status = Exchange(m_respSocket, m_respBuffer, request, response);
  if (status == SA_ERR_TIMEOUT) {
    m_pendingOpenId = request.requestId;
    return status;
  }
  m_pendingOpenId = 0;
  if (status != 0) return status;
  m_addrPeer = m_addrMaster;
  if (response.errorStatus == 0) m_sessionId.store(response.sessionId);
  return response.errorStatus;
}

int BSASubAgent::CloseSession() {
  QVSubAgTrace("CloseSession");
  if (m_sessionId.load() == 0) return SA_WIRE_NOT_OPEN;
  BSAPdu request(SA_PDU_CLOSE_SESSION, m_sessionId.load(), GetNewRequestId());
  BSAPdu response(static_cast<ESAPduType>(0));
  const int status = SendAndRecvPdu(request, response);
  if (status < 0) return status;
  if (response.errorStatus == 0) m_sessionId.store(0);
  return response.errorStatus;
}

int BSASubAgent::CloseSession(unsigned int sessionId) {
  QVSubAgTrace("CloseSession %u", sessionId);
  BSAPdu request(SA_PDU_CLOSE_SESSION, sessionId, GetNewRequestId());
  BSAPdu response(static_cast<ESAPduType>(0));
  const int status = SendAndRecvPdu(request, response);
  if (status < 0) return status;
  if (response.errorStatus == 0 && sessionId == m_sessionId.load()) m_sessionId.store(0);
  return response.errorStatus;
}

int BSASubAgent::Ping(int& upTime) {
  QVSubAgTrace("Ping   ");
  BSAPdu request(SA_PDU_PING, m_sessionId.load(), GetNewRequestId());
  upTime = 0;
  BSAPdu response(static_cast<ESAPduType>(0));
  const int status = SendAndRecvPdu(request, response);
  if (status < 0) return status;
  if (response.errorStatus == 0) upTime = static_cast<int>(response.sysUpTime);
  return response.errorStatus;
}

int BSASubAgent::SendAndRecvPdu(BSAPdu& request, BSAPdu& response) {
  if (QVSubAgTraceActive()) {
    QVSubAgTrace(" SendAndRecvPdu(%d)  %d, %s", m_reqSocket.Descriptor(), request.sessionId,
                 QVAddressToString(m_addrMaster).c_str());
  }
  TMutexLock exchange(m_reqLock);
  return Exchange(m_reqSocket, m_reqBuffer, request, response);
}

int BSASubAgent::Exchange(BSASocket& socket, BSABuffer& buffer, BSAPdu& request, BSAPdu& response) {
  using Clock = std::chrono::steady_clock;
  int status = Encode(buffer, request);
  if (status != 0) return status;
  // The encoded request is kept for the retransmissions; answers are read
  // into a buffer of their own.
  const std::vector<unsigned char> frame(buffer.Data(), buffer.Data() + buffer.Length());
  const auto total = std::chrono::milliseconds(1000LL * m_masterTimeout);
  const auto deadline = Clock::now() + total;
  BAddress from;
  for (int attempt = 1; attempt <= kSendAttempts; ++attempt) {
    unsigned length = static_cast<unsigned>(frame.size());
    status = socket.SendTo(const_cast<unsigned char*>(frame.data()), length, m_addrMaster, false);
    if (status != 0) return status;
    if (attempt > 1) QVSubAgTrace(" SendAndRecvPdu rqId=%d sent again (%d)", request.requestId, attempt);
    const auto attemptEnd = attempt == kSendAttempts ? deadline : Clock::now() + total / kSendAttempts;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(attemptEnd - Clock::now()).count();
      if (left <= 0) break;
      int received = static_cast<int>(buffer.Capacity());
      const int result =
          socket.BSockDatagram::RecvFrom(reinterpret_cast<char*>(buffer.Data()), received, from,
                                         static_cast<int>(left / 1000000), static_cast<int>(left % 1000000));
      if (result == 1) break;
      if (result != 0) return result;
      if (!(from == m_addrMaster)) {
        m_dropped.fetch_add(1, std::memory_order_relaxed);
        if (QVSubAgTraceActive()) {
          QVSubAgTrace(" SendAndRecvPdu dropped a datagram from %s", QVAddressToString(from).c_str());
        }
        continue;
      }
      buffer.SetLength(static_cast<unsigned>(received));
      // Each pass decodes into a fresh record: fields of a dropped datagram
      // must not leak into the answer.
      response.Init(static_cast<ESAPduType>(0), 0, 0);
      if (Decode(buffer, response) != 0) continue;
      if (response.requestId != request.requestId) continue;
      return 0;
    }
  }
  return SA_ERR_TIMEOUT;
}

int BSASubAgent::ReturnResponsePdu(BSAPdu& response) {
  if (QVSubAgTraceActive()) {
    QVSubAgTrace("ReturnResponsePdu  sessId=%d, rqId=%d  --> %s", response.sessionId, response.requestId,
                 QVAddressToString(m_addrPeer).c_str());
  }
  int status = Encode(m_respBuffer, response);
  if (status != 0) {
    QVSubAgTrace(" ReturnResponsePdu Encode ERR %x", status);
    return status;
  }
  unsigned int length = m_respBuffer.Length();
  status = m_respSocket.SendTo(m_respBuffer.Data(), length, m_addrPeer, false);
  if (status != 0) {
    QVSubAgTrace(" ReturnResponsePdu SendTo ERR %x", status);
    return status;
  }
  return 0;
}

}  // namespace QVT
