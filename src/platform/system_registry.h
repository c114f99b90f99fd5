// The read-only view of this Linux machine that answers the keys the agent reads from the platform
// (the packet driver's adapter list, the installed network cards and their driver files, the TCP/IP
// settings), under a hive whose keys override it.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "platform/registry.h"

namespace netward::platform {

// One physical network card as the system view presents it.
struct InstalledCard {
  std::string interface;     // ServiceName: the adapter name the agent gives the interface
  std::string driver;        // ProductName: the driver's module (its service key name)
  std::string description;   // Description, e.g. "PCI 8086:10D3" or a USB device's product string
  std::string manufacturer;  // Manufacturer, e.g. "PCI vendor 8086"
};

// Where the system view looks; tests point these at a fake tree.
struct SystemPaths {
  std::string net_class = "/sys/class/net";
  std::string sys_module = "/sys/module";
  std::string module_files;  // empty: /lib/modules/<running kernel release>
};

// Interfaces of `net_class` that have a device link (physical cards), in interface-index order.
std::vector<InstalledCard> ListInstalledCards(const std::string& net_class);

class TcpipView;

// The packet driver's names, given by its owner: the key of its `Export` list, the key under which
// each adapter has its settings (an adapter there with a `CaptureFile` value is a capture file), and
// the prefix of an adapter's device name.
struct DriverKeys {
  std::string linkage_key;
  std::string parameters_key;
  std::string device_prefix;
};

// The read-only view of this machine, under a hive whose values take precedence.
//   <linkage key>  "Export": the capture files first (the entries added with AddExport, then the
//   adapters the hive gives a `CaptureFile`), then one <device prefix><ifname> per capturable
//   interface (up, in interface-index order) or the hive's
//   own list; each name once. Capture files come first because only four adapters are monitored: a
//   file asked for is never crowded out by the machine's interfaces.
//   HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\NetworkCards\<n>, n = 1, 2, ...: one per
//   physical card in interface-index order, with ServiceName, ProductName, Description,
//   Manufacturer and Title ("[n] " + description). The key exists when there is a card.
//   HKLM\SYSTEM\CurrentControlSet\Services\<module>  "ImagePath": the module's file under the
//   kernel's module directory; empty for a module built into the kernel.
//   HKLM\SYSTEM\CurrentControlSet\Services\<if>\Parameters\Tcpip and ...\Services\Tcpip\Parameters:
//   the interfaces' TCP/IP settings (see TcpipView).
// Sub-keys are the union of the hive's and the system's.
class SystemRegistry : public Registry {
 public:
  SystemRegistry(std::shared_ptr<const Registry> hive, DriverKeys driver);

  // Adds a capture-file entry to the adapter list, ahead of the interfaces (e.g. "\Device\TapEye_trace").
  void AddExport(std::u16string device_path);
  // Replaces the live interface scan (tests); by default /sys/class/net is read on each query.
  void SetInterfaceNames(std::vector<std::string> names);
  // Replaces the places cards and driver modules are read from (tests).
  void SetSystemPaths(SystemPaths paths);
  // Replaces the TCP/IP settings view (tests); by default the machine's own.
  void SetTcpipView(std::shared_ptr<const TcpipView> view);
  // The hive file the hive was loaded from, which Reload reads again ("" = none: Reload keeps the
  // hive as it is).
  void SetHivePath(std::string path);
  std::string hive_path() const;
  // Loads the hive file anew and puts it in place of the hive; a file that cannot be loaded leaves
  // the hive in force and gives the fault ("file:line: what") in `error`.
  bool Reload(std::string& error) override;

  std::optional<RegValue> Query(std::string_view key, std::string_view name) const override;
  bool KeyExists(std::string_view key) const override;
  std::vector<std::string> SubKeys(std::string_view key) const override;
  // The hive's values (the system view has none that are listed).
  std::vector<std::string> ValueNames(std::string_view key) const override;

  std::shared_ptr<const Registry> hive() const;

 private:
  std::vector<std::string> InterfaceNames() const;
  // The system's value of a card or service key, if it has one.
  std::optional<RegValue> SystemValue(const std::string& canon, std::string_view name) const;
  bool SystemKeyExists(const std::string& canon) const;
  // The module's file, "" for a known module without one (built in), nullopt for an unknown name.
  std::optional<std::string> ModuleImagePath(std::string_view module) const;

  // Replaced as a whole by Reload while request threads read it: readers take a reference under
  // the lock and read without it.
  mutable std::mutex hive_mutex_;
  std::shared_ptr<const Registry> hive_;
  std::string hive_path_;
  std::shared_ptr<const TcpipView> tcpip_;
  std::vector<std::u16string> extra_exports_;
  std::optional<std::vector<std::string>> fixed_interfaces_;
  SystemPaths paths_;
  DriverKeys driver_;
  // Module name (with '-' as '_') -> file, built on first use by walking the module directory.
  mutable std::mutex module_mutex_;
  mutable std::optional<std::map<std::string, std::string>> module_files_;
};

inline constexpr char kNetworkCardsKey[] =
    "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";
inline constexpr char kServicesKey[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services";
// Interfaces that can be captured on: those that are administratively up, in interface-index order.
std::vector<std::string> ListCapturableInterfaces();


}  // namespace netward::platform
