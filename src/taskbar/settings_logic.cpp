#include "taskbar/settings_logic.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/agent.h"  // kSettingsKey

namespace netward {

namespace {

constexpr char kNoDirectoryFormat[] = "Data Path '%s' does not exist.  Do you wish to create it ?";

SettingsStep Box(const char* text, BoxIcon icon, SettingsField focus) {
  return SettingsStep{SettingsStep::kBox, text, icon, focus};
}

void Cut(std::string& s) {
  if (s.size() > kSettingsFieldChars) s.resize(kSettingsFieldChars);
}

}  // namespace

SettingsFields InitialSettingsFields(SettingsStore& store, const std::string& windows_dir) {
  SettingsFields f;
  store.Read(f.password, f.directory);
  Cut(f.password);
  Cut(f.directory);
  if (f.directory.empty()) {
    std::string dir = windows_dir.substr(0, kWindowsDirChars);
    if (!dir.empty() && dir.back() == '/') dir.pop_back();
    f.directory = dir + kHistoryDirName;
  }
  f.confirm = f.password;
  return f;
}

SettingsStep SettingsOk(SettingsFields f, DirectoryAnswer answer, SettingsStore& store) {
  Cut(f.password);
  Cut(f.confirm);
  Cut(f.directory);
  if (f.password.empty()) return Box(kTextRequirePassword, BoxIcon::kExclamation, SettingsField::kPassword);
  if (f.confirm.empty()) return Box(kTextRequireConfirmation, BoxIcon::kExclamation, SettingsField::kConfirm);
  if (strcasecmp(f.password.c_str(), f.confirm.c_str()) != 0)
    return Box(kTextConfirmationFailed, BoxIcon::kExclamation, SettingsField::kPassword);
  if (f.directory.empty()) return Box(kTextRequireDataPath, BoxIcon::kExclamation, SettingsField::kDirectory);
  if (!store.DirectoryUsable(f.directory)) {
    if (answer == DirectoryAnswer::kNotAsked) {
      char question[sizeof kNoDirectoryFormat + kSettingsFieldChars];
      snprintf(question, sizeof question, kNoDirectoryFormat, f.directory.c_str());
      return SettingsStep{SettingsStep::kAsk, question, BoxIcon::kQuestion, SettingsField::kDirectory};
    }
    if (answer == DirectoryAnswer::kNo) return SettingsStep{SettingsStep::kFocus, "", BoxIcon::kNone, SettingsField::kDirectory};
    if (!store.CreateDirectory(f.directory))
      return Box(kTextCreateDirectoryFailed, BoxIcon::kStop, SettingsField::kDirectory);
  }
  if (!store.OpenKey()) return Box(kTextKeyFailed, BoxIcon::kStop, SettingsField::kNone);
  if (!store.WriteValues(f.directory, f.password)) return Box(kTextWriteFailed, BoxIcon::kStop, SettingsField::kNone);
  // The text of the password field, zero-padded: a longer password is stored whole but keyed by
  // its first 16 characters.
  uint8_t key[16] = {};
  memcpy(key, f.password.data(), f.password.size() < sizeof key ? f.password.size() : sizeof key);
  store.SetAccessKey(key);
  return SettingsStep{SettingsStep::kSaved, kTextSettingsSaved, BoxIcon::kNone, SettingsField::kNone};
}

void HiveSettingsStore::Read(std::string& open_key, std::string& data_path) {
  open_key.clear();
  data_path.clear();
  platform::HiveFile fresh;
  platform::HiveFile::Error err;
  // The file as it is now (another save may have changed it), else what the agent holds.
  const platform::Registry* from = fallback_;
  if (!path_.empty() && fresh.Load(path_, err)) from = &fresh;
  if (from == nullptr) return;
  open_key = from->GetString(kSettingsKey, "OpenKey").value_or("");
  data_path = from->GetString(kSettingsKey, "DataPath").value_or("");
}

bool HiveSettingsStore::DirectoryUsable(const std::string& dir) {
  // What changing into it needs, without changing the process's current directory (which every
  // thread shares).
  struct stat st;
  return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && access(dir.c_str(), X_OK) == 0;
}

bool HiveSettingsStore::CreateDirectory(const std::string& dir) { return mkdir(dir.c_str(), 0755) == 0; }

bool HiveSettingsStore::OpenKey() {
  error_.clear();
  hive_ = platform::HiveFile{};
  if (path_.empty()) {
    error_ = "the agent runs without a settings file (--hive)";
    return false;
  }
  platform::HiveFile::Error err;
  if (hive_.Load(path_, err)) return true;
  // A settings file that is not there yet is created; one that does not read is not overwritten.
  struct stat st;
  if (stat(path_.c_str(), &st) != 0 && errno == ENOENT) {
    hive_ = platform::HiveFile{};
    hive_.CreateKey(kSettingsKey);
    return true;
  }
  error_ = err.message;
  return false;
}

bool HiveSettingsStore::WriteValues(const std::string& data_path, const std::string& open_key) {
  hive_.SetString(kSettingsKey, "DataPath", data_path);
  hive_.SetString(kSettingsKey, "OpenKey", open_key);
  return hive_.Save(path_, error_);
}

void HiveSettingsStore::SetAccessKey(const uint8_t (&key)[16]) {
  if (global_ != nullptr) SharedCopyIn(global_->AccessKey, key, sizeof key);
}

}  // namespace netward
