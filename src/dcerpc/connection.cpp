// One association: reads fragments with a bounded buffer, negotiates presentation contexts,
// reassembles requests, runs the manager routine and fragments the reply.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "dcerpc/pdu.h"
#include "dcerpc/server_impl.h"

namespace dcerpc {

namespace {

constexpr size_t kMaxContextsPerConnection = 32;
// Call buffers above this size are released after the call instead of kept for the next one, so
// an idle connection holds little memory whatever its largest call was.
constexpr size_t kRetainedBufferBytes = 256 * 1024;

using Clock = std::chrono::steady_clock;

struct PresentationContext {
  uint16_t id = 0;
  RegisteredInterface* iface = nullptr;
};

class Connection {
 public:
  Connection(RpcServer::Impl& server, int fd, const Listener* listener, ConnectionSlot* slot)
      : s_(server), fd_(fd), listener_(listener), slot_(slot), recv_limit_(server.limits.max_frag),
        xmit_limit_(server.limits.max_frag) {
    in_.resize(static_cast<size_t>(server.limits.max_frag) * 2);
  }
  void Serve();

 private:
  // Ensures at least n unread bytes are buffered; false on end of stream, error, or when the
  // deadline passes first.
  bool Fill(size_t n, Clock::time_point deadline);
  bool SendAll(const void* a, size_t alen, const void* b = nullptr, size_t blen = 0);
  bool SendFault(uint32_t call_id, uint16_t ctx, uint32_t status, bool did_not_execute);
  bool HandleBind(std::span<const uint8_t> pdu, const PduHeader& h);
  bool HandleRequest(std::span<const uint8_t> pdu, const PduHeader& h);
  bool Execute();
  PresentationContext* FindContext(uint16_t id);
  void ReleaseBigReply() {
    if (reply_.capacity() > kRetainedBufferBytes) std::vector<uint8_t>().swap(reply_);
  }

  RpcServer::Impl& s_;
  int fd_;
  const Listener* listener_;
  ConnectionSlot* slot_;  // null for a socket served outside the accept loop
  std::vector<uint8_t> in_;
  size_t begin_ = 0, end_ = 0;
  uint16_t recv_limit_, xmit_limit_;
  bool bound_ = false;
  uint32_t assoc_group_ = 0;
  PresentationContext contexts_[kMaxContextsPerConnection];
  size_t n_contexts_ = 0;
  std::vector<uint8_t> out_;

