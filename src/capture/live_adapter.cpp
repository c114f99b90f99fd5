#include "capture/live_adapter.h"

#include <linux/ethtool.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <pcap/pcap.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace netward {

namespace {

constexpr uint16_t kPacketOutgoing = 4;         // SLL packet type of a frame this host sent
constexpr int kErrorRetryMs = 500;              // pause after a failing read (interface went down)
constexpr int kDrainLimit = 100000;             // frames discarded at most when the filter opens

// Kernel drop counts are fetched (one getsockopt) at most this often, and this long at the latest
// after the last frame of a burst; a drop line is printed at most this often.
constexpr int kStatisticsIntervalMs = 100;
constexpr int kDropLineIntervalMs = 60 * 1000;
// Drop line: frames dropped since the last line, and since the adapter was opened.
constexpr char kTextKernelDrops[] = "Adapter '%s': capture ring full, %llu frames dropped (%llu in all)\n";

int64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

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

// How a 32-bit counter is found. The driver's own ethtool statistic of that name is taken first
// (drivers that count single and multiple collisions or deferrals name them so); otherwise the
// interface statistics of /sys/class/net/<if>/statistics, one file, or two combined. Counters are
// 64-bit on Linux; the answer is their low 32 bits, as a wrapping NDIS counter.
enum class Combine { kOne, kSum, kMax };
struct CounterOid {
  uint32_t oid;
  const char* sysfs[2];
  Combine combine;
  const char* ethtool[3];
};
constexpr CounterOid kCounterOids[] = {
    {kOidGenXmitError, {"tx_errors"}, Combine::kOne, {}},
    {kOidGenRcvError, {"rx_errors"}, Combine::kOne, {}},
    // Missed by the NIC for want of a ring slot, and dropped by the kernel for want of backlog room.
    {kOidGenRcvNoBuffer, {"rx_missed_errors", "rx_dropped"}, Combine::kSum, {}},
    {kOidGenRcvCrcError, {"rx_crc_errors"}, Combine::kOne, {}},
    {kOid8023RcvErrorAlignment, {"rx_frame_errors"}, Combine::kOne, {}},
    // Without a split from the driver, the collision total is the nearest counterpart.
    {kOid8023XmitOneCollision, {"collisions"}, Combine::kOne, {"tx_single_coll_ok", "tx_single_collisions"}},
    {kOid8023XmitMoreCollisions, {}, Combine::kOne, {"tx_multi_coll_ok", "tx_multi_collisions", "tx_mult_collisions"}},
    {kOid8023XmitDeferred, {}, Combine::kOne, {"tx_deferred_ok", "tx_deferred"}},
    {kOid8023XmitMaxCollisions, {"tx_aborted_errors"}, Combine::kOne, {}},
    // Drivers often count one overrun in both; the larger is the overrun count.
    {kOid8023RcvOverrun, {"rx_over_errors", "rx_fifo_errors"}, Combine::kMax, {}},
    {kOid8023XmitUnderrun, {"tx_fifo_errors"}, Combine::kOne, {}},
    {kOid8023XmitHeartbeatFailure, {"tx_heartbeat_errors"}, Combine::kOne, {}},
    {kOid8023XmitTimesCrsLost, {"tx_carrier_errors"}, Combine::kOne, {}},
    {kOid8023XmitLateCollisions, {"tx_window_errors"}, Combine::kOne, {}},
};

// One statistic of the driver's ethtool set (ETH_SS_STATS) by name.
bool EthtoolStatistic(const std::string& ifname, const char* const (&names)[3], uint64_t& value) {
  if (names[0] == nullptr || ifname.empty() || ifname.size() >= IFNAMSIZ) return false;
  int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  ifreq ifr{};
  memcpy(ifr.ifr_name, ifname.c_str(), ifname.size());
  auto ethtool = [&](void* cmd) {
    ifr.ifr_data = static_cast<char*>(cmd);
    return ioctl(s, SIOCETHTOOL, &ifr) == 0;
  };
  bool found = false;
  alignas(8) uint8_t info_buf[sizeof(ethtool_sset_info) + sizeof(uint32_t)] = {};
  auto* info = reinterpret_cast<ethtool_sset_info*>(info_buf);
  info->cmd = ETHTOOL_GSSET_INFO;
  info->sset_mask = 1ULL << ETH_SS_STATS;
  constexpr uint32_t kMaxStatistics = 4096;
  if (ethtool(info) && (info->sset_mask & (1ULL << ETH_SS_STATS)) != 0 && info->data[0] > 0 &&
      info->data[0] <= kMaxStatistics) {
    const uint32_t n = info->data[0];
    std::vector<uint64_t> strings_buf((sizeof(ethtool_gstrings) + n * ETH_GSTRING_LEN + 7) / 8);
    auto* strings = reinterpret_cast<ethtool_gstrings*>(strings_buf.data());
    strings->cmd = ETHTOOL_GSTRINGS;
    strings->string_set = ETH_SS_STATS;
    strings->len = n;
    int index = -1;
    if (ethtool(strings)) {
      for (uint32_t i = 0; i < n && i < strings->len && index < 0; ++i) {
        const char* name = reinterpret_cast<const char*>(strings->data + i * ETH_GSTRING_LEN);
        for (const char* want : names)
          if (want != nullptr && strncmp(name, want, ETH_GSTRING_LEN) == 0) index = static_cast<int>(i);
      }
    }
    if (index >= 0) {
      std::vector<uint64_t> stats_buf((sizeof(ethtool_stats) + 7) / 8 + n);
      auto* stats = reinterpret_cast<ethtool_stats*>(stats_buf.data());
      stats->cmd = ETHTOOL_GSTATS;
      stats->n_stats = n;
      if (ethtool(stats) && static_cast<uint32_t>(index) < stats->n_stats) {
        value = stats->data[index];
        found = true;
      }
    }
  }
  close(s);
  return found;
}

// "5.10.0-k" and the like: major and minor, each as the signed byte the version answer carries.
bool ParseModuleVersion(const char* text, uint8_t& major, uint8_t& minor) {
  int ma = -1, mi = -1;
  if (sscanf(text, "%d.%d", &ma, &mi) != 2 || ma < 0 || ma > 127 || mi < 0 || mi > 127) return false;
  major = static_cast<uint8_t>(ma);
  minor = static_cast<uint8_t>(mi);
  return true;
}

}  // namespace

