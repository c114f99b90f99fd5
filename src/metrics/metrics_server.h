// The read-only HTTP endpoint of the metrics (libmicrohttpd): GET or HEAD of /metrics answers the
// exposition; any other path is 404, any other method on /metrics 405. One internal thread serves
// every connection (epoll); connections, their idle time and the size of a request's head are
// bounded, so a flood of idle or oversized requests costs a bounded amount and /metrics goes on
// answering. Each answer is built from relaxed loads of the shared state (see exposition.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "state/shared_state.h"
#include "metrics/exposition.h"
#include "metrics/metrics_address.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace netward {

inline constexpr char kMetricsPath[] = "/metrics";
// Far above what a fleet's scrapers need; the descriptor limit is raised to fit when it can be.
inline constexpr unsigned kMetricsMaxConnections = 1000;
// A connection that sends nothing for this long is closed (a scraper reconnects when it next asks).
inline constexpr unsigned kMetricsIdleSeconds = 10;
// Memory of one connection, the buffer of its request head included: a head of more than about
// 15 KiB gets 431 (or the connection closed when no room is left to answer).
inline constexpr size_t kMetricsConnectionMemory = 16 * 1024;

struct MetricsSettings {
  MetricsEndpoint endpoint;
  const GlobalArea* global = nullptr;
  uint32_t top_stations = kDefaultTopStations;
  std::function<uint32_t()> now;  // seconds since 1970
};

class MetricsServer {
 public:
  MetricsServer() = default;
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;
  ~MetricsServer() { Stop(); }

  // Binds the endpoint (port 0: any free port) and starts serving; false with the reason otherwise.
  bool Start(MetricsSettings settings, std::string& why);
  // Closes the socket and every connection; waits for an answer being built to finish.
  void Stop();

  // The bound port (useful after port 0), and "http://127.0.0.1:9753/metrics".
  uint16_t port() const { return port_; }
  std::string Url() const;
  // Connections the server accepts at once (below kMetricsMaxConnections when descriptors are short).
  unsigned connection_limit() const { return connection_limit_; }
  // /metrics answers built so far.
  uint64_t scrapes() const { return scrapes_.load(std::memory_order_relaxed); }

 private:
  friend class MetricsHandler;  // libmicrohttpd's callback
  // Queues the answer to one request; false when it could not be queued (the connection closes).
  bool Answer(MHD_Connection* connection, const char* url, const char* method);

  MetricsSettings settings_;
  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
  unsigned connection_limit_ = 0;
  std::atomic<uint64_t> scrapes_{0};
};

}  // namespace netward
