// The client's snapshot reader over images made with the agent's own serialisers, malformed files
// (every length checked against the bytes there), and `netward --snapshot` on a file.
#include "snapshot_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "core/byte_writer.h"
#include "remote/reply_records.h"
#include "remote/snapshot.h"

namespace netward::client {
namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

constexpr uint32_t kNoon = 1796385600u;  // 2026-12-04 12:00:00 UTC

void Put32(Bytes& b, uint32_t v) {
  uint8_t w[4];
  PutU32Le(w, v);
  b.insert(b.end(), w, w + 4);
}

void AddRecord(Bytes& image, const char* name, const Bytes& data) {
  uint8_t head[kSnapshotRecordHeaderSize];
  BuildSnapshotRecordHeader(static_cast<uint32_t>(data.size()), name, head);
  image.insert(image.end(), head, head + sizeof head);
  image.insert(image.end(), data.begin(), data.end());
}

// "NWS ", a TOTAL reply, a two-frame Ethernet capture (60 bytes, then 1514 bytes 3 s later), end mark.
Bytes Image() {
  GlobalArea* g = AllocateGlobalArea();
  g->HostName.Set("PC1");
  uint8_t header[kReplyHeaderSize], tot[kTotRecordSize];
  BuildReplyHeader(kNoon, 0, header);
  BuildTotRecord(*g, kNoon, tot);
  FreeGlobalArea(g);
  Bytes reply(header, header + sizeof header);
  reply.insert(reply.end(), tot, tot + sizeof tot);

  static uint8_t data[2][256];
  memset(data[0], 0x11, 256);
  memset(data[1], 0x22, 256);
  const netward::CaptureFrame frames[] = {{kNoon, 60, data[0]}, {kNoon + 3, 1514, data[1]}};
  Bytes cap;
  BuildFrameCapture(frames, 2, 0, cap);
  for (uint8_t& b : cap) b = static_cast<uint8_t>(~b);

  Bytes image = {'N', 'W', 'S', ' '};
  AddRecord(image, "TOTAL", reply);
  AddRecord(image, "DUMP_1", cap);
  Put32(image, 0);
  return image;
}

TEST(SnapshotReader, RepliesAndCapturesOfTheWriter) {
  setenv("TZ", "UTC", 1);
  tzset();
  std::vector<SnapshotRecord> recs;
  ParseError err;
  ASSERT_TRUE(ReadSnapshot(Image(), recs, err)) << err.Message();
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].name, "TOTAL");
  ASSERT_EQ(recs[0].reply.records.size(), 1u);
  EXPECT_EQ(recs[0].reply.records[0].tot.host_name, "PC1");
  EXPECT_TRUE(recs[1].is_dump);
  const FrameCaptureInfo& c = recs[1].capture_info;
  EXPECT_EQ(std::string(recs[1].capture.begin(), recs[1].capture.begin() + 4), "RTSS");
  EXPECT_EQ(c.version_major, 0x78);
  EXPECT_EQ(c.network, 1);
  EXPECT_EQ(c.year * 10000 + c.month * 100 + c.day, 20261204);
  EXPECT_EQ(c.hour, 12);
  ASSERT_EQ(c.frames.size(), 2u);
  EXPECT_EQ(c.frames[1].ms_offset, 3000u);
  EXPECT_EQ(c.frames[1].length, 1514);
  EXPECT_EQ(c.frames[1].stored, 256);
  EXPECT_EQ(recs[1].capture[c.frames[1].offset + 8], 0x22);

  std::string text;
  FormatSnapshotText(recs, text);
  EXPECT_NE(text.find("== DUMP_1\nFrame capture: network type 1, first frame 2026-12-04 12:00:00, 2 frames\n"
                      "  Frame       ms  Length  Stored\n"
                      "      1        0      60      60\n"
                      "      2     3000    1514     256\n"),
            std::string::npos)
      << text;
}

TEST(SnapshotReader, MalformedFilesNameTheOffset) {
  const Bytes good = Image();
  const size_t dump_at = good.size() - 4 - (20 + 128 + 68 + 264 + 8 + 8);
  struct Case {
    const char* what;
    size_t at;     // byte to change, or the new size when `cut`
    uint8_t value;
    bool cut;
    size_t offset;  // expected error offset
  } cases[] = {
      {"magic", 0, 'X', false, 0},
      {"no end mark", good.size() - 4, 0, true, good.size() - 4},
      {"bytes after the end mark", good.size() + 1, 0, true, good.size() - 4},
      {"record length below 16", 4, 15, false, 4},
      {"record length past the end", dump_at + 3, 0x10, false, dump_at},
      {"reply block not TASK", 24, 'X', false, 24},
      {"capture magic", dump_at + 20, 0, false, dump_at + 20},
      {"table length not a multiple of 4", dump_at + 20 + 28, static_cast<uint8_t>(~9u), false, dump_at + 20},
      {"table offset past the capture", dump_at + 20 + 25, 0, false, dump_at + 20},
      {"frame offset inside the header", dump_at + 20 + 128 + 68 + 264, static_cast<uint8_t>(~1u), false, dump_at + 20},
      {"stored bytes past the records", dump_at + 20 + 128 + 68 + 7, static_cast<uint8_t>(~2u), false, dump_at + 20},
  };
  for (const Case& c : cases) {
    Bytes b = good;
    if (c.cut) {
      b.resize(c.at);
    } else {
      b[c.at] = c.value;
    }
    std::vector<SnapshotRecord> recs;
    ParseError err;
    EXPECT_FALSE(ReadSnapshot(b, recs, err)) << c.what;
    EXPECT_EQ(err.offset, c.offset) << c.what << ": " << err.Message();
  }
}

TEST(SnapshotReader, CommandLineListsTheFileAndWritesTheCaptures) {
  const fs::path dir = fs::path(testing::TempDir()) / ("nws_reader_" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const Bytes image = Image();
  {
    std::ofstream f(dir / "A.NWS", std::ios::binary);
    f.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  }
  const std::string cmd = std::string("TZ=UTC ") + NETWARD_BINARY_DIR + "/tools/netward/netward --snapshot " +
                          (dir / "A.NWS").string() + " --write-captures " + dir.string();
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::string out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  EXPECT_EQ(pclose(p), 0);
  EXPECT_EQ(out.rfind("== TOTAL\n", 0), 0u) << out;
  EXPECT_NE(out.find("PC1"), std::string::npos) << "the reply prints as a live one";
  std::ifstream cap(dir / "DUMP_1.cap", std::ios::binary);
  Bytes written((std::istreambuf_iterator<char>(cap)), {});
  ASSERT_EQ(written.size(), 20u + 128 + 68 + 264 + 8 + 8 - 20);
  EXPECT_EQ(std::string(written.begin(), written.begin() + 4), "RTSS");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace netward::client
