// The packet driver contract the capture thread relies on (the Linux driver is in linux_driver.h).
//
// An adapter handle answers OID queries and sets (NDIS object identifiers), and carries 15 read
// objects. A started read is completed by the next frame the adapter delivers, in the order the
// reads were started (a FIFO, as an NDIS driver completes pended read requests); the capture thread
// waits for one read at a time, with the stop request event first.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "state/shared_state.h"
#include "platform/clock.h"
#include "platform/event.h"
#include "platform/output.h"
#include "platform/registry.h"
#include "platform/system_registry.h"
#include "wire/media.h"

namespace netward {

// NDIS object identifiers. Answers are little-endian u32 unless said otherwise.
inline constexpr uint32_t kOidGenHardwareStatus = 0x00010102;  // 0 ready .. 4 not ready
inline constexpr uint32_t kOidGenMediaInUse = 0x00010104;
inline constexpr uint32_t kOidGenLinkSpeed = 0x00010107;  // units of 100 bit/s
inline constexpr uint32_t kOidGenCurrentPacketFilter = 0x0001010E;
inline constexpr uint32_t kOidGenDriverVersion = 0x00010110;        // 2 bytes: minor, major
inline constexpr uint32_t kOidGenMacOptions = 0x00010113;
inline constexpr uint32_t kOidGenMediaConnectStatus = 0x00010114;  // 0 connected, 1 disconnected
inline constexpr uint32_t kOidGenVendorDriverVersion = 0x00010116;  // 2 bytes: minor, major
inline constexpr uint32_t kOidGenXmitError = 0x00020103;
inline constexpr uint32_t kOidGenRcvError = 0x00020104;
inline constexpr uint32_t kOidGenRcvNoBuffer = 0x00020105;
inline constexpr uint32_t kOidGenRcvCrcError = 0x0002020D;
inline constexpr uint32_t kOid8023CurrentAddress = 0x01010102;
inline constexpr uint32_t kOid8023RcvErrorAlignment = 0x01020101;
inline constexpr uint32_t kOid8023XmitOneCollision = 0x01020102;
inline constexpr uint32_t kOid8023XmitMoreCollisions = 0x01020103;
inline constexpr uint32_t kOid8023XmitDeferred = 0x01020201;
inline constexpr uint32_t kOid8023XmitMaxCollisions = 0x01020202;
inline constexpr uint32_t kOid8023RcvOverrun = 0x01020203;
inline constexpr uint32_t kOid8023XmitUnderrun = 0x01020204;
inline constexpr uint32_t kOid8023XmitHeartbeatFailure = 0x01020205;
inline constexpr uint32_t kOid8023XmitTimesCrsLost = 0x01020206;
inline constexpr uint32_t kOid8023XmitLateCollisions = 0x01020207;
inline constexpr uint32_t kOid8025CurrentAddress = 0x02010102;
inline constexpr uint32_t kOid8025CurrentRingStatus = 0x02010106;  // bit set, 0 = okay
inline constexpr uint32_t kOid8025CurrentRingState = 0x02010107;   // 1 open .. 6 ring failure
inline constexpr uint32_t kOid8025LineErrors = 0x02020101;
inline constexpr uint32_t kOid8025LostFrames = 0x02020102;
inline constexpr uint32_t kOid8025BurstErrors = 0x02020201;
inline constexpr uint32_t kOid8025AcErrors = 0x02020202;
inline constexpr uint32_t kOid8025AbortDelimiters = 0x02020203;
inline constexpr uint32_t kOid8025FrameCopiedErrors = 0x02020204;
inline constexpr uint32_t kOid8025FrequencyErrors = 0x02020205;
inline constexpr uint32_t kOid8025TokenErrors = 0x02020206;
inline constexpr uint32_t kOid8025InternalErrors = 0x02020207;
inline constexpr uint32_t kOidWanPermanentAddress = 0x04010101;

// Answers shared by the Linux drivers.
inline constexpr uint32_t kMacOptionNoLoopback = 0x08;  // the host, not the adapter, loops sent frames back
inline constexpr uint32_t kHardwareReady = 0;
inline constexpr uint32_t kHardwareNotReady = 4;
inline constexpr uint32_t kMediaConnected = 0;
inline constexpr uint32_t kMediaDisconnected = 1;
inline constexpr uint32_t kRingStateOpened = 1;
// The NDIS version the drivers claim: 5.0, the interface whose OIDs they answer.
inline constexpr uint8_t kNdisVersionMajor = 5;
inline constexpr uint8_t kNdisVersionMinor = 0;

// NDIS packet-type bits of the packet filter.
inline constexpr uint32_t kFilterDirected = 0x0001;
inline constexpr uint32_t kFilterMulticast = 0x0002;
inline constexpr uint32_t kFilterAllMulticast = 0x0004;
inline constexpr uint32_t kFilterBroadcast = 0x0008;
inline constexpr uint32_t kFilterPromiscuous = 0x0020;
inline constexpr uint32_t kFilterAllLocal = 0x0080;
inline constexpr uint32_t kFilterFunctional = 0x4000;
inline constexpr uint32_t kFilterOff = 0;
inline constexpr uint32_t kFilterNormal8023 = 0x8B;
inline constexpr uint32_t kFilterNormal8025 = 0x4089;


inline constexpr int kReadSlots = 15;
inline constexpr uint32_t kReadLength = 256;

// The driver's keys. Its adapter list, "Export": one device name per adapter, kDevicePrefix and the
// adapter's name (the name starts at the 16th character).
inline constexpr char kLinkageKey[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Linkage";
inline constexpr char kDevicePrefix[] = "\\Device\\TapEye_";
// Where an adapter's settings live: ...\Parameters\<adapter name>, values `CaptureFile` (path:
// the adapter replays that file), `Pace` ("fast" or "realtime") and `OwnAddress` (MAC text or 6 bytes).
inline constexpr char kAdapterParametersKey[] =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Parameters";
// The driver's names for the system view of the registry.
inline platform::DriverKeys PacketDriverKeys() { return {kLinkageKey, kAdapterParametersKey, kDevicePrefix}; }

// The kernel ring of each live adapter, in KiB: value `RingSizeKB` under the adapter's parameters
// key, else under kAdapterParametersKey itself, else the default. libpcap lays the ring out in blocks
// of 256 KiB, the kernel hands a block over whole, so the smallest ring is four blocks. 32 MiB hold
// about 0.1 s of minimum-size frames at 1 GbE while accounting is held up.
inline constexpr char kRingSizeValue[] = "RingSizeKB";
inline constexpr uint32_t kDefaultRingKiB = 32 * 1024;
inline constexpr uint32_t kMinRingKiB = 1024;
inline constexpr uint32_t kMaxRingKiB = 1024 * 1024;

enum class WaitResult { kCompleted, kStopped };

// What an adapter keeps of one read object: allocated, started (pending) with the capture thread's
// buffer and byte count, completed with the frame's time.
struct ReadObjectState {
  bool allocated = false;
  bool pending = false;
  bool completed = false;
  uint8_t* buffer = nullptr;
  uint32_t length = 0;
  uint32_t* byte_count = nullptr;
  uint32_t time = 0;
};

// One frame as an adapter delivers it: `captured` bytes at `data`, `wire_length` on the wire,
// `time` in seconds since 1970.
struct FrameRef {
  const uint8_t* data = nullptr;
  uint32_t captured = 0;
  uint32_t wire_length = 0;
  uint32_t time = 0;
};

// An open adapter. QueryOid may be called from any thread (the adapter status report does); every
// other operation belongs to the capture thread that opened the adapter.
//
// When its capture thread ends the adapter is closed but the object stays: readers that found it
// through `NicArea::Driver` keep a valid object, which the driver service frees when it goes away.
struct PacketDriverHandle {
  virtual ~PacketDriverHandle() = default;

  // `data` holds `length` bytes in and out; false when the adapter does not answer the OID.
  virtual bool QueryOid(uint32_t oid, void* data, uint32_t length) = 0;
  virtual bool SetOid(uint32_t oid, const void* data, uint32_t length) = 0;
  bool SetFilter(uint32_t filter) { return SetOid(kOidGenCurrentPacketFilter, &filter, sizeof filter); }

  // Read objects 0..14. Allocate before the first start.
  virtual bool AllocateReadObject(int slot) = 0;
  virtual void FreeReadObject(int slot) = 0;
  // Binds read `slot` to `buffer` of `length` bytes and `byte_count`, and starts it. Completing it
  // writes all `length` bytes: the frame's first bytes, then zeros.
  virtual bool StartRead(int slot, uint8_t* buffer, uint32_t length, uint32_t* byte_count) = 0;
  // Blocks until read `slot` has completed or `stop` is set; `stop` wins when both are.
  virtual WaitResult WaitRead(int slot, const platform::Event& stop) = 0;
  // The frame's byte count (its wire length); `time` gets the frame's capture time.
  virtual uint32_t FinishRead(int slot, uint32_t* time) = 0;
  // True once a capture-file adapter has delivered its last frame.
  virtual bool Exhausted() const { return false; }
  // Frames the kernel dropped for want of capture buffer room since the adapter opened; any thread.
  virtual uint64_t KernelDrops() const { return 0; }
  // Releases the device (socket, file); afterwards only QueryOid, Exhausted, KernelDrops and IsOpen may be
  // called, and QueryOid answers from what is known without the device. Called once, by the capture
  // thread, while other threads may be in QueryOid. Overrides call MarkClosed.
  virtual void Close() { MarkClosed(); }
  // False once Close has begun; any thread may ask.
  bool IsOpen() const { return open_.load(std::memory_order_acquire); }

 protected:
  void MarkClosed() { open_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> open_{true};
};

// The driver service: opens adapters by their `Export` entry ("\Device\TapEye_<name>").
class PacketDriver {
 public:
  virtual ~PacketDriver();
  // Null when the adapter cannot be opened (the reason is printed by the driver).
  virtual std::unique_ptr<PacketDriverHandle> Open(const char16_t* device_name) = 0;
  // Takes a closed handle and keeps it until the driver is destroyed (the agent's end). Called once
  // per adapter, from any capture thread.
  void KeepClosed(std::unique_ptr<PacketDriverHandle> handle);

 private:
  std::mutex closed_mu_;
  std::vector<std::unique_ptr<PacketDriverHandle>> closed_;
};

}  // namespace netward
