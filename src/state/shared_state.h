// Shared run-time state of the agent: one GlobalArea per process, one NicArea per adapter.
//
// Every block is allocated zero-filled once at start-up and never freed; every table has a fixed
// capacity and a count or wrapping index. Capture threads write their own NicArea and the GlobalArea
// totals; all other threads only read. There are no locks: shared counters are relaxed atomics and
// ring entries carry a version counter beside the stored form's `Complete` flag (see the ring-slot
// protocol below).
//
// These are in-memory types with natural alignment. The packed wire/file layouts (StationRecord 158
// bytes, FrameEntry 326, GroupFrameEntry 317, ...) are produced by the serialisers in records.h.
#pragma once

#include <atomic>
#include <type_traits>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace netward {

inline constexpr int kMaxNics = 4;
inline constexpr int kMaxStations = 500;
inline constexpr int kMaxConnections = 1000;
inline constexpr int kRecentFrames = 300;
inline constexpr int kGroupFrames = 4500;
inline constexpr int kNameCacheEntries = 200;
inline constexpr int kDnsNames = 20;
inline constexpr int kEventLogEntries = 100;
inline constexpr int kTcpipLists = 5;
inline constexpr int kTcpipListEntries = 50;
inline constexpr int kFrameDataBytes = 256;   // bytes of each frame kept in the rings
inline constexpr int kDnsQueryBytes = 214;    // UDP payload bytes of the last DNS query kept
inline constexpr int kArpRequestBytes = 242;  // bytes after the Ethernet header of the last ARP request

// Event codes carried in FrameEntry::Event.
enum EventCode : uint32_t {
  kEventNone = 0,
  kEventTcpRetransmit = 1,
  kEventDnsRetransmit = 2,
  kEventArpRetransmit = 3,
  kEventTcpReset = 4,
  kEventIcmpError = 5,
  kEventLlcError = 6,
};
inline constexpr int kEventKinds = 7;  // codes 0..6; NicArea::EventsByKind is indexed by code

// Direction codes carried in FrameEntry::Direction.
enum DirectionCode : uint32_t {
  kDirOtherGroup = 0,   // "<<  "
  kDirOtherUnicast = 1, // "<-  "
  kDirOtherEvent = 2,   // "<=  "
  kDirOwnGroup = 3,     // "  >>"
  kDirOwnUnicast = 4,   // "  ->"
  kDirOwnEvent = 5,     // "  =>"
};

// Relaxed atomic access to plain fields shared between a writer thread and readers. On x86-64 these
// compile to ordinary loads and stores; they exist so that a reader never sees a torn 32-bit value and
// the thread sanitizer knows the sharing is intended.
template <typename T>
inline T RelaxedLoad(const T& field) {
  return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}
