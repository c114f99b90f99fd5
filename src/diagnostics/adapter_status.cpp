#include "diagnostics/adapter_status.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

#include "capture/packet_driver.h"
#include "wire/byte_order.h"

namespace netward {

namespace {

using namespace adapter_status;

constexpr char kTagText[4] = {'O', 'I', 'D', ' '};
constexpr char kTextOpen[] = "Open";
constexpr char kTextClosed[] = "CLOSED";
constexpr char kTextLoopbackNdis[] = "NDIS";          // the adapter does not loop sent frames back
constexpr char kTextLoopbackHardware[] = "HARDWARE";  // the adapter itself does
constexpr char kTextAllocFailed[] = "ERROR - GlobalAllocPtr Failed\n";
constexpr char kTextWan[] = "WAN 802.3";
constexpr char kTextEthernet[] = "Ethernet";
constexpr char kTextTokenRing[] = "Token Ring";
constexpr char kTextRingOkay[] = "Okay, ";
constexpr char kFormatUnknown[] = "UNKNOWN x%08X";
constexpr char kFormatRingUnknown[] = "UNKNOWN x%08X, ";

constexpr const char* kHardwareTexts[] = {"Ready", "Initializing", "Reset", "Closing", "NotReady"};  // 0..4
constexpr const char* kConnectTexts[] = {"Connected", "Initializing"};                               // 0..1
constexpr const char* kRingStateTexts[] = {"Open",    "Closed",       "Opening",
                                           "Closing", "Open Failure", "Ring Failure"};  // 1..6

// Ring status bits, in the order their texts are appended.
struct RingStatusBit {
  uint32_t bit;
  const char* text;
};
constexpr RingStatusBit kRingStatusBits[] = {
    {0x8000, "Signal Loss, "},     {0x4000, "Hard Error, "},      {0x2000, "Soft Error, "},
    {0x1000, "Transmit Beacon, "}, {0x0800, "Lobe Wire Fault, "}, {0x0400, "Auto Removal, "},
    {0x0200, "Remove Received, "}, {0x0100, "Counter Overflow, "}, {0x0080, "Single Station, "},
    {0x0040, "Ring Recovery, "},
};

constexpr uint32_t kEthernetOids[kEthernetCounters] = {
    kOid8023RcvErrorAlignment, kOid8023XmitOneCollision, kOid8023XmitMoreCollisions, kOid8023XmitDeferred,
    kOid8023XmitMaxCollisions, kOid8023RcvOverrun,       kOid8023XmitUnderrun,       kOid8023XmitHeartbeatFailure,
    kOid8023XmitTimesCrsLost,  kOid8023XmitLateCollisions};
constexpr uint32_t kTokenRingOids[kTokenRingCounters] = {
    kOid8025LineErrors,        kOid8025LostFrames,      kOid8025BurstErrors,
    kOid8025AcErrors,          kOid8025AbortDelimiters, kOid8025FrameCopiedErrors,
    kOid8025FrequencyErrors,   kOid8025TokenErrors,     kOid8025InternalErrors};

constexpr uint32_t kNotCounted = 0xFFFFFFFF;
constexpr size_t kNameSize = 32, kStateSize = 16, kLoopbackSize = 16, kTitleSize = 64, kDriverFileSize = 32,
                 kAddressSize = 16, kHardwareSize = 20, kConnectionSize = 20, kMediaSize = 16, kSpeedSize = 16;
static_assert(kName + kNameSize == kState && kState + kStateSize == kLoopback &&
              kLoopback + kLoopbackSize == kTitle && kTitle + kTitleSize == kDriverFile &&
              kDriverFile + kDriverFileSize == kAddress && kAddress + kAddressSize == kHardware &&
              kHardware + kHardwareSize == kConnection && kConnection + kConnectionSize == kMedia &&
              kMedia + kMediaSize == kSpeed && kSpeed + kSpeedSize == kXmitErrors &&
              kRcvCrcErrors + kCounterSize == kEthernet);

// Stores `text` in the `size`-byte field at `off`, cut to keep a terminating NUL.
void PutText(uint8_t* record, size_t off, size_t size, const char* text) {
  const size_t n = strnlen(text, size - 1);
  memcpy(record + off, text, n);
  memset(record + off + n, 0, size - n);
}

void PutFormatted(uint8_t* record, size_t off, size_t size, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void PutFormatted(uint8_t* record, size_t off, size_t size, const char* format, ...) {
  char text[128];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  PutText(record, off, size, text);
}

// A table text for `value - first`, or the unknown text with the value.
void PutValueText(uint8_t* record, size_t off, size_t size, const char* const* table, size_t count, uint32_t first,
                  uint32_t value) {
  if (value >= first && value - first < count)
    PutText(record, off, size, table[value - first]);
  else
    PutFormatted(record, off, size, kFormatUnknown, value);
}

bool Query32(const NicArea& nic, uint8_t* block, uint32_t oid, uint32_t& value) {
  value = 0;
  return QueryAdapterOid(nic, block, oid, 4, &value);
}

// Answer in units of 100 bit/s.
void PutLinkSpeed(uint8_t* record, uint32_t speed) {
  const unsigned long v = speed;
  if (v >= 10000)
    PutFormatted(record, kSpeed, kSpeedSize, "%lu Mbps", v / 10000);
  else if (v >= 10)
    PutFormatted(record, kSpeed, kSpeedSize, "%lu Kbps", v / 10);
  else if (v >= 1)
    PutFormatted(record, kSpeed, kSpeedSize, "%lu bps", v * 100);
}

// The texts of the set bits without the last ", "; at most the field's 100 characters, no NUL
// when full.
void PutRingStatus(uint8_t* record, uint32_t status) {
  char text[192] = {};
  if (status == 0) {
    strcpy(text, kTextRingOkay);
  } else {
    for (const RingStatusBit& b : kRingStatusBits)
      if (status & b.bit) strcat(text, b.text);
    if (text[0] == 0) snprintf(text, sizeof text, kFormatRingUnknown, status);
  }
  size_t n = strlen(text);
  if (n >= 2 && text[n - 2] == ',' && text[n - 1] == ' ') n -= 2;
  if (n > kRingStatusSize) n = kRingStatusSize;
  memset(record + kRingStatus, 0, kRingStatusSize);
  memcpy(record + kRingStatus, text, n);
}

}  // namespace

bool QueryAdapterOid(const NicArea& nic, uint8_t* block, uint32_t oid, uint32_t size, void* answer) {
  PacketDriverHandle* handle = nic.Driver.load(std::memory_order_acquire);
  if (handle == nullptr || block == nullptr || size > kOidRequestBlockSize - kOidRequestHeaderSize) return false;
  PutU32Le(block, oid);
  PutU32Le(block + 4, size);
  uint8_t* data = block + kOidRequestHeaderSize;
  memset(data, 0, size);
  if (!handle->QueryOid(oid, data, size)) return false;
  memcpy(answer, data, size);
  return true;
}

bool FormatAdapterOid(const NicArea& nic, uint8_t* block, uint32_t oid, uint8_t* field) {
  uint32_t value = 0;
  if (!Query32(nic, block, oid, value) || value == kNotCounted) return false;
  PutFormatted(field, 0, kCounterSize, "%lu", static_cast<unsigned long>(value));
  return true;
}

void BuildAdapterStatus(const NicArea& nic, int position, uint8_t (&record)[kAdapterStatusSize]) {
  memset(record, 0, sizeof record);
  memcpy(record + kTag, kTagText, sizeof kTagText);
  PutU32Le(record + kNumber, static_cast<uint32_t>(position + 1));
  char name[kNameSize], title[kTitleSize], driver_file[kDriverFileSize];
  nic.AdapterName.Get(name);
  nic.AdapterTitle.Get(title);
  nic.DriverFileText.Get(driver_file);
  PutText(record, kName, kNameSize, name);
  PutText(record, kTitle, kTitleSize, title);
  PutText(record, kDriverFile, kDriverFileSize, driver_file);

  // A handle whose capture thread has closed it still answers, but the adapter is not open.
  const PacketDriverHandle* handle = nic.Driver.load(std::memory_order_acquire);
  if (handle == nullptr || !handle->IsOpen()) {
    PutText(record, kState, kStateSize, kTextClosed);
    return;
  }
  PutText(record, kState, kStateSize, kTextOpen);
  std::unique_ptr<uint8_t, decltype(&free)> request(static_cast<uint8_t*>(calloc(1, kOidRequestBlockSize)), &free);
  if (!request) {
    fputs(kTextAllocFailed, stdout);
    return;
  }
  uint8_t* block = request.get();

  // Versions: second byte major, first byte minor, each printed as a signed byte.
  uint8_t version[2] = {};
  if (QueryAdapterOid(nic, block, kOidGenDriverVersion, 2, version))
    PutFormatted(record, kTitle, kTitleSize, "%s, NDIS %d.%d", title, static_cast<int8_t>(version[1]),
                 static_cast<int8_t>(version[0]));
  if (QueryAdapterOid(nic, block, kOidGenVendorDriverVersion, 2, version))
    PutFormatted(record, kDriverFile, kDriverFileSize, "%s %d.%d", driver_file, static_cast<int8_t>(version[1]),
                 static_cast<int8_t>(version[0]));

  uint32_t value = 0;
  if (Query32(nic, block, kOidGenMacOptions, value))
    PutText(record, kLoopback, kLoopbackSize,
            (value & kMacOptionNoLoopback) ? kTextLoopbackNdis : kTextLoopbackHardware);
  uint8_t mac[6];
  SharedCopyOut(mac, nic.OwnAddress, sizeof mac);
  PutFormatted(record, kAddress, kAddressSize, "%02X%02X%02X%02X%02X%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
               mac[5]);

  if (Query32(nic, block, kOidGenHardwareStatus, value))
    PutValueText(record, kHardware, kHardwareSize, kHardwareTexts, std::size(kHardwareTexts), 0, value);
  if (Query32(nic, block, kOidGenMediaConnectStatus, value))
    PutValueText(record, kConnection, kConnectionSize, kConnectTexts, std::size(kConnectTexts), 0, value);
  FormatAdapterOid(nic, block, kOidGenXmitError, record + kXmitErrors);
  FormatAdapterOid(nic, block, kOidGenRcvError, record + kRcvErrors);
  FormatAdapterOid(nic, block, kOidGenRcvNoBuffer, record + kRcvNoBuffer);
  FormatAdapterOid(nic, block, kOidGenRcvCrcError, record + kRcvCrcErrors);

  memset(record + kSpeed, 0, kSpeedSize);
  if (Query32(nic, block, kOidGenLinkSpeed, value)) PutLinkSpeed(record, value);

  if (RelaxedLoad(nic.IsWan)) {
    PutText(record, kMedia, kMediaSize, kTextWan);
    return;
  }
  const int32_t media = RelaxedLoad(nic.MediaType);
  if (media == kMedium8023) {
    PutText(record, kMedia, kMediaSize, kTextEthernet);
    for (size_t i = 0; i < kEthernetCounters; ++i)
      FormatAdapterOid(nic, block, kEthernetOids[i], record + kEthernet + i * kCounterSize);
  } else if (media == kMedium8025) {
    PutText(record, kMedia, kMediaSize, kTextTokenRing);
    for (size_t i = 0; i < kTokenRingCounters; ++i)
      FormatAdapterOid(nic, block, kTokenRingOids[i], record + kTokenRing + i * kCounterSize);
    if (Query32(nic, block, kOid8025CurrentRingStatus, value)) PutRingStatus(record, value);
    if (Query32(nic, block, kOid8025CurrentRingState, value))
      PutValueText(record, kRingState, kRingStateSize, kRingStateTexts, std::size(kRingStateTexts), 1, value);
  }
}

}  // namespace netward
