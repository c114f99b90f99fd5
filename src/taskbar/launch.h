// Starting the desktop programs of the taskbar (the client, the help viewer): without a shell,
// without waiting for them. Children that have ended are collected by ReapLaunchedPrograms.
#pragma once

#include <string>
#include <vector>

namespace netward {

// Starts `path` (a name without '/' is looked for along PATH) with `args` after it, standard input
// from /dev/null, and this process's environment with the "NAME=value" entries of `env` set.
// False when it could not be started.
bool LaunchProgram(const std::string& path, const std::vector<std::string>& args,
                   const std::vector<std::string>& env = {});
// Starts the client program: with a local endpoint, the endpoint and `key` go to it in a hand-off
// file (client_handoff.h) named by its environment, never on its command line. The file is removed
// again when the program cannot be started; otherwise the client removes it.
bool LaunchClient(const std::string& path, const std::string& local_endpoint, const std::string& key);
// Collects the programs started here that have ended; cheap, called once a second.
void ReapLaunchedPrograms();
// How many programs started here have not been collected yet.
int LaunchedProgramsRunning();

}  // namespace netward
