#include "capture/capture_thread.h"

#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

namespace netward {

namespace {

// The read buffer: 15 frame buffers of 256 bytes, then the 15 byte counts.
constexpr size_t kReadBufferBytes = kReadSlots * kReadLength + kReadSlots * sizeof(uint32_t);
static_assert(kReadBufferBytes == 3900);
constexpr size_t kQueryBlockBytes = 256;

class ReadBuffer {
 public:
  // Committed up front so that no read faults a page in on the capture path.
  bool Allocate() {
    void* p = mmap(nullptr, kReadBufferBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                   -1, 0);
    if (p == MAP_FAILED) return false;
    base_ = static_cast<uint8_t*>(p);
    return true;
  }
  ~ReadBuffer() {
    if (base_) munmap(base_, kReadBufferBytes);
  }
  uint8_t* Frame(int slot) { return base_ + slot * kReadLength; }
  uint32_t* Count(int slot) { return reinterpret_cast<uint32_t*>(base_ + kReadSlots * kReadLength) + slot; }

 private:
  uint8_t* base_ = nullptr;
};

// Copies a whole entry (all 326 bytes of the stored form) into a ring slot that readers may be
// looking at; the caller brackets it with BeginSlotRewrite/EndSlotRewrite.
void CopyFrameEntry(FrameEntry& dst, const FrameEntry& src) {
  RelaxedStore(dst.Time, src.Time);
  RelaxedStore(dst.Sequence, src.Sequence);
  RelaxedStore(dst.Length, src.Length);
  SharedCopyIn(dst.SrcLabel.bytes, src.SrcLabel.bytes, sizeof src.SrcLabel.bytes);
  SharedCopyIn(dst.ProtoLabel.bytes, src.ProtoLabel.bytes, sizeof src.ProtoLabel.bytes);
  RelaxedStore(dst.Station, src.Station);
  RelaxedStore(dst.Direction, src.Direction);
  RelaxedStore(dst.Event, src.Event);
  SharedCopyIn(dst.Data, src.Data, kFrameDataBytes);
}

}  // namespace

void AccountFramePlaceholder(NicArea* nic, const uint8_t*) {
  FrameEntry& e = nic->RecentFrames[nic->FrameIndex % kRecentFrames];
  e.SrcLabel.Clear();
  e.ProtoLabel.Clear();
  RelaxedStore(e.Station, static_cast<StationRecord*>(nullptr));
  RelaxedStore(e.Direction, uint32_t{0});
  RelaxedStore(e.Event, uint32_t{0});
}

void CaptureThread(NicArea* nic, const CaptureContext& ctx) {
  platform::Output& out = *ctx.out;
  auto common_stop = [&ctx] {
    if (ctx.common_stop) ctx.common_stop();
  };

  std::unique_ptr<PacketDriverHandle> handle = ctx.driver->Open(nic->DeviceName);
  if (!handle) {
    out.Write(kTextOpenFailed);
    return;
  }
  PacketDriverHandle* drv = handle.get();
  nic->Driver.store(drv, std::memory_order_release);
  // Readers find the handle through `Driver` at any time, also after this thread has ended: on every
  // way out the adapter is closed and the handle handed to the driver service, which keeps it alive.
  struct CloseOnExit {
    PacketDriver* driver;
    std::unique_ptr<PacketDriverHandle>& handle;
    void Close() {
      if (!handle) return;
      handle->Close();
      driver->KeepClosed(std::move(handle));
    }
    ~CloseOnExit() { Close(); }
  } closer{ctx.driver, handle};
  auto close_adapter = [&closer] { closer.Close(); };
  drv->SetFilter(kFilterOff);

  std::unique_ptr<uint8_t[]> query(new (std::nothrow) uint8_t[kQueryBlockBytes]());
  if (!query) {
    out.Write(kTextAllocFailed);
    common_stop();
    return;
  }
  if (!drv->QueryOid(kOidGenMediaInUse, query.get(), 4)) {
    out.Write(kTextMediaFailed);
    common_stop();
    return;
  }
  const int32_t media = query[0];
  RelaxedStore(nic->MediaType, media);
  if (media != kMedium8023 && media != kMedium8025) {
    out.Write(kTextUnsupportedMedia);
    common_stop();
    return;
  }
  memset(query.get(), 0, kQueryBlockBytes);
  if (!drv->QueryOid(media == kMedium8023 ? kOid8023CurrentAddress : kOid8025CurrentAddress, query.get(), 6)) {
    out.Write(kTextAddressFailed);
    common_stop();
    return;
  }
  SharedCopyIn(nic->OwnAddress, query.get(), 6);
  RelaxedStore(nic->IsWan, uint8_t{0});
  memset(query.get(), 0, kQueryBlockBytes);
  if (drv->QueryOid(kOidWanPermanentAddress, query.get(), 6)) {
    RelaxedStore(nic->IsWan, uint8_t{1});
    out.Write(kTextWanAdapter);
    SharedZero(nic->OwnAddress, 6);  // learnt from traffic by accounting
  }
  query.reset();

  ReadBuffer buffer;
  if (!buffer.Allocate()) {
    out.MessageBox(kTextReadBufferFailed, kCaptionCaptureError);
    common_stop();
    return;
  }
  for (int i = 0; i < kReadSlots; ++i) {
    if (!drv->AllocateReadObject(i)) {
      out.Write(kTextAllocatePacketFailed);
      for (int j = 0; j < i; ++j) drv->FreeReadObject(j);
      close_adapter();
      common_stop();
      return;
    }
    if (!drv->StartRead(i, buffer.Frame(i), kReadLength, buffer.Count(i)))
      out.MessageBox(kTextInitialReadFailed, kCaptionCaptureDebug);
  }

  bool promiscuous = false;
  if (ctx.force_promiscuous) {
    promiscuous = drv->SetFilter(kFilterPromiscuous);
    out.Write(promiscuous ? kTextPromiscuousOk : kTextPromiscuousFailed);
  }
  if (!promiscuous) {
    const uint32_t normal = nic->IsWan ? kFilterPromiscuous : media == kMedium8025 ? kFilterNormal8025 : kFilterNormal8023;
    if (!drv->SetFilter(normal)) {
      out.Write(kTextSetFilterFailed);
      for (int i = 0; i < kReadSlots; ++i) drv->FreeReadObject(i);
      close_adapter();
      common_stop();
      return;
    }
  }

  GlobalArea* g = nic->Global;
  const bool alone = CountsAlone(*nic);
  nic->CountsAlone = alone;
  const AccountEntry account = media == kMedium8025 ? ctx.account_8025 : ctx.account_8023;
  uint32_t frames_read = nic->FramesRead;
  uint32_t event_count = nic->EventCount;
  while (true) {
    const int slot = static_cast<int>(frames_read % kReadSlots);
    const uint32_t index = frames_read % kRecentFrames;
    RelaxedStore(nic->FrameIndex, index);
    if (drv->WaitRead(slot, *ctx.stop_request) == WaitResult::kStopped) break;

    uint32_t time = 0;
    const uint32_t length = drv->FinishRead(slot, &time);
    ++frames_read;
    RelaxedStore(nic->FrameTime, time);
    RelaxedStore(nic->FramesRead, frames_read);
    RelaxedStore(nic->FrameLength, length);
    const uint32_t sequence = g != nullptr ? AddToTotal(g->FrameSequence, 1u, alone) : frames_read;

    FrameEntry& e = nic->RecentFrames[index];
    uint8_t* frame = buffer.Frame(slot);
    // Accounting writes the rest of the entry (labels, station, direction, event) and its own
    // per-frame fields of the NicArea before it returns. The frame's bytes are stored after it:
    // accounting reads the read buffer, and its locked adds to the totals then do not wait for
    // these stores to reach the cache.
    BeginSlotRewrite(e);
    RelaxedStore(e.Time, time);
    RelaxedStore(e.Sequence, sequence);
    RelaxedStore(e.Length, length);

    account(nic, frame);
    SharedStore<kFrameDataBytes>(e.Data, frame);

    if (e.Event != kEventNone) {
      FrameEntry& logged = nic->EventLog[event_count % kEventLogEntries];
      ++event_count;
      RelaxedStore(nic->EventCount, event_count);
      if (e.Event < kEventKinds) RelaxedStore(nic->EventsByKind[e.Event], nic->EventsByKind[e.Event] + 1);
      BeginSlotRewrite(logged);
      CopyFrameEntry(logged, e);
      EndSlotRewrite(logged);
    }
    EndSlotRewrite(e);

    // A read writes its whole buffer (the frame, then zeros): the frame bytes need no clearing.
    *buffer.Count(slot) = 0;
    if (!drv->StartRead(slot, frame, kReadLength, buffer.Count(slot)))
      out.MessageBox(kTextRestartReadFailed, kCaptionCaptureDebug);
  }

  // Reads still pending are dropped with the adapter.
  drv->SetFilter(kFilterOff);
  for (int i = 0; i < kReadSlots; ++i) drv->FreeReadObject(i);
  close_adapter();
}

}  // namespace netward
