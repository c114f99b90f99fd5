// Connectivity tests against a stub helper script. Every address handed to a helper is loopback.
#include "diagnostics/connectivity.h"
#include "platform/hive_file.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using namespace netward;
using platform::HiveFile;
using platform::RegValue;

namespace {

constexpr char kStub[] = R"(#!/bin/sh
PATH=/usr/bin:/bin
case "$1" in
  lf) printf 'one\ntwo\n' ;;
  crlf) printf 'one\r\ntwo\r\n' ;;
  err) printf 'out\n'; printf 'err\n' >&2 ;;
  cut) printf "$2" ;;
  big) yes 0123456789abcdefghijklmnopqrstuvwxyz | head -c 1000000; : > "$2" ;;
  args) for a in "$@"; do printf '[%s]' "$a"; done; [ -p /dev/stdin ] && printf ' stdin-pipe' ;;
  *) printf 'helper: %s\n' "$*" ;;
esac
)";

uint32_t Ip(const char* dotted) { return inet_addr(dotted); }

time_t Utc(int year, int month, int day, int hour = 12) {
  tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  return timegm(&t);
}

class ConnectivityTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    saved_path_ = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
    setenv("TZ", "UTC", 1);
    tzset();
    char dir_template[] = "/tmp/netward-conn-XXXXXX";
    stub_dir_ = mkdtemp(dir_template);
    std::string stub = stub_dir_ + "/" + kHelperProgram;
    std::ofstream(stub) << kStub;
    chmod(stub.c_str(), 0755);
    empty_dir_ = stub_dir_ + "/empty";
    mkdir(empty_dir_.c_str(), 0755);
  }
  static void TearDownTestSuite() {
    setenv("PATH", saved_path_.c_str(), 1);
    std::string cmd = "rm -rf '" + stub_dir_ + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
  }
  void SetUp() override {
    UseHelperDir(stub_dir_);
    g_ = AllocateGlobalArea();
  }
  void TearDown() override { FreeGlobalArea(g_); }

  // The helper is then found only in `dir` (the test program's own directory holds none).
  static void UseHelperDir(const std::string& dir) {
    setenv(kHelperDirVariable, dir.c_str(), 1);
    setenv("PATH", empty_dir_.c_str(), 1);
  }
  NicArea& AddAdapter(const char* name) {
    NicArea* nic = AllocateNicArea();
    nic->AdapterName.Set(name);
    EXPECT_TRUE(AttachNicArea(*g_, nic));
    return *nic;
  }
  static void SetList(NicArea& nic, TcpipList list, std::initializer_list<const char*> entries) {
    int i = 0;
    for (const char* e : entries) nic.TcpipConfig[list][i++] = Ip(e);
  }
  // Runs `fill` on an area of `size` bytes followed by guard bytes; the guard must stay untouched.
  template <typename Fill>
  static std::string InArea(size_t size, Fill fill) {
    std::vector<char> buf(size + 16, '\x7f');
    fill(buf.data(), size);
    for (size_t i = size; i < buf.size(); ++i) EXPECT_EQ(buf[i], '\x7f') << "written past the area at " << i;
    return std::string(buf.data(), strnlen(buf.data(), size));
  }

  static inline std::string stub_dir_, empty_dir_, saved_path_;
  GlobalArea* g_ = nullptr;
};

