// The connectivity-test helper: its kernel table readers and the program. It pings only loopback
// (or, inside a namespace of its own, an address on a veth whose peer is down).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "proc_tables.h"

using namespace verevedo;

namespace {

struct HelperRun {
  int status;
  std::string out;
};

HelperRun Shell(const std::string& command) {
  HelperRun r{-1, ""};
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  int status = pclose(p);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

HelperRun Helper(const std::string& args) { return Shell(std::string(VEREVEDO_PATH) + " " + args); }

TEST(VerevedoTables, Routes) {
  const std::string route =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
      "eth0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0   \n"
      "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
      "eth0\t0002ZZC0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"    // bad hex
      "eth0\t000200C0\t00000000\t0001\n"                                // too few fields
      "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF" + std::string(600, ' ') + "\n"  // too long
      "lo\t0000007F\t00000000\t0201\t0\t0\t0\t000000FF\t0\t0\t0";       // no final LF
  std::string out;
  EXPECT_EQ(FormatRoutes(route, out), 3u);
  EXPECT_EQ(out,
            "IPv4 routes\n"
            "Destination      Netmask          Gateway          Interface         Metric Flags\n"
            "0.0.0.0          0.0.0.0          192.0.2.1        eth0                 100 UG\n"
            "192.0.2.0        255.255.255.0    0.0.0.0          eth0                   0 U\n"
            "127.0.0.0        255.0.0.0        0.0.0.0          lo                     0 U!\n");

  out.clear();
  EXPECT_EQ(FormatRoutes6("fd000000000000000000000000000000 40 00000000000000000000000000000000 00 "
                          "00000000000000000000000000000000 00000100 00000001 00000000 00000001     eth0\n"
                          "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
                          "fd000000000000000000000000000001 00000400 00000003 00000000 00000003     eth0\n"
                          "fd000000000000000000000000000000 81 00000000000000000000000000000000 00 "
                          "00000000000000000000000000000000 00000100 00000001 00000000 00000001     eth0\n",
                          out),
            2u)
      << "a prefix of 129 bits is skipped";
  EXPECT_NE(out.find("\nfd00::/64 "), std::string::npos) << out;
  EXPECT_NE(out.find("\n::/0 "), std::string::npos) << out;
  EXPECT_NE(out.find(" fd00::1 "), std::string::npos) << out;
}

TEST(VerevedoTables, NeighboursAndSockets) {
  std::string out;
  EXPECT_EQ(FormatArp("IP address       HW type     Flags       HW address            Mask     Device\n"
                      "192.0.2.1        0x1         0x2         02:fc:00:00:00:05     *        eth0\n"
                      "192.0.2.9        0x1         0x0         00:00:00:00:00:00     *        eth0\n"
                      "192.0.2.7        0x1         0x6         02:fc:00:00:00:07     *        eth1\n"
                      "192.0.2.300      0x1         0x2         02:fc:00:00:00:08     *        eth1\n"
                      "192.0.2.8        0x1         2           02:fc:00:00:00:08     *        eth1\n",
                      out),
            3u);
  EXPECT_EQ(out,
            "IPv4 neighbours\n"
            "Address          Hardware address     Type        Interface\n"
            "192.0.2.1        02:fc:00:00:00:05    dynamic     eth0\n"
            "192.0.2.9        00:00:00:00:00:00    incomplete  eth0\n"
            "192.0.2.7        02:fc:00:00:00:07    static      eth1\n");
  out.clear();
  FormatArp("IP address       HW type     Flags       HW address            Mask     Device\n", out);
  EXPECT_NE(out.find("No neighbour entries.\n"), std::string::npos);

  out.clear();
  EXPECT_EQ(FormatTcp("  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n"
                      "   0: 00000000:07E8 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0\n"
                      "   1: 0100007F:9203 0100007F:AFF2 01 00000000:00000000 03:00000355 00000000     0\n"
                      "   2: 0100007F:92031 0100007F:AFF2 01 00000000:00000000 03:00000355 00000000     0\n",
                      false, out),
            2u);
  EXPECT_EQ(out,
            "TCP over IPv4\n"
            "Proto  Local address           Foreign address         State\n"
            "TCP    0.0.0.0:2024            0.0.0.0:0               LISTEN\n"
            "TCP    127.0.0.1:37379         127.0.0.1:45042         ESTABLISHED\n");
  out.clear();
  EXPECT_EQ(FormatTcp("  sl  local_address                         remote_address                        st\n"
                      "   0: 00000000000000000000000001000000:B230 00000000000000000000000001000000:8BE1 06 0\n"
                      "   1: 0000000000000000000000000100000:B230 00000000000000000000000001000000:8BE1 06 0\n",
                      true, out),
            1u);
  EXPECT_NE(out.find("\nTCP6   [::1]:45616 "), std::string::npos) << out;
  EXPECT_NE(out.find(" [::1]:35809 "), std::string::npos) << out;
  EXPECT_NE(out.find(" TIME_WAIT\n"), std::string::npos) << out;
}

TEST(VerevedoTables, ResolverServers) {
  std::string text = "# nameserver 10.9.9.9\nsearch a.example b.example\nnameserver 192.0.2.53\n"
                     "nameserver\n domain c.example\n";
  for (int i = 0; i < 20; ++i) text += "nameserver 192.0.2." + std::to_string(i) + "\n";
  ResolverConfig c = ParseResolvConf(text);
  ASSERT_EQ(c.name_servers.size(), kMaxNameServers);
  EXPECT_EQ(c.name_servers[0], "192.0.2.53");
  EXPECT_EQ(c.name_servers[1], "192.0.2.0");
  EXPECT_EQ(c.search, std::vector<std::string>{"c.example"});
}

TEST(VerevedoProgram, PingLoopback) {
  HelperRun r = Helper("ping 127.0.0.1");
  if (r.status == 2) GTEST_SKIP() << "neither ICMP socket may be opened here: " << r.out;
  EXPECT_EQ(r.status, 0) << r.out;
  size_t replies = 0;
  for (size_t at = 0; (at = r.out.find("\nReply from 127.0.0.1: bytes=32 time", at)) != std::string::npos; ++at) {
    ++replies;
    size_t end = r.out.find('\n', at + 1);
    EXPECT_NE(r.out.substr(at, end - at).find(" TTL="), std::string::npos);
  }
  EXPECT_EQ(replies, 4u) << r.out;
  EXPECT_NE(r.out.find("4 sent, 4 received, 0 lost (0% loss)"), std::string::npos) << r.out;
}

// In a network namespace of its own (no link out), without CAP_NET_RAW: the datagram socket when
// the group may use it, the message when it may not, and timeouts to an address on a veth whose
// peer is down.
TEST(VerevedoProgram, PingSocketsAndTimeoutsInAPrivateNamespace) {
  if (system("unshare -rn true 2>/dev/null") != 0) GTEST_SKIP() << "cannot create a network namespace here";
  const std::string v = std::string("setpriv --bounding-set -net_raw ") + VEREVEDO_PATH + " PING ";
  auto in_namespace = [](const std::string& script) {
    return Shell("unshare -rn sh -c 'ip link set lo up; " + script + "'");
  };
  HelperRun dgram = in_namespace("echo 0 0 > /proc/sys/net/ipv4/ping_group_range; " + v + "127.0.0.1");
  EXPECT_EQ(dgram.status, 0) << dgram.out;
  EXPECT_NE(dgram.out.find("\nReply from 127.0.0.1: bytes=32 time<1ms TTL=64\n"), std::string::npos) << dgram.out;

  HelperRun none = in_namespace(v + "127.0.0.1");  // a new namespace allows no group
  EXPECT_EQ(none.status, 2) << none.out;
  EXPECT_EQ(none.out.rfind("PING 127.0.0.1: cannot open an ICMP socket", 0), 0u) << none.out;

  HelperRun lost = in_namespace(
      "ip link add v0 type veth peer name v1 && ip addr add 198.51.100.1/24 dev v0 && ip link set v0 up && "
      "echo 0 0 > /proc/sys/net/ipv4/ping_group_range && " + v + "198.51.100.2");
  if (lost.out.find("Request timed out.") == std::string::npos && lost.status != 1) {
    GTEST_SKIP() << "no veth in the namespace: " << lost.out;
  }
  EXPECT_EQ(lost.status, 1) << lost.out;
  EXPECT_NE(lost.out.find("\n\nRequest timed out.\nRequest timed out.\nRequest timed out.\nRequest timed out.\n\n"
                          "Ping statistics for 198.51.100.2: 4 sent, 0 received, 4 lost (100% loss)\n"),
            std::string::npos)
      << lost.out;
}

TEST(VerevedoProgram, CommandsAndRefusals) {
  struct Case {
    const char* args;
    int status;
    const char* starts;
  } cases[] = {
      {"ROUTE PRINT", 0, "IPv4 routes\nDestination      Netmask "},
      {"route Print", 0, "IPv4 routes\n"},
      {"ARP -a", 0, "IPv4 neighbours\nAddress "},
      {"NETSTAT -n", 0, "TCP over IPv4\nProto "},
      {"IPCONFIG -all", 0, "\nHost name . . . . . : "},
      {"PING localhost", 1, "PING: not a dotted IPv4 address: localhost\n"},
      {"PING", 1, "Unknown command: PING\n"},
      {"ROUTE ADD 0.0.0.0", 1, "Unknown command: ROUTE ADD 0.0.0.0\n"},
      {"", 1, "Unknown command: \n"},
  };
  for (const Case& c : cases) {
    HelperRun r = Helper(c.args);
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_EQ(r.out.rfind(c.starts, 0), 0u) << c.args << ":\n" << r.out;
  }
  EXPECT_NE(Helper("IPCONFIG -all").out.find("\nInterface lo\n"), std::string::npos);
}

}  // namespace
