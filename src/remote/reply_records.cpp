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
  memcpy(out, "TASK", 4);
  memcpy(out + 4, "19990415", 8);
  char date[9];
  platform::DayName(platform::LocalDateOf(now), date);
  memcpy(out + 12, date, 8);
  PutClock(out + 20, now);
  PutU32Le(out + 28, status_code);
}

void BuildTotRecord(const GlobalArea& g, uint32_t now, uint8_t (&out)[kTotRecordSize]) {
  memset(out, 0, sizeof out);
  memcpy(out, "TOT ", 4);
  TotalsSnapshot t = g.Totals();
  PutU32Le(out + 4, t.FrameSequence);
  PutF32Le(out + 8, t.OwnBytes);
  PutU32Le(out + 12, t.OwnFrames);
  PutU32Le(out + 16, t.OwnGroupFrames);
  PutU32Le(out + 20, t.OwnEventFrames);
  PutF32Le(out + 24, t.OtherBytes);
  PutU32Le(out + 28, t.OtherFrames);
  PutU32Le(out + 32, t.OtherGroupFrames);
  PutU32Le(out + 36, t.OtherEventFrames);
  PutU32Le(out + 40, t.DayChanges);
  PutU32Le(out + 44, static_cast<uint32_t>(static_cast<int32_t>(now - t.LastOtherTime)));
  SharedCopyOut(out + 48, g.HostName.bytes, 32);
  SharedCopyOut(out + 80, g.AddressText.bytes, 20);
}

void BuildHistRecord(const char* file_name, uint8_t (&out)[kHistRecordSize]) {
  memset(out, 0, sizeof out);
  memcpy(out, "HIST", 4);
  CopyOver(out + 4, file_name, 8);
}

uint32_t IntervalOfDay(uint32_t time) {
  const platform::LocalClock c = platform::LocalClockOf(time);
  return static_cast<uint32_t>(c.hour * 6 + c.minute / 10);
}

void BuildTetRecord(uint32_t time, const uint8_t* gains32, uint8_t (&out)[kTetRecordSize]) {
  memcpy(out, "TET ", 4);
  PutU32Le(out + 4, IntervalOfDay(time));
  memcpy(out + 8, gains32, 32);
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
  memset(out, ' ', sizeof out);
  memcpy(out, "STAT", 4);
  PutU32Le(out + 4, adapter_number);
  CopyOver(out + 8, f.address, 16);
  CopyOver(out + 24, f.protocol, 28);
  CopyOver(out + 52, f.role, 8);
  CopyOver(out + 60, f.name, 32);
  PutClock(out + 92, f.last_seen);
  PutF32Le(out + 100, f.bytes_sent);
  PutU32Le(out + 104, f.frames_sent);
  PutU32Le(out + 108, f.group_sent);
  PutU32Le(out + 112, f.event_sent);
  PutF32Le(out + 116, f.bytes_received);
  PutU32Le(out + 120, f.frames_received);
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
  memcpy(body.data() + at, "TXT4", 4);
  if (text != nullptr) memcpy(body.data() + at + 4, text, strnlen(text, kTxt4TextBytes - 1));
}

}  // namespace netward
