// The request language: HandleRequest checks the key and wraps the body that DispatchRequest builds
// in a reply block.
#pragma once

#include <cstdint>

#include "remote/reply_records.h"

namespace netward {

inline constexpr int32_t kKeyRejected = -2;

// The records of one history day ("TET ", "TES ") fill at most this much of a reply body: far more
// than a real day holds (157286 trace intervals, 50737 stations), and well inside the RPC server's
// 8 MiB reply limit. A day file with more is answered with its first records, cut at a whole record.
inline constexpr size_t kMaxHistoryDayBody = 6u << 20;

// Reply blocks are allocated and freed with these (the RPC stub frees what HandleRequest returns).
void* MidlUserAllocate(size_t bytes);
void MidlUserFree(void* block);

// `key`: 16 bytes; `request`: the 256-byte request array (its last byte ends the text). On success
// *reply holds a block of *reply_length bytes owned by the caller; on a wrong key *reply stays null,
// *reply_length is 0 and the result is kKeyRejected.
int32_t HandleRequest(const uint8_t* key, const char* request, uint8_t** reply, int32_t* reply_length);

// Builds the body for `request` (NUL-terminated) into `body`. Never fails.
void DispatchRequest(const char* request, Body& body);

}  // namespace netward
