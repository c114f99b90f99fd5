#include "taskbar/status_look.h"

#include <cstdio>

namespace netward {

namespace {

constexpr char kNothingLatelyFormat[] = "No traffic received in over %d seconds";

// Indexed by code - 1.
constexpr StatusLook kLooks[] = {
    {kIconError, kQuickLookIconError, "Error detected"},
    {kIconError, kQuickLookIconError, "Error detected"},
    {kIconBroadcastSent, kQuickLookIconBroadcastSent, "Broadcast traffic sent"},
    {kIconSession, kQuickLookIconSession, "Session traffic"},
    {kIconSession, kQuickLookIconSession, "Session traffic"},
    {kIconSession, kQuickLookIconSession, "Session traffic since last broadcast"},
    {kIconBroadcastReceived, kQuickLookIconBroadcastReceived, "Broadcast traffic received"},
    {kIconNoTraffic, kQuickLookIconNoTraffic, "No traffic sent or received"},
    {kIconNothingReceived, kQuickLookIconNothingReceived, "NO traffic received since PC started"},
    {kIconNothingReceived, kQuickLookIconNothingReceived, kNothingLatelyFormat},
};
static_assert(sizeof kLooks / sizeof kLooks[0] == kLastStatusCode);

// The six pictures, by icon resource number (tray and QuickLook share them).
struct IconPicture {
  uint32_t resource;
  const char* name;
};
constexpr IconPicture kPictures[] = {
    {kIconBroadcastReceived, "broadcast-received"},
    {kIconSession, "session"},
    {kIconBroadcastSent, "broadcast-sent"},
    {kIconNothingReceived, "nothing-received"},
    {kIconError, "error"},
    {kIconNoTraffic, "no-traffic"},
    {kQuickLookIconNothingReceived, "nothing-received"},
    {kQuickLookIconError, "error"},
    {kQuickLookIconBroadcastSent, "broadcast-sent"},
    {kQuickLookIconBroadcastReceived, "broadcast-received"},
    {kQuickLookIconSession, "session"},
    {kQuickLookIconNoTraffic, "no-traffic"},
};

}  // namespace

const StatusLook& LookOf(uint32_t code) {
  if (code < kFirstStatusCode || code > kLastStatusCode) code = 8;
  return kLooks[code - 1];
}

void FormatStatusText(uint32_t code, char (&out)[kStatusTextBytes]) {
  if (code == kStatusNothingLately)
    snprintf(out, sizeof out, kNothingLatelyFormat, kSilenceTextSeconds);
  else
    snprintf(out, sizeof out, "%s", LookOf(code).text);
}

const char* IconPictureName(uint32_t resource) {
  for (const IconPicture& p : kPictures)
    if (p.resource == resource) return p.name;
  return nullptr;
}

}  // namespace netward
