// Snapshot files against an agent whose rings were filled by frames through capture and accounting:
// golden bytes of a frame capture (and tshark reading it), the record framing and request list, bad
// frame times, the named and temporary files.
#include "remote/snapshot.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "accounting/adapter_fixture.h"
#include "agent_fixture.h"
#include "common/hex.h"
#include "core/agent.h"
#include "wire/byte_order.h"
#include "platform/files.h"
#include "remote/dispatcher.h"

using namespace netward;
using namespace netward::platform;
using netward::test::AgentFixture;
using netward::test::Frame;
using netward::test::IpN;
using netward::test::kBroadcast;
using netward::test::kOwnMac;
using netward::test::Mac;
using netward::test::MacN;
using netward::testing_hex::Hex;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kDec4 = netward::test::kAgentStart;  // 2026-12-04 13:25:00 UTC

std::vector<uint8_t> Arp(uint8_t n) {
  return Frame().Eth(kBroadcast, MacN(n), 0x0806).Arp(1, MacN(n), IpN(n), Mac{}, IpN(10)).Done();
}
// A UDP datagram from 10.1.0.2 to this PC whose first data word is `mark`; `size` bytes in all.
std::vector<uint8_t> Udp(uint32_t mark, uint16_t size = 60) {
  const uint16_t udp = static_cast<uint16_t>(size - 34);
  Frame f;
  f.Eth(kOwnMac, MacN(2), 0x0800).Ip(IpN(2), IpN(10), 17, udp).Udp(1025, 9, udp).U32(mark);
  for (int i = 42 + 4; i < size; ++i) f.U8(static_cast<uint8_t>(i));
  return f.Done();
}

struct Rec {
  std::string name;  // all 16 bytes
  std::vector<uint8_t> data;
};

// Takes an image apart; every record must fit and the end mark must close it.
std::vector<Rec> Records(const std::vector<uint8_t>& image) {
  std::vector<Rec> out;
  EXPECT_GE(image.size(), 8u);
  EXPECT_EQ(std::string(image.begin(), image.begin() + 4), "NWS ");
  size_t at = 4;
  while (at + 4 <= image.size()) {
    uint32_t len = GetU32Le(image.data() + at);
    if (len == 0) {
      EXPECT_EQ(at + 4, image.size()) << "end mark is the last 4 bytes";
      return out;
    }
    EXPECT_GE(len, 16u);
    EXPECT_LE(at + 4 + len, image.size());
    if (len < 16 || at + 4 + len > image.size()) break;
    Rec& r = out.emplace_back();
    r.name.assign(reinterpret_cast<const char*>(image.data() + at + 4), 16);
    r.data.assign(image.begin() + static_cast<long>(at + 20), image.begin() + static_cast<long>(at + 4 + len));
    at += 4 + len;
  }
  ADD_FAILURE() << "no end mark";
  return out;
}

std::vector<uint8_t> Inverted(std::vector<uint8_t> b) {
  for (uint8_t& x : b) x = static_cast<uint8_t>(~x);
  return b;
}

std::string Padded(const char* name) {
  std::string s(name);
  s.resize(16, '\0');
  return s;
}

class SnapshotTest : public AgentFixture {
 protected:
  SnapshotTest() : AgentFixture("snapshot") {}
  void SetUp() override {
    // The temporary snapshot files of a bare SNAPSHOT go here, so the test sees them all.
    tmp_ = std::filesystem::path(testing::TempDir()) / ("snapshot_tmp_" + std::to_string(getpid()));
    fs::remove_all(tmp_);
    fs::create_directories(tmp_);
    AgentFixture::SetUp();  // first: the fixture's own directory is under the test's temp dir
    setenv("TMPDIR", tmp_.c_str(), 1);
  }
  void TearDown() override {
    AgentFixture::TearDown();
    unsetenv("TMPDIR");
    fs::remove_all(tmp_);
  }
  std::vector<uint8_t> SnapshotImage() {
    auto block = Reply("SNAPSHOT");
    return std::vector<uint8_t>(block.begin() + 32, block.end());
  }
  std::vector<uint8_t> Dump(const std::vector<Rec>& recs) {
    for (const Rec& r : recs)
      if (r.name == Padded("DUMP_1")) return Inverted(r.data);
    ADD_FAILURE() << "no DUMP_1 record";
    return {};
  }
  static std::vector<std::string> DirEntries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    return names;
  }

  fs::path tmp_;
};

