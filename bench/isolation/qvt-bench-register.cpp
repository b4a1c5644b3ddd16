// qvt-bench-register: registration at scale against qvt-master-agent
// (bench/isolation.sh). One session registers COUNT subtrees
// BASE.(k / 1000).(k % 1000), each with its own registerSubtree request,
// keeping up to WINDOW requests unanswered at a time; every answer is
// checked. Then, with --quota-check, one registration more must be refused
// with requestDenied (the session holds exactly MaxRegistrations = COUNT);
// then the session is closed and the time until the close is answered
// measured.
//
// It prints one line of key=value pairs; the *_at values are seconds on
// the system's monotonic clock, the clock the probe of qvt-bench-load
// stamps its samples with. Exit status 0 when every answer was right, 1
// when one was not (or none came), 2 for unusable arguments.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BSAPdu.h"
#include "BenchCommandLine.h"
#include "RawSession.h"

namespace {

constexpr const char* kProgram = "qvt-bench-register";

int Usage(FILE* out, int status) {
  std::fprintf(out,
               "Usage: %s --master HOST:PORT [--count N] [--window W] [--base OID] [--quota-check]\n"
               "                          [--max-seconds S]\n"
               "\n"
               "Opens a session with the master, registers N subtrees BASE.(k/1000).(k%%1000) (default\n"
               "100000 under 1.3.6.1.4.1.32473.20) with at most W requests unanswered (default 64),\n"
               "checks every answer, then closes the session; prints the times.\n"
               "  --quota-check    after the N registrations one more must be refused with\n"
               "                   requestDenied (start the master with MaxRegistrations=N)\n"
               "  --max-seconds S  time limit of the registrations (default 120)\n",
               kProgram);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::string master;
  std::string base = "1.3.6.1.4.1.32473.20";
  long count = 100000;
  long window = 64;
  long maxSeconds = 120;
  bool quotaCheck = false;
  QVT::bench::CommandLine line(kProgram, Usage);
  line.Text("--master", master)
      .Text("--base", base)
      .Number("--count", 1, 1000000, count)
      .Number("--window", 1, 1024, window)
      .Number("--max-seconds", 1, 3600, maxSeconds)
      .Flag("--quota-check", quotaCheck);
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  const QVT::BObjectIdentifier baseOid(base.c_str());
  if (master.empty() || baseOid.Length() < 2) {
    std::fprintf(stderr, "%s: --master HOST:PORT and a --base OID of two arcs or more are needed\n", kProgram);
    return Usage(stderr, 2);
  }

  QVT::bench::RawSession session;
  auto fail = [&](const char* step) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, step, session.Error().c_str());
    return 1;
  };
  if (!session.Init(master)) return fail("set-up");
  if (!session.Open("QVT bench registrations", 0, 10.0)) return fail("openSession");

  QVT::bench::RawSession::Pipelined registered;
  if (!session.RegisterMany(baseOid, count, static_cast<int>(window), 0.5, static_cast<double>(maxSeconds),
                            registered)) {
    return fail("registrations");
  }

  const char* quota = "skipped";
  if (quotaCheck) {
    QVT::BObjectIdentifier extra = baseOid;
    extra.Append(static_cast<uint32_t>(count / 1000));
    extra.Append(static_cast<uint32_t>(count % 1000));
    int verdict = 0;
    if (!session.Register(extra, "bench registration over the quota", verdict)) return fail("quota check");
    if (verdict != QVT::SA_WIRE_REQUEST_DENIED) {
      std::fprintf(stderr, "%s: quota check: registration %ld was answered %d%s, expected requestDenied\n", kProgram,
                   count + 1, verdict, QVT::QVSAErr2Str(verdict));
      return 1;
    }
    quota = "ok";
  }

  const double closeAt = QVT::bench::MonotonicSeconds();
  double closeSeconds = 0;
  if (!session.Close(closeSeconds)) return fail("closeSession");

  const double seconds = registered.endedAt - registered.startedAt;
  std::printf(
      "op=register count=%ld window=%ld register_start_at=%.6f register_end_at=%.6f register_seconds=%.6f "
      "rate=%.1f resent=%ld duplicate_after_resend=%ld stray_answers=%ld quota_check=%s close_start_at=%.6f "
      "close_end_at=%.6f close_seconds=%.6f\n",
      count, window, registered.startedAt, registered.endedAt, seconds,
      seconds > 0 ? static_cast<double>(registered.registered) / seconds : 0.0, registered.resent,
      registered.duplicateAfterResend, registered.strayAnswers, quota, closeAt, closeAt + closeSeconds,
      closeSeconds);
  return 0;
}
