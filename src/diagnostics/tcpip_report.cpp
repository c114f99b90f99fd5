#include "diagnostics/tcpip_report.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "accounting/stations.h"
#include "platform/tcpip_view.h"
#include "platform/text_area.h"

namespace netward {

using platform::Registry;

namespace {

constexpr char kServices[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
constexpr size_t kBindBytes = 256;
constexpr size_t kTextBytes = 4000;  // warnings and body, each
constexpr size_t kDhcpTextBytes = 100;

// A report section of N bytes with its own storage.
template <size_t N>
struct Storage {
  char s[N] = {};
};
template <size_t N>
struct Buffer : Storage<N>, platform::TextArea {
  Buffer() : platform::TextArea(Storage<N>::s, N) {}
  Buffer(const Buffer&) = delete;  // the text area points into this object's storage
};

bool BeginsNoCase(const char* s, const char* prefix) { return strncasecmp(s, prefix, strlen(prefix)) == 0; }

// A list value into `buf` as a multi-string (entries NUL-separated, an empty entry at the end);
// at most size - 1 bytes are taken and the text is always terminated. Absent values are empty.
void ReadList(const Registry& reg, const std::string& key, const char* name, char* buf, size_t size) {
  memset(buf, 0, size);
  size_t at = 0;
  auto put = [&](const std::string& entry) {
    for (char c : entry) {
      if (at + 2 >= size) return;
      buf[at++] = c;
    }
    if (at + 1 < size) ++at;  // the entry's terminator (already zero)
  };
  auto v = reg.Query(key, name);
  if (!v) return;
  if (v->type == platform::kRegMultiSz) {
    for (const std::u16string& e : reg.GetMultiString(key, name)) {
      std::string narrow;
      for (char16_t c : e) narrow.push_back(static_cast<char>(c & 0xFF));
      put(narrow);
    }
  } else if (auto s = reg.GetString(key, name)) {
    put(*s);
  }
}

uint32_t ReadDword(const Registry& reg, const std::string& key, const char* name) {
  return reg.GetDword(key, name).value_or(0);
}

// A further string follows the first one's terminator (a multi-string of two or more entries).
bool HasSecondEntry(const char* list) { return list[0] != 0 && list[strlen(list) + 1] != 0; }

// inet_addr of a slot: the text up to its first blank.
uint32_t SlotAddress(const char* slot) {
  char text[kAddressSlot] = {};
  for (size_t i = 0; i + 1 < sizeof text && slot[i] != 0 && slot[i] != ' '; ++i) text[i] = slot[i];
  return inet_addr(text);
}

// Slot k (0-based) of a slot text, or "" past its end.
std::string Slot(const char* slots, size_t k) {
  size_t len = strlen(slots);
  if (k * kAddressSlot >= len) return {};
  return std::string(slots + k * kAddressSlot, std::min(kAddressSlot, len - k * kAddressSlot));
}

struct ValueNames {
  const char* address;
  const char* gateway;
  const char* mask;
  const char* name_server;
  const char* name_server_backup;
};
constexpr ValueNames kStaticNames = {"IPAddress", "DefaultGateway", "SubnetMask", "NameServer", "NameServerBackup"};
constexpr ValueNames kDhcpNames = {"DhcpIPAddress", "DhcpDefaultGateway", "DhcpSubnetMask", "DhcpNameServer",
                                   "DhcpNameServerBackup"};

// A dial-up adapter's key name: the first "\Device\NdisWan..." binding of TCP/IP without "\Device\".
std::string DialUpKeyName(const Registry& reg, const std::string& key_name) {
  const std::string linkage = std::string(kServices) + "Tcpip\\Linkage";
  if (!reg.KeyExists(linkage)) return key_name;
  char bind[kBindBytes];
  ReadList(reg, linkage, "Bind", bind, sizeof bind);
  for (const char* p = bind; *p != 0; p += strlen(p) + 1)
    if (strncasecmp(p, "\\Device\\NdisWan", 15) == 0) return p + 8;
  return key_name;
}

void FillTcpipConfig(NicArea& nic, const char* const (&lists)[kTcpipLists]) {
  for (int l = 0; l < kTcpipLists; ++l) {
    uint32_t parsed[kTcpipListEntries];
    ParseAddressList(lists[l], parsed);
    for (int i = 0; i < kTcpipListEntries; ++i) RelaxedStore(nic.TcpipConfig[l][i], parsed[i]);
  }
}

}  // namespace

void FormatAddressList(char* list, size_t size) {
  if (size == 0) return;
  std::string entries;  // the entries, one blank after each
  for (const char* p = list; p < list + size && *p != 0;) {
    size_t n = strnlen(p, static_cast<size_t>(list + size - p));
    for (size_t i = 0; i < n;) {
      while (i < n && p[i] == ' ') ++i;
      size_t start = i;
      while (i < n && p[i] != ' ') ++i;
      if (i > start) entries.append(p + start, i - start).push_back(' ');
    }
    p += n + 1;
  }
  memset(list, 0, size);
  size_t at = 0;
  for (size_t i = 0; i < entries.size();) {
    size_t end = entries.find(' ', i);
    if (at + kAddressSlot + 1 > size) break;
    char slot[kAddressSlot + 1];
    snprintf(slot, sizeof slot, "%-15.15s ", entries.substr(i, end - i).c_str());
    memcpy(list + at, slot, kAddressSlot);
    at += kAddressSlot;
    i = end + 1;
  }
}

void ParseAddressList(const char* slots, uint32_t (&target)[kTcpipListEntries]) {
  memset(target, 0, sizeof target);
  size_t len = strlen(slots);
  for (size_t k = 0; k < kTcpipListEntries && k * kAddressSlot < len && slots[k * kAddressSlot] != 0; ++k)
    target[k] = SlotAddress(slots + k * kAddressSlot);
}

void BuildTcpipReport(const Registry& reg, GlobalArea& g, time_t now, char* out, size_t size) {
  if (size < 4) return;
  memset(out, 0, 4);
  if (size < kTcpipReportMinBytes) {
    snprintf(out, size, "ERROR - BUFFER TOO SMALL");
    return;
  }
  Buffer<kTextBytes> warnings, body;
  const int nics = g.NicCount.load(std::memory_order_acquire);
  if (nics <= 0) {
    snprintf(out, size, "\r\n\r\n*** ERROR: No Adapters are being montiored.");
    return;
  }
  if (nics > 1) warnings.Appendf("\r\n*** WARNING: Multiple Adapters.");

  for (int i = 0; i < nics && i < kMaxNics; ++i) {
    NicArea& nic = *g.Nics[i];
    const int n = i + 1;
    char address[kAddressListBytes], gateway[kAddressListBytes], mask[kAddressListBytes], dns[kAddressListBytes],
        wins[kAddressListBytes];
    char dhcp_text[kDhcpTextBytes] = {};
    bool multiple = false;
    char name_field[32];
    nic.AdapterName.Get(name_field);
    std::string key_name = name_field;

    if (BeginsNoCase(key_name.c_str(), "NdisWan")) key_name = DialUpKeyName(reg, key_name);
    char title[64], driver[32];
    nic.AdapterTitle.Get(title);
    nic.DriverFileText.Get(driver);
    body.Appendf("\r\n\r\n Adapter #%-2d   : %s\r\n Driver        : %s", n, title, driver);

    const std::string tcpip = kServices + key_name + "\\Parameters\\Tcpip";
    if (!reg.KeyExists(tcpip)) {
      body.Appendf("\r\n IP            : Not defined");
      continue;
    }
    const bool dial_up = BeginsNoCase(key_name.c_str(), "NdisWan");
    const ValueNames* names = &kStaticNames;
    if (ReadDword(reg, tcpip, "EnableDHCP") != 0) {
      const auto lease = static_cast<int32_t>(ReadDword(reg, tcpip, "LeaseTerminatesTime"));
      if (lease < static_cast<int32_t>(now)) {
        warnings.Appendf("\r\n*** WARNING: DHCP Lease expired for adapter #%d", n);
        body.Appendf("\r\n IP            : DHCP EXPIRED ");
        if (lease != 0) {
          time_t t = lease;
          tm local{};
          char text[32] = {};
          if (localtime_r(&t, &local) && asctime_r(&local, text)) body.Appendf("%.24s", text);
        }
        continue;
      }
      snprintf(dhcp_text, sizeof dhcp_text, "YES");
      names = &kDhcpNames;
    } else {
      snprintf(dhcp_text, sizeof dhcp_text, "No");
      if (dial_up) names = &kDhcpNames;
    }

    ReadList(reg, tcpip, names->address, address, sizeof address);
    char address_text[20];
    g.AddressText.Get(address_text);
    if (address[0] != 0 && address_text[0] == 0) {
      char first[kAddressListBytes] = {};
      sscanf(address, "%799s", first);
      std::string text = std::string("IP=") + first;
      if (HasSecondEntry(address) || nics > 1) text += "+";
      g.AddressText.Set(text.c_str());
    }
    if (HasSecondEntry(address)) {
      warnings.Appendf("\r\n*** WARNING: Multiple IP addresses for adapter #%d.", n);
      multiple = true;
    }
    ReadList(reg, tcpip, names->gateway, gateway, sizeof gateway);
    ReadList(reg, tcpip, names->mask, mask, sizeof mask);
    if (HasSecondEntry(gateway)) warnings.Appendf("\r\n*** WARNING: Multiple Gateway addresses for adapter #%d.", n);
    FormatAddressList(address, sizeof address);
    FormatAddressList(gateway, sizeof gateway);
    FormatAddressList(mask, sizeof mask);

    memset(wins, 0, sizeof wins);
    const std::string netbt = kServices + std::string("NetBT\\Adapters\\") + key_name;
    if (reg.KeyExists(netbt)) {
      char primary[kAddressListBytes], backup[kAddressListBytes];
      ReadList(reg, netbt, names->name_server, primary, sizeof primary);
      ReadList(reg, netbt, names->name_server_backup, backup, sizeof backup);
      // The primary, then the backup as the next string: without a primary the list is empty.
      size_t at = strnlen(primary, sizeof wins - 2);
      memcpy(wins, primary, at);
      size_t b = strnlen(backup, sizeof wins - at - 2);
      memcpy(wins + at + 1, backup, b);
      FormatAddressList(wins, sizeof wins);
    }

    memset(dns, 0, sizeof dns);
    if (dial_up) {
      if (gateway[0] == 0) memcpy(gateway, address, sizeof gateway);
      const std::string transient = kServices + std::string("Tcpip\\Parameters\\Transient");
      if (reg.KeyExists(transient)) {
        ReadList(reg, transient, "NameServer", dns, sizeof dns);
        FormatAddressList(dns, sizeof dns);
      }
    }
    if (dns[0] == 0) {
      const std::string params = kServices + std::string("Tcpip\\Parameters");
      if (reg.KeyExists(params)) {
        ReadList(reg, params, names->name_server, dns, sizeof dns);
        FormatAddressList(dns, sizeof dns);
      }
    }

    Buffer<kAddressListBytes + 64> mask_text;
    mask_text.Appendf("%s", mask);
    if (address[0] != 0) {
      const std::string first_address = Slot(address, 0);
      if (mask[0] == 0) {
        warnings.Appendf("\r\n*** ERROR: Could not determine Subnet Mask for adapter #%d.", n);
      } else if (multiple) {
        if (gateway[0] == 0) warnings.Appendf("\r\n*** WARNING: NO Default Gateway defined for adapter #%d.", n);
      } else {
        const uint32_t m = SlotAddress(mask);
        const uint32_t subnet = SlotAddress(address) & m;
        const uint32_t last = subnet | ~m;
        mask_text.Appendf("\r\n Local Subnet  : %-15s", platform::DottedIpv4(subnet).c_str());
        mask_text.Appendf(" to %s", platform::DottedIpv4(last).c_str());
        if (strcmp(gateway, address) == 0 && RelaxedLoad(nic.IsWan) == 0)
          warnings.Appendf("\r\n*** WARNING: GATEWAY is SELF for adapter #%d.", n);
        else if (gateway[0] == 0)
          warnings.Appendf("\r\n*** WARNING: NO Default Gateway defined for adapter #%d.", n);
        else if ((SlotAddress(gateway) & m) != subnet)
          warnings.Appendf("\r\n*** ERROR: Gateway is NOT in local subnet for adapter #%d.", n);
        if (Slot(dns, 0) == first_address || Slot(dns, 1) == first_address)
          warnings.Appendf("\r\n*** WARNING: DNS is SELF for adapter #%d.", n);
        if (Slot(wins, 0) == first_address || Slot(wins, 1) == first_address)
          warnings.Appendf("\r\n*** WARNING: WINS is SELF for adapter #%d.", n);
      }
      if (dns[0] == 0 && wins[0] == 0) warnings.Appendf("\r\n*** WARNING: NO DNS or WINS defined for adapter #%d.", n);
    }
    body.Appendf("\r\n DHCP          : %s\r\n Address       : %s\r\n Subnet Mask   : %s\r\n GATEWAY       : %s"
                "\r\n DNS           : %s\r\n WINS          : %s",
                dhcp_text, address, mask_text.s, gateway, dns, wins);
    FillTcpipConfig(nic, {address, mask, gateway, dns, wins});
  }
  if (!warnings.empty()) warnings.Appendf("\r\n\r\n");
  char host[33];
  g.HostName.Get(host);
  snprintf(out, size, "%s Computer Name : %s%s", warnings.s, host, body.s);
}

void RefreshStationLabels(const Registry& reg, GlobalArea& g, time_t now) {
  char scratch[kTcpipReportMinBytes];
  BuildTcpipReport(reg, g, now, scratch, sizeof scratch);
  const int nics = g.NicCount.load(std::memory_order_acquire);
  for (int i = 0; i < nics && i < kMaxNics; ++i) {
    NicArea& nic = *g.Nics[i];
    const int count = RelaxedLoad(nic.StationCount);
    for (int k = 0; k < count && k < kMaxStations; ++k) {
      StationRecord& s = nic.Stations[k];
      uint8_t ip[4];
      SharedCopyOut(ip, s.IpAddress, 4);
      if (ip[0] == 0) continue;
      const char* role = AddressRoleLabel(nic, ip);
      char current[8];
      s.Role.Get(current);
      if (strcmp(role, current) != 0) {
        s.Role.Set(role);
        RelaxedStore(s.LastSequence, g.FrameSequence.load(std::memory_order_relaxed));
      }
      char name[33];
      s.Name.Get(name);
      if (name[0] == 0) {
        LookupDnsName(&nic, ip, name, sizeof name);
        if (name[0] != 0) {
          s.Name.Set(name);
          RelaxedStore(s.LastSequence, g.FrameSequence.load(std::memory_order_relaxed));
        }
      }
    }
  }
}

}  // namespace netward
