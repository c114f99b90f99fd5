// Exit status of netward (also listed in its --help text).
#pragma once

namespace netward::client {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitUnreachable = 2;
inline constexpr int kExitKeyRejected = 3;
inline constexpr int kExitMalformed = 4;
inline constexpr int kExitFile = 5;

}  // namespace netward::client
