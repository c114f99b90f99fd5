#include "reply_parser.h"

#include <cstdio>
#include <cstring>

#include <type_traits>

#include "record_members.h"
#include "wire/reply_fields.h"

namespace netward::client {

namespace {

// Bounded little-endian reads over one record whose size was checked before it was taken apart.
class RecordView {
 public:
  RecordView(const uint8_t* p, size_t n) : p_(p), n_(n) {}
  uint32_t U32(size_t off) const {
    if (off + 4 > n_) return 0;
    return static_cast<uint32_t>(p_[off]) | static_cast<uint32_t>(p_[off + 1]) << 8 |
           static_cast<uint32_t>(p_[off + 2]) << 16 | static_cast<uint32_t>(p_[off + 3]) << 24;
  }
  float F32(size_t off) const {
    uint32_t u = U32(off);
    float f;
    std::memcpy(&f, &u, 4);
    return f;
  }
  // The field's bytes up to the first NUL; blank-padded fields also lose their trailing blanks.
  std::string Text(size_t off, size_t len, bool trim_blanks = true) const {
    if (off >= n_) return {};
    if (off + len > n_) len = n_ - off;
    const uint8_t* f = p_ + off;
    size_t end = 0;
    while (end < len && f[end] != 0) ++end;
    if (trim_blanks)
      while (end > 0 && f[end - 1] == ' ') --end;
    return std::string(reinterpret_cast<const char*>(f), end);
  }
  // A text field as its kind says.
  std::string Text(const Field& f) const {
    if (f.kind == FieldKind::kRaw || f.kind == FieldKind::kTag) return Raw(f.offset, f.size);
    return Text(f.offset, f.size, f.kind == FieldKind::kText);
  }
  // All bytes of the field, NULs kept (fields that are full and carry no terminator).
  std::string Raw(size_t off, size_t len) const {
    if (off >= n_) return {};
    if (off + len > n_) len = n_ - off;
    return std::string(reinterpret_cast<const char*>(p_ + off), len);
  }

 private:
  const uint8_t* p_;
  size_t n_;
};

std::string Printable(const uint8_t* p, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] >= 0x20 && p[i] < 0x7f) {
      s.push_back(static_cast<char>(p[i]));
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", p[i]);
      s += buf;
    }
  }
  return s;
}

struct TagSpec {
  char bytes[5];
  Tag tag;
  size_t size;  // 0: variable
};

constexpr TagSpec kTags[] = {
    {"TOT ", Tag::kTot, kTotBytes},   {"TXT4", Tag::kTxt4, kTxt4Bytes}, {"HIST", Tag::kHist, kHistBytes},
    {"TET ", Tag::kTet, kTetBytes},   {"STAT", Tag::kStat, kStatBytes}, {"DETL", Tag::kDetl, kDetlBytes},
    {"BHDR", Tag::kBhdr, kBhdrBytes}, {"BENT", Tag::kBent, kBentBytes}, {"OID ", Tag::kOid, kOidBytes},
    {"NWS ", Tag::kNws, 0},
};

// One record's fields into its structure, row by row.
template <class R, size_t N>
void Take(const RecordView& v, const Member<R> (&rows)[N], R& r) {
  for (const Member<R>& m : rows) {
    const Field& f = *m.field;
    std::visit(
        [&](auto* p) {
          using T = std::remove_pointer_t<decltype(p)>;
          if constexpr (std::is_same_v<T, std::string>) {
            *p = v.Text(f);
          } else if constexpr (std::is_same_v<T, float>) {
            *p = v.F32(f.offset);
          } else {
            *p = static_cast<T>(v.U32(f.offset));
          }
        },
        RefOf(m, r));
  }
}

class Parser {
 public:
  explicit Parser(ParseError& err) : err_(err) {}

