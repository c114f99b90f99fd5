// The client's reply parser and presentation over hand-computed reply blocks, and the NDR
// unmarshalling of the RequestRpc and ept_map answers.
#include <gtest/gtest.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "agent_client.h"
#include "dcerpc/epm.h"
#include "reply_format.h"
#include "reply_parser.h"

namespace netward::client {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
void Add(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
// A text field: `text`, then `pad` up to `n` bytes.
std::string F(const std::string& text, size_t n, char pad) { return text + std::string(n - text.size(), pad); }

const std::string kHeader = std::string("TASK19990415" "20261206" "18:55:09") + std::string("\x07\0\0\0", 4);

// TOT: FrameSequence 1234, OwnBytes 1500.0 (0x44BB8000), OwnFrames 3, 1, 0, OtherBytes 64.0
// (0x42800000), OtherFrames 2, 2, 1, DayChanges 0, 5 seconds, host "PC1", address "10.0.0.1".
const std::string kTot = std::string("TOT ") + std::string("\xD2\x04\0\0" "\x00\x80\xBB\x44" "\x03\0\0\0" "\x01\0\0\0"
                                                           "\0\0\0\0" "\x00\x00\x80\x42" "\x02\0\0\0" "\x02\0\0\0"
                                                           "\x01\0\0\0" "\0\0\0\0" "\x05\0\0\0",
                                                           44) +
                         F("PC1", 32, '\0') + F("10.0.0.1", 20, '\0');

// STAT of adapter 2: blank-padded texts, LastSeen "18:54:01", BytesSent 1.5 (0x3FC00000), 7, 6, 5,
// BytesReceived -2.0 (0xC0000000), 4.
const std::string kStat = std::string("STAT\x02\0\0\0", 8) + F("*10.0.0.1", 16, ' ') + F("TCP/IP", 28, ' ') +
                          F("Server", 8, ' ') + F("", 32, ' ') + "18:54:01" +
                          std::string("\x00\x00\xC0\x3F" "\x07\0\0\0" "\x06\0\0\0" "\x05\0\0\0" "\x00\x00\x00\xC0"
                                      "\x04\0\0\0",
                                      24);

std::string Detl() {
  std::string d = std::string("DETL" "\x01\0\0\0" "\x2A\0\0\0" "\x3C\0\0\0", 16) + F("18:55:01", 12, '\0') +
                  F("10.0.0.2", 16, '\0') + F("ARP", 28, '\0') + F("", 8, '\0') + F("HOSTB", 32, '\0') + "  ->" +
                  F("Broadcast", 28, ' ') + F("ARP Request 10.0.0.1", 100, ' ') + F("ARP: who has", 100, '\0') +
                  F("ARP Re-transmit ", 16, ' ') + std::string("\0\0\0\0", 4);
  return d;
}

std::string Bhdr(uint32_t n) {
  std::string h = std::string("BHDR") + F("18:55:09", 12, '\0') + F("18:40:09", 12, '\0');
  uint32_t v[3] = {9, 2, n};
  h.append(reinterpret_cast<const char*>(v), 12);
  return h;
}

std::string Bent(const std::string& src) {
  return std::string("BENT\x01\0\0\0", 8) + F(src, 16, '\0') + F("NetBIOS", 28, '\0') + F("", 8, '\0') +
         F("", 32, '\0') + std::string("\x01\0\0\0\x04\0\0\0", 8) + F("18:55:00", 12, '\0') +
         std::string("\x63\0\0\0", 4) + F("Name query WORKGROUP", 100, ' ') + F("Broadcast", 28, ' ');
}

std::string Oid() {
  std::string o(744, '\0');
  auto put = [&](size_t at, const std::string& s) { o.replace(at, s.size(), s); };
  put(0, std::string("OID \x01\0\0\0", 8));
  put(8, "eth0");
  put(40, "Open");
  put(56, "NDIS");
  put(168, "0200C0A80001");
  put(224, "Ethernet");
  put(240, "100 Mbps");
  put(320, "17");
  put(464, "3");
  put(136, "fastlink.ko  ");           // driver file text without date or version: blanks kept
  put(624, std::string(100, 'R'));     // a full ring status has no NUL before the ring state
  put(724, "Open");
  return o;
}

Bytes Block(const std::vector<std::string>& records) {
  Bytes b = B(kHeader);
  for (const auto& r : records) Add(b, r);
  return b;
}

// Members whose JSON form JsonNamesEveryField checks on the same records are not repeated here.
TEST(NetwardReply, TakesApartEveryRecordKind) {
  std::string txt = std::string("TXT4") + F("line one\r\nline two\r\n", 4096, '\0');
  std::string hist = std::string("HIST") + "20261205";
  std::string tet = std::string("TET " "\x71\0\0\0" "\x00\x80\xBB\x44", 12) + std::string(28, '\0');
  Bytes block = Block({kTot, kStat, Detl(), Bhdr(2), Bent("10.0.0.9"), Bent("*10.0.0.1"), Oid(), txt, hist, tet});
  ParsedReply r;
  ParseError e;
  ASSERT_TRUE(ParseReplyBlock(block, r, e)) << e.Message();
  EXPECT_EQ(r.header.version, "19990415");
  EXPECT_EQ(r.header.date, "20261206");
  EXPECT_EQ(r.header.time, "18:55:09");
  EXPECT_EQ(r.header.status_code, 7u);
  ASSERT_EQ(r.records.size(), 10u);

  const TotRecord& t = r.records[0].tot;
  EXPECT_EQ(r.records[0].offset, 32u);
  EXPECT_EQ(t.frame_sequence, 1234u);
  EXPECT_EQ(t.own_frames, 3u);
  EXPECT_EQ(t.other_bytes, 64.0f);
  EXPECT_EQ(t.other_event_frames, 1u);
  EXPECT_EQ(t.seconds_since_other, 5);
  EXPECT_EQ(t.address_text, "10.0.0.1");

  const StatRecord& s = r.records[1].stat;
  EXPECT_EQ(s.adapter_number, 2u);
  EXPECT_EQ(s.address_label, "*10.0.0.1");
  EXPECT_EQ(s.protocol_label, "TCP/IP");
  EXPECT_EQ(s.role, "Server");
  EXPECT_EQ(s.name, "");  // 32 blanks
  EXPECT_EQ(s.last_seen, "18:54:01");
  EXPECT_EQ(s.bytes_sent, 1.5f);
  EXPECT_EQ(s.frames_sent, 7u);
  EXPECT_EQ(s.group_frames_sent, 6u);
  EXPECT_EQ(s.event_frames_sent, 5u);
  EXPECT_EQ(s.bytes_received, -2.0f);

  const DetlRecord& d = r.records[2].detl;
  EXPECT_EQ(d.sequence, 42u);
  EXPECT_EQ(d.length, 60u);
  EXPECT_EQ(d.time_text, "18:55:01");
  EXPECT_EQ(d.name_text, "HOSTB");
  EXPECT_EQ(d.destination_text, "Broadcast");
  EXPECT_EQ(d.summary_text, "ARP Request 10.0.0.1");
  EXPECT_EQ(d.protocol_text, "ARP: who has");

  EXPECT_EQ(r.records[3].bhdr.window_start, "18:40:09");
  EXPECT_EQ(r.records[3].bhdr.group_frames, 9u);
  EXPECT_EQ(r.records[3].bhdr.entry_count, 2u);
  EXPECT_EQ(r.records[5].bent.address_label, "*10.0.0.1");
  EXPECT_EQ(r.records[5].bent.window_frames, 4u);
  EXPECT_EQ(r.records[5].bent.sequence, 99u);

  const OidRecord& o = r.records[6].oid;
  EXPECT_EQ(o.adapter_name, "eth0");
  EXPECT_EQ(o.own_address, "0200C0A80001");
  EXPECT_EQ(o.link_speed, "100 Mbps");
  EXPECT_EQ(o.counters[0], "17");  // the first Ethernet counter
  EXPECT_EQ(o.driver_file_text, "fastlink.ko  ");
  EXPECT_EQ(o.ring_status, std::string(100, 'R'));
  EXPECT_EQ(o.ring_state, "Open");
  EXPECT_EQ(r.records[7].text, "line one\r\nline two\r\n");
  EXPECT_EQ(r.records[8].text, "20261205");
  EXPECT_EQ(r.records[9].tet.interval, 113u);
  EXPECT_EQ(r.records[9].tet.own_bytes, 1500.0f);
}

TEST(NetwardReply, MalformedBlocksNameTagAndOffset) {
  std::string stat_cut = kStat.substr(0, 50);
  struct Case {
    const char* name;
    Bytes block;
    const char* tag;
    size_t offset;
    const char* what;
  } cases[] = {
      {"short header", B(kHeader.substr(0, 10)), "TASK", 0, "shorter than"},
      {"wrong magic", B("TASX" + kHeader.substr(4)), "TASX", 0, "TASK"},
      {"unknown tag", Block({kTot, "ZZZZ" + std::string(20, '\0')}), "ZZZZ", 132, "unknown"},
      {"binary tag", Block({std::string("\x01T\0T", 4)}), "\\x01T\\x00T", 32, "unknown"},
      {"truncated STAT", Block({kTot, stat_cut}), "STAT", 132, "124 bytes needed, 50 left"},
      {"truncated tag", Block({kTot, "TO"}), "TO", 132, "truncated record tag"},
      {"BHDR count beyond the block", Block({Bhdr(2), Bent("a")}), "BHDR", 32, "announces 2"},
      {"BHDR count too large", Block({Bhdr(18001)}), "BHDR", 32, "exceeds 18000"},
      {"BENT missing after BHDR", Block({Bhdr(1), kStat, kStat}), "STAT", 72, "announced 1 more"},
      {"BENT without BHDR", Block({Bent("a")}), "BENT", 32, "without"},
      {"snapshot without end mark", Block({"NWS " + std::string("\x14\0\0\0", 4) + F("DUMP_1", 16, '\0') + "abcd"}),
       "NWS ", 60, "end mark"},
      {"snapshot record below 16", Block({"NWS " + std::string("\x08\0\0\0", 4) + "12345678"}), "NWS ", 36,
       "below 16"},
      {"snapshot record past the end", Block({"NWS " + std::string("\x50\0\0\0", 4) + F("X", 16, '\0')}), "NWS ",
       36, "80 bytes announced"},
      {"bytes after the end mark", Block({"NWS " + std::string(4, '\0') + "x"}), "NWS ", 36, "after the"},
      // A nested reply whose STAT is cut: the offset counts from the outer block.
      {"nested reply malformed",
       Block({"NWS " + std::string("\x62\0\0\0", 4) + F("STATS_PRO 0", 16, '\0') + kHeader + stat_cut +
              std::string(4, '\0')}),
       "STAT", 32 + 4 + 4 + 16 + 32, "124 bytes needed"},
      {"snapshot inside a snapshot",
       Block({"NWS " + std::string("\x38\0\0\0", 4) + F("SNAPSHOT", 16, '\0') + kHeader + "NWS " +
              std::string(4, '\0')}),
       "NWS ", 32 + 4 + 20 + 32, "inside"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ParsedReply r;
    ParseError e;
    ASSERT_FALSE(ParseReplyBlock(c.block, r, e));
    EXPECT_EQ(e.tag, c.tag);
    EXPECT_EQ(e.offset, c.offset);
    EXPECT_NE(e.what.find(c.what), std::string::npos) << e.what;
    EXPECT_NE(e.Message().find(std::string("\"") + c.tag + "\" at byte offset " + std::to_string(c.offset)),
              std::string::npos);
  }
}

TEST(NetwardReply, SnapshotImageHoldsRepliesAndDumps) {
  // Inverted capture header: "RTSS", ..., frame table length 8 at offset 28 (two frames).
  std::string capture(40, '\0');
  capture.replace(0, 4, "RTSS");
  capture[28] = 8;
  for (char& c : capture) c = static_cast<char>(~static_cast<unsigned char>(c));
  std::string reply = kHeader + kTot;
  std::string image = "NWS ";
  auto rec = [&](const std::string& name, const std::string& data) {
    uint32_t len = static_cast<uint32_t>(16 + data.size());
    image.append(reinterpret_cast<const char*>(&len), 4);
    image += F(name, 16, '\0') + data;
  };
  rec("OPEN ", reply);
  rec("CMD IPCONFIG -al", kHeader);  // a full 16-byte name has no NUL
  rec("DUMP_1", capture);
  image += std::string(4, '\0');
  ParsedReply r;
  ParseError e;
  ASSERT_TRUE(ParseReplyBlock(Block({image}), r, e)) << e.Message();
  ASSERT_EQ(r.records.size(), 1u);
  const auto& n = r.records[0].nws;
  ASSERT_EQ(n.size(), 3u);
  EXPECT_EQ(n[0].name, "OPEN ");
  ASSERT_EQ(n[0].reply.size(), 1u);
  EXPECT_EQ(n[0].reply[0].records[0].tot.frame_sequence, 1234u);
  EXPECT_EQ(n[1].name, "CMD IPCONFIG -al");
  EXPECT_TRUE(n[1].reply[0].records.empty());
  EXPECT_TRUE(n[2].is_dump);
  EXPECT_EQ(n[2].dump_frames, 2u);

  ASSERT_TRUE(ParseReplyBlock(Block({"NWS "}), r, e));  // no snapshot could be written
  EXPECT_TRUE(r.records[0].nws.empty());
}

TEST(NetwardReply, TextTablesAreAlignedAndTxt4IsVerbatim) {
  std::string stat2 = kStat;
  stat2.replace(8, 16, F("10.0.0.200", 16, ' '));
  stat2.replace(60, 32, F("A-LONGER-NAME", 32, ' '));
  std::string txt = std::string("TXT4") + F("Report\r\n", 4096, '\0');
  ParsedReply r;
  ParseError e;
  ASSERT_TRUE(ParseReplyBlock(Block({kTot, kStat, stat2, txt}), r, e));
  std::string out;
  FormatText(r, out);
  EXPECT_NE(out.find("Reply of 20261206 18:55:09 (agent version 19990415, status 7)"), std::string::npos);
  EXPECT_NE(out.find("  FrameSequence      1234\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  HostName           PC1\n"), std::string::npos) << out;
  // Both station rows put LastSeen in the same column, numbers right-aligned under their heads.
  size_t a = out.find("*10.0.0.1"), b = out.find("10.0.0.200");
  ASSERT_NE(a, std::string::npos);
  ASSERT_NE(b, std::string::npos);
  size_t la = out.rfind('\n', a) + 1, lb = out.rfind('\n', b) + 1;
  EXPECT_EQ(out.find("18:54:01", a) - la, out.find("18:54:01", b) - lb);
  EXPECT_EQ(out.find('\n', a) - la, out.find('\n', b) - lb);
  EXPECT_NE(out.find("Report\r\n"), std::string::npos);
}

TEST(NetwardReply, JsonNamesEveryField) {
  std::string name8bit = kStat;
  name8bit.replace(60, 6, "M\xFCller");  // Latin-1 u-umlaut
  ParsedReply r;
  ParseError e;
  ASSERT_TRUE(ParseReplyBlock(Block({kTot, name8bit, Detl(), Bhdr(1), Bent("b"), Oid()}), r, e));
  std::string out;
  ASSERT_TRUE(FormatJson("STATS_PRO 0", r, out));
  EXPECT_EQ(out.find('\n'), std::string::npos);
  nlohmann::json j = nlohmann::json::parse(out);
  EXPECT_EQ(j["Request"], "STATS_PRO 0");
  EXPECT_EQ(j["Header"]["StatusCode"], 7);
  auto& recs = j["Records"];
  ASSERT_EQ(recs.size(), 6u);
  EXPECT_EQ(recs[0]["Tag"], "TOT ");
  EXPECT_EQ(recs[0]["OwnBytes"], 1500.0);
  EXPECT_EQ(recs[0]["HostName"], "PC1");
  EXPECT_EQ(recs[1]["Tag"], "STAT");
  EXPECT_EQ(recs[1]["Offset"], 132);
  EXPECT_EQ(recs[1]["Name"], "M\xC3\xBCller");
  EXPECT_EQ(recs[1]["FramesReceived"], 4);
  EXPECT_EQ(recs[2]["DirectionMark"], "  ->");
  EXPECT_EQ(recs[2]["EventText"], "ARP Re-transmit");
  EXPECT_EQ(recs[3]["EntryCount"], 1);
  EXPECT_EQ(recs[4]["GroupText"], "Name query WORKGROUP");
  EXPECT_EQ(recs[5]["XmitLateCollisions"], "3");
  EXPECT_EQ(recs[5]["Media"], "Ethernet");
}

TEST(NetwardRpcStubs, RequestStubPadsKeyAndRequest) {
  Bytes stub;
  std::string err;
  ASSERT_TRUE(BuildRequestStub("Secret", "TOTAL", stub, err));
  ASSERT_EQ(stub.size(), 272u);
  EXPECT_EQ(std::string(stub.begin(), stub.begin() + 16), std::string("Secret\0\0\0\0\0\0\0\0\0\0", 16));
  EXPECT_EQ(std::string(stub.begin() + 16, stub.begin() + 22), std::string("TOTAL\0", 6));
  EXPECT_EQ(stub.back(), 0);
  EXPECT_TRUE(BuildRequestStub(std::string(16, 'k'), std::string(255, 'r'), stub, err));
  EXPECT_FALSE(BuildRequestStub(std::string(17, 'k'), "TOTAL", stub, err));
  EXPECT_FALSE(BuildRequestStub("", std::string(256, 'r'), stub, err));
}

TEST(NetwardRpcStubs, RequestResponseUnmarshalling) {
  struct Case {
    const char* name;
    std::string stub;
    bool ok;
    std::string block;
    uint32_t result;
  } cases[] = {
      {"block of 5 bytes, padded", std::string("\0\0\2\0" "\5\0\0\0" "TASK!" "\0\0\0" "\5\0\0\0" "\0\0\0\0", 24), true,
       "TASK!", 0},
      {"key rejected: null pointer", std::string("\0\0\0\0" "\0\0\0\0" "\xFE\xFF\xFF\xFF", 12), true, "",
       kResultKeyRejected},
      {"count beyond the data", std::string("\0\0\2\0" "\xFF\0\0\0" "TASK", 12), false, "", 0},
      {"length differs from count", std::string("\0\0\2\0" "\4\0\0\0" "TASK" "\5\0\0\0" "\0\0\0\0", 20), false, "",
       0},
      {"no result", std::string("\0\0\0\0" "\0\0\0\0", 8), false, "", 0},
      {"empty", std::string(), false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RequestReply r;
    std::string err;
    Bytes stub(c.stub.begin(), c.stub.end());
    ASSERT_EQ(ParseRequestResponse(stub, r, err), c.ok) << err;
    if (!c.ok) continue;
    EXPECT_EQ(std::string(r.block.begin(), r.block.end()), c.block);
    EXPECT_EQ(r.result, c.result);
  }
}

// The client's ept_map against the runtime's endpoint mapper routine, in process.
TEST(NetwardRpcStubs, EptMapFindsTheAgentPort) {
  dcerpc::SyntaxId agent{};
  dcerpc::Uuid::Parse("cabcbc10-aaae-11d2-a9f7-00104b7babc3", agent.uuid);
  agent.major = 1;
  dcerpc::SyntaxId other = agent;
  other.uuid.b[0] ^= 1;
  auto run = [&](std::vector<dcerpc::EpEntry> entries, uint16_t& port, std::string& err) {
    dcerpc::InterfaceSpec epm = dcerpc::MakeEndpointMapperInterface([entries] { return entries; });
    Bytes stub, reply;
    BuildEptMapStub(stub);
    dcerpc::CallRequest call{stub, dcerpc::DataRep::Little(), 3};
    EXPECT_EQ(epm.ops[3](call, reply), 0u);
    return ParseEptMapResponse(reply, port, err);
  };
  uint16_t port = 0;
  std::string err;
  ASSERT_TRUE(run({{other, {"ncacn_ip_tcp", "999"}, "", false},
                   {agent, {"ncalrpc", "/tmp/x"}, "", false},
                   {agent, {"ncacn_ip_tcp", "49158"}, "", false}},
                  port, err))
      << err;
  EXPECT_EQ(port, 49158);
  EXPECT_FALSE(run({{other, {"ncacn_ip_tcp", "999"}, "", false}}, port, err));
  EXPECT_NE(err.find("not registered"), std::string::npos) << err;

  Bytes truncated(30, 0);
  EXPECT_FALSE(ParseEptMapResponse(truncated, port, err));
}

}  // namespace
}  // namespace netward::client
