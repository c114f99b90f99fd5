// State shared by the server and its connections.
#pragma once

#include <atomic>
#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dcerpc/epm.h"
#include "dcerpc/server.h"

namespace dcerpc {

struct RegisteredInterface {
  InterfaceSpec def;
  std::atomic<bool> active{true};
};

struct Listener {
  int fd = -1;
  std::string protseq;
  std::string endpoint;   // secondary address sent in bind_ack
  std::string unix_path;  // ncalrpc socket file to remove at the end
  bool endpoint_mapper = false;
};

struct ConnectionSlot {
  int fd = -1;        // guarded by RpcServer::Impl::mu; -1 once the connection closed it
  bool busy = false;  // guarded by mu: a call runs or its reply is being sent
  std::thread thread;
  std::atomic<bool> done{false};
  std::atomic<bool> bound{false};  // set by the connection once its bind was accepted
  std::string peer;                // client address, or "uid N" on a local socket
  std::chrono::steady_clock::time_point accepted;
  bool dropped = false;  // guarded by mu: shut down to make room, ending
};

struct RpcServer::Impl {
  explicit Impl(ServerLimits l);
  ~Impl();

  // Finds an active interface with the same UUID and major version and a minor version at least
  // the one asked for.
  RegisteredInterface* FindInterface(const SyntaxId& id);
  std::vector<EpEntry> EpSnapshot();
  void ServeConnection(ConnectionSlot* slot, int fd, const Listener* listener);
  // Runs one association on the calling thread until it ends; leaves fd open. `slot` is null for a
  // socket the server did not accept itself; otherwise it learns when the association has bound.
  void ServeAssociation(int fd, const Listener* listener, ConnectionSlot* slot = nullptr);
  // Around each call: BeginCall is false once a stop has begun (the call is refused); EndCall is
  // false once it has, and the connection then ends after the reply it has just sent.
  bool BeginCall(ConnectionSlot* slot);
  bool EndCall(ConnectionSlot* slot);
  // The stop: closes the listeners, ends idle connections at once and gives busy ones the grace.
  void Drain();
  // Under mu: whether a new connection from `peer` may be served, after dropping the oldest unbound
  // connection of that peer (when the peer has its share) or of all (when the table is full).
  bool MakeRoom(const std::string& peer);
  void ReapConnections(bool all);
  // Adds listeners under mu and makes a running Listen poll them too.
  void AddListeners(std::vector<std::unique_ptr<Listener>> added, const Binding* binding);
  void Wake();

  ServerLimits limits;
  mutable std::mutex mu;
  std::vector<std::unique_ptr<RegisteredInterface>> interfaces;  // never shrinks: connections hold pointers
  std::vector<std::unique_ptr<Listener>> listeners;
  std::vector<Binding> bindings;
  std::vector<EpEntry> ep_entries;
  std::list<std::unique_ptr<ConnectionSlot>> connections;
  bool epm_registered = false;
  bool stop_requested = false;  // guarded by mu, with `listening`
  bool draining = false;        // guarded by mu: Listen is ending, no new calls
  int wake_fd = -1;             // wakes Listen for a stop or a new listener
  unsigned local_socket_seq = 0;

  std::atomic<bool> listening{false};
  std::atomic<unsigned> open_connections{0};
  std::atomic<unsigned> active_calls{0};
  std::atomic<uint32_t> next_assoc_group{0x1000};
  std::atomic<uint64_t> accepted{0}, refused{0}, dropped{0}, calls{0}, faults{0}, protocol_errors{0};
};

}  // namespace dcerpc
