// Builds raw PDUs for tests, so a reader sees what goes on the wire, including hostile variants.
#pragma once

#include <cstdint>
#include <vector>

#include "dcerpc/ndr.h"
#include "dcerpc/pdu.h"

namespace testpdu {

struct Ctx {
  uint16_t id;
  dcerpc::SyntaxId abstract;
  std::vector<dcerpc::SyntaxId> transfers;
};

inline dcerpc::SyntaxId Btfn(uint8_t bits) {
  dcerpc::SyntaxId s;
  dcerpc::Uuid::Parse("6cb71c2c-9812-4540-0000-000000000000", s.uuid);
  s.uuid.b[8] = bits;
  s.major = 1;
  return s;
}

inline void Finish(std::vector<uint8_t>& p, dcerpc::PduType type, uint8_t flags, uint32_t call_id,
                   const dcerpc::DataRep& drep, uint16_t auth_length) {
  std::vector<uint8_t> h;
  dcerpc::NdrWriter w(h, drep.LittleEndian());
  w.U8(5);
  w.U8(0);
  w.U8(static_cast<uint8_t>(type));
  w.U8(flags);
  w.Bytes(drep.b);
  w.U16(static_cast<uint16_t>(p.size()));
  w.U16(auth_length);
  w.U32(call_id);
  std::copy(h.begin(), h.end(), p.begin());
}

// Appends an auth verifier (8-octet sec_trailer + `len` octets) when auth_len > 0.
inline std::vector<uint8_t> Bind(uint32_t call_id, uint16_t max_xmit, uint16_t max_recv, const std::vector<Ctx>& ctxs,
                                 uint16_t auth_len = 0, dcerpc::PduType type = dcerpc::PduType::kBind,
                                 dcerpc::DataRep drep = {}) {
  std::vector<uint8_t> p(dcerpc::kHeaderSize, 0);
  dcerpc::NdrWriter w(p, drep.LittleEndian());
  w.U16(max_xmit);
  w.U16(max_recv);
  w.U32(0);
  w.U8(static_cast<uint8_t>(ctxs.size()));
  w.Zeros(3);
  for (const Ctx& c : ctxs) {
    w.U16(c.id);
    w.U8(static_cast<uint8_t>(c.transfers.size()));
    w.U8(0);
    w.WriteSyntaxId(c.abstract);
    for (const auto& t : c.transfers) w.WriteSyntaxId(t);
  }
  if (auth_len) {
    w.U8(10);  // NTLM
    w.U8(2);   // connect
    w.Zeros(6);
    w.Zeros(auth_len);
  }
  Finish(p, type, dcerpc::kPfcFirstFrag | dcerpc::kPfcLastFrag, call_id, drep, auth_len);
  return p;
}

inline std::vector<uint8_t> Request(uint32_t call_id, uint16_t ctx, uint16_t opnum, const std::vector<uint8_t>& stub,
                                    uint8_t flags = dcerpc::kPfcFirstFrag | dcerpc::kPfcLastFrag,
                                    dcerpc::DataRep drep = {}, uint16_t auth_len = 0) {
  std::vector<uint8_t> p(dcerpc::kHeaderSize, 0);
  dcerpc::NdrWriter w(p, drep.LittleEndian());
  w.U32(static_cast<uint32_t>(stub.size()));
  w.U16(ctx);
  w.U16(opnum);
  w.Bytes(stub);
  if (auth_len) {
    w.Align(4);
    w.U8(10);
    w.U8(2);
    w.Zeros(6);
    w.Zeros(auth_len);
  }
  Finish(p, dcerpc::PduType::kRequest, flags, call_id, drep, auth_len);
  return p;
}

}  // namespace testpdu
