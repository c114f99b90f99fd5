#include "diagnostics/connectivity.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diagnostics/tcpip_report.h"
#include "platform/files.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/text_area.h"

namespace netward {
namespace {

constexpr char kSubnetHeader[] = "----Checking SUBNET Broadcasts---------------------";
constexpr char kGatewayHeader[] = "\r\n----Testing GATEWAY connectivity-------------------";
constexpr char kDnsHeader[] = "\r\n----Testing DNS connectivity-----------------------";
constexpr char kWinsHeader[] = "\r\n----Testing WINS connectivity----------------------";
constexpr char kDriverAgeWarning[] = "WARNING: Adapter Driver %s is more than 2 years old\r\n\r\n";
constexpr char kWanDriver[] = "NDISWAN.SYS";
constexpr char kReceivedAndMatches[] = "  received and matches ";
constexpr char kReceivedNotConfigured[] = "  received but is NOT configured for use by this PC";
constexpr char kNotReceivedFor[] = "  NOT received for ";
constexpr char kSubnetMismatchWarning[] =
    "\r\n\r\nWARNING: The Configured Subnet does NOT match the\r\n         Subnet being used by other local devices.";
constexpr char kGatewayNotDefined[] = "\r\nGATEWAY NOT DEFINED\r\n";
constexpr char kDnsNotDefined[] = "\r\nDNS NOT DEFINED\r\n";
constexpr char kWinsNotDefined[] = "\r\nWINS NOT DEFINED\r\n";
constexpr int kMaxSeenBroadcasts = 49;

void Clear(char* area, size_t size) {
  if (size) memset(area, 0, size);
}

// Dotted form of an address in network order.
struct Dotted {
  explicit Dotted(uint32_t address) {
    in_addr a;
    a.s_addr = address;
    if (inet_ntop(AF_INET, &a, text, sizeof text) == nullptr) text[0] = 0;
  }
  char text[INET_ADDRSTRLEN];
};

int MonitoredCount(const GlobalArea& g) {
  int n = g.NicCount.load(std::memory_order_acquire);
  if (n < 0) return 0;
  return n > kMaxNics ? kMaxNics : n;
}

int CalendarMonths(time_t t) {
  const platform::LocalDate d = platform::LocalDateOf(static_cast<uint32_t>(t));
  return d.year * 12 + d.month - 1;
}

void CopyList(const NicArea& nic, TcpipList which, uint32_t (&out)[kTcpipListEntries]) {
  for (int i = 0; i < kTcpipListEntries; ++i) out[i] = RelaxedLoad(nic.TcpipConfig[which][i]);
}

void PingList(const GlobalArea& g, TcpipList which, const char* not_defined, char* area, size_t size) {
  Clear(area, size);
  platform::TextArea(area, size).Append(not_defined);
  size_t pos = 0;
  const int nics = MonitoredCount(g);
  for (int i = 0; i < nics; ++i) {
    const NicArea* nic = g.Nics[i];
    if (nic == nullptr) continue;
    uint32_t list[kTcpipListEntries];
    CopyList(*nic, which, list);
    pos += PingAddressList(list, area + pos, size - pos);
  }
}

// --- Starting the helper ---

bool IsExecutableFile(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, X_OK) == 0;
}

// Writes "<dir>/verevedo" (dir of `len` bytes) into `out`; false when it does not fit or is not an
// executable file.
bool TryDirectory(const char* dir, size_t len, char (&out)[PATH_MAX]) {
  int n = snprintf(out, sizeof out, "%.*s/%s", static_cast<int>(len), dir, kHelperProgram);
  return n > 0 && static_cast<size_t>(n) < sizeof out && IsExecutableFile(out);
}

bool FindHelper(char (&path)[PATH_MAX]) {
  const std::string own = platform::OwnProgramDirectory();
  if (TryDirectory(own.c_str(), own.size(), path)) return true;
  if (const char* dir = getenv(kHelperDirVariable); dir != nullptr && *dir != 0) {
    if (TryDirectory(dir, strlen(dir), path)) return true;
  }
  for (const std::string& dir : platform::PathDirectories())
    if (TryDirectory(dir.c_str(), dir.size(), path)) return true;
  return false;
}

// Splits `command` at blanks, tabs and line ends into `words` (a copy) and `argv`, behind argv[0].
void SplitWords(const char* command, char (&words)[kHelperCommandBytes], char* (&argv)[kHelperMaxArgs + 2]) {
  snprintf(words, sizeof words, "%s", command ? command : "");
  int argc = 0;
  argv[argc++] = const_cast<char*>(kHelperProgram);
  char* save = nullptr;
  for (char* w = strtok_r(words, " \t\r\n", &save); w != nullptr && argc <= kHelperMaxArgs;
       w = strtok_r(nullptr, " \t\r\n", &save)) {
    argv[argc++] = w;
  }
  argv[argc] = nullptr;
}

void CloseIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

void RunConnectivityTests(const platform::Registry& registry, GlobalArea& g, time_t now, char* area,
                          size_t size) {
  RefreshStationLabels(registry, g, now);
  CheckDriverAge(g, now, area, size);
  platform::TextArea text(area, size);
  text.Append(kSubnetHeader);
  CheckSubnetBroadcasts(g, text.End(), text.Room());
  text = platform::TextArea(area, size);
  text.Append(kGatewayHeader);
  PingGateways(g, text.End(), text.Room());
  text = platform::TextArea(area, size);
  text.Append(kDnsHeader);
  PingDnsServers(g, text.End(), text.Room());
  text = platform::TextArea(area, size);
  text.Append(kWinsHeader);
  PingWinsServers(g, text.End(), text.Room());
}

void CheckDriverAge(const GlobalArea& g, time_t now, char* area, size_t size) {
  Clear(area, size);
  platform::TextArea text(area, size);
  const int months_now = CalendarMonths(now);
  const int nics = MonitoredCount(g);
  for (int i = 0; i < nics; ++i) {
    const NicArea* nic = g.Nics[i];
    if (nic == nullptr) continue;
    const uint32_t driver_time = RelaxedLoad(nic->DriverFileTime);
    if (driver_time == 0) continue;
    char driver[decltype(nic->DriverFileText)::kSize];
    nic->DriverFileText.Get(driver);
    if (strncasecmp(driver, kWanDriver, sizeof kWanDriver - 1) == 0) continue;
    if (months_now - CalendarMonths(static_cast<time_t>(driver_time)) >= 24) text.Appendf(kDriverAgeWarning, driver);
  }
}

void CheckSubnetBroadcasts(const GlobalArea& g, char* area, size_t size) {
  Clear(area, size);
  platform::TextArea text(area, size);
  bool mismatch = false;
  const int nics = MonitoredCount(g);
  for (int i = 0; i < nics; ++i) {
    const NicArea* nic = g.Nics[i];
    if (nic == nullptr) continue;
    uint32_t addresses[kTcpipListEntries], masks[kTcpipListEntries];
    CopyList(*nic, kAddresses, addresses);
    CopyList(*nic, kSubnetMasks, masks);
    if (masks[0] == 0) continue;

    uint32_t configured[kTcpipListEntries];
    bool matched[kTcpipListEntries] = {};
    int configured_count = 0;
    while (configured_count < kTcpipListEntries && masks[configured_count] != 0) {
      const int k = configured_count++;
      configured[k] = (addresses[k] & masks[k]) | ~masks[k];
    }

    uint32_t seen[kMaxSeenBroadcasts];
    int seen_count = 0;
    for (int r = 0; r < kGroupFrames && seen_count < kMaxSeenBroadcasts; ++r) {
      const GroupFrameEntry& e = nic->GroupFrames[r];
      uint8_t bytes[4];
      // A slot rewritten while it is read could mix two frames' addresses: such a slot is skipped.
      if (!ReadSlot(e, [&] { SharedCopyOut(bytes, e.DestIp, sizeof bytes); })) continue;
      uint32_t dest;
      memcpy(&dest, bytes, sizeof dest);
      if (dest == 0) continue;
      bool known = false;
      for (int s = 0; s < seen_count && !known; ++s) known = seen[s] == dest;
      if (!known) seen[seen_count++] = dest;
    }

    for (int s = 0; s < seen_count; ++s) {
      text.Appendf("\r\n%-15s", Dotted(seen[s]).text);
      int k = 0;
      while (k < configured_count && configured[k] != seen[s]) ++k;
      if (k < configured_count) {
        matched[k] = true;
        text.Append(kReceivedAndMatches);
        text.Append(Dotted(addresses[k]).text);
        text.Append(" / ");
        text.Append(Dotted(masks[k]).text);
      } else {
        text.Append(kReceivedNotConfigured);
      }
    }
    for (int k = 0; k < configured_count; ++k) {
      if (matched[k]) continue;
      if (seen_count > 0) mismatch = true;
      text.Appendf("\r\n%-15s%s", Dotted(configured[k]).text, kNotReceivedFor);
      text.Append(Dotted(addresses[k]).text);
      text.Append(" / ");
      text.Append(Dotted(masks[k]).text);
    }
  }
  if (mismatch) text.Append(kSubnetMismatchWarning);
  text.Append("\r\n");
}

void PingGateways(const GlobalArea& g, char* area, size_t size) {
  PingList(g, kGateways, kGatewayNotDefined, area, size);
}

void PingDnsServers(const GlobalArea& g, char* area, size_t size) {
  PingList(g, kDnsServers, kDnsNotDefined, area, size);
}

void PingWinsServers(const GlobalArea& g, char* area, size_t size) {
  PingList(g, kWinsServers, kWinsNotDefined, area, size);
}

size_t PingAddressList(const uint32_t (&addresses)[kTcpipListEntries], char* area, size_t size) {
  size_t total = 0;
  for (int i = 0; i < kTcpipListEntries && addresses[i] != 0; ++i) {
    char command[8 + INET_ADDRSTRLEN];
    snprintf(command, sizeof command, "PING %s", Dotted(addresses[i]).text);
    total += RunHelperCommand(command, area + total, size - total);
  }
  return total;
}

size_t RunHelperCommand(const char* command, char* area, size_t size) {
  Clear(area, size);
  char path[PATH_MAX];
  if (!FindHelper(path)) return 0;
  char words[kHelperCommandBytes];
  char* argv[kHelperMaxArgs + 2];
  SplitWords(command, words, argv);

  // Output pipe: the agent reads [0]; input pipe: the agent holds [1] and never writes to it. Both
  // are close-on-exec so that helpers started by other threads do not inherit them.
  int out_pipe[2] = {-1, -1}, in_pipe[2] = {-1, -1};
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return 0;
  if (pipe2(in_pipe, O_CLOEXEC) != 0) {
    CloseIfOpen(out_pipe[0]);
    CloseIfOpen(out_pipe[1]);
    return 0;
  }
  const pid_t pid = platform::SpawnProgram(path, argv, in_pipe[0], out_pipe[1], out_pipe[1]);
  const bool started = pid > 0;
  // Without the agent's copy of the write end, the pipe reports its end once the helper has exited.
  CloseIfOpen(out_pipe[1]);
  CloseIfOpen(in_pipe[0]);

  size_t room = size;
  char* at = area;
  char buffer[kHelperReadBytes];
  while (started) {
    ssize_t n = read(out_pipe[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    // Room for a CR LF pair is needed before every byte; the area's last byte stays NUL. A CR ending
    // the previous read does not count for an LF starting this one.
    for (ssize_t i = 0; i < n && room >= 2; ++i) {
      if (buffer[i] == '\n' && (i == 0 || buffer[i - 1] != '\r')) {
        *at++ = '\r';
        --room;
      }
      *at++ = buffer[i];
      --room;
    }
  }
  if (started) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  CloseIfOpen(out_pipe[0]);
  CloseIfOpen(in_pipe[1]);
  return size - room;
}

}  // namespace netward
