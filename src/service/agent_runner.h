// RunAgent: the common start of service and console mode over the real platform.
#pragma once

#include <signal.h>

#include "service/service_host.h"

namespace netward::service {

// Builds the registry, clock and agent for `run`, reports running, takes console events on a
// signal thread and runs AgentMain until it returns. `signals` were blocked before any thread.
int RunAgent(ServiceHost& host, const HostRun& run, platform::Output& out, const sigset_t& signals);

}  // namespace netward::service
