#include "platform/hive_file.h"
#include "platform/system_registry.h"
#include "platform/registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

using namespace netward::platform;

namespace {

constexpr char kParams[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\NETWARD\\Parameters";
// The packet driver's names, as its owner gives them to the system view.
constexpr char kLinkageKey[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Linkage";
constexpr char kDriverParametersKey[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Parameters";
const DriverKeys kDriver{kLinkageKey, kDriverParametersKey, "\\Device\\TapEye_"};

std::string TempPath(const char* name) {
  return std::string(testing::TempDir()) + "/" + std::to_string(getpid()) + "_" + name;
}

// A failed parse leaves what the hive held before.
HiveFile::Error ParseError(const std::string& text) {
  HiveFile hive;
  HiveFile::Error err;
  EXPECT_TRUE(hive.Parse("REGEDIT4\n[HKLM\\A]\n\"v\"=dword:1\n", err));
  EXPECT_FALSE(hive.Parse(text, err)) << text;
  EXPECT_EQ(hive.GetDword("HKLM\\A", "v").value_or(0), 1u) << text;
  return err;
}

TEST(HiveFile, ReadsEveryValueKind) {
  HiveFile hive;
  HiveFile::Error err;
  ASSERT_TRUE(hive.Parse("REGEDIT4\r\n\r\n; comment\r\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\NETWARD\\Parameters]\r\n"
                         "\"DataPath\"=\"C:\\\\hist \\\"x\\\"\"\r\n"
                         "\"AutoIpName\"=dword:0000002a\r\n"
                         "\"OpenKey\"=hex:41,62,\\\r\n  43\r\n"
                         "@=\"default\"\r\n"
                         "[HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Linkage]\n"
                         "\"Export\"=hex(7):5c,00,41,00,00,00,5c,00,42,00,00,00,00,00\n",
                         err))
      << err.message;
  EXPECT_EQ(hive.GetString(kParams, "datapath").value(), "C:\\hist \"x\"");
  EXPECT_EQ(hive.GetDword("hklm\\software\\brackwater\\netward\\parameters", "AutoIpName").value(), 42u);
  EXPECT_EQ(hive.Query(kParams, "OpenKey")->data, (std::vector<uint8_t>{'A', 'b', 'C'}));
  EXPECT_EQ(hive.GetString(kParams, "").value(), "default");
  EXPECT_EQ(hive.GetMultiString(kLinkageKey, "Export"), (std::vector<std::u16string>{u"\\A", u"\\B"}));
  EXPECT_FALSE(hive.GetDword(kParams, "DataPath").has_value()) << "a string does not read as a word";
  EXPECT_TRUE(hive.KeyExists("HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater"));
  EXPECT_EQ(hive.SubKeys("HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater"), std::vector<std::string>{"NETWARD"});
}

TEST(HiveFile, RoundTripIsIdentical) {
  HiveFile hive;
  hive.SetString(kParams, "DataPath", "/var/lib/a \"b\" \\c");
  hive.SetDword(kParams, "AutoIpName", 0xDEADBEEF);
  std::vector<uint8_t> blob(300);
  for (size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(i * 7);
  hive.Set(kParams, "Blob", RegValue{kRegBinary, blob});
  hive.Set(kLinkageKey, "Export", RegValue{kRegMultiSz, EncodeMultiStringUtf16({u"\\Device\\TapEye_eth0"})});
  hive.Set(kParams, "Odd", RegValue{0x1234, {1, 2, 3}});
  hive.CreateKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\Empty");

  std::string text = hive.Serialize();
  HiveFile back;
  HiveFile::Error err;
  ASSERT_TRUE(back.Parse(text, err)) << err.line << ": " << err.message << "\n" << text;
  EXPECT_TRUE(back == hive);
  EXPECT_EQ(back.Serialize(), text);
}

TEST(HiveFile, BadInputNamesTheLine) {
  struct Case {
    const char* text;
    int line;
    const char* words;
  } cases[] = {
      {"", 0, "REGEDIT4"},
      {"NOTAHIVE\n", 1, "REGEDIT4"},
      {"REGEDIT4\n\"v\"=dword:1\n", 2, "outside any key"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\n", 2, "']'"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=qword:1\n", 3, "unknown value type"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=hex:4g\n", 3, "bad hex"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=hex:41,\\\n", 3, "ends inside"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=\"open\n", 3, "closing quote"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=dword:123456789\n", 3, "dword"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=hex(zz):00\n", 3, "hex(type)"},
      {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\n\nnonsense\n", 5, "expected"},
  };
  for (const auto& c : cases) {
    auto err = ParseError(c.text);
    EXPECT_EQ(err.line, c.line) << c.text;
    EXPECT_NE(err.message.find(c.words), std::string::npos) << err.message;
  }
  std::string long_line = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"v\"=\"" + std::string(70000, 'a') + "\"\n";
  auto err = ParseError(long_line);
  EXPECT_EQ(err.line, 3);
  EXPECT_NE(err.message.find("64 KiB"), std::string::npos);
}

TEST(HiveFile, SaveReplacesAtomically) {
  std::string path = TempPath("hive.reg");
  HiveFile a;
  a.SetDword(kParams, "AutoIpName", 1);
  std::string error;
  ASSERT_TRUE(a.Save(path, error)) << error;
  // A crash mid-save leaves only the temporary file behind; the hive itself is the old one.
  { std::ofstream(path + ".tmp") << "REGEDIT4\n[HKLM\\half"; }
  HiveFile b;
  HiveFile::Error err;
  ASSERT_TRUE(b.Load(path, err)) << err.message;
  EXPECT_TRUE(b == a);
  // A save into a directory we cannot write to fails cleanly and keeps nothing half-written.
  EXPECT_FALSE(a.Save("/nonexistent-dir/hive.reg", error));
  EXPECT_NE(error.find("/nonexistent-dir/hive.reg"), std::string::npos) << error;
  HiveFile::Error load_err;
  EXPECT_FALSE(b.Load("/nonexistent-dir/hive.reg", load_err));
  EXPECT_NE(load_err.message.find("cannot open"), std::string::npos);
  unlink(path.c_str());
  unlink((path + ".tmp").c_str());
}

// /dev/zero used to be read until memory ran out, a named pipe to be waited on for ever: settings
// come from a regular file of sane size, or the reason is given in words. The device and the pipe,
// through the agent's start-up: StartUp.SettingsThatAreNoFileAreRefusedAtOnce.
TEST(HiveFile, LoadTakesRegularFilesOfSaneSizeOnly) {
  const std::string big = TempPath("big.reg");
  { std::ofstream(big) << "REGEDIT4\n" << std::string(HiveFile::kMaxFileBytes, ';'); }
  for (const auto& [path, text] : {std::pair<std::string, std::string>{"/", "cannot open '/': a directory, not a regular file"},
                                   {big, "cannot open '" + big + "': larger than 16777216 bytes"}}) {
    HiveFile hive;
    HiveFile::Error err;
    EXPECT_FALSE(hive.Load(path, err));
    EXPECT_EQ(err.message, text);
  }
  unlink(big.c_str());
}

// Capture files come first (command line, then the hive's), so that four interfaces cannot crowd
// them out; each adapter is listed once.
TEST(SystemRegistry, ExportListsCaptureFilesThenInterfaces) {
  auto hive = std::make_shared<HiveFile>();
  hive->SetDword(kParams, "AutoIpName", 0);
  SystemRegistry sys(hive, kDriver);
  sys.SetInterfaceNames({"eth0", "lo"});
  sys.AddExport(u"\\Device\\TapEye_trace");
  EXPECT_TRUE(sys.KeyExists("HKLM\\SYSTEM\\CurrentControlSet\\Services\\Tapeye"));
  EXPECT_EQ(sys.GetDword(kParams, "AutoIpName").value(), 0u);

  // The hive's capture-file adapters follow the command line's; one that shares an interface's
  // name is that interface, listed once with the capture files.
  hive->SetString(std::string(kDriverParametersKey) + "\\ring", "CaptureFile", "/srv/ring.pcap");
  hive->SetString(std::string(kDriverParametersKey) + "\\LO", "CaptureFile", "/srv/lo.pcap");
  hive->SetString(std::string(kDriverParametersKey) + "\\eth0", "Pace", "realtime");  // no file: live
  EXPECT_EQ(sys.GetMultiString(kLinkageKey, "Export"),
            (std::vector<std::u16string>{u"\\Device\\TapEye_trace", u"\\Device\\TapEye_LO", u"\\Device\\TapEye_ring",
                                         u"\\Device\\TapEye_eth0"}));

  hive->Set(kLinkageKey, "Export", RegValue{kRegMultiSz, EncodeMultiStringUtf16({u"\\Device\\TapEye_x"})});
  EXPECT_EQ(sys.GetMultiString(kLinkageKey, "Export"),
            (std::vector<std::u16string>{u"\\Device\\TapEye_trace", u"\\Device\\TapEye_LO", u"\\Device\\TapEye_ring",
                                         u"\\Device\\TapEye_x"}))
      << "the hive fixes the interfaces; capture files still come first";
  EXPECT_EQ(sys.ValueNames(kParams), std::vector<std::string>{"AutoIpName"});
}

TEST(SystemRegistry, LiveScanFindsLoopback) {
  auto names = ListCapturableInterfaces();
  EXPECT_NE(std::find(names.begin(), names.end(), "lo"), names.end());
}

// A fake sysfs and module tree: a USB card (built-in driver), a PCI card (loadable module) and a
// virtual interface, with interface indexes that put the USB card first.
class FakeSystem : public testing::Test {
 protected:
  void SetUp() override {
    root_ = TempPath("sys");
    std::filesystem::remove_all(root_);
    Write("net/veth0/ifindex", "2\n");
    Write("devices/pci0000:00/0000:00:1f.6/uevent", "DRIVER=e1000e\nPCI_ID=8086:15bb\nPCI_SLOT_NAME=x\n");
    Link("../../../../module/e1000e", "bus/pci/drivers/e1000e/module");
    Link("../../../../bus/pci/drivers/e1000e", "devices/pci0000:00/0000:00:1f.6/driver");
    Write("net/eth9/ifindex", "7\n");
    Link("../../devices/pci0000:00/0000:00:1f.6", "net/eth9/device");
    Write("devices/usb1/1-1/idVendor", "0bda\n");
    Write("devices/usb1/1-1/idProduct", "8153\n");
    Write("devices/usb1/1-1/product", "USB 10/100/1000 LAN\n");
    Write("devices/usb1/1-1/manufacturer", "Maker Inc\n");
    Dir("bus/usb/drivers/r8152");
    Link("../../../../../bus/usb/drivers/r8152", "devices/usb1/1-1/1-1:1.0/driver");
    Write("net/usb0/ifindex", "3\n");
    Link("../../devices/usb1/1-1/1-1:1.0", "net/usb0/device");
    Dir("module/r8152");
    Write("lib/kernel/drivers/net/ethernet/intel/e1000e/e1000e.ko.zst", "");
    sys_.SetSystemPaths({root_ + "/net", root_ + "/module", root_ + "/lib"});
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  // Write and Link make the parent directories they need.
  void Dir(const std::string& rel) { std::filesystem::create_directories(root_ + "/" + rel); }
  void Write(const std::string& rel, const std::string& text) {
    Dir(std::filesystem::path(rel).parent_path());
    std::ofstream(root_ + "/" + rel) << text;
  }
  void Link(const std::string& target, const std::string& rel) {
    Dir(std::filesystem::path(rel).parent_path());
    ASSERT_EQ(symlink(target.c_str(), (root_ + "/" + rel).c_str()), 0) << rel;
  }
  std::string Card(int n, const char* name) {
    return sys_.GetString(std::string(kNetworkCardsKey) + "\\" + std::to_string(n), name).value_or("<none>");
  }
  std::string Image(const char* module) {
    return sys_.GetString(std::string(kServicesKey) + "\\" + module, "ImagePath").value_or("<none>");
  }

  std::string root_;
  std::shared_ptr<HiveFile> hive_ = std::make_shared<HiveFile>();
  SystemRegistry sys_{hive_, kDriver};
};

TEST_F(FakeSystem, CardsArePhysicalInterfacesInIndexOrder) {
  struct Row {
    int n;
    const char* service;
    const char* product;
    const char* description;
    const char* manufacturer;
  } rows[] = {
      {1, "usb0", "r8152", "USB 0BDA:8153 USB 10/100/1000 LAN", "Maker Inc"},
      {2, "eth9", "e1000e", "PCI 8086:15BB", "PCI vendor 8086"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.n);
    EXPECT_EQ(Card(r.n, "ServiceName"), r.service);
    EXPECT_EQ(Card(r.n, "ProductName"), r.product);
    EXPECT_EQ(Card(r.n, "Description"), r.description);
    EXPECT_EQ(Card(r.n, "Manufacturer"), r.manufacturer);
    EXPECT_EQ(Card(r.n, "Title"), "[" + std::to_string(r.n) + "] " + r.description);
  }
  EXPECT_TRUE(sys_.KeyExists(kNetworkCardsKey));
  EXPECT_TRUE(sys_.KeyExists(std::string(kNetworkCardsKey) + "\\2"));
  EXPECT_FALSE(sys_.KeyExists(std::string(kNetworkCardsKey) + "\\3")) << "the virtual interface is no card";
  EXPECT_EQ(sys_.SubKeys(kNetworkCardsKey), (std::vector<std::string>{"1", "2"}));

  EXPECT_EQ(Image("e1000e"), root_ + "/lib/kernel/drivers/net/ethernet/intel/e1000e/e1000e.ko.zst");
  EXPECT_EQ(Image("r8152"), "") << "built into the kernel: no file";
  EXPECT_TRUE(sys_.KeyExists(std::string(kServicesKey) + "\\r8152"));
  EXPECT_FALSE(sys_.KeyExists(std::string(kServicesKey) + "\\nosuchdriver"));
  EXPECT_EQ(Image("nosuchdriver"), "<none>");
}

TEST_F(FakeSystem, HiveValuesOverrideAndHiveCardsJoin) {
  hive_->SetString(std::string(kNetworkCardsKey) + "\\2", "Title", "[2] Fixed");
  hive_->SetString(std::string(kNetworkCardsKey) + "\\10", "ServiceName", "x");
  hive_->SetString(std::string(kServicesKey) + "\\e1000e", "ImagePath", "\\SystemRoot\\e.sys");
  EXPECT_EQ(Card(2, "Title"), "[2] Fixed");
  EXPECT_EQ(Card(2, "ServiceName"), "eth9");
  EXPECT_EQ(Image("e1000e"), "\\SystemRoot\\e.sys");
  EXPECT_EQ(sys_.SubKeys(kNetworkCardsKey), (std::vector<std::string>{"1", "10", "2"}));
  EXPECT_TRUE(sys_.KeyExists(std::string(kNetworkCardsKey) + "\\10"));
}

}  // namespace