template <typename T>
inline void RelaxedStore(T& field, T value) {
  std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

// Byte copies into and out of shared buffers (labels, names, frame data), done with relaxed atomic
// 8-byte words where both sides allow it and single bytes elsewhere. A reader racing a writer may get
// a mix of old and new bytes, which the `Complete` protocol or the caller's retry handles.
void SharedCopyIn(void* shared_dst, const void* src, size_t n);
void SharedCopyOut(void* dst, const void* shared_src, size_t n);
void SharedZero(void* shared_dst, size_t n);

// The same copies for a size known at compile time into or out of an 8-byte aligned shared field:
// whole relaxed words, then the remaining bytes one by one, inlined (labels, names and frame data
// are copied for every frame).
template <size_t N>
inline void SharedStore(void* shared_dst, const void* src) {
  auto* d = static_cast<uint8_t*>(shared_dst);
  auto* s = static_cast<const uint8_t*>(src);
#pragma GCC unroll 32
  for (size_t i = 0; i + 8 <= N; i += 8) {
    uint64_t w;
    memcpy(&w, s + i, 8);
    std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(d + i)).store(w, std::memory_order_relaxed);
  }
  // The tail as one 4-, 2- and 1-byte store each (a reader's bytes are still whole).
  size_t i = N & ~size_t{7};
  if constexpr ((N & 4) != 0) {
    uint32_t w;
    memcpy(&w, s + i, 4);
    std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(d + i)).store(w, std::memory_order_relaxed);
    i += 4;
  }
  if constexpr ((N & 2) != 0) {
    uint16_t w;
    memcpy(&w, s + i, 2);
    std::atomic_ref<uint16_t>(*reinterpret_cast<uint16_t*>(d + i)).store(w, std::memory_order_relaxed);
    i += 2;
  }
  if constexpr ((N & 1) != 0) std::atomic_ref<uint8_t>(d[i]).store(s[i], std::memory_order_relaxed);
}
template <size_t N>
inline void SharedLoad(void* dst, const void* shared_src) {
  auto* d = static_cast<uint8_t*>(dst);
  auto* s = const_cast<uint8_t*>(static_cast<const uint8_t*>(shared_src));
#pragma GCC unroll 32
  for (size_t i = 0; i + 8 <= N; i += 8) {
    const uint64_t w = std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(s + i)).load(std::memory_order_relaxed);
    memcpy(d + i, &w, 8);
  }
  for (size_t i = N & ~size_t{7}; i < N; ++i) d[i] = std::atomic_ref<uint8_t>(s[i]).load(std::memory_order_relaxed);
}
template <size_t N>
inline void SharedStoreZero(void* shared_dst) {
  alignas(8) static constexpr uint8_t kZeros[N] = {};
  SharedStore<N>(shared_dst, kZeros);
}
// Bytes [from, to) of an 8-byte aligned shared buffer, both multiples of 8, as relaxed words: copied
// from the same bytes of `src`, or zeroed.
inline void SharedStoreWords(void* shared_dst, const void* src, size_t from, size_t to) {
  auto* d = static_cast<uint8_t*>(shared_dst);
  auto* s = static_cast<const uint8_t*>(src);
  for (size_t i = from; i < to; i += 8) {
    uint64_t w;
    memcpy(&w, s + i, 8);
    std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(d + i)).store(w, std::memory_order_relaxed);
  }
}
inline void SharedZeroWords(void* shared_dst, size_t from, size_t to) {
  auto* d = static_cast<uint8_t*>(shared_dst);
  for (size_t i = from; i < to; i += 8)
    std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(d + i)).store(0, std::memory_order_relaxed);
}

// Asks for the cache lines of an object about to be rewritten (a ring's next slot), for writing: the
// slots of a ring larger than the cache come from memory, and the capture thread would otherwise
// wait for them as it fills the slot.
template <typename T>
inline void PrefetchForRewrite(const T& slot) {
  const char* p = reinterpret_cast<const char*>(&slot);
  for (size_t i = 0; i < sizeof(T); i += 64) __builtin_prefetch(p + i, 1, 3);
}

// A NUL-terminated 8-bit text of N bytes, shared between threads.
template <size_t N>
struct Text {
  alignas(8) char bytes[N];

  static constexpr size_t kSize = N;
  // Stores up to N-1 characters of `s` and zero-fills the rest of the field.
  void Set(const char* s) {
    char tmp[N] = {};
    if (s != nullptr) memcpy(tmp, s, strnlen(s, N - 1));
    SharedStore<N>(bytes, tmp);
  }
  // Copies the whole field; the result is always NUL-terminated.
  void Get(char (&out)[N]) const {
    SharedLoad<N>(out, bytes);
    out[N - 1] = 0;
  }
  void Clear() { SharedStoreZero<N>(bytes); }
};

struct StationRecord;
struct NicArea;
struct GlobalArea;
struct PacketDriverHandle;  // defined by the capture layer

// TCP connection (20 bytes on the wire). Matched on the 12 bytes from source IP to destination port.
struct ConnectionEntry {
  ConnectionEntry* Next;  // next connection started by the same station; null at the end
  uint8_t SrcIp[4];       // network order
  uint8_t SrcPort[2];     // network order
  uint8_t DestIp[4];
  uint8_t DestPort[2];
  uint32_t HighestSequence;  // host order
};

