#include "reply_format.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "text_table.h"

namespace netward::client {

namespace {

using json = nlohmann::ordered_json;

// The eight counters of "TOT " and "TET ": their names and their values as text, in record order.
constexpr const char* kCountNames[] = {"OwnBytes",   "OwnFrames",   "OwnGroupFrames",   "OwnEventFrames",
                                       "OtherBytes", "OtherFrames", "OtherGroupFrames", "OtherEventFrames"};
std::vector<std::string> CountCells(const TrafficCounts& c) {
  return {Num(c.own_bytes),   Num(c.own_frames),   Num(c.own_group_frames),   Num(c.own_event_frames),
          Num(c.other_bytes), Num(c.other_frames), Num(c.other_group_frames), Num(c.other_event_frames)};
}

void KeyValues(const std::vector<std::pair<std::string, std::string>>& kv, std::string& out) {
  size_t w = 0;
  for (const auto& [k, v] : kv) w = std::max(w, k.size());
  for (const auto& [k, v] : kv) {
    std::string line = "  " + k + std::string(w - k.size(), ' ') + "  " + Cell(v);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
}

std::string IntervalText(uint32_t interval) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%3u %02u:%02u", interval, (interval / 6) % 100u, (interval % 6) * 10);
  return buf;
}

constexpr const char* kEthernetNames[kOidEthernetCounters] = {
    "RcvErrorAlignment", "XmitOneCollision", "XmitMoreCollisions", "XmitDeferred",   "XmitMaxCollisions",
    "RcvOverrun",        "XmitUnderrun",     "XmitHeartbeatFailure", "XmitTimesCrsLost", "XmitLateCollisions"};
constexpr const char* kTokenRingNames[kOidTokenRingCounters] = {
    "LineErrors",   "LostFrames",        "BurstErrors",     "AcErrors",      "AbortDelimiters",
    "FrameCopiedErrors", "FrequencyErrors", "TokenErrors", "InternalErrors"};

void TextRun(const std::vector<Record>& recs, size_t begin, size_t end, std::string& out);

void TextOf(const ParsedReply& reply, std::string& out) {
  const ReplyHeader& h = reply.header;
  out += "Reply of " + Cell(h.date) + " " + Cell(h.time) + " (agent version " + Cell(h.version) + ", status " +
         Num(h.status_code) + ")\n";
  const auto& recs = reply.records;
  for (size_t i = 0; i < recs.size();) {
    size_t j = i + 1;
    Tag t = recs[i].tag;
    if (t == Tag::kBhdr) {
      while (j < recs.size() && recs[j].tag == Tag::kBent) ++j;
    } else {
      while (j < recs.size() && recs[j].tag == t && t != Tag::kTot && t != Tag::kTxt4 && t != Tag::kNws) ++j;
    }
    TextRun(recs, i, j, out);
    i = j;
  }
}

void TextRun(const std::vector<Record>& recs, size_t begin, size_t end, std::string& out) {
  const Record& first = recs[begin];
  out += "\n";
  switch (first.tag) {
    case Tag::kTot: {
      const TotRecord& t = first.tot;
      out += "Totals\n";
      std::vector<std::pair<std::string, std::string>> kv = {{"FrameSequence", Num(t.frame_sequence)}};
      const std::vector<std::string> counts = CountCells(t);
      for (size_t k = 0; k < counts.size(); ++k) kv.emplace_back(kCountNames[k], counts[k]);
      kv.insert(kv.end(), {{"DayChanges", Num(t.day_changes)},
                           {"SecondsSinceOther", Num(t.seconds_since_other)},
                           {"HostName", t.host_name},
                           {"AddressText", t.address_text}});
      KeyValues(kv, out);
      break;
    }
    case Tag::kTxt4:
      out += first.text;
      if (!first.text.empty() && first.text.back() != '\n') out += "\n";
      break;
    case Tag::kHist: {
      Table tb({"History day"});
      for (size_t i = begin; i < end; ++i) tb.Row({Cell(recs[i].text)});
      tb.Render(out);
      break;
    }
    case Tag::kTet: {
      Table tb({"Interval", ">OwnBytes", ">OwnFrames", ">OwnGroup", ">OwnEvent", ">OtherBytes", ">OtherFrames",
                ">OtherGroup", ">OtherEvent"});
      for (size_t i = begin; i < end; ++i) {
        const TetRecord& t = recs[i].tet;
        std::vector<std::string> row = CountCells(t);
        row.insert(row.begin(), IntervalText(t.interval));
        tb.Row(std::move(row));
      }
      tb.Render(out);
      break;
    }
    case Tag::kStat: {
      Table tb({">Nic", "Address", "Protocol", "Role", "Name", "LastSeen", ">BytesSent", ">FramesSent", ">GroupSent",
                ">EventSent", ">BytesRcvd", ">FramesRcvd"});
      for (size_t i = begin; i < end; ++i) {
        const StatRecord& s = recs[i].stat;
        tb.Row({Num(s.adapter_number), Cell(s.address_label), Cell(s.protocol_label), Cell(s.role), Cell(s.name),
                Cell(s.last_seen), Num(s.bytes_sent), Num(s.frames_sent), Num(s.group_frames_sent),
                Num(s.event_frames_sent), Num(s.bytes_received), Num(s.frames_received)});
      }
      tb.Render(out);
      break;
    }
    case Tag::kDetl: {
      Table tb({">Nic", ">Seq", "Time", ">Len", "Source", "Peer", "Role", "Name", "Dir", "Destination", "Summary",
                "Event", "Protocol"});
      for (size_t i = begin; i < end; ++i) {
        const DetlRecord& d = recs[i].detl;
        tb.Row({Num(d.adapter_number), Num(d.sequence), Cell(d.time_text), Num(d.length), Cell(d.source_text),
                Cell(d.peer_text), Cell(d.role_text), Cell(d.name_text), Cell(d.direction_mark),
                Cell(d.destination_text), Cell(d.summary_text), Cell(d.event_text), Cell(d.protocol_text)});
      }
      tb.Render(out);
      break;
    }
    case Tag::kBhdr: {
      const BhdrRecord& b = first.bhdr;
      out += "Group frames " + Cell(b.window_start) + " - " + Cell(b.time_text) + ": " + Num(b.group_frames) +
             " frames, " + Num(b.recent_frames) + " in the last minute, " + Num(b.entry_count) + " entries\n";
      if (end - begin > 1) {
        Table tb({">Nic", "Address", "Protocol", "Role", "Name", ">Last60s", ">Frames", "Time", ">Seq", "Text",
                  "Destination"});
        for (size_t i = begin + 1; i < end; ++i) {
          const BentRecord& e = recs[i].bent;
          tb.Row({Num(e.adapter_number), Cell(e.address_label), Cell(e.protocol_label), Cell(e.role), Cell(e.name),
                  Num(e.recent_frames), Num(e.window_frames), Cell(e.time_text), Num(e.sequence), Cell(e.group_text),
                  Cell(e.destination_text)});
        }
        tb.Render(out);
      }
      break;
    }
    case Tag::kBent: break;  // always shown under its header
    case Tag::kOid:
      for (size_t i = begin; i < end; ++i) {
        const OidRecord& o = recs[i].oid;
        out += "Adapter " + Num(o.adapter_number) + "\n";
        std::vector<std::pair<std::string, std::string>> kv = {
            {"AdapterName", o.adapter_name},         {"State", o.state},
            {"Loopback", o.loopback},                {"AdapterTitle", o.adapter_title},
            {"DriverFileText", o.driver_file_text},  {"OwnAddress", o.own_address},
            {"HardwareStatus", o.hardware_status},   {"MediaConnection", o.media_connection},
            {"Media", o.media},                      {"LinkSpeed", o.link_speed},
            {"XmitErrors", o.transmit_errors},       {"RcvErrors", o.receive_errors},
            {"RcvNoBuffer", o.receive_no_buffer},    {"RcvCrcErrors", o.receive_crc_errors}};
        for (size_t k = 0; k < kOidEthernetCounters; ++k)
          if (!o.ethernet[k].empty()) kv.emplace_back(kEthernetNames[k], o.ethernet[k]);
        for (size_t k = 0; k < kOidTokenRingCounters; ++k)
          if (!o.token_ring[k].empty()) kv.emplace_back(kTokenRingNames[k], o.token_ring[k]);
        if (!o.ring_status.empty()) kv.emplace_back("RingStatus", o.ring_status);
        if (!o.ring_state.empty()) kv.emplace_back("RingState", o.ring_state);
        KeyValues(kv, out);
      }
      break;
    case Tag::kNws:
      out += "Snapshot image, " + std::to_string(first.nws.size()) + " records\n";
      for (const NwsRecord& n : first.nws) {
        out += "\n== " + Cell(n.name) + " (" + Num(n.data_length) + " bytes)";
        if (n.is_dump) {
          out += ": frame capture of " + Num(n.dump_frames) + " frames\n";
        } else {
          out += "\n";
          for (const ParsedReply& r : n.reply) TextOf(r, out);
        }
      }
      break;
  }
}

json JsonOf(const ParsedReply& reply);

void PutCounts(json& j, const TrafficCounts& c) {
  j["OwnBytes"] = c.own_bytes;
  j["OwnFrames"] = c.own_frames;
  j["OwnGroupFrames"] = c.own_group_frames;
  j["OwnEventFrames"] = c.own_event_frames;
  j["OtherBytes"] = c.other_bytes;
  j["OtherFrames"] = c.other_frames;
  j["OtherGroupFrames"] = c.other_group_frames;
  j["OtherEventFrames"] = c.other_event_frames;
}

json RecordJson(const Record& r) {
  auto s = [](const std::string& v) { return Latin1ToUtf8(v); };
  json j;
  j["Tag"] = TagText(r.tag);
  j["Offset"] = r.offset;
  switch (r.tag) {
    case Tag::kTot: {
      const TotRecord& t = r.tot;
      j["FrameSequence"] = t.frame_sequence;
      PutCounts(j, t);
      j["DayChanges"] = t.day_changes;
      j["SecondsSinceOther"] = t.seconds_since_other;
      j["HostName"] = s(t.host_name);
      j["AddressText"] = s(t.address_text);
      break;
    }
    case Tag::kTxt4: j["Text"] = s(r.text); break;
    case Tag::kHist: j["Date"] = s(r.text); break;
    case Tag::kTet: {
      const TetRecord& t = r.tet;
      j["Interval"] = t.interval;
      PutCounts(j, t);
      break;
    }
    case Tag::kStat: {
      const StatRecord& t = r.stat;
      j["AdapterNumber"] = t.adapter_number;
      j["AddressLabel"] = s(t.address_label);
      j["ProtocolLabel"] = s(t.protocol_label);
      j["Role"] = s(t.role);
      j["Name"] = s(t.name);
      j["LastSeen"] = s(t.last_seen);
      j["BytesSent"] = t.bytes_sent;
      j["FramesSent"] = t.frames_sent;
      j["GroupFramesSent"] = t.group_frames_sent;
      j["EventFramesSent"] = t.event_frames_sent;
      j["BytesReceived"] = t.bytes_received;
      j["FramesReceived"] = t.frames_received;
      break;
    }
    case Tag::kDetl: {
      const DetlRecord& d = r.detl;
      j["AdapterNumber"] = d.adapter_number;
      j["Sequence"] = d.sequence;
      j["Length"] = d.length;
      j["TimeText"] = s(d.time_text);
      j["SourceText"] = s(d.source_text);
      j["PeerText"] = s(d.peer_text);
      j["RoleText"] = s(d.role_text);
      j["NameText"] = s(d.name_text);
      j["DirectionMark"] = s(d.direction_mark);
      j["DestinationText"] = s(d.destination_text);
      j["SummaryText"] = s(d.summary_text);
      j["ProtocolText"] = s(d.protocol_text);
      j["EventText"] = s(d.event_text);
      j["MediaType"] = d.media_type;
      break;
    }
    case Tag::kBhdr: {
      const BhdrRecord& b = r.bhdr;
      j["Time"] = s(b.time_text);
      j["WindowStart"] = s(b.window_start);
      j["GroupFrames"] = b.group_frames;
      j["RecentFrames"] = b.recent_frames;
      j["EntryCount"] = b.entry_count;
      break;
    }
    case Tag::kBent: {
      const BentRecord& e = r.bent;
      j["AdapterNumber"] = e.adapter_number;
      j["AddressLabel"] = s(e.address_label);
      j["ProtocolLabel"] = s(e.protocol_label);
      j["Role"] = s(e.role);
      j["Name"] = s(e.name);
      j["RecentFrames"] = e.recent_frames;
      j["WindowFrames"] = e.window_frames;
      j["Time"] = s(e.time_text);
      j["Sequence"] = e.sequence;
      j["GroupText"] = s(e.group_text);
      j["DestinationText"] = s(e.destination_text);
      break;
    }
    case Tag::kOid: {
      const OidRecord& o = r.oid;
      j["AdapterNumber"] = o.adapter_number;
      j["AdapterName"] = s(o.adapter_name);
      j["State"] = s(o.state);
      j["Loopback"] = s(o.loopback);
      j["AdapterTitle"] = s(o.adapter_title);
      j["DriverFileText"] = s(o.driver_file_text);
      j["OwnAddress"] = s(o.own_address);
      j["HardwareStatus"] = s(o.hardware_status);
      j["MediaConnection"] = s(o.media_connection);
      j["Media"] = s(o.media);
      j["LinkSpeed"] = s(o.link_speed);
      j["XmitErrors"] = s(o.transmit_errors);
      j["RcvErrors"] = s(o.receive_errors);
      j["RcvNoBuffer"] = s(o.receive_no_buffer);
      j["RcvCrcErrors"] = s(o.receive_crc_errors);
      for (size_t k = 0; k < kOidEthernetCounters; ++k) j[kEthernetNames[k]] = s(o.ethernet[k]);
      for (size_t k = 0; k < kOidTokenRingCounters; ++k) j[kTokenRingNames[k]] = s(o.token_ring[k]);
      j["RingStatus"] = s(o.ring_status);
      j["RingState"] = s(o.ring_state);
      break;
    }
    case Tag::kNws: {
      json list = json::array();
      for (const NwsRecord& n : r.nws) {
        json e;
        e["Name"] = s(n.name);
        e["DataLength"] = n.data_length;
        if (n.is_dump) e["Frames"] = n.dump_frames;
        for (const ParsedReply& rep : n.reply) e["Reply"] = JsonOf(rep);
        list.push_back(std::move(e));
      }
      j["Records"] = std::move(list);
      break;
    }
  }
  return j;
}

json JsonOf(const ParsedReply& reply) {
  json j;
  j["Header"] = {{"Magic", reply.header.magic},
                 {"Version", Latin1ToUtf8(reply.header.version)},
                 {"Date", Latin1ToUtf8(reply.header.date)},
                 {"Time", Latin1ToUtf8(reply.header.time)},
                 {"StatusCode", reply.header.status_code}};
  json recs = json::array();
  for (const Record& r : reply.records) recs.push_back(RecordJson(r));
  j["Records"] = std::move(recs);
  return j;
}

}  // namespace

std::string Latin1ToUtf8(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (unsigned char c : s) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

void FormatText(const ParsedReply& reply, std::string& out) { TextOf(reply, out); }

bool FormatJson(const std::string& request, const ParsedReply& reply, std::string& out) {
  try {
    json j;
    j["Request"] = Latin1ToUtf8(request);
    json body = JsonOf(reply);
    j["Header"] = std::move(body["Header"]);
    j["Records"] = std::move(body["Records"]);
    out = j.dump(-1, ' ', false, json::error_handler_t::replace);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace netward::client
