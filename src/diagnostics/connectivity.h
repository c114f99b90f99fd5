// Connectivity tests: driver age, the subnet broadcasts seen on the wire against the configured
// subnets, and pings of each adapter's gateways, DNS and WINS servers. Pings and other command texts
// are carried out by the helper program `verevedo`, started without a shell; its standard output and
// standard error are collected into the caller's text area.
//
// Every operation first zero-fills its area (all `size` bytes) and writes only inside it; nothing is
// allocated on the heap. The text is NUL-terminated, except that helper output may end in a CR LF
// pair that takes the area's last two bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "state/shared_state.h"
#include "platform/registry.h"

namespace netward {

inline constexpr char kHelperProgram[] = "verevedo";
// Directory searched for the helper after the agent's own one (before PATH).
inline constexpr char kHelperDirVariable[] = "NETWARD_HELPER_DIR";
inline constexpr size_t kHelperReadBytes = 4096;      // one read from the helper's pipe
inline constexpr size_t kHelperCommandBytes = 1024;   // command text passed on, longer is cut
inline constexpr int kHelperMaxArgs = 32;             // words of the command text passed on

// Refreshes every adapter's TcpipConfig (RefreshStationLabels), then writes the driver warnings, the
// subnet broadcast check and the gateway, DNS and WINS pings with their section headers.
void RunConnectivityTests(const platform::Registry& registry, GlobalArea& g, time_t now, char* area,
                          size_t size);

// One warning per adapter whose driver file is dated 24 or more calendar months before `now`
// (local time); NDISWAN.SYS and adapters without a driver date are left out.
void CheckDriverAge(const GlobalArea& g, time_t now, char* area, size_t size);

// One line per distinct broadcast address seen in the adapters' group frame rings and per configured
// broadcast not seen, and a warning when a configured subnet was not seen while others were.
void CheckSubnetBroadcasts(const GlobalArea& g, char* area, size_t size);

// The helper's output of "PING <address>" for each entry of every adapter's list, or the
// "... NOT DEFINED" text when no adapter has one.
void PingGateways(const GlobalArea& g, char* area, size_t size);
void PingDnsServers(const GlobalArea& g, char* area, size_t size);
void PingWinsServers(const GlobalArea& g, char* area, size_t size);

// Runs "PING <dotted address>" for each entry (network order) up to the first 0; returns the bytes
// written.
size_t PingAddressList(const uint32_t (&addresses)[kTcpipListEntries], char* area, size_t size);

// Starts the helper with `command` split into words at blanks and tabs, collects what it writes to
// standard output and standard error (a bare LF becomes CR LF) while at least 2 bytes of room remain,
// drains the rest, and waits for it to exit, without a time limit. Returns the bytes written; 0 when
// the helper cannot be found or started (the area is then all zeros).
//
// The helper is looked for in the agent's own directory (that of /proc/self/exe), then in
// $NETWARD_HELPER_DIR when set, then along PATH.
size_t RunHelperCommand(const char* command, char* area, size_t size);

}  // namespace netward
