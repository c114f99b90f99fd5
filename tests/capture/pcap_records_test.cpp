// Classic pcap records, mapped and read in blocks: every record must come out as libpcap gives it
// (bytes, captured and wire length, time), in both byte orders and stamp units, across block edges,
// for records longer than the file's snapshot length, and up to the same damaged record. A mapped
// file may grow or be cut short while it is read.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "capture/pcap_records.h"

using namespace netward;
namespace fs = std::filesystem;

namespace {

struct Record {
  uint32_t seconds, fraction, captured, wire_length;
  std::vector<uint8_t> bytes;  // what follows the header (may be shorter than `captured`: a cut file)
};

void Put32(std::vector<uint8_t>& out, uint32_t v, bool swapped) {
  if (swapped) v = __builtin_bswap32(v);
  const auto* p = reinterpret_cast<const uint8_t*>(&v);
  out.insert(out.end(), p, p + 4);
}

// A file as `magic` says (0xA1B2C3D4 or 0xA1B23C4D), written in the other byte order when `swapped`.
std::vector<uint8_t> File(uint32_t magic, bool swapped, uint32_t snaplen, const std::vector<Record>& records) {
  std::vector<uint8_t> out;
  Put32(out, magic, swapped);
  const uint16_t version[2] = {2, 4};
  for (uint16_t v : version) {
    const uint16_t w = swapped ? __builtin_bswap16(v) : v;
    out.insert(out.end(), reinterpret_cast<const uint8_t*>(&w), reinterpret_cast<const uint8_t*>(&w) + 2);
  }
  Put32(out, 0, swapped);
  Put32(out, 0, swapped);
  Put32(out, snaplen, swapped);
  Put32(out, 1, swapped);  // Ethernet
  for (const Record& r : records) {
    Put32(out, r.seconds, swapped);
    Put32(out, r.fraction, swapped);
    Put32(out, r.captured, swapped);
    Put32(out, r.wire_length, swapped);
    out.insert(out.end(), r.bytes.begin(), r.bytes.end());
  }
  return out;
}

Record Frame(std::mt19937& rng, uint32_t size, uint32_t seconds, uint32_t fraction) {
  Record r{seconds, fraction, size, size + static_cast<uint32_t>(rng() % 100), std::vector<uint8_t>(size)};
  for (uint8_t& b : r.bytes) b = static_cast<uint8_t>(rng());
  return r;
}

struct Seen {
  uint32_t captured, wire_length;
  int64_t time_us;
  std::vector<uint8_t> bytes;
  bool operator==(const Seen&) const = default;
};

class PcapRecordsTest : public testing::Test {
 protected:
  void TearDown() override { fs::remove(path_); }

  void Write(const std::vector<uint8_t>& bytes) {
    FILE* f = fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    fclose(f);
  }

  std::vector<Seen> ByLibpcap() {
    std::vector<Seen> out;
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_open_offline(path_.c_str(), err);
    EXPECT_NE(p, nullptr) << err;
    if (p == nullptr) return out;
    pcap_pkthdr* h;
    const u_char* d;
    while (pcap_next_ex(p, &h, &d) == 1)
      out.push_back({h->caplen, h->len, int64_t(h->ts.tv_sec) * 1000000 + h->ts.tv_usec,
                     std::vector<uint8_t>(d, d + h->caplen)});
    pcap_close(p);
    return out;
  }

