// The History view's arithmetic: the day list, a day's ten-minute intervals as chart series, the
// month's average per interval, and the chart's scale and geometry. Drawing is the toolkit's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "reply_parser.h"

namespace netward::console {

inline constexpr size_t kIntervalsPerDay = 144;  // ten minutes each; interval = hour * 6 + minute / 10

// The HIST dates of a HISTORY_LIST reply ("YYYYMMDD"), oldest first, duplicates dropped.
std::vector<std::string> HistoryDays(const client::ParsedReply& reply);
// The dates of `days` in the month of `day` (same "YYYYMM").
std::vector<std::string> DaysOfMonth(const std::vector<std::string>& days, const std::string& day);
// "2026-12-07" for "20261207" (other texts as they are).
std::string DayLabel(const std::string& day);
// "HH:MM" at the start of an interval.
std::string IntervalLabel(uint32_t interval);

// One interval of the chart.
struct ChartInterval {
  uint32_t interval = 0;
  double own_frames = 0, other_frames = 0;  // all frames each side sent (group and event included)
  double group_frames = 0, event_frames = 0;
  double own_bytes = 0, other_bytes = 0;
};

// The TET records of a reply, one each, in interval order (records of the same interval keep
// their order). Each is the traffic of one checkpoint period, filed under the interval its period
// ended in; the agent's start marker and today's running period may share an interval. Intervals
// outside the day are dropped.
std::vector<ChartInterval> ChartIntervals(const client::ParsedReply& tet_reply);
// The records added up per interval of the day: what one bar of the chart shows.
std::array<ChartInterval, kIntervalsPerDay> SumByInterval(const std::vector<ChartInterval>& intervals);

struct Average {
  std::array<double, kIntervalsPerDay> frames{}, bytes{};
  size_t days = 0;
};
// Frames and bytes per interval averaged over `days_tet` (one TET reply per day of the month; an
// interval a day has no record for counts as nothing that day).
Average MonthAverage(const std::vector<client::ParsedReply>& days_tet);

// The top of a scale holding `max`: 1, 2 or 5 times a power of ten, at least 1.
double NiceTop(double max);

// A scale's top as text: "500", "2k", "10M", "1G" (1k = 1000).
std::string ScaleLabel(double top);

// Geometry of a chart panel: intervals side by side over `width`, values upwards from `bottom`.
struct Panel {
  double left = 0, top = 0, width = 0, height = 0;
  double scale_top = 1;
  double IntervalX(uint32_t interval) const { return left + width * interval / kIntervalsPerDay; }
  double BarWidth() const { return width / kIntervalsPerDay; }
  // y of a value (clamped into the panel).
  double ValueY(double v) const;
};

}  // namespace netward::console
