// The console's logic without a display: title, rates, the incremental station book, table sorting
// and filtering, the rows of each view, the history chart's arithmetic, the command line and key
// sources, the snapshot source's answers, and the fetch worker and refresh clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <deque>
#include <future>
#include <thread>

#include "console_model.h"
#include "console_options.h"
#include "fetch_worker.h"
#include "history_chart.h"
#include "reply_source.h"

namespace netward::console {
namespace {

using client::Record;
using client::Tag;

Record Tot(uint32_t sequence, uint32_t day_changes = 0, uint32_t frames = 0, float bytes = 0) {
  Record r;
  r.tag = Tag::kTot;
  r.tot.frame_sequence = sequence;
  r.tot.day_changes = day_changes;
  r.tot.other_frames = frames;
  r.tot.other_bytes = bytes;
  return r;
}

Record Stat(const std::string& address, const std::string& protocol, uint32_t sent, uint32_t adapter = 0) {
  Record r;
  r.tag = Tag::kStat;
  r.stat.adapter_number = adapter;
  r.stat.address_label = address;
  r.stat.protocol_label = protocol;
  r.stat.frames_sent = sent;
  return r;
}

ParsedReply Reply(std::vector<Record> records) {
  ParsedReply p;
  p.records = std::move(records);
  return p;
}

TEST(ConsoleModel, TitleIsNetwardHostTwoBlanksAddressInUtf8) {
  TotRecord t;
  t.host_name = "PC\xC9";  // Latin-1 E acute
  t.address_text = "IP=10.1.0.10";
  EXPECT_EQ(WindowTitle(t), "NETWARD - PC\xC3\x89  IP=10.1.0.10");
}

TEST(ConsoleModel, RatesOnlyBetweenComparableTotals) {
  Record a = Tot(10, 0, 100, 1000), b = Tot(20, 0, 400, 7000);
  Rates r = RatesBetween(a.tot, b.tot, 2.0);
  ASSERT_TRUE(r.valid);
  EXPECT_DOUBLE_EQ(r.frames_per_second, 150);
  EXPECT_DOUBLE_EQ(r.bytes_per_second, 3000);
  EXPECT_FALSE(RatesBetween(a.tot, b.tot, 0).valid);
  EXPECT_FALSE(RatesBetween(b.tot, a.tot, 2).valid) << "counters that went back: a new agent";
  EXPECT_FALSE(RatesBetween(a.tot, Tot(20, 1, 400, 7000).tot, 2).valid) << "a new day";
  // Every one of the six frame counters counts.
  Record c = b;
  c.tot.own_group_frames = 7;
  c.tot.own_event_frames = 3;
  EXPECT_EQ(AllFrames(c.tot), 410u);
}

TEST(StationBook, MergesChangedStationsBySequence) {
  StationBook book;
  EXPECT_EQ(book.NextRequest(), "STATS_PRO 0");
  ASSERT_TRUE(book.Take(Reply({Tot(100), Stat("A", "IP 1", 5), Stat("B", "IP 2", 6)})));
  EXPECT_EQ(book.NextRequest(), "STATS_PRO 100");
  // B changed, C is new; the same address on another protocol or adapter is another station.
  ASSERT_TRUE(book.Take(Reply({Tot(150), Stat("B", "IP 2", 60), Stat("C", "IPX", 1), Stat("A", "NetBEUI", 2),
                               Stat("A", "IP 1", 9, 1)})));
  ASSERT_EQ(book.stations().size(), 5u);
  EXPECT_EQ(book.stations()[0].frames_sent, 5u);
  EXPECT_EQ(book.stations()[1].frames_sent, 60u);
  EXPECT_EQ(book.NextRequest(), "STATS_PRO 150");
  // Nothing changed: the book stays, the sequence moves.
  ASSERT_TRUE(book.Take(Reply({Tot(160)})));
  EXPECT_EQ(book.stations().size(), 5u);
  EXPECT_EQ(book.NextRequest(), "STATS_PRO 160");
  // A reply without totals says nothing about the sequence.
  ASSERT_TRUE(book.Take(Reply({})));
  EXPECT_EQ(book.sequence(), 160u);
}

TEST(StationBook, NewDayOrRestartedAgentStartsOver) {
  StationBook book;
  ASSERT_TRUE(book.Take(Reply({Tot(100), Stat("A", "IP", 5)})));
  EXPECT_FALSE(book.Take(Reply({Tot(120, 1), Stat("B", "IP", 1)})));
  EXPECT_TRUE(book.stations().empty());
  EXPECT_EQ(book.NextRequest(), "STATS_PRO 0");
  ASSERT_TRUE(book.Take(Reply({Tot(130, 1), Stat("B", "IP", 1)})));
  EXPECT_FALSE(book.Take(Reply({Tot(20, 1)}))) << "the sequence went back: another agent";
  EXPECT_EQ(book.NextRequest(), "STATS_PRO 0");
  book.Replace(Reply({Stat("X", "IP", 1), Stat("Y", "IP", 2)}));
  EXPECT_EQ(book.stations().size(), 2u);
}

std::vector<Row> Rows(std::vector<std::pair<std::string, double>> v) {
  std::vector<Row> rows;
  for (auto& [text, n] : v) rows.push_back(Row{{text, std::to_string(int(n))}, {0, n}, false});
  return rows;
}

TEST(Tables, SortByNumberOrFoldedTextStably) {
  const std::vector<Column> cols = {{"Name", false}, {"Frames", true}};
  std::vector<Row> rows = Rows({{"b", 10}, {"A", 2}, {"c", 10}, {"a", 100}});
  SortRows(rows, cols, 1, false);
  EXPECT_EQ(rows[0].cells[0], "a");
  EXPECT_EQ(rows[1].cells[0], "b") << "equal numbers keep their order";
  EXPECT_EQ(rows[2].cells[0], "c");
  SortRows(rows, cols, 1, true);
  EXPECT_EQ(rows[0].cells[0], "A");
  EXPECT_EQ(rows[3].cells[0], "a");
  SortRows(rows, cols, 0, true);  // "2" < "10" would be wrong for numbers; texts fold letter case
  EXPECT_EQ(rows[0].cells[0], "A");
  EXPECT_EQ(rows[1].cells[0], "a");
  EXPECT_EQ(rows[3].cells[0], "c");
  std::vector<Row> before = rows;
  SortRows(rows, cols, 7, true);
  EXPECT_EQ(rows[0].cells, before[0].cells);
}

TEST(Tables, FilterMatchesAnyCellIgnoringCase) {
  const std::vector<Row> rows = Rows({{"WS0001", 1}, {"ws0002", 22}, {"router", 3}});
  EXPECT_EQ(FilterRows(rows, "").size(), 3u);
  EXPECT_EQ(FilterRows(rows, "Ws00").size(), 2u);
  EXPECT_EQ(FilterRows(rows, "22").size(), 1u);
  EXPECT_TRUE(FilterRows(rows, "none").empty());
}

TEST(Views, StationRowsCarryNumbersForSorting) {
  Record s = Stat("*00600800000A", "NetBEUI", 1234);
  s.stat.bytes_sent = 5.0e6f;
  Row r = StationRow(s.stat);
  ASSERT_EQ(r.cells.size(), StationColumns().size());
  ASSERT_EQ(r.numbers.size(), StationColumns().size());
  EXPECT_EQ(r.cells[0], "*00600800000A");
  EXPECT_EQ(r.cells[5], "1234");
  EXPECT_DOUBLE_EQ(r.numbers[7], 5.0e6);
}

TEST(Views, FramesNewestFirstWithEventsMarked) {
  std::vector<Record> recs = {Tot(3)};
  for (uint32_t seq : {2u, 3u, 1u}) {
    Record d;
    d.tag = Tag::kDetl;
    d.detl.sequence = seq;
    d.detl.length = 60 + seq;
    d.detl.event_text = seq == 3 ? "TCP Reset" : "   ";
    recs.push_back(d);
  }
  std::vector<Row> rows = FrameRows(Reply(recs));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].cells[1], "63");
  EXPECT_TRUE(rows[0].marked);
  EXPECT_FALSE(rows[1].marked) << "a blank event text is no event";
  EXPECT_EQ(rows[2].cells[1], "61");
  EXPECT_EQ(rows[0].cells.size(), FrameColumns().size());
}

