// Readers of the kernel's network tables (/proc/net/route, ipv6_route, arp, tcp, tcp6) and of
// resolv.conf, each turning the file's text into the lines the helper prints. The input is outside
// bytes: at most kMaxTableBytes are looked at, lines longer than kMaxLineBytes and lines whose fields
// do not parse are skipped, and at most kMaxRows rows are printed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace verevedo {

inline constexpr size_t kMaxTableBytes = 1 << 20;
inline constexpr size_t kMaxLineBytes = 512;
inline constexpr size_t kMaxRows = 4096;
inline constexpr size_t kMaxNameServers = 16;

// Reads up to kMaxTableBytes of `path` into `out`; false when it cannot be opened.
bool ReadTable(const char* path, std::string& out);

// Each Format* appends its table (a title line, a column header and one line per row) to `out`
// and returns the number of rows printed.
size_t FormatRoutes(std::string_view proc_net_route, std::string& out);
size_t FormatRoutes6(std::string_view proc_net_ipv6_route, std::string& out);
size_t FormatArp(std::string_view proc_net_arp, std::string& out);
// `v6` selects the tcp6 layout (addresses of four 32-bit words).
size_t FormatTcp(std::string_view proc_net_tcp, bool v6, std::string& out);

struct ResolverConfig {
  std::vector<std::string> name_servers;  // at most kMaxNameServers
  std::vector<std::string> search;        // domains of the last "search" or "domain" line
};
ResolverConfig ParseResolvConf(std::string_view text);

}  // namespace verevedo
