#include "proc_tables.h"

#include <arpa/inet.h>

#include <array>
#include <charconv>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace verevedo {
namespace {

constexpr size_t kMaxFields = 24;

struct Fields {
  std::array<std::string_view, kMaxFields> f;
  size_t n = 0;
};

// Splits at blanks and tabs; fields past kMaxFields are dropped.
Fields Split(std::string_view line) {
  Fields out;
  size_t i = 0;
  while (i < line.size() && out.n < kMaxFields) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) out.f[out.n++] = line.substr(start, i - start);
  }
  return out;
}

// Calls `row` for each line after the first `skip` ones, within the size limits.
template <typename Row>
void ForEachLine(std::string_view text, size_t skip, Row row) {
  if (text.size() > kMaxTableBytes) text = text.substr(0, kMaxTableBytes);
  size_t index = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (index++ < skip || line.size() > kMaxLineBytes) continue;
    row(line);
  }
}

template <typename T>
bool ParseNumber(std::string_view s, T& value, int base) {
  if (s.empty()) return false;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
  return ec == std::errc() && ptr == s.data() + s.size();
}

// An IPv4 address the kernel printed as "%08X" of the network-order word read natively.
bool ParseHexIpv4(std::string_view s, in_addr& a) {
  uint32_t v;
  if (s.size() != 8 || !ParseNumber(s, v, 16)) return false;
  a.s_addr = v;
  return true;
}

// An IPv6 address as 32 hex digits, byte by byte (ipv6_route) or as four native words (tcp6).
bool ParseHexIpv6(std::string_view s, bool words, in6_addr& a) {
  if (s.size() != 32) return false;
  if (words) {
    for (int w = 0; w < 4; ++w) {
      uint32_t v;
      if (!ParseNumber(s.substr(w * 8, 8), v, 16)) return false;
      memcpy(a.s6_addr + w * 4, &v, 4);
    }
  } else {
    for (int b = 0; b < 16; ++b) {
      if (!ParseNumber(s.substr(b * 2, 2), a.s6_addr[b], 16)) return false;
    }
  }
  return true;
}

std::string Text4(in_addr a) {
  char t[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, t, sizeof t) ? t : "?";
}

std::string Text6(const in6_addr& a) {
  char t[INET6_ADDRSTRLEN];
  return inet_ntop(AF_INET6, &a, t, sizeof t) ? t : "?";
}

