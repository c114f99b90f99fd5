// Decoded lines per second: the frames of the mixed workload, stored as the rings keep them
// (first 256 bytes, zero-filled), each prepared and decoded as a detail reply line.
#include <benchmark/benchmark.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "decoder/decoder.h"
#include "decoder/service_names.h"

namespace {

using namespace netward::decoder;

struct Stored {
  uint8_t data[kStoredFrameBytes];
  uint32_t length;
  uint32_t time;
};

const std::vector<Stored>& Workload() {
  static const std::vector<Stored> frames = [] {
    std::vector<Stored> out;
    char err[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline(DECODER_BENCH_WORKLOAD, err);
    if (!p) {
      fprintf(stderr, "decoder_bench: %s\n", err);
      return out;
    }
    pcap_pkthdr* h;
    const u_char* bytes;
    while (pcap_next_ex(p, &h, &bytes) == 1) {
      Stored s{};
      memcpy(s.data, bytes, h->caplen < kStoredFrameBytes ? h->caplen : kStoredFrameBytes);
      s.length = h->len;
      s.time = static_cast<uint32_t>(h->ts.tv_sec);
      out.push_back(s);
    }
    pcap_close(p);
    return out;
  }();
  return frames;
}

DecoderContext Context() {
  static const SystemServiceNames names;
  static const EmptyAddressRoleLabels roles;
  DecoderContext ctx;
  const uint8_t own[6] = {0x00, 0x60, 0x08, 0x00, 0x00, 0x0A};
  memcpy(ctx.own_address, own, 6);
  ctx.services = &names;
  ctx.roles = &roles;
  return ctx;
}

// Blank-fill the decoder's columns and decode: the decoder's share of a detail reply line.
void BM_DecodeLine(benchmark::State& state) {
  const auto& frames = Workload();
  if (frames.empty()) {
    state.SkipWithError("no workload");
    return;
  }
  const DecoderContext ctx = Context();
  DecodedLine line;
  size_t i = 0;
  for (auto _ : state) {
    const Stored& f = frames[i];
    if (++i == frames.size()) i = 0;
    line.AdapterNumber = 1;
    memset(line.DestinationText, ' ', sizeof line.DestinationText);
    memset(line.SummaryText, ' ', sizeof line.SummaryText);
    memset(line.ProtocolText, 0, sizeof line.ProtocolText);
    DecodeFrame(line, f.data, sizeof f.data, netward::kMedium8023, ctx);
    benchmark::DoNotOptimize(line);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_DecodeLine);

// The whole line as the detail reply builds it: header fields, local time text, decode.
void BM_PrepareAndDecodeLine(benchmark::State& state) {
  const auto& frames = Workload();
  if (frames.empty()) {
    state.SkipWithError("no workload");
    return;
  }
  const DecoderContext ctx = Context();
  DecodedLine line;
  LineHeader h;
  h.adapter_number = 1;
  h.source_label = "00A0C97FA4AE";
  h.proto_label = "IP 10.1.2.3";
  size_t i = 0;
  for (auto _ : state) {
    const Stored& f = frames[i];
    if (++i == frames.size()) i = 0;
    h.sequence = static_cast<uint32_t>(i);
    h.length = f.length;
    h.time = f.time;
    PrepareDecodedLine(line, h);
    DecodeFrame(line, f.data, sizeof f.data, netward::kMedium8023, ctx);
    benchmark::DoNotOptimize(line);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_PrepareAndDecodeLine);

}  // namespace

BENCHMARK_MAIN();
