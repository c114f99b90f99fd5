// Presentation of parsed replies: aligned text tables, or JSON with one object per record and every
// field named. Stored texts are 8-bit characters, shown as Latin-1 in UTF-8 output.
#pragma once

#include <string>

#include "reply_parser.h"

namespace netward::client {

// Appends the text form of one reply to `out`. TXT4 texts are written as they are.
void FormatText(const ParsedReply& reply, std::string& out);

// One JSON object (one line, no trailing newline): {"Request", "Header", "Records": [...]}.
// Never throws; false only when the JSON library failed.
bool FormatJson(const std::string& request, const ParsedReply& reply, std::string& out);

std::string Latin1ToUtf8(const std::string& s);

}  // namespace netward::client
