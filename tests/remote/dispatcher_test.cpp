// The request language against an agent whose tables were filled by frames through capture and
// accounting: one golden record of each type, the keyword table, the day files and the broadcast
// grouping.
#include "remote/dispatcher.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "accounting/adapter_fixture.h"
#include "agent_fixture.h"
#include "common/hex.h"
#include "wire/byte_order.h"
#include "state/history.h"
#include "platform/files.h"
#include "remote/broadcast_reply.h"

using namespace netward;
using namespace netward::platform;
using netward::test::AgentFixture;
using netward::test::Frame;
using netward::test::kDec4Noon;
using netward::test::IpN;
using netward::test::kBroadcast;
using netward::test::kOwnMac;
using netward::test::Mac;
using netward::test::MacN;
using netward::testing_hex::Hex;
namespace fs = std::filesystem;

namespace {

std::string Text(const std::vector<uint8_t>& b, size_t from, size_t n) {
  return std::string(reinterpret_cast<const char*>(b.data() + from), n);
}
std::string Blanks(size_t n) { return std::string(n, ' '); }
std::string Zeros(size_t n) { return std::string(n, '\0'); }

// The station 02:00:00:00:00:02 (10.1.0.2) asks for this PC's address.
std::vector<uint8_t> OtherArp() {
  return Frame().Eth(kBroadcast, MacN(2), 0x0806).Arp(1, MacN(2), IpN(2), Mac{}, IpN(10)).Done();
}
// This PC (00:60:08:00:00:0a, 10.1.0.10) asks for 10.1.0.2.
std::vector<uint8_t> OwnArp() {
  return Frame().Eth(kBroadcast, kOwnMac, 0x0806).Arp(1, kOwnMac, IpN(10), Mac{}, IpN(2)).Done();
}
// A UDP datagram from this PC to 10.1.0.2 port 9, 4 bytes of data: 46 bytes, padded to 60.
std::vector<uint8_t> OwnUdp() {
  return Frame().Eth(MacN(2), kOwnMac, 0x0800).Ip(IpN(10), IpN(2), 17, 12).Udp(1025, 9, 12).U32(0).Done();
}
// A TCP reset from 10.1.0.2 port 40001 to this PC's port 40002 (ports without service names).
std::vector<uint8_t> ResetFromOther() {
  return Frame().Eth(kOwnMac, MacN(2), 0x0800).Ip(IpN(2), IpN(10), 6, 20).Tcp(40001, 40002, 5, 0x04).Done();
}

class DispatcherTest : public AgentFixture {
 protected:
  DispatcherTest() : AgentFixture("remote") {}
  // Frames stamped with the clock's time.
  void Feed(const std::vector<std::vector<uint8_t>>& frames) {
    std::vector<Pushed> pushed;
    for (const auto& f : frames) pushed.push_back({f, static_cast<uint32_t>(f.size()), clock_->Now()});
    AgentFixture::Feed(pushed);
  }
  // The usual mix: own ARP, three ARPs of 10.1.0.2, own UDP, a reset from 10.1.0.2.
  void FeedMix() { Feed({OwnArp(), OtherArp(), OtherArp(), OtherArp(), OwnUdp(), ResetFromOther()}); }

