// The Linux packet driver: capture files and live capture (TPACKET_V3) behind the driver contract.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/packet_driver.h"
#include "platform/clock.h"
#include "platform/output.h"
#include "platform/registry.h"

namespace netward {

// Adapter names given to `--replay` files: each file's stem, made unique with "_2", "_3", ...
std::vector<std::string> ReplayAdapterNames(const std::vector<std::string>& files);

// The Linux driver: a capture-file adapter when the name is one of the replay files or its
// parameters key names a `CaptureFile`, else live capture on the interface of that name.
class LinuxPacketDriver : public PacketDriver {
 public:
  LinuxPacketDriver(const platform::Registry& registry, platform::Clock& clock, platform::Output& out,
                    std::vector<std::string> replay_files);
  std::unique_ptr<PacketDriverHandle> Open(const char16_t* device_name) override;

 private:
  const platform::Registry& registry_;
  platform::Clock& clock_;
  platform::Output& out_;
  std::vector<std::string> replay_files_;
  std::vector<std::string> replay_names_;
};

// "00:60:08:00:00:0a", "00-60-08-00-00-0A" or 12 bare hex digits.
bool ParseMacAddress(const std::string& text, uint8_t (&mac)[6]);

}  // namespace netward
