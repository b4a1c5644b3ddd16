// Datagram socket results (time-out 1, failures minus the error number); the
// settings stores: their contract, the INI format, saves never half written.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "BIniFileStore.h"
#include "BMemoryStore.h"
#include "BSocket.h"
#include "ChildProcess.h"

namespace QVT {
namespace {

TEST(BSockDatagramTest, ReceiveTimesOutWithOneAndFailuresAreNegativeWithTheErrorNumber) {
  BAddrINet loopback;
  ASSERT_NE(loopback.AssignFromDottedDecimalStr("127.0.0.1:0"), 0);
  BSockDatagram socket, other;
  BAddress bound, none, from;
  char buffer[16];
  int length = 4;
  ASSERT_EQ(socket.Create() | socket.Bind(loopback) | socket.GetLocalAddress(bound), 0);
  EXPECT_EQ(socket.RecvFrom(buffer, length, from, /*seconds=*/0, /*microseconds=*/20000), 1);
  EXPECT_EQ(socket.RecvFrom(buffer, length, from, 0, 0), 1);
  ASSERT_EQ(other.Create(), 0);
  EXPECT_EQ(other.SendTo("data", length, none), -EDESTADDRREQ);
  ASSERT_EQ(other.SetStyle(/*nonBlocking=*/1, /*reuseAddress=*/0, /*closeOnExec=*/1), 0);
  EXPECT_EQ(other.RecvFrom(buffer, length, from), -EAGAIN);  // non-blocking and empty: no time-out
  ASSERT_EQ(socket.Close(), 0);
  EXPECT_EQ(socket.SendTo("data", length, bound, 1, 0), -EBADF);
  EXPECT_EQ(socket.RecvFrom(buffer, length, from, 0, 1000), -EBADF);
  EXPECT_EQ(socket.LastError(), EBADF);
}

// A socket bound to every address learns which one a datagram was sent to, and answers from that one.
TEST(BSockDatagramTest, PacketInformationGivesTheDestinationAndSetsTheSource) {
  BSockDatagram wildcard, client;
  BAddrINet any, loopback2;
  ASSERT_NE(any.AssignFromDottedDecimalStr("0.0.0.0:0"), 0);
  ASSERT_NE(loopback2.AssignFromDottedDecimalStr("127.0.0.2:0"), 0);
  ASSERT_EQ(wildcard.Create() | wildcard.Bind(any) | wildcard.EnablePacketInfo(), 0);
  ASSERT_EQ(client.Create() | client.Bind(loopback2), 0);
  BAddress to = loopback2, from, destination, answerFrom;
  to.SetPort(wildcard.MyAddress().Port());
  int length = 4;
  ASSERT_EQ(client.SendTo("ping", length, to), 0);
  char buffer[16];
  length = sizeof buffer;
  ASSERT_EQ(wildcard.RecvFrom(buffer, length, from, destination, 2, 0), 0);
  EXPECT_EQ(QVAddressToString(destination), QVAddressToString(to));
  length = 4;
  ASSERT_EQ(wildcard.SendTo("pong", length, from, destination), 0);
  length = sizeof buffer;
  ASSERT_EQ(client.RecvFrom(buffer, length, answerFrom, 2, 0), 0);
  EXPECT_EQ(QVAddressToString(answerFrom), QVAddressToString(to));  // not 127.0.0.1, the system's choice
}

std::string Get(INonVolatile& store, const char* section, const char* key) {
  BString value("<none>");
  store.GetString(section, key, value, 0);
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

class SettingsStoreTest : public ::testing::Test {
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

  const std::string m_dir = test::MakeTempDir("qvhost-ini-"), m_path = m_dir + "/qvt.conf";
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
    const char* key = c.stored == nullptr ? "Absent" : "Value";
    if (c.stored != nullptr) store.SetString("Ints", key, c.stored, 0, 0);
    int value = 77;
    EXPECT_EQ(store.GetInt("Ints", key, &value, 0), c.status) << (c.stored ? c.stored : "absent");
    EXPECT_EQ(value, c.value) << (c.stored ? c.stored : "absent");
  }
  int value = 77;  // null names are refused, not dereferenced
  EXPECT_NE(store.GetInt("SAMaster", nullptr, &value, 0), NV_OK);
  EXPECT_NE(store.SetString(nullptr, "Port", "1", 0, 0), NV_OK);
}

TEST_F(SettingsStoreTest, BothStoresKeepTheContractAndTheIniStoreThroughItsFile) {
  BMemoryStore memory;
  CheckContract(memory);
  BIniFileStore store(m_path);
  EXPECT_EQ(store.Load(), NV_ERR_NOT_FOUND);
  CheckContract(store);
  EXPECT_EQ(Reread("SAMaster", "Port"), "-10001");
  EXPECT_EQ(Reread("Ints", "Value"), "0x10");
}

TEST_F(SettingsStoreTest, IniParsingHandlesCommentsCaseAndRepeatsAndNamesMalformedLines) {
  WriteFile(
      "\xEF\xBB\xBF; leading comment, after a UTF-8 byte order mark\n# another\n\n  [ SAMaster ]   ; the master\nPort "
      "= 10001 ; UDP port\n"
      "\tName=qvt#1\r\nUrl=http://x;y\nEmpty=\n[subagent]\nPingInterval=10\npinginterval=20\n");
  BIniFileStore store(m_path);
  ASSERT_EQ(store.Load(&m_error), NV_OK) << m_error;
  // clang-format off
  const struct { const char *section, *key, *value; } kValues[] = {
      {"samaster", "PORT", "10001"}, {"SAMaster", "Name", "qvt#1"}, {"SAMaster", "Url", "http://x;y"},
      {"SAMaster", "Empty", ""}, {"SubAgent", "Port", "<none>"}, {"SubAgent", "PingInterval", "20"}};  // the later wins
  const struct { const char* text; int line; } kMalformed[] = {
      {"[A]\nno equals sign\n", 2}, {"[A]\nKey=1\n=value\n", 3}, {"[A\nKey=1\n", 1}, {"[]\nKey=1\n", 1},
      {"; c\n\n[A] trailing\n", 3}};
  // clang-format on
  for (const auto& c : kValues) EXPECT_EQ(Get(store, c.section, c.key), c.value) << c.section << "/" << c.key;
  for (const auto& c : kMalformed) {
    WriteFile(c.text);
    EXPECT_EQ(store.Load(&m_error), NV_ERR_BAD_VALUE);
    EXPECT_EQ(m_error.rfind(m_path + ":" + std::to_string(c.line) + ": ", 0), 0u) << m_error;
    EXPECT_EQ(Get(store, "SAMaster", "Port"), "10001");  // the earlier content stays
  }
}

TEST_F(SettingsStoreTest, SaveRewritesOnlyChangedLinesAndNeverLeavesAHalfWrittenFile) {
  WriteFile(
      "; QVT settings\n[SAMaster]\n  Port = 10001   # UDP port\nOther=keep   ; as it is\n\n"
      "[SubAgent]\nPingInterval=10\n; end of sub-agent\n");
  ASSERT_EQ(::chmod(m_path.c_str(), 0600), 0);
  FailingRenameStore store(m_path);
  ASSERT_EQ(store.Load(), NV_OK);
  EXPECT_EQ(store.SetInt("samaster", "port", 10002, 0, 0, 0), NV_OK);
  EXPECT_EQ(store.SetString("SubAgent", "MasterTimeout", "a;b c#d", 0, 0), NV_OK);  // no blank before the markers
  EXPECT_EQ(store.SetString("New", "Key", "v", 0, 0), NV_OK);
  const std::string saved =
      "; QVT settings\n[SAMaster]\nPort=10002    # UDP port\nOther=keep   ; as it is\n\n"
      "[SubAgent]\nPingInterval=10\nMasterTimeout=a;b c#d\n; end of sub-agent\n\n[New]\nKey=v\n";
  EXPECT_EQ(ReadFile(), saved);
  struct stat st {};
  ASSERT_EQ(::stat(m_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // settings may hold community strings
  // Texts the file could not give back as they are: refused, nothing written.
  // clang-format off
  const struct { const char *section, *key, *value; } kBad[] = {
      {"A", "Key", "two\nlines"}, {"A", "Key", " padded"}, {"A", "Key", "x ; y"}, {"A", "Key", "#x"},
      {"A", "New=Key", "v"}, {"A", "", "v"}, {"A", "[Key]", "v"}, {"A", ";Key", "v"}, {"B]", "Key", "v"},
      {"", "Key", "v"}, {" A", "Key", "v"}};
  // clang-format on
  for (const auto& c : kBad) EXPECT_EQ(store.SetString(c.section, c.key, c.value, 0, 0), NV_ERR_BAD_VALUE) << c.key;
  store.failRename = true;  // a save cut off before the rename leaves the old file and no temporary
  EXPECT_EQ(store.SetString("SAMaster", "Port", "1", 0, 0), NV_ERR_IO);
  EXPECT_EQ(ReadFile(), saved);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir), {}), 1);
  store.failRename = false;
  EXPECT_EQ(store.Save(), NV_OK);  // nothing lost: the next save writes the change
  EXPECT_EQ(Reread("SAMaster", "Port"), "1");
}

}  // namespace
}  // namespace QVT