// tshark's frame length, captured length and time since the first frame, one line per frame.
std::string Tshark(const std::vector<uint8_t>& cap, const fs::path& path, std::string& errors) {
  { std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(cap.data()), std::streamsize(cap.size())); }
  const std::string cmd = "tshark -r '" + path.string() + "' -T fields -e frame.len -e frame.cap_len -e frame.time_relative 2>'" +
                          path.string() + ".err'";
  std::string frames;
  char buf[512];
  FILE* p = popen(cmd.c_str(), "r");
  while (p != nullptr && fgets(buf, sizeof buf, p)) frames += buf;
  if (p != nullptr) pclose(p);
  std::ifstream e(path.string() + ".err");
  errors.assign(std::istreambuf_iterator<char>(e), {});
  return frames;
}

// A 60-byte ARP at 13:25:00, a 1514-byte datagram 2 s later, a 60-byte ARP 5 s after the first;
// then tshark on the same capture.
TEST_F(SnapshotTest, FrameCaptureGoldenBytes) {
  const auto a = Arp(2), big = Udp(7, 1514), b = Arp(3);
  Feed({{a, 60, kDec4}, {big, 1514, kDec4 + 2}, {b, 60, kDec4 + 5}});
  auto recs = Records(SnapshotImage());
  ASSERT_FALSE(recs.empty());
  EXPECT_EQ(recs.back().name, Padded("DUMP_1"));
  auto cap = Dump(recs);
  ASSERT_EQ(cap.size(), 548u) << "128 header + (8+60) + (8+256) + (8+60) + 12 table + 8 zeros";
  EXPECT_EQ(Hex(cap, 0, 32),
            "52545353" "0078" "0100"                                    // magic, version, Ethernet
            "ea07" "0c00" "0200" "0400" "0d00" "1900" "0000" "0000"     // 2026-12 (2) 04 13:25:00.000
            "10020000" "0c000000");                                     // table at 528, 3 entries
  EXPECT_EQ(Hex(cap, 32, 96), std::string(192, '0'));
  EXPECT_EQ(Hex(cap, 128, 8), "00000000" "3c00" "3c00");
  EXPECT_EQ(Hex(cap, 136, 60), Hex(a, 0, 60));
  EXPECT_EQ(Hex(cap, 196, 8), "d0070000" "ea05" "0001") << "2000 ms, length 1514, 256 stored";
  EXPECT_EQ(Hex(cap, 204, 256), Hex(big, 0, 256));
  EXPECT_EQ(Hex(cap, 460, 8), "88130000" "3c00" "3c00");
  EXPECT_EQ(Hex(cap, 468, 60), Hex(b, 0, 60));
  EXPECT_EQ(Hex(cap, 528, 20), "80000000" "c4000000" "cc010000" "0000000000000000");
  // The record itself: L = 16 + capture, the name zero-padded, then the inverted bytes.
  uint8_t head[kSnapshotRecordHeaderSize];
  BuildSnapshotRecordHeader(548, "DUMP_1", head);
  EXPECT_EQ(Hex(head, sizeof head), "34020000" "44554d505f31" + std::string(20, '0'));

  // tshark reads it as a Network Monitor 1.x file, except that it knows major versions 1 and 2 only
  // and the header says 0x78: what lies behind the version byte is checked on a copy saying 1.
  if (system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark not installed";
  const std::string want = "60\t60\t0.000000000\n1514\t256\t2.000000000\n60\t60\t5.000000000\n";
  std::string errors;
  if (Tshark(cap, state_ / "dump.cap", errors) != want) {
    EXPECT_NE(errors.find("(netmon: major version 120 unsupported)"), std::string::npos) << errors;
  }
  cap[5] = 1;
  EXPECT_EQ(Tshark(cap, state_ / "dump1.cap", errors), want) << errors;
}

TEST_F(SnapshotTest, RequestRecordsFollowTheListAndTheAddressAddsTheReports) {
  const std::vector<std::string> base = {
      "OPEN ",         "TET 20261204",   "TES 20261204", "BCASTERS LOW", "BCASTERS HIGH", "BCASTSENT LOW",
      "BCASTSENT HIGH", "ERRORS 0",      "DETAILS 0",    "OID",          "CMD CONFIG",    "CMD SUBNET"};
  const std::vector<std::string> reports = {"CMD NETSTAT -n", "CMD ARP -a", "CMD IPCONFIG -al", "CMD ROUTE PRINT"};
  for (const char* address : {"", "10.1.0.10"}) {
    SCOPED_TRACE(address);
    g_->AddressText.Set(address);
    auto image = SnapshotImage();
    auto recs = Records(image);
    auto want = base;
    if (address[0] != 0) want.insert(want.end(), reports.begin(), reports.end());
    ASSERT_EQ(recs.size(), want.size()) << "no frames read: no dump record";
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(recs[i].name, Padded(want[i].c_str())) << i;
      ASSERT_GE(recs[i].data.size(), 32u);
      EXPECT_EQ(std::string(recs[i].data.begin(), recs[i].data.begin() + 12), "TASK19990415") << want[i];
    }
    // "OPEN " answers the totals record: L = 16 + 32 + 100, the name cut to five bytes + zeros.
    EXPECT_EQ(Hex(image, 0, 24), "4e575320" "94000000" "4f50454e20" + std::string(22, '0'));
    EXPECT_EQ(recs[0].data.size(), 132u);
    EXPECT_TRUE(DirEntries(tmp_).empty()) << "the temporary file is gone";
  }
}

