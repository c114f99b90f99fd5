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
#include <string>

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

const char* FileKindWords(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISFIFO(mode)) return "a named pipe";
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

int OpenRegularFile(const std::string& path, int flags, std::string& why) {
  // O_NONBLOCK: opening a named pipe must not wait for its other end. It means nothing for a
  // regular file, and is cleared again below for anything that reads or writes the descriptor.
  int fd = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    why = strerror(errno);
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    why = strerror(errno);
    close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    why = std::string(FileKindWords(st.st_mode)) + ", not a regular file";
    close(fd);
    return -1;
  }
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}

bool ReadRegularFile(const std::string& path, size_t max_bytes, std::vector<uint8_t>& out, std::string& why) {
  out.clear();
  int fd = OpenRegularFile(path, O_RDONLY, why);
  if (fd < 0) return false;
  struct stat st {};
  if (fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) > max_bytes) {
    why = "larger than " + std::to_string(max_bytes) + " bytes";
    close(fd);
    return false;
  }
  uint8_t buf[65536];
  while (true) {
    ssize_t r = read(fd, buf, sizeof buf);
    if (r < 0) {
      if (errno == EINTR) continue;
      why = strerror(errno);
      close(fd);
      return false;
    }
    if (r == 0) break;
    if (out.size() + static_cast<size_t>(r) > max_bytes) {  // grew while being read
      why = "larger than " + std::to_string(max_bytes) + " bytes";
      close(fd);
      return false;
    }
    out.insert(out.end(), buf, buf + r);
  }
  close(fd);
  return true;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>& out) {
  std::string why;
  return ReadRegularFile(path, SIZE_MAX, out, why);
}

ssize_t FileLayer::Write(int fd, const void* data, size_t n) { return write(fd, data, n); }

int FileLayer::Sync(int fd) { return fsync(fd); }

FileLayer& SystemFileLayer() {
  static FileLayer layer;
  return layer;
}

