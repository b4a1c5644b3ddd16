// qvt-master-agent: the master agent daemon.
#include <string>
#include <vector>

#include "MasterAgent.h"
#include "ProgramSupport.h"

int main(int argc, char** argv) {
  QVT::app::SignalWatcher signals;
  QVT::app::MasterAgent agent;
  const int configured = agent.Configure(std::vector<std::string>(argv + 1, argv + argc));
  if (configured >= 0) return configured;
  return agent.Run(signals.Stopped());
}