TEST(Views, BroadcastsAndReports) {
  Record h;
  h.tag = Tag::kBhdr;
  h.bhdr.window_start = "06:00:00";
  h.bhdr.time_text = "06:15:00";
  h.bhdr.group_frames = 40;
  h.bhdr.recent_frames = 4;
  h.bhdr.entry_count = 1;
  Record e;
  e.tag = Tag::kBent;
  e.bent.address_label = "0020AF000001";
  e.bent.window_frames = 40;
  const ParsedReply reply = Reply({h, e});
  EXPECT_EQ(BroadcastHeaderText(reply), "Group frames 06:00:00 - 06:15:00: 40, 4 recent, 1 entries");
  ASSERT_EQ(BroadcastRows(reply).size(), 1u);
  EXPECT_DOUBLE_EQ(BroadcastRows(reply)[0].numbers[5], 40);
  EXPECT_EQ(BroadcastHeaderText(Reply({})), "No group frames");
  Record t;
  t.tag = Tag::kTxt4;
  t.text = "Line 1\r\nCaf\xE9\r\n";
  EXPECT_EQ(ReportText(Reply({t})), "Line 1\nCaf\xC3\xA9\n");
}

Record Tet(uint32_t interval, uint32_t own, uint32_t other, float bytes = 0) {
  Record r;
  r.tag = Tag::kTet;
  r.tet.interval = interval;
  r.tet.own_frames = own;
  r.tet.other_frames = other;
  r.tet.other_group_frames = 1;
  r.tet.other_bytes = bytes;
  return r;
}

