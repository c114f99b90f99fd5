#include "state/shared_state.h"

#include <new>

namespace netward {

std::atomic<GlobalArea*> g_global_area{nullptr};

namespace {
bool Aligned8(const void* p) { return (reinterpret_cast<uintptr_t>(p) & 7u) == 0; }
}  // namespace

void SharedCopyIn(void* shared_dst, const void* src, size_t n) {
  auto* d = static_cast<uint8_t*>(shared_dst);
  auto* s = static_cast<const uint8_t*>(src);
  size_t i = 0;
  if (Aligned8(d)) {
    for (; i + 8 <= n; i += 8) {
      uint64_t w;
      memcpy(&w, s + i, 8);
      std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(d + i)).store(w, std::memory_order_relaxed);
    }
  }
  for (; i < n; ++i) std::atomic_ref<uint8_t>(d[i]).store(s[i], std::memory_order_relaxed);
}

void SharedCopyOut(void* dst, const void* shared_src, size_t n) {
  auto* d = static_cast<uint8_t*>(dst);
  auto* s = const_cast<uint8_t*>(static_cast<const uint8_t*>(shared_src));
  size_t i = 0;
  if (Aligned8(s)) {
    for (; i + 8 <= n; i += 8) {
      uint64_t w = std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(s + i)).load(std::memory_order_relaxed);
      memcpy(d + i, &w, 8);
    }
  }
  for (; i < n; ++i) d[i] = std::atomic_ref<uint8_t>(s[i]).load(std::memory_order_relaxed);
}

void SharedZero(void* shared_dst, size_t n) {
  alignas(8) static const uint8_t kZeros[512] = {};
  auto* d = static_cast<uint8_t*>(shared_dst);
  while (n > 0) {
    size_t step = n < sizeof kZeros ? n : sizeof kZeros;
    SharedCopyIn(d, kZeros, step);
    d += step;
    n -= step;
  }
}

bool AttachNicArea(GlobalArea& global, NicArea* nic) {
  const int index = global.NicCount.load(std::memory_order_relaxed);
  if (index >= kMaxNics) return false;
  nic->Global = &global;
  global.Nics[index] = nic;
  // Release: a reader that sees the count sees the adapter's pointer.
  global.NicCount.store(index + 1, std::memory_order_release);
  return true;
}

bool CountsAlone(const NicArea& nic) {
  const GlobalArea* g = nic.Global;
  return g != nullptr && g->NicCount.load(std::memory_order_acquire) == 1 && g->Nics[0] == &nic;
}

TotalsSnapshot GlobalArea::Totals() const {
  constexpr auto r = std::memory_order_relaxed;
  TotalsSnapshot t;
  t.FrameSequence = FrameSequence.load(r);
  t.OwnBytes = OwnBytes.load(r);
  t.OwnFrames = OwnFrames.load(r);
  t.OwnGroupFrames = OwnGroupFrames.load(r);
  t.OwnEventFrames = OwnEventFrames.load(r);
  t.OtherBytes = OtherBytes.load(r);
  t.OtherFrames = OtherFrames.load(r);
  t.OtherGroupFrames = OtherGroupFrames.load(r);
  t.OtherEventFrames = OtherEventFrames.load(r);
  t.DayChanges = DayChanges.load(r);
  t.LastOtherTime = LastOtherTime.load(r);
  t.LastOwnTime = LastOwnTime.load(r);
  t.LastOtherUnicastTime = LastOtherUnicastTime.load(r);
  t.LastOtherGroupTime = LastOtherGroupTime.load(r);
  t.LastOwnUnicastTime = LastOwnUnicastTime.load(r);
  t.LastOwnGroupTime = LastOwnGroupTime.load(r);
  return t;
}

// Value-initialisation zero-fills every member, atomics included.
GlobalArea* AllocateGlobalArea() { return new (std::nothrow) GlobalArea{}; }
NicArea* AllocateNicArea() { return new (std::nothrow) NicArea{}; }

void FreeGlobalArea(GlobalArea* global) {
  if (global == nullptr) return;
  for (NicArea*& nic : global->Nics) {
    delete nic;
    nic = nullptr;
  }
  delete global;
}

}  // namespace netward
