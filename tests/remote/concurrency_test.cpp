// Sixteen RPC clients ask for the recent frames, the station table and the broadcasters through the agent's real RPC
// server while a replay runs at full speed. Every decoded line must describe one whole frame: the
// sequence number, length, source and summary of a line (or broadcast entry) all belong to the
// same frame.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "common/free_port.h"
#include "accounting/adapter_fixture.h"
#include "agent_client.h"
#include "accounting/stations.h"
#include "capture/replay_adapter.h"
#include "core/agent.h"
#include "wire/byte_order.h"
#include "dcerpc/client.h"
#include "dcerpc/status.h"
#include "remote/rpc_server.h"
#include "platform/hive_file.h"
#include "platform/system_registry.h"

using namespace netward;
using namespace netward::platform;
using netward::test::Frame;
using netward::test::kBroadcast;
using netward::test::kOwnMac;
using netward::test::Mac;
namespace fs = std::filesystem;

using netward::client::BuildRequestStub;
using netward::client::ParseRequestResponse;
using netward::client::RequestReply;
using netward::testing_net::FreePort;

namespace {

constexpr int kDistinct = 256;  // frames of one pass; a line's frame is (sequence - 1) % kDistinct
constexpr int kClients = 16;
constexpr int kCallsPerClient = 12;
constexpr size_t kDetl = 364, kStat = 124, kTot = 100, kBhdr = 40, kBent = 244;
enum Kind { kDetails, kStations, kBroadcasters };
constexpr const char* kRequests[] = {"DETAILS 0", "STATS_PRO 0", "BCASTERS LOW"};

// A NUL-terminated text of at most `n` bytes.
std::string Label(const uint8_t* p, size_t n = 16) {
  return std::string(reinterpret_cast<const char*>(p), strnlen(reinterpret_cast<const char*>(p), n));
}

Mac Station(int i) { return {0x02, 0x00, 0x00, 0x00, 0x01, static_cast<uint8_t>(i % 50)}; }
std::array<uint8_t, 4> StationIp(int i) { return {10, 1, 0, static_cast<uint8_t>(100 + i % 50)}; }

// Frame i: every eighth an ARP broadcast of station i % 50, else a UDP datagram from it to this PC,
// destination port 41000 + i, with i % 150 bytes of data.
std::vector<uint8_t> Make(int i) {
  if (i % 8 == 0) return Frame().Eth(kBroadcast, Station(i), 0x0806).Arp(1, Station(i), StationIp(i), Mac{}, {10, 1, 0, 10}).Done();
  const uint16_t data = static_cast<uint16_t>(i % 150);
  return Frame().Eth(kOwnMac, Station(i), 0x0800).Ip(StationIp(i), {10, 1, 0, 10}, 17, uint16_t(8 + data))
      .Udp(40000, uint16_t(41000 + i), uint16_t(8 + data)).Zeros(data).Done();
}

// One adapter that replays the frames until the agent stops.
class LoopDriver : public PacketDriver {
 public:
  LoopDriver(Clock& clock) : clock_(clock) {
    for (int i = 0; i < kDistinct; ++i) {
      frames_.push_back(Make(i));
      frames_.back().resize(std::max<size_t>(frames_.back().size(), 60));
    }
  }
  std::unique_ptr<PacketDriverHandle> Open(const char16_t*) override {
    auto source = std::make_unique<MemoryFrameSource>();
    for (const auto& f : frames_) source->Add(f.data(), uint32_t(f.size()), uint32_t(f.size()), 0);
    source->SetPasses(1u << 30);
    ReplayConfig config;
    config.have_own_address = true;
    memcpy(config.own_address, kOwnMac.data(), 6);
    return std::make_unique<ReplayHandle>(std::move(source), kMedium8023, config, clock_);
  }
  std::vector<std::vector<uint8_t>> frames_;