TEST(HistoryChart, DaysAndLabels) {
  Record a, b, c;
  a.tag = b.tag = c.tag = Tag::kHist;
  a.text = "20261207";
  b.text = "20261130";
  c.text = "20261201";
  const std::vector<std::string> days = HistoryDays(Reply({a, b, c, a, Tot(1)}));
  EXPECT_EQ(days, (std::vector<std::string>{"20261130", "20261201", "20261207"}));
  EXPECT_EQ(DaysOfMonth(days, "20261207"), (std::vector<std::string>{"20261201", "20261207"}));
  EXPECT_EQ(DayLabel("20261207"), "2026-12-07");
  EXPECT_EQ(DayLabel("junk"), "junk");
  EXPECT_EQ(IntervalLabel(0), "00:00");
  EXPECT_EQ(IntervalLabel(143), "23:50");
  EXPECT_EQ(IntervalLabel(39), "06:30");
}

TEST(HistoryChart, EveryRecordIsAnIntervalAndBarsAddUp) {
  // The agent's start marker and today's running period share interval 39.
  const ParsedReply day = Reply({Tet(39, 0, 0), Tet(12, 1, 2), Tet(39, 5, 10, 100), Tet(144, 9, 9)});
  std::vector<ChartInterval> iv = ChartIntervals(day);
  ASSERT_EQ(iv.size(), 3u) << "interval 144 is not of the day";
  EXPECT_EQ(iv[0].interval, 12u);
  EXPECT_DOUBLE_EQ(iv[2].other_frames, 11) << "group frames are frames the other stations sent";
  EXPECT_DOUBLE_EQ(iv[2].group_frames, 1);
  auto bars = SumByInterval(iv);
  EXPECT_DOUBLE_EQ(bars[39].own_frames, 5);
  EXPECT_DOUBLE_EQ(bars[39].other_frames, 12);
  EXPECT_DOUBLE_EQ(bars[0].own_frames, 0);
}

