// Text reports are built by appending printf-style pieces to a NUL-terminated text in an area of
// stated size: what does not fit before the area's last byte is cut, never written past it.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace netward::platform {

class TextArea {
 public:
  // Continues the text already in the area (the area's first `size` bytes at most).
  TextArea(char* area, size_t size) : area_(area), size_(size), len_(size ? strnlen(area, size - 1) : 0) {
    if (size_) area_[len_] = 0;
  }

  void Append(const char* s) {
    if (size_ == 0) return;
    size_t n = strlen(s);
    if (n > size_ - 1 - len_) n = size_ - 1 - len_;
    memcpy(area_ + len_, s, n);
    len_ += n;
    area_[len_] = 0;
  }
  void Appendf(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (size_ == 0 || len_ + 1 >= size_) return;
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(area_ + len_, size_ - len_, fmt, ap);
    va_end(ap);
    if (n > 0) len_ += static_cast<size_t>(n) < size_ - 1 - len_ ? static_cast<size_t>(n) : size_ - 1 - len_;
  }

  const char* text() const { return area_; }
  size_t length() const { return len_; }
  bool empty() const { return len_ == 0; }
  // Where a producer that fills an area of its own may continue the text, and the room it has.
  char* End() const { return area_ + len_; }
  size_t Room() const { return size_ - len_; }

 private:
  char* area_;
  size_t size_;
  size_t len_;
};

}  // namespace netward::platform
