#include "taskbar/traffic_status.h"

#include <cstdio>

namespace netward {

namespace {

uint32_t Load(const std::atomic<uint32_t>& a) { return a.load(std::memory_order_relaxed); }

}  // namespace

TrafficCounters ReadTrafficCounters(const GlobalArea& g) {
  TrafficCounters c;
  c.OwnBytes = g.OwnBytes.load(std::memory_order_relaxed);
  c.OwnFrames = Load(g.OwnFrames);
  c.OwnGroupFrames = Load(g.OwnGroupFrames);
  c.OwnEventFrames = Load(g.OwnEventFrames);
  c.OtherBytes = g.OtherBytes.load(std::memory_order_relaxed);
  c.OtherFrames = Load(g.OtherFrames);
  c.OtherGroupFrames = Load(g.OtherGroupFrames);
  c.OtherEventFrames = Load(g.OtherEventFrames);
  return c;
}

TrafficTimes ReadTrafficTimes(const GlobalArea& g) {
  return {Load(g.LastOtherTime), Load(g.LastOwnGroupTime), Load(g.LastOwnUnicastTime), Load(g.LastOtherUnicastTime)};
}

uint32_t TrafficStatusCode(const TrafficCounters& now, const TrafficCounters& previous, const TrafficTimes& times,
                           uint32_t now_time, bool broadcast_icon_shown) {
  if (now.OwnEventFrames > previous.OwnEventFrames) return 1;
  if (now.OtherEventFrames > previous.OtherEventFrames) return 2;
  if (now.OwnGroupFrames > previous.OwnGroupFrames) return 3;
  if (now.OtherFrames > previous.OtherFrames) return 4;
  if (now.OwnFrames > previous.OwnFrames) return 5;
  // Unicast traffic in the same second as (or after) the last broadcast sent: shown once the
  // broadcast second is over. The times compare as signed values.
  const int32_t own_group = static_cast<int32_t>(times.LastOwnGroupTime);
  if (broadcast_icon_shown && (static_cast<int32_t>(times.LastOtherUnicastTime) >= own_group ||
                               static_cast<int32_t>(times.LastOwnUnicastTime) >= own_group))
    return 6;
  if (now.OtherGroupFrames > previous.OtherGroupFrames) return 7;
  if (int64_t(now_time) - int64_t(times.LastOtherTime) > kSilenceSeconds)
    return times.LastOtherTime != 0 ? kStatusNothingLately : kStatusNothingSinceStart;
  return 8;
}

void FormatHostAndAddress(const GlobalArea& g, const char* format, char* out, size_t size) {
  char host[decltype(g.HostName)::kSize];
  char address[decltype(g.AddressText)::kSize];
  g.HostName.Get(host);
  g.AddressText.Get(address);
  snprintf(out, size, format, host, address);
}

void FormatTooltip(const GlobalArea& g, char (&out)[kTooltipBytes]) {
  FormatHostAndAddress(g, "NETWARD - %s  %s", out, sizeof out);
}

bool EvaluateTrafficStatus(GlobalArea& g, const TrafficCounters& previous, uint32_t now_time, StatusView& view) {
  const uint32_t code = TrafficStatusCode(ReadTrafficCounters(g), previous, ReadTrafficTimes(g), now_time,
                                          view.tray_icon == kIconBroadcastSent);
  const uint32_t before = g.StatusCode.load(std::memory_order_relaxed);
  g.StatusCode.store(code, std::memory_order_relaxed);
  const StatusLook& look = LookOf(code);
  view.tray_icon = look.tray_icon;
  view.quicklook_icon = look.quicklook_icon;
  FormatStatusText(code, view.text);
  return code >= kStatusNothingSinceStart || code != before;
}

}  // namespace netward
