#include "platform/registry.h"

#include "platform/files.h"
#include "platform/tcpip_view.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace netward::platform {

namespace {

int FoldChar(unsigned char c) { return std::tolower(c); }

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  return true;
}

bool StartsWithI(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && IEquals(s.substr(0, prefix.size()), prefix);
}

constexpr std::string_view kHklm = "HKEY_LOCAL_MACHINE";

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

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return FoldChar(x) < FoldChar(y); });
}

std::string CanonicalKey(std::string_view key) {
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  if (StartsWithI(key, "HKLM") && (key.size() == 4 || key[4] == '\\'))
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

// ---- HiveFile ----

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
      if (!StartsWithI(current_key, "HKEY_"))
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
    } else if (StartsWithI(rest, "dword:")) {
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
    } else if (StartsWithI(rest, "hex")) {
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
  std::string text = Serialize();
  std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot create '" + tmp + "': " + strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = "cannot write '" + tmp + "': " + strerror(errno);
      ::close(fd);
      ::unlink(tmp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    error = "cannot sync '" + tmp + "': " + strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    error = "cannot replace '" + path + "': " + strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
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
  return it != keys_.end() && StartsWithI(it->first, prefix);
}

std::vector<std::string> HiveFile::SubKeys(std::string_view key) const {
  std::string prefix = CanonicalKey(key) + "\\";
  std::vector<std::string> out;
  for (auto it = keys_.lower_bound(prefix); it != keys_.end() && StartsWithI(it->first, prefix); ++it) {
    std::string child = it->first.substr(prefix.size());
    child = child.substr(0, child.find('\\'));
    if (out.empty() || !IEquals(out.back(), child)) out.push_back(child);
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
    if (!IEquals(a->first, b->first) || a->second.size() != b->second.size()) return false;
    for (auto x = a->second.begin(), y = b->second.begin(); x != a->second.end(); ++x, ++y)
      if (!IEquals(x->first, y->first) || x->second.type != y->second.type || x->second.data != y->second.data)
        return false;
  }
  return true;
}

// ---- SystemRegistry ----

std::vector<std::string> ListCapturableInterfaces() {
  std::vector<std::pair<unsigned, std::string>> found;
  DIR* dir = opendir("/sys/class/net");
  if (dir == nullptr) return {};
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::string name = e->d_name;
    std::ifstream flags_file("/sys/class/net/" + name + "/flags");
    unsigned long flags = 0;
    if (!(flags_file >> std::hex >> flags) || (flags & IFF_UP) == 0) continue;
    found.emplace_back(if_nametoindex(name.c_str()), name);
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto& f : found) names.push_back(f.second);
  return names;
}

SystemRegistry::SystemRegistry(std::shared_ptr<const Registry> hive)
    : hive_(std::move(hive)), tcpip_(std::make_shared<TcpipView>()) {
  if (!hive_) hive_ = std::make_shared<HiveFile>();
}

std::shared_ptr<const Registry> SystemRegistry::hive() const {
  std::lock_guard lock(hive_mutex_);
  return hive_;
}

void SystemRegistry::SetHivePath(std::string path) {
  std::lock_guard lock(hive_mutex_);
  hive_path_ = std::move(path);
}

std::string SystemRegistry::hive_path() const {
  std::lock_guard lock(hive_mutex_);
  return hive_path_;
}

bool SystemRegistry::Reload(std::string& error) {
  std::string path;
  {
    std::lock_guard lock(hive_mutex_);
    path = hive_path_;
  }
  if (path.empty()) return true;
  auto fresh = std::make_shared<HiveFile>();
  HiveFile::Error e;
  if (!fresh->Load(path, e)) {
    error = e.message;  // "file:line: what", or what kept the file from being read
    return false;
  }
  std::lock_guard lock(hive_mutex_);
  hive_ = std::move(fresh);
  return true;
}

void SystemRegistry::AddExport(std::u16string device_path) { extra_exports_.push_back(std::move(device_path)); }

void SystemRegistry::SetInterfaceNames(std::vector<std::string> names) { fixed_interfaces_ = std::move(names); }

void SystemRegistry::SetSystemPaths(SystemPaths paths) {
  std::lock_guard lock(module_mutex_);
  paths_ = std::move(paths);
  module_files_.reset();
}

std::vector<std::string> SystemRegistry::InterfaceNames() const {
  return fixed_interfaces_ ? *fixed_interfaces_ : ListCapturableInterfaces();
}