// In memory the fields are ordered for the capture thread, which touches a record for nearly every
// frame: the first cache line holds what a station search compares (the labels) and the connection
// chain, the second the counters; the name follows. The stored form keeps the spec's order.
struct alignas(64) StationRecord {
  ConnectionEntry* ConnectionChain;
  uint32_t IsSelf;
  uint8_t IpAddress[4];  // network order
  Text<16> AddressLabel;
  Text<29> ProtocolLabel;
  uint32_t LastSequence;
  uint32_t FirstSeen;
  uint32_t LastSeen;
  float BytesSent;
  uint32_t FramesSent;
  uint32_t GroupFramesSent;
  uint32_t EventFramesSent;
  float BytesReceived;
  uint32_t FramesReceived;
  Text<8> Role;
  NicArea* Nic;
  Text<33> Name;
};
static_assert(offsetof(StationRecord, LastSequence) == 64, "labels in the first cache line, counters in the second");

struct FrameEntry {
  std::atomic<uint8_t> Complete;  // 0 while being filled, 1 when done
  std::atomic<uint32_t> Version;  // odd while being rewritten; see BeginSlotRewrite
  uint32_t Time;
  uint32_t Sequence;
  uint32_t Length;
  Text<16> SrcLabel;
  Text<29> ProtoLabel;
  StationRecord* Station;
  uint32_t Direction;
  uint32_t Event;
  alignas(8) uint8_t Data[kFrameDataBytes];
};

struct GroupFrameEntry {
  std::atomic<uint32_t> Version;  // odd while being rewritten; see BeginSlotRewrite
  uint32_t Time;
  uint32_t Sequence;
  StationRecord* Station;
  uint8_t DestIp[4];
  Text<16> SrcLabel;
  Text<29> ProtoLabel;
  alignas(8) uint8_t Data[kFrameDataBytes];
};

