#include "service/unit_files.h"

#include "service/unit_templates.h"

namespace netward::service {

namespace {

void Replace(std::string& text, const std::string& what, const std::string& with) {
  size_t pos = text.find(what);
  if (pos != std::string::npos) text.replace(pos, what.size(), with);
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

}  // namespace

std::string ExecWord(const std::string& word) {
  bool quote = word.empty();
  std::string body;
  for (char c : word) {
    switch (c) {
      case '%': body += "%%"; break;
      case '$': body += "$$"; break;
      case '"': case '\\': body += '\\'; body += c; quote = true; break;
      case ' ': case '\t': case '\'': case ';': body += c; quote = true; break;
      default: body += c; break;
    }
  }
  return quote ? "\"" + body + "\"" : body;
}

std::string AgentUnitText(const ServiceConfig& config) {
  std::string exec = ExecWord(config.binary_path);
  for (const std::string& a : config.arguments) exec += " " + ExecWord(a);
  std::string text = kAgentUnitTemplate;
  Replace(text, "@EXEC_START@", exec);
  // The Settings dialog saves the hive and the history goes to DataPath; everything else stays
  // read-only. "-": a path that is missing is no reason to fail the start.
  std::string paths;
  for (const std::string& dir : {DirectoryOf(config.hive_path), config.data_path})
    if (!dir.empty()) paths += (paths.empty() ? "-" : " -") + ExecWord(dir);
  Replace(text, "@READ_WRITE_PATHS@\n", paths.empty() ? "" : "ReadWritePaths=" + paths + "\n");
  return text;
}

std::string DriverUnitText() { return kDriverUnitTemplate; }

}  // namespace netward::service
