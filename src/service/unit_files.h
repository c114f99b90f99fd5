// The two systemd units of the agent, filled in from the templates in packaging/.
#pragma once

#include <string>

#include "service/service_manager.h"

namespace netward::service {

// One ExecStart word as systemd reads it back unchanged: quoted when it holds blanks or quotes,
// with "%" and "$" doubled so that no specifier or variable is expanded.
std::string ExecWord(const std::string& word);

std::string AgentUnitText(const ServiceConfig& config);
std::string DriverUnitText();

}  // namespace netward::service
