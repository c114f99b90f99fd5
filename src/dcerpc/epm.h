// Endpoint mapper interface (DCE 1.1 RPC appendix O: ept, e1af8308-5d1f-11c9-91a4-08002b14a0fa v3.0):
// ept_lookup (opnum 2) and ept_map (opnum 3) over a snapshot of the local endpoint database, and
// the protocol towers (appendix L) that describe an endpoint.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dcerpc/ndr.h"
#include "dcerpc/server.h"

namespace dcerpc {

extern const SyntaxId kEptInterface;
inline constexpr uint32_t kEptNotRegistered = 0x16c9a0d6;  // ept_s_not_registered

struct EpEntry {
  SyntaxId id;
  Binding binding;
  std::string annotation;
  bool loopback_only = false;
};

// Tower protocol identifiers of floors 3-5.
inline constexpr uint8_t kTowerUuid = 0x0d;
inline constexpr uint8_t kTowerRpcCo = 0x0b;
inline constexpr uint8_t kTowerTcp = 0x07;
inline constexpr uint8_t kTowerIp = 0x09;
inline constexpr uint8_t kTowerLocal = 0x10;

// Builds the tower of an entry (5 floors for ncacn_ip_tcp, 4 for ncalrpc); empty when the binding
// cannot be expressed as a tower.
std::vector<uint8_t> BuildTower(const EpEntry& e);

// Parsed form of the floors a client asks ept_map about.
struct TowerQuery {
  SyntaxId interface_id;
  SyntaxId transfer;
  uint8_t transport = 0;  // kTowerTcp or kTowerLocal
};
bool ParseTower(std::span<const uint8_t> tower, TowerQuery& q);

using EpSnapshot = std::function<std::vector<EpEntry>()>;
InterfaceSpec MakeEndpointMapperInterface(EpSnapshot snapshot);

}  // namespace dcerpc
