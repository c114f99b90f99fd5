// The adapter status record: whole records against hand-laid bytes through the scripted driver,
// the value texts of single answers, and one record of the real loopback interface.
#include "diagnostics/adapter_status.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <regex>
#include <string>

#include "capture/capture_test_util.h"
#include "capture/scripted_driver.h"
#include "common/hex.h"
#include "platform/clock.h"
#include "platform/registry.h"

using namespace netward;
using netward::testing_hex::Hex;

namespace {

// The expected record, laid out by hand: text `s` at byte `at` of a zero-filled 744-byte record.
struct Layout {
  std::string bytes = std::string(744, '\0');
  Layout& At(size_t at, const std::string& s) {
    bytes.replace(at, s.size(), s);
    return *this;
  }
  std::string Hex() const { return testing_hex::Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()); }
};

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
  ScriptedDriver::Script& script() { return driver_.script; }
  void Open() {
    handle_ = driver_.Open(u"\\Device\\TapEye_FastLink1");
    nic_->Driver.store(handle_.get());
  }
  std::string Build(int position = 0) {
    if (!handle_) Open();
    uint8_t record[kAdapterStatusSize];
    memset(record, 0xEE, sizeof record);  // every byte must be written
    BuildAdapterStatus(*nic_, position, record);
    return Hex(record, sizeof record);
  }
  std::string Field(size_t at, size_t size) {
    std::string all = Build();
    return all.substr(2 * at, 2 * size);
  }

  ScriptedDriver driver_;
  std::unique_ptr<PacketDriverHandle> handle_;
  NicArea* nic_;
};

TEST_F(AdapterStatus, EthernetRecordGolden) {
  ScriptedDriver::Script& s = script();
  s.oid_answers[0x00010110] = {0x00, 0x05};  // NDIS 5.0
  s.oid_answers[0x00010116] = {0x03, 0x07};  // driver 7.3
  s.Answer32(0x00010113, 0x0000000B);         // no-loopback bit among others
  s.Answer32(0x00010102, 0);
  s.Answer32(0x00010114, 0);
  s.Answer32(0x00020103, 12);
  s.Answer32(0x00020104, 0);
  s.Answer32(0x00020105, 0xFFFFFFFF);  // not counted: empty
  // 0x0002020D (CRC) not answered: empty
  s.Answer32(0x00010107, 1000000);
  s.Answer32(0x01020101, 7);
  s.Answer32(0x01020102, 4294967294u);
  s.Answer32(0x01020207, 3);
  s.Answer32(0x02020101, 99);  // Token Ring counters are not asked on Ethernet
  s.Answer32(0x02010106, 0);
  Layout want;
  want.At(0, std::string("OID \x03\0\0\0", 8))
      .At(8, "FastLink1")
      .At(40, "Open")
      .At(56, "NDIS")
      .At(72, "FastLink PCI Adapter, NDIS 5.0")
      .At(136, "fastlink.ko  01/15/26 7.3")
      .At(168, "006008ABCD0E")
      .At(184, "Ready")
      .At(204, "Connected")
      .At(224, "Ethernet")
      .At(240, "100 Mbps")
      .At(256, "12")
      .At(272, "0")
      .At(320, "7")
      .At(336, "4294967294")
      .At(464, "3");
  EXPECT_EQ(Build(2), want.Hex());
}

TEST_F(AdapterStatus, TokenRingRecordGolden) {
  nic_->MediaType = 1;
  const uint8_t mac[6] = {0x10, 0x00, 0x5A, 0x12, 0x34, 0x56};
  memcpy(nic_->OwnAddress, mac, 6);
  ScriptedDriver::Script& s = script();
  // Versions not answered: title and driver file text stay as they are.
  s.Answer32(0x00010113, 0);  // the adapter loops back itself
  s.Answer32(0x00010102, 1);
  s.Answer32(0x00010114, 1);
  s.Answer32(0x00010107, 160000);
  s.Answer32(0x01020101, 7);  // 802.3 counters are not asked on Token Ring
  s.Answer32(0x02020101, 5);
  s.Answer32(0x02020102, 0);
  s.Answer32(0x02020207, 9);
  s.Answer32(0x02010106, 0xC000);
  s.Answer32(0x02010107, 1);
  Layout want;
  want.At(0, std::string("OID \x01\0\0\0", 8))
      .At(8, "FastLink1")
      .At(40, "Open")
      .At(56, "HARDWARE")
      .At(72, "FastLink PCI Adapter")
      .At(136, "fastlink.ko  01/15/26")
      .At(168, "10005A123456")
      .At(184, "Initializing")
      .At(204, "Initializing")
      .At(224, "Token Ring")
      .At(240, "16 Mbps")
      .At(480, "5")
      .At(496, "0")
      .At(608, "9")
      .At(624, "Signal Loss, Hard Error")
      .At(724, "Open");
  EXPECT_EQ(Build(0), want.Hex());
}