  std::vector<uint8_t> Body(const char* request) {
    std::vector<uint8_t> block;
    EXPECT_EQ(Call("Secret", request, block), 0) << request;
    return std::vector<uint8_t>(block.begin() + (block.size() >= 32 ? 32 : 0), block.end());
  }
  // Records of `size` bytes behind the leading "TOT " record.
  std::vector<std::vector<uint8_t>> Records(const char* request, size_t size, size_t skip = kTotRecordSize) {
    auto body = Body(request);
    EXPECT_EQ((body.size() - skip) % size, 0u) << request;
    std::vector<std::vector<uint8_t>> out;
    for (size_t at = skip; at + size <= body.size(); at += size) out.emplace_back(body.begin() + at, body.begin() + at + size);
    return out;
  }
};

// Little-endian 32-bit words as hex, for the counter runs of the golden records.
std::string Words(std::initializer_list<uint32_t> words) {
  std::string s;
  for (uint32_t w : words) {
    uint8_t b[4];
    PutU32Le(b, w);
    s += Hex(b, 4);
  }
  return s;
}
constexpr uint32_t kFloat60 = 0x42700000;  // 60.0f: the bytes of one minimum-size frame

TEST_F(DispatcherTest, HeaderAndTotalsGoldenBytes) {
  FeedMix();
  clock_->Advance(5000);  // start-up took 2 s of the clock: 13:25:02 frames, asked at 13:25:07
  g_->StatusCode = 2;
  std::vector<uint8_t> block;
  ASSERT_EQ(Call("Secret", "TOTAL please", block), 0);
  ASSERT_EQ(block.size(), 132u) << "TOTAL and anything starting with it: header + 100 bytes";
  EXPECT_EQ(Text(block, 0, 28), "TASK1999041520261204" "13:25:07");
  EXPECT_EQ(Hex(block, 28, 4), "02000000");
  // Six frames; own: one unicast of 60 bytes, one ARP; others: three ARPs and a reset (an event,
  // whose bytes are not counted); five seconds since the reset.
  EXPECT_EQ(Hex(block, 32, 48), "544f5420" + Words({6, kFloat60, 1, 1, 0, 0, 0, 3, 1, 0, 5}));
  EXPECT_EQ(Text(block, 80, 32), Text(std::vector<uint8_t>(g_->HostName.bytes, g_->HostName.bytes + 32), 0, 32));
}

TEST_F(DispatcherTest, KeyIsCaseFoldedOverAllSixteenBytesAndOpenReloadsIt) {
  std::vector<uint8_t> block;
  EXPECT_EQ(Call("SECRET", "TOTAL", block), 0);
  EXPECT_EQ(Call("Secret2", "TOTAL", block), kKeyRejected);
  EXPECT_TRUE(block.empty());
  hive_->SetString(kSettingsKey, "OpenKey", "NewOne");
  EXPECT_EQ(Call("Secret", "TOTAL", block), 0) << "settings are re-read only on OPEN";
  EXPECT_EQ(Call("NewOne", "open x", block), 0) << "'open ' in any case reloads before the check";
  EXPECT_EQ(block.size(), 132u);
  EXPECT_NE(out_.Text().find("ERROR - Unknown request 'open x'\n"), std::string::npos)
      << "but the keyword match is exact";
  hive_->SetString(kSettingsKey, "OpenKey", "Third");
  EXPECT_EQ(Call("Third", "OPEN", block), kKeyRejected) << "'OPEN' without a blank does not reload";
}

// Re-reading a changed settings file on OPEN is driven against the real agent by agent_rpc_e2e.py.
TEST_F(DispatcherTest, OpenKeepsTheSettingsWhenTheFileNoLongerParses) {
  const fs::path file = state_ / "settings.reg";
  auto write = [&](const std::string& key_line) {
    std::ofstream(file, std::ios::trunc) << ("REGEDIT4\n\n[" + std::string(kSettingsKey) + "]\n" + key_line + "\n");
  };
  write("\"OpenKey\"=\"Changed\"");
  registry_->SetHivePath(file.string());
  std::vector<uint8_t> block;
  EXPECT_EQ(Call("Changed", "OPEN ", block), 0);
  write("\"OpenKey\"=\"Broken");  // no closing quote on line 4
  EXPECT_EQ(Call("Changed", "OPEN ", block), 0) << "a file that no longer parses keeps the key in force";
  EXPECT_EQ(Call("Changed", "OPEN ", block), 0);
  const std::string text = out_.Text();
  const std::string line = "Settings file not re-read, the settings in force stay: " + file.string() + ":4:";
  ASSERT_NE(text.find(line), std::string::npos) << text;
  EXPECT_EQ(text.find(line, text.find(line) + 1), std::string::npos) << "printed once";
}

TEST_F(DispatcherTest, StationRecordGoldenBytesAndStationsChangedSince) {
  FeedMix();
  auto stats = Records("STATS_PRO", kStatRecordSize);
  ASSERT_EQ(stats.size(), 2u) << "this PC and 10.1.0.2; the broadcasters' ARPs make no station of their own";
  const auto& own = stats[0];
  EXPECT_EQ(Text(own, 0, 8), std::string("STAT\x01\0\0\0", 8));
  std::string host(g_->HostName.bytes);
  EXPECT_EQ(Text(own, 8, 92), "*00600800000A   " "IP 10.1.0.10" + Blanks(16) + "Self    " + host +
                                  Blanks(32 - host.size()) + "13:25:02");
  EXPECT_EQ(Hex(own.data() + 100, 24), Words({kFloat60, 1, 1, 0, 0, 0})) << "sent: the UDP datagram and the ARP";
  const auto& peer = stats[1];
  EXPECT_EQ(Text(peer, 8, 92), "020000000002    " "IP 10.1.0.2" + Blanks(17) + Blanks(8) + Blanks(32) + "13:25:02")
      << "no role and no name: blanks";
  EXPECT_EQ(Hex(peer.data() + 100, 24), Words({0, 0, 0, 1, kFloat60, 1})) << "sent the reset, received the datagram";

  EXPECT_EQ(Records("STATS_PRO 5", kStatRecordSize).size(), 1u) << "the reset is the sender's alone: an event is not received";
  EXPECT_EQ(Records("STATS_PRO 6", kStatRecordSize).size(), 0u);
  Feed({OwnArp()});
  EXPECT_EQ(Records("STATS_PRO   6", kStatRecordSize).size(), 1u) << "blanks before n are skipped";
}

TEST_F(DispatcherTest, TraceAndStatisticsDays) {
  // A stored trace record at 10:40 (interval 64) for today, nothing for yesterday.
  TraceRecord r;
  r.Time = kDec4Noon - 3600 - 20 * 60;
  r.OwnFrames = 9;
  ASSERT_TRUE(AppendTraceRecord((state_ / "NETWARD History" / "20261204.TET").string(), r));
  std::vector<uint8_t> block;
  ASSERT_EQ(Call("Secret", "TET 20261203", block), 0);
  EXPECT_EQ(block.size(), 32u) << "a past day without a file: header only";
  // Today: the start marker written at start-up, the stored record, and the running interval.
  FeedMix();
  auto tet = Records("TET 20261204", kTetRecordSize, 0);
  ASSERT_EQ(tet.size(), 3u);
  EXPECT_EQ(Hex(tet[0], 0, 8), "54455420" + Words({13 * 6 + 2})) << "start marker at 13:25";
  EXPECT_EQ(Hex(tet[1], 4, 12), Words({64, 0, 9}));
  EXPECT_EQ(Hex(tet[2], 4, 36), Words({13 * 6 + 2, kFloat60, 1, 1, 0, 0, 0, 3, 1}))
      << "running interval: totals minus the checkpoint";

  fs::path tes = state_ / "NETWARD History" / "20261204.TES";
  ASSERT_TRUE(WriteStatisticsFile(tes.string(), *g_));
  std::ofstream(tes, std::ios::app | std::ios::binary) << "TES1";  // a torn last record is ignored
  auto stats = Records("TES 20261204", kStatRecordSize, 0);
  ASSERT_EQ(stats.size(), 4u) << "two stored records, then the two live stations";
  EXPECT_EQ(stats[0], stats[2]) << "a stored station reads back as the live one";
  EXPECT_EQ(stats[1], stats[3]);
  EXPECT_EQ(Body("TES 20261130").size(), 0u);
}

// Day files that are not regular files answer at once with no stored records: a named pipe with
// no writer used to pin the calling thread for ever, a link to /dev/zero to read without end.
TEST_F(DispatcherTest, DayFilesThatAreNotRegularFilesAnswerAtOnce) {
  const fs::path dir = state_ / "NETWARD History";
  ASSERT_EQ(mkfifo((dir / "20261201.TET").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo((dir / "20261201.TES").c_str(), 0644), 0);
  ASSERT_EQ(symlink("/dev/zero", (dir / "20261202.TET").c_str()), 0);
  ASSERT_EQ(symlink("/dev/zero", (dir / "20261202.TES").c_str()), 0);
  for (const char* request : {"TET 20261201", "TES 20261201", "TET 20261202", "TES 20261202"}) {
    auto answer = std::async(std::launch::async, [this, request] { return Body(request).size(); });
    if (answer.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << request << " did not answer";
      // Give a reader blocked on a pipe its writer, so that the test can end.
      for (const char* pipe : {"20261201.TET", "20261201.TES"})
        if (int fd = open((dir / pipe).c_str(), O_WRONLY | O_NONBLOCK); fd >= 0) close(fd);
    }
    EXPECT_EQ(answer.get(), 0u) << request;
  }
}

// A day file far beyond any real day answers with its first records, cut at a whole record inside
// the reply limit, and the live records of today still come last.
TEST_F(DispatcherTest, AnOversizedDayIsCutAtWholeRecords) {
  const fs::path tet = state_ / "NETWARD History" / "20261204.TET";
  {
    std::vector<uint8_t> rec(kTraceRecordSize, 0);
    memcpy(rec.data(), "TET ", 4);
    PutU32Le(rec.data() + 4, kDec4Noon);
    std::ofstream f(tet, std::ios::binary | std::ios::app);
    for (size_t i = 0; i < kMaxHistoryDayBody / kTraceRecordSize + 5000; ++i)
      f.write(reinterpret_cast<const char*>(rec.data()), static_cast<std::streamsize>(rec.size()));
  }
  auto body = Body("TET 20261204");
  ASSERT_EQ(body.size(), kMaxHistoryDayBody / kTetRecordSize * kTetRecordSize);
  EXPECT_EQ(Hex(body, 0, 8), "54455420" + Words({13 * 6 + 2})) << "the file's first record: the start marker";
  EXPECT_EQ(Hex(body, 40, 8), "54455420" + Words({12 * 6}));
  EXPECT_EQ(Hex(body, body.size() - 40, 8), "54455420" + Words({13 * 6 + 2})) << "the running interval last";
}

TEST_F(DispatcherTest, KeywordTableBodies) {
  struct Case {
    const char* request;
    size_t body;
  } cases[] = {
      {"CMD CONFIG", 4100},   {"CFG ", 4100},       {"CMD PING WINSX", 4100}, {"HISTORY_LIST", 100 + 12},
      {"DETAILS 0", 100},     {"ERRORS 5", 100},    {"OID", 744},               {"BCASTERS HIGH", 40},
      {"nonsense", 100},      {"TOTALLY", 100},
  };
  for (const auto& c : cases) EXPECT_EQ(Body(c.request).size(), c.body) << c.request;
  auto oid = Body("OID");
  EXPECT_EQ(Text(oid, 0, 8), std::string("OID \x01\0\0\0", 8)) << "one status record per adapter";
  EXPECT_EQ(Text(oid, 8, 8), std::string("nwtest0\0", 8));
  auto hist = Body("HISTORY_LIST");
  EXPECT_EQ(Text(hist, 100, 12), "HIST20261204");
  auto stop = Body("CMD VEDEZOZE STOP");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(stop.data() + 4)), "TapEye Service terminating");
  EXPECT_TRUE(agent_->agent_stopped().IsSet()) << "the stop ran before the reply";
}

