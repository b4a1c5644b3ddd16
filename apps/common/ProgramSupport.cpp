#include "ProgramSupport.h"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <QVT/BAddress.h>
#include <QVT/BSAPdu.h>
#include <QVT/INonVolatile.h>
#include <QVT/QVSubAgTrace.h>

namespace QVT::app {

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string TimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millis));
  return text;
}

}  // namespace

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto octet = static_cast<unsigned char>(c);
    if (octet < 0x20 || octet == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", octet);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

// Under systemd standard error may be the journal (JOURNAL_STREAM names
// it by device and inode), which stamps every line itself and takes a
// "<N>" prefix as the line's priority.
bool ErrorIsTheJournal() {
  static const bool journal = [] {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat info {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           ::fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
  }();
  return journal;
}

void Log(const char* program, const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (ErrorIsTheJournal()) {
    const bool warning = std::strncmp(text, "warning: ", 9) == 0;
    std::fprintf(stderr, "%s%s: %s\n", warning ? "<4>" : "", program, Printable(text).c_str());
  } else {
    std::fprintf(stderr, "%s %s: %s\n", TimeStamp().c_str(), program, Printable(text).c_str());
  }
  std::fflush(stderr);
}

bool LineRateLimit::Take(unsigned long long& heldBack) {
  heldBack = 0;
  const auto now = std::chrono::steady_clock::now();
  if (now - m_windowStart >= std::chrono::seconds(1)) {
    m_windowStart = now;
    m_inWindow = 0;
  }
  if (m_inWindow >= m_perSecond) {
    ++m_heldBack;
    return false;
  }
  ++m_inWindow;
  heldBack = m_heldBack;
  m_heldBack = 0;
  return true;
}

TracePrinter::~TracePrinter() {
  if (m_subscribed) BMessageDispatcher::Instance()->Unsubscribe(SA_TRACE_MESSAGE_TYPE, this);
}

bool TracePrinter::Start() {
  m_subscribed = QVSubAgTraceSubscribe(this) == 0;
  return m_subscribed;
}

void TracePrinter::OnMessage(const BMessage& message) {
  // Trace lines carry no line end of their own (some end with one); one
  // line per message on the terminal.
  std::string text = message.Text().str();
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  std::fprintf(stderr, "%s %s: %s\n", TimeStamp().c_str(), m_program.c_str(), Printable(text).c_str());
}

bool Configuration::Load(const std::string& path, std::string& error) {
  std::string chosen = path;
  if (chosen.empty()) {
    if (access("qvt.conf", F_OK) != 0) return true;
    chosen = "qvt.conf";
  }
  auto store = std::make_unique<BIniFileStore>(chosen);
  std::string reason;
  const int status = store->Load(&reason);
  if (status == NV_ERR_NOT_FOUND) {
    error = chosen + ": no such file";
    return false;
  }
  if (status != NV_OK) {
    error = reason.empty() ? chosen + ": cannot be read" : reason;
    return false;
  }
  store->SetAutoSave(false);
  m_path = chosen;
  m_store = std::move(store);
  return true;
}

std::vector<std::string> Configuration::Warnings() const {
  std::vector<std::string> warnings;
  if (!m_store) return warnings;
  auto at = [&](const std::string& section, const std::string& key) {
    return m_path + ":" + std::to_string(m_store->LineOf(section, key)) + ": ";
  };
  // Lines above the first section header belong to no section: nobody reads them.
  for (const std::string& key : m_store->Keys("")) {
    warnings.push_back(at("", key) + "key '" + key + "' before any [section] ignored");
  }
  for (const std::string& section : m_store->Sections()) {
    // "[user *]" stands for every section whose name starts with "user ".
    auto known = m_known.find(Lower(section));
    const size_t blank = section.find(' ');
    if (known == m_known.end() && blank != std::string::npos) known = m_known.find(Lower(section.substr(0, blank)) + " *");
    // Keys() lists a key once per line that sets it, in file order; the
    // last line counts, and the warning names it as spelt there.
    std::vector<std::string> order;
    std::map<std::string, std::pair<int, std::string>> lines;  // lower case -> count, last spelling
    for (const std::string& key : m_store->Keys(section)) {
      auto& [count, spelling] = lines[Lower(key)];
      if (count++ == 0) order.push_back(Lower(key));
      spelling = key;
    }
    for (const std::string& lower : order) {
      const auto& [count, key] = lines[lower];
      const bool unknown = known == m_known.end() || known->second.count(lower) == 0;
      if (!unknown && count == 1) continue;
      std::string warning = at(section, key);
      warning.append(unknown ? "unknown key '" : "key '").append(key).append("' in [").append(section).append("] ");
      warning += unknown ? "ignored" : "is set " + std::to_string(count) + " times; this last one counts";
      warnings.push_back(std::move(warning));
    }
    if (known == m_known.end() && m_store->Keys(section).empty()) {
      warnings.push_back(m_path + ": unknown section [" + section + "] ignored");
    }
  }
  return warnings;
}

std::string Configuration::Where(const char* section, const char* key) const {
  const int line = m_store ? m_store->LineOf(section, key) : 0;
  std::string where = m_path.empty() ? std::string("configuration") : m_path;
  if (line > 0) where += ":" + std::to_string(line);
  return where + ": [" + section + "] " + key;
}

bool Configuration::GetString(const char* section, const char* key, std::string& value) const {
  if (!m_store) return false;
  BString text;
  if (m_store->GetString(section, key, text, 0) != NV_OK) return false;
  value = text.str();
  return true;
}

bool Configuration::GetInt(const char* section, const char* key, int min, int max, int& value,
                           std::string& error) const {
  std::string text;
  if (!GetString(section, key, text)) return true;
  int parsed = 0;
  if (!QVParseInt(text.c_str(), parsed) || parsed < min || parsed > max) {
    error = Where(section, key) + ": '" + text + "' is not a whole number from " + std::to_string(min) + " to " +
            std::to_string(max);
    return false;
  }
  value = parsed;
  return true;
}

SignalWatcher::SignalWatcher() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  m_thread = std::thread([this, signals] {
    int signal = 0;
    while (sigwait(&signals, &signal) != 0) {
    }
    m_signal.store(signal);
    m_stopped.Set();
  });
}

SignalWatcher::~SignalWatcher() {
  if (!m_stopped.IsSet()) {
    // Nobody signalled: release the waiting thread with a signal of our own.
    // It is blocked in every thread, so it ends the sigwait and nothing else.
    pthread_kill(m_thread.native_handle(), SIGTERM);  // NOLINT(bugprone-bad-signal-to-kill-thread)
  }
  m_thread.join();
}

bool LoadConfiguration(const char* program, Configuration& config, const std::string& path, std::string& error) {
  if (!config.Load(path, error)) return false;
  for (const std::string& warning : config.Warnings()) Log(program, "warning: %s", warning.c_str());
  return true;
}

Configuration::KeySet SubAgentKeys() {
  return {{"subagent", {"masteraddress", "pinginterval", "mastertimeout", "maxproctime", "listenaddress"}}};
}

bool CheckSubAgentSection(const Configuration& config, std::string& error) {
  int number = 0;
  if (!config.GetInt("SubAgent", "PingInterval", 0, 3600, number, error) ||
      !config.GetInt("SubAgent", "MasterTimeout", 1, 3600, number, error) ||
      !config.GetInt("SubAgent", "MaxProcTime", 1, 3599, number, error)) {
    return false;
  }
  std::string address;
  BAddress resolved;
  if (config.GetString("SubAgent", "MasterAddress", address) &&
      (QVResolveAddress(BString(address), resolved) == 0 || resolved.Port() == 0)) {
    error = config.Where("SubAgent", "MasterAddress") + ": '" + address +
            "' is not a host:port (port 1 to 65535) that resolves";
    return false;
  }
  if (config.GetString("SubAgent", "ListenAddress", address) && !address.empty() &&
      QVResolveHost(BString(address), 0, resolved) == 0) {
    error = config.Where("SubAgent", "ListenAddress") + ": '" + address + "' is not an IP address of this host";
    return false;
  }
  return true;
}

void FillSubAgentSettings(const Configuration& config, BMemoryStore& settings) {
  for (const auto& [key, value] : {std::pair<const char*, const char*>{"MasterAddress", "127.0.0.1:10001"},
                                   {"PingInterval", "10"},
                                   {"MasterTimeout", "3"},
                                   {"MaxProcTime", "3"}}) {
    std::string text = value;
    config.GetString("SubAgent", key, text);
    settings.SetString("SubAgent", key, text.c_str(), 0, 0);
  }
  std::string local;
  if (config.GetString("SubAgent", "ListenAddress", local))
    settings.SetString("SubAgent", "ListenAddress", local.c_str(), 0, 0);
}

bool NotifyServiceManager(const std::string& state, std::string& error) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || *name == '\0') return true;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t length = std::strlen(name);
  if ((name[0] != '/' && name[0] != '@') || length >= sizeof(address.sun_path)) {
    error = std::string("NOTIFY_SOCKET '") + name + "' is neither a socket path nor an abstract name";
    return false;
  }
  std::memcpy(address.sun_path, name, length);
  if (name[0] == '@') address.sun_path[0] = '\0';  // the abstract namespace
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("cannot tell the service manager: ") + std::strerror(errno);
    return false;
  }
  const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  const ssize_t sent =
      sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), size);
  const int sendError = errno;
  close(fd);
  if (sent != static_cast<ssize_t>(state.size())) {
    error = std::string("cannot tell the service manager at ") + name + ": " + std::strerror(sendError);
    return false;
  }
  return true;
}

