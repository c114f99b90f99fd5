// The metrics text built from a hand-filled GlobalArea: values, the two formats' naming, bounded
// top talkers, label escaping; and the address forms of the endpoint.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "capture/packet_driver.h"
#include "metrics/exposition.h"
#include "metrics/metrics_address.h"

namespace netward {
namespace {

// An adapter handle that only answers whether it is open and its kernel drops.
class FakeHandle : public PacketDriverHandle {
 public:
  explicit FakeHandle(uint64_t drops) : drops_(drops) {}
  bool QueryOid(uint32_t, void*, uint32_t) override { return false; }
  bool SetOid(uint32_t, const void*, uint32_t) override { return false; }
  bool AllocateReadObject(int) override { return true; }
  void FreeReadObject(int) override {}
  bool StartRead(int, uint8_t*, uint32_t, uint32_t*) override { return false; }
  WaitResult WaitRead(int, const platform::Event&) override { return WaitResult::kStopped; }
  uint32_t FinishRead(int, uint32_t*) override { return 0; }
  uint64_t KernelDrops() const override { return drops_; }

 private:
  uint64_t drops_;
};

struct GlobalDeleter {
  void operator()(GlobalArea* g) const { FreeGlobalArea(g); }
};

StationRecord& AddStation(NicArea& nic, const char* mac, const char* proto, const char* name, float sent,
                          float received) {
  StationRecord& s = nic.Stations[nic.StationCount++];
  s.AddressLabel.Set(mac);
  s.ProtocolLabel.Set(proto);
  s.Name.Set(name);
  s.BytesSent = sent;
  s.BytesReceived = received;
  s.FramesSent = static_cast<uint32_t>(sent / 100);
  s.FramesReceived = static_cast<uint32_t>(received / 100);
  return s;
}

// Sample lines ("name{labels} value") to their values.
std::map<std::string, std::string> Samples(const std::string& text) {
  std::map<std::string, std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty() || line[0] == '#') continue;
    const size_t blank = line.rfind(' ');
    out[line.substr(0, blank)] = line.substr(blank + 1);
  }
  return out;
}

class ExpositionTest : public testing::Test {
 protected:
  void SetUp() override {
    g_.reset(AllocateGlobalArea());
    GlobalArea& g = *g_;
    g.FrameSequence = 1234;
    g.OwnBytes = 5000.0f;
    g.OtherBytes = 16777216.0f;
    g.OwnFrames = 7;
    g.OtherFrames = 900;
    g.OwnGroupFrames = 3;
    g.OtherGroupFrames = 300;
    g.OwnEventFrames = 1;
    g.OtherEventFrames = 23;
    g.DayChanges = 2;
    g.StatusCode = 4;
    g.LastOtherTime = 1000;
    g.Health.StartTime = 900;
    g.Health.RequestCalls = 5;
    g.Health.RefusedKeys = 2;
    g.Health.HistoryWriteFailures = 1;
    for (int i = 0; i < 2; ++i) {
      NicArea* nic = AllocateNicArea();
      g.Nics[i] = nic;
      nic->AdapterName.Set(i == 0 ? "eth0" : "ring");
      nic->FramesRead = 1000 + i;
      nic->EventsByKind[kEventTcpReset] = 4 + i;
      nic->EventsByKind[kEventLlcError] = 9;
      handles_[i] = std::make_unique<FakeHandle>(i == 0 ? 77 : 0);
      nic->Driver = handles_[i].get();
    }
    g.NicCount = 2;
  }
  void TearDown() override {
    for (NicArea* nic : g_->Nics)
      if (nic != nullptr) nic->Driver = nullptr;
  }
  std::string Text(ExpositionFormat f = ExpositionFormat::kPrometheusText, uint32_t top = kDefaultTopStations) {
    std::string out;
    WriteExposition({g_.get(), 1010, top}, f, out);
    return out;
  }

  std::unique_ptr<GlobalArea, GlobalDeleter> g_;
  std::unique_ptr<FakeHandle> handles_[2];
};