// Ring-slot protocol. A slot of RecentFrames, EventLog or GroupFrames is rewritten by its capture
// thread while request threads copy it. The writer brackets every rewrite with BeginSlotRewrite and
// EndSlotRewrite; a reader copies through ReadSlot and keeps the copy only when it returns true.
//
// Writer: Version odd (relaxed store), release fence, the fields (relaxed stores), Version even
// (release store). Reader: v1 = Version (acquire), must be even; the fields (relaxed loads); acquire
// fence; v2 = Version (relaxed); the copy is whole when v1 == v2. Why that is enough:
// - v1 was stored by the release at the end of some rewrite k, so every field load sees k's value or
//   a later one;
// - a load that saw a value of a later rewrite saw a store made after that rewrite's release fence,
//   so the reader's acquire fence synchronises with it and the odd store that began it happens before
//   the v2 load: v2 > v1, because the counter only grows;
// - so v1 == v2 means every field holds rewrite k's value. A `Complete` flag alone cannot tell this:
//   a rewrite that ends between the reader's two looks leaves it 1 both times. The 32-bit counter
//   would have to wrap within one copy to fool the reader.
template <typename Entry>
inline void BeginSlotRewrite(Entry& e) {
  const uint32_t v = e.Version.load(std::memory_order_relaxed);
  e.Version.store(v | 1u, std::memory_order_relaxed);
  if constexpr (requires { e.Complete; }) e.Complete.store(0, std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
}
template <typename Entry>
inline void EndSlotRewrite(Entry& e) {
  if constexpr (requires { e.Complete; }) e.Complete.store(1, std::memory_order_relaxed);
  const uint32_t v = e.Version.load(std::memory_order_relaxed);
  e.Version.store((v | 1u) + 1, std::memory_order_release);
}
// Runs `copy` (relaxed loads of the slot's fields) between the two looks at Version; false when the
// slot is being rewritten or was rewritten while `copy` ran. A FrameEntry must also be `Complete`.
template <typename Entry, typename Copy>
inline bool ReadSlot(const Entry& e, Copy&& copy) {
  const uint32_t v1 = e.Version.load(std::memory_order_acquire);
  if ((v1 & 1u) != 0) return false;
  if constexpr (requires { e.Complete; }) {
    if (e.Complete.load(std::memory_order_relaxed) != 1) return false;
  }
  copy();
  std::atomic_thread_fence(std::memory_order_acquire);
  return e.Version.load(std::memory_order_relaxed) == v1;
}

struct NameCacheEntry {
  uint32_t Time;  // last update; 0 = empty
  Text<16> AddressLabel;
  Text<29> ProtocolLabel;
  Text<33> Name;
};

struct DnsNameEntry {
  uint8_t Ip[4];  // network order
  Text<33> Name;
};

// Accounting's look-up structures beside the station and connection tables. Only the adapter's
// capture thread reads or writes them; they are never part of a stored form. All zeros is the
// empty state (epoch 0 is never current).
inline constexpr int kStationLabelSlots = 1024;     // labels of up to 500 stations: load below 1/2
inline constexpr int kStationKeySlots = 4096;       // emptied when half of them are used
inline constexpr int kConnectionIndexSlots = 2048;  // up to 1000 connections: load below 1/2
inline constexpr int kNameIndexSlots = 512;         // the name cache's entries: load below 1/2
static_assert(kNameIndexSlots >= 2 * kNameCacheEntries);

// A station search by the values its two labels are made of: class, kind of address label, MAC,
// protocol address and protocol name (see accounting/stations.cpp).
struct StationKeyEntry {
  uint64_t Link;
  uint64_t Address;
  uint32_t AddressTail;
  uint32_t Epoch;      // entries of another epoch are free
  uint32_t LabelHash;  // of the labels the key makes
  int16_t Station;     // the record holding those labels, or -1: none among Stations[0..Indexed)
  int16_t Indexed;
};

// A key's two labels, zero-padded to 8-byte multiples (the fields keep 16 and 29 bytes).
struct StationLabels {
  alignas(8) char Address[16];
  alignas(8) char Protocol[32];
};

// A connection of one station's chain: the station, the 12 bytes matched, and its entry.
struct ConnectionIndexEntry {
  uint64_t SrcIpAndPorts;  // SrcIp, SrcPort, DestPort as they lie in the frame
  uint32_t DestIp;
  uint16_t Station;
  uint16_t Connection;  // index into NicArea::Connections
  uint32_t Epoch;       // entries of another epoch are free
  uint32_t HighestSequence;  // the connection entry's, kept here too so that a hit reads one line
};

struct StationIndex {
  uint32_t Epoch;    // of the station table: a new one when StationCount falls below Indexed
  int32_t Indexed;   // Stations[0..Indexed) are in the label index
  uint32_t KeysUsed;
  uint32_t KeyEpoch;  // of the key cache: also new when half of its slots are used
  uint32_t LabelHash[kStationLabelSlots];
  int16_t LabelStation[kStationLabelSlots];  // station + 1; 0 = free
  StationKeyEntry Keys[kStationKeySlots];
  StationLabels KeyLabels[kStationKeySlots];
  StationLabels SearchLabels;  // of the last search without a key
  uint32_t ConnectionEpoch;  // new with every station table epoch and when the connections empty
  ConnectionIndexEntry Connections[kConnectionIndexSlots];
  ConnectionEntry* ChainTail[kMaxStations];  // last connection of each non-empty chain
  // Beside NameCache (which only RememberNetbiosName writes): each entry's Time and a hash of its
  // labels, the entries in use (filled in order, never emptied), and an index of the entries by
  // that hash (entry + 1; 0 = free), so that a search reads a few slots instead of every entry.
  uint32_t NameTime[kNameCacheEntries];
  uint32_t NameLabelHash[kNameCacheEntries];
  int32_t NamesUsed;
  int16_t NameSlot[kNameIndexSlots];
};

// Indexes of NicArea::TcpipConfig.
enum TcpipList { kAddresses = 0, kSubnetMasks = 1, kGateways = 2, kDnsServers = 3, kWinsServers = 4 };

struct NicArea {
  std::atomic<PacketDriverHandle*> Driver;
  // The agent's block this adapter counts into (totals, frame sequence, host name); set once by
  // AttachNicArea before the adapter's capture thread starts, never changed after. Null: the
  // adapter's frames are kept in its rings but not counted.
  GlobalArea* Global;
  char16_t DeviceName[128];
  Text<32> AdapterName;
  Text<64> AdapterTitle;
  Text<32> DriverFileText;
  uint32_t DriverFileTime;
  int32_t MediaType;  // 0 = 802.3, 1 = 802.5
  uint8_t OwnAddress[6];
  uint8_t IsWan;
  uint32_t FramesRead;
  // Set by the capture thread when it starts, read by accounting (capture thread only): the adapter
  // is the only one attached to its GlobalArea, so its thread is the only writer of the totals and
  // adds to them with a plain load and store instead of a locked instruction.
  uint8_t CountsAlone;
  // Frame being accounted (capture thread only).
  uint32_t FrameLength;
  uint8_t IsGroupFrame;
  uint8_t FromSelf;
  const uint8_t* IpHeader;
  uint32_t FrameTime;
  uint8_t DestAddress[6];
  uint8_t SrcAddress[6];
  Text<16> NetbiosName;
  uint32_t ResolverThreadId;
  Text<16> SrcLabel;
  Text<29> ProtoLabel;
  int32_t StationCount;  // reset to 0 by the main thread at the day roll-over
  StationRecord Stations[kMaxStations];
  uint32_t ConnectionCount;
  ConnectionEntry Connections[kMaxConnections];
  uint32_t FrameIndex;
  FrameEntry RecentFrames[kRecentFrames];
  uint32_t GroupFrameCount;
  uint32_t GroupFrameIndex;
  GroupFrameEntry GroupFrames[kGroupFrames];
  NameCacheEntry NameCache[kNameCacheEntries];
  uint32_t DnsNameCount;
  DnsNameEntry DnsNames[kDnsNames];
  uint32_t LastDnsQueryTime;
  uint8_t LastDnsQuery[kDnsQueryBytes];
  uint32_t LastArpTime;
  uint8_t LastArpRequest[kArpRequestBytes];
  uint32_t EventCount;
  FrameEntry EventLog[kEventLogEntries];
  // Frames that raised each event (index: event code; 0 unused), counted as they enter EventLog.
  // Ours, not in any stored layout: the metrics endpoint reads it.
  uint32_t EventsByKind[kEventKinds];
  // Five zero-terminated lists of IPv4 addresses in network order.
  uint32_t TcpipConfig[kTcpipLists][kTcpipListEntries];
  StationIndex Index;
};

// The sixteen fields from FrameSequence to LastOwnGroupTime, in order; copied into Checkpoint at
// every ten-minute checkpoint. Floats are kept as floats.
struct TotalsSnapshot {
  uint32_t FrameSequence;
  float OwnBytes;
  uint32_t OwnFrames;
  uint32_t OwnGroupFrames;
  uint32_t OwnEventFrames;
  float OtherBytes;
  uint32_t OtherFrames;
  uint32_t OtherGroupFrames;
  uint32_t OtherEventFrames;
  uint32_t DayChanges;
  uint32_t LastOtherTime;
  uint32_t LastOwnTime;
  uint32_t LastOtherUnicastTime;
  uint32_t LastOtherGroupTime;
  uint32_t LastOwnUnicastTime;
  uint32_t LastOwnGroupTime;
};

// Health of the agent beyond the traffic totals, for the metrics endpoint; not in any stored or wire
// layout. Relaxed counters, each bumped where the thing happens.
struct HealthCounters {
  std::atomic<uint64_t> PingCalls;             // PingRpc calls served
  std::atomic<uint64_t> RequestCalls;          // RequestRpc calls served, refused keys included
  std::atomic<uint64_t> RefusedKeys;           // RequestRpc calls whose key did not match
  std::atomic<uint64_t> HistoryWriteFailures;  // history file writes that failed (trace or statistics)
  std::atomic<uint32_t> StartTime;             // seconds since 1970, set once at start-up
};

// Indexes of GlobalArea::Windows.
enum WindowSlot { kTaskbarWindow = 0, kLoadingWindow = 1, kQuickLookWindow = 2, kSettingsWindow = 3 };

struct GlobalArea {
  Text<33> HostName;
  Text<20> AddressText;
  uint8_t AccessKey[16];
  std::atomic<uint32_t> AutoIpName;
  std::atomic<uintptr_t> Windows[4];
  // Totals, incremented by every capture thread with relaxed fetch_add.
  std::atomic<uint32_t> FrameSequence;
  std::atomic<float> OwnBytes;
  std::atomic<uint32_t> OwnFrames;
  std::atomic<uint32_t> OwnGroupFrames;
  std::atomic<uint32_t> OwnEventFrames;
  std::atomic<float> OtherBytes;
  std::atomic<uint32_t> OtherFrames;
  std::atomic<uint32_t> OtherGroupFrames;
  std::atomic<uint32_t> OtherEventFrames;
  std::atomic<uint32_t> DayChanges;
  std::atomic<uint32_t> LastOtherTime;
  std::atomic<uint32_t> LastOwnTime;
  std::atomic<uint32_t> LastOtherUnicastTime;
  std::atomic<uint32_t> LastOtherGroupTime;
  std::atomic<uint32_t> LastOwnUnicastTime;
  std::atomic<uint32_t> LastOwnGroupTime;
  // Written by the main thread at each checkpoint, read by RPC threads: go through the two
  // accessors below, which copy it with relaxed atomic bytes.
  TotalsSnapshot Checkpoint;
  std::atomic<int32_t> NicCount;
  NicArea* Nics[kMaxNics];
  std::atomic<uint32_t> StatusCode;
  HealthCounters Health;

  // Reads fields FrameSequence..LastOwnGroupTime.
  TotalsSnapshot Totals() const;
  TotalsSnapshot CheckpointCopy() const {
    static_assert(std::is_trivially_copyable_v<TotalsSnapshot>);
    TotalsSnapshot t;
    SharedCopyOut(&t, &Checkpoint, sizeof t);
    return t;
  }
  void SetCheckpoint(const TotalsSnapshot& t) { SharedCopyIn(&Checkpoint, &t, sizeof t); }
};

// The process-wide pointer, for what has no adapter or context to reach the block through (stop
// requests, the taskbar's log-off notice); null until start-up has allocated the block.
extern std::atomic<GlobalArea*> g_global_area;
inline GlobalArea* Global() { return g_global_area.load(std::memory_order_acquire); }

// Adds `n` to a GlobalArea total and returns the new value: a locked add when other adapters'
// threads add to it too, else (the adapter counts alone: NicArea::CountsAlone) a plain load and
// store, which readers see whole all the same.
template <typename T>
inline T AddToTotal(std::atomic<T>& total, T n, bool alone) {
  if (!alone) return total.fetch_add(n, std::memory_order_relaxed) + n;
  const T sum = total.load(std::memory_order_relaxed) + n;
  total.store(sum, std::memory_order_relaxed);
  return sum;
}

// Lists `nic` as the next adapter of `global` and makes it count into `global` (NicArea::Global);
// false when all kMaxNics places are taken. Every adapter of a block is attached before the first
// capture thread starts: a thread that finds its adapter the only one listed takes itself for the
// only writer of the totals (NicArea::CountsAlone), and an adapter that counts into a block must
// be listed in it while its thread runs beside another.
bool AttachNicArea(GlobalArea& global, NicArea* nic);
// Whether `nic` is the only adapter listed in its GlobalArea (read when its capture thread starts).
bool CountsAlone(const NicArea& nic);

// Allocate zero-filled blocks (never freed by the agent; tests may delete them).
GlobalArea* AllocateGlobalArea();
NicArea* AllocateNicArea();
// Frees a GlobalArea and its NicAreas (tests and tools only: the agent keeps them to the end).
void FreeGlobalArea(GlobalArea* global);

}  // namespace netward
