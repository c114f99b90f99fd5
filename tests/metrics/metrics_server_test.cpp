// The HTTP endpoint on loopback: what /metrics answers, what everything else gets, and that hostile
// clients (an oversized head, hundreds of idle connections) leave /metrics answering.
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/http_get.h"
#include "metrics/metrics_server.h"

namespace netward {
namespace {

struct GlobalDeleter {
  void operator()(GlobalArea* g) const { FreeGlobalArea(g); }
};

using testing_net::ConnectLoopback;
using testing_net::HttpExchange;

int Connect(uint16_t port) { return ConnectLoopback(port); }
std::string Exchange(uint16_t port, const std::string& request) { return HttpExchange(port, request); }
std::string Get(uint16_t port, const char* path, const char* more = "") {
  return testing_net::HttpGet(port, path, more);
}
std::string StatusLine(const std::string& reply) { return testing_net::HttpStatusLine(reply); }
std::string Body(const std::string& reply) { return testing_net::HttpBody(reply); }

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
  std::string r = Get(port_, "/metrics");
  EXPECT_EQ(StatusLine(r), "HTTP/1.1 200 OK");
  EXPECT_NE(r.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos) << r;
  EXPECT_NE(Body(r).find("\nnetward_frames_total 42\n"), std::string::npos);

  r = Get(port_, "/metrics", "Accept: application/openmetrics-text;version=1.0.0,text/plain;q=0.5\r\n");
  EXPECT_NE(r.find("Content-Type: application/openmetrics-text; version=1.0.0; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(Body(r).substr(Body(r).size() - 6), "# EOF\n");

  r = Exchange(port_, "HEAD /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(StatusLine(r), "HTTP/1.1 200 OK");
  EXPECT_EQ(Body(r), "");

  // The query string is not part of the path.
  EXPECT_EQ(StatusLine(Get(port_, "/metrics?x=1")), "HTTP/1.1 200 OK");
  EXPECT_EQ(server_.scrapes(), 4u);
}

TEST_F(MetricsServerTest, OtherPathsAndMethodsAreRefused) {
  for (const char* path : {"/", "/metrics/", "/Metrics", "/metricsx", "/../metrics"})
    EXPECT_EQ(StatusLine(Get(port_, path)), "HTTP/1.1 404 Not Found") << path;
  for (const char* method : {"POST", "PUT", "DELETE", "OPTIONS", "PATCH"}) {
    const std::string r = Exchange(port_, std::string(method) + " /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5"
                                                                "\r\nConnection: close\r\n\r\nabcde");
    EXPECT_EQ(StatusLine(r), "HTTP/1.1 405 Method Not Allowed") << method;
    EXPECT_NE(r.find("Allow: GET, HEAD\r\n"), std::string::npos) << r;
  }
  // Garbage instead of HTTP gets an error or the connection closed, never an answer.
  static const char kGarbage[] = "\x05\x01\x00 garbage\r\n\r\n";
  const std::string r = Exchange(port_, std::string(kGarbage, sizeof kGarbage - 1));
  EXPECT_EQ(r.find(" 200 "), std::string::npos) << r;
  EXPECT_EQ(server_.scrapes(), 0u);
  EXPECT_EQ(StatusLine(Get(port_, "/metrics")), "HTTP/1.1 200 OK");
}

TEST_F(MetricsServerTest, AnOversizedHeadIsRefusedAndMetricsGoOn) {
  const std::string big = "X-Big: " + std::string(1 << 20, 'a') + "\r\n";
  const std::string r = Get(port_, "/metrics", big.c_str());
  // Refused with 431 once the head outgrows the connection's memory (or cut off while sending).
  EXPECT_TRUE(r.empty() || StatusLine(r) == "HTTP/1.1 431 Request Header Fields Too Large") << StatusLine(r);
  EXPECT_EQ(server_.scrapes(), 0u);
  EXPECT_EQ(StatusLine(Get(port_, "/metrics")), "HTTP/1.1 200 OK");
}

TEST_F(MetricsServerTest, HundredsOfIdleConnectionsLeaveMetricsAnswering) {
  std::vector<int> idle;
  for (int i = 0; i < 500; ++i) {
    int fd = Connect(port_);
    ASSERT_GE(fd, 0) << "connection " << i;
    // Half say nothing at all, half stop in the middle of a request line.
    if (i % 2 == 1) send(fd, "GET /metr", 9, MSG_NOSIGNAL);
    idle.push_back(fd);
  }
  for (int round = 0; round < 3; ++round) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StatusLine(Get(port_, "/metrics")), "HTTP/1.1 200 OK") << "round " << round;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
  for (int fd : idle) close(fd);
}

TEST_F(MetricsServerTest, IdleConnectionsAreClosedAfterTheirTimeOut) {
  int fd = Connect(port_);
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
    int held = Connect(port);
    ASSERT_GE(held, 0);
    EXPECT_EQ(StatusLine(Get(port, "/metrics")), "HTTP/1.1 200 OK");

    MetricsServer b;
    s.endpoint.port = port;
    EXPECT_FALSE(b.Start(s, why));
    EXPECT_NE(why.find("127.0.0.1:" + std::to_string(port)), std::string::npos) << why;
    EXPECT_NE(why.find("in use"), std::string::npos) << why;
    a.Stop();
    close(held);
  }
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_LT(Connect(port), 0);
}

// Scrapes while two "capture threads" write the totals and a station table: the reader takes only
// relaxed loads (the thread sanitizer holds it to that).
TEST(MetricsServer, ScrapesReadWhileCaptureThreadsWrite) {
  std::unique_ptr<GlobalArea, GlobalDeleter> g(AllocateGlobalArea());
  NicArea* nic = AllocateNicArea();
  nic->AdapterName.Set("eth0");
  AttachNicArea(*g, nic);
  MetricsServer server;
  MetricsSettings s;
  s.endpoint.port = 0;
  s.global = g.get();
  std::string why;
  ASSERT_TRUE(server.Start(s, why)) << why;
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
    const std::string body = Body(Get(server.port(), "/metrics"));
    const size_t at = body.find("\nnetward_frames_total ");
    ASSERT_NE(at, std::string::npos);
    const uint64_t frames = std::stoull(body.substr(at + 22));
    EXPECT_GE(frames, last);
    last = frames;
  }
  done = true;
  writer.join();
  server.Stop();
}

}  // namespace
}  // namespace netward
