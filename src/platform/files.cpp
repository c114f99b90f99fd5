#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace netward::platform {

bool MatchPattern(const char* p, const char* s) {
  // Iterative glob with one back-track point: linear in practice, no recursion.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*s) {
    if (*p == '*') {
      star = p++;
      resume = s;
    } else if (*p == '?' || (*p && std::tolower((unsigned char)*p) == std::tolower((unsigned char)*s))) {
      ++p;
      ++s;
    } else if (star) {
      p = star + 1;
      s = ++resume;
    } else {
      return false;
    }
  }
  while (*p == '*') ++p;
  return *p == 0;
}

std::vector<std::string> ListDirectory(const std::string& dir, const char* pattern) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.' && (e->d_name[1] == 0 || (e->d_name[1] == '.' && e->d_name[2] == 0))) continue;
    struct stat st {};
    std::string path = dir + "/" + e->d_name;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (MatchPattern(pattern, e->d_name)) names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

bool AppendFile(const std::string& path, const void* data, size_t n) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const auto* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  bool ok = true;
  while (done < n) {
    ssize_t w = write(fd, p + done, n - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      ok = false;
      break;
    }
    done += static_cast<size_t>(w);
  }
  if (ok && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  return ok;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& out) {
  out.clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  uint8_t buf[65536];
  while (true) {
    ssize_t r = read(fd, buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return false;
    }
    if (r == 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  close(fd);
  return true;
}

std::string OwnProgramDirectory() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = 0;
  char* slash = strrchr(path, '/');
  if (slash == nullptr) return ".";
  *slash = 0;
  return path[0] ? path : "/";
}

std::vector<std::string> PathDirectories() {
  std::vector<std::string> dirs;
  const char* path = getenv("PATH");
  if (path == nullptr) return dirs;
  for (const char* p = path;;) {
    const char* colon = strchr(p, ':');
    std::string dir(p, colon ? static_cast<size_t>(colon - p) : strlen(p));
    dirs.push_back(dir.empty() ? "." : dir);
    if (colon == nullptr) return dirs;
    p = colon + 1;
  }
}

}  // namespace netward::platform
