#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>

namespace netward::platform {

int RaiseThreadPriority() {
  // On Linux a nice value belongs to the thread named by its id.
  const id_t self = static_cast<id_t>(gettid());
  errno = 0;
  const int before = getpriority(PRIO_PROCESS, self);
  if (errno != 0) return 0;
  if (setpriority(PRIO_PROCESS, self, kHighestNice) == 0) return kHighestNice;
  // Without the capability: RLIMIT_NICE's soft limit r allows nice values down to 20 - r.
  rlimit limit{};
  if (getrlimit(RLIMIT_NICE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur > 0) {
    const int allowed = 20 - static_cast<int>(limit.rlim_cur > 40 ? 40 : limit.rlim_cur);
    if (allowed < before && setpriority(PRIO_PROCESS, self, allowed) == 0) return allowed;
  }
  return before;
}

}  // namespace netward::platform
