// qvt-subagent-example: an example sub-agent serving QVT-EXAMPLE-MIB.
#include <string>
#include <vector>

#include "ProgramSupport.h"
#include "SubAgentExample.h"

int main(int argc, char** argv) {
  QVT::app::SignalWatcher signals;
  QVT::app::SubAgentExample subAgent;
  const int configured = subAgent.Configure(std::vector<std::string>(argv + 1, argv + argc));
  if (configured >= 0) return configured;
  return subAgent.Run(signals.Stopped());
}
