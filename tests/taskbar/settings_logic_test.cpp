#include "taskbar/settings_logic.h"

#include <gtest/gtest.h>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "common/scratch.h"
#include "core/agent.h"

namespace netward {
namespace {

namespace fs = std::filesystem;

// Directories and settings in memory; records what was written, in order.
class FakeStore : public SettingsStore {
 public:
  void Read(std::string& key, std::string& path) override {
    key = open_key;
    path = data_path;
  }
  bool DirectoryUsable(const std::string& dir) override { return dirs.count(dir) > 0; }
  bool CreateDirectory(const std::string& dir) override {
    log.push_back("mkdir " + dir);
    if (!can_create) return false;
    dirs.insert(dir);
    return true;
  }
  bool OpenKey() override {
    log.push_back("open");
    return key_opens;
  }
  bool WriteValues(const std::string& path, const std::string& key) override {
    log.push_back("write " + path + " " + key);
    return writes;
  }
  void SetAccessKey(const uint8_t (&k)[16]) override {
    memcpy(access_key, k, 16);
    log.push_back("key");
  }

  std::string open_key, data_path;
  std::set<std::string> dirs = {"/hist"};
  bool can_create = true, key_opens = true, writes = true;
  uint8_t access_key[16] = {};
  std::vector<std::string> log;
};

SettingsFields Fields(const char* p, const char* c, const char* d) { return {p, c, d}; }

TEST(SettingsOk, ChecksRunInOrderAndNothingIsWrittenUntilAllPass) {
  FakeStore store;
  const struct {
    SettingsFields f;
    const char* text;
    SettingsField focus;
  } cases[] = {
      {Fields("", "", ""), "Require Password", SettingsField::kPassword},
      {Fields("pw", "", ""), "Require Password Confirmation", SettingsField::kConfirm},
      {Fields("pw", "pv", ""), "Password Confirmation FAILED", SettingsField::kPassword},
      {Fields("pw", "PW", ""), "Require Data Path", SettingsField::kDirectory},
  };
  for (const auto& c : cases) {
    SettingsStep step = SettingsOk(c.f, DirectoryAnswer::kNotAsked, store);
    EXPECT_EQ(step.kind, SettingsStep::kBox) << c.text;
    EXPECT_EQ(step.text, c.text);
    EXPECT_EQ(step.icon, BoxIcon::kExclamation) << c.text;
    EXPECT_EQ(step.focus, c.focus) << c.text;
  }
  EXPECT_TRUE(store.log.empty());
}

TEST(SettingsOk, MissingDirectoryIsCreatedOnlyAfterYes) {
  FakeStore store;
  const SettingsFields f = Fields("pw", "pw", "/new");
  SettingsStep ask = SettingsOk(f, DirectoryAnswer::kNotAsked, store);
  EXPECT_EQ(ask.kind, SettingsStep::kAsk);
  EXPECT_EQ(ask.text, "Data Path '/new' does not exist.  Do you wish to create it ?");
  EXPECT_EQ(ask.icon, BoxIcon::kQuestion);
  SettingsStep no = SettingsOk(f, DirectoryAnswer::kNo, store);
  EXPECT_EQ(no.kind, SettingsStep::kFocus);
  EXPECT_EQ(no.focus, SettingsField::kDirectory);
  EXPECT_TRUE(store.log.empty());

  store.can_create = false;
  SettingsStep failed = SettingsOk(f, DirectoryAnswer::kYes, store);
  EXPECT_EQ(failed.text, "Create Directory FAILED");
  EXPECT_EQ(failed.icon, BoxIcon::kStop);
  EXPECT_EQ(failed.focus, SettingsField::kDirectory);
  EXPECT_EQ(store.log, std::vector<std::string>{"mkdir /new"});

  store.can_create = true;
  store.log.clear();
  EXPECT_EQ(SettingsOk(f, DirectoryAnswer::kYes, store).kind, SettingsStep::kSaved);
  EXPECT_EQ(store.log, (std::vector<std::string>{"mkdir /new", "open", "write /new pw", "key"}));
  // An existing directory is taken without a question.
  store.log.clear();
  EXPECT_EQ(SettingsOk(Fields("pw", "pw", "/hist"), DirectoryAnswer::kNotAsked, store).kind, SettingsStep::kSaved);
  EXPECT_EQ(store.log.front(), "open");
}

TEST(SettingsOk, SavesThePasswordAsTypedAndKeysItsFirstSixteenCharacters) {
  FakeStore store;
  SettingsStep step = SettingsOk(Fields("Longer-Password-Than-16", "longer-password-than-16", "/hist"),
                                 DirectoryAnswer::kNotAsked, store);
  EXPECT_EQ(step.kind, SettingsStep::kSaved);  // its text: desktop_settings_e2e.py
  EXPECT_EQ(step.icon, BoxIcon::kNone);
  EXPECT_EQ(store.log[1], "write /hist Longer-Password-Than-16");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(store.access_key), 16), "Longer-Password-");

