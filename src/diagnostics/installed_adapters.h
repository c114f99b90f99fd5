// Installed network cards and their driver files, read from the registry's NetworkCards and driver
// service keys: the "INSTALLED NETWORK ADAPTERS" report and the start-up pass that gives each
// monitored adapter its card title and driver file date.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "state/shared_state.h"
#include "platform/output.h"
#include "platform/registry.h"

namespace netward {

inline constexpr size_t kInstalledReportMinBytes = 1000;  // smaller areas stay empty
inline constexpr size_t kDriverLineMinBytes = 100;        // smaller fields stay untouched
inline constexpr size_t kDriverLineBytes = 512;
inline constexpr int kMaxReportedCards = 15;

// The file an `ImagePath` names: a leading "\SystemRoot\" (any letter case) becomes the Windows
// directory (`windows_dir`, the agent's state directory) and a separator, with the rest's
// backslashes as this platform's separators; any other path is used unchanged, so a relative one
// is looked up from the current directory.
std::string DriverFilePath(std::string_view image_path, std::string_view windows_dir);

// Clears `text` (`size` bytes, NUL-terminated on return) and writes the report into it; areas
// smaller than 1000 bytes stay empty. The text is cut at the end of the area.
void ListInstalledAdapters(const platform::Registry& registry, const std::string& windows_dir, char* text,
                           size_t size);

// The driver line of the report for the driver service `service`: "?" without an ImagePath, the
// file's name, size and last-write time when it is found, else the path. The field stays as it was
// when it is smaller than 100 bytes or the service key does not exist.
void FormatDriverFileDate(const platform::Registry& registry, const std::string& windows_dir, const char* service,
                          char* field, size_t size);

// Start-up: for every installed card whose driver file is found, stores the card's title, the
// driver file text and its last-write time into the first monitored adapter whose AdapterName
// equals the card's ServiceName (letter case ignored).
void CheckDriverDates(const platform::Registry& registry, const std::string& windows_dir, GlobalArea& global,
                      platform::Output& out);

}  // namespace netward
