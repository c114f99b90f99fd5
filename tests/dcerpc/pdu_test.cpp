#include <gtest/gtest.h>

#include "support/agent_rpc_iface.h"
#include "common/hex.h"
#include "dcerpc/epm.h"
#include "dcerpc/ndr.h"
#include "dcerpc/pdu.h"
#include "pdu_builder.h"

using namespace dcerpc;
using netward::testing_hex::Hex;

namespace {

TEST(DcerpcPdu, FaultGoldenBytes) {
  uint8_t f[kFaultSize];
  WriteFault(f, 7, 1, 0x1c010002, true);
  EXPECT_EQ(Hex(f, sizeof f),
            "05000323" "10000000" "20000000" "07000000" "00000000" "01000000" "0200011c" "00000000");
  static_assert(kFaultSize == 32);
}

TEST(DcerpcPdu, ResponseHeaderGoldenBytes) {
  uint8_t h[kResponseHeaderSize];
  WriteResponseHeader(h, 2, kPfcFirstFrag | kPfcLastFrag, 28, 4, 0);
  EXPECT_EQ(Hex(h, sizeof h), "05000203" "10000000" "1c000000" "02000000" "04000000" "00000000");
  static_assert(kResponseHeaderSize == 24);
}

TEST(DcerpcPdu, BindNakGoldenBytes) {
  uint8_t b[kBindNakSize];
  WriteBindNak(b, 3, kNakProtocolVersionNotSupported);
  EXPECT_EQ(Hex(b, sizeof b), "05000d03" "10000000" "15000000" "03000000" "0400" "01" "0500");
}

TEST(DcerpcPdu, BindAckGoldenBytesWithPaddedSecondaryAddress) {
  std::vector<uint8_t> out;
  ContextReply r[2] = {{kAcceptance, 0, kNdr20}, {kProviderRejection, kTransferSyntaxesNotSupported, {}}};
  WriteBindAck(out, PduType::kBindAck, 1, 4280, 4280, 0x12345, "135", r);
  EXPECT_EQ(Hex(out.data(), out.size()),
            "05000c03" "10000000" "54000000" "01000000"
            "b810b810" "45230100" "0400" "31333500" "0000"
            "02000000"
            "0000" "0000" "045d888a" "eb1cc911" "9fe80800" "2b104860" "02000000"
            "0200" "0200" "00000000" "00000000" "00000000" "00000000" "00000000");
}

TEST(DcerpcPdu, ParseBindClassifiesTransferSyntaxes) {
  SyntaxId agent = testiface::AgentRpcId();
  auto pdu = testpdu::Bind(5, 4280, 2048,
                           {{0, agent, {kNdr64, kNdr20}}, {1, agent, {kNdr64}}, {2, agent, {testpdu::Btfn(3)}}});
  PduHeader h;
  ASSERT_TRUE(ParseHeader(pdu, h));
  BindPdu b;
  ASSERT_TRUE(ParseBind(pdu, h, b));
  EXPECT_EQ(b.max_xmit_frag, 4280);
  EXPECT_EQ(b.max_recv_frag, 2048);
  ASSERT_EQ(b.n_context, 3);
  EXPECT_TRUE(b.context[0].offers_ndr20 && b.context[0].offers_ndr64);
  EXPECT_TRUE(!b.context[1].offers_ndr20 && b.context[1].offers_ndr64);
  EXPECT_TRUE(b.context[2].is_feature_negotiation);
  EXPECT_EQ(b.context[2].features, 3u);
  EXPECT_EQ(b.context[0].abstract, agent);
  // Every truncation of a valid bind is refused, never read past.
  for (size_t n = kHeaderSize; n < pdu.size(); ++n) {
    std::vector<uint8_t> cut(pdu.begin(), pdu.begin() + static_cast<long>(n));
    PduHeader hc = h;
    hc.frag_length = static_cast<uint16_t>(n);
    EXPECT_FALSE(ParseBind(cut, hc, b)) << n;
  }
}

TEST(DcerpcPdu, RequestHeaderGoldenBytesBothByteOrders) {
  uint8_t h[kRequestHeaderSize];
  WriteRequestHeader(h, 0x01020304, kPfcFirstFrag, 0x0118, 0x0a0b0c0d, 7, 1, DataRep::Little());
  EXPECT_EQ(Hex(h, sizeof h), "05000001" "10000000" "18010000" "04030201" "0d0c0b0a" "0700" "0100");
  // Big-endian with a 4-octet stub: the parser reads every field in the label's byte order.
  WriteRequestHeader(h, 0x01020304, kPfcFirstFrag | kPfcLastFrag, 28, 0x0a0b0c0d, 7, 1, DataRep::Big());
  EXPECT_EQ(Hex(h, sizeof h), "05000003" "00000000" "001c0000" "01020304" "0a0b0c0d" "0007" "0001");
  std::vector<uint8_t> pdu(h, h + sizeof h);
  pdu.insert(pdu.end(), {1, 2, 3, 4});
  PduHeader ph;
  ASSERT_TRUE(ParseHeader(pdu, ph));
  EXPECT_EQ(ph.frag_length, 28);
  EXPECT_EQ(ph.call_id, 0x01020304u);
  RequestPdu r;
  ASSERT_TRUE(ParseRequest(pdu, ph, r));
  EXPECT_EQ(r.alloc_hint, 0x0a0b0c0du);
  EXPECT_EQ(r.context_id, 7);
  EXPECT_EQ(r.opnum, 1);
  EXPECT_EQ(std::vector<uint8_t>(r.stub.begin(), r.stub.end()), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST(DcerpcPdu, HeaderRejectsWrongVersionAndShortInput) {
  auto pdu = testpdu::Request(1, 0, 0, {});
  PduHeader h;
  EXPECT_FALSE(ParseHeader(std::span(pdu).first(15), h));
  pdu[0] = 4;
  EXPECT_FALSE(ParseHeader(pdu, h));
  pdu[0] = 5;
  pdu[1] = 2;
  EXPECT_FALSE(ParseHeader(pdu, h));
  // auth_length larger than the PDU
  pdu[1] = 0;
  pdu[10] = 0xff;
  ASSERT_TRUE(ParseHeader(pdu, h));
  RequestPdu r;
  EXPECT_FALSE(ParseRequest(pdu, h, r));
}

TEST(DcerpcNdr, PrimitivesBothByteOrdersWithAlignment) {
  for (bool le : {true, false}) {
    std::vector<uint8_t> buf;
    NdrWriter w(buf, le);
    w.U8(0xAA);
    w.U32(0x11223344);  // aligned to 4: three pad octets
    w.U16(0x5566);
    w.U64(0x0102030405060708ull);  // aligned to 8
    const uint8_t arr[3] = {7, 8, 9};
    w.ConformantBytes(arr);
    ASSERT_EQ(buf.size(), 1 + 3 + 4 + 2 + 6 + 8 + 4 + 3u);
    EXPECT_EQ(buf[4], le ? 0x44 : 0x11);
    NdrReader r(buf, le);
    uint8_t a;
    uint32_t b;
    uint16_t c;
    uint64_t d;
    std::span<const uint8_t> e;
    ASSERT_TRUE(r.U8(a) && r.U32(b) && r.U16(c) && r.U64(d) && r.ConformantBytes(16, e));
    EXPECT_EQ(b, 0x11223344u);
    EXPECT_EQ(c, 0x5566);
    EXPECT_EQ(d, 0x0102030405060708ull);
    EXPECT_EQ(std::vector<uint8_t>(e.begin(), e.end()), std::vector<uint8_t>(arr, arr + 3));
    EXPECT_EQ(r.Remaining(), 0u);
    EXPECT_FALSE(r.U8(a));
  }
}

TEST(DcerpcNdr, BoundsAreStickyAndConformanceIsChecked) {
  std::vector<uint8_t> buf = {0xff, 0xff, 0xff, 0x7f, 1, 2};  // count 0x7fffffff, 2 octets
  NdrReader r(buf, true);
  std::span<const uint8_t> v;
  EXPECT_FALSE(r.ConformantBytes(1u << 20, v));
  uint8_t x;
  EXPECT_FALSE(r.U8(x));  // failure stays
  NdrReader r2(buf, true);
  EXPECT_FALSE(r2.ConformantBytes(0xffffffff, v));  // count beyond the data
}

TEST(DcerpcNdr, UuidTextAndWireOrder) {
  Uuid u;
  ASSERT_TRUE(Uuid::Parse("cabcbc10-aaae-11d2-a9f7-00104b7babc3", u));
  EXPECT_EQ(Hex(u.b.data(), 16), "10bcbcca" "aeaa" "d211" "a9f7" "00104b7babc3");
  EXPECT_EQ(u.ToString(), "cabcbc10-aaae-11d2-a9f7-00104b7babc3");
  EXPECT_FALSE(Uuid::Parse("cabcbc10-aaae-11d2-a9f7-00104b7babcz", u));
  // Big-endian NDR carries the first three fields most significant octet first.
  std::vector<uint8_t> be;
  NdrWriter w(be, false);
  w.WriteUuid(testiface::AgentRpcId().uuid);
  EXPECT_EQ(Hex(be, 0, be.size()), "cabcbc10" "aaae" "11d2" "a9f7" "00104b7babc3");
  NdrReader r(be, false);
  Uuid back;
  ASSERT_TRUE(r.ReadUuid(back));
  EXPECT_EQ(back, testiface::AgentRpcId().uuid);
}

TEST(DcerpcEpm, TowerRoundTrip) {
  EpEntry e{testiface::AgentRpcId(), {"ncacn_ip_tcp", "49200"}, "", true};
  auto t = BuildTower(e);
  // floor count, then floor 4 carries the port big-endian and floor 5 the address.
  EXPECT_EQ(t[0], 5);
  EXPECT_EQ(t.size(), 2u + (2 + 19 + 2 + 2) * 2 + (2 + 1 + 2 + 2) + (2 + 1 + 2 + 2) + (2 + 1 + 2 + 4));
  EXPECT_EQ(Hex(t, t.size() - 16, 16), "0100" "07" "0200" "c030" "0100" "09" "0400" "7f000001");
  TowerQuery q;
  ASSERT_TRUE(ParseTower(t, q));
  EXPECT_EQ(q.interface_id, e.id);
  EXPECT_EQ(q.transfer, kNdr20);
  EXPECT_EQ(q.transport, kTowerTcp);
  EXPECT_FALSE(ParseTower(std::span(t).first(t.size() - 20), q));
}

}  // namespace
