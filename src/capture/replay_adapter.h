// Capture-file adapters: frames of a pcap or pcapng file (or of frames held in memory) delivered as
// an adapter would deliver them, as fast as possible or at the file's own rate, with their times
// rebased to the start of the replay. As fast as possible, a frame's time is also held back to the
// agent's clock: min(rebased time, now).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/queued_reads.h"
#include "platform/clock.h"
#include "platform/output.h"

namespace netward {

enum class ReplayPace { kFast, kRealtime };

// A sequence of frames with their file times (microseconds since 1970).
class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // False at the end. `frame.time` is left for the adapter; `time_us` is the file time.
  virtual bool Next(FrameRef& frame, int64_t& time_us) = 0;
  // Back to the first frame; false when that is impossible.
  virtual bool Rewind() = 0;
};

// Frames held in one block, loaded once; the whole sequence is delivered `passes` times.
class MemoryFrameSource : public FrameSource {
 public:
  // Adds one frame (at load time only); `captured` bytes are kept.
  void Add(const uint8_t* data, uint32_t captured, uint32_t wire_length, int64_t time_us);
  // Loads every frame of a capture file; false with `error` set when it cannot be read.
  bool LoadFile(const std::string& path, int& link_type, std::string& error);
  void SetPasses(uint32_t passes) { passes_ = passes; }
  size_t size() const { return frames_.size(); }

  bool Next(FrameRef& frame, int64_t& time_us) override;
  bool Rewind() override;

 private:
  struct Stored {
    size_t offset;
    uint32_t captured;
    uint32_t wire_length;
    int64_t time_us;
  };
  std::vector<uint8_t> bytes_;
  std::vector<Stored> frames_;
  size_t next_ = 0;
  uint32_t pass_ = 0;
  uint32_t passes_ = 1;
};

struct ReplayConfig {
  ReplayPace pace = ReplayPace::kFast;
  bool have_own_address = false;
  uint8_t own_address[6] = {};
  // Set once the last frame has been delivered (lets a benchmark end the capture thread at the end).
  platform::Event* end_event = nullptr;
};

class ReplayHandle : public QueuedReadHandle {
 public:
  // `medium` is kMedium8023 or kMedium8025.
  ReplayHandle(std::unique_ptr<FrameSource> source, int medium, const ReplayConfig& config, platform::Clock& clock);
  ~ReplayHandle() override;

  bool QueryOid(uint32_t oid, void* data, uint32_t length) override;
  bool SetOid(uint32_t oid, const void* data, uint32_t length) override;
  // Drops the frame source (the file, or the frames held in memory).
  void Close() override;
  const uint8_t* OwnAddress() const { return own_address_; }

 protected:
  Pull PullFrames(int max, int& wait_fd, int& timeout_ms) override;
  // A capture file holds what the wire delivered: every frame passes any filter but "off".
  bool Accepts(const FrameRef&) const override { return true; }

 private:
  // The next frame with its rebased time, as PullFrames' results say (kEnd at the end, every time).
  Pull NextFrame(FrameRef& frame, int& wait_fd, int& timeout_ms);
  // The most frequent source address among the first frames (ties: the first seen).
  void LearnOwnAddress();

  std::unique_ptr<FrameSource> source_;
  int medium_;
  ReplayConfig config_;
  platform::Clock& clock_;
  uint8_t own_address_[6] = {};
  bool started_ = false;
  bool ended_ = false;
  uint32_t start_time_ = 0;       // agent clock at the first frame
  int64_t first_file_us_ = 0;     // file time of the first frame
  int64_t start_steady_us_ = 0;   // steady clock at the first frame (pacing)
  int64_t batch_now_ = 0;         // agent clock when the current pull began (fast pace)
  bool held_ = false;             // a frame waiting for its time (real-time pace)
  FrameRef held_frame_;
  int64_t held_time_us_ = 0;
};

// Opens a capture file as an adapter. Only Ethernet (802.3) and Token Ring (802.5) files are
// accepted; anything else is refused with a line naming the file and its link type.
std::unique_ptr<PacketDriverHandle> OpenCaptureFile(const std::string& path, const ReplayConfig& config,
                                                    platform::Clock& clock, platform::Output& out);

// pcap link types accepted by the replay adapters, and the medium each becomes.
inline constexpr int kLinkTypeEthernet = 1;   // DLT_EN10MB
inline constexpr int kLinkTypeTokenRing = 6;  // DLT_IEEE802

}  // namespace netward
