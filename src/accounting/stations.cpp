#include "accounting/stations.h"

#include <cstring>

#include "accounting/accounting.h"
#include "accounting/name_resolver.h"

namespace netward {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

// ---- Hash index beside the station table ----
//
// Maps the two labels to the table entry that holds them. Entries are only ever added when no
// record with the same labels exists, so the table holds no duplicates and any hit is the record
// the linear scan would find first. The index mirrors Stations[0..indexed): when StationCount drops
// below that (the day roll-over sets it to 0) the index is emptied; entries it does not know yet
// are added from the table. Every hit is checked against the record's labels.
constexpr uint32_t kIndexSlots = 1024;  // at most 500 used: load below one half
constexpr int kIndexTables = 8;         // adapters (4) plus room for tests and tools

struct StationIndex {
  int32_t indexed;
  uint32_t hash[kIndexSlots];
  int16_t entry[kIndexSlots];  // station index + 1; 0 = free
};

StationIndex g_indexes[kIndexTables];
std::atomic<const NicArea*> g_index_owner[kIndexTables];
thread_local const NicArea* t_last_nic = nullptr;
thread_local int t_last_table = -1;

void ClearIndex(StationIndex& idx) {
  idx.indexed = 0;
  memset(idx.entry, 0, sizeof idx.entry);
}

// Index of `nic`, claimed on first use by the adapter's capture thread.
StationIndex& IndexFor(const NicArea* nic) {
  if (t_last_nic == nic && g_index_owner[t_last_table].load(std::memory_order_relaxed) == nic)
    return g_indexes[t_last_table];
  int table = -1;
  for (int i = 0; i < kIndexTables && table < 0; ++i)
    if (g_index_owner[i].load(std::memory_order_relaxed) == nic) table = i;
  for (int i = 0; i < kIndexTables && table < 0; ++i) {
    const NicArea* expected = nullptr;
    if (g_index_owner[i].compare_exchange_strong(expected, nic)) {
      ClearIndex(g_indexes[i]);
      table = i;
    }
  }
  if (table < 0) {
    // More live tables than adapters: take one over. Its former owner rebuilds on its next frame.
    table = static_cast<int>((reinterpret_cast<uintptr_t>(nic) >> 12) % kIndexTables);
    g_index_owner[table].store(nic, std::memory_order_relaxed);
    ClearIndex(g_indexes[table]);
  }
  t_last_nic = nic;
  t_last_table = table;
  return g_indexes[table];
}

uint64_t Word(const char* p) {
  uint64_t w;
  memcpy(&w, p, 8);
  return w;
}

// Labels are zero-padded to their field sizes, so both are hashed and compared as whole fields.
uint32_t LabelHash(const char (&addr)[16], const char (&proto)[32]) {
  uint64_t h = 0x9E3779B97F4A7C15ull;
  const uint64_t words[6] = {Word(addr), Word(addr + 8), Word(proto), Word(proto + 8), Word(proto + 16),
                             Word(proto + 24)};
  for (uint64_t w : words) h = (h ^ w) * 0xFF51AFD7ED558CCDull;
  return static_cast<uint32_t>(h ^ (h >> 29));
}

bool SameLabels(const StationRecord& s, const char (&addr)[16], const char (&proto)[32]) {
  // The capture thread is the only writer of labels, so it may read them directly.
  return memcmp(s.AddressLabel.bytes, addr, 16) == 0 && memcmp(s.ProtocolLabel.bytes, proto, 29) == 0;
}

void IndexInsert(StationIndex& idx, uint32_t hash, int station) {
  for (uint32_t i = hash & (kIndexSlots - 1);; i = (i + 1) & (kIndexSlots - 1)) {
    if (idx.entry[i] == 0) {
      idx.hash[i] = hash;
      idx.entry[i] = static_cast<int16_t>(station + 1);
      return;
    }
  }
}

void SyncIndex(StationIndex& idx, NicArea* nic, int32_t count) {
  if (count < idx.indexed) ClearIndex(idx);
  while (idx.indexed < count) {
    const StationRecord& s = nic->Stations[idx.indexed];
    char addr[16], proto[32] = {};
    memcpy(addr, s.AddressLabel.bytes, 16);
    memcpy(proto, s.ProtocolLabel.bytes, 29);
    IndexInsert(idx, LabelHash(addr, proto), idx.indexed);
    ++idx.indexed;
  }
}

int IndexFind(const StationIndex& idx, const NicArea* nic, uint32_t hash, const char (&addr)[16],
              const char (&proto)[32]) {
  for (uint32_t i = hash & (kIndexSlots - 1); idx.entry[i] != 0; i = (i + 1) & (kIndexSlots - 1)) {
    if (idx.hash[i] != hash) continue;
    const int station = idx.entry[i] - 1;
    if (station < idx.indexed && SameLabels(nic->Stations[station], addr, proto)) return station;
  }
  return -1;
}

char* PutDecimal(char* p, unsigned v) {
  if (v >= 100) *p++ = static_cast<char>('0' + v / 100);
  if (v >= 10) *p++ = static_cast<char>('0' + v / 10 % 10);
  *p++ = static_cast<char>('0' + v % 10);
  return p;
}

char* PutHex(char* p, const uint8_t* bytes, int n) {
  for (int i = 0; i < n; ++i) {
    *p++ = kHex[bytes[i] >> 4];
    *p++ = kHex[bytes[i] & 15];
  }
  return p;
}

bool TextEquals(const char* field, size_t n, const char* s) { return strncmp(field, s, n) == 0; }

void CopyName(char* out, size_t size, const char (&name)[33]) {
  if (size == 0) return;
  memset(out, 0, size);
  size_t n = size < 33 ? size : 33;
  memcpy(out, name, n);
  out[n - 1] = 0;
}

}  // namespace

