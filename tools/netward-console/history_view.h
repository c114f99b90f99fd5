// The History view: the days with a trace, a chart of the chosen day's ten-minute intervals with
// the month's average per interval as a baseline, and the day's station statistics.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fetch_worker.h"
#include "history_chart.h"
#include "table_widget.h"

namespace netward::console {

// What one refresh of the view fetched.
struct HistoryData {
  std::vector<std::string> days;
  std::string day;  // the day shown
  std::vector<ChartInterval> intervals;
  Average average;
  client::ParsedReply tes;
  std::string error;
};

// Days other than today do not change: their TET replies are kept for the month's average.
// Used by the fetch worker only.
class TraceCache {
 public:
  const client::ParsedReply* Find(const std::string& day) const;
  void Keep(const std::string& day, const client::ParsedReply& reply);

 private:
  std::map<std::string, client::ParsedReply> days_;  // one month at most
};

// Runs on the fetch worker: the day list, the day's trace and statistics, the month's traces.
// `want_day` empty: the newest day.
HistoryData FetchHistory(ReplySource& source, const std::string& want_day, TraceCache& cache);

class HistoryView {
 public:
  HistoryView();
  GtkWidget* widget() const { return box_; }
  void Show(HistoryData data);
  // The day the user picked ("" for the newest).
  const std::string& wanted_day() const { return wanted_; }
  // Set when the user picks another day: the window refreshes at once.
  void OnDayPicked(std::function<void()> f) { day_picked_ = std::move(f); }

 private:
  static gboolean OnDraw(GtkWidget* w, cairo_t* cr, gpointer self);
  static void OnRowSelected(GtkListBox* list, GtkListBoxRow* row, gpointer self);
  void Draw(cairo_t* cr, double width, double height);

  GtkWidget* box_ = nullptr;
  GtkWidget* days_ = nullptr;
  GtkWidget* chart_ = nullptr;
  GtkWidget* caption_ = nullptr;
  std::unique_ptr<TableWidget> stations_;
  HistoryData data_;
  std::string wanted_;
  bool filling_ = false;  // the day list is being rebuilt: selections are not the user's
  std::function<void()> day_picked_;
};

}  // namespace netward::console
