#include "console_model.h"

#include <algorithm>
#include <cctype>

#include "reply_format.h"
#include "text_table.h"

namespace netward::console {

using client::Cell;
using client::Num;
using client::Record;
using client::Tag;

std::string WindowTitle(const TotRecord& tot) {
  return kTitlePrefix + client::Latin1ToUtf8(tot.host_name) + "  " + client::Latin1ToUtf8(tot.address_text);
}

const TotRecord* TotalsOf(const ParsedReply& reply) {
  for (const Record& r : reply.records)
    if (r.tag == Tag::kTot) return &r.tot;
  return nullptr;
}

uint64_t AllFrames(const client::TrafficCounts& c) {
  return uint64_t(c.own_frames) + c.own_group_frames + c.own_event_frames + c.other_frames + c.other_group_frames +
         c.other_event_frames;
}

double AllBytes(const client::TrafficCounts& c) { return double(c.own_bytes) + double(c.other_bytes); }

Rates RatesBetween(const TotRecord& before, const TotRecord& now, double seconds) {
  Rates r;
  const uint64_t f0 = AllFrames(before), f1 = AllFrames(now);
  const double b0 = AllBytes(before), b1 = AllBytes(now);
  // Counters that went back belong to a new day or a new agent: no rate across that.
  if (!(seconds > 0) || f1 < f0 || b1 < b0 || now.day_changes != before.day_changes) return r;
  r.valid = true;
  r.frames_per_second = double(f1 - f0) / seconds;
  r.bytes_per_second = (b1 - b0) / seconds;
  return r;
}

std::string StationBook::NextRequest() const { return "STATS_PRO " + std::to_string(sequence_); }

bool StationBook::Take(const ParsedReply& reply) {
  const TotRecord* tot = TotalsOf(reply);
  if (tot == nullptr) return true;  // nothing to go by: keep what is held
  const bool restarted = have_totals_ && (tot->day_changes != day_changes_ || tot->frame_sequence < sequence_);
  if (restarted) {
    // Held stations may be gone; this reply holds only those changed since the old sequence.
    Reset();
    return false;
  }
  for (const Record& r : reply.records) {
    if (r.tag != Tag::kStat) continue;
    const Key key = KeyOf(r.stat);
    auto it = std::find_if(stations_.begin(), stations_.end(), [&](const StatRecord& s) { return KeyOf(s) == key; });
    if (it != stations_.end()) *it = r.stat;
    else stations_.push_back(r.stat);
  }
  sequence_ = tot->frame_sequence;
  day_changes_ = tot->day_changes;
  have_totals_ = true;
  return true;
}

void StationBook::Replace(const ParsedReply& reply) {
  Reset();
  for (const Record& r : reply.records)
    if (r.tag == Tag::kStat) stations_.push_back(r.stat);
}

void StationBook::Reset() {
  stations_.clear();
  sequence_ = day_changes_ = 0;
  have_totals_ = false;
}

std::vector<Column> StationColumns() {
  return {{"Address", false},     {"Protocol", false},        {"Role", false},          {"Name", false},
          {"Last seen", false},   {"Frames sent", true},      {"Frames received", true}, {"Bytes sent", true},
          {"Bytes received", true}, {"Group frames sent", true}, {"Event frames sent", true}};
}

Row StationRow(const StatRecord& s) {
  Row r;
  r.cells = {Cell(s.address_label), Cell(s.protocol_label), Cell(s.role),          Cell(s.name),
             Cell(s.last_seen),     Num(s.frames_sent),      Num(s.frames_received), Num(s.bytes_sent),
             Num(s.bytes_received), Num(s.group_frames_sent), Num(s.event_frames_sent)};
  r.numbers = {0, 0, 0, 0, 0, double(s.frames_sent), double(s.frames_received), double(s.bytes_sent),
               double(s.bytes_received), double(s.group_frames_sent), double(s.event_frames_sent)};
  return r;
}

std::vector<Row> StationRows(const std::vector<StatRecord>& stations) {
  std::vector<Row> rows;
  rows.reserve(stations.size());
  for (const StatRecord& s : stations) rows.push_back(StationRow(s));
  return rows;
}

std::vector<Column> FrameColumns() {
  return {{"Time", false}, {"Length", true},      {"Source", false},  {"Role", false}, {"Name", false},
          {"Dir", false},  {"Destination", false}, {"Summary", false}, {"Event", false}};
}

std::vector<Row> FrameRows(const ParsedReply& reply) {
  std::vector<const client::DetlRecord*> lines;
  for (const Record& r : reply.records)
    if (r.tag == Tag::kDetl) lines.push_back(&r.detl);
  std::stable_sort(lines.begin(), lines.end(), [](auto* a, auto* b) { return a->sequence > b->sequence; });
  std::vector<Row> rows;
  rows.reserve(lines.size());
  for (const client::DetlRecord* d : lines) {
    Row row;
    row.cells = {Cell(d->time_text),      Num(d->length),        Cell(d->source_text),
                 Cell(d->role_text),      Cell(d->name_text),    Cell(d->direction_mark),
                 Cell(d->destination_text), Cell(d->summary_text), Cell(d->event_text)};
    row.numbers.assign(row.cells.size(), 0);
    row.numbers[1] = d->length;
    row.marked = d->event_text.find_first_not_of(' ') != std::string::npos;
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<Column> BroadcastColumns() {
  return {{"Address", false},     {"Protocol", false},     {"Role", false}, {"Name", false}, {"Recent frames", true},
          {"Window frames", true}, {"Time", false},         {"Group", false}, {"Destination", false}};
}

std::vector<Row> BroadcastRows(const ParsedReply& reply) {
  std::vector<Row> rows;
  for (const Record& r : reply.records) {
    if (r.tag != Tag::kBent) continue;
    const client::BentRecord& b = r.bent;
    Row row;
    row.cells = {Cell(b.address_label), Cell(b.protocol_label), Cell(b.role),       Cell(b.name),
                 Num(b.recent_frames),  Num(b.window_frames),   Cell(b.time_text),  Cell(b.group_text),
                 Cell(b.destination_text)};
    row.numbers.assign(row.cells.size(), 0);
    row.numbers[4] = b.recent_frames;
    row.numbers[5] = b.window_frames;
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string BroadcastHeaderText(const ParsedReply& reply) {
  for (const Record& r : reply.records) {
    if (r.tag != Tag::kBhdr) continue;
    const client::BhdrRecord& b = r.bhdr;
    return "Group frames " + Cell(b.window_start) + " - " + Cell(b.time_text) + ": " + Num(b.group_frames) + ", " +
           Num(b.recent_frames) + " recent, " + Num(b.entry_count) + " entries";
  }
  return "No group frames";
}

namespace {

std::string Folded(const std::string& s) {
  std::string out = s;
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

void SortRows(std::vector<Row>& rows, const std::vector<Column>& columns, size_t column, bool ascending) {
  if (column >= columns.size()) return;
  const bool numeric = columns[column].numeric;
  std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
    const Row& x = ascending ? a : b;
    const Row& y = ascending ? b : a;
    if (numeric) return x.numbers[column] < y.numbers[column];
    const std::string fx = Folded(x.cells[column]), fy = Folded(y.cells[column]);
    return fx != fy ? fx < fy : x.cells[column] < y.cells[column];
  });
}

std::vector<Row> FilterRows(const std::vector<Row>& rows, const std::string& text) {
  if (text.empty()) return rows;
  const std::string want = Folded(text);
  std::vector<Row> out;
  for (const Row& r : rows) {
    for (const std::string& c : r.cells) {
      if (Folded(c).find(want) != std::string::npos) {
        out.push_back(r);
        break;
      }
    }
  }
  return out;
}

std::string ReportText(const ParsedReply& reply) {
  std::string out;
  ParsedReply rest;
  rest.header = reply.header;
  for (const Record& r : reply.records) {
    if (r.tag != Tag::kTxt4) {
      rest.records.push_back(r);
      continue;
    }
    for (char c : client::Latin1ToUtf8(r.text))
      if (c != '\r') out += c;
    if (!out.empty() && out.back() != '\n') out += '\n';
  }
  if (!rest.records.empty()) client::FormatText(rest, out);
  return out;
}

}  // namespace netward::console
