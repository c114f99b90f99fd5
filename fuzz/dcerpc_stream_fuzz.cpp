// A whole association over arbitrary bytes: the server reads them from a socket as a client
// would send them (bind negotiation, alter_context, fragment reassembly, calls into the test
// interface and the endpoint mapper) and must answer or close without a fault of its own.
// An odd first byte puts a good bind in front, so mutations start from a bound association.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/agent_rpc_iface.h"
#include "dcerpc/epm.h"
#include "dcerpc/pdu.h"
#include "dcerpc/server.h"

namespace {

dcerpc::ServerLimits Limits() {
  dcerpc::ServerLimits l;
  l.idle_timeout_ms = 50;
  l.max_call_in = 64 * 1024;
  l.max_call_out = 64 * 1024;
  return l;
}

struct Fixture {
  Fixture() : server(Limits()) {
    for (int i = 0; i < 16; ++i) state.key[i] = static_cast<uint8_t>(i);
    server.RegisterInterface(testiface::MakeAgentRpc(state));
    server.RegisterInterface(dcerpc::MakeEndpointMapperInterface([] {
      dcerpc::EpEntry e{testiface::AgentRpcId(), {"ncacn_ip_tcp", "49152"}, "", false};
      return std::vector<dcerpc::EpEntry>{e};
    }));
    // Contexts 0 (agent) and 1 (endpoint mapper), NDR 2.0.
    std::vector<uint8_t>& b = good_bind;
    b.assign(dcerpc::kHeaderSize, 0);
    dcerpc::NdrWriter w(b);
    w.U16(5840);
    w.U16(5840);
    w.U32(0);
    w.U8(2);
    w.Zeros(3);
    const dcerpc::SyntaxId ifs[2] = {testiface::AgentRpcId(), dcerpc::kEptInterface};
    for (uint16_t i = 0; i < 2; ++i) {
      w.U16(i);
      w.U8(1);
      w.U8(0);
      w.WriteSyntaxId(ifs[i]);
      w.WriteSyntaxId(dcerpc::kNdr20);
    }
    dcerpc::WriteHeader(b.data(), dcerpc::PduType::kBind, dcerpc::kPfcFirstFrag | dcerpc::kPfcLastFrag,
                        static_cast<uint16_t>(b.size()), 0, 1);
  }
  testiface::AgentRpcState state;
  dcerpc::RpcServer server;
  std::vector<uint8_t> good_bind;
};

bool WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Fixture f;
  if (size == 0 || size > 48 * 1024) return 0;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return 0;
  int big = 1 << 20;
  setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  // Everything is queued before the server reads, then end of stream: Serve returns at EOF,
  // and replies go into the peer's buffer, which is drained and dropped afterwards.
  bool ok = true;
  if (data[0] & 1) ok = WriteAll(sv[0], f.good_bind.data(), f.good_bind.size());
  if (ok && WriteAll(sv[0], data + 1, size - 1)) {
    shutdown(sv[0], SHUT_WR);
    f.server.ServeConnectedSocket(sv[1], "49152");
  }
  close(sv[1]);
  uint8_t sink[4096];
  while (recv(sv[0], sink, sizeof sink, MSG_DONTWAIT) > 0) {
  }
  close(sv[0]);
  return 0;
}
