// netward's pcap export of captures it cannot write, and the model behind --watch (rates between
// polls, busiest stations first).
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pcap_export.h"
#include "snapshot_reader.h"
#include "watch_view.h"

namespace netward::client {
namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

struct TestFrame {
  uint32_t ms;
  uint16_t length;
  Bytes data;  // the stored bytes
};

// A frame capture as the agent lays it out: 128-byte header (first frame 2026-12-06 18:55:09),
// frame records, frame table, 8 zero bytes.
Bytes Capture(uint16_t network, const std::vector<TestFrame>& frames) {
  Bytes c(kRtssHeaderBytes, 0);
  memcpy(c.data(), "RTSS", 4);
  c[5] = 0x78;
  Put16(c, 6, network);
  const uint16_t date[] = {2026, 12, 2, 6, 18, 55, 9, 0};
  for (size_t i = 0; i < 8; ++i) Put16(c, 8 + 2 * i, date[i]);
  std::vector<uint32_t> offsets;
  for (const TestFrame& f : frames) {
    offsets.push_back(static_cast<uint32_t>(c.size()));
    Bytes head(kRtssFrameHeadBytes, 0);
    Put32(head, 0, f.ms);
    Put16(head, 4, f.length);
    Put16(head, 6, static_cast<uint16_t>(f.data.size()));
    c.insert(c.end(), head.begin(), head.end());
    c.insert(c.end(), f.data.begin(), f.data.end());
  }
  Put32(c, 24, static_cast<uint32_t>(c.size()));
  Put32(c, 28, static_cast<uint32_t>(4 * frames.size()));
  for (uint32_t o : offsets) {
    c.resize(c.size() + 4);
    Put32(c, c.size() - 4, o);
  }
  c.resize(c.size() + 8, 0);
  return c;
}

SnapshotRecord Dump(const std::string& name, uint16_t network, const std::vector<TestFrame>& frames) {
  SnapshotRecord r;
  r.name = name;
  r.is_dump = true;
  r.capture = Capture(network, frames);
  std::string err;
  EXPECT_TRUE(ParseFrameCapture(r.capture, r.capture_info, err)) << err;
  return r;
}

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

class PcapExport : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    dir_ = testing::TempDir() + "/pcap_export_" + std::to_string(getpid());
    mkdir(dir_.c_str(), 0755);
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
  }
  std::string dir_;
};

