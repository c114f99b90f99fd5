#include "metrics/exposition.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <vector>

#include "capture/packet_driver.h"

namespace netward {

namespace {

enum class Kind { kCounter, kGauge };

// One metric family. Counters are named here without their "_total" suffix: OpenMetrics names the
// family so and its samples with the suffix; the 0.0.4 format names both with it.
struct Family {
  const char* name;
  Kind kind;
  const char* help;
};

struct Label {
  const char* name;
  const char* value;  // stored 8-bit text, escaped on output
};

class Writer {
 public:
  Writer(ExpositionFormat format, std::string& out) : format_(format), out_(out) {}

  void Begin(const Family& f) {
    name_ = f.name;
    if (f.kind == Kind::kCounter) {
      sample_suffix_ = "_total";
      if (format_ == ExpositionFormat::kPrometheusText) name_ += sample_suffix_;
    } else {
      sample_suffix_ = "";
    }
    out_ += "# HELP " + name_ + " ";
    AppendHelp(f.help);
    out_ += "\n# TYPE " + name_ + (f.kind == Kind::kCounter ? " counter\n" : " gauge\n");
    sample_name_ = f.name;
    sample_name_ += sample_suffix_;
  }

  void Sample(std::initializer_list<Label> labels, double value) {
    out_ += sample_name_;
    if (labels.size() > 0) {
      char sep = '{';
      for (const Label& l : labels) {
        out_ += sep;
        out_ += l.name;
        out_ += "=\"";
        AppendLabelValue(l.value, out_);
        out_ += '"';
        sep = ',';
      }
      out_ += '}';
    }
    out_ += ' ';
    AppendValue(value);
    out_ += '\n';
  }

  void Finish() {
    if (format_ == ExpositionFormat::kOpenMetrics) out_ += "# EOF\n";
  }

 private:
  void AppendHelp(const char* help) {
    for (const char* p = help; *p != 0; ++p) {
      if (*p == '\\') out_ += "\\\\";
      else if (*p == '\n') out_ += "\\n";
      else if (*p == '"' && format_ == ExpositionFormat::kOpenMetrics) out_ += "\\\"";
      else out_ += *p;
    }
  }
  void AppendValue(double v) {
    char buf[40];
    // Counts and byte totals are whole numbers: written without an exponent while exact.
    if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 9007199254740992.0)
      snprintf(buf, sizeof buf, "%.0f", v);
    else if (std::isfinite(v))
      snprintf(buf, sizeof buf, "%.17g", v);
    else
      snprintf(buf, sizeof buf, "%s", std::isnan(v) ? "NaN" : v > 0 ? "+Inf" : "-Inf");
    out_ += buf;
  }

