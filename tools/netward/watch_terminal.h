// `netward --watch SECONDS REQUEST`: sends the request every SECONDS and redraws its WatchView in
// place, like `top`, until 'q', Ctrl+C or SIGTERM. On a terminal the screen is the alternate one
// (given back at the end) and keys are read without echo; otherwise each poll's screen is printed
// after the last.
#pragma once

#include <string>

#include "agent_client.h"

namespace netward::client {

struct WatchSettings {
  Target target;
  std::string key;
  std::string request;
  double interval_seconds = 2;
};

// Returns the exit status: 0 after 'q' or a signal, 2 when the agent cannot be reached at the
// start, 3 when it refuses the key. An agent lost later is retried at every interval.
int RunWatch(const WatchSettings& settings);

}  // namespace netward::client
