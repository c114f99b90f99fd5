#include "capture/live_adapter.h"

#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <pcap/pcap.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace netward {

namespace {

constexpr uint16_t kPacketOutgoing = 4;         // SLL packet type of a frame this host sent
constexpr int kSocketBufferBytes = 4 << 20;     // kernel ring for bursts while accounting runs
constexpr int kErrorRetryMs = 500;              // pause after a failing read (interface went down)
constexpr int kDrainLimit = 100000;             // frames discarded at most when the filter opens

// Interface facts from the kernel: hardware address, ARPHRD type and flags.
bool InterfaceInfo(const std::string& ifname, uint8_t (&mac)[6], int& arphrd, short& flags) {
  if (ifname.empty() || ifname.size() >= IFNAMSIZ) return false;
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  ifreq ifr{};
  memcpy(ifr.ifr_name, ifname.c_str(), ifname.size());
  bool ok = ioctl(s, SIOCGIFHWADDR, &ifr) == 0;
  if (ok) {
    arphrd = ifr.ifr_hwaddr.sa_family;
    memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    flags = ifr.ifr_flags;
  }
  close(s);
  return ok;
}

bool ReadSysfsText(const std::string& path, char* buf, size_t size) {
  FILE* f = fopen(path.c_str(), "re");
  if (f == nullptr) return false;
  size_t n = fread(buf, 1, size - 1, f);
  fclose(f);
  buf[n] = 0;
  return n > 0;
}

bool ReadSysfsNumber(const std::string& path, long long& value) {
  char buf[64];
  if (!ReadSysfsText(path, buf, sizeof buf)) return false;
  char* end = nullptr;
  value = strtoll(buf, &end, 10);
  return end != buf;
}

// Error counters answered from /sys/class/net/<if>/statistics.
struct StatisticOid {
  uint32_t oid;
  const char* file;
};
constexpr StatisticOid kStatisticOids[] = {
    {0x00020103, "tx_errors"},          {0x00020104, "rx_errors"},
    {0x00020105, "rx_missed_errors"},   {0x0002020D, "rx_crc_errors"},
    {0x01020101, "rx_frame_errors"},    {0x01020202, "tx_aborted_errors"},
    {0x01020203, "rx_fifo_errors"},     {0x01020204, "tx_fifo_errors"},
    {0x01020205, "tx_heartbeat_errors"}, {0x01020206, "tx_carrier_errors"},
    {0x01020207, "tx_window_errors"},
};

}  // namespace

bool CookedToEthernet(const uint8_t* in, uint32_t captured, uint32_t wire_length, uint8_t (&out)[kReadLength],
                      FrameRef& frame) {
  if (in == nullptr || captured < kCookedHeaderBytes) return false;
  const uint16_t packet_type = static_cast<uint16_t>(in[0] << 8 | in[1]);
  const bool sent = packet_type == kPacketOutgoing;
  memcpy(out, sent ? kWanRecvAddress : kWanSendAddress, 6);
  memcpy(out + 6, sent ? kWanSendAddress : kWanRecvAddress, 6);
  out[12] = in[14];
  out[13] = in[15];
  uint32_t payload = captured - kCookedHeaderBytes;
  if (payload > kReadLength - kEthernetHeaderBytes) payload = kReadLength - kEthernetHeaderBytes;
  memcpy(out + kEthernetHeaderBytes, in + kCookedHeaderBytes, payload);
  frame.data = out;
  frame.captured = kEthernetHeaderBytes + payload;
  frame.wire_length = wire_length > kCookedHeaderBytes ? wire_length - kCookedHeaderBytes + kEthernetHeaderBytes
                                                       : frame.captured;
  return true;
}

LiveHandle::~LiveHandle() { Close(); }

void LiveHandle::Close() {
  StoreFilter(kFilterOff);
  if (pcap_) pcap_close(pcap_);
  pcap_ = nullptr;
  fd_ = -1;
  promiscuous_member_ = false;
}