TEST(HistoryChart, MonthAverageCountsMissingIntervalsAsNothing) {
  const Average a = MonthAverage({Reply({Tet(10, 10, 0, 50)}), Reply({Tet(10, 20, 0, 150), Tet(11, 4, 0)})});
  EXPECT_EQ(a.days, 2u);
  EXPECT_DOUBLE_EQ(a.frames[10], 16) << "(10 + 1 group) and (20 + 1 group) over two days";
  EXPECT_DOUBLE_EQ(a.bytes[10], 100);
  EXPECT_DOUBLE_EQ(a.frames[11], 2.5);
  EXPECT_DOUBLE_EQ(a.frames[12], 0);
  EXPECT_EQ(MonthAverage({}).days, 0u);
}

TEST(HistoryChart, ScaleAndGeometry) {
  const std::pair<double, double> tops[] = {{0, 1}, {1, 1}, {7, 10}, {11, 20}, {20, 20}, {21, 50},
                                            {1000, 1000}, {1001, 2000}, {NAN, 1}};
  for (const auto& [value, top] : tops) EXPECT_EQ(NiceTop(value), top) << value;
  EXPECT_EQ(ScaleLabel(500), "500");
  EXPECT_EQ(ScaleLabel(2000), "2k");
  EXPECT_EQ(ScaleLabel(1e7), "10M");
  Panel p{10, 20, 144 * 3, 100, 50};
  EXPECT_DOUBLE_EQ(p.IntervalX(0), 10);
  EXPECT_DOUBLE_EQ(p.IntervalX(144), 10 + 432);
  EXPECT_DOUBLE_EQ(p.BarWidth(), 3);
  EXPECT_DOUBLE_EQ(p.ValueY(0), 120);
  EXPECT_DOUBLE_EQ(p.ValueY(25), 70);
  EXPECT_DOUBLE_EQ(p.ValueY(500), 20) << "clamped to the panel";
  EXPECT_DOUBLE_EQ(p.ValueY(-1), 120);
}

bool Parse(std::vector<std::string> args, ConsoleOptions& o, std::string& err) {
  o = ConsoleOptions{};
  return ParseConsoleArgs(args, o, err);
}

TEST(ConsoleOptions, AgentFromArguments) {
  using Kind = client::Target::Kind;
  const struct {
    std::vector<std::string> args;
    Kind kind;
    std::string host;
    uint16_t port;
  } cases[] = {
      {{"pc7:4000"}, Kind::kTcp, "pc7", 4000},       {{"pc7"}, Kind::kEpm, "pc7", 0},
      {{"[::1]:4001"}, Kind::kTcp, "::1", 4001},     {{"::1"}, Kind::kEpm, "::1", 0},
      {{"--host", "pc7"}, Kind::kEpm, "pc7", 0},     {{"--host=pc7", "--port", "99"}, Kind::kTcp, "pc7", 99},
  };
  ConsoleOptions o;
  std::string err;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    ASSERT_TRUE(Parse(c.args, o, err)) << err;
    EXPECT_EQ(o.target.kind, c.kind);
    EXPECT_EQ(o.target.host, c.host);
    EXPECT_EQ(o.target.port, c.port);
  }
  ASSERT_TRUE(Parse({}, o, err));
  EXPECT_EQ(o.target.kind, Kind::kLocal);
  EXPECT_EQ(o.target.local_path, kDefaultLocalEndpoint);
  EXPECT_FALSE(o.target_given);
  ASSERT_TRUE(Parse({"--key", "k", "--timeout", "5", "--snapshot", "x.NWS"}, o, err)) << err;
  EXPECT_EQ(o.target.timeout_ms, 5000u);
  EXPECT_TRUE(o.have_key);
  EXPECT_EQ(o.snapshot, "x.NWS");
}