TEST_F(ExpositionTest, TotalsEventsAndHealthCarryTheSharedValues) {
  handles_[1]->Close();
  const auto s = Samples(Text());
  const std::map<std::string, std::string> want = {
      {"netward_frames_total", "1234"},
      {"netward_unicast_bytes_total{sender=\"own\"}", "5000"},
      {"netward_unicast_bytes_total{sender=\"other\"}", "16777216"},
      {"netward_unicast_frames_total{sender=\"other\"}", "900"},
      {"netward_group_frames_total{sender=\"own\"}", "3"},
      {"netward_event_frames_total{sender=\"other\"}", "23"},
      {"netward_day_changes_total", "2"},
      {"netward_traffic_state", "4"},
      {"netward_other_frame_age_seconds", "10"},
      {"netward_start_time_seconds", "900"},
      {"netward_adapters_open", "1"},
      {"netward_rpc_calls_total{procedure=\"RequestRpc\"}", "5"},
      {"netward_rpc_refused_keys_total", "2"},
      {"netward_history_write_failures_total", "1"},
      {"netward_adapter_frames_total{adapter=\"ring\"}", "1001"},
      {"netward_adapter_kernel_drops_total{adapter=\"eth0\"}", "77"},
      {"netward_adapter_events_total{adapter=\"eth0\",kind=\"tcp_reset\"}", "4"},
      {"netward_adapter_events_total{adapter=\"ring\",kind=\"tcp_reset\"}", "5"},
      {"netward_adapter_events_total{adapter=\"ring\",kind=\"llc_error\"}", "9"},
      {"netward_adapter_events_total{adapter=\"ring\",kind=\"icmp_error\"}", "0"},
  };
  for (const auto& [name, value] : want) {
    auto it = s.find(name);
    ASSERT_NE(it, s.end()) << name;
    EXPECT_EQ(it->second, value) << name;
  }
  // Before any frame from another station there is no age to give.
  g_->LastOtherTime = 0;
  EXPECT_EQ(Samples(Text()).count("netward_other_frame_age_seconds"), 0u);
}

TEST_F(ExpositionTest, EveryFamilyHasHelpAndTypeAndTheFormatsNameCountersTheirWay) {
  const std::string text = Text();
  EXPECT_NE(text.find("# HELP netward_frames_total "), std::string::npos);
  EXPECT_NE(text.find("# TYPE netward_frames_total counter\n"), std::string::npos);
  EXPECT_NE(text.find("# TYPE netward_adapters_open gauge\n"), std::string::npos);
  EXPECT_EQ(text.find("# EOF"), std::string::npos);
  // Each family: HELP then TYPE, then only its own samples.
  std::string family;
  size_t helps = 0, types = 0, pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.rfind("# HELP ", 0) == 0) {
      family = line.substr(7, line.find(' ', 7) - 7);
      ++helps;
    } else if (line.rfind("# TYPE ", 0) == 0) {
      EXPECT_EQ(line.substr(7, family.size() + 1), family + " ") << line;
      ++types;
    } else {
      EXPECT_EQ(line.rfind(family, 0), 0u) << line << " under " << family;
    }
  }
  EXPECT_EQ(helps, types);
  EXPECT_GE(helps, 20u);

  const std::string om = Text(ExpositionFormat::kOpenMetrics);
  EXPECT_NE(om.find("# TYPE netward_frames counter\nnetward_frames_total 1234\n"), std::string::npos);
  EXPECT_NE(om.find("# HELP netward_adapter_events Frames"), std::string::npos);
  EXPECT_EQ(om.substr(om.size() - 6), "# EOF\n");
  EXPECT_EQ(Samples(om), Samples(text));
}

TEST_F(ExpositionTest, TopTalkersAreTheBusiestStationsUpToTheLimit) {
  NicArea& eth = *g_->Nics[0];
  NicArea& ring = *g_->Nics[1];
  for (int i = 0; i < 500; ++i) {
    char mac[16];
    snprintf(mac, sizeof mac, "0000000%05d", i);
    AddStation(eth, mac, "IP 10.0.0.1", "", float(i), 0);
  }
  AddStation(ring, "100000000001", "IPX 1:2", "BIG", 1e6f, 1e6f);
  AddStation(ring, "100000000002", "NetBEUI", "", 0, 5e5f);

  const auto s = Samples(Text(ExpositionFormat::kPrometheusText, 3));
  std::vector<std::string> stations;
  for (const auto& [name, value] : s)
    if (name.rfind("netward_station_sent_bytes_total{", 0) == 0) stations.push_back(name);
  ASSERT_EQ(stations.size(), 3u);
  EXPECT_EQ(s.at("netward_station_sent_bytes_total{adapter=\"ring\",station=\"100000000001\",protocol=\"IPX 1:2\","
                 "name=\"BIG\"}"),
            "1000000");
  EXPECT_EQ(s.at("netward_station_received_bytes_total{adapter=\"ring\",station=\"100000000002\",protocol=\"NetBEUI\","
                 "name=\"\"}"),
            "500000");
  EXPECT_EQ(s.count("netward_station_sent_bytes_total{adapter=\"eth0\",station=\"000000000499\",protocol=\"IP "
                    "10.0.0.1\",name=\"\"}"),
            1u);
  EXPECT_EQ(s.at("netward_adapter_stations{adapter=\"eth0\"}"), "500");

  // A limit of 0 leaves the families without samples; a huge one is held to the table's size.
  EXPECT_EQ(Text(ExpositionFormat::kPrometheusText, 0).find("netward_station_sent_bytes_total{"), std::string::npos);
  size_t series = 0;
  for (const auto& [name, value] : Samples(Text(ExpositionFormat::kPrometheusText, 1u << 30)))
    series += name.rfind("netward_station_sent_frames_total{", 0) == 0;
  EXPECT_EQ(series, size_t(kMaxTopStations));
}

