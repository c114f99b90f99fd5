// The client's side of the agent's RPC interface: binding (TCP, through the endpoint mapper, or the
// local endpoint), the NDR stubs of RequestRpc and ept_map, and the bounded parsers of their replies.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dcerpc/client.h"

namespace netward::client {

inline constexpr size_t kKeyBytes = 16;
inline constexpr size_t kRequestBytes = 256;
inline constexpr uint32_t kResultKeyRejected = 0xFFFFFFFEu;  // -2
inline constexpr uint16_t kDefaultEpmPort = 135;
// Largest reply block accepted: a snapshot image holds four broadcast replies of up to 4.4 MB each.
inline constexpr size_t kMaxReplyBlock = 64u << 20;

// Key zero-padded to 16 bytes, request NUL-padded to 256 (its last byte always ends the text).
// False when the key is longer than 16 bytes or the request longer than 255.
bool BuildRequestStub(std::string_view key, std::string_view request, std::vector<uint8_t>& stub, std::string& err);

// Response of RequestRpc: unique pointer, conformant byte array, padding, ReplyLength, result.
struct RequestReply {
  std::vector<uint8_t> block;  // empty when the pointer was null
  int32_t reply_length = 0;
  uint32_t result = 0;
};
bool ParseRequestResponse(std::span<const uint8_t> stub, RequestReply& out, std::string& err);

// ept_map for the agent's interface over ncacn_ip_tcp with NDR 2.0.
void BuildEptMapStub(std::vector<uint8_t>& stub);
// The TCP port of the first tower of the answer; false with a reason when there is none.
bool ParseEptMapResponse(std::span<const uint8_t> stub, uint16_t& port, std::string& err);

struct Target {
  enum class Kind { kTcp, kEpm, kLocal } kind = Kind::kEpm;
  std::string host = "127.0.0.1";
  uint16_t port = 0;
  uint16_t epm_port = kDefaultEpmPort;
  std::string local_path;
  unsigned timeout_ms = 30000;
};

class AgentConnection {
 public:
  // Connects and binds the agent's interface; false with a message when the agent is unreachable.
  bool Open(const Target& t, std::string& err);
  // One RequestRpc call; false with a message when the call itself failed.
  bool Request(std::string_view key, std::string_view request, RequestReply& out, std::string& err);
  // Where the association went, for messages ("127.0.0.1 port 4000", "local endpoint /run/x").
  const std::string& Where() const { return where_; }

 private:
  bool ConnectHost(const std::string& host, uint16_t port, dcerpc::RpcClient& c, std::string& err);
  std::unique_ptr<dcerpc::RpcClient> rpc_;
  std::string where_;
  std::vector<uint8_t> stub_, reply_;
};

}  // namespace netward::client
