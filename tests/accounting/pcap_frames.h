// Frames of a capture file read directly with libpcap, independent of the capture layer.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace netward::test {

struct PcapFrame {
  std::vector<uint8_t> bytes;  // as captured (at most 256 kept)
  uint32_t wire_length = 0;
  uint32_t time = 0;
};

// False when the file cannot be opened. `link` is the pcap link type.
inline bool LoadPcap(const std::string& path, std::vector<PcapFrame>& out, int& link) {
  char err[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(path.c_str(), err);
  if (p == nullptr) return false;
  link = pcap_datalink(p);
  pcap_pkthdr* h;
  const u_char* data;
  while (pcap_next_ex(p, &h, &data) == 1) {
    PcapFrame f;
    f.bytes.assign(data, data + (h->caplen < 256 ? h->caplen : 256));
    f.wire_length = h->len;
    f.time = static_cast<uint32_t>(h->ts.tv_sec);
    out.push_back(std::move(f));
  }
  pcap_close(p);
  return true;
}

// Generates the mixed workload (deterministic for its arguments) into `path`.
inline bool MakeWorkload(const std::string& path, int frames, int stations, int seed) {
  const std::string cmd = "/usr/bin/python3 " NETWARD_SHARED_DIR "/workloads/make_pcap.py --frames " +
                          std::to_string(frames) + " --stations " + std::to_string(stations) + " --seed " +
                          std::to_string(seed) + " --out '" + path + "' 2>/dev/null";
  return std::system(cmd.c_str()) == 0;
}

}  // namespace netward::test
