// The request language: HandleRequest checks the key and wraps the body that DispatchRequest builds
// in a reply block.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "platform/clock.h"
#include "platform/output.h"
#include "platform/registry.h"
#include "remote/reply_records.h"

namespace netward {

class Agent;

inline constexpr int32_t kKeyRejected = -2;

// The records of one history day ("TET ", "TES ") fill at most this much of a reply body: far more
// than a real day holds (157286 trace intervals, 50737 stations), and well inside the RPC server's
// 8 MiB reply limit. A day file with more is answered with its first records, cut at a whole record.
inline constexpr size_t kMaxHistoryDayBody = 6u << 20;

// Reply blocks are allocated and freed with these (the RPC stub frees what HandleRequest returns).
void* MidlUserAllocate(size_t bytes);
void MidlUserFree(void* block);

// What a request may use of the agent, taken once per request. Without an agent (a tool or a
// test that only set up the shared state) there is no clock (`now` is the time), the history
// directory is ".", and the rest absent: such requests answer with what the shared state holds.
struct RequestContext {
  GlobalArea* g = nullptr;
  uint32_t now = 0;                          // the time the request is answered at
  platform::Clock* clock = nullptr;
  const platform::Registry* registry = nullptr;
  platform::Output* out = nullptr;
  std::string history_dir = ".";
  std::string windows_dir;
  std::function<void()> stop;                // CommonStop
  std::function<void()> reload_settings;     // the settings file read again

  // The time at this moment (a CMD TEST or a snapshot takes seconds): the clock's, else `now`.
  uint32_t Now() const { return clock != nullptr ? clock->Now() : now; }
};
// The context of a request answered by `agent`, now.
RequestContext AgentRequestContext(Agent& agent);

// `key`: 16 bytes; `request`: the 256-byte request array (its last byte ends the text). On success
// *reply holds a block of *reply_length bytes owned by the caller; on a wrong key *reply stays null,
// *reply_length is 0 and the result is kKeyRejected.
int32_t HandleRequest(const RequestContext& context, const uint8_t* key, const char* request, uint8_t** reply,
                      int32_t* reply_length);

// One keyword of the request language: the first `compared` bytes of the request equal `text`.
// `keeps_tot`: the body starts with the TOT record.
struct RequestRow {
  const char* text;
  size_t compared;
  bool keeps_tot;
  void (*handler)(const RequestContext&, const char* request, Body& body);  // null: TOT alone
};
// One report or test of "CMD ": the first `compared` bytes equal `text`, letter case ignored.
struct CommandRow {
  const char* text;
  size_t compared;
  void (*handler)(const RequestContext&, char* text, size_t size);
};
std::span<const RequestRow> RequestTable();
std::span<const CommandRow> CommandTable();

// Builds the body for `request` (NUL-terminated) into `body`. Never fails.
void DispatchRequest(const RequestContext& context, const char* request, Body& body);

}  // namespace netward
