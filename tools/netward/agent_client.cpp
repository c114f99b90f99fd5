#include "agent_client.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "dcerpc/epm.h"
#include "dcerpc/ndr.h"
#include "dcerpc/status.h"

namespace netward::client {

namespace {

constexpr uint16_t kRequestRpcOpnum = 1;
constexpr uint16_t kEptMapOpnum = 3;
constexpr uint32_t kMaxTowers = 4;
constexpr size_t kMaxTowerBytes = 1024;
constexpr size_t kContextHandleBytes = 20;

// cabcbc10-aaae-11d2-a9f7-00104b7babc3 version 1.0.
dcerpc::SyntaxId AgentInterface() {
  dcerpc::SyntaxId id{};
  dcerpc::Uuid::Parse("cabcbc10-aaae-11d2-a9f7-00104b7babc3", id.uuid);
  id.major = 1;
  id.minor = 0;
  return id;
}

std::string StatusText(uint32_t status) {
  switch (status) {
    case dcerpc::kStatusServerUnavailable: return "RPC server unavailable (1722)";
    case dcerpc::kStatusCallFailed: return "call failed (1726)";
    case dcerpc::kStatusProtocolError: return "RPC protocol error (1728)";
    case dcerpc::kStatusUnknownIf: return "interface not offered (1717)";
    case dcerpc::kStatusBadStubData: return "bad stub data (1783)";
    case dcerpc::kStatusOutOfMemory: return "reply too large (14)";
    default: break;
  }
  char buf[32];
  std::snprintf(buf, sizeof buf, "status %u (0x%08X)", status, status);
  return buf;
}

// One tower: floor count, then floors of (lhs length, lhs, rhs length, rhs); lengths little-endian.
bool TowerTcpPort(std::span<const uint8_t> t, const dcerpc::SyntaxId& want, uint16_t& port) {
  if (t.size() < 2) return false;
  unsigned floors = t[0] | t[1] << 8;
  size_t pos = 2;
  bool interface_ok = false;
  for (unsigned i = 0; i < floors; ++i) {
    std::span<const uint8_t> side[2];
    for (auto& s : side) {
      if (t.size() - pos < 2) return false;
      size_t n = static_cast<size_t>(t[pos] | t[pos + 1] << 8);
      pos += 2;
      if (t.size() - pos < n) return false;
      s = t.subspan(pos, n);
      pos += n;
    }
    if (i == 0) {
      interface_ok = side[0].size() == 19 && side[0][0] == dcerpc::kTowerUuid &&
                     std::memcmp(side[0].data() + 1, want.uuid.b.data(), 16) == 0 &&
                     (side[0][17] | side[0][18] << 8) == want.major;
    }
    if (side[0].size() == 1 && side[0][0] == dcerpc::kTowerTcp && side[1].size() == 2) {
      port = static_cast<uint16_t>(side[1][0] << 8 | side[1][1]);  // big-endian
      return interface_ok && port != 0;
    }
  }
  return false;
}

}  // namespace

bool BuildRequestStub(std::string_view key, std::string_view request, std::vector<uint8_t>& stub, std::string& err) {
  if (key.size() > kKeyBytes) {
    err = "the key is longer than " + std::to_string(kKeyBytes) + " bytes";
    return false;
  }
  if (request.size() > kRequestBytes - 1) {
    err = "request \"" + std::string(request.substr(0, 20)) + "...\" is longer than " +
          std::to_string(kRequestBytes - 1) + " characters";
    return false;
  }
  stub.assign(kKeyBytes + kRequestBytes, 0);
  std::memcpy(stub.data(), key.data(), key.size());
  std::memcpy(stub.data() + kKeyBytes, request.data(), request.size());
  return true;
}

bool ParseRequestResponse(std::span<const uint8_t> stub, RequestReply& out, std::string& err) {
  dcerpc::NdrReader r(stub, true);
  uint32_t referent = 0;
  out = RequestReply{};
  if (!r.Pointer(referent)) {
    err = "RequestRpc response of " + std::to_string(stub.size()) + " bytes has no reply pointer";
    return false;
  }
  std::span<const uint8_t> bytes;
  if (referent != 0) {
    if (!r.ConformantBytes(static_cast<uint32_t>(std::min(stub.size(), kMaxReplyBlock)), bytes)) {
      err = "RequestRpc response: reply array count exceeds the " + std::to_string(stub.size()) +
            "-byte response";
      return false;
    }
  }
  if (!r.Align(4) || !r.I32(out.reply_length) || !r.U32(out.result)) {
    err = "RequestRpc response ends before ReplyLength and the result (" + std::to_string(stub.size()) + " bytes)";
    return false;
  }
  if (out.reply_length < 0 || static_cast<size_t>(out.reply_length) != bytes.size()) {
    err = "RequestRpc response: ReplyLength " + std::to_string(out.reply_length) + " differs from the " +
          std::to_string(bytes.size()) + "-byte reply array";
    return false;
  }
  out.block.assign(bytes.begin(), bytes.end());
  return true;
}

void BuildEptMapStub(std::vector<uint8_t>& stub) {
  dcerpc::EpEntry e;
  e.id = AgentInterface();
  e.binding = {"ncacn_ip_tcp", "0"};
  std::vector<uint8_t> tower = dcerpc::BuildTower(e);
  stub.clear();
  dcerpc::NdrWriter w(stub);
  w.Pointer(true);  // object: the nil UUID
  w.WriteUuid(dcerpc::Uuid{});
  w.Pointer(true);  // map_tower
  w.U32(static_cast<uint32_t>(tower.size()));
  w.U32(static_cast<uint32_t>(tower.size()));
  w.Bytes(tower);
  w.Align(4);
  w.Zeros(kContextHandleBytes);
  w.U32(kMaxTowers);
}

bool ParseEptMapResponse(std::span<const uint8_t> stub, uint16_t& port, std::string& err) {
  dcerpc::NdrReader r(stub, true);
  uint32_t num_towers = 0, max_count = 0, offset = 0, actual = 0;
  if (!r.Skip(kContextHandleBytes) || !r.U32(num_towers) || !r.U32(max_count) || !r.U32(offset) ||
      !r.U32(actual) || actual > max_count || actual > kMaxTowers || offset != 0) {
    err = "malformed ept_map response";
    return false;
  }
  uint32_t referents[kMaxTowers] = {};
  for (uint32_t i = 0; i < actual; ++i)
    if (!r.Pointer(referents[i])) {
      err = "malformed ept_map response";
      return false;
    }
  bool found = false;
  const dcerpc::SyntaxId want = AgentInterface();
  for (uint32_t i = 0; i < actual; ++i) {
    if (referents[i] == 0) continue;
    uint32_t tmax = 0, tlen = 0;
    std::span<const uint8_t> tower;
    if (!r.Align(4) || !r.U32(tmax) || !r.U32(tlen) || tmax > kMaxTowerBytes || tlen > tmax || !r.View(tmax, tower)) {
      err = "malformed tower in the ept_map response";
      return false;
    }
    if (!found && TowerTcpPort(tower.first(tlen), want, port)) found = true;
  }
  uint32_t status = 0;
  if (!r.Align(4) || !r.U32(status)) {
    err = "ept_map response ends before its status";
    return false;
  }
  if (!found) {
    err = status == dcerpc::kEptNotRegistered ? std::string("the agent's interface is not registered there")
                                              : "no TCP endpoint in the answer (status " + std::to_string(status) + ")";
    return false;
  }
  return true;
}

bool AgentConnection::ConnectHost(const std::string& host, uint16_t port, dcerpc::RpcClient& c, std::string& err) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  int rc = getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (rc != 0) {
    err = "cannot resolve host " + host + ": " + gai_strerror(rc);
    return false;
  }
  std::string why = "no address";
  bool ok = false;
  for (addrinfo* a = list; a != nullptr && !ok; a = a->ai_next) {
    char numeric[NI_MAXHOST];
    if (getnameinfo(a->ai_addr, a->ai_addrlen, numeric, sizeof numeric, nullptr, 0, NI_NUMERICHOST) != 0) continue;
    errno = 0;
    uint32_t st = c.ConnectTcp(numeric, port);
    int e = errno;
    if (st == dcerpc::kStatusOk) {
      ok = true;
    } else {
      why = e != 0 ? std::strerror(e) : StatusText(st);
    }
  }
  freeaddrinfo(list);
  if (!ok) err = host + " port " + std::to_string(port) + ": " + why;
  return ok;
}

