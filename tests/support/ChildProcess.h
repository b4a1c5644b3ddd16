// Helpers for tests that run real programs: a child process with its
// output in a log file, a shell command with a time limit, free UDP ports,
// and bounded waiting for a condition.
#pragma once

#include <sys/types.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace QVT::test {

class ChildProcess {
 public:
  ChildProcess() = default;
  // A child still running is killed (SIGKILL) and reaped.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (a path) with the arguments; standard output and error
  // go to `logPath`. False when it cannot be started.
  bool Start(const std::vector<std::string>& argv, const std::string& logPath);
  bool Signal(int signal) const;
  // Waits up to `ms` for the child to end: its exit status, 128 + the
  // signal that ended it, or -1 when it still runs.
  int Wait(int ms);
  bool Running();
  pid_t Pid() const { return m_pid; }

 private:
  pid_t m_pid = -1;
};

// Runs `command` through /bin/sh with a time limit; its standard output in
// `output` (standard error is left to the caller's redirections). Returns
// its exit status, or -1 when it did not finish in time.
int RunCommand(const std::string& command, std::string& output, int timeoutSeconds = 30);

// A UDP port on 127.0.0.1 that was free a moment ago.
unsigned short FreeUdpPort();

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);

// Polls `condition` every `stepMs` until it holds or `ms` have passed.
bool WaitUntil(const std::function<bool()>& condition, int ms, int stepMs = 100);

// A fresh directory under /tmp, removed by the caller; the test program
// aborts when none can be made.
std::string MakeTempDir(const std::string& prefix);

// Removes `dir` and everything in it; nothing when `dir` is empty.
void RemoveTempDir(const std::string& dir);

// Sends SIGTERM to every child still running, so that they stop side by
// side, then waits up to `ms` for each: their statuses, as Wait gives them.
std::vector<int> StopAll(std::deque<ChildProcess>& children, int ms);

}  // namespace QVT::test
