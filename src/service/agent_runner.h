// RunAgent: the common start of service and console mode over the real platform.
#pragma once

#include "service/console_events.h"
#include "service/service_host.h"

namespace netward::service {

// Builds the registry, clock and agent for `run`, reports running, hands console events from
// `signals` (when given) to the agent and runs AgentMain until it returns.
int RunAgent(ServiceHost& host, const HostRun& run, platform::Output& out, ConsoleSignalThread* signals);

}  // namespace netward::service
