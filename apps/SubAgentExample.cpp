#include "SubAgentExample.h"

#include <algorithm>
#include <cstring>

#include <QVT/BSAPdu.h>

namespace QVT::app {

namespace {

constexpr unsigned kMaxRetrySeconds = 30;
constexpr int kMaxRows = 10000;

bool ParseRows(const std::string& text, int& first, int& last) {
  int a = 0;
  int b = 0;
  char dash = 0;
  char extra = 0;
  if (std::sscanf(text.c_str(), "%d%c%d%c", &a, &dash, &b, &extra) != 3 || dash != '-') return false;
  if (a < 1 || b < a || b - a >= kMaxRows) return false;
  first = a;
  last = b;
  return true;
}

}  // namespace

void SessionLog::OnSessionLost(const char* reason) {
  Log(SubAgentExample::kProgram, "session with the master at %s lost: %s; opening a new one", master.c_str(), reason);
}

constexpr int kRefusalsLogged = 5;

void SessionLog::OnSessionBack(unsigned int sessionId) {
  if (m_refused > kRefusalsLogged) {
    Log(SubAgentExample::kProgram, "master at %s refused %d more registrations", master.c_str(),
        m_refused - kRefusalsLogged);
  }
  m_refused = 0;
  Log(SubAgentExample::kProgram, "session %u open with the master at %s; MIB registered", sessionId, master.c_str());
}

void SessionLog::OnRegistrationRefused(unsigned int sessionId, const BObjectIdentifier& subtree, int status) {
  if (++m_refused > kRefusalsLogged) return;
  Log(SubAgentExample::kProgram, "master at %s refused %s (session %u): %s", master.c_str(),
      subtree.ToString().c_str(), sessionId, SubAgentStatusText(status).c_str());
}

SubAgentExample::SubAgentExample() : m_config(SubAgentKeys()) {}

SubAgentExample::~SubAgentExample() = default;

std::string SubAgentExample::Usage() {
  return std::string("Usage: ") + kProgram +
         " [-c FILE] [--description TEXT] [--rows FIRST-LAST] [--no-scalars] [-t]\n"
         "\n"
         "An example sub-agent serving QVT-EXAMPLE-MIB through a qvt-master-agent.\n"
         "\n"
         "Options:\n"
         "  -c, --config FILE     configuration file (default: ./qvt.conf if present, else built-in defaults)\n"
         "  --description TEXT    the sub-agent's description (qvtExDescr.0, qvtExShareOwner)\n"
         "  --rows FIRST-LAST     the qvtExShareTable rows to serve (default 1-10)\n"
         "  --no-scalars          serve neither the scalars nor qvtExDynTable (for a second instance)\n"
         "  -t, --trace           print the library's trace lines on standard error\n"
         "  -h, --help            show this help and exit\n"
         "  -V, --version         show the version and exit\n"
         "\n"
         "Configuration keys (INI file):\n"
         "  [SubAgent]\n"
         "  MasterAddress=127.0.0.1:10001  the master's sub-agent port\n"
         "  PingInterval=10                seconds between pings (0: no pings)\n"
         "  MasterTimeout=3                seconds to wait for each answer of the master\n"
         "  MaxProcTime=3                  seconds the master waits for each of our answers\n"
         "  ListenAddress=                 local address to use (default: the one that reaches the master)\n"
         "\n"
         "Re-opens its session and registers again when the master restarts. Stops cleanly on\n"
         "SIGINT or SIGTERM. Exit status: 0 after a clean stop, 2 when the arguments or the\n"
         "configuration cannot be used.\n";
}

int SubAgentExample::Fail(const std::string& message) {
  Log(kProgram, "%s", message.c_str());
  return kExitUsage;
}

int SubAgentExample::Configure(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string value;
    std::string error;
    const CommonOption common = TakeCommonOption(args, i, kProgram, Usage(), m_trace, m_configPath, error);
    if (common == CommonOption::kExit) return kExitOk;
    if (common == CommonOption::kError) return Fail(error);
    if (common == CommonOption::kTaken) continue;
    if (arg == "--no-scalars") {
      m_withScalars = false;
    } else if (TakeOption(args, i, nullptr, "description", value, error)) {
      m_description = value;
    } else if (TakeOption(args, i, nullptr, "rows", value, error)) {
      if (!ParseRows(value, m_firstRow, m_lastRow)) {
        return Fail("--rows '" + value + "': expected FIRST-LAST with 1 <= FIRST <= LAST and at most " +
                    std::to_string(kMaxRows) + " rows");
      }
    } else if (!error.empty()) {
      return Fail(error);
    } else {
      return Fail("unknown argument '" + arg + "' (see --help)");
    }
  }

  std::string error;
  if (!LoadConfiguration(kProgram, m_config, m_configPath, error) || !CheckSubAgentSection(m_config, error)) {
    return Fail(error);
  }
  return -1;
}

int SubAgentExample::Run(TEvent& stop) {
  if (m_trace && !m_tracePrinter.Start()) Log(kProgram, "warning: cannot subscribe to the trace channel");
  FillSubAgentSettings(m_config, m_settings);
  const int status = m_subAgent.Init(&m_settings);
  if (status != 0 && !m_subAgent.InitError().empty()) return Fail(m_subAgent.InitError().str());
  if (status != 0) return Fail("cannot open the sub-agent's sockets: " + SubAgentStatusText(status));
  m_mib = std::make_unique<ExampleMib>(m_subAgent, m_description, m_firstRow, m_lastRow, m_withScalars);
  if (!m_mib->InstallLocally()) return Fail("cannot register the example MIB locally");

  // The library keeps the session: it opens it, announces the MIB (which
  // AnnounceToMaster only records while no session is open), and opens a
  // new one whenever the master loses ours.
  m_sessionLog.master = QVAddressToString(m_subAgent.MasterAddress()).str();
  m_subAgent.KeepSession(BString(m_description), &m_sessionLog, kMaxRetrySeconds);
  std::string what;
  (void)m_mib->AnnounceToMaster(what);
  m_subAgent.Start();
  while (stop.Wait(kWaitForever) != 0) {
  }

  Log(kProgram, "stopping");
  m_subAgent.Stop();
  if (m_subAgent.IsSessionOpen()) m_subAgent.CloseSession();
  Log(kProgram, "stopped");
  return kExitOk;
}

}  // namespace QVT::app
