// Snapshot files (.NWS): a fixed list of requests run through HandleRequest in-process, one record
// per reply block, then one frame capture per adapter of its recent frames.
//
// File layout (packed, little-endian):
//   "NWS "  then records  then a 4-byte end mark 0
//   record: L (u32, 16 + data size), 16-byte name (cut, zero-padded), data
// A request record's data is the reply block exactly as a remote client receives it; a "DUMP_n"
// record's data is a frame capture laid out as a Network Monitor 1.x file ("RTSS"), every byte
// inverted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"
#include "remote/dispatcher.h"
#include "remote/reply_records.h"

namespace netward {

inline constexpr char kSnapshotMagic[4] = {'N', 'W', 'S', ' '};
inline constexpr size_t kSnapshotNameBytes = 16;
inline constexpr size_t kSnapshotRecordHeaderSize = 4 + kSnapshotNameBytes;  // L + name
inline constexpr size_t kCaptureHeaderSize = 128;
inline constexpr size_t kCaptureFrameHeaderSize = 8;  // ms offset u32, length u16, stored u16
inline constexpr size_t kCaptureTrailerSize = 8;      // zero bytes after the frame table
inline constexpr uint32_t kCaptureStoredMax = 256;    // frame bytes kept per record

inline constexpr char kTextBadTime[] = "\nERROR - Bad TIME";
inline constexpr char kTextCouldNotSave[] = "Could not save to file";
inline constexpr char kCaptionNetwardError[] = "NETWARD ERROR";

// A snapshot being written: replaced whole, so a crash never leaves a partial snapshot under its name.
using SnapshotFile = platform::AtomicFile;

// One frame as the capture records it (the data holds min(length, 256) meaningful bytes).
struct CaptureFrame {
  uint32_t time = 0;  // seconds since 1970
  uint32_t length = 0;
  const uint8_t* data = nullptr;
};

// Serialisers of the fixed parts.
void BuildSnapshotRecordHeader(uint32_t data_size, const char* name, uint8_t (&out)[kSnapshotRecordHeaderSize]);
// "RTSS", version 0x00 0x78, network type (2 for Token Ring, else 1), the first frame's local date and
// time as year, month, 2, day, hour, minute, second, 0 ms (u16 each), the frame table's offset and length.
void BuildCaptureHeader(int32_t media_type, uint32_t first_time, uint32_t table_offset, uint32_t table_length,
                        uint8_t (&out)[kCaptureHeaderSize]);
void BuildCaptureFrameHeader(uint32_t ms_offset, uint32_t length, uint8_t (&out)[kCaptureFrameHeaderSize]);

// The whole capture (not inverted) of `n` frames, the first frame's time as the zero point. The
// caller has already checked the times.
void BuildFrameCapture(const CaptureFrame* frames, size_t n, int32_t media_type, std::vector<uint8_t>& out);

// Writes the snapshot to `file_name`. There is no window system here, so no save-as dialog and no
// cursor: a null file name does nothing (the desktop front end asks for the name and passes it in).
// `window` is the owner window handle, 0 when there is none. Failing to open or write the file shows
// the box "Could not save to file".
void SaveSnapshot(const RequestContext& context, uintptr_t window, const char* file_name);

// Runs `request` through HandleRequest with the agent's AccessKey and appends its record.
void AppendSnapshotRecord(const RequestContext& context, SnapshotFile& file, const char* request);

// Appends the "DUMP_n" record of the adapter at 0-based `adapter`; nothing when it has read no frames.
void WriteFrameDump(const RequestContext& context, SnapshotFile& file, int adapter);

// The "SNAPSHOT" request without a name: "NWS " alone, or the image of a snapshot written to a
// temporary file (which is deleted afterwards).
void BuildSnapshotReply(const RequestContext& context, Body& body);

}  // namespace netward
