// The address the metrics endpoint listens on, as written in the settings or on the command line.
//
//   "9753"             port alone: loopback (127.0.0.1)
//   "127.0.0.1:9753"   IPv4 address and port; "localhost:9753" is 127.0.0.1
//   "[::1]:9753"       IPv6 address in brackets and port
//   "0.0.0.0:9753"     every address: only ever when written so
// Numeric addresses only (no name look-up at start-up); ports 1-65535.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace netward {

inline constexpr uint16_t kDefaultMetricsPort = 9753;  // the README's example; no default is listened on

struct MetricsEndpoint {
  int family = AF_INET;    // AF_INET or AF_INET6
  uint8_t address[16] = {127, 0, 0, 1};  // network order; 4 bytes for AF_INET
  uint16_t port = 0;

  // "127.0.0.1:9753", "[::1]:9753".
  std::string ToString() const;
  // The socket address to bind; returns its length.
  socklen_t ToSockaddr(sockaddr_storage& out) const;
  bool IsLoopback() const;
};

// False with a reason when `text` is none of the forms above.
bool ParseMetricsAddress(std::string_view text, MetricsEndpoint& out, std::string& why);

}  // namespace netward
