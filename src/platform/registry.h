// Registry: values under key paths, read through one interface by the hive file of settings
// (hive_file.h) and by the read-only view of this machine (system_registry.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace netward::platform {

enum RegType : uint32_t {
  kRegNone = 0,
  kRegSz = 1,
  kRegExpandSz = 2,
  kRegBinary = 3,
  kRegDword = 4,
  kRegMultiSz = 7,
};

struct RegValue {
  uint32_t type = kRegNone;
  std::vector<uint8_t> data;  // raw bytes; strings carry their terminator (8-bit in REGEDIT4 files)
};

// Compares key paths and value names the way the registry does: ASCII case-insensitively.
struct CaseInsensitiveLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// Read access shared by the hive and the system view.
class Registry {
 public:
  virtual ~Registry() = default;
  // `key` is a full path such as "HKEY_LOCAL_MACHINE\SOFTWARE\Brackwater\NETWARD\Parameters"
  // ("HKLM\" is accepted for the root).
  virtual std::optional<RegValue> Query(std::string_view key, std::string_view name) const = 0;
  virtual bool KeyExists(std::string_view key) const = 0;
  // Names of the direct sub-keys of `key`, in sorted order.
  virtual std::vector<std::string> SubKeys(std::string_view key) const = 0;
  // Names of the values under `key` ("" for the default value), in sorted order.
  virtual std::vector<std::string> ValueNames(std::string_view key) const = 0;

  // Typed helpers. A value of another type reads as absent.
  std::optional<std::string> GetString(std::string_view key, std::string_view name) const;
  std::optional<uint32_t> GetDword(std::string_view key, std::string_view name) const;
  // Multi-string entries, widened from 8-bit when the value holds 8-bit text, or read as UTF-16LE
  // when the data is UTF-16 (as the system view produces it).
  std::vector<std::u16string> GetMultiString(std::string_view key, std::string_view name) const;

  // Re-reads the file the values came from, where there is one. False with the reason in `error`
  // when it can no longer be read; the values in force then stay.
  virtual bool Reload(std::string& error) {
    (void)error;
    return true;
  }
};

// Canonical form of a key path: root spelled out, no trailing backslash.
std::string CanonicalKey(std::string_view key);

// Key paths and value names compared the way the registry does: ASCII case-insensitively.
bool KeyNameEquals(std::string_view a, std::string_view b);
bool KeyNameStartsWith(std::string_view s, std::string_view prefix);

// UTF-16 multi-string bytes (little-endian, each entry terminated, a final extra terminator).
std::vector<uint8_t> EncodeMultiStringUtf16(const std::vector<std::u16string>& entries);
std::u16string Widen(std::string_view s);

}  // namespace netward::platform