// Row by row: each keyword reaches its own handler (never the unknown-request line), the body
// starts with the TOT record exactly when the row says so, and a keyword one byte short is not it.
TEST_F(DispatcherTest, EveryRequestRowAnswersAsItSays) {
  for (const RequestRow& row : RequestTable()) {
    std::string request(row.text, row.compared);
    if (request == "CMD ") request += "SUBNET";  // a bare command line would go to the helper program
    const size_t before = out_.Text().size();
    auto body = Body(request.c_str());
    EXPECT_EQ(out_.Text().find("Unknown request", before), std::string::npos) << request;
    EXPECT_EQ(body.size() >= 4 && Text(body, 0, 4) == "TOT ", row.keeps_tot) << request;
    const bool shadowed = request.rfind("TOT", 0) == 0 || request.rfind("BCAST", 0) == 0;  // a shorter row
    if (row.compared > 1 && !shadowed) {
      const std::string cut(row.text, row.compared - 1);
      Body(cut.c_str());
      EXPECT_NE(out_.Text().find("Unknown request '" + cut + "'", before), std::string::npos) << cut;
    }
  }
  for (const CommandRow& row : CommandTable()) EXPECT_LE(row.compared, std::char_traits<char>::length(row.text) + 1);
}

TEST_F(DispatcherTest, DecodedLineGoldenBytesAndTheRings) {
  FeedMix();
  // The reset, from the event log: every column of the record.
  auto errors = Records("ERRORS", 364);
  ASSERT_EQ(errors.size(), 1u);
  const std::string reset = std::string("DETL", 4) + Text(std::vector<uint8_t>{1, 0, 0, 0, 6, 0, 0, 0, 60, 0, 0, 0}, 0, 12) +
                            "13:25:02" + Zeros(4) + "020000000002" + Zeros(4) + "IP 10.1.0.2" + Zeros(17) +
                            Zeros(8) + Zeros(32) + "<=  " +
                            // the decoder writes the peer's MAC label, then its IP address over it
                            "10.1.0.10" + Zeros(1) + "0A" + Zeros(1) + Blanks(15) +
                            // the IP decoder stores its whole zero-filled work text
                            "TCP/40002 40001 Ack=0 Seq=5 DataLen=0     RST" + Zeros(55) +
                            "TCP/IP" + Zeros(94) + "TCP RESET" + Blanks(7) + Zeros(4);
  ASSERT_EQ(reset.size(), 364u);
  EXPECT_EQ(Text(errors[0], 0, 364), reset);

  auto details = Records("DETAILS 0", 364);
  ASSERT_EQ(details.size(), 6u);
  EXPECT_EQ(details[5], errors[0]) << "the same frame in the recent ring";
  for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(GetU32Le(details[i].data() + 8), i + 1) << "slot order";
  EXPECT_EQ(Text(details[0], 72, 8), "Self" + Zeros(4)) << "own station's role";
  EXPECT_EQ(Text(details[1], 72, 8), Zeros(8)) << "group frame without a station: zero role";
  EXPECT_EQ(Text(details[4], 112, 4), "  ->");
  EXPECT_EQ(Records("DETAILS 4", 364).size(), 2u) << "newer than n only";
  EXPECT_EQ(Records("ERRORS 6", 364).size(), 0u);

  // A slot that a capture thread is rewriting is left out.
  g_->Nics[0]->RecentFrames[2].Complete.store(0);
  details = Records("DETAILS 0", 364);
  ASSERT_EQ(details.size(), 5u);
  EXPECT_EQ(GetU32Le(details[2].data() + 8), 4u);
}

