#include "remote/snapshot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "wire/byte_order.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "remote/detail_records.h"
#include "remote/dispatcher.h"

namespace netward {

static_assert(kSnapshotRecordHeaderSize == 20);
static_assert(kCaptureHeaderSize == 128);
static_assert(kCaptureFrameHeaderSize == 8);
static_assert(kCaptureTrailerSize == 8);

namespace {

void ConsoleWrite(platform::Output* out, const char* text) {
  if (out != nullptr) {
    out->Write(text);
  } else {
    fputs(text, stdout);
  }
}

void ShowBox(platform::Output* out, const char* text, const char* caption) {
  if (out != nullptr) {
    out->MessageBox(text, caption);
  } else {
    fprintf(stderr, "%s: %s\n", caption, text);
  }
}

// A slot rewritten while it is copied is tried again; one that stays torn comes out as not
// complete, which ends the walk there.
struct DumpSlot {
  bool complete;
  SlotCopy copy;
};

void CopyDumpSlot(const FrameEntry& e, DumpSlot& c) {
  c.complete = false;
  for (int attempt = 0; attempt < 3 && !c.complete; ++attempt) {
    if (e.Complete.load(std::memory_order_acquire) != 1) return;
    c.complete = CopySlot(e, c.copy);
  }
}

}  // namespace

void BuildSnapshotRecordHeader(uint32_t data_size, const char* name, uint8_t (&out)[kSnapshotRecordHeaderSize]) {
  memset(out, 0, sizeof out);
  PutU32Le(out, data_size + static_cast<uint32_t>(kSnapshotNameBytes));
  memcpy(out + 4, name, strnlen(name, kSnapshotNameBytes));
}

void BuildCaptureHeader(int32_t media_type, uint32_t first_time, uint32_t table_offset, uint32_t table_length,
                        uint8_t (&out)[kCaptureHeaderSize]) {
  memset(out, 0, sizeof out);
  memcpy(out, "RTSS", 4);
  out[4] = 0x00;
  out[5] = 0x78;
  PutU16Le(out + 6, media_type == 1 ? 2 : 1);
  const platform::LocalDate date = platform::LocalDateOf(first_time);
  const platform::LocalClock clock = platform::LocalClockOf(first_time);
  PutU16Le(out + 8, static_cast<uint16_t>(date.year));
  PutU16Le(out + 10, static_cast<uint16_t>(date.month));
  PutU16Le(out + 12, 2);
  PutU16Le(out + 14, static_cast<uint16_t>(date.day));
  PutU16Le(out + 16, static_cast<uint16_t>(clock.hour));
  PutU16Le(out + 18, static_cast<uint16_t>(clock.minute));
  PutU16Le(out + 20, static_cast<uint16_t>(clock.second));
  PutU16Le(out + 22, 0);
  PutU32Le(out + 24, table_offset);
  PutU32Le(out + 28, table_length);
}

void BuildCaptureFrameHeader(uint32_t ms_offset, uint32_t length, uint8_t (&out)[kCaptureFrameHeaderSize]) {
  PutU32Le(out, ms_offset);
  PutU16Le(out + 4, static_cast<uint16_t>(length));
  PutU16Le(out + 6, static_cast<uint16_t>(length < kCaptureStoredMax ? length : kCaptureStoredMax));
}

void BuildFrameCapture(const CaptureFrame* frames, size_t n, int32_t media_type, std::vector<uint8_t>& out) {
  out.assign(kCaptureHeaderSize, 0);
  std::vector<uint32_t> offsets;
  offsets.reserve(n);
  const uint32_t zero = n > 0 ? frames[0].time : 0;
  for (size_t i = 0; i < n; ++i) {
    const CaptureFrame& f = frames[i];
    offsets.push_back(static_cast<uint32_t>(out.size()));
    uint8_t head[kCaptureFrameHeaderSize];
    BuildCaptureFrameHeader((f.time - zero) * 1000u, f.length, head);
    out.insert(out.end(), head, head + sizeof head);
    const uint32_t stored = f.length < kCaptureStoredMax ? f.length : kCaptureStoredMax;
    out.insert(out.end(), f.data, f.data + stored);
  }
  const uint32_t table_offset = static_cast<uint32_t>(out.size());
  for (uint32_t at : offsets) {
    uint8_t w[4];
    PutU32Le(w, at);
    out.insert(out.end(), w, w + 4);
  }
  out.insert(out.end(), kCaptureTrailerSize, 0);
  uint8_t header[kCaptureHeaderSize];
  BuildCaptureHeader(media_type, zero, table_offset, static_cast<uint32_t>(4 * n), header);
  memcpy(out.data(), header, sizeof header);
}

void AppendSnapshotRecord(const RequestContext& c, SnapshotFile& file, const char* request) {
  char area[256] = {};
  memcpy(area, request, strnlen(request, sizeof area - 1));
  GlobalArea* g = c.g;
  uint8_t* reply = nullptr;
  int32_t reply_length = 0;
  if (g != nullptr) {
    // "OPEN " reloads the key before it is checked; the second call carries the reloaded key.
    for (int attempt = 0; attempt < 2; ++attempt) {
      uint8_t key[16];
      SharedCopyOut(key, g->AccessKey, sizeof key);
      if (HandleRequest(c, key, area, &reply, &reply_length) != kKeyRejected) break;
    }
  }
  uint8_t head[kSnapshotRecordHeaderSize];
  const uint32_t size = reply != nullptr ? static_cast<uint32_t>(reply_length) : 0;
  BuildSnapshotRecordHeader(size, area, head);
  file.Write(head, sizeof head);
  file.Write(reply, size);
  MidlUserFree(reply);
}

void WriteFrameDump(const RequestContext& context, SnapshotFile& file, int adapter) {
  GlobalArea* g = context.g;
  if (g == nullptr || adapter < 0 || adapter >= kMaxNics) return;
  const NicArea* nic = g->Nics[adapter];
  if (nic == nullptr) return;
  const uint32_t frames_read = RelaxedLoad(nic->FramesRead);
  if (frames_read == 0) return;

  // A private copy: the capture thread goes on writing the ring meanwhile.
  auto ring = std::make_unique<DumpSlot[]>(kRecentFrames);
  for (int s = 0; s < kRecentFrames; ++s) CopyDumpSlot(nic->RecentFrames[s], ring[s]);

  std::vector<CaptureFrame> frames;
  frames.reserve(kRecentFrames);
  const uint32_t first = frames_read > uint32_t(kRecentFrames - 1) ? frames_read - (kRecentFrames - 1) : 1;
  for (uint32_t k = first; k <= frames_read && k != 0; ++k) {
    const DumpSlot& slot = ring[(k - 1) % kRecentFrames];
    if (!slot.complete) break;
    const SlotCopy& c = slot.copy;
    if (!frames.empty() && (c.time == 0 || c.time < frames.front().time)) {
      ConsoleWrite(context.out, kTextBadTime);
      break;
    }
    frames.push_back(CaptureFrame{c.time, c.length, c.data});
  }

  std::vector<uint8_t> capture;
  BuildFrameCapture(frames.data(), frames.size(), RelaxedLoad(nic->MediaType), capture);
  for (uint8_t& b : capture) b = static_cast<uint8_t>(~b);

  char name[kSnapshotNameBytes + 1];
  snprintf(name, sizeof name, "DUMP_%d", adapter + 1);
  uint8_t head[kSnapshotRecordHeaderSize];
  BuildSnapshotRecordHeader(static_cast<uint32_t>(capture.size()), name, head);
  file.Write(head, sizeof head);
  file.Write(capture.data(), capture.size());
}

void SaveSnapshot(const RequestContext& c, uintptr_t window, const char* file_name) {
  (void)window;  // no cursor to change without a window system
  const uint32_t now = c.Now();
  if (file_name == nullptr) return;
  SnapshotFile file;
  if (!file.Open(file_name)) {
    ShowBox(c.out, kTextCouldNotSave, kCaptionNetwardError);
    return;
  }
  char date[9];
  platform::DayName(platform::LocalDateOf(now), date);
  char tet[16], tes[16];
  snprintf(tet, sizeof tet, "TET %s", date);
  snprintf(tes, sizeof tes, "TES %s", date);

  file.Write(kSnapshotMagic, sizeof kSnapshotMagic);
  const char* const always[] = {"OPEN ",          tet,        tes,         "BCASTERS LOW", "BCASTERS HIGH",
                                "BCASTSENT LOW",  "BCASTSENT HIGH", "ERRORS 0", "DETAILS 0", "OID",
                                "CMD CONFIG",     "CMD SUBNET"};
  for (const char* request : always) AppendSnapshotRecord(c, file, request);

  // The TCP/IP reports only where the PC has an address (read after "OPEN " refreshed it).
  GlobalArea* g = c.g;
  char address[20] = {};
  if (g != nullptr) g->AddressText.Get(address);
  if (address[0] != 0) {
    for (const char* request : {"CMD NETSTAT -n", "CMD ARP -a", "CMD IPCONFIG -all", "CMD ROUTE PRINT"})
      AppendSnapshotRecord(c, file, request);
  }
  const int nics = g != nullptr ? g->NicCount.load(std::memory_order_acquire) : 0;
  for (int i = 0; i < nics && i < kMaxNics; ++i) WriteFrameDump(c, file, i);
  const uint8_t end_mark[4] = {0, 0, 0, 0};
  file.Write(end_mark, sizeof end_mark);
  if (!file.Commit()) ShowBox(c.out, kTextCouldNotSave, kCaptionNetwardError);
}

void BuildSnapshotReply(const RequestContext& c, Body& body) {
  body.assign(kSnapshotMagic, kSnapshotMagic + sizeof kSnapshotMagic);
  const char* dir = getenv("TMPDIR");
  std::string path = std::string(dir != nullptr && dir[0] != 0 ? dir : "/tmp") + "/NWSXXXXXX";
  int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return;  // no temporary name: the magic alone
  ::close(fd);
  SaveSnapshot(c, 0, path.c_str());
  std::vector<uint8_t> image;
  if (platform::ReadFile(path, image) && !image.empty()) body.swap(image);
  ::unlink(path.c_str());
}

}  // namespace netward
