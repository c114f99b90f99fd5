// The adapter status record: whole records against hand-laid bytes through the scripted driver,
// the value texts of single answers, and one record of the real loopback interface.
#include "diagnostics/adapter_status.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <string>

#include "capture/linux_driver.h"
#include "capture/capture_test_util.h"
#include "capture/scripted_driver.h"
#include "common/hex.h"
#include "platform/clock.h"
#include "platform/hive_file.h"

using namespace netward;
using netward::testing_hex::Hex;

namespace {

std::string HexOf(const std::string& s) { return Hex(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
std::string Zeroed(const std::string& text, size_t n) { return HexOf(text + std::string(n - text.size(), '\0')); }

// The expected record, laid out by hand: each text at its byte offset of a zero-filled record.
std::string Layout(std::initializer_list<std::pair<size_t, std::string>> fields) {
  std::string bytes(744, '\0');
  for (const auto& [at, text] : fields) bytes.replace(at, text.size(), text);
  return HexOf(bytes);
}

class AdapterStatus : public testing::Test {
 protected:
  AdapterStatus() : nic_(AllocateNicArea()) {
    nic_->AdapterName.Set("FastLink1");
    nic_->AdapterTitle.Set("FastLink PCI Adapter");
    nic_->DriverFileText.Set("fastlink.ko  01/15/26");
    const uint8_t mac[6] = {0x00, 0x60, 0x08, 0xAB, 0xCD, 0x0E};
    memcpy(nic_->OwnAddress, mac, 6);
  }
  ~AdapterStatus() override {
    handle_.reset();
    delete nic_;
  }
  void Answer(std::initializer_list<std::pair<uint32_t, uint32_t>> answers) {
    for (auto [oid, value] : answers) driver_.script.Answer32(oid, value);
  }
  std::string Build(int position = 0) {
    if (!handle_) nic_->Driver.store((handle_ = driver_.Open(u"\\Device\\TapEye_FastLink1")).get());
    uint8_t record[kAdapterStatusSize];
    memset(record, 0xEE, sizeof record);  // every byte must be written
    BuildAdapterStatus(*nic_, position, record);
    return Hex(record, sizeof record);
  }

  ScriptedDriver driver_;
  std::unique_ptr<PacketDriverHandle> handle_;
  NicArea* nic_;
};

TEST_F(AdapterStatus, EthernetRecordGolden) {
  driver_.script.oid_answers[0x00010110] = {0x00, 0x05};  // NDIS 5.0
  driver_.script.oid_answers[0x00010116] = {0x03, 0x07};  // driver 7.3
  // MAC options with the no-loopback bit among others; no-buffer not counted; CRC not answered;
  // a Token Ring counter that an Ethernet adapter is not asked for.
  Answer({{0x00010113, 0x0B}, {0x00010102, 0}, {0x00010114, 0}, {0x00020103, 12}, {0x00020104, 0},
          {0x00020105, 0xFFFFFFFF}, {0x00010107, 1000000}, {0x01020101, 7}, {0x01020102, 4294967294u},
          {0x01020207, 3}, {0x02020101, 99}});
  EXPECT_EQ(Build(2), Layout({{0, std::string("OID \x03\0\0\0", 8)}, {8, "FastLink1"}, {40, "Open"},
              {56, "NDIS"}, {72, "FastLink PCI Adapter, NDIS 5.0"}, {136, "fastlink.ko  01/15/26 7.3"},
              {168, "006008ABCD0E"}, {184, "Ready"}, {204, "Connected"}, {224, "Ethernet"}, {240, "100 Mbps"},
              {256, "12"}, {272, "0"}, {320, "7"}, {336, "4294967294"}, {464, "3"}}));
}

TEST_F(AdapterStatus, TokenRingRecordGolden) {
  nic_->MediaType = 1;
  const uint8_t mac[6] = {0x10, 0x00, 0x5A, 0x12, 0x34, 0x56};
  memcpy(nic_->OwnAddress, mac, 6);
  // No versions answered; the adapter loops back itself; an 802.3 counter that is not asked for.
  Answer({{0x00010113, 0}, {0x00010102, 1}, {0x00010114, 1}, {0x00010107, 160000}, {0x01020101, 7},
          {0x02020101, 5}, {0x02020102, 0}, {0x02020207, 9}, {0x02010106, 0xC000}, {0x02010107, 1}});
  EXPECT_EQ(Build(0), Layout({{0, std::string("OID \x01\0\0\0", 8)}, {8, "FastLink1"}, {40, "Open"},
              {56, "HARDWARE"}, {72, "FastLink PCI Adapter"}, {136, "fastlink.ko  01/15/26"},
              {168, "10005A123456"}, {184, "Initializing"}, {204, "Initializing"}, {224, "Token Ring"},
              {240, "16 Mbps"}, {480, "5"}, {496, "0"}, {608, "9"}, {624, "Signal Loss, Hard Error"},
              {724, "Open"}}));
}

TEST_F(AdapterStatus, ClosedAdapterHasNumberNamesAndClosedOnly) {
  Answer({{0x00010102, 0}});
  Build();
  handle_->Close();  // the capture thread ended; the handle stays and still answers
  const std::string want = Layout({{0, std::string("OID \x01\0\0\0", 8)}, {8, "FastLink1"}, {40, "CLOSED"},
                                  {72, "FastLink PCI Adapter"}, {136, "fastlink.ko  01/15/26"}});
  EXPECT_EQ(Build(), want);
  nic_->Driver.store(nullptr);  // never opened
  EXPECT_EQ(Build(), want);
}

// One answer and the field it gives; Token Ring OIDs (0x02......) are asked of a Token Ring adapter.
TEST_F(AdapterStatus, ValueTexts) {
  const std::string all_bits_cut =  // 100 characters, no NUL
      "Signal Loss, Hard Error, Soft Error, Transmit Beacon, Lobe Wire Fault, Auto Removal, Remove Received";
  struct Row {
    uint32_t oid, answer;
    size_t at, size;
    std::string text;
  } const rows[] = {
      {0x00010107, 1000000, 240, 16, "100 Mbps"},   {0x00010107, 56, 240, 16, "5 Kbps"},
      {0x00010107, 3, 240, 16, "300 bps"},          {0x00010107, 0, 240, 16, ""},
      {0x00010102, 5, 184, 20, "UNKNOWN x00000005"}, {0x00010114, 0xDEADBEEF, 204, 20, "UNKNOWN xDEADBEEF"},
      {0x00020104, 0xFFFFFFFF, 272, 16, ""},        {0x02010106, 0, 624, 100, "Okay"},
      {0x02010106, 0x8001, 624, 100, "Signal Loss"}, {0x02010106, 0x0001, 624, 100, "UNKNOWN x00000001"},
      {0x02010106, 0xFFC0, 624, 100, all_bits_cut}, {0x02010107, 0, 724, 20, "UNKNOWN x00000000"},
      {0x00010110, 0x80FF, 72, 64, "FastLink PCI Adapter, NDIS -128.-1"},  // bytes are signed
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << r.oid << " " << r.answer);
    nic_->MediaType = (r.oid >> 24) == 2 ? 1 : 0;
    driver_.script.oid_answers.clear();
    Answer({{r.oid, r.answer}});
    EXPECT_EQ(Build().substr(2 * r.at, 2 * r.size), Zeroed(r.text, r.size));
  }
}

TEST_F(AdapterStatus, LongTitleAndDriverTextsAreCutKeepingTheirNul) {
  nic_->AdapterTitle.Set(std::string(58, 'T').c_str());
  nic_->DriverFileText.Set(std::string(28, 'D').c_str());
  driver_.script.oid_answers[0x00010110] = {0x00, 0x05};
  driver_.script.oid_answers[0x00010116] = {0x03, 0x07};
  const std::string record = Build();
  EXPECT_EQ(record.substr(2 * 72, 2 * 64), Zeroed(std::string(58, 'T') + ", NDI", 64));
  EXPECT_EQ(record.substr(2 * 136, 2 * 32), Zeroed(std::string(28, 'D') + " 7.", 32));
}

TEST_F(AdapterStatus, WanAdapterHasNoMediaCounters) {
  nic_->IsWan = 1;
  Answer({{0x00020103, 2}, {0x01020101, 7}, {0x01020207, 3}});
  const std::string record = Build();
  EXPECT_EQ(record.substr(2 * 224, 2 * 16), Zeroed("WAN 802.3", 16));
  EXPECT_EQ(record.substr(2 * 256, 2 * 16), Zeroed("2", 16));         // general counters still asked
  EXPECT_EQ(record.substr(2 * 320, 2 * 160), std::string(320, '0'));  // no Ethernet counters
}

TEST(AdapterStatusLive, LoopbackThroughTheLiveDriver) {
  if (geteuid() != 0) GTEST_SKIP() << "capture on lo needs root";
  platform::HiveFile hive;
  platform::RealClock clock;
  std::unique_ptr<LinuxPacketDriver> driver;  // outlives the capture thread
  CaptureRun run;
  driver = std::make_unique<LinuxPacketDriver>(hive, clock, run.out(), std::vector<std::string>{});
  NicArea* nic = run.nic();
  nic->AdapterName.Set("lo");  // start-up fills the names
  nic->AdapterTitle.Set("Loopback");
  run.Start(*driver, false, u"\\Device\\TapEye_lo");
  uint32_t filter = 0;  // set once the capture thread is reading
  ASSERT_TRUE(WaitUntil([&] {
    return run.Ended() || (nic->Driver.load() && nic->Driver.load()->QueryOid(0x0001010E, &filter, 4) && filter);
  }));
  ASSERT_FALSE(run.Ended()) << run.out().Text();

  uint8_t record[kAdapterStatusSize];
  BuildAdapterStatus(*nic, 0, record);
  auto text = [&](size_t at) { return std::string(reinterpret_cast<const char*>(record + at)); };
  // lo: no driver module (no version), no speed, operstate "unknown" and carrier 1.
  // Multiple collisions (352) and deferrals (368) have no counterpart.
  for (auto [at, want] : {std::pair<size_t, const char*>{0, "OID \x01"}, {8, "lo"}, {40, "Open"}, {56, "NDIS"},
                          {72, "Loopback, NDIS 5.0"}, {136, ""}, {168, "000000000000"}, {184, "Ready"},
                          {204, "Connected"}, {224, "Ethernet"}, {240, ""}, {352, ""}, {368, ""}})
    EXPECT_EQ(text(at), want) << at;
  for (size_t at : {256, 272, 288, 304, 320, 336, 384, 400, 416, 432, 448, 464})
    EXPECT_TRUE(std::regex_match(text(at), std::regex("[0-9]+"))) << at << ": " << text(at);
  EXPECT_EQ(Hex(record + 480, 264), std::string(528, '0'));  // no Token Ring fields

  run.Stop();
  BuildAdapterStatus(*nic, 0, record);
  EXPECT_EQ(text(40), "CLOSED");
  EXPECT_EQ(text(224), "");
}

}  // namespace
