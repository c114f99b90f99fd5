// netward-console: the desktop client of the NETWARD agent. Shows one agent (this machine's local
// endpoint by default, a host:port, or a host's endpoint mapper) or one snapshot file in GTK views.
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console_options.h"
#include "console_window.h"
#include "exit_status.h"
#include "reply_source.h"
#include "taskbar/client_handoff.h"
extern "C" {
#include "console_resources.h"  // generated from console.gresource.xml
}

namespace {

using namespace netward;
using namespace netward::console;

constexpr const char* kHelp =
    "Shows a NETWARD agent in a window: the traffic state and totals, stations, recent frames and\n"
    "errors, broadcasts, the day's history as a chart, adapters and configuration; or, with --snapshot,\n"
    "a snapshot file (.NWS) offline.\n"
    "\n"
    "  HOST[:PORT]      an agent on another host: its TCP port, or without one its endpoint mapper\n"
    "  --host H         the same, with --port P or --epm [--epm-port N]\n"
    "  --local PATH     the agent's local endpoint (default /run/netward/tapeyesv.sock)\n"
    "  --key TEXT       access key, at most 16 bytes (default: $NETWARD_KEY, else asked for)\n"
    "  --timeout S      seconds to wait for each reply (default 15)\n"
    "  --snapshot FILE  show a snapshot file instead of an agent\n"
    "\n"
    "Started by the tray's \"Advanced\", it is handed the agent's local endpoint and key in a file only\n"
    "the user can read, named by $NETWARD_CONSOLE_HANDOFF and removed once read.\n"
    "\n"
    "Exit status: 0 closed, 1 usage, 2 agent unreachable, 3 key refused (the prompt cancelled),\n"
    "4 malformed reply or snapshot file, 5 file not readable.\n";

}  // namespace

int main(int argc, char** argv) {
  ConsoleOptions options;
  std::string err;
  if (!ParseConsoleArgs(std::vector<std::string>(argv + 1, argv + argc), options, err)) {
    std::fprintf(stderr, "netward-console: %s\n%s", err.c_str(), kConsoleUsage);
    return client::kExitUsage;
  }
  if (options.help) {
    std::printf("%s\n%s", kConsoleUsage, kHelp);
    return client::kExitOk;
  }
  // The agent's hand-off is read (and removed) first of all, whatever else happens.
  ClientHandoff handoff;
  bool have_handoff = false;
  if (const char* path = std::getenv(kHandoffVariable); path != nullptr && *path != 0) {
    have_handoff = TakeHandoffFile(path, handoff, err);
    if (!have_handoff) std::fprintf(stderr, "netward-console: the agent's hand-off is not used: %s\n", err.c_str());
    unsetenv(kHandoffVariable);
  }
  ApplyKeySources(options, have_handoff ? &handoff.local_endpoint : nullptr, have_handoff ? &handoff.key : nullptr,
                  std::getenv("NETWARD_KEY"));

  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "netward-console: no display to open a window on\n");
    return client::kExitUsage;
  }
  g_set_application_name("netward-console");
  netward_console_register_resource();

  std::unique_ptr<ReplySource> source;
  if (!options.snapshot.empty()) {
    bool malformed = false;
    source = OpenSnapshot(options.snapshot, err, &malformed);
    if (!source) {
      std::fprintf(stderr, "netward-console: %s\n", err.c_str());
      return malformed ? client::kExitMalformed : client::kExitFile;
    }
  } else {
    source = std::make_unique<LiveSource>(options.target, options.key);
  }
  int status = client::kExitOk;
  {
    ConsoleWindow window(std::move(source), options.snapshot.empty() && !options.have_key);
    window.OnClosed([] { gtk_main_quit(); });
    gtk_main();
    status = window.exit_status();
  }
  return status;
}
