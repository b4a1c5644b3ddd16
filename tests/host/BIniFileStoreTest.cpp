// Settings stores: the in-memory store and the INI file store share the
// INonVolatile contract (round trip, GetInt keeps its preset on failure);
// the INI store also parses its files, names malformed lines, saves in
// place of only the changed lines, and never leaves a half-written file.
#include "BIniFileStore.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "BMemoryStore.h"

namespace QVT {
namespace {

// An INI store whose save can be cut off just before the rename.
class FailingRenameStore : public BIniFileStore {
 public:
  using BIniFileStore::BIniFileStore;
  bool failRename = true;

 protected:
  int ReplaceFile(const std::string& temporary, const std::string& target) override {
    return failRename ? -1 : BIniFileStore::ReplaceFile(temporary, target);
  }
};

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "qvhost-ini-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    m_dir = pattern;
    m_path = m_dir + "/qvt.conf";
  }
  void TearDown() override {
    for (const std::string& name : DirEntries()) ::unlink((m_dir + "/" + name).c_str());
    ::rmdir(m_dir.c_str());
  }

  void WriteFile(const std::string& text) const { std::ofstream(m_path, std::ios::binary) << text; }
  std::string ReadFile() const {
    std::ifstream in(m_path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::vector<std::string> DirEntries() const {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(m_dir.c_str())) {
      while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      ::closedir(dir);
    }
    return names;
  }
  // Loads the file into `store`, failing the test on any error.
  void Load(BIniFileStore& store) const {
    std::string error;
    ASSERT_EQ(store.Load(&error), NV_OK) << error;
  }
  static std::string Get(INonVolatile& store, const char* section, const char* key) {
    BString value("<none>");
    store.GetString(section, key, value, 0);
    return value.str();
  }

  std::string m_dir;
  std::string m_path;
};

// The shared contract, run against both stores.
void CheckRoundTripAndIntegerReads(INonVolatile& store) {
  EXPECT_EQ(store.SetString("SubAgent", "MasterAddress", "127.0.0.1:10001", 0, 0), NV_OK);
  EXPECT_EQ(store.SetInt("SAMaster", "Port", -10001, 0, 0, 0), NV_OK);
  BString text;
  EXPECT_EQ(store.GetString("SubAgent", "MasterAddress", text, 0), NV_OK);
  EXPECT_EQ(text.str(), "127.0.0.1:10001");
  int port = 0;
  EXPECT_EQ(store.GetInt("SAMaster", "Port", &port, 0), NV_OK);
  EXPECT_EQ(port, -10001);
  EXPECT_EQ(store.GetString("SAMaster", "Port", text, 0), NV_OK);
  EXPECT_EQ(text.str(), "-10001");

  // clang-format off
  const struct {
    const char* stored;  // null: the key is absent
    int status;
    int value;
  } kReads[] = {
      {nullptr, NV_ERR_NOT_FOUND, 77}, {"42", NV_OK, 42}, {"+7", NV_OK, 7}, {"-2147483648", NV_OK, -2147483647 - 1},
      {"2147483647", NV_OK, 2147483647}, {"2147483648", NV_ERR_BAD_VALUE, 77}, {"-2147483649", NV_ERR_BAD_VALUE, 77},
      {"99999999999999999999", NV_ERR_BAD_VALUE, 77}, {"12abc", NV_ERR_BAD_VALUE, 77}, {"abc", NV_ERR_BAD_VALUE, 77},
      {"", NV_ERR_BAD_VALUE, 77}, {"0x10", NV_ERR_BAD_VALUE, 77}, {"1.5", NV_ERR_BAD_VALUE, 77},
      {"- 1", NV_ERR_BAD_VALUE, 77}};
  // clang-format on
  for (const auto& c : kReads) {
    SCOPED_TRACE(c.stored == nullptr ? "(absent)" : c.stored);
    const char* key = c.stored == nullptr ? "Absent" : "Value";
    if (c.stored != nullptr) {
      ASSERT_EQ(store.SetString("Ints", key, c.stored, 0, 0), NV_OK);
    }
    int value = 77;
    EXPECT_EQ(store.GetInt("Ints", key, &value, 0), c.status);
    EXPECT_EQ(value, c.value);
  }
  int value = 77;
  EXPECT_EQ(store.GetInt("NoSuchSection", "Port", &value, 0), NV_ERR_NOT_FOUND);
  EXPECT_EQ(value, 77);
  // Null names are refused, not dereferenced.
  EXPECT_NE(store.GetString(nullptr, "Port", text, 0), NV_OK);
  EXPECT_NE(store.GetInt("SAMaster", nullptr, &value, 0), NV_OK);
  EXPECT_NE(store.SetString(nullptr, "Port", "1", 0, 0), NV_OK);
  EXPECT_NE(store.SetInt("SAMaster", nullptr, 1, 0, 0, 0), NV_OK);
}

TEST_F(SettingsStoreTest, MemoryStoreRoundTripsAndKeepsPresetsOnFailedReads) {
  BMemoryStore store;
  CheckRoundTripAndIntegerReads(store);
}

TEST_F(SettingsStoreTest, IniStoreRoundTripsThroughItsFile) {
  {
    BIniFileStore store(m_path);
    EXPECT_EQ(store.Load(), NV_ERR_NOT_FOUND);
    CheckRoundTripAndIntegerReads(store);
  }
  BIniFileStore reread(m_path);
  Load(reread);
  EXPECT_EQ(Get(reread, "SubAgent", "MasterAddress"), "127.0.0.1:10001");
  EXPECT_EQ(Get(reread, "SAMaster", "Port"), "-10001");
  EXPECT_EQ(Get(reread, "Ints", "Value"), "- 1");
}

TEST_F(SettingsStoreTest, IniParsingHandlesCommentsBlanksAndCase) {
  WriteFile(
      "; leading comment\n"
      "# another comment\n"
      "\n"
      "  [ SAMaster ]   ; the master\n"
      "Port = 10001 ; UDP port for sub-agents\n"
      "\tName=qvt#1\r\n"
      "Url=http://x;y\n"
      "Empty=\n"
      "OnlyComment= ; nothing\n"
      "[subagent]\n"
      "MasterAddress=127.0.0.1:10001\t# tab before the comment\n"
      "PingInterval=10\n"
      "pinginterval=20\n");
  BIniFileStore store(m_path);
  Load(store);
  // clang-format off
  const struct {
    const char* section;
    const char* key;
    const char* value;
  } kValues[] = {
      {"SAMaster", "Port", "10001"}, {"samaster", "PORT", "10001"}, {"SAMaster", "Name", "qvt#1"},
      {"SAMaster", "Url", "http://x;y"}, {"SAMaster", "Empty", ""}, {"SAMaster", "OnlyComment", ""},
      {"SubAgent", "MasterAddress", "127.0.0.1:10001"},
      {"SubAgent", "PingInterval", "20"},  // the later line wins
      {"SubAgent", "Port", "<none>"}, {"Other", "Port", "<none>"}};
  // clang-format on
  for (const auto& c : kValues) {
    SCOPED_TRACE(std::string(c.section) + "/" + c.key);
    EXPECT_EQ(Get(store, c.section, c.key), c.value);
  }
  EXPECT_EQ(store.Sections(), (std::vector<std::string>{"SAMaster", "subagent"}));
  EXPECT_EQ(store.Keys("SUBAGENT"), (std::vector<std::string>{"MasterAddress", "PingInterval", "pinginterval"}));
  EXPECT_EQ(store.LineOf("SAMaster", "Port"), 5);
  EXPECT_EQ(store.LineOf("SubAgent", "PingInterval"), 13);
}

TEST_F(SettingsStoreTest, MalformedLinesAreNamedWithTheirLineNumber) {
  // clang-format off
  const struct {
    const char* text;
    int line;
  } kCases[] = {
      {"[A]\nno equals sign\n", 2}, {"[A]\nKey=1\n=value\n", 3}, {"[A\nKey=1\n", 1}, {"[]\nKey=1\n", 1},
      {"; c\n\n[A] trailing\n", 3}, {"[A]\nKey=1\n[B]\n junk \n", 4}};
  // clang-format on
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    WriteFile("[Keep]\nValue=old\n");
    BIniFileStore store(m_path);
    Load(store);
    WriteFile(c.text);
    std::string error;
    EXPECT_EQ(store.Load(&error), NV_ERR_BAD_VALUE);
    EXPECT_EQ(error.rfind(m_path + ":" + std::to_string(c.line) + ": ", 0), 0u) << error;
    EXPECT_EQ(Get(store, "Keep", "Value"), "old");  // the earlier content stays
  }
}

