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

// In front of the label index, a direct-mapped cache from the binary inputs of the labels (class,
// kind of address label, MAC, protocol address, protocol name) to the station they gave, so that a
// known station costs no label formatting. An entry counts only for the generation of the index
// it was made in and for a station the index holds.
constexpr uint32_t kKeySlots = 1024;

// Protocol names are the accounting's constant texts, so the name's address stands for its text.
struct StationKey {
  uint64_t link;        // class, kind of address label (0 plain MAC, 1 "*" MAC, 2 "*LOCAL_MODEM",
                        // 3 "REMOTE_MODEM") and the six MAC bytes
  uint64_t addr_low;    // protocol address bytes 0-7 (IP: 0-3)
  uint64_t addr_high;   // IPX node bytes 8-9
  const char* name;
  bool operator==(const StationKey&) const = default;
};

struct KeyEntry {
  StationKey key;
  uint32_t generation;
  int32_t station;
};

struct StationIndex {
  int32_t indexed;
  uint32_t generation;
  uint32_t hash[kIndexSlots];
  int16_t entry[kIndexSlots];  // station index + 1; 0 = free
  KeyEntry keys[kKeySlots];
};

StationIndex g_indexes[kIndexTables];
std::atomic<const NicArea*> g_index_owner[kIndexTables];
thread_local const NicArea* t_last_nic = nullptr;
thread_local int t_last_table = -1;

