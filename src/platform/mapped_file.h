// A regular file mapped for reading, guarded against the file being cut short while it is mapped.
//
// Reading a page of a file mapping that lies wholly past the file's end raises SIGBUS (so does an
// I/O error under the mapping). While a MappedFile is mapped, a SIGBUS at one of its addresses is
// taken by a handler that puts zero pages from that page to the mapping's end and marks the file
// cut; the read that faulted then goes on and gets zeros. Readers look at Cut() and stop there.
// A SIGBUS anywhere else goes to the disposition that was in force before the first mapping (by
// default the process ends with a core, as it would have without the guard).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace netward::platform {

class MappedFile {
 public:
  // Files that may be mapped at the same time; Map refuses more.
  static constexpr int kMaxMapped = 16;

  MappedFile() = default;
  ~MappedFile() { Unmap(); }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Maps bytes [0, size) of `fd` read-only (`fd` stays the caller's). False, with nothing mapped,
  // when `size` is 0, the mapping fails, or kMaxMapped files are mapped already: read the file.
  bool Map(int fd, size_t size);
  void Unmap();

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  // A read met a page past the file's end (the file was cut short, or could not be read there):
  // bytes from that page on read as zeros.
  bool Cut() const { return cut_ != nullptr && cut_->load(std::memory_order_relaxed); }
  // Gives back the pages wholly below `offset`, which will not be read again, so that the process
  // holds about one window of the file however long it is (the pages stay in the page cache).
  void Release(size_t offset);

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t mapped_ = 0;    // size_ rounded up to whole pages
  size_t released_ = 0;  // bytes from the start already given back
  int slot_ = -1;        // in the SIGBUS handler's table
  const std::atomic<bool>* cut_ = nullptr;  // that slot's mark
};

}  // namespace netward::platform