bool CookedToEthernet(const uint8_t* in, uint32_t captured, uint32_t wire_length, uint8_t (&out)[kReadLength],
                      FrameRef& frame) {
  if (in == nullptr || captured < kCookedHeaderBytes) return false;
  const uint16_t packet_type = static_cast<uint16_t>(in[0] << 8 | in[1]);
  const bool sent = packet_type == kPacketOutgoing;
  memcpy(out, sent ? kWanReceiveAddress : kWanSendAddress, 6);
  memcpy(out + 6, sent ? kWanSendAddress : kWanReceiveAddress, 6);
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
  MarkClosed();
  StoreFilter(kFilterOff);
  if (pcap_) pcap_close(pcap_);
  pcap_ = nullptr;
  fd_ = -1;
  promiscuous_member_ = false;
}

std::unique_ptr<LiveHandle> LiveHandle::Open(const std::string& ifname, platform::Output& out, uint32_t ring_kib) {
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
  // Not immediate: libpcap then takes the TPACKET_V3 ring, whose blocks the kernel hands over whole.
  pcap_set_immediate_mode(h->pcap_, 0);
  pcap_set_timeout(h->pcap_, kBufferTimeoutMs);
  ring_kib = std::clamp(ring_kib, kMinRingKiB, kMaxRingKiB);
  pcap_set_buffer_size(h->pcap_, static_cast<int>(ring_kib * 1024));
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
  // An empty filter compiles to "accept, snap length bytes": run by the kernel, it stores only the
  // first 256 bytes of each frame in the ring instead of the whole frame.
  bpf_program snap{};
  if (pcap_compile(h->pcap_, &snap, "", 1, PCAP_NETMASK_UNKNOWN) == 0) {
    pcap_setfilter(h->pcap_, &snap);
    pcap_freecode(&snap);
  }
  if (pcap_setnonblock(h->pcap_, 1, errbuf) != 0) {
    out.Printf("Adapter '%s' cannot be opened for capture: %s\n", ifname.c_str(), errbuf);
    return nullptr;
  }
  h->fd_ = pcap_get_selectable_fd(h->pcap_);
  return h;
}