  // `base` is the offset of `block` within the outermost block, so that errors name absolute offsets.
  bool Block(std::span<const uint8_t> block, size_t base, unsigned depth, ParsedReply& out) {
    if (block.size() < kHeaderBytes)
      return Fail("TASK", base, "block of " + std::to_string(block.size()) + " bytes is shorter than the " +
                                    std::to_string(kHeaderBytes) + "-byte reply header");
    RecordView h(block.data(), kHeaderBytes);
    if (std::memcmp(block.data(), "TASK", 4) != 0)
      return Fail(Printable(block.data(), 4), base, "reply header does not begin with \"TASK\"");
    Take(h, rows::kHeaderRows, out.header);

    size_t pos = kHeaderBytes;
    uint32_t bent_expected = 0;
    size_t bhdr_at = 0;
    while (pos < block.size()) {
      size_t left = block.size() - pos;
      const uint8_t* p = block.data() + pos;
      if (left < 4) return Fail(Printable(p, left), base + pos, "truncated record tag");
      const TagSpec* def = nullptr;
      for (const TagSpec& t : kTags)
        if (std::memcmp(p, t.bytes, 4) == 0) def = &t;
      std::string tag = Printable(p, 4);
      if (def == nullptr) return Fail(tag, base + pos, "unknown record tag");
      if (bent_expected > 0 && def->tag != Tag::kBent)
        return Fail(tag, base + pos,
                    "the \"BHDR\" record at byte offset " + std::to_string(base + bhdr_at) + " announced " +
                        std::to_string(bent_expected) + " more \"BENT\" entries");
      if (def->tag == Tag::kBent && bent_expected == 0)
        return Fail(tag, base + pos, "\"BENT\" entry without a \"BHDR\" header announcing it");
      if (def->tag == Tag::kNws) {
        Record& r = out.records.emplace_back();
        r.tag = Tag::kNws;
        r.offset = base + pos;
        return Snapshot(block.subspan(pos), base + pos, depth, r);
      }
      if (left < def->size)
        return Fail(tag, base + pos,
                    "truncated record: " + std::to_string(def->size) + " bytes needed, " + std::to_string(left) +
                        " left in the block");
      RecordView v(p, def->size);
      Record& r = out.records.emplace_back();
      r.tag = def->tag;
      r.offset = base + pos;
      switch (def->tag) {
        case Tag::kTot: Take(v, rows::kTotRows, r.tot); break;
        case Tag::kTxt4: r.text = v.Text(FieldNamed(reply_fields::kTxt4, "Text")); break;
        case Tag::kHist: r.text = v.Text(FieldNamed(reply_fields::kHist, "Date")); break;
        case Tag::kTet: Take(v, rows::kTetRows, r.tet); break;
        case Tag::kStat: Take(v, rows::kStatRows, r.stat); break;
        case Tag::kDetl: Take(v, rows::kDetlRows, r.detl); break;
        case Tag::kBhdr: {
          Take(v, rows::kBhdrRows, r.bhdr);
          uint32_t n = r.bhdr.entry_count;
          if (n > kMaxBentEntries)
            return Fail(tag, base + pos,
                        "entry count " + std::to_string(n) + " exceeds " + std::to_string(kMaxBentEntries));
          if ((left - kBhdrBytes) / kBentBytes < n)
            return Fail(tag, base + pos,
                        "announces " + std::to_string(n) + " \"BENT\" entries; the block holds " +
                            std::to_string((left - kBhdrBytes) / kBentBytes));
          bent_expected = n;
          bhdr_at = pos;
          break;
        }
        case Tag::kBent:
          Take(v, rows::kBentRows, r.bent);
          --bent_expected;
          break;
        case Tag::kOid: Take(v, rows::kOidRows, r.oid); break;
        case Tag::kNws: break;
      }
      pos += def->size;
    }
    return true;
  }

 private:
  // "NWS " then records (length L of name + data, 16-byte name, data) up to a length of 0.
  bool Snapshot(std::span<const uint8_t> image, size_t base, unsigned depth, Record& r) {
    if (image.size() == 4) return true;  // no snapshot could be written: the magic alone
    if (depth >= kMaxSnapshotDepth) return Fail("NWS ", base, "snapshot image inside a snapshot image");
    size_t pos = 4;
    for (;;) {
      size_t left = image.size() - pos;
      if (left < 4) return Fail("NWS ", base + pos, "snapshot image ends without its end mark");
      RecordView lv(image.data() + pos, 4);
      uint32_t len = lv.U32(0);
      if (len == 0) {
        if (left != 4)
          return Fail("NWS ", base + pos, std::to_string(left - 4) + " bytes after the snapshot end mark");
        return true;
      }
      if (len < 16) return Fail("NWS ", base + pos, "snapshot record length " + std::to_string(len) + " below 16");
      if (left - 4 < len)
        return Fail("NWS ", base + pos,
                    "truncated snapshot record: " + std::to_string(len) + " bytes announced, " +
                        std::to_string(left - 4) + " left");
      NwsRecord& rec = r.nws.emplace_back();
      RecordView nv(image.data() + pos + 4, 16);
      rec.name = nv.Text(0, 16, false);
      rec.data_length = len - 16;
      std::span<const uint8_t> data = image.subspan(pos + 20, len - 16);
      if (rec.name.rfind("DUMP_", 0) == 0) {
        rec.is_dump = true;
        rec.dump_frames = DumpFrames(data);
      } else {
        ParsedReply& nested = rec.reply.emplace_back();
        if (!Block(data, base + pos + 20, depth + 1, nested)) return false;
      }
      pos += 4 + len;
    }
  }

  // The capture is stored with every byte inverted; its frame table length is at offset 28.
  static uint32_t DumpFrames(std::span<const uint8_t> data) {
    if (data.size() < 32) return 0;
    uint8_t head[32];
    for (size_t i = 0; i < 32; ++i) head[i] = static_cast<uint8_t>(~data[i]);
    if (std::memcmp(head, "RTSS", 4) != 0) return 0;
    return RecordView(head, 32).U32(28) / 4;
  }

  bool Fail(std::string tag, size_t offset, std::string what) {
    err_.tag = std::move(tag);
    err_.offset = offset;
    err_.what = std::move(what);
    return false;
  }

  ParseError& err_;
};

}  // namespace

std::string ParseError::Message() const {
  return "malformed reply: record \"" + tag + "\" at byte offset " + std::to_string(offset) + ": " + what;
}

bool ParseReplyBlock(std::span<const uint8_t> block, ParsedReply& out, ParseError& err) {
  out = ParsedReply{};
  err = ParseError{};
  return Parser(err).Block(block, 0, 0, out);
}

const char* TagText(Tag t) {
  switch (t) {
    case Tag::kTot: return "TOT ";
    case Tag::kTxt4: return "TXT4";
    case Tag::kHist: return "HIST";
    case Tag::kTet: return "TET ";
    case Tag::kStat: return "STAT";
    case Tag::kDetl: return "DETL";
    case Tag::kBhdr: return "BHDR";
    case Tag::kBent: return "BENT";
    case Tag::kOid: return "OID ";
    case Tag::kNws: return "NWS ";
  }
  return "?";
}

}  // namespace netward::client
