#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include "decoder/service_names.h"
#include "decoder_fixture.h"

namespace netward::decoder::test {
namespace {

constexpr FixedServiceNames::Entry kNames[] = {
    {53, false, "domain"}, {53, true, "domain"}, {139, true, "netbios-ssn"},
    {137, false, "netbios-ns"}, {138, false, "netbios-dgm"},
};
const FixedServiceNames kServices(kNames, std::size(kNames));

// ICMP from byte 34 with the offending datagram's destination 10.9.8.7 at ICMP bytes 24-27.
Frame Icmp(uint8_t type, uint8_t code) {
  Frame f = Ipv4(1);
  f.Put(kL4, {type, code}).Put(kL4 + 24, {10, 9, 8, 7});
  return f;
}

TEST(Icmp, MessageTypes) {
  struct Case {
    uint8_t type;
    const char* text;
  };
  // The fixed texts' first and last, the composed type 11, unnamed types inside and above.
  const Case cases[] = {
      {0, "ICMP PING Reply"}, {4, "ICMP Source Quench"}, {8, "ICMP PING"},
      {11, "ICMP Time Exceeded for Dest=10.9.8.7"}, {18, "ICMP Subnet Mask Address Reply"},
      {1, "ICMP"}, {7, "ICMP"}, {19, "ICMP"}, {255, "ICMP"},
  };
  Decoder d;
  for (const Case& c : cases) {
    const DecodedLine l = d.Decode(Icmp(c.type, 1));
    EXPECT_EQ(COL(l.DestinationText), "10.1.2.3");
    EXPECT_EQ(COL(l.SummaryText), c.text);
    EXPECT_EQ(COL(l.ProtocolText), c.text);  // the message names itself
  }
}

TEST(Icmp, DestinationUnreachableCodes) {
  const std::pair<uint8_t, const char*> texts[] = {
      {0, "ICMP Network Unreachable"}, {2, "ICMP Protocol Unreachable"},
      {4, "ICMP Fragmentation needed but not set"},  // next-hop MTU 0: no MaxMTU
      {5, "ICMP Source Route Failed"}, {15, "ICMP Precedence Cutoff in Effect"},
      {16, "ICMP Destination Unreachable"}, {255, "ICMP Destination Unreachable"},
  };
  Decoder d;
  for (auto [code, text] : texts) {
    const DecodedLine l = d.Decode(Icmp(3, code));
    EXPECT_EQ(COL(l.SummaryText), std::string(text) + ", for Target=10.9.8.7");
    EXPECT_EQ(COL(l.ProtocolText), "ICMP Destination Unreachable");
  }
  Frame mtu = Icmp(3, 4);
  mtu.Be16(kL4 + 6, 1492);
  EXPECT_EQ(COL(d.Decode(mtu).SummaryText),
            "ICMP Fragmentation needed but not set, MaxMTU=1492, for Target=10.9.8.7");
}

TEST(Icmp, PortUnreachableNamesThePort) {
  struct Case {
    uint8_t protocol;
    uint16_t port;
    const char* text;
  };
  const Case cases[] = {
      {17, 53, "ICMP Port 'domain' Unreachable"}, {17, 4000, "ICMP Port '4000' Unreachable"},
      {6, 80, "ICMP Port 'www-http' Unreachable"}, {1, 53, "ICMP Port '53' Unreachable"},
      {17, 80, "ICMP Port 'www-http' Unreachable"},  // the fallback knows no protocol
  };
  Decoder d(&kServices);
  for (const Case& c : cases) {
    Frame f = Icmp(3, 3);
    f.Put(kL4 + 17, {c.protocol}).Be16(kL4 + 30, c.port);
    EXPECT_EQ(COL(d.Decode(f).SummaryText), std::string(c.text) + ", for Target=10.9.8.7");
  }
}

TEST(Icmp, Redirects) {
  const std::pair<uint8_t, const char*> texts[] = {
      {0, "ICMP Redirect for network"}, {3, "ICMP Redirect for TOS and host"},
      {4, "ICMP Redirect"}};
  Decoder d;
  for (auto [code, text] : texts) {
    Frame f = Icmp(5, code);
    f.Put(kL4 + 4, {10, 0, 0, 254});
    EXPECT_EQ(COL(d.Decode(f).SummaryText),
              std::string(text) + ".  Use Router=10.0.0.254 for Dest=10.9.8.7");
  }
  Frame local = Icmp(5, 1);
  local.Put(kL4 + 4, {10, 9, 8, 7});
  const DecodedLine l = d.Decode(local);
  EXPECT_EQ(COL(l.SummaryText),
            "ICMP Redirect for host.  No need to use router since Dest=10.9.8.7 is LOCAL");
  EXPECT_EQ(COL(l.ProtocolText), COL(l.SummaryText));
}

TEST(Ip, ProtocolsOptionsAndTheSummaryColumn) {
  Decoder d;
  DecodedLine l = d.Decode(Ipv4(47));
  EXPECT_EQ(COL(l.SummaryText), "Protocol=x'2F'");
  EXPECT_EQ(COL(l.ProtocolText), "IP");
  // The work text is stored whole: the text, then zeros up to the 100th byte.
  EXPECT_EQ(std::string(l.SummaryText, 100), "Protocol=x'2F'" + std::string(86, '\0'));
  EXPECT_EQ(COL(d.Decode(Ipv4(0)).SummaryText), "Protocol=x'00'");
  for (auto [proto, name] : {std::pair<uint8_t, const char*>{88, "IGRP"}, {89, "OSPF"}}) {
    l = d.Decode(Ipv4(proto));
    EXPECT_EQ(COL(l.SummaryText), name);
    EXPECT_EQ(COL(l.ProtocolText), name);
  }

  // Header length 6: the ICMP message starts at IP byte 24.
  Frame options = Ipv4(1);
  options.Put(kIp, {0x46}).Put(kL4, {0x00}).Put(kL4 + 4, {8});
  EXPECT_EQ(COL(d.Decode(options).SummaryText), "ICMP PING");
}

TEST(ServiceNames, SystemDatabaseAnswersLikeGetservbyport) {
  const SystemServiceNames names;
  const servent* s = getservbyport(htons(53), "udp");
  if (!s) GTEST_SKIP() << "no service database entry for 53/udp on this host";
  ASSERT_NE(names.ServiceName(53, false), nullptr);
  EXPECT_STREQ(names.ServiceName(53, false), s->s_name);
  EXPECT_EQ(names.ServiceName(0, true), nullptr);
}

}  // namespace
}  // namespace netward::decoder::test
