#include "RawSession.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <vector>

#include "BSAFrame.h"
#include "BSAOIDs.h"
#include "BString.h"
#include "SnmpTypes.h"

namespace QVT::bench {

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

BObjectSyntax Integer(int value) {
  BObjectSyntax syntax;
  syntax.SetInt(value);
  return syntax;
}

BObjectSyntax Octets(const std::string& text) {
  BObjectSyntax syntax;
  syntax.SetOctets(std::string_view(text));
  return syntax;
}

BObjectSyntax ObjectId(const BObjectIdentifier& oid) {
  BObjectSyntax syntax;
  syntax.SetObjectId(oid);
  return syntax;
}

std::string Status(int status) {
  return std::to_string(status) + QVSAErr2Str(status);
}

}  // namespace

double MonotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

RawSession::RawSession() = default;

RawSession::~RawSession() = default;

bool RawSession::Fail(const std::string& reason) {
  m_error = reason;
  return false;
}

bool RawSession::Init(const std::string& master) {
  if (QVResolveAddress(BString(master.c_str()), m_master) == 0) return Fail("'" + master + "' is not host:port");
  BAddress local(BAddress::kFamilyINet);
  local.SetIPv4(kLoopback);
  const int status = m_socket.Initialize(local);
  if (status != 0) return Fail("cannot bind a socket on 127.0.0.1: " + Status(status));
  return true;
}

bool RawSession::SendFrame(const unsigned char* data, unsigned length) {
  int sent = static_cast<int>(length);
  const int status = m_socket.BSockDatagram::SendTo(reinterpret_cast<const char*>(data), sent, m_master, 1, 0);
  if (status != 0) return Fail("sending to the master failed: " + Status(status));
  return true;
}

bool RawSession::Send(BSAPdu& pdu) {
  const int status = Encode(m_buffer, pdu);
  if (status != 0) return Fail("cannot encode a " + std::string(QVSAPduType2Str(pdu.type)) + ": " + Status(status));
  return SendFrame(m_buffer.Data(), m_buffer.Length());
}

int RawSession::Receive(double seconds, BSAPdu& pdu) {
  const long long micro = std::max(0LL, static_cast<long long>(std::llround(seconds * 1e6)));
  int length = static_cast<int>(m_buffer.Capacity());
  BAddress from;
  const int status = m_socket.BSockDatagram::RecvFrom(reinterpret_cast<char*>(m_buffer.Data()), length, from,
                                                      static_cast<int>(micro / 1000000),
                                                      static_cast<int>(micro % 1000000));
  if (status == 1) return 0;
  if (status != 0) {
    Fail("receiving failed: " + Status(status));
    return -1;
  }
  // The master answers from its port and sends its requests for the session
  // from a socket of the session's own: anything from its host counts.
  if (from.Family() != m_master.Family() || from.IPv4() != m_master.IPv4()) return 0;
  m_buffer.SetLength(static_cast<unsigned>(length));
  pdu.Init(0, 0, 0);
  return Decode(m_buffer, pdu) == 0 ? 1 : 0;
}

bool RawSession::Exchange(BSAPdu& request, BSAPdu& response, double resendAfter, double maxSeconds) {
  const int status = Encode(m_buffer, request);
  if (status != 0) return Fail("cannot encode: " + Status(status));
  const std::vector<unsigned char> frame(m_buffer.Data(), m_buffer.Data() + m_buffer.Length());
  const double deadline = MonotonicSeconds() + maxSeconds;
  for (;;) {
    if (!SendFrame(frame.data(), static_cast<unsigned>(frame.size()))) return false;
    const double resendAt = std::min(deadline, MonotonicSeconds() + resendAfter);
    for (double now = MonotonicSeconds(); now < resendAt; now = MonotonicSeconds()) {
      const int got = Receive(resendAt - now, response);
      if (got < 0) return false;
      if (got == 1 && response.type == SA_PDU_RESPONSE && response.requestId == request.requestId) return true;
    }
    if (MonotonicSeconds() >= deadline) {
      return Fail(std::string("no answer to the ") + QVSAPduType2Str(request.type) + " within " +
                  std::to_string(maxSeconds) + " s");
    }
  }
}

bool RawSession::Open(const std::string& description, int processingSeconds, double maxSeconds) {
  const BSAOIDs& oids = *BSAOIDs::Instance();
  BSAPdu request(SA_PDU_OPEN_SESSION, 0, ++m_lastRequestId);
  request.varBindList.Append(oids.oidName, Octets(description));
  if (processingSeconds > 0) request.varBindList.Append(oids.oidMaxProcTime, Integer(processingSeconds));
  BSAPdu response;
  if (!Exchange(request, response, 0.2, maxSeconds)) return false;
  if (response.errorStatus != 0) return Fail("openSession refused: " + Status(response.errorStatus));
  if (response.sessionId == 0) return Fail("openSession answered without a session id");
  m_sessionId = response.sessionId;
  return true;
}

