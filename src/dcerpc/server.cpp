// Listeners, the accept loop, and the registries behind RpcServer.
#include "dcerpc/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "dcerpc/pdu.h"
#include "dcerpc/server_impl.h"

namespace dcerpc {

namespace {

constexpr int kBacklog = 128;

int TcpListenSocket(int family, bool loopback, uint16_t port, int& err) {
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    err = errno;
    return -1;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  int rc;
  if (family == AF_INET6) {
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    a.sin6_addr = loopback ? in6addr_loopback : in6addr_any;
    rc = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(loopback ? INADDR_LOOPBACK : INADDR_ANY);
    rc = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  if (rc != 0 || listen(fd, kBacklog) != 0) {
    err = errno;
    close(fd);
    return -1;
  }
  return fd;
}

uint16_t BoundPort(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

// Opens IPv6 and IPv4 listeners on one port (dynamic when port is 0). IPv6 is optional: a host
// without it still gets the IPv4 listener. `err` gets the errno of a failure.
uint32_t OpenTcp(bool loopback, uint16_t port, std::vector<int>& fds, uint16_t& bound, int& err) {
  for (int attempt = 0; attempt < 8; ++attempt) {
    int err6 = 0, err4 = 0;
    int fd6 = TcpListenSocket(AF_INET6, loopback, port, err6);
    uint16_t p = fd6 >= 0 ? BoundPort(fd6) : port;
    int fd4 = TcpListenSocket(AF_INET, loopback, p, err4);
    if (fd4 >= 0) {
      bound = BoundPort(fd4);
      fds.push_back(fd4);
      if (fd6 >= 0) fds.push_back(fd6);
      return kStatusOk;
    }
    if (fd6 >= 0) close(fd6);
    err = err4;
    if (port != 0 || err4 != EADDRINUSE) {
      if (err4 == EADDRINUSE) return kStatusDuplicateEndpoint;
      return kStatusCantCreateEndpoint;
    }
  }
  return kStatusCantCreateEndpoint;
}

// A local socket path may be taken over only when nothing is there or what is there is a socket
// nobody listens on any more (left behind by a process that ended). A socket that answers belongs
// to a running server and is never removed.
uint32_t ClaimSocketPath(const sockaddr_un& a, std::string& reason) {
  struct stat st{};
  if (lstat(a.sun_path, &st) != 0) return kStatusOk;
  if (!S_ISSOCK(st.st_mode)) {
    reason = "something that is not a socket is already there";
    return kStatusDuplicateEndpoint;
  }
  int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (probe < 0) {
    reason = std::strerror(errno);
    return kStatusCantCreateEndpoint;
  }
  int rc = connect(probe, reinterpret_cast<const sockaddr*>(&a), sizeof a);
  int err = errno;
  close(probe);
  if (rc == 0 || err == EAGAIN) {  // EAGAIN: listening, with a full backlog
    reason = "another process is listening on it";
    return kStatusDuplicateEndpoint;
  }
  if (err != ECONNREFUSED) {
    reason = std::string("an existing socket there cannot be checked: ") + std::strerror(err);
    return kStatusDuplicateEndpoint;
  }
  unlink(a.sun_path);  // a socket left behind by an earlier run
  return kStatusOk;
}

// Who a connection comes from, for the per-peer limit: the client's address, or on a local socket
// the user id of the client process.
std::string PeerOf(int fd, const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr, text, sizeof text);
    return text;
  }
  if (addr.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_addr, text, sizeof text);
    return text;
  }
  ucred cred{};
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) return "uid " + std::to_string(cred.uid);
  return "local";
}

