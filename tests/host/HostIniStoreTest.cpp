// The settings stores: the contract both keep, and the INI store as a reader
// of files people write by hand: what a line means, which line a complaint
// names, what survives a save, saves never half written, and what a missing
// or unreadable file does.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BIniFileStore.h"
#include "BMemoryStore.h"
#include "ChildProcess.h"

namespace QVT {
namespace {

const char* const kAbsent = "<absent>";

std::string Get(INonVolatile& store, const std::string& section, const std::string& key) {
  BString value(kAbsent);
  store.GetString(section.c_str(), key.c_str(), value, 0);
  return value.str();
}

// An INI store whose save can be cut off just before the rename.
struct FailingRenameStore : BIniFileStore {
  using BIniFileStore::BIniFileStore;
  int ReplaceFile(const std::string& temporary, const std::string& target) override {
    return failRename ? -1 : BIniFileStore::ReplaceFile(temporary, target);
  }
  bool failRename = false;
};

class IniStoreTest : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(m_dir); }
  void WriteFile(const std::string& text) const { test::WriteFile(m_path, text); }
  std::string ReadFile() const { return test::ReadFile(m_path); }
  // The value a fresh store reads from the file.
  std::string Reread(const char* section, const char* key) {
    BIniFileStore store(m_path);
    EXPECT_EQ(store.Load(&m_error), NV_OK) << m_error;
    return Get(store, section, key);
  }

  const std::string m_dir = test::MakeTempDir("qvhost-inistore-"), m_path = m_dir + "/qvt.conf";
  std::string m_error;
};

void CheckContract(INonVolatile& store) {
  EXPECT_EQ(store.SetInt("SAMaster", "Port", -10001, 0, 0, 0), NV_OK);
  EXPECT_EQ(Get(store, "SAMaster", "Port"), "-10001");
  // clang-format off
  const struct { const char* stored; int status, value; } kReads[] = {  // stored null: absent
      {nullptr, NV_ERR_NOT_FOUND, 77}, {"+7", NV_OK, 7}, {"-2147483648", NV_OK, -2147483647 - 1},
      {"2147483647", NV_OK, 2147483647}, {"2147483648", NV_ERR_BAD_VALUE, 77}, {"-2147483649", NV_ERR_BAD_VALUE, 77},
      {"12abc", NV_ERR_BAD_VALUE, 77}, {"", NV_ERR_BAD_VALUE, 77}, {"0x10", NV_ERR_BAD_VALUE, 77}};
  // clang-format on
  for (const auto& c : kReads) {
    SCOPED_TRACE(c.stored ? c.stored : "absent");
    const char* key = c.stored == nullptr ? "Absent" : "Value";
    if (c.stored != nullptr) store.SetString("Ints", key, c.stored, 0, 0);
    int value = 77;
    EXPECT_EQ(store.GetInt("Ints", key, &value, 0), c.status);
    EXPECT_EQ(value, c.value);
  }
  int value = 77;  // null names are refused, not dereferenced
  EXPECT_NE(store.GetInt("SAMaster", nullptr, &value, 0), NV_OK);
  EXPECT_NE(store.SetString(nullptr, "Port", "1", 0, 0), NV_OK);
}

TEST_F(IniStoreTest, BothStoresKeepTheContractAndTheIniStoreThroughItsFile) {
  BMemoryStore memory;
  CheckContract(memory);
  BIniFileStore store(m_path);
  EXPECT_EQ(store.Load(), NV_ERR_NOT_FOUND);
  CheckContract(store);
  EXPECT_EQ(Reread("SAMaster", "Port"), "-10001");
  EXPECT_EQ(Reread("Ints", "Value"), "0x10");
}