namespace {

// The part of `canon` after `parent` + "\", when that is a single key name.
std::optional<std::string_view> ChildOf(std::string_view canon, std::string_view parent) {
  if (canon.size() <= parent.size() + 1 || !StartsWithI(canon, parent) || canon[parent.size()] != '\\')
    return std::nullopt;
  std::string_view child = canon.substr(parent.size() + 1);
  if (child.find('\\') != std::string_view::npos) return std::nullopt;
  return child;
}

// True when `canon` is `path` or one of its parents.
bool IsKeyOrParent(std::string_view canon, std::string_view path) {
  return StartsWithI(path, canon) && (canon.size() == path.size() || path[canon.size()] == '\\');
}

RegValue TextValue(uint32_t type, std::string_view s) {
  RegValue v{type, {s.begin(), s.end()}};
  v.data.push_back(0);
  return v;
}

// First line of a small sysfs file, without the line end; "" when unreadable.
std::string ReadLine(const std::string& path) {
  std::ifstream f(path);
  std::string line;
  std::getline(f, line);
  return line;
}

std::string LinkBase(const std::string& path) {
  char target[PATH_MAX];
  ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  std::string_view t(target, static_cast<size_t>(n));
  size_t slash = t.rfind('/');
  return std::string(slash == std::string_view::npos ? t : t.substr(slash + 1));
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// "0x8086" -> "8086"; sysfs ids are 16-bit hex.
std::string HexId(std::string s) {
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.erase(0, 2);
  return Upper(s);
}

std::string UeventField(const std::string& dir, std::string_view field) {
  std::ifstream f(dir + "/uevent");
  std::string line;
  while (std::getline(f, line))
    if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 && line[field.size()] == '=')
      return line.substr(field.size() + 1);
  return "";
}

// Describes the device behind an interface from what sysfs offers cheaply: the PCI id, the USB ids
// with the device's own strings, or the bus's vendor and device ids. No id database is read.
void DescribeDevice(const std::string& device, InstalledCard& card) {
  for (const std::string& dir : {device, device + "/.."}) {
    if (std::string pci = UeventField(dir, "PCI_ID"); !pci.empty()) {
      card.description = "PCI " + Upper(pci);
      card.manufacturer = "PCI vendor " + Upper(pci.substr(0, pci.find(':')));
      return;
    }
    std::string vendor = ReadLine(dir + "/idVendor");
    if (!vendor.empty()) {
      std::string ids = "USB " + HexId(vendor) + ":" + HexId(ReadLine(dir + "/idProduct"));
      std::string product = ReadLine(dir + "/product");
      std::string maker = ReadLine(dir + "/manufacturer");
      card.description = product.empty() ? ids : ids + " " + product;
      card.manufacturer = maker.empty() ? "USB vendor " + HexId(vendor) : maker;
      return;
    }
  }
  std::string bus = Upper(LinkBase(device + "/subsystem"));
  std::string vendor = ReadLine(device + "/vendor");
  if (!vendor.empty()) {
    card.description = bus + " " + HexId(vendor) + ":" + HexId(ReadLine(device + "/device"));
    card.manufacturer = bus + " vendor " + HexId(vendor);
  } else {
    card.description = bus + " device " + LinkBase(device);
  }
}

std::string ModuleKey(std::string_view name) {
  std::string k(name);
  std::replace(k.begin(), k.end(), '-', '_');
  return k;
}

// Module files by module name; compressed forms included.
std::map<std::string, std::string> IndexModuleFiles(const std::string& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> index;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    for (std::string_view ext : {".ko", ".ko.xz", ".ko.zst", ".ko.gz"}) {
      if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0) {
        index.emplace(ModuleKey(std::string_view(name).substr(0, name.size() - ext.size())), it->path().string());
        break;
      }
    }
  }
  return index;
}

}  // namespace

std::vector<InstalledCard> ListInstalledCards(const std::string& net_class) {
  std::vector<std::pair<long, InstalledCard>> found;
  DIR* dir = opendir(net_class.c_str());
  if (dir == nullptr) return {};
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::string base = net_class + "/" + e->d_name;
    std::string device = base + "/device";
    struct stat st;
    if (stat(device.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;  // virtual interface
    InstalledCard card;
    card.interface = e->d_name;
    card.driver = LinkBase(device + "/driver/module");
    if (card.driver.empty()) card.driver = LinkBase(device + "/driver");
    DescribeDevice(device, card);
    long index = std::strtol(ReadLine(base + "/ifindex").c_str(), nullptr, 10);
    found.emplace_back(index, std::move(card));
  }
  closedir(dir);
  std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second.interface < b.second.interface;
  });
  std::vector<InstalledCard> cards;
  for (auto& f : found) cards.push_back(std::move(f.second));
  return cards;
}

std::optional<std::string> SystemRegistry::ModuleImagePath(std::string_view module) const {
  if (module.empty() || module.find('/') != std::string_view::npos || module == "." || module == "..")
    return std::nullopt;
  std::string key = ModuleKey(module);
  std::lock_guard lock(module_mutex_);
  if (!module_files_) {
    std::string root = paths_.module_files;
    if (root.empty()) {
      utsname u;
      if (uname(&u) == 0) root = std::string("/lib/modules/") + u.release;
    }
    module_files_ = root.empty() ? std::map<std::string, std::string>{} : IndexModuleFiles(root);
  }
  if (auto it = module_files_->find(key); it != module_files_->end()) return it->second;
  struct stat st;
  if (stat((paths_.sys_module + "/" + key).c_str(), &st) == 0) return std::string();
  for (const InstalledCard& card : ListInstalledCards(paths_.net_class))
    if (IEquals(card.driver, module)) return std::string();
  return std::nullopt;
}

