#include "platform/hive_file.h"

#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace netward::platform {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// Parses a quoted string starting at s[0] == '"'; returns the index after the closing quote or npos.
size_t ParseQuoted(std::string_view s, std::string& out) {
  out.clear();
  for (size_t i = 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\\') {
      if (i + 1 >= s.size()) return std::string_view::npos;
      out.push_back(s[++i]);
    } else if (c == '"') {
      return i + 1;
    } else {
      out.push_back(c);
    }
  }
  return std::string_view::npos;
}

bool ParseHexList(std::string_view s, std::vector<uint8_t>& out, std::string& err) {
  out.clear();
  s = Trim(s);
  if (s.empty()) return true;
  size_t i = 0;
  while (true) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i + 1 >= s.size() + 0 && i >= s.size()) {
      err = "expected a hex byte";
      return false;
    }
    int hi = HexDigit(s[i]);
    int lo = i + 1 < s.size() ? HexDigit(s[i + 1]) : -1;
    if (hi < 0 || lo < 0) {
      err = "bad hex byte near '" + std::string(s.substr(i, 4)) + "'";
      return false;
    }
    out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    i += 2;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i == s.size()) return true;
    if (s[i] != ',') {
      err = "expected ',' between hex bytes";
      return false;
    }
    ++i;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    if (i == s.size()) return true;  // a trailing comma is allowed
  }
}

void AppendEscaped(std::string& out, std::string_view s) {
  out.push_back('"');
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

}  // namespace

