// The TCP/IP settings of the machine as registry values, from files the test writes.
#include "platform/tcpip_view.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "diagnostics/tcpip_report.h"

using namespace netward;
using namespace netward::platform;
namespace fs = std::filesystem;

namespace {

const std::string kKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\eth7\\Parameters\\Tcpip";
const std::string kParams = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters";

class TcpipViewTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) / ("tcpip_view_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "dhcp");
    paths_.route = (dir_ / "route").string();
    paths_.resolv_conf = (dir_ / "resolv.conf").string();
    paths_.resolved_upstream = (dir_ / "upstream.conf").string();
    paths_.lease_dirs = {(dir_ / "dhcp").string()};
    Write("route",
          "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
          "eth7\t00000000\t0200A8C0\t0003\t0\t0\t200\t00000000\t0\t0\t0\n"
          "eth7\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
          "eth7\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
          "eth8\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n");
    Write("resolv.conf", "# generated\nsearch lan\nnameserver 192.168.0.53\nnameserver fe80::1\nnameserver 192.168.0.54\n");
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const std::string& name, const std::string& text) { std::ofstream(dir_ / name) << text; }
  TcpipView View() {
    return TcpipView(paths_, [] { return std::vector<InterfaceIpv4>{{"eth7", {{"192.168.0.10", "255.255.255.0"}}}}; });
  }
  std::string Text(const std::optional<RegValue>& v) {
    std::string s;
    if (v)
      for (size_t i = 0; i < v->data.size(); i += v->type == kRegMultiSz ? 2 : 1) s.push_back(char(v->data[i]));
    return s;
  }

  fs::path dir_;
  TcpipViewPaths paths_;
};

TEST_F(TcpipViewTest, StaticSettingsFromTheKernelAndTheResolver) {
  TcpipView view = View();
  EXPECT_TRUE(view.KeyExists(kKey));
  EXPECT_FALSE(view.KeyExists("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\eth9\\Parameters\\Tcpip"));
  EXPECT_EQ(Text(view.Query(kKey, "IPAddress")), std::string("192.168.0.10\0\0", 14));
  EXPECT_EQ(Text(view.Query(kKey, "SubnetMask")), std::string("255.255.255.0\0\0", 15));
  EXPECT_EQ(Text(view.Query(kKey, "DefaultGateway")), std::string("192.168.0.1\0" "192.168.0.2\0\0", 25))
      << "this interface's default routes, lowest metric first";
  EXPECT_EQ(view.Query(kKey, "EnableDHCP")->data[0], 0) << "no lease file";
  EXPECT_FALSE(view.Query(kKey, "LeaseTerminatesTime"));
  EXPECT_EQ(Text(view.Query(kParams, "NameServer")), std::string("192.168.0.53 192.168.0.54\0", 26)) << "IPv4 only";

  Write("resolv.conf", "nameserver 127.0.0.53\noptions edns0\n");
  Write("upstream.conf", "nameserver 192.168.0.1\n");
  EXPECT_EQ(Text(view.Query(kParams, "NameServer")), std::string("192.168.0.1\0", 12)) << "behind the local stub";
}

TEST_F(TcpipViewTest, DhcpLeasesOfBothClients) {
  // dhclient: the last lease of this interface for its current address counts.
  Write("dhcp/dhclient.eth7.leases",
        "lease {\n  interface \"eth7\";\n  fixed-address 192.168.0.10;\n  expire 4 2026/12/03 12:00:00;\n}\n"
        "lease {\n  interface \"eth7\";\n  fixed-address 192.168.0.99;\n  expire 4 2027/12/03 12:00:00;\n}\n"
        "lease {\n  interface \"eth7\";\n  fixed-address 192.168.0.10;\n  expire 5 2026/12/04 13:00:00;\n}\n");
  TcpipView view = View();
  EXPECT_EQ(view.Query(kKey, "EnableDHCP")->data[0], 1);
  const auto end = view.Query(kKey, "LeaseTerminatesTime");
  ASSERT_TRUE(end);
  EXPECT_EQ(uint32_t(end->data[0] | end->data[1] << 8 | end->data[2] << 16 | end->data[3] << 24), 1796389200u);
  EXPECT_EQ(Text(view.Query(kKey, "DhcpIPAddress")), Text(view.Query(kKey, "IPAddress")));

  // The whole chain: a lease that ended is reported as expired by the configuration report.
  fs::remove(dir_ / "dhcp/dhclient.eth7.leases");
  Write("dhcp/dhclient.eth7.leases", "lease {\n interface \"eth7\";\n fixed-address 192.168.0.10;\n expire epoch 1000;\n}\n");
  EXPECT_EQ(view.Query(kKey, "LeaseTerminatesTime")->data[0], 1000 & 0xFF);
}

// These files are read on request threads: one that is a named pipe reads as empty at once instead
// of holding the thread (and the agent's stop, which waits for it).
TEST_F(TcpipViewTest, ANamedPipeInPlaceOfAFileReadsAsEmpty) {
  fs::remove(dir_ / "resolv.conf");
  ASSERT_EQ(mkfifo((dir_ / "resolv.conf").c_str(), 0644), 0);
  TcpipView view = View();
  EXPECT_EQ(Text(view.Query(kParams, "NameServer")), std::string("\0", 1));
}

TEST(TcpipSystemView, ThisMachineIsWellFormed) {
  TcpipView view;
  for (const InterfaceIpv4& nic : SystemInterfaceAddresses()) {
    SCOPED_TRACE(nic.name);
    const std::string key = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + nic.name + "\\Parameters\\Tcpip";
    EXPECT_TRUE(view.KeyExists(key));
    auto a = view.Query(key, "IPAddress");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->type, kRegMultiSz);
    EXPECT_GE(a->data.size(), 2u) << "at least the list's terminator";
    EXPECT_TRUE(view.Query(key, "EnableDHCP"));
  }
}

}  // namespace
