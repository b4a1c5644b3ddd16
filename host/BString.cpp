#include "BString.h"

#include <cstring>

namespace QVT {

BString::BString(const char* text) {
  if (text != nullptr) m_text.assign(text);
}

BString::BString(const char* text, unsigned length) {
  Init(text, length);
}

void BString::Init(const char* text, unsigned length) {
  if (text == nullptr) {
    m_text.clear();
    return;
  }
  m_text.assign(text, length);
}

void BString::Assign(const char* text) {
  if (text == nullptr) {
    m_text.clear();
    return;
  }
  m_text.assign(text);
}

void BString::Append(const char* text, unsigned length) {
  if (text != nullptr) m_text.append(text, length);
}

unsigned BString::Strlen(const char* text) {
  return text == nullptr ? 0 : static_cast<unsigned>(std::strlen(text));
}

int BString::compare(unsigned pos, unsigned n, const char* text, unsigned length) const {
  if (pos > m_text.size()) return text == nullptr || length == 0 ? 0 : -1;
  return m_text.compare(pos, n, text == nullptr ? "" : text, text == nullptr ? 0 : length);
}

}  // namespace QVT
