// netward: command-line client of the NETWARD agent. Binds the agent's RPC interface, sends each
// request text with the key, and prints the decoded reply records as text tables or JSON.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "agent_client.h"
#include "exit_status.h"
#include "pcap_export.h"
#include "reply_format.h"
#include "reply_parser.h"
#include "snapshot_reader.h"
#include "watch_terminal.h"

namespace {

using namespace netward::client;

constexpr const char* kUsage =
    "usage: netward [--host H] [--port P | --epm [--epm-port N] | --local PATH]\n"
    "               [--key TEXT] [--json] [--timeout SECONDS] REQUEST...\n"
    "       netward [connection options] --watch SECONDS REQUEST\n"
    "       netward [connection options] --write-pcap DIR SNAPSHOT\n"
    "       netward --snapshot FILE [--write-captures DIR | --write-pcap DIR] [--json]\n";

constexpr const char* kHelp =
    "Sends each REQUEST (one argument each; quote requests with blanks) to the NETWARD agent and\n"
    "prints the reply records as text tables, or with --json one JSON object per reply (one line each).\n"
    "\n"
    "Options:\n"
    "  --host H          agent host name or address (default 127.0.0.1)\n"
    "  --port P          the agent's TCP port\n"
    "  --epm             ask the endpoint mapper on the host for the agent's TCP port (the default)\n"
    "  --epm-port N      the endpoint mapper's port (default 135; implies --epm)\n"
    "  --local PATH      the agent's local endpoint (Unix socket)\n"
    "  --key TEXT        access key, at most 16 bytes (default: $NETWARD_KEY, else empty)\n"
    "  --json            JSON output, every record field named\n"
    "  --timeout S       seconds to wait for each reply (default 30)\n"
    "  --snapshot FILE   print every record of a snapshot file (.NWS) as replies print; no agent is asked\n"
    "  --write-captures DIR  with --snapshot: write each adapter's frame capture, inverted back, to\n"
    "                    DIR/DUMP_n.cap (a Network Monitor 1.x layout file)\n"
    "  --write-pcap DIR  write each adapter's stored frames as DIR/DUMP_n.pcap for Wireshark and tshark,\n"
    "                    from the --snapshot file or from the agent's SNAPSHOT image (times in this\n"
    "                    machine's time zone); lists the files instead of the records\n"
    "  --watch SECONDS   send the one REQUEST every SECONDS (0.1 to 3600) and redraw it in place:\n"
    "                    totals with rates per second, stations busiest first; q or Ctrl+C ends it\n"
    "  --help            this text\n"
    "\n"
    "Requests (keywords are matched on their leading bytes, letter case exact):\n"
    "  TOTAL             the totals record\n"
    "  OPEN              refresh the adapters' TCP/IP configuration and station names; totals\n"
    "  SNAPSHOT [NAME]   write a snapshot to NAME on the agent's PC; without NAME the snapshot image is the reply\n"
    "  CMD COMMAND       a report text: PING GW, PING DNS, PING WINS, PING host, CONFIG, SUBNET, TEST, or a helper command\n"
    "  CFG               the installed adapters report\n"
    "  HISTORY_LIST      totals and one record per day with a trace file\n"
    "  TET YYYYMMDD      the ten-minute trace intervals of that day\n"
    "  TES YYYYMMDD      the station statistics of that day\n"
    "  DETAILS [N]       totals and the decoded recent frames with a sequence number above N\n"
    "  ERRORS [N]        totals and the decoded event-log frames with a sequence number above N\n"
    "  STATS_PRO [N]     totals and the stations that changed since frame sequence N\n"
    "  OID               the adapter status report, one record per adapter\n"
    "  BCASTSENT LOW|HIGH  group frames this PC sent in the last 15 minutes, grouped by summary (LOW) or protocol (HIGH)\n"
    "  BCASTERS LOW|HIGH   every station's group frames of the last 15 minutes, grouped by source\n"
    "  anything else     answered with the totals record\n"
    "\n"
    "Exit status: 0 success, 1 usage, 2 agent unreachable or call failed, 3 key rejected (result -2),\n"
    "4 malformed reply or snapshot file, 5 file not readable or writable.\n";

bool ParsePort(const char* text, uint16_t& port) {
  char* end = nullptr;
  errno = 0;
  unsigned long v = std::strtoul(text, &end, 10);
  if (errno != 0 || end == text || *end != 0 || v == 0 || v > 65535) return false;
  port = static_cast<uint16_t>(v);
  return true;
}

// Each dump of a snapshot as DIR/DUMP_n.pcap, one line per file written.
int WritePcaps(const std::vector<SnapshotRecord>& records, const std::string& dir, const std::string& source) {
  for (const SnapshotRecord& r : records) {
    if (r.is_dump && PcapLinkType(r.capture_info.network) < 0) {
      std::fprintf(stderr, "netward: %s: %s has network type %u, which pcap has no link type for\n", source.c_str(),
                   r.name.c_str(), r.capture_info.network);
      return kExitMalformed;
    }
  }
  std::vector<PcapFileWritten> written;
  std::string err;
  const bool ok = WriteSnapshotPcaps(records, dir, written, err);
  for (const PcapFileWritten& w : written) std::printf("%s: %zu frames, %s\n", w.path.c_str(), w.frames, w.medium);
  if (written.empty() && ok) std::printf("%s holds no frame captures\n", source.c_str());
  std::fflush(stdout);
  if (ok) return kExitOk;
  std::fprintf(stderr, "netward: %s\n", err.c_str());
  return kExitFile;
}

int ShowSnapshot(const std::string& path, const std::string& capture_dir, const std::string& pcap_dir, bool json) {
  std::vector<uint8_t> file;
  std::string err;
  if (!ReadFileBytes(path, file, err)) {
    std::fprintf(stderr, "netward: %s\n", err.c_str());
    return kExitFile;
  }
  std::vector<SnapshotRecord> records;
  ParseError perr;
  if (!ReadSnapshot(file, records, perr)) {
    std::fprintf(stderr, "netward: %s: %s\n", path.c_str(), perr.Message().c_str());
    return kExitMalformed;
  }
  if (!pcap_dir.empty()) {
    const int rc = WritePcaps(records, pcap_dir, path);
    if (rc != kExitOk || capture_dir.empty()) return rc;
  }
  std::string out;
  if (!pcap_dir.empty()) {
    // The file list stands instead of the records.
  } else if (!json) {
    FormatSnapshotText(records, out);
  } else if (!FormatSnapshotJson(records, out)) {
    std::fprintf(stderr, "netward: %s: JSON output failed\n", path.c_str());
    return kExitMalformed;
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  if (capture_dir.empty()) return kExitOk;
  for (const SnapshotRecord& r : records) {
    if (!r.is_dump) continue;
    const std::string name = capture_dir + "/" + CaptureFileName(r.name);
    FILE* c = std::fopen(name.c_str(), "wb");
    bool ok = c != nullptr && std::fwrite(r.capture.data(), 1, r.capture.size(), c) == r.capture.size();
    if (c != nullptr) ok = std::fclose(c) == 0 && ok;
    if (!ok) {
      std::fprintf(stderr, "netward: cannot write %s\n", name.c_str());
      return kExitFile;
    }
  }
  return kExitOk;
}

int Usage(const std::string& why) {
  std::fprintf(stderr, "netward: %s\n%s", why.c_str(), kUsage);
  return kExitUsage;
}

// The request that returns the snapshot image: "SNAPSHOT" with no file name (the agent's rule: at
// most one character after the keyword).
bool IsSnapshotImageRequest(const std::string& r) { return r.rfind("SNAPSHOT", 0) == 0 && r.size() <= 9; }

// The reply's result checked; false (with the exit status in `rc`) when the agent said no.
bool Accepted(const RequestReply& reply, const std::string& request, const AgentConnection& conn, int& rc) {
  if (reply.result == kResultKeyRejected) {
    std::fprintf(stderr, "netward: key rejected by the agent at %s (result -2)\n", conn.Where().c_str());
    rc = kExitKeyRejected;
    return false;
  }
  if (reply.result != 0) {
    std::fprintf(stderr, "netward: request '%s': unexpected result %d\n", request.c_str(),
                 static_cast<int32_t>(reply.result));
    rc = kExitMalformed;
    return false;
  }
  return true;
}

// The agent's snapshot image, fetched and written as pcap files.
int FetchPcaps(AgentConnection& conn, const std::string& key, const std::string& request, const std::string& dir) {
  RequestReply reply;
  std::string err;
  if (!conn.Request(key, request, reply, err)) {
    std::fprintf(stderr, "netward: %s\n", err.c_str());
    return kExitUnreachable;
  }
  int rc = kExitOk;
  if (!Accepted(reply, request, conn, rc)) return rc;
  std::vector<SnapshotRecord> records;
  ParseError perr;
  const std::span<const uint8_t> block(reply.block);
  if (block.size() < kHeaderBytes || !ReadSnapshot(block.subspan(kHeaderBytes), records, perr)) {
    std::fprintf(stderr, "netward: request '%s': %s\n", request.c_str(),
                 block.size() < kHeaderBytes ? "reply shorter than its header" : perr.Message().c_str());
    return kExitMalformed;
  }
  return WritePcaps(records, dir, "the agent's snapshot");
}

}  // namespace

int main(int argc, char** argv) {
  Target target;
  bool json = false, have_key = false, saw_port = false, saw_epm = false, saw_local = false;
  std::string key, snapshot_file, capture_dir, pcap_dir;
  double watch_seconds = 0;
  std::vector<std::string> requests;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool inline_value = false;
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
      value = arg.substr(arg.find('=') + 1);
      arg = arg.substr(0, arg.find('='));
      inline_value = true;
    }
    auto need = [&](std::string& out) {
      if (inline_value) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::fputs("\n", stdout);
      std::fputs(kHelp, stdout);
      return kExitOk;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "--epm") {
      saw_epm = true;
    } else if (arg == "--host" || arg == "--port" || arg == "--epm-port" || arg == "--local" || arg == "--key" ||
               arg == "--timeout" || arg == "--snapshot" || arg == "--write-captures" || arg == "--write-pcap" ||
               arg == "--watch") {
      std::string v;
      if (!need(v)) return Usage(arg + " needs a value");
      if (arg == "--snapshot" || arg == "--write-captures" || arg == "--write-pcap") {
        if (v.empty()) return Usage(arg + " needs a value");
        (arg == "--snapshot" ? snapshot_file : arg == "--write-pcap" ? pcap_dir : capture_dir) = v;
      } else if (arg == "--watch") {
        char* end = nullptr;
        watch_seconds = std::strtod(v.c_str(), &end);
        if (end == v.c_str() || *end != 0 || !(watch_seconds >= 0.1 && watch_seconds <= 3600))
          return Usage("bad --watch interval '" + v + "' (0.1 to 3600 seconds)");
      } else if (arg == "--host") {
        if (v.empty()) return Usage("empty host");
        target.host = v;
      } else if (arg == "--port") {
        if (!ParsePort(v.c_str(), target.port)) return Usage("bad port '" + v + "'");
        saw_port = true;
      } else if (arg == "--epm-port") {
        if (!ParsePort(v.c_str(), target.epm_port)) return Usage("bad endpoint mapper port '" + v + "'");
        saw_epm = true;
      } else if (arg == "--local") {
        if (v.empty()) return Usage("empty local endpoint path");
        target.local_path = v;
        saw_local = true;
      } else if (arg == "--key") {
        key = v;
        have_key = true;
      } else {
        char* end = nullptr;
        unsigned long s = std::strtoul(v.c_str(), &end, 10);
        if (end == v.c_str() || *end != 0 || s == 0 || s > 3600) return Usage("bad timeout '" + v + "'");
        target.timeout_ms = static_cast<unsigned>(s * 1000);
      }
    } else if (arg == "--") {
      for (++i; i < argc; ++i) requests.emplace_back(argv[i]);
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      return Usage("unknown option " + arg);
    } else {
      requests.push_back(argv[i]);
    }
  }
  if (int(saw_port) + int(saw_epm) + int(saw_local) > 1) return Usage("give only one of --port, --epm, --local");
  if (!capture_dir.empty() && snapshot_file.empty()) return Usage("--write-captures needs --snapshot");
  if (!snapshot_file.empty()) {
    if (!requests.empty()) return Usage("--snapshot reads a file; give no requests with it");
    if (watch_seconds > 0) return Usage("--watch asks an agent; give no --snapshot with it");
    if (json && !pcap_dir.empty()) return Usage("--write-pcap lists the files it writes; give no --json with it");
    return ShowSnapshot(snapshot_file, capture_dir, pcap_dir, json);
  }
  if (requests.empty()) return Usage("no request given");
  if (!pcap_dir.empty() && (requests.size() != 1 || !IsSnapshotImageRequest(requests[0])))
    return Usage("--write-pcap with an agent takes the one request SNAPSHOT (without a file name)");
  if (watch_seconds > 0 && requests.size() != 1) return Usage("--watch takes one request");
  if (watch_seconds > 0 && (json || !pcap_dir.empty())) return Usage("--watch draws a screen; give no --json or --write-pcap");
  if (json && !pcap_dir.empty()) return Usage("--write-pcap lists the files it writes; give no --json with it");
  target.kind = saw_port ? Target::Kind::kTcp : saw_local ? Target::Kind::kLocal : Target::Kind::kEpm;
  if (!have_key) {
    const char* env = std::getenv("NETWARD_KEY");
    if (env != nullptr) key = env;
  }
  std::string err;
  std::vector<uint8_t> probe;
  if (!BuildRequestStub(key, "", probe, err)) return Usage(err);
  for (const std::string& r : requests)
    if (!BuildRequestStub(key, r, probe, err)) return Usage(err);

  if (watch_seconds > 0) return RunWatch(WatchSettings{target, key, requests[0], watch_seconds});

  AgentConnection conn;
  if (!conn.Open(target, err)) {
    std::fprintf(stderr, "netward: %s\n", err.c_str());
    return kExitUnreachable;
  }
  if (!pcap_dir.empty()) return FetchPcaps(conn, key, requests[0], pcap_dir);
  std::string out;
  for (const std::string& request : requests) {
    RequestReply reply;
    if (!conn.Request(key, request, reply, err)) {
      std::fprintf(stderr, "netward: %s\n", err.c_str());
      return kExitUnreachable;
    }
    int rc = kExitOk;
    if (!Accepted(reply, request, conn, rc)) return rc;
    ParsedReply parsed;
    ParseError perr;
    if (!ParseReplyBlock(reply.block, parsed, perr)) {
      std::fprintf(stderr, "netward: request '%s': %s\n", request.c_str(), perr.Message().c_str());
      return kExitMalformed;
    }
    out.clear();
    if (json) {
      if (!FormatJson(request, parsed, out)) {
        std::fprintf(stderr, "netward: request '%s': JSON output failed\n", request.c_str());
        return kExitMalformed;
      }
      out += "\n";
    } else {
      if (requests.size() > 1) out += "=== " + Latin1ToUtf8(request) + "\n";
      FormatText(parsed, out);
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
  }
  return kExitOk;
}
