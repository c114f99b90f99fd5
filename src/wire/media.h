// Wire facts every layer shares: the two media an adapter can be on, and the pseudo-addresses
// that stand for the two ends of a point-to-point (WAN) link in its 802.3 frames.
#pragma once

#include <cstdint>

namespace netward {

// NDIS medium numbers (OID_GEN_MEDIA_IN_USE).
inline constexpr int32_t kMedium8023 = 0;  // Ethernet
inline constexpr int32_t kMedium8025 = 1;  // Token Ring

// " SEND\1" (this end) and " RECV\1" (the far end).
inline constexpr uint8_t kWanSendAddress[6] = {0x20, 0x53, 0x45, 0x4E, 0x44, 0x01};
inline constexpr uint8_t kWanReceiveAddress[6] = {0x20, 0x52, 0x45, 0x43, 0x56, 0x01};

}  // namespace netward
