// The TCP/IP settings of this machine presented as the registry keys the configuration report
// reads: per interface "SYSTEM\CurrentControlSet\Services\<if>\Parameters\Tcpip" (addresses and
// masks from getifaddrs, default gateways from the kernel's routing table, DHCP state and lease end
// from the DHCP clients' lease files) and "SYSTEM\CurrentControlSet\Services\Tcpip\Parameters"
// (DNS servers from the resolver configuration). WINS and dial-up bindings do not exist here.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace netward::platform {

struct InterfaceIpv4 {
  std::string name;
  std::vector<std::pair<std::string, std::string>> addresses;  // dotted address and mask
};

// Where the view reads; tests point these at files of their own.
struct TcpipViewPaths {
  std::string route = "/proc/net/route";
  std::string resolv_conf = "/etc/resolv.conf";
  // Upstream servers behind a local stub resolver (systemd-resolved listens on 127.0.0.53).
  std::string resolved_upstream = "/run/systemd/resolve/resolv.conf";
  std::vector<std::string> lease_dirs = {"/var/lib/dhcp", "/var/lib/dhclient", "/var/lib/NetworkManager",
                                         "/run/systemd/netif/leases"};
};

// "a.b.c.d" of an IPv4 address in network order.
std::string DottedIpv4(uint32_t network_order);

// Every interface with its IPv4 addresses (interfaces without one have an empty list).
std::vector<InterfaceIpv4> SystemInterfaceAddresses();

// Parsers of the files the view reads; exposed for tests and the fuzzer.
// Default gateways of `ifname` in a /proc/net/route table, lowest metric first.
std::vector<std::string> ParseDefaultGateways(const std::string& route_table, const std::string& ifname);
// The IPv4 "nameserver" lines of a resolv.conf.
std::vector<std::string> ParseNameServers(const std::string& resolv_conf);
// The end of the last ISC dhclient lease block for the interface and one of its addresses.
std::optional<int64_t> ParseDhclientLeases(const std::string& text, const InterfaceIpv4& nic);
// A systemd-networkd lease file written at `written` (seconds since 1970), if it is for one of the
// interface's addresses.
std::optional<int64_t> ParseNetworkdLease(const std::string& text, const InterfaceIpv4& nic, int64_t written);

class TcpipView {
 public:
  using AddressSource = std::function<std::vector<InterfaceIpv4>()>;
  explicit TcpipView(TcpipViewPaths paths = {}, AddressSource source = SystemInterfaceAddresses);

  // `key` in canonical form (CanonicalKey). Values are read from the system on each call.
  std::optional<RegValue> Query(std::string_view key, std::string_view name) const;
  bool KeyExists(std::string_view key) const;

 private:
  // The interface whose Tcpip parameters key `key` is, if it is one.
  std::optional<InterfaceIpv4> InterfaceOf(std::string_view key) const;
  bool IsParametersKey(std::string_view key) const;

  TcpipViewPaths paths_;
  AddressSource source_;
};

}  // namespace netward::platform
