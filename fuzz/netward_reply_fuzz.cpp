// The client's parsers of agent answers: the reply block (then both presentations of whatever
// parsed), the RequestRpc response stub and the ept_map response stub. The first byte picks one.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "agent_client.h"
#include "reply_format.h"
#include "reply_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace netward::client;
  if (size == 0) return 0;
  std::span<const uint8_t> in(data + 1, size - 1);
  std::string err;
  switch (data[0] % 3) {
    case 0: {
      ParsedReply reply;
      ParseError perr;
      if (ParseReplyBlock(in, reply, perr)) {
        std::string out;
        FormatText(reply, out);
        FormatJson("fuzz", reply, out);
      } else if (perr.offset > in.size()) {
        __builtin_trap();  // an error must point inside the block
      }
      break;
    }
    case 1: {
      RequestReply r;
      if (ParseRequestResponse(in, r, err) && r.block.size() != static_cast<size_t>(r.reply_length)) __builtin_trap();
      break;
    }
    default: {
      uint16_t port = 0;
      if (ParseEptMapResponse(in, port, err) && port == 0) __builtin_trap();
      break;
    }
  }
  return 0;
}
