#include "metrics/metrics_address.h"

#include <arpa/inet.h>

#include <cstring>

namespace netward {

namespace {

bool ParsePort(std::string_view text, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint32_t>(c - '0');
  }
  if (v < 1 || v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

}  // namespace

std::string MetricsEndpoint::ToString() const {
  char host[INET6_ADDRSTRLEN] = {};
  inet_ntop(family, address, host, sizeof host);
  return (family == AF_INET6 ? "[" + std::string(host) + "]" : std::string(host)) + ":" + std::to_string(port);
}

socklen_t MetricsEndpoint::ToSockaddr(sockaddr_storage& out) const {
  memset(&out, 0, sizeof out);
  if (family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&out);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(port);
    memcpy(&a->sin6_addr, address, 16);
    return sizeof *a;
  }
  auto* a = reinterpret_cast<sockaddr_in*>(&out);
  a->sin_family = AF_INET;
  a->sin_port = htons(port);
  memcpy(&a->sin_addr, address, 4);
  return sizeof *a;
}

bool MetricsEndpoint::IsLoopback() const {
  if (family == AF_INET) return address[0] == 127;
  static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return memcmp(address, kLoopback6, 16) == 0;
}

bool ParseMetricsAddress(std::string_view text, MetricsEndpoint& out, std::string& why) {
  out = MetricsEndpoint{};
  const std::string shown(text.substr(0, 80));
  auto fail = [&](const char* what) {
    why = "metrics address '" + shown + "': " + what;
    return false;
  };
  std::string_view host, port;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':')
      return fail("write an IPv6 address as [address]:port");
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    out.family = AF_INET6;
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
      port = text;  // a port alone: loopback
    } else {
      host = text.substr(0, colon);
      port = text.substr(colon + 1);
      if (host.empty()) return fail("name the address before ':' (0.0.0.0 for every address, 127.0.0.1 for loopback)");
      if (host.find(':') != std::string_view::npos) return fail("write an IPv6 address as [address]:port");
    }
  }
  if (!ParsePort(port, out.port)) return fail("the port must be a number from 1 to 65535");
  if (host.empty() || host == "localhost") {
    if (out.family == AF_INET6) return fail("the address in brackets is empty");
    return true;  // 127.0.0.1, as initialised
  }
  if (host.size() >= INET6_ADDRSTRLEN) return fail("not a numeric address");
  char buf[INET6_ADDRSTRLEN] = {};
  memcpy(buf, host.data(), host.size());
  if (inet_pton(out.family, buf, out.address) != 1)
    return fail(out.family == AF_INET6 ? "not an IPv6 address" : "not an IPv4 address (IPv6: [address]:port)");
  return true;
}

}  // namespace netward