BSAPdu RawSession::RegisterPdu(const BObjectIdentifier& subtree, const std::string& name) {
  const BSAOIDs& oids = *BSAOIDs::Instance();
  BSAPdu request(SA_PDU_REGISTER, m_sessionId, ++m_lastRequestId);
  request.varBindList.Append(oids.oidHandlerType, Integer(MIB_HANDLER_SUBTREE));
  request.varBindList.Append(oids.oidName, Octets(name));
  request.varBindList.Append(oids.oidSubtree, ObjectId(subtree));
  return request;
}

bool RawSession::Register(const BObjectIdentifier& subtree, const std::string& name, int& verdict) {
  BSAPdu request = RegisterPdu(subtree, name);
  BSAPdu response;
  if (!Exchange(request, response, 0.5, 5.0)) return false;
  verdict = response.errorStatus;
  return true;
}

bool RawSession::Close(double& seconds) {
  BSAPdu request(SA_PDU_CLOSE_SESSION, m_sessionId, ++m_lastRequestId);
  BSAPdu response;
  const double started = MonotonicSeconds();
  if (!Exchange(request, response, 1.0, 30.0)) return false;
  seconds = MonotonicSeconds() - started;
  if (response.errorStatus != 0) return Fail("closeSession answered " + Status(response.errorStatus));
  m_sessionId = 0;
  return true;
}

bool RawSession::RegisterMany(const BObjectIdentifier& base, long count, int window, double resendAfter,
                              double maxSeconds, Pipelined& result) {
  struct InFlight {
    long index = 0;
    double sentAt = 0;
    int sends = 0;
    std::vector<unsigned char> frame;
  };
  result = Pipelined();
  std::unordered_map<unsigned, InFlight> inFlight;
  inFlight.reserve(static_cast<size_t>(window) * 2);
  auto subtree = [&](long k) {
    BObjectIdentifier oid = base;
    oid.Append(static_cast<uint32_t>(k / 1000));
    oid.Append(static_cast<uint32_t>(k % 1000));
    return oid;
  };
  long next = 0;
  result.startedAt = MonotonicSeconds();
  const double deadline = result.startedAt + maxSeconds;
  double lastScan = result.startedAt;
  BSAPdu response;
  while (result.registered < count) {
    while (static_cast<int>(inFlight.size()) < window && next < count) {
      BSAPdu request = RegisterPdu(subtree(next), "bench registration " + std::to_string(next));
      const int status = Encode(m_buffer, request);
      if (status != 0) return Fail("cannot encode a registration: " + Status(status));
      InFlight& slot = inFlight[request.requestId];
      slot.index = next;
      slot.frame.assign(m_buffer.Data(), m_buffer.Data() + m_buffer.Length());
      slot.sentAt = MonotonicSeconds();
      slot.sends = 1;
      if (!SendFrame(slot.frame.data(), static_cast<unsigned>(slot.frame.size()))) return false;
      ++next;
    }
    const int got = Receive(0.01, response);
    if (got < 0) return false;
    const double now = MonotonicSeconds();
    if (got == 1 && response.type == SA_PDU_RESPONSE) {
      const auto it = inFlight.find(response.requestId);
      if (it == inFlight.end()) {
        ++result.strayAnswers;  // a second answer to a request sent twice
      } else if (response.errorStatus == 0 ||
                 (response.errorStatus == SA_WIRE_DUPLICATE_REGISTRATION && it->second.sends > 1)) {
        if (response.errorStatus != 0) ++result.duplicateAfterResend;
        ++result.registered;
        result.endedAt = now;
        inFlight.erase(it);
      } else {
        return Fail("registration " + std::to_string(it->second.index) + " (" +
                    subtree(it->second.index).ToString().str() + ") answered " + Status(response.errorStatus));
      }
    }
    if (now > deadline) {
      return Fail("over the time limit of " + std::to_string(maxSeconds) + " s after " +
                  std::to_string(result.registered) + " registrations");
    }
    if (now - lastScan >= resendAfter / 4) {
      lastScan = now;
      for (auto& [id, slot] : inFlight) {
        if (now - slot.sentAt < resendAfter) continue;
        if (!SendFrame(slot.frame.data(), static_cast<unsigned>(slot.frame.size()))) return false;
        slot.sentAt = now;
        ++slot.sends;
        ++result.resent;
      }
    }
  }
  return true;
}

void RawSession::IgnoreRequests(double seconds, volatile const int& stop, Ignored& ignored) {
  const double end = MonotonicSeconds() + seconds;
  BSAPdu pdu;
  while (stop == 0 && MonotonicSeconds() < end) {
    if (Receive(std::min(0.2, std::max(0.0, end - MonotonicSeconds())), pdu) != 1) continue;
    if (pdu.type == SA_PDU_RESPONSE) continue;
    ++ignored.requests;
    if (pdu.type == SA_PDU_GET || pdu.type == SA_PDU_GET_NEXT || pdu.type == SA_PDU_GET_BULK) {
      ++ignored.gets;
    } else {
      ++ignored.others;
    }
  }
}

}  // namespace QVT::bench
