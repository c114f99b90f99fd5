#include "capture/replay_adapter.h"

#include <fcntl.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "capture/pcap_records.h"
#include "platform/files.h"

namespace netward {

namespace {

int64_t SteadyMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t HeaderMicros(const pcap_pkthdr& h) { return int64_t(h.ts.tv_sec) * 1000000 + h.ts.tv_usec; }

// Frames are looked at to learn the adapter's own address.
constexpr int kOwnAddressScanFrames = 1000;
// libpcap reads a file (the header of every file, all of a pcapng file) through a stdio buffer of
// this size instead of the file system's block size: it reads every record header and body with
// fread, and 4 KiB reads cost a system call about every ten frames. It stays well inside the core's
// L2 cache, so the kernel's copy into it is still cached when fread copies the records out (a 1 MiB
// buffer cost about 3% more CPU in replay, 16 KiB 10% more).
constexpr size_t kFileBufferBytes = 64 << 10;

// Streams a capture file. libpcap opens it (pcap and pcapng alike) and reads pcapng; the records of
// a classic pcap file are read by PcapRecords.
class PcapFileSource : public FrameSource {
 public:
  explicit PcapFileSource(std::string path) : path_(std::move(path)) {}
  ~PcapFileSource() override {
    if (pcap_) pcap_close(pcap_);
  }
  bool Open(int& link_type, std::string& error) {
    // A regular file only, opened without waiting: a named pipe with no writer would hold the
    // capture thread (and the agent's stop, which joins it) in open() for ever.
    int fd = platform::OpenRegularFile(path_, O_RDONLY, error);
    if (fd < 0) return false;
    FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
      error = strerror(errno);
      close(fd);
      return false;
    }
    if (!buffer_) buffer_.reset(new (std::nothrow) char[kFileBufferBytes]);
    if (buffer_) setvbuf(file, buffer_.get(), _IOFBF, kFileBufferBytes);
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_ = pcap_fopen_offline(file, errbuf);  // pcap_close closes the file; a failed open leaves it ours
    if (pcap_ == nullptr) {
      fclose(file);
      error = errbuf;
      return false;
    }
    link_type = pcap_datalink(pcap_);
    TakeClassicRecords(fileno(file));
    return true;
  }
  bool Next(FrameRef& frame, int64_t& time_us) override {
    if (records_) return records_->Next(frame, time_us);
    if (pcap_ == nullptr) return false;
    pcap_pkthdr* h = nullptr;
    const u_char* data = nullptr;
    // -2 is the end of the file; -1 a damaged record, after which nothing more can be trusted.
    if (pcap_next_ex(pcap_, &h, &data) != 1) return false;
    frame.data = data;
    frame.captured = h->caplen;
    frame.wire_length = h->len;
    time_us = HeaderMicros(*h);
    return true;
  }
  bool Rewind() override {
    if (pcap_) pcap_close(pcap_);
    pcap_ = nullptr;
    records_.reset();
    int link = 0;
    std::string error;
    return Open(link, error);
  }

 private:
  // A classic pcap file of version 2.4, whose header libpcap has accepted, is read by PcapRecords
  // from the record after the header on: libpcap's handle is closed. Other files (pcapng, older
  // versions) stay with libpcap.
  void TakeClassicRecords(int fd) {
    uint8_t magic[4];
    PcapRecordFormat format;
    if (pread(fd, magic, sizeof magic, 0) != sizeof magic || !PcapRecords::Handles(magic, format.nanoseconds) ||
        pcap_major_version(pcap_) != 2 || pcap_minor_version(pcap_) != 4)
      return;
    format.swapped = pcap_is_swapped(pcap_) == 1;
    format.snapshot = static_cast<uint32_t>(pcap_snapshot(pcap_));
    const int own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) return;
    auto records = std::make_unique<PcapRecords>();
    if (lseek(own, kPcapFileHeaderBytes, SEEK_SET) != kPcapFileHeaderBytes || !records->Open(own, format)) {
      close(own);
      return;
    }
    records_ = std::move(records);
    pcap_close(pcap_);
    pcap_ = nullptr;
  }

  static constexpr off_t kPcapFileHeaderBytes = 24;
  std::string path_;
  std::unique_ptr<PcapRecords> records_;
  std::unique_ptr<char[]> buffer_;  // the open file's stdio buffer; outlives it (closed in ~ and Rewind)
  pcap_t* pcap_ = nullptr;
};

}  // namespace

