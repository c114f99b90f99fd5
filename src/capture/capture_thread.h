// The capture thread of one adapter: opens it, configures medium, address and packet filter, keeps
// 15 reads outstanding and records each frame in the adapter's rings until the stop request.
#pragma once

#include <functional>

#include "capture/packet_driver.h"
#include "state/shared_state.h"
#include "platform/event.h"
#include "platform/output.h"

namespace netward {

// Accounting entry for one frame: the adapter and its 256-byte read buffer. It writes the labels,
// Station, Direction and Event of the recent-frame entry (RecentFrames[FrameIndex]).
using AccountEntry = void (*)(NicArea* nic, const uint8_t* frame);

// Stands in for the accounting entry points until accounting is wired in: classifies nothing, so
// every frame gets empty labels, direction 0, no station and no event.
void AccountFramePlaceholder(NicArea* nic, const uint8_t* frame);

struct CaptureContext {
  PacketDriver* driver = nullptr;
  const platform::Event* stop_request = nullptr;
  platform::Output* out = nullptr;
  bool force_promiscuous = false;        // the service host's promiscuous switch
  std::function<void()> common_stop;     // on set-up failures after the adapter opened
  AccountEntry account_8023 = AccountFramePlaceholder;
  AccountEntry account_8025 = AccountFramePlaceholder;
};

// Console and message-box texts of the capture thread.
inline constexpr char kTextOpenFailed[] = "ERROR - Could not open Adapter\n";
inline constexpr char kTextAllocFailed[] = "ERROR - GlobalAllocPtr Failed\n";
inline constexpr char kTextMediaFailed[] = "ERROR - Could not determine Media In Use for NIC device\n";
inline constexpr char kTextUnsupportedMedia[] = "ERROR - Unsupported Media\n";
inline constexpr char kTextAddressFailed[] = "ERROR - Could not determine Current NIC Address\n";
inline constexpr char kTextWanAdapter[] = "WAN adapter\n";
inline constexpr char kTextReadBufferFailed[] = "VirtualAlloc failed for pktbuff";
inline constexpr char kTextAllocatePacketFailed[] = "ERROR - Allocate Packet failed\n";
inline constexpr char kTextInitialReadFailed[] = "An INITIAL READ Failed";
inline constexpr char kTextRestartReadFailed[] = "An re-initialized READ Failed";
inline constexpr char kTextPromiscuousOk[] = "Promiscuous mode set okay.\n";
inline constexpr char kTextPromiscuousFailed[] =
    "ERROR - Adapter does not support promiscuous mode.  Normal filter will be used.\n";
inline constexpr char kTextSetFilterFailed[] = "ERROR - Set Filter failed\n";
inline constexpr char kCaptionCaptureError[] = "TAPEYE ERROR";
inline constexpr char kCaptionCaptureDebug[] = "TAPEYE DEBUG";

// Runs on the adapter's thread; returns when the thread ends (stop request or set-up failure).
void CaptureThread(NicArea* nic, const CaptureContext& ctx);

}  // namespace netward