TEST_F(ConnectivityTest, DriverAgeCountsCalendarMonths) {
  struct Case {
    const char* driver;
    time_t driver_time;
    time_t now;
    bool warned;
  } cases[] = {
      {"e1000e.ko   01-Dec-2024", Utc(2024, 12, 1), Utc(2026, 12, 31), true},
      {"e1000e.ko   31-Dec-2024", Utc(2024, 12, 31, 23), Utc(2026, 12, 1, 0), true},  // 24 months, days ignored
      {"e1000e.ko   01-Jan-2025", Utc(2025, 1, 1, 0), Utc(2026, 12, 31, 23), false},  // 23 months
      {"ndiswan.sys 01-Jan-1990", Utc(1990, 1, 1), Utc(2026, 12, 1), false},
      {"NdisWan.Sys", Utc(1990, 1, 1), Utc(2026, 12, 1), false},
      {"e1000e.ko", 0, Utc(2026, 12, 1), false},
  };
  NicArea& nic = AddAdapter("eth0");
  for (const Case& c : cases) {
    nic.DriverFileText.Set(c.driver);
    nic.DriverFileTime = static_cast<uint32_t>(c.driver_time);
    std::string text = InArea(4096, [&](char* a, size_t n) { CheckDriverAge(*g_, c.now, a, n); });
    EXPECT_EQ(text, c.warned ? "WARNING: Adapter Driver " + std::string(c.driver) + " is more than 2 years old\r\n\r\n"
                             : "")
        << c.driver;
  }

  // Two old drivers: both warnings, in table order; a small area is cut inside its bounds.
  nic.DriverFileText.Set("a.ko");
  nic.DriverFileTime = static_cast<uint32_t>(Utc(2020, 1, 1));
  NicArea& second = AddAdapter("eth1");
  second.DriverFileText.Set("b.ko");
  second.DriverFileTime = static_cast<uint32_t>(Utc(2021, 1, 1));
  const time_t now = Utc(2026, 1, 1);
  EXPECT_EQ(InArea(4096, [&](char* a, size_t n) { CheckDriverAge(*g_, now, a, n); }),
            "WARNING: Adapter Driver a.ko is more than 2 years old\r\n\r\n"
            "WARNING: Adapter Driver b.ko is more than 2 years old\r\n\r\n");
  EXPECT_EQ(InArea(30, [&](char* a, size_t n) { CheckDriverAge(*g_, now, a, n); }), "WARNING: Adapter Driver a.ko ");
}

TEST_F(ConnectivityTest, SubnetBroadcastsAgainstConfiguredSubnets) {
  NicArea& nic = AddAdapter("eth0");
  SetList(nic, kAddresses, {"192.168.1.5"});
  SetList(nic, kSubnetMasks, {"255.255.255.0"});
  auto log = [&](int record, const char* dest) {
    uint32_t d = Ip(dest);
    memcpy(nic.GroupFrames[record].DestIp, &d, 4);
  };
  auto check = [&] { return InArea(4096, [&](char* a, size_t n) { CheckSubnetBroadcasts(*g_, a, n); }); };

  EXPECT_EQ(check(), "\r\n192.168.1.255    NOT received for 192.168.1.5 / 255.255.255.0\r\n")
      << "nothing seen: no warning";

  log(7, "10.255.255.255");
  log(4499, "10.255.255.255");
  EXPECT_EQ(check(),
            "\r\n10.255.255.255   received but is NOT configured for use by this PC"
            "\r\n192.168.1.255    NOT received for 192.168.1.5 / 255.255.255.0"
            "\r\n\r\nWARNING: The Configured Subnet does NOT match the\r\n"
            "         Subnet being used by other local devices.\r\n");

  log(100, "192.168.1.255");
  log(200, "192.168.1.255");
  EXPECT_EQ(check(),
            "\r\n10.255.255.255   received but is NOT configured for use by this PC"
            "\r\n192.168.1.255    received and matches 192.168.1.5 / 255.255.255.0\r\n");

  // A second configured subnet not seen while others are: the warning again. An adapter without a
  // mask adds nothing.
  SetList(nic, kAddresses, {"192.168.1.5", "172.16.4.1"});
  SetList(nic, kSubnetMasks, {"255.255.255.0", "255.255.0.0"});
  AddAdapter("eth1");
  EXPECT_EQ(check(),
            "\r\n10.255.255.255   received but is NOT configured for use by this PC"
            "\r\n192.168.1.255    received and matches 192.168.1.5 / 255.255.255.0"
            "\r\n172.16.255.255   NOT received for 172.16.4.1 / 255.255.0.0"
            "\r\n\r\nWARNING: The Configured Subnet does NOT match the\r\n"
            "         Subnet being used by other local devices.\r\n");

  // At most 49 distinct addresses are listed.
  for (int i = 0; i < 60; ++i) {
    std::string dest = "10.0." + std::to_string(i) + ".255";
    log(1000 + i, dest.c_str());
  }
  std::string text = check();
  EXPECT_NE(text.find("10.0.46.255 "), std::string::npos);
  EXPECT_EQ(text.find("10.0.47.255 "), std::string::npos) << "two were seen before, so 47 of these fit";
}

