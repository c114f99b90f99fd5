// File operations the agent needs: directory listing with a wildcard pattern, whole-record appends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace netward::platform {

// Wildcard match as the platform's file search does it: '*' any run, '?' one character, letters
// compared case-insensitively.
bool MatchPattern(const char* pattern, const char* name);

// Names (not paths) of the regular files in `dir` that match `pattern`, sorted.
std::vector<std::string> ListDirectory(const std::string& dir, const char* pattern);

// Opens `path` for appending (creating it), writes `n` bytes, syncs and closes. A power cut loses at
// most the record being written. False when the file cannot be opened or written.
bool AppendFile(const std::string& path, const void* data, size_t n);

// Whole contents of a file; false when it cannot be read.
bool ReadFile(const std::string& path, std::vector<uint8_t>& out);

// Where programs started by the agent are looked for: the directory of the agent's own executable
// ("." when it cannot be told), and the directories of $PATH in order (an empty entry is ".").
std::string OwnProgramDirectory();
std::vector<std::string> PathDirectories();

}  // namespace netward::platform
