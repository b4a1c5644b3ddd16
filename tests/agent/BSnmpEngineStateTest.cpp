// The engine's persistent state in a scratch folder: first start, restarts,
// configured engine IDs, the boots limit, corrupt files and failed writes.
#include "BSnmpEngineState.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "ChildProcess.h"

namespace QVT {
namespace {

namespace fs = std::filesystem;

const std::string kStoredId = "80007ED905A1B2C3D4E5F60718";
const std::string kOtherId = "800000020109840301";

class BSnmpEngineStateTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(m_folder); }
  void WriteFile(const std::string& content) const { test::WriteFile(m_path, content); }
  std::string ReadFile() const { return test::ReadFile(m_path); }
  // The folder holds the state file only: no temporary file was left.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_folder)) names.push_back(entry.path().filename().string());
    return names;
  }
  static std::string StateFile(const std::string& id, const std::string& boots) {
    return "EngineID=" + id + "\nEngineBoots=" + boots + "\n";
  }

  const fs::path m_folder = test::MakeTempDir("qv-engine-state-");
  const std::string m_path = (m_folder / "engine.state").string();
};

TEST_F(BSnmpEngineStateTest, FirstStartGeneratesAnEngineIdAndEachRestartCountsABoot) {
  std::string generated;
  for (uint32_t boot = 1; boot <= 3; ++boot) {
    SCOPED_TRACE("start " + std::to_string(boot));
    BSnmpEngineState state(m_path);
    std::string error;
    ASSERT_EQ(state.Start("", &error), ENGINE_STATE_OK) << error;
    EXPECT_EQ(state.EngineBoots(), boot);
    const std::string id = BSnmpEngineState::EngineIdToHex(state.EngineId());
    if (boot == 1) {
      // enterprise 32473 with the top bit, format 5, 8 random octets
      ASSERT_EQ(state.EngineId().size(), 13u);
      EXPECT_EQ(id.substr(0, 10), "80007ED905");
      generated = id;
    }
    EXPECT_EQ(id, generated) << "the stored ID is kept";
    const std::string file = ReadFile();
    EXPECT_NE(file.find(StateFile(generated, std::to_string(boot))), std::string::npos) << file;
    EXPECT_EQ(Files(), std::vector<std::string>{"engine.state"});
  }
  // Another engine's first start draws other random octets.
  fs::remove(m_path);
  BSnmpEngineState other(m_path);
  ASSERT_EQ(other.Start(""), ENGINE_STATE_OK);
  EXPECT_NE(BSnmpEngineState::EngineIdToHex(other.EngineId()), generated);
  EXPECT_EQ(other.EngineBoots(), 1u);
}

