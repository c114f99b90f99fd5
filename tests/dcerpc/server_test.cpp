#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <algorithm>
#include <cstring>
#include <tuple>

#include "dcerpc/epm.h"
#include "pdu_builder.h"
#include "server_fixture.h"

using namespace dcerpc;
using testsrv::RawPeer;
using testsrv::RunningServer;

namespace {

std::vector<uint8_t> RequestBody(const uint8_t* key) {
  std::vector<uint8_t> b(16 + 256, 0);
  std::memcpy(b.data(), key, 16);
  std::memcpy(b.data() + 16, "STATUS", 6);
  return b;
}

// Decodes the RequestRpc response: pointer, [count, bytes], pad, ReplyLength, status.
struct RequestReply {
  bool ok = false;
  uint32_t referent = 0, status = 0;
  int32_t length = 0;
  std::vector<uint8_t> block;
};
RequestReply DecodeRequestReply(const std::vector<uint8_t>& stub) {
  RequestReply r;
  NdrReader n(stub, true);
  if (!n.Pointer(r.referent)) return r;
  if (r.referent) {
    std::span<const uint8_t> v;
    if (!n.ConformantBytes(16u << 20, v)) return r;
    r.block.assign(v.begin(), v.end());
  }
  r.ok = n.I32(r.length) && n.U32(r.status) && n.Remaining() == 0;
  return r;
}

// A client connected over TCP loopback and bound to the agent interface, or null.
std::unique_ptr<RpcClient> Bound(uint16_t port, ClientOptions o = {}) {
  auto c = std::make_unique<RpcClient>(o);
  if (c->ConnectTcp("127.0.0.1", port) != 0 || c->Bind(testiface::AgentRpcId()) != 0) return nullptr;
  return c;
}

bool PingWorks(uint16_t port) {
  std::vector<uint8_t> reply;
  auto c = Bound(port);
  return c && c->Call(0, {}, reply) == 0 && reply == std::vector<uint8_t>{0, 0, 0, 0};
}

// Waits until closed connections are gone from the server's count.
void AwaitNoConnections(RpcServer& s) {
  for (int i = 0; i < 200 && s.Stats().connections_open; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

// A raw peer that has sent a good bind and read its answer.
void BindRaw(RawPeer& p, uint16_t xmit = 5840, uint16_t recv = 5840) {
  std::vector<uint8_t> pdu;
  PduHeader h;
  ASSERT_TRUE(p.Send(testpdu::Bind(1, xmit, recv, {{0, testiface::AgentRpcId(), {kNdr20}}})));
  ASSERT_TRUE(p.Read(pdu, h));
}

TEST(DcerpcServer, ProtocolSequenceStatuses) {
  RpcServer s(testsrv::TestLimits());
  EXPECT_EQ(s.Listen(), kStatusNoProtseqsRegistered);
  EXPECT_EQ(s.UseProtseq("ncacn_nb_nb", 3), kStatusProtseqNotSupported);
  EXPECT_EQ(s.UseProtseq("ncacn_spx", 3), kStatusProtseqNotSupported);
  EXPECT_EQ(s.UseProtseq("ncacn_bogus", 3), kStatusInvalidProtseq);
  EXPECT_EQ(s.UseProtseq("ncacn_ip_tcp", 3, "70000"), kStatusInvalidBinding);
  std::string path = std::string(NETWARD_BINARY_DIR) + "/dcerpc_test.sock";
  ASSERT_EQ(s.UseProtseq("ncalrpc", 3, path), kStatusOk);
  struct stat st{};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  std::vector<Binding> b;
  ASSERT_EQ(s.InqBindings(b), kStatusOk);
  ASSERT_EQ(b.size(), 1u);
  EXPECT_EQ(b[0].ToString(), "ncalrpc:[" + path + "]");
  EXPECT_EQ(s.StopListening(), kStatusNotListening);
}

TEST(DcerpcServer, CallsOverTcpAndLocalSocketWithTheAgentLayouts) {
  RunningServer rs;
  std::string path = std::string(NETWARD_BINARY_DIR) + "/dcerpc_test2.sock";
  // Opened while Listen already runs: the listener joins the running accept loop.
  ASSERT_EQ(rs.server.UseProtseq("ncalrpc", 3, path), 0u);

  for (const char* peer : {"127.0.0.1", "::1", "local"}) {
    SCOPED_TRACE(peer);
    RpcClient c;
    uint32_t st = std::string(peer) == "local" ? c.ConnectLocal(path) : c.ConnectTcp(peer, rs.port);
    if (st != 0 && std::string(peer) == "::1") continue;  // host without IPv6
    ASSERT_EQ(st, 0u);
    ASSERT_EQ(c.Bind(testiface::AgentRpcId()), 0u);
    std::vector<uint8_t> reply;
    ASSERT_EQ(c.Call(0, {}, reply), 0u);
    EXPECT_EQ(reply, (std::vector<uint8_t>{0, 0, 0, 0}));

    ASSERT_EQ(c.Call(1, RequestBody(rs.state.key.data()), reply), 0u);
    RequestReply r = DecodeRequestReply(reply);  // (ok, non-null block, status, ReplyLength, block size)
    EXPECT_EQ(std::make_tuple(r.ok, r.referent != 0, r.status, r.length, r.block.size()),
              std::make_tuple(true, true, 0u, 32, size_t{32}));

    uint8_t bad_key[16] = {};
    ASSERT_EQ(c.Call(1, RequestBody(bad_key), reply), 0u);
    r = DecodeRequestReply(reply);
    EXPECT_EQ(std::make_tuple(r.ok, r.referent != 0, r.status, r.length, r.block.size()),
              std::make_tuple(true, false, testiface::kKeyRejected, 0, size_t{0}));

    // Short bodies: the manager refuses them as bad stub data.
    for (size_t n : {0u, 16u, 271u}) {
      std::vector<uint8_t> shorter(n, 0);
      EXPECT_EQ(c.Call(1, shorter, reply), kStatusBadStubData) << n;
    }
  }
}

TEST(DcerpcServer, FragmentsBothWaysWithNegotiatedSizes) {
  RunningServer rs;
  rs.state.reply_size = 300 * 1024;
  ClientOptions o;
  o.max_xmit_frag = 1432;
  o.max_recv_frag = 2000;
  auto c = Bound(rs.port, o);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->NegotiatedXmit(), 1432);
  EXPECT_EQ(c->NegotiatedRecv(), 2000);
  // A request stub of 20000 octets goes out in 15 fragments; the manager reads the first 272.
  std::vector<uint8_t> body = RequestBody(rs.state.key.data());
  body.resize(20000, 0x55);
  std::vector<uint8_t> reply;
  ASSERT_EQ(c->Call(1, body, reply), 0u);
  RequestReply r = DecodeRequestReply(reply);
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.block.size(), 300u * 1024);
  for (size_t i = 0; i < r.block.size(); i += 997) ASSERT_EQ(r.block[i], static_cast<uint8_t>(i));

  // Every response fragment respects the client's max_recv_frag.
  RawPeer p(rs.port);
  BindRaw(p, 1432, 1500);
  std::vector<uint8_t> pdu;
  PduHeader h;
  ASSERT_TRUE(p.Send(testpdu::Request(2, 0, 1, RequestBody(rs.state.key.data()))));
  size_t total = 0, frags = 0;
  do {
    ASSERT_TRUE(p.Read(pdu, h));
    ASSERT_EQ(h.type, PduType::kResponse);
    EXPECT_LE(h.frag_length, 1500);
    total += h.frag_length - kResponseHeaderSize;
    ++frags;
  } while (!(h.flags & kPfcLastFrag));
  EXPECT_EQ(total, reply.size());
  EXPECT_GT(frags, 200u);
}

TEST(DcerpcServer, PresentationContextsAndFeatureNegotiation) {
  RunningServer rs;
  RawPeer p(rs.port);
  SyntaxId agent = testiface::AgentRpcId();
  SyntaxId unknown = agent;
  unknown.uuid.b[0] ^= 1;
  SyntaxId newer = agent;
  newer.minor = 1;  // a client wanting 1.1 cannot use our 1.0
  ASSERT_TRUE(p.Send(testpdu::Bind(1, 5840, 5840,
                                   {{0, agent, {kNdr64, kNdr20}},
                                    {1, agent, {kNdr64}},
                                    {2, agent, {testpdu::Btfn(0x03)}},
                                    {3, unknown, {kNdr20}},
                                    {4, newer, {kNdr20}}})));
  std::vector<uint8_t> pdu;
  PduHeader h;
  BindAckPdu ack;
  ASSERT_TRUE(p.Read(pdu, h) && h.type == PduType::kBindAck && ParseBindAck(pdu, h, ack));
  ASSERT_EQ(ack.n_results, 5);
  struct Want {
    uint16_t result, reason;
    bool ndr;
  } want[] = {{kAcceptance, 0, true},
              {kProviderRejection, kTransferSyntaxesNotSupported, false},
              {kNegotiateAck, kFeatureKeepConnectionOnOrphan, false},
              {kProviderRejection, kAbstractSyntaxNotSupported, false},
              {kProviderRejection, kAbstractSyntaxNotSupported, false}};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(ack.results[i].result, want[i].result) << i;
    EXPECT_EQ(ack.results[i].reason, want[i].reason) << i;
    EXPECT_EQ(ack.results[i].transfer == kNdr20, want[i].ndr) << i;
  }
  // Calls on the rejected context fail; alter_context adds one that works.
  uint32_t status = 0;
  ASSERT_TRUE(p.Send(testpdu::Request(2, 1, 0, {})));
  ASSERT_TRUE(p.Read(pdu, h) && h.type == PduType::kFault && ParseFault(pdu, h, status));
  EXPECT_EQ(status, kNcaUnkIf);
  ASSERT_TRUE(p.Send(testpdu::Bind(3, 5840, 5840, {{7, agent, {kNdr20}}}, 0, PduType::kAlterContext)));
  ASSERT_TRUE(p.Read(pdu, h) && h.type == PduType::kAlterContextResp);
  ASSERT_TRUE(p.Send(testpdu::Request(4, 7, 0, {})));
  EXPECT_TRUE(p.Read(pdu, h) && h.type == PduType::kResponse);
}

