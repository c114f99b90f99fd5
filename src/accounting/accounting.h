// Frame accounting: classification of each frame read, event detection, per-station and global
// counters, and the group-frame ring. Runs on the adapter's capture thread, writes only that
// adapter's NicArea and the GlobalArea totals, never allocates and never takes a lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/byte_view.h"
#include "state/shared_state.h"
#include "platform/output.h"
#include "wire/media.h"

namespace netward {

// Protocol classes handed to station accounting.
enum ProtocolClass : int {
  kClassLink = 0,  // link level only: MAC addresses, a bare protocol name
  kClassIp = 1,    // 4-byte IPv4 addresses, "IP"
  kClassIpx = 2,   // 10-byte network:node addresses, "IPX"
};


// An ARP request or DNS query repeated byte for byte within this many seconds is a re-transmission.
inline constexpr uint32_t kRetransmitWindowSeconds = 300;

// Entry points of the capture thread, chosen by MediaType (0 = 802.3, 1 = 802.5). `frame` is the
// 256-byte read buffer. Before the call the capture thread has set FrameLength (the byte count of
// the read, i.e. the wire length), FrameTime and FrameIndex (the RecentFrames entry being filled),
// incremented FrameSequence and stored Time, Sequence and Length in that entry (its Data, the read
// buffer's bytes, may come after the call). Accounting
// writes the entry's labels, Station, Direction and Event, and the adapter's per-frame scratch
// fields (DestAddress, SrcAddress, IsGroupFrame, FromSelf, IpHeader, NetbiosName, and SrcLabel and
// ProtoLabel after a station search). Both match capture's AccountEntry type.
void AccountEthernetFrame(NicArea* nic, const uint8_t* frame);
void AccountTokenRingFrame(NicArea* nic, const uint8_t* frame);

// Where accounting's console lines go ("WARNING: Unexpected Frame Type ..."); standard output when
// none is set.
void SetAccountingOutput(platform::Output* out);

}  // namespace netward