TEST_F(SettingsStoreTest, SaveKeepsCommentsAndOrderAndRewritesOnlyChangedLines) {
  const std::string original =
      "; QVT settings\n"
      "[SAMaster]\n"
      "  Port = 10001   # UDP port\n"
      "Other=keep   ; as it is\n"
      "\n"
      "# sub-agent part\n"
      "[SubAgent]\n"
      "PingInterval=10\n"
      "; end of sub-agent\n";
  WriteFile(original);
  FailingRenameStore store(m_path);
  store.failRename = false;
  Load(store);
  EXPECT_EQ(store.SetInt("samaster", "port", 10002, 0, 0, 0), NV_OK);
  EXPECT_EQ(store.SetString("SubAgent", "MasterTimeout", "3", 0, 0), NV_OK);
  EXPECT_EQ(store.SetString("New", "Key", "v", 0, 0), NV_OK);
  EXPECT_EQ(ReadFile(),
            "; QVT settings\n"
            "[SAMaster]\n"
            "Port=10002    # UDP port\n"
            "Other=keep   ; as it is\n"
            "\n"
            "# sub-agent part\n"
            "[SubAgent]\n"
            "PingInterval=10\n"
            "MasterTimeout=3\n"
            "; end of sub-agent\n"
            "\n"
            "[New]\n"
            "Key=v\n");
  EXPECT_EQ(DirEntries(), (std::vector<std::string>{"qvt.conf"}));

  // A save cut off before the rename leaves the old file and no temporary.
  store.failRename = true;
  const std::string saved = ReadFile();
  EXPECT_EQ(store.SetString("SAMaster", "Port", "1", 0, 0), NV_ERR_IO);
  EXPECT_EQ(ReadFile(), saved);
  EXPECT_EQ(DirEntries(), (std::vector<std::string>{"qvt.conf"}));
  // Nothing is lost: the next save that goes through writes the change.
  store.failRename = false;
  EXPECT_EQ(store.Save(), NV_OK);
  BIniFileStore reread(m_path);
  Load(reread);
  EXPECT_EQ(Get(reread, "SAMaster", "Port"), "1");
}

