// The client's reader of the agent's hand-off file (endpoint and key): whatever it accepts it must
// write back as the same text, up to the key's zero padding.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "taskbar/client_handoff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace netward;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  ClientHandoff h, again;
  std::string err;
  if (!ParseHandoff(text, h, err)) return 0;
  if (h.key.size() > kHandoffKeyBytes || h.local_endpoint.empty()) __builtin_trap();
  if (!ParseHandoff(FormatHandoff(h), again, err) || again.key != h.key || again.local_endpoint != h.local_endpoint)
    __builtin_trap();
  return 0;
}
