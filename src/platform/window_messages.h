// Window message numbers the agent's threads exchange: the same numbers whether a window is a GTK
// window or a message queue of the headless back end.
#pragma once

#include <cstdint>

namespace netward {

inline constexpr uint32_t kWmNull = 0x0000;
inline constexpr uint32_t kWmClose = 0x0010;
inline constexpr uint32_t kWmCommand = 0x0111;
inline constexpr uint32_t kWmUser = 0x0400;                      // first message number of our own
inline constexpr uint32_t kMsgCloseWindow = kWmUser + 100;      // 1124: sent to every open window at stop
inline constexpr uint32_t kMsgTaskbarLogOff = kWmUser + 105;    // 1129: the user's session ends
inline constexpr uint32_t kMsgIconCallback = 0x8064;            // 32868: tray mouse events, code in lparam

}  // namespace netward
