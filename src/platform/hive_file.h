// The settings file: a hive of keys and values in REGEDIT4 text, read and written whole.
#pragma once

#include <map>

#include "platform/registry.h"

namespace netward::platform {

// A hive file in REGEDIT4 syntax:
//   REGEDIT4
//   ; comment
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Brackwater\NETWARD\Parameters]
//   "DataPath"="C:\\history"        string (\\ and \" escapes)
//   "AutoIpName"=dword:00000000     32-bit word
//   "OpenKey"=hex:41,42,43           binary; long lists continue with a trailing backslash
//   "Export"=hex(7):5c,00,...       any type by number
//   @="..."                          the key's default value
class HiveFile : public Registry {
 public:
  struct Error {
    int line = 0;  // 1-based line of the fault; 0 for file-level faults (cannot open, ...)
    std::string message;
  };
  static constexpr size_t kMaxLineBytes = 64 * 1024;
  static constexpr size_t kMaxFileBytes = 16u << 20;  // settings are a few hundred bytes

  // Parses `text`; on failure returns false and fills `error`. The hive is unchanged on failure.
  bool Parse(std::string_view text, Error& error);
  bool Load(const std::string& path, Error& error);
  // Writes the whole hive to a temporary file beside `path`, syncs it and renames it over `path`,
  // so that a crash mid-save leaves the old file intact.
  bool Save(const std::string& path, std::string& error) const;
  std::string Serialize() const;

  void Set(std::string_view key, std::string_view name, RegValue value);
  void SetString(std::string_view key, std::string_view name, std::string_view s);
  void SetDword(std::string_view key, std::string_view name, uint32_t v);
  void CreateKey(std::string_view key);

  std::optional<RegValue> Query(std::string_view key, std::string_view name) const override;
  bool KeyExists(std::string_view key) const override;
  std::vector<std::string> SubKeys(std::string_view key) const override;
  std::vector<std::string> ValueNames(std::string_view key) const override;

  bool operator==(const HiveFile& other) const;

 private:
  using Values = std::map<std::string, RegValue, CaseInsensitiveLess>;
  std::map<std::string, Values, CaseInsensitiveLess> keys_;
};

}  // namespace netward::platform