TEST_F(IniStoreTest, EachLineMeansWhatTheFormatSays) {
  const std::string longValue(200000, 'v');
  // clang-format off
  const struct { const char* name; std::string file; const char *section, *key; std::string value; } kCases[] = {
      {"plain", "[A]\nKey=Value\n", "A", "Key", "Value"}, {"names ignore case", "[Sec]\nKey=v\n", "sEC", "kEY", "v"},
      {"blanks around everything", "  [ A ]  \n\t Key \t=\t v a l \t\n", "A", "Key", "v a l"},
      {"blanks inside a name", "[My Section]\nMy Key=1\n", "My Section", "My Key", "1"},
      {"commented header", "[A]\n# [B]\n; [C]\nKey=1\n", "A", "Key", "1"},
      {"commented entry", "[A]\n;Key=1\n  # Key=2\n", "A", "Key", kAbsent},
      {"comment after blank", "[A]\nKey=v ; why\n", "A", "Key", "v"},
      {"comment after tab", "[A]\nKey=v\t# why\n", "A", "Key", "v"},
      {"marker inside value", "[A]\nKey=v;c#d\n", "A", "Key", "v;c#d"},
      {"only a comment", "[A]\nKey= ; nothing\n", "A", "Key", ""},
      {"marker right after =", "[A]\nKey=#x\n", "A", "Key", ""},  // as SetString refuses "#x"
      {"quotes are text", "[A]\nKey=\"a b\"\n", "A", "Key", "\"a b\""},
      {"single quotes keep blanks out", "[A]\nKey= ' x ' \n", "A", "Key", "' x '"},
      {"= inside value", "[A]\nKey=a=b=c\n", "A", "Key", "a=b=c"}, {"empty value", "[A]\nKey=\n", "A", "Key", ""},
      {"blank value", "[A]\nKey =  \t\n", "A", "Key", ""}, {"later key wins", "[A]\nKey=1\nkey=2\n", "A", "Key", "2"},
      {"repeated section merges", "[A]\nK=1\n[B]\nK=2\n[a]\nJ=3\n", "A", "K", "1"},
      {"repeated section adds", "[A]\nK=1\n[B]\nK=2\n[a]\nJ=3\n", "A", "J", "3"},
      {"repeated section keeps others", "[A]\nK=1\n[B]\nK=2\n[a]\nK=3\n", "B", "K", "2"},
      {"later section wins", "[A]\nK=1\n[B]\nK=2\n[a]\nK=3\n", "A", "K", "3"},
      {"header comment", "[A] ; the A\nKey=1\n", "A", "Key", "1"},
      {"header comment glued", "[A]#c\nKey=1\n", "A", "Key", "1"},
      {"key before any section", "K=0\n[A]\nK=1\n", "", "K", "0"},
      {"section after global key", "K=0\n[A]\nK=1\n", "A", "K", "1"},
      {"key in no other section", "[A]\nK=1\n[B]\n", "B", "K", kAbsent},
      {"CRLF value", "[A]\r\nKey=v\r\n", "A", "Key", "v"}, {"CRLF empty", "[A]\r\nKey=\r\n", "A", "Key", ""},
      {"CRLF header", "[A]\r\n[B]\r\nKey=2\r\n", "B", "Key", "2"},
      {"no final newline", "[A]\nKey=last", "A", "Key", "last"},
      {"byte order mark", "\xEF\xBB\xBF[A]\nKey=1", "A", "Key", "1"},
      {"blank lines", "\n   \n\t\n[A]\n\nKey=1\n\n", "A", "Key", "1"},
      {"long line", "[A]\nKey=" + longValue + "\nNext=1\n", "A", "Key", longValue},
      {"after a long line", "[A]\nKey=" + longValue + "\nNext=1\n", "A", "Next", "1"}};
  // clang-format on
  for (const auto& c : kCases) {
    WriteFile(c.file);
    BIniFileStore store(m_path);
    ASSERT_EQ(store.Load(&m_error), NV_OK) << c.name << ": " << m_error;
    EXPECT_EQ(Get(store, c.section, c.key), c.value) << c.name;
  }
}

// The configuration checker walks these listings to warn about unknown and
// repeated keys, and names lines with LineOf.
TEST_F(IniStoreTest, ListingsGiveSectionsOnceAndKeysPerLineInFileOrder) {
  WriteFile(
      "\xEF\xBB\xBF"
      "Early=1\r\n[Alpha]\r\nK=1\r\n; note\r\n[Beta]\r\nX=2\r\n[alpha]\r\nJ=3\r\nk=4\r\n[Empty]");
  BIniFileStore store(m_path);
  ASSERT_EQ(store.Load(&m_error), NV_OK) << m_error;
  EXPECT_EQ(store.Sections(), (std::vector<std::string>{"Alpha", "Beta", "Empty"}));
  // clang-format off
  const struct { const char* section; std::vector<std::string> keys; } kKeys[] = {
      {"ALPHA", {"K", "J", "k"}}, {"Beta", {"X"}}, {"Empty", {}}, {"", {"Early"}}, {"Missing", {}}};
  const struct { const char *section, *key; int line; } kLines[] = {
      {"Alpha", "K", 9}, {"alpha", "J", 8}, {"Beta", "x", 6}, {"", "Early", 1}, {"Alpha", "X", 0},
      {"Missing", "K", 0}};
  // clang-format on
  for (const auto& c : kKeys) EXPECT_EQ(store.Keys(c.section), c.keys) << "[" << c.section << "]";
  for (const auto& c : kLines) EXPECT_EQ(store.LineOf(c.section, c.key), c.line) << c.section << "/" << c.key;
}

