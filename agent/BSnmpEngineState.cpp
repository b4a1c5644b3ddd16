#include "BSnmpEngineState.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "BFileReplace.h"

namespace QVT {
namespace {

constexpr size_t kMinEngineId = 5;
constexpr size_t kMaxEngineId = 32;
// RFC 3411 SnmpEngineID: enterprise 32473 with the top bit set, format 5.
constexpr unsigned char kGeneratedPrefix[] = {0x80, 0x00, 0x7E, 0xD9, 0x05};
constexpr size_t kGeneratedRandom = 8;
// A state file is a few dozen octets; anything far longer is not one.
constexpr size_t kMaxFile = 65536;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal digits only, no sign, at most 2147483647.
bool ParseBoots(std::string_view text, uint32_t& boots) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value > BSnmpEngineState::kMaxBoots) return false;
  boots = static_cast<uint32_t>(value);
  return true;
}

std::string_view Trim(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::string Reason(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

BSnmpEngineState::BSnmpEngineState(std::string path) : m_path(std::move(path)) {}

bool BSnmpEngineState::ParseEngineId(std::string_view hex, std::vector<unsigned char>& engineId) {
  if (hex.size() >= 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.remove_prefix(2);
  if (hex.size() % 2 != 0 || hex.size() / 2 < kMinEngineId || hex.size() / 2 > kMaxEngineId) return false;
  std::vector<unsigned char> octets;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexValue(hex[i]);
    const int low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    octets.push_back(static_cast<unsigned char>(high * 16 + low));
  }
  engineId = std::move(octets);
  return true;
}

std::string BSnmpEngineState::EngineIdToHex(const std::vector<unsigned char>& engineId) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char octet : engineId) {
    hex += kDigits[octet >> 4];
    hex += kDigits[octet & 0x0F];
  }
  return hex;
}

uint32_t BSnmpEngineState::EngineTime() const {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_started);
  return static_cast<uint32_t>(std::min<int64_t>(seconds.count(), kMaxBoots));
}

ESnmpEngineStateStatus BSnmpEngineState::Start(std::string_view configuredEngineId, std::string* error) {
  std::vector<unsigned char> configured;
  if (!configuredEngineId.empty() && !ParseEngineId(configuredEngineId, configured)) {
    if (error != nullptr) {
      *error = "engine ID \"" + std::string(configuredEngineId) + "\" is not hex text of 5 to 32 octets";
    }
    return ENGINE_STATE_BAD_ENGINE_ID;
  }

  bool found = false;
  std::vector<unsigned char> engineId;
  uint32_t boots = 0;
  if (const ESnmpEngineStateStatus status = Read(found, engineId, boots, error); status != ENGINE_STATE_OK) {
    return status;
  }
  if (!configured.empty() && (!found || configured != engineId)) {
    engineId = std::move(configured);
    boots = 0;  // a new engine ID: its boots start now
  } else if (!found) {
    engineId.assign(std::begin(kGeneratedPrefix), std::end(kGeneratedPrefix));
    unsigned char random[kGeneratedRandom];
    if (RAND_bytes(random, sizeof random) != 1) {
      if (error != nullptr) *error = m_path + ": no random octets for a new engine ID";
      return ENGINE_STATE_IO;
    }
    engineId.insert(engineId.end(), std::begin(random), std::end(random));
    boots = 0;
  }
  if (boots < kMaxBoots) ++boots;

  if (const ESnmpEngineStateStatus status = Write(engineId, boots, error); status != ENGINE_STATE_OK) return status;
  m_engineId = std::move(engineId);
  m_boots = boots;
  m_started = std::chrono::steady_clock::now();
  return ENGINE_STATE_OK;
}

ESnmpEngineStateStatus BSnmpEngineState::Read(bool& found, std::vector<unsigned char>& engineId, uint32_t& boots,
                                              std::string* error) const {
  found = false;
  const int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return ENGINE_STATE_OK;
    if (error != nullptr) *error = m_path + ": " + Reason("cannot open");
    return ENGINE_STATE_IO;
  }
  std::string content;
  char buffer[4096];
  ssize_t n = 0;
  while ((n = ::read(fd, buffer, sizeof buffer)) != 0 && content.size() <= kMaxFile) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  const std::string readError = n < 0 ? Reason("cannot read") : std::string();
  ::close(fd);
  if (!readError.empty()) {
    if (error != nullptr) *error = m_path + ": " + readError;
    return ENGINE_STATE_IO;
  }
  const auto corrupt = [&](int line, const std::string& why) {
    if (error != nullptr) *error = m_path + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + why;
    return ENGINE_STATE_CORRUPT;
  };
  if (content.size() > kMaxFile) return corrupt(0, "longer than any state file");
  // Every line written here ends in a line feed: a last line without one was cut short.
  if (!content.empty() && content.back() != '\n') {
    return corrupt(static_cast<int>(std::count(content.begin(), content.end(), '\n')) + 1,
                   "the last line has no line end (cut short)");
  }
  int idLine = 0;
  int bootsLine = 0;
  std::istringstream lines(content);
  std::string text;
  int number = 0;
  while (std::getline(lines, text)) {
    ++number;
    const std::string_view line = Trim(text);
    if (line.empty() || line[0] == '#') continue;
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) return corrupt(number, "not a Key=Value line");
    const std::string_view key = Trim(line.substr(0, equals));
    const std::string_view value = Trim(line.substr(equals + 1));
    if (key == "EngineID") {
      if (idLine != 0) return corrupt(number, "EngineID given twice (first on line " + std::to_string(idLine) + ")");
      if (!ParseEngineId(value, engineId)) return corrupt(number, "EngineID is not hex text of 5 to 32 octets");
      idLine = number;
    } else if (key == "EngineBoots") {
      if (bootsLine != 0) {
        return corrupt(number, "EngineBoots given twice (first on line " + std::to_string(bootsLine) + ")");
      }
      if (!ParseBoots(value, boots)) return corrupt(number, "EngineBoots is not a number from 0 to 2147483647");
      bootsLine = number;
    } else {
      return corrupt(number, "unknown key \"" + std::string(key) + "\"");
    }
  }
  if (idLine == 0) return corrupt(0, "no EngineID line");
  if (bootsLine == 0) return corrupt(0, "no EngineBoots line");
  found = true;
  return ENGINE_STATE_OK;
}

ESnmpEngineStateStatus BSnmpEngineState::Write(const std::vector<unsigned char>& engineId, uint32_t boots,
                                               std::string* error) {
  std::ostringstream text;
  text << "# SNMP engine state: rewritten at every start; a changed EngineID starts the boots again\n"
       << "EngineID=" << EngineIdToHex(engineId) << "\n"
       << "EngineBoots=" << boots << "\n";
  const auto rename = [this](const std::string& temporary, const std::string& target) {
    return ReplaceFile(temporary, target);
  };
  std::string why;
  if (!QVReplaceFile(m_path, text.str(), 0644, rename, &why)) {
    if (error != nullptr) *error = m_path + ": " + why;
    return ENGINE_STATE_IO;
  }
  return ENGINE_STATE_OK;
}

int BSnmpEngineState::ReplaceFile(const std::string& temporary, const std::string& target) {
  return QVRenameFile(temporary, target);
}

}  // namespace QVT
