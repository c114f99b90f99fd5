#include "decoder/decoded_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace netward::decoder {
namespace {

// A text in a zero-padded field of `width` bytes.
std::string Field(const std::string& text, size_t width) {
  std::string f = text;
  f.resize(width, '\0');
  return f;
}

DecodedLine SampleLine() {
  DecodedLine l;
  l.AdapterNumber = 2;
  l.Sequence = 0x01020304;
  l.Length = 1500;
  strcpy(l.TimeText, "12:34:56");
  strcpy(l.SourceText, "*00600800000A");
  strcpy(l.PeerText, "IP 10.0.0.7");
  strcpy(l.RoleText, "GW");
  strcpy(l.NameText, "WS7");
  memcpy(l.DirectionMark, "  =>", 4);
  strcpy(l.DestinationText, "10.0.0.1");
  strcpy(l.SummaryText, "ICMP PING");
  strcpy(l.ProtocolText, "ICMP PING");
  memcpy(l.EventText, "ICMP ERROR      ", 16);
  l.MediaType = 1;
  return l;
}

TEST(DecodedLine, SerialisesToTheDetailRecordLayout) {
  const std::string want = std::string("DETL") + std::string("\x02\0\0\0", 4) +
                           "\x04\x03\x02\x01" + std::string("\xDC\x05\0\0", 4) +
                           Field("12:34:56", 9) + Field("", 3) + Field("*00600800000A", 16) +
                           Field("IP 10.0.0.7", 28) + Field("GW", 8) + Field("WS7", 32) + "  =>" +
                           Field("10.0.0.1", 28) + Field("ICMP PING", 100) +
                           Field("ICMP PING", 100) + "ICMP ERROR      " +
                           std::string("\x01\0\0\0", 4);
  ASSERT_EQ(want.size(), kDecodedLineSize);
  uint8_t out[kDecodedLineSize];
  SerializeDecodedLine(SampleLine(), out);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), sizeof out), want);

  DecodedLine back;
  ASSERT_TRUE(ParseDecodedLine(out, back));
  uint8_t again[kDecodedLineSize];
  SerializeDecodedLine(back, again);
  EXPECT_EQ(memcmp(out, again, sizeof out), 0);
  out[0] = 'X';
  EXPECT_FALSE(ParseDecodedLine(out, back));
}

TEST(DecodedLine, PrepareFillsTheColumnsTheDecoderLeaves) {
  DecodedLine l;
  memset(static_cast<void*>(&l), 0x55, sizeof l);
  LineHeader h;
  h.adapter_number = 3;
  h.direction = 9;  // unknown codes show as a group frame from another station
  EXPECT_EQ(std::string(DirectionMarkText(5), 4), "  =>");
  EXPECT_EQ(std::string(EventCodeText(6), 16), "LLC ERROR       ");
  EXPECT_EQ(std::string(EventCodeText(7), 16), "?               ");
  h.event = 4;
  h.media_type = 7;
  h.source_label = "00A0C9112233";
  h.proto_label = "IPX 00000001:00A0C9112233 and more than 28";
  PrepareDecodedLine(l, h);
  EXPECT_EQ(std::string(l.DirectionMark, 4), "<<  ");
  EXPECT_EQ(std::string(l.EventText, 16), "TCP RESET       ");
  EXPECT_EQ(std::string(l.DestinationText, 28), std::string(28, ' '));
  EXPECT_EQ(std::string(l.SummaryText, 100), std::string(100, ' '));
  EXPECT_EQ(std::string(l.ProtocolText, 100), std::string(100, '\0'));
  EXPECT_EQ(std::string(l.PeerText, 28), "IPX 00000001:00A0C9112233 an");
  EXPECT_EQ(std::string(l.RoleText, 8), std::string(8, '\0'));
  EXPECT_EQ(l.MediaType, 7u);
  EXPECT_EQ(strlen(l.TimeText), 8u);
}

}  // namespace
}  // namespace netward::decoder
