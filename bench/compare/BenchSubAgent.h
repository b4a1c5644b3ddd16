// BenchSubAgent: the qvt-bench-subagent program as a class. It serves
// BenchMib with N table rows through a qvt-master-agent: it opens a session
// (retrying until the master answers), registers the scalars and the table
// as two subtrees, and answers the master until it is stopped.
//
// It is the measured sub-agent of bench/compare.sh, so it does nothing
// beyond that: no reconnection after a master restart (the comparison
// starts and stops both programs together).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BSASubAgent.h"
#include "BenchMib.h"
#include "ProgramSupport.h"
#include "TEvent.h"

namespace QVT::bench {

class BenchSubAgent {
 public:
  static constexpr const char* kProgram = "qvt-bench-subagent";

  BenchSubAgent();
  ~BenchSubAgent();

  // Reads the command line and the configuration; -1 to go on, else the exit
  // status (after --help, --version, or a one-line error).
  int Configure(const std::vector<std::string>& args);
  // Serves until `stop` is set; returns the exit status.
  int Run(QVT::TEvent& stop);

  static std::string Usage();

 private:
  int Fail(const std::string& message);
  // Opens the session and registers both subtrees, retrying every
  // kRetryMs until it works or `stop` is set. False when stopped first.
  bool Connect(QVT::TEvent& stop);

  std::string m_configPath;
  uint32_t m_rows = 1000;
  uint32_t m_arc = kBenchMibArc;
  bool m_trace = false;
  app::Configuration m_config;
  app::TracePrinter m_tracePrinter{kProgram};
  BSASubAgent m_subAgent;
  std::unique_ptr<BenchMib> m_mib;
};

}  // namespace QVT::bench
