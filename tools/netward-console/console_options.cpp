#include "console_options.h"

#include <cerrno>
#include <cstdlib>

namespace netward::console {

namespace {

bool ParseNumber(const std::string& text, unsigned long min, unsigned long max, unsigned long& v) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  v = std::strtoul(text.c_str(), nullptr, 10);
  return errno == 0 && v >= min && v <= max;
}

// "host", "host:port", "[v6]:port" or a bare IPv6 address.
bool ParseHostPort(const std::string& s, client::Target& t, std::string& err) {
  std::string host = s, port;
  if (!s.empty() && s[0] == '[') {
    const size_t close = s.find(']');
    if (close == std::string::npos || (close + 1 < s.size() && s[close + 1] != ':')) {
      err = "bad address '" + s + "'";
      return false;
    }
    host = s.substr(1, close - 1);
    if (close + 1 < s.size()) port = s.substr(close + 2);
  } else if (s.find(':') != std::string::npos && s.find(':') == s.rfind(':')) {
    host = s.substr(0, s.find(':'));
    port = s.substr(s.find(':') + 1);
  }
  if (host.empty()) {
    err = "empty host in '" + s + "'";
    return false;
  }
  t.host = host;
  if (port.empty() && s.find(':') != std::string::npos && s[0] != '[' && s.find(':') == s.rfind(':')) {
    err = "empty port in '" + s + "'";
    return false;
  }
  if (port.empty()) {
    t.kind = client::Target::Kind::kEpm;
    return true;
  }
  unsigned long v = 0;
  if (!ParseNumber(port, 1, 65535, v)) {
    err = "bad port '" + port + "'";
    return false;
  }
  t.kind = client::Target::Kind::kTcp;
  t.port = static_cast<uint16_t>(v);
  return true;
}

}  // namespace

bool ParseConsoleArgs(const std::vector<std::string>& args, ConsoleOptions& o, std::string& err) {
  o.target.kind = client::Target::Kind::kLocal;
  o.target.local_path = kDefaultLocalEndpoint;
  o.target.timeout_ms = 15000;
  bool saw_host = false, saw_port = false, saw_epm = false, saw_local = false, saw_positional = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i], value;
    bool inline_value = false;
    if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
      value = arg.substr(arg.find('=') + 1);
      arg = arg.substr(0, arg.find('='));
      inline_value = true;
    }
    const bool takes_value = arg == "--host" || arg == "--port" || arg == "--epm-port" || arg == "--local" ||
                             arg == "--key" || arg == "--timeout" || arg == "--snapshot";
    if (takes_value && !inline_value) {
      if (i + 1 >= args.size()) {
        err = arg + " needs a value";
        return false;
      }
      value = args[++i];
    }
    unsigned long v = 0;
    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--epm") {
      saw_epm = true;
    } else if (arg == "--host") {
      if (value.empty()) return err = "empty host", false;
      o.target.host = value;
      saw_host = true;
    } else if (arg == "--port") {
      if (!ParseNumber(value, 1, 65535, v)) return err = "bad port '" + value + "'", false;
      o.target.port = static_cast<uint16_t>(v);
      saw_port = true;
    } else if (arg == "--epm-port") {
      if (!ParseNumber(value, 1, 65535, v)) return err = "bad endpoint mapper port '" + value + "'", false;
      o.target.epm_port = static_cast<uint16_t>(v);
      saw_epm = true;
    } else if (arg == "--local") {
      if (value.empty()) return err = "empty local endpoint path", false;
      o.target.local_path = value;
      saw_local = true;
    } else if (arg == "--key") {
      o.key = value;
      o.have_key = true;
    } else if (arg == "--timeout") {
      if (!ParseNumber(value, 1, 3600, v)) return err = "bad timeout '" + value + "'", false;
      o.target.timeout_ms = static_cast<unsigned>(v * 1000);
    } else if (arg == "--snapshot") {
      if (value.empty()) return err = "--snapshot needs a file", false;
      o.snapshot = value;
    } else if (arg.rfind("-", 0) == 0) {
      return err = "unknown option " + arg, false;
    } else {
      if (saw_positional) return err = "more than one agent named ('" + arg + "')", false;
      if (!ParseHostPort(arg, o.target, err)) return false;
      saw_positional = true;
    }
  }
  if (int(saw_port) + int(saw_epm) + int(saw_local) + int(saw_positional) > 1 || (saw_positional && saw_host))
    return err = "name the agent once: HOST[:PORT], --host with --port or --epm, or --local", false;
  if (saw_host && !saw_port && !saw_epm) saw_epm = true;  // a host alone is asked through its endpoint mapper
  if (saw_port) o.target.kind = client::Target::Kind::kTcp;
  if (saw_epm) o.target.kind = client::Target::Kind::kEpm;
  o.target_given = saw_host || saw_port || saw_epm || saw_local || saw_positional;
  if (o.have_key && o.key.size() > client::kKeyBytes)
    return err = "the key is longer than " + std::to_string(client::kKeyBytes) + " bytes", false;
  if (!o.snapshot.empty() && o.target_given) return err = "--snapshot reads a file; name no agent with it", false;
  return true;
}

void ApplyKeySources(ConsoleOptions& o, const std::string* handoff_endpoint, const std::string* handoff_key,
                     const char* env_key) {
  if (handoff_endpoint != nullptr && !o.target_given && !handoff_endpoint->empty()) {
    o.target.kind = client::Target::Kind::kLocal;
    o.target.local_path = *handoff_endpoint;
  }
  if (o.have_key) return;
  if (handoff_key != nullptr) {
    o.key = *handoff_key;
    o.have_key = true;
  } else if (env_key != nullptr && std::string(env_key).size() <= client::kKeyBytes) {
    o.key = env_key;
    o.have_key = true;
  }
}

}  // namespace netward::console
