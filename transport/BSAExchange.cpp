#include "BSAExchange.h"

#include "BSAFrame.h"
#include "QVSubAgTrace.h"

namespace QVT {

int BSAExchange::Run(BSAPdu& request, BSAPdu& response, Clock::time_point deadline, int attempts) {
  int status = Encode(m_buffer, request);
  if (status != 0) return status;
  const int tries = attempts < 1 ? 1 : attempts;
  const auto start = Clock::now();
  const auto step = (deadline - start) / tries;
  for (int attempt = 1; attempt <= tries; ++attempt) {
    if (attempt > 1) {
      // The answer buffer held datagrams since: encode the request again.
      status = Encode(m_buffer, request);
      if (status != 0) return status;
      QVSubAgTrace(" SendAndRecvPdu rqId=%u sent again (%d)", request.requestId, attempt);
    }
    unsigned length = m_buffer.Length();
    BAddress to = m_peer;
    status = m_socket.SendTo(m_buffer.Data(), length, to, false);
    if (status != 0) return status;
    status = Await(request, response, attempt == tries ? deadline : start + step * attempt);
    if (status != 1) return status;
  }
  return SA_ERR_TIMEOUT;
}

int BSAExchange::Await(const BSAPdu& request, BSAPdu& response, Clock::time_point until) {
  BAddress from;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now()).count();
    int received = static_cast<int>(m_buffer.Capacity());
    const int result = left <= 0 ? 1
                                 : m_socket.BSockDatagram::RecvFrom(reinterpret_cast<char*>(m_buffer.Data()), received,
                                                                    from, static_cast<int>(left / 1000000),
                                                                    static_cast<int>(left % 1000000));
    if (m_pObserver != nullptr && m_pObserver->Abandoned()) return SA_ERR_SESSION_CLOSED;
    if (result == 1) return 1;
    if (result != 0) return result;
    if (!(from == m_peer)) {
      if (QVSubAgTraceActive())
        QVSubAgTrace(" SendAndRecvPdu dropped a datagram from %s", QVAddressToString(from).c_str());
      if (m_pObserver != nullptr) m_pObserver->OnForeign(from);
      continue;
    }
    m_buffer.SetLength(static_cast<unsigned>(received));
    // Each datagram decodes into a fresh record: fields of a dropped one
    // must not leak into the answer.
    response.Init(0, 0, 0);
    if (Decode(m_buffer, response) != 0) {
      if (m_pObserver != nullptr) m_pObserver->OnUndecodable();
      continue;
    }
    if (response.requestId != request.requestId) {
      if (m_pObserver != nullptr) m_pObserver->OnStale();
      continue;
    }
    return 0;
  }
}

int BSAExchange::Send(BSAPdu& pdu, const BAddress& from, EStep& failed) {
  failed = EStep::kEncode;
  int status = Encode(m_buffer, pdu);
  if (status != 0) return status;
  failed = EStep::kSend;
  int length = static_cast<int>(m_buffer.Length());
  BAddress to = m_peer;
  return m_socket.BSockDatagram::SendTo(reinterpret_cast<const char*>(m_buffer.Data()), length, to, from);
}

}  // namespace QVT
