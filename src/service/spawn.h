// Runs a program with posix_spawn (no shell) and collects its output.
#pragma once

#include <string>
#include <vector>

namespace netward::service {

struct SpawnResult {
  int spawn_error = 0;  // errno when the program could not be started
  int exit_status = -1; // its exit status; 128 + signal number when a signal ended it
  std::string out;      // standard output, at most kSpawnOutputLimit bytes
  std::string err;      // standard error, likewise
};

inline constexpr size_t kSpawnOutputLimit = 64 * 1024;

// argv[0] is the program's absolute path.
SpawnResult RunProgram(const std::vector<std::string>& argv);

}  // namespace netward::service
