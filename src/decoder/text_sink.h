// Writer for the fixed-width text columns of a decoded line and for the IP work text. Texts are
// cut at the capacity; a text shorter than the capacity is NUL-terminated when the writer goes out
// of scope, and the bytes after the terminator keep what the caller put there. Formatting is done
// here by hand rather than with snprintf: a detail reply decodes hundreds of frames and the digit
// and hex pieces below are all the decoder's formats need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "wire/byte_view.h"

namespace netward::decoder {

class TextSink {
 public:
  // Starts an empty text at p (capacity cap characters).
  TextSink(char* p, size_t cap) : p_(p), cap_(cap) {}
  TextSink(const TextSink&) = delete;
  TextSink& operator=(const TextSink&) = delete;
  ~TextSink() { Terminate(); }

  // Continues the NUL-terminated text already at p (at most cap characters of it).
  static size_t CurrentLength(const char* p, size_t cap) { return strnlen(p, cap); }
  TextSink(char* p, size_t cap, size_t len) : p_(p), cap_(cap), len_(len) {}

  size_t length() const { return len_; }
  bool full() const { return len_ >= cap_; }

  TextSink& Char(char c) {
    if (len_ < cap_) p_[len_++] = c;
    return *this;
  }
  TextSink& Str(const char* s) {
    while (*s && len_ < cap_) p_[len_++] = *s++;
    return *this;
  }
  // n bytes copied as they are (NUL bytes included).
  TextSink& Raw(const char* s, size_t n) {
    for (size_t i = 0; i < n && len_ < cap_; ++i) p_[len_++] = s[i];
    return *this;
  }
  // Removes the last character when it is c.
  TextSink& DropLast(char c) {
    if (len_ && p_[len_ - 1] == c) p_[--len_] = '\0';
    return *this;
  }
  // Unsigned decimal, at least `width` characters, blank-padded on the right ("%-5u").
  TextSink& Dec(uint64_t v, int width = 0) {
    char tmp[20];
    int n = 0;
    do {
      tmp[n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    for (int i = n - 1; i >= 0; --i) Char(tmp[i]);
    for (int i = n; i < width; ++i) Char(' ');
    return *this;
  }
  // Upper-case hexadecimal with at least `digits` digits, zero-padded on the left ("%02X").
  TextSink& Hex(uint32_t v, int digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    char tmp[8];
    int n = 0;
    do {
      tmp[n++] = kDigits[v & 0xF];
      v >>= 4;
    } while (v);
    for (int i = n; i < digits; ++i) Char('0');
    for (int i = n - 1; i >= 0; --i) Char(tmp[i]);
    return *this;
  }
  // n bytes of the view from `off`, two hex digits each, no separators.
  TextSink& HexBytes(ByteView v, size_t off, size_t n) {
    for (size_t i = 0; i < n; ++i) Hex(v.u8(off + i), 2);
    return *this;
  }
  // Dotted decimal IPv4 address from the 4 bytes at `off`.
  TextSink& Ipv4(ByteView v, size_t off) {
    for (size_t i = 0; i < 4; ++i) {
      if (i) Char('.');
      Dec(v.u8(off + i));
    }
    return *this;
  }

 private:
  void Terminate() {
    if (len_ < cap_) p_[len_] = '\0';
  }

  char* p_;
  size_t cap_;
  size_t len_ = 0;
};

// A column written from its start ("Column := text").
template <size_t N>
TextSink SetText(char (&column)[N]) {
  return TextSink(column, N);
}
// A column continued after its current text ("append to column").
template <size_t N>
TextSink AppendText(char (&column)[N]) {
  return TextSink(column, N, TextSink::CurrentLength(column, N));
}

}  // namespace netward::decoder
