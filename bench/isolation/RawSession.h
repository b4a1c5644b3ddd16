// RawSession: a sub-agent session spoken directly with the protocol classes
// (BSAPdu, Encode/Decode, BSASocket), for the programs of bench/isolation.sh
// that must do what the sub-agent library does not: keep many registrations
// in flight at once (qvt-bench-register), or open a session, register a
// subtree and then never answer the master (qvt-bench-tarpit).
//
// One UDP socket on 127.0.0.1 carries everything: the open, so the master
// sends its requests for the session there; the session's own requests;
// and the answers to both. Every wait is bounded.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "BAddress.h"
#include "BObjectIdentifier.h"
#include "BSABuffer.h"
#include "BSAPdu.h"
#include "BSASocket.h"

namespace QVT::bench {

// Seconds on the system's monotonic clock (the clock qvt-bench-load's
// probe samples are stamped with, so the two can be lined up).
double MonotonicSeconds();

class RawSession {
 public:
  RawSession();
  ~RawSession();
  RawSession(const RawSession&) = delete;
  RawSession& operator=(const RawSession&) = delete;

  // Binds the socket on 127.0.0.1 and notes the master's address
  // ("a.b.c.d:port"). False with the reason in Error().
  bool Init(const std::string& master);
  // Opens a session announcing `processingSeconds` (0: none announced).
  // Retries for at most `maxSeconds` while the master does not answer.
  bool Open(const std::string& description, int processingSeconds, double maxSeconds);
  // One registration of `subtree` (handler type: a plain subtree), its
  // answer awaited; the master's verdict (0 or a wire error code) in
  // `verdict`. False only when no answer came or the exchange failed.
  bool Register(const BObjectIdentifier& subtree, const std::string& name, int& verdict);
  // Closes the session; `seconds` is the time from the first sending of the
  // request to its answer. False when no answer came or it was an error.
  bool Close(double& seconds);

  // `count` registrations of base.(k / 1000).(k % 1000), k = 0 .. count - 1,
  // with at most `window` unanswered at a time. A request unanswered after
  // `resendAfter` seconds is sent again as it was (same request id); every
  // answer must be a success (or, after a resend only, a duplicate: the
  // first copy did the work and its answer was lost). False at the first
  // refusal, or after `maxSeconds`.
  struct Pipelined {
    long registered = 0;
    long resent = 0;                  // requests sent again
    long duplicateAfterResend = 0;    // answered duplicateRegistration after a resend
    long strayAnswers = 0;            // answers to requests no longer waited for
    double startedAt = 0;             // monotonic seconds: first request sent
    double endedAt = 0;               // monotonic seconds: last answer received
  };
  bool RegisterMany(const BObjectIdentifier& base, long count, int window, double resendAfter, double maxSeconds,
                    Pipelined& result);

  // Reads what the master sends for up to `seconds` (or until `stop` is
  // set) and answers none of it; counts the requests by PDU type.
  struct Ignored {
    long requests = 0;
    long gets = 0;
    long others = 0;
  };
  void IgnoreRequests(double seconds, volatile const int& stop, Ignored& ignored);

  unsigned SessionId() const { return m_sessionId; }
  const std::string& Error() const { return m_error; }

 private:
  bool Fail(const std::string& reason);
  // Encodes and sends; false with the reason set.
  bool Send(BSAPdu& pdu);
  bool SendFrame(const unsigned char* data, unsigned length);
  // Receives one datagram from the master's host within `seconds`: 1 with
  // `pdu` decoded, 0 on time-out (or a datagram from elsewhere or
  // unreadable, which are dropped), -1 on a socket failure.
  int Receive(double seconds, BSAPdu& pdu);
  // Sends `request` and waits for its answer, sending it again every
  // `resendAfter` seconds, for at most `maxSeconds`.
  bool Exchange(BSAPdu& request, BSAPdu& response, double resendAfter, double maxSeconds);
  BSAPdu RegisterPdu(const BObjectIdentifier& subtree, const std::string& name);

  BSASocket m_socket{2048, 1};
  BSABuffer m_buffer;
  BAddress m_master;
  unsigned m_sessionId = 0;
  unsigned m_lastRequestId = 0;
  std::string m_error;
};

}  // namespace QVT::bench