std::unique_ptr<LiveHandle> LiveHandle::Open(const std::string& ifname, platform::Output& out) {
  std::unique_ptr<LiveHandle> h(new LiveHandle(ifname, out));
  int arphrd = 0;
  short flags = 0;
  if (!InterfaceInfo(ifname, h->address_, arphrd, flags)) {
    out.Printf("Adapter '%s' cannot be opened for capture: no such interface\n", ifname.c_str());
    return nullptr;
  }
  h->ifindex_ = static_cast<int>(if_nametoindex(ifname.c_str()));
  h->point_to_point_ = (flags & IFF_POINTOPOINT) != 0;
  // Loopback comes with an (all-zero) Ethernet header; anything else without one is read cooked.
  h->cooked_ = arphrd != ARPHRD_ETHER && arphrd != ARPHRD_LOOPBACK;
  if (h->cooked_) memset(h->address_, 0, sizeof h->address_);

  char errbuf[PCAP_ERRBUF_SIZE] = {};
  h->pcap_ = pcap_create(ifname.c_str(), errbuf);
  if (h->pcap_ == nullptr) {
    out.Printf("Adapter '%s' cannot be opened for capture: %s\n", ifname.c_str(), errbuf);
    return nullptr;
  }
  // 256 bytes of frame; a cooked header is two bytes longer than the Ethernet header it becomes.
  pcap_set_snaplen(h->pcap_, static_cast<int>(kReadLength + (h->cooked_ ? 2 : 0)));
  pcap_set_promisc(h->pcap_, 0);
  pcap_set_immediate_mode(h->pcap_, 1);
  pcap_set_buffer_size(h->pcap_, kSocketBufferBytes);
  int rc = pcap_activate(h->pcap_);
  if (rc < 0) {
    out.Printf("Adapter '%s' cannot be opened for capture: %s\n", ifname.c_str(), pcap_geterr(h->pcap_));
    return nullptr;
  }
  if (h->cooked_ && pcap_set_datalink(h->pcap_, DLT_LINUX_SLL) != 0) {
    out.Printf("Adapter '%s' cannot be opened for capture: %s\n", ifname.c_str(), pcap_geterr(h->pcap_));
    return nullptr;
  }
  if (!h->cooked_ && pcap_datalink(h->pcap_) != DLT_EN10MB) {
    out.Printf("Adapter '%s' cannot be opened for capture: link type %d is not Ethernet\n", ifname.c_str(),
               pcap_datalink(h->pcap_));
    return nullptr;
  }
  if (pcap_setnonblock(h->pcap_, 1, errbuf) != 0) {
    out.Printf("Adapter '%s' cannot be opened for capture: %s\n", ifname.c_str(), errbuf);
    return nullptr;
  }
  h->fd_ = pcap_get_selectable_fd(h->pcap_);
  return h;
}

bool LiveHandle::ReadStatistic(const char* name, uint32_t& value) const {
  long long v = 0;
  if (!ReadSysfsNumber("/sys/class/net/" + ifname_ + "/statistics/" + name, v) || v < 0) return false;
  value = static_cast<uint32_t>(v);
  return true;
}

bool LiveHandle::QueryOid(uint32_t oid, void* data, uint32_t length) {
  auto put32 = [&](uint32_t v) {
    if (length < 4) return false;
    memcpy(data, &v, 4);
    return true;
  };
  const std::string sys = "/sys/class/net/" + ifname_ + "/";
  switch (oid) {
    case kOidGenMediaInUse:
      return put32(kMedium8023);
    case kOid8023CurrentAddress: {
      if (length < 6) return false;
      uint8_t mac[6];
      int arphrd = 0;
      short flags = 0;
      if (cooked_) {
        memset(data, 0, 6);
        return true;
      }
      if (!InterfaceInfo(ifname_, mac, arphrd, flags)) return false;
      memcpy(data, mac, 6);
      return true;
    }
    case kOidWanPermanentAddress:
      // Only a point-to-point link answers; it has no address of its own.
      if (!(point_to_point_ || cooked_) || length < 6) return false;
      memset(data, 0, 6);
      return true;
    case kOidGenCurrentPacketFilter:
      return put32(Filter());
    case kOidGenLinkSpeed: {
      long long mbits = 0;
      if (!ReadSysfsNumber(sys + "speed", mbits) || mbits <= 0) return false;
      return put32(static_cast<uint32_t>(mbits * 10000));  // Mbit/s to units of 100 bit/s
    }
    case kOidGenMediaConnectStatus: {
      long long carrier = 0;
      if (!ReadSysfsNumber(sys + "carrier", carrier)) return false;
      return put32(carrier == 1 ? 0 : 1);
    }
    case kOidGenHardwareStatus: {
      char state[32];
      if (!ReadSysfsText(sys + "operstate", state, sizeof state)) return false;
      // NDIS hardware status: 0 ready, 4 not ready.
      return put32(strncmp(state, "up", 2) == 0 || strncmp(state, "unknown", 7) == 0 ? 0 : 4);
    }
    default:
      for (const StatisticOid& s : kStatisticOids) {
        if (s.oid != oid) continue;
        uint32_t v = 0;
        return ReadStatistic(s.file, v) && put32(v);
      }
      return false;
  }
}

