// The Settings dialog without a window system: the values it starts with, and what its OK button
// does, step by step, against a store of the two settings. The desktop back end shows the fields,
// the message boxes and the question that these functions ask for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "state/shared_state.h"
#include "platform/hive_file.h"

namespace netward {

inline constexpr char kSettingsTitle[] = "NETWARD Settings";
inline constexpr size_t kSettingsFieldChars = 256;  // fields are read with at most 256 characters
inline constexpr size_t kWindowsDirChars = 255;
inline constexpr char kHistoryDirName[] = "/NETWARD History/";

inline constexpr char kTextRequirePassword[] = "Require Password";
inline constexpr char kTextRequireConfirmation[] = "Require Password Confirmation";
inline constexpr char kTextConfirmationFailed[] = "Password Confirmation FAILED";
inline constexpr char kTextRequireDataPath[] = "Require Data Path";
inline constexpr char kTextCreateDirectoryFailed[] = "Create Directory FAILED";
inline constexpr char kTextKeyFailed[] = "FAILED to create/open registry key";
inline constexpr char kTextWriteFailed[] = "FAILED to write parameters to registry";
inline constexpr char kTextSettingsSaved[] =
    "Settings successfully modified.\r\n\r\nThe Password setting will take effect immediately.\r\n"
    "The History Directory setting will take effect after next re-boot.";

enum class SettingsField { kNone, kPassword, kConfirm, kDirectory };
enum class BoxIcon { kNone, kExclamation, kQuestion, kStop };
// The user's answer to the question whether a missing directory is to be created.
enum class DirectoryAnswer { kNotAsked, kYes, kNo };

struct SettingsFields {
  std::string password;
  std::string confirm;
  std::string directory;
};

// Where the two settings live, and the file system the directory is checked in.
class SettingsStore {
 public:
  virtual ~SettingsStore() = default;
  // The stored password and directory; missing ones read as empty.
  virtual void Read(std::string& open_key, std::string& data_path) = 0;
  // True when the directory exists and could be made the current one.
  virtual bool DirectoryUsable(const std::string& dir) = 0;
  // Creates one level; false when that fails.
  virtual bool CreateDirectory(const std::string& dir) = 0;
  // Opens (or creates) the settings key for writing.
  virtual bool OpenKey() = 0;
  // Writes DataPath, then OpenKey; false when the write fails.
  virtual bool WriteValues(const std::string& data_path, const std::string& open_key) = 0;
  // Puts the password in force for the next session (AccessKey).
  virtual void SetAccessKey(const uint8_t (&key)[16]) = 0;
};

// What the dialog starts with: the stored values, or for a missing directory the "Windows
// directory" (the agent's state directory, at most 255 characters, one trailing '/' removed)
// followed by "/NETWARD History/".
SettingsFields InitialSettingsFields(SettingsStore& store, const std::string& windows_dir);

// What the dialog does next after OK.
struct SettingsStep {
  enum Kind {
    kBox,    // show `text` with `icon`, then put the focus on `focus`; the dialog stays open
    kAsk,    // ask `text` (Yes/No); call SettingsOk again with the answer
    kFocus,  // no message: put the focus on `focus`; the dialog stays open
    kSaved,  // show `text` (no icon), then close the dialog
  } kind;
  std::string text;
  BoxIcon icon = BoxIcon::kNone;
  SettingsField focus = SettingsField::kNone;
};

// The checks in their order, the question for a missing directory, the write and the new key.
// Nothing is written before every check has passed. Fields longer than 256 characters are cut.
SettingsStep SettingsOk(SettingsFields fields, DirectoryAnswer answer, SettingsStore& store);

// The settings in the agent's settings file (written whole to a temporary file and renamed over it),
// the directory checked in this process's file system, the key put into the GlobalArea.
class HiveSettingsStore : public SettingsStore {
 public:
  // `hive_path` "" when the agent runs without a settings file: nothing can then be written.
  // `fallback` answers Read when there is no file (the agent's registry).
  HiveSettingsStore(std::string hive_path, const platform::Registry* fallback, GlobalArea* global)
      : path_(std::move(hive_path)), fallback_(fallback), global_(global) {}
  void Read(std::string& open_key, std::string& data_path) override;
  bool DirectoryUsable(const std::string& dir) override;
  bool CreateDirectory(const std::string& dir) override;
  bool OpenKey() override;
  bool WriteValues(const std::string& data_path, const std::string& open_key) override;
  void SetAccessKey(const uint8_t (&key)[16]) override;
  // Why the last OpenKey or WriteValues failed (for the console).
  const std::string& last_error() const { return error_; }

 private:
  std::string path_;
  const platform::Registry* fallback_;
  GlobalArea* global_;
  platform::HiveFile hive_;
  std::string error_;
};

}  // namespace netward