bool LiveHandle::ReadStatistic(const char* name, uint64_t& value) const {
  long long v = 0;
  if (!ReadSysfsNumber("/sys/class/net/" + ifname_ + "/statistics/" + name, v) || v < 0) return false;
  value = static_cast<uint64_t>(v);
  return true;
}

bool LiveHandle::ReadCounter(uint32_t oid, uint32_t& value) const {
  for (const CounterOid& c : kCounterOids) {
    if (c.oid != oid) continue;
    uint64_t v = 0;
    if (EthtoolStatistic(ifname_, c.ethtool, v)) {
      value = static_cast<uint32_t>(v);
      return true;
    }
    bool any = false;
    uint64_t total = 0;
    for (const char* file : c.sysfs) {
      if (file == nullptr || !ReadStatistic(file, v)) continue;
      total = !any ? v : c.combine == Combine::kSum ? total + v : std::max(total, v);
      any = true;
      if (c.combine == Combine::kOne) break;
    }
    value = static_cast<uint32_t>(total);
    return any;
  }
  return false;
}

bool LiveHandle::QueryOid(uint32_t oid, void* data, uint32_t length) {
  auto put32 = [&](uint32_t v) {
    if (length < 4) return false;
    memcpy(data, &v, 4);
    return true;
  };
  auto put_version = [&](uint8_t major, uint8_t minor) {
    if (length < 2) return false;
    const uint8_t v[2] = {minor, major};
    memcpy(data, v, 2);
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
    case kOidGenDriverVersion:
      return put_version(kNdisVersionMajor, kNdisVersionMinor);
    case kOidGenVendorDriverVersion: {
      // The version of the interface's kernel module; virtual interfaces (lo, veth of a built-in
      // driver) have none.
      char text[64];
      uint8_t major = 0, minor = 0;
      if (!ReadSysfsText(sys + "device/driver/module/version", text, sizeof text) ||
          !ParseModuleVersion(text, major, minor))
        return false;
      return put_version(major, minor);
    }
    case kOidGenMacOptions:
      // Frames this host sends reach its packet sockets through the kernel, never the adapter.
      return put32(kMacOptionNoLoopback);
    case kOidGenLinkSpeed: {
      // Mbit/s; -1 (or unreadable) while the speed is unknown: link down, or a virtual interface.
      long long mbits = 0;
      if (!ReadSysfsNumber(sys + "speed", mbits) || mbits <= 0) return false;
      const long long units = mbits * 10000;  // units of 100 bit/s
      return put32(units > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<uint32_t>(units));
    }
    case kOidGenMediaConnectStatus: {
      long long carrier = 0;
      char state[32];
      if (ReadSysfsNumber(sys + "carrier", carrier)) return put32(carrier == 1 ? kMediaConnected : kMediaDisconnected);
      // The carrier of an interface that is down cannot be read; it is not connected.
      if (ReadSysfsText(sys + "operstate", state, sizeof state) && strncmp(state, "down", 4) == 0)
        return put32(kMediaDisconnected);
      return false;
    }
    case kOidGenHardwareStatus: {
      // operstate "up", or "unknown" for interfaces that do not track it (lo, tun): ready; "down",
      // "lowerlayerdown", "dormant", "testing", "notpresent": not ready.
      char state[32];
      if (!ReadSysfsText(sys + "operstate", state, sizeof state)) return false;
      return put32(strncmp(state, "up", 2) == 0 || strncmp(state, "unknown", 7) == 0 ? kHardwareReady
                                                                                       : kHardwareNotReady);
    }
    default: {
      // The error counters; the Token Ring OIDs are not answered by an 802.3 interface. Frames the
      // kernel dropped for want of ring room are frames lost for want of a buffer too.
      uint32_t v = 0;
      bool known = ReadCounter(oid, v);
      if (oid == kOidGenRcvNoBuffer) {
        v += static_cast<uint32_t>(kernel_drops_.load(std::memory_order_relaxed));
        known = true;
      }
      return known && put32(v);
    }
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
  if (pcap_ == nullptr) return;
  auto discard = [](unsigned char*, const pcap_pkthdr*, const unsigned char*) {};
  constexpr int kBatch = 1000;
  for (int i = 0; i < kDrainLimit; i += kBatch)
    if (pcap_dispatch(pcap_, kBatch, discard, nullptr) < kBatch) break;
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

void LiveHandle::OnFrame(unsigned char* user, const pcap_pkthdr* header, const unsigned char* bytes) {
  LiveHandle* self = reinterpret_cast<LiveHandle*>(user);
  FrameRef frame;
  // The kernel's time stamp of the frame's arrival, however long it waited in the ring.
  frame.time = static_cast<uint32_t>(header->ts.tv_sec);
  if (self->cooked_) {
    if (!CookedToEthernet(bytes, header->caplen, header->len, self->cooked_frame_, frame)) return;
  } else {
    frame.data = bytes;
    frame.captured = header->caplen;
    frame.wire_length = header->len;
  }
  // Copied into a read buffer here, while libpcap still holds the ring block for us.
  self->Deliver(frame);
}

QueuedReadHandle::Pull LiveHandle::PullFrames(int max, int& wait_fd, int& timeout_ms) {
  if (pcap_ == nullptr) return Pull::kEnd;
  const int64_t now_ms = MonotonicMs();
  if (now_ms >= next_refresh_ms_) RefreshDrops(now_ms);
  if (!ring_drained_) {
    const int n = pcap_dispatch(pcap_, max, &LiveHandle::OnFrame, reinterpret_cast<unsigned char*>(this));
    if (n > 0) {
      // Fewer than asked for: libpcap found the next block still the kernel's.
      ring_drained_ = n < max;
      frames_since_refresh_ = true;
      return Pull::kFrame;
    }
    if (n < 0) {
      if (!error_reported_) {
        error_reported_ = true;
        out_.Printf("Capture on '%s' failed: %s\n", ifname_.c_str(), pcap_geterr(pcap_));
      }
      wait_fd = -1;
      timeout_ms = kErrorRetryMs;
      return Pull::kWait;
    }
  }
  // The ring is empty: sleep until the kernel hands a block over. Drops may still be uncounted after
  // a burst, and a drop line may be held back: wake for those too.
  ring_drained_ = false;
  wait_fd = fd_;
  int64_t wake_ms = -1;
  if (frames_since_refresh_) wake_ms = next_refresh_ms_;
  if (unreported_drops_ > 0 && (wake_ms < 0 || next_drop_line_ms_ < wake_ms)) wake_ms = next_drop_line_ms_;
  timeout_ms = wake_ms < 0 ? -1 : static_cast<int>(std::max<int64_t>(wake_ms - now_ms, 1));
  return Pull::kWait;
}

void LiveHandle::RefreshDrops(int64_t now_ms) {
  next_refresh_ms_ = now_ms + kStatisticsIntervalMs;
  frames_since_refresh_ = false;
  pcap_stat stats{};
  // pcap's count is the kernel's PACKET_STATISTICS summed since open (the kernel clears its own on
  // every read), in an unsigned int that may wrap.
  if (pcap_stats(pcap_, &stats) == 0 && stats.ps_drop != pcap_drops_) {
    const unsigned fresh = stats.ps_drop - pcap_drops_;
    pcap_drops_ = stats.ps_drop;
    kernel_drops_.fetch_add(fresh, std::memory_order_relaxed);
    unreported_drops_ += fresh;
  }
  if (unreported_drops_ > 0 && now_ms >= next_drop_line_ms_) {
    out_.Printf(kTextKernelDrops, ifname_.c_str(), static_cast<unsigned long long>(unreported_drops_),
                static_cast<unsigned long long>(kernel_drops_.load(std::memory_order_relaxed)));
    unreported_drops_ = 0;
    next_drop_line_ms_ = now_ms + kDropLineIntervalMs;
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
