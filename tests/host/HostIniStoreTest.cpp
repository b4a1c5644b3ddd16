// The INI settings store as a reader of files people write by hand: what a
// line means, which line a complaint names, what survives a save, and what
// a missing or unreadable file does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BIniFileStore.h"
#include "ChildProcess.h"

namespace QVT {
namespace {

const char* const kAbsent = "<absent>";

std::string Get(INonVolatile& store, const std::string& section, const std::string& key) {
  BString value(kAbsent);
  store.GetString(section.c_str(), key.c_str(), value, 0);
  return value.str();
}

class IniStoreTest : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(m_dir); }
  void WriteFile(const std::string& text) const { test::WriteFile(m_path, text); }
  std::string ReadFile() const { return test::ReadFile(m_path); }

  const std::string m_dir = test::MakeTempDir("qvhost-inistore-"), m_path = m_dir + "/qvt.conf";
  std::string m_error;
};

TEST_F(IniStoreTest, EachLineMeansWhatTheFormatSays) {
  const std::string longValue(200000, 'v');
  // clang-format off
  const struct { const char* name; std::string file; const char *section, *key; std::string value; } kCases[] = {
      {"plain", "[A]\nKey=Value\n", "A", "Key", "Value"},
      {"names ignore case", "[Sec]\nKey=v\n", "sEC", "kEY", "v"},
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
      {"= inside value", "[A]\nKey=a=b=c\n", "A", "Key", "a=b=c"},
      {"empty value", "[A]\nKey=\n", "A", "Key", ""},
      {"blank value", "[A]\nKey =  \t\n", "A", "Key", ""},
      {"later key wins", "[A]\nKey=1\nkey=2\n", "A", "Key", "2"},
      {"repeated section merges", "[A]\nK=1\n[B]\nK=2\n[a]\nJ=3\n", "A", "K", "1"},
      {"repeated section adds", "[A]\nK=1\n[B]\nK=2\n[a]\nJ=3\n", "A", "J", "3"},
      {"repeated section keeps others", "[A]\nK=1\n[B]\nK=2\n[a]\nK=3\n", "B", "K", "2"},
      {"later section wins", "[A]\nK=1\n[B]\nK=2\n[a]\nK=3\n", "A", "K", "3"},
      {"header comment", "[A] ; the A\nKey=1\n", "A", "Key", "1"},
      {"header comment glued", "[A]#c\nKey=1\n", "A", "Key", "1"},
      {"key before any section", "K=0\n[A]\nK=1\n", "", "K", "0"},
      {"section after global key", "K=0\n[A]\nK=1\n", "A", "K", "1"},
      {"key in no other section", "[A]\nK=1\n[B]\n", "B", "K", kAbsent},
      {"CRLF value", "[A]\r\nKey=v\r\n", "A", "Key", "v"},
      {"CRLF empty", "[A]\r\nKey=\r\n", "A", "Key", ""},
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
      {"no equals sign", "[A]\nK=1\nno equals sign\n", 3, "no equals sign"},
      {"no key", "[A]\n=value\n", 2, "=value"},
      {"blank key", "[A]\n \t= value\n", 2, "= value"},
      {"unclosed header", "[A\nK=1\n", 1, "[A"},
      {"empty header", "; c\n[]\n", 2, "[]"},
      {"blank header", "[ \t ]\n", 1, "[ \t ]"},
      {"text after header", "[A] trailing\n", 1, "[A] trailing"},
      {"second bracket", "[A]]\n", 1, "[A]]"},
      {"first line", "garbage\n[A]\nK=1\n", 1, "garbage"},
      {"CRLF lines", "[A]\r\nK=1\r\nbad\r\n", 3, "bad"},
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

// What is set comes back from a fresh store reading the saved file, and the
// lines nobody changed stay as they were written.
TEST_F(IniStoreTest, SavedValuesReadBackExactlyAndUntouchedLinesKeepTheirText) {
  const std::string original =
      "\xEF\xBB\xBF; settings\r\n[SubAgent]\r\nMasterAddress = 127.0.0.1:10001 ; the master\r\n"
      "PingInterval=10\r\n\r\n[Other]\r\nUntouched =  as   written   # keep\r\nLast=1";
  WriteFile(original);
  BIniFileStore store(m_path);
  ASSERT_EQ(store.Load(&m_error), NV_OK) << m_error;
  store.SetAutoSave(false);
  const std::string longValue(70000, 'L');
  // clang-format off
  const struct { const char *section, *key; std::string value; } kSets[] = {
      {"subagent", "masteraddress", "10.0.0.1:10002"}, {"SubAgent", "PingInterval", ""},
      {"SubAgent", "New Key", "a = b;c#d \"q\""}, {"Other", "Last", "2"}, {"Fresh", "Key", "v"},
      {"Fresh", "Long", longValue}, {"Fresh Section", "K", "inner  blanks"}};
  // clang-format on
  for (const auto& c : kSets) {
    ASSERT_EQ(store.SetString(c.section, c.key, c.value.c_str(), 0, 0), NV_OK) << c.key;
  }
  EXPECT_EQ(ReadFile(), original);  // auto-save off: nothing written yet
  ASSERT_EQ(store.Save(), NV_OK);

  BIniFileStore reread(m_path);
  ASSERT_EQ(reread.Load(&m_error), NV_OK) << m_error;
  for (const auto& c : kSets) EXPECT_EQ(Get(reread, c.section, c.key), c.value) << c.section << "/" << c.key;
  EXPECT_EQ(Get(reread, "Other", "Untouched"), "as   written");
  EXPECT_EQ(reread.Sections(), (std::vector<std::string>{"SubAgent", "Other", "Fresh", "Fresh Section"}));
  const std::string saved = ReadFile();
  for (const char* line : {"\xEF\xBB\xBF; settings\r\n", "[SubAgent]\r\n", "Untouched =  as   written   # keep\r\n",
                           "MasterAddress=10.0.0.1:10002    ; the master\n"}) {
    EXPECT_NE(saved.find(line), std::string::npos) << "missing " << line;
  }
  // A second save of what was read writes the same file again.
  ASSERT_EQ(reread.Save(), NV_OK);
  EXPECT_EQ(ReadFile(), saved);
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