TEST_F(IniStoreTest, AMalformedLineIsNamedByNumberAndTextAndChangesNothing) {
  const std::string longValue(100000, 'x');
  // clang-format off
  const struct { const char* name; std::string file; int line; const char* text; } kCases[] = {
      {"no equals sign", "[A]\nK=1\nno equals sign\n", 3, "no equals sign"}, {"no key", "[A]\n=value\n", 2, "=value"},
      {"blank key", "[A]\n \t= value\n", 2, "= value"}, {"unclosed header", "[A\nK=1\n", 1, "[A"},
      {"empty header", "; c\n[]\n", 2, "[]"}, {"blank header", "[ \t ]\n", 1, "[ \t ]"},
      {"text after header", "[A] trailing\n", 1, "[A] trailing"}, {"second bracket", "[A]]\n", 1, "[A]]"},
      {"first line", "garbage\n[A]\nK=1\n", 1, "garbage"}, {"CRLF lines", "[A]\r\nK=1\r\nbad\r\n", 3, "bad"},
      {"last line without newline", "\xEF\xBB\xBF[A]\nK=1\nbad", 3, "bad"},
      {"after a long line", "[A]\nK=" + longValue + "\nbad\n", 3, "bad"},
      {"after comments and blanks", ";c\n#c\n\n  \n[A]\nK=v\n[B\n", 7, "[B"}};
  // clang-format on
  BIniFileStore store(m_path);
  WriteFile("[Keep]\nK=kept\n");
  ASSERT_EQ(store.Load(), NV_OK);
  for (const auto& c : kCases) {
    WriteFile(c.file);
    m_error.clear();
    EXPECT_EQ(store.Load(&m_error), NV_ERR_BAD_VALUE) << c.name;
    const std::string where = m_path + ":" + std::to_string(c.line) + ": ";
    EXPECT_EQ(m_error.rfind(where, 0), 0u) << c.name << ": " << m_error;
    EXPECT_NE(m_error.find("'" + std::string(c.text) + "'"), std::string::npos) << c.name << ": " << m_error;
    EXPECT_EQ(Get(store, "Keep", "K"), "kept") << c.name;  // the earlier content stays
    EXPECT_EQ(store.Sections(), std::vector<std::string>{"Keep"}) << c.name;
    EXPECT_EQ(store.Load(nullptr), NV_ERR_BAD_VALUE) << c.name;  // no place for the reason: status only
  }
}

