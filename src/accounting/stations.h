// Station table and station naming: address and protocol labels, find-or-add through the adapter's
// station index, the NetBIOS name cache, the DNS name ring, and the hand-off of reverse look-ups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "state/shared_state.h"

namespace netward {

inline constexpr char kLocalModemLabel[] = "*LOCAL_MODEM";
inline constexpr char kRemoteModemLabel[] = "REMOTE_MODEM";
inline constexpr char kSelfRole[] = "Self";

// Protocol names of the labels. Accounting names them by number, so that a search key holds the
// name in a few bits; kNameOther stands for any other text (searched without the key cache).
enum ProtocolName : uint8_t {
  kNameOther = 0,
  kNameIp = 1,
  kNameIpx = 2,
  kNameMisc = 3,
  kNameNetbeui = 4,
  kNameSna = 5,
  kNameAppletalk = 6,
};
inline constexpr const char* kProtocolNameTexts[] = {"", "IP", "IPX", "<misc>", "NetBEUI", "SNA", "Appletalk"};

// 48 bits of a MAC address as one number, for comparisons and keys.
inline uint64_t Mac48(const uint8_t* p) {
  uint32_t low;
  uint16_t high;
  memcpy(&low, p, 4);
  memcpy(&high, p + 4, 2);
  return low | uint64_t{high} << 32;
}

// One station search: the values its two labels are made of, whether a missing station may be
// added (not for a group frame from another station), and its key in the adapter's key cache.
struct StationSearch {
  int cls;                  // ProtocolClass
  ProtocolName name;
  const char* name_text;    // the name's text; read only for kNameOther
  const uint8_t* mac;       // 6 bytes
  const uint8_t* address;   // the class's protocol address (4 or 10 bytes)
  bool may_add;
  bool self;                // the adapter's own station
  uint8_t kind;             // of address label: 0 the MAC, 1 "*" and the MAC, 2 "*LOCAL_MODEM",
                            // 3 "REMOTE_MODEM" (the two ends of a WAN adapter)
  uint64_t link;            // the key: MAC, class, kind, name ...
  uint64_t key_address;     // ... and the protocol address
  uint32_t key_tail;
  uint32_t slot;            // where the key's search in the cache starts
};

// `mac_self`: the MAC is the adapter's own; `wan_send`: the frame comes from a WAN adapter's send
// pseudo-address.
inline StationSearch MakeStationSearch(const NicArea& nic, int cls, ProtocolName name, const uint8_t* mac,
                                       const uint8_t* address, bool mac_self, bool wan_send, bool may_add) {
  StationSearch s;
  s.cls = cls;
  s.name = name;
  s.name_text = kProtocolNameTexts[name];
  s.mac = mac;
  s.address = address;
  s.may_add = may_add;
  const bool wan = nic.IsWan != 0;
  s.self = mac_self || (wan && wan_send);
  s.kind = mac_self ? (wan ? 2 : 1) : wan ? (wan_send ? 2 : 3) : 0;
  // The modem labels do not show the MAC.
  const uint64_t mac48 = s.kind >= 2 ? 0 : Mac48(mac);
  s.link = mac48 | uint64_t(cls & 3) << 48 | uint64_t{s.kind} << 50 | uint64_t{name} << 52;
  s.key_address = 0;
  s.key_tail = 0;
  if (cls == 1) {  // IP
    uint32_t ip;
    memcpy(&ip, address, 4);
    s.key_address = ip;
  } else if (cls == 2) {  // IPX
    uint16_t node_tail;
    memcpy(&s.key_address, address, 8);
    memcpy(&node_tail, address + 8, 2);
    s.key_tail = node_tail;
  }
  uint64_t h = s.link * 0x9E3779B97F4A7C15ull ^ s.key_address * 0xC2B2AE3D27D4EB4Full ^ s.key_tail;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  s.slot = static_cast<uint32_t>(h ^ (h >> 32)) & (kStationKeySlots - 1);
  return s;
}

// The station (null when there is none and none may be added, or the table is full) and its two
// labels (16 and 29 bytes, zero-padded), valid until the next search.
struct StationMatch {
  StationRecord* station;
  const char* address_label;
  const char* protocol_label;
};

// Finds the record that a first-to-last scan of Stations[0..StationCount) would find for the labels
// made from the search, or adds it. Labels are made only the first time a key is seen (per table
// epoch), not per frame. The usual case, a known key of a station in an unchanged table, is inline.
StationMatch FindStationSlow(NicArea* nic, const StationSearch& search);
inline StationMatch FindStation(NicArea* nic, const StationSearch& search) {
  StationIndex& idx = nic->Index;
  if (search.name != kNameOther && RelaxedLoad(nic->StationCount) == idx.Indexed && idx.Epoch != 0) {
    const StationKeyEntry& e = idx.Keys[search.slot];
    if (e.Epoch == idx.KeyEpoch && e.Link == search.link && e.Address == search.key_address &&
        e.AddressTail == search.key_tail) {
      if (e.Station >= 0) {
        // The labels come from the record, whose counters are wanted next anyway.
        StationRecord& r = nic->Stations[e.Station];
        return {&r, r.AddressLabel.bytes, r.ProtocolLabel.bytes};
      }
      // A key known to have no record in the table as it stands, and none to be added now (a group
      // frame's sender, or a full table): its own labels.
      if (e.Indexed == idx.Indexed && (!search.may_add || idx.Indexed >= kMaxStations)) {
        const StationLabels& labels = idx.KeyLabels[search.slot];
        return {nullptr, labels.Address, labels.Protocol};
      }
    }
  }
  return FindStationSlow(nic, search);
}

// The same search for callers that hold the frame in the NicArea scratch fields: the kind of
// address label from nic->SrcAddress, adding as nic->IsGroupFrame and nic->FromSelf allow. Leaves
// the two labels in nic->SrcLabel and nic->ProtoLabel.
StationRecord* FindOrAddStation(NicArea* nic, int cls, const uint8_t* mac, const uint8_t* proto_addr,
                                const char* proto_name);

// Stores a name (cut to 32 characters) for a station that is not in the table.
void RememberNetbiosName(NicArea* nic, const char* address_label, const char* proto_label, const char* name);

// Both clear `out` first and copy at most min(size, 33) bytes, always NUL-terminated.
void LookupNetbiosName(const NicArea* nic, const char* address_label, const char* proto_label, char* out,
                       size_t size);
void LookupDnsName(const NicArea* nic, const uint8_t* ip, char* out, size_t size);

// "Self", "GW", "DNS", "WINS" or "" for an IPv4 address (network order), from the adapter's
// TcpipConfig (addresses, then gateways, DNS and WINS servers; the first list holding it wins;
// 0 never matches). The TCP/IP report fills the lists.
const char* AddressRoleLabel(const NicArea& nic, const uint8_t* ip);

// Label builders (exposed for the detail replies and tests). `out` receives a NUL-terminated text.
void MakeMacLabel(const uint8_t* mac, bool self, char (&out)[16]);
void MakeProtocolLabel(int cls, const uint8_t* proto_addr, const char* proto_name, char (&out)[29]);

}  // namespace netward
