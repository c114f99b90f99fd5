#include "reply_source.h"

namespace netward::console {

using client::ParsedReply;
using client::Record;
using client::SnapshotRecord;
using client::Tag;

Fetched LiveSource::Fetch(const std::string& request) {
  Fetched f;
  f.request = request;
  std::string err;
  if (!open_) {
    open_ = conn_.Open(target_, err);
    if (!open_) {
      f.status = FetchStatus::kUnreachable;
      f.message = err;
      return f;
    }
  }
  client::RequestReply reply;
  if (!conn_.Request(key_, request, reply, err)) {
    open_ = false;  // the association is gone or out of step: the next fetch binds anew
    f.status = FetchStatus::kUnreachable;
    f.message = err;
    return f;
  }
  if (reply.result == client::kResultKeyRejected) {
    f.status = FetchStatus::kKeyRejected;
    f.message = "The agent at " + conn_.Where() + " refused the key (result -2).";
    return f;
  }
  if (reply.result != 0) {
    f.status = FetchStatus::kMalformed;
    f.message = "Request '" + request + "': unexpected result " + std::to_string(static_cast<int32_t>(reply.result));
    return f;
  }
  client::ParseError perr;
  if (!client::ParseReplyBlock(reply.block, f.reply, perr)) {
    f.status = FetchStatus::kMalformed;
    f.message = "Request '" + request + "': malformed reply: " + perr.Message();
    return f;
  }
  f.block = std::move(reply.block);
  return f;
}

std::string LiveSource::Where() const {
  switch (target_.kind) {
    case client::Target::Kind::kLocal: return "local endpoint " + target_.local_path;
    case client::Target::Kind::kTcp: return target_.host + " port " + std::to_string(target_.port);
    case client::Target::Kind::kEpm: break;
  }
  return target_.host + " (endpoint mapper port " + std::to_string(target_.epm_port) + ")";
}

namespace {

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

const SnapshotRecord* FirstNamed(const std::vector<SnapshotRecord>& records, const char* prefix) {
  for (const SnapshotRecord& r : records)
    if (!r.is_dump && StartsWith(r.name, prefix)) return &r;
  return nullptr;
}

}  // namespace

Fetched SnapshotSource::Fetch(const std::string& request) {
  Fetched f;
  f.request = request;
  const SnapshotRecord* found = nullptr;
  for (const SnapshotRecord& r : records_)
    if (!r.is_dump && r.name == request) found = &r;
  if (found == nullptr) {
    if (StartsWith(request, "STATS_PRO")) found = FirstNamed(records_, "TES ");
    else if (StartsWith(request, "TOTAL")) found = FirstNamed(records_, "OPEN");
    else if (StartsWith(request, "DETAILS")) found = FirstNamed(records_, "DETAILS");
    else if (StartsWith(request, "ERRORS")) found = FirstNamed(records_, "ERRORS");
  }
  if (found == nullptr && StartsWith(request, "HISTORY_LIST")) {
    // The days the snapshot has a trace of, as the agent would list them.
    for (const SnapshotRecord& r : records_) {
      if (r.is_dump || !StartsWith(r.name, "TET ")) continue;
      Record day;
      day.tag = Tag::kHist;
      day.text = r.name.substr(4);
      f.reply.header = r.reply.header;
      f.reply.records.push_back(day);
    }
    return f;
  }
  if (found == nullptr) {
    f.status = FetchStatus::kMissing;
    f.message = "The snapshot holds no reply to '" + request + "'.";
    return f;
  }
  f.reply = found->reply;
  return f;
}

std::unique_ptr<SnapshotSource> OpenSnapshot(const std::string& path, std::string& err, bool* malformed) {
  if (malformed != nullptr) *malformed = false;
  std::vector<uint8_t> bytes;
  if (!client::ReadFileBytes(path, bytes, err)) return nullptr;
  std::vector<SnapshotRecord> records;
  client::ParseError perr;
  if (!client::ReadSnapshot(bytes, records, perr)) {
    err = path + " is not a snapshot file: " + perr.Message();
    if (malformed != nullptr) *malformed = true;
    return nullptr;
  }
  return std::make_unique<SnapshotSource>(path, std::move(records));
}

bool SnapshotFileOf(const Fetched& image, std::vector<uint8_t>& file, std::string& err) {
  if (image.status != FetchStatus::kOk) {
    err = image.message;
    return false;
  }
  if (image.block.size() <= client::kHeaderBytes) {
    err = "The agent's snapshot reply holds no image.";
    return false;
  }
  const std::span<const uint8_t> body(image.block.data() + client::kHeaderBytes,
                                      image.block.size() - client::kHeaderBytes);
  std::vector<SnapshotRecord> records;
  client::ParseError perr;
  if (!client::ReadSnapshot(body, records, perr)) {
    err = "The agent's snapshot image is malformed: " + perr.Message();
    return false;
  }
  file.assign(body.begin(), body.end());
  return true;
}

}  // namespace netward::console
