#include "TestSupport.h"

#include <atomic>
#include <cctype>
#include <stdexcept>

namespace QVT::test {

int NextTransaction() {
  static std::atomic<int> last{7000};
  return ++last;
}

std::vector<unsigned char> FromHex(const std::string& hex) {
  std::vector<unsigned char> octets;
  int high = -1;
  for (const char c : hex) {
    if (std::isspace(static_cast<unsigned char>(c))) continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) throw std::invalid_argument("not hex: " + hex);
    const int nibble = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10;
    if (high < 0) {
      high = nibble;
    } else {
      octets.push_back(static_cast<unsigned char>(high << 4 | nibble));
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("odd number of hex digits: " + hex);
  return octets;
}

std::string ToHex(const unsigned char* data, size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    if (i != 0) out += ' ';
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0x0F];
  }
  return out;
}

}  // namespace QVT::test
