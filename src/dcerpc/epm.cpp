#include "dcerpc/epm.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "wire/byte_order.h"

namespace dcerpc {

namespace {

Uuid U(const char* s) {
  Uuid u;
  Uuid::Parse(s, u);
  return u;
}

constexpr uint32_t kInquiryByIf = 1;
constexpr uint32_t kInquiryByObj = 2;
constexpr uint32_t kInquiryBoth = 3;
constexpr uint32_t kVersAll = 1, kVersCompatible = 2, kVersExact = 3, kVersMajorOnly = 4, kVersUpTo = 5;
constexpr size_t kMaxTowerBytes = 1024;
constexpr uint32_t kMaxReplyEntries = 512;
constexpr size_t kContextHandleSize = 20;

void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.resize(v.size() + 2);
  netward::PutU16Le(v.data() + v.size() - 2, x);
}

void Floor(std::vector<uint8_t>& t, std::span<const uint8_t> lhs, std::span<const uint8_t> rhs) {
  Put16(t, static_cast<uint16_t>(lhs.size()));
  t.insert(t.end(), lhs.begin(), lhs.end());
  Put16(t, static_cast<uint16_t>(rhs.size()));
  t.insert(t.end(), rhs.begin(), rhs.end());
}

void SyntaxFloor(std::vector<uint8_t>& t, const SyntaxId& s) {
  uint8_t lhs[19];
  lhs[0] = kTowerUuid;
  std::memcpy(lhs + 1, s.uuid.b.data(), 16);
  netward::PutU16Le(lhs + 17, s.major);
  uint8_t rhs[2];
  netward::PutU16Le(rhs, s.minor);
  Floor(t, lhs, rhs);
}

// Tower octets are packed: lengths are little-endian 16-bit values with no alignment.
bool ReadPacked(std::span<const uint8_t>& t, std::span<const uint8_t>& out) {
  if (t.size() < 2) return false;
  size_t n = netward::GetU16Le(t.data());
  if (t.size() - 2 < n) return false;
  out = t.subspan(2, n);
  t = t.subspan(2 + n);
  return true;
}

bool ReadFloor(std::span<const uint8_t>& t, std::span<const uint8_t>& lhs, std::span<const uint8_t>& rhs) {
  return ReadPacked(t, lhs) && ReadPacked(t, rhs);
}

bool ParseSyntaxFloor(std::span<const uint8_t> lhs, std::span<const uint8_t> rhs, SyntaxId& s) {
  if (lhs.size() != 19 || lhs[0] != kTowerUuid || rhs.size() < 2) return false;
  std::memcpy(s.uuid.b.data(), lhs.data() + 1, 16);
  s.major = netward::GetU16Le(lhs.data() + 17);
  s.minor = netward::GetU16Le(rhs.data());
  return true;
}

uint8_t TransportOf(const Binding& b) {
  if (b.protseq == "ncacn_ip_tcp") return kTowerTcp;
  if (b.protseq == "ncalrpc") return kTowerLocal;
  return 0;
}

bool VersionMatches(const SyntaxId& have, const SyntaxId& want, uint32_t option) {
  switch (option) {
    case kVersAll: return true;
    case kVersCompatible: return have.major == want.major && have.minor >= want.minor;
    case kVersExact: return have.major == want.major && have.minor == want.minor;
    case kVersMajorOnly: return have.major == want.major;
    case kVersUpTo: return have.major < want.major || (have.major == want.major && have.minor <= want.minor);
    default: return false;
  }
}

// twr_t: conformance (max_count), tower_length, octets, aligned to 4 for what follows.
void WriteTwr(NdrWriter& w, const std::vector<uint8_t>& tower) {
  w.U32(static_cast<uint32_t>(tower.size()));
  w.U32(static_cast<uint32_t>(tower.size()));
  w.Bytes(tower);
  w.Align(4);
}

bool ReadContextHandle(NdrReader& r, uint8_t (&h)[kContextHandleSize]) {
  return r.Align(4) && r.Bytes(h);
}

// ept_map(object, map_tower, entry_handle, max_towers) ->
//   (entry_handle, num_towers, towers[max_towers] varying num_towers, status)
uint32_t EptMap(const EpSnapshot& snapshot, const CallRequest& call, std::vector<uint8_t>& reply) {
  NdrReader r(call.stub, call.drep.LittleEndian());
  uint32_t ref;
  Uuid object;
  if (!r.Pointer(ref)) return kStatusBadStubData;
  if (ref && !r.ReadUuid(object)) return kStatusBadStubData;
  std::span<const uint8_t> tower;
  if (!r.Pointer(ref)) return kStatusBadStubData;
  if (ref) {
    uint32_t max_count, length;
    if (!r.U32(max_count) || !r.U32(length) || max_count > kMaxTowerBytes || length > max_count ||
        !r.View(max_count, tower))
      return kStatusBadStubData;
    tower = tower.first(length);
  }
  uint8_t handle[kContextHandleSize];
  uint32_t max_towers;
  if (!ReadContextHandle(r, handle) || !r.U32(max_towers)) return kStatusBadStubData;

  std::vector<std::vector<uint8_t>> found;
  TowerQuery q;
  if (ref && ParseTower(tower, q) && q.transfer == kNdr20) {
    for (const EpEntry& e : snapshot()) {
      if (found.size() >= std::min(max_towers, kMaxReplyEntries)) break;
      if (e.id.uuid != q.interface_id.uuid || !VersionMatches(e.id, q.interface_id, kVersCompatible)) continue;
      if (TransportOf(e.binding) != q.transport) continue;
      std::vector<uint8_t> t = BuildTower(e);
      if (!t.empty()) found.push_back(std::move(t));
    }
  }
  NdrWriter w(reply);
  w.Zeros(kContextHandleSize);
  w.U32(static_cast<uint32_t>(found.size()));
  w.U32(max_towers);
  w.U32(0);
  w.U32(static_cast<uint32_t>(found.size()));
  for (size_t i = 0; i < found.size(); ++i) w.Pointer(true);
  for (const auto& t : found) WriteTwr(w, t);
  w.U32(found.empty() ? kEptNotRegistered : 0);
  return kStatusOk;
}

// ept_lookup(inquiry_type, object, if_id, vers_option, entry_handle, max_ents) ->
//   (entry_handle, num_ents, entries[max_ents] varying num_ents, status)
uint32_t EptLookup(const EpSnapshot& snapshot, const CallRequest& call, std::vector<uint8_t>& reply) {
  NdrReader r(call.stub, call.drep.LittleEndian());
  uint32_t inquiry, ref, vers_option, max_ents;
  Uuid object;
  SyntaxId if_id;
  bool has_if = false;
  if (!r.U32(inquiry) || !r.Pointer(ref)) return kStatusBadStubData;
  if (ref && !r.ReadUuid(object)) return kStatusBadStubData;
  if (!r.Pointer(ref)) return kStatusBadStubData;
  if (ref) {
    if (!r.ReadSyntaxId(if_id)) return kStatusBadStubData;
    has_if = true;
  }
  uint8_t handle[kContextHandleSize];
  if (!r.U32(vers_option) || !ReadContextHandle(r, handle) || !r.U32(max_ents)) return kStatusBadStubData;
  // The handle carries the index of the next entry in its first UUID octets.
  uint32_t start = 0;
  std::memcpy(&start, handle + 4, 4);

  std::vector<EpEntry> matching;
  for (EpEntry& e : snapshot()) {
    bool by_if = inquiry == kInquiryByIf || inquiry == kInquiryBoth;
    bool by_obj = inquiry == kInquiryByObj || inquiry == kInquiryBoth;
    if (inquiry > kInquiryBoth) break;
    if (by_if && (!has_if || e.id.uuid != if_id.uuid || !VersionMatches(e.id, if_id, vers_option))) continue;
    if (by_obj && !object.IsNil()) continue;  // entries are registered without object UUIDs
    if (BuildTower(e).empty()) continue;
    matching.push_back(std::move(e));
  }
  uint32_t limit = std::min(max_ents, kMaxReplyEntries);
  size_t begin = std::min<size_t>(start, matching.size());
  size_t end = std::min<size_t>(begin + limit, matching.size());
  uint32_t n = static_cast<uint32_t>(end - begin);

  NdrWriter w(reply);
  w.U32(0);
  uint32_t next = end < matching.size() ? static_cast<uint32_t>(end) : 0;
  w.U32(next);
  w.Zeros(12);
  w.U32(n);
  w.U32(max_ents);
  w.U32(0);
  w.U32(n);
  for (size_t i = begin; i < end; ++i) {
    const EpEntry& e = matching[i];
    w.WriteUuid(Uuid{});
    w.Pointer(true);
    std::string ann = e.annotation.substr(0, 63);
    w.U32(0);
    w.U32(static_cast<uint32_t>(ann.size() + 1));
    w.Bytes({reinterpret_cast<const uint8_t*>(ann.data()), ann.size()});
    w.U8(0);
    w.Align(4);
  }
  for (size_t i = begin; i < end; ++i) WriteTwr(w, BuildTower(matching[i]));
  w.U32(n == 0 ? kEptNotRegistered : 0);
  return kStatusOk;
}

}  // namespace