// Only the lines of changed keys are rewritten, a changed line keeping its comment; a new key goes after
// its section's last entry, a new section at the end. What is set comes back from a fresh store reading the
// saved file, and the file keeps its permissions (settings may hold community strings). Texts the file could
// not give back as they are are refused; a save cut off before the rename leaves the old file and no
// temporary, and loses nothing for the next save.
TEST_F(IniStoreTest, SaveRewritesOnlyChangedLinesAndNeverLeavesAHalfWrittenFile) {
  const std::string original =
      "\xEF\xBB\xBF; settings\r\n[SubAgent]\r\nMasterAddress = 127.0.0.1:10001 ; the master\r\n"
      "PingInterval=10\r\n; end of sub-agent\r\n\r\n[Other]\r\nUntouched =  as   written   # keep\r\nLast=1";
  WriteFile(original);
  ASSERT_EQ(::chmod(m_path.c_str(), 0600), 0);
  FailingRenameStore store(m_path);
  ASSERT_EQ(store.Load(&m_error), NV_OK) << m_error;
  store.SetAutoSave(false);
  const std::string longValue(70000, 'L');
  // clang-format off
  const struct { const char *section, *key; std::string value; } kSets[] = {
      {"subagent", "masteraddress", "10.0.0.1:10002"}, {"SubAgent", "PingInterval", ""},
      {"SubAgent", "New Key", "a = b;c#d \"q\""}, {"Other", "Last", "2"}, {"Fresh", "Key", "v"},
      {"Fresh", "Long", longValue}, {"Fresh", "K", "inner  blanks"}};
  const struct { const char *section, *key, *value; } kBad[] = {
      {"A", "Key", "two\nlines"}, {"A", "Key", " padded"}, {"A", "Key", "x ; y"}, {"A", "Key", "#x"},
      {"A", "New=Key", "v"}, {"A", "", "v"}, {"A", "[Key]", "v"}, {"A", ";Key", "v"}, {"B]", "Key", "v"},
      {"", "Key", "v"}, {" A", "Key", "v"}};
  // clang-format on
  for (const auto& c : kSets) {
    ASSERT_EQ(store.SetString(c.section, c.key, c.value.c_str(), 0, 0), NV_OK) << c.key;
  }
  EXPECT_EQ(ReadFile(), original);  // auto-save off: nothing written yet
  ASSERT_EQ(store.Save(), NV_OK);
  const std::string saved =
      "\xEF\xBB\xBF; settings\r\n[SubAgent]\r\nMasterAddress=10.0.0.1:10002    ; the master\n"
      "PingInterval=\nNew Key=a = b;c#d \"q\"\n; end of sub-agent\r\n\r\n[Other]\r\n"
      "Untouched =  as   written   # keep\r\nLast=2\n\n[Fresh]\nKey=v\nLong=" + longValue + "\nK=inner  blanks\n";
  EXPECT_EQ(ReadFile(), saved);
  struct stat st {};
  ASSERT_EQ(::stat(m_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  BIniFileStore reread(m_path);
  ASSERT_EQ(reread.Load(&m_error), NV_OK) << m_error;
  for (const auto& c : kSets) EXPECT_EQ(Get(reread, c.section, c.key), c.value) << c.section << "/" << c.key;
  EXPECT_EQ(Get(reread, "Other", "Untouched"), "as   written");
  EXPECT_EQ(reread.Sections(), (std::vector<std::string>{"SubAgent", "Other", "Fresh"}));
  ASSERT_EQ(reread.Save(), NV_OK);  // a second save of what was read writes the same file again
  EXPECT_EQ(ReadFile(), saved);

  for (const auto& c : kBad) EXPECT_EQ(store.SetString(c.section, c.key, c.value, 0, 0), NV_ERR_BAD_VALUE) << c.key;
  store.SetAutoSave(true);
  store.failRename = true;
  EXPECT_EQ(store.SetString("SubAgent", "PingInterval", "1", 0, 0), NV_ERR_IO);
  EXPECT_EQ(ReadFile(), saved);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir), {}), 1);
  store.failRename = false;
  EXPECT_EQ(store.Save(), NV_OK);
  EXPECT_EQ(Reread("SubAgent", "PingInterval"), "1");
}

TEST_F(IniStoreTest, AMissingFileIsAnEmptyStoreAndAnUnreadableOneAnError) {
  const std::string plainFile = m_dir + "/plain";
  test::WriteFile(plainFile, "[A]\nK=1\n");
  std::filesystem::create_directory(m_dir + "/directory");
  // clang-format off
  const struct { const char* name; std::string path; int load; int save; } kCases[] = {
      {"missing file", m_dir + "/absent.conf", NV_ERR_NOT_FOUND, NV_OK},
      {"missing folder", m_dir + "/absent/qvt.conf", NV_ERR_NOT_FOUND, NV_ERR_IO},
      {"a folder", m_dir + "/directory", NV_ERR_IO, NV_ERR_IO},
      {"below a file", plainFile + "/qvt.conf", NV_ERR_IO, NV_ERR_IO}};
  // clang-format on
  for (const auto& c : kCases) {
    BIniFileStore store(c.path);
    m_error.clear();
    EXPECT_EQ(store.Load(&m_error), c.load) << c.name;
    if (c.load == NV_ERR_IO) {
      EXPECT_EQ(m_error.rfind(c.path + ": ", 0), 0u) << c.name << ": " << m_error;
    }
    EXPECT_TRUE(store.Sections().empty()) << c.name;
    EXPECT_EQ(Get(store, "A", "K"), kAbsent) << c.name;
    EXPECT_EQ(store.SetString("A", "K", "2", 0, 0), c.save) << c.name;  // auto-save: the save's status
    EXPECT_EQ(Get(store, "A", "K"), "2") << c.name;                     // kept for a later save either way
    if (c.save == NV_OK) {
      EXPECT_EQ(test::ReadFile(c.path), "[A]\nK=2\n") << c.name;
    }
  }
  EXPECT_EQ(test::ReadFile(plainFile), "[A]\nK=1\n");  // the file in the way was not touched
  EXPECT_TRUE(std::filesystem::is_directory(m_dir + "/directory"));

  // A file that turns unreadable after a load: the error, and the store keeps what it read.
  WriteFile("[A]\nK=1\n");
  BIniFileStore store(m_path);
  ASSERT_EQ(store.Load(), NV_OK);
  std::filesystem::remove(m_path);
  std::filesystem::create_directory(m_path);
  EXPECT_EQ(store.Load(&m_error), NV_ERR_IO);
  EXPECT_EQ(Get(store, "A", "K"), "1");
}

}  // namespace
}  // namespace QVT
