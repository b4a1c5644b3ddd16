// What the end-to-end tests share: where the programs and the MIBs are, the
// lines of the tools' output, and a fixture that runs the programs.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"

namespace QVT::test {

inline const std::string kMaster = QV_MASTER_AGENT_PATH;
inline const std::string kSubAgent = QV_SUBAGENT_EXAMPLE_PATH;
inline const std::string kMibs = QV_MIBS_DIR;

// The lines of `text` that are not empty.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// One test's programs in a scratch directory, on free ports: the master reads master.conf there, the example
// sub-agents sub.conf (written by SetUp). Every program still running gets SIGTERM at the end; the directory
// goes unless the test failed. Without the Net-SNMP tools `tools` the test is skipped.
class ProgramsTest : public ::testing::Test {
 protected:
  ProgramsTest(std::string tools, int pingInterval) : m_tools(std::move(tools)), m_pingInterval(pingInterval) {}

  void SetUp() override {
    std::string out;
    if (RunCommand("command -v " + m_tools, out) != 0) GTEST_SKIP() << "the Net-SNMP tools are not installed";
    m_dir = MakeTempDir("qvt-e2e-");
    WriteFile(m_dir + "/sub.conf", "[SubAgent]\nMasterAddress=127.0.0.1:" + std::to_string(m_masterPort) +
                                       "\nPingInterval=" + std::to_string(m_pingInterval) +
                                       "\nMasterTimeout=1\nMaxProcTime=1\n");
  }

  void TearDown() override {
    StopAll(m_programs, 5000);
    if (!HasFailure()) RemoveTempDir(m_dir);
  }

  // Starts a program with its output in `log` in the directory; null when it cannot be started.
  ChildProcess* Start(const std::vector<std::string>& argv, const std::string& log) {
    ChildProcess& child = m_programs.emplace_back();
    return child.Start(argv, m_dir + "/" + log) ? &child : nullptr;
  }
  void StartMaster() { ASSERT_TRUE(m_master = Start({kMaster, "-c", m_dir + "/master.conf"}, "master.log")); }
  ChildProcess* StartSubAgent(const std::string& description, std::vector<std::string> args) {
    args.insert(args.begin(), {kSubAgent, "-c", m_dir + "/sub.conf", "--description", description});
    return Start(args, description + ".log");
  }

  // Runs `tool` (with its options) against the master's SNMP port: its output and error lines.
  std::string Ask(const std::string& tool, const std::string& args) const {
    std::string out;
    RunCommand(tool + " 127.0.0.1:" + std::to_string(m_snmpPort) + " " + args + " 2>&1", out, 60);
    return out;
  }
  std::string Log(const std::string& name) const { return ReadFile(m_dir + "/" + name + ".log"); }

  std::string m_tools;
  int m_pingInterval;
  std::string m_dir;
  unsigned short m_snmpPort = FreeUdpPort();
  unsigned short m_masterPort = FreeUdpPort();
  ChildProcess* m_master = nullptr;
  std::deque<ChildProcess> m_programs;
};

}  // namespace QVT::test
