// BSASubAgent: the session with the master (open, close, ping), the one
// request/response exchange every sub-agent request goes through, and the
// sending of answers to the master's requests.
#include "BSAFrame.h"
#include "BSAOIDs.h"
#include "BSASubAgent.h"
#include "QVSubAgTrace.h"

namespace QVT {

namespace {
constexpr unsigned int kMaxAnnouncedProcTime = 3599;
}

int BSASubAgent::OpenSession(const BString& description) {
  QVSubAgTrace("OpenSession %s", description.c_str());
  if (m_sessionId.load() != 0) return SA_ERR_ALREADY_OPEN;

  BSAPdu request(SA_PDU_OPEN_SESSION, 0, GetNewRequestId());
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

  m_respSocket.ShutDown(2);
  m_respSocket.Initialize(0);
  int status = Encode(m_respBuffer, request);
  if (status != 0) return status;
  unsigned int length = m_respBuffer.Length();
  status = m_respSocket.SendTo(m_respBuffer.Data(), length, m_addrMaster, false);
  if (status != 0) return status;

  m_respBuffer.SetLength(m_respBuffer.Capacity());
  length = m_respBuffer.Capacity();
  status = m_respSocket.RecvFrom(m_respBuffer.Data(), length, m_addrPeer, false);
  if (status != 0) return status;
  m_respBuffer.SetLength(length);

  BSAPdu response(static_cast<ESAPduType>(0));
  status = Decode(m_respBuffer, response);
  if (status != 0) return status;
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
  int status = Encode(m_reqBuffer, request);
  if (status != 0) return status;
  unsigned int length = m_reqBuffer.Length();
  status = m_reqSocket.SendTo(m_reqBuffer.Data(), length, m_addrMaster, false);
  if (status != 0) return status;

  BAddress from;
  for (;;) {
    m_reqBuffer.SetLength(m_reqBuffer.Capacity());
    from.Clear();
    length = m_reqBuffer.Capacity();
    status = m_reqSocket.RecvFrom(m_reqBuffer.Data(), length, from, m_masterTimeout);
    if (status != 0) return status;
    m_reqBuffer.SetLength(length);
    // Each pass decodes into a fresh record: fields of a dropped datagram
    // must not leak into the answer.
    response.Init(static_cast<ESAPduType>(0), 0, 0);
    if (Decode(m_reqBuffer, response) != 0) continue;
    if (response.requestId != request.requestId) continue;
    break;
  }
  if (!(from == m_addrMaster)) QVSubAgTrace(" SendAndRecvPdu RecvFrom !(aMaster == m_addrMaster)");
  return 0;
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
