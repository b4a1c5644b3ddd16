#include "BMemoryStore.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace QVT {

bool QVParseInt(const char* text, int& value) {
  if (text == nullptr) return false;
  while (*text == ' ' || *text == '\t') ++text;
  if (*text == '\0') return false;
  errno = 0;
  char* end = nullptr;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text || errno == ERANGE || parsed < INT32_MIN || parsed > INT32_MAX) return false;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') return false;
  value = static_cast<int>(parsed);
  return true;
}

int QVGetIntFromString(INonVolatile& store, const char* section, const char* key, int* value) {
  BString text;
  const int status = store.GetString(section, key, text, 0);
  if (status != NV_OK) return status;
  int parsed = 0;
  if (!QVParseInt(text.c_str(), parsed)) return NV_ERR_BAD_VALUE;
  if (value != nullptr) *value = parsed;
  return NV_OK;
}

int BMemoryStore::GetString(const char* section, const char* key, BString& value, int /*reserved*/) {
  if (section == nullptr || key == nullptr) return NV_ERR_NOT_FOUND;
  std::lock_guard<std::mutex> guard(m_lock);
  const auto it = m_values.find({section, key});
  if (it == m_values.end()) return NV_ERR_NOT_FOUND;
  value = BString(it->second);
  return NV_OK;
}

int BMemoryStore::GetInt(const char* section, const char* key, int* value, int /*reserved*/) {
  return QVGetIntFromString(*this, section, key, value);
}

int BMemoryStore::SetString(const char* section, const char* key, const char* value, int, int) {
  if (section == nullptr || key == nullptr) return NV_ERR_BAD_VALUE;
  std::lock_guard<std::mutex> guard(m_lock);
  m_values[{section, key}] = value == nullptr ? "" : value;
  return NV_OK;
}

int BMemoryStore::SetInt(const char* section, const char* key, int value, int, int, int) {
  return SetString(section, key, std::to_string(value).c_str(), 0, 0);
}

}  // namespace QVT
