// BAddress: a transport address (family, IP address, UDP port) as the
// sockets use it, with the text forms "a.b.c.d:port" and "[v6]:port".
// Family 0 is the empty address, 2 IPv4 and 10 IPv6 (the Linux values).
#pragma once

#include <cstdint>

#include "BString.h"
#include "QVExport.h"

struct sockaddr;

namespace QVT {

class QV_API BAddress {
 public:
  static constexpr short kFamilyNone = 0;
  static constexpr short kFamilyINet = 2;
  static constexpr short kFamilyINet6 = 10;

  explicit BAddress(short family = kFamilyNone) : m_family(family) {}

  // Back to the empty address (family 0).
  void Clear();
  void Set(const BAddress& other) { *this = other; }
  // Same family, same address octets and same port.
  bool operator==(const BAddress& other) const;
  bool operator!=(const BAddress& other) const { return !(*this == other); }

  short Family() const { return m_family; }
  bool IsEmpty() const { return m_family == kFamilyNone; }
  unsigned short Port() const { return m_port; }
  void SetPort(unsigned short port) { m_port = port; }
  // IPv4 address in host byte order (0 for other families).
  uint32_t IPv4() const;
  void SetIPv4(uint32_t hostOrder);
  const unsigned char* Octets() const { return m_octets; }
  void SetIPv6(const unsigned char octets[16]);

  // Conversion to and from the system's socket addresses. ToSockaddr
  // returns the length used, 0 for an empty address.
  unsigned ToSockaddr(void* storage, unsigned capacity) const;
  void FromSockaddr(const sockaddr* address, unsigned length);

 protected:
  short m_family;
  unsigned short m_port = 0;
  unsigned char m_octets[16] = {};  // IPv4 uses the first four
};

// An IPv4 address (family 2).
class QV_API BAddrINet : public BAddress {
 public:
  BAddrINet() : BAddress(kFamilyINet) {}
  // Parses "a.b.c.d:port" (port 0..65535); non-zero on success, the address
  // unchanged otherwise.
  int AssignFromDottedDecimalStr(const char* text);
};

// Resolves "host:port", "a.b.c.d:port" or "[v6]:port" (host names through
// the system resolver, IPv4 preferred); non-zero on success.
QV_API int QVResolveAddress(const BString& text, BAddress& address);
// Resolves a host alone ("127.0.0.1", "::1", "[::1]", "localhost") and
// gives it `port`; non-zero on success.
QV_API int QVResolveHost(const BString& host, unsigned short port, BAddress& address);
// The local address the system sends from to reach `peer` (its port 0);
// non-zero on success. Nothing is sent.
QV_API int QVLocalAddressFor(const BAddress& peer, BAddress& local);
// "a.b.c.d:port" or "[v6]:port"; empty text for an empty address.
QV_API BString QVAddressToString(const BAddress& address);

}  // namespace QVT
