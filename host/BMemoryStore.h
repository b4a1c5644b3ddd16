// BMemoryStore: a settings store kept in memory, for tests and for
// applications that build their configuration in code.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "INonVolatile.h"
#include "QVExport.h"

namespace QVT {

class QV_API BMemoryStore : public INonVolatile {
 public:
  int GetString(const char* section, const char* key, BString& value, int reserved) override;
  int GetInt(const char* section, const char* key, int* value, int reserved) override;
  int SetString(const char* section, const char* key, const char* value, int reserved1, int reserved2) override;
  int SetInt(const char* section, const char* key, int value, int reserved1, int reserved2, int reserved3) override;

 private:
  std::mutex m_lock;  // guards m_values
  std::map<std::pair<std::string, std::string>, std::string> m_values;
};

}  // namespace QVT