bool HiveFile::Parse(std::string_view text, Error& error) {
  decltype(keys_) parsed;
  error = {};
  int line_no = 0;
  size_t pos = 0;
  bool header_seen = false;
  std::string current_key;
  auto fail = [&](int line, std::string msg) {
    error.line = line;
    error.message = std::move(msg);
    return false;
  };
  // Strip a UTF-8 byte-order mark.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") pos = 3;

  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    bool last = eol == std::string_view::npos;
    std::string_view raw = text.substr(pos, last ? std::string_view::npos : eol - pos);
    pos = last ? text.size() : eol + 1;
    ++line_no;
    if (raw.size() > kMaxLineBytes) return fail(line_no, "line longer than 64 KiB");
    std::string_view line = Trim(raw);
    if (!header_seen) {
      if (line.empty()) continue;
      if (line != "REGEDIT4" && line != "Windows Registry Editor Version 5.00")
        return fail(line_no, "missing REGEDIT4 header");
      header_seen = true;
      continue;
    }
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      if (line.back() != ']') return fail(line_no, "key name without closing ']'");
      std::string_view name = line.substr(1, line.size() - 2);
      if (name.empty()) return fail(line_no, "empty key name");
      current_key = CanonicalKey(name);
      if (!KeyNameStartsWith(current_key, "HKEY_"))
        return fail(line_no, "key must begin with a root such as HKEY_LOCAL_MACHINE");
      parsed[current_key];
      continue;
    }
    if (current_key.empty()) return fail(line_no, "value outside any key");
    // Value line: "name"=data or @=data. Hex data may continue on following lines ending in '\'.
    int value_line = line_no;
    std::string name;
    size_t after;
    if (line[0] == '@') {
      after = 1;
    } else if (line[0] == '"') {
      after = ParseQuoted(line, name);
      if (after == std::string_view::npos) return fail(line_no, "value name without closing quote");
    } else {
      return fail(line_no, "expected a [key], a \"name\"=value or @=value");
    }
    std::string_view rest = Trim(line.substr(after));
    if (rest.empty() || rest[0] != '=') return fail(line_no, "expected '=' after the value name");
    rest = Trim(rest.substr(1));
    RegValue value;
    if (!rest.empty() && rest[0] == '"') {
      std::string s;
      size_t end = ParseQuoted(rest, s);
      if (end == std::string_view::npos) return fail(line_no, "string without closing quote");
      if (!Trim(rest.substr(end)).empty()) return fail(line_no, "text after the closing quote");
      value.type = kRegSz;
      value.data.assign(s.begin(), s.end());
      value.data.push_back(0);
    } else if (KeyNameStartsWith(rest, "dword:")) {
      std::string_view digits = Trim(rest.substr(6));
      if (digits.empty() || digits.size() > 8) return fail(line_no, "dword needs 1 to 8 hex digits");
      uint32_t v = 0;
      for (char c : digits) {
        int h = HexDigit(c);
        if (h < 0) return fail(line_no, "bad hex digit in dword");
        v = v << 4 | static_cast<uint32_t>(h);
      }
      value.type = kRegDword;
      value.data = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    } else if (KeyNameStartsWith(rest, "hex")) {
      std::string_view type_text = rest.substr(3);
      uint32_t type = kRegBinary;
      if (!type_text.empty() && type_text[0] == '(') {
        size_t close = type_text.find(')');
        if (close == std::string_view::npos || close == 1 || close > 9)
          return fail(line_no, "bad hex(type) value type");
        type = 0;
        for (char c : type_text.substr(1, close - 1)) {
          int h = HexDigit(c);
          if (h < 0) return fail(line_no, "bad hex(type) value type");
          type = type << 4 | static_cast<uint32_t>(h);
        }
        type_text = type_text.substr(close + 1);
      }
      if (type_text.empty() || type_text[0] != ':') return fail(line_no, "expected ':' after hex");
      std::string joined(Trim(type_text.substr(1)));
      while (!joined.empty() && joined.back() == '\\') {
        joined.pop_back();
        if (pos >= text.size()) return fail(line_no, "file ends inside a continued hex value");
        size_t next = text.find('\n', pos);
        std::string_view cont = text.substr(pos, next == std::string_view::npos ? std::string_view::npos : next - pos);
        pos = next == std::string_view::npos ? text.size() : next + 1;
        ++line_no;
        if (cont.size() > kMaxLineBytes) return fail(line_no, "line longer than 64 KiB");
        joined += Trim(cont);
        if (joined.size() > 16 * kMaxLineBytes) return fail(line_no, "hex value too long");
      }
      std::string err;
      if (!ParseHexList(joined, value.data, err)) return fail(line_no, err);
      value.type = type;
    } else {
      return fail(value_line, "unknown value type '" + std::string(rest.substr(0, 16)) + "'");
    }
    parsed[current_key][name] = std::move(value);
  }
  if (!header_seen) return fail(0, "empty file: no REGEDIT4 header");
  keys_ = std::move(parsed);
  return true;
}

bool HiveFile::Load(const std::string& path, Error& error) {
  // Regular files only, opened without waiting: a named pipe or a device is refused in words.
  std::vector<uint8_t> bytes;
  std::string why;
  if (!ReadRegularFile(path, kMaxFileBytes, bytes, why)) {
    error = {0, "cannot open '" + path + "': " + why};
    return false;
  }
  if (!Parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), error)) {
    error.message = path + ":" + std::to_string(error.line) + ": " + error.message;
    return false;
  }
  return true;
}

