// The bare libpcap read loop the file-replay benchmark compares the agent with: every frame of a
// capture file read with pcap_next_ex and its first byte and length summed (so that nothing is
// optimised away), nothing else.
//
// Usage: pcap_read_loop FILE
// Prints: "frames N cpu S" (S: the process's CPU seconds, start-up included).
#include <pcap/pcap.h>
#include <time.h>

#include <cstdint>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: pcap_read_loop FILE\n");
    return 2;
  }
  char err[PCAP_ERRBUF_SIZE] = {};
  pcap_t* p = pcap_open_offline(argv[1], err);
  if (p == nullptr) {
    fprintf(stderr, "pcap_read_loop: %s\n", err);
    return 1;
  }
  pcap_pkthdr* h = nullptr;
  const u_char* d = nullptr;
  uint64_t frames = 0, sum = 0;
  while (pcap_next_ex(p, &h, &d) == 1) {
    ++frames;
    sum += (h->caplen > 0 ? d[0] : 0) + h->len;
  }
  pcap_close(p);
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  printf("frames %llu cpu %.6f (checksum %llu)\n", static_cast<unsigned long long>(frames),
         double(ts.tv_sec) + double(ts.tv_nsec) / 1e9, static_cast<unsigned long long>(sum));
  return 0;
}
