// Client side of a connection-oriented association: connect, bind one interface with NDR 2.0,
// call with request fragmentation and reply reassembly.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "dcerpc/ndr.h"
#include "dcerpc/pdu.h"

namespace dcerpc {

struct ClientOptions {
  uint16_t max_xmit_frag = 5840;
  uint16_t max_recv_frag = 5840;
  size_t max_reply = 16u << 20;
  unsigned timeout_ms = 30000;
  DataRep drep;  // label on requests; the stub passed to Call must be in this representation
};

class RpcClient {
 public:
  explicit RpcClient(ClientOptions options = {}) : opt_(options) {}
  ~RpcClient();
  RpcClient(const RpcClient&) = delete;
  RpcClient& operator=(const RpcClient&) = delete;

  // host is a numeric IPv4 or IPv6 address.
  uint32_t ConnectTcp(const std::string& host, uint16_t port);
  uint32_t ConnectLocal(const std::string& path);
  // Binds the interface; kStatusUnknownIf when the server rejects the context, kStatusCallFailed
  // on bind_nak (reason in LastNakReason).
  uint32_t Bind(const SyntaxId& interface_id);
  // Sends one call and collects the reply stub. A fault's status is returned as is.
  uint32_t Call(uint16_t opnum, std::span<const uint8_t> stub, std::vector<uint8_t>& reply);
  void Close();

  uint16_t NegotiatedXmit() const { return xmit_; }
  uint16_t NegotiatedRecv() const { return recv_; }
  uint16_t LastNakReason() const { return nak_reason_; }
  int Fd() const { return fd_; }

 private:
  bool SendAll(const uint8_t* p, size_t n);
  // Reads one whole PDU into in_.
  bool ReadPdu(PduHeader& h);

  ClientOptions opt_;
  int fd_ = -1;
  uint32_t next_call_id_ = 1;
  uint16_t xmit_ = kMinFragSize, recv_ = kMinFragSize;
  uint16_t nak_reason_ = 0;
  std::vector<uint8_t> in_, out_;
};

}  // namespace dcerpc