TEST(ConsoleOptions, UsageErrors) {
  ConsoleOptions o;
  std::string err;
  for (const auto& args : std::vector<std::vector<std::string>>{
           {"pc7:"}, {"pc7:0"}, {"pc7:65536"}, {"--port", "x"}, {"--port", "1", "--local", "/s"}, {"a", "b"},
           {"pc7:1", "--host", "h"}, {"--key", "12345678901234567"}, {"--snapshot", "x", "--local", "/s"},
           {"--frobnicate"}, {"--key"}, {"[::1"}}) {
    EXPECT_FALSE(Parse(args, o, err)) << args[0];
    EXPECT_FALSE(err.empty());
  }
}

TEST(ConsoleOptions, KeyFromCommandLineThenHandoffThenEnvironment) {
  ConsoleOptions o;
  std::string err, endpoint = "/run/user/1/agent.sock", key = std::string("k\0y", 3);
  ASSERT_TRUE(Parse({"--key", "given"}, o, err));
  ApplyKeySources(o, &endpoint, &key, "env");
  EXPECT_EQ(o.key, "given");
  EXPECT_EQ(o.target.local_path, endpoint) << "the agent's own endpoint when none is named";
  ASSERT_TRUE(Parse({"--local", "/mine"}, o, err));
  ApplyKeySources(o, &endpoint, &key, "env");
  EXPECT_EQ(o.key, key);
  EXPECT_EQ(o.target.local_path, "/mine");
  ASSERT_TRUE(Parse({}, o, err));
  ApplyKeySources(o, nullptr, nullptr, "env");
  EXPECT_EQ(o.key, "env");
  ASSERT_TRUE(Parse({}, o, err));
  ApplyKeySources(o, nullptr, nullptr, nullptr);
  EXPECT_FALSE(o.have_key) << "asked for";
  ApplyKeySources(o, nullptr, nullptr, "this key is far too long");
  EXPECT_FALSE(o.have_key);
}

client::SnapshotRecord Named(const std::string& name, std::vector<Record> records) {
  client::SnapshotRecord r;
  r.name = name;
  r.reply = Reply(std::move(records));
  return r;
}

TEST(SnapshotSource, AnswersTheViewsRequests) {
  SnapshotSource s("x.NWS", {Named("OPEN ", {Tot(7)}), Named("TET 20261207", {Tet(3, 1, 1)}),
                             Named("TES 20261207", {Stat("A", "IP", 1), Stat("B", "IP", 2)}),
                             Named("DETAILS 0", {Tot(7)})});
  EXPECT_FALSE(s.live());
  EXPECT_EQ(s.Where(), "snapshot x.NWS");
  Fetched f = s.Fetch("STATS_PRO 0");
  ASSERT_EQ(f.status, FetchStatus::kOk);
  EXPECT_EQ(f.reply.records.size(), 2u) << "the day's statistics stand for the stations";
  EXPECT_EQ(TotalsOf(s.Fetch("TOTAL").reply)->frame_sequence, 7u);
  EXPECT_EQ(s.Fetch("DETAILS 0").status, FetchStatus::kOk);
  Fetched days = s.Fetch("HISTORY_LIST");
  ASSERT_EQ(days.status, FetchStatus::kOk);
  EXPECT_EQ(HistoryDays(days.reply), std::vector<std::string>{"20261207"});
  EXPECT_EQ(s.Fetch("TET 20261207").reply.records.size(), 1u);
  EXPECT_EQ(s.Fetch("OID").status, FetchStatus::kMissing);
}