  // The format as the replay adapter takes it: the magic from the file, the rest from libpcap.
  std::vector<Seen> ByRecords(PcapRecords::Access access) {
    std::vector<Seen> out;
    char err[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_open_offline(path_.c_str(), err);
    EXPECT_NE(p, nullptr) << err;
    if (p == nullptr) return out;
    PcapRecordFormat format;
    format.swapped = pcap_is_swapped(p) == 1;
    format.snapshot = static_cast<uint32_t>(pcap_snapshot(p));
    pcap_close(p);
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    uint8_t magic[4];
    EXPECT_EQ(read(fd, magic, 4), 4);
    EXPECT_TRUE(PcapRecords::Handles(magic, format.nanoseconds));
    EXPECT_EQ(lseek(fd, 24, SEEK_SET), 24);
    PcapRecords records;
    EXPECT_TRUE(records.Open(fd, format, access));
    EXPECT_EQ(records.Mapped(), access == PcapRecords::Access::kMapped);
    FrameRef f;
    int64_t t;
    while (records.Next(f, t)) out.push_back({f.captured, f.wire_length, t, std::vector<uint8_t>(f.data, f.data + f.captured)});
    EXPECT_FALSE(records.Next(f, t)) << "an ended reader stays ended";
    return out;
  }

  void ExpectSameAsLibpcap(const std::vector<uint8_t>& file, size_t expected_records) {
    Write(file);
    const std::vector<Seen> want = ByLibpcap();
    EXPECT_EQ(want.size(), expected_records);
    for (auto access : {PcapRecords::Access::kMapped, PcapRecords::Access::kRead}) {
      SCOPED_TRACE(access == PcapRecords::Access::kMapped ? "mapped" : "read");
      const std::vector<Seen> got = ByRecords(access);
      ASSERT_EQ(got.size(), want.size());
      for (size_t i = 0; i < want.size(); ++i)
        ASSERT_TRUE(got[i] == want[i]) << "record " << i << ": captured " << got[i].captured << "/" << want[i].captured
                                       << ", wire " << got[i].wire_length << "/" << want[i].wire_length << ", time "
                                       << got[i].time_us << "/" << want[i].time_us;
    }
  }

  // A mapped reader of the file written now, after its file header.
  void OpenMapped(PcapRecords& records) {
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(lseek(fd, 24, SEEK_SET), 24);
    ASSERT_TRUE(records.Open(fd, PcapRecordFormat{}));
    ASSERT_TRUE(records.Mapped());
  }

  std::string path_ = (fs::path(testing::TempDir()) / ("nw_records_" + std::to_string(getpid()) + ".pcap")).string();
};

TEST_F(PcapRecordsTest, BothByteOrdersAndStampUnitsAcrossBlockEdges) {
  std::mt19937 rng(7);
  std::vector<Record> records;
  // Sizes from empty to a few KiB, and some of the largest: records straddle many 64 KiB reads.
  for (int i = 0; i < 3000; ++i) {
    const uint32_t size = i % 500 == 499 ? PcapRecords::kMaxCaptured : i % 7 == 0 ? rng() % 4000 : rng() % 300;
    // Stamps include values past 2^31, which the format holds as signed numbers.
    const uint32_t seconds = i % 97 == 0 ? 0x80000000u + i : 1700000000u + i;
    records.push_back(Frame(rng, size, seconds, i % 89 == 0 ? 0xFFFFFF00u : rng() % 1000000000u));
  }
  for (uint32_t magic : {0xA1B2C3D4u, 0xA1B23C4Du}) {
    for (bool swapped : {false, true}) {
      SCOPED_TRACE(testing::Message() << std::hex << magic << (swapped ? " swapped" : ""));
      ExpectSameAsLibpcap(File(magic, swapped, 0, records), records.size());
    }
  }
}

TEST_F(PcapRecordsTest, RecordsLongerThanTheSnapshotLengthAreCutToIt) {
  std::mt19937 rng(8);
  std::vector<Record> records;
  for (uint32_t size : {10u, 100u, 101u, 5000u, 99u}) records.push_back(Frame(rng, size, 1000, 5));
  ExpectSameAsLibpcap(File(0xA1B2C3D4u, false, 100, records), records.size());
}

TEST_F(PcapRecordsTest, ReadingEndsWhereLibpcapFindsTheFileDamaged) {
  std::mt19937 rng(9);
  std::vector<Record> good;
  for (int i = 0; i < 50; ++i) good.push_back(Frame(rng, rng() % 2000, 1000 + i, 0));
  {
    SCOPED_TRACE("a captured length over the largest");
    std::vector<Record> records = good;
    records.insert(records.begin() + 20, Record{1, 0, PcapRecords::kMaxCaptured + 1, 10, {}});
    ExpectSameAsLibpcap(File(0xA1B2C3D4u, false, 0, records), 20);
  }
  {
    SCOPED_TRACE("the last frame cut short");
    std::vector<uint8_t> file = File(0xA1B2C3D4u, true, 0, good);
    file.resize(file.size() - 1);
    ExpectSameAsLibpcap(file, good.size() - 1);
  }
  {
    SCOPED_TRACE("a record header cut short");
    std::vector<uint8_t> file = File(0xA1B23C4Du, false, 0, good);
    file.insert(file.end(), 9, 0);
    ExpectSameAsLibpcap(file, good.size());
  }
}

TEST_F(PcapRecordsTest, AMappedFileIsReadOnWhenItGrowsAndEndsWhereItIsCutShort) {
  std::mt19937 rng(10);
  std::vector<Record> records;
  for (int i = 0; i < 400; ++i) records.push_back(Frame(rng, 60 + rng() % 1400, 1000 + i, 0));
  const std::vector<uint8_t> whole = File(0xA1B2C3D4u, false, 0, records);
  // Where each record starts in the file.
  std::vector<size_t> starts;
  for (size_t at = 24; const Record& r : records) {
    starts.push_back(at);
    at += 16 + r.bytes.size();
  }
  FrameRef f;
  int64_t t = 0;
  {
    SCOPED_TRACE("grown: records written after the mapping are read on from the file");
    Write(std::vector<uint8_t>(whole.begin(), whole.begin() + static_cast<long>(starts[300])));
    PcapRecords reader;
    OpenMapped(reader);
    for (int i = 0; i < 300; ++i) ASSERT_TRUE(reader.Next(f, t)) << i;
    FILE* out = fopen(path_.c_str(), "ab");
    ASSERT_NE(out, nullptr);
    fwrite(whole.data() + starts[300], 1, whole.size() - starts[300], out);
    fclose(out);
    for (int i = 300; i < 400; ++i) {
      ASSERT_TRUE(reader.Next(f, t)) << i;
      ASSERT_EQ(std::vector<uint8_t>(f.data, f.data + f.captured), records[i].bytes) << i;
    }
    EXPECT_FALSE(reader.Next(f, t));
  }
  // Cut in the middle of record 200's bytes, and just after record 200's header: the rest of the
  // page past the new end reads as zeros, and pages after it fault.
  for (size_t cut : {starts[200] + 16 + records[200].bytes.size() / 2, starts[200] + 16}) {
    SCOPED_TRACE(testing::Message() << "cut short at " << cut);
    Write(whole);
    PcapRecords reader;
    OpenMapped(reader);
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(reader.Next(f, t)) << i;
    ASSERT_EQ(truncate(path_.c_str(), static_cast<off_t>(cut)), 0);
    int read_on = 100;
    while (reader.Next(f, t)) {
      ASSERT_LE(read_on, 200) << "a record past the cut";
      if (read_on < 200) {
        ASSERT_EQ(std::vector<uint8_t>(f.data, f.data + f.captured), records[read_on].bytes);
      }
      ++read_on;
    }
    // Record 200 itself may come out, with zeros where it was cut: it has left the file.
    EXPECT_GE(read_on, 200);
    EXPECT_FALSE(reader.Next(f, t)) << "an ended reader stays ended";
  }
}

TEST_F(PcapRecordsTest, OnlyClassicPcapMagicNumbersAreTaken) {
  bool nano = true;
  EXPECT_TRUE(PcapRecords::Handles({0xD4, 0xC3, 0xB2, 0xA1}, nano));
  EXPECT_FALSE(nano);
  EXPECT_TRUE(PcapRecords::Handles({0xA1, 0xB2, 0xC3, 0xD4}, nano));
  EXPECT_TRUE(PcapRecords::Handles({0x4D, 0x3C, 0xB2, 0xA1}, nano));
  EXPECT_TRUE(nano);
  EXPECT_FALSE(PcapRecords::Handles({0x0A, 0x0D, 0x0D, 0x0A}, nano));  // pcapng section header
  EXPECT_FALSE(PcapRecords::Handles({0x34, 0xCD, 0xB2, 0xA1}, nano));  // the extended-header variant
}

}  // namespace