TEST(DcerpcServer, BigEndianRequestIsUnderstood) {
  RunningServer rs;
  ClientOptions o;
  o.drep = DataRep::Big();
  auto c = Bound(rs.port, o);
  ASSERT_TRUE(c);
  std::vector<uint8_t> reply;
  ASSERT_EQ(c->Call(1, RequestBody(rs.state.key.data()), reply), 0u);
  EXPECT_EQ(DecodeRequestReply(reply).status, 0u);
  // EBCDIC characters are refused with a fault, not misread.
  o.drep.b[0] = 0x11;
  auto e = Bound(rs.port, o);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->Call(0, {}, reply), kNcaUnsupportedType);
}

// Hostile input, one case per row: what is sent after an optional good bind, and what must come
// back (a PDU type, or the connection closed). After each the server still serves a fresh client.
TEST(DcerpcServer, MalformedInputNeverStopsTheServer) {
  RunningServer rs;
  SyntaxId agent = testiface::AgentRpcId();
  SyntaxId unknown = agent;
  unknown.uuid.b[15] ^= 0xff;
  auto good_bind = testpdu::Bind(1, 5840, 5840, {{0, agent, {kNdr20}}});
  auto with = [](std::vector<uint8_t> v, size_t at, uint8_t b) {
    v[at] = b;
    return v;
  };
  auto frag_len = [](std::vector<uint8_t> v, uint16_t n) {
    v[8] = static_cast<uint8_t>(n);
    v[9] = static_cast<uint8_t>(n >> 8);
    return v;
  };
  enum Expect { kClosed, kFault, kNak, kAck, kSilentThenIdleClose };
  struct Case {
    const char* name;
    bool bind_first;
    std::vector<uint8_t> bytes;
    Expect expect;
    uint32_t status;  // fault status or bind_nak reason / rejected-context reason
  } cases[] = {
      {"truncated header", false, std::vector<uint8_t>(good_bind.begin(), good_bind.begin() + 10), kSilentThenIdleClose, 0},
      {"frag_length below header", false, frag_len(good_bind, 8), kFault, kNcaProtoError},
      {"frag_length above limit", false, frag_len(good_bind, 60000), kFault, kNcaProtoError},
      {"wrong version bind", false, with(good_bind, 0, 4), kNak, kNakProtocolVersionNotSupported},
      {"wrong minor version", false, with(good_bind, 1, 7), kClosed, 0},
      {"request before bind", false, testpdu::Request(2, 0, 0, {}), kFault, kNcaProtoError},
      {"unknown context id", true, testpdu::Request(2, 9, 0, {}), kFault, kNcaUnkIf},
      {"unknown opnum", true, testpdu::Request(2, 0, 77, {}), kFault, kNcaOpRngError},
      {"bind to unknown interface", false, testpdu::Bind(1, 5840, 5840, {{0, unknown, {kNdr20}}}), kAck,
       kAbstractSyntaxNotSupported},
      {"bind with auth verifier", false, testpdu::Bind(1, 5840, 5840, {{0, agent, {kNdr20}}}, 16), kNak,
       kNakAuthTypeNotRecognized},
      {"request with auth verifier", true, testpdu::Request(2, 0, 0, {}, 3, {}, 16), kFault, kStatusAccessDenied},
      {"second bind", true, good_bind, kClosed, 0},
      {"bind with no contexts", false, testpdu::Bind(1, 5840, 5840, {}), kNak, kNakNotSpecified},
      {"half a PDU then silence", true,
       std::vector<uint8_t>(good_bind.begin(), good_bind.begin() + 30), kSilentThenIdleClose, 0},
      {"unknown PDU type", true, with(testpdu::Request(2, 0, 0, {}), 2, 99), kClosed, 0},
      {"middle fragment without a first", true, testpdu::Request(2, 0, 0, {1, 2, 3}, kPfcLastFrag), kClosed, 0},
      {"response sent to the server", true, with(testpdu::Request(2, 0, 0, {}), 2, 2), kClosed, 0},
      {"orphaned is ignored", true, with(testpdu::Request(2, 0, 0, {}), 2, 19), kSilentThenIdleClose, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawPeer p(rs.port);
    ASSERT_TRUE(p.connected());
    std::vector<uint8_t> pdu;
    PduHeader h;
    if (c.bind_first) BindRaw(p);
    ASSERT_TRUE(p.Send(c.bytes));
    switch (c.expect) {
      case kClosed:
        EXPECT_TRUE(p.ClosedWithin(2000));
        break;
      case kSilentThenIdleClose:
        EXPECT_FALSE(p.Read(pdu, h, 200));  // nothing comes back at once
        EXPECT_TRUE(p.ClosedWithin(2000));  // the idle time-out ends it
        break;
      case kFault: {
        uint32_t status = 0;
        ASSERT_TRUE(p.Read(pdu, h) && h.type == PduType::kFault && ParseFault(pdu, h, status));
        EXPECT_EQ(status, c.status);
        break;
      }
      case kNak: {
        uint16_t reason = 0;
        ASSERT_TRUE(p.Read(pdu, h) && h.type == PduType::kBindNak && ParseBindNak(pdu, h, reason));
        EXPECT_EQ(reason, c.status);
        EXPECT_TRUE(p.ClosedWithin(2000));
        break;
      }
      case kAck: {
        BindAckPdu ack;
        ASSERT_TRUE(p.Read(pdu, h) && h.type == PduType::kBindAck && ParseBindAck(pdu, h, ack));
        EXPECT_EQ(ack.results[0].result, kProviderRejection);
        EXPECT_EQ(ack.results[0].reason, c.status);
        break;
      }
    }
    EXPECT_TRUE(PingWorks(rs.port));
  }
}

TEST(DcerpcServer, LimitsOnCallSizeAndConnections) {
  auto limits = testsrv::TestLimits();
  limits.max_call_in = 4096;
  limits.max_call_out = 64 * 1024;
  limits.max_connections = 3;
  limits.idle_timeout_ms = 5000;
  RunningServer rs(limits);
  {
    auto c = Bound(rs.port);
    ASSERT_TRUE(c);
    std::vector<uint8_t> reply, big(5000, 0);
    EXPECT_EQ(c->Call(1, big, reply), kNcaFaultRemoteNoMemory);  // request over max_call_in
    rs.state.reply_size = 65 * 1024;
    EXPECT_EQ(c->Call(1, RequestBody(rs.state.key.data()), reply), kNcaFaultRemoteNoMemory);  // reply over max_call_out
    rs.state.reply_size = 32;
    EXPECT_EQ(c->Call(0, {}, reply), 0u);  // the connection survives both
  }
  AwaitNoConnections(rs.server);
  std::vector<std::unique_ptr<RpcClient>> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(Bound(rs.port));
    ASSERT_TRUE(held.back());
  }
  RawPeer extra(rs.port);
  EXPECT_TRUE(extra.ClosedWithin(2000));
  EXPECT_GE(rs.server.Stats().connections_refused, 1u);
  held.clear();
  AwaitNoConnections(rs.server);
  EXPECT_TRUE(PingWorks(rs.port));
}