 private:
  Clock& clock_;
};

TEST(ConcurrentRequests, WholeFramesWhileReplayRunsAtFullSpeed) {
  const fs::path state = fs::path(testing::TempDir()) / ("remote_conc_" + std::to_string(getpid()));
  fs::remove_all(state);
  fs::create_directories(state);
  auto hive = std::make_shared<HiveFile>();
  hive->SetString(kSettingsKey, "OpenKey", "Secret");
  hive->SetDword(kSettingsKey, "EndpointMapperPort", FreePort());
  SystemRegistry registry(hive, PacketDriverKeys());
  registry.SetInterfaceNames({"nwloop0"});
  RealClock clock;
  CapturedOutput out;
  LibcRandom random;
  AgentOptions opt;
  opt.state_dir = state.string();
  opt.rpc_port = FreePort();
  opt.local_endpoint = (state / "rpc.sock").string();
  auto owned = std::make_unique<Agent>(registry, clock, out, random, opt);
  Agent& agent = *owned;
  LoopDriver driver(clock);
  agent.hooks().packet_driver = &driver;
  agent.hooks().rpc_server_thread = RpcServerThread;
  agent.hooks().rpc_stop_listening = StopRpcListening;
  std::thread main([&agent] { agent.AgentMain(); });

  // Expected source label and summary start of each frame of a pass.
  std::vector<std::string> label(kDistinct), summary(kDistinct), arp_summary(kDistinct);
  for (int i = 0; i < kDistinct; ++i) {
    char l[16];
    MakeMacLabel(Station(i).data(), false, l);
    label[i] = l;
    summary[i] = i % 8 == 0 ? "ARP Request" : "UDP/" + std::to_string(41000 + i) + " 40000";
    arp_summary[i] = "ARP Request, Target=10.1.0.10, Sender=10.1.0." + std::to_string(100 + i % 50);
  }

  std::atomic<int> lines{0}, stations{0}, entries{0}, replies{0}, bad{0};
  auto Expect = [&](bool ok, const char* what, const uint8_t* seq, const uint8_t* src, const uint8_t* text, int i) {
    if (!ok && bad++ < 5)
      ADD_FAILURE() << what << ": sequence " << GetU32Le(seq) << " source " << Label(src) << " text '"
                    << Label(text, 60) << "'; frame " << i << " is " << driver.frames_[i].size() << " bytes from "
                    << label[i] << " '" << summary[i] << "'";
  };
  std::atomic<uint32_t> first_sequence{0}, last_sequence{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      dcerpc::RpcClient client;
      bool up = false;
      for (int i = 0; i < 500 && !up; ++i) {
        up = client.ConnectTcp("127.0.0.1", uint16_t(opt.rpc_port)) == dcerpc::kStatusOk &&
             client.Bind(AgentRpcInterfaceId()) == dcerpc::kStatusOk;
        if (!up) {
          client.Close();
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
      }
      if (!up) {
        ++bad;
        return;
      }
      for (int k = 0; k < kCallsPerClient; ++k) {
        const Kind kind = static_cast<Kind>((c + k) % 3);
        std::vector<uint8_t> stub, reply;
        RequestReply answer;
        std::string err;
        if (!BuildRequestStub("Secret", kRequests[kind], stub, err) ||
            client.Call(kRequestRpcOpnum, stub, reply) != dcerpc::kStatusOk ||
            !ParseRequestResponse(reply, answer, err) || answer.result != 0) {
          ++bad;
          continue;
        }
        const std::vector<uint8_t>& block = answer.block;
        ++replies;
        if (kind == kBroadcasters) {
          // Each entry describes its group's newest frame: the sequence, source and summary agree.
          if (block.size() < 32 + kBhdr || (block.size() - 32 - kBhdr) % kBent != 0) ++bad;
          for (size_t at = 32 + kBhdr; at + kBent <= block.size(); at += kBent) {
            const uint8_t* r = block.data() + at;
            ++entries;
            const int i = static_cast<int>((GetU32Le(r + 112) - 1) % kDistinct);
            Expect(memcmp(r, "BENT", 4) == 0 && i % 8 == 0 && Label(r + 8) == label[i] &&
                       Label(r + 116, 100) == arp_summary[i],
                   "torn entry", r + 112, r + 8, r + 116, i);
          }
          continue;
        }
        const uint32_t seq_now = GetU32Le(block.data() + 32 + 4);
        uint32_t expected = 0;
        first_sequence.compare_exchange_strong(expected, seq_now);
        last_sequence.store(seq_now);
        const size_t size = kind == kDetails ? kDetl : kStat;
        if (block.size() < 32 + kTot || (block.size() - 32 - kTot) % size != 0) ++bad;
        for (size_t at = 32 + kTot; at + size <= block.size(); at += size) {
          const uint8_t* r = block.data() + at;
          if (kind == kStations) {
            ++stations;
            if (memcmp(r, "STAT", 4) != 0 || GetU32Le(r + 4) != 1) ++bad;
            continue;
          }
          ++lines;
          const uint32_t seq = GetU32Le(r + 8);
          const int i = static_cast<int>((seq - 1) % kDistinct);
          Expect(memcmp(r, "DETL", 4) == 0 && seq != 0 && GetU32Le(r + 12) == driver.frames_[i].size() &&
                     Label(r + 28) == label[i] && Label(r + 144, summary[i].size()) == summary[i],
                 "torn line", r + 8, r + 28, r + 144, i);
        }
      }
    });
  }
  for (auto& t : clients) t.join();
  agent.CommonStop();
  main.join();
  owned.reset();  // joins the capture and RPC threads before their tables go
  FreeGlobalArea(g_global_area.exchange(nullptr));
  fs::remove_all(state);

  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(replies.load(), kClients * kCallsPerClient);
  EXPECT_GT(lines.load(), 0);
  EXPECT_GT(stations.load(), 0);
  EXPECT_GT(entries.load(), 0);
  EXPECT_GT(last_sequence.load(), first_sequence.load()) << "the replay ran while the clients asked";
}

}  // namespace
