// Scratch space for tests: a private directory removed at the end of the scope, a file's text, and
// an environment variable set (or unset) for the scope and put back afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace netward::testing_scratch {

inline std::string ReadText(const std::filesystem::path& path) {
  std::stringstream s;
  s << std::ifstream(path, std::ios::binary).rdbuf();
  return s.str();
}

// Under /tmp with a short name: local socket paths made in it stay well under their 107 bytes.
struct ScratchDir {
  ScratchDir() {
    char tmpl[] = "/tmp/nw-test-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  std::string path;
};

// `value` nullptr: unset for the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* was = getenv(name)) saved_ = was;
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { saved_ ? setenv(name_.c_str(), saved_->c_str(), 1) : unsetenv(name_.c_str()); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

}  // namespace netward::testing_scratch