// Boots belong to an engine ID: a configured ID other than the stored one
// starts them again at 1; at 2147483647 they stay.
TEST_F(BSnmpEngineStateTest, ConfiguredEngineIdAndBootsLimit) {
  struct Case {
    const char* name;
    std::optional<std::string> stored;  // the file's content, if there is one
    std::string configured;
    std::string id;
    uint32_t boots;
  };
  const std::string stored5 = StateFile(kStoredId, "5"), atLimit = StateFile(kStoredId, "2147483647");
  const Case cases[] = {
      {"configured, no file", std::nullopt, kOtherId, kOtherId, 1},
      {"configured, same as stored", stored5, kStoredId, kStoredId, 6},
      {"configured in lowercase with 0x", stored5, "0x80007ed905a1b2c3d4e5f60718", kStoredId, 6},
      {"configured, other than stored", stored5, kOtherId, kOtherId, 1},
      {"not configured, stored", stored5, "", kStoredId, 6},
      {"stored boots 0", StateFile(kStoredId, "0"), "", kStoredId, 1},
      {"comments, blanks and CRLF", "# state\r\n\r\n  EngineBoots = 9 \r\nEngineID=" + kStoredId + "\r\n", "",
       kStoredId, 10},
      {"one below the limit", StateFile(kStoredId, "2147483646"), "", kStoredId, 2147483647},
      {"at the limit", atLimit, "", kStoredId, 2147483647},
      {"at the limit, new engine ID", atLimit, kOtherId, kOtherId, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(m_path);
    if (c.stored) WriteFile(*c.stored);
    BSnmpEngineState state(m_path);
    std::string error;
    ASSERT_EQ(state.Start(c.configured, &error), ENGINE_STATE_OK) << error;
    EXPECT_EQ(BSnmpEngineState::EngineIdToHex(state.EngineId()), c.id);
    EXPECT_EQ(state.EngineBoots(), c.boots);
    EXPECT_NE(ReadFile().find(StateFile(c.id, std::to_string(c.boots))), std::string::npos) << ReadFile();
  }
}

TEST_F(BSnmpEngineStateTest, CorruptFileIsAnErrorNamingFileAndLineAndIsKept) {
  struct Case {
    const char* name;
    std::string content;
    std::string where;  // after the path
  };
  const std::string id = "EngineID=" + kStoredId + "\n";
  const Case cases[] = {
      {"boots not a number", id + "EngineBoots=x\n", ":2: EngineBoots is not a number"},
      {"negative boots", id + "EngineBoots=-1\n", ":2: EngineBoots is not a number"},
      {"boots over the limit", id + "EngineBoots=2147483648\n", ":2: EngineBoots is not a number"},
      {"boots empty", id + "EngineBoots=\n", ":2: EngineBoots is not a number"},
      {"not Key=Value", "# c\nnonsense\n" + id, ":2: not a Key=Value line"},
      {"odd hex", "EngineID=80007ED905A\nEngineBoots=1\n", ":1: EngineID is not hex"},
      {"not hex", "EngineID=80007ED905ZZ\nEngineBoots=1\n", ":1: EngineID is not hex"},
      {"engine ID of 4 octets", "EngineID=80007ED9\nEngineBoots=1\n", ":1: EngineID is not hex text of 5 to 32"},
      {"engine ID twice", id + "EngineBoots=1\n" + id, ":3: EngineID given twice (first on line 1)"},
      {"boots twice", id + "EngineBoots=1\nEngineBoots=2\n", ":3: EngineBoots given twice"},
      {"unknown key", id + "EngineBoots=1\nEngineTime=5\n", ":3: unknown key \"EngineTime\""},
      {"no boots", id, ": no EngineBoots line"},
      {"no engine ID", "EngineBoots=1\n", ": no EngineID line"},
      {"empty file", "", ": no EngineID line"},
      {"last line cut short", id + "EngineBoots=1", ":2: the last line has no line end"},
      {"binary", std::string("\0\x01\x02\n", 4), ":1: not a Key=Value line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(c.content);
    BSnmpEngineState state(m_path);
    std::string error;
    EXPECT_EQ(state.Start("", &error), ENGINE_STATE_CORRUPT);
    EXPECT_EQ(error.rfind(m_path + c.where, 0), 0u) << error;
    EXPECT_EQ(state.EngineBoots(), 0u);
    EXPECT_TRUE(state.EngineId().empty());
    EXPECT_EQ(ReadFile(), c.content) << "never reset";
    EXPECT_EQ(Files(), std::vector<std::string>{"engine.state"});
    // A configured engine ID does not paper over a corrupt file either.
    EXPECT_EQ(state.Start(kOtherId, &error), ENGINE_STATE_CORRUPT);
  }
}

TEST_F(BSnmpEngineStateTest, UnusableConfigurationAndPathsAreErrors) {
  struct Case {
    const char* name;
    std::string path;
    std::string configured;
    ESnmpEngineStateStatus status;
    std::string inError;
  };
  const std::string missingFolder = (m_folder / "missing" / "engine.state").string();
  fs::create_directory(m_folder / "folder");
  const std::string folder = (m_folder / "folder").string();
  const Case cases[] = {
      {"engine ID too short", m_path, "80007ED9", ENGINE_STATE_BAD_ENGINE_ID, "engine ID \"80007ED9\""},
      {"engine ID too long", m_path, std::string(66, 'A'), ENGINE_STATE_BAD_ENGINE_ID, "not hex text of 5 to 32"},
      {"engine ID not hex", m_path, "80007ED9GG", ENGINE_STATE_BAD_ENGINE_ID, "not hex"},
      {"folder missing", missingFolder, "", ENGINE_STATE_IO, missingFolder + ": cannot create a temporary file"},
      {"path is a folder", folder, "", ENGINE_STATE_IO, folder + ": cannot read"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BSnmpEngineState state(c.path);
    std::string error;
    EXPECT_EQ(state.Start(c.configured, &error), c.status);
    EXPECT_NE(error.find(c.inError), std::string::npos) << error;
    EXPECT_EQ(state.EngineBoots(), 0u);
  }
  EXPECT_FALSE(fs::exists(m_path)) << "nothing written for a bad engine ID";
  EXPECT_FALSE(fs::exists(m_folder / "missing"));
}

// A write that fails at the rename leaves the old file as it was and no
// temporary file behind; the temporary file was complete and synced.
class FailingRename : public BSnmpEngineState {
 public:
  using BSnmpEngineState::BSnmpEngineState;
  int ReplaceFile(const std::string& temporary, const std::string& target) override {
    seen = test::ReadFile(temporary);
    return fail ? -1 : BSnmpEngineState::ReplaceFile(temporary, target);
  }
  bool fail = true;
  std::string seen;
};

TEST_F(BSnmpEngineStateTest, FailedWriteKeepsTheOldFileAndRemovesTheTemporaryOne) {
  const std::string before = StateFile(kStoredId, "5");
  WriteFile(before);
  FailingRename state(m_path);
  std::string error;
  EXPECT_EQ(state.Start("", &error), ENGINE_STATE_IO);
  EXPECT_EQ(error.rfind(m_path + ": cannot rename", 0), 0u) << error;
  EXPECT_NE(state.seen.find(StateFile(kStoredId, "6")), std::string::npos) << state.seen;
  EXPECT_EQ(ReadFile(), before);
  EXPECT_EQ(Files(), std::vector<std::string>{"engine.state"});
  EXPECT_EQ(state.EngineBoots(), 0u) << "not started";

  state.fail = false;
  ASSERT_EQ(state.Start("", &error), ENGINE_STATE_OK) << error;
  EXPECT_EQ(state.EngineBoots(), 6u) << "the failed start counted no boot";
  EXPECT_EQ(Files(), std::vector<std::string>{"engine.state"});
}

TEST_F(BSnmpEngineStateTest, EngineTimeCountsSecondsSinceStart) {
  BSnmpEngineState state(m_path);
  ASSERT_EQ(state.Start(""), ENGINE_STATE_OK);
  const uint32_t first = state.EngineTime();
  EXPECT_TRUE(test::WaitUntil([&] { return state.EngineTime() > first; }, 10000, 10)) << "the seconds count up";
}

}  // namespace
}  // namespace QVT
