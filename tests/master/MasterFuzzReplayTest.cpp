// The seed corpus of qv_fuzz_mastersessions replayed through the same
// harness (fuzz/MasterSessionsHarness.h), which aborts at the first broken
// invariant of the session table; and what the corpus as a whole must reach,
// so that the seeds keep covering what they were written for.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "../../fuzz/MasterSessionsHarness.h"

namespace QVT::test {
namespace {

TEST(MasterFuzzReplayTest, EveryCorpusFileKeepsTheSessionTableConsistent) {
  fuzz::MasterSessionsStats stats;
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(QV_MASTER_SESSIONS_CORPUS_DIR)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  ASSERT_GE(files.size(), 10u);
  for (const std::filesystem::path& path : files) {
    SCOPED_TRACE(path.filename().string());
    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> octets{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    const int opened = stats.sessionsOpened;
    EXPECT_EQ(fuzz::RunMasterSessions(octets.data(), octets.size(), &stats), 0);
    EXPECT_GT(stats.sessionsOpened, opened) << "every seed opens a session";
  }
  EXPECT_EQ(stats.runs, static_cast<int>(files.size()));

  // Sessions from both loopback hosts, and every way a session ends.
  EXPECT_EQ(stats.openingHosts, (std::set<uint32_t>{0x7F000001, 0x7F000002})) << "10.0.0.1 is outside AllowFrom";
  using enum ISAMasterEvents::ECloseReason;
  for (const auto reason : {kClosedBySubAgent, kNoAnswer, kClosedByMaster, kIdle}) {
    EXPECT_GT(stats.closed[static_cast<int>(reason)], 0) << static_cast<int>(reason);
  }

  // What the sessions held.
  EXPECT_GE(stats.peakRegistrations, 3u);
  EXPECT_GE(stats.peakRangeInstances, 2u);
  EXPECT_GE(stats.peakIndexValues, 2u);
  EXPECT_GT(stats.traps, 0);
  EXPECT_GT(stats.answers, 0) << "the master's answers reach the senders' sockets";

  // Every kind of drop and refusal the seeds were written for.
  for (const ESAMasterCounter counter :
       {SA_CNT_NOT_ALLOWED, SA_CNT_SHORT_DATAGRAMS, SA_CNT_MALFORMED, SA_CNT_WRONG_ADDRESS, SA_CNT_UNKNOWN_SESSION,
        SA_CNT_RETRANSMISSIONS, SA_CNT_SESSIONS_REFUSED, SA_CNT_REG_PROTECTED, SA_CNT_REG_OVERLAP,
        SA_CNT_REG_NOT_ALLOWED, SA_CNT_REG_DUPLICATE, SA_CNT_REG_QUOTA, SA_CNT_RANGE_TOO_LARGE, SA_CNT_INDEX_QUOTA,
        SA_CNT_INDEX_NOT_OWNER, SA_CNT_NOTIFY_RATE, SA_CNT_SESSIONS_NO_ANSWER, SA_CNT_SESSIONS_IDLE}) {
    EXPECT_GT(stats.counters[counter], 0u) << QVSAMasterCounterName(counter);
  }
}

}  // namespace
}  // namespace QVT::test
