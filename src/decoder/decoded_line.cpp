#include "decoder/decoded_line.h"

#include "platform/clock.h"
#include "wire/byte_order.h"

#include <cstring>
#include <ctime>

namespace netward::decoder {
namespace {

// Copies a text of at most n bytes into a field of n bytes, zeros after it.
void CopyField(char* field, size_t n, const char* text) {
  memset(field, 0, n);
  if (!text) return;
  for (size_t i = 0; i < n && text[i]; ++i) field[i] = text[i];
}

constexpr const char* kDirectionMarks[] = {"<<  ", "<-  ", "<=  ", "  >>", "  ->", "  =>"};

constexpr const char* kEventTexts[] = {
    "                ", "TCP Re-transmit ", "DNS Re-transmit ", "ARP Re-transmit ",
    "TCP RESET       ", "ICMP ERROR      ", "LLC ERROR       ",
};
constexpr const char* kUnknownEventText = "?               ";

}  // namespace

void SerializeDecodedLine(const DecodedLine& l, uint8_t (&out)[kDecodedLineSize]) {
  memset(out, 0, sizeof out);
  memcpy(out + line_off::Tag, kDetailTag, 4);
  PutU32Le(out + line_off::AdapterNumber, l.AdapterNumber);
  PutU32Le(out + line_off::Sequence, l.Sequence);
  PutU32Le(out + line_off::Length, l.Length);
  memcpy(out + line_off::TimeText, l.TimeText, sizeof l.TimeText);
  memcpy(out + line_off::SourceText, l.SourceText, sizeof l.SourceText);
  memcpy(out + line_off::PeerText, l.PeerText, sizeof l.PeerText);
  memcpy(out + line_off::RoleText, l.RoleText, sizeof l.RoleText);
  memcpy(out + line_off::NameText, l.NameText, sizeof l.NameText);
  memcpy(out + line_off::DirectionMark, l.DirectionMark, sizeof l.DirectionMark);
  memcpy(out + line_off::DestinationText, l.DestinationText, sizeof l.DestinationText);
  memcpy(out + line_off::SummaryText, l.SummaryText, sizeof l.SummaryText);
  memcpy(out + line_off::ProtocolText, l.ProtocolText, sizeof l.ProtocolText);
  memcpy(out + line_off::EventText, l.EventText, sizeof l.EventText);
  PutU32Le(out + line_off::MediaType, l.MediaType);
}

bool ParseDecodedLine(const uint8_t (&in)[kDecodedLineSize], DecodedLine& l) {
  if (memcmp(in + line_off::Tag, kDetailTag, 4) != 0) return false;
  l.AdapterNumber = GetU32Le(in + line_off::AdapterNumber);
  l.Sequence = GetU32Le(in + line_off::Sequence);
  l.Length = GetU32Le(in + line_off::Length);
  memcpy(l.TimeText, in + line_off::TimeText, sizeof l.TimeText);
  memcpy(l.SourceText, in + line_off::SourceText, sizeof l.SourceText);
  memcpy(l.PeerText, in + line_off::PeerText, sizeof l.PeerText);
  memcpy(l.RoleText, in + line_off::RoleText, sizeof l.RoleText);
  memcpy(l.NameText, in + line_off::NameText, sizeof l.NameText);
  memcpy(l.DirectionMark, in + line_off::DirectionMark, sizeof l.DirectionMark);
  memcpy(l.DestinationText, in + line_off::DestinationText, sizeof l.DestinationText);
  memcpy(l.SummaryText, in + line_off::SummaryText, sizeof l.SummaryText);
  memcpy(l.ProtocolText, in + line_off::ProtocolText, sizeof l.ProtocolText);
  memcpy(l.EventText, in + line_off::EventText, sizeof l.EventText);
  l.MediaType = GetU32Le(in + line_off::MediaType);
  return true;
}

const char* DirectionMarkText(uint32_t direction) {
  return direction < 6 ? kDirectionMarks[direction] : kDirectionMarks[0];
}

const char* EventCodeText(uint32_t event) {
  return event < 7 ? kEventTexts[event] : kUnknownEventText;
}

void PrepareDecodedLine(DecodedLine& l, const LineHeader& h) {
  l = DecodedLine{};
  l.AdapterNumber = h.adapter_number;
  l.Sequence = h.sequence;
  l.Length = h.length;
  platform::ClockText(h.time, l.TimeText);
  CopyField(l.SourceText, sizeof l.SourceText, h.source_label);
  CopyField(l.PeerText, sizeof l.PeerText, h.proto_label);
  CopyField(l.RoleText, sizeof l.RoleText, h.role);
  CopyField(l.NameText, sizeof l.NameText, h.name);
  memcpy(l.DirectionMark, DirectionMarkText(h.direction), 4);
  memset(l.DestinationText, ' ', sizeof l.DestinationText);
  memset(l.SummaryText, ' ', sizeof l.SummaryText);
  memcpy(l.EventText, EventCodeText(h.event), 16);
  l.MediaType = h.media_type;
}

}  // namespace netward::decoder
