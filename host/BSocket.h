// BSocket and BSockDatagram: POSIX sockets with the host's result
// convention. Every operation returns 0 on success; a datagram send or
// receive that runs out of time returns 1; every other failure returns a
// NEGATIVE number (minus the errno) and keeps the error number for
// LastError(), so that callers tell failures from answers by the sign.
#pragma once

#include "BAddress.h"
#include "QVExport.h"

struct msghdr;

namespace QVT {

class QV_API BSocket {
 public:
  explicit BSocket(int type);
  virtual ~BSocket();
  BSocket(const BSocket&) = delete;
  BSocket& operator=(const BSocket&) = delete;

  // Closes the descriptor (no-op when there is none).
  virtual int Close();
  // shutdown(2) in direction `how` (0 read, 1 write, 2 both). Shutting down
  // both directions also closes the descriptor, so that Create can make a
  // fresh socket afterwards.
  virtual int ShutDown(int how);
  // Creates the system socket for the family of the own address (IPv4 when
  // none is set); an existing descriptor is closed first. -1 on failure.
  virtual int Create();
  // Bind and Connect return -1 on failure (the reason in LastError()),
  // like Create.
  virtual int Bind(BAddress& address);
  // Binds to the own address set by SetMyAddress.
  virtual int Bind();
  virtual int Connect(BAddress& address);
  virtual int Connect();
  virtual void SetMyAddress(BAddress& address);
  virtual void SetPeerAddress(BAddress& address);
  // Socket style: non-blocking, address reuse, and close-on-exec, each on
  // when non-zero.
  virtual int SetStyle(int nonBlocking, int reuseAddress, int closeOnExec);
  // The address the system bound the socket to.
  virtual int GetLocalAddress(BAddress& address);
  virtual int GetPeerAddress(BAddress& address);
  virtual int SetMaxReadBufferSize(int bytes);

  int SetBroadcastOption(bool on);
  int SetLingerOption(bool on, int seconds);
  int SetSendBufferOption(int bytes);

  bool IsInvalid() const { return m_fd < 0; }
  int Descriptor() const { return m_fd; }
  int LastError() const { return m_lastError; }
  const BAddress& MyAddress() const { return m_myAddress; }
  const BAddress& PeerAddress() const { return m_peerAddress; }

 protected:
  // Records errno as the last error and returns its negative.
  int Fail();

  int m_type;
  int m_fd = -1;
  int m_lastError = 0;
  bool m_nonBlocking = false;
  // The receive time-out set on the descriptor, in microseconds; -1 while
  // none is set (the system's default: wait without limit).
  long long m_receiveTimeout = -1;
  BAddress m_myAddress;
  BAddress m_peerAddress;
};

class QV_API BSockDatagram : public BSocket {
 public:
  BSockDatagram();

  // The largest datagram the system carries for this socket's family, or
  // -1 when it cannot say.
  int GetMaxMsgSize();

  // Sends `length` octets to `to`; `length` comes back as the octets sent.
  // The untimed form blocks until the system takes the datagram; the timed
  // form waits at most seconds + microseconds for room (negative: no limit).
  int SendTo(const char* data, int& length, BAddress& to);
  int SendTo(const char* data, int& length, BAddress& to, int seconds, int microseconds);
  // The timed forms cost one system call when the datagram can go or has
  // come: a send is tried at once and waits for room only when the system
  // has none; a receive on a blocking socket waits through the socket's
  // receive time-out (set only when the wait changes) rather than a poll.
  // Receives one datagram into `data`, whose size the caller passes in
  // `length`; `length` comes back as the datagram's size and `from` as its
  // sender. Returns 1 when nothing arrived within the wait (negative: no
  // limit). A datagram longer than the buffer is cut to fit.
  int RecvFrom(char* data, int& length, BAddress& from);
  int RecvFrom(char* data, int& length, BAddress& from, int seconds, int microseconds);

  // Gives the socket this receive wait ahead of the timed receives that use
  // it (negative: none), so that threads sharing the socket only read it
  // afterwards. 0 or a failure.
  int SetReceiveWait(int seconds, int microseconds);
  // Asks the system for the destination address of every datagram, so that
  // a socket bound to a wildcard address can tell which of the host's
  // addresses a sender used and answer from that one. 0 or a failure.
  int EnablePacketInfo();
  // The receives that also give the address the datagram was sent to
  // (`to`: the socket's own address when packet information is off or
  // missing), without a limit and timed.
  int RecvFrom(char* data, int& length, BAddress& from, BAddress& to);
  int RecvFrom(char* data, int& length, BAddress& from, BAddress& to, int seconds, int microseconds);
  // Sends without waiting for room (a full send queue loses the datagram,
  // as the network may), from the IP of `from` when it is set (a socket
  // bound to a wildcard address then answers from the address the request
  // went to), else as the system chooses.
  int SendTo(const char* data, int& length, BAddress& to, const BAddress& from);

 private:
  int WaitReady(short events, int seconds, int microseconds);
  // The one send every SendTo goes through: `from` (when given and of the
  // socket's family) as the datagram's source; 0 or minus the error number.
  int Send(const char* data, int& length, BAddress& to, const BAddress* from, int flags);
  // The one receive every RecvFrom goes through (negative seconds: no limit).
  int ReceiveWithin(char* data, int& length, BAddress& from, int seconds, int microseconds, BAddress* to);
  // Gives the descriptor this receive time-out (negative: none), unless it
  // has it already. False when the system refuses.
  bool SetReceiveTimeout(long long microseconds);
  // One receive with these flags; 1 when the socket's time-out ended it.
  // `to`, when given, receives the datagram's destination address.
  int Receive(char* data, int& length, BAddress& from, int flags, BAddress* to = nullptr);
  void ReadDestination(const msghdr& msg, BAddress& to);
};

}  // namespace QVT
