// The broadcast reply: a "BHDR" header and one "BENT" entry per group of group-addressed frames
// seen in the last 15 minutes, grouped by decoded text (frames this PC sent) or by source.
#pragma once

#include <cstdint>

#include "remote/reply_records.h"
#include "wire/reply_layout.h"

namespace netward {

inline constexpr size_t kBhdrSize = bhdr_off::End;
inline constexpr size_t kBentSize = bent_off::End;
inline constexpr uint32_t kBroadcastWindowSeconds = 900;
inline constexpr uint32_t kRecentSeconds = 60;

// Replaces `body` by the whole reply. `sent`: only frames sent by this adapter, grouped by their
// decoded text; otherwise every broadcaster, grouped by source labels. `low` picks the summary
// text as the grouping text, else the protocol text.
void BuildBroadcastReply(const GlobalArea& g, bool sent, bool low, uint32_t now, Body& body);

}  // namespace netward
