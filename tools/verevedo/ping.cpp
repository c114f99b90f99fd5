#include "ping.h"

#include <arpa/inet.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace verevedo {
namespace {

constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kEchoRequest = 8;
constexpr size_t kIcmpHeaderBytes = 8;
constexpr size_t kReceiveBytes = 1500;

int64_t NowMicros() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// RFC 1071 one's complement sum.
uint16_t Checksum(const uint8_t* p, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
  if (n & 1) sum += static_cast<uint32_t>(p[n - 1] << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

struct Socket {
  int fd = -1;
  bool raw = false;
  ~Socket() {
    if (fd >= 0) close(fd);
  }
};

bool Open(Socket& s) {
  s.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (s.fd >= 0) {
    int on = 1;
    setsockopt(s.fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    return true;
  }
  s.fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  s.raw = true;
  return s.fd >= 0;
}

struct Reply {
  int data_bytes = 0;
  int ttl = -1;
};

// Checks one received datagram against the request (`id` only matters on a raw socket: a datagram
// socket gets its own identifier from the kernel and only its replies). Raw sockets see the IP
// header first, and also our own requests on loopback.
bool Matches(const Socket& s, const uint8_t* p, size_t n, in_addr target, uint16_t id, uint16_t seq, Reply& r) {
  if (s.raw) {
    if (n < 20) return false;
    const size_t ihl = static_cast<size_t>(p[0] & 0x0f) * 4;
    if (ihl < 20 || n < ihl + kIcmpHeaderBytes || memcmp(p + 12, &target, 4) != 0) return false;
    r.ttl = p[8];
    p += ihl;
    n -= ihl;
    if ((p[4] << 8 | p[5]) != id) return false;
  } else if (n < kIcmpHeaderBytes) {
    return false;
  }
  if (p[0] != kEchoReply || (p[6] << 8 | p[7]) != seq) return false;
  r.data_bytes = static_cast<int>(n - kIcmpHeaderBytes);
  return true;
}

// Waits up to `deadline` for the reply to `seq`.
bool AwaitReply(const Socket& s, in_addr target, uint16_t id, uint16_t seq, int64_t deadline, Reply& r) {
  for (;;) {
    const int64_t left = deadline - NowMicros();
    if (left <= 0) return false;
    pollfd pfd{s.fd, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>((left + 999) / 1000));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    uint8_t buf[kReceiveBytes];
    alignas(cmsghdr) char control[256];
    sockaddr_in from{};
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(s.fd, &msg, MSG_DONTWAIT);
    if (n < 0) continue;
    Reply got;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
        memcpy(&got.ttl, CMSG_DATA(c), sizeof(int));
      }
    }
    if (!s.raw && from.sin_addr.s_addr != target.s_addr) continue;
    if (Matches(s, buf, static_cast<size_t>(n), target, id, seq, got)) {
      r = got;
      return true;
    }
  }
}

}  // namespace

PingResult Ping(in_addr target, FILE* out) {
  char dotted[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &target, dotted, sizeof dotted);
  Socket s;
  if (!Open(s)) {
    const int err = errno;
    fprintf(out,
            "PING %s: cannot open an ICMP socket (%s).\n"
            "Unprivileged ICMP is not allowed for this group (sysctl net.ipv4.ping_group_range)\n"
            "and a raw socket needs CAP_NET_RAW.\n",
            dotted, strerror(err));
    return PingResult::kNoSocket;
  }
  fprintf(out, "\nPING %s: %d data bytes, %d echo requests, timeout %d ms each\n\n", dotted, kPingDataBytes,
          kPingCount, kPingTimeoutMs);
  fflush(out);

  const uint16_t id = static_cast<uint16_t>(getpid());
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = target;
  int received = 0;
  int64_t min_us = 0, max_us = 0, sum_us = 0;
  for (int i = 0; i < kPingCount; ++i) {
    const uint16_t seq = static_cast<uint16_t>(i + 1);
    uint8_t packet[kIcmpHeaderBytes + kPingDataBytes] = {kEchoRequest, 0, 0, 0,
                                                         static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id),
                                                         static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)};
    for (int b = 0; b < kPingDataBytes; ++b) packet[kIcmpHeaderBytes + b] = static_cast<uint8_t>('A' + b % 26);
    const uint16_t sum = Checksum(packet, sizeof packet);
    packet[2] = static_cast<uint8_t>(sum >> 8);
    packet[3] = static_cast<uint8_t>(sum);

    const int64_t sent_at = NowMicros();
    if (sendto(s.fd, packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
      fprintf(out, "Transmit failed: %s.\n", strerror(errno));
      fflush(out);
      continue;
    }
    Reply r;
    if (!AwaitReply(s, target, id, seq, sent_at + kPingTimeoutMs * 1000, r)) {
      fprintf(out, "Request timed out.\n");
      fflush(out);
      continue;
    }
    const int64_t rtt = NowMicros() - sent_at;
    if (received == 0 || rtt < min_us) min_us = rtt;
    if (rtt > max_us) max_us = rtt;
    sum_us += rtt;
    ++received;
    char time_text[32];
    if (rtt < 1000) {
      snprintf(time_text, sizeof time_text, "time<1ms");
    } else {
      snprintf(time_text, sizeof time_text, "time=%lldms", static_cast<long long>(rtt / 1000));
    }
    char ttl_text[16] = "";
    if (r.ttl >= 0) snprintf(ttl_text, sizeof ttl_text, " TTL=%d", r.ttl);
    fprintf(out, "Reply from %s: bytes=%d %s%s\n", dotted, r.data_bytes, time_text, ttl_text);
    fflush(out);
  }
  const int lost = kPingCount - received;
  fprintf(out, "\nPing statistics for %s: %d sent, %d received, %d lost (%d%% loss)\n", dotted, kPingCount, received,
          lost, lost * 100 / kPingCount);
  if (received > 0) {
    fprintf(out, "Round trip times: minimum %lldms, maximum %lldms, average %lldms\n",
            static_cast<long long>(min_us / 1000), static_cast<long long>(max_us / 1000),
            static_cast<long long>(sum_us / received / 1000));
  }
  fflush(out);
  return received > 0 ? PingResult::kReplied : PingResult::kNoReply;
}

}  // namespace verevedo
