// Traffic state of the taskbar icon: one of ten codes chosen every second from the rise of the
// GlobalArea traffic counters over the previous second and the times of the last frames.
#pragma once

#include <cstdint>

#include "state/shared_state.h"

namespace netward {

// Icon resource numbers. The tray shows one of six, QuickLook's status and list one of six others.
inline constexpr uint32_t kIconBroadcastReceived = 136;
inline constexpr uint32_t kIconSession = 137;
inline constexpr uint32_t kIconBroadcastSent = 138;
inline constexpr uint32_t kIconNothingReceived = 139;
inline constexpr uint32_t kIconError = 140;
inline constexpr uint32_t kIconNoTraffic = 143;
inline constexpr uint32_t kQuickLookIconNothingReceived = 145;
inline constexpr uint32_t kQuickLookIconError = 146;
inline constexpr uint32_t kQuickLookIconBroadcastSent = 147;
inline constexpr uint32_t kQuickLookIconBroadcastReceived = 148;
inline constexpr uint32_t kQuickLookIconSession = 149;
inline constexpr uint32_t kQuickLookIconNoTraffic = 150;

inline constexpr uint32_t kFirstStatusCode = 1;
inline constexpr uint32_t kLastStatusCode = 10;
inline constexpr uint32_t kStatusNothingSinceStart = 9;
inline constexpr uint32_t kStatusNothingLately = 10;
// Silence from other stations longer than this (seconds) means codes 9/10; the text says 60.
inline constexpr int64_t kSilenceSeconds = 62;
inline constexpr int kSilenceTextSeconds = 60;
inline constexpr size_t kStatusTextBytes = 64;
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

struct StatusLook {
  uint32_t tray_icon;
  uint32_t quicklook_icon;
  const char* text;  // printf format for code 10 (one %d)
};

TrafficCounters ReadTrafficCounters(const GlobalArea& g);
TrafficTimes ReadTrafficTimes(const GlobalArea& g);

// The rule itself: first match wins. `broadcast_icon_shown` is true when the tray shows icon 138 now.
uint32_t TrafficStatusCode(const TrafficCounters& now, const TrafficCounters& previous, const TrafficTimes& times,
                           uint32_t now_time, bool broadcast_icon_shown);

// Icons and text of a code 1..10; any other code gets those of code 8.
const StatusLook& LookOf(uint32_t code);
void FormatStatusText(uint32_t code, char (&out)[kStatusTextBytes]);
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
