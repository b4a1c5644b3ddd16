// BString: owned text with a length, the host's string type. It is a thin,
// deep-copying wrapper over std::string that offers the small set of
// operations the protocol code is written against, plus the usual
// conveniences for application code.
#pragma once

#include <string>
#include <string_view>

#include "QVExport.h"

namespace QVT {

class QV_API BString {
 public:
  BString() = default;
  BString(const char* text);  // NOLINT(google-explicit-constructor): text literals convert freely
  BString(const char* text, unsigned length);
  BString(std::string text) : m_text(std::move(text)) {}  // NOLINT(google-explicit-constructor)
  explicit BString(std::string_view text) : m_text(text) {}

  // Replaces the text by `length` characters from `text` (null gives empty).
  void Init(const char* text, unsigned length);
  void Assign(const char* text);
  void Assign(const BString& other) { m_text = other.m_text; }
  void Append(const char* text, unsigned length);
  void Append(const char* text) { Append(text, Strlen(text)); }
  void Append(const BString& other) { m_text += other.m_text; }

  // Length of a C string; 0 for a null pointer.
  static unsigned Strlen(const char* text);
  // 0 when the `n` characters from `pos` equal the `length` characters of
  // `text`; otherwise negative or positive as std::string::compare.
  int compare(unsigned pos, unsigned n, const char* text, unsigned length) const;
  // The empty text a string without storage reads as.
  static const char* _Nullstr() { return ""; }  // NOLINT(bugprone-reserved-identifier)

  const char* c_str() const { return m_text.c_str(); }
  unsigned length() const { return static_cast<unsigned>(m_text.size()); }
  bool empty() const { return m_text.empty(); }
  const std::string& str() const { return m_text; }
  std::string_view view() const { return m_text; }

  friend bool operator==(const BString& a, const BString& b) { return a.m_text == b.m_text; }
  friend bool operator<(const BString& a, const BString& b) { return a.m_text < b.m_text; }

 private:
  std::string m_text;
};

}  // namespace QVT