void MemoryFrameSource::Add(const uint8_t* data, uint32_t captured, uint32_t wire_length, int64_t time_us) {
  frames_.push_back(Stored{bytes_.size(), captured, wire_length, time_us});
  bytes_.insert(bytes_.end(), data, data + captured);
}

bool MemoryFrameSource::LoadFile(const std::string& path, int& link_type, std::string& error) {
  PcapFileSource file(path);
  if (!file.Open(link_type, error)) return false;
  FrameRef f;
  int64_t t = 0;
  while (file.Next(f, t)) {
    // Only the bytes a read can take are kept.
    Add(f.data, f.captured < kReadLength ? f.captured : kReadLength, f.wire_length, t);
  }
  return true;
}

bool MemoryFrameSource::Next(FrameRef& frame, int64_t& time_us) {
  if (frames_.empty()) return false;
  if (next_ == frames_.size()) {
    if (pass_ + 1 >= passes_) return false;
    ++pass_;
    next_ = 0;
  }
  const Stored& s = frames_[next_++];
  frame.data = bytes_.data() + s.offset;
  frame.captured = s.captured;
  frame.wire_length = s.wire_length;
  time_us = s.time_us;
  return true;
}

bool MemoryFrameSource::Rewind() {
  next_ = 0;
  pass_ = 0;
  return true;
}

ReplayHandle::ReplayHandle(std::unique_ptr<FrameSource> source, int medium, const ReplayConfig& config,
                           platform::Clock& clock)
    : source_(std::move(source)), medium_(medium), config_(config), clock_(clock) {
  if (config_.have_own_address)
    memcpy(own_address_, config_.own_address, 6);
  else
    LearnOwnAddress();
}

ReplayHandle::~ReplayHandle() = default;

void ReplayHandle::Close() {
  MarkClosed();
  StoreFilter(kFilterOff);
  source_.reset();
  ended_ = true;
  held_ = false;
}

void ReplayHandle::LearnOwnAddress() {
  struct Count {
    uint8_t mac[6];
    int n;
  };
  std::vector<Count> counts;
  counts.reserve(kOwnAddressScanFrames);
  FrameRef f;
  int64_t t = 0;
  // Source address offset: 6 on 802.3; 8 on 802.5 (after access and frame control), where the top
  // bit only says that routing information follows.
  const uint32_t off = medium_ == kMedium8025 ? 8 : 6;
  for (int i = 0; i < kOwnAddressScanFrames && source_->Next(f, t); ++i) {
    if (f.captured < off + 6) continue;
    uint8_t mac[6];
    memcpy(mac, f.data + off, 6);
    if (medium_ == kMedium8025) mac[0] &= 0x7F;
    bool found = false;
    for (Count& c : counts)
      if (memcmp(c.mac, mac, 6) == 0) {
        ++c.n;
        found = true;
        break;
      }
    if (!found) {
      Count c{};
      memcpy(c.mac, mac, 6);
      c.n = 1;
      counts.push_back(c);
    }
  }
  int best = -1;
  for (size_t i = 0; i < counts.size(); ++i)
    if (best < 0 || counts[i].n > counts[best].n) best = static_cast<int>(i);
  if (best >= 0) memcpy(own_address_, counts[best].mac, 6);
  source_->Rewind();
}

bool ReplayHandle::QueryOid(uint32_t oid, void* data, uint32_t length) {
  auto put32 = [&](uint32_t v) {
    if (length < 4) return false;
    memcpy(data, &v, 4);
    return true;
  };
  switch (oid) {
    case kOidGenMediaInUse:
      return put32(static_cast<uint32_t>(medium_));
    case kOid8023CurrentAddress:
    case kOid8025CurrentAddress:
      if ((oid == kOid8023CurrentAddress) != (medium_ == kMedium8023) || length < 6) return false;
      memcpy(data, own_address_, 6);
      return true;
    case kOidGenCurrentPacketFilter:
      return put32(Filter());
    case kOidGenDriverVersion: {
      if (length < 2) return false;
      const uint8_t v[2] = {kNdisVersionMinor, kNdisVersionMajor};
      memcpy(data, v, 2);
      return true;
    }
    case kOidGenMacOptions:
      return put32(kMacOptionNoLoopback);
    // A file is always ready and connected; it has no speed, no vendor driver and no error counters.
    case kOidGenHardwareStatus:
      return put32(kHardwareReady);
    case kOidGenMediaConnectStatus:
      return put32(kMediaConnected);
    // The ring a Token Ring file was taken on was open and well.
    case kOid8025CurrentRingStatus:
      return medium_ == kMedium8025 && put32(0);
    case kOid8025CurrentRingState:
      return medium_ == kMedium8025 && put32(kRingStateOpened);
    default:
      return false;
  }
}

