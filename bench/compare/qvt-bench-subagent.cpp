// qvt-bench-subagent: the sub-agent of the side-by-side comparison.
#include <string>
#include <vector>

#include "BenchSubAgent.h"
#include "ProgramSupport.h"

int main(int argc, char** argv) {
  QVT::app::SignalWatcher signals;
  QVT::bench::BenchSubAgent subAgent;
  const int configured = subAgent.Configure(std::vector<std::string>(argv + 1, argv + argc));
  if (configured >= 0) return configured;
  return subAgent.Run(signals.Stopped());
}
