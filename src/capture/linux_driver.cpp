#include "capture/linux_driver.h"

#include <strings.h>

#include <cctype>
#include <cstring>

#include "capture/live_adapter.h"
#include "capture/replay_adapter.h"
#include "platform/system_registry.h"

namespace netward {

namespace {

std::string Stem(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name.empty() ? "capture" : name;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::vector<std::string> ReplayAdapterNames(const std::vector<std::string>& files) {
  std::vector<std::string> names;
  for (const std::string& f : files) {
    std::string base = Stem(f);
    std::string name = base;
    for (int n = 2;; ++n) {
      bool taken = false;
      for (const std::string& used : names) taken = taken || strcasecmp(used.c_str(), name.c_str()) == 0;
      if (!taken) break;
      name = base + "_" + std::to_string(n);
    }
    names.push_back(name);
  }
  return names;
}

bool ParseMacAddress(const std::string& text, uint8_t (&mac)[6]) {
  int digits[12];
  int count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == ':' || c == '-') continue;
    int d = HexDigit(c);
    if (d < 0 || count == 12) return false;
    digits[count++] = d;
  }
  if (count != 12) return false;
  for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(digits[2 * i] << 4 | digits[2 * i + 1]);
  return true;
}

LinuxPacketDriver::LinuxPacketDriver(const platform::Registry& registry, platform::Clock& clock,
                                     platform::Output& out, std::vector<std::string> replay_files)
    : registry_(registry),
      clock_(clock),
      out_(out),
      replay_files_(std::move(replay_files)),
      replay_names_(ReplayAdapterNames(replay_files_)) {}

std::unique_ptr<PacketDriverHandle> LinuxPacketDriver::Open(const char16_t* device_name) {
  std::string device;
  for (const char16_t* p = device_name; p && *p; ++p) device.push_back(static_cast<char>(*p & 0xFF));
  const size_t prefix = strlen(kDevicePrefix);
  if (device.size() <= prefix || strncasecmp(device.c_str(), kDevicePrefix, prefix) != 0) {
    out_.Printf("Adapter '%s' is not a TapEye device\n", device.c_str());
    return nullptr;
  }
  const std::string name = device.substr(prefix);
  const std::string key = std::string(kAdapterParametersKey) + "\\" + name;

  std::string capture_file;
  for (size_t i = 0; i < replay_names_.size(); ++i)
    if (strcasecmp(replay_names_[i].c_str(), name.c_str()) == 0) capture_file = replay_files_[i];
  if (capture_file.empty()) capture_file = registry_.GetString(key, "CaptureFile").value_or("");
  if (capture_file.empty()) {
    const uint32_t ring_kib = registry_.GetDword(key, kRingSizeValue)
                                  .value_or(registry_.GetDword(kAdapterParametersKey, kRingSizeValue)
                                                .value_or(kDefaultRingKiB));
    if (ring_kib < kMinRingKiB || ring_kib > kMaxRingKiB)
      out_.Printf("Adapter '%s': %s %u is outside %u..%u, taking the nearest\n", name.c_str(), kRingSizeValue,
                  ring_kib, kMinRingKiB, kMaxRingKiB);
    return LiveHandle::Open(name, out_, ring_kib);
  }

  ReplayConfig config;
  std::string pace = registry_.GetString(key, "Pace").value_or("");
  if (strcasecmp(pace.c_str(), "realtime") == 0) {
    config.pace = ReplayPace::kRealtime;
  } else if (!pace.empty() && strcasecmp(pace.c_str(), "fast") != 0) {
    out_.Printf("Adapter '%s': unknown Pace '%s', replaying as fast as possible\n", name.c_str(), pace.c_str());
  }
  if (auto own = registry_.Query(key, "OwnAddress")) {
    if (own->type == platform::kRegBinary && own->data.size() == 6) {
      memcpy(config.own_address, own->data.data(), 6);
      config.have_own_address = true;
    } else if (own->type == platform::kRegSz || own->type == platform::kRegExpandSz) {
      std::string text(own->data.begin(), own->data.end());
      text = text.c_str();  // up to the terminator
      config.have_own_address = ParseMacAddress(text, config.own_address);
    }
    if (!config.have_own_address)
      out_.Printf("Adapter '%s': OwnAddress is not a MAC address, learning it from the file\n", name.c_str());
  }
  return OpenCaptureFile(capture_file, config, clock_, out_);
}

}  // namespace netward
