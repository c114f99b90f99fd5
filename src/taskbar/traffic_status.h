// Traffic state of the taskbar icon: one of ten codes chosen every second from the rise of the
// GlobalArea traffic counters over the previous second and the times of the last frames.
#pragma once

#include <cstdint>

#include "state/shared_state.h"
#include "taskbar/status_look.h"

namespace netward {

// Silence from other stations longer than this (seconds) means codes 9/10; the text says 60.
inline constexpr int64_t kSilenceSeconds = 62;
inline constexpr size_t kTooltipBytes = 64;

// The eight traffic counters of the GlobalArea, as one second's snapshot.
struct TrafficCounters {
  float OwnBytes;
  uint32_t OwnFrames;
  uint32_t OwnGroupFrames;
  uint32_t OwnEventFrames;
  float OtherBytes;
  uint32_t OtherFrames;
  uint32_t OtherGroupFrames;
  uint32_t OtherEventFrames;
};

// Times of the last frames (seconds since 1970; 0 = none yet).
struct TrafficTimes {
  uint32_t LastOtherTime;
  uint32_t LastOwnGroupTime;
  uint32_t LastOwnUnicastTime;
  uint32_t LastOtherUnicastTime;
};

TrafficCounters ReadTrafficCounters(const GlobalArea& g);
TrafficTimes ReadTrafficTimes(const GlobalArea& g);

// The rule itself: first match wins. `broadcast_icon_shown` is true when the tray shows icon 138 now.
uint32_t TrafficStatusCode(const TrafficCounters& now, const TrafficCounters& previous, const TrafficTimes& times,
                           uint32_t now_time, bool broadcast_icon_shown);

// `format` (two %s) with HostName and AddressText.
void FormatHostAndAddress(const GlobalArea& g, const char* format, char* out, size_t size);
// "NETWARD - <host>  <address>".
void FormatTooltip(const GlobalArea& g, char (&out)[kTooltipBytes]);

// What the status evaluation leaves for the icon and QuickLook.
struct StatusView {
  uint32_t tray_icon = 0;  // 0: no icon yet
  uint32_t quicklook_icon = 0;
  char text[kStatusTextBytes] = {};
};

// Evaluates the status against `previous`, stores StatusCode and fills `view`. True when the icon must
// be updated: always for codes 9 and 10, otherwise when the code changed.
bool EvaluateTrafficStatus(GlobalArea& g, const TrafficCounters& previous, uint32_t now_time, StatusView& view);

}  // namespace netward