const SyntaxId kEptInterface{U("e1af8308-5d1f-11c9-91a4-08002b14a0fa"), 3, 0};

std::vector<uint8_t> BuildTower(const EpEntry& e) {
  std::vector<uint8_t> t;
  uint8_t transport = TransportOf(e.binding);
  if (transport == 0) return t;
  Put16(t, transport == kTowerTcp ? 5 : 4);
  SyntaxFloor(t, e.id);
  SyntaxFloor(t, kNdr20);
  uint8_t co = kTowerRpcCo;
  uint8_t zero2[2] = {0, 0};
  Floor(t, {&co, 1}, zero2);
  if (transport == kTowerTcp) {
    unsigned long port = std::strtoul(e.binding.endpoint.c_str(), nullptr, 10);
    uint8_t p[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};  // big-endian
    uint8_t tcp = kTowerTcp, ip = kTowerIp;
    Floor(t, {&tcp, 1}, p);
    uint8_t addr[4] = {0, 0, 0, 0};
    if (e.loopback_only) addr[0] = 127, addr[3] = 1;
    Floor(t, {&ip, 1}, addr);
  } else {
    uint8_t local = kTowerLocal;
    std::vector<uint8_t> name(e.binding.endpoint.begin(), e.binding.endpoint.end());
    name.push_back(0);
    Floor(t, {&local, 1}, name);
  }
  return t;
}

