#include "accounting/accounting.h"

#include <cstdio>
#include <cstring>

#include "accounting/stations.h"

namespace netward {

namespace {

constexpr char kAppletalk[] = "Appletalk";
constexpr char kMisc[] = "<misc>";
constexpr char kNetbeui[] = "NetBEUI";
constexpr char kSna[] = "SNA";
constexpr char kIp[] = "IP";
constexpr char kIpx[] = "IPX";

constexpr uint16_t kTypeIp = 0x0800;
constexpr uint16_t kTypeArp = 0x0806;
constexpr uint16_t kTypeIpx = 0x8137;
constexpr uint16_t kTypeAppletalk = 0x809B;
constexpr uint16_t kTypeAarp = 0x80F3;

constexpr uint16_t kNetbiosDatagramPort = 138;
constexpr uint16_t kDnsPort = 53;
constexpr size_t kDnsParseBytes = kDnsQueryBytes;  // answers are parsed in the same 214 bytes

std::atomic<platform::Output*> g_output{nullptr};

void Print(const char* text) {
  if (platform::Output* out = g_output.load(std::memory_order_acquire))
    out->Write(text);
  else
    fputs(text, stdout);
}

FrameEntry& CurrentEntry(NicArea* nic) { return nic->RecentFrames[nic->FrameIndex % kRecentFrames]; }

void SetEvent(NicArea* nic, uint32_t event) { RelaxedStore(CurrentEntry(nic).Event, event); }

// Bytes of the frame the view may show: the stored 256, and no more than the frame's own length.
FrameView ViewOf(const NicArea* nic, const uint8_t* frame) {
  size_t n = nic->FrameLength < kFrameDataBytes ? nic->FrameLength : kFrameDataBytes;
  return FrameView(frame, n);
}

// ARP request sent by this machine: a byte-for-byte repeat within the window is a re-transmission.
// `arp` is the offset of the ARP header; the 242 compared bytes may run past the frame (zeros).
void ArpCheck(NicArea* nic, FrameView f, size_t arp) {
  if (!nic->FromSelf || f.be16(arp + 6) != 1) return;
  const uint32_t now = nic->FrameTime;
  if (now < nic->LastArpTime + kRetransmitWindowSeconds && f.equals(arp, kArpRequestBytes, nic->LastArpRequest)) {
    SetEvent(nic, kEventArpRetransmit);
  } else {
    f.bytes(arp, kArpRequestBytes, nic->LastArpRequest);
  }
  nic->LastArpTime = now;
}

// First-level decoded NetBIOS source name of a datagram to UDP port 138 (RFC 1002 4.4.1): the
// 32 characters after the length byte at UDP offset 22. Only names with suffix 0 or 0x20 count.
void TakeNetbiosDatagramName(NicArea* nic, FrameView f, size_t ip) {
  if (f.u8(ip + 9) != 17) return;
  const size_t udp = ip + (f.u8(ip) & 0x0F) * 4u;
  if (f.be16(udp) != kNetbiosDatagramPort) return;
  char name[16] = {};
  for (size_t i = 0; i < 16; ++i) {
    const int hi = f.u8(udp + 23 + 2 * i) - 'A', lo = f.u8(udp + 24 + 2 * i) - 'A';
    name[i] = static_cast<char>(hi * 16 + lo);
  }
  const uint8_t suffix = static_cast<uint8_t>(name[15]);
  if (suffix != 0 && suffix != 0x20) return;
  name[15] = 0;
  for (int i = 14; i >= 0 && name[i] == ' '; --i) name[i] = 0;
  nic->NetbiosName.Set(name);
}

void CopyIpAddresses(FrameView f, size_t dest_off, size_t src_off, uint8_t (&dest)[10], uint8_t (&src)[10]) {
  f.bytes(dest_off, 4, dest);
  f.bytes(src_off, 4, src);
}

void AccountIp(NicArea* nic, FrameView f, size_t ip) {
  nic->IpHeader = f.data() + ip;  // ip < 256: every caller's offset is inside the read buffer
  if (nic->IsGroupFrame) TakeNetbiosDatagramName(nic, f, ip);
  uint8_t dest[10], src[10];
  CopyIpAddresses(f, ip + 16, ip + 12, dest, src);
  AccountFrame(nic, f, kClassIp, dest, src, kIp);
}

void AccountIpx(NicArea* nic, FrameView f, size_t dest_off, size_t src_off) {
  uint8_t dest[10], src[10];
  f.bytes(dest_off, 10, dest);
  f.bytes(src_off, 10, src);
  AccountFrame(nic, f, kClassIpx, dest, src, kIpx);
}

void AccountArp(NicArea* nic, FrameView f, size_t arp) {
  ArpCheck(nic, f, arp);
  uint8_t target[10], sender[10];
  CopyIpAddresses(f, arp + 24, arp + 14, target, sender);
  AccountFrame(nic, f, kClassIp, target, sender, kIp);
}

void AccountLink(NicArea* nic, FrameView f, const char* name) {
  AccountFrame(nic, f, kClassLink, nic->DestAddress, nic->SrcAddress, name);
}

// ---- IP checks of unicast frames ----

void TrackTcpConnection(NicArea* nic, StationRecord* s, FrameView f, size_t ip, size_t tcp) {
  ConnectionEntry key{};
  f.bytes(ip + 12, 4, key.SrcIp);
  f.bytes(tcp, 2, key.SrcPort);
  f.bytes(ip + 16, 4, key.DestIp);
  f.bytes(tcp + 2, 2, key.DestPort);
  const uint32_t sequence = f.be32(tcp + 4);
  auto same = [&key](const ConnectionEntry& c) {
    return memcmp(c.SrcIp, key.SrcIp, 4) == 0 && memcmp(c.SrcPort, key.SrcPort, 2) == 0 &&
           memcmp(c.DestIp, key.DestIp, 4) == 0 && memcmp(c.DestPort, key.DestPort, 2) == 0;
  };
  ConnectionEntry* last = nullptr;
  for (ConnectionEntry* c = s->ConnectionChain; c != nullptr; c = c->Next) {
    if (same(*c)) {
      if (sequence <= c->HighestSequence) SetEvent(nic, kEventTcpRetransmit);
      c->HighestSequence = sequence;
      return;
    }
    last = c;
  }
  if (nic->ConnectionCount >= kMaxConnections) {
    RelaxedStore(nic->ConnectionCount, uint32_t{0});
    for (StationRecord& st : nic->Stations) RelaxedStore(st.ConnectionChain, static_cast<ConnectionEntry*>(nullptr));
    return;
  }
  ConnectionEntry& c = nic->Connections[nic->ConnectionCount];
  c = key;
  c.Next = nullptr;
  c.HighestSequence = sequence;
  RelaxedStore(nic->ConnectionCount, nic->ConnectionCount + 1);
  if (last)
    last->Next = &c;
  else
    RelaxedStore(s->ConnectionChain, &c);
}

// DNS answer names (RFC 1035 4.1): A records of the first 214 bytes of the message go into the
// DnsNames ring with the name the answer points at.
size_t SkipDnsName(FrameView m, size_t pos) {
  while (pos < m.size()) {
    const uint8_t len = m.u8(pos);
    if (len == 0) return pos + 1;
    if ((len & 0xC0) == 0xC0) return pos + 2;
    pos += 1u + len;
  }
  return pos;
}

void DnsNameAt(FrameView m, size_t pos, char (&out)[33]) {
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

void LearnDnsNames(NicArea* nic, FrameView f, size_t dns) {
  if (dns >= f.size()) return;
  const size_t avail = f.size() - dns;
  const FrameView m(f.data() + dns, avail < kDnsParseBytes ? avail : kDnsParseBytes);
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
void DnsQueryCheck(NicArea* nic, FrameView f, size_t payload) {
  const uint32_t now = nic->FrameTime;
  if (now < nic->LastDnsQueryTime + kRetransmitWindowSeconds && f.equals(payload, kDnsQueryBytes, nic->LastDnsQuery)) {
    SetEvent(nic, kEventDnsRetransmit);
  } else {
    f.bytes(payload, kDnsQueryBytes, nic->LastDnsQuery);
  }
  nic->LastDnsQueryTime = now;
}

void IpChecks(NicArea* nic, StationRecord* s, FrameView f) {
  const size_t ip = static_cast<size_t>(nic->IpHeader - f.data());
  const size_t h = (f.u8(ip) & 0x0F) * 4u;
  const uint8_t protocol = f.u8(ip + 9);
  const size_t l4 = ip + h;
  if (protocol == 6) {
    if ((f.be16(ip + 6) & 0x1FFF) != 0) return;
    const uint8_t flags = f.u8(l4 + 13);
    const uint16_t payload = static_cast<uint16_t>(f.be16(ip + 2) - (f.u8(l4 + 12) >> 4) * 4 - h);
    if (flags & 0x04) {
      SetEvent(nic, kEventTcpReset);
    } else if (payload != 0 || (flags & 0x02)) {
      TrackTcpConnection(nic, s, f, ip, l4);
    }
  } else if (protocol == 1) {
    const uint8_t type = f.u8(l4);
    if (type == 3 || type == 4 || type == 5 || type == 11 || type == 12) SetEvent(nic, kEventIcmpError);
  } else if (protocol == 17) {
    if (f.be16(l4 + 2) == kDnsPort) DnsQueryCheck(nic, f, l4 + 8);
    if (f.be16(l4) == kDnsPort) LearnDnsNames(nic, f, l4 + 8);
  }
}

void AddFloat(std::atomic<float>& total, uint32_t n) {
  total.fetch_add(static_cast<float>(n), std::memory_order_relaxed);
}
void AddFloat(float& field, uint32_t n) { RelaxedStore(field, field + static_cast<float>(n)); }
void Increment(uint32_t& field) { RelaxedStore(field, field + 1); }

bool IsClassDOrE(const uint8_t* ip) { return (ip[0] & 0xE0) == 0xE0; }

}  // namespace

void SetAccountingOutput(platform::Output* out) { g_output.store(out, std::memory_order_release); }

void AccountFrame(NicArea* nic, FrameView f, int cls, const uint8_t* dest, const uint8_t* src, const char* proto_name) {
  GlobalArea* g = Global();
  FrameEntry& e = CurrentEntry(nic);
  constexpr auto relaxed = std::memory_order_relaxed;

  StationRecord* s = FindOrAddStation(nic, cls, nic->SrcAddress, src, proto_name);
  SharedCopyIn(e.SrcLabel.bytes, nic->SrcLabel.bytes, sizeof e.SrcLabel.bytes);
  SharedCopyIn(e.ProtoLabel.bytes, nic->ProtoLabel.bytes, sizeof e.ProtoLabel.bytes);
  RelaxedStore(e.Station, s);

  const uint32_t now = nic->FrameTime;
  const uint32_t length = nic->FrameLength;
  const uint32_t sequence = e.Sequence;

  if (!nic->IsGroupFrame) {
    if (s == nullptr) return;
    if (nic->IpHeader) IpChecks(nic, s, f);
    const bool event = e.Event != kEventNone;
    if (nic->FromSelf) {
      g->LastOwnTime.store(now, relaxed);
      g->LastOwnUnicastTime.store(now, relaxed);
      if (event) {
        g->OwnEventFrames.fetch_add(1, relaxed);
        RelaxedStore(e.Direction, uint32_t{kDirOwnEvent});
      } else {
        AddFloat(g->OwnBytes, length);
        g->OwnFrames.fetch_add(1, relaxed);
        RelaxedStore(e.Direction, uint32_t{kDirOwnUnicast});
      }
    } else {
      g->LastOtherTime.store(now, relaxed);
      g->LastOtherUnicastTime.store(now, relaxed);
      if (event) {
        g->OtherEventFrames.fetch_add(1, relaxed);
        RelaxedStore(e.Direction, uint32_t{kDirOtherEvent});
      } else {
        AddFloat(g->OtherBytes, length);
        g->OtherFrames.fetch_add(1, relaxed);
        RelaxedStore(e.Direction, uint32_t{kDirOtherUnicast});
      }
    }
    RelaxedStore(s->LastSeen, now);
    RelaxedStore(s->LastSequence, sequence);
    if (event) {
      Increment(s->EventFramesSent);
      return;
    }
    Increment(s->FramesSent);
    AddFloat(s->BytesSent, length);
    StationRecord* r = FindOrAddStation(nic, cls, nic->DestAddress, dest, proto_name);
    if (r) {
      RelaxedStore(r->LastSeen, now);
      RelaxedStore(r->LastSequence, sequence);
      Increment(r->FramesReceived);
      AddFloat(r->BytesReceived, length);
    }
    return;
  }

  // Group frame: logged in the group ring whether or not a station exists.
  const uint32_t slot = nic->GroupFrameCount % kGroupFrames;
  RelaxedStore(nic->GroupFrameIndex, slot);
  GroupFrameEntry& ge = nic->GroupFrames[slot];
  BeginSlotRewrite(ge);  // ended below, once the destination address is known
  RelaxedStore(ge.Time, now);
  RelaxedStore(ge.Sequence, sequence);
  // The same 256 bytes the capture thread stored in the recent-frame entry (this thread wrote them).
  SharedCopyIn(ge.Data, e.Data, kFrameDataBytes);
  SharedCopyIn(ge.SrcLabel.bytes, nic->SrcLabel.bytes, sizeof ge.SrcLabel.bytes);
  SharedCopyIn(ge.ProtoLabel.bytes, nic->ProtoLabel.bytes, sizeof ge.ProtoLabel.bytes);
  RelaxedStore(ge.Station, s);
  SharedZero(ge.DestIp, 4);

  const bool event = e.Event != kEventNone;
  if (nic->FromSelf) {
    g->LastOwnTime.store(now, relaxed);
    if (event) {
      g->OwnEventFrames.fetch_add(1, relaxed);
      RelaxedStore(e.Direction, uint32_t{kDirOwnEvent});
    } else {
      g->LastOwnGroupTime.store(now, relaxed);
      g->OwnGroupFrames.fetch_add(1, relaxed);
      RelaxedStore(e.Direction, uint32_t{kDirOwnGroup});
    }
  } else {
    g->LastOtherTime.store(now, relaxed);
    if (event) {
      g->OtherEventFrames.fetch_add(1, relaxed);
      RelaxedStore(e.Direction, uint32_t{kDirOtherEvent});
    } else {
      g->LastOtherGroupTime.store(now, relaxed);
      g->OtherGroupFrames.fetch_add(1, relaxed);
      RelaxedStore(e.Direction, uint32_t{kDirOtherGroup});
    }
    if (cls == kClassIp && nic->IpHeader && !IsClassDOrE(dest)) SharedCopyIn(ge.DestIp, dest, 4);
  }
  EndSlotRewrite(ge);
  const bool have_name = nic->NetbiosName.bytes[0] != 0;
  if (s) {
    RelaxedStore(s->LastSeen, now);
    RelaxedStore(s->LastSequence, sequence);
    if (event)
      Increment(s->EventFramesSent);
    else
      Increment(s->GroupFramesSent);
    if (have_name) {
      char name[33];
      s->Name.Get(name);
      if (name[0] == 0) {
        char netbios[16];
        nic->NetbiosName.Get(netbios);
        s->Name.Set(netbios);
      }
    }
  } else if (have_name) {
    char netbios[16];
    nic->NetbiosName.Get(netbios);
    RememberNetbiosName(nic, nic->SrcLabel.bytes, nic->ProtoLabel.bytes, netbios);
  }
  RelaxedStore(nic->GroupFrameCount, nic->GroupFrameCount + 1);
}

void AccountLlcFrame(NicArea* nic, FrameView f, size_t llc) {
  if (nic->IsGroupFrame) {
    // NetBIOS Frames header after the 3-byte LLC header: command at offset 7 from the DSAP.
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
    if (name) {
      char text[16] = {};
      f.bytes(name, 15, reinterpret_cast<uint8_t*>(text));
      nic->NetbiosName.Set(text);
    }
  }
  const uint8_t dsap = f.u8(llc), ssap = f.u8(llc + 1), control = f.u8(llc + 2);
  const uint16_t saps = static_cast<uint16_t>(dsap << 8 | ssap);
  if (saps == 0xFFFF) return AccountIpx(nic, f, llc + 6, llc + 18);  // raw IPX: no LLC at all
  if (saps == 0xE0E0) return AccountIpx(nic, f, llc + 9, llc + 21);
  if (saps == 0xAAAA) {
    switch (f.be16(llc + 6)) {
      case kTypeIp:
        return AccountIp(nic, f, llc + 8);
      case kTypeIpx:
        return AccountIpx(nic, f, llc + 14, llc + 26);
      case kTypeArp:
        if (f.be16(llc + 10) == kTypeIp) return AccountArp(nic, f, llc + 8);
        break;
      default:
        break;
    }
    return AccountLink(nic, f, kMisc);
  }
  const char* name = kMisc;
  if (dsap == 0xF0 || ssap == 0xF0)
    name = kNetbeui;
  else if (dsap == 0x04 || ssap == 0x04 || dsap == 0x08 || ssap == 0x08)
    name = kSna;
  // Receiver not ready, reject, frame reject.
  if (control == 0x05 || control == 0x09 || control == 0x87 || control == 0x97) SetEvent(nic, kEventLlcError);
  AccountLink(nic, f, name);
}

void AccountEthernetFrame(NicArea* nic, const uint8_t* frame) {
  if (Global() == nullptr) return;
  const FrameView f = ViewOf(nic, frame);
  f.bytes(0, 6, nic->DestAddress);
  f.bytes(6, 6, nic->SrcAddress);
  if (memcmp(nic->SrcAddress, nic->OwnAddress, 6) == 0) {
    nic->FromSelf = 1;
  } else if (nic->IsWan) {
    static constexpr uint8_t kZero[6] = {};
    if (memcmp(nic->SrcAddress, kWanSendAddress, 6) == 0) {
      nic->FromSelf = 1;
    } else if (memcmp(nic->SrcAddress, kWanReceiveAddress, 6) != 0 && memcmp(nic->OwnAddress, kZero, 6) == 0) {
      SharedCopyIn(nic->OwnAddress, nic->SrcAddress, 6);
      nic->FromSelf = 1;
    }
  }
  nic->IsGroupFrame = f.u8(0) & 1;
  const uint16_t type = f.be16(12);
  if (type <= 1500) return AccountLlcFrame(nic, f, 14);
  switch (type) {
    case kTypeIp:
      return AccountIp(nic, f, 14);
    case kTypeIpx:
      return AccountIpx(nic, f, 20, 32);
    case kTypeArp:
      if (f.be16(16) == kTypeIp) return AccountArp(nic, f, 14);
      return AccountLink(nic, f, kMisc);
    case kTypeAppletalk:
    case kTypeAarp:
      return AccountLink(nic, f, kAppletalk);
    default:
      return AccountLink(nic, f, kMisc);
  }
}

void AccountTokenRingFrame(NicArea* nic, const uint8_t* frame) {
  if (Global() == nullptr) return;
  const FrameView f = ViewOf(nic, frame);
  f.bytes(2, 6, nic->DestAddress);
  f.bytes(8, 6, nic->SrcAddress);
  nic->SrcAddress[0] &= 0x7F;  // route-information indicator
  if (memcmp(nic->SrcAddress, nic->OwnAddress, 6) == 0) nic->FromSelf = 1;
  const uint8_t type = f.u8(1) & 0xC0;
  if (type == 0x00) return;  // MAC frame: kept in the ring only
  if (type != 0x40) {
    char line[64];
    snprintf(line, sizeof line, "WARNING: Unexpected Frame Type x%02X\n", type);
    Print(line);
    return;
  }
  size_t llc = 14;
  if (f.u8(8) & 0x80) llc += f.u8(14) & 0x1F;
  nic->IsGroupFrame = (f.u8(2) & 0x80) ? 1 : 0;
  AccountLlcFrame(nic, f, llc);
}

}  // namespace netward
