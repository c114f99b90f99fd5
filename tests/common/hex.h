// Lower-case hex of a byte run, for golden-bytes comparisons in tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace netward::testing_hex {

inline std::string Hex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) (s += digits[p[i] >> 4]) += digits[p[i] & 15];
  return s;
}

// Bytes [from, from + n) of `b`, cut at its end.
inline std::string Hex(const std::vector<uint8_t>& b, size_t from, size_t n) {
  if (from >= b.size()) return {};
  return Hex(b.data() + from, n < b.size() - from ? n : b.size() - from);
}

}  // namespace netward::testing_hex
