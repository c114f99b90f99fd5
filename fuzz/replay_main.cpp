// Runs a fuzz target's entry over saved inputs, without libFuzzer: each argument is a file or a
// directory of files. The plain and sanitizer builds use it to replay fuzz/regressions/<target>.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int RunFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  printf("ran %s (%zu bytes)\n", path.c_str(), bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int failures = 0, inputs = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st {};
    if (stat(argv[i], &st) == 0 && S_ISDIR(st.st_mode)) {
      DIR* dir = opendir(argv[i]);
      while (dirent* e = dir ? readdir(dir) : nullptr) {
        if (e->d_name[0] == '.') continue;
        failures += RunFile(std::string(argv[i]) + "/" + e->d_name);
        ++inputs;
      }
      if (dir) closedir(dir);
    } else {
      failures += RunFile(argv[i]);
      ++inputs;
    }
  }
  printf("%d inputs\n", inputs);
  return failures == 0 && inputs > 0 ? 0 : 1;
}
