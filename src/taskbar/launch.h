// Starting the desktop programs of the taskbar (the client, the help viewer): without a shell,
// without waiting for them. Children that have ended are collected by ReapLaunchedPrograms.
#pragma once

#include <string>
#include <vector>

namespace netward {

// Starts `path` (a name without '/' is looked for along PATH) with `args` after it, standard input
// from /dev/null. False when it could not be started.
bool LaunchProgram(const std::string& path, const std::vector<std::string>& args);
// Collects the programs started here that have ended; cheap, called once a second.
void ReapLaunchedPrograms();
// How many programs started here have not been collected yet.
int LaunchedProgramsRunning();

}  // namespace netward
