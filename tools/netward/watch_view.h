// The screen of `netward --watch`: the reply of one request, polled again and again, as a `top`-like
// view. A reply with a totals record shows the totals with their rates per second since the previous
// poll; its station records are listed busiest first (bytes per second, then bytes today). Any other
// reply is shown as it prints. The view only makes lines; the terminal is the caller's.
#pragma once

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "reply_parser.h"

namespace netward::client {

// A station of the screen: its record and its rates since the previous poll (negative: none yet).
struct WatchStation {
  StatRecord stat;
  double bytes_per_second = -1, frames_per_second = -1;
};

class WatchView {
 public:
  // Takes the reply of a poll made `elapsed` seconds after the previous one (0: the first poll).
  void Update(const ParsedReply& reply, double elapsed_seconds);

  // The screen's lines under `title`, at most `rows` of them (station rows are cut first).
  std::vector<std::string> Lines(const std::string& title, size_t rows) const;

 private:
  struct Counts {
    double bytes = 0, frames = 0;
  };
  using StationKey = std::tuple<uint32_t, std::string, std::string>;  // adapter, address, protocol

  ParsedReply reply_;
  bool have_totals_ = false, have_rates_ = false;
  TotRecord totals_, previous_totals_;
  double elapsed_ = 0;
  std::vector<WatchStation> stations_;  // busiest first
  std::map<StationKey, Counts> previous_stations_;
};

}  // namespace netward::client
