// libFuzzer target for the frame decoder. Input: one byte whose low bit picks the medium
// (0 = 802.3, 1 = 802.5), then the stored frame bytes (at most 256 are used). The frame is
// decoded from a view of exactly the given bytes (reads past them must yield zeros), from the
// zero-filled 256-byte stored area and from a stored area with stale bytes behind the frame
// bounded by the frame's length, and the three lines must be equal; the line must also
// survive a serialise/parse round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "decoder/decoder.h"
#include "decoder/service_names.h"

namespace {

using namespace netward::decoder;

class FuzzRoles final : public AddressRoleLabels {
 public:
  const char* AddressRoleLabel(uint32_t, const uint8_t ip[4]) const override {
    return ip[3] == 1 ? "GW" : ip[3] == 7 ? "Self" : "";
  }
};

constexpr FixedServiceNames::Entry kNames[] = {
    {53, false, "domain"}, {137, false, "netbios-ns"}, {138, false, "netbios-dgm"},
    {139, true, "netbios-ssn"}, {20, true, "a-rather-long-service-name-of-32-chars"},
};

void Prepare(DecodedLine& line) {
  LineHeader h;
  h.adapter_number = 1;
  h.source_label = "00A0C97FA4AE";
  h.proto_label = "IP 10.1.2.3";
  PrepareDecodedLine(line, h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const FuzzRoles roles;
  static const FixedServiceNames names(kNames, sizeof kNames / sizeof kNames[0]);
  DecoderContext ctx;
  const uint8_t own[6] = {0x00, 0x60, 0x08, 0x00, 0x00, 0x0A};
  memcpy(ctx.own_address, own, 6);
  ctx.roles = &roles;
  ctx.services = &names;

  const int32_t media = data[0] & 1;
  const uint8_t* frame = data + 1;
  const size_t n = size - 1 < kStoredFrameBytes ? size - 1 : kStoredFrameBytes;

  // An exact-size heap copy, so that ASan sees any read past the given bytes.
  uint8_t* exact = static_cast<uint8_t*>(malloc(n ? n : 1));
  memcpy(exact, frame, n);
  uint8_t stored[kStoredFrameBytes] = {};
  memcpy(stored, frame, n);

  // A reused ring slot: the older frame's tail behind this one must not show.
  uint8_t reused[kStoredFrameBytes];
  memset(reused, 0xA5, sizeof reused);
  memcpy(reused, frame, n);

  DecodedLine a, b, c;
  Prepare(a);
  Prepare(b);
  Prepare(c);
  DecodeFrame(a, exact, n, media, ctx);
  DecodeFrame(b, stored, sizeof stored, media, ctx);
  DecodeStoredFrame(c, reused, static_cast<uint32_t>(n), media, ctx);
  free(exact);

  uint8_t wire_a[kDecodedLineSize], wire_b[kDecodedLineSize], wire_c[kDecodedLineSize];
  SerializeDecodedLine(a, wire_a);
  SerializeDecodedLine(b, wire_b);
  SerializeDecodedLine(c, wire_c);
  if (memcmp(wire_a, wire_b, sizeof wire_a) != 0) abort();
  if (memcmp(wire_a, wire_c, sizeof wire_a) != 0) abort();

  DecodedLine back;
  if (!ParseDecodedLine(wire_a, back)) abort();
  uint8_t again[kDecodedLineSize];
  SerializeDecodedLine(back, again);
  if (memcmp(wire_a, again, sizeof again) != 0) abort();
  return 0;
}
