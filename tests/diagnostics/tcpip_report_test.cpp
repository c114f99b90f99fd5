// The TCP/IP configuration report over registry keys given in a hive.
#include "diagnostics/tcpip_report.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

#include "accounting/stations.h"
#include "platform/hive_file.h"

using namespace netward;
using platform::HiveFile;
using platform::RegValue;

namespace {

constexpr char kTcpip[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\eth0\\Parameters\\Tcpip";
constexpr char kParams[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";
constexpr char kNetbt[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\NetBT\\Adapters\\eth0";
constexpr time_t kNow = 1796385600;  // 2026-12-04 12:00:00 UTC

RegValue Multi(std::initializer_list<const char*> entries) {
  RegValue v;
  v.type = platform::kRegMultiSz;
  for (const char* e : entries) v.data.insert(v.data.end(), e, e + strlen(e) + 1);
  v.data.push_back(0);
  return v;
}

std::string Slots(std::initializer_list<const char*> entries) {
  std::string s;
  for (const char* e : entries) {
    std::string slot(e);
    slot.resize(15, ' ');
    s += slot + " ";
  }
  return s;
}

class TcpipReportTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    g_ = AllocateGlobalArea();
    hive_ = HiveFile();
    g_->HostName.Set("WORKSTATION");
    AddAdapter("eth0", "[1] Fast Ethernet Card", "e1000e.ko   04-Dec-2026");
    // A clean static set-up: one address, its mask and gateway, one DNS server, no WINS.
    hive_.Set(kTcpip, "IPAddress", Multi({"10.1.0.10"}));
    hive_.Set(kTcpip, "SubnetMask", Multi({"255.255.255.0"}));
    hive_.Set(kTcpip, "DefaultGateway", Multi({"10.1.0.1"}));
    hive_.SetDword(kTcpip, "EnableDHCP", 0);
    hive_.SetString(kParams, "NameServer", "10.1.0.53");
  }
  void TearDown() override { FreeGlobalArea(g_); }
  NicArea& AddAdapter(const char* name, const char* title, const char* driver) {
    NicArea* nic = AllocateNicArea();
    nic->AdapterName.Set(name);
    nic->AdapterTitle.Set(title);
    nic->DriverFileText.Set(driver);
    EXPECT_TRUE(AttachNicArea(*g_, nic));
    return *nic;
  }
  std::string Report(size_t size = 4096) {
    std::string out(size, '\x7f');
    BuildTcpipReport(hive_, *g_, kNow, out.data(), out.size());
    return out.substr(0, out.find('\0'));
  }
  // The warnings above the " Computer Name" line.
  std::string Warnings() {
    std::string r = Report();
    return r.substr(0, r.find(" Computer Name"));
  }

  GlobalArea* g_ = nullptr;
  HiveFile hive_;
};

TEST_F(TcpipReportTest, CleanAdapterTextAndTcpipConfig) {
  EXPECT_EQ(Report(),
            " Computer Name : WORKSTATION\r\n"
            "\r\n Adapter #1    : [1] Fast Ethernet Card\r\n Driver        : e1000e.ko   04-Dec-2026"
            "\r\n DHCP          : No"
            "\r\n Address       : 10.1.0.10       "
            "\r\n Subnet Mask   : 255.255.255.0   \r\n Local Subnet  : 10.1.0.0        to 10.1.0.255"
            "\r\n GATEWAY       : 10.1.0.1        "
            "\r\n DNS           : 10.1.0.53       "
            "\r\n WINS          : ");
  char text[20];
  g_->AddressText.Get(text);
  EXPECT_STREQ(text, "IP=10.1.0.10");
  const NicArea& nic = *g_->Nics[0];
  EXPECT_EQ(nic.TcpipConfig[kAddresses][0], inet_addr("10.1.0.10"));
  EXPECT_EQ(nic.TcpipConfig[kSubnetMasks][0], inet_addr("255.255.255.0"));
  EXPECT_EQ(nic.TcpipConfig[kSubnetMasks][1], 0u) << "the Local Subnet line is not a mask";
  EXPECT_EQ(nic.TcpipConfig[kDnsServers][0], inet_addr("10.1.0.53"));
  EXPECT_EQ(nic.TcpipConfig[kWinsServers][0], 0u);

  hive_.Set(kTcpip, "IPAddress", Multi({"10.9.9.9"}));
  Report();
  g_->AddressText.Get(text);
  EXPECT_STREQ(text, "IP=10.1.0.10") << "set once, by the first report with an address";
}

TEST_F(TcpipReportTest, WarningsOfDoubtfulSettings) {
  struct Case {
    const char* what;
    std::function<void(HiveFile&, NicArea&)> change;
    std::string warnings;
  } cases[] = {
      {"gateway is self", [](HiveFile& h, NicArea&) { h.Set(kTcpip, "DefaultGateway", Multi({"10.1.0.10"})); },
       "\r\n*** WARNING: GATEWAY is SELF for adapter #1.\r\n\r\n"},
      {"a WAN adapter may be its own gateway",
       [](HiveFile& h, NicArea& n) { h.Set(kTcpip, "DefaultGateway", Multi({"10.1.0.10"})); n.IsWan = 1; }, ""},
      {"no gateway", [](HiveFile& h, NicArea&) { h.Set(kTcpip, "DefaultGateway", Multi({})); },
       "\r\n*** WARNING: NO Default Gateway defined for adapter #1.\r\n\r\n"},
      {"gateway elsewhere", [](HiveFile& h, NicArea&) { h.Set(kTcpip, "DefaultGateway", Multi({"10.2.0.1"})); },
       "\r\n*** ERROR: Gateway is NOT in local subnet for adapter #1.\r\n\r\n"},
      {"two gateways", [](HiveFile& h, NicArea&) { h.Set(kTcpip, "DefaultGateway", Multi({"10.1.0.1", "10.1.0.2"})); },
       "\r\n*** WARNING: Multiple Gateway addresses for adapter #1.\r\n\r\n"},
      {"second DNS server is self", [](HiveFile& h, NicArea&) { h.SetString(kParams, "NameServer", "10.1.0.53 10.1.0.10"); },
       "\r\n*** WARNING: DNS is SELF for adapter #1.\r\n\r\n"},
      {"third DNS server is not compared",
       [](HiveFile& h, NicArea&) { h.SetString(kParams, "NameServer", "10.1.0.53 10.1.0.54 10.1.0.10"); }, ""},
      {"WINS backup is self",
       [](HiveFile& h, NicArea&) { h.SetString(kNetbt, "NameServer", "10.1.0.44");
                                   h.SetString(kNetbt, "NameServerBackup", "10.1.0.10"); },
       "\r\n*** WARNING: WINS is SELF for adapter #1.\r\n\r\n"},
      {"no name servers", [](HiveFile& h, NicArea&) { h.SetString(kParams, "NameServer", ""); },
       "\r\n*** WARNING: NO DNS or WINS defined for adapter #1.\r\n\r\n"},
      {"no mask", [](HiveFile& h, NicArea&) { h.Set(kTcpip, "SubnetMask", Multi({})); },
       "\r\n*** ERROR: Could not determine Subnet Mask for adapter #1.\r\n\r\n"},
      // Two addresses: no subnet, gateway-self or server-self checks, only the missing gateway.
      {"two addresses",
       [](HiveFile& h, NicArea&) {
         h.Set(kTcpip, "IPAddress", Multi({"10.1.0.10", "10.1.0.11"}));
         h.Set(kTcpip, "DefaultGateway", Multi({}));
         h.SetString(kParams, "NameServer", "10.1.0.10");
       },
       "\r\n*** WARNING: Multiple IP addresses for adapter #1.\r\n*** WARNING: NO Default Gateway defined for "
       "adapter #1.\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    c.change(hive_, *g_->Nics[0]);
    EXPECT_EQ(Warnings(), c.warnings);
  }
  // The two-address case prints both slots and no Local Subnet line; the AddressText says "+".
  std::string r = Report();
  EXPECT_NE(r.find("\r\n Address       : " + Slots({"10.1.0.10", "10.1.0.11"}) + "\r\n"), std::string::npos);
  EXPECT_EQ(r.find("Local Subnet"), std::string::npos);
  char text[20];
  g_->AddressText.Get(text);
  EXPECT_STREQ(text, "IP=10.1.0.10+");
}

TEST_F(TcpipReportTest, DhcpLeases) {
  hive_.SetDword(kTcpip, "EnableDHCP", 1);
  hive_.Set(kTcpip, "DhcpIPAddress", Multi({"10.1.0.77"}));
  hive_.Set(kTcpip, "DhcpSubnetMask", Multi({"255.255.0.0"}));
  hive_.Set(kTcpip, "DhcpDefaultGateway", Multi({"10.1.0.1"}));
  hive_.SetString(kParams, "DhcpNameServer", "10.1.0.53");
  hive_.SetDword(kTcpip, "LeaseTerminatesTime", static_cast<uint32_t>(kNow + 3600));
  std::string r = Report();
  EXPECT_NE(r.find("\r\n DHCP          : YES\r\n Address       : 10.1.0.77       \r\n"), std::string::npos) << r;
  EXPECT_EQ(r.find(" Computer Name"), 0u) << "no warnings";

  const uint32_t before = g_->Nics[0]->TcpipConfig[kAddresses][0];
  hive_.SetDword(kTcpip, "LeaseTerminatesTime", static_cast<uint32_t>(kNow - 1));
  r = Report();
  EXPECT_EQ(r, "\r\n*** WARNING: DHCP Lease expired for adapter #1\r\n\r\n Computer Name : WORKSTATION"
               "\r\n\r\n Adapter #1    : [1] Fast Ethernet Card\r\n Driver        : e1000e.ko   04-Dec-2026"
               "\r\n IP            : DHCP EXPIRED Fri Dec  4 11:59:59 2026");
  EXPECT_EQ(g_->Nics[0]->TcpipConfig[kAddresses][0], before) << "an expired lease leaves the lists alone";
  hive_.Set(kTcpip, "LeaseTerminatesTime", RegValue{});  // no lease time: expired, no date
  r = Report();
  const std::string expired = "\r\n IP            : DHCP EXPIRED ";
  EXPECT_EQ(r.substr(r.size() - expired.size()), expired);
}

TEST_F(TcpipReportTest, DialUpAdapterUsesItsBindingAndOwnAddressAsGateway) {
  NicArea& wan = *g_->Nics[0];
  wan.AdapterName.Set("NdisWan4");
  wan.IsWan = 1;
  hive_.Set("HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Linkage", "Bind",
            Multi({"\\Device\\El90x1", "\\Device\\NdisWan5"}));
  const char* key = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\NdisWan5\\Parameters\\Tcpip";
  hive_.Set(key, "DhcpIPAddress", Multi({"192.168.7.2"}));
  hive_.Set(key, "DhcpSubnetMask", Multi({"255.255.255.0"}));
  hive_.SetString("HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Transient", "NameServer", "192.168.7.1");
  std::string r = Report();
  EXPECT_EQ(r.find(" Computer Name"), 0u) << "no gateway warning: " << r;
  EXPECT_NE(r.find("\r\n GATEWAY       : 192.168.7.2     \r\n DNS           : 192.168.7.1     "), std::string::npos) << r;
}

TEST_F(TcpipReportTest, ErrorsAndSeveralAdapters) {
  EXPECT_EQ(Report(3999), "ERROR - BUFFER TOO SMALL");
  AddAdapter("eth1", "[2] Second Card", "");
  std::string r = Report();
  EXPECT_EQ(r.substr(0, 37), "\r\n*** WARNING: Multiple Adapters.\r\n\r\n");
  EXPECT_NE(r.find("\r\n\r\n Adapter #2    : [2] Second Card\r\n Driver        : \r\n IP            : Not defined"),
            std::string::npos);
  char text[20];
  g_->AddressText.Get(text);
  EXPECT_STREQ(text, "IP=10.1.0.10+") << "more than one adapter monitored";
  g_->NicCount.store(0);
  EXPECT_EQ(Report(), "\r\n\r\n*** ERROR: No Adapters are being montiored.");
}

TEST(AddressLists, SlotsFromMultiStringsAndBlankSeparatedText) {
  char a[kAddressListBytes] = "10.0.0.1 10.0.0.2";
  char b[kAddressListBytes] = "10.0.0.1\0" "10.0.0.2";
  FormatAddressList(a, sizeof a);
  FormatAddressList(b, sizeof b);
  EXPECT_STREQ(a, Slots({"10.0.0.1", "10.0.0.2"}).c_str());
  EXPECT_EQ(memcmp(a, b, sizeof a), 0);
  char backup_only[kAddressListBytes] = "\0" "10.0.0.9";
  FormatAddressList(backup_only, sizeof backup_only);
  EXPECT_EQ(backup_only[0], 0) << "a backup without a primary is no list";
  // More entries than the buffer holds: whole slots only, still terminated.
  char small[40] = "1.1.1.1 2.2.2.2 3.3.3.3";
  FormatAddressList(small, sizeof small);
  EXPECT_STREQ(small, Slots({"1.1.1.1", "2.2.2.2"}).c_str());
  uint32_t parsed[kTcpipListEntries];
  ParseAddressList(a, parsed);
  EXPECT_EQ(parsed[0], inet_addr("10.0.0.1"));
  EXPECT_EQ(parsed[1], inet_addr("10.0.0.2"));
  EXPECT_EQ(parsed[2], 0u);
}

TEST_F(TcpipReportTest, RefreshGivesStationsTheirRolesAndMarksThemChanged) {
  hive_.SetString(kParams, "NameServer", "10.1.0.1 10.1.0.53");  // the gateway is also a DNS server
  NicArea& nic = *g_->Nics[0];
  struct {
    uint8_t ip[4];
    const char* role;
  } stations[] = {{{10, 1, 0, 10}, "Self"}, {{10, 1, 0, 1}, "GW"}, {{10, 1, 0, 53}, "DNS"}, {{10, 1, 0, 99}, ""}};
  for (const auto& st : stations) {
    StationRecord& s = nic.Stations[nic.StationCount++];
    memcpy(s.IpAddress, st.ip, 4);
    s.LastSequence = 1;
  }
  g_->FrameSequence.store(42);
  RefreshStationLabels(hive_, *g_, kNow);
  for (int i = 0; i < 4; ++i) {
    char role[8];
    nic.Stations[i].Role.Get(role);
    EXPECT_STREQ(role, stations[i].role) << i;
    EXPECT_EQ(nic.Stations[i].LastSequence, stations[i].role[0] ? 42u : 1u) << "only changed stations are marked";
  }
  uint8_t zero[4] = {};
  EXPECT_STREQ(AddressRoleLabel(nic, zero), "");
}

}  // namespace
