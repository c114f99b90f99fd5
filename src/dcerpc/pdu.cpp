#include "dcerpc/pdu.h"

#include <cstring>
#include <utility>

#include "wire/byte_order.h"

namespace dcerpc {

namespace {

using netward::PutU16Le;
using netward::PutU32Le;

// Length of the body that precedes the auth trailer (sec_trailer of 8 octets + auth_length).
bool BodyEnd(std::span<const uint8_t> pdu, const PduHeader& h, size_t& end) {
  if (h.frag_length < kHeaderSize || pdu.size() < h.frag_length) return false;
  size_t trailer = h.auth_length ? 8u + h.auth_length : 0u;
  if (trailer > h.frag_length - kHeaderSize) return false;
  end = h.frag_length - trailer;
  return true;
}

}  // namespace

bool ParseHeader(std::span<const uint8_t> bytes, PduHeader& h) {
  if (bytes.size() < kHeaderSize) return false;
  h.vers = bytes[0];
  h.vers_minor = bytes[1];
  if (h.vers != 5 || h.vers_minor > 1) return false;
  h.type = static_cast<PduType>(bytes[2]);
  h.flags = bytes[3];
  std::memcpy(h.drep.b, bytes.data() + 4, 4);
  NdrReader r(bytes.subspan(8, 8), h.drep.LittleEndian());
  return r.U16(h.frag_length) && r.U16(h.auth_length) && r.U32(h.call_id);
}

void WriteHeader(uint8_t* out, PduType type, uint8_t flags, uint16_t frag_length, uint16_t auth_length,
                 uint32_t call_id) {
  out[0] = 5;
  out[1] = 0;
  out[2] = static_cast<uint8_t>(type);
  out[3] = flags;
  out[4] = 0x10;  // little-endian integers, ASCII characters
  out[5] = 0;     // IEEE floating point
  out[6] = 0;
  out[7] = 0;
  PutU16Le(out + 8, frag_length);
  PutU16Le(out + 10, auth_length);
  PutU32Le(out + 12, call_id);
}

bool ParseBind(std::span<const uint8_t> pdu, const PduHeader& h, BindPdu& out) {
  size_t end;
  if (!BodyEnd(pdu, h, end)) return false;
  // Alignment of the body fields is relative to the PDU start; the header is 16 octets, so
  // reading the body from offset 16 keeps the same alignment.
  NdrReader r(pdu.subspan(kHeaderSize, end - kHeaderSize), h.drep.LittleEndian());
  uint8_t n = 0;
  if (!r.U16(out.max_xmit_frag) || !r.U16(out.max_recv_frag) || !r.U32(out.assoc_group_id) || !r.U8(n) ||
      !r.Skip(3))
    return false;
  if (n > kMaxContextsPerBind) return false;
  out.n_context = n;
  for (uint8_t i = 0; i < n; ++i) {
    ContextElem& c = out.context[i];
    c = ContextElem{};
    if (!r.U16(c.id) || !r.U8(c.n_transfer) || !r.Skip(1) || !r.ReadSyntaxId(c.abstract)) return false;
    if (c.n_transfer == 0) return false;
    for (uint8_t t = 0; t < c.n_transfer; ++t) {
      SyntaxId ts;
      if (!r.ReadSyntaxId(ts)) return false;
      uint64_t features;
      if (ts == kNdr20) {
        c.offers_ndr20 = true;
      } else if (ts == kNdr64) {
        c.offers_ndr64 = true;
      } else if (IsBindTimeFeatureSyntax(ts, features)) {
        c.is_feature_negotiation = true;
        c.features = features;
      }
    }
  }
  return true;
}

void WriteBindAck(std::vector<uint8_t>& out, PduType type, uint32_t call_id, uint16_t max_xmit,
                  uint16_t max_recv, uint32_t assoc_group, std::string_view secondary_address,
                  std::span<const ContextReply> results) {
  out.clear();
  out.resize(kHeaderSize);
  // The header is 16 octets, so alignment counted from the body equals alignment from the PDU start.
  NdrWriter body(out);
  body.U16(max_xmit);
  body.U16(max_recv);
  body.U32(assoc_group);
  // sec_addr: the length counts the terminating NUL; an empty address has length 0.
  uint16_t len = secondary_address.empty() ? 0 : static_cast<uint16_t>(secondary_address.size() + 1);
  body.U16(len);
  body.Bytes({reinterpret_cast<const uint8_t*>(secondary_address.data()), secondary_address.size()});
  if (len) body.U8(0);
  body.Align(4);
  body.U8(static_cast<uint8_t>(results.size()));
  body.Zeros(3);
  for (const ContextReply& c : results) {
    body.U16(c.result);
    body.U16(c.reason);
    body.WriteSyntaxId(c.transfer);
  }
  WriteHeader(out.data(), type, kPfcFirstFrag | kPfcLastFrag, static_cast<uint16_t>(out.size()), 0, call_id);
}

void WriteBindNak(uint8_t (&out)[kBindNakSize], uint32_t call_id, uint16_t reason) {
  WriteHeader(out, PduType::kBindNak, kPfcFirstFrag | kPfcLastFrag, kBindNakSize, 0, call_id);
  PutU16Le(out + 16, reason);
  out[18] = 1;  // n_protocols
  out[19] = 5;  // rpc_vers
  out[20] = 0;  // rpc_vers_minor
}

void WriteFault(uint8_t (&out)[kFaultSize], uint32_t call_id, uint16_t context_id, uint32_t status,
                bool did_not_execute) {
  uint8_t flags = kPfcFirstFrag | kPfcLastFrag | (did_not_execute ? kPfcDidNotExecute : 0);
  WriteHeader(out, PduType::kFault, flags, kFaultSize, 0, call_id);
  PutU32Le(out + 16, 0);  // alloc_hint
  PutU16Le(out + 20, context_id);
  out[22] = 0;  // cancel_count
  out[23] = 0;
  PutU32Le(out + 24, status);
  PutU32Le(out + 28, 0);
}

void WriteResponseHeader(uint8_t (&out)[kResponseHeaderSize], uint32_t call_id, uint8_t flags,
                         uint16_t frag_length, uint32_t alloc_hint, uint16_t context_id) {
  WriteHeader(out, PduType::kResponse, flags, frag_length, 0, call_id);
  PutU32Le(out + 16, alloc_hint);
  PutU16Le(out + 20, context_id);
  out[22] = 0;
  out[23] = 0;
}

bool ParseRequest(std::span<const uint8_t> pdu, const PduHeader& h, RequestPdu& out) {
  size_t end;
  if (!BodyEnd(pdu, h, end) || end < kRequestHeaderSize) return false;
  NdrReader r(pdu.subspan(kHeaderSize, end - kHeaderSize), h.drep.LittleEndian());
  if (!r.U32(out.alloc_hint) || !r.U16(out.context_id) || !r.U16(out.opnum)) return false;
  out.has_object = (h.flags & kPfcObjectUuid) != 0;
  if (out.has_object && !r.ReadUuid(out.object)) return false;
  return r.View(r.Remaining(), out.stub);
}

void WriteRequestHeader(uint8_t (&out)[kRequestHeaderSize], uint32_t call_id, uint8_t flags,
                        uint16_t frag_length, uint32_t alloc_hint, uint16_t context_id, uint16_t opnum,
                        const DataRep& drep) {
  WriteHeader(out, PduType::kRequest, flags, frag_length, 0, call_id);
  std::memcpy(out + 4, drep.b, 4);
  PutU32Le(out + 16, alloc_hint);
  PutU16Le(out + 20, context_id);
  PutU16Le(out + 22, opnum);
  if (!drep.LittleEndian()) {
    // The integer fields follow the label; every field here is naturally aligned.
    for (size_t at : {8u, 10u, 20u, 22u}) std::swap(out[at], out[at + 1]);
    for (size_t at : {12u, 16u}) {
      std::swap(out[at], out[at + 3]);
      std::swap(out[at + 1], out[at + 2]);
    }
  }
}

bool ParseBindAck(std::span<const uint8_t> pdu, const PduHeader& h, BindAckPdu& out) {
  size_t end;
  if (!BodyEnd(pdu, h, end)) return false;
  NdrReader r(pdu.subspan(kHeaderSize, end - kHeaderSize), h.drep.LittleEndian());
  uint16_t sec_len;
  if (!r.U16(out.max_xmit_frag) || !r.U16(out.max_recv_frag) || !r.U32(out.assoc_group_id) || !r.U16(sec_len) ||
      !r.Skip(sec_len) || !r.Align(4) || !r.U8(out.n_results) || !r.Skip(3))
    return false;
  if (out.n_results > kMaxContextsPerBind) return false;
  for (uint8_t i = 0; i < out.n_results; ++i) {
    ContextReply& c = out.results[i];
    if (!r.U16(c.result) || !r.U16(c.reason) || !r.ReadSyntaxId(c.transfer)) return false;
  }
  return true;
}

bool ParseResponse(std::span<const uint8_t> pdu, const PduHeader& h, ResponsePdu& out) {
  size_t end;
  if (!BodyEnd(pdu, h, end) || end < kResponseHeaderSize) return false;
  NdrReader r(pdu.subspan(kHeaderSize, end - kHeaderSize), h.drep.LittleEndian());
  return r.U32(out.alloc_hint) && r.U16(out.context_id) && r.Skip(2) && r.View(r.Remaining(), out.stub);
}

bool ParseFault(std::span<const uint8_t> pdu, const PduHeader& h, uint32_t& status) {
  size_t end;
  if (!BodyEnd(pdu, h, end) || end < kResponseHeaderSize + 4) return false;
  NdrReader r(pdu.subspan(kHeaderSize, end - kHeaderSize), h.drep.LittleEndian());
  return r.Skip(8) && r.U32(status);
}

bool ParseBindNak(std::span<const uint8_t> pdu, const PduHeader& h, uint16_t& reason) {
  size_t end;
  if (!BodyEnd(pdu, h, end)) return false;
  NdrReader r(pdu.subspan(kHeaderSize, end - kHeaderSize), h.drep.LittleEndian());
  return r.U16(reason);
}

}  // namespace dcerpc
