// Loopback load on the RPC runtime: N client connections (one per benchmark thread), each making
// calls back to back. Reports calls/s and per-thread p50/p99 latency for PingRpc and a 64 KiB reply.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "../tests/dcerpc/agent_rpc_iface.h"
#include "dcerpc/client.h"
#include "dcerpc/server.h"

namespace {

struct Server {
  Server() : rpc(Limits()) {
    rpc.RegisterInterface(testiface::MakeAgentRpc(state));
    rpc.UseProtseq("ncacn_ip_tcp", 3);
    std::vector<dcerpc::Binding> b;
    rpc.InqBindings(b);
    port = static_cast<uint16_t>(std::stoi(b[0].endpoint));
    thread = std::thread([this] { rpc.Listen(); });
    while (!rpc.IsListening()) std::this_thread::yield();
  }
  ~Server() {
    rpc.StopListening();
    thread.join();
  }
  static dcerpc::ServerLimits Limits() {
    dcerpc::ServerLimits l;
    l.loopback_only = true;
    return l;
  }
  testiface::AgentRpcState state;
  dcerpc::RpcServer rpc;
  uint16_t port = 0;
  std::thread thread;
};

Server& TheServer() {
  static Server s;
  return s;
}

void Run(benchmark::State& st, uint16_t opnum, size_t reply_size) {
  Server& s = TheServer();
  if (st.thread_index() == 0) s.state.reply_size = reply_size;
  dcerpc::RpcClient c;
  if (c.ConnectTcp("127.0.0.1", s.port) != 0 || c.Bind(testiface::AgentRpcId()) != 0) {
    st.SkipWithError("connect/bind failed");
    return;
  }
  std::vector<uint8_t> body;
  if (opnum == 1) {
    body.assign(272, 0);
    std::memcpy(body.data(), s.state.key.data(), 16);
  }
  std::vector<uint8_t> reply;
  std::vector<double> lat;
  lat.reserve(1 << 20);
  for (auto _ : st) {
    auto t0 = std::chrono::steady_clock::now();
    if (c.Call(opnum, body, reply) != 0) {
      st.SkipWithError("call failed");
      break;
    }
    lat.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  st.SetItemsProcessed(st.iterations());
  if (!lat.empty()) {
    std::sort(lat.begin(), lat.end());
    st.counters["p50_us"] = benchmark::Counter(lat[lat.size() / 2], benchmark::Counter::kAvgThreads);
    st.counters["p99_us"] = benchmark::Counter(lat[lat.size() * 99 / 100], benchmark::Counter::kAvgThreads);
  }
}

void BM_PingRpc(benchmark::State& st) { Run(st, 0, 32); }
void BM_RequestRpc64K(benchmark::State& st) { Run(st, 1, 64 * 1024); }

BENCHMARK(BM_PingRpc)->Threads(1)->Threads(16)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_RequestRpc64K)->Threads(1)->Threads(16)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
