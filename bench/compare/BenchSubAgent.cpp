#include "BenchSubAgent.h"

#include <cerrno>
#include <cstdlib>

#include "BSAPdu.h"

namespace QVT::bench {

namespace {

constexpr int kRetryMs = 200;

// A decimal number from 1 to `max`.
bool ParseNumber(const std::string& text, uint32_t max, uint32_t& number) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < 1 || value > max) return false;
  number = static_cast<uint32_t>(value);
  return true;
}

// The largest arc accepted for --mib-arc.
constexpr uint32_t kMaxArc = 1000000;

}  // namespace

BenchSubAgent::BenchSubAgent() : m_config(app::SubAgentKeys()) {}

BenchSubAgent::~BenchSubAgent() = default;

std::string BenchSubAgent::Usage() {
  return std::string("Usage: ") + kProgram +
         " [-c FILE] [--rows N] [--mib-arc A] [-t]\n"
         "\n"
         "The sub-agent of the side-by-side comparison (bench/compare.sh): serves the bench MIB\n"
         "under 1.3.6.1.4.1.32473.9 (scalars .1, a read-only table .2 with N computed rows)\n"
         "through a qvt-master-agent.\n"
         "\n"
         "Options:\n"
         "  -c, --config FILE  configuration file (default: ./qvt.conf if present, else built-in defaults)\n"
         "  --rows N           rows of the table, 1.." +
         std::to_string(kMaxBenchRows) +
         " (default 1000)\n"
         "  --mib-arc A        serve the MIB under 1.3.6.1.4.1.32473.A instead of .9 (1.." +
         std::to_string(kMaxArc) +
         "), so that several\n"
         "                     sub-agents serve it side by side (bench/isolation.sh)\n"
         "  -t, --trace        print the library's trace lines on standard error\n"
         "  -h, --help         show this help and exit\n"
         "  -V, --version      show the version and exit\n"
         "\n"
         "Configuration keys (INI file): [SubAgent] MasterAddress, PingInterval, MasterTimeout,\n"
         "MaxProcTime, as for qvt-subagent-example. Stops cleanly on SIGINT or SIGTERM.\n";
}

int BenchSubAgent::Fail(const std::string& message) {
  app::Log(kProgram, "%s", message.c_str());
  return app::kExitUsage;
}

int BenchSubAgent::Configure(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string value;
    std::string error;
    const app::CommonOption common = app::TakeCommonOption(args, i, kProgram, Usage(), m_trace, m_configPath, error);
    if (common == app::CommonOption::kExit) return app::kExitOk;
    if (common == app::CommonOption::kError) return Fail(error);
    if (common == app::CommonOption::kTaken) continue;
    if (app::TakeOption(args, i, nullptr, "rows", value, error)) {
      if (!ParseNumber(value, kMaxBenchRows, m_rows)) {
        return Fail("--rows '" + value + "': expected a number from 1 to " + std::to_string(kMaxBenchRows));
      }
    } else if (app::TakeOption(args, i, nullptr, "mib-arc", value, error)) {
      if (!ParseNumber(value, kMaxArc, m_arc)) {
        return Fail("--mib-arc '" + value + "': expected a number from 1 to " + std::to_string(kMaxArc));
      }
    } else if (!error.empty()) {
      return Fail(error);
    } else {
      return Fail("unknown argument '" + arg + "' (see --help)");
    }
  }

  std::string error;
  if (!app::LoadConfiguration(kProgram, m_config, m_configPath, error) || !app::CheckSubAgentSection(m_config, error)) {
    return Fail(error);
  }
  return -1;
}

bool BenchSubAgent::Connect(QVT::TEvent& stop) {
  bool reported = false;
  for (;;) {
    int status = m_subAgent.OpenSession(BString("QVT bench sub-agent"));
    const char* what = "opening a session";
    if (status == 0) {
      what = "registering the scalars";
      status = m_subAgent.Register(&m_mib->Scalars());
    }
    if (status == 0) {
      what = "registering the table";
      status = m_subAgent.Register(&m_mib->Table());
    }
    if (status == 0) {
      app::Log(kProgram, "session %u open; bench MIB registered under 1.3.6.1.4.1.32473.%u with %u rows",
               m_subAgent.SessionId(), m_arc, m_rows);
      return true;
    }
    if (!reported) {
      app::Log(kProgram, "%s failed: %s; retrying every %d ms", what, app::SubAgentStatusText(status).c_str(),
               kRetryMs);
      reported = true;
    }
    if (m_subAgent.IsSessionOpen()) {
      m_subAgent.CloseSession();
      m_subAgent.ForgetSession();
    }
    if (stop.Wait(kRetryMs) == 0) return false;
  }
}

int BenchSubAgent::Run(QVT::TEvent& stop) {
  if (m_trace && !m_tracePrinter.Start()) app::Log(kProgram, "warning: cannot subscribe to the trace channel");
  const int status = m_subAgent.Init(m_config.Store());
  if (status != 0) return Fail("cannot open the sub-agent's sockets: " + app::SubAgentStatusText(status));
  m_mib = std::make_unique<BenchMib>(m_rows, m_arc);
  if (m_subAgent.m_mibHandler.RegisterSubtreeHandler(&m_mib->Scalars()) == 0 ||
      m_subAgent.m_mibHandler.RegisterSubtreeHandler(&m_mib->Table()) == 0) {
    return Fail("cannot register the bench MIB locally");
  }
  if (Connect(stop)) {
    m_subAgent.Start();
    stop.Wait(kWaitForever);
  }
  app::Log(kProgram, "stopping");
  m_subAgent.Stop();
  if (m_subAgent.IsSessionOpen()) m_subAgent.CloseSession();
  app::Log(kProgram, "stopped");
  return app::kExitOk;
}

}  // namespace QVT::bench
