// What a traffic state looks like: its icon resource numbers, its picture file and its text. Plain
// data shared by the tray, QuickLook and the desktop client (which shows the state of the reply
// header), so that all three show a state the same way.
#pragma once

#include <cstddef>
#include <cstdint>

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
inline constexpr int kSilenceTextSeconds = 60;
inline constexpr size_t kStatusTextBytes = 64;

struct StatusLook {
  uint32_t tray_icon;
  uint32_t quicklook_icon;
  const char* text;  // printf format for code 10 (one %d)
};

// Icons and text of a code 1..10; any other code gets those of code 8.
const StatusLook& LookOf(uint32_t code);
void FormatStatusText(uint32_t code, char (&out)[kStatusTextBytes]);

// The picture of an icon resource: "error", "session", ... (icons/<name>.svg of the desktop's
// resource bundle; the tray's icon names are these with "netward-" before them). Null when the
// number is none of the twelve.
const char* IconPictureName(uint32_t resource);

}  // namespace netward
