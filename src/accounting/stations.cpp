#include "accounting/stations.h"

#include <cstring>
#include <iterator>

#include "accounting/accounting.h"
#include "accounting/name_resolver.h"

namespace netward {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

// ---- The station index (NicArea::Index) ----
//
// Two levels. The label index maps the two labels to the table entry that holds them. It mirrors
// Stations[0..Indexed): entries the table gained since (from any writer) are added from the table,
// and when StationCount falls below Indexed (the day roll-over sets it to 0) a new epoch begins with
// an empty index. Records are only added when no record with the same labels exists, so the table
// holds no duplicates and a hit is the record the linear scan would find first; every hit is checked
// against the record's labels.
//
// In front of it, the key cache maps the values the labels are made of (class, kind of address
// label, MAC, protocol address, protocol name) to the labels and the station they gave, so that a
// known key costs no label text. An entry that found a record holds for the whole epoch (records
// are not rewritten within one); an entry that found none holds only while Indexed stays as it was.
constexpr uint32_t kKeyLimit = kStationKeySlots / 2;

uint64_t Word(const char* p) {
  uint64_t w;
  memcpy(&w, p, 8);
  return w;
}

uint32_t Mix(uint64_t h) {
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  return static_cast<uint32_t>(h ^ (h >> 32));
}

// Labels are zero-padded to their field sizes, so both are hashed and compared as whole words.
uint32_t LabelHash(const char* addr, const char* proto) {
  uint64_t h = 0x9E3779B97F4A7C15ull;
  const uint64_t words[6] = {Word(addr), Word(addr + 8), Word(proto), Word(proto + 8), Word(proto + 16),
                             Word(proto + 24)};
  for (uint64_t w : words) h = (h ^ w) * 0xFF51AFD7ED558CCDull;
  return Mix(h);
}

bool SameLabels(const StationRecord& s, const char* addr, const char* proto) {
  // The capture thread is the only writer of labels, so it may read them directly.
  return memcmp(s.AddressLabel.bytes, addr, 16) == 0 && memcmp(s.ProtocolLabel.bytes, proto, 29) == 0;
}

void NewKeyEpoch(StationIndex& idx) {
  if (++idx.KeyEpoch == 0) idx.KeyEpoch = 1;
  idx.KeysUsed = 0;
}

void NewEpoch(StationIndex& idx) {
  if (++idx.Epoch == 0) idx.Epoch = 1;
  idx.Indexed = 0;
  memset(idx.LabelStation, 0, sizeof idx.LabelStation);
  NewKeyEpoch(idx);
  // The chains of the old records cannot be reached any more: a record is found again only once it
  // is made anew, with an empty chain.
  if (++idx.ConnectionEpoch == 0) idx.ConnectionEpoch = 1;
}

void LabelInsert(StationIndex& idx, uint32_t hash, int station) {
  for (uint32_t i = hash & (kStationLabelSlots - 1);; i = (i + 1) & (kStationLabelSlots - 1)) {
    if (idx.LabelStation[i] == 0) {
      idx.LabelHash[i] = hash;
      idx.LabelStation[i] = static_cast<int16_t>(station + 1);
      return;
    }
  }
}

int LabelFind(const StationIndex& idx, const NicArea* nic, uint32_t hash, const StationLabels& labels) {
  for (uint32_t i = hash & (kStationLabelSlots - 1); idx.LabelStation[i] != 0; i = (i + 1) & (kStationLabelSlots - 1)) {
    if (idx.LabelHash[i] != hash) continue;
    const int station = idx.LabelStation[i] - 1;
    if (station < idx.Indexed && SameLabels(nic->Stations[station], labels.Address, labels.Protocol)) return station;
  }
  return -1;
}

// Brings the label index up to StationCount (at most kMaxStations).
void SyncIndexTo(StationIndex& idx, NicArea* nic, int32_t count) {
  count = count < 0 ? 0 : count > kMaxStations ? kMaxStations : count;
  if (count < idx.Indexed || idx.Epoch == 0) NewEpoch(idx);
  while (idx.Indexed < count) {
    const StationRecord& s = nic->Stations[idx.Indexed];
    StationLabels labels = {};
    memcpy(labels.Address, s.AddressLabel.bytes, 16);
    memcpy(labels.Protocol, s.ProtocolLabel.bytes, 29);
    LabelInsert(idx, LabelHash(labels.Address, labels.Protocol), idx.Indexed);
    ++idx.Indexed;
  }
}
inline void SyncIndex(StationIndex& idx, NicArea* nic) {
  const int32_t count = RelaxedLoad(nic->StationCount);
  if (count != idx.Indexed || idx.Epoch == 0) SyncIndexTo(idx, nic, count);
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

namespace {

// The capture thread's search of the NetBIOS name cache. It is the cache's only writer, so it reads
// the entries' bytes directly. The index holds every entry in use under the hash of its zero-padded
// labels (NameLabelHash), by linear probing. The entry holding the zero-padded `addr` (16 bytes) and
// `proto` (29 bytes), or -1.
constexpr uint32_t kNameIndexMask = kNameIndexSlots - 1;

int FindNameEntry(const NicArea* nic, uint32_t hash, const char* addr, const char* proto) {
  const StationIndex& idx = nic->Index;
  for (uint32_t i = hash & kNameIndexMask; idx.NameSlot[i] != 0; i = (i + 1) & kNameIndexMask) {
    const int entry = idx.NameSlot[i] - 1;
    if (idx.NameLabelHash[entry] != hash) continue;
    const NameCacheEntry& e = nic->NameCache[entry];
    if (memcmp(e.AddressLabel.bytes, addr, 16) == 0 && memcmp(e.ProtocolLabel.bytes, proto, 29) == 0) return entry;
  }
  return -1;
}

void NameIndexInsert(StationIndex& idx, int entry) {
  uint32_t i = idx.NameLabelHash[entry] & kNameIndexMask;
  while (idx.NameSlot[i] != 0) i = (i + 1) & kNameIndexMask;
  idx.NameSlot[i] = static_cast<int16_t>(entry + 1);
}

// Takes `entry` out of the index; the slots after it in its run move back over the hole where
// their search would still find them (their home slot is not between the hole and them).
void NameIndexRemove(StationIndex& idx, int entry) {
  uint32_t hole = idx.NameLabelHash[entry] & kNameIndexMask;
  while (idx.NameSlot[hole] != entry + 1) hole = (hole + 1) & kNameIndexMask;
  for (uint32_t j = (hole + 1) & kNameIndexMask; idx.NameSlot[j] != 0; j = (j + 1) & kNameIndexMask) {
    const uint32_t home = idx.NameLabelHash[idx.NameSlot[j] - 1] & kNameIndexMask;
    if (((j - home) & kNameIndexMask) >= ((j - hole) & kNameIndexMask)) {
      idx.NameSlot[hole] = idx.NameSlot[j];
      hole = j;
    }
  }
  idx.NameSlot[hole] = 0;
}

}  // namespace

void RememberNetbiosName(NicArea* nic, const char* address_label, const char* proto_label, const char* name) {
  char cut[33] = {};
  memcpy(cut, name, strnlen(name, 32));
  // Cache labels are zero-padded (Text::Set), so padded copies compare as whole fields.
  char addr[16] = {}, proto[32] = {};
  memcpy(addr, address_label, strnlen(address_label, sizeof addr - 1));
  memcpy(proto, proto_label, strnlen(proto_label, 28));
  const uint32_t hash = LabelHash(addr, proto);
  const uint32_t now = nic->FrameTime;
  StationIndex& idx = nic->Index;
  const int found = FindNameEntry(nic, hash, addr, proto);
  if (found >= 0) {
    NameCacheEntry& e = nic->NameCache[found];
    RelaxedStore(e.Time, now);
    idx.NameTime[found] = now;
    e.Name.Set(cut);
    return;
  }
  // A new name goes into the first free entry, else over the least recently updated (the first of
  // them when several share the oldest time).
  int oldest = idx.NamesUsed;
  if (oldest < kNameCacheEntries) {
    ++idx.NamesUsed;
  } else {
    oldest = 0;
    for (int i = 1; i < kNameCacheEntries; ++i)
      if (idx.NameTime[i] < idx.NameTime[oldest]) oldest = i;
    NameIndexRemove(idx, oldest);
  }
  NameCacheEntry& e = nic->NameCache[oldest];
  RelaxedStore(e.Time, now);
  idx.NameTime[oldest] = now;
  idx.NameLabelHash[oldest] = hash;
  NameIndexInsert(idx, oldest);
  e.AddressLabel.Set(addr);
  e.ProtocolLabel.Set(proto);
  e.Name.Set(cut);
}

namespace {

void BuildLabels(const StationSearch& q, const char* name, StationLabels& out) {
  const uint8_t kind = q.kind;
  memset(&out, 0, sizeof out);
  if (kind == 2) {
    memcpy(out.Address, kLocalModemLabel, sizeof kLocalModemLabel - 1);
  } else if (kind == 3) {
    memcpy(out.Address, kRemoteModemLabel, sizeof kRemoteModemLabel - 1);
  } else {
    char* p = out.Address;
    if (kind == 1) *p++ = '*';
    PutHex(p, q.mac, 6);
  }
  BuildProtocolLabel(q.cls, q.address, name, out.Protocol);
}

// LookupNetbiosName for the capture thread, the cache's only writer (no copies of the labels).
void CachedNetbiosName(const NicArea* nic, const StationLabels& labels, uint32_t hash, char (&out)[33]) {
  memset(out, 0, sizeof out);
  const int found = FindNameEntry(nic, hash, labels.Address, labels.Protocol);
  if (found < 0) return;
  memcpy(out, nic->NameCache[found].Name.bytes, sizeof out);
  out[sizeof out - 1] = 0;
}

constexpr int kRetry = -2;  // a concurrent roll-over reset the table: search again

// Makes the record at StationCount (below kMaxStations) for the query's labels.
int AddStation(NicArea* nic, StationIndex& idx, const StationSearch& q, const StationLabels& labels, uint32_t hash) {
  const int32_t count = idx.Indexed;  // StationCount as SyncIndex last saw it
  // The new record, filled before StationCount makes it visible.
  StationRecord& s = nic->Stations[count];
  RelaxedStore(s.ConnectionChain, static_cast<ConnectionEntry*>(nullptr));
  RelaxedStore(s.IsSelf, uint32_t{0});
  SharedStoreZero<4>(s.IpAddress);
  SharedStore<16>(s.AddressLabel.bytes, labels.Address);
  SharedStore<29>(s.ProtocolLabel.bytes, labels.Protocol);
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

  GlobalArea* g = nic->Global;
  bool want_lookup = false;
  if (q.self) {
    // The adapter's own station.
    RelaxedStore(s.IsSelf, uint32_t{1});
    if (g) {
      char host[33];
      g->HostName.Get(host);
      s.Name.Set(host);
    }
    s.Role.Set(kSelfRole);
  } else {
    // Other stations: cached names, then a reverse look-up for IP stations.
    char name[33];
    CachedNetbiosName(nic, labels, hash, name);
    s.Name.Set(name);
    if (q.cls == kClassIp) {
      SharedCopyIn(s.IpAddress, q.address, 4);
      s.Role.Set(AddressRoleLabel(*nic, q.address));
      if (name[0] == 0) {
        LookupDnsName(nic, q.address, name, sizeof name);
        s.Name.Set(name);
      }
      want_lookup = name[0] == 0 && g && g->AutoIpName.load(std::memory_order_relaxed) != 0;
    }
  }
  // Publish: a concurrent roll-over reset makes the exchange fail and the search starts again.
  std::atomic_ref<int32_t> count_ref(nic->StationCount);
  int32_t expected = count;
  if (!count_ref.compare_exchange_strong(expected, count + 1, std::memory_order_release, std::memory_order_relaxed))
    return kRetry;
  LabelInsert(idx, hash, count);
  idx.Indexed = count + 1;

  if (want_lookup) {
    // Handed over only now that the record is published.
    uint32_t request = 0;
    ResolverPool* pool = InstalledResolverPool();
    if (pool == nullptr)
      CountLookupWithoutPool();
    else if (pool->Submit(&s, &request))
      RelaxedStore(nic->ResolverThreadId, request);
  }
  return count;
}

// A search whose protocol name has no number: labels made every time, no key cache.
StationMatch SearchByLabels(NicArea* nic, const StationSearch& q) {
  StationIndex& idx = nic->Index;
  StationLabels& labels = idx.SearchLabels;
  while (true) {
    SyncIndex(idx, nic);
    BuildLabels(q, q.name_text ? q.name_text : "", labels);
    const uint32_t hash = LabelHash(labels.Address, labels.Protocol);
    int station = LabelFind(idx, nic, hash, labels);
    if (station < 0 && q.may_add && idx.Indexed < kMaxStations) station = AddStation(nic, idx, q, labels, hash);
    if (station == kRetry) continue;
    return {station >= 0 ? &nic->Stations[station] : nullptr, labels.Address, labels.Protocol};
  }
}

}  // namespace

StationMatch FindStationSlow(NicArea* nic, const StationSearch& search) {
  if (search.name == kNameOther) return SearchByLabels(nic, search);
  StationIndex& idx = nic->Index;
  while (true) {
    SyncIndex(idx, nic);
    uint32_t slot = search.slot;
    StationKeyEntry* e = &idx.Keys[slot];
    while (e->Epoch == idx.KeyEpoch &&
           !(e->Link == search.link && e->Address == search.key_address && e->AddressTail == search.key_tail)) {
      slot = (slot + 1) & (kStationKeySlots - 1);
      e = &idx.Keys[slot];
    }
    if (e->Epoch == idx.KeyEpoch && e->Station >= 0) {
      StationRecord& s = nic->Stations[e->Station];
      return {&s, s.AddressLabel.bytes, s.ProtocolLabel.bytes};
    }
    StationLabels& labels = idx.KeyLabels[slot];
    if (e->Epoch != idx.KeyEpoch) {
      // A key not seen in this epoch: its labels are made now, once.
      if (idx.KeysUsed >= kKeyLimit) {
        NewKeyEpoch(idx);
        continue;
      }
      ++idx.KeysUsed;
      e->Link = search.link;
      e->Address = search.key_address;
      e->AddressTail = search.key_tail;
      e->Epoch = idx.KeyEpoch;
      e->Station = -1;
      e->Indexed = -1;
      BuildLabels(search, kProtocolNameTexts[search.name], labels);
      e->LabelHash = LabelHash(labels.Address, labels.Protocol);
    }
    if (e->Indexed != idx.Indexed) {
      e->Station = static_cast<int16_t>(LabelFind(idx, nic, e->LabelHash, labels));
      e->Indexed = static_cast<int16_t>(idx.Indexed);
    }
    if (e->Station < 0 && search.may_add && idx.Indexed < kMaxStations) {
      const int station = AddStation(nic, idx, search, labels, e->LabelHash);
      if (station == kRetry) continue;
      e->Station = static_cast<int16_t>(station);
    }
    return {e->Station >= 0 ? &nic->Stations[e->Station] : nullptr, labels.Address, labels.Protocol};
  }
}

StationRecord* FindOrAddStation(NicArea* nic, int cls, const uint8_t* mac, const uint8_t* proto_addr,
                                const char* proto_name) {
  ProtocolName name = kNameOther;
  for (uint8_t i = 1; i < std::size(kProtocolNameTexts); ++i)
    if (strcmp(proto_name, kProtocolNameTexts[i]) == 0) name = static_cast<ProtocolName>(i);
  StationSearch search =
      MakeStationSearch(*nic, cls, name, mac, proto_addr, Mac48(mac) == Mac48(nic->OwnAddress),
                        memcmp(nic->SrcAddress, kWanSendAddress, 6) == 0, !(nic->IsGroupFrame && !nic->FromSelf));
  search.name_text = proto_name;
  const StationMatch m = FindStation(nic, search);
  SharedStore<16>(nic->SrcLabel.bytes, m.address_label);
  SharedStore<29>(nic->ProtoLabel.bytes, m.protocol_label);
  return m.station;
}

}  // namespace netward
