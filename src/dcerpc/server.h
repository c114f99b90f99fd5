// A connection-oriented DCE RPC server: interfaces with opnum tables of manager routines,
// protocol sequences (ncacn_ip_tcp, ncalrpc), a blocking listen that another thread stops, and an
// optional endpoint mapper. One thread per connection, with a bounded number of connections in all
// and per peer; when the table is full, the oldest connection that has not bound yet makes room, so
// idle sockets cannot lock real clients out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dcerpc/ndr.h"
#include "dcerpc/status.h"

namespace dcerpc {

// What a manager routine receives: the reassembled request stub and its data representation.
struct CallRequest {
  std::span<const uint8_t> stub;
  DataRep drep;
  uint16_t opnum = 0;
};

// Appends the reply stub (NDR, little-endian) to `reply` and returns 0, or returns a fault status
// (for example kStatusBadStubData); a fault discards whatever was appended.
using ManagerRoutine = std::function<uint32_t(const CallRequest& call, std::vector<uint8_t>& reply)>;

struct InterfaceSpec {
  SyntaxId id;                     // interface UUID and version
  std::vector<ManagerRoutine> ops;  // indexed by opnum
};

struct ServerLimits {
  uint16_t max_frag = 5840;              // largest fragment we receive or send
  size_t max_call_in = 1u << 20;         // reassembled request stub, bytes
  size_t max_call_out = 8u << 20;        // reply stub, bytes
  unsigned max_connections = 256;        // all peers together
  unsigned max_connections_per_peer = 64;  // per client address (per user on a local socket)
  unsigned max_concurrent_calls = 1234;
  unsigned idle_timeout_ms = 120000;     // a connection that sends nothing for this long is closed
  unsigned stop_grace_ms = 2500;         // calls in progress at a stop may send their replies this long
  unsigned unbound_timeout_ms = 5000;    // a connection must have bound within this long of its accept
  bool loopback_only = false;            // TCP listeners bind 127.0.0.1 and ::1 instead of any address
  std::string local_socket_dir;          // default directory for ncalrpc sockets ("" = $XDG_RUNTIME_DIR or /tmp)
};

struct Binding {
  std::string protseq;   // "ncacn_ip_tcp", "ncalrpc"
  std::string endpoint;  // port number or socket path
  std::string ToString() const { return protseq + ":[" + endpoint + "]"; }
};

struct ServerStats {
  uint64_t connections_accepted = 0;
  uint64_t connections_refused = 0;  // over max_connections (or the peer's share) with none to drop
  uint64_t connections_dropped = 0;  // unbound connections closed to make room for a new one
  uint64_t calls = 0;
  uint64_t faults = 0;
  uint64_t protocol_errors = 0;  // connections closed for malformed input or limits
  unsigned connections_open = 0;
};

class RpcServer {
 public:
  explicit RpcServer(ServerLimits limits = {});
  ~RpcServer();
  RpcServer(const RpcServer&) = delete;
  RpcServer& operator=(const RpcServer&) = delete;

  // Registers an interface; kStatusAlreadyRegistered when the same UUID and major version exist.
  uint32_t RegisterInterface(InterfaceSpec def);
  uint32_t UnregisterInterface(const SyntaxId& id);

  // Opens a protocol sequence. endpoint "" gives a dynamic TCP port or a default socket path.
  // max_calls is accepted for compatibility; concurrency is bounded by the limits.
  // "ncacn_nb_nb" and "ncacn_spx" give kStatusProtseqNotSupported; unknown names kStatusInvalidProtseq.
  // An ncalrpc path where a socket is still listening (another process's endpoint) is never taken
  // over: kStatusDuplicateEndpoint. When given, `why` gets a failure in words ("TCP port 5000 is
  // already in use", "another process is listening on it").
  uint32_t UseProtseq(std::string_view protseq, unsigned max_calls, std::string_view endpoint = "",
                      std::string* why = nullptr);
  // The bindings opened so far; kStatusNoBindings when none.
  uint32_t InqBindings(std::vector<Binding>& out) const;

  // Records the interface's bindings in the local endpoint database that ept_map/ept_lookup answer.
  uint32_t EpRegister(const SyntaxId& id, std::span<const Binding> bindings, std::string_view annotation = "");
  uint32_t EpUnregister(const SyntaxId& id);

  // Hosts the endpoint mapper on a TCP port (135 normally). A failure to bind is returned as
  // kStatusCantCreateEndpoint and leaves the server usable without it. Port 0 picks a free port,
  // reported through bound_port.
  uint32_t StartEndpointMapper(uint16_t port = 135, uint16_t* bound_port = nullptr);

  // Accepts and serves connections until StopListening; returns kStatusOk then.
  // kStatusNoProtseqsRegistered when nothing is open, kStatusAlreadyListening when called twice.
  uint32_t Listen();
  // Ends listening: Listen closes the listening sockets at once (the protocol sequences are gone
  // afterwards) and refuses new calls; connections with a call in progress send its reply and close,
  // within stop_grace_ms, idle ones close at once; then Listen returns. Callable from a manager
  // routine, whose own call then finishes too. kStatusNotListening when not listening.
  uint32_t StopListening();
  bool IsListening() const;

  // Serves one already connected stream socket on the calling thread until the peer closes it,
  // a limit ends it or the idle time-out passes; fd stays open. For sockets handed over by a
  // service manager (inetd-style activation) and for driving the server from tests and fuzzers.
  // secondary_address is what bind_ack reports as the port the peer reached.
  void ServeConnectedSocket(int fd, std::string_view secondary_address = "");

  ServerStats Stats() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace dcerpc
