#include "platform/registry.h"

#include <algorithm>
#include <cctype>

namespace netward::platform {

namespace {

int FoldChar(unsigned char c) { return std::tolower(c); }

constexpr std::string_view kHklm = "HKEY_LOCAL_MACHINE";

}  // namespace

bool KeyNameEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  return true;
}

bool KeyNameStartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && KeyNameEquals(s.substr(0, prefix.size()), prefix);
}

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return FoldChar(x) < FoldChar(y); });
}

std::string CanonicalKey(std::string_view key) {
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  if (KeyNameStartsWith(key, "HKLM") && (key.size() == 4 || key[4] == '\\'))
    return std::string(kHklm) + std::string(key.substr(4));
  return std::string(key);
}

std::u16string Widen(std::string_view s) {
  std::u16string w;
  for (unsigned char c : s) w.push_back(c);
  return w;
}

std::vector<uint8_t> EncodeMultiStringUtf16(const std::vector<std::u16string>& entries) {
  std::vector<uint8_t> out;
  auto put = [&out](char16_t c) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  };
  for (const auto& e : entries) {
    for (char16_t c : e) put(c);
    put(0);
  }
  put(0);
  return out;
}

// ---- Registry helpers ----

std::optional<std::string> Registry::GetString(std::string_view key, std::string_view name) const {
  auto v = Query(key, name);
  if (!v || (v->type != kRegSz && v->type != kRegExpandSz)) return std::nullopt;
  std::string s(v->data.begin(), v->data.end());
  if (auto nul = s.find('\0'); nul != std::string::npos) s.resize(nul);
  return s;
}

std::optional<uint32_t> Registry::GetDword(std::string_view key, std::string_view name) const {
  auto v = Query(key, name);
  if (!v || v->type != kRegDword || v->data.size() < 4) return std::nullopt;
  const auto& d = v->data;
  return uint32_t(d[0]) | uint32_t(d[1]) << 8 | uint32_t(d[2]) << 16 | uint32_t(d[3]) << 24;
}

std::vector<std::u16string> Registry::GetMultiString(std::string_view key, std::string_view name) const {
  std::vector<std::u16string> out;
  auto v = Query(key, name);
  if (!v || v->type != kRegMultiSz) return out;
  const auto& d = v->data;
  // UTF-16LE when every odd byte of the first entry is zero and the length is even.
  bool utf16 = d.size() >= 2 && d.size() % 2 == 0 && d[1] == 0;
  std::u16string cur;
  if (utf16) {
    for (size_t i = 0; i + 1 < d.size(); i += 2) {
      char16_t c = static_cast<char16_t>(d[i] | d[i + 1] << 8);
      if (c == 0) {
        if (cur.empty()) break;
        out.push_back(cur);
        cur.clear();
      } else {
        cur.push_back(c);
      }
    }
  } else {
    for (uint8_t b : d) {
      if (b == 0) {
        if (cur.empty()) break;
        out.push_back(cur);
        cur.clear();
      } else {
        cur.push_back(b);
      }
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

}  // namespace netward::platform
