#include "taskbar/quicklook_model.h"

#include <cstdio>
#include <cstring>

namespace netward {

uint32_t QuickLookRowValue(int row, const TrafficCounters& c) {
  switch (row) {
    case 0: return c.OtherEventFrames + c.OwnEventFrames;
    case 1: return c.OwnGroupFrames;
    case 2: return c.OtherFrames + c.OwnFrames;
    case 3: return c.OtherGroupFrames;
    default: return 0;
  }
}

uint32_t QuickLookPercent(uint32_t x, uint32_t total) {
  if (total == 0) return 0;
  return static_cast<uint32_t>((uint64_t(total) + 200u * uint64_t(x)) / (2u * uint64_t(total)));
}

void FormatQuickLookCell(uint32_t value, char (&out)[kCellBytes]) {
  if (value == 0) {
    snprintf(out, sizeof out, "-");
    return;
  }
  char digits[16];
  const int n = snprintf(digits, sizeof digits, "%lu", static_cast<unsigned long>(value));
  size_t o = 0;
  for (int i = 0; i < n && o + 1 < sizeof out; ++i) {
    if (i > 0 && (n - i) % 3 == 0 && o + 2 < sizeof out) out[o++] = ',';
    out[o++] = digits[i];
  }
  out[o] = 0;
}

void ComputeQuickLookView(const TrafficCounters& now, const TrafficCounters& previous, uint32_t frame_sequence,
                          uint32_t status_icon, const char* status_text, QuickLookView& out) {
  out.status_icon = status_icon;
  snprintf(out.status_text, sizeof out.status_text, "%s", status_text);
  for (int row = 0; row < kQuickLookNumberRows; ++row) {
    const uint32_t x = QuickLookRowValue(row, now);
    const uint32_t before = QuickLookRowValue(row, previous);
    FormatQuickLookCell(QuickLookPercent(x, frame_sequence), out.cells[row][0]);
    FormatQuickLookCell(x, out.cells[row][1]);
    FormatQuickLookCell(x - before, out.cells[row][2]);  // the rise over the last second
  }
}

void FormatQuickLookCaption(const GlobalArea& g, char (&out)[kCaptionBytes]) {
  FormatHostAndAddress(g, "NETWARD QuickLook - %s  %s", out, sizeof out);
}

}  // namespace netward