// That a dump holds the last 300 frames, in order, with their times and stored bytes, is checked
// through the whole chain by snapshot_e2e.py and pcap_export_e2e.py.

class BadTimeTest : public SnapshotTest, public testing::WithParamInterface<uint32_t> {};

TEST_P(BadTimeTest, EndsTheCaptureWithTheConsoleLine) {
  Feed({{Arp(2), 60, kDec4}, {Arp(3), 60, kDec4 + 1}, {Arp(4), 60, GetParam()}, {Arp(5), 60, kDec4 + 2}});
  auto recs = Records(SnapshotImage());
  auto cap = Dump(recs);
  ASSERT_GE(cap.size(), 32u);
  EXPECT_EQ(GetU32Le(cap.data() + 28), 8u) << "the two frames before the bad one stay";
  EXPECT_EQ(cap.size(), 128u + 2 * 68 + 8 + 8);
  EXPECT_NE(out_.Text().find("\nERROR - Bad TIME"), std::string::npos);
}
INSTANTIATE_TEST_SUITE_P(ZeroOrEarlier, BadTimeTest, testing::Values(0u, kDec4 - 1));

TEST_F(SnapshotTest, NamedFileIsReplacedWholeAndFailureShowsTheBox) {
  Feed({{Arp(2), 60, kDec4}});
  const fs::path dir = state_ / "out";
  fs::create_directories(dir);
  const std::string path = (dir / "X.NWS").string();
  { std::ofstream(path) << std::string(100000, 'x'); }
  auto block = Reply(("SNAPSHOT " + path).c_str());
  EXPECT_EQ(block.size(), 132u) << "the named form answers the totals record only";
  std::vector<uint8_t> file;
  ASSERT_TRUE(ReadFile(path, file));
  auto recs = Records(file);
  EXPECT_EQ(recs.size(), 13u);
  EXPECT_EQ(DirEntries(dir), std::vector<std::string>{"X.NWS"}) << "no temporary file left beside it";

  SaveSnapshot(AgentRequestContext(*agent_), 0, (state_ / "missing" / "Y.NWS").c_str());
  auto boxes = out_.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].first, "Could not save to file");
  EXPECT_EQ(boxes[0].second, "NETWARD ERROR");
}

}  // namespace