void AppendLine(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void AppendLine(std::string& out, const char* fmt, ...) {
  char line[kMaxLineBytes + 128];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  out.append(line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
  out += '\n';
}

// Route flags of <linux/route.h>, as letters.
std::string RouteFlags(uint32_t flags) {
  static constexpr struct {
    uint32_t bit;
    char letter;
  } kFlags[] = {{0x0001, 'U'}, {0x0002, 'G'}, {0x0004, 'H'}, {0x0008, 'R'},
                {0x0010, 'D'}, {0x0020, 'M'}, {0x0200, '!'}};
  std::string s;
  for (const auto& f : kFlags) {
    if (flags & f.bit) s += f.letter;
  }
  return s;
}

const char* TcpState(unsigned st) {
  static constexpr const char* kStates[] = {"UNKNOWN",   "ESTABLISHED", "SYN_SENT", "SYN_RECV",
                                            "FIN_WAIT1", "FIN_WAIT2",   "TIME_WAIT", "CLOSE",
                                            "CLOSE_WAIT", "LAST_ACK",   "LISTEN",   "CLOSING",
                                            "NEW_SYN_RECV"};
  return st < sizeof kStates / sizeof kStates[0] ? kStates[st] : "UNKNOWN";
}

// "ADDR:PORT" of /proc/net/tcp{,6} as "a.b.c.d:port" or "[v6]:port".
bool TcpEndpoint(std::string_view field, bool v6, std::string& out) {
  size_t colon = field.find(':');
  if (colon == std::string_view::npos) return false;
  uint16_t port;
  if (field.size() - colon - 1 != 4 || !ParseNumber(field.substr(colon + 1), port, 16)) return false;
  std::string_view addr = field.substr(0, colon);
  if (v6) {
    in6_addr a;
    if (!ParseHexIpv6(addr, true, a)) return false;
    out = "[" + Text6(a) + "]:" + std::to_string(port);
  } else {
    in_addr a;
    if (!ParseHexIpv4(addr, a)) return false;
    out = Text4(a) + ":" + std::to_string(port);
  }
  return true;
}

}  // namespace

bool ReadTable(const char* path, std::string& out) {
  out.clear();
  FILE* f = fopen(path, "re");
  if (f == nullptr) return false;
  char chunk[8192];
  size_t n;
  while (out.size() < kMaxTableBytes && (n = fread(chunk, 1, sizeof chunk, f)) > 0) {
    out.append(chunk, n < kMaxTableBytes - out.size() ? n : kMaxTableBytes - out.size());
  }
  fclose(f);
  return true;
}

// Iface Destination Gateway Flags RefCnt Use Metric Mask MTU Window IRTT
size_t FormatRoutes(std::string_view text, std::string& out) {
  AppendLine(out, "IPv4 routes");
  AppendLine(out, "%-16s %-16s %-16s %-16s %7s %s", "Destination", "Netmask", "Gateway", "Interface", "Metric",
             "Flags");
  size_t rows = 0;
  ForEachLine(text, 1, [&](std::string_view line) {
    Fields r = Split(line);
    in_addr dest, gateway, mask;
    uint32_t flags, metric;
    if (rows >= kMaxRows || r.n < 8 || r.f[0].size() > 16 || !ParseHexIpv4(r.f[1], dest) ||
        !ParseHexIpv4(r.f[2], gateway) || !ParseNumber(r.f[3], flags, 16) || !ParseNumber(r.f[6], metric, 10) ||
        !ParseHexIpv4(r.f[7], mask)) {
      return;
    }
    AppendLine(out, "%-16s %-16s %-16s %-16.*s %7u %s", Text4(dest).c_str(), Text4(mask).c_str(),
               Text4(gateway).c_str(), static_cast<int>(r.f[0].size()), r.f[0].data(), metric,
               RouteFlags(flags).c_str());
    ++rows;
  });
  return rows;
}

// dest dest_plen src src_plen next_hop metric refcnt use flags iface (hex, address bytes in order)
size_t FormatRoutes6(std::string_view text, std::string& out) {
  AppendLine(out, "IPv6 routes");
  AppendLine(out, "%-44s %-40s %-16s %10s %s", "Destination", "Next hop", "Interface", "Metric", "Flags");
  size_t rows = 0;
  ForEachLine(text, 0, [&](std::string_view line) {
    Fields r = Split(line);
    in6_addr dest, next_hop;
    uint8_t plen;
    uint32_t metric, flags;
    if (rows >= kMaxRows || r.n < 10 || r.f[9].size() > 16 || !ParseHexIpv6(r.f[0], false, dest) ||
        !ParseNumber(r.f[1], plen, 16) || plen > 128 || !ParseHexIpv6(r.f[4], false, next_hop) ||
        !ParseNumber(r.f[5], metric, 16) || !ParseNumber(r.f[8], flags, 16)) {
      return;
    }
    std::string d = Text6(dest) + "/" + std::to_string(plen);
    AppendLine(out, "%-44s %-40s %-16.*s %10u %s", d.c_str(), Text6(next_hop).c_str(),
               static_cast<int>(r.f[9].size()), r.f[9].data(), metric, RouteFlags(flags).c_str());
    ++rows;
  });
  return rows;
}

// IP address, HW type, Flags, HW address, Mask, Device
size_t FormatArp(std::string_view text, std::string& out) {
  AppendLine(out, "IPv4 neighbours");
  AppendLine(out, "%-16s %-20s %-11s %s", "Address", "Hardware address", "Type", "Interface");
  size_t rows = 0;
  ForEachLine(text, 1, [&](std::string_view line) {
    Fields r = Split(line);
    in_addr ip;
    uint32_t flags;
    std::string address(r.n > 0 ? r.f[0] : std::string_view());
    if (rows >= kMaxRows || r.n < 6 || r.f[3].size() > 20 || r.f[5].size() > 16 ||
        inet_pton(AF_INET, address.c_str(), &ip) != 1 || r.f[2].size() < 3 || r.f[2].substr(0, 2) != "0x" ||
        !ParseNumber(r.f[2].substr(2), flags, 16)) {
      return;
    }
    // ATF_COM: the hardware address is known; ATF_PERM: set by hand.
    const char* type = (flags & 0x04) ? "static" : (flags & 0x02) ? "dynamic" : "incomplete";
    AppendLine(out, "%-16s %-20.*s %-11s %.*s", Text4(ip).c_str(), static_cast<int>(r.f[3].size()), r.f[3].data(),
               type, static_cast<int>(r.f[5].size()), r.f[5].data());
    ++rows;
  });
  if (rows == 0) AppendLine(out, "No neighbour entries.");
  return rows;
}

// sl local_address rem_address st ...
size_t FormatTcp(std::string_view text, bool v6, std::string& out) {
  AppendLine(out, v6 ? "TCP over IPv6" : "TCP over IPv4");
  const int width = v6 ? 47 : 23;  // "[v6 address]:port" or "a.b.c.d:port"
  AppendLine(out, "%-6s %-*s %-*s %s", "Proto", width, "Local address", width, "Foreign address", "State");
  size_t rows = 0;
  ForEachLine(text, 1, [&](std::string_view line) {
    Fields r = Split(line);
    unsigned state;
    std::string local, remote;
    if (rows >= kMaxRows || r.n < 4 || !TcpEndpoint(r.f[1], v6, local) || !TcpEndpoint(r.f[2], v6, remote) ||
        r.f[3].size() != 2 || !ParseNumber(r.f[3], state, 16)) {
      return;
    }
    AppendLine(out, "%-6s %-*s %-*s %s", v6 ? "TCP6" : "TCP", width, local.c_str(), width, remote.c_str(),
               TcpState(state));
    ++rows;
  });
  return rows;
}

ResolverConfig ParseResolvConf(std::string_view text) {
  ResolverConfig config;
  ForEachLine(text, 0, [&](std::string_view line) {
    Fields r = Split(line);
    if (r.n < 2 || r.f[0].front() == '#' || r.f[0].front() == ';') return;
    if (r.f[0] == "nameserver" && config.name_servers.size() < kMaxNameServers) {
      config.name_servers.emplace_back(r.f[1]);
    } else if (r.f[0] == "search" || r.f[0] == "domain") {
      config.search.clear();
      for (size_t i = 1; i < r.n; ++i) config.search.emplace_back(r.f[i]);
    }
  });
  return config;
}

}  // namespace verevedo
