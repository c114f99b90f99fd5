#include "common/hex.h"
#include "state/records.h"

#include <gtest/gtest.h>

#include <memory>

using namespace netward;
using netward::testing_hex::Hex;

namespace {

TEST(Records, StationRecordGoldenBytes) {
  auto nic = std::unique_ptr<NicArea>(AllocateNicArea());
  StationRecord& s = nic->Stations[2];
  s.ConnectionChain = &nic->Connections[0];  // links never leave the process
  s.IsSelf = 1;
  const uint8_t ip[4] = {10, 1, 0, 10};
  memcpy(s.IpAddress, ip, 4);
  s.AddressLabel.Set("*00600800000A");
  s.ProtocolLabel.Set("IP 10.1.0.10");
  s.Name.Set("HOST");
  s.LastSequence = 0x01020304;
  s.FirstSeen = 0x11223344;
  s.LastSeen = 0x55667788;
  s.BytesSent = 1.5f;     // 0x3FC00000
  s.FramesSent = 7;
  s.GroupFramesSent = 8;
  s.EventFramesSent = 9;
  s.BytesReceived = -2.0f;  // 0xC0000000
  s.FramesReceived = 0xA0B0C0D0;
  s.Role.Set("Self");
  s.Nic = nic.get();

  uint8_t out[kStationRecordSize];
  SerializeStationRecord(s, out);
  // Build the rest by field so that a reader can check each offset.
  std::string full = "00000000" "01000000" "0a01000a";
  full += "2a303036303038303030303041000000";
  full += "49502031302e312e302e3130" + std::string(2 * 17, '0');
  full += "484f5354" + std::string(2 * 29, '0');
  full += "04030201" "44332211" "88776655" "0000c03f" "07000000" "08000000" "09000000" "000000c0" "d0c0b0a0";
  full += "53656c6600000000";
  full += "00000000";                 // Nic link
  full += std::string(2 * 20, '0');  // reserved
  ASSERT_EQ(full.size(), 2 * kStationRecordSize);
  EXPECT_EQ(Hex(out, sizeof out), full);
  EXPECT_EQ(StationRef(&s), 3u);
  EXPECT_EQ(StationRef(nullptr), 0u);

  uint8_t rec[kStatsRecordSize];
  SerializeStatsRecord(1, s, rec);
  EXPECT_EQ(Hex(rec, 8), "5445533101000000");
  EXPECT_EQ(memcmp(rec + 8, out, sizeof out), 0);
}

TEST(Records, FrameAndGroupEntriesGoldenBytes) {
  auto nic = std::unique_ptr<NicArea>(AllocateNicArea());
  FrameEntry& f = nic->RecentFrames[0];
  f.Complete.store(1);
  f.Time = 0x61000000;
  f.Sequence = 2;
  f.Length = 1514;
  f.SrcLabel.Set("00A0C9123456");
  f.ProtoLabel.Set("IPX");
  f.Direction = kDirOwnEvent;
  f.Event = kEventLlcError;
  for (int i = 0; i < kFrameDataBytes; ++i) f.Data[i] = static_cast<uint8_t>(i);
  uint8_t out[kFrameEntrySize];
  SerializeFrameEntry(f, 5, out);
  std::string head = "01" "00000061" "02000000" "ea050000" "303041304339313233343536000000" "00";
  head += "495058" + std::string(2 * 26, '0');
  head += "05000000" "05000000" "06000000";
  EXPECT_EQ(Hex(out, frame_off::Data), head);
  EXPECT_EQ(out[frame_off::Data + 255], 255);

  GroupFrameEntry& g = nic->GroupFrames[0];
  g.Time = 1;
  g.Sequence = 2;
  const uint8_t dest[4] = {10, 1, 255, 255};
  memcpy(g.DestIp, dest, 4);
  g.SrcLabel.Set("*00600800000A");
  g.ProtoLabel.Set("IP 10.1.0.10");
  g.Data[0] = 0xFF;
  uint8_t gout[kGroupFrameEntrySize];
  SerializeGroupFrameEntry(g, 0, gout);
  EXPECT_EQ(Hex(gout, 20), "0100000002000000000000000a01ffff2a303036");
  EXPECT_EQ(gout[group_off::ProtoLabel], 'I');
  EXPECT_EQ(gout[group_off::Data], 0xFF);
}

TEST(Records, TraceRecordRoundTrip) {
  TraceRecord r;
  r.Time = 0x5F5E1000;
  r.OwnBytes = 1024.0f;  // 0x44800000
  r.OwnFrames = 1;
  r.OwnGroupFrames = 2;
  r.OwnEventFrames = 3;
  r.OtherBytes = 0.5f;  // 0x3F000000
  r.OtherFrames = 4;
  r.OtherGroupFrames = 5;
  r.OtherEventFrames = 6;
  uint8_t out[kTraceRecordSize];
  SerializeTraceRecord(r, out);
  EXPECT_EQ(Hex(out, sizeof out),
            "54455420" "00105e5f" "00008044" "01000000" "02000000" "03000000" "0000003f" "04000000" "05000000"
            "06000000");
  TraceRecord back;
  ASSERT_TRUE(ParseTraceRecord(out, back));
  EXPECT_EQ(back.OtherEventFrames, 6u);
  EXPECT_EQ(back.OwnBytes, 1024.0f);
  out[3] = '1';
  EXPECT_FALSE(ParseTraceRecord(out, back));
}

TEST(Text, StoresAtMostNMinusOneCharacters) {
  Text<8> t{};
  t.Set("RoleTooLong");
  char out[8];
  t.Get(out);
  EXPECT_STREQ(out, "RoleToo");
  t.Set(nullptr);
  t.Get(out);
  EXPECT_STREQ(out, "");
}

}  // namespace
