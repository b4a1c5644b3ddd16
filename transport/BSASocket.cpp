// The library's UDP endpoint over the host datagram socket.
#include "BSASocket.h"

#include "BSAPdu.h"
#include "QVSubAgTrace.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <climits>

namespace QVT {

namespace {

constexpr int kMicrosecondsPerSecond = 1000000;
// Taken as the largest datagram when the host cannot say.
constexpr int kFallbackMaxMsgSize = 65536;
constexpr int kHostTimeout = 1;

int ToHostLength(unsigned length) {
  return length > static_cast<unsigned>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

}  // namespace

BSASocket::BSASocket(int maxMessage, int waitSecs) : maxMsgSize(maxMessage) {
  // Waits beyond what fits in an int of microseconds are cut to that limit.
  const long long microseconds = static_cast<long long>(waitSecs) * kMicrosecondsPerSecond;
  SetWaitInterval(microseconds > INT_MAX ? INT_MAX : microseconds < INT_MIN ? INT_MIN : static_cast<int>(microseconds));
}

BSASocket::~BSASocket() {
  ShutDown(2);
}

void BSASocket::SetWaitInterval(int microseconds) {
  if (microseconds > 0) {
    waitSeconds = microseconds / kMicrosecondsPerSecond;
    waitMicroseconds = microseconds % kMicrosecondsPerSecond;
  } else if (microseconds < 0) {
    waitSeconds = -1;
    waitMicroseconds = -1;
  }
}

int BSASocket::Initialize(unsigned short port) {
  BAddress address(BAddress::kFamilyINet);  // 0.0.0.0, port 0
  if (port != 0) {
    address.SetPort(port);
    if (MyAddress() == address) return SA_ERR_ALREADY_BOUND;
  }
  SetMyAddress(address);
  if (Create() == -1) return SA_ERR_SOCKET_BASE + LastError();
  if (port != 0 && Bind() == -1) return SA_ERR_SOCKET_BASE + LastError();
  SetOptions();
  return 0;
}

int BSASocket::Initialize(const BAddress& local) {
  BAddress address = local;
  SetMyAddress(address);
  if (Create() == -1) return SA_ERR_SOCKET_BASE + LastError();
  if (local.Family() == BAddress::kFamilyINet6) {
    // An IPv6 wildcard also hears IPv4 senders (as mapped addresses).
    const int off = 0;
    ::setsockopt(Descriptor(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  }
  if (Bind() == -1) {
    const int error = LastError();
    ShutDown(2);
    return SA_ERR_SOCKET_BASE + error;
  }
  SetOptions();
  return 0;
}

void BSASocket::SetOptions() {
  SetBroadcastOption(true);
  SetLingerOption(true, 0);
  int systemMax = GetMaxMsgSize();
  if (systemMax == -1) systemMax = kFallbackMaxMsgSize;
  if (maxMsgSize > systemMax) maxMsgSize = systemMax;
  SetSendBufferOption(maxMsgSize);
}

int BSASocket::SendResult(int result, BAddress& to) {
  if (result == kHostTimeout) return SA_ERR_TIMEOUT;
  if (SA_DBG_TRACE_ARGUMENTS) {
    QVDbgModuleTraceClass(SA_DBG_SOCKET, "SendTo TO '%s'  socket=%d   ERR %x", QVAddressToString(to).c_str(),
                          Descriptor(), static_cast<unsigned>(result));
  }
  return result;
}

int BSASocket::RecvResult(int result, BAddress& from) {
  if (result == kHostTimeout) return SA_ERR_TIMEOUT;
  if (result == 0) return 0;
  if (SA_DBG_TRACE_ARGUMENTS) {
    QVDbgModuleTraceClass(SA_DBG_SOCKET, "RecvFrom FROM '%s'  socket=%d  ERR %x", QVAddressToString(from).c_str(),
                          Descriptor(), static_cast<unsigned>(LastError()));
  }
  return result;
}

int BSASocket::SendTo(unsigned char* data, unsigned& length, BAddress& to, bool untimed) {
  int hostLength = ToHostLength(length);
  const char* octets = reinterpret_cast<const char*>(data);
  const int result = untimed ? BSockDatagram::SendTo(octets, hostLength, to)
                             : BSockDatagram::SendTo(octets, hostLength, to, waitSeconds, waitMicroseconds);
  length = static_cast<unsigned>(hostLength);
  return SendResult(result, to);
}

int BSASocket::RecvFrom(unsigned char* data, unsigned& length, BAddress& from, bool untimed) {
  int hostLength = ToHostLength(length);
  char* octets = reinterpret_cast<char*>(data);
  const int result = untimed ? BSockDatagram::RecvFrom(octets, hostLength, from)
                             : BSockDatagram::RecvFrom(octets, hostLength, from, waitSeconds, waitMicroseconds);
  length = static_cast<unsigned>(hostLength);
  return RecvResult(result, from);
}

int BSASocket::RecvFrom(unsigned char* data, unsigned& length, BAddress& from, int timeoutSeconds) {
  int hostLength = ToHostLength(length);
  const int result = BSockDatagram::RecvFrom(reinterpret_cast<char*>(data), hostLength, from, timeoutSeconds, 0);
  length = static_cast<unsigned>(hostLength);
  return RecvResult(result, from);
}

}  // namespace QVT