  SettingsFields f = Fields("abc", "abc", "/hist");
  SettingsOk(f, DirectoryAnswer::kNotAsked, store);
  const uint8_t padded[16] = {'a', 'b', 'c'};
  EXPECT_EQ(memcmp(store.access_key, padded, 16), 0);
}

TEST(SettingsOk, KeyAndWriteFailuresLeaveTheKeyInForce) {
  FakeStore store;
  store.key_opens = false;
  SettingsStep step = SettingsOk(Fields("pw", "pw", "/hist"), DirectoryAnswer::kNotAsked, store);
  EXPECT_EQ(step.text, "FAILED to create/open registry key");
  EXPECT_EQ(step.icon, BoxIcon::kStop);
  store.key_opens = true;
  store.writes = false;
  step = SettingsOk(Fields("pw", "pw", "/hist"), DirectoryAnswer::kNotAsked, store);
  EXPECT_EQ(step.text, "FAILED to write parameters to registry");
  EXPECT_EQ(store.access_key[0], 0);
}

TEST(SettingsInitial, StoredValuesOrTheStateDirectorysHistory) {
  FakeStore store;
  store.open_key = "secret";
  SettingsFields f = InitialSettingsFields(store, "/var/lib/netward/");
  EXPECT_EQ(f.password, "secret");
  EXPECT_EQ(f.confirm, "secret");
  EXPECT_EQ(f.directory, "/var/lib/netward/NETWARD History/");  // one separator either way
  EXPECT_EQ(InitialSettingsFields(store, "/var/lib/netward").directory, "/var/lib/netward/NETWARD History/");
  store.data_path = "/data/hist";
  EXPECT_EQ(InitialSettingsFields(store, "/var/lib/netward").directory, "/data/hist");
}

class HiveStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { g_ = AllocateGlobalArea(); }
  void TearDown() override { FreeGlobalArea(g_); }
  testing_scratch::ScratchDir scratch_;
  const fs::path dir_ = scratch_.path;
  GlobalArea* g_ = nullptr;
};

TEST_F(HiveStoreTest, WritesBothValuesIntoTheSettingsFileAndKeepsItsOtherKeys) {
  const fs::path hive = dir_ / "netward.reg";
  std::ofstream(hive) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\NETWARD\\Parameters]\n"
                         "\"OpenKey\"=\"old\"\n\"RpcTcpPort\"=dword:00001388\n";
  HiveSettingsStore store(hive.string(), nullptr, g_);
  std::string key, path;
  store.Read(key, path);
  EXPECT_EQ(key, "old");
  EXPECT_EQ(path, "");
  const std::string history = (dir_ / "hist").string();
  EXPECT_FALSE(store.DirectoryUsable(history));
  ASSERT_EQ(SettingsOk({"NewKey", "newkey", history}, DirectoryAnswer::kYes, store).kind, SettingsStep::kSaved);
  EXPECT_TRUE(fs::is_directory(history));
  platform::HiveFile written;
  platform::HiveFile::Error err;
  ASSERT_TRUE(written.Load(hive.string(), err)) << err.message;
  EXPECT_EQ(written.GetString(kSettingsKey, "OpenKey"), "NewKey");
  EXPECT_EQ(written.GetString(kSettingsKey, "DataPath"), history);
  EXPECT_EQ(written.GetDword(kSettingsKey, "RpcTcpPort"), 5000u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(g_->AccessKey), 6), "NewKey");
  EXPECT_FALSE(fs::exists(hive.string() + ".tmp"));
  // A parent that does not exist: one level only.
  EXPECT_FALSE(store.CreateDirectory((dir_ / "a" / "b").string()));
}

TEST_F(HiveStoreTest, AFileThatDoesNotReadIsNotOverwrittenAndNoFileMeansNoKey) {
  const fs::path hive = dir_ / "netward.reg";
  std::ofstream(hive) << "not a settings file\n";
  HiveSettingsStore store(hive.string(), nullptr, g_);
  EXPECT_EQ(SettingsOk({"pw", "pw", dir_.string()}, DirectoryAnswer::kNotAsked, store).text,
            "FAILED to create/open registry key");
  EXPECT_EQ(testing_scratch::ReadText(hive), "not a settings file\n");
  EXPECT_FALSE(store.last_error().empty());

  HiveSettingsStore without("", nullptr, g_);
  EXPECT_EQ(SettingsOk({"pw", "pw", dir_.string()}, DirectoryAnswer::kNotAsked, without).text,
            "FAILED to create/open registry key");
  // A settings file not there yet is created.
  HiveSettingsStore fresh((dir_ / "new.reg").string(), nullptr, g_);
  EXPECT_EQ(SettingsOk({"pw", "pw", dir_.string()}, DirectoryAnswer::kNotAsked, fresh).kind, SettingsStep::kSaved);
  EXPECT_NE(testing_scratch::ReadText(dir_ / "new.reg").find("\"OpenKey\"=\"pw\""), std::string::npos);
}

}  // namespace
}  // namespace netward
