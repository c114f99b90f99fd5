#include "taskbar/client_handoff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace netward {

namespace {

constexpr char kHex[] = "0123456789abcdef";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of "name=" on the line at `pos`; advances past the line's LF.
bool Line(std::string_view text, size_t& pos, std::string_view name, std::string_view& value) {
  const size_t end = text.find('\n', pos);
  if (end == std::string_view::npos) return false;
  std::string_view line = text.substr(pos, end - pos);
  pos = end + 1;
  if (line.substr(0, name.size()) != name || line.size() <= name.size() + 1 || line[name.size()] != '=') return false;
  value = line.substr(name.size() + 1);
  return true;
}

}  // namespace

std::string FormatHandoff(const ClientHandoff& h) {
  std::string out = "endpoint=" + h.local_endpoint + "\nkey=";
  for (size_t i = 0; i < kHandoffKeyBytes; ++i) {
    const unsigned char b = i < h.key.size() ? static_cast<unsigned char>(h.key[i]) : 0;
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out + "\n";
}

bool ParseHandoff(std::string_view text, ClientHandoff& out, std::string& err) {
  size_t pos = 0;
  std::string_view endpoint, key;
  if (!Line(text, pos, "endpoint", endpoint) || endpoint.find('\0') != std::string_view::npos) {
    err = "the first line is not endpoint=PATH";
    return false;
  }
  if (!Line(text, pos, "key", key) || key.size() != 2 * kHandoffKeyBytes || pos != text.size()) {
    err = "the second and last line is not key= with 32 hex digits";
    return false;
  }
  std::string bytes;
  for (size_t i = 0; i < key.size(); i += 2) {
    const int hi = HexValue(key[i]), lo = HexValue(key[i + 1]);
    if (hi < 0 || lo < 0) {
      err = "the key is not 32 hex digits";
      return false;
    }
    bytes += static_cast<char>(hi << 4 | lo);
  }
  while (!bytes.empty() && bytes.back() == 0) bytes.pop_back();
  out.local_endpoint.assign(endpoint);
  out.key = std::move(bytes);
  return true;
}

std::string WriteHandoffFile(const std::string& dir, const ClientHandoff& h, std::string& err) {
  std::string path = dir + "/netward-console-XXXXXX";
  const int fd = mkstemp(path.data());  // mode 0600, a name nobody else holds
  if (fd < 0) {
    err = "cannot create a file in " + dir + ": " + std::strerror(errno);
    return {};
  }
  const std::string text = FormatHandoff(h);
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int e = errno;
  if (close(fd) != 0 || !ok) {
    err = "cannot write " + path + ": " + std::strerror(ok ? errno : e);
    unlink(path.c_str());
    return {};
  }
  return path;
}

bool TakeHandoffFile(const std::string& path, ClientHandoff& out, std::string& err) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    err = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  unlink(path.c_str());  // read once: the key does not stay on the disk
  struct stat st {};
  std::string text;
  bool ok = fstat(fd, &st) == 0;
  if (!ok || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
    err = path + " is not a file of this user that only this user can read";
    ok = false;
  } else {
    char buf[kHandoffMaxBytes + 1];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0 && text.size() <= kHandoffMaxBytes) text.append(buf, static_cast<size_t>(n));
    if (n < 0 || text.size() > kHandoffMaxBytes) {
      err = "cannot read " + path;
      ok = false;
    }
  }
  close(fd);
  if (ok && !ParseHandoff(text, out, err)) {
    err = path + ": " + err;
    ok = false;
  }
  return ok;
}

std::string HandoffDirectory() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime == '/') return runtime;
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp == '/' ? tmp : "/tmp";
}

}  // namespace netward
