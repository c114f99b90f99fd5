#include "reply_format.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <span>
#include <type_traits>
#include <vector>

#include "record_members.h"
#include "text_table.h"

namespace netward::client {

namespace {

using json = nlohmann::ordered_json;

// A member's value as stored text, numbers in decimal.
template <class R>
std::string TextOf(const Member<R>& m, const R& r) {
  return std::visit(
      [](auto* p) -> std::string {
        if constexpr (std::is_same_v<decltype(p), const std::string*>) {
          return *p;
        } else {
          return Num(*p);
        }
      },
      RefOf(m, r));
}

// The member's value as JSON: numbers as numbers, texts as UTF-8.
template <class R>
json JsonOf(const Member<R>& m, const R& r) {
  return std::visit(
      [](auto* p) -> json {
        if constexpr (std::is_same_v<decltype(p), const std::string*>) {
          return Latin1ToUtf8(*p);
        } else {
          return *p;
        }
      },
      RefOf(m, r));
}

// Every field of the record in wire order, named as the wire table names it.
template <class R, size_t N, size_t M>
void PutFields(json& j, const std::array<Field, N>& table, const Member<R> (&rows)[M], const R& r) {
  for (const Field& f : table)
    for (const Member<R>& m : rows)
      if (m.field == &f) j[std::string(f.name)] = JsonOf(m, r);
}

// One row of cells per record, under the heads of the rows that have one.
template <class R, size_t M>
Table ColumnsOf(const Member<R> (&rows)[M]) {
  std::vector<std::string> heads;
  for (const Member<R>& m : rows)
    if (!m.head.empty()) heads.emplace_back(m.head);
  return Table(std::move(heads));
}
template <class R, size_t M>
std::vector<std::string> CellsOf(const Member<R> (&rows)[M], const R& r) {
  std::vector<std::string> cells;
  for (const Member<R>& m : rows)
    if (!m.head.empty()) cells.push_back(Cell(TextOf(m, r)));
  return cells;
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

// A record as names and values, in row order.
template <class R>
void KeyValuesOf(std::span<const Member<R>> rows, const R& r, std::string& out) {
  std::vector<std::pair<std::string, std::string>> kv;
  for (const Member<R>& m : rows) {
    std::string text = TextOf(m, r);
    if (!(m.hide_when_empty && text.empty())) kv.emplace_back(m.field->name, std::move(text));
  }
  KeyValues(kv, out);
}

// Records [begin, end) as one table.
template <class R, size_t M>
void RowsOf(const std::vector<Record>& recs, size_t begin, size_t end, R Record::*which, const Member<R> (&rows)[M],
            std::string& out) {
  Table tb = ColumnsOf(rows);
  for (size_t i = begin; i < end; ++i) tb.Row(CellsOf(rows, recs[i].*which));
  tb.Render(out);
}

std::string IntervalText(uint32_t interval) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%3u %02u:%02u", interval, (interval / 6) % 100u, (interval % 6) * 10);
  return buf;
}

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
    case Tag::kTot:
      out += "Totals\n";
      KeyValuesOf<TotRecord>(rows::kTotRows, first.tot, out);
      break;
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
      Table tb = ColumnsOf(rows::kTetRows);
      for (size_t i = begin; i < end; ++i) {
        std::vector<std::string> row = CellsOf(rows::kTetRows, recs[i].tet);
        row[0] = IntervalText(recs[i].tet.interval);
        tb.Row(std::move(row));
      }
      tb.Render(out);
      break;
    }
    case Tag::kStat: RowsOf(recs, begin, end, &Record::stat, rows::kStatRows, out); break;
    case Tag::kDetl: RowsOf(recs, begin, end, &Record::detl, rows::kDetlRows, out); break;
    case Tag::kBhdr: {
      const BhdrRecord& b = first.bhdr;
      out += "Group frames " + Cell(b.window_start) + " - " + Cell(b.time_text) + ": " + Num(b.group_frames) +
             " frames, " + Num(b.recent_frames) + " in the last minute, " + Num(b.entry_count) + " entries\n";
      if (end - begin > 1) RowsOf(recs, begin + 1, end, &Record::bent, rows::kBentRows, out);
      break;
    }
    case Tag::kBent: break;  // always shown under its header
    case Tag::kOid:
      for (size_t i = begin; i < end; ++i) {
        out += "Adapter " + Num(recs[i].oid.adapter_number) + "\n";
        KeyValuesOf(std::span<const Member<OidRecord>>(rows::kOidRows).subspan(1), recs[i].oid, out);  // number above
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

json RecordJson(const Record& r) {
  auto s = [](const std::string& v) { return Latin1ToUtf8(v); };
  json j;
  j["Tag"] = TagText(r.tag);
  j["Offset"] = r.offset;
  switch (r.tag) {
    case Tag::kTot: PutFields(j, reply_fields::kTot, rows::kTotRows, r.tot); break;
    case Tag::kTxt4: j["Text"] = s(r.text); break;
    case Tag::kHist: j["Date"] = s(r.text); break;
    case Tag::kTet: PutFields(j, reply_fields::kTet, rows::kTetRows, r.tet); break;
    case Tag::kStat: PutFields(j, reply_fields::kStat, rows::kStatRows, r.stat); break;
    case Tag::kDetl: PutFields(j, reply_fields::kDetl, rows::kDetlRows, r.detl); break;
    case Tag::kBhdr: PutFields(j, reply_fields::kBhdr, rows::kBhdrRows, r.bhdr); break;
    case Tag::kBent: PutFields(j, reply_fields::kBent, rows::kBentRows, r.bent); break;
    case Tag::kOid: PutFields(j, reply_fields::kOid, rows::kOidRows, r.oid); break;
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
  json header;
  PutFields(header, reply_fields::kHeader, rows::kHeaderRows, reply.header);
  j["Header"] = std::move(header);
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
