// Priority of the calling thread.
#pragma once

namespace netward::platform {

// Nice value of the highest priority there is for an ordinary (not real-time) thread.
inline constexpr int kHighestNice = -20;

// Raises the calling thread to the highest priority this process may take: kHighestNice with
// CAP_SYS_NICE, else as high as RLIMIT_NICE allows. Returns the thread's nice value afterwards; it is
// not below the value before when nothing could be raised.
int RaiseThreadPriority();

}  // namespace netward::platform
