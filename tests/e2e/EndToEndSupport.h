// What both end-to-end tests need: where the programs and the MIBs are,
// whether the Net-SNMP tools are installed, and the lines of their output.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace QVT::test {

inline const std::string kMaster = QV_MASTER_AGENT_PATH;
inline const std::string kSubAgent = QV_SUBAGENT_EXAMPLE_PATH;
inline const std::string kMibs = QV_MIBS_DIR;

// True when every program of `tools` (space separated) is on the PATH.
inline bool HaveTools(const std::string& tools) {
  std::string out;
  return RunCommand("command -v " + tools, out) == 0;
}

// The lines of `text` that are not empty.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

}  // namespace QVT::test
