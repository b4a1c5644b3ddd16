// BSASocket: the UDP endpoint every PDU travels through. A thin layer over
// the host datagram socket that fixes how the socket is opened (of the
// local address's family and bound to it, or IPv4 on a port; broadcast allowed, linger on with 0 seconds, send buffer
// sized to the largest message), keeps a default wait for sends and
// receives, and turns the host's time-out result into SA_ERR_TIMEOUT. Other
// host failures (negative numbers) pass through unchanged, so callers tell a
// failed exchange from an answer by the sign.
//
// A socket has no lock of its own: its owner uses it from one thread at a
// time or under the owner's lock.
#pragma once

#include "BAddress.h"
#include "BSocket.h"
#include "QVExport.h"

namespace QVT {

class QV_API BSASocket : public BSockDatagram {
 public:
  // No system socket yet. The default wait is `waitSeconds` whole seconds
  // (waits up to 2147 seconds fit).
  BSASocket(int maxMsgSize, int waitSeconds);
  // Shuts the socket down in both directions, which closes it.
  ~BSASocket() override;

  // Above 0: the default wait becomes that many microseconds; below 0: no
  // default wait (both fields -1, passed to the host as they are); 0: no
  // change.
  void SetWaitInterval(int microseconds);
  bool IsInitialized() const { return !IsInvalid(); }

  // Creates the system socket on the wildcard IPv4 address, bound to `port`
  // unless it is 0 (then the system picks a port at the first send).
  // Returns 0; SA_ERR_ALREADY_BOUND, changing nothing, when `port` is not 0
  // and already the socket's own; SA_ERR_SOCKET_BASE + the last error number
  // when creating or binding fails. After ShutDown(2) it may be called again
  // for a fresh system socket.
  int Initialize(unsigned short port);
  // Creates the system socket of `local`'s family bound to `local` (its
  // port 0: a port the system picks now), so that the socket sends from and
  // listens on that one address only. 0, or SA_ERR_SOCKET_BASE + the last
  // error number. May be called again for a fresh socket.
  int Initialize(const BAddress& local);

  // Sends `length` octets to `to`; `length` comes back as the host reports
  // it. 0, SA_ERR_TIMEOUT when no room came within the wait, or the host's
  // negative failure. `untimed` true waits without limit; the library always
  // passes false (the default wait).
  int SendTo(unsigned char* data, unsigned& length, BAddress& to, bool untimed);
  // Receives one datagram into `data`, whose size the caller passes in
  // `length`; `length` comes back as the datagram's size and `from` as its
  // sender. 0, SA_ERR_TIMEOUT (length as it was), or the host's failure.
  int RecvFrom(unsigned char* data, unsigned& length, BAddress& from, bool untimed);
  // The same with a wait of `timeoutSeconds` instead of the default one.
  int RecvFrom(unsigned char* data, unsigned& length, BAddress& from, int timeoutSeconds);

  int maxMsgSize;             // largest message meant; lowered at Initialize to the system's
  int waitSeconds = -1;       // default wait, whole seconds; -1: none
  int waitMicroseconds = -1;  // default wait, remaining microseconds; -1: none

 private:
  void SetOptions();
  int SendResult(int result, BAddress& to);
  int RecvResult(int result, BAddress& from);
};

}  // namespace QVT
