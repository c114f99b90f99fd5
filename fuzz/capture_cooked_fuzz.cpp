// Cooked (SLL) frames from a point-to-point interface rewritten as Ethernet frames.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "capture/live_adapter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t wire_length;
  memcpy(&wire_length, data, 4);
  uint8_t out[netward::kReadLength];
  netward::FrameRef frame;
  if (netward::CookedToEthernet(data + 4, static_cast<uint32_t>(size - 4), wire_length, out, frame)) {
    if (frame.captured > sizeof out) __builtin_trap();
  }
  return 0;
}
