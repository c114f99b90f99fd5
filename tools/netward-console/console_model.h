// The console's views as plain data: the window title, rates between two totals, the stations kept
// up to date from incremental STATS_PRO replies, and the tables of the views as rows of text cells
// with numeric sort keys, sorted and filtered here rather than in the toolkit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "reply_parser.h"

namespace netward::console {

using client::ParsedReply;
using client::StatRecord;
using client::TotRecord;

inline constexpr char kTitlePrefix[] = "NETWARD - ";

// "NETWARD - HOST  ADDRESS" from the totals record's host name and address text (UTF-8).
std::string WindowTitle(const TotRecord& tot);
// The reply's first totals record, or null.
const TotRecord* TotalsOf(const ParsedReply& reply);

// Frames of all six counters, and bytes of both directions.
uint64_t AllFrames(const client::TrafficCounts& c);
double AllBytes(const client::TrafficCounts& c);

struct Rates {
  bool valid = false;  // false: no earlier totals, no time between, or the counters restarted
  double frames_per_second = 0, bytes_per_second = 0;
};
Rates RatesBetween(const TotRecord& before, const TotRecord& now, double seconds);

// The stations of one agent, kept from replies of "STATS_PRO N", where N is the frame sequence of
// the previous reply's totals: only the stations that changed since come back, and replace the ones
// held (same adapter, address and protocol). A new day (DayChanges moved) or a restarted agent (the
// sequence went back) starts over from 0.
class StationBook {
 public:
  std::string NextRequest() const;
  // False when the reply cannot be merged (the caller asks again with NextRequest(), now from 0).
  bool Take(const ParsedReply& reply);
  // All stations at once (a day's TES reply, or a snapshot's).
  void Replace(const ParsedReply& reply);
  void Reset();
  const std::vector<StatRecord>& stations() const { return stations_; }
  uint32_t sequence() const { return sequence_; }

 private:
  using Key = std::tuple<uint32_t, std::string, std::string>;
  static Key KeyOf(const StatRecord& s) { return {s.adapter_number, s.address_label, s.protocol_label}; }
  std::vector<StatRecord> stations_;
  uint32_t sequence_ = 0, day_changes_ = 0;
  bool have_totals_ = false;
};

// ---- tables ----

struct Column {
  const char* title;
  bool numeric;  // sorted by the row's number, right-aligned
};

struct Row {
  std::vector<std::string> cells;  // UTF-8
  std::vector<double> numbers;     // per column; used where the column is numeric
  bool marked = false;             // an event frame
};

std::vector<Column> StationColumns();
Row StationRow(const StatRecord& s);
std::vector<Row> StationRows(const std::vector<StatRecord>& stations);

// DETAILS and ERRORS lines, newest (highest sequence) first; event lines marked.
std::vector<Column> FrameColumns();
std::vector<Row> FrameRows(const ParsedReply& reply);

// BCASTERS and BCASTSENT entries, and the header's line ("Group frames ... : N, M recent").
std::vector<Column> BroadcastColumns();
std::vector<Row> BroadcastRows(const ParsedReply& reply);
std::string BroadcastHeaderText(const ParsedReply& reply);

// Stable sort by one column: numbers for numeric columns, text (letter case folded) otherwise.
void SortRows(std::vector<Row>& rows, const std::vector<Column>& columns, size_t column, bool ascending);
// Rows any cell of which holds `text` (letter case folded); every row for an empty text.
std::vector<Row> FilterRows(const std::vector<Row>& rows, const std::string& text);

// The reply's TXT4 texts as UTF-8 with CR LF as LF; other records as `netward` prints them.
std::string ReportText(const ParsedReply& reply);

}  // namespace netward::console
