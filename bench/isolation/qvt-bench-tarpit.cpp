// qvt-bench-tarpit: a sub-agent that hangs while its session stays open
// (bench/isolation.sh). It opens a session announcing a processing time
// (default 3599 s, the most a session may announce), registers the subtree
// 1.3.6.1.4.1.32473.A, prints "op=tarpit ready ..." and then reads every
// request the master sends and answers none, until SIGINT or SIGTERM (or
// --max-seconds). At the end it prints how many requests it left
// unanswered. It neither pings nor closes its session.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BObjectIdentifier.h"
#include "BenchCommandLine.h"
#include "RawSession.h"

namespace {

constexpr const char* kProgram = "qvt-bench-tarpit";
volatile std::sig_atomic_t s_stop = 0;

void OnStopSignal(int /*signal*/) {
  s_stop = 1;
}

int Usage(FILE* out, int status) {
  std::fprintf(out,
               "Usage: %s --master HOST:PORT [--mib-arc A] [--processing-time S] [--max-seconds S]\n"
               "\n"
               "Opens a session announcing S seconds of processing time (1..3599, default 3599),\n"
               "registers 1.3.6.1.4.1.32473.A (default 12), and never answers a request; stops on\n"
               "SIGINT or SIGTERM, or after --max-seconds (default 3600).\n",
               kProgram);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::string master;
  long arc = 12;
  long processing = 3599;
  long maxSeconds = 3600;
  QVT::bench::CommandLine line(kProgram, Usage);
  line.Text("--master", master)
      .Number("--mib-arc", 1, 1000000, arc)
      .Number("--processing-time", 1, 3599, processing)
      .Number("--max-seconds", 1, 86400, maxSeconds);
  if (const int status = line.Parse(argc, argv); status >= 0) return status;
  if (master.empty()) {
    std::fprintf(stderr, "%s: --master HOST:PORT is needed\n", kProgram);
    return Usage(stderr, 2);
  }
  std::signal(SIGTERM, OnStopSignal);
  std::signal(SIGINT, OnStopSignal);

  QVT::bench::RawSession session;
  const QVT::BObjectIdentifier subtree{1, 3, 6, 1, 4, 1, 32473, static_cast<uint32_t>(arc)};
  int verdict = -1;
  if (!session.Init(master) || !session.Open("QVT bench tarpit", static_cast<int>(processing), 10.0) ||
      !session.Register(subtree, "bench tarpit", verdict)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, session.Error().c_str());
    return 1;
  }
  if (verdict != 0) {
    std::fprintf(stderr, "%s: registering %s was answered %d\n", kProgram, subtree.ToString().c_str(), verdict);
    return 1;
  }
  std::printf("op=tarpit ready session=%u subtree=%s processing_time=%ld\n", session.SessionId(),
              subtree.ToString().c_str(), processing);
  std::fflush(stdout);

  QVT::bench::RawSession::Ignored ignored;
  session.IgnoreRequests(static_cast<double>(maxSeconds), s_stop, ignored);
  std::printf("op=tarpit unanswered=%ld gets=%ld others=%ld\n", ignored.requests, ignored.gets, ignored.others);
  return 0;
}
