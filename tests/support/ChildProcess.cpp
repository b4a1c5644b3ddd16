#include "ChildProcess.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace QVT::test {

ChildProcess::~ChildProcess() {
  if (m_pid > 0) {
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::string& logPath) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const int rc = posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) m_pid = -1;
  return rc == 0;
}

bool ChildProcess::Signal(int signal) const {
  return m_pid > 0 && ::kill(m_pid, signal) == 0;
}

int ChildProcess::Wait(int ms) {
  if (m_pid <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
    if (done == m_pid) {
      m_pid = -1;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool ChildProcess::Running() {
  if (m_pid <= 0) return false;
  int status = 0;
  if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
    m_pid = -1;
    return false;
  }
  return true;
}

int RunCommand(const std::string& command, std::string& output, int timeoutSeconds) {
  // `timeout` ends a command that hangs; its own status 124 means that.
  const std::string line = "timeout -k 2 " + std::to_string(timeoutSeconds) + " sh -c '" + [&] {
    std::string quoted;
    for (const char c : command) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted;
  }() + "'";
  output.clear();
  FILE* pipe = ::popen(line.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[4096];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int status = ::pclose(pipe);
  if (!WIFEXITED(status)) return -1;
  const int code = WEXITSTATUS(status);
  return code == 124 ? -1 : code;
}

unsigned short FreeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path);
  out << text;
}

bool WaitUntil(const std::function<bool()>& condition, int ms, int stepMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
  }
}

std::string MakeTempDir(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "XXXXXX";
  // Without a directory of its own a test would write into (and clean up)
  // a shared one: stop the test program instead.
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror(("mkdtemp " + pattern).c_str());
    std::abort();
  }
  return pattern;
}

void RemoveTempDir(const std::string& dir) {
  if (dir.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

std::vector<int> StopAll(std::deque<ChildProcess>& children, int ms) {
  for (ChildProcess& child : children) {
    if (child.Running()) child.Signal(SIGTERM);
  }
  std::vector<int> statuses;
  for (ChildProcess& child : children) statuses.push_back(child.Wait(ms));
  return statuses;
}

}  // namespace QVT::test