std::string SubAgentStatusText(int status) {
  if (status == SA_ERR_TIMEOUT) return "no answer (timeout)";
  const std::string text = QVSAStatus2Str(status);
  return text.substr(text.find_first_not_of(' '));
}

CommonOption TakeCommonOption(const std::vector<std::string>& args, size_t& i, const char* program,
                              const std::string& usage, bool& trace, std::string& configPath, std::string& error) {
  const std::string& arg = args[i];
  if (arg == "-h" || arg == "--help") {
    std::fputs(usage.c_str(), stdout);
    return CommonOption::kExit;
  }
  if (arg == "-V" || arg == "--version") {
    std::printf("%s %s\n", program, QV_VERSION);
    return CommonOption::kExit;
  }
  if (arg == "-t" || arg == "--trace") {
    trace = true;
    return CommonOption::kTaken;
  }
  if (TakeOption(args, i, "-c", "config", configPath, error)) {
    if (!configPath.empty()) return CommonOption::kTaken;
    // An empty name (an unset shell variable) must not quietly mean the defaults.
    error = "option -c/--config needs a file name";
  }
  return error.empty() ? CommonOption::kNotCommon : CommonOption::kError;
}

bool TakeOption(const std::vector<std::string>& args, size_t& i, const char* shortName, const char* longName,
                std::string& value, std::string& error) {
  const std::string& arg = args[i];
  const std::string longForm = std::string("--") + longName;
  if (arg == longForm || (shortName != nullptr && arg == shortName)) {
    if (i + 1 >= args.size()) {
      error = "option " + arg + " needs a value";
      return false;
    }
    value = args[++i];
    return true;
  }
  if (arg.rfind(longForm + "=", 0) == 0) {
    value = arg.substr(longForm.size() + 1);
    return true;
  }
  return false;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    std::string part = text.substr(start, comma - start);
    const size_t first = part.find_first_not_of(" \t");
    const size_t last = part.find_last_not_of(" \t");
    if (first != std::string::npos) parts.push_back(part.substr(first, last - first + 1));
    start = comma + 1;
  }
  return parts;
}

}  // namespace QVT::app
