// Loopback load on the RPC runtime: N client connections (one per benchmark thread), each making
// calls back to back. Reports calls/s and per-thread p50/p99 latency for PingRpc and a 64 KiB reply.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "support/agent_rpc_iface.h"
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

// Resident set of the whole process (clients and server), KiB.
double RssKib() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024.0;
}

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
  // Latency histogram in 1 us buckets up to 20 ms (the last bucket takes the rest): fixed
  // memory, so the process's resident size reflects the runtime only.
  constexpr size_t kBuckets = 20000;
  std::vector<uint64_t> hist(kBuckets, 0);
  for (auto _ : st) {
    auto t0 = std::chrono::steady_clock::now();
    if (c.Call(opnum, body, reply) != 0) {
      st.SkipWithError("call failed");
      break;
    }
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count();
    ++hist[std::min<size_t>(static_cast<size_t>(us), kBuckets - 1)];
  }
  st.SetItemsProcessed(st.iterations());
  auto percentile = [&](double q) {
    uint64_t want = static_cast<uint64_t>(q * static_cast<double>(st.iterations())), seen = 0;
    for (size_t i = 0; i < kBuckets; ++i)
      if ((seen += hist[i]) > want) return static_cast<double>(i);
    return static_cast<double>(kBuckets);
  };
  if (st.iterations() > 0) {
    st.counters["p50_us"] = benchmark::Counter(percentile(0.50), benchmark::Counter::kAvgThreads);
    st.counters["p99_us"] = benchmark::Counter(percentile(0.99), benchmark::Counter::kAvgThreads);
  }
  // Compared between runs of different lengths, this shows whether memory grows with calls.
  if (st.thread_index() == 0) st.counters["server_calls"] = static_cast<double>(s.rpc.Stats().calls);
  if (st.thread_index() == 0) st.counters["rss_kib"] = RssKib();
}

void BM_PingRpc(benchmark::State& st) { Run(st, 0, 32); }
void BM_RequestRpc64K(benchmark::State& st) { Run(st, 1, 64 * 1024); }

BENCHMARK(BM_PingRpc)->Threads(1)->Threads(16)->UseRealTime()->MinTime(2.0);
// Long enough for well over 1,000,000 calls at 16 connections: rss_kib against the short runs.
BENCHMARK(BM_PingRpc)->Name("BM_PingRpcLong")->Threads(16)->UseRealTime()->MinTime(8.0);
BENCHMARK(BM_RequestRpc64K)->Threads(1)->Threads(16)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
