#include "platform/system_registry.h"

#include "platform/files.h"
#include "platform/tcpip_view.h"
#include "platform/hive_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace netward::platform {

std::vector<std::string> ListCapturableInterfaces() {
  std::vector<std::pair<unsigned, std::string>> found;
  DIR* dir = opendir("/sys/class/net");
  if (dir == nullptr) return {};
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::string name = e->d_name;
    std::ifstream flags_file("/sys/class/net/" + name + "/flags");
    unsigned long flags = 0;
    if (!(flags_file >> std::hex >> flags) || (flags & IFF_UP) == 0) continue;
    found.emplace_back(if_nametoindex(name.c_str()), name);
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  std::vector<std::string> names;
  for (auto& f : found) names.push_back(f.second);
  return names;
}

SystemRegistry::SystemRegistry(std::shared_ptr<const Registry> hive, DriverKeys driver)
    : hive_(std::move(hive)), tcpip_(std::make_shared<TcpipView>()), driver_(std::move(driver)) {
  if (!hive_) hive_ = std::make_shared<HiveFile>();
}

std::shared_ptr<const Registry> SystemRegistry::hive() const {
  std::lock_guard lock(hive_mutex_);
  return hive_;
}

void SystemRegistry::SetHivePath(std::string path) {
  std::lock_guard lock(hive_mutex_);
  hive_path_ = std::move(path);
}

std::string SystemRegistry::hive_path() const {
  std::lock_guard lock(hive_mutex_);
  return hive_path_;
}

bool SystemRegistry::Reload(std::string& error) {
  std::string path;
  {
    std::lock_guard lock(hive_mutex_);
    path = hive_path_;
  }
  if (path.empty()) return true;
  auto fresh = std::make_shared<HiveFile>();
  HiveFile::Error e;
  if (!fresh->Load(path, e)) {
    error = e.message;  // "file:line: what", or what kept the file from being read
    return false;
  }
  std::lock_guard lock(hive_mutex_);
  hive_ = std::move(fresh);
  return true;
}

void SystemRegistry::AddExport(std::u16string device_path) { extra_exports_.push_back(std::move(device_path)); }

void SystemRegistry::SetInterfaceNames(std::vector<std::string> names) { fixed_interfaces_ = std::move(names); }

void SystemRegistry::SetSystemPaths(SystemPaths paths) {
  std::lock_guard lock(module_mutex_);
  paths_ = std::move(paths);
  module_files_.reset();
}

std::vector<std::string> SystemRegistry::InterfaceNames() const {
  return fixed_interfaces_ ? *fixed_interfaces_ : ListCapturableInterfaces();
}

