// Connection-oriented DCE RPC 5.0 PDUs (DCE 1.1 RPC chapter 12, with the MS-RPCE additions):
// bounded parsers for what a peer sends and serialisers for what we answer. All multi-octet fields
// follow the PDU's data representation label.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "dcerpc/ndr.h"

namespace dcerpc {

enum class PduType : uint8_t {
  kRequest = 0,
  kResponse = 2,
  kFault = 3,
  kBind = 11,
  kBindAck = 12,
  kBindNak = 13,
  kAlterContext = 14,
  kAlterContextResp = 15,
  kAuth3 = 16,
  kShutdown = 17,
  kCoCancel = 18,
  kOrphaned = 19,
};

enum PfcFlags : uint8_t {
  kPfcFirstFrag = 0x01,
  kPfcLastFrag = 0x02,
  kPfcPendingCancel = 0x04,
  kPfcConcMpx = 0x10,
  kPfcDidNotExecute = 0x20,
  kPfcMaybe = 0x40,
  kPfcObjectUuid = 0x80,
};

// Common header: rpc_vers(1) rpc_vers_minor(1) PTYPE(1) pfc_flags(1) packed_drep(4)
// frag_length(2) auth_length(2) call_id(4).
inline constexpr size_t kHeaderSize = 16;
// Request header: common header, alloc_hint(4) p_cont_id(2) opnum(2) [object uuid(16)].
inline constexpr size_t kRequestHeaderSize = 24;
// Response header: common header, alloc_hint(4) p_cont_id(2) cancel_count(1) reserved(1).
inline constexpr size_t kResponseHeaderSize = 24;
// Fault: response header fields, status(4), reserved(4).
inline constexpr size_t kFaultSize = 32;
// The fragment size every implementation must accept.
inline constexpr uint16_t kMinFragSize = 1432;

struct PduHeader {
  uint8_t vers = 5;
  uint8_t vers_minor = 0;
  PduType type = PduType::kRequest;
  uint8_t flags = 0;
  DataRep drep;
  uint16_t frag_length = 0;
  uint16_t auth_length = 0;
  uint32_t call_id = 0;
};

// Parses the 16-byte common header. False when fewer bytes are given or the version is not 5.0/5.1.
bool ParseHeader(std::span<const uint8_t> bytes, PduHeader& h);
// Writes a common header at out[0..16) in little-endian representation.
void WriteHeader(uint8_t* out, PduType type, uint8_t flags, uint16_t frag_length, uint16_t auth_length,
                 uint32_t call_id);

// Presentation context results (p_cont_def_result_t) and provider reasons.
enum ContextResult : uint16_t {
  kAcceptance = 0,
  kUserRejection = 1,
  kProviderRejection = 2,
  kNegotiateAck = 3,  // bind-time feature negotiation answer: reason holds the accepted feature bits
};
enum ProviderReason : uint16_t {
  kReasonNotSpecified = 0,
  kAbstractSyntaxNotSupported = 1,
  kTransferSyntaxesNotSupported = 2,
  kLocalLimitExceeded = 3,
};
// bind_nak reject reasons.
enum BindNakReason : uint16_t {
  kNakNotSpecified = 0,
  kNakTemporaryCongestion = 1,
  kNakLocalLimitExceeded = 2,
  kNakProtocolVersionNotSupported = 4,
  kNakAuthTypeNotRecognized = 8,
};
// Bind-time feature bits.
inline constexpr uint16_t kFeatureSecurityContextMultiplexing = 0x01;
inline constexpr uint16_t kFeatureKeepConnectionOnOrphan = 0x02;

inline constexpr size_t kMaxContextsPerBind = 32;

// One p_cont_elem_t, reduced to what a server decides on: which of the offered transfer syntaxes
// is NDR 2.0 (or none), whether NDR64 or a feature negotiation syntax was offered.
struct ContextElem {
  uint16_t id = 0;
  SyntaxId abstract;
  uint8_t n_transfer = 0;
  bool offers_ndr20 = false;
  bool offers_ndr64 = false;
  bool is_feature_negotiation = false;
  uint64_t features = 0;
};

struct BindPdu {
  uint16_t max_xmit_frag = 0;
  uint16_t max_recv_frag = 0;
  uint32_t assoc_group_id = 0;
  uint8_t n_context = 0;
  ContextElem context[kMaxContextsPerBind];
};

// Parses bind or alter_context. False when truncated or more than kMaxContextsPerBind contexts.
bool ParseBind(std::span<const uint8_t> pdu, const PduHeader& h, BindPdu& out);

struct ContextReply {
  uint16_t result = kAcceptance;
  uint16_t reason = 0;
  SyntaxId transfer;  // zero for rejections and feature negotiation
};

// bind_ack / alter_context_resp: max_xmit(2) max_recv(2) assoc_group(4) sec_addr (length(2) +
// port text with NUL), pad to 4, n_results(1) reserved(3), then 24 bytes per result.
void WriteBindAck(std::vector<uint8_t>& out, PduType type, uint32_t call_id, uint16_t max_xmit,
                  uint16_t max_recv, uint32_t assoc_group, std::string_view secondary_address,
                  std::span<const ContextReply> results);

// bind_nak: reason(2), one supported protocol version (5.0). 21 bytes on the wire.
inline constexpr size_t kBindNakSize = 21;
void WriteBindNak(uint8_t (&out)[kBindNakSize], uint32_t call_id, uint16_t reason);

// Fault with the given status; flags carry first/last fragment and, when the manager was never
// entered, did-not-execute.
void WriteFault(uint8_t (&out)[kFaultSize], uint32_t call_id, uint16_t context_id, uint32_t status,
                bool did_not_execute);

void WriteResponseHeader(uint8_t (&out)[kResponseHeaderSize], uint32_t call_id, uint8_t flags,
                         uint16_t frag_length, uint32_t alloc_hint, uint16_t context_id);

struct RequestPdu {
  uint32_t alloc_hint = 0;
  uint16_t context_id = 0;
  uint16_t opnum = 0;
  bool has_object = false;
  Uuid object;
  std::span<const uint8_t> stub;  // points into the parsed fragment
};

// Parses a request fragment (stub data up to the auth trailer). False when inconsistent.
bool ParseRequest(std::span<const uint8_t> pdu, const PduHeader& h, RequestPdu& out);

// ---- client side

void WriteRequestHeader(uint8_t (&out)[kRequestHeaderSize], uint32_t call_id, uint8_t flags,
                        uint16_t frag_length, uint32_t alloc_hint, uint16_t context_id, uint16_t opnum,
                        const DataRep& drep);

struct BindAckPdu {
  uint16_t max_xmit_frag = 0;
  uint16_t max_recv_frag = 0;
  uint32_t assoc_group_id = 0;
  uint8_t n_results = 0;
  ContextReply results[kMaxContextsPerBind];
};
bool ParseBindAck(std::span<const uint8_t> pdu, const PduHeader& h, BindAckPdu& out);

struct ResponsePdu {
  uint32_t alloc_hint = 0;
  uint16_t context_id = 0;
  std::span<const uint8_t> stub;
};
bool ParseResponse(std::span<const uint8_t> pdu, const PduHeader& h, ResponsePdu& out);
bool ParseFault(std::span<const uint8_t> pdu, const PduHeader& h, uint32_t& status);
bool ParseBindNak(std::span<const uint8_t> pdu, const PduHeader& h, uint16_t& reason);

}  // namespace dcerpc
