// Adapter status report: what each adapter's packet driver says about itself (versions, loopback,
// address, hardware and link state, media, speed, error counters, Token Ring ring status), as one
// fixed 744-byte "OID " record of ready-made texts per adapter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/shared_state.h"

namespace netward {

// Record layout (little-endian, packed; text fields zero-filled, NUL-terminated unless full).
inline constexpr size_t kAdapterStatusSize = 744;
namespace adapter_status {
inline constexpr size_t kTag = 0;              // "OID "
inline constexpr size_t kNumber = 4;           // u32: position + 1
inline constexpr size_t kName = 8;             // 32
inline constexpr size_t kState = 40;           // 16: "Open" / "CLOSED"
inline constexpr size_t kLoopback = 56;        // 16: "NDIS" / "HARDWARE"
inline constexpr size_t kTitle = 72;           // 64: title ", NDIS major.minor"
inline constexpr size_t kDriverFile = 136;     // 32: driver file text " major.minor"
inline constexpr size_t kAddress = 168;        // 16: 12 upper-case hex digits
inline constexpr size_t kHardware = 184;       // 20
inline constexpr size_t kConnection = 204;     // 20
inline constexpr size_t kMedia = 224;          // 16
inline constexpr size_t kSpeed = 240;          // 16
inline constexpr size_t kXmitErrors = 256;     // 16 each: the four general counters
inline constexpr size_t kRcvErrors = 272;
inline constexpr size_t kRcvNoBuffer = 288;
inline constexpr size_t kRcvCrcErrors = 304;
inline constexpr size_t kEthernet = 320;       // 10 counters of 16
inline constexpr size_t kTokenRing = 480;      // 9 counters of 16
inline constexpr size_t kRingStatus = 624;     // 100
inline constexpr size_t kRingState = 724;      // 20
inline constexpr size_t kCounterSize = 16;
inline constexpr size_t kEthernetCounters = 10;
inline constexpr size_t kTokenRingCounters = 9;
inline constexpr size_t kRingStatusSize = 100;
inline constexpr size_t kRingStateSize = 20;
static_assert(kEthernet + kEthernetCounters * kCounterSize == kTokenRing);
static_assert(kTokenRing + kTokenRingCounters * kCounterSize == kRingStatus);
static_assert(kRingStatus + kRingStatusSize == kRingState);
static_assert(kRingState + kRingStateSize == kAdapterStatusSize);
}  // namespace adapter_status

// Request block of the report's queries: OID (u32), answer size (u32), answer.
inline constexpr size_t kOidRequestBlockSize = 1024;
inline constexpr size_t kOidRequestHeaderSize = 8;

// Fills `record` for the adapter at 0-based `position`. A closed adapter gets its number, names and
// "CLOSED" only; a query the driver does not answer leaves its field empty.
void BuildAdapterStatus(const NicArea& nic, int position, uint8_t (&record)[kAdapterStatusSize]);

// Queries `oid` with a `size`-byte answer through `block` (kOidRequestBlockSize bytes) on the
// adapter's driver handle, open or closed; on success copies the answer to `answer`. False when
// there is no handle, the size does not fit the block, or the driver does not answer.
bool QueryAdapterOid(const NicArea& nic, uint8_t* block, uint32_t oid, uint32_t size, void* answer);

// Queries a 4-byte counter and writes it as unsigned decimal into the 16-byte `field`; the field is
// left alone when the query fails or answers 0xFFFFFFFF (not counted). True when it was written.
bool FormatAdapterOid(const NicArea& nic, uint8_t* block, uint32_t oid, uint8_t* field);

}  // namespace netward
