// The platform's service database, read once into a fixed table so that port naming does no I/O
// and takes no lock while a frame is decoded.
#pragma once

#include <cstdint>
#include <memory>

#include "decoder/decoder.h"

namespace netward::decoder {

class SystemServiceNames final : public ServiceNames {
 public:
  // Reads every entry of the service database (getservent); the first entry of a port and
  // protocol wins, as getservbyport answers.
  SystemServiceNames();
  const char* ServiceName(uint16_t port, bool tcp) const override;

 private:
  // Index into names_ + 1 per port, one table per protocol; 0 = no entry.
  std::unique_ptr<uint16_t[]> index_[2];
  std::unique_ptr<char[]> names_;
};

// A small fixed table, for tests and tools that want names independent of the host.
class FixedServiceNames final : public ServiceNames {
 public:
  struct Entry {
    uint16_t port;
    bool tcp;
    const char* name;
  };
  FixedServiceNames(const Entry* entries, size_t count) : entries_(entries), count_(count) {}
  const char* ServiceName(uint16_t port, bool tcp) const override {
    for (size_t i = 0; i < count_; ++i)
      if (entries_[i].port == port && entries_[i].tcp == tcp) return entries_[i].name;
    return nullptr;
  }

 private:
  const Entry* entries_;
  size_t count_;
};

}  // namespace netward::decoder
