#include "BOctetString.h"

#include <cstring>

namespace QVT {

BOctetString::BOctetString(std::string_view text) {
  Assign(text);
}

void BOctetString::Assign(unsigned length, const unsigned char* data) {
  if (length > m_storage.size()) {
    const bool aliased =
        data != nullptr && !m_storage.empty() && data >= m_storage.data() && data < m_storage.data() + m_storage.size();
    if (aliased) {
      std::vector<unsigned char> copy(data, data + length);
      m_storage = std::move(copy);
      m_length = length;
      return;
    }
    m_storage.resize(length);
  }
  if (length != 0 && data != nullptr) std::memmove(m_storage.data(), data, length);
  m_length = data == nullptr ? 0 : length;
}

void BOctetString::Assign(std::string_view text) {
  Assign(static_cast<unsigned>(text.size()), reinterpret_cast<const unsigned char*>(text.data()));
}

void BOctetString::Reserve(unsigned length, unsigned char fill) {
  m_storage.assign(length, fill);
  m_length = 0;
}

std::string_view BOctetString::AsStringView() const {
  const SASNOctetStr v = View();
  return {reinterpret_cast<const char*>(v.data), v.length};
}

bool BOctetString::IsPrintable() const {
  for (const char c : AsStringView()) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 || u > 0x7E) && (u < '\t' || u > '\r')) return false;  // \t \n \v \f \r count as text
  }
  return true;
}

BString BOctetString::ToHex() const {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  const std::string_view octets = AsStringView();
  out.reserve(octets.size() * 3);
  for (const char c : octets) {
    const auto u = static_cast<unsigned char>(c);
    if (!out.empty()) out += ' ';
    out += kDigits[u >> 4];
    out += kDigits[u & 0x0F];
  }
  return BString(std::move(out));
}

BString BOctetString::ToDispStr() const {
  if (IsPrintable()) return BString(AsStringView());
  return ToHex();
}

}  // namespace QVT