bool LiveHandle::SetPromiscuousMembership(bool on) {
  if (on == promiscuous_member_) return true;
  if (fd_ < 0 || ifindex_ <= 0) return false;
  packet_mreq mr{};
  mr.mr_ifindex = ifindex_;
  mr.mr_type = PACKET_MR_PROMISC;
  if (setsockopt(fd_, SOL_PACKET, on ? PACKET_ADD_MEMBERSHIP : PACKET_DROP_MEMBERSHIP, &mr, sizeof mr) != 0)
    return false;
  promiscuous_member_ = on;
  return true;
}

void LiveHandle::Drain() {
  pcap_pkthdr* h = nullptr;
  const u_char* d = nullptr;
  if (pcap_ == nullptr) return;
  for (int i = 0; i < kDrainLimit && pcap_next_ex(pcap_, &h, &d) == 1; ++i) {
  }
}

bool LiveHandle::SetOid(uint32_t oid, const void* data, uint32_t length) {
  if (oid != kOidGenCurrentPacketFilter || length < 4) return false;
  uint32_t f;
  memcpy(&f, data, 4);
  if (!SetPromiscuousMembership((f & kFilterPromiscuous) != 0)) return false;
  if (Filter() == kFilterOff && f != kFilterOff) Drain();
  StoreFilter(f);
  return true;
}

QueuedReadHandle::Pull LiveHandle::PullFrame(FrameRef& frame, int& wait_fd, int& timeout_ms) {
  if (pcap_ == nullptr) return Pull::kEnd;
  while (true) {
    pcap_pkthdr* h = nullptr;
    const u_char* d = nullptr;
    int rc = pcap_next_ex(pcap_, &h, &d);
    if (rc == 1) {
      frame.time = static_cast<uint32_t>(h->ts.tv_sec);
      if (cooked_) {
        if (!CookedToEthernet(d, h->caplen, h->len, cooked_frame_, frame)) continue;
      } else {
        frame.data = d;
        frame.captured = h->caplen;
        frame.wire_length = h->len;
      }
      return Pull::kFrame;
    }
    if (rc == 0) {
      wait_fd = fd_;
      timeout_ms = -1;
      return Pull::kWait;
    }
    if (!error_reported_) {
      error_reported_ = true;
      out_.Printf("Capture on '%s' failed: %s\n", ifname_.c_str(), pcap_geterr(pcap_));
    }
    wait_fd = -1;
    timeout_ms = kErrorRetryMs;
    return Pull::kWait;
  }
}

bool LiveHandle::Accepts(const FrameRef& frame) const {
  const uint32_t f = Filter();
  if ((f & kFilterPromiscuous) || cooked_) return true;
  if (frame.captured < 12) return false;
  const uint8_t* dst = frame.data;
  const uint8_t* src = frame.data + 6;
  if ((f & kFilterAllLocal) && memcmp(src, address_, 6) == 0) return true;
  if (dst[0] & 1) {
    static constexpr uint8_t kBroadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    if (memcmp(dst, kBroadcast, 6) == 0) return (f & kFilterBroadcast) != 0;
    return (f & (kFilterMulticast | kFilterAllMulticast)) != 0;
  }
  return (f & kFilterDirected) && memcmp(dst, address_, 6) == 0;
}

}  // namespace netward
