// How the agent hands the client it starts ("Advanced") its local endpoint and key without putting
// the key on a command line, where any user's `ps` would show it: a file that only this user can
// read, in the user's runtime directory, named by the environment variable NETWARD_CONSOLE_HANDOFF
// of the client. The client removes the file once it has read it.
//
// File (text, LF-ended lines): "endpoint=<local endpoint path>" and "key=<32 hex digits>" (the
// 16 key bytes as the agent holds them, trailing zeros included).
#pragma once

#include <string>
#include <string_view>

namespace netward {

inline constexpr char kHandoffVariable[] = "NETWARD_CONSOLE_HANDOFF";
inline constexpr size_t kHandoffKeyBytes = 16;
inline constexpr size_t kHandoffMaxBytes = 4096;  // an endpoint path is at most 107 bytes

struct ClientHandoff {
  std::string local_endpoint;
  std::string key;  // up to 16 bytes, trailing zero bytes dropped (the request pads them back)
};

std::string FormatHandoff(const ClientHandoff& h);
// False with a reason for a text that is not exactly the two lines above.
bool ParseHandoff(std::string_view text, ClientHandoff& out, std::string& err);

// The file, created mode 0600 under a fresh name in `dir`; its path, or "" with `err`.
std::string WriteHandoffFile(const std::string& dir, const ClientHandoff& h, std::string& err);
// Reads the file and removes it. Refuses (and still removes) a file that is not a regular file of
// this user, or that others could read.
bool TakeHandoffFile(const std::string& path, ClientHandoff& out, std::string& err);
// Where the agent writes hand-off files: $XDG_RUNTIME_DIR, else the temporary directory.
std::string HandoffDirectory();

}  // namespace netward
