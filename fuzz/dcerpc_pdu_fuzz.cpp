// PDU parsers and NDR unmarshalling (endpoint mapper requests, towers) over arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "dcerpc/epm.h"
#include "dcerpc/pdu.h"

namespace {

const dcerpc::InterfaceSpec& Epm() {
  static const dcerpc::InterfaceSpec def = dcerpc::MakeEndpointMapperInterface([] {
    dcerpc::EpEntry e;
    dcerpc::Uuid::Parse("cabcbc10-aaae-11d2-a9f7-00104b7babc3", e.id.uuid);
    e.id.major = 1;
    e.binding = {"ncacn_ip_tcp", "49152"};
    return std::vector<dcerpc::EpEntry>{e, e};
  });
  return def;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> in(data, size);
  dcerpc::PduHeader h;
  if (dcerpc::ParseHeader(in, h) && h.frag_length <= size) {
    static dcerpc::BindPdu bind;
    static dcerpc::BindAckPdu ack;
    dcerpc::RequestPdu req;
    dcerpc::ResponsePdu resp;
    uint32_t status;
    uint16_t reason;
    dcerpc::ParseBind(in, h, bind);
    dcerpc::ParseBindAck(in, h, ack);
    dcerpc::ParseResponse(in, h, resp);
    dcerpc::ParseFault(in, h, status);
    dcerpc::ParseBindNak(in, h, reason);
    if (dcerpc::ParseRequest(in, h, req) && req.opnum < Epm().ops.size() && Epm().ops[req.opnum]) {
      std::vector<uint8_t> reply;
      Epm().ops[req.opnum](dcerpc::CallRequest{req.stub, h.drep, req.opnum}, reply);
    }
  }
  dcerpc::TowerQuery q;
  dcerpc::ParseTower(in, q);
  return 0;
}