void MakeMacLabel(const uint8_t* mac, bool self, char (&out)[16]) {
  memset(out, 0, sizeof out);
  char* p = out;
  if (self) *p++ = '*';
  PutHex(p, mac, 6);
}

void MakeProtocolLabel(int cls, const uint8_t* addr, const char* name, char (&out)[29]) {
  char buf[64] = {};
  size_t len = strnlen(name, 28);
  memcpy(buf, name, len);
  char* p = buf + len;
  if (cls == 1) {  // "%s %d.%d.%d.%d"
    *p++ = ' ';
    for (int i = 0; i < 4; ++i) {
      if (i) *p++ = '.';
      p = PutDecimal(p, addr[i]);
    }
  } else if (cls == 2) {  // "%s %02X%02X%02X%02X:%02X%02X%02X%02X%02X%02X"
    *p++ = ' ';
    p = PutHex(p, addr, 4);
    *p++ = ':';
    p = PutHex(p, addr + 4, 6);
  }
  memset(out, 0, sizeof out);
  memcpy(out, buf, sizeof out - 1);
}

const char* AddressRoleLabelPlaceholder(const NicArea& nic, const uint8_t* ip) {
  static constexpr struct {
    int list;
    const char* label;
  } kRoles[] = {{kAddresses, "Self"}, {kGateways, "GW"}, {kDnsServers, "DNS"}, {kWinsServers, "WINS"}};
  uint32_t addr;
  memcpy(&addr, ip, 4);
  if (addr == 0) return "";
  for (const auto& role : kRoles) {
    for (int i = 0; i < kTcpipListEntries; ++i) {
      uint32_t v = RelaxedLoad(nic.TcpipConfig[role.list][i]);
      if (v == 0) break;
      if (v == addr) return role.label;
    }
  }
  return "";
}

void LookupNetbiosName(const NicArea* nic, const char* address_label, const char* proto_label, char* out,
                       size_t size) {
  if (size) memset(out, 0, size);
  for (const NameCacheEntry& e : nic->NameCache) {
    if (RelaxedLoad(e.Time) == 0) return;
    char a[16], p[29];
    e.AddressLabel.Get(a);
    e.ProtocolLabel.Get(p);
    if (TextEquals(a, sizeof a, address_label) && TextEquals(p, sizeof p, proto_label)) {
      char name[33];
      e.Name.Get(name);
      CopyName(out, size, name);
      return;
    }
  }
}

void LookupDnsName(const NicArea* nic, const uint8_t* ip, char* out, size_t size) {
  if (size) memset(out, 0, size);
  for (const DnsNameEntry& e : nic->DnsNames) {
    char name[33];
    e.Name.Get(name);
    if (name[0] == 0) return;
    uint8_t addr[4];
    SharedCopyOut(addr, e.Ip, 4);
    if (memcmp(addr, ip, 4) == 0) {
      CopyName(out, size, name);
      return;
    }
  }
}

void RememberNetbiosName(NicArea* nic, const char* address_label, const char* proto_label, const char* name) {
  char cut[33] = {};
  memcpy(cut, name, strnlen(name, 32));
  const uint32_t now = nic->FrameTime;
  NameCacheEntry* oldest = nullptr;
  for (NameCacheEntry& e : nic->NameCache) {
    const uint32_t t = e.Time;  // this thread is the cache's only writer
    if (t == 0) {
      oldest = &e;
      break;
    }
    if (TextEquals(e.AddressLabel.bytes, 16, address_label) && TextEquals(e.ProtocolLabel.bytes, 29, proto_label)) {
      RelaxedStore(e.Time, now);
      e.Name.Set(cut);
      return;
    }
    if (oldest == nullptr || t < oldest->Time) oldest = &e;
  }
  RelaxedStore(oldest->Time, now);
  oldest->AddressLabel.Set(address_label);
  oldest->ProtocolLabel.Set(proto_label);
  oldest->Name.Set(cut);
}