  ExpositionFormat format_;
  std::string& out_;
  std::string name_, sample_name_;
  const char* sample_suffix_ = "";
};

// ---- the GlobalArea totals, split by sender ----

struct SenderFamily {
  Family family;
  double (*own)(const TotalsSnapshot&);
  double (*other)(const TotalsSnapshot&);
};

constexpr SenderFamily kSenderFamilies[] = {
    {{"netward_unicast_bytes", Kind::kCounter,
      "Bytes of event-free unicast frames, by sender: this machine (own) or between other stations (other)."},
     [](const TotalsSnapshot& t) { return double(t.OwnBytes); },
     [](const TotalsSnapshot& t) { return double(t.OtherBytes); }},
    {{"netward_unicast_frames", Kind::kCounter, "Event-free unicast frames, by sender."},
     [](const TotalsSnapshot& t) { return double(t.OwnFrames); },
     [](const TotalsSnapshot& t) { return double(t.OtherFrames); }},
    {{"netward_group_frames", Kind::kCounter, "Event-free group-addressed (broadcast and multicast) frames, by sender."},
     [](const TotalsSnapshot& t) { return double(t.OwnGroupFrames); },
     [](const TotalsSnapshot& t) { return double(t.OtherGroupFrames); }},
    {{"netward_event_frames", Kind::kCounter,
      "Frames that raised an event (re-transmission, reset, ICMP or LLC error), by sender."},
     [](const TotalsSnapshot& t) { return double(t.OwnEventFrames); },
     [](const TotalsSnapshot& t) { return double(t.OtherEventFrames); }},
};

// ---- single values of the whole agent; no value leaves the family without a sample ----

struct AgentFamily {
  Family family;
  std::optional<double> (*value)(const ExpositionInput&, const TotalsSnapshot&);
};

int AdaptersOpen(const GlobalArea& g) {
  int open = 0;
  const int nics = std::min(g.NicCount.load(std::memory_order_acquire), kMaxNics);
  for (int i = 0; i < nics; ++i) {
    const PacketDriverHandle* h = g.Nics[i] != nullptr ? g.Nics[i]->Driver.load(std::memory_order_acquire) : nullptr;
    open += h != nullptr && h->IsOpen();
  }
  return open;
}

constexpr AgentFamily kAgentFamilies[] = {
    {{"netward_frames", Kind::kCounter, "Frames read on all adapters since the agent started (the frame sequence)."},
     [](const ExpositionInput&, const TotalsSnapshot& t) -> std::optional<double> { return t.FrameSequence; }},
    {{"netward_day_changes", Kind::kCounter, "Day roll-overs, counted once per adapter."},
     [](const ExpositionInput&, const TotalsSnapshot& t) -> std::optional<double> { return t.DayChanges; }},
    {{"netward_traffic_state", Kind::kGauge,
      "Traffic state of the last second as the taskbar icon shows it: 1-2 error detected, 3 broadcast sent, "
      "4-6 session traffic, 7 broadcast received, 8 no traffic, 9 nothing received since start, 10 nothing "
      "received lately; 0 before the first evaluation."},
     [](const ExpositionInput& in, const TotalsSnapshot&) -> std::optional<double> {
       return in.global->StatusCode.load(std::memory_order_relaxed);
     }},
    {{"netward_other_frame_age_seconds", Kind::kGauge,
      "Seconds since the last frame from another station; no sample before the first one."},
     [](const ExpositionInput& in, const TotalsSnapshot& t) -> std::optional<double> {
       if (t.LastOtherTime == 0) return std::nullopt;
       return in.now > t.LastOtherTime ? in.now - t.LastOtherTime : 0;
     }},
    {{"netward_start_time_seconds", Kind::kGauge, "Start time of the agent, in seconds since 1970."},
     [](const ExpositionInput& in, const TotalsSnapshot&) -> std::optional<double> {
       return in.global->Health.StartTime.load(std::memory_order_relaxed);
     }},
    {{"netward_adapters_open", Kind::kGauge, "Adapters open for capture."},
     [](const ExpositionInput& in, const TotalsSnapshot&) -> std::optional<double> { return AdaptersOpen(*in.global); }},
    {{"netward_rpc_refused_keys", Kind::kCounter, "Remote requests refused because their access key did not match."},
     [](const ExpositionInput& in, const TotalsSnapshot&) -> std::optional<double> {
       return double(in.global->Health.RefusedKeys.load(std::memory_order_relaxed));
     }},
    {{"netward_history_write_failures", Kind::kCounter,
      "History file writes (trace or statistics) that failed, for example on a full disk."},
     [](const ExpositionInput& in, const TotalsSnapshot&) -> std::optional<double> {
       return double(in.global->Health.HistoryWriteFailures.load(std::memory_order_relaxed));
     }},
};

constexpr Family kRpcCalls = {"netward_rpc_calls", Kind::kCounter,
                              "Remote procedure calls served, by procedure (refused keys included)."};

// ---- per adapter ----

struct AdapterFamily {
  Family family;
  double (*value)(const NicArea&);
};

constexpr AdapterFamily kAdapterFamilies[] = {
    {{"netward_adapter_frames", Kind::kCounter, "Frames read on the adapter."},
     [](const NicArea& n) { return double(RelaxedLoad(n.FramesRead)); }},
    {{"netward_adapter_group_frames", Kind::kCounter, "Group-addressed frames read on the adapter."},
     [](const NicArea& n) { return double(RelaxedLoad(n.GroupFrameCount)); }},
    {{"netward_adapter_stations", Kind::kGauge, "Stations in the adapter's table (emptied at each day roll-over)."},
     [](const NicArea& n) { return double(std::clamp(RelaxedLoad(n.StationCount), 0, kMaxStations)); }},
    {{"netward_adapter_kernel_drops", Kind::kCounter,
      "Frames the kernel dropped because the adapter's capture ring was full."},
     [](const NicArea& n) {
       const PacketDriverHandle* h = n.Driver.load(std::memory_order_acquire);
       return h != nullptr ? double(h->KernelDrops()) : 0.0;
     }},
};

constexpr Family kAdapterEvents = {"netward_adapter_events", Kind::kCounter, "Frames that raised an event, by kind."};

constexpr struct {
  EventCode code;
  const char* kind;
} kEventKindNames[] = {
    {kEventTcpRetransmit, "tcp_retransmit"}, {kEventDnsRetransmit, "dns_retransmit"},
    {kEventArpRetransmit, "arp_retransmit"}, {kEventTcpReset, "tcp_reset"},
    {kEventIcmpError, "icmp_error"},         {kEventLlcError, "llc_error"},
};
static_assert(sizeof kEventKindNames / sizeof kEventKindNames[0] == kEventKinds - 1);

// ---- the station table's top talkers ----

struct StationSample {
  int adapter = 0;
  char address[16] = {};
  char protocol[29] = {};
  char name[33] = {};
  float bytes_sent = 0, bytes_received = 0;
  uint32_t frames_sent = 0, group_frames_sent = 0, event_frames_sent = 0, frames_received = 0;
  double Traffic() const { return double(bytes_sent) + double(bytes_received); }
};

struct StationFamily {
  Family family;
  double (*value)(const StationSample&);
};

constexpr StationFamily kStationFamilies[] = {
    {{"netward_station_sent_bytes", Kind::kCounter,
      "Bytes of event-free unicast frames the station sent today; top talkers only."},
     [](const StationSample& s) { return double(s.bytes_sent); }},
    {{"netward_station_received_bytes", Kind::kCounter,
      "Bytes of event-free unicast frames the station received today; top talkers only."},
     [](const StationSample& s) { return double(s.bytes_received); }},
    {{"netward_station_sent_frames", Kind::kCounter, "Event-free unicast frames the station sent today."},
     [](const StationSample& s) { return double(s.frames_sent); }},
    {{"netward_station_received_frames", Kind::kCounter, "Event-free unicast frames the station received today."},
     [](const StationSample& s) { return double(s.frames_received); }},
    {{"netward_station_sent_group_frames", Kind::kCounter, "Event-free group frames the station sent today."},
     [](const StationSample& s) { return double(s.group_frames_sent); }},
    {{"netward_station_sent_event_frames", Kind::kCounter, "Frames the station sent today that raised an event."},
     [](const StationSample& s) { return double(s.event_frames_sent); }},
};

// The `limit` stations with the most bytes sent and received, most first, over every adapter's table.
// A station read while a day roll-over refills its slot may repeat another's labels: only the first
// of a label set is kept, so that no series appears twice.
std::vector<StationSample> TopStations(const GlobalArea& g, int nics, uint32_t limit) {
  std::vector<StationSample> all;
  if (limit == 0) return all;
  for (int i = 0; i < nics; ++i) {
    const NicArea* nic = g.Nics[i];
    if (nic == nullptr) continue;
    const int count = std::clamp(RelaxedLoad(nic->StationCount), 0, kMaxStations);
    for (int k = 0; k < count; ++k) {
      const StationRecord& r = nic->Stations[k];
      StationSample& s = all.emplace_back();
      s.adapter = i;
      r.AddressLabel.Get(s.address);
      r.ProtocolLabel.Get(s.protocol);
      r.Name.Get(s.name);
      s.bytes_sent = RelaxedLoad(r.BytesSent);
      s.bytes_received = RelaxedLoad(r.BytesReceived);
      s.frames_sent = RelaxedLoad(r.FramesSent);
      s.group_frames_sent = RelaxedLoad(r.GroupFramesSent);
      s.event_frames_sent = RelaxedLoad(r.EventFramesSent);
      s.frames_received = RelaxedLoad(r.FramesReceived);
    }
  }
  std::stable_sort(all.begin(), all.end(),
                   [](const StationSample& a, const StationSample& b) { return a.Traffic() > b.Traffic(); });
  std::vector<StationSample> top;
  for (const StationSample& s : all) {
    if (top.size() >= limit) break;
    const bool seen = std::any_of(top.begin(), top.end(), [&s](const StationSample& t) {
      return t.adapter == s.adapter && strcmp(t.address, s.address) == 0 && strcmp(t.protocol, s.protocol) == 0;
    });
    if (!seen) top.push_back(s);
  }
  return top;
}

}  // namespace

