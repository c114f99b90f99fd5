// The TCP/IP view's file parsers (routing table, resolver configuration, both DHCP clients' lease
// files) and the report's address-list slots, on arbitrary text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "diagnostics/tcpip_report.h"
#include "platform/tcpip_view.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const netward::platform::InterfaceIpv4 nic{"eth0", {{"10.0.0.5", "255.255.255.0"}}};
  netward::platform::ParseDefaultGateways(text, "eth0");
  netward::platform::ParseNameServers(text);
  netward::platform::ParseDhclientLeases(text, nic);
  netward::platform::ParseNetworkdLease(text, nic, 1796385600);

  // A registry list value as the report reads it: at most 799 bytes, then zeros.
  char list[netward::kAddressListBytes] = {};
  memcpy(list, data, size < sizeof list - 1 ? size : sizeof list - 1);
  netward::FormatAddressList(list, sizeof list);
  uint32_t parsed[netward::kTcpipListEntries];
  netward::ParseAddressList(list, parsed);
  return 0;
}
