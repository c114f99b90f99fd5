// Test-only interface with the agent's real layouts: cabcbc10-aaae-11d2-a9f7-00104b7babc3 v1.0,
// PingRpc (opnum 0) and RequestRpc (opnum 1: Key[16], Request[256] in; unique pointer to a
// conformant byte array, ReplyLength, error_status_t out). The handler behind RequestRpc is a
// stand-in: the right key gets a reply block of reply_size bytes (byte i = i & 0xFF).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>

#include "dcerpc/server.h"

namespace testiface {

inline constexpr uint32_t kKeyRejected = 0xFFFFFFFEu;

struct AgentRpcState {
  std::array<uint8_t, 16> key{};
  std::atomic<size_t> reply_size{32};
  std::atomic<uint64_t> pings{0};
  std::atomic<uint64_t> requests{0};
  // Runs inside each accepted RequestRpc before its reply is built; set before the first call.
  std::function<void()> before_reply;
};

dcerpc::SyntaxId AgentRpcId();
dcerpc::InterfaceSpec MakeAgentRpc(AgentRpcState& state);

}  // namespace testiface