TEST_F(ConnectivityTest, PingFamilyTexts) {
  NicArea& nic = AddAdapter("eth0");
  auto run = [&](void (*ping)(const GlobalArea&, char*, size_t), size_t size = 4096) {
    return InArea(size, [&](char* a, size_t n) { ping(*g_, a, n); });
  };
  EXPECT_EQ(run(PingGateways), "\r\nGATEWAY NOT DEFINED\r\n");
  EXPECT_EQ(run(PingDnsServers), "\r\nDNS NOT DEFINED\r\n");
  EXPECT_EQ(run(PingWinsServers), "\r\nWINS NOT DEFINED\r\n");
  EXPECT_EQ(run(PingWinsServers, 8), "\r\nWINS ");

  SetList(nic, kGateways, {"127.0.0.1"});
  NicArea& second = AddAdapter("eth1");
  SetList(second, kDnsServers, {"127.0.0.2", "127.0.0.3"});
  EXPECT_EQ(run(PingGateways), "helper: PING 127.0.0.1\r\n");
  EXPECT_EQ(run(PingDnsServers), "helper: PING 127.0.0.2\r\nhelper: PING 127.0.0.3\r\n");
  EXPECT_EQ(run(PingDnsServers, 30), "helper: PING 127.0.0.2\r\nhelpe");

  uint32_t list[kTcpipListEntries] = {Ip("127.0.0.4"), 0, Ip("127.0.0.5")};
  char area[100];
  EXPECT_EQ(PingAddressList(list, area, sizeof area), strlen("helper: PING 127.0.0.4\r\n"));
}

// Line ends, stderr, argument words, and the cut that leaves room for a CR LF and the NUL.
TEST_F(ConnectivityTest, HelperOutputLineEndsWordsAndCut) {
  struct Case {
    size_t size;
    const char* command;  // "cut" takes a printf format: \\n is a line feed
    std::string area;     // the whole area after the call
  } cases[] = {
      {11, "lf", std::string("one\r\ntwo\r\n\0", 11)},
      {11, "crlf", std::string("one\r\ntwo\r\n\0", 11)},
      {11, "err", std::string("out\r\nerr\r\n\0", 11)},
      {35, "  args\tPING  127.0.0.1 \r\n", std::string("[args][PING][127.0.0.1] stdin-pipe\0", 35)},
      {6, "cut abcdefgh", std::string("abcde\0", 6)},
      {6, "cut abc\\nx", std::string("abc\r\n\0", 6)},
      {6, "cut abcd\\nx", "abcd\r\n"},  // a CR LF pair may take the last two bytes
      {6, "cut abcde\\nx", std::string("abcde\0", 6)},
      {1, "cut abc", std::string(1, '\0')},
  };
  for (const Case& c : cases) {
    std::vector<char> area(c.size, 'Z');
    size_t written = RunHelperCommand(c.command, area.data(), area.size());
    EXPECT_EQ(std::string(area.begin(), area.end()), c.area) << c.command;
    EXPECT_EQ(written, strnlen(c.area.data(), c.area.size())) << c.command;
  }
}

TEST_F(ConnectivityTest, LargeHelperOutputIsDrainedToTheEnd) {
  const std::string marker = stub_dir_ + "/big-done";
  const std::string command = "big " + marker;
  std::string text = InArea(100, [&](char* a, size_t n) { EXPECT_EQ(RunHelperCommand(command.c_str(), a, n), 99u); });
  EXPECT_EQ(text.substr(0, 40), "0123456789abcdefghijklmnopqrstuvwxyz\r\n01");
  EXPECT_EQ(access(marker.c_str(), F_OK), 0) << "the helper wrote all of its output and exited";
}

