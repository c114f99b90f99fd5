// The console's command line and where its endpoint and key come from.
#pragma once

#include <string>
#include <vector>

#include "agent_client.h"

namespace netward::console {

// The service's local endpoint (its runtime directory, RuntimeDirectory=netward).
inline constexpr char kDefaultLocalEndpoint[] = "/run/netward/tapeyesv.sock";

struct ConsoleOptions {
  client::Target target;  // default: the local endpoint above
  bool target_given = false;
  bool have_key = false;
  std::string key;
  std::string snapshot;  // a .NWS file to show instead of an agent
  bool help = false;
};

inline constexpr char kConsoleUsage[] =
    "usage: netward-console [HOST[:PORT] | --host H [--port P | --epm [--epm-port N]] | --local PATH]\n"
    "                       [--key TEXT] [--timeout SECONDS]\n"
    "       netward-console --snapshot FILE\n";

// The arguments after the program name. False with `err` for a usage error.
bool ParseConsoleArgs(const std::vector<std::string>& args, ConsoleOptions& out, std::string& err);

// The key and endpoint from elsewhere, first found wins for the key: --key (already in `o`), the
// agent's hand-off (its endpoint too, unless the command line named one), $NETWARD_KEY. Null
// pointers: not there. Without any, the console asks for the key.
void ApplyKeySources(ConsoleOptions& o, const std::string* handoff_endpoint, const std::string* handoff_key,
                     const char* env_key);

}  // namespace netward::console