// A PingRpc call over a raw peer that has bound: true when the reply came within `ms`.
bool RawPingWorks(RawPeer& p, int ms = 1000) {
  std::vector<uint8_t> pdu;
  PduHeader h;
  if (!p.Send(testpdu::Bind(1, 5840, 5840, {{0, testiface::AgentRpcId(), {kNdr20}}})) || !p.Read(pdu, h, ms) ||
      h.type != PduType::kBindAck)
    return false;
  return p.Send(testpdu::Request(2, 0, 0, {})) && p.Read(pdu, h, ms) && h.type == PduType::kResponse;
}

// 300 sockets that connect and never bind used to fill the 256-connection table and lock every
// client out for the 120 s idle time-out (and a peer that reconnected kept it so). Now an address
// has only its share of the table, and when the table (or the share) is full the oldest connection
// that has not bound makes room: real clients, from the same address or another, are served within
// a second.
TEST(DcerpcServer, IdleUnboundSocketsCannotLockClientsOut) {
  for (unsigned per_peer : {64u, 1000u}) {
    SCOPED_TRACE(per_peer == 64 ? "the address's share is full" : "the whole table is full");
    auto limits = testsrv::TestLimits();
    limits.max_connections = 256;
    limits.max_connections_per_peer = per_peer;
    limits.idle_timeout_ms = 120000;
    limits.unbound_timeout_ms = 60000;
    RunningServer rs(limits);
    std::vector<std::unique_ptr<RawPeer>> idle;
    for (int i = 0; i < 300; ++i) {
      idle.push_back(std::make_unique<RawPeer>(rs.port));
      ASSERT_TRUE(idle.back()->connected());
    }
    for (int i = 0; i < 500 && rs.server.Stats().connections_accepted + rs.server.Stats().connections_refused < 300; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(rs.server.Stats().connections_refused, 0u);
    EXPECT_EQ(rs.server.Stats().connections_dropped, 300u - std::min(per_peer, 256u));

    for (const char* from : {"127.0.0.1", "127.0.0.2"}) {
      SCOPED_TRACE(from);
      const auto t0 = std::chrono::steady_clock::now();
      RawPeer client(rs.port, from);
      EXPECT_TRUE(RawPingWorks(client));
      EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    }
    EXPECT_TRUE(idle.front()->ClosedWithin(1000)) << "the oldest idle sockets were the ones dropped";
    EXPECT_FALSE(idle.back()->ClosedWithin(100)) << "the newest are still open";
  }
}

// A connection must bind within the short unbound time-out; once bound, only the idle time-out
// applies.
TEST(DcerpcServer, UnboundConnectionsGetAShortTimeOut) {
  auto limits = testsrv::TestLimits();
  limits.idle_timeout_ms = 5000;
  limits.unbound_timeout_ms = 300;
  RunningServer rs(limits);
  RawPeer silent(rs.port), client(rs.port);
  BindRaw(client);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(silent.ClosedWithin(3000));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
  EXPECT_FALSE(client.ClosedWithin(700)) << "a bound connection keeps the idle time-out";
  std::vector<uint8_t> pdu;
  PduHeader h;
  ASSERT_TRUE(client.Send(testpdu::Request(2, 0, 0, {})));
  EXPECT_TRUE(client.Read(pdu, h) && h.type == PduType::kResponse);
}

TEST(DcerpcServer, TricklingPeerIsCutOffBeforeItsPduCompletes) {
  RunningServer rs;  // idle time-out 400 ms
  RawPeer p(rs.port);
  BindRaw(p);
  // One octet every 100 ms keeps each gap well under the time-out, but the PDU would take 30 s.
  auto req = testpdu::Request(2, 0, 1, std::vector<uint8_t>(280, 0));
  auto t0 = std::chrono::steady_clock::now();
  bool cut = false;
  for (size_t i = 0; i < req.size() && !cut; ++i) {
    if (send(p.fd(), &req[i], 1, MSG_NOSIGNAL) != 1) break;
    pollfd pf{p.fd(), POLLIN, 0};
    cut = poll(&pf, 1, 100) > 0;
  }
  EXPECT_TRUE(cut || p.ClosedWithin(1000));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  EXPECT_TRUE(PingWorks(rs.port));
}

// A server that offers no usable fragment size must not stall our client: it falls back to the
// 1432 octets every implementation accepts.
TEST(DcerpcClient, ServerOfferingZeroFragmentSizeGetsMinimumFragments) {
  int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(lfd, 1), 0);
  getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
  size_t largest = 0, stub_total = 0;
  std::thread fake([&] {
    RawPeer peer(RawPeer::Accepted{accept(lfd, nullptr, nullptr)});
    std::vector<uint8_t> b, out;
    PduHeader h;
    if (!peer.Read(b, h)) return;
    ContextReply ok{kAcceptance, 0, kNdr20};
    WriteBindAck(out, PduType::kBindAck, h.call_id, 0, 0, 1, "", {&ok, 1});
    peer.Send(out);
    while (peer.Read(b, h)) {
      largest = std::max<size_t>(largest, h.frag_length);
      stub_total += h.frag_length - kRequestHeaderSize;
      if (h.flags & kPfcLastFrag) break;
    }
    uint8_t r[kResponseHeaderSize];
    WriteResponseHeader(r, h.call_id, kPfcFirstFrag | kPfcLastFrag, kResponseHeaderSize + 4, 4, 0);
    out.assign(r, r + sizeof r);
    out.resize(out.size() + 4, 0);  // status 0
    peer.Send(out);
  });
  ClientOptions o;
  o.timeout_ms = 3000;
  RpcClient c(o);
  std::vector<uint8_t> reply;
  ASSERT_EQ(c.ConnectTcp("127.0.0.1", ntohs(a.sin_port)), 0u);
  ASSERT_EQ(c.Bind(testiface::AgentRpcId()), 0u);
  EXPECT_EQ(c.Call(1, std::vector<uint8_t>(10000, 1), reply), 0u);
  fake.join();
  close(lfd);
  EXPECT_EQ(largest, kMinFragSize);
  EXPECT_EQ(stub_total, 10000u);
  EXPECT_EQ(reply.size(), 4u);
}