TEST_F(ExpositionTest, RepeatedLabelsOfARefilledSlotGiveOneSeries) {
  NicArea& eth = *g_->Nics[0];
  AddStation(eth, "00A0C9000001", "IP 10.0.0.1", "A", 900, 0);
  AddStation(eth, "00A0C9000001", "IP 10.0.0.1", "A", 100, 0);
  size_t series = 0;
  for (const auto& [name, value] : Samples(Text()))
    series += name.rfind("netward_station_sent_bytes_total{", 0) == 0;
  EXPECT_EQ(series, 1u);
}

TEST(LabelValue, WireTextsBecomeValidEscapedUtf8) {
  std::string out;
  AppendLabelValue("a\"b\\c\nd\te\x7f\x85M\xdcLLER", out);
  EXPECT_EQ(out, "a\\\"b\\\\c\\nd?e??M\xc3\x9cLLER");
}

TEST(AcceptHeader, OpenMetricsOnlyWhenAskedFor) {
  EXPECT_EQ(FormatForAccept(nullptr), ExpositionFormat::kPrometheusText);
  EXPECT_EQ(FormatForAccept("text/plain;version=0.0.4"), ExpositionFormat::kPrometheusText);
  EXPECT_EQ(FormatForAccept("application/openmetrics-text;version=1.0.0,application/openmetrics-text;"
                            "version=0.0.1;q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1"),
            ExpositionFormat::kOpenMetrics);
}

// promtool, Prometheus's own checker, on the fullest exposition: four adapters of 500 stations
// whose names hold every byte a wire text may bring.
TEST(Promtool, LintsTheFullestExpositionClean) {
  if (system("command -v promtool >/dev/null 2>&1") != 0) GTEST_SKIP() << "promtool is not installed";
  std::unique_ptr<GlobalArea, GlobalDeleter> g(AllocateGlobalArea());
  for (int a = 0; a < kMaxNics; ++a) {
    NicArea* nic = AllocateNicArea();
    g->Nics[a] = nic;
    char name[32];
    snprintf(name, sizeof name, "eth%d \"x\\", a);
    nic->AdapterName.Set(name);
    for (int i = 0; i < kMaxStations; ++i) {
      char mac[16], station[33];
      snprintf(mac, sizeof mac, "%02X00000%05d", a, i);
      for (int k = 0; k < 32; ++k) station[k] = static_cast<char>(1 + (i * 32 + k) % 255);
      station[32] = 0;
      AddStation(*nic, mac, "IP 10.0.0.1", station, float(i * 1000), float(i));
    }
  }
  g->NicCount = kMaxNics;
  const std::string path = testing::TempDir() + "/exposition_" + std::to_string(getpid()) + ".prom";
  std::string text;
  WriteExposition({g.get(), 0, kMaxTopStations}, ExpositionFormat::kPrometheusText, text);
  FILE* f = fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
  const std::string cmd = "promtool check metrics < " + path + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string said;
  char buf[512];
  while (fgets(buf, sizeof buf, p) != nullptr) said += buf;
  EXPECT_EQ(pclose(p), 0) << said;
  EXPECT_EQ(said, "");
  remove(path.c_str());
}

TEST(MetricsAddress, PortAloneIsLoopbackAndOtherAddressesMustBeWritten) {
  struct Case {
    const char* text;
    const char* endpoint;  // null: refused
  } cases[] = {
      {"9753", "127.0.0.1:9753"},
      {"localhost:9753", "127.0.0.1:9753"},
      {"127.0.0.2:80", "127.0.0.2:80"},
      {"0.0.0.0:9753", "0.0.0.0:9753"},
      {"[::1]:9753", "[::1]:9753"},
      {"[::]:9753", "[::]:9753"},
      {":9753", nullptr},
      {"0", nullptr},
      {"65536", nullptr},
      {"9753x", nullptr},
      {"", nullptr},
      {"::1:9753", nullptr},
      {"[::1]9753", nullptr},
      {"[]:9753", nullptr},
      {"myhost:9753", nullptr},
      {"1.2.3:9753", nullptr},
      {"127.0.0.1:", nullptr},
  };
  for (const Case& c : cases) {
    MetricsEndpoint ep;
    std::string why;
    const bool ok = ParseMetricsAddress(c.text, ep, why);
    EXPECT_EQ(ok, c.endpoint != nullptr) << c.text << ": " << why;
    if (ok) {
      EXPECT_EQ(ep.ToString(), c.endpoint) << c.text;
    } else {
      EXPECT_NE(why.find(c.text), std::string::npos) << why;
    }
  }
  MetricsEndpoint ep;
  std::string why;
  ASSERT_TRUE(ParseMetricsAddress("9753", ep, why));
  EXPECT_TRUE(ep.IsLoopback());
  ASSERT_TRUE(ParseMetricsAddress("0.0.0.0:9753", ep, why));
  EXPECT_FALSE(ep.IsLoopback());
}

}  // namespace
}  // namespace netward
