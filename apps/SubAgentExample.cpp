#include "SubAgentExample.h"

#include <algorithm>
#include <cstring>

#include "BSAPdu.h"

namespace QVT::app {

namespace {

constexpr unsigned kFirstRetrySeconds = 1;
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

void ReconnectingSubAgent::OnPingResponse(int upTime) {
  BSASubAgent::OnPingResponse(upTime);
  m_timeoutsInARow = 0;
  // A ping answered with notOpen reaches us as up-time 0: the master does
  // not know our session (it restarted, or it closed the session). A master
  // whose up-time is 0 answers the same, and so does a ping that went out
  // with the session a reconnect has just replaced: ask once more, with the
  // session we hold now, and believe the answer only if that session is
  // still ours when it comes (a reconnect may have opened another meanwhile).
  int again = 0;
  const unsigned int session = SessionId();
  if (upTime == 0 && Ping(again) == SA_WIRE_NOT_OPEN && SessionId() == session) {
    m_reason = "the master does not know our session";
    m_reconnect.Set();
  }
}

void ReconnectingSubAgent::SessionOpened() {
  m_timeoutsInARow = 0;
  m_reconnect.Reset();
}

void ReconnectingSubAgent::OnPingTimeout(int value) {
  BSASubAgent::OnPingTimeout(value);
  if (++m_timeoutsInARow >= kTimeoutsBeforeReconnect) {
    m_timeoutsInARow = 0;
    m_reason = "the master does not answer pings";
    m_reconnect.Set();
  }
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

bool SubAgentExample::Connect(TEvent& stop) {
  unsigned delay = kFirstRetrySeconds;
  for (;;) {
    const std::string master = QVAddressToString(m_subAgent.MasterAddress()).str();
    // A session of ours that could not be closed before (its close got no
    // answer) is closed first, so that its registrations do not stand in
    // the way of the new ones.
    if (m_staleSession != 0) {
      const int closed = m_subAgent.CloseSession(m_staleSession);
      if (closed == 0 || closed == SA_WIRE_NOT_OPEN) m_staleSession = 0;
    }
    int status = m_staleSession != 0 ? SA_ERR_TIMEOUT : m_subAgent.OpenSession(BString(m_description));
    std::string what = "opening a session";
    if (status == 0) status = m_mib->AnnounceToMaster(what);
    if (status == 0) {
      m_subAgent.SessionOpened();
      Log(kProgram, "session %u open with the master at %s; MIB registered", m_subAgent.SessionId(), master.c_str());
      return true;
    }
    Log(kProgram, "master at %s: %s failed (session %u): %s; next attempt in %u s", master.c_str(), what.c_str(),
        m_subAgent.SessionId(), SubAgentStatusText(status).c_str(), delay);
    // Whatever part of the session exists is dropped before the next try, so
    // that no stale registration of ours stands in the way.
    if (m_subAgent.IsSessionOpen()) DropSession();
    if (stop.Wait(delay * 1000) == 0) return false;
    delay = std::min(delay * 2, kMaxRetrySeconds);
  }
}

void SubAgentExample::DropSession() {
  const unsigned int session = m_subAgent.SessionId();
  const int status = m_subAgent.CloseSession();
  if (status != 0 && status != SA_WIRE_NOT_OPEN) m_staleSession = session;
  m_subAgent.ForgetSession();
}

int SubAgentExample::Run(TEvent& stop) {
  if (m_trace && !m_tracePrinter.Start()) Log(kProgram, "warning: cannot subscribe to the trace channel");
  FillSubAgentSettings(m_config, m_settings);
  const int status = m_subAgent.Init(&m_settings);
  if (status != 0 && !m_subAgent.InitError().empty()) return Fail(m_subAgent.InitError().str());
  if (status != 0) return Fail("cannot open the sub-agent's sockets: " + SubAgentStatusText(status));
  m_mib = std::make_unique<ExampleMib>(m_subAgent, m_description, m_firstRow, m_lastRow, m_withScalars);
  if (!m_mib->InstallLocally()) return Fail("cannot register the example MIB locally");

  if (Connect(stop)) {
    m_subAgent.Start();
    for (;;) {
      if (stop.Wait(200) == 0) break;
      if (m_subAgent.ReconnectRequested().Wait(0) != 0) continue;
      m_subAgent.ReconnectRequested().Reset();
      Log(kProgram, "%s; opening a new session", m_subAgent.Reason());
      DropSession();  // the master may still hold it; no harm when it does not
      if (!Connect(stop)) break;
    }
  }

  Log(kProgram, "stopping");
  m_subAgent.Stop();
  if (m_subAgent.IsSessionOpen()) m_subAgent.CloseSession();
  Log(kProgram, "stopped");
  return kExitOk;
}

}  // namespace QVT::app
