#include "platform/tcpip_view.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <strings.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <sstream>

#include "platform/files.h"

namespace netward::platform {

namespace {

constexpr char kServicesPrefix[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
constexpr char kInterfaceSuffix[] = "\\Parameters\\Tcpip";
constexpr char kParametersKey[] = "Tcpip\\Parameters";
constexpr size_t kMaxFileBytes = 1 << 20;  // configuration and lease files read at most this far
constexpr uint32_t kRtfGateway = 0x0002;

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The first kMaxFileBytes of a regular file (opened without waiting: these are read on request
// threads, which a named pipe in place of a lease file must not hold); "" when it cannot be read.
std::string ReadText(const std::string& path) {
  std::string why;
  int fd = OpenRegularFile(path, O_RDONLY, why);
  if (fd < 0) return {};
  std::string text(kMaxFileBytes, '\0');
  size_t have = 0;
  while (have < text.size()) {
    ssize_t n = read(fd, text.data() + have, text.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += static_cast<size_t>(n);
  }
  close(fd);
  text.resize(have);
  return text;
}

RegValue Dword(uint32_t v) {
  RegValue r;
  r.type = kRegDword;
  r.data = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  return r;
}

RegValue MultiString(const std::vector<std::string>& entries) {
  std::vector<std::u16string> wide;
  for (const auto& e : entries) wide.push_back(Widen(e));
  RegValue r;
  r.type = kRegMultiSz;
  r.data = EncodeMultiStringUtf16(wide);
  return r;
}

RegValue String(const std::string& s) {
  RegValue r;
  r.type = kRegSz;
  r.data.assign(s.begin(), s.end());
  r.data.push_back(0);
  return r;
}

}  // namespace

std::vector<std::string> ParseDefaultGateways(const std::string& route_table, const std::string& ifname) {
  std::istringstream in(route_table);
  std::string line;
  std::getline(in, line);  // the column header
  std::vector<std::pair<unsigned long, std::string>> found;
  while (std::getline(in, line)) {
    char iface[IFNAMSIZ + 1] = {};
    unsigned long dest = 0, gateway = 0, flags = 0, refcnt = 0, use = 0, metric = 0;
    if (sscanf(line.c_str(), "%16s %lx %lx %lx %lu %lu %lu", iface, &dest, &gateway, &flags, &refcnt, &use, &metric) != 7)
      continue;
    // The table prints each address as the 32-bit word it keeps in network order.
    if (ifname == iface && dest == 0 && (flags & kRtfGateway))
      found.emplace_back(metric, DottedIpv4(static_cast<uint32_t>(gateway)));
  }
  std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::string> out;
  for (auto& f : found)
    if (std::find(out.begin(), out.end(), f.second) == out.end()) out.push_back(f.second);
  return out;
}

std::vector<std::string> ParseNameServers(const std::string& resolv_conf) {
  std::istringstream in(resolv_conf);
  std::vector<std::string> out;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string key, value;
    in_addr a{};
    if (words >> key >> value && key == "nameserver" && inet_pton(AF_INET, value.c_str(), &a) == 1) out.push_back(value);
  }
  return out;
}

namespace {

bool HoldsAddress(const InterfaceIpv4& nic, const std::string& a) {
  return std::any_of(nic.addresses.begin(), nic.addresses.end(), [&a](const auto& p) { return p.first == a; });
}

}  // namespace

std::optional<int64_t> ParseDhclientLeases(const std::string& text, const InterfaceIpv4& nic) {
  std::optional<int64_t> end;
  for (size_t at = text.find("lease {"); at != std::string::npos; at = text.find("lease {", at + 1)) {
    const size_t close = text.find('}', at);
    const std::string block = text.substr(at, close == std::string::npos ? std::string::npos : close - at);
    auto field = [&block](const char* name) -> std::string {
      size_t p = block.find(name);
      if (p == std::string::npos) return {};
      p += strlen(name);
      size_t semi = block.find(';', p);
      return block.substr(p, semi == std::string::npos ? std::string::npos : semi - p);
    };
    std::string iface = field("interface ");
    iface.erase(std::remove(iface.begin(), iface.end(), '"'), iface.end());
    if (iface != nic.name || !HoldsAddress(nic, field("fixed-address "))) continue;
    const std::string expire = field("expire ");
    long long epoch = 0;
    tm t{};
    int weekday = 0;
    if (sscanf(expire.c_str(), "epoch %lld", &epoch) == 1) {
      end = epoch;
    } else if (sscanf(expire.c_str(), "%d %d/%d/%d %d:%d:%d", &weekday, &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                      &t.tm_min, &t.tm_sec) == 7) {
      t.tm_year -= 1900;
      t.tm_mon -= 1;
      end = timegm(&t);  // dhclient writes lease times in UTC
    } else if (expire.rfind("never", 0) == 0) {
      end = INT32_MAX;
    }
  }
  return end;
}

std::optional<int64_t> ParseNetworkdLease(const std::string& text, const InterfaceIpv4& nic, int64_t written) {
  std::istringstream in(text);
  std::string line, address;
  long long lifetime = -1;
  while (std::getline(in, line)) {
    if (line.rfind("ADDRESS=", 0) == 0) address = line.substr(8);
    if (line.rfind("LIFETIME=", 0) == 0) lifetime = strtoll(line.c_str() + 9, nullptr, 10);
  }
  if (!HoldsAddress(nic, address)) return std::nullopt;
  if (lifetime < 0 || lifetime > INT32_MAX) return int64_t{INT32_MAX};  // no lifetime: the lease does not end
  return written + lifetime;
}

namespace {

// The end (seconds since 1970) of the lease that a DHCP client holds for one of the interface's
// addresses, or nullopt: ISC dhclient lease files (the last matching lease block counts) and
// systemd-networkd lease files (named by interface index).
std::optional<int64_t> LeaseEnd(const std::vector<std::string>& dirs, const InterfaceIpv4& nic) {
  std::optional<int64_t> end;
  const unsigned index = if_nametoindex(nic.name.c_str());
  for (const std::string& dir : dirs) {
    for (const std::string& file : ListDirectory(dir, "*")) {
      const std::string path = dir + "/" + file;
      std::optional<int64_t> found;
      struct stat st{};
      if (index != 0 && file == std::to_string(index) && stat(path.c_str(), &st) == 0)
        found = ParseNetworkdLease(ReadText(path), nic, st.st_mtime);
      else if (file.find(".lease") != std::string::npos)
        found = ParseDhclientLeases(ReadText(path), nic);
      if (found) end = found;
    }
  }
  return end;
}

}  // namespace

std::string DottedIpv4(uint32_t network_order) {
  in_addr a{};
  a.s_addr = network_order;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

std::vector<InterfaceIpv4> SystemInterfaceAddresses() {
  std::vector<InterfaceIpv4> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  auto entry = [&out](const char* name) -> InterfaceIpv4& {
    for (auto& i : out)
      if (i.name == name) return i;
    out.push_back({name, {}});
    return out.back();
  };
  for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    InterfaceIpv4& nic = entry(a->ifa_name);
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
    const uint32_t addr = reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr;
    const uint32_t mask = a->ifa_netmask ? reinterpret_cast<sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr : 0;
    nic.addresses.emplace_back(DottedIpv4(addr), DottedIpv4(mask));
  }
  freeifaddrs(list);
  return out;
}

TcpipView::TcpipView(TcpipViewPaths paths, AddressSource source) : paths_(std::move(paths)), source_(std::move(source)) {}

bool TcpipView::IsParametersKey(std::string_view key) const {
  return EqualsNoCase(key, std::string(kServicesPrefix) + kParametersKey);
}

std::optional<InterfaceIpv4> TcpipView::InterfaceOf(std::string_view key) const {
  const std::string_view prefix = kServicesPrefix, suffix = kInterfaceSuffix;
  if (key.size() <= prefix.size() + suffix.size() || !EqualsNoCase(key.substr(0, prefix.size()), prefix) ||
      !EqualsNoCase(key.substr(key.size() - suffix.size()), suffix))
    return std::nullopt;
  const std::string_view name = key.substr(prefix.size(), key.size() - prefix.size() - suffix.size());
  if (name.find('\\') != std::string_view::npos) return std::nullopt;
  for (InterfaceIpv4& nic : source_())
    if (nic.name == name) return std::move(nic);
  return std::nullopt;
}

bool TcpipView::KeyExists(std::string_view key) const { return IsParametersKey(key) || InterfaceOf(key).has_value(); }

std::optional<RegValue> TcpipView::Query(std::string_view key, std::string_view name) const {
  if (IsParametersKey(key)) {
    if (!EqualsNoCase(name, "NameServer") && !EqualsNoCase(name, "DhcpNameServer")) return std::nullopt;
    std::vector<std::string> servers = ParseNameServers(ReadText(paths_.resolv_conf));
    if (servers.size() == 1 && servers[0].rfind("127.0.0.53", 0) == 0) {
      std::vector<std::string> upstream = ParseNameServers(ReadText(paths_.resolved_upstream));
      if (!upstream.empty()) servers = upstream;
    }
    std::string text;
    for (const auto& s : servers) text += (text.empty() ? "" : " ") + s;
    return String(text);
  }
  std::optional<InterfaceIpv4> nic = InterfaceOf(key);
  if (!nic) return std::nullopt;
  // Static and DHCP names answer the same lists: the kernel holds what is in use either way.
  std::string n(name);
  if (n.rfind("Dhcp", 0) == 0 && !EqualsNoCase(n, "DhcpNameServer")) n = n.substr(4);
  std::vector<std::string> addresses, masks;
  for (const auto& [a, m] : nic->addresses) {
    addresses.push_back(a);
    masks.push_back(m);
  }
  if (EqualsNoCase(n, "IPAddress")) return MultiString(addresses);
  if (EqualsNoCase(n, "SubnetMask")) return MultiString(masks);
  if (EqualsNoCase(n, "DefaultGateway")) return MultiString(ParseDefaultGateways(ReadText(paths_.route), nic->name));
  const std::optional<int64_t> lease = LeaseEnd(paths_.lease_dirs, *nic);
  if (EqualsNoCase(n, "EnableDHCP")) return Dword(lease ? 1 : 0);
  if (EqualsNoCase(n, "LeaseTerminatesTime") && lease)
    return Dword(static_cast<uint32_t>(std::clamp<int64_t>(*lease, 0, INT32_MAX)));
  return std::nullopt;
}

}  // namespace netward::platform