bool ParseTower(std::span<const uint8_t> tower, TowerQuery& q) {
  // Tower octets are little-endian regardless of the call's label.
  if (tower.size() < 2) return false;
  uint16_t floors = netward::GetU16Le(tower.data());
  std::span<const uint8_t> r = tower.subspan(2), lhs, rhs;
  if (floors < 4 || floors > 8) return false;
  if (!ReadFloor(r, lhs, rhs) || !ParseSyntaxFloor(lhs, rhs, q.interface_id)) return false;
  if (!ReadFloor(r, lhs, rhs) || !ParseSyntaxFloor(lhs, rhs, q.transfer)) return false;
  if (!ReadFloor(r, lhs, rhs) || lhs.size() != 1 || lhs[0] != kTowerRpcCo) return false;
  if (!ReadFloor(r, lhs, rhs) || lhs.size() != 1) return false;
  q.transport = lhs[0];
  return q.transport == kTowerTcp || q.transport == kTowerLocal;
}

InterfaceSpec MakeEndpointMapperInterface(EpSnapshot snapshot) {
  InterfaceSpec def;
  def.id = kEptInterface;
  def.ops.resize(4);
  def.ops[2] = [snapshot](const CallRequest& c, std::vector<uint8_t>& out) { return EptLookup(snapshot, c, out); };
  def.ops[3] = [snapshot](const CallRequest& c, std::vector<uint8_t>& out) { return EptMap(snapshot, c, out); };
  return def;
}

}  // namespace dcerpc
