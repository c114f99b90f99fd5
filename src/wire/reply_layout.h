// The reply records of the request language, declared once for the agent that builds them and the
// clients that take them apart: each record's byte offsets, packed and little-endian, End being its
// size. A text field runs to the next field's offset; texts are NUL-terminated unless full, and
// zero- or blank-filled behind as each builder says.
#pragma once

#include <cstddef>

namespace netward {

// The 32-byte header of every reply block: "TASK", version "19990415", local date "YYYYMMDD" and
// time "HH:MM:SS" (no NULs), the taskbar status code.
namespace header_off {
inline constexpr size_t Tag = 0, Version = 4, Date = 12, Time = 20, StatusCode = 28, End = 32;
}

// The eight traffic counters that "TOT " and "TET " both carry at bytes 8-39, as the trace records
// of the history files do: own then other, bytes (float), frames, group frames, event frames.
namespace counts_off {
inline constexpr size_t OwnBytes = 8, OwnFrames = 12, OwnGroupFrames = 16, OwnEventFrames = 20, OtherBytes = 24,
                        OtherFrames = 28, OtherGroupFrames = 32, OtherEventFrames = 36, End = 40;
}

// "TOT ": the frame sequence, the counters, day changes, seconds since the last frame from another
// station (signed), host name, address text.
namespace tot_off {
inline constexpr size_t Tag = 0, FrameSequence = 4, Counts = 8, DayChanges = 40, SecondsSinceOther = 44,
                        HostName = 48, AddressText = 80, End = 100;
}

// "TXT4": a report, NUL-terminated within its 4096 bytes.
namespace txt4_off {
inline constexpr size_t Tag = 0, Text = 4, End = 4100;
}

// "HIST": the date of one trace history file, "YYYYMMDD".
namespace hist_off {
inline constexpr size_t Tag = 0, Date = 4, End = 12;
}

// "TET ": a ten-minute interval of the day (hour * 6 + minute / 10) and its counters.
namespace tet_off {
inline constexpr size_t Tag = 0, Interval = 4, Counts = 8, End = 40;
}

// "STAT": one station, blank-filled texts; the adapter number is 1-based.
namespace stat_off {
inline constexpr size_t Tag = 0, Adapter = 4, AddressLabel = 8, ProtocolLabel = 24, Role = 52, Name = 60,
                        LastSeen = 92, BytesSent = 100, FramesSent = 104, GroupFramesSent = 108,
                        EventFramesSent = 112, BytesReceived = 116, FramesReceived = 120, End = 124;
}

// "DETL": one decoded frame. TimeText is "hh:mm:ss" and its NUL, then three bytes of padding.
namespace line_off {
inline constexpr size_t Tag = 0, AdapterNumber = 4, Sequence = 8, Length = 12, TimeText = 16, TimePad = 25,
                        SourceText = 28, PeerText = 44, RoleText = 72, NameText = 80, DirectionMark = 112,
                        DestinationText = 116, SummaryText = 144, ProtocolText = 244, EventText = 344,
                        MediaType = 360, End = 364;
}

// "BHDR": the broadcast reply's header, then EntryCount "BENT" entries.
namespace bhdr_off {
inline constexpr size_t Tag = 0, TimeText = 4, WindowStart = 16, GroupFrames = 28, RecentFrames = 32,
                        EntryCount = 36, End = 40;
}
namespace bent_off {
inline constexpr size_t Tag = 0, Adapter = 4, AddressLabel = 8, ProtocolLabel = 24, Role = 52, Name = 60,
                        RecentFrames = 92, WindowFrames = 96, TimeText = 100, Sequence = 112, GroupText = 116,
                        Destination = 216, End = 244;
}

// "OID ": one adapter's status; zero-filled texts, the counters as decimal text of 16 bytes each.
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
inline constexpr size_t kEnd = 744;
inline constexpr size_t kCounterSize = 16;
inline constexpr size_t kEthernetCounters = 10;
inline constexpr size_t kTokenRingCounters = 9;
inline constexpr size_t kRingStatusSize = 100;
inline constexpr size_t kRingStateSize = 20;
static_assert(kEthernet + kEthernetCounters * kCounterSize == kTokenRing);
static_assert(kTokenRing + kTokenRingCounters * kCounterSize == kRingStatus);
static_assert(kRingStatus + kRingStatusSize == kRingState);
static_assert(kRingState + kRingStateSize == kEnd);
}  // namespace adapter_status

static_assert(counts_off::End == tot_off::DayChanges && counts_off::OwnBytes == tot_off::Counts &&
              counts_off::OwnBytes == tet_off::Counts && counts_off::End == tet_off::End);

}  // namespace netward
