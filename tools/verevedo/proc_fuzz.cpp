// The /proc network table and resolv.conf readers on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "proc_tables.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string out;
  verevedo::FormatRoutes(text, out);
  verevedo::FormatRoutes6(text, out);
  verevedo::FormatArp(text, out);
  verevedo::FormatTcp(text, false, out);
  verevedo::FormatTcp(text, true, out);
  verevedo::ParseResolvConf(text);
  return 0;
}
