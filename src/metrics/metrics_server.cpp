#include "metrics/metrics_server.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace netward {

namespace {

constexpr char kNotFoundText[] = "Not found: the metrics are at /metrics\n";
constexpr char kNotAllowedText[] = "Method not allowed: /metrics answers GET and HEAD\n";
constexpr int kListenBacklog = 1024;  // bursts of connections wait here, not in SYN retries
// Descriptors kept for the rest of the agent (adapters, RPC connections, files) when the endpoint's
// share is worked out from the descriptor limit.
constexpr rlim_t kDescriptorsForTheRest = 512;

// Raises the soft descriptor limit towards what the connections need (a service starts with 1024)
// and returns how many connections fit.
unsigned FitConnectionLimit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return kMetricsMaxConnections;
  const rlim_t want = kMetricsMaxConnections + kDescriptorsForTheRest;
  if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < want) {
    rlimit raised = lim;
    raised.rlim_cur = lim.rlim_max == RLIM_INFINITY || lim.rlim_max >= want ? want : lim.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
  }
  if (lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= want) return kMetricsMaxConnections;
  return lim.rlim_cur > 2 * kDescriptorsForTheRest ? static_cast<unsigned>(lim.rlim_cur - kDescriptorsForTheRest)
                                                     : static_cast<unsigned>(lim.rlim_cur / 2);
}

MHD_Result Queue(MHD_Connection* connection, unsigned status, const char* body, size_t size, const char* type,
                 const char* allow = nullptr) {
  MHD_Response* r = MHD_create_response_from_buffer(size, const_cast<char*>(body), MHD_RESPMEM_MUST_COPY);
  if (r == nullptr) return MHD_NO;
  MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
  if (allow != nullptr) MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, allow);
  const MHD_Result result = MHD_queue_response(connection, status, r);
  MHD_destroy_response(r);
  return result;
}

}  // namespace

class MetricsHandler {
 public:
  // Every request is answered at its first call, when its head has arrived: a body is never read,
  // and libmicrohttpd closes a connection whose body was left unread once the answer is sent.
  static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                           const char* /*version*/, const char* /*upload_data*/, size_t* /*upload_data_size*/,
                           void** /*request_state*/) {
    return static_cast<MetricsServer*>(cls)->Answer(connection, url, method) ? MHD_YES : MHD_NO;
  }
};

bool MetricsServer::Answer(MHD_Connection* connection, const char* url, const char* method) {
  constexpr char kPlain[] = "text/plain; charset=utf-8";
  if (strcmp(url, kMetricsPath) != 0)
    return Queue(connection, MHD_HTTP_NOT_FOUND, kNotFoundText, sizeof kNotFoundText - 1, kPlain) == MHD_YES;
  if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
    return Queue(connection, MHD_HTTP_METHOD_NOT_ALLOWED, kNotAllowedText, sizeof kNotAllowedText - 1, kPlain,
                 "GET, HEAD") == MHD_YES;
  const char* accept = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT);
  const ExpositionFormat format = FormatForAccept(accept);
  ExpositionInput in;
  in.global = settings_.global;
  in.now = settings_.now ? settings_.now() : 0;
  in.top_stations = settings_.top_stations;
  // One thread answers every request: the buffer is reused from one answer to the next.
  static thread_local std::string body;
  WriteExposition(in, format, body);
  scrapes_.fetch_add(1, std::memory_order_relaxed);
  return Queue(connection, MHD_HTTP_OK, body.data(), body.size(), ContentTypeOf(format)) == MHD_YES;
}

bool MetricsServer::Start(MetricsSettings settings, std::string& why) {
  if (daemon_ != nullptr) {
    why = "the metrics endpoint is already serving";
    return false;
  }
  if (settings.global == nullptr) {
    why = "no shared state to serve";
    return false;
  }
  settings_ = std::move(settings);
  const MetricsEndpoint& ep = settings_.endpoint;
  const std::string where = ep.ToString();
  int fd = socket(ep.family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    why = where + ": " + strerror(errno);
    return false;
  }
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_storage addr;
  const socklen_t len = ep.ToSockaddr(addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, kListenBacklog) != 0) {
    why = where + ": " + strerror(errno);
    close(fd);
    return false;
  }
  socklen_t got = sizeof addr;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &got) == 0)
    port_ = ntohs(ep.family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
  connection_limit_ = FitConnectionLimit();
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL;
  if (ep.family == AF_INET6) flags |= MHD_USE_IPv6;
  daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &MetricsHandler::Handle, this,
                             MHD_OPTION_LISTEN_SOCKET, fd,
                             MHD_OPTION_CONNECTION_LIMIT, connection_limit_,
                             MHD_OPTION_CONNECTION_TIMEOUT, kMetricsIdleSeconds,
                             MHD_OPTION_CONNECTION_MEMORY_LIMIT, kMetricsConnectionMemory,
                             MHD_OPTION_END);
  if (daemon_ == nullptr) {
    why = where + ": the HTTP server did not start";
    close(fd);
    return false;
  }
  return true;  // the socket is the daemon's now: MHD_stop_daemon closes it
}

void MetricsServer::Stop() {
  if (daemon_ == nullptr) return;
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

std::string MetricsServer::Url() const {
  MetricsEndpoint shown = settings_.endpoint;
  shown.port = port_;
  return "http://" + shown.ToString() + kMetricsPath;
}

}  // namespace netward
