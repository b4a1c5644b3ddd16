// RecordingTrapSender: an ITrapSender that keeps a clone of every trap it is
// handed, with the selector argument, so that tests can inspect what a
// component forwarded after the component's own trap object is gone.
// Thread-safe: components call SendTrap on their own threads.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "BTrap.h"

namespace QVT::test {

class RecordingTrapSender : public ITrapSender {
 public:
  // What SendTrap returns (0 unless a test asks for a failing sender).
  explicit RecordingTrapSender(int result = 0) : m_result(result) {}

  int SendTrap(const BTrap& trap, const char* arg) override;

  size_t Count() const;
  // The i-th trap received (a clone owned by the recorder).
  const BTrap& At(size_t i) const;
  // The i-th selector argument; "<null>" for a null one.
  std::string ArgAt(size_t i) const;

 private:
  int m_result;
  mutable std::mutex m_lock;  // guards the vectors below
  std::vector<std::unique_ptr<BTrap>> m_traps;
  std::vector<std::string> m_args;
};

}  // namespace QVT::test