TEST_F(DispatcherTest, BroadcastReplyGoldenBytesAndWindow) {
  FeedMix();
  clock_->Advance(5000);
  auto high = Body("BCASTERS HIGH");
  ASSERT_EQ(high.size(), 40 + 2 * 244u) << "one entry per broadcaster";
  EXPECT_EQ(Text(high, 0, 28), std::string("BHDR13:25:07\0\0\0\0" "13:10:07\0\0\0\0", 28));
  EXPECT_EQ(Hex(high, 28, 12), Words({4, 4, 2})) << "four group frames, all in the last minute, two entries";
  // The walk goes from the newest frame back: 10.1.0.2's three ARPs make the first entry.
  const std::string first = std::string("BENT\x01\0\0\0", 8) + "020000000002" + Zeros(4) + "IP 10.1.0.2" + Zeros(17) +
                            Zeros(8) + Zeros(32) + Text(std::vector<uint8_t>{3, 0, 0, 0, 3, 0, 0, 0}, 0, 8) +
                            "13:25:02" + Zeros(4) + std::string("\x04\0\0\0", 4) +
                            "ARP Request, Looking for 10.1.0.10" + Zeros(66) + "FFFFFFFFFFFF" + Zeros(16);
  ASSERT_EQ(first.size(), 244u);
  EXPECT_EQ(Text(high, 40, 244), first);
  EXPECT_EQ(Text(high, 284, 24), std::string("BENT\x01\0\0\0", 8) + "*00600800000A" + Zeros(3));
  EXPECT_EQ(Text(high, 284 + 52, 4), "Self");

  auto low = Body("BCASTERS LOW");
  ASSERT_EQ(low.size(), high.size());
  for (size_t e = 40; e < high.size(); e += 244) {
    EXPECT_EQ(Hex(low, e, 116), Hex(high, e, 116)) << "same entries and counts";
    EXPECT_EQ(Hex(low, e + 216, 28), Hex(high, e + 216, 28));
  }
  EXPECT_EQ(Text(low, 40 + 116, 47), "ARP Request, Target=10.1.0.10, Sender=10.1.0.2" + Zeros(1))
      << "LOW groups by the summary";
  EXPECT_EQ(Body("BCASTERS").size(), high.size()) << "a bare BCASTERS is the high list";

  auto sent = Body("BCASTSENT HIGH");
  ASSERT_EQ(sent.size(), 40 + 244u) << "only this PC's ARP";
  EXPECT_EQ(Hex(sent, 28, 12), Words({1, 1, 1}));
  EXPECT_EQ(Text(sent, 40 + 8, 13), "*00600800000A");

  clock_->Advance(61 * 1000);
  EXPECT_EQ(Hex(Body("BCASTERS LOW"), 28, 12), Words({4, 0, 2})) << "still in the window, none recent";
  clock_->Advance(900 * 1000);
  EXPECT_EQ(Hex(Body("BCASTERS"), 0, 40), Hex(Body("BCASTSENT LOW"), 0, 40));
  EXPECT_EQ(Body("BCASTERS").size(), 40u) << "nothing in the last 15 minutes";
}

