#include "diagnostics/installed_adapters.h"

#include "capture/packet_driver.h"
#include "platform/hive_file.h"
#include "platform/system_registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

using namespace netward;
using namespace netward::platform;
namespace fs = std::filesystem;

namespace {

constexpr char kCards[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
constexpr char kServices[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services";
constexpr time_t kFileTime = 1614953229;  // 2021-03-05 14:07:09 UTC
constexpr char kHeader[] = "INSTALLED NETWORK ADAPTERS\r\n";

std::string Block(const char* product, const char* description, const char* maker, const char* service,
                  const std::string& driver) {
  return std::string("\r\n  Product Name: ") + product + "\r\n  Description : " + description +
         "\r\n  Manufacturer: " + maker + "\r\n  Service Name: " + service + "\r\n  Driver      : " + driver + "\r\n";
}

// Cards come only from the hive: the system view looks at an empty tree.
class InstalledAdapters : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    state_ = fs::path(testing::TempDir()) / ("cards_" + std::to_string(getpid()));
    fs::remove_all(state_);
    fs::create_directories(state_ / "empty");
    fs::create_directories(state_ / "System32" / "drivers");
    registry_.SetSystemPaths({(state_ / "empty").string(), (state_ / "empty").string(), (state_ / "empty").string()});
  }
  void TearDown() override { fs::remove_all(state_); }

  void MakeFile(const fs::path& path, size_t bytes) {
    std::ofstream{path};
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(bytes)), 0);
    timespec times[2] = {{kFileTime, 0}, {kFileTime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  void AddCard(int n, const char* product, const char* service, const char* description = "",
               const char* maker = "", const char* title = "") {
    std::string key = std::string(kCards) + "\\" + std::to_string(n);
    hive_->SetString(key, "ProductName", product);
    hive_->SetString(key, "ServiceName", service);
    hive_->SetString(key, "Description", description);
    hive_->SetString(key, "Manufacturer", maker);
    hive_->SetString(key, "Title", title);
  }
  void SetImage(const char* service, const std::string& path) {
    hive_->SetString(std::string(kServices) + "\\" + service, "ImagePath", path);
  }
  // Cards 1, 2 and 4: the first with a driver under \SystemRoot\, the second without ImagePath, the
  // fourth with an absolute path.
  void AddGappedCards() {
    MakeFile(state_ / "System32" / "drivers" / "tap.sys", 1234);
    MakeFile(state_ / "four.sys", 77);
    AddCard(1, "TapNet", "eth0", "Tap Adapter", "Brackwater", "[1] Tap Adapter");
    SetImage("TapNet", "\\SYSTEMROOT\\System32\\drivers\\tap.sys");
    AddCard(2, "NoImage", "eth1", "", "", "Plain Title");
    hive_->CreateKey(std::string(kServices) + "\\NoImage");
    AddCard(4, "Four", "ETH2", "Fourth", "", "[4] Fourth Card");
    SetImage("Four", (state_ / "four.sys").string());
  }
  std::string Report(size_t size = 4096) {
    std::string area(size, '#');
    ListInstalledAdapters(registry_, state_.string(), area.data(), area.size());
    return area.substr(0, strnlen(area.data(), area.size()));
  }
  std::string DriverLine(const char* service, size_t size = kDriverLineBytes) {
    std::string field(size, 0);
    field[0] = '=';
    FormatDriverFileDate(registry_, state_.string(), service, field.data(), field.size());
    return field.c_str();
  }

  fs::path state_;
  std::shared_ptr<HiveFile> hive_ = std::make_shared<HiveFile>();
  SystemRegistry registry_{hive_, PacketDriverKeys()};
};

TEST_F(InstalledAdapters, ReportStopsAtTheFirstGap) {
  AddGappedCards();
  EXPECT_EQ(Report(), kHeader + Block("TapNet", "Tap Adapter", "Brackwater", "eth0",
                                      "tap.sys           1234  14:07:09  05-March-2021") +
                          Block("NoImage", "", "", "eth1", "?"));
}

TEST_F(InstalledAdapters, DriverLines) {
  MakeFile(state_ / "System32" / "drivers" / "Long-Driver-Name.sys", 123456789);
  SetImage("Long", "\\SystemRoot\\System32\\drivers\\Long-Driver-Name.sys");
  SetImage("NameCase", "\\SystemRoot\\System32\\drivers\\LONG-DRIVER-NAME.SYS");
  SetImage("Relative", "System32\\drivers\\x.sys");
  SetImage("LongPath", std::string(150, 'p'));
  SetImage("Gone", "\\SystemRoot\\System32\\drivers\\gone.sys");
  SetImage("Empty", "");
  hive_->CreateKey(std::string(kServices) + "\\NoValue");
  const std::string gone = state_.string() + "/System32/drivers/gone.sys";
  struct Row {
    const char* service;
    std::string line;
  } rows[] = {
      {"Long", "Long-Driver-Name.sys 123456789  14:07:09  05-March-2021"},
      {"NameCase", "Long-Driver-Name.sys 123456789  14:07:09  05-March-2021"},
      {"Relative", "System32\\drivers\\x.sys"},
      {"Gone", gone},
      {"Empty", "?"},
      {"NoValue", "?"},
      {"NoSuchService", "="},
  };
  for (const Row& r : rows) EXPECT_EQ(DriverLine(r.service), r.line) << r.service;
  EXPECT_EQ(DriverLine("Long", 99), "=") << "a field under 100 bytes stays untouched";
  EXPECT_EQ(DriverLine("Long", 100).size(), 55u);
  EXPECT_EQ(DriverLine("LongPath", 100), std::string(99, 'p')) << "cut to the field";
}

TEST_F(InstalledAdapters, FifteenCardsAtMostAndTheAreaLimits) {
  std::string expected = kHeader, first_nine;
  for (int n = 1; n <= 16; ++n) {
    std::string name = "Card" + std::to_string(n);
    AddCard(n, name.c_str(), "x");
    if (n <= 15) expected += Block(name.c_str(), "", "", "x", "");
    if (n == 9) first_nine = expected;
  }
  EXPECT_EQ(Report(), expected) << "no service keys: empty driver lines; the sixteenth card is never listed";
  EXPECT_EQ(Report(999), "") << "areas under 1000 bytes stay empty";
  // A card is added only while 100 bytes remain: nine 98-byte blocks leave 90 of 1000.
  EXPECT_EQ(Report(1000), first_nine);

  const std::string description(500, 'd');
  expected = kHeader;
  for (int n = 1; n <= 2; ++n) {
    std::string name = "Card" + std::to_string(n);
    AddCard(n, name.c_str(), "x", description.c_str());
    expected += Block(name.c_str(), description.c_str(), "", "x", "");
  }
  EXPECT_EQ(Report(1000), expected.substr(0, 999)) << "the second card is cut at the end of the area";
}

TEST_F(InstalledAdapters, NoCardsKey) {
  EXPECT_EQ(Report(), std::string(kHeader) + "\r\nCOULD NOT LOCATE ANY INSTALL NETWORK CARDS\r\n");
  GlobalArea* g = AllocateGlobalArea();
  CapturedOutput out;
  CheckDriverDates(registry_, state_.string(), *g, out);
  EXPECT_EQ(out.Text(), "ERROR - COULD NOT LOCATE ANY INSTALL NETWORK CARDS\n");
  FreeGlobalArea(g);
}

TEST_F(InstalledAdapters, StartUpCheckFillsMatchingAdaptersOfEveryCard) {
  AddGappedCards();
  GlobalArea* g = AllocateGlobalArea();
  const char* names[] = {"ETH0", "eth1", "eth2", "eth3"};
  for (int i = 0; i < 4; ++i) {
    g->Nics[i] = AllocateNicArea();
    g->Nics[i]->AdapterName.Set(names[i]);
  }
  g->NicCount.store(4);
  CapturedOutput out;
  CheckDriverDates(registry_, state_.string(), *g, out);
  EXPECT_EQ(out.Text(), "");
  struct Row {
    const char* title;
    const char* file_text;
    uint32_t time;
  } rows[] = {
      {"Tap Adapter", "tap.sys      05-Mar-2021", uint32_t(kFileTime)},
      {"", "", 0},  // no driver file: nothing stored
      {"Fourth Card", "four.sys     05-Mar-2021", uint32_t(kFileTime)},  // card 4, past the gap
      {"", "", 0},
  };
  auto title_and_text = [&](int i) {
    char title[64], text[32];
    g->Nics[i]->AdapterTitle.Get(title);
    g->Nics[i]->DriverFileText.Get(text);
    return std::make_pair(std::string(title), std::string(text));
  };
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(title_and_text(i), std::make_pair(std::string(rows[i].title), std::string(rows[i].file_text))) << i;
    EXPECT_EQ(g->Nics[i]->DriverFileTime, rows[i].time) << i;
  }

  // Titles without "[n] " are kept whole, long ones and long file texts are cut to their fields.
  std::string long_name(40, 'd');
  MakeFile(state_ / (long_name + ".sys"), 1);
  AddCard(2, "NoImage", "eth1", "", "", ("[22] " + std::string(70, 't')).c_str());
  SetImage("NoImage", (state_ / (long_name + ".sys")).string());
  CheckDriverDates(registry_, state_.string(), *g, out);
  EXPECT_EQ(title_and_text(1), std::make_pair(("[22] " + std::string(70, 't')).substr(0, 63), long_name.substr(0, 31)));
  FreeGlobalArea(g);
}

// The system view of this machine: whatever cards it has, the report is made of whole blocks.
TEST(InstalledAdaptersLive, ReportIsWellFormed) {
  SystemRegistry registry(std::make_shared<HiveFile>(), PacketDriverKeys());
  char area[4096];
  ListInstalledAdapters(registry, "/nonexistent", area, sizeof area);
  std::string rest = area;
  ASSERT_EQ(rest.rfind(kHeader, 0), 0u) << rest;
  rest.erase(0, sizeof kHeader - 1);
  if (rest == "\r\nCOULD NOT LOCATE ANY INSTALL NETWORK CARDS\r\n") GTEST_SKIP() << "no network cards here";
  const char* labels[] = {"\r", "  Product Name: ", "  Description : ", "  Manufacturer: ", "  Service Name: ",
                          "  Driver      : "};
  std::istringstream lines(rest);
  int i = 0;
  for (std::string line; std::getline(lines, line); ++i)
    ASSERT_TRUE(line.rfind(labels[i % 6], 0) == 0 && line.back() == '\r') << line;
  EXPECT_TRUE(i > 0 && i % 6 == 0) << rest;
}

}  // namespace
