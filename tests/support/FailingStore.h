// FailingStore: a settings store over BMemoryStore whose writes of chosen
// keys fail with NV_ERR_IO, and that records every key written to, for tests
// of what a component does when its configuration cannot be saved.
#pragma once

#include <set>
#include <string>

#include "BMemoryStore.h"

namespace QVT::test {

class FailingStore : public BMemoryStore {
 public:
  // Writes of `key` fail from now on.
  void FailWritesOf(const std::string& key) { m_failing.insert(key); }
  // The keys written to (attempts included), in key order.
  const std::set<std::string>& Written() const { return m_written; }

  int SetString(const char* section, const char* key, const char* value, int reserved1, int reserved2) override {
    m_written.insert(key);
    if (m_failing.count(key) != 0) return NV_ERR_IO;
    return BMemoryStore::SetString(section, key, value, reserved1, reserved2);
  }
  int SetInt(const char* section, const char* key, int value, int reserved1, int reserved2, int reserved3) override {
    m_written.insert(key);
    if (m_failing.count(key) != 0) return NV_ERR_IO;
    return BMemoryStore::SetInt(section, key, value, reserved1, reserved2, reserved3);
  }

 private:
  std::set<std::string> m_failing;
  std::set<std::string> m_written;
};

}  // namespace QVT::test
