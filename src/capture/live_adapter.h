// Live capture on a Linux interface through libpcap.
//
// The socket is opened non-promiscuous with a snap length of 256 on the kernel's memory-mapped
// TPACKET_V3 ring: the kernel fills ring blocks and hands a block over when it is full or has waited
// kBufferTimeoutMs, so one wake-up of the capture thread drains many frames, each stamped by the
// kernel when it arrived. The packet filter is applied here: off discards everything, promiscuous
// adds a PACKET_MR_PROMISC membership to the packet socket (dropped again when the filter changes or
// the socket closes), and the normal filters pass frames to this adapter, group frames and frames it
// sent. Interfaces without an Ethernet header (ppp, tun) are read in cooked mode and presented as a
// WAN adapter on 802.3. Frames the kernel drops for want of ring room are counted into the
// receive-no-buffer answer and reported on the console.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "capture/queued_reads.h"
#include "platform/output.h"
#include "wire/media.h"

struct pcap;
struct pcap_pkthdr;

namespace netward {


inline constexpr uint32_t kCookedHeaderBytes = 16;  // Linux cooked capture (SLL) header
inline constexpr uint32_t kEthernetHeaderBytes = 14;

// Rewrites a cooked frame (16-byte header: packet type, ARPHRD type, address length, 8 address
// bytes, protocol) as an Ethernet frame between the WAN pseudo-addresses into `out`
// (kReadLength bytes). Returns false for a frame shorter than the cooked header.
bool CookedToEthernet(const uint8_t* in, uint32_t captured, uint32_t wire_length, uint8_t (&out)[kReadLength],
                      FrameRef& frame);

// The longest a frame waits in a part-filled ring block: replies and the taskbar's one-second state
// stay current, and a wake-up still carries many frames at high rates.
inline constexpr int kBufferTimeoutMs = 5;

class LiveHandle : public QueuedReadHandle {
 public:
  ~LiveHandle() override;
  // Null (with the reason printed) when the interface cannot be opened.
  static std::unique_ptr<LiveHandle> Open(const std::string& ifname, platform::Output& out,
                                          uint32_t ring_kib = kDefaultRingKiB);

  bool QueryOid(uint32_t oid, void* data, uint32_t length) override;
  bool SetOid(uint32_t oid, const void* data, uint32_t length) override;
  uint64_t KernelDrops() const override { return kernel_drops_.load(std::memory_order_relaxed); }
  // Closes the packet socket (its promiscuous membership goes with it); the interface's status is
  // still answered from sysfs.
  void Close() override;

 protected:
  Pull PullFrames(int max, int& wait_fd, int& timeout_ms) override;
  bool Accepts(const FrameRef& frame) const override;

 private:
  LiveHandle(std::string ifname, platform::Output& out) : ifname_(std::move(ifname)), out_(out) {}
  static void OnFrame(unsigned char* user, const pcap_pkthdr* header, const unsigned char* bytes);
  bool SetPromiscuousMembership(bool on);
  // Discards what the socket holds (frames that came while the filter was off).
  void Drain();
  // Adds the kernel's new drops to the count and prints the drop line when one is due.
  void RefreshDrops(int64_t now_ms);
  bool ReadStatistic(const char* name, uint64_t& value) const;
  // One error counter OID from the driver's ethtool statistics or the interface statistics.
  bool ReadCounter(uint32_t oid, uint32_t& value) const;

  std::string ifname_;
  platform::Output& out_;
  pcap* pcap_ = nullptr;
  int fd_ = -1;
  // The ring held nothing more when last drained: wait for the kernel before looking again.
  bool ring_drained_ = false;
  // Kernel drops: pcap's running count when last fetched, the total since open (read by any
  // thread), and those not yet on a console line.
  unsigned pcap_drops_ = 0;
  std::atomic<uint64_t> kernel_drops_{0};
  uint64_t unreported_drops_ = 0;
  bool frames_since_refresh_ = false;
  int64_t next_refresh_ms_ = 0;
  int64_t next_drop_line_ms_ = 0;
  int ifindex_ = 0;
  bool cooked_ = false;
  bool point_to_point_ = false;
  bool promiscuous_member_ = false;
  bool error_reported_ = false;
  uint8_t address_[6] = {};
  uint8_t cooked_frame_[kReadLength] = {};
};

}  // namespace netward