TEST_F(DispatcherTest, ArpLinesShowTheRolesOfTheAdaptersTcpipConfiguration) {
  // What the TCP/IP report finds: this PC is 10.1.0.10, its gateway 10.1.0.2.
  auto set = [this](TcpipList list, const std::array<uint8_t, 4>& ip) {
    uint32_t v;
    memcpy(&v, ip.data(), 4);
    RelaxedStore(g_->Nics[0]->TcpipConfig[list][0], v);
  };
  set(kAddresses, IpN(10));
  set(kSubnetMasks, {255, 255, 255, 0});
  set(kGateways, IpN(2));
  FeedMix();
  constexpr size_t kProtocolText = 244;
  auto details = Records("DETAILS 0", 364);
  ASSERT_EQ(details.size(), 6u);
  EXPECT_EQ(Text(details[0], kProtocolText, 40), "ARP Request, Looking for 10.1.0.2 (GW)" + Zeros(2));
  EXPECT_EQ(Text(details[1], kProtocolText, 42), "ARP Request, Looking for 10.1.0.10 (Self)" + Zeros(1));

  auto sent = Body("BCASTSENT HIGH");
  ASSERT_EQ(sent.size(), 40 + 244u);
  EXPECT_EQ(Text(sent, 40 + 116, 40), "ARP Request, Looking for 10.1.0.2 (GW)" + Zeros(2))
      << "own broadcasts are grouped by the text with the role";
  EXPECT_EQ(Text(Body("BCASTERS HIGH"), 40 + 116, 42), "ARP Request, Looking for 10.1.0.10 (Self)" + Zeros(1));
}

}  // namespace