bool ReplayHandle::SetOid(uint32_t oid, const void* data, uint32_t length) {
  if (oid != kOidGenCurrentPacketFilter || length < 4) return false;
  uint32_t f;
  memcpy(&f, data, 4);
  StoreFilter(f);
  return true;
}

QueuedReadHandle::Pull ReplayHandle::PullFrames(int max, int& wait_fd, int& timeout_ms) {
  // One look at the clock per pull rather than per frame: a pull takes no time on that clock's scale.
  if (config_.pace == ReplayPace::kFast) batch_now_ = clock_.Now();
  int delivered = 0;
  while (delivered < max) {
    FrameRef frame;
    switch (NextFrame(frame, wait_fd, timeout_ms)) {
      case Pull::kFrame:
        Deliver(frame);
        ++delivered;
        break;
      case Pull::kWait:
        return delivered > 0 ? Pull::kFrame : Pull::kWait;
      case Pull::kEnd:
        if (delivered > 0) return Pull::kFrame;
        if (config_.end_event) config_.end_event->Set();
        return Pull::kEnd;
    }
  }
  return Pull::kFrame;
}

QueuedReadHandle::Pull ReplayHandle::NextFrame(FrameRef& frame, int& wait_fd, int& timeout_ms) {
  if (ended_ || !source_) return Pull::kEnd;
  int64_t file_us = 0;
  if (held_) {
    frame = held_frame_;
    file_us = held_time_us_;
  } else if (!source_->Next(frame, file_us)) {
    ended_ = true;
    return Pull::kEnd;
  }
  if (!started_) {
    started_ = true;
    start_time_ = clock_.Now();
    batch_now_ = start_time_;
    first_file_us_ = file_us;
    start_steady_us_ = config_.pace == ReplayPace::kRealtime ? SteadyMicros() : 0;
  }
  const int64_t offset_us = file_us - first_file_us_;
  if (config_.pace == ReplayPace::kRealtime && offset_us > 0) {
    int64_t wait_us = start_steady_us_ + offset_us - SteadyMicros();
    if (wait_us > 0) {
      held_ = true;
      held_frame_ = frame;
      held_time_us_ = file_us;
      wait_fd = -1;
      timeout_ms = static_cast<int>(wait_us / 1000 + 1 > 60000 ? 60000 : wait_us / 1000 + 1);
      return Pull::kWait;
    }
  }
  held_ = false;
  // Frames earlier than the first (files are not always in order) keep the start time.
  int64_t t = int64_t(start_time_) + (offset_us > 0 ? offset_us / 1000000 : 0);
  // A fast replay runs ahead of the file's own spacing; its frames are never stamped later than
  // the agent's clock, so time windows counted back from now hold what has been replayed so far.
  if (config_.pace == ReplayPace::kFast && t > batch_now_) t = batch_now_;
  frame.time = t > int64_t(UINT32_MAX) ? UINT32_MAX : static_cast<uint32_t>(t);
  return Pull::kFrame;
}

std::unique_ptr<PacketDriverHandle> OpenCaptureFile(const std::string& path, const ReplayConfig& config,
                                                    platform::Clock& clock, platform::Output& out) {
  auto source = std::make_unique<PcapFileSource>(path);
  int link_type = 0;
  std::string error;
  if (!source->Open(link_type, error)) {
    out.Printf("Capture file '%s' cannot be read: %s\n", path.c_str(), error.c_str());
    return nullptr;
  }
  int medium;
  if (link_type == kLinkTypeEthernet) {
    medium = kMedium8023;
  } else if (link_type == kLinkTypeTokenRing) {
    medium = kMedium8025;
  } else {
    const char* name = pcap_datalink_val_to_name(link_type);
    out.Printf("Capture file '%s' has link type %s (%d); only EN10MB (Ethernet) and IEEE802 (Token Ring) "
               "files can be replayed\n",
               path.c_str(), name ? name : "unknown", link_type);
    return nullptr;
  }
  return std::make_unique<ReplayHandle>(std::move(source), medium, config, clock);
}

}  // namespace netward
