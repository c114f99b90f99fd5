// The metrics endpoint's handling of outside texts: the address setting, and station and adapter
// texts learnt from the wire (any bytes) in the exposition. The exposition must stay valid UTF-8
// with one sample or comment per line, whatever the texts hold.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "metrics/exposition.h"
#include "metrics/metrics_address.h"

namespace {

bool ValidUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

// Each line a comment or `name{labels} value` whose quotes pair up outside escapes.
bool WellFormed(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    if (end == std::string::npos) return false;
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty() || line[0] == '#') continue;
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
      if (quoted && line[i] == '\\') ++i;
      else if (line[i] == '"') quoted = !quoted;
    }
    if (quoted || line.find(' ') == std::string::npos) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace netward;
  if (size == 0) return 0;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  if (data[0] % 2 == 0) {
    MetricsEndpoint ep;
    std::string why;
    if (ParseMetricsAddress(text, ep, why)) {
      if (ep.port == 0) __builtin_trap();
      MetricsEndpoint again;
      if (!ParseMetricsAddress(ep.ToString(), again, why) || again.ToString() != ep.ToString()) __builtin_trap();
    } else if (why.empty()) {
      __builtin_trap();
    }
    return 0;
  }
  static GlobalArea* g = [] {
    GlobalArea* area = AllocateGlobalArea();
    area->Nics[0] = AllocateNicArea();
    area->NicCount = 1;
    return area;
  }();
  NicArea& nic = *g->Nics[0];
  nic.AdapterName.Set(text.c_str());
  nic.StationCount = 3;
  for (int i = 0; i < 3; ++i) {
    const char* piece = text.c_str() + std::min(text.size(), size_t(i) * 7);
    nic.Stations[i].AddressLabel.Set(piece);
    nic.Stations[i].ProtocolLabel.Set(piece);
    nic.Stations[i].Name.Set(piece);
    nic.Stations[i].BytesSent = float(i);
  }
  std::string out;
  for (ExpositionFormat f : {ExpositionFormat::kPrometheusText, ExpositionFormat::kOpenMetrics}) {
    WriteExposition({g, 0, 3}, f, out);
    if (!ValidUtf8(out) || !WellFormed(out)) __builtin_trap();
  }
  return 0;
}
