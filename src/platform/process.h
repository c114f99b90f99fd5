// Programs started by the agent and its tools: posix_spawn, never a shell.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace netward::platform {

// Starts `path` with `argv` (argv[0] first, null-terminated) and the given descriptors as its
// standard input, output and error (-1: /dev/null). Every other descriptor of this process is
// closed in the child, and the child starts with no signal blocked and every disposition at its
// default, whatever the calling thread has (the agent's threads block the console signals).
// `envp` (null-terminated "NAME=value" entries) is the child's whole environment; null: this
// process's. Returns the child's pid, or -1 with errno set.
pid_t SpawnProgram(const char* path, char* const argv[], int in_fd, int out_fd, int err_fd,
                   char* const envp[] = nullptr);

struct ProgramResult {
  int spawn_error = 0;  // errno when the program could not be started
  int exit_status = -1; // its exit status; 128 + signal number when a signal ended it
  std::string out;      // standard output, at most kProgramOutputLimit bytes
  std::string err;      // standard error, likewise
};

inline constexpr size_t kProgramOutputLimit = 64 * 1024;

// Runs a program to its end with its standard input on /dev/null and collects its output.
// argv[0] is the program's absolute path.
ProgramResult RunProgram(const std::vector<std::string>& argv);

}  // namespace netward::platform
