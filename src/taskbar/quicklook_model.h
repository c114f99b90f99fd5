// What the QuickLook window shows, computed without a window system: the traffic table's rows and
// columns, the arithmetic of its cells, and the caption. The desktop back end only puts these texts
// into widgets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "state/shared_state.h"
#include "taskbar/traffic_status.h"

namespace netward {

inline constexpr int kQuickLookRows = 6;
inline constexpr int kQuickLookNumberRows = 4;  // rows 4 and 5 carry no numbers
inline constexpr int kQuickLookColumns = 4;
inline constexpr size_t kCellBytes = 21;  // a formatted number is cut at 20 characters
inline constexpr size_t kCaptionBytes = 80;
inline constexpr size_t kConfigReportBytes = 4000;
inline constexpr size_t kTestReportBytes = 5000;

struct QuickLookColumn {
  const char* header;
  int width;  // dialog units
  bool right_aligned;
};
inline constexpr QuickLookColumn kQuickLookColumnTable[kQuickLookColumns] = {
    {"Traffic sent or received by this PC", 209, false},
    {"Percent", 50, true},
    {"Total Packets", 80, true},
    {"Packets/Sec", 80, true},
};

struct QuickLookRow {
  const char* text;  // with its leading space
  uint32_t icon;     // QuickLook icon resource number; the image index equals the row number
};
inline constexpr QuickLookRow kQuickLookRowTable[kQuickLookRows] = {
    {" Errors dectected", kQuickLookIconError},
    {" Broadcast traffic sent", kQuickLookIconBroadcastSent},
    {" Session traffic", kQuickLookIconSession},
    {" Broadcast traffic received", kQuickLookIconBroadcastReceived},
    {" No traffic sent or received", kQuickLookIconNoTraffic},
    {" Possible physical connection problem", kQuickLookIconNothingReceived},
};

// The value of a numbered row (0..3) from the eight counters.
uint32_t QuickLookRowValue(int row, const TrafficCounters& c);

// 100 * x / total rounded half up; 0 when total is 0. Computed in 64 bits, so that counts above
// 21 million frames (where 200 * x leaves 32 bits) still give the right percentage.
uint32_t QuickLookPercent(uint32_t x, uint32_t total);

// A cell's text: "-" for 0, otherwise the number in groups of three with "," between them and no
// decimals ("1,200,000").
void FormatQuickLookCell(uint32_t value, char (&out)[kCellBytes]);

// Everything one refresh writes: status text and icon, and the three number columns of rows 0..3.
struct QuickLookView {
  uint32_t status_icon = 0;
  char status_text[kStatusTextBytes] = {};
  char cells[kQuickLookNumberRows][kQuickLookColumns - 1][kCellBytes] = {};
};

// A refresh from the current counters, the previous second's and all frames read since start.
void ComputeQuickLookView(const TrafficCounters& now, const TrafficCounters& previous, uint32_t frame_sequence,
                          uint32_t status_icon, const char* status_text, QuickLookView& out);

// "NETWARD QuickLook - <host>  <address>".
void FormatQuickLookCaption(const GlobalArea& g, char (&out)[kCaptionBytes]);

}  // namespace netward