StationRecord* FindOrAddStation(NicArea* nic, int cls, const uint8_t* mac, const uint8_t* proto_addr,
                                const char* proto_name) {
  // 1. Address label.
  char addr[16];
  bool self = memcmp(mac, nic->OwnAddress, 6) == 0;
  if (self) {
    if (nic->IsWan) {
      memset(addr, 0, sizeof addr);
      memcpy(addr, kLocalModemLabel, sizeof kLocalModemLabel);
    } else {
      MakeMacLabel(mac, true, addr);
    }
  } else if (nic->IsWan) {
    memset(addr, 0, sizeof addr);
    self = memcmp(nic->SrcAddress, kWanSendAddress, 6) == 0;
    const char* label = self ? kLocalModemLabel : kRemoteModemLabel;
    memcpy(addr, label, strlen(label));
  } else {
    MakeMacLabel(mac, false, addr);
  }
  // 2. Protocol label.
  char proto[32] = {};
  MakeProtocolLabel(cls, proto_addr, proto_name, reinterpret_cast<char(&)[29]>(proto));
  nic->SrcLabel.Set(addr);
  nic->ProtoLabel.Set(proto);

  // 3. Look-up.
  StationIndex& idx = IndexFor(nic);
  const uint32_t hash = LabelHash(addr, proto);
  int32_t count;
  while (true) {
    count = RelaxedLoad(nic->StationCount);
    if (count > kMaxStations) count = kMaxStations;
    SyncIndex(idx, nic, count);
    const int found = IndexFind(idx, nic, hash, addr, proto);
    if (found >= 0) return &nic->Stations[found];

    // 4. Not found.
    if (nic->IsGroupFrame && !nic->FromSelf) return nullptr;
    if (count >= kMaxStations) return nullptr;

    // 5. The new record, filled before StationCount makes it visible.
    StationRecord& s = nic->Stations[count];
    RelaxedStore(s.ConnectionChain, static_cast<ConnectionEntry*>(nullptr));
    RelaxedStore(s.IsSelf, uint32_t{0});
    SharedZero(s.IpAddress, 4);
    s.AddressLabel.Set(addr);
    s.ProtocolLabel.Set(proto);
    s.Name.Clear();
    RelaxedStore(s.LastSequence, uint32_t{0});
    RelaxedStore(s.FirstSeen, nic->FrameTime);
    RelaxedStore(s.LastSeen, uint32_t{0});
    RelaxedStore(s.BytesSent, 0.0f);
    RelaxedStore(s.FramesSent, uint32_t{0});
    RelaxedStore(s.GroupFramesSent, uint32_t{0});
    RelaxedStore(s.EventFramesSent, uint32_t{0});
    RelaxedStore(s.BytesReceived, 0.0f);
    RelaxedStore(s.FramesReceived, uint32_t{0});
    s.Role.Clear();
    RelaxedStore(s.Nic, nic);

    GlobalArea* g = Global();
    bool want_lookup = false;
    if (self) {
      // 6. The adapter's own station.
      RelaxedStore(s.IsSelf, uint32_t{1});
      if (g) {
        char host[33];
        g->HostName.Get(host);
        s.Name.Set(host);
      }
      s.Role.Set(kSelfRole);
    } else {
      // 7. Other stations: cached names, then a reverse look-up for IP stations.
      char name[33];
      LookupNetbiosName(nic, addr, proto, name, sizeof name);
      s.Name.Set(name);
      if (cls == 1) {
        SharedCopyIn(s.IpAddress, proto_addr, 4);
        s.Role.Set(AddressRoleLabelPlaceholder(*nic, proto_addr));
        if (name[0] == 0) {
          LookupDnsName(nic, proto_addr, name, sizeof name);
          s.Name.Set(name);
        }
        want_lookup = name[0] == 0 && g && g->AutoIpName.load(std::memory_order_relaxed) != 0;
      }
    }
    // Publish: a concurrent roll-over reset makes the exchange fail and the look-up starts again.
    std::atomic_ref<int32_t> count_ref(nic->StationCount);
    int32_t expected = count;
    if (!count_ref.compare_exchange_strong(expected, count + 1, std::memory_order_release,
                                           std::memory_order_relaxed))
      continue;
    IndexInsert(idx, hash, count);
    idx.indexed = count + 1;

    if (want_lookup) {
      // Handed over only now that the record is published.
      uint32_t request = 0;
      ResolverPool* pool = InstalledResolverPool();
      if (pool == nullptr)
        CountLookupWithoutPool();
      else if (pool->Submit(&s, &request))
        RelaxedStore(nic->ResolverThreadId, request);
    }
    return &s;
  }
}

void ReleaseStationIndex(const NicArea* nic) {
  for (auto& owner : g_index_owner) {
    const NicArea* expected = nic;
    owner.compare_exchange_strong(expected, nullptr);
  }
  if (t_last_nic == nic) t_last_nic = nullptr;
}

}  // namespace netward