ExpositionFormat FormatForAccept(const char* accept) {
  return accept != nullptr && strstr(accept, "application/openmetrics-text") != nullptr
             ? ExpositionFormat::kOpenMetrics
             : ExpositionFormat::kPrometheusText;
}

const char* ContentTypeOf(ExpositionFormat format) {
  return format == ExpositionFormat::kOpenMetrics ? kOpenMetricsContentType : kPrometheusTextContentType;
}

void AppendLabelValue(const char* text, std::string& out) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    const unsigned char c = *p;
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else if (c < 0x20 || (c >= 0x7F && c < 0xA0)) out += '?';
    else if (c < 0x80) out += static_cast<char>(c);
    else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

void WriteExposition(const ExpositionInput& in, ExpositionFormat format, std::string& out) {
  out.clear();
  Writer w(format, out);
  const GlobalArea& g = *in.global;
  const TotalsSnapshot totals = g.Totals();

  for (const AgentFamily& f : kAgentFamilies) {
    w.Begin(f.family);
    if (const std::optional<double> v = f.value(in, totals)) w.Sample({}, *v);
  }
  for (const SenderFamily& f : kSenderFamilies) {
    w.Begin(f.family);
    w.Sample({{"sender", "own"}}, f.own(totals));
    w.Sample({{"sender", "other"}}, f.other(totals));
  }
  w.Begin(kRpcCalls);
  w.Sample({{"procedure", "PingRpc"}}, double(g.Health.PingCalls.load(std::memory_order_relaxed)));
  w.Sample({{"procedure", "RequestRpc"}}, double(g.Health.RequestCalls.load(std::memory_order_relaxed)));

  const int nics = std::clamp(g.NicCount.load(std::memory_order_acquire), 0, kMaxNics);
  char names[kMaxNics][32] = {};
  for (int i = 0; i < nics; ++i)
    if (g.Nics[i] != nullptr) g.Nics[i]->AdapterName.Get(names[i]);
  for (const AdapterFamily& f : kAdapterFamilies) {
    w.Begin(f.family);
    for (int i = 0; i < nics; ++i)
      if (g.Nics[i] != nullptr) w.Sample({{"adapter", names[i]}}, f.value(*g.Nics[i]));
  }
  w.Begin(kAdapterEvents);
  for (int i = 0; i < nics; ++i) {
    if (g.Nics[i] == nullptr) continue;
    for (const auto& k : kEventKindNames)
      w.Sample({{"adapter", names[i]}, {"kind", k.kind}}, double(RelaxedLoad(g.Nics[i]->EventsByKind[k.code])));
  }

  const std::vector<StationSample> top = TopStations(g, nics, std::min(in.top_stations, kMaxTopStations));
  for (const StationFamily& f : kStationFamilies) {
    w.Begin(f.family);
    for (const StationSample& s : top)
      w.Sample({{"adapter", names[s.adapter]}, {"station", s.address}, {"protocol", s.protocol}, {"name", s.name}},
               f.value(s));
  }
  w.Finish();
}

}  // namespace netward
