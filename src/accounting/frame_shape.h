// What a frame is to accounting, found from its bytes alone: the protocol class and name of its
// stations, where their protocol addresses lie, and the headers the event checks look at. Nothing
// of the adapter is read or changed, so accounting and the look-ahead of frames not yet accounted
// (PrefetchEthernetFrame) classify alike.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/byte_view.h"
#include "accounting/stations.h"

namespace netward {

struct FrameShape {
  int cls = 0;                    // ProtocolClass
  ProtocolName name = kNameMisc;
  size_t dest = 0;                // offsets of the protocol addresses: 4 bytes (IP, ARP), 10 (IPX)
  size_t src = 0;
  size_t ip = 0;                  // IPv4 header, 0: none
  size_t arp = 0;                 // ARP header, 0: none
  size_t llc = 0;                 // 802.2 header (its DSAP), 0: none
  bool llc_error = false;         // receiver not ready, reject or frame reject
};

// 802.3/Ethernet frames (the MAC header at offset 0), and 802.2 frames of both media from their
// LLC header at `llc`.
FrameShape ShapeOfEthernet(ByteView f);
FrameShape ShapeOfLlc(ByteView f, size_t llc);

}  // namespace netward
