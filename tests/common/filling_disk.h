// A file layer over the real one whose disk fills up: writes go through until `room` bytes have
// been written, the write that reaches the limit is cut short, and every later write fails with
// `error` (ENOSPC unless set) until room is given again.
#pragma once

#include <cerrno>
#include <cstdint>

#include "platform/files.h"

namespace netward::testing_files {

class FillingDisk : public platform::FileLayer {
 public:
  explicit FillingDisk(size_t room_bytes = SIZE_MAX, int fail_with = ENOSPC) : room(room_bytes), error(fail_with) {}
  ssize_t Write(int fd, const void* data, size_t n) override {
    if (room == 0) {
      errno = error;
      return -1;
    }
    size_t now = n < room ? n : room;
    room -= now;
    return FileLayer::Write(fd, data, now);
  }
  size_t room;
  int error;
};

}  // namespace netward::testing_files
