// The TCP/IP configuration report: each monitored adapter's address, mask, gateway, DNS and WINS
// settings as the registry holds them, with warnings about doubtful settings; building it also
// refreshes every adapter's TcpipConfig, from which station roles ("Self", "GW", ...) are taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "state/shared_state.h"
#include "platform/registry.h"

namespace netward {

inline constexpr size_t kTcpipReportMinBytes = 4000;
inline constexpr size_t kAddressListBytes = 800;  // one registry list value, NUL-terminated
inline constexpr size_t kAddressSlot = 16;        // 15 characters and a blank

// Rewrites the list in `list` (entries as a multi-string, ended by an empty string, and/or separated
// by blanks inside one string) into 16-character slots, NUL-terminated. An empty list leaves the
// whole buffer zeroed. Slots that do not fit in `size` bytes are dropped.
void FormatAddressList(char* list, size_t size);

// Zeroes `target` (50 entries), then converts each slot of `slots` while its first character is not
// NUL into an IPv4 address in network order.
void ParseAddressList(const char* slots, uint32_t (&target)[kTcpipListEntries]);

// Writes the report into `out` (at least 4000 bytes, else "ERROR - BUFFER TOO SMALL") from the
// TCP/IP keys of `registry` for the adapters of `g`, and rewrites their TcpipConfig arrays; sets
// AddressText once. `now` is the current time (DHCP lease checks).
void BuildTcpipReport(const platform::Registry& registry, GlobalArea& g, time_t now, char* out, size_t size);

// Builds the report into a scratch buffer (the text is dropped), then updates every station's role
// and, where it has none, its name from the adapter's DNS names; a changed station gets the current
// frame sequence so that clients see it as changed.
void RefreshStationLabels(const platform::Registry& registry, GlobalArea& g, time_t now);

}  // namespace netward
