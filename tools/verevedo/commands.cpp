#include "commands.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "ping.h"
#include "proc_tables.h"

namespace verevedo {
namespace {

bool Is(const char* word, const char* expected) { return strcasecmp(word, expected) == 0; }

void Print(const std::string& text, FILE* out) { fwrite(text.data(), 1, text.size(), out); }

// Prints a table from `path`, or says why it cannot.
void PrintTable(const char* path, size_t (*format)(std::string_view, std::string&), FILE* out) {
  std::string text, lines;
  if (!ReadTable(path, text)) {
    fprintf(out, "Cannot read %s.\n", path);
    return;
  }
  format(text, lines);
  Print(lines, out);
}

size_t FormatTcp4(std::string_view t, std::string& o) { return FormatTcp(t, false, o); }
size_t FormatTcp6(std::string_view t, std::string& o) { return FormatTcp(t, true, o); }

std::string AddressText(const sockaddr* a) {
  char t[INET6_ADDRSTRLEN] = "?";
  if (a->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, t, sizeof t);
  } else if (a->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, t, sizeof t);
  }
  return t;
}

int PrefixLength(const sockaddr* mask) {
  const uint8_t* p = nullptr;
  size_t n = 0;
  if (mask == nullptr) return 0;
  if (mask->sa_family == AF_INET) {
    p = reinterpret_cast<const uint8_t*>(&reinterpret_cast<const sockaddr_in*>(mask)->sin_addr);
    n = 4;
  } else if (mask->sa_family == AF_INET6) {
    p = reinterpret_cast<const sockaddr_in6*>(mask)->sin6_addr.s6_addr;
    n = 16;
  }
  int bits = 0;
  for (size_t i = 0; i < n; ++i) bits += __builtin_popcount(p[i]);
  return bits;
}

std::string FlagsText(unsigned flags) {
  static constexpr struct {
    unsigned bit;
    const char* name;
  } kFlags[] = {{IFF_UP, "UP"},           {IFF_BROADCAST, "BROADCAST"}, {IFF_LOOPBACK, "LOOPBACK"},
                {IFF_POINTOPOINT, "POINTOPOINT"}, {IFF_RUNNING, "RUNNING"}, {IFF_PROMISC, "PROMISC"},
                {IFF_MULTICAST, "MULTICAST"}};
  std::string s;
  for (const auto& f : kFlags) {
    if (flags & f.bit) s += (s.empty() ? "" : " ") + std::string(f.name);
  }
  return s;
}

int IpConfig(FILE* out) {
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  std::string resolv;
  ResolverConfig dns;
  if (ReadTable("/etc/resolv.conf", resolv)) dns = ParseResolvConf(resolv);
  fprintf(out, "\nHost name . . . . . : %s\n", host);
  std::string servers, search;
  for (const auto& s : dns.name_servers) servers += (servers.empty() ? "" : ", ") + s;
  for (const auto& s : dns.search) search += (search.empty() ? "" : ", ") + s;
  fprintf(out, "DNS servers . . . . : %s\n", servers.empty() ? "(none)" : servers.c_str());
  fprintf(out, "Search domains  . . : %s\n", search.empty() ? "(none)" : search.c_str());

  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    fprintf(out, "Cannot list the interfaces.\n");
    return kExitFailed;
  }
  // getifaddrs gives the AF_PACKET entry of each interface first; print a heading there and the
  // addresses under it.
  for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_PACKET) continue;
    fprintf(out, "\nInterface %s\n", i->ifa_name);
    fprintf(out, "   Flags . . . . . . : %s\n", FlagsText(i->ifa_flags).c_str());
    const auto* ll = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
    std::string mac;
    for (int b = 0; b < ll->sll_halen && b < 8; ++b) {
      char h[4];
      snprintf(h, sizeof h, b ? ":%02x" : "%02x", ll->sll_addr[b]);
      mac += h;
    }
    fprintf(out, "   Hardware address  : %s\n", mac.empty() ? "(none)" : mac.c_str());
    for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
      if (a->ifa_addr == nullptr || strcmp(a->ifa_name, i->ifa_name) != 0) continue;
      if (a->ifa_addr->sa_family == AF_INET) {
        fprintf(out, "   IPv4 address  . . : %s\n", AddressText(a->ifa_addr).c_str());
        if (a->ifa_netmask) fprintf(out, "   Subnet mask . . . : %s\n", AddressText(a->ifa_netmask).c_str());
      } else if (a->ifa_addr->sa_family == AF_INET6) {
        fprintf(out, "   IPv6 address  . . : %s/%d\n", AddressText(a->ifa_addr).c_str(), PrefixLength(a->ifa_netmask));
      }
    }
  }
  freeifaddrs(list);
  return kExitOk;
}

int Unknown(int argc, const char* const* args, FILE* out) {
  std::string text;
  for (int i = 0; i < argc; ++i) text += (i ? " " : "") + std::string(args[i]);
  fprintf(out, "Unknown command: %s\n", text.c_str());
  return kExitFailed;
}

}  // namespace

int RunCommand(int argc, const char* const* args, FILE* out) {
  if (argc == 2 && Is(args[0], "PING")) {
    in_addr target;
    if (inet_pton(AF_INET, args[1], &target) != 1) {
      fprintf(out, "PING: not a dotted IPv4 address: %s\n", args[1]);
      return kExitFailed;
    }
    switch (Ping(target, out)) {
      case PingResult::kReplied: return kExitOk;
      case PingResult::kNoReply: return kExitFailed;
      case PingResult::kNoSocket: return kExitNoSocket;
    }
  }
  if (argc == 2 && Is(args[0], "ROUTE") && Is(args[1], "PRINT")) {
    PrintTable("/proc/net/route", FormatRoutes, out);
    fputc('\n', out);
    PrintTable("/proc/net/ipv6_route", FormatRoutes6, out);
    return kExitOk;
  }
  if (argc == 2 && Is(args[0], "IPCONFIG") && Is(args[1], "-all")) return IpConfig(out);
  if (argc == 2 && Is(args[0], "ARP") && Is(args[1], "-a")) {
    PrintTable("/proc/net/arp", FormatArp, out);
    return kExitOk;
  }
  if (argc == 2 && Is(args[0], "NETSTAT") && Is(args[1], "-n")) {
    PrintTable("/proc/net/tcp", FormatTcp4, out);
    fputc('\n', out);
    PrintTable("/proc/net/tcp6", FormatTcp6, out);
    return kExitOk;
  }
  return Unknown(argc, args, out);
}

}  // namespace verevedo
