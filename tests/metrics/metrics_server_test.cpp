// The HTTP endpoint on loopback: what /metrics answers, what everything else gets, idle time-out,
// stop, and scrapes racing the capture threads. Hostile clients (an oversized head, hundreds of idle
// connections) are driven against the running agent by tests/e2e/metrics_prometheus_e2e.py.
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "common/http_get.h"
#include "metrics/metrics_server.h"

namespace netward {
namespace {

struct GlobalDeleter {
  void operator()(GlobalArea* g) const { FreeGlobalArea(g); }
};

using testing_net::ConnectLoopback;
using testing_net::HttpBody;
using testing_net::HttpExchange;
using testing_net::HttpGet;
using testing_net::HttpStatusLine;

int OpenDescriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (d != nullptr && readdir(d) != nullptr) ++n;
  if (d != nullptr) closedir(d);
  return n;
}

class MetricsServerTest : public testing::Test {
 protected:
  void SetUp() override {
    g_.reset(AllocateGlobalArea());
    g_->FrameSequence = 42;
    MetricsSettings s;
    s.endpoint.port = 0;  // 127.0.0.1, any free port
    s.global = g_.get();
    s.now = [] { return 1000u; };
    std::string why;
    ASSERT_TRUE(server_.Start(std::move(s), why)) << why;
    port_ = server_.port();
    ASSERT_NE(port_, 0);
  }

  std::unique_ptr<GlobalArea, GlobalDeleter> g_;
  MetricsServer server_;
  uint16_t port_ = 0;
};

TEST_F(MetricsServerTest, MetricsAnswerInTheFormatAskedFor) {
  std::string r = HttpGet(port_, "/metrics");
  EXPECT_EQ(HttpStatusLine(r), "HTTP/1.1 200 OK");
  EXPECT_NE(r.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos) << r;
  EXPECT_NE(HttpBody(r).find("\nnetward_frames_total 42\n"), std::string::npos);

  r = HttpGet(port_, "/metrics", "Accept: application/openmetrics-text;version=1.0.0,text/plain;q=0.5\r\n");
  EXPECT_NE(r.find("Content-Type: application/openmetrics-text; version=1.0.0; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(HttpBody(r).substr(HttpBody(r).size() - 6), "# EOF\n");

  r = HttpExchange(port_, "HEAD /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(HttpStatusLine(r), "HTTP/1.1 200 OK");
  EXPECT_EQ(HttpBody(r), "");

  // The query string is not part of the path.
  EXPECT_EQ(HttpStatusLine(HttpGet(port_, "/metrics?x=1")), "HTTP/1.1 200 OK");
  EXPECT_EQ(server_.scrapes(), 4u);
}

TEST_F(MetricsServerTest, OtherPathsAndMethodsAreRefused) {
  for (const char* path : {"/", "/metrics/", "/Metrics", "/metricsx", "/../metrics"})
    EXPECT_EQ(HttpStatusLine(HttpGet(port_, path)), "HTTP/1.1 404 Not Found") << path;
  for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS", "PATCH"}) {
    const std::string r = HttpExchange(
        port_, std::string(method) + " /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nConnection: close\r\n\r\nabcde");
    EXPECT_EQ(HttpStatusLine(r), "HTTP/1.1 405 Method Not Allowed") << method;
    EXPECT_NE(r.find("Allow: GET, HEAD\r\n"), std::string::npos) << r;
  }
  // Garbage instead of HTTP gets an error or the connection closed, never an answer.
  static const char kGarbage[] = "\x05\x01\x00 garbage\r\n\r\n";
  const std::string r = HttpExchange(port_, std::string(kGarbage, sizeof kGarbage - 1));
  EXPECT_EQ(r.find(" 200 "), std::string::npos) << r;
  EXPECT_EQ(server_.scrapes(), 0u);
  EXPECT_EQ(HttpStatusLine(HttpGet(port_, "/metrics")), "HTTP/1.1 200 OK");
}

TEST_F(MetricsServerTest, IdleConnectionsAreClosedAfterTheirTimeOut) {
  int fd = ConnectLoopback(port_);
  ASSERT_GE(fd, 0);
  pollfd p{fd, POLLIN, 0};
  // Closed by the server: readable with end of file, within the idle time-out and a margin.
  ASSERT_EQ(poll(&p, 1, (kMetricsIdleSeconds + 3) * 1000), 1);
  char c;
  EXPECT_EQ(recv(fd, &c, 1, 0), 0);
  close(fd);
}

TEST(MetricsServer, StopClosesEverySocketAndAPortInUseIsSaid) {
  std::unique_ptr<GlobalArea, GlobalDeleter> g(AllocateGlobalArea());
  const int before = OpenDescriptors();
  uint16_t port = 0;
  {
    MetricsServer a;
    MetricsSettings s;
    s.endpoint.port = 0;
    s.global = g.get();
    std::string why;
    ASSERT_TRUE(a.Start(s, why)) << why;
    port = a.port();
    int held = ConnectLoopback(port);
    ASSERT_GE(held, 0);
    EXPECT_EQ(HttpStatusLine(HttpGet(port, "/metrics")), "HTTP/1.1 200 OK");

    MetricsServer b;
    s.endpoint.port = port;
    EXPECT_FALSE(b.Start(s, why));
    EXPECT_NE(why.find("127.0.0.1:" + std::to_string(port)), std::string::npos) << why;
    EXPECT_NE(why.find("in use"), std::string::npos) << why;
    a.Stop();
    close(held);
  }
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_LT(ConnectLoopback(port), 0);
}

// Scrapes while two "capture threads" write the totals and a station table: the reader takes only
// relaxed loads (the thread sanitizer holds it to that).
TEST_F(MetricsServerTest, ScrapesReadWhileCaptureThreadsWrite) {
  GlobalArea* g = g_.get();
  NicArea* nic = AllocateNicArea();
  nic->AdapterName.Set("eth0");
  AttachNicArea(*g, nic);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (uint32_t i = 0; !done.load(); ++i) {
      g->FrameSequence.fetch_add(1, std::memory_order_relaxed);
      StationRecord& st = nic->Stations[i % kMaxStations];
      st.AddressLabel.Set(i % 2 ? "00A0C9000001" : "00A0C9000002");
      RelaxedStore(st.BytesSent, RelaxedLoad(st.BytesSent) + 60.0f);
      RelaxedStore(nic->FramesRead, i);
      RelaxedStore(nic->StationCount, static_cast<int32_t>(i % kMaxStations) + 1);
    }
  });
  uint64_t last = 0;
  for (int i = 0; i < 50; ++i) {
    const std::string body = HttpBody(HttpGet(port_, "/metrics"));
    const size_t at = body.find("\nnetward_frames_total ");
    ASSERT_NE(at, std::string::npos);
    const uint64_t frames = std::stoull(body.substr(at + 22));
    EXPECT_GE(frames, last);
    last = frames;
  }
  done = true;
  writer.join();
  server_.Stop();
}

}  // namespace
}  // namespace netward
