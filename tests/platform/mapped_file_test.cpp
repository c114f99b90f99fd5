// A mapped file cut short under its reader: its pages past the cut read as zeros and the cut is
// seen, while a bus error anywhere else still ends the process as it would without the guard.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "../common/scratch.h"
#include "platform/mapped_file.h"

using netward::platform::MappedFile;
using netward::testing_scratch::ScratchDir;

namespace {

constexpr size_t kBytes = 64 * 1024;

int FileOf(const std::string& path, uint8_t fill) {
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const std::vector<uint8_t> bytes(kBytes, fill);
  if (fd >= 0 && write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    close(fd);
    return -1;
  }
  return fd;
}

uint8_t ReadAt(const uint8_t* p) { return *static_cast<const volatile uint8_t*>(p); }

void NoCoreFile() {
  const rlimit none{};
  setrlimit(RLIMIT_CORE, &none);
}

// Killed by SIGBUS; under a sanitizer, its handler (there before ours) reports it and exits non-zero.
bool EndedByTheBusError(int status) {
  if (WIFSIGNALED(status)) return WTERMSIG(status) == SIGBUS;
  return WIFEXITED(status) && WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 3 && WEXITSTATUS(status) != 4;
}

TEST(MappedFile, PagesPastACutReadAsZerosAndOtherBusErrorsStillEndTheProcess) {
  ScratchDir dir;
  const int fd = FileOf(dir / "cut", 0xAB);
  ASSERT_GE(fd, 0);
  MappedFile map;
  ASSERT_TRUE(map.Map(fd, kBytes));
  EXPECT_EQ(ReadAt(map.data() + kBytes - 1), 0xAB);
  EXPECT_FALSE(map.Cut());
  ASSERT_EQ(ftruncate(fd, 10000), 0);
  EXPECT_EQ(ReadAt(map.data() + 9999), 0xAB);   // still in the file
  EXPECT_EQ(ReadAt(map.data() + 20000), 0x00);  // a page wholly past the cut: it faulted
  EXPECT_TRUE(map.Cut());
  EXPECT_EQ(ReadAt(map.data() + kBytes - 1), 0x00);
  map.Unmap();
  close(fd);

  // A mapping of its own, not a MappedFile, cut short: the fault is not the guard's to take.
  const int other = FileOf(dir / "other", 0xCD);
  ASSERT_GE(other, 0);
  EXPECT_EXIT(
      {
        NoCoreFile();
        MappedFile guard;  // the handler is in place, for another mapping
        if (!guard.Map(other, kBytes)) _exit(3);
        void* p = mmap(nullptr, kBytes, PROT_READ, MAP_SHARED, other, 0);
        if (p == MAP_FAILED || ftruncate(other, 0) != 0) _exit(4);
        guard.Unmap();
        ReadAt(static_cast<const uint8_t*>(p) + kBytes - 1);
        _exit(0);
      },
      EndedByTheBusError, "");
  // Nor is a SIGBUS sent to the process (not a fault) lost while a file is mapped.
  EXPECT_EXIT(
      {
        NoCoreFile();
        MappedFile guard;
        if (!guard.Map(other, kBytes)) _exit(3);
        raise(SIGBUS);
        _exit(0);
      },
      EndedByTheBusError, "");
  close(other);
}

}  // namespace