TEST(SnapshotSource, ImageReplyBecomesTheFile) {
  Fetched image;
  std::vector<uint8_t> file;
  std::string err;
  image.block.assign(client::kHeaderBytes, 0);
  EXPECT_FALSE(SnapshotFileOf(image, file, err));
  const uint8_t body[] = {'N', 'W', 'S', ' ', 0, 0, 0, 0};
  image.block.insert(image.block.end(), body, body + sizeof body);
  ASSERT_TRUE(SnapshotFileOf(image, file, err)) << err;
  EXPECT_EQ(file, std::vector<uint8_t>(body, body + sizeof body));
  image.block.back() = 9;  // a record length that runs past the end
  image.block.push_back(0);
  EXPECT_FALSE(SnapshotFileOf(image, file, err));
  image.status = FetchStatus::kKeyRejected;
  image.message = "refused";
  EXPECT_FALSE(SnapshotFileOf(image, file, err));
  EXPECT_EQ(err, "refused");
  bool malformed = true;
  EXPECT_EQ(OpenSnapshot("/nonexistent/x.NWS", err, &malformed), nullptr);
  EXPECT_FALSE(malformed);
}

TEST(LiveSource, UnreachableAgentIsSaidSo) {
  client::Target t;
  t.kind = client::Target::Kind::kLocal;
  t.local_path = "/nonexistent/netward.sock";
  LiveSource s(t, "key");
  Fetched f = s.Fetch("TOTAL");
  EXPECT_EQ(f.status, FetchStatus::kUnreachable);
  EXPECT_NE(f.message.find("/nonexistent/netward.sock"), std::string::npos) << f.message;
  EXPECT_EQ(s.Where(), "local endpoint /nonexistent/netward.sock");
}

// A source whose fetches wait until the test lets them go.
class GatedSource : public ReplySource {
 public:
  Fetched Fetch(const std::string& request) override {
    gate.get_future().wait();
    ++fetches;
    Fetched f;
    f.request = request;
    return f;
  }
  bool live() const override { return true; }
  std::string Where() const override { return "gate"; }
  std::promise<void> gate;
  std::atomic<int> fetches{0};
};

TEST(FetchWorker, OneJobAtATimeCompletionPostedBack) {
  auto owned = std::make_unique<GatedSource>();
  GatedSource* source = owned.get();
  std::mutex mu;
  std::deque<FetchWorker::Done> posted;
  {
    FetchWorker w(std::move(owned), [&](FetchWorker::Done d) {
      std::lock_guard<std::mutex> lock(mu);
      posted.push_back(std::move(d));
    });
    std::string got;
    ASSERT_TRUE(w.Submit([&got](ReplySource& s) -> FetchWorker::Done {
      std::string r = s.Fetch("TOTAL").request;
      return [&got, r] { got = r; };
    }));
    EXPECT_TRUE(w.busy());
    EXPECT_FALSE(w.Submit([](ReplySource&) -> FetchWorker::Done { return nullptr; })) << "one at a time";
    source->gate.set_value();
    for (int i = 0; i < 500 && w.busy(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(w.busy());
    EXPECT_TRUE(got.empty()) << "the completion runs where it is posted, not on the worker";
    std::lock_guard<std::mutex> lock(mu);
    ASSERT_EQ(posted.size(), 1u);
    posted.front()();
    EXPECT_EQ(got, "TOTAL");
  }
}

TEST(RefreshClock, DueWhenShownIdleAndThePeriodHasPassed) {
  RefreshClock c(3);
  EXPECT_FALSE(c.Due(0, false)) << "hidden views are not fetched";
  EXPECT_TRUE(c.Due(0, true)) << "a view shown for the first time at once";
  c.Started();
  EXPECT_FALSE(c.Due(100, true)) << "never two fetches of one view at a time";
  c.Finished(10);
  EXPECT_FALSE(c.Due(12.9, true));
  EXPECT_TRUE(c.Due(13, true));
  c.Force();
  EXPECT_TRUE(c.Due(10.5, true));
  c.Started();
  c.Finished(11);
  EXPECT_FALSE(c.Due(11.5, true)) << "a forced refresh is done once";
}

}  // namespace
}  // namespace netward::console