TEST_F(AdapterStatus, ClosedAdapterHasNumberNamesAndClosedOnly) {
  script().Answer32(0x00010102, 0);
  Open();
  handle_->Close();  // the capture thread ended; the handle still answers
  uint32_t status = 7;
  ASSERT_TRUE(handle_->QueryOid(0x00010102, &status, 4));
  Layout want;
  want.At(0, std::string("OID \x01\0\0\0", 8))
      .At(8, "FastLink1")
      .At(40, "CLOSED")
      .At(72, "FastLink PCI Adapter")
      .At(136, "fastlink.ko  01/15/26");
  EXPECT_EQ(Build(), want.Hex());
  nic_->Driver.store(nullptr);  // never opened
  EXPECT_EQ(Build(), want.Hex());
}

// One answer (or failure) and the field it gives.
TEST_F(AdapterStatus, ValueTexts) {
  const std::string all_bits_cut =
      "Signal Loss, Hard Error, Soft Error, Transmit Beacon, Lobe Wire Fault, Auto Removal, Remove Received";
  ASSERT_EQ(all_bits_cut.size(), 100u);
  struct Row {
    const char* what;
    int media;
    uint32_t oid;
    bool answered;
    uint32_t answer;
    size_t at, size;
    std::string text;
  };
  const Row rows[] = {
      {"speed 100 Mbit/s", 0, 0x00010107, true, 1000000, 240, 16, "100 Mbps"},
      {"speed below 1 Mbit/s", 0, 0x00010107, true, 9999, 240, 16, "999 Kbps"},
      {"speed 5.6 Kbit/s", 0, 0x00010107, true, 56, 240, 16, "5 Kbps"},
      {"speed 300 bit/s", 0, 0x00010107, true, 3, 240, 16, "300 bps"},
      {"speed 0", 0, 0x00010107, true, 0, 240, 16, ""},
      {"speed unknown", 0, 0x00010107, false, 0, 240, 16, ""},
      {"hardware closing", 0, 0x00010102, true, 3, 184, 20, "Closing"},
      {"hardware not ready", 0, 0x00010102, true, 4, 184, 20, "NotReady"},
      {"hardware unknown", 0, 0x00010102, true, 5, 184, 20, "UNKNOWN x00000005"},
      {"connection unknown", 0, 0x00010114, true, 0xDEADBEEF, 204, 20, "UNKNOWN xDEADBEEF"},
      {"counter max", 0, 0x00020104, true, 0xFFFFFFFE, 272, 16, "4294967294"},
      {"counter not counted", 0, 0x00020104, true, 0xFFFFFFFF, 272, 16, ""},
      {"counter not answered", 0, 0x00020104, false, 0, 272, 16, ""},
      {"ring okay", 1, 0x02010106, true, 0, 624, 100, "Okay"},
      {"ring one bit", 1, 0x02010106, true, 0x0040, 624, 100, "Ring Recovery"},
      {"ring other bits ignored", 1, 0x02010106, true, 0x8001, 624, 100, "Signal Loss"},
      {"ring unknown", 1, 0x02010106, true, 0x0001, 624, 100, "UNKNOWN x00000001"},
      {"ring all bits cut to 100", 1, 0x02010106, true, 0xFFC0, 624, 100, all_bits_cut},
      {"ring state failure", 1, 0x02010107, true, 6, 724, 20, "Ring Failure"},
      {"ring state 0", 1, 0x02010107, true, 0, 724, 20, "UNKNOWN x00000000"},
      {"ring state 7", 1, 0x02010107, true, 7, 724, 20, "UNKNOWN x00000007"},
      {"NDIS version signed bytes", 0, 0x00010110, true, 0x80FF, 72, 64, "FastLink PCI Adapter, NDIS -128.-1"},
      {"vendor version", 0, 0x00010116, true, 0x0A02, 136, 32, "fastlink.ko  01/15/26 10.2"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    nic_->MediaType = r.media;
    script().oid_answers.clear();
    script().failing_oids.clear();
    if (r.answered)
      script().Answer32(r.oid, r.answer);
    else
      script().failing_oids.insert(r.oid);
    std::string want = r.text + std::string(r.size - r.text.size(), '\0');
    EXPECT_EQ(Field(r.at, r.size), Hex(reinterpret_cast<const uint8_t*>(want.data()), want.size()));
  }
}

TEST_F(AdapterStatus, LongTitleAndDriverTextsAreCutKeepingTheirNul) {
  const std::string title(58, 'T'), driver(28, 'D');
  nic_->AdapterTitle.Set(title.c_str());
  nic_->DriverFileText.Set(driver.c_str());
  script().oid_answers[0x00010110] = {0x00, 0x05};
  script().oid_answers[0x00010116] = {0x03, 0x07};
  std::string want_title = title + ", NDI" + '\0';  // 63 characters and the NUL
  std::string want_driver = driver + " 7." + '\0';
  EXPECT_EQ(Field(72, 64), Hex(reinterpret_cast<const uint8_t*>(want_title.data()), 64));
  EXPECT_EQ(Field(136, 32), Hex(reinterpret_cast<const uint8_t*>(want_driver.data()), 32));
}

TEST_F(AdapterStatus, WanAdapterHasNoMediaCounters) {
  nic_->IsWan = 1;
  nic_->MediaType = 0;
  memset(nic_->OwnAddress, 0, 6);
  script().Answer32(0x00020103, 2);
  script().Answer32(0x01020101, 7);
  script().Answer32(0x01020207, 3);
  const std::string record = Build();
  EXPECT_EQ(record.substr(2 * 224, 2 * 16), Hex(reinterpret_cast<const uint8_t*>("WAN 802.3\0\0\0\0\0\0\0"), 16));
  EXPECT_EQ(record.substr(2 * 256, 4), "3200");  // general counters still asked: "2"
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
  nic->AdapterName.Set("lo");
  nic->AdapterTitle.Set("Loopback");
  run.Start(*driver, false, u"\\Device\\TapEye_lo");
  ASSERT_TRUE(WaitUntil([&] {
    PacketDriverHandle* h = nic->Driver.load();
    uint32_t f = 0;
    return run.Ended() || (h && h->QueryOid(0x0001010E, &f, 4) && f != 0);
  })) << run.out().Text();
  ASSERT_FALSE(run.Ended()) << run.out().Text();

  uint8_t record[kAdapterStatusSize];
  BuildAdapterStatus(*nic, 0, record);
  auto text = [&](size_t at, size_t size) {
    return std::string(reinterpret_cast<const char*>(record + at), strnlen(reinterpret_cast<const char*>(record + at), size));
  };
  EXPECT_EQ(text(0, 4), "OID ");
  EXPECT_EQ(text(40, 16), "Open");
  EXPECT_EQ(text(56, 16), "NDIS");
  EXPECT_EQ(text(72, 64), "Loopback, NDIS 5.0");
  EXPECT_EQ(text(136, 32), "");  // no driver module: no version
  EXPECT_EQ(text(168, 16), "000000000000");
  EXPECT_EQ(text(184, 20), "Ready");
  EXPECT_EQ(text(204, 20), "Connected");
  EXPECT_EQ(text(224, 16), "Ethernet");
  EXPECT_EQ(text(240, 16), "");  // lo has no speed
  const std::regex number("[0-9]+");
  for (size_t at : {256, 272, 288, 304, 320, 336, 384, 400, 416, 432, 448, 464})
    EXPECT_TRUE(std::regex_match(text(at, 16), number)) << "counter at " << at << ": '" << text(at, 16) << "'";
  EXPECT_EQ(text(352, 16), "");  // multiple collisions and deferrals: no counterpart on lo
  EXPECT_EQ(text(368, 16), "");
  for (size_t at = 480; at < 744; ++at) EXPECT_EQ(record[at], 0) << at;

  run.Stop();
  BuildAdapterStatus(*nic, 0, record);
  EXPECT_EQ(text(40, 16), "CLOSED");
  EXPECT_EQ(text(224, 16), "");
}

}  // namespace
