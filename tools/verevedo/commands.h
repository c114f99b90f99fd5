// The command texts the agent passes to the helper, one word per argument, matched without regard
// to letter case: "PING <dotted IPv4 address>", "ROUTE PRINT", "IPCONFIG -all", "ARP -a",
// "NETSTAT -n". Anything else is refused with "Unknown command: ...".
#pragma once

#include <cstdio>

namespace verevedo {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;     // unknown command, bad argument, no ping reply
inline constexpr int kExitNoSocket = 2;   // PING: neither ICMP socket could be opened

// `args` are the words after the program name.
int RunCommand(int argc, const char* const* args, FILE* out);

}  // namespace verevedo
