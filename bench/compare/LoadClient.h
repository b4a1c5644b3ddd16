// LoadClient: the load generator of the side-by-side comparison, on the
// Net-SNMP client library. It talks SNMPv2c (or SNMPv3 authPriv) to one agent, one synchronous
// request at a time, and checks every answer against the bench MIB (see
// BenchMib.h): the name, the type and the value of every varbind, and that
// a walk returns exactly the table's cells in order and then leaves it.
// The first wrong answer ends the operation with a message naming it.
//
// Every operation is bounded: a request waits at most the time-out (no
// retries), and the whole operation at most `maxSeconds`.
//
// Around the measured loop it reads the CPU time (utime + stime from
// /proc/<pid>/stat) of the processes it was given, and its own.
//
// The probe (bench/isolation.sh) is the one operation that does not wait
// for an answer before the next request: it polls one object at a steady
// rate, like a manager on a timer, and records the latency of every
// request, or that it was lost.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct snmp_pdu;

namespace QVT::bench {

// What one measured operation did and cost.
struct LoadResult {
  std::string op;
  long requests = 0;
  long varbinds = 0;               // varbinds checked (GET: one per request)
  double seconds = 0;              // wall time of the measured loop
  std::vector<double> cpuSeconds;  // per watched process, in --pid order
  double clientCpuSeconds = 0;

  // One line of key=value pairs, for scripts.
  std::string Format() const;
};

// What a probe asks for.
enum class ProbeTarget {
  kSysDescr,     // sysDescr.0: a non-empty OCTET STRING, served by the master itself
  kBenchScalar,  // .1.1.0 of the bench MIB: INTEGER 42, served by a sub-agent
};

// What a probe saw: every request sent, and how it ended.
struct ProbeResult {
  std::string target;
  double rate = 0;     // requests per second asked for
  double seconds = 0;  // from the first request sent to the last one ended
  long sent = 0;
  long ok = 0;          // answered with the expected value
  long lost = 0;        // no answer within the time-out
  long other = 0;       // answered otherwise (an error status, an exception, another value)
  long sendFailed = 0;  // could not be sent at all
  // Outcomes other than ok and lost, by name ("genErr", "noSuchObject", ...).
  std::vector<std::pair<std::string, long>> otherKinds;
  // Latency in ms of every request sent, a lost one as infinity.
  std::vector<double> latencies;

  // One line of key=value pairs: the counts, and p50_ms, p99_ms and max_ms
  // over every request sent (nearest rank; "lost" when the rank falls on a
  // lost request) and max_answered_ms over the answered ones.
  std::string Format() const;
};

class LoadClient {
 public:
  struct Options {
    std::string agent = "127.0.0.1:161";  // host:port of the agent (UDP)
    std::string community = "public";
    // SNMPv3 instead of v2c when a user is given: authPriv with
    // HMAC-SHA-256-192 and AES-128, the keys made from the passwords.
    std::string v3User;
    std::string authPassword;
    std::string privPassword;
    int timeoutMs = 2000;
    double maxSeconds = 120;
    std::vector<pid_t> watched;  // processes whose CPU time is measured
    unsigned long mibArc = 9;    // the bench MIB lives under 1.3.6.1.4.1.32473.<mibArc>
  };

  explicit LoadClient(Options options);
  ~LoadClient();
  LoadClient(const LoadClient&) = delete;
  LoadClient& operator=(const LoadClient&) = delete;

  // Opens the session; false with the reason in Error().
  bool Open();

  // Each operation returns false at the first failure, with the reason in
  // Error(); on success `result` holds the measurement.
  // `count` sequential GETs of .1.1.0 (INTEGER 42).
  bool Get(long count, LoadResult& result);
  // The table walked with GET-NEXT from its OID until the walk leaves it.
  bool Walk(uint32_t rows, LoadResult& result);
  // The same with GET-BULK (non-repeaters 0, `repetitions`).
  bool BulkWalk(uint32_t rows, long repetitions, LoadResult& result);
  // The MIB's behaviour beyond the walks: scalar values and the counter,
  // the last row, missing rows and columns, GET-NEXT across columns and
  // from names with extra arcs, and a GET-BULK with a non-repeater.
  bool Check(uint32_t rows);
  // GETs .1.1.0 until it is answered correctly or `maxSeconds` passed.
  bool WaitReady();
  // Sequential GETs of .1.1.0, each checked, for `seconds` seconds: what one
  // manager gets through in that time.
  bool GetFor(double seconds, LoadResult& result);
  // GETs of `target`, one every 1/`rate` s for `seconds` s, each its own
  // request waiting at most the time-out, sent on time whether or not the
  // earlier ones were answered. Only a failure of the client itself (no
  // socket, over the time limit) is an error; what the agent answered, or
  // that it did not, is counted in `result`. With a `samplesPath`, one line
  // per request goes there: the time it was sent (seconds on the system's
  // monotonic clock, which other processes read too), its latency in ms or
  // "lost", and its outcome.
  bool Probe(double rate, double seconds, ProbeTarget target, const std::string& samplesPath, ProbeResult& result);

  const std::string& Error() const { return m_error; }

 private:
  // Walk (repetitions 0: GET-NEXT) and BulkWalk, their results named `op`.
  bool WalkTable(const std::string& op, uint32_t rows, long repetitions, LoadResult& result);
  // One exchange; false on a time-out, a transport failure or an error
  // status, with the reason in m_error. The caller frees `response`.
  bool Exchange(snmp_pdu* request, snmp_pdu*& response, int expectedErrorStatus = 0);
  bool Fail(const std::string& reason);
  bool OverTime() const;
  // Starts and ends the measurement of the watched processes.
  // False (with the reason) when a watched process's CPU time cannot be read.
  bool StartMeasuring();
  void StopMeasuring(LoadResult& result) const;

  Options m_options;
  void* m_pSession = nullptr;
  std::string m_error;
  double m_deadline = 0;
  double m_started = 0;
  std::vector<double> m_cpuAtStart;
  double m_clientCpuAtStart = 0;
};

// The floor: `count` round trips of a 48-octet UDP datagram between this
// process and a child process that echoes it, on 127.0.0.1 (after 1,000
// unmeasured ones). False with the reason in `error`.
bool MeasureUdpFloor(long count, double maxSeconds, LoadResult& result, std::string& error);

}  // namespace QVT::bench
