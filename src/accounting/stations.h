// Station table and station naming: address and protocol labels, find-or-add through the adapter's
// station index, the NetBIOS name cache, the DNS name ring, and the hand-off of reverse look-ups.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/shared_state.h"

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

// One station search: the values the two labels are made of, and whether a missing station may be
// added (not for a group frame from another station).
struct StationQuery {
  int cls = 0;                       // ProtocolClass
  ProtocolName name = kNameOther;
  const char* name_text = nullptr;   // the name's text; needed only for kNameOther
  const uint8_t* mac = nullptr;      // 6 bytes
  const uint8_t* address = nullptr;  // the class's protocol address (4 or 10 bytes)
  bool wan_send = false;             // a WAN adapter's frame from the send pseudo-address
  bool may_add = true;
};

// The station (null when there is none and none may be added, or the table is full) and its two
// labels (16 and 29 bytes, zero-padded), valid until the next search.
struct StationMatch {
  StationRecord* station;
  const char* address_label;
  const char* protocol_label;
};

// A query with its key-cache key. Made before the search (PrepareStationSearch also starts loading
// the key's cache slot), so that the two searches of a frame wait for memory together.
struct StationSearch {
  StationQuery query;
  uint64_t link = 0;
  uint64_t address = 0;
  uint32_t tail = 0;
  uint32_t slot = 0;
  uint8_t kind = 0;  // of address label
  bool self = false;
};
void PrepareStationSearch(const NicArea& nic, StationSearch& search);

// Finds the record that a first-to-last scan of Stations[0..StationCount) would find for the labels
// made from the query, or adds it. Labels are made only the first time a key is seen (per table
// epoch), not per frame.
StationMatch FindStation(NicArea* nic, const StationSearch& search);
StationMatch FindStation(NicArea* nic, const StationQuery& query);

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
