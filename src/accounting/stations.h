// Station table and station naming: address and protocol labels, find-or-add with a hash index
// beside the table, the NetBIOS name cache, the DNS name ring, and the hand-off of reverse look-ups.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/shared_state.h"

namespace netward {

inline constexpr char kLocalModemLabel[] = "*LOCAL_MODEM";
inline constexpr char kRemoteModemLabel[] = "REMOTE_MODEM";
inline constexpr char kSelfRole[] = "Self";

// Finds the station with the labels made from (class, MAC, protocol address, protocol name) or adds
// it; null when a group frame from another station names an unknown station or the table is full.
// `proto_name` must be a constant text: its address stands for it in the look-up cache.
// Leaves the two labels in nic->SrcLabel and nic->ProtoLabel. The result is always the record that
// a first-to-last scan of Stations[0..StationCount) would find.
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

// Drops the hash index kept for `nic` (tests and tools that free NicAreas; the agent never does).
void ReleaseStationIndex(const NicArea* nic);

}  // namespace netward
