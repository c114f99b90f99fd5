// "DETL" records: one decoded line per stored frame of the recent-frame rings or the event logs.
#pragma once

#include <cstdint>

#include "remote/reply_records.h"

namespace netward {

inline constexpr size_t kDetlRecordSize = 364;

// For each adapter in order, walks `RecentFrames` (or `EventLog`) in slot order, stops at the
// first slot whose Sequence is 0, and appends a record for each complete slot whose Sequence is
// greater than `newer_than`. A slot rewritten while it is copied is left out.
void AppendDetailRecords(const GlobalArea& g, bool event_log, uint32_t newer_than, Body& body);

}  // namespace netward
