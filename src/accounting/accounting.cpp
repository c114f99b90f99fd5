#include "accounting/accounting.h"

#include <cstdio>
#include <cstring>

#include "accounting/frame_shape.h"
#include "accounting/stations.h"
#include "wire/headers.h"

namespace netward {

namespace {

constexpr size_t kDnsParseBytes = kDnsQueryBytes;  // answers are parsed in the same 214 bytes

std::atomic<platform::Output*> g_output{nullptr};

void Print(const char* text) {
  if (platform::Output* out = g_output.load(std::memory_order_acquire))
    out->Write(text);
  else
    fputs(text, stdout);
}

// What accounting learns of one frame, handed from step to step. The adapter's scratch fields
// (addresses, flags, IP header, NetBIOS name, labels) and the recent-frame entry's labels, station,
// direction and event are written from it once, when the frame is done (Finish).
struct FrameFacts {
  FrameFacts(ByteView view, FrameEntry& entry) : f(view), e(entry) {}
  ByteView f;
  FrameEntry& e;               // the recent-frame entry being filled
  uint8_t dest[6];
  uint8_t src[6];              // on 802.5 without the route-information indicator
  bool group = false;
  bool from_self = false;
  bool wan_send = false;       // a WAN adapter's frame from the send pseudo-address
  size_t ip = 0;               // offset of the IPv4 header; 0: none
  uint32_t connection_slot = 0;  // of a unicast TCP frame's connection in the connection index
  uint32_t event = kEventNone;
  uint32_t direction = kDirOtherGroup;
  StationRecord* station = nullptr;  // the sender's
  bool have_netbios = false;   // `netbios` holds the name this frame gave (15 characters and a NUL)
  char netbios[16];
  bool entry_labels = false;   // the entry's labels are written
  // Labels of the last station search (16 and 32 zero-padded bytes), null when there was none.
  const char* last_address_label = nullptr;
  const char* last_protocol_label = nullptr;
};

FrameEntry& CurrentEntry(NicArea* nic) { return nic->RecentFrames[nic->FrameIndex % kRecentFrames]; }

// Bytes of the frame the view may show: the stored 256, and no more than the frame's own length.
ByteView ViewOf(const NicArea* nic, const uint8_t* frame) {
  size_t n = nic->FrameLength < kFrameDataBytes ? nic->FrameLength : kFrameDataBytes;
  return ByteView(frame, n);
}

void Finish(NicArea* nic, const FrameFacts& x) {
  FrameEntry& e = x.e;
  memcpy(nic->DestAddress, x.dest, 6);
  memcpy(nic->SrcAddress, x.src, 6);
  nic->IsGroupFrame = x.group;
  nic->FromSelf = x.from_self;
  nic->IpHeader = x.ip ? x.f.data() + x.ip : nullptr;  // x.ip < 256: inside the read buffer
  if (x.have_netbios)
    nic->NetbiosName.Set(x.netbios);
  else if (nic->NetbiosName.bytes[0] != 0)  // Set and Clear zero-fill: a leading NUL means all zeros
    nic->NetbiosName.Clear();
  if (x.last_address_label) {
    SharedStore<16>(nic->SrcLabel.bytes, x.last_address_label);
    SharedStore<29>(nic->ProtoLabel.bytes, x.last_protocol_label);
  }
  if (!x.entry_labels) {
    e.SrcLabel.Clear();
    e.ProtoLabel.Clear();
  }
  RelaxedStore(e.Station, x.station);
  RelaxedStore(e.Direction, x.direction);
  RelaxedStore(e.Event, x.event);
}

// ARP request sent by this machine: a byte-for-byte repeat within the window is a re-transmission.
// `arp` is the offset of the ARP header; the 242 compared bytes may run past the frame (zeros).
void ArpCheck(NicArea* nic, FrameFacts& x, size_t arp) {
  const ByteView f = x.f;
  if (!x.from_self || f.be16(arp + arp_off::Operation) != 1) return;
  const uint32_t now = nic->FrameTime;
  if (now < nic->LastArpTime + kRetransmitWindowSeconds && f.equals(arp, kArpRequestBytes, nic->LastArpRequest)) {
    x.event = kEventArpRetransmit;
  } else {
    f.bytes(arp, kArpRequestBytes, nic->LastArpRequest);
  }
  nic->LastArpTime = now;
}

// First-level decoded NetBIOS source name of a datagram to UDP port 138 (RFC 1002 4.4.1): the
// 32 characters after the length byte at UDP offset 22. Only names with suffix 0 or 0x20 count.
void TakeNetbiosDatagramName(FrameFacts& x, size_t ip) {
  const ByteView f = x.f;
  if (f.u8(ip + ip_off::Protocol) != ip_proto::Udp) return;
  const size_t udp = ip + (f.u8(ip + ip_off::VersionLength) & 0x0F) * 4u;
  if (f.be16(udp + l4_off::SrcPort) != port::NetbiosDatagram) return;
  char name[16] = {};
  for (size_t i = 0; i < 16; ++i) {
    const int hi = f.u8(udp + nbdgm_off::Source + 2 * i) - 'A', lo = f.u8(udp + nbdgm_off::Source + 1 + 2 * i) - 'A';
    name[i] = static_cast<char>(hi * 16 + lo);
  }
  const uint8_t suffix = static_cast<uint8_t>(name[15]);
  if (suffix != 0 && suffix != 0x20) return;
  name[15] = 0;
  for (int i = 14; i >= 0 && name[i] == ' '; --i) name[i] = 0;
  // As the 16-byte text field keeps it: up to the first NUL, zeros after.
  memset(x.netbios, 0, sizeof x.netbios);
  memcpy(x.netbios, name, strnlen(name, 15));
  x.have_netbios = true;
}

void AccountFrame(NicArea* nic, FrameFacts& x, int cls, const uint8_t* dest, const uint8_t* src, ProtocolName name);

// ---- IP checks of unicast frames ----

// Source IP, source port and destination port of a connection as one word.
uint64_t ConnectionPorts(const ConnectionEntry& c) {
  uint32_t src_ip;
  uint16_t src_port, dest_port;
  memcpy(&src_ip, c.SrcIp, 4);
  memcpy(&src_port, c.SrcPort, 2);
  memcpy(&dest_port, c.DestPort, 2);
  return src_ip | uint64_t{src_port} << 32 | uint64_t{dest_port} << 48;
}

// The connection index slot where the search for the frame's TCP connection starts (by the 12
// bytes only: the station is compared, not hashed, so that the slot is known before the search).
uint32_t ConnectionSlot(ByteView f, size_t ip, size_t tcp) {
  ConnectionEntry key{};
  f.bytes(ip + ip_off::Source, 4, key.SrcIp);
  f.bytes(tcp + l4_off::SrcPort, 2, key.SrcPort);
  f.bytes(ip + ip_off::Dest, 4, key.DestIp);
  f.bytes(tcp + l4_off::DstPort, 2, key.DestPort);
  uint32_t dest_ip;
  memcpy(&dest_ip, key.DestIp, 4);
  uint64_t h = ConnectionPorts(key) * 0x9E3779B97F4A7C15ull ^ uint64_t{dest_ip} * 0xC2B2AE3D27D4EB4Full;
  h ^= h >> 31;
  return static_cast<uint32_t>(h ^ (h >> 32)) & (kConnectionIndexSlots - 1);
}

// A TCP connection is the 12 bytes from source IP to destination port in the sender's chain. The
// chain is not walked: the adapter's connection index finds the entry (same station, same 12 bytes)
// in one probe. It holds exactly the connections of the chains in use: a new epoch empties it
// whenever the chains are emptied (the connection table is full, the station table starts over).
void TrackTcpConnection(NicArea* nic, FrameFacts& x, StationRecord* s, size_t ip, size_t tcp) {
  const ByteView f = x.f;
  ConnectionEntry key{};
  f.bytes(ip + ip_off::Source, 4, key.SrcIp);
  f.bytes(tcp + l4_off::SrcPort, 2, key.SrcPort);
  f.bytes(ip + ip_off::Dest, 4, key.DestIp);
  f.bytes(tcp + l4_off::DstPort, 2, key.DestPort);
  const uint32_t sequence = f.be32(tcp + l4_off::TcpSeq);

  StationIndex& idx = nic->Index;
  if (idx.ConnectionEpoch == 0) idx.ConnectionEpoch = 1;
  const uint16_t station = static_cast<uint16_t>(s - nic->Stations);
  uint32_t dest_ip;
  memcpy(&dest_ip, key.DestIp, 4);
  const uint64_t ports = ConnectionPorts(key);
  uint32_t slot = x.connection_slot;
  ConnectionIndexEntry* entry = &idx.Connections[slot];
  for (; entry->Epoch == idx.ConnectionEpoch; entry = &idx.Connections[slot]) {
    if (entry->SrcIpAndPorts == ports && entry->DestIp == dest_ip && entry->Station == station) {
      if (sequence <= entry->HighestSequence) x.event = kEventTcpRetransmit;
      entry->HighestSequence = sequence;
      nic->Connections[entry->Connection].HighestSequence = sequence;
      return;
    }
    slot = (slot + 1) & (kConnectionIndexSlots - 1);
  }
  if (nic->ConnectionCount >= kMaxConnections) {
    RelaxedStore(nic->ConnectionCount, uint32_t{0});
    for (StationRecord& st : nic->Stations) RelaxedStore(st.ConnectionChain, static_cast<ConnectionEntry*>(nullptr));
    if (++idx.ConnectionEpoch == 0) idx.ConnectionEpoch = 1;
    return;
  }
  const uint32_t n = nic->ConnectionCount;
  ConnectionEntry& c = nic->Connections[n];
  c = key;
  c.Next = nullptr;
  c.HighestSequence = sequence;
  RelaxedStore(nic->ConnectionCount, n + 1);
  *entry = ConnectionIndexEntry{ports, dest_ip, station, static_cast<uint16_t>(n), idx.ConnectionEpoch, sequence};
  // Appended at the end of the chain, as a walk would have appended it.
  if (s->ConnectionChain)
    idx.ChainTail[station]->Next = &c;
  else
    RelaxedStore(s->ConnectionChain, &c);
  idx.ChainTail[station] = &c;
}

// DNS answer names (RFC 1035 4.1): A records of the first 214 bytes of the message go into the
// DnsNames ring with the name the answer points at.
size_t SkipDnsName(ByteView m, size_t pos) {
  while (pos < m.size()) {
    const uint8_t len = m.u8(pos);
    if (len == 0) return pos + 1;
    if ((len & 0xC0) == 0xC0) return pos + 2;
    pos += 1u + len;
  }
  return pos;
}

void DnsNameAt(ByteView m, size_t pos, char (&out)[33]) {
  char buf[34] = {};
  size_t n = 0;
  // An answer's name is usually a pointer to the question's name: follow that first pointer.
  if ((m.u8(pos) & 0xC0) == 0xC0) pos = (m.be16(pos) & 0x3FFFu);
  while (pos < m.size()) {
    const uint8_t len = m.u8(pos);
    if (len == 0 || (len & 0xC0) == 0xC0) break;
    if (pos + 1 + len > m.size() || n + len + 1 > sizeof out) break;
    m.bytes(pos + 1, len, reinterpret_cast<uint8_t*>(buf + n));
    n += len;
    buf[n++] = '.';
    pos += 1u + len;
  }
  if (n > 0) buf[n - 1] = 0;
  memset(out, 0, sizeof out);
  memcpy(out, buf, sizeof out - 1);
}

void LearnDnsNames(NicArea* nic, ByteView f, size_t dns) {
  if (dns >= f.size()) return;
  const size_t avail = f.size() - dns;
  const ByteView m(f.data() + dns, avail < kDnsParseBytes ? avail : kDnsParseBytes);
  const uint16_t questions = m.be16(4), answers = m.be16(6);
  if ((m.u8(2) & 0x80) == 0 || questions == 0 || answers == 0) return;
  size_t pos = 12;
  for (uint16_t q = 0; q < questions && pos < m.size(); ++q) pos = SkipDnsName(m, pos) + 4;
  for (uint16_t a = 0; a < answers && pos < m.size(); ++a) {
    const size_t name = pos;
    pos = SkipDnsName(m, pos);
    const uint16_t type = m.be16(pos), length = m.be16(pos + 8);
    pos += 10;
    if (pos > m.size()) break;
    if (type == 1 && length == 4) {
      DnsNameEntry& e = nic->DnsNames[nic->DnsNameCount % kDnsNames];
      uint8_t ip[4];
      m.bytes(pos, 4, ip);
      char text[33];
      DnsNameAt(m, name, text);
      SharedCopyIn(e.Ip, ip, 4);
      e.Name.Set(text);
      RelaxedStore(nic->DnsNameCount, nic->DnsNameCount + 1);
    }
    pos += length;
  }
}

// The 214 compared and stored bytes may run past the frame (IP options push the payload on): the
// view gives zeros there, so a stored copy never holds bytes of another frame.
void DnsQueryCheck(NicArea* nic, FrameFacts& x, size_t payload) {
  const ByteView f = x.f;
  const uint32_t now = nic->FrameTime;
  if (now < nic->LastDnsQueryTime + kRetransmitWindowSeconds && f.equals(payload, kDnsQueryBytes, nic->LastDnsQuery)) {
    x.event = kEventDnsRetransmit;
  } else {
    f.bytes(payload, kDnsQueryBytes, nic->LastDnsQuery);
  }
  nic->LastDnsQueryTime = now;
}

void IpChecks(NicArea* nic, FrameFacts& x, StationRecord* s) {
  const ByteView f = x.f;
  const size_t ip = x.ip;
  const size_t h = (f.u8(ip + ip_off::VersionLength) & 0x0F) * 4u;
  const uint8_t protocol = f.u8(ip + ip_off::Protocol);
  const size_t l4 = ip + h;
  if (protocol == ip_proto::Tcp) {
    if ((f.be16(ip + ip_off::Fragment) & 0x1FFF) != 0) return;
    const uint8_t flags = f.u8(l4 + l4_off::TcpFlags);
    const uint16_t payload = static_cast<uint16_t>(f.be16(ip + ip_off::TotalLength) - (f.u8(l4 + l4_off::TcpHeaderLength) >> 4) * 4 - h);
    if (flags & 0x04) {
      x.event = kEventTcpReset;
    } else if (payload != 0 || (flags & 0x02)) {
      TrackTcpConnection(nic, x, s, ip, l4);
    }
  } else if (protocol == ip_proto::Icmp) {
    const uint8_t type = f.u8(l4);
    if (type == 3 || type == 4 || type == 5 || type == 11 || type == 12) x.event = kEventIcmpError;
  } else if (protocol == ip_proto::Udp) {
    if (f.be16(l4 + l4_off::DstPort) == port::Dns) DnsQueryCheck(nic, x, l4 + l4_off::UdpPayload);
    if (f.be16(l4 + l4_off::SrcPort) == port::Dns) LearnDnsNames(nic, f, l4 + l4_off::UdpPayload);
  }
}

void AddFloat(float& field, uint32_t n) { RelaxedStore(field, field + static_cast<float>(n)); }
void Increment(uint32_t& field) { RelaxedStore(field, field + 1); }

bool IsClassDOrE(const uint8_t* ip) { return (ip[0] & 0xE0) == 0xE0; }

// The GlobalArea totals of one frame. Done before the frame's ring and label stores: a locked
// add waits for every store before it to reach the cache, and ring slots are usually not there.
void CountTotals(GlobalArea* g, const FrameFacts& x, uint32_t now, uint32_t length, bool event, bool alone) {
  constexpr auto relaxed = std::memory_order_relaxed;
  if (x.from_self) {
    g->LastOwnTime.store(now, relaxed);
    if (!x.group) g->LastOwnUnicastTime.store(now, relaxed);
    if (event) {
      AddToTotal(g->OwnEventFrames, 1u, alone);
    } else if (x.group) {
      g->LastOwnGroupTime.store(now, relaxed);
      AddToTotal(g->OwnGroupFrames, 1u, alone);
    } else {
      AddToTotal(g->OwnBytes, static_cast<float>(length), alone);
      AddToTotal(g->OwnFrames, 1u, alone);
    }
  } else {
    g->LastOtherTime.store(now, relaxed);
    if (!x.group) g->LastOtherUnicastTime.store(now, relaxed);
    if (event) {
      AddToTotal(g->OtherEventFrames, 1u, alone);
    } else if (x.group) {
      g->LastOtherGroupTime.store(now, relaxed);
      AddToTotal(g->OtherGroupFrames, 1u, alone);
    } else {
      AddToTotal(g->OtherBytes, static_cast<float>(length), alone);
      AddToTotal(g->OtherFrames, 1u, alone);
    }
  }
}

uint32_t DirectionOf(const FrameFacts& x, bool event) {
  if (event) return x.from_self ? kDirOwnEvent : kDirOtherEvent;
  if (x.group) return x.from_self ? kDirOwnGroup : kDirOtherGroup;
  return x.from_self ? kDirOwnUnicast : kDirOtherUnicast;
}

// Station accounting for one classified frame. `dest` and `src` are the protocol addresses of the
// class (MACs, IPv4 or IPX network:node).
void AccountFrame(NicArea* nic, FrameFacts& x, int cls, const uint8_t* dest, const uint8_t* src, ProtocolName name) {
  GlobalArea* g = nic->Global;
  FrameEntry& e = x.e;

  // A group frame from another station names a station but never adds one. The receiver's key
  // (unicast frames) is made at once, and its cache slot starts loading.
  const uint64_t own = Mac48(nic->OwnAddress);
  const StationSearch sender_search =
      MakeStationSearch(*nic, cls, name, x.src, src, Mac48(x.src) == own, x.wan_send, !x.group || x.from_self);
  StationSearch receiver_search;
  if (!x.group) {
    receiver_search = MakeStationSearch(*nic, cls, name, x.dest, dest, Mac48(x.dest) == own, x.wan_send, true);
    __builtin_prefetch(&nic->Index.Keys[receiver_search.slot]);
  }
  const StationMatch sender = FindStation(nic, sender_search);
  StationRecord* s = sender.station;
  x.station = s;
  x.last_address_label = sender.address_label;
  x.last_protocol_label = sender.protocol_label;

  const uint32_t now = nic->FrameTime;
  const uint32_t length = nic->FrameLength;
  const uint32_t sequence = e.Sequence;

  if (!x.group && s != nullptr) {
    if (x.ip) IpChecks(nic, x, s);
    const bool event = x.event != kEventNone;
    CountTotals(g, x, now, length, event, nic->CountsAlone);
    x.direction = DirectionOf(x, event);
  }
  SharedStore<16>(e.SrcLabel.bytes, sender.address_label);
  SharedStore<29>(e.ProtoLabel.bytes, sender.protocol_label);
  x.entry_labels = true;

  if (!x.group) {
    if (s == nullptr) return;
    RelaxedStore(s->LastSeen, now);
    RelaxedStore(s->LastSequence, sequence);
    if (x.event != kEventNone) {
      Increment(s->EventFramesSent);
      return;
    }
    Increment(s->FramesSent);
    AddFloat(s->BytesSent, length);
    const StationMatch receiver = FindStation(nic, receiver_search);
    x.last_address_label = receiver.address_label;
    x.last_protocol_label = receiver.protocol_label;
    if (StationRecord* r = receiver.station) {
      RelaxedStore(r->LastSeen, now);
      RelaxedStore(r->LastSequence, sequence);
      Increment(r->FramesReceived);
      AddFloat(r->BytesReceived, length);
    }
    return;
  }

  // Group frame: counted, and logged in the group ring whether or not a station exists.
  const bool event = x.event != kEventNone;
  CountTotals(g, x, now, length, event, nic->CountsAlone);
  x.direction = DirectionOf(x, event);
  const uint32_t slot = nic->GroupFrameCount % kGroupFrames;
  RelaxedStore(nic->GroupFrameIndex, slot);
  GroupFrameEntry& ge = nic->GroupFrames[slot];
  BeginSlotRewrite(ge);
  RelaxedStore(ge.Time, now);
  RelaxedStore(ge.Sequence, sequence);
  // The read buffer's 256 bytes: what the capture thread stores in the recent-frame entry.
  SharedStore<kFrameDataBytes>(ge.Data, x.f.data());
  SharedStore<16>(ge.SrcLabel.bytes, sender.address_label);
  SharedStore<29>(ge.ProtoLabel.bytes, sender.protocol_label);
  RelaxedStore(ge.Station, s);
  if (!x.from_self && cls == kClassIp && x.ip && !IsClassDOrE(dest))
    SharedStore<4>(ge.DestIp, dest);
  else
    SharedStoreZero<4>(ge.DestIp);
  EndSlotRewrite(ge);
  PrefetchForRewrite(nic->GroupFrames[slot + 1 < kGroupFrames ? slot + 1 : 0]);
  const bool have_name = x.have_netbios && x.netbios[0] != 0;
  if (s) {
    RelaxedStore(s->LastSeen, now);
    RelaxedStore(s->LastSequence, sequence);
    if (event)
      Increment(s->EventFramesSent);
    else
      Increment(s->GroupFramesSent);
    if (have_name) {
      char name_text[33];
      s->Name.Get(name_text);
      if (name_text[0] == 0) s->Name.Set(x.netbios);
    }
  } else if (have_name) {
    RememberNetbiosName(nic, sender.address_label, sender.protocol_label, x.netbios);
  }
  RelaxedStore(nic->GroupFrameCount, nic->GroupFrameCount + 1);
}

// NetBIOS Frames name of a group frame, after the 3-byte LLC header at `llc` (the command at
// offset 7 from the DSAP): the source name of an add name query (suffix 0 or space) or a datagram,
// the queried name of a name query (likewise).
void TakeNetbiosFramesName(FrameFacts& x, size_t llc) {
  const ByteView f = x.f;
  size_t name = 0;
  switch (f.u8(llc + 7)) {
    case 0x01:  // add name query
      if (f.u8(llc + 30) == 0 || f.u8(llc + 30) == ' ') name = llc + 15;
      break;
    case 0x0A:  // name query
      if (f.u8(llc + 30) == 0 || f.u8(llc + 30) == ' ') name = llc + 31;
      break;
    case 0x08:  // datagram
      name = llc + 31;
      break;
    default:
      break;
  }
  if (name == 0) return;
  char text[16] = {};
  f.bytes(name, 15, reinterpret_cast<uint8_t*>(text));
  // As the 16-byte text field keeps it: up to the first NUL, zeros after.
  memset(x.netbios, 0, sizeof x.netbios);
  memcpy(x.netbios, text, strnlen(text, 15));
  x.have_netbios = true;
}

// The protocol addresses of the shape's stations (zeros past the frame); the MACs for link frames.
void CopyAddresses(ByteView f, const FrameShape& k, uint8_t (&dest)[10], uint8_t (&src)[10]) {
  if (k.cls == kClassIpx) {
    f.bytes(k.dest, 10, dest);
    f.bytes(k.src, 10, src);
  } else if (k.cls == kClassIp) {
    f.bytes(k.dest, 4, dest);
    f.bytes(k.src, 4, src);
  } else {
    f.bytes(0, 6, dest);
    f.bytes(6, 6, src);
  }
}

void AccountShape(NicArea* nic, FrameFacts& x, const FrameShape& k) {
  const ByteView f = x.f;
  if (x.group && k.llc) TakeNetbiosFramesName(x, k.llc);
  if (k.llc_error) x.event = kEventLlcError;
  if (k.cls == kClassLink) return AccountFrame(nic, x, kClassLink, x.dest, x.src, k.name);
  if (k.arp) ArpCheck(nic, x, k.arp);
  if (k.ip) {
    x.ip = k.ip;
    if (x.group) {
      TakeNetbiosDatagramName(x, k.ip);
    } else if (f.u8(k.ip + ip_off::Protocol) == ip_proto::Tcp) {
      x.connection_slot = ConnectionSlot(f, k.ip, k.ip + (f.u8(k.ip + ip_off::VersionLength) & 0x0F) * 4u);
      __builtin_prefetch(&nic->Index.Connections[x.connection_slot]);
    }
  }
  uint8_t dest[10], src[10];
  CopyAddresses(f, k, dest, src);
  AccountFrame(nic, x, k.cls, dest, src, k.name);
}

// Without the GlobalArea nothing is counted: the entry keeps no labels, station, direction or event.
void ClearEntry(FrameEntry& e) {
  e.SrcLabel.Clear();
  e.ProtoLabel.Clear();
  RelaxedStore(e.Station, static_cast<StationRecord*>(nullptr));
  RelaxedStore(e.Direction, uint32_t{kDirOtherGroup});
  RelaxedStore(e.Event, uint32_t{kEventNone});
}

}  // namespace

void SetAccountingOutput(platform::Output* out) { g_output.store(out, std::memory_order_release); }

[[gnu::flatten]] void AccountEthernetFrame(NicArea* nic, const uint8_t* frame) {
  FrameEntry& e = CurrentEntry(nic);
  if (nic->Global == nullptr) return ClearEntry(e);
  FrameFacts x(ViewOf(nic, frame), e);
  x.f.bytes(0, 6, x.dest);
  x.f.bytes(6, 6, x.src);
  static constexpr uint8_t kZero[6] = {};
  if (memcmp(x.src, nic->OwnAddress, 6) == 0) {
    x.from_self = true;
  } else if (nic->IsWan) {
    if (memcmp(x.src, kWanSendAddress, 6) == 0) {
      x.from_self = true;
    } else if (memcmp(x.src, kWanReceiveAddress, 6) != 0 && memcmp(nic->OwnAddress, kZero, 6) == 0) {
      // A WAN adapter learns its own address from the first frame it sends.
      SharedCopyIn(nic->OwnAddress, x.src, 6);
      x.from_self = true;
    }
  }
  x.wan_send = nic->IsWan && memcmp(x.src, kWanSendAddress, 6) == 0;
  x.group = x.f.u8(0) & 1;
  AccountShape(nic, x, ShapeOfEthernet(x.f));
  Finish(nic, x);
}

void AccountTokenRingFrame(NicArea* nic, const uint8_t* frame) {
  FrameEntry& e = CurrentEntry(nic);
  if (nic->Global == nullptr) return ClearEntry(e);
  FrameFacts x(ViewOf(nic, frame), e);
  const ByteView f = x.f;
  f.bytes(tr_off::Dest, 6, x.dest);
  f.bytes(tr_off::Source, 6, x.src);
  x.src[0] &= static_cast<uint8_t>(~kRoutingPresent);  // the route-information indicator is not the address
  if (memcmp(x.src, nic->OwnAddress, 6) == 0) x.from_self = true;
  x.wan_send = nic->IsWan && memcmp(x.src, kWanSendAddress, 6) == 0;
  const uint8_t type = f.u8(tr_off::FrameControl) & 0xC0;
  if (type == 0x40) {
    size_t llc = tr_off::Routing;
    if (f.u8(tr_off::Source) & kRoutingPresent) llc += f.u8(tr_off::Routing) & 0x1F;
    x.group = (f.u8(tr_off::Dest) & 0x80) != 0;
    AccountShape(nic, x, ShapeOfLlc(f, llc));
  } else if (type != 0x00) {  // a MAC frame (0) is kept in the ring only
    char line[64];
    snprintf(line, sizeof line, "WARNING: Unexpected Frame Type x%02X\n", type);
    Print(line);
  }
  Finish(nic, x);
}

}  // namespace netward
