// Reply block records: the 32-byte header and the fixed-size body records of the request language.
// Wire formats: packed, little-endian, fixed size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "state/records.h"
#include "state/shared_state.h"
#include "wire/reply_layout.h"

namespace netward {

inline constexpr size_t kReplyHeaderSize = header_off::End;
inline constexpr size_t kTotRecordSize = tot_off::End;
inline constexpr size_t kTxt4RecordSize = txt4_off::End;
inline constexpr size_t kTxt4TextBytes = txt4_off::End - txt4_off::Text;
inline constexpr size_t kHistRecordSize = hist_off::End;
inline constexpr size_t kTetRecordSize = tet_off::End;
inline constexpr size_t kStatRecordSize = stat_off::End;

using Body = std::vector<uint8_t>;

// "TASK", version, local date "YYYYMMDD", local time "HH:MM:SS", StatusCode.
void BuildReplyHeader(uint32_t now, uint32_t status_code, uint8_t (&out)[kReplyHeaderSize]);

// "TOT ": the ten totals, seconds since the last frame from another station, host name, address text.
void BuildTotRecord(const GlobalArea& g, uint32_t now, uint8_t (&out)[kTotRecordSize]);

// "HIST" + the 8 date characters of a trace file name.
void BuildHistRecord(const char* file_name, uint8_t (&out)[kHistRecordSize]);

// "TET " + interval number of `time` within its local day (hour * 6 + minute / 10) + the 32 bytes of
// gains (bytes 8-39 of a stored trace record).
void BuildTetRecord(uint32_t time, const uint8_t* gains32, uint8_t (&out)[kTetRecordSize]);
uint32_t IntervalOfDay(uint32_t time);

// "STAT": one station, adapter number 1-based.
void BuildStatRecord(const StationRecord& s, uint32_t adapter_number, uint8_t (&out)[kStatRecordSize]);
// The same from a stored 158-byte StationRecord (statistics history file).
void BuildStatRecordFromStored(const uint8_t* stored158, uint32_t adapter_number, uint8_t (&out)[kStatRecordSize]);

// "TXT4" + 4096-byte text area; text longer than 4095 characters is cut to fit.
void AppendTxt4Record(Body& body, const char* text);

template <size_t N>
inline void AppendRecord(Body& body, const uint8_t (&rec)[N]) {
  body.insert(body.end(), rec, rec + N);
}

}  // namespace netward