bool AgentConnection::Open(const Target& t, std::string& err) {
  dcerpc::ClientOptions opt;
  opt.timeout_ms = t.timeout_ms;
  opt.max_reply = kMaxReplyBlock + 64;
  rpc_ = std::make_unique<dcerpc::RpcClient>(opt);
  uint16_t port = t.port;
  if (t.kind == Target::Kind::kEpm) {
    dcerpc::RpcClient epm(opt);
    if (!ConnectHost(t.host, t.epm_port, epm, err)) {
      err = "agent unreachable: no endpoint mapper at " + err;
      return false;
    }
    uint32_t st = epm.Bind(dcerpc::kEptInterface);
    if (st != dcerpc::kStatusOk) {
      err = "agent unreachable: endpoint mapper at " + t.host + " port " + std::to_string(t.epm_port) +
            " refused the bind: " + StatusText(st);
      return false;
    }
    BuildEptMapStub(stub_);
    st = epm.Call(kEptMapOpnum, stub_, reply_);
    std::string why;
    if (st != dcerpc::kStatusOk) why = StatusText(st);
    else if (!ParseEptMapResponse(reply_, port, why)) {}
    if (!why.empty()) {
      err = "agent unreachable: endpoint mapper at " + t.host + " port " + std::to_string(t.epm_port) + ": " + why;
      return false;
    }
  }
  if (t.kind == Target::Kind::kLocal) {
    errno = 0;
    uint32_t st = rpc_->ConnectLocal(t.local_path);
    int e = errno;
    where_ = "local endpoint " + t.local_path;
    if (st != dcerpc::kStatusOk) {
      err = "agent unreachable at " + where_ + ": " + (e != 0 ? std::strerror(e) : StatusText(st));
      return false;
    }
  } else {
    where_ = t.host + " port " + std::to_string(port);
    if (!ConnectHost(t.host, port, *rpc_, err)) {
      err = "agent unreachable at " + err;
      return false;
    }
  }
  uint32_t st = rpc_->Bind(AgentInterface());
  if (st != dcerpc::kStatusOk) {
    err = "agent unreachable at " + where_ + ": bind refused: " + StatusText(st);
    return false;
  }
  return true;
}

bool AgentConnection::Request(std::string_view key, std::string_view request, RequestReply& out, std::string& err) {
  if (!rpc_) {
    err = "not connected";
    return false;
  }
  if (!BuildRequestStub(key, request, stub_, err)) return false;
  uint32_t st = rpc_->Call(kRequestRpcOpnum, stub_, reply_);
  if (st != dcerpc::kStatusOk) {
    err = "RequestRpc to " + where_ + " failed: " + StatusText(st);
    return false;
  }
  return ParseRequestResponse(reply_, out, err);
}

}  // namespace netward::client
