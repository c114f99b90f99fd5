#include "diagnostics/installed_adapters.h"

#include <strings.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/files.h"
#include "platform/system_registry.h"
#include "platform/text_area.h"

namespace netward {

namespace {

constexpr size_t kValueBytes = 512;      // ProductName, ServiceName, Description, Manufacturer, Title
constexpr size_t kImagePathBytes = 260;  // ImagePath
constexpr char kSystemRoot[] = "\\SystemRoot\\";  // 12 characters
constexpr size_t kSystemRootLength = sizeof kSystemRoot - 1;

std::string CardKey(std::string_view card) { return std::string(platform::kNetworkCardsKey) + "\\" + std::string(card); }
std::string ServiceKey(std::string_view service) { return std::string(platform::kServicesKey) + "\\" + std::string(service); }

// A value's bytes as text into `out` (`size` bytes, cleared first): up to its terminator, at most
// size - 1 of them. Missing values read as empty.
void ReadValue(const platform::Registry& registry, const std::string& key, const char* name, char* out,
               size_t size) {
  memset(out, 0, size);
  auto v = registry.Query(key, name);
  if (!v) return;
  size_t n = 0;
  while (n < v->data.size() && n + 1 < size && v->data[n] != 0) ++n;
  memcpy(out, v->data.data(), n);
}

struct FoundFile {
  std::string name;  // as stored on disk
  long size = 0;
  time_t mtime = 0;
};

// A file search on `path`: the last component may hold wildcards and matches letters in any case,
// as the platform's file search does; an exact name is preferred.
bool FindFile(const std::string& path, FoundFile& found) {
  if (path.empty()) return false;
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string pattern = slash == std::string::npos ? path : path.substr(slash + 1);
  if (pattern.empty()) return false;
  std::string name = pattern;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    std::vector<std::string> names = platform::ListDirectory(dir, pattern.c_str());
    if (names.empty()) return false;
    name = names.front();
    if (stat((dir + "/" + name).c_str(), &st) != 0) return false;
  }
  found.name = name;
  found.size = static_cast<long>(st.st_size);
  found.mtime = st.st_mtime;
  return true;
}

std::string ImagePathOf(const platform::Registry& registry, const char* service) {
  char image[kImagePathBytes];
  ReadValue(registry, ServiceKey(service), "ImagePath", image, sizeof image);
  return image;
}

}  // namespace

std::string DriverFilePath(std::string_view image_path, std::string_view windows_dir) {
  if (image_path.size() < kSystemRootLength ||
      strncasecmp(image_path.data(), kSystemRoot, kSystemRootLength) != 0)
    return std::string(image_path);
  std::string path(windows_dir);
  if (path.empty() || path.back() != '/') path.push_back('/');
  for (char c : image_path.substr(kSystemRootLength)) path.push_back(c == '\\' ? '/' : c);
  return path;
}

void FormatDriverFileDate(const platform::Registry& registry, const std::string& windows_dir, const char* service,
                          char* field, size_t size) {
  if (size < kDriverLineMinBytes) return;
  if (!registry.KeyExists(platform::kServicesKey) || !registry.KeyExists(ServiceKey(service))) return;
  std::string image = ImagePathOf(registry, service);
  if (image.empty()) {
    snprintf(field, size, "?");
    return;
  }
  std::string path = DriverFilePath(image, windows_dir);
  FoundFile file;
  if (!FindFile(path, file)) {
    snprintf(field, size, "%s", path.c_str());
    return;
  }
  // The C library's time and month names: the agent never changes its locale from "C".
  char when[81] = {};
  tm local{};
  localtime_r(&file.mtime, &local);
  strftime(when, sizeof when, "%X  %d-%B-%Y", &local);
  snprintf(field, size, "%-12s %9ld  %s", file.name.c_str(), file.size, when);
}

void ListInstalledAdapters(const platform::Registry& registry, const std::string& windows_dir, char* text,
                           size_t size) {
  if (text == nullptr || size == 0) return;
  memset(text, 0, size);
  if (size < kInstalledReportMinBytes) return;
  platform::TextArea report(text, size);
  report.Append("INSTALLED NETWORK ADAPTERS\r\n");
  // This platform is neither of the two the report names, so it has no platform line.
  if (!registry.KeyExists(platform::kNetworkCardsKey)) {
    report.Append("\r\nCOULD NOT LOCATE ANY INSTALL NETWORK CARDS\r\n");
    return;
  }
  char product[kValueBytes], service[kValueBytes], description[kValueBytes], manufacturer[kValueBytes];
  char driver[kDriverLineBytes];
  for (int n = 1; n <= kMaxReportedCards; ++n) {
    if (report.Room() < 100) break;
    std::string key = CardKey(std::to_string(n));
    if (!registry.KeyExists(key)) break;
    ReadValue(registry, key, "ProductName", product, sizeof product);
    ReadValue(registry, key, "ServiceName", service, sizeof service);
    ReadValue(registry, key, "Description", description, sizeof description);
    ReadValue(registry, key, "Manufacturer", manufacturer, sizeof manufacturer);
    memset(driver, 0, sizeof driver);
    FormatDriverFileDate(registry, windows_dir, product, driver, sizeof driver);
    report.Appendf(
           "\r\n  Product Name: %s\r\n  Description : %s\r\n  Manufacturer: %s\r\n  Service Name: %s\r\n"
           "  Driver      : %s\r\n",
           product, description, manufacturer, service, driver);
  }
}

void CheckDriverDates(const platform::Registry& registry, const std::string& windows_dir, GlobalArea& global,
                      platform::Output& out) {
  if (!registry.KeyExists(platform::kNetworkCardsKey)) {
    out.Printf("ERROR - COULD NOT LOCATE ANY INSTALL NETWORK CARDS\n");
    return;
  }
  char product[kValueBytes], service[kValueBytes], title[kValueBytes];
  for (const std::string& card : registry.SubKeys(platform::kNetworkCardsKey)) {
    std::string key = CardKey(card);
    if (!registry.KeyExists(key)) break;
    ReadValue(registry, key, "ProductName", product, sizeof product);
    ReadValue(registry, key, "ServiceName", service, sizeof service);
    ReadValue(registry, key, "Title", title, sizeof title);
    std::string path = DriverFilePath(ImagePathOf(registry, product), windows_dir);
    FoundFile file;
    if (path.empty() || !FindFile(path, file)) continue;

    char date[32] = {};
    tm local{};
    localtime_r(&file.mtime, &local);
    strftime(date, sizeof date, "%d-%b-%Y", &local);
    char file_text[kValueBytes];
    snprintf(file_text, sizeof file_text, "%-12s %s", file.name.c_str(), date);
    // A title numbered "[n] " keeps only the card's name.
    const char* shown = title;
    if (title[0] == '[' && title[1] != 0 && title[2] == ']' && title[3] == ' ') shown = title + 4;

    int count = global.NicCount.load(std::memory_order_acquire);
    for (int i = 0; i < count && i < kMaxNics; ++i) {
      NicArea* nic = global.Nics[i];
      if (nic == nullptr) continue;
      char name[decltype(nic->AdapterName)::kSize];
      nic->AdapterName.Get(name);
      if (strcasecmp(name, service) != 0) continue;
      nic->AdapterTitle.Set(shown);
      nic->DriverFileText.Set(file_text);
      RelaxedStore(nic->DriverFileTime, static_cast<uint32_t>(file.mtime));
      break;
    }
  }
}

}  // namespace netward
