// Shared by the capture and accounting benchmarks: a packet driver whose one adapter replays
// frames held in memory, and an output that drops everything.
#pragma once

#include <cstring>
#include <memory>

#include "capture/capture_thread.h"
#include "capture/packet_driver.h"
#include "capture/replay_adapter.h"
#include "platform/output.h"

namespace netward {

// The workload's own station (station 0 of the generator).
inline constexpr uint8_t kWorkloadOwnAddress[6] = {0x00, 0x60, 0x08, 0x00, 0x00, 0x0a};

// One adapter that replays the loaded frames `passes` times, then sets the end event.
class MemoryDriver : public PacketDriver {
 public:
  MemoryDriver(const MemoryFrameSource& frames, uint32_t passes, platform::Event& end, platform::Clock& clock)
      : frames_(frames), passes_(passes), end_(end), clock_(clock) {}
  std::unique_ptr<PacketDriverHandle> Open(const char16_t*) override {
    auto source = std::make_unique<MemoryFrameSource>(frames_);
    source->SetPasses(passes_);
    ReplayConfig config;
    config.have_own_address = true;
    memcpy(config.own_address, kWorkloadOwnAddress, 6);
    config.end_event = &end_;
    return std::make_unique<ReplayHandle>(std::move(source), kMedium8023, config, clock_);
  }

 private:
  const MemoryFrameSource& frames_;
  uint32_t passes_;
  platform::Event& end_;
  platform::Clock& clock_;
};

class NullOutput : public platform::Output {
 public:
  void Write(const char*) override {}
  void MessageBox(const char*, const char*) override {}
};

// One run of the capture thread until `driver` has delivered its frames (it sets `stop`), with
// the station table emptied first; the frames read.
inline uint32_t RunCaptureThread(NicArea* nic, PacketDriver& driver, platform::Event& stop, platform::Output& out,
                                 AccountEntry account_8023, AccountEntry account_8025 = AccountFramePlaceholder) {
  CaptureContext ctx;
  ctx.driver = &driver;
  ctx.stop_request = &stop;
  ctx.out = &out;
  ctx.account_8023 = account_8023;
  ctx.account_8025 = account_8025;
  RelaxedStore(nic->FramesRead, 0u);
  RelaxedStore(nic->StationCount, 0);
  CaptureThread(nic, ctx);
  return RelaxedLoad(nic->FramesRead);
}

}  // namespace netward
