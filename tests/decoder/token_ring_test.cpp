#include <gtest/gtest.h>

#include "decoder_fixture.h"

namespace netward::decoder::test {
namespace {

// Access control, frame control, destination 02-00-00-00-00-01, source 00-A0-C9-11-22-33.
Frame TokenRing(uint8_t frame_control) {
  Frame f;
  f.Put(0, {0x10, frame_control}).Put(2, {0x02, 0, 0, 0, 0, 0x01});
  f.Put(8, {0x00, 0xA0, 0xC9, 0x11, 0x22, 0x33});
  return f;
}

TEST(TokenRing, MacCommands) {
  // The table's edges and its gaps (0x01, 0x0A, 0x11-0x1F, 0x21, above 0x2A).
  const std::pair<uint8_t, const char*> commands[] = {
      {0x00, ", Response"}, {0x02, ", BEACON"}, {0x10, ", Request Ring Station Attachments"},
      {0x20, ", Request Initialization"}, {0x2A, ", Report Transmit Forward"},
      {0x01, ", Command x01"}, {0x0A, ", Command x0A"}, {0x1F, ", Command x1F"},
      {0x21, ", Command x21"}, {0x2B, ", Command x2B"}, {0xFF, ", Command xFF"},
  };

  Decoder d;
  DecodedLine l;
  for (auto [command, text] : commands) {
    Frame f = TokenRing(0x01);  // MAC frame: frame type bits 00
    f.Put(17, {command});
    l = d.Decode(f, kMedium8025);
    EXPECT_EQ(COL(l.SummaryText), std::string("Token Ring MAC Frame") + text);
  }
  // A MAC frame fills the caller's columns too.
  EXPECT_EQ(COL(l.ProtocolText), "Token Ring MAC Frame");
  EXPECT_EQ(COL(l.DestinationText), "020000000001");
  EXPECT_EQ(COL(l.PeerText), "TR-MAC");
  EXPECT_EQ(COL(l.SourceText), "00A0C9112233");
  EXPECT_EQ(std::string(l.DirectionMark, 4), "<<  ");
}

TEST(TokenRing, MacFrameFromThisAdapterEvenWithRoutingBit) {
  Frame f = TokenRing(0x00);
  f.Put(8, {0x80, 0x60, 0x08, 0x00, 0x00, 0x0A}).Put(17, {0x06});
  const DecodedLine l = Decoder().Decode(f, kMedium8025);
  EXPECT_EQ(std::string(l.DirectionMark, 4), "  >>");
  EXPECT_EQ(COL(l.SourceText), "*00600800000A");
  EXPECT_EQ(COL(l.SummaryText), "Token Ring MAC Frame, Standby Monitor Present");
}

TEST(TokenRing, LlcFramesWithAndWithoutRoutes) {
  Decoder d;
  Frame plain = TokenRing(0x40);
  plain.Put(14, {0x06, 0x06, 0x03});
  DecodedLine l = d.Decode(plain, kMedium8025);
  EXPECT_EQ(COL(l.SummaryText), "LLC 06/06 UI");
  EXPECT_EQ(COL(l.SourceText), "SRC");  // only MAC frames write the caller's columns
  EXPECT_EQ(std::string(l.DirectionMark, 4), "<-  ");

  struct RouteCase {
    std::initializer_list<uint8_t> rif;
    const char* summary;
  };
  const RouteCase routes[] = {
      {{0x02, 0x00}, "LLC 06/06 UI"},
      {{0x06, 0x00, 0x00, 0x11, 0x00, 0x20}, "LLC 06/06 UI  RIF={001}1{002}0"},
      {{0x07, 0x00, 0xAB, 0xCD, 0x12, 0x34, 0x56}, "LLC 06/06 UI  RIF={ABC}D{123}4{560}6"},
  };
  for (const RouteCase& r : routes) {
    Frame f = TokenRing(0x40);
    f.Put(8, {0x80}).Put(14, r.rif).Put(14 + (r.rif.begin()[0] & 0x1F), {0x06, 0x06, 0x03});
    EXPECT_EQ(COL(d.Decode(f, kMedium8025).SummaryText), r.summary);
  }

  // A long route list after a long LLC text is cut at the column's 100 characters.
  Frame long_route = TokenRing(0x40);
  long_route.Put(8, {0x80}).Put(14, {0x1F});
  long_route.Put(14 + 31, {0x42, 0x43, 0xFE, 0xFF});
  l = d.Decode(long_route, kMedium8025);
  const std::string want = "Spanning Tree BPDU LLC 42/43 I-Frame N(R)=127 N(S)=127 Response  RIF=" +
                           std::string("{000}0") + "{000}0{000}0{000}0{000}0{000}0";
  EXPECT_EQ(std::string(l.SummaryText, 100), want.substr(0, 100));
}

TEST(TokenRing, NetbiosFunctionalAddressSkipsRoutes) {
  Frame f = TokenRing(0x40);
  f.Put(2, {0xC0, 0, 0, 0, 0, 0x80}).Put(8, {0x80}).Put(14, {0x06, 0, 0, 0x11, 0, 0x20});
  const size_t nbf = 14 + 6 + 3;
  f.Put(nbf + 4, {0x01}).PlainName(nbf + 12, "WS7", 0x00).PlainName(nbf + 28, "WS7", 0x00);
  const DecodedLine l = Decoder().Decode(f, kMedium8025);
  EXPECT_EQ(COL(l.SummaryText), "NetBEUI Add Name Query Dest=WS7<00> Src=WS7<00>");
  EXPECT_EQ(COL(l.ProtocolText), "NetBeui,     Advertising WS7");
}

std::string g_warnings;
void Collect(const char* text) { g_warnings += text; }

TEST(TokenRing, UnexpectedFrameTypesOnlyWarn) {
  Decoder d;
  d.ctx.warn = Collect;
  g_warnings.clear();
  for (uint8_t fc : {0x80, 0xC5}) {
    const DecodedLine l = d.Decode(TokenRing(fc), kMedium8025);
    EXPECT_EQ(COL(l.DestinationText), "020000000001");
    EXPECT_EQ(std::string(l.SummaryText, 100), std::string(100, ' '));
    EXPECT_EQ(COL(l.ProtocolText), "");
  }
  EXPECT_EQ(g_warnings,
            "WARNING: Unexpected Frame Type x80\nWARNING: Unexpected Frame Type xC0\n");
}

TEST(DecodeFrame, OtherMediaLeaveTheLineAlone) {
  const DecodedLine l = Decoder().Decode(Ethernet(0x0800), 2);
  EXPECT_EQ(std::string(l.DestinationText, 28), std::string(28, ' '));
  EXPECT_EQ(std::string(l.SummaryText, 100), std::string(100, ' '));
  EXPECT_EQ(COL(l.ProtocolText), "");
}

// A ring slot reused by a shorter frame still holds the older frame's tail; the frame length
// bounds the view, so the time-exceeded message names no stale embedded destination.
TEST(DecodeFrame, StoredFrameReadsZeroPastItsLength) {
  Frame f = Ipv4(1).Put(kL4, {11, 0}).Put(kL4 + 24, {9, 9, 9, 9});
  Decoder d;
  DecodedLine bounded = d.Decode(Frame{}), stale = d.Decode(Frame{});
  uint8_t stored[kStoredFrameBytes];
  memcpy(stored, f.Stored().data(), sizeof stored);
  DecodeStoredFrame(bounded, stored, kL4 + 8, kMedium8023, d.ctx);
  DecodeStoredFrame(stale, stored, 1514, kMedium8023, d.ctx);
  EXPECT_EQ(COL(bounded.SummaryText), "ICMP Time Exceeded for Dest=0.0.0.0");
  EXPECT_EQ(COL(stale.SummaryText), "ICMP Time Exceeded for Dest=9.9.9.9");
}

}  // namespace
}  // namespace netward::decoder::test
