// The agent's RPC interface (PingRpc, RequestRpc) and the server thread that registers it, opens
// the protocol sequences, registers the endpoints and listens until CommonStop.
#pragma once

#include <cstdint>
#include <vector>

#include "dcerpc/server.h"
#include "remote/dispatcher.h"

namespace netward {

// cabcbc10-aaae-11d2-a9f7-00104b7babc3 version 1.0.
dcerpc::SyntaxId AgentRpcInterfaceId();

inline constexpr uint32_t kPingRpcOpnum = 0;
inline constexpr uint32_t kRequestRpcOpnum = 1;
inline constexpr size_t kRequestStubBytes = 16 + 256;  // Key, Request: fixed arrays, no counts

// The manager routines over NDR stubs (exposed for tests), answering in `context`.
uint32_t PingRpcStub(const RequestContext& context, const dcerpc::CallRequest& call, std::vector<uint8_t>& reply);
uint32_t RequestRpcStub(const RequestContext& context, const dcerpc::CallRequest& call, std::vector<uint8_t>& reply);

// The thread body installed as AgentHooks::rpc_server_thread.
void RpcServerThread(Agent& agent);
// Installed as AgentHooks::rpc_stop_listening: makes the listening server thread return.
void StopRpcListening();

}  // namespace netward