AppendResult AppendRecords(const std::string& path, const void* data, size_t n, size_t record_size,
                           FileLayer& layer) {
  AppendResult r;
  int fd = OpenRegularFile(path, O_WRONLY | O_APPEND | O_CREAT, r.why);
  if (fd < 0) {
    r.error = errno;
    return r;
  }
  auto fail = [&](int err) {
    r.error = err;
    r.why = strerror(err);
    close(fd);
    return r;
  };
  struct stat st {};
  if (fstat(fd, &st) != 0) return fail(errno);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const uint64_t whole = size - size % record_size;
  if (whole != size) {
    if (ftruncate(fd, static_cast<off_t>(whole)) != 0) return fail(errno);
    r.cut_before = size - whole;
  }
  const auto* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  int err = 0;
  while (done < n) {
    ssize_t w = layer.Write(fd, p + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      err = w < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<size_t>(w);
  }
  if (err != 0) {
    // Keep the whole records this write got in, drop the piece of the one it could not finish.
    const uint64_t keep = whole + (done - done % record_size);
    // Should even this fail, the next append (or the start-up) cuts the partial record off.
    (void)!ftruncate(fd, static_cast<off_t>(keep));
    r.records_written = done / record_size;
    layer.Sync(fd);
    return fail(err);
  }
  r.records_written = n / record_size;
  if (layer.Sync(fd) != 0) return fail(errno);
  if (close(fd) != 0) {
    r.error = errno;
    r.why = strerror(errno);
    return r;
  }
  r.ok = true;
  return r;
}

uint64_t TrimToWholeRecords(const std::string& path, size_t record_size) {
  std::string why;
  int fd = OpenRegularFile(path, O_WRONLY, why);
  if (fd < 0) return 0;
  struct stat st {};
  uint64_t cut = 0;
  if (fstat(fd, &st) == 0) {
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const uint64_t whole = size - size % record_size;
    if (whole != size && ftruncate(fd, static_cast<off_t>(whole)) == 0) {
      cut = size - whole;
      fsync(fd);
    }
  }
  close(fd);
  return cut;
}

namespace {
// About 64 KiB of whole records per read.
constexpr size_t kRecordReadBytes = 64 * 1024;
}  // namespace

RecordFileReader::RecordFileReader(const std::string& path, size_t record_size) : record_size_(record_size) {
  fd_ = OpenRegularFile(path, O_RDONLY, why_);
  if (fd_ < 0) return;
  struct stat st {};
  if (fstat(fd_, &st) == 0) records_at_open_ = static_cast<uint64_t>(st.st_size) / record_size_;
  size_t per_read = kRecordReadBytes / record_size_;
  buf_size_ = (per_read ? per_read : 1) * record_size_;
  buf_ = std::make_unique<uint8_t[]>(buf_size_);
}

RecordFileReader::~RecordFileReader() {
  if (fd_ >= 0) close(fd_);
}

const uint8_t* RecordFileReader::Next() {
  if (fd_ < 0) return nullptr;
  if (at_ + record_size_ <= have_) {
    const uint8_t* rec = buf_.get() + at_;
    at_ += record_size_;
    return rec;
  }
  if (eof_) return nullptr;
  // Whatever is left is less than one record: keep it at the front and fill up behind it.
  size_t left = have_ - at_;
  memmove(buf_.get(), buf_.get() + at_, left);
  have_ = left;
  at_ = 0;
  while (have_ < buf_size_) {
    ssize_t r = read(fd_, buf_.get() + have_, buf_size_ - have_);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      eof_ = true;
      break;
    }
    have_ += static_cast<size_t>(r);
  }
  if (have_ < record_size_) {
    trailing_ = have_;
    have_ = 0;
    return nullptr;
  }
  if (eof_) trailing_ = have_ % record_size_;
  at_ = record_size_;
  return buf_.get();
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

AtomicFile::~AtomicFile() {
  if (fd_ >= 0) ::close(fd_);
  if (!temp_path_.empty()) ::unlink(temp_path_.c_str());
}

void AtomicFile::Fail(const char* what, const std::string& path) {
  if (why_.empty()) {
    error_ = errno;
    why_ = std::string(what) + " '" + path + "': " + strerror(errno);
  }
  failed_ = true;
}

bool AtomicFile::Open(const std::string& final_path, mode_t mode) {
  if (final_path.empty() || fd_ >= 0) return false;
  failed_ = false;
  error_ = 0;
  why_.clear();
  std::string templ = final_path + ".XXXXXX";
  int fd = ::mkostemp(templ.data(), O_CLOEXEC);
  if (fd < 0) {
    Fail("cannot create a file beside", final_path);
    return false;
  }
  struct stat st {};
  ::fchmod(fd, ::stat(final_path.c_str(), &st) == 0 ? (st.st_mode & 07777) : mode);
  fd_ = fd;
  temp_path_ = templ;
  final_path_ = final_path;
  return true;
}

void AtomicFile::Write(const void* data, size_t n) {
  auto* p = static_cast<const uint8_t*>(data);
  while (fd_ >= 0 && !failed_ && n > 0) {
    ssize_t w = ::write(fd_, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EIO;
      Fail("cannot write", temp_path_);
      return;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

bool AtomicFile::Commit() {
  if (fd_ < 0) return false;
  if (!failed_ && ::fsync(fd_) != 0) Fail("cannot sync", temp_path_);
  if (::close(fd_) != 0) Fail("cannot close", temp_path_);
  fd_ = -1;
  if (!failed_ && ::rename(temp_path_.c_str(), final_path_.c_str()) != 0) Fail("cannot replace", final_path_);
  if (failed_) return false;  // the destructor removes the temporary file
  temp_path_.clear();
  // Makes the rename durable.
  const size_t slash = final_path_.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : final_path_.substr(0, slash);
  int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
  return true;
}

bool ReplaceFile(const std::string& path, const std::string& text, std::string& why, mode_t mode) {
  AtomicFile f;
  if (f.Open(path, mode)) {
    f.Write(text.data(), text.size());
    if (f.Commit()) return true;
  }
  why = f.why();
  return false;
}

}  // namespace netward::platform
