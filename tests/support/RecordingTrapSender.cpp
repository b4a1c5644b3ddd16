#include "RecordingTrapSender.h"

namespace QVT::test {

int RecordingTrapSender::SendTrap(const BTrap& trap, const char* arg) {
  std::unique_ptr<BTrap> copy(trap.Clone());
  std::lock_guard<std::mutex> guard(m_lock);
  m_traps.push_back(std::move(copy));
  m_args.emplace_back(arg != nullptr ? arg : "<null>");
  return m_result;
}

size_t RecordingTrapSender::Count() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_traps.size();
}

const BTrap& RecordingTrapSender::At(size_t i) const {
  std::lock_guard<std::mutex> guard(m_lock);
  return *m_traps.at(i);
}

std::string RecordingTrapSender::ArgAt(size_t i) const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_args.at(i);
}

}  // namespace QVT::test