std::string HiveFile::Serialize() const {
  std::string out = "REGEDIT4\n";
  char buf[16];
  for (const auto& [key, values] : keys_) {
    out += "\n[" + key + "]\n";
    for (const auto& [name, v] : values) {
      if (name.empty()) out += "@";
      else AppendEscaped(out, name);
      out += "=";
      bool plain_string = v.type == kRegSz && !v.data.empty() && v.data.back() == 0 &&
                          std::find(v.data.begin(), v.data.end() - 1, 0) == v.data.end() - 1 &&
                          std::none_of(v.data.begin(), v.data.end() - 1, [](uint8_t c) { return c == '\n' || c == '\r'; });
      if (plain_string) {
        AppendEscaped(out, std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1));
      } else if (v.type == kRegDword && v.data.size() == 4) {
        uint32_t d = uint32_t(v.data[0]) | uint32_t(v.data[1]) << 8 | uint32_t(v.data[2]) << 16 | uint32_t(v.data[3]) << 24;
        snprintf(buf, sizeof buf, "dword:%08x", d);
        out += buf;
      } else {
        if (v.type == kRegBinary) {
          out += "hex:";
        } else {
          snprintf(buf, sizeof buf, "hex(%x):", v.type);
          out += buf;
        }
        // 25 bytes per line keeps lines short, continued with a trailing backslash.
        for (size_t i = 0; i < v.data.size(); ++i) {
          snprintf(buf, sizeof buf, "%02x", v.data[i]);
          out += buf;
          if (i + 1 < v.data.size()) {
            out += ",";
            if ((i + 1) % 25 == 0) out += "\\\n  ";
          }
        }
      }
      out += "\n";
    }
  }
  return out;
}

bool HiveFile::Save(const std::string& path, std::string& error) const {
  return ReplaceFile(path, Serialize(), error);
}

void HiveFile::Set(std::string_view key, std::string_view name, RegValue value) {
  keys_[CanonicalKey(key)][std::string(name)] = std::move(value);
}

void HiveFile::SetString(std::string_view key, std::string_view name, std::string_view s) {
  RegValue v{kRegSz, {s.begin(), s.end()}};
  v.data.push_back(0);
  Set(key, name, std::move(v));
}

void HiveFile::SetDword(std::string_view key, std::string_view name, uint32_t d) {
  Set(key, name, RegValue{kRegDword, {uint8_t(d), uint8_t(d >> 8), uint8_t(d >> 16), uint8_t(d >> 24)}});
}

void HiveFile::CreateKey(std::string_view key) { keys_[CanonicalKey(key)]; }

std::optional<RegValue> HiveFile::Query(std::string_view key, std::string_view name) const {
  auto k = keys_.find(CanonicalKey(key));
  if (k == keys_.end()) return std::nullopt;
  auto v = k->second.find(std::string(name));
  if (v == k->second.end()) return std::nullopt;
  return v->second;
}

bool HiveFile::KeyExists(std::string_view key) const {
  std::string canon = CanonicalKey(key);
  if (keys_.count(canon)) return true;
  // A key also exists when a deeper key names it as a parent.
  std::string prefix = canon + "\\";
  auto it = keys_.lower_bound(prefix);
  return it != keys_.end() && KeyNameStartsWith(it->first, prefix);
}

std::vector<std::string> HiveFile::SubKeys(std::string_view key) const {
  std::string prefix = CanonicalKey(key) + "\\";
  std::vector<std::string> out;
  for (auto it = keys_.lower_bound(prefix); it != keys_.end() && KeyNameStartsWith(it->first, prefix); ++it) {
    std::string child = it->first.substr(prefix.size());
    child = child.substr(0, child.find('\\'));
    if (out.empty() || !KeyNameEquals(out.back(), child)) out.push_back(child);
  }
  return out;
}

std::vector<std::string> HiveFile::ValueNames(std::string_view key) const {
  std::vector<std::string> out;
  auto it = keys_.find(CanonicalKey(key));
  if (it == keys_.end()) return out;
  for (const auto& [name, value] : it->second) out.push_back(name);
  return out;
}

bool HiveFile::operator==(const HiveFile& other) const {
  if (keys_.size() != other.keys_.size()) return false;
  for (auto a = keys_.begin(), b = other.keys_.begin(); a != keys_.end(); ++a, ++b) {
    if (!KeyNameEquals(a->first, b->first) || a->second.size() != b->second.size()) return false;
    for (auto x = a->second.begin(), y = b->second.begin(); x != a->second.end(); ++x, ++y)
      if (!KeyNameEquals(x->first, y->first) || x->second.type != y->second.type || x->second.data != y->second.data)
        return false;
  }
  return true;
}

}  // namespace netward::platform
