// The seed corpus of qv_fuzz_mastersessions replayed through the same
// harness (fuzz/MasterSessionsHarness.h), which aborts at the first broken
// invariant of the session table; and what the corpus as a whole must reach,
// so that the seeds keep covering what they were written for.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../fuzz/MasterSessionsHarness.h"

namespace QVT::test {
namespace {

std::vector<std::filesystem::path> CorpusFiles() {
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(QV_MASTER_SESSIONS_CORPUS_DIR)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<uint8_t> Octets(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

TEST(MasterFuzzReplayTest, EveryCorpusFileKeepsTheSessionTableConsistent) {
  fuzz::MasterSessionsStats stats;
  const std::vector<std::filesystem::path> files = CorpusFiles();
  ASSERT_GE(files.size(), 10u);
  for (const std::filesystem::path& path : files) {
    SCOPED_TRACE(path.filename().string());
    const std::vector<uint8_t> octets = Octets(path);
    const int opened = stats.sessionsOpened;
    EXPECT_EQ(fuzz::RunMasterSessions(octets.data(), octets.size(), &stats), 0);
    EXPECT_GT(stats.sessionsOpened, opened) << "every seed opens a session";
  }
  EXPECT_EQ(stats.runs, static_cast<int>(files.size()));

  // Sessions from both loopback hosts, and every way a session ends.
  EXPECT_EQ(stats.openingHosts.count(0x7F000001), 1u);
  EXPECT_EQ(stats.openingHosts.count(0x7F000002), 1u);
  EXPECT_EQ(stats.openingHosts.size(), 2u) << "10.0.0.1 is outside AllowFrom";
  EXPECT_GT(stats.closed[static_cast<int>(ISAMasterEvents::ECloseReason::kClosedBySubAgent)], 0);
  EXPECT_GT(stats.closed[static_cast<int>(ISAMasterEvents::ECloseReason::kNoAnswer)], 0);
  EXPECT_GT(stats.closed[static_cast<int>(ISAMasterEvents::ECloseReason::kClosedByMaster)], 0);
  EXPECT_GT(stats.closed[static_cast<int>(ISAMasterEvents::ECloseReason::kIdle)], 0);

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
