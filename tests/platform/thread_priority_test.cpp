// The capture threads' priority: the highest there is with CAP_SYS_NICE, what RLIMIT_NICE allows
// without it, and no change (reported by the caller) when neither allows a raise. Each case runs in
// a child process, which may give up the capability for good.
#include "platform/thread_priority.h"

#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace netward::platform {
namespace {

bool DropSysNice() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  for (auto& d : data) d.effective &= ~(1u << CAP_SYS_NICE), d.permitted &= ~(1u << CAP_SYS_NICE);
  return syscall(SYS_capset, &header, data) == 0;
}

bool HaveSysNice() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  return syscall(SYS_capget, &header, data) == 0 && (data[0].effective & (1u << CAP_SYS_NICE)) != 0;
}

// The nice value RaiseThreadPriority leaves in a child set up by `prepare`; 99 when the set-up failed.
int NiceInChild(const std::function<bool()>& prepare) {
  int fds[2];
  if (pipe(fds) != 0) return 99;
  const pid_t pid = fork();
  if (pid == 0) {
    int result = prepare() ? RaiseThreadPriority() : 99;
    (void)!write(fds[1], &result, sizeof result);
    _exit(0);
  }
  close(fds[1]);
  int result = 99;
  if (read(fds[0], &result, sizeof result) != sizeof result) result = 99;
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return result;
}

bool LimitNice(rlim_t r) {
  rlimit l{r, r};
  return DropSysNice() && setrlimit(RLIMIT_NICE, &l) == 0;
}

TEST(ThreadPriority, HighestWithTheCapabilityElseWhatTheLimitAllowsElseUnchanged) {
  if (!HaveSysNice()) GTEST_SKIP() << "this test needs CAP_SYS_NICE to start from";
  EXPECT_EQ(NiceInChild([] { return true; }), kHighestNice);
  EXPECT_EQ(NiceInChild([] { return LimitNice(0); }), 0) << "nothing allowed: the nice value stays";
  // Raising the limit's hard value needs CAP_SYS_RESOURCE, which a sandbox may not give.
  const int limited = NiceInChild([] { return LimitNice(25); });
  if (limited == 99) GTEST_SKIP() << "RLIMIT_NICE cannot be raised to 25 here";
  EXPECT_EQ(limited, -5) << "RLIMIT_NICE 25 allows down to 20 - 25";
}

}  // namespace
}  // namespace netward::platform