namespace {

// The part of `canon` after `parent` + "\", when that is a single key name.
std::optional<std::string_view> ChildOf(std::string_view canon, std::string_view parent) {
  if (canon.size() <= parent.size() + 1 || !KeyNameStartsWith(canon, parent) || canon[parent.size()] != '\\')
    return std::nullopt;
  std::string_view child = canon.substr(parent.size() + 1);
  if (child.find('\\') != std::string_view::npos) return std::nullopt;
  return child;
}

// True when `canon` is `path` or one of its parents.
bool IsKeyOrParent(std::string_view canon, std::string_view path) {
  return KeyNameStartsWith(path, canon) && (canon.size() == path.size() || path[canon.size()] == '\\');
}

RegValue TextValue(uint32_t type, std::string_view s) {
  RegValue v{type, {s.begin(), s.end()}};
  v.data.push_back(0);
  return v;
}

// First line of a small sysfs file, without the line end; "" when unreadable.
std::string ReadLine(const std::string& path) {
  std::ifstream f(path);
  std::string line;
  std::getline(f, line);
  return line;
}

std::string LinkBase(const std::string& path) {
  char target[PATH_MAX];
  ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  std::string_view t(target, static_cast<size_t>(n));
  size_t slash = t.rfind('/');
  return std::string(slash == std::string_view::npos ? t : t.substr(slash + 1));
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// "0x8086" -> "8086"; sysfs ids are 16-bit hex.
std::string HexId(std::string s) {
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.erase(0, 2);
  return Upper(s);
}

std::string UeventField(const std::string& dir, std::string_view field) {
  std::ifstream f(dir + "/uevent");
  std::string line;
  while (std::getline(f, line))
    if (line.size() > field.size() && line.compare(0, field.size(), field) == 0 && line[field.size()] == '=')
      return line.substr(field.size() + 1);
  return "";
}

// Describes the device behind an interface from what sysfs offers cheaply: the PCI id, the USB ids
// with the device's own strings, or the bus's vendor and device ids. No id database is read.
void DescribeDevice(const std::string& device, InstalledCard& card) {
  for (const std::string& dir : {device, device + "/.."}) {
    if (std::string pci = UeventField(dir, "PCI_ID"); !pci.empty()) {
      card.description = "PCI " + Upper(pci);
      card.manufacturer = "PCI vendor " + Upper(pci.substr(0, pci.find(':')));
      return;
    }
    std::string vendor = ReadLine(dir + "/idVendor");
    if (!vendor.empty()) {
      std::string ids = "USB " + HexId(vendor) + ":" + HexId(ReadLine(dir + "/idProduct"));
      std::string product = ReadLine(dir + "/product");
      std::string maker = ReadLine(dir + "/manufacturer");
      card.description = product.empty() ? ids : ids + " " + product;
      card.manufacturer = maker.empty() ? "USB vendor " + HexId(vendor) : maker;
      return;
    }
  }
  std::string bus = Upper(LinkBase(device + "/subsystem"));
  std::string vendor = ReadLine(device + "/vendor");
  if (!vendor.empty()) {
    card.description = bus + " " + HexId(vendor) + ":" + HexId(ReadLine(device + "/device"));
    card.manufacturer = bus + " vendor " + HexId(vendor);
  } else {
    card.description = bus + " device " + LinkBase(device);
  }
}

std::string ModuleKey(std::string_view name) {
  std::string k(name);
  std::replace(k.begin(), k.end(), '-', '_');
  return k;
}

// Module files by module name; compressed forms included.
std::map<std::string, std::string> IndexModuleFiles(const std::string& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> index;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    for (std::string_view ext : {".ko", ".ko.xz", ".ko.zst", ".ko.gz"}) {
      if (name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0) {
        index.emplace(ModuleKey(std::string_view(name).substr(0, name.size() - ext.size())), it->path().string());
        break;
      }
    }
  }
  return index;
}

}  // namespace

std::vector<InstalledCard> ListInstalledCards(const std::string& net_class) {
  std::vector<std::pair<long, InstalledCard>> found;
  DIR* dir = opendir(net_class.c_str());
  if (dir == nullptr) return {};
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::string base = net_class + "/" + e->d_name;
    std::string device = base + "/device";
    struct stat st;
    if (stat(device.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;  // virtual interface
    InstalledCard card;
    card.interface = e->d_name;
    card.driver = LinkBase(device + "/driver/module");
    if (card.driver.empty()) card.driver = LinkBase(device + "/driver");
    DescribeDevice(device, card);
    long index = std::strtol(ReadLine(base + "/ifindex").c_str(), nullptr, 10);
    found.emplace_back(index, std::move(card));
  }
  closedir(dir);
  std::stable_sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first < b.first : a.second.interface < b.second.interface;
  });
  std::vector<InstalledCard> cards;
  for (auto& f : found) cards.push_back(std::move(f.second));
  return cards;
}

std::optional<std::string> SystemRegistry::ModuleImagePath(std::string_view module) const {
  if (module.empty() || module.find('/') != std::string_view::npos || module == "." || module == "..")
    return std::nullopt;
  std::string key = ModuleKey(module);
  std::lock_guard lock(module_mutex_);
  if (!module_files_) {
    std::string root = paths_.module_files;
    if (root.empty()) {
      utsname u;
      if (uname(&u) == 0) root = std::string("/lib/modules/") + u.release;
    }
    module_files_ = root.empty() ? std::map<std::string, std::string>{} : IndexModuleFiles(root);
  }
  if (auto it = module_files_->find(key); it != module_files_->end()) return it->second;
  struct stat st;
  if (stat((paths_.sys_module + "/" + key).c_str(), &st) == 0) return std::string();
  for (const InstalledCard& card : ListInstalledCards(paths_.net_class))
    if (KeyNameEquals(card.driver, module)) return std::string();
  return std::nullopt;
}

