#include "BAddress.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <string>

namespace QVT {

void BAddress::Clear() {
  m_family = kFamilyNone;
  m_port = 0;
  std::memset(m_octets, 0, sizeof m_octets);
}

bool BAddress::operator==(const BAddress& other) const {
  if (m_family != other.m_family || m_port != other.m_port) return false;
  const size_t n = m_family == kFamilyINet6 ? 16 : 4;
  return std::memcmp(m_octets, other.m_octets, n) == 0;
}

uint32_t BAddress::IPv4() const {
  if (m_family != kFamilyINet) return 0;
  return (uint32_t{m_octets[0]} << 24) | (uint32_t{m_octets[1]} << 16) | (uint32_t{m_octets[2]} << 8) | m_octets[3];
}

void BAddress::SetIPv4(uint32_t hostOrder) {
  m_family = kFamilyINet;
  std::memset(m_octets, 0, sizeof m_octets);
  m_octets[0] = static_cast<unsigned char>(hostOrder >> 24);
  m_octets[1] = static_cast<unsigned char>(hostOrder >> 16);
  m_octets[2] = static_cast<unsigned char>(hostOrder >> 8);
  m_octets[3] = static_cast<unsigned char>(hostOrder);
}

void BAddress::SetIPv6(const unsigned char octets[16]) {
  m_family = kFamilyINet6;
  std::memcpy(m_octets, octets, 16);
}

unsigned BAddress::ToSockaddr(void* storage, unsigned capacity) const {
  if (m_family == kFamilyINet && capacity >= sizeof(sockaddr_in)) {
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(m_port);
    std::memcpy(&sin.sin_addr, m_octets, 4);
    std::memcpy(storage, &sin, sizeof sin);
    return sizeof sin;
  }
  if (m_family == kFamilyINet6 && capacity >= sizeof(sockaddr_in6)) {
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(m_port);
    std::memcpy(&sin6.sin6_addr, m_octets, 16);
    std::memcpy(storage, &sin6, sizeof sin6);
    return sizeof sin6;
  }
  return 0;
}

void BAddress::FromSockaddr(const sockaddr* address, unsigned length) {
  Clear();
  if (address == nullptr) return;
  if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
    sockaddr_in sin;
    std::memcpy(&sin, address, sizeof sin);
    m_family = kFamilyINet;
    m_port = ntohs(sin.sin_port);
    std::memcpy(m_octets, &sin.sin_addr, 4);
  } else if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
    sockaddr_in6 sin6;
    std::memcpy(&sin6, address, sizeof sin6);
    m_family = kFamilyINet6;
    m_port = ntohs(sin6.sin6_port);
    std::memcpy(m_octets, &sin6.sin6_addr, 16);
  }
}

namespace {

bool ParsePort(std::string_view text, unsigned short& port) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty() || value > 65535) return false;
  port = static_cast<unsigned short>(value);
  return true;
}

// Splits "host:port" or "[v6]:port" into its two parts.
bool SplitHostPort(std::string_view text, std::string& host, std::string_view& port) {
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return false;
    host.assign(text.substr(1, close - 1));
    port = text.substr(close + 2);
    return !host.empty();
  }
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  host.assign(text.substr(0, colon));
  if (host.find(':') != std::string::npos) return false;  // bare IPv6 needs brackets
  port = text.substr(colon + 1);
  return true;
}

}  // namespace

int BAddrINet::AssignFromDottedDecimalStr(const char* text) {
  if (text == nullptr || text[0] == '[') return 0;  // the bracketed form is for IPv6
  std::string host;
  std::string_view portText;
  unsigned short port = 0;
  if (!SplitHostPort(text, host, portText) || !ParsePort(portText, port)) return 0;
  in_addr addr{};
  if (inet_pton(AF_INET, host.c_str(), &addr) != 1) return 0;
  Clear();
  m_family = kFamilyINet;
  std::memcpy(m_octets, &addr, 4);
  m_port = port;
  return 1;
}

int QVResolveAddress(const BString& text, BAddress& address) {
  std::string host;
  std::string_view portText;
  unsigned short port = 0;
  if (!SplitHostPort(text.view(), host, portText) || !ParsePort(portText, port)) return 0;

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* result = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) {
    // AI_ADDRCONFIG hides loopback names on hosts without a configured
    // address; try once more without it.
    hints.ai_flags = 0;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return 0;
  }
  const addrinfo* chosen = result;
  for (const addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family == AF_INET) {
      chosen = ai;
      break;
    }
  }
  BAddress resolved;
  resolved.FromSockaddr(chosen->ai_addr, chosen->ai_addrlen);
  freeaddrinfo(result);
  if (resolved.IsEmpty()) return 0;
  resolved.SetPort(port);
  address = resolved;
  return 1;
}

int QVResolveHost(const BString& host, unsigned short port, BAddress& address) {
  std::string text = host.str();
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return 0;
  text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
  if (text.find(':') != std::string::npos && text.front() != '[') text = "[" + text + "]";
  return QVResolveAddress(BString(text + ":" + std::to_string(port)), address);
}

int QVLocalAddressFor(const BAddress& peer, BAddress& local) {
  sockaddr_storage storage{};
  const unsigned length = peer.ToSockaddr(&storage, sizeof storage);
  if (length == 0) return 0;
  const int fd = ::socket(storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  int found = 0;
  // Connecting a datagram socket only asks the routing table; nothing is sent.
  if (::connect(fd, reinterpret_cast<sockaddr*>(&storage), length) == 0) {
    sockaddr_storage own{};
    socklen_t ownLength = sizeof own;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLength) == 0) {
      local.FromSockaddr(reinterpret_cast<sockaddr*>(&own), ownLength);
      local.SetPort(0);
      found = local.IsEmpty() ? 0 : 1;
    }
  }
  ::close(fd);
  return found;
}

BString QVAddressToString(const BAddress& address) {
  char host[INET6_ADDRSTRLEN] = {};
  if (address.Family() == BAddress::kFamilyINet) {
    inet_ntop(AF_INET, address.Octets(), host, sizeof host);
    return BString(std::string(host) + ":" + std::to_string(address.Port()));
  }
  if (address.Family() == BAddress::kFamilyINet6) {
    inet_ntop(AF_INET6, address.Octets(), host, sizeof host);
    return BString("[" + std::string(host) + "]:" + std::to_string(address.Port()));
  }
  return BString();
}

}  // namespace QVT
