// RPC status values returned by the runtime's functions, and the fault statuses sent on the wire.
#pragma once

#include <cstdint>

namespace dcerpc {

inline constexpr uint32_t kStatusOk = 0;
inline constexpr uint32_t kStatusAccessDenied = 5;
inline constexpr uint32_t kStatusOutOfMemory = 14;
inline constexpr uint32_t kStatusWrongKindOfBinding = 1701;
inline constexpr uint32_t kStatusInvalidBinding = 1702;
inline constexpr uint32_t kStatusProtseqNotSupported = 1703;
inline constexpr uint32_t kStatusInvalidProtseq = 1704;
inline constexpr uint32_t kStatusAlreadyRegistered = 1711;
inline constexpr uint32_t kStatusAlreadyListening = 1713;
inline constexpr uint32_t kStatusNoProtseqsRegistered = 1714;
inline constexpr uint32_t kStatusNotListening = 1715;
inline constexpr uint32_t kStatusUnknownIf = 1717;
inline constexpr uint32_t kStatusNoBindings = 1718;
inline constexpr uint32_t kStatusCantCreateEndpoint = 1720;
inline constexpr uint32_t kStatusOutOfResources = 1721;
inline constexpr uint32_t kStatusServerUnavailable = 1722;
inline constexpr uint32_t kStatusCallFailed = 1726;
inline constexpr uint32_t kStatusProtocolError = 1728;
inline constexpr uint32_t kStatusDuplicateEndpoint = 1740;
inline constexpr uint32_t kStatusBadStubData = 1783;  // also sent as a fault status as is

// nca_s_* fault statuses (DCE 1.1 RPC appendix E).
inline constexpr uint32_t kNcaOpRngError = 0x1c010002;
inline constexpr uint32_t kNcaUnkIf = 0x1c010003;
inline constexpr uint32_t kNcaProtoError = 0x1c01000b;
inline constexpr uint32_t kNcaServerTooBusy = 0x1c010014;
inline constexpr uint32_t kNcaUnsupportedType = 0x1c010017;
inline constexpr uint32_t kNcaFaultRemoteNoMemory = 0x1c00001b;
inline constexpr uint32_t kNcaInvalidPresContextId = 0x1c00001c;
inline constexpr uint32_t kNcaFaultUnspec = 0x1c000012;

}  // namespace dcerpc
