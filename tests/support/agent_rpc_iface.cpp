#include "support/agent_rpc_iface.h"

#include <cstring>
#include <vector>

#include "dcerpc/ndr.h"
#include "dcerpc/status.h"

namespace testiface {

dcerpc::SyntaxId AgentRpcId() {
  dcerpc::SyntaxId id;
  dcerpc::Uuid::Parse("cabcbc10-aaae-11d2-a9f7-00104b7babc3", id.uuid);
  id.major = 1;
  id.minor = 0;
  return id;
}

dcerpc::InterfaceSpec MakeAgentRpc(AgentRpcState& state) {
  dcerpc::InterfaceSpec def;
  def.id = AgentRpcId();
  def.ops.push_back([&state](const dcerpc::CallRequest&, std::vector<uint8_t>& reply) {
    state.pings.fetch_add(1, std::memory_order_relaxed);
    dcerpc::NdrWriter w(reply);
    w.U32(0);
    return dcerpc::kStatusOk;
  });
  def.ops.push_back([&state](const dcerpc::CallRequest& call, std::vector<uint8_t>& reply) {
    dcerpc::NdrReader r(call.stub, call.drep.LittleEndian());
    uint8_t key[16];
    uint8_t request[256];
    if (!r.Bytes(key) || !r.Bytes(request)) return dcerpc::kStatusBadStubData;
    state.requests.fetch_add(1, std::memory_order_relaxed);
    dcerpc::NdrWriter w(reply);
    if (std::memcmp(key, state.key.data(), 16) != 0) {
      w.Pointer(false);
      w.I32(0);
      w.U32(kKeyRejected);
      return dcerpc::kStatusOk;
    }
    if (state.before_reply) state.before_reply();
    size_t n = state.reply_size.load();
    w.Pointer(true);
    w.U32(static_cast<uint32_t>(n));
    size_t at = reply.size();
    reply.resize(at + n);
    for (size_t i = 0; i < n; ++i) reply[at + i] = static_cast<uint8_t>(i);
    w.Align(4);
    w.I32(static_cast<int32_t>(n));
    w.U32(0);
    return dcerpc::kStatusOk;
  });
  return def;
}

}  // namespace testiface