TEST_F(ConnectivityTest, MissingHelperGivesAnEmptyArea) {
  UseHelperDir(empty_dir_);
  std::vector<char> area(64, 'Z');
  EXPECT_EQ(RunHelperCommand("lf", area.data(), area.size()), 0u);
  EXPECT_EQ(std::string(area.begin(), area.end()), std::string(64, '\0'));

  NicArea& nic = AddAdapter("eth0");
  SetList(nic, kGateways, {"127.0.0.1"});
  EXPECT_EQ(InArea(64, [&](char* a, size_t n) { PingGateways(*g_, a, n); }), "")
      << "the helper's run clears the NOT DEFINED text";
}

TEST_F(ConnectivityTest, FullTestTextFromTheRegistry) {
  constexpr char kTcpip[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\eth0\\Parameters\\Tcpip";
  constexpr char kParams[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
  auto multi = [](const char* entry) {
    RegValue v;
    v.type = platform::kRegMultiSz;
    v.data.assign(entry, entry + strlen(entry) + 1);
    v.data.push_back(0);
    return v;
  };
  HiveFile hive;
  hive.Set(kTcpip, "IPAddress", multi("127.1.0.10"));
  hive.Set(kTcpip, "SubnetMask", multi("255.255.255.0"));
  hive.Set(kTcpip, "DefaultGateway", multi("127.1.0.1"));
  hive.SetDword(kTcpip, "EnableDHCP", 0);
  hive.SetString(kParams, "NameServer", "127.1.0.53");
  NicArea& nic = AddAdapter("eth0");
  nic.DriverFileText.Set("e1000e.ko   01-Jan-2020");
  nic.DriverFileTime = static_cast<uint32_t>(Utc(2020, 1, 1));
  const time_t now = Utc(2026, 12, 4);

  const std::string expected =
      "WARNING: Adapter Driver e1000e.ko   01-Jan-2020 is more than 2 years old\r\n\r\n"
      "----Checking SUBNET Broadcasts---------------------"
      "\r\n127.1.0.255      NOT received for 127.1.0.10 / 255.255.255.0\r\n"
      "\r\n----Testing GATEWAY connectivity-------------------helper: PING 127.1.0.1\r\n"
      "\r\n----Testing DNS connectivity-----------------------helper: PING 127.1.0.53\r\n"
      "\r\n----Testing WINS connectivity----------------------\r\nWINS NOT DEFINED\r\n";
  EXPECT_EQ(InArea(5000, [&](char* a, size_t n) { RunConnectivityTests(hive, *g_, now, a, n); }), expected);
  for (size_t size : {size_t{1}, size_t{60}, size_t{150}, size_t{260}, expected.size()}) {
    EXPECT_EQ(InArea(size, [&](char* a, size_t n) { RunConnectivityTests(hive, *g_, now, a, n); }),
              expected.substr(0, size - 1))
        << size;
  }
}

TEST_F(ConnectivityTest, RealHelperThroughThePipe) {
  const std::string dir = std::string(NETWARD_BINARY_DIR) + "/tools/verevedo";
  if (access((dir + "/" + kHelperProgram).c_str(), X_OK) != 0) GTEST_SKIP() << "verevedo not built in " << dir;
  UseHelperDir(dir);
  std::string text = InArea(4096, [&](char* a, size_t n) { RunHelperCommand("ROUTE PRINT", a, n); });
  EXPECT_EQ(text.rfind("IPv4 routes\r\n", 0), 0u) << text;
  for (size_t i = text.find('\n'); i != std::string::npos; i = text.find('\n', i + 1)) {
    ASSERT_EQ(text[i - 1], '\r') << "bare LF at " << i;
  }
}

}  // namespace
