// A server on loopback with the test interface, listening on its own thread, and a raw socket
// peer for hostile input.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "support/agent_rpc_iface.h"
#include "dcerpc/client.h"
#include "dcerpc/pdu.h"
#include "dcerpc/server.h"
#include "dcerpc/status.h"

namespace testsrv {

inline dcerpc::ServerLimits TestLimits() {
  dcerpc::ServerLimits l;
  l.loopback_only = true;
  l.idle_timeout_ms = 400;
  l.max_connections = 8;
  return l;
}

struct RunningServer {
  explicit RunningServer(dcerpc::ServerLimits limits = TestLimits(), bool with_epm = false) : server(limits) {
    for (int i = 0; i < 16; ++i) state.key[i] = static_cast<uint8_t>(0xA0 + i);
    server.RegisterInterface(testiface::MakeAgentRpc(state));
    if (server.UseProtseq("ncacn_ip_tcp", 3) != 0) return;
    std::vector<dcerpc::Binding> b;
    server.InqBindings(b);
    port = static_cast<uint16_t>(std::stoi(b[0].endpoint));
    if (with_epm) {
      // A dynamic port stands in for 135 so that tests need no privilege.
      ep_status = server.StartEndpointMapper(0, &ep_port);
      server.EpRegister(testiface::AgentRpcId(), b);
    }
    thread = std::thread([this] { listen_status = server.Listen(); });
    while (!server.IsListening()) std::this_thread::yield();
  }
  ~RunningServer() {
    server.StopListening();
    if (thread.joinable()) thread.join();
  }
  uint16_t port = 0;
  uint32_t ep_status = 0;
  uint16_t ep_port = 0;
  uint32_t listen_status = 0xffffffff;
  testiface::AgentRpcState state;
  dcerpc::RpcServer server;
  std::thread thread;
};

class RawPeer {
 public:
  // Connects from `source` (another loopback address, as a second client machine) when given.
  explicit RawPeer(uint16_t port, const char* source = nullptr) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (source != nullptr) {
      sockaddr_in from{};
      from.sin_family = AF_INET;
      inet_pton(AF_INET, source, &from.sin_addr);
      bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  // A socket the test accepted itself, for a fake server.
  struct Accepted {
    int fd;
  };
  explicit RawPeer(Accepted a) : fd_(a.fd), connected_(a.fd >= 0) {}
  ~RawPeer() { close(fd_); }
  bool connected() const { return connected_; }
  bool Send(const std::vector<uint8_t>& b) { return send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size()); }
  // Reads one PDU within timeout_ms; false on close or time-out.
  bool Read(std::vector<uint8_t>& pdu, dcerpc::PduHeader& h, int timeout_ms = 2000) {
    pdu.assign(dcerpc::kHeaderSize, 0);
    if (!ReadN(pdu.data(), dcerpc::kHeaderSize, timeout_ms) || !dcerpc::ParseHeader(pdu, h)) return false;
    pdu.resize(h.frag_length);
    return h.frag_length >= dcerpc::kHeaderSize &&
           ReadN(pdu.data() + dcerpc::kHeaderSize, h.frag_length - dcerpc::kHeaderSize, timeout_ms);
  }
  // True when the server closed the connection within timeout_ms (discarding anything sent first).
  bool ClosedWithin(int timeout_ms) {
    uint8_t b[4096];
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) <= 0) return false;
      ssize_t r = recv(fd_, b, sizeof b, 0);
      if (r <= 0) return true;
    }
  }
  int fd() const { return fd_; }

 private:
  bool ReadN(uint8_t* p, size_t n, int timeout_ms) {
    while (n > 0) {
      pollfd pf{fd_, POLLIN, 0};
      if (poll(&pf, 1, timeout_ms) <= 0) return false;
      ssize_t r = recv(fd_, p, n, 0);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  }
  int fd_;
  bool connected_ = false;
};

}  // namespace testsrv