bool ParsePort(std::string_view s, uint16_t& port) {
  if (s.empty() || s.size() > 5) return false;
  unsigned v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  if (v == 0 || v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

// Listeners for the sockets OpenTcp gave, all on `bound`.
std::vector<std::unique_ptr<Listener>> TcpListeners(const std::vector<int>& fds, uint16_t bound, bool endpoint_mapper) {
  std::vector<std::unique_ptr<Listener>> added;
  for (int fd : fds) {
    auto l = std::make_unique<Listener>();
    l->fd = fd;
    l->protseq = "ncacn_ip_tcp";
    l->endpoint = std::to_string(bound);
    l->endpoint_mapper = endpoint_mapper;
    added.push_back(std::move(l));
  }
  return added;
}

}  // namespace

RpcServer::Impl::Impl(ServerLimits l) : limits(std::move(l)) {
  if (limits.max_frag < kMinFragSize) limits.max_frag = kMinFragSize;
  if (limits.max_connections == 0) limits.max_connections = 1;
  if (limits.max_connections_per_peer == 0) limits.max_connections_per_peer = 1;
  wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

RpcServer::Impl::~Impl() {
  for (auto& l : listeners) {
    if (l->fd < 0) continue;  // closed at the end of listening
    close(l->fd);
    if (!l->unix_path.empty()) unlink(l->unix_path.c_str());
  }
  if (wake_fd >= 0) close(wake_fd);
}

void RpcServer::Impl::Drain() {
  {
    std::lock_guard lock(mu);
    draining = true;
    // New connections are refused by the system from here on, not queued to wait for the end.
    // The Listener objects stay: connections still read their endpoint for bind_ack.
    for (auto& l : listeners) {
      if (l->fd < 0) continue;
      close(l->fd);
      l->fd = -1;
      if (!l->unix_path.empty()) unlink(l->unix_path.c_str());
      l->unix_path.clear();
    }
    // An idle connection ends at once; blocked reads return once the socket is shut down.
    for (auto& c : connections)
      if (c->fd >= 0 && !c->busy) shutdown(c->fd, SHUT_RDWR);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limits.stop_grace_ms);
  for (;;) {
    ReapConnections(false);
    {
      std::lock_guard lock(mu);
      if (connections.empty()) break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  {
    // Replies still not sent are cut off: a peer that does not read cannot hold the stop.
    std::lock_guard lock(mu);
    for (auto& c : connections)
      if (c->fd >= 0) shutdown(c->fd, SHUT_RDWR);
  }
  ReapConnections(true);
}

RegisteredInterface* RpcServer::Impl::FindInterface(const SyntaxId& id) {
  std::lock_guard lock(mu);
  for (auto& i : interfaces) {
    if (!i->active.load(std::memory_order_relaxed)) continue;
    const SyntaxId& have = i->def.id;
    if (have.uuid == id.uuid && have.major == id.major && have.minor >= id.minor) return i.get();
  }
  return nullptr;
}

std::vector<EpEntry> RpcServer::Impl::EpSnapshot() {
  std::lock_guard lock(mu);
  return ep_entries;
}

void RpcServer::Impl::ReapConnections(bool all) {
  std::list<std::unique_ptr<ConnectionSlot>> finished;
  {
    std::lock_guard lock(mu);
    for (auto it = connections.begin(); it != connections.end();) {
      if (all || (*it)->done.load(std::memory_order_acquire)) {
        finished.push_back(std::move(*it));
        it = connections.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& c : finished) c->thread.join();
}

RpcServer::RpcServer(ServerLimits limits) : impl_(std::make_unique<Impl>(std::move(limits))) {}

RpcServer::~RpcServer() {
  if (IsListening()) StopListening();
}

uint32_t RpcServer::RegisterInterface(InterfaceSpec def) {
  std::lock_guard lock(impl_->mu);
  for (auto& i : impl_->interfaces) {
    if (i->active && i->def.id.uuid == def.id.uuid && i->def.id.major == def.id.major)
      return kStatusAlreadyRegistered;
  }
  auto r = std::make_unique<RegisteredInterface>();
  r->def = std::move(def);
  impl_->interfaces.push_back(std::move(r));
  return kStatusOk;
}

uint32_t RpcServer::UnregisterInterface(const SyntaxId& id) {
  std::lock_guard lock(impl_->mu);
  for (auto& i : impl_->interfaces) {
    if (i->active && i->def.id.uuid == id.uuid && i->def.id.major == id.major) {
      i->active = false;
      return kStatusOk;
    }
  }
  return kStatusUnknownIf;
}

uint32_t RpcServer::UseProtseq(std::string_view protseq, unsigned /*max_calls*/, std::string_view endpoint,
                               std::string* why) {
  Impl& s = *impl_;
  std::string ignored;
  std::string& reason = why != nullptr ? *why : ignored;
  reason.clear();
  if (protseq == "ncacn_nb_nb" || protseq == "ncacn_spx" || protseq == "ncacn_np" || protseq == "ncadg_ip_udp")
    return kStatusProtseqNotSupported;
  if (protseq == "ncacn_ip_tcp") {
    uint16_t port = 0;
    if (!endpoint.empty() && !ParsePort(endpoint, port)) {
      reason = "'" + std::string(endpoint) + "' is not a port number from 1 to 65535";
      return kStatusInvalidBinding;
    }
    std::vector<int> fds;
    uint16_t bound = 0;
    int err = 0;
    uint32_t st = OpenTcp(s.limits.loopback_only, port, fds, bound, err);
    if (st == kStatusDuplicateEndpoint) reason = "TCP port " + std::to_string(port) + " is already in use";
    else if (st != kStatusOk) reason = std::strerror(err);
    if (st != kStatusOk) return st;
    Binding b{"ncacn_ip_tcp", std::to_string(bound)};
    s.AddListeners(TcpListeners(fds, bound, false), &b);
    return kStatusOk;
  }
  if (protseq == "ncalrpc") {
    std::string path(endpoint);
    if (path.empty()) {
      std::string dir = s.limits.local_socket_dir;
      if (dir.empty()) {
        const char* xdg = std::getenv("XDG_RUNTIME_DIR");
        dir = xdg && *xdg ? xdg : "/tmp";
      }
      unsigned seq;
      {
        std::lock_guard lock(s.mu);
        seq = s.local_socket_seq++;
      }
      path = dir + "/ncalrpc-" + std::to_string(getpid()) + "-" + std::to_string(seq);
    }
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) {
      reason = "the path is " + std::to_string(path.size()) + " bytes long; a local socket path holds at most " +
               std::to_string(sizeof a.sun_path - 1);
      return kStatusInvalidBinding;
    }
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    if (uint32_t st = ClaimSocketPath(a, reason); st != kStatusOk) return st;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      reason = std::strerror(errno);
      return kStatusCantCreateEndpoint;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || chmod(path.c_str(), 0660) != 0 ||
        listen(fd, kBacklog) != 0) {
      int err = errno;
      close(fd);
      std::string dir = path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/'));
      if (err == ENOENT) reason = "the directory '" + dir + "' does not exist";
      else if (err == EACCES) reason = "no permission to create it in '" + dir + "'";
      else reason = std::strerror(err);
      return err == EADDRINUSE ? kStatusDuplicateEndpoint : kStatusCantCreateEndpoint;
    }
    std::vector<std::unique_ptr<Listener>> added;
    auto l = std::make_unique<Listener>();
    l->fd = fd;
    l->protseq = "ncalrpc";
    l->endpoint = path;
    l->unix_path = path;
    added.push_back(std::move(l));
    Binding b{"ncalrpc", path};
    s.AddListeners(std::move(added), &b);
    return kStatusOk;
  }
  return kStatusInvalidProtseq;
}

uint32_t RpcServer::InqBindings(std::vector<Binding>& out) const {
  std::lock_guard lock(impl_->mu);
  out = impl_->bindings;
  return out.empty() ? kStatusNoBindings : kStatusOk;
}

uint32_t RpcServer::EpRegister(const SyntaxId& id, std::span<const Binding> bindings, std::string_view annotation) {
  if (bindings.empty()) return kStatusNoBindings;
  std::lock_guard lock(impl_->mu);
  for (const Binding& b : bindings) {
    if (b.protseq != "ncacn_ip_tcp" && b.protseq != "ncalrpc") return kStatusWrongKindOfBinding;
  }
  for (const Binding& b : bindings) {
    bool dup = false;
    for (const EpEntry& e : impl_->ep_entries)
      dup |= e.id == id && e.binding.protseq == b.protseq && e.binding.endpoint == b.endpoint;
    if (!dup) impl_->ep_entries.push_back({id, b, std::string(annotation), impl_->limits.loopback_only});
  }
  return kStatusOk;
}

uint32_t RpcServer::EpUnregister(const SyntaxId& id) {
  std::lock_guard lock(impl_->mu);
  auto& v = impl_->ep_entries;
  size_t before = v.size();
  std::erase_if(v, [&](const EpEntry& e) { return e.id == id; });
  return v.size() == before ? kEptNotRegistered : kStatusOk;
}

uint32_t RpcServer::StartEndpointMapper(uint16_t port, uint16_t* bound_port) {
  Impl& s = *impl_;
  std::vector<int> fds;
  uint16_t bound = 0;
  int err = 0;
  uint32_t st = OpenTcp(s.limits.loopback_only, port, fds, bound, err);
  if (st != kStatusOk) return kStatusCantCreateEndpoint;
  if (bound_port) *bound_port = bound;
  bool need_register;
  {
    std::lock_guard lock(s.mu);
    need_register = !s.epm_registered;
    s.epm_registered = true;
  }
  // The interface exists before its first connection can be accepted.
  if (need_register) RegisterInterface(MakeEndpointMapperInterface([&s] { return s.EpSnapshot(); }));
  s.AddListeners(TcpListeners(fds, bound, true), nullptr);
  return kStatusOk;
}

bool RpcServer::Impl::MakeRoom(const std::string& peer) {
  auto live = [](const ConnectionSlot& c) { return !c.dropped && !c.done.load(std::memory_order_acquire); };
  // The connection that has waited longest without binding, of `of_peer` or of anyone.
  auto oldest_unbound = [&](const std::string* of_peer) {
    ConnectionSlot* oldest = nullptr;
    for (auto& c : connections) {
      if (!live(*c) || c->bound.load(std::memory_order_acquire) || (of_peer && c->peer != *of_peer)) continue;
      if (oldest == nullptr || c->accepted < oldest->accepted) oldest = c.get();
    }
    return oldest;
  };
  auto drop = [this](ConnectionSlot* c) {
    // The connection's thread sees its socket shut down, ends and closes it.
    c->dropped = true;
    if (c->fd >= 0) shutdown(c->fd, SHUT_RDWR);
    dropped.fetch_add(1, std::memory_order_relaxed);
  };
  unsigned total = 0, mine = 0;
  for (auto& c : connections) {
    if (!live(*c)) continue;
    ++total;
    mine += c->peer == peer;
  }
  if (mine >= limits.max_connections_per_peer) {
    ConnectionSlot* c = oldest_unbound(&peer);
    if (c == nullptr) return false;
    drop(c);
    --total;
  }
  if (total >= limits.max_connections) {
    ConnectionSlot* c = oldest_unbound(nullptr);
    if (c == nullptr) return false;
    drop(c);
  }
  return true;
}

bool RpcServer::IsListening() const { return impl_->listening.load(); }

void RpcServer::Impl::Wake() {
  uint64_t one = 1;
  ssize_t n = write(wake_fd, &one, sizeof one);
  (void)n;  // the counter cannot overflow from our few writes
}

void RpcServer::Impl::AddListeners(std::vector<std::unique_ptr<Listener>> added, const Binding* binding) {
  std::lock_guard lock(mu);
  for (auto& l : added) listeners.push_back(std::move(l));
  if (binding) bindings.push_back(*binding);
  if (listening.load()) Wake();
}

uint32_t RpcServer::StopListening() {
  std::lock_guard lock(impl_->mu);
  if (!impl_->listening.load()) return kStatusNotListening;
  impl_->stop_requested = true;
  impl_->Wake();
  return kStatusOk;
}

uint32_t RpcServer::Listen() {
  Impl& s = *impl_;
  std::vector<pollfd> pfds;
  std::vector<const Listener*> owners;
  // Rebuilds the poll set from the listeners; true when a stop was asked for.
  auto refresh = [&] {
    std::lock_guard lock(s.mu);
    uint64_t drained;
    while (read(s.wake_fd, &drained, sizeof drained) > 0) {
    }
    pfds.assign(1, pollfd{s.wake_fd, POLLIN, 0});
    owners.assign(1, nullptr);
    for (auto& l : s.listeners) {
      if (l->fd < 0) continue;
      pfds.push_back({l->fd, POLLIN, 0});
      owners.push_back(l.get());
    }
    return s.stop_requested;
  };
  {
    std::lock_guard lock(s.mu);
    if (std::none_of(s.listeners.begin(), s.listeners.end(), [](const auto& l) { return l->fd >= 0; }))
      return kStatusNoProtseqsRegistered;
    if (s.listening.load()) return kStatusAlreadyListening;
    s.listening.store(true);
    s.stop_requested = false;
  }
  refresh();
  for (;;) {
    int n = poll(pfds.data(), pfds.size(), 1000);
    s.ReapConnections(false);
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    if (pfds[0].revents) {
      if (refresh()) break;
      continue;
    }
    for (size_t i = 1; i < pfds.size(); ++i) {
      if (!(pfds[i].revents & POLLIN)) continue;
      sockaddr_storage addr{};
      socklen_t addr_len = sizeof addr;
      int fd = accept4(pfds[i].fd, reinterpret_cast<sockaddr*>(&addr), &addr_len, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::string peer = PeerOf(fd, addr);
      std::lock_guard lock(s.mu);
      if (!s.MakeRoom(peer)) {
        s.refused.fetch_add(1, std::memory_order_relaxed);
        close(fd);
        continue;
      }
      s.open_connections.fetch_add(1);
      auto slot = std::make_unique<ConnectionSlot>();
      ConnectionSlot* raw = slot.get();
      raw->fd = fd;
      raw->peer = std::move(peer);
      raw->accepted = std::chrono::steady_clock::now();
      const Listener* owner = owners[i];
      try {
        raw->thread = std::thread([&s, raw, fd, owner] { s.ServeConnection(raw, fd, owner); });
      } catch (const std::exception&) {
        // No thread for it (process limits): refuse this one, keep serving the others.
        close(fd);
        s.open_connections.fetch_sub(1);
        s.refused.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      s.accepted.fetch_add(1, std::memory_order_relaxed);
      s.connections.push_back(std::move(slot));
    }
  }
  s.Drain();
  {
    std::lock_guard lock(s.mu);
    uint64_t drained;
    while (read(s.wake_fd, &drained, sizeof drained) > 0) {
    }
    s.stop_requested = false;
    s.draining = false;
    s.listening.store(false);
  }
  return kStatusOk;
}

void RpcServer::ServeConnectedSocket(int fd, std::string_view secondary_address) {
  Listener l;
  l.endpoint = secondary_address;
  impl_->ServeAssociation(fd, &l, nullptr);
}

ServerStats RpcServer::Stats() const {
  ServerStats st;
  st.connections_accepted = impl_->accepted.load();
  st.connections_refused = impl_->refused.load();
  st.connections_dropped = impl_->dropped.load();
  st.calls = impl_->calls.load();
  st.faults = impl_->faults.load();
  st.protocol_errors = impl_->protocol_errors.load();
  st.connections_open = impl_->open_connections.load();
  return st;
}

}  // namespace dcerpc