TEST(DcerpcServer, IdleConnectionIsClosedNotBeforeItsTimeOut) {
  RunningServer rs;
  RawPeer idle(rs.port);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(idle.ClosedWithin(3000));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
}

// True once a TCP connection to the port is refused (the listener is closed), trying for about 2 s.
bool RefusesConnections(uint16_t port) {
  for (int i = 0; i < 400; ++i) {
    RawPeer p(port);
    if (!p.connected()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

TEST(DcerpcServer, StopLetsACallInProgressSendItsReplyAndRefusesEverythingNew) {
  auto rs = std::make_unique<RunningServer>();
  std::atomic<bool> in_call{false}, release{false};
  rs->state.before_reply = [&] {
    in_call = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  auto idle = Bound(rs->port);
  auto busy = Bound(rs->port);
  ASSERT_TRUE(idle && busy);
  uint32_t status = 1;
  std::vector<uint8_t> reply;
  std::thread caller([&] { status = busy->Call(1, RequestBody(rs->state.key.data()), reply); });
  while (!in_call) std::this_thread::yield();

  EXPECT_EQ(rs->server.StopListening(), kStatusOk);
  EXPECT_TRUE(RefusesConnections(rs->port)) << "the listening socket is closed at once";
  std::vector<uint8_t> ping;
  EXPECT_NE(idle->Call(0, {}, ping), 0u) << "an idle connection is closed at once";
  release = true;
  caller.join();
  EXPECT_EQ(status, 0u);
  RequestReply r = DecodeRequestReply(reply);
  EXPECT_TRUE(r.ok && r.status == 0 && r.block.size() == 32) << "the whole reply of the call in progress";
  rs->thread.join();
  EXPECT_EQ(rs->listen_status, kStatusOk);
  EXPECT_FALSE(rs->server.IsListening());
  EXPECT_NE(busy->Call(0, {}, ping), 0u) << "the connection ends after that reply";
}

TEST(DcerpcServer, ACallThatStopsTheServerStillRepliesToItsCaller) {
  auto rs = std::make_unique<RunningServer>();
  rs->state.before_reply = [&] {
    EXPECT_EQ(rs->server.StopListening(), kStatusOk);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the stop runs meanwhile
  };
  auto c = Bound(rs->port);
  ASSERT_TRUE(c);
  std::vector<uint8_t> reply;
  EXPECT_EQ(c->Call(1, RequestBody(rs->state.key.data()), reply), 0u);
  RequestReply r = DecodeRequestReply(reply);
  EXPECT_TRUE(r.ok && r.block.size() == 32);
  rs->thread.join();
  EXPECT_EQ(rs->listen_status, kStatusOk);
}

}  // namespace
