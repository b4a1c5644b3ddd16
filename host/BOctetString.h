// BOctetString: octets with a length and a capacity. The capacity is the
// storage allocated; the length is how many octets are in use. A datagram
// buffer is one of these with a fixed capacity whose length the codecs move
// directly, so the length may also hold the "buffer overrun" marker
// 0xFFFFFFFF that the encoder leaves behind.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "BString.h"
#include "QVExport.h"

namespace QVT {

// The view of an octet string as the coders read it: data and length.
struct SASNOctetStr {
  const unsigned char* data = nullptr;
  unsigned length = 0;
};

class QV_API BOctetString {
 public:
  BOctetString() = default;
  BOctetString(unsigned length, const unsigned char* data) { Assign(length, data); }
  explicit BOctetString(std::string_view text);

  // Makes the `length` octets at `data` the content; grows the storage when
  // it is too small (the capacity never shrinks here).
  void Assign(unsigned length, const unsigned char* data);
  void Assign(std::string_view text);
  // Replaces the storage by `length` octets all set to `fill`; the length in
  // use becomes 0.
  void Reserve(unsigned length, unsigned char fill);
  void Clear() { m_length = 0; }

  unsigned char& operator[](unsigned i) { return m_storage[i]; }
  unsigned char operator[](unsigned i) const { return m_storage[i]; }

  unsigned char* Data() { return m_storage.empty() ? nullptr : m_storage.data(); }
  const unsigned char* Data() const { return m_storage.empty() ? nullptr : m_storage.data(); }
  unsigned Length() const { return m_length; }
  void SetLength(unsigned length) { m_length = length; }
  // The length slot itself, for coders that advance it as they write.
  unsigned& LengthRef() { return m_length; }
  unsigned Capacity() const { return static_cast<unsigned>(m_storage.size()); }

  SASNOctetStr View() const { return {Data(), m_length <= Capacity() ? m_length : 0}; }
  std::string_view AsStringView() const;

  // Printable text: the octets themselves when they are all printable
  // characters (tabs, line ends and other blanks included), else hex pairs separated by
  // blanks ("00 1A FF"). An empty string gives an empty text.
  BString ToDispStr() const;
  bool IsPrintable() const;
  BString ToHex() const;

  friend bool operator==(const BOctetString& a, const BOctetString& b) { return a.AsStringView() == b.AsStringView(); }

 private:
  std::vector<unsigned char> m_storage;  // its size is the capacity
  unsigned m_length = 0;
};

}  // namespace QVT
