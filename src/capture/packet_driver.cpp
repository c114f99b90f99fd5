#include "capture/packet_driver.h"

namespace netward {

PacketDriver::~PacketDriver() = default;

void PacketDriver::KeepClosed(std::unique_ptr<PacketDriverHandle> handle) {
  if (!handle) return;
  std::lock_guard<std::mutex> lock(closed_mu_);
  closed_.push_back(std::move(handle));
}

}  // namespace netward