// What libpcap and tshark read from exported files (frames, times, lengths, bytes, link types of
// both media) is checked on the agent's own snapshots by pcap_export_e2e.py.
TEST_F(PcapExport, CapturesThatCannotBeWrittenAreRefused) {
  std::vector<PcapFileWritten> written;
  std::string err;
  // A network type pcap has no link type for.
  EXPECT_FALSE(WriteSnapshotPcaps({Dump("DUMP_1", 7, {{0, 60, Pattern(60, 1)}})}, dir_, written, err));
  EXPECT_NE(err.find("network type 7"), std::string::npos) << err;
  // A header whose first-frame date is no date.
  SnapshotRecord bad = Dump("DUMP_1", 1, {{0, 60, Pattern(60, 1)}});
  bad.capture_info.month = 13;
  EXPECT_FALSE(WriteCapturePcap(bad, dir_ + "/bad.pcap", written.emplace_back(), err));
  EXPECT_NE(err.find("date"), std::string::npos) << err;
  // A directory that is not there.
  EXPECT_FALSE(WriteSnapshotPcaps({Dump("DUMP_1", 1, {})}, dir_ + "/missing", written, err));
  EXPECT_FALSE(err.empty());
  // A stored length beyond the wire length is still a valid pcap record: the file says the larger.
  SnapshotRecord odd = Dump("DUMP_3", 1, {{0, 20, Pattern(60, 1)}});
  ASSERT_TRUE(WriteCapturePcap(odd, dir_ + "/odd.pcap", written.emplace_back(), err)) << err;
  char errbuf[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline((dir_ + "/odd.pcap").c_str(), errbuf);
  ASSERT_NE(p, nullptr);
  pcap_pkthdr* h = nullptr;
  const u_char* data = nullptr;
  ASSERT_EQ(pcap_next_ex(p, &h, &data), 1);
  EXPECT_EQ(h->len, 60u);
  pcap_close(p);
}

// ---- the watch model ----

StatRecord Station(const char* address, float sent, float received, uint32_t frames) {
  StatRecord s;
  s.adapter_number = 1;
  s.address_label = address;
  s.protocol_label = "IP 10.0.0.1";
  s.bytes_sent = sent;
  s.bytes_received = received;
  s.frames_sent = frames;
  return s;
}

ParsedReply Poll(uint32_t sequence, uint32_t other_frames, std::vector<StatRecord> stations) {
  ParsedReply r;
  Record& tot = r.records.emplace_back();
  tot.tag = Tag::kTot;
  tot.tot.frame_sequence = sequence;
  tot.tot.other_frames = other_frames;
  tot.tot.host_name = "PC1";
  for (StatRecord& s : stations) {
    Record& rec = r.records.emplace_back();
    rec.tag = Tag::kStat;
    rec.stat = std::move(s);
  }
  return r;
}

// The station addresses in screen order, and the line holding `what`.
std::vector<std::string> Order(const std::vector<std::string>& lines) {
  std::vector<std::string> out;
  for (const std::string& l : lines)
    if (l.find("IP 10.0.0.1") != std::string::npos) out.push_back(l.substr(5, 4));
  return out;
}
std::string LineWith(const std::vector<std::string>& lines, const std::string& what) {
  for (const std::string& l : lines)
    if (l.rfind(what, 0) == 0) return l;
  return "";
}

TEST(WatchView, RatesComeFromTheRiseSinceThePreviousPoll) {
  WatchView v;
  v.Update(Poll(1000, 800, {Station("AAAA", 9000, 0, 10), Station("BBBB", 100, 0, 1)}), 0);
  std::vector<std::string> lines = v.Lines("title", 100);
  EXPECT_EQ(lines[0], "title");
  EXPECT_NE(lines[1].find("frames 1000 (-/s)"), std::string::npos) << lines[1];
  EXPECT_EQ(Order(lines), (std::vector<std::string>{"AAAA", "BBBB"})) << "first poll: busiest by bytes today";

  // Two seconds later BBBB has sent 4000 bytes more, AAAA nothing; a new station CCCC appeared.
  v.Update(Poll(1400, 1100, {Station("AAAA", 9000, 0, 10), Station("BBBB", 4100, 0, 5), Station("CCCC", 1000, 0, 2)}),
           2.0);
  lines = v.Lines("title", 100);
  EXPECT_NE(lines[1].find("frames 1400 (200.0/s)"), std::string::npos) << lines[1];
  const std::string other = LineWith(lines, "Other");
  EXPECT_NE(other.find("150.0"), std::string::npos) << other;  // (1100 - 800) / 2 s
  EXPECT_EQ(Order(lines), (std::vector<std::string>{"BBBB", "CCCC", "AAAA"}));
  EXPECT_NE(LineWith(lines, "  1  BBBB").find("2000.0"), std::string::npos) << LineWith(lines, "  1  BBBB");

  // A new day empties the tables: a counter that fell counts from zero, never negative.
  v.Update(Poll(1500, 1150, {Station("BBBB", 50, 0, 1)}), 1.0);
  lines = v.Lines("title", 100);
  EXPECT_NE(LineWith(lines, "  1  BBBB").find("  50.0  "), std::string::npos) << LineWith(lines, "  1  BBBB");
  EXPECT_EQ(lines.size(), v.Lines("title", 100).size());
  EXPECT_EQ(v.Lines("title", 4).size(), 4u) << "cut to the screen";
}

TEST(WatchView, AReplyWithoutTotalsShowsAsItPrints) {
  ParsedReply r;
  Record& txt = r.records.emplace_back();
  txt.tag = Tag::kTxt4;
  txt.text = "IP CONFIGURATION\r\n  Host: PC1\r\n";
  WatchView v;
  v.Update(r, 0);
  const std::vector<std::string> lines = v.Lines("title", 100);
  EXPECT_NE(std::find(lines.begin(), lines.end(), "IP CONFIGURATION"), lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "  Host: PC1"), lines.end());
}

TEST(ReadFileBytes, WholeFileOrWhyNot) {
  char name[] = "/tmp/netward-read-XXXXXX";
  const int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  Bytes data(200000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
  close(fd);
  Bytes got;
  std::string err;
  ASSERT_TRUE(ReadFileBytes(name, got, err)) << err;
  EXPECT_EQ(got, data) << "more than one read's worth";
  unlink(name);
  EXPECT_FALSE(ReadFileBytes(name, got, err));
  EXPECT_EQ(err, std::string("cannot open ") + name + ": No such file or directory");
  EXPECT_TRUE(got.empty());
  EXPECT_FALSE(ReadFileBytes("/", got, err)) << "a directory opens but does not read";
  EXPECT_EQ(err, "cannot read /");
}

}  // namespace
}  // namespace netward::client
