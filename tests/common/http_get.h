// A bare HTTP/1.1 exchange over loopback TCP for tests of the metrics endpoint: sends the request
// as given (a send cut short by the server is fine) and reads the answer to the end.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace netward::testing_net {

// A connected socket with 5-second send and receive time-outs; -1 when refused.
inline int ConnectLoopback(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  timeval tv{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return fd;
}

inline std::string HttpExchange(uint16_t port, const std::string& request) {
  int fd = ConnectLoopback(port);
  if (fd < 0) return "";
  for (size_t sent = 0; sent < request.size();) {
    ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::string reply;
  char buf[65536];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
  close(fd);
  return reply;
}

// GET `path` with `more` header lines (each ending in CR LF).
inline std::string HttpGet(uint16_t port, const std::string& path, const std::string& more = "") {
  return HttpExchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + more + "\r\n");
}

inline std::string HttpStatusLine(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }
inline std::string HttpBody(const std::string& reply) {
  const size_t at = reply.find("\r\n\r\n");
  return at == std::string::npos ? "" : reply.substr(at + 4);
}

}  // namespace netward::testing_net
