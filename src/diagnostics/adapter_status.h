// Adapter status report: what each adapter's packet driver says about itself (versions, loopback,
// address, hardware and link state, media, speed, error counters, Token Ring ring status), as one
// fixed 744-byte "OID " record of ready-made texts per adapter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/shared_state.h"
#include "wire/reply_layout.h"

namespace netward {

// Record layout (little-endian, packed; text fields zero-filled, NUL-terminated unless full).
inline constexpr size_t kAdapterStatusSize = adapter_status::kEnd;

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
