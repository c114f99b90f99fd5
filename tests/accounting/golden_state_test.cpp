// Everything accounting leaves for readers over a generated workload (600 stations, so the table
// fills), hashed after every frame and at the end, against the hashes the accounting of the issue-16
// merge gave: the one that scanned the station table, made the labels of every frame and walked
// the connection chains. The look-up structures kept beside the tables since then must change
// nothing a reader, a reply or a history file can see.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "state/records.h"
#include "adapter_fixture.h"
#include "pcap_frames.h"

namespace netward::test {
namespace {

struct Hash {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  void Add(const void* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<const uint8_t*>(p)[i]) * 1099511628211ull;
  }
  template <typename T>
  void Value(const T& v) {
    Add(&v, sizeof v);
  }
};

void AddStation(Hash& h, const StationRecord* s) {
  h.Value(StationRef(s));
  if (s == nullptr) return;
  uint8_t rec[kStationRecordSize];
  SerializeStationRecord(*s, rec);
  h.Add(rec, sizeof rec);
}

// What one frame left: its entry and sender station, the adapter's per-frame fields and counts.
void AddFrame(Hash& h, const NicArea& nic, const FrameEntry& e) {
  uint8_t fe[kFrameEntrySize];
  SerializeFrameEntry(e, StationRef(e.Station), fe);
  h.Add(fe, sizeof fe);
  AddStation(h, e.Station);
  h.Add(nic.DestAddress, 6);
  h.Add(nic.SrcAddress, 6);
  h.Value(nic.IsGroupFrame);
  h.Value(nic.FromSelf);
  h.Value(nic.IpHeader != nullptr);  // it points into the caller's buffer, gone by now
  h.Add(nic.NetbiosName.bytes, 16);
  h.Add(nic.SrcLabel.bytes, 16);
  h.Add(nic.ProtoLabel.bytes, 29);
  h.Add(nic.OwnAddress, 6);
  h.Value(nic.StationCount);
  h.Value(nic.GroupFrameCount);
  h.Value(nic.ConnectionCount);
  h.Value(nic.DnsNameCount);
}

// Every table and ring at the end, and the totals.
void AddTables(Hash& h, const NicArea& nic, const GlobalArea& g) {
  for (int i = 0; i < nic.StationCount; ++i) AddStation(h, &nic.Stations[i]);
  for (const GroupFrameEntry& x : nic.GroupFrames) {
    uint8_t ge[kGroupFrameEntrySize];
    SerializeGroupFrameEntry(x, StationRef(x.Station), ge);
    h.Add(ge, sizeof ge);
  }
  for (const NameCacheEntry& x : nic.NameCache) {
    h.Value(x.Time);
    h.Add(x.AddressLabel.bytes, 16);
    h.Add(x.ProtocolLabel.bytes, 29);
    h.Add(x.Name.bytes, 33);
  }
  for (const DnsNameEntry& x : nic.DnsNames) {
    h.Add(x.Ip, 4);
    h.Add(x.Name.bytes, 33);
  }
  h.Add(nic.LastDnsQuery, sizeof nic.LastDnsQuery);
  h.Add(nic.LastArpRequest, sizeof nic.LastArpRequest);
  const TotalsSnapshot t = g.Totals();
  h.Value(t);
}

struct Variant {
  const char* what;
  bool wan;
  bool own_zero;
  bool mutate;     // a few bytes of the first 64 changed, and some wire lengths, in every frame
  int roll_over;   // frames between day roll-overs; 0: none
  uint64_t frames_hash;
  uint64_t tables_hash;
};

TEST_F(AccountingTest, EveryResultIsWhatTheTableScanGave) {
  const std::string path = testing::TempDir() + "accounting_golden_" + std::to_string(getpid()) + ".pcap";
  ASSERT_TRUE(MakeWorkload(path, 30000, 600, 1));
  std::vector<PcapFrame> frames;
  int link = 0;
  ASSERT_TRUE(LoadPcap(path, frames, link));
  std::filesystem::remove(path);
  {
    // The hashes below hold for this workload only: a changed generator gives another one.
    Hash w;
    for (const PcapFrame& f : frames) {
      w.Add(f.bytes.data(), f.bytes.size());
      w.Value(f.wire_length);
    }
    if (frames.size() != 30000 || w.h != 0x56185229378e3932ull) GTEST_SKIP() << "the workload generator changed: " << std::hex << w.h;
  }
  const Variant runs[] = {
      {"802.3", false, false, false, 0, 0x953bc0d4ff06b4a3ull, 0x4f2c907acc59c89dull},
      {"802.3, roll-overs, changed bytes", false, false, true, 10000, 0x1311b658957332full, 0x20a6dbce7c7cbffaull},
      {"WAN, own address learnt", true, true, false, 0, 0x3fb67f81aecff0e3ull, 0x66c8500c31fbfe31ull},
      {"WAN, changed bytes", true, false, true, 7000, 0xf089ed76a95765f1ull, 0xbcdf394fdab3638aull},
  };
  for (const Variant& run : runs) {
    SCOPED_TRACE(run.what);
    SetUp();
    Adapter a(kOwnMac, 0, run.wan);
    NicArea& nic = a.nic();
    if (run.wan && !run.own_zero) memcpy(nic.OwnAddress, MacN(7).data(), 6);
    memcpy(&nic.TcpipConfig[kGateways][0], IpN(1).data(), 4);
    a.global().HostName.Set("GOLDEN");
    std::mt19937 rng(3);
    Hash per_frame;
    for (size_t i = 0; i < frames.size(); ++i) {
      if (run.roll_over && i > 0 && i % run.roll_over == 0) RelaxedStore(nic.StationCount, 0);
      std::vector<uint8_t> bytes = frames[i].bytes;
      int64_t wire = frames[i].wire_length;
      if (run.mutate) {
        for (int k = 0; k < 3; ++k) {
          const size_t at = rng() % 64;
          if (at < bytes.size()) bytes[at] ^= uint8_t(rng());
        }
        if (rng() % 7 == 0) wire = rng() % 300;
      }
      AddFrame(per_frame, nic, a.Feed(bytes, frames[i].time, wire));
    }
    Hash tables;
    AddTables(tables, nic, a.global());
    EXPECT_EQ(per_frame.h, run.frames_hash) << std::hex << per_frame.h;
    EXPECT_EQ(tables.h, run.tables_hash) << std::hex << tables.h;
  }
}

}  // namespace
}  // namespace netward::test