  // The call being reassembled.
  bool in_call_ = false;
  bool call_too_big_ = false;
  uint32_t call_id_ = 0;
  uint16_t call_ctx_ = 0;
  uint16_t call_opnum_ = 0;
  uint8_t call_flags_ = 0;
  DataRep call_drep_;
  std::vector<uint8_t> stub_;
  std::vector<uint8_t> reply_;
};

bool Connection::Fill(size_t n, Clock::time_point deadline) {
  while (end_ - begin_ < n) {
    if (begin_ > 0 && (in_.size() - begin_ < n || begin_ == end_)) {
      std::memmove(in_.data(), in_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    int pr = poll(&p, 1, static_cast<int>(left));
    if (pr < 0 && errno == EINTR) continue;
    if (pr <= 0) return false;  // idle or too slow; a shut-down socket reports POLLIN and reads 0
    ssize_t r = recv(fd_, in_.data() + end_, in_.size() - end_, 0);
    if (r > 0) {
      end_ += static_cast<size_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    return false;  // closed, or shut down by StopListening
  }
  return true;
}

bool Connection::SendAll(const void* a, size_t alen, const void* b, size_t blen) {
  iovec iov[2] = {{const_cast<void*>(a), alen}, {const_cast<void*>(b), blen}};
  int cnt = blen ? 2 : 1;
  iovec* v = iov;
  while (cnt > 0) {
    msghdr m{};
    m.msg_iov = v;
    m.msg_iovlen = static_cast<size_t>(cnt);
    ssize_t r = sendmsg(fd_, &m, MSG_NOSIGNAL);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    size_t done = static_cast<size_t>(r);
    while (cnt > 0 && done >= v->iov_len) {
      done -= v->iov_len;
      ++v;
      --cnt;
    }
    if (cnt > 0) {
      v->iov_base = static_cast<uint8_t*>(v->iov_base) + done;
      v->iov_len -= done;
    }
  }
  return true;
}

bool Connection::SendFault(uint32_t call_id, uint16_t ctx, uint32_t status, bool did_not_execute) {
  s_.faults.fetch_add(1, std::memory_order_relaxed);
  uint8_t f[kFaultSize];
  WriteFault(f, call_id, ctx, status, did_not_execute);
  return SendAll(f, sizeof f);
}

PresentationContext* Connection::FindContext(uint16_t id) {
  for (size_t i = 0; i < n_contexts_; ++i)
    if (contexts_[i].id == id) return &contexts_[i];
  return nullptr;
}

bool Connection::HandleBind(std::span<const uint8_t> pdu, const PduHeader& h) {
  bool is_bind = h.type == PduType::kBind;
  auto nak = [&](uint16_t reason) {
    uint8_t b[kBindNakSize];
    WriteBindNak(b, h.call_id, reason);
    SendAll(b, sizeof b);
    return false;  // the association is not established: close
  };
  if (h.auth_length != 0) {
    // Only authentication level none is offered.
    if (is_bind) return nak(kNakAuthTypeNotRecognized);
    SendFault(h.call_id, 0, kStatusAccessDenied, true);
    return false;
  }
  BindPdu bind;
  if (!ParseBind(pdu, h, bind)) {
    if (!is_bind) return false;
    bool too_many = pdu.size() > 24 && pdu[24] > kMaxContextsPerBind;
    return nak(too_many ? kNakLocalLimitExceeded : kNakNotSpecified);
  }
  if (bind.n_context == 0) return is_bind ? nak(kNakNotSpecified) : false;
  if (is_bind) {
    // The peer's transmit size bounds what we receive and the other way round.
    recv_limit_ = std::max<uint16_t>(kMinFragSize, std::min(s_.limits.max_frag, bind.max_xmit_frag));
    xmit_limit_ = std::max<uint16_t>(kMinFragSize, std::min(s_.limits.max_frag, bind.max_recv_frag));
    assoc_group_ = bind.assoc_group_id ? bind.assoc_group_id : s_.next_assoc_group.fetch_add(1);
  }
  ContextReply results[kMaxContextsPerBind];
  for (uint8_t i = 0; i < bind.n_context; ++i) {
    const ContextElem& c = bind.context[i];
    ContextReply& r = results[i];
    if (c.is_feature_negotiation) {
      r = {kNegotiateAck, static_cast<uint16_t>(c.features & kFeatureKeepConnectionOnOrphan), SyntaxId{}};
      continue;
    }
    RegisteredInterface* iface = s_.FindInterface(c.abstract);
    PresentationContext* existing = FindContext(c.id);
    if (!iface) {
      r = {kProviderRejection, kAbstractSyntaxNotSupported, SyntaxId{}};
    } else if (!c.offers_ndr20) {
      r = {kProviderRejection, kTransferSyntaxesNotSupported, SyntaxId{}};
    } else if (!existing && n_contexts_ == kMaxContextsPerConnection) {
      r = {kProviderRejection, kLocalLimitExceeded, SyntaxId{}};
    } else {
      if (!existing) existing = &contexts_[n_contexts_++];
      *existing = {c.id, iface};
      r = {kAcceptance, 0, kNdr20};
    }
  }
  // alter_context_resp carries no secondary address.
  std::string_view sec = is_bind ? std::string_view(listener_->endpoint) : std::string_view();
  WriteBindAck(out_, is_bind ? PduType::kBindAck : PduType::kAlterContextResp, h.call_id, xmit_limit_, recv_limit_,
               assoc_group_, sec, {results, bind.n_context});
  bound_ = true;
  if (slot_ != nullptr) slot_->bound.store(true, std::memory_order_release);
  return SendAll(out_.data(), out_.size());
}

bool Connection::HandleRequest(std::span<const uint8_t> pdu, const PduHeader& h) {
  RequestPdu req;
  if (!ParseRequest(pdu, h, req)) return false;
  bool first = h.flags & kPfcFirstFrag;
  if (first) {
    if (in_call_) return false;  // a new call before the last fragment of the previous one
    in_call_ = true;
    call_too_big_ = false;
    call_id_ = h.call_id;
    call_ctx_ = req.context_id;
    call_opnum_ = req.opnum;
    call_flags_ = h.flags;
    call_drep_ = h.drep;
    stub_.clear();
  } else if (!in_call_ || h.call_id != call_id_) {
    return false;
  }
  if (!call_too_big_) {
    if (stub_.size() + req.stub.size() > s_.limits.max_call_in) {
      call_too_big_ = true;
      std::vector<uint8_t>().swap(stub_);
    } else {
      stub_.insert(stub_.end(), req.stub.begin(), req.stub.end());
    }
  }
  if (!(h.flags & kPfcLastFrag)) return true;
  in_call_ = false;
  if (h.auth_length != 0) return SendFault(call_id_, call_ctx_, kStatusAccessDenied, true);
  if (!s_.BeginCall(slot_)) return false;  // the server is stopping: no new calls
  bool keep = call_too_big_ ? SendFault(call_id_, call_ctx_, kNcaFaultRemoteNoMemory, true) : Execute();
  keep = s_.EndCall(slot_) && keep;  // at a stop the connection ends once its reply is out
  if (stub_.capacity() > kRetainedBufferBytes) std::vector<uint8_t>().swap(stub_);
  return keep;
}

bool Connection::Execute() {
  s_.calls.fetch_add(1, std::memory_order_relaxed);
  PresentationContext* ctx = FindContext(call_ctx_);
  if (!ctx) return SendFault(call_id_, call_ctx_, kNcaUnkIf, true);
  const InterfaceSpec& def = ctx->iface->def;
  if (!call_drep_.Ascii() || !call_drep_.IeeeFloat())
    return SendFault(call_id_, call_ctx_, kNcaUnsupportedType, true);
  if (call_opnum_ >= def.ops.size() || !def.ops[call_opnum_])
    return SendFault(call_id_, call_ctx_, kNcaOpRngError, true);
  if (s_.active_calls.fetch_add(1) >= s_.limits.max_concurrent_calls) {
    s_.active_calls.fetch_sub(1);
    return SendFault(call_id_, call_ctx_, kNcaServerTooBusy, true);
  }
  reply_.clear();
  uint32_t status;
  try {
    status = def.ops[call_opnum_](CallRequest{stub_, call_drep_, call_opnum_}, reply_);
  } catch (const std::bad_alloc&) {
    status = kNcaFaultRemoteNoMemory;
  } catch (...) {
    status = kNcaFaultUnspec;
  }
  s_.active_calls.fetch_sub(1);
  if (status == kStatusOk && reply_.size() > s_.limits.max_call_out) status = kNcaFaultRemoteNoMemory;
  if (call_flags_ & kPfcMaybe) {  // maybe calls get no reply
    ReleaseBigReply();
    return true;
  }
  if (status != kStatusOk) {
    ReleaseBigReply();
    return SendFault(call_id_, call_ctx_, status, false);
  }

  // Non-final fragments carry a multiple of 8 stub octets so that NDR alignment is kept.
  size_t per_frag = ((xmit_limit_ - kResponseHeaderSize) / 8) * 8;
  size_t off = 0, total = reply_.size();
  do {
    size_t n = std::min(per_frag, total - off);
    uint8_t flags = (off == 0 ? kPfcFirstFrag : 0) | (off + n == total ? kPfcLastFrag : 0);
    uint8_t hdr[kResponseHeaderSize];
    WriteResponseHeader(hdr, call_id_, flags, static_cast<uint16_t>(kResponseHeaderSize + n),
                        static_cast<uint32_t>(total - off), call_ctx_);
    if (!SendAll(hdr, sizeof hdr, reply_.data() + off, n)) return false;
    off += n;
  } while (off < total);
  ReleaseBigReply();
  return true;
}

void Connection::Serve() {
  // A peer that stops reading blocks our sends for at most the idle time-out.
  timeval tv{};
  tv.tv_sec = s_.limits.idle_timeout_ms / 1000;
  tv.tv_usec = static_cast<suseconds_t>((s_.limits.idle_timeout_ms % 1000) * 1000);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // fails harmlessly on Unix sockets

  const auto idle = std::chrono::milliseconds(s_.limits.idle_timeout_ms);
  // A connection that has not bound within a few seconds of its accept is no client.
  const Clock::time_point bind_deadline = Clock::now() + std::chrono::milliseconds(s_.limits.unbound_timeout_ms);
  for (;;) {
    // Each PDU must arrive whole within the idle time-out of the previous one, so a peer that
    // trickles a byte at a time cannot hold a connection slot for ever.
    Clock::time_point deadline = Clock::now() + idle;
    if (!bound_ && bind_deadline < deadline) deadline = bind_deadline;
    if (!Fill(kHeaderSize, deadline)) return;
    std::span<const uint8_t> avail(in_.data() + begin_, end_ - begin_);
    PduHeader h;
    if (!ParseHeader(avail, h)) {
      if (avail[0] != 5 && avail[2] == static_cast<uint8_t>(PduType::kBind)) {
        uint8_t b[kBindNakSize];
        WriteBindNak(b, 0, kNakProtocolVersionNotSupported);
        SendAll(b, sizeof b);
      }
      s_.protocol_errors.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    uint16_t limit = bound_ ? recv_limit_ : s_.limits.max_frag;
    if (h.frag_length < kHeaderSize || h.frag_length > limit) {
      s_.protocol_errors.fetch_add(1, std::memory_order_relaxed);
      SendFault(h.call_id, 0, kNcaProtoError, true);
      return;
    }
    if (!Fill(h.frag_length, deadline)) return;
    std::span<const uint8_t> pdu(in_.data() + begin_, h.frag_length);
    bool keep = true;
    switch (h.type) {
      case PduType::kBind:
        keep = !bound_ && HandleBind(pdu, h);
        break;
      case PduType::kAlterContext:
        keep = bound_ && HandleBind(pdu, h);
        break;
      case PduType::kRequest:
        if (!bound_) {
          SendFault(h.call_id, 0, kNcaProtoError, true);
          keep = false;
        } else {
          keep = HandleRequest(pdu, h);
        }
        break;
      case PduType::kOrphaned:
        // The client abandoned the call: drop what was reassembled and keep the connection.
        if (in_call_ && h.call_id == call_id_) in_call_ = false;
        break;
      case PduType::kCoCancel:
      case PduType::kAuth3:
        break;  // calls run to completion; no authentication to continue
      default:
        keep = false;
    }
    begin_ += h.frag_length;
    if (!keep) {
      s_.protocol_errors.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
}

}  // namespace

void RpcServer::Impl::ServeAssociation(int fd, const Listener* listener, ConnectionSlot* slot) {
  Connection c(*this, fd, listener, slot);
  c.Serve();
}

bool RpcServer::Impl::BeginCall(ConnectionSlot* slot) {
  std::lock_guard lock(mu);
  if (draining) return false;
  if (slot) slot->busy = true;
  return true;
}

bool RpcServer::Impl::EndCall(ConnectionSlot* slot) {
  std::lock_guard lock(mu);
  if (slot) slot->busy = false;
  return !draining;
}

void RpcServer::Impl::ServeConnection(ConnectionSlot* slot, int fd, const Listener* listener) {
  ServeAssociation(fd, listener, slot);
  {
    std::lock_guard lock(mu);
    close(fd);
    slot->fd = -1;
  }
  open_connections.fetch_sub(1);
  slot->done.store(true, std::memory_order_release);
}

}  // namespace dcerpc
