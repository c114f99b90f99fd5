// ICMP echo to one IPv4 address: four echo requests of 32 data bytes, each waited for at most one
// second. Uses an unprivileged ICMP datagram socket where net.ipv4.ping_group_range allows it, else a
// raw ICMP socket (CAP_NET_RAW).
#pragma once

#include <netinet/in.h>

#include <cstdio>

namespace verevedo {

inline constexpr int kPingCount = 4;
inline constexpr int kPingTimeoutMs = 1000;
inline constexpr int kPingDataBytes = 32;

enum class PingResult { kReplied, kNoReply, kNoSocket };

// Prints one line per echo request and a summary to `out`.
PingResult Ping(in_addr target, FILE* out);

}  // namespace verevedo
