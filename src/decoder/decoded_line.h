// The decoded line of one stored frame: the in-memory record the decoders write into, and its
// 364-byte wire form, the body of a "DETL" reply record (packed, little-endian).
#pragma once

#include <cstddef>
#include <cstdint>

#include "wire/reply_layout.h"

namespace netward::decoder {

inline constexpr size_t kDecodedLineSize = line_off::End;

inline constexpr char kDetailTag[4] = {'D', 'E', 'T', 'L'};

struct DecodedLine {
  uint32_t AdapterNumber = 0;  // 1-based; selects the adapter whose own address the decoder uses
  uint32_t Sequence = 0;
  uint32_t Length = 0;         // bytes read for the frame
  char TimeText[9] = {};       // "hh:mm:ss", local time
  char SourceText[16] = {};
  char PeerText[28] = {};
  char RoleText[8] = {};
  char NameText[32] = {};
  char DirectionMark[4] = {};  // no terminator
  char DestinationText[28] = {};
  char SummaryText[100] = {};
  char ProtocolText[100] = {};
  char EventText[16] = {};     // blank-padded, no terminator
  uint32_t MediaType = 0;      // 0 = 802.3, 1 = 802.5
};

static_assert(sizeof(DecodedLine::TimeText) == line_off::TimePad - line_off::TimeText);
static_assert(sizeof(DecodedLine::SourceText) == line_off::PeerText - line_off::SourceText);
static_assert(sizeof(DecodedLine::PeerText) == line_off::RoleText - line_off::PeerText);
static_assert(sizeof(DecodedLine::RoleText) == line_off::NameText - line_off::RoleText);
static_assert(sizeof(DecodedLine::NameText) == line_off::DirectionMark - line_off::NameText);
static_assert(sizeof(DecodedLine::DirectionMark) ==
              line_off::DestinationText - line_off::DirectionMark);
static_assert(sizeof(DecodedLine::DestinationText) ==
              line_off::SummaryText - line_off::DestinationText);
static_assert(sizeof(DecodedLine::SummaryText) == line_off::ProtocolText - line_off::SummaryText);
static_assert(sizeof(DecodedLine::ProtocolText) == line_off::EventText - line_off::ProtocolText);
static_assert(sizeof(DecodedLine::EventText) == line_off::MediaType - line_off::EventText);

// Writes the record with its "DETL" tag.
void SerializeDecodedLine(const DecodedLine& line, uint8_t (&out)[kDecodedLineSize]);
// Reads a record written by SerializeDecodedLine; false when the tag is not "DETL".
bool ParseDecodedLine(const uint8_t (&in)[kDecodedLineSize], DecodedLine& line);

// The 4-character mark of a stored frame's direction code (no terminator).
const char* DirectionMarkText(uint32_t direction);
// The 16-character blank-padded text of an event code (no terminator).
const char* EventCodeText(uint32_t event);

// What the reply builder knows about a stored frame besides its bytes.
struct LineHeader {
  uint32_t adapter_number = 0;  // 1-based
  uint32_t sequence = 0;
  uint32_t length = 0;
  uint32_t time = 0;
  uint32_t direction = 0;
  uint32_t event = 0;
  uint32_t media_type = 0;
  const char* source_label = nullptr;  // up to 16 bytes used
  const char* proto_label = nullptr;   // up to 28 bytes used
  const char* role = nullptr;          // up to 8 bytes used
  const char* name = nullptr;          // up to 32 bytes used
};

// Clears the line and fills everything but the decoder's columns: numbers, time text, labels,
// direction mark, event text and media type; DestinationText and SummaryText get blanks and
// ProtocolText zeros, the filling the detail reply sends for columns the decoder leaves alone.
void PrepareDecodedLine(DecodedLine& line, const LineHeader& header);

}  // namespace netward::decoder
