// Header fields that both accounting and the decoder read, named once. Offsets are from the start
// of the header named; multi-byte fields are big-endian on the wire.
#pragma once

#include <cstddef>
#include <cstdint>

namespace netward {

// 802.3 / Ethernet II: destination 0-5, source 6-11, type or length 12-13, data from 14. Values up
// to 1500 in the type field are 802.3 lengths (an LLC header follows).
namespace eth_off {
inline constexpr size_t Dest = 0, Source = 6, Type = 12, Data = 14;
}
inline constexpr uint16_t kMax8023Length = 1500;
namespace ether_type {
inline constexpr uint16_t Ip = 0x0800, Arp = 0x0806, Ipx = 0x8137, Appletalk = 0x809B, Aarp = 0x80F3;
}
// NetBEUI frames go to the NetBIOS multicast address (Ethernet) or functional address (Token Ring).
inline constexpr uint8_t kNetbiosMulticast[6] = {0x03, 0x00, 0x00, 0x00, 0x00, 0x01};
inline constexpr uint8_t kNetbiosFunctional[6] = {0xC0, 0x00, 0x00, 0x00, 0x00, 0x80};

// Token Ring: access control 0, frame control 1, destination 2-7, source 8-13 (0x80 of byte 8:
// routing information present), routing control 14-15, route designators from 16.
namespace tr_off {
inline constexpr size_t FrameControl = 1, Dest = 2, Source = 8, Routing = 14, Designators = 16;
}
inline constexpr uint8_t kRoutingPresent = 0x80;

// LLC: DSAP 0, SSAP 1, control 2 (second control byte 3 for I- and S-frames);
// SNAP: OUI 3-5, type 6-7, payload from 8.
namespace llc_off {
inline constexpr size_t Dsap = 0, Ssap = 1, Control = 2, Control2 = 3, SnapType = 6, SnapData = 8;
}

// IPv4: version and header length 0, total length 2-3, identification 4-5, flags and fragment
// offset 6-7, protocol 9, source 12-15, destination 16-19.
namespace ip_off {
inline constexpr size_t VersionLength = 0, TotalLength = 2, Id = 4, Fragment = 6, Protocol = 9, Source = 12,
                        Dest = 16;
}
namespace ip_proto {
inline constexpr uint8_t Icmp = 1, Tcp = 6, Udp = 17;
}

// TCP and UDP: source port 0-1, destination port 2-3. TCP: sequence 4-7, acknowledgement 8-11,
// header length in the high four bits of 12 (32-bit words), flags 13. UDP: payload from 8.
namespace l4_off {
inline constexpr size_t SrcPort = 0, DstPort = 2, TcpSeq = 4, TcpAck = 8, TcpHeaderLength = 12, TcpFlags = 13,
                        UdpPayload = 8;
}
namespace port {
inline constexpr uint16_t Dns = 53, NetbiosName = 137, NetbiosDatagram = 138, NetbiosSession = 139;
}

// ARP for 6-byte hardware and 4-byte protocol addresses: operation 6-7, sender protocol address
// 14-17, target protocol address 24-27.
namespace arp_off {
inline constexpr size_t Operation = 6, SenderIp = 14, TargetIp = 24;
}

// NetBIOS direct datagram, from the start of its UDP header: 8 bytes of UDP, 14 of datagram header,
// then the source name (length byte at 22, 32 encoded characters from 23) and the destination
// name (length byte at 56, characters from 57).
namespace nbdgm_off {
inline constexpr size_t Source = 23, Dest = 57;
}

}  // namespace netward
