// BAddressFilter: a list of IP addresses and prefixes ("127.0.0.0/8",
// "::1", "10.1.2.3", "fd00::/8") that a sender's address is checked
// against before anything it sent is looked at. IPv4-mapped IPv6 senders
// (::ffff:a.b.c.d, what a dual-stack socket reports for an IPv4 peer) are
// matched as the IPv4 address they carry, so one list serves both kinds of
// socket.
#pragma once

#include <cstdint>
#include <vector>

#include "BAddress.h"
#include "BString.h"
#include "QVExport.h"

namespace QVT {

class QV_API BAddressFilter {
 public:
  // Matches nothing until Parse adds prefixes.
  BAddressFilter() = default;

  // The loopback networks: 127.0.0.0/8 and ::1.
  static BAddressFilter Loopback();

  // Replaces the list by the comma- or blank-separated addresses and
  // prefixes of `text`. False, with the list unchanged and the offending
  // item named in `error`, when an item is neither; an empty text is an
  // empty list (it matches nothing).
  bool Parse(const BString& text, BString& error);

  // True when the address (its IP; the port is not looked at) lies in one
  // of the prefixes.
  bool Matches(const BAddress& address) const;
  bool IsEmpty() const { return m_prefixes.empty(); }
  // The list as text, prefixes in their canonical form ("127.0.0.0/8, ::1/128").
  BString ToString() const;

 private:
  struct Prefix {
    short family;
    unsigned char octets[16];
    unsigned bits;
  };
  static bool ParseItem(const std::string& item, Prefix& prefix);

  std::vector<Prefix> m_prefixes;
};

// The same IP (family and octets, IPv4-mapped IPv6 taken as IPv4), ports
// not compared: how a session's requests, which come from another port than
// its open request, are told to be the same sub-agent's.
QV_API bool QVSameHost(const BAddress& a, const BAddress& b);

// The address with IPv4-mapped IPv6 turned into plain IPv4; others as they are.
QV_API BAddress QVUnmappedAddress(const BAddress& address);

}  // namespace QVT
