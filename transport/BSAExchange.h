// BSAExchange: one request and its answer over a datagram socket, the way
// both sides of the protocol run their exchanges. The request goes to the
// peer; the answer is the first datagram from the peer's own address and
// port that decodes to a PDU with the request's id. Everything else is
// dropped and told to an observer, and the wait goes on to its deadline,
// never longer. A request that gets no answer may be sent again, as it was,
// a number of times spread evenly over the wait (the peer recognises the
// copies by their request id). Send is the other half, how every answer
// goes out.
#pragma once

#include <chrono>

#include "BAddress.h"
#include "BSABuffer.h"
#include "BSAPdu.h"
#include "BSASocket.h"
#include "QVExport.h"

namespace QVT {

// What an exchange tells its owner while it waits. Every call is made on
// the exchanging thread.
class QV_API IExchangeObserver {
 public:
  virtual ~IExchangeObserver() = default;
  // A datagram from another address than the peer's (dropped).
  virtual void OnForeign(const BAddress& from) { (void)from; }
  // A datagram from the peer that does not decode (dropped).
  virtual void OnUndecodable() {}
  // An answer from the peer with another request id: late, or forged
  // (dropped).
  virtual void OnStale() {}
  // Asked after every wake-up: true ends the exchange at once with
  // SA_ERR_SESSION_CLOSED (the owner gave up on it).
  virtual bool Abandoned() { return false; }
};

class QV_API BSAExchange {
 public:
  using Clock = std::chrono::steady_clock;

  // The socket and buffer are the caller's, used from one thread at a time.
  BSAExchange(BSASocket& socket, BSABuffer& buffer, const BAddress& peer, IExchangeObserver* observer = nullptr)
      : m_socket(socket), m_buffer(buffer), m_peer(peer), m_pObserver(observer) {}

  // Sends `request` and waits until `deadline` for its answer, sending it
  // `attempts` times in all (at least once) when none comes. 0 with the
  // answer in `response`; SA_ERR_TIMEOUT when no answer came in time;
  // SA_ERR_SESSION_CLOSED when the observer abandoned it; otherwise the
  // encoder's or the socket's status.
  int Run(BSAPdu& request, BSAPdu& response, Clock::time_point deadline, int attempts = 1);

  // Where Send failed.
  enum class EStep { kEncode, kSend };
  // Encodes `pdu` and sends it to the peer, from the local address `from`
  // when it is set (a socket bound to every address then answers from the
  // one the request went to), without waiting for room: a full send queue
  // loses it, as the network may. 0, or the encoder's or the socket's
  // status with `failed` saying which.
  int Send(BSAPdu& pdu, const BAddress& from, EStep& failed);

 private:
  // Waits until `until` for the answer; 1 when none came.
  int Await(const BSAPdu& request, BSAPdu& response, Clock::time_point until);

  BSASocket& m_socket;
  BSABuffer& m_buffer;
  const BAddress& m_peer;
  IExchangeObserver* m_pObserver;
};

}  // namespace QVT
