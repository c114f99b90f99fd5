#include "text_table.h"

#include <algorithm>
#include <cstdio>

#include "reply_format.h"

namespace netward::client {

std::string Num(uint32_t v) { return std::to_string(v); }
std::string Num(int32_t v) { return std::to_string(v); }
std::string Num(float v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.0f", static_cast<double>(v));
  return buf;
}

std::string Cell(const std::string& s) {
  std::string t = s;
  for (char& c : t)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '.';
  return Latin1ToUtf8(t);
}

size_t Width(const std::string& utf8) {
  size_t w = 0;
  for (unsigned char c : utf8)
    if ((c & 0xC0) != 0x80) ++w;
  return w;
}

Table::Table(std::vector<std::string> headers) {
  for (std::string& h : headers) {
    const bool right = !h.empty() && h[0] == '>';
    right_.push_back(right);
    head_.push_back(right ? h.substr(1) : h);
  }
}

void Table::Render(std::string& out) const {
  std::vector<size_t> w(head_.size(), 0);
  auto measure = [&](const std::vector<std::string>& r) {
    for (size_t i = 0; i < r.size() && i < w.size(); ++i) w[i] = std::max(w[i], Width(r[i]));
  };
  measure(head_);
  for (const auto& r : rows_) measure(r);
  auto line = [&](const std::vector<std::string>& r) {
    std::string l;
    for (size_t i = 0; i < w.size(); ++i) {
      const std::string c = i < r.size() ? r[i] : std::string();
      std::string pad(w[i] - Width(c), ' ');
      if (i > 0) l += "  ";
      l += right_[i] ? pad + c : c + pad;
    }
    while (!l.empty() && l.back() == ' ') l.pop_back();
    out += l + "\n";
  };
  line(head_);
  std::vector<std::string> rule;
  for (size_t x : w) rule.push_back(std::string(x, '-'));
  line(rule);
  for (const auto& r : rows_) line(r);
}

}  // namespace netward::client
