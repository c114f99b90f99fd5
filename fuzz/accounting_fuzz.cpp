// Arbitrary bytes as frames through both accounting entry points, and as history file contents
// through the history readers. The first input byte picks the medium and flags.
#include <cstdint>
#include <cstring>
#include <vector>

#include "accounting/accounting.h"
#include "accounting/stations.h"
#include "state/history.h"

using namespace netward;

namespace {
class Silent : public platform::Output {
 public:
  void Write(const char*) override {}
  void MessageBox(const char*, const char*) override {}
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static GlobalArea* global = [] {
    static Silent silent;
    SetAccountingOutput(&silent);
    return AllocateGlobalArea();
  }();
  static NicArea* nic = [] {
    NicArea* n = AllocateNicArea();
    const uint8_t own[6] = {0x00, 0x60, 0x08, 0x00, 0x00, 0x0a};
    memcpy(n->OwnAddress, own, 6);
    AttachNicArea(*global, n);
    return n;
  }();
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  ++data;
  --size;
  (void)global;

  nic->IsWan = (mode & 0x02) ? 1 : 0;
  nic->MediaType = (mode & 0x01) ? 1 : 0;
  if (mode & 0x04) RelaxedStore(nic->StationCount, 0);
  // Frames: the input cut into pieces of at most 256 bytes, each with a wire length of its own.
  for (size_t off = 0; off < size;) {
    size_t n = size - off < kFrameDataBytes ? size - off : kFrameDataBytes;
    alignas(8) uint8_t buffer[kFrameDataBytes] = {};
    memcpy(buffer, data + off, n);
    nic->FrameIndex = nic->FramesRead++ % kRecentFrames;
    nic->FrameTime += (mode >> 4);
    nic->FrameLength = (mode & 0x08) ? static_cast<uint32_t>(n) : 1514;
    nic->NetbiosName.Clear();
    nic->IpHeader = nullptr;
    nic->IsGroupFrame = nic->FromSelf = 0;
    FrameEntry& e = nic->RecentFrames[nic->FrameIndex];
    e.Event = 0;
    e.Direction = 0;
    if (nic->MediaType == 1)
      AccountTokenRingFrame(nic, buffer);
    else
      AccountEthernetFrame(nic, buffer);
    off += n;
  }

  std::vector<TraceRecord> trace;
  std::vector<StatisticsRecord> stats;
  ParseTraceFile(data, size, trace);
  ParseStatisticsFile(data, size, stats);
  return 0;
}
