// File operations the agent needs: directory listing with a wildcard pattern, regular files opened
// without waiting, whole-record appends that never leave a partial record behind them, and record
// files read a piece at a time.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace netward::platform {

// Wildcard match as the platform's file search does it: '*' any run, '?' one character, letters
// compared case-insensitively.
bool MatchPattern(const char* pattern, const char* name);

// Names (not paths) of the regular files in `dir` that match `pattern`, sorted.
std::vector<std::string> ListDirectory(const std::string& dir, const char* pattern);

// What a file that is not a regular one is, in words: "a named pipe", "a directory", ...
const char* FileKindWords(mode_t mode);

// Opens `path` with `flags` (O_RDONLY, or O_WRONLY with O_APPEND and O_CREAT) without waiting: a
// named pipe with nobody at the other end, a device or a directory is refused rather than opened
// or waited on. Returns a close-on-exec descriptor of a regular file, or -1 with `why` in words
// (the system's error text, or "a named pipe, not a regular file").
int OpenRegularFile(const std::string& path, int flags, std::string& why);

// Whole contents of a regular file of at most `max_bytes`; false (with `why`) otherwise.
bool ReadRegularFile(const std::string& path, size_t max_bytes, std::vector<uint8_t>& out, std::string& why);
// The same without a reason and without a size limit of its own.
bool ReadFile(const std::string& path, std::vector<uint8_t>& out);

// The system calls behind an append, so that tests can make a write fail part-way.
class FileLayer {
 public:
  virtual ~FileLayer() = default;
  virtual ssize_t Write(int fd, const void* data, size_t n);
  virtual int Sync(int fd);
};
FileLayer& SystemFileLayer();

struct AppendResult {
  bool ok = false;
  int error = 0;              // errno of the failure (0 when `why` names a file that is not regular)
  std::string why;            // the failure in words
  uint64_t cut_before = 0;    // bytes of a partial last record removed before the append
  size_t records_written = 0; // whole records that are in the file after the call
};

// Appends `n` bytes of whole `record_size`-byte records to a regular file, creating it, and syncs.
// What is guaranteed: the file holds whole records only whenever this returns. A file found ending
// in a partial record (a crash mid-write) is first cut back to its whole records; a write that
// fails part-way (a full disk) is cut back to the last whole record it wrote, so later appends stay
// aligned. A crash or power cut during the call can still leave a partial last record; readers
// ignore it and the next append (or TrimToWholeRecords at start-up) removes it. Records of earlier
// successful calls are on disk.
AppendResult AppendRecords(const std::string& path, const void* data, size_t n, size_t record_size,
                           FileLayer& layer = SystemFileLayer());

// Cuts a regular file back to whole `record_size`-byte records; the bytes removed (0 when it was
// whole, is missing or is not a regular file).
uint64_t TrimToWholeRecords(const std::string& path, size_t record_size);

// Reads a file of fixed-size records front to back through a bounded buffer, never the whole file
// at once. Only regular files are read (see OpenRegularFile).
class RecordFileReader {
 public:
  RecordFileReader(const std::string& path, size_t record_size);
  ~RecordFileReader();
  RecordFileReader(const RecordFileReader&) = delete;
  RecordFileReader& operator=(const RecordFileReader&) = delete;

  bool opened() const { return fd_ >= 0; }
  const std::string& why() const { return why_; }
  // Whole records in the file when it was opened.
  uint64_t RecordsAtOpen() const { return records_at_open_; }
  // The next whole record (valid until the next call), or null at the end of the whole records.
  const uint8_t* Next();
  // Bytes after the last whole record once Next has returned null (a record cut short).
  size_t trailing_bytes() const { return trailing_; }

 private:
  int fd_ = -1;
  std::string why_;
  size_t record_size_;
  uint64_t records_at_open_ = 0;
  std::unique_ptr<uint8_t[]> buf_;
  size_t buf_size_ = 0;
  size_t have_ = 0;  // bytes in buf_
  size_t at_ = 0;    // next record's offset in buf_
  bool eof_ = false;
  size_t trailing_ = 0;
};

// A file replaced as a whole: written to a temporary file beside its final name, then synced and
// renamed over it, with the directory synced too, so that a crash at any moment leaves either the
// old file or the new one whole. A new file gets `mode`; an existing one keeps its own.
class AtomicFile {
 public:
  AtomicFile() = default;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();  // a file never committed is removed

  bool Open(const std::string& final_path, mode_t mode = 0644);
  // A failed write is remembered; later writes are skipped and Commit fails.
  void Write(const void* data, size_t n);
  bool Commit();
  // The first failure in words ("cannot create '...': ..."), once Open or Commit has failed.
  const std::string& why() const { return why_; }
  int error() const { return error_; }  // errno of that failure

 private:
  void Fail(const char* what, const std::string& path);

  int fd_ = -1;
  bool failed_ = false;
  int error_ = 0;
  std::string why_;
  std::string temp_path_;
  std::string final_path_;
};

// Writes `text` as the whole new contents of `path` through an AtomicFile; false with `why`.
bool ReplaceFile(const std::string& path, const std::string& text, std::string& why, mode_t mode = 0644);

// Where programs started by the agent are looked for: the directory of the agent's own executable
// ("." when it cannot be told), and the directories of $PATH in order (an empty entry is ".").
std::string OwnProgramDirectory();
std::vector<std::string> PathDirectories();

}  // namespace netward::platform
