#include "watch_view.h"

#include <algorithm>
#include <cstdio>

#include "reply_format.h"
#include "text_table.h"

namespace netward::client {

namespace {

// The totals table: one row per sender, a rate column and a total column per counter.
struct CountColumn {
  const char* head;
  double (*own)(const TrafficCounts&);
  double (*other)(const TrafficCounts&);
};
constexpr CountColumn kCountColumns[] = {
    {"Bytes", [](const TrafficCounts& c) { return double(c.own_bytes); },
     [](const TrafficCounts& c) { return double(c.other_bytes); }},
    {"Frames", [](const TrafficCounts& c) { return double(c.own_frames); },
     [](const TrafficCounts& c) { return double(c.other_frames); }},
    {"Group", [](const TrafficCounts& c) { return double(c.own_group_frames); },
     [](const TrafficCounts& c) { return double(c.other_group_frames); }},
    {"Events", [](const TrafficCounts& c) { return double(c.own_event_frames); },
     [](const TrafficCounts& c) { return double(c.other_event_frames); }},
};

std::string Rate(double per_second) {
  if (per_second < 0) return "-";
  char buf[32];
  snprintf(buf, sizeof buf, "%.1f", per_second);
  return buf;
}

std::string Whole(double v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.0f", v);
  return buf;
}

// A counter's rise per second; a counter that fell (a new day, a restarted agent) counts from zero.
double PerSecond(double now, double before, double seconds) {
  return seconds > 0 ? (now >= before ? now - before : now) / seconds : -1;
}

double Bytes(const StatRecord& s) { return double(s.bytes_sent) + double(s.bytes_received); }
double Frames(const StatRecord& s) { return double(s.frames_sent) + double(s.frames_received); }

// The station table, busiest first.
struct StationColumn {
  const char* head;  // '>' first: right-aligned
  std::string (*cell)(const WatchStation&);
};
constexpr StationColumn kStationColumns[] = {
    {">Nic", [](const WatchStation& w) { return Num(w.stat.adapter_number); }},
    {"Address", [](const WatchStation& w) { return Cell(w.stat.address_label); }},
    {"Protocol", [](const WatchStation& w) { return Cell(w.stat.protocol_label); }},
    {"Role", [](const WatchStation& w) { return Cell(w.stat.role); }},
    {"Name", [](const WatchStation& w) { return Cell(w.stat.name); }},
    {">Bytes/s", [](const WatchStation& w) { return Rate(w.bytes_per_second); }},
    {">Frames/s", [](const WatchStation& w) { return Rate(w.frames_per_second); }},
    {">BytesSent", [](const WatchStation& w) { return Num(w.stat.bytes_sent); }},
    {">BytesRcvd", [](const WatchStation& w) { return Num(w.stat.bytes_received); }},
    {">FramesSent", [](const WatchStation& w) { return Num(w.stat.frames_sent); }},
    {">FramesRcvd", [](const WatchStation& w) { return Num(w.stat.frames_received); }},
    {"LastSeen", [](const WatchStation& w) { return Cell(w.stat.last_seen); }},
};

void SplitLines(const std::string& text, std::vector<std::string>& lines) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    pos = end + 1;
  }
}

}  // namespace

void WatchView::Update(const ParsedReply& reply, double elapsed_seconds) {
  reply_ = reply;
  elapsed_ = elapsed_seconds;
  const Record* tot = nullptr;
  for (const Record& r : reply.records)
    if (r.tag == Tag::kTot) tot = tot ? tot : &r;
  have_rates_ = have_totals_ && tot != nullptr && elapsed_seconds > 0;
  if (tot != nullptr) {
    previous_totals_ = totals_;
    totals_ = tot->tot;
  }
  have_totals_ = tot != nullptr;

  std::map<StationKey, Counts> now;
  stations_.clear();
  for (const Record& r : reply.records) {
    if (r.tag != Tag::kStat) continue;
    WatchStation& w = stations_.emplace_back();
    w.stat = r.stat;
    const StationKey key{r.stat.adapter_number, r.stat.address_label, r.stat.protocol_label};
    now[key] = Counts{Bytes(r.stat), Frames(r.stat)};
    auto before = previous_stations_.find(key);
    if (elapsed_seconds > 0) {
      const Counts was = before != previous_stations_.end() ? before->second : Counts{};
      w.bytes_per_second = PerSecond(Bytes(r.stat), was.bytes, elapsed_seconds);
      w.frames_per_second = PerSecond(Frames(r.stat), was.frames, elapsed_seconds);
    }
  }
  previous_stations_ = std::move(now);
  std::stable_sort(stations_.begin(), stations_.end(), [](const WatchStation& a, const WatchStation& b) {
    if (a.bytes_per_second != b.bytes_per_second) return a.bytes_per_second > b.bytes_per_second;
    return Bytes(a.stat) > Bytes(b.stat);
  });
}

std::vector<std::string> WatchView::Lines(const std::string& title, size_t rows) const {
  std::vector<std::string> lines{title};
  if (!have_totals_) {
    std::string text;
    FormatText(reply_, text);
    SplitLines(text, lines);
  } else {
    const TotRecord& t = totals_;
    const double seconds = have_rates_ ? elapsed_ : 0;
    std::string head = "Host " + Cell(t.host_name) + (t.address_text.empty() ? "" : "  " + Cell(t.address_text)) +
                       "  frames " +
                       Num(t.frame_sequence) + " (" +
                       Rate(have_rates_ ? PerSecond(t.frame_sequence, previous_totals_.frame_sequence, seconds) : -1) +
                       "/s)  day changes " + Num(t.day_changes) + "  last frame from another station " +
                       Num(t.seconds_since_other) + " s ago";
    lines.push_back(head);
    lines.emplace_back();

    std::vector<std::string> heads{""};
    for (const CountColumn& c : kCountColumns) heads.push_back(std::string(">") + c.head + "/s");
    for (const CountColumn& c : kCountColumns) heads.push_back(std::string(">") + c.head);
    Table totals(heads);
    for (const bool own : {true, false}) {
      std::vector<std::string> row{own ? "Own" : "Other"};
      for (const CountColumn& c : kCountColumns) {
        auto value = own ? c.own : c.other;
        row.push_back(Rate(have_rates_ ? PerSecond(value(t), value(previous_totals_), seconds) : -1));
      }
      for (const CountColumn& c : kCountColumns) row.push_back(Whole((own ? c.own : c.other)(t)));
      totals.Row(std::move(row));
    }
    std::string text;
    totals.Render(text);
    SplitLines(text, lines);

    if (!stations_.empty()) {
      lines.emplace_back();
      lines.push_back("Stations: " + std::to_string(stations_.size()) + ", busiest first");
      std::vector<std::string> station_heads;
      for (const StationColumn& c : kStationColumns) station_heads.emplace_back(c.head);
      Table table(station_heads);
      for (const WatchStation& w : stations_) {
        std::vector<std::string> row;
        for (const StationColumn& c : kStationColumns) row.push_back(c.cell(w));
        table.Row(std::move(row));
      }
      text.clear();
      table.Render(text);
      SplitLines(text, lines);
    }
  }
  if (lines.size() > rows) lines.resize(rows);
  return lines;
}

}  // namespace netward::client