TEST_F(SettingsStoreTest, SaveKeepsTheFilePermissions) {
  WriteFile("[A]\nSecret=private\n");
  ASSERT_EQ(::chmod(m_path.c_str(), 0600), 0);
  BIniFileStore store(m_path);
  Load(store);
  ASSERT_EQ(store.SetString("A", "Secret", "other", 0, 0), NV_OK);
  struct stat st {};
  ASSERT_EQ(::stat(m_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SettingsStoreTest, TextsTheFileCannotHoldAreRefusedAndChangeNothing) {
  WriteFile("[A]\nKey=1\n");
  BIniFileStore store(m_path);
  Load(store);
  // clang-format off
  const struct {
    const char* section;
    const char* key;
    const char* value;
  } kBad[] = {
      {"A", "Key", "two\nlines"}, {"A", "Key", "cr\r"}, {"A", "Key", " padded"}, {"A", "Key", "padded\t"},
      {"A", "Key", "x ; y"}, {"A", "Key", "#x"}, {"A", "New=Key", "v"}, {"A", "", "v"}, {"A", "[Key]", "v"},
      {"A", ";Key", "v"}, {"A", "Key\n[B]", "v"}, {"B]", "Key", "v"}, {"", "Key", "v"}, {"Line\nBreak", "Key", "v"},
      {" A", "Key", "v"}};
  // clang-format on
  for (const auto& c : kBad) {
    SCOPED_TRACE(std::string(c.section) + "/" + c.key + "=" + c.value);
    EXPECT_EQ(store.SetString(c.section, c.key, c.value, 0, 0), NV_ERR_BAD_VALUE);
  }
  EXPECT_EQ(ReadFile(), "[A]\nKey=1\n");
  EXPECT_EQ(Get(store, "A", "Key"), "1");
  EXPECT_EQ(store.SetString("A", "Key", "a;b c#d", 0, 0), NV_OK);  // markers without a blank before them
  BIniFileStore reread(m_path);
  Load(reread);
  EXPECT_EQ(Get(reread, "A", "Key"), "a;b c#d");
}

}  // namespace
}  // namespace QVT
