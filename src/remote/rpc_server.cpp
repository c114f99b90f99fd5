#include "remote/rpc_server.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/agent.h"
#include "diagnostics/connectivity.h"
#include "diagnostics/tcpip_report.h"
#include "wire/byte_order.h"
#include "remote/dispatcher.h"
#include "remote/snapshot.h"
#include "taskbar/taskbar.h"

namespace netward {

namespace {

constexpr char kErrorCaption[] = "TapEyeSv ERROR";
constexpr uint32_t kRpcMaxCalls = 3;
constexpr const char* kProtseqs[] = {"ncalrpc", "ncacn_ip_tcp", "ncacn_nb_nb", "ncacn_spx"};
// Referent id of the reply's unique pointer; any non-zero value serves.
constexpr uint32_t kReplyReferent = 0x00020000;

// The one server of the process, for the stop hook.
std::mutex g_server_mu;
dcerpc::RpcServer* g_server = nullptr;
std::atomic<bool> g_stop_wanted{false};

}  // namespace

void StopRpcListening() {
  g_stop_wanted.store(true);
  // Listening may be about to begin on the server thread: retry briefly until it has ended or
  // accepted the stop.
  for (int i = 0; i < 200; ++i) {
    {
      std::lock_guard<std::mutex> lock(g_server_mu);
      if (g_server == nullptr || g_server->StopListening() == dcerpc::kStatusOk) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

namespace {

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  uint8_t b[4];
  PutU32Le(b, v);
  out.insert(out.end(), b, b + 4);
}

}  // namespace

dcerpc::SyntaxId AgentRpcInterfaceId() {
  dcerpc::SyntaxId id{};
  dcerpc::Uuid::Parse("cabcbc10-aaae-11d2-a9f7-00104b7babc3", id.uuid);
  id.major = 1;
  id.minor = 0;
  return id;
}

uint32_t PingRpcStub(const RequestContext& c, const dcerpc::CallRequest&, std::vector<uint8_t>& reply) {
  if (c.g != nullptr) c.g->Health.PingCalls.fetch_add(1, std::memory_order_relaxed);
  if (c.out != nullptr) c.out->Write("PingRpc\n");
  PutU32(reply, 0);
  return dcerpc::kStatusOk;
}

uint32_t RequestRpcStub(const RequestContext& c, const dcerpc::CallRequest& call, std::vector<uint8_t>& reply) {
  if (call.stub.size() < kRequestStubBytes) return dcerpc::kStatusBadStubData;
  // Both parameters are byte arrays: no conversion for the data representation is needed.
  uint8_t key[16];
  char request[256];
  memcpy(key, call.stub.data(), 16);
  memcpy(request, call.stub.data() + 16, 256);
  uint8_t* block = nullptr;
  int32_t length = 0;
  int32_t result;
  try {
    result = HandleRequest(c, key, request, &block, &length);
  } catch (const std::bad_alloc&) {
    return dcerpc::kStatusOutOfMemory;
  }
  if (GlobalArea* g = c.g) {
    g->Health.RequestCalls.fetch_add(1, std::memory_order_relaxed);
    if (result == kKeyRejected) g->Health.RefusedKeys.fetch_add(1, std::memory_order_relaxed);
  }
  // One allocation of the exact size: a history day's reply runs to megabytes.
  reply.reserve(reply.size() + 4 + (block != nullptr ? 4 + static_cast<size_t>(length) + 3 : 0) + 8);
  if (block != nullptr) {
    PutU32(reply, kReplyReferent);
    PutU32(reply, static_cast<uint32_t>(length));
    reply.insert(reply.end(), block, block + length);
    while (reply.size() % 4 != 0) reply.push_back(0);
  } else {
    PutU32(reply, 0);
  }
  MidlUserFree(block);
  PutU32(reply, static_cast<uint32_t>(length));
  PutU32(reply, static_cast<uint32_t>(result));
  return dcerpc::kStatusOk;
}

// The taskbar thread, created once. Its window's start-up refreshes the station labels (which also
// sets AddressText). CommonStop's close messages reach the window through post_message, which
// waits until the icon is deleted; the handle closes and joins the thread if they never came.
TaskbarThreadHandle StartTaskbarThread(Agent& agent, const std::string& local_endpoint) {
  GlobalArea* g = agent.global();
  if (g == nullptr) return {};
  if (!agent.hooks().post_message)
    agent.hooks().post_message = [](uintptr_t window, uint32_t message) { SendWindowMessage(window, message); };
  TaskbarContext ctx;
  ctx.global = g;
  ctx.clock = &agent.clock();
  ctx.out = &agent.out();
  ctx.refresh_station_labels = [&agent, g] { RefreshStationLabels(agent.registry(), *g, agent.clock().Now()); };
  ctx.common_stop = [&agent] { agent.CommonStop(); };
  ctx.local_endpoint = local_endpoint;
  // QuickLook's reports and snapshot, and the settings file Settings writes.
  ctx.registry = &agent.registry();
  if (auto* system = dynamic_cast<platform::SystemRegistry*>(&agent.registry())) ctx.hive_path = system->hive_path();
  ctx.windows_dir = agent.windows_dir();
  ctx.config_report = [&agent, g](char* area, size_t size) {
    BuildTcpipReport(agent.registry(), *g, agent.clock().Now(), area, size);
  };
  ctx.connectivity_tests = [&agent, g](char* area, size_t size) {
    RunConnectivityTests(agent.registry(), *g, agent.clock().Now(), area, size);
  };
  ctx.save_snapshot = [&agent](uintptr_t owner, const char* path) {
    SaveSnapshot(AgentRequestContext(agent), owner, path);
  };
  return TaskbarThreadHandle::Start(std::move(ctx));
}

void RpcServerThread(Agent& agent) {
  g_stop_wanted.store(false);
  platform::Output& out = agent.out();
  dcerpc::RpcServer server;
  dcerpc::InterfaceSpec def;
  def.id = AgentRpcInterfaceId();
  // Each call answers in the agent's context as it is at that moment.
  def.ops = {[&agent](const dcerpc::CallRequest& call, std::vector<uint8_t>& reply) {
               return PingRpcStub(AgentRequestContext(agent), call, reply);
             },
             [&agent](const dcerpc::CallRequest& call, std::vector<uint8_t>& reply) {
               return RequestRpcStub(AgentRequestContext(agent), call, reply);
             }};
  if (server.RegisterInterface(std::move(def)) != dcerpc::kStatusOk) {
    out.MessageBox("RpcServerRegisterIf failed", kErrorCaption);
    return;
  }

  const AgentOptions& opt = agent.options();
  // An endpoint that the command line or the settings name is one the user asked for: the agent
  // does not run on without it. The service's default socket is a convenience and may be missing.
  uint32_t tcp_port = opt.rpc_port > 0 ? static_cast<uint32_t>(opt.rpc_port)
                                       : agent.registry().GetDword(kSettingsKey, "RpcTcpPort").value_or(0);
  const char* tcp_source = opt.rpc_port > 0 ? "--rpc-port" : "RpcTcpPort";
  std::string local = opt.local_endpoint;
  const char* local_source = "--local-endpoint";
  if (local.empty()) {
    local = agent.registry().GetString(kSettingsKey, "RpcLocalEndpoint").value_or("");
    local_source = "RpcLocalEndpoint";
  }
  const bool local_required = !local.empty();
  if (local.empty()) local = opt.default_local_endpoint;
  int opened = 0;
  for (const char* protseq : kProtseqs) {
    std::string endpoint;
    bool required = false;
    const char* source = "";
    if (strcmp(protseq, "ncacn_ip_tcp") == 0 && tcp_port != 0) {
      endpoint = std::to_string(tcp_port);
      required = true;
      source = tcp_source;
    }
    if (strcmp(protseq, "ncalrpc") == 0) {
      endpoint = local;
      required = local_required;
      source = local_source;
    }
    std::string why;
    uint32_t status = server.UseProtseq(protseq, kRpcMaxCalls, endpoint, &why);
    out.Printf("RpcServerUseProtseq %s = %d\n", protseq, static_cast<int>(status));
    if (status == dcerpc::kStatusOk) {
      ++opened;
      continue;
    }
    if (why.empty()) continue;  // a protocol sequence this platform does not have
    char text[512];
    snprintf(text, sizeof text, "%s endpoint '%s'%s%s%s cannot be opened: %s", protseq, endpoint.c_str(),
             required ? " (" : "", required ? source : "", required ? ")" : "", why.c_str());
    if (!required) {
      out.Printf("%s\n", text);
      continue;
    }
    // Exit non-zero rather than serve without the endpoint the user asked for.
    strncat(text, "; the agent stops", sizeof text - strlen(text) - 1);
    out.MessageBox(text, kErrorCaption);
    agent.FatalStop(1);
    return;
  }
  if (opened == 0) {
    out.MessageBox("RpcServerUseProtseq failed", kErrorCaption);
    return;
  }
  std::vector<dcerpc::Binding> bindings;
  if (server.InqBindings(bindings) != dcerpc::kStatusOk) {
    out.MessageBox("RpcServerInqBindings failed", kErrorCaption);
    return;
  }
  // The endpoint mapper lives in this process; without port 135 clients use the fixed port.
  uint32_t epm_port = agent.registry().GetDword(kSettingsKey, "EndpointMapperPort").value_or(135);
  if (server.StartEndpointMapper(static_cast<uint16_t>(epm_port)) != dcerpc::kStatusOk)
    out.Printf("Endpoint mapper not hosted: TCP port %u is in use or not permitted\n", epm_port);
  uint32_t status = server.EpRegister(AgentRpcInterfaceId(), bindings);
  if (status != dcerpc::kStatusOk) {
    char text[64];
    if (status == dcerpc::kStatusWrongKindOfBinding) snprintf(text, sizeof text, "RpcEpRegister failed - Wrong kind of binding");
    else if (status == dcerpc::kStatusInvalidBinding) snprintf(text, sizeof text, "RpcEpRegister failed - Invalid binding");
    else if (status == dcerpc::kStatusNoBindings) snprintf(text, sizeof text, "RpcEpRegister failed - No bindings");
    else snprintf(text, sizeof text, "RpcEpRegister failed with rc %d", static_cast<int>(status));
    out.MessageBox(text, kErrorCaption);
    return;
  }
  for (const auto& b : bindings) out.Printf("Listening on %s\n", b.ToString().c_str());
  out.Printf("Creating Taskbar Thread \n");
  // The client "Advanced" starts is handed the local endpoint the server really listens on.
  std::string listening_local;
  for (const auto& b : bindings)
    if (b.protseq == "ncalrpc") listening_local = b.endpoint;
  TaskbarThreadHandle taskbar = StartTaskbarThread(agent, listening_local);
  out.Printf("To Terminate, close console window or press Ctrl-C\n");

  {
    std::lock_guard<std::mutex> lock(g_server_mu);
    g_server = &server;
  }
  status = dcerpc::kStatusOk;
  if (!g_stop_wanted.load() && !agent.stop_request().IsSet()) status = server.Listen();
  {
    std::lock_guard<std::mutex> lock(g_server_mu);
    g_server = nullptr;
  }
  if (status != dcerpc::kStatusOk) {
    out.MessageBox("RpcServerListen failed", kErrorCaption);
    return;
  }
  server.EpUnregister(AgentRpcInterfaceId());
}

}  // namespace netward
