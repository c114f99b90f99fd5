// Hive parser: any bytes either parse or fail with a line number; a parsed hive serialises and
// parses back to the same contents.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/hive_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using netward::platform::HiveFile;
  HiveFile hive;
  HiveFile::Error err;
  if (!hive.Parse(std::string_view(reinterpret_cast<const char*>(data), size), err)) return 0;
  HiveFile back;
  if (!back.Parse(hive.Serialize(), err) || !(back == hive)) abort();
  return 0;
}
