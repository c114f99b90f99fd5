#include "history_chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace netward::console {

using client::Record;
using client::Tag;

std::vector<std::string> HistoryDays(const client::ParsedReply& reply) {
  std::vector<std::string> days;
  for (const Record& r : reply.records)
    if (r.tag == Tag::kHist && !r.text.empty()) days.push_back(r.text);
  std::sort(days.begin(), days.end());
  days.erase(std::unique(days.begin(), days.end()), days.end());
  return days;
}

std::vector<std::string> DaysOfMonth(const std::vector<std::string>& days, const std::string& day) {
  std::vector<std::string> out;
  if (day.size() < 6) return out;
  for (const std::string& d : days)
    if (d.size() == day.size() && d.compare(0, 6, day, 0, 6) == 0) out.push_back(d);
  return out;
}

std::string DayLabel(const std::string& day) {
  if (day.size() != 8 || day.find_first_not_of("0123456789") != std::string::npos) return day;
  return day.substr(0, 4) + "-" + day.substr(4, 2) + "-" + day.substr(6, 2);
}

std::string IntervalLabel(uint32_t interval) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02u:%02u", (interval / 6) % 100u, (interval % 6) * 10);
  return buf;
}

std::vector<ChartInterval> ChartIntervals(const client::ParsedReply& tet_reply) {
  std::vector<ChartInterval> out;
  for (const Record& r : tet_reply.records) {
    if (r.tag != Tag::kTet || r.tet.interval >= kIntervalsPerDay) continue;
    const client::TetRecord& t = r.tet;
    ChartInterval c;
    c.interval = t.interval;
    c.own_frames = double(t.own_frames) + t.own_group_frames + t.own_event_frames;
    c.other_frames = double(t.other_frames) + t.other_group_frames + t.other_event_frames;
    c.group_frames = double(t.own_group_frames) + t.other_group_frames;
    c.event_frames = double(t.own_event_frames) + t.other_event_frames;
    c.own_bytes = t.own_bytes;
    c.other_bytes = t.other_bytes;
    out.push_back(c);
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const ChartInterval& a, const ChartInterval& b) { return a.interval < b.interval; });
  return out;
}

std::array<ChartInterval, kIntervalsPerDay> SumByInterval(const std::vector<ChartInterval>& intervals) {
  std::array<ChartInterval, kIntervalsPerDay> sums{};
  for (uint32_t i = 0; i < kIntervalsPerDay; ++i) sums[i].interval = i;
  for (const ChartInterval& c : intervals) {
    ChartInterval& s = sums[c.interval];
    s.own_frames += c.own_frames;
    s.other_frames += c.other_frames;
    s.group_frames += c.group_frames;
    s.event_frames += c.event_frames;
    s.own_bytes += c.own_bytes;
    s.other_bytes += c.other_bytes;
  }
  return sums;
}

Average MonthAverage(const std::vector<client::ParsedReply>& days_tet) {
  Average a;
  for (const client::ParsedReply& day : days_tet) {
    for (const ChartInterval& c : ChartIntervals(day)) {
      a.frames[c.interval] += c.own_frames + c.other_frames;
      a.bytes[c.interval] += c.own_bytes + c.other_bytes;
    }
  }
  a.days = days_tet.size();
  if (a.days > 0) {
    for (size_t i = 0; i < kIntervalsPerDay; ++i) {
      a.frames[i] /= double(a.days);
      a.bytes[i] /= double(a.days);
    }
  }
  return a;
}

double NiceTop(double max) {
  if (!(max > 1) || !std::isfinite(max)) return 1;
  const double power = std::pow(10.0, std::floor(std::log10(max)));
  for (double step : {1.0, 2.0, 5.0, 10.0})
    if (step * power >= max) return step * power;
  return 10 * power;
}

std::string ScaleLabel(double top) {
  const char* units[] = {"", "k", "M", "G", "T"};
  size_t u = 0;
  while (top >= 1000 && u + 1 < sizeof units / sizeof units[0]) {
    top /= 1000;
    ++u;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.0f%s", top, units[u]);
  return buf;
}

double Panel::ValueY(double v) const {
  const double share = scale_top > 0 ? std::clamp(v / scale_top, 0.0, 1.0) : 0.0;
  return top + height - share * height;
}

}  // namespace netward::console