std::optional<RegValue> SystemRegistry::SystemValue(const std::string& canon, std::string_view name) const {
  if (tcpip_->KeyExists(canon)) return tcpip_->Query(canon, name);
  if (auto child = ChildOf(canon, kNetworkCardsKey)) {
    std::vector<InstalledCard> cards = ListInstalledCards(paths_.net_class);
    for (size_t i = 0; i < cards.size(); ++i) {
      if (*child != std::to_string(i + 1)) continue;
      const InstalledCard& c = cards[i];
      if (KeyNameEquals(name, "ServiceName")) return TextValue(kRegSz, c.interface);
      if (KeyNameEquals(name, "ProductName")) return TextValue(kRegSz, c.driver);
      if (KeyNameEquals(name, "Description")) return TextValue(kRegSz, c.description);
      if (KeyNameEquals(name, "Manufacturer")) return TextValue(kRegSz, c.manufacturer);
      if (KeyNameEquals(name, "Title")) return TextValue(kRegSz, "[" + std::to_string(i + 1) + "] " + c.description);
      return std::nullopt;
    }
    return std::nullopt;
  }
  if (auto child = ChildOf(canon, kServicesKey); child && KeyNameEquals(name, "ImagePath")) {
    if (auto path = ModuleImagePath(*child)) return TextValue(kRegExpandSz, *path);
  }
  return std::nullopt;
}

void SystemRegistry::SetTcpipView(std::shared_ptr<const TcpipView> view) { tcpip_ = std::move(view); }

bool SystemRegistry::SystemKeyExists(const std::string& canon) const {
  if (tcpip_->KeyExists(canon)) return true;
  if (IsKeyOrParent(canon, driver_.linkage_key)) return true;
  if (IsKeyOrParent(canon, kNetworkCardsKey)) return !ListInstalledCards(paths_.net_class).empty();
  if (auto child = ChildOf(canon, kNetworkCardsKey)) {
    size_t cards = ListInstalledCards(paths_.net_class).size();
    for (size_t n = 1; n <= cards; ++n)
      if (*child == std::to_string(n)) return true;
    return false;
  }
  if (auto child = ChildOf(canon, kServicesKey)) return ModuleImagePath(*child).has_value();
  return false;
}

std::optional<RegValue> SystemRegistry::Query(std::string_view key, std::string_view name) const {
  std::string canon = CanonicalKey(key);
  if (KeyNameEquals(canon, driver_.linkage_key) && KeyNameEquals(name, "Export")) {
    // Capture files (command line, then hive), then the interfaces (the hive's list or the scan).
    std::vector<std::u16string> entries;
    const auto hive = this->hive();
    auto same = [](const std::u16string& a, const std::u16string& b) {
      auto fold = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
      return true;
    };
    auto add = [&entries, &same](const std::u16string& e) {
      for (const auto& have : entries)
        if (same(have, e)) return;
      entries.push_back(e);
    };
    for (const auto& e : extra_exports_) add(e);
    for (const auto& adapter : hive->SubKeys(driver_.parameters_key))
      if (hive->Query(driver_.parameters_key + "\\" + adapter, "CaptureFile"))
        add(Widen(driver_.device_prefix) + Widen(adapter));
    std::vector<std::u16string> interfaces;
    if (hive->Query(key, name)) {
      interfaces = hive->GetMultiString(key, name);
    } else {
      for (const auto& ifname : InterfaceNames()) interfaces.push_back(Widen(driver_.device_prefix) + Widen(ifname));
    }
    // An interface the hive gives a capture file is listed once, with the capture files.
    for (const auto& e : interfaces) add(e);
    return RegValue{kRegMultiSz, EncodeMultiStringUtf16(entries)};
  }
  if (auto v = hive()->Query(key, name)) return v;
  return SystemValue(canon, name);
}

bool SystemRegistry::KeyExists(std::string_view key) const {
  return hive()->KeyExists(key) || SystemKeyExists(CanonicalKey(key));
}

std::vector<std::string> SystemRegistry::ValueNames(std::string_view key) const { return hive()->ValueNames(key); }

std::vector<std::string> SystemRegistry::SubKeys(std::string_view key) const {
  std::vector<std::string> names = hive()->SubKeys(key);
  if (KeyNameEquals(CanonicalKey(key), kNetworkCardsKey)) {
    size_t cards = ListInstalledCards(paths_.net_class).size();
    for (size_t n = 1; n <= cards; ++n) names.push_back(std::to_string(n));
    std::sort(names.begin(), names.end(), CaseInsensitiveLess());
    names.erase(std::unique(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
                  return KeyNameEquals(a, b);
                }),
                names.end());
  }
  return names;
}

}  // namespace netward::platform
