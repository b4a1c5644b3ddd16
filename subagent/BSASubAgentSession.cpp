// BSASubAgent: the session with the master (open, close, ping), the one
// request/response exchange every sub-agent request goes through, and the
// sending of answers to the master's requests.
#include <chrono>

#include "BSAExchange.h"
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
  // Datagrams from anywhere but the master are counted and dropped.
  struct Observer : IExchangeObserver {
    explicit Observer(std::atomic<uint64_t>& d) : dropped(d) {}
    void OnForeign(const BAddress& /*from*/) override { dropped.fetch_add(1, std::memory_order_relaxed); }
    std::atomic<uint64_t>& dropped;
  } observer(m_dropped);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_masterTimeout);
  return BSAExchange(socket, buffer, m_addrMaster, &observer).Run(request, response, deadline, kSendAttempts);
}

int BSASubAgent::ReturnResponsePdu(BSAPdu& response) {
  if (QVSubAgTraceActive()) {
    QVSubAgTrace("ReturnResponsePdu  sessId=%d, rqId=%d  --> %s", response.sessionId, response.requestId,
                 QVAddressToString(m_addrPeer).c_str());
  }
  BSAExchange::EStep failed = BSAExchange::EStep::kEncode;
  const int status = BSAExchange(m_respSocket, m_respBuffer, m_addrPeer).Send(response, BAddress(), failed);
  if (status != 0 && failed == BSAExchange::EStep::kEncode) QVSubAgTrace(" ReturnResponsePdu Encode ERR %x", status);
  if (status != 0 && failed == BSAExchange::EStep::kSend) QVSubAgTrace(" ReturnResponsePdu SendTo ERR %x", status);
  return status;
}

}  // namespace QVT
