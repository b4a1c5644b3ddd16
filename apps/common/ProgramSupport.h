// What both programs share: logging to standard error, the trace printer
// behind --trace, the INI configuration with its checks, and the signal
// watcher that turns SIGINT/SIGTERM into a clean stop.
#pragma once

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <QVT/BIniFileStore.h>
#include <QVT/BMemoryStore.h>
#include <QVT/BMessageDispatcher.h>
#include <QVT/BString.h>
#include <QVT/TEvent.h>

namespace QVT::app {

// Exit statuses of the programs.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 2;  // unusable configuration or arguments

// "<program>: <text>" on standard error, one line, with a UTC time stamp
// (when standard error is systemd's journal: without, since the journal
// stamps lines itself, and with warnings marked as such).
// Control characters (from a sub-agent's description, say) are written as
// \xNN, so that no text can forge or break up log lines.
void Log(const char* program, const char* format, ...) __attribute__((format(printf, 2, 3)));
std::string Printable(const std::string& text);

// At most `perSecond` lines of one kind a second; the rest are only
// counted, and the count is told when the next second's first line is.
class LineRateLimit {
 public:
  explicit LineRateLimit(int perSecond) : m_perSecond(perSecond) {}
  // True when a line may be written now. `heldBack` is set to the lines
  // held back since the last line written (0 most of the time).
  bool Take(unsigned long long& heldBack);

 private:
  int m_perSecond;
  std::chrono::steady_clock::time_point m_windowStart{};
  int m_inWindow = 0;
  unsigned long long m_heldBack = 0;
};

// Prints every library trace line on standard error (-t/--trace).
class TracePrinter : public IMessageSubscriber {
 public:
  explicit TracePrinter(std::string program) : m_program(std::move(program)) {}
  ~TracePrinter() override;
  // Subscribes to the trace channel; false when that failed.
  bool Start();
  void OnMessage(const BMessage& message) override;

 private:
  std::string m_program;
  bool m_subscribed = false;
};

// The configuration file: the sections and keys a program knows, read from
// the INI file through the host store. Unknown sections and keys are
// reported as warnings; checks of values produce one-line errors that name
// the file, the line, the section and the key.
class Configuration {
 public:
  // section -> keys (lower case); a section "word *" covers every section
  // named "word" and something more ("[User alice]").
  using KeySet = std::map<std::string, std::set<std::string>>;

  explicit Configuration(KeySet known) : m_known(std::move(known)) {}

  // Loads `path`; with `path` empty, "./qvt.conf" when it exists, else
  // nothing (built-in defaults). False with the reason in `error` when the
  // file cannot be used.
  bool Load(const std::string& path, std::string& error);
  // Warnings about unknown sections and keys, keys set more than once and
  // keys above the first section, one line each.
  std::vector<std::string> Warnings() const;

  // The store the library reads its own sections from (null when no file).
  BIniFileStore* Store() { return m_store.get(); }
  const std::string& Path() const { return m_path; }

  // Readers with checks. Each leaves `value` as it is when the key is
  // absent and returns false with a one-line `error` when the text is not
  // acceptable.
  bool GetInt(const char* section, const char* key, int min, int max, int& value, std::string& error) const;
  bool GetString(const char* section, const char* key, std::string& value) const;
  // "where: [Section] Key" for error messages.
  std::string Where(const char* section, const char* key) const;

 private:
  KeySet m_known;
  std::string m_path;
  std::unique_ptr<BIniFileStore> m_store;
};

// Blocks SIGINT and SIGTERM in the calling thread and every thread started
// after it, and waits for them on a thread of its own; a signal sets
// Stopped(). Construct it first thing in main().
class SignalWatcher {
 public:
  SignalWatcher();
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

  TEvent& Stopped() { return m_stopped; }
  // The signal that arrived (0 when none).
  int Signal() const { return m_signal.load(); }

 private:
  TEvent m_stopped;
  std::atomic<int> m_signal{0};
  std::thread m_thread;
};

// Loads `path` as Configuration::Load does and logs each warning as
// "<program>: warning: ...". False with the reason in `error`.
bool LoadConfiguration(const char* program, Configuration& config, const std::string& path, std::string& error);

// The [SubAgent] keys every sub-agent program reads (the library reads them
// itself from the store) and their checks, done before the library sees
// them so that a bad value is named in a one-line error.
Configuration::KeySet SubAgentKeys();
bool CheckSubAgentSection(const Configuration& config, std::string& error);
// The [SubAgent] settings for BSASubAgent::Init: the defaults the programs
// document (the library's own differ: no master address without a store,
// a 60-second ping interval when the key is missing) under the values of
// the file, if any.
void FillSubAgentSettings(const Configuration& config, BMemoryStore& settings);

// Tells the service manager that started the program how it stands
// ("READY=1", "STOPPING=1", "STATUS=..." lines), through the datagram
// socket named by NOTIFY_SOCKET: a path, or an abstract name written with
// a leading '@'. Without NOTIFY_SOCKET it does nothing and returns true;
// false with the reason in `error` when the message could not be sent.
bool NotifyServiceManager(const std::string& state, std::string& error);

// A sub-agent status (wire code or negative library status) as text.
std::string SubAgentStatusText(int status);

// The options every program takes: -h/--help and -V/--version (printed,
// then kExit), -t/--trace (sets `trace`) and -c/--config FILE (sets
// `configPath`). kNotCommon leaves args[i] to the program.
enum class CommonOption { kNotCommon, kTaken, kExit, kError };
CommonOption TakeCommonOption(const std::vector<std::string>& args, size_t& i, const char* program,
                              const std::string& usage, bool& trace, std::string& configPath, std::string& error);

// Command-line helpers: "--name=value" or "--name value".
bool TakeOption(const std::vector<std::string>& args, size_t& i, const char* shortName, const char* longName,
                std::string& value, std::string& error);

// Splits "a,b , c" at commas, trimming blanks; empty parts dropped.
std::vector<std::string> SplitList(const std::string& text);

}  // namespace QVT::app
