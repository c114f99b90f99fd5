// Where the console's replies come from: a live agent (through the client library's connection)
// or a snapshot file read once. Both answer request texts with parsed replies, so the views are
// the same live and offline. A source is used by one thread at a time (the fetch worker).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "agent_client.h"
#include "reply_parser.h"
#include "snapshot_reader.h"

namespace netward::console {

enum class FetchStatus {
  kOk,
  kUnreachable,  // no connection, or the call failed
  kKeyRejected,  // result -2
  kMalformed,    // an unexpected result, or a reply block that does not take apart
  kMissing,      // a snapshot holds no answer to the request
};

struct Fetched {
  std::string request;
  FetchStatus status = FetchStatus::kOk;
  std::string message;  // for the user, when not kOk
  client::ParsedReply reply;
  std::vector<uint8_t> block;  // the raw reply block (a snapshot image is saved from it)
};

class ReplySource {
 public:
  virtual ~ReplySource() = default;
  virtual Fetched Fetch(const std::string& request) = 0;
  virtual bool live() const = 0;
  // Where the replies come from, for messages ("127.0.0.1 port 4000", "snapshot x.NWS").
  virtual std::string Where() const = 0;
};

class LiveSource : public ReplySource {
 public:
  LiveSource(client::Target target, std::string key) : target_(std::move(target)), key_(std::move(key)) {}
  Fetched Fetch(const std::string& request) override;
  bool live() const override { return true; }
  std::string Where() const override;
  void SetKey(std::string key) { key_ = std::move(key); }

 private:
  client::Target target_;
  std::string key_;
  client::AgentConnection conn_;
  bool open_ = false;
};

// A snapshot's request records answer the requests the views make: a record of the same name, or
// for STATS_PRO the day's TES record, for TOTAL the OPEN record, for HISTORY_LIST the day of its
// TET record.
class SnapshotSource : public ReplySource {
 public:
  SnapshotSource(std::string path, std::vector<client::SnapshotRecord> records)
      : path_(std::move(path)), records_(std::move(records)) {}
  Fetched Fetch(const std::string& request) override;
  bool live() const override { return false; }
  std::string Where() const override { return "snapshot " + path_; }

 private:
  std::string path_;
  std::vector<client::SnapshotRecord> records_;
};

// Reads and takes apart a snapshot file: null with `err` when it cannot be read or is malformed
// (`malformed` tells which).
std::unique_ptr<SnapshotSource> OpenSnapshot(const std::string& path, std::string& err, bool* malformed = nullptr);
// The file bytes of a snapshot image reply ("SNAPSHOT" without a name): the block after its
// header, checked to take apart as a snapshot. False with `err` otherwise.
bool SnapshotFileOf(const Fetched& image, std::vector<uint8_t>& file, std::string& err);

}  // namespace netward::console
