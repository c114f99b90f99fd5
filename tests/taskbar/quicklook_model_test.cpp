#include "taskbar/quicklook_model.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace netward {
namespace {

std::string Cell(uint32_t v) {
  char out[kCellBytes];
  FormatQuickLookCell(v, out);
  return out;
}

TEST(QuickLookCells, ZeroIsADashOthersAreGroupedInThrees) {
  const std::pair<uint32_t, const char*> cases[] = {{0, "-"}, {999, "999"}, {1000, "1,000"}, {65536, "65,536"},
                                                    {1200000, "1,200,000"}, {4294967295u, "4,294,967,295"}};
  for (const auto& [v, text] : cases) EXPECT_EQ(Cell(v), text) << v;
}

TEST(QuickLookCells, PercentRoundsHalfUp) {
  // 1/200 is 0.5 and goes up; 5/0 is before any frame; 200 * x leaves 32 bits above 21,474,836
  // frames and still gives the right share.
  const uint32_t cases[][3] = {{1, 3, 33}, {2, 3, 67}, {1, 200, 1}, {1, 201, 0}, {5, 0, 0}, {3, 3, 100},
                               {30000000u, 40000000u, 75}};
  for (const auto& c : cases) EXPECT_EQ(QuickLookPercent(c[0], c[1]), c[2]) << c[0] << "/" << c[1];
}

TEST(QuickLookCells, RowsTakeTheirCountersAndTheRiseOverOneSecond) {
  TrafficCounters before = {};
  TrafficCounters now = {};
  QuickLookView v;
  ComputeQuickLookView(now, before, 0, kQuickLookIconNothingReceived, "NO traffic received since PC started", v);
  for (auto& row : v.cells)
    for (auto& cell : row) EXPECT_STREQ(cell, "-");  // before any frame
  EXPECT_STREQ(v.status_text, "NO traffic received since PC started");

  before = {0.0f, 10, 1200000, 1, 0.0f, 20, 5, 1};
  now = before;
  now.OwnFrames += 3;
  now.OtherEventFrames += 1;
  now.OwnGroupFrames += 0;
  now.OtherGroupFrames += 2;
  const uint32_t total = 1200000 + 10 + 20 + 5 + 2 + 3 + 3;
  ComputeQuickLookView(now, before, total, kQuickLookIconError, "Error detected", v);
  EXPECT_STREQ(v.cells[0][1], "3");  // errors: other + own
  EXPECT_STREQ(v.cells[0][2], "1");
  EXPECT_STREQ(v.cells[1][0], "100");
  EXPECT_STREQ(v.cells[1][1], "1,200,000");  // broadcasts sent
  EXPECT_STREQ(v.cells[1][2], "-");          // none in the last second
  EXPECT_STREQ(v.cells[2][1], "33");         // session: other + own
  EXPECT_STREQ(v.cells[2][2], "3");
  EXPECT_STREQ(v.cells[3][1], "7");          // broadcasts received
  EXPECT_STREQ(v.cells[3][0], "-");          // 7 of 1.2 million rounds to 0
}

TEST(QuickLookCells, CaptionNamesTheHostAndItsAddress) {
  std::unique_ptr<GlobalArea, void (*)(GlobalArea*)> g(AllocateGlobalArea(), FreeGlobalArea);
  g->HostName.Set("LABPC");
  g->AddressText.Set("10.1.0.10");
  char caption[kCaptionBytes];
  FormatQuickLookCaption(*g, caption);
  EXPECT_STREQ(caption, "NETWARD QuickLook - LABPC  10.1.0.10");
}

}  // namespace
}  // namespace netward