std::optional<RegValue> SystemRegistry::SystemValue(const std::string& canon, std::string_view name) const {
  if (tcpip_->KeyExists(canon)) return tcpip_->Query(canon, name);
  if (auto child = ChildOf(canon, kNetworkCardsKey)) {
    std::vector<InstalledCard> cards = ListInstalledCards(paths_.net_class);
    for (size_t i = 0; i < cards.size(); ++i) {
      if (*child != std::to_string(i + 1)) continue;
      const InstalledCard& c = cards[i];
      if (IEquals(name, "ServiceName")) return TextValue(kRegSz, c.interface);
      if (IEquals(name, "ProductName")) return TextValue(kRegSz, c.driver);
      if (IEquals(name, "Description")) return TextValue(kRegSz, c.description);
      if (IEquals(name, "Manufacturer")) return TextValue(kRegSz, c.manufacturer);
      if (IEquals(name, "Title")) return TextValue(kRegSz, "[" + std::to_string(i + 1) + "] " + c.description);
      return std::nullopt;
    }
    return std::nullopt;
  }
  if (auto child = ChildOf(canon, kServicesKey); child && IEquals(name, "ImagePath")) {
    if (auto path = ModuleImagePath(*child)) return TextValue(kRegExpandSz, *path);
  }
  return std::nullopt;
}

void SystemRegistry::SetTcpipView(std::shared_ptr<const TcpipView> view) { tcpip_ = std::move(view); }

bool SystemRegistry::SystemKeyExists(const std::string& canon) const {
  if (tcpip_->KeyExists(canon)) return true;
  if (IsKeyOrParent(canon, kLinkageKey)) return true;
  if (IsKeyOrParent(canon, kNetworkCardsKey)) return !ListInstalledCards(paths_.net_class).empty();
  if (auto child = ChildOf(canon, kNetworkCardsKey)) {
    size_t cards = ListInstalledCards(paths_.net_class).size();
    for (size_t n = 1; n <= cards; ++n)
      if (*child == std::to_string(n)) return true;
    return false;
  }
  if (auto child = ChildOf(canon, kServicesKey)) return ModuleImagePath(*child).has_value();
  return false;
}

std::optional<RegValue> SystemRegistry::Query(std::string_view key, std::string_view name) const {
  std::string canon = CanonicalKey(key);
  if (IEquals(canon, kLinkageKey) && IEquals(name, "Export")) {
    // Capture files (command line, then hive), then the interfaces (the hive's list or the scan).
    std::vector<std::u16string> entries;
    const auto hive = this->hive();
    auto same = [](const std::u16string& a, const std::u16string& b) {
      auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
      return true;
    };
    auto add = [&entries, &same](const std::u16string& e) {
      for (const auto& have : entries)
        if (same(have, e)) return;
      entries.push_back(e);
    };
    for (const auto& e : extra_exports_) add(e);
    for (const auto& adapter : hive->SubKeys(kDriverParametersKey))
      if (hive->Query(std::string(kDriverParametersKey) + "\\" + adapter, "CaptureFile"))
        add(Widen(kDevicePrefix) + Widen(adapter));
    std::vector<std::u16string> interfaces;
    if (hive->Query(key, name)) {
      interfaces = hive->GetMultiString(key, name);
    } else {
      for (const auto& ifname : InterfaceNames()) interfaces.push_back(Widen(kDevicePrefix) + Widen(ifname));
    }
    // An interface the hive gives a capture file is listed once, with the capture files.
    for (const auto& e : interfaces) add(e);
    return RegValue{kRegMultiSz, EncodeMultiStringUtf16(entries)};
  }
  if (auto v = hive()->Query(key, name)) return v;
  return SystemValue(canon, name);
}

bool SystemRegistry::KeyExists(std::string_view key) const {
  return hive()->KeyExists(key) || SystemKeyExists(CanonicalKey(key));
}

std::vector<std::string> SystemRegistry::ValueNames(std::string_view key) const { return hive()->ValueNames(key); }

std::vector<std::string> SystemRegistry::SubKeys(std::string_view key) const {
  std::vector<std::string> names = hive()->SubKeys(key);
  if (IEquals(CanonicalKey(key), kNetworkCardsKey)) {
    size_t cards = ListInstalledCards(paths_.net_class).size();
    for (size_t n = 1; n <= cards; ++n) names.push_back(std::to_string(n));
    std::sort(names.begin(), names.end(), CaseInsensitiveLess());
    names.erase(std::unique(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
                  return IEquals(a, b);
                }),
                names.end());
  }
  return names;
}

}  // namespace netward::platform
