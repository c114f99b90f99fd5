// Frame decoder: turns the stored first bytes of one frame into the text columns of a
// DecodedLine (destination, summary, protocol; source, peer and direction for Token Ring MAC
// frames). Pure functions: no state between calls, no allocation, no locks, so several requests
// may decode at once. Every field is read at its fixed offset through a bounded ByteView.
#pragma once

#include <cstddef>
#include <cstdint>

#include "decoder/decoded_line.h"
#include "wire/byte_view.h"
#include "wire/media.h"

namespace netward::decoder {

inline constexpr size_t kStoredFrameBytes = 256;

// Role of an IPv4 address by the adapter's TCP/IP configuration: "Self", "GW", "DNS", "WINS" or
// "" when the address has none. `ip` is 4 bytes in network order.
class AddressRoleLabels {
 public:
  virtual ~AddressRoleLabels() = default;
  virtual const char* AddressRoleLabel(uint32_t adapter_number, const uint8_t ip[4]) const = 0;
};

// Knows no roles: every address gives "".
class EmptyAddressRoleLabels final : public AddressRoleLabels {
 public:
  const char* AddressRoleLabel(uint32_t, const uint8_t*) const override { return ""; }
};

// The platform's service database: name of a port (host order) for "tcp" or "udp", or null.
// Implementations answer from tables built before the first decode (no I/O per frame).
class ServiceNames {
 public:
  virtual ~ServiceNames() = default;
  virtual const char* ServiceName(uint16_t port, bool tcp) const = 0;
};

// A database without entries.
class NoServiceNames final : public ServiceNames {
 public:
  const char* ServiceName(uint16_t, bool) const override { return nullptr; }
};

// Receives the decoder's console warnings (Token Ring frames of an unexpected type).
using WarningSink = void (*)(const char* text);
// Writes the warning to standard output, the console of the agent.
void ConsoleWarning(const char* text);

struct DecoderContext {
  // The 6-byte MAC address of the adapter selected by the line's AdapterNumber.
  uint8_t own_address[6] = {};
  const AddressRoleLabels* roles = nullptr;  // null: no roles
  const ServiceNames* services = nullptr;    // null: no database
  WarningSink warn = nullptr;                // null: warnings dropped
};

// `LookupServiceName`: the database's name, else "www-http" for port 80, else null.
const char* LookupServiceName(const DecoderContext& ctx, uint16_t port, bool tcp);

// The two media entries; `frame` starts at the destination address (802.3) or at the
// access-control byte (802.5).
void DecodeEthernetFrame(DecodedLine& line, ByteView frame, const DecoderContext& ctx);
void DecodeTokenRingFrame(DecodedLine& line, ByteView frame, const DecoderContext& ctx);

// Chooses the entry by media type (0 = 802.3, 1 = 802.5); any other medium leaves the line as it
// is. `data` holds `size` stored bytes (normally the 256-byte stored area).
void DecodeFrame(DecodedLine& line, const uint8_t* data, size_t size, int32_t media_type,
                 const DecoderContext& ctx);

// The reply builders' entry: `stored` is the 256-byte stored area of a frame entry and
// `frame_length` the frame's length as read (its wire length, which may exceed 256). Bytes at
// and past the frame's length read as zero whatever the area holds, so a ring slot that still
// carries the tail of an older, longer frame decodes exactly as the zero-filled area would.
void DecodeStoredFrame(DecodedLine& line, const uint8_t (&stored)[kStoredFrameBytes],
                       uint32_t frame_length, int32_t media_type, const DecoderContext& ctx);

// Layer decoders, each given the view from the first byte of its header.
void DecodeLlc(DecodedLine& line, ByteView llc, const DecoderContext& ctx);
void DecodeIp(DecodedLine& line, ByteView ip, const DecoderContext& ctx);
void DecodeIpx(DecodedLine& line, ByteView ipx, const DecoderContext& ctx);
void DecodeArp(DecodedLine& line, ByteView arp, const DecoderContext& ctx);
void DecodeNetBiosFrame(DecodedLine& line, ByteView nbf, const DecoderContext& ctx);

}  // namespace netward::decoder
