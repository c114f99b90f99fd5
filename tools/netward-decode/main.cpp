// netward-decode: reads pcap or pcapng files and prints one decoded line per frame, through the
// same decoder the detail replies use. Columns, tab-separated: frame number, time, length, source,
// direction, destination, summary, protocol. Bytes outside printable ASCII print as \xHH.
#include <pcap/pcap.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "decoder/decoder.h"
#include "platform/clock.h"
#include "decoder/service_names.h"

namespace {

using namespace netward::decoder;
using netward::kMedium8023;
using netward::kMedium8025;

constexpr const char* kUsage =
    "usage: netward-decode [options] FILE...\n"
    "  --own-mac XX:XX:XX:XX:XX:XX  the capturing adapter's address (direction, Token Ring MAC)\n"
    "  --role A.B.C.D=LABEL         role of an address (Self, GW, DNS, WINS); repeatable\n"
    "  --numeric                    no service database (only port 80 is named)\n"
    "  --media 0|1                  force 802.3 (0) or 802.5 (1) instead of the link type\n"
    "  --quiet                      decode without printing\n"
    "  --corpus DIR                 also write each frame as a fuzz input (media byte + bytes)\n";

class TableRoles final : public AddressRoleLabels {
 public:
  bool Add(const char* text) {
    const char* eq = strchr(text, '=');
    unsigned a, b, c, d;
    char tail;
    if (!eq || count_ == kMax || eq - text > 15) return false;
    std::string ip(text, eq);
    if (sscanf(ip.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 ||
        c > 255 || d > 255)
      return false;
    Entry& e = entries_[count_++];
    e.ip[0] = uint8_t(a), e.ip[1] = uint8_t(b), e.ip[2] = uint8_t(c), e.ip[3] = uint8_t(d);
    snprintf(e.label, sizeof e.label, "%s", eq + 1);
    return true;
  }
  const char* AddressRoleLabel(uint32_t, const uint8_t ip[4]) const override {
    for (size_t i = 0; i < count_; ++i)
      if (memcmp(entries_[i].ip, ip, 4) == 0) return entries_[i].label;
    return "";
  }

 private:
  static constexpr size_t kMax = 32;
  struct Entry {
    uint8_t ip[4];
    char label[8];
  } entries_[kMax] = {};
  size_t count_ = 0;
};

bool ParseMac(const char* text, uint8_t (&mac)[6]) {
  unsigned v[6];
  char tail;
  if (sscanf(text, "%x:%x:%x:%x:%x:%x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &tail) != 6)
    return false;
  for (int i = 0; i < 6; ++i) {
    if (v[i] > 255) return false;
    mac[i] = static_cast<uint8_t>(v[i]);
  }
  return true;
}

// A column: at most `width` bytes, up to the first NUL.
void PutColumn(const char* text, size_t width, FILE* out) {
  for (size_t i = 0; i < width && text[i]; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c >= 0x7F)
      fprintf(out, "\\x%02X", c);
    else
      fputc(c, out);
  }
}

struct Options {
  DecoderContext ctx;
  int media = -1;
  bool quiet = false;
  const char* corpus = nullptr;
};

int DecodeFile(const char* path, const Options& opt, unsigned long& corpus_index) {
  char err[PCAP_ERRBUF_SIZE] = {};
  pcap_t* p = pcap_open_offline(path, err);
  if (!p) {
    fprintf(stderr, "netward-decode: %s: %s\n", path, err);
    return 1;
  }
  int media = opt.media;
  if (media < 0) {
    const int link = pcap_datalink(p);
    if (link == DLT_EN10MB) {
      media = kMedium8023;
    } else if (link == DLT_IEEE802) {
      media = kMedium8025;
    } else {
      fprintf(stderr, "netward-decode: %s: link type %d is neither 802.3 nor 802.5, skipped\n",
              path, link);
      pcap_close(p);
      return 0;
    }
  }
  pcap_pkthdr* h;
  const u_char* bytes;
  unsigned long n = 0;
  int rc;
  while ((rc = pcap_next_ex(p, &h, &bytes)) == 1) {
    ++n;
    // The stored area: the first 256 bytes as captured, zeros behind a shorter frame.
    uint8_t stored[kStoredFrameBytes] = {};
    const size_t caplen = h->caplen < kStoredFrameBytes ? h->caplen : kStoredFrameBytes;
    memcpy(stored, bytes, caplen);

    DecodedLine line;
    line.AdapterNumber = 1;
    line.Sequence = static_cast<uint32_t>(n);
    line.Length = h->len;
    line.MediaType = static_cast<uint32_t>(media);
    netward::platform::ClockText(static_cast<uint32_t>(h->ts.tv_sec), line.TimeText);
    // Source and direction as the accounting would label them, from the MAC addresses.
    const size_t src = media == kMedium8025 ? 8 : 6, dst = media == kMedium8025 ? 2 : 0;
    uint8_t source[6];
    memcpy(source, stored + src, 6);
    if (media == kMedium8025) source[0] &= 0x7F;
    const bool own = memcmp(source, opt.ctx.own_address, 6) == 0;
    const bool group = stored[dst] & (media == kMedium8025 ? 0x80 : 0x01);
    char* s = line.SourceText;
    if (own) *s++ = '*';
    for (uint8_t b : source) s += snprintf(s, 3, "%02X", b);
    memcpy(line.DirectionMark, own ? (group ? "  >>" : "  ->") : (group ? "<<  " : "<-  "), 4);

    // Files built to break parsers may give a wire length below the captured length; the bytes
    // captured are then all of the frame there is.
    const uint32_t frame_length = h->len > caplen ? h->len : static_cast<uint32_t>(caplen);
    DecodeStoredFrame(line, stored, frame_length, media, opt.ctx);

    if (opt.corpus) {
      char name[4096];
      snprintf(name, sizeof name, "%s/frame-%06lu", opt.corpus, corpus_index++);
      if (FILE* f = fopen(name, "wb")) {
        const uint8_t m = static_cast<uint8_t>(media);
        fwrite(&m, 1, 1, f);
        fwrite(stored, 1, caplen, f);
        fclose(f);
      }
    }
    if (opt.quiet) continue;
    printf("%lu\t%s\t%u\t", n, line.TimeText, line.Length);
    PutColumn(line.SourceText, sizeof line.SourceText, stdout);
    putchar('\t');
    fwrite(line.DirectionMark, 1, 4, stdout);
    putchar('\t');
    PutColumn(line.DestinationText, sizeof line.DestinationText, stdout);
    putchar('\t');
    PutColumn(line.SummaryText, sizeof line.SummaryText, stdout);
    putchar('\t');
    PutColumn(line.ProtocolText, sizeof line.ProtocolText, stdout);
    putchar('\n');
  }
  if (rc == PCAP_ERROR) {
    // A damaged record ends the file; what was read so far is printed.
    fprintf(stderr, "netward-decode: %s: %s\n", path, pcap_geterr(p));
  }
  pcap_close(p);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  TableRoles roles;
  NoServiceNames no_names;
  bool numeric = false;
  int first_file = argc;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const bool has_value = i + 1 < argc;
    if (!strcmp(a, "--own-mac") && has_value) {
      if (!ParseMac(argv[++i], opt.ctx.own_address)) {
        fprintf(stderr, "netward-decode: bad MAC address %s\n%s", argv[i], kUsage);
        return 2;
      }
    } else if (!strcmp(a, "--role") && has_value) {
      if (!roles.Add(argv[++i])) {
        fprintf(stderr, "netward-decode: bad role %s\n%s", argv[i], kUsage);
        return 2;
      }
    } else if (!strcmp(a, "--numeric")) {
      numeric = true;
    } else if (!strcmp(a, "--media") && has_value) {
      const char* m = argv[++i];
      if (strcmp(m, "0") && strcmp(m, "1")) {
        fprintf(stderr, "%s", kUsage);
        return 2;
      }
      opt.media = atoi(m);
    } else if (!strcmp(a, "--quiet")) {
      opt.quiet = true;
    } else if (!strcmp(a, "--corpus") && has_value) {
      opt.corpus = argv[++i];
      if (mkdir(opt.corpus, 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "netward-decode: cannot create %s: %s\n", opt.corpus, strerror(errno));
        return 1;
      }
    } else if (!strcmp(a, "-h") || !strcmp(a, "--help")) {
      printf("%s", kUsage);
      return 0;
    } else if (a[0] == '-' && a[1] == '-') {
      fprintf(stderr, "netward-decode: unknown option %s\n%s", a, kUsage);
      return 2;
    } else {
      first_file = i;
      break;
    }
  }
  if (first_file >= argc) {
    fprintf(stderr, "%s", kUsage);
    return 2;
  }
  // Read the service database only when it is wanted.
  std::unique_ptr<SystemServiceNames> system_names;
  if (!numeric) system_names = std::make_unique<SystemServiceNames>();
  opt.ctx.services = numeric ? static_cast<const ServiceNames*>(&no_names) : system_names.get();
  opt.ctx.roles = &roles;
  opt.ctx.warn = ConsoleWarning;
  int status = 0;
  unsigned long corpus_index = 0;
  for (int i = first_file; i < argc; ++i)
    if (DecodeFile(argv[i], opt, corpus_index) != 0) status = 1;
  return status;
}