void ClearIndex(StationIndex& idx) {
  idx.indexed = 0;
  ++idx.generation;
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

uint32_t KeyHash(const StationKey& k) {
  uint64_t h = (k.link * 0x9E3779B97F4A7C15ull) ^ (k.addr_low * 0xC2B2AE3D27D4EB4Full) ^
               (k.addr_high * 0x165667B19E3779F9ull) ^ (reinterpret_cast<uintptr_t>(k.name) * 0xFF51AFD7ED558CCDull);
  return static_cast<uint32_t>(h >> 32 ^ h);
}

// Copies a zero-padded label into a shared text field with whole relaxed words (fields are
// 8-byte aligned), so that a reader never sees a torn word.
template <size_t N>
inline void StoreLabel(Text<N>& field, const char* padded) {
  size_t i = 0;
  for (; i + 8 <= N; i += 8) {
    uint64_t w;
    memcpy(&w, padded + i, 8);
    std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(field.bytes + i)).store(w, std::memory_order_relaxed);
  }
  for (; i < N; ++i) std::atomic_ref<char>(field.bytes[i]).store(padded[i], std::memory_order_relaxed);
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

namespace {
// Writes the label into `out`, which must be zero-filled and at least 29 bytes; the text is cut
// to 28 characters as the 29-byte field holds them.
void BuildProtocolLabel(int cls, const uint8_t* addr, const char* name, char* out) {
  char buf[64];
  char* p = buf;
  for (size_t i = 0; i < 28 && name[i]; ++i) *p++ = name[i];
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
  const size_t len = static_cast<size_t>(p - buf) < 28 ? static_cast<size_t>(p - buf) : 28;
  memcpy(out, buf, len);
}
}  // namespace

void MakeProtocolLabel(int cls, const uint8_t* addr, const char* name, char (&out)[29]) {
  char buf[32] = {};
  BuildProtocolLabel(cls, addr, name, buf);
  memcpy(out, buf, sizeof out);
}

const char* AddressRoleLabel(const NicArea& nic, const uint8_t* ip) {
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
    // The address label differs for almost every entry: the protocol label is copied only when it
    // matches (the broadcast reply asks this for every group without a station).
    char a[16];
    e.AddressLabel.Get(a);
    if (!TextEquals(a, sizeof a, address_label)) continue;
    char p[29];
    e.ProtocolLabel.Get(p);
    if (TextEquals(p, sizeof p, proto_label)) {
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
  // Cache labels are zero-padded (Text::Set), so padded copies compare as whole fields.
  char addr[16] = {}, proto[29] = {};
  memcpy(addr, address_label, strnlen(address_label, sizeof addr - 1));
  memcpy(proto, proto_label, strnlen(proto_label, sizeof proto - 1));
  const uint32_t now = nic->FrameTime;
  NameCacheEntry* oldest = nullptr;
  for (NameCacheEntry& e : nic->NameCache) {
    const uint32_t t = e.Time;  // this thread is the cache's only writer
    if (t == 0) {
      oldest = &e;
      break;
    }
    if (memcmp(e.AddressLabel.bytes, addr, sizeof addr) == 0 && memcmp(e.ProtocolLabel.bytes, proto, sizeof proto) == 0) {
      RelaxedStore(e.Time, now);
      e.Name.Set(cut);
      return;
    }
    if (oldest == nullptr || t < oldest->Time) oldest = &e;
  }
  RelaxedStore(oldest->Time, now);
  oldest->AddressLabel.Set(addr);
  oldest->ProtocolLabel.Set(proto);
  oldest->Name.Set(cut);
}

StationRecord* FindOrAddStation(NicArea* nic, int cls, const uint8_t* mac, const uint8_t* proto_addr,
                                const char* proto_name) {
  // The kind of address label, as step 1 below decides it.
  const bool mac_self = memcmp(mac, nic->OwnAddress, 6) == 0;
  const bool wan_send = nic->IsWan && memcmp(nic->SrcAddress, kWanSendAddress, 6) == 0;
  const uint8_t kind = mac_self ? (nic->IsWan ? 2 : 1) : nic->IsWan ? (wan_send ? 2 : 3) : 0;
  const bool self = mac_self || wan_send;

  StationIndex& idx = IndexFor(nic);
  StationKey key{};
  uint32_t mac_low;
  uint16_t mac_high;
  memcpy(&mac_low, mac, 4);
  memcpy(&mac_high, mac + 4, 2);
  const uint64_t mac48 = mac_low | uint64_t{mac_high} << 32;
  key.link = static_cast<uint64_t>(cls & 0xFF) | uint64_t{kind} << 8 | mac48 << 16;
  if (cls == 1) {
    uint32_t ip;
    memcpy(&ip, proto_addr, 4);
    key.addr_low = ip;
  } else if (cls == 2) {
    uint16_t node_tail;
    memcpy(&key.addr_low, proto_addr, 8);
    memcpy(&node_tail, proto_addr + 8, 2);
    key.addr_high = node_tail;
  }
  key.name = proto_name;
  KeyEntry& cached = idx.keys[KeyHash(key) & (kKeySlots - 1)];
  {
    int32_t count = RelaxedLoad(nic->StationCount);
    SyncIndex(idx, nic, count > kMaxStations ? kMaxStations : count);
    if (cached.generation == idx.generation && cached.station < idx.indexed &&
        cached.key == key) {
      StationRecord& s = nic->Stations[cached.station];
      StoreLabel(nic->SrcLabel, s.AddressLabel.bytes);
      StoreLabel(nic->ProtoLabel, s.ProtocolLabel.bytes);
      return &s;
    }
  }
  auto remember = [&](int32_t station) {
    cached.key = key;
    cached.generation = idx.generation;
    cached.station = station;
  };

  // 1. Address label.
  alignas(8) char addr[16] = {};
  if (kind == 2)
    memcpy(addr, kLocalModemLabel, strlen(kLocalModemLabel));
  else if (kind == 3)
    memcpy(addr, kRemoteModemLabel, strlen(kRemoteModemLabel));
  else
    MakeMacLabel(mac, kind == 1, addr);
  // 2. Protocol label.
  alignas(8) char proto[32] = {};
  BuildProtocolLabel(cls, proto_addr, proto_name, proto);
  // Both are zero-padded to their field sizes already.
  StoreLabel(nic->SrcLabel, addr);
  StoreLabel(nic->ProtoLabel, proto);

  // 3. Look-up.
  const uint32_t hash = LabelHash(addr, proto);
  int32_t count;
  while (true) {
    count = RelaxedLoad(nic->StationCount);
    if (count > kMaxStations) count = kMaxStations;
    SyncIndex(idx, nic, count);
    const int found = IndexFind(idx, nic, hash, addr, proto);
    if (found >= 0) {
      remember(found);
      return &nic->Stations[found];
    }

    // 4. Not found.
    if (nic->IsGroupFrame && !nic->FromSelf) return nullptr;
    if (count >= kMaxStations) return nullptr;

    // 5. The new record, filled before StationCount makes it visible.
    StationRecord& s = nic->Stations[count];
    RelaxedStore(s.ConnectionChain, static_cast<ConnectionEntry*>(nullptr));
    RelaxedStore(s.IsSelf, uint32_t{0});
    SharedZero(s.IpAddress, 4);
    StoreLabel(s.AddressLabel, addr);
    StoreLabel(s.ProtocolLabel, proto);
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
        s.Role.Set(AddressRoleLabel(*nic, proto_addr));
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
    remember(count);

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
