#include "remote/reply_records.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "wire/byte_order.h"
#include "platform/clock.h"

namespace netward {

namespace {

// Copies `text` (up to its NUL or `max` bytes) over a field already filled with blanks or zeros.
void CopyOver(uint8_t* field, const char* text, size_t max) { memcpy(field, text, strnlen(text, max)); }

// "HH:MM:SS" without NUL into 8 bytes.
void PutClock(uint8_t* p, uint32_t t) {
  char text[9];
  platform::ClockText(t, text);
  memcpy(p, text, 8);
}

}  // namespace

void BuildReplyHeader(uint32_t now, uint32_t status_code, uint8_t (&out)[kReplyHeaderSize]) {
  namespace o = header_off;
  memcpy(out + o::Tag, "TASK", 4);
  memcpy(out + o::Version, "19990415", 8);
  char date[9];
  platform::DayName(platform::LocalDateOf(now), date);
  memcpy(out + o::Date, date, 8);
  PutClock(out + o::Time, now);
  PutU32Le(out + o::StatusCode, status_code);
}

void BuildTotRecord(const GlobalArea& g, uint32_t now, uint8_t (&out)[kTotRecordSize]) {
  memset(out, 0, sizeof out);
  namespace o = tot_off;
  namespace c = counts_off;
  memcpy(out + o::Tag, "TOT ", 4);
  TotalsSnapshot t = g.Totals();
  PutU32Le(out + o::FrameSequence, t.FrameSequence);
  PutF32Le(out + c::OwnBytes, t.OwnBytes);
  PutU32Le(out + c::OwnFrames, t.OwnFrames);
  PutU32Le(out + c::OwnGroupFrames, t.OwnGroupFrames);
  PutU32Le(out + c::OwnEventFrames, t.OwnEventFrames);
  PutF32Le(out + c::OtherBytes, t.OtherBytes);
  PutU32Le(out + c::OtherFrames, t.OtherFrames);
  PutU32Le(out + c::OtherGroupFrames, t.OtherGroupFrames);
  PutU32Le(out + c::OtherEventFrames, t.OtherEventFrames);
  PutU32Le(out + o::DayChanges, t.DayChanges);
  PutU32Le(out + o::SecondsSinceOther, static_cast<uint32_t>(static_cast<int32_t>(now - t.LastOtherTime)));
  SharedCopyOut(out + o::HostName, g.HostName.bytes, o::AddressText - o::HostName);
  SharedCopyOut(out + o::AddressText, g.AddressText.bytes, o::End - o::AddressText);
}

void BuildHistRecord(const char* file_name, uint8_t (&out)[kHistRecordSize]) {
  memset(out, 0, sizeof out);
  memcpy(out + hist_off::Tag, "HIST", 4);
  CopyOver(out + hist_off::Date, file_name, hist_off::End - hist_off::Date);
}

uint32_t IntervalOfDay(uint32_t time) {
  const platform::LocalClock c = platform::LocalClockOf(time);
  return static_cast<uint32_t>(c.hour * 6 + c.minute / 10);
}

void BuildTetRecord(uint32_t time, const uint8_t* gains32, uint8_t (&out)[kTetRecordSize]) {
  memcpy(out + tet_off::Tag, "TET ", 4);
  PutU32Le(out + tet_off::Interval, IntervalOfDay(time));
  memcpy(out + tet_off::Counts, gains32, tet_off::End - tet_off::Counts);
}

namespace {

struct StatFields {
  const char* address;
  const char* protocol;
  const char* role;
  const char* name;
  uint32_t last_seen;
  float bytes_sent;
  uint32_t frames_sent, group_sent, event_sent;
  float bytes_received;
  uint32_t frames_received;
};

void PutStat(const StatFields& f, uint32_t adapter_number, uint8_t (&out)[kStatRecordSize]) {
  namespace o = stat_off;
  memset(out, ' ', sizeof out);
  memcpy(out + o::Tag, "STAT", 4);
  PutU32Le(out + o::Adapter, adapter_number);
  CopyOver(out + o::AddressLabel, f.address, o::ProtocolLabel - o::AddressLabel);
  CopyOver(out + o::ProtocolLabel, f.protocol, o::Role - o::ProtocolLabel);
  CopyOver(out + o::Role, f.role, o::Name - o::Role);
  CopyOver(out + o::Name, f.name, o::LastSeen - o::Name);
  PutClock(out + o::LastSeen, f.last_seen);
  PutF32Le(out + o::BytesSent, f.bytes_sent);
  PutU32Le(out + o::FramesSent, f.frames_sent);
  PutU32Le(out + o::GroupFramesSent, f.group_sent);
  PutU32Le(out + o::EventFramesSent, f.event_sent);
  PutF32Le(out + o::BytesReceived, f.bytes_received);
  PutU32Le(out + o::FramesReceived, f.frames_received);
}

}  // namespace

void BuildStatRecord(const StationRecord& s, uint32_t adapter_number, uint8_t (&out)[kStatRecordSize]) {
  uint8_t stored[kStationRecordSize];
  SerializeStationRecord(s, stored);
  BuildStatRecordFromStored(stored, adapter_number, out);
}

void BuildStatRecordFromStored(const uint8_t* p, uint32_t adapter_number, uint8_t (&out)[kStatRecordSize]) {
  namespace o = station_off;
  // Stored texts may lack their NUL (file bytes); each copy is bounded by its field.
  char address[17] = {}, protocol[30] = {}, role[9] = {}, name[34] = {};
  memcpy(address, p + o::AddressLabel, 16);
  memcpy(protocol, p + o::ProtocolLabel, 29);
  memcpy(role, p + o::Role, 8);
  memcpy(name, p + o::Name, 33);
  StatFields f{address,
               protocol,
               role,
               name,
               GetU32Le(p + o::LastSeen),
               GetF32Le(p + o::BytesSent),
               GetU32Le(p + o::FramesSent),
               GetU32Le(p + o::GroupFramesSent),
               GetU32Le(p + o::EventFramesSent),
               GetF32Le(p + o::BytesReceived),
               GetU32Le(p + o::FramesReceived)};
  PutStat(f, adapter_number, out);
}

void AppendTxt4Record(Body& body, const char* text) {
  size_t at = body.size();
  body.resize(at + kTxt4RecordSize, 0);
  memcpy(body.data() + at + txt4_off::Tag, "TXT4", 4);
  if (text != nullptr) memcpy(body.data() + at + txt4_off::Text, text, strnlen(text, kTxt4TextBytes - 1));
}

}  // namespace netward
