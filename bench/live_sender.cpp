// The live benchmark's sender: every frame of a capture file, loaded into memory first, sent out of
// one interface through a packet socket as fast as the kernel takes them (sendmmsg, batches of 64,
// the queueing discipline bypassed), or at a given rate. It sends only on the interface it is
// given; the benchmark gives it one end of a veth pair in a network namespace of its own.
//
// Usage: live_sender IFNAME FILE [--frames N] [--passes N] [--pps N]
// Prints: "sent N frames in S s, R frames/s, C s CPU".
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr unsigned kBatch = 64;
constexpr uint32_t kMaxFrameBytes = 9018;  // a jumbo frame with its header; longer records are skipped

struct Frames {
  std::vector<uint8_t> bytes;
  std::vector<size_t> offsets;  // one past the last is bytes.size()
  size_t Size(size_t i) const { return (i + 1 < offsets.size() ? offsets[i + 1] : bytes.size()) - offsets[i]; }
};

bool Load(const char* path, uint64_t limit, Frames& out) {
  char err[PCAP_ERRBUF_SIZE] = {};
  pcap_t* p = pcap_open_offline(path, err);
  if (p == nullptr) {
    fprintf(stderr, "live_sender: %s\n", err);
    return false;
  }
  if (pcap_datalink(p) != DLT_EN10MB) {
    fprintf(stderr, "live_sender: %s is not an Ethernet capture\n", path);
    pcap_close(p);
    return false;
  }
  pcap_pkthdr* h = nullptr;
  const u_char* d = nullptr;
  while (out.offsets.size() < limit && pcap_next_ex(p, &h, &d) == 1) {
    // Only whole frames are sent: a frame cut short by the capture would go out short.
    if (h->caplen != h->len || h->caplen < ETH_HLEN || h->caplen > kMaxFrameBytes) continue;
    out.offsets.push_back(out.bytes.size());
    out.bytes.insert(out.bytes.end(), d, d + h->caplen);
  }
  pcap_close(p);
  return !out.offsets.empty();
}

double Seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: live_sender IFNAME FILE [--frames N] [--passes N] [--pps N]\n");
    return 2;
  }
  const char* ifname = argv[1];
  uint64_t limit = UINT64_MAX;
  unsigned passes = 1;
  double pps = 0;
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::string opt = argv[i];
    if (opt == "--frames") {
      limit = strtoull(argv[i + 1], nullptr, 10);
    } else if (opt == "--passes") {
      passes = static_cast<unsigned>(strtoul(argv[i + 1], nullptr, 10));
    } else if (opt == "--pps") {
      pps = strtod(argv[i + 1], nullptr);
    } else {
      fprintf(stderr, "live_sender: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  Frames frames;
  if (!Load(argv[2], limit, frames)) return 1;

  const unsigned ifindex = if_nametoindex(ifname);
  if (ifindex == 0) {
    fprintf(stderr, "live_sender: no interface %s\n", ifname);
    return 1;
  }
  // Protocol 0: this socket sends only and never receives a copy of anything.
  int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (s < 0) {
    perror("live_sender: packet socket");
    return 1;
  }
  sockaddr_ll addr{};
  addr.sll_family = AF_PACKET;
  addr.sll_ifindex = static_cast<int>(ifindex);
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    perror("live_sender: bind");
    return 1;
  }
  const int one = 1;
  setsockopt(s, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);  // best effort
  const int sndbuf = 16 << 20;
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);

  const size_t n = frames.offsets.size();
  const uint64_t total = uint64_t(n) * passes;
  iovec iov[kBatch];
  mmsghdr msgs[kBatch];
  uint64_t sent = 0;
  const double wall0 = Seconds(CLOCK_MONOTONIC);
  const double cpu0 = Seconds(CLOCK_PROCESS_CPUTIME_ID);
  while (sent < total) {
    const unsigned batch = static_cast<unsigned>(total - sent < kBatch ? total - sent : kBatch);
    for (unsigned k = 0; k < batch; ++k) {
      const size_t i = (sent + k) % n;
      iov[k].iov_base = frames.bytes.data() + frames.offsets[i];
      iov[k].iov_len = frames.Size(i);
      msgs[k] = mmsghdr{};
      msgs[k].msg_hdr.msg_iov = &iov[k];
      msgs[k].msg_hdr.msg_iovlen = 1;
    }
    const int r = sendmmsg(s, msgs, batch, 0);
    if (r < 0) {
      if (errno == EINTR || errno == ENOBUFS || errno == EAGAIN) continue;
      perror("live_sender: sendmmsg");
      break;
    }
    sent += static_cast<unsigned>(r);
    if (pps > 0) {
      // Ahead of the rate: sleep until the frames sent so far are due.
      const double ahead = double(sent) / pps - (Seconds(CLOCK_MONOTONIC) - wall0);
      if (ahead > 0) {
        timespec ts{static_cast<time_t>(ahead), static_cast<long>((ahead - double(time_t(ahead))) * 1e9)};
        nanosleep(&ts, nullptr);
      }
    }
  }
  const double wall = Seconds(CLOCK_MONOTONIC) - wall0;
  const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
  close(s);
  printf("sent %llu frames in %.3f s, %.0f frames/s, %.3f s CPU\n", static_cast<unsigned long long>(sent), wall,
         wall > 0 ? double(sent) / wall : 0.0, cpu);
  return sent == total ? 0 : 1;
}
