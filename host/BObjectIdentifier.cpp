#include "BObjectIdentifier.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace QVT {

BObjectIdentifier::BObjectIdentifier(const BString& dotted) {
  Parse(dotted.c_str());
}

bool BObjectIdentifier::Parse(const char* dotted) {
  if (dotted == nullptr) return false;
  const char* p = dotted;
  const char* end = dotted + std::strlen(dotted);
  if (p != end && *p == '.') {
    ++p;
    if (p == end) return false;  // a lone dot names nothing
  }
  std::vector<uint32_t> arcs;
  while (p != end) {
    uint32_t arc = 0;
    const auto [next, ec] = std::from_chars(p, end, arc);
    if (ec != std::errc() || next == p) return false;
    arcs.push_back(arc);
    p = next;
    if (p == end) break;
    if (*p != '.' || p + 1 == end) return false;
    ++p;
  }
  m_arcs = std::move(arcs);
  return true;
}

void BObjectIdentifier::Append(const BObjectIdentifier& other, bool implied) {
  if (&other == this) {
    const BObjectIdentifier copy(*this);  // appending to itself: use the arcs as they were
    Append(copy, implied);
    return;
  }
  if (!implied) m_arcs.push_back(other.Length());
  m_arcs.insert(m_arcs.end(), other.m_arcs.begin(), other.m_arcs.end());
}

void BObjectIdentifier::Set(const BObjectIdentifier& other, unsigned from, unsigned to) {
  const unsigned n = other.Length();
  if (from >= n || (to != kToEnd && to < from)) {
    m_arcs.clear();
    return;
  }
  const unsigned last = (to == kToEnd || to >= n) ? n - 1 : to;
  std::vector<uint32_t> arcs(other.m_arcs.begin() + from, other.m_arcs.begin() + last + 1);
  m_arcs = std::move(arcs);
}

void BObjectIdentifier::Set(unsigned count, const uint32_t* arcs) {
  if (arcs == nullptr) {
    m_arcs.clear();
    return;
  }
  m_arcs.assign(arcs, arcs + count);
}

void BObjectIdentifier::Set(const unsigned char* octets, int length, bool implied) {
  m_arcs.clear();
  if (length < 0 || (length > 0 && octets == nullptr)) return;
  m_arcs.reserve(static_cast<size_t>(length) + (implied ? 0 : 1));
  if (!implied) m_arcs.push_back(static_cast<uint32_t>(length));
  for (int i = 0; i < length; ++i) m_arcs.push_back(octets[i]);
}

int BObjectIdentifier::Compare(const BObjectIdentifier& other) const {
  const size_t n = std::min(m_arcs.size(), other.m_arcs.size());
  for (size_t i = 0; i < n; ++i) {
    if (m_arcs[i] != other.m_arcs[i]) return m_arcs[i] < other.m_arcs[i] ? -1 : 1;
  }
  if (m_arcs.size() == other.m_arcs.size()) return 0;
  return m_arcs.size() < other.m_arcs.size() ? -1 : 1;
}

int BObjectIdentifier::IsStartingSubOidOf(const BObjectIdentifier& other) const {
  if (m_arcs.size() > other.m_arcs.size()) return 0;
  return std::equal(m_arcs.begin(), m_arcs.end(), other.m_arcs.begin()) ? 1 : 0;
}

BString BObjectIdentifier::ToString() const {
  std::string out;
  out.reserve(m_arcs.size() * 4);
  char digits[16];
  for (size_t i = 0; i < m_arcs.size(); ++i) {
    if (i != 0) out += '.';
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, m_arcs[i]);
    out.append(digits, end);
  }
  return BString(std::move(out));
}

}  // namespace QVT
