// The console's main window: one agent (or one snapshot) in views on a notebook, each refreshed on
// the fetch worker while it is shown. The window's title is "NETWARD - HOST  ADDRESS" once the
// agent has answered, which is how the tray's "Advanced" finds it.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console_model.h"
#include "fetch_worker.h"
#include "history_view.h"
#include "table_widget.h"

namespace netward::console {

// Seconds between refreshes of a shown view.
inline constexpr double kFastRefreshSeconds = 3;
inline constexpr double kReportRefreshSeconds = 15;

class ConsoleWindow {
 public:
  // `ask_key`: a live agent with no key given; the window asks for one before it connects.
  ConsoleWindow(std::unique_ptr<ReplySource> source, bool ask_key);
  ~ConsoleWindow();
  ConsoleWindow(const ConsoleWindow&) = delete;
  ConsoleWindow& operator=(const ConsoleWindow&) = delete;

  // Exit status once the window is gone: as netward's (0, 2 unreachable, 3 key refused, 4 malformed).
  int exit_status() const { return exit_status_; }
  // Called when the window is closed or given up.
  void OnClosed(std::function<void()> f) { on_closed_ = std::move(f); }

 private:
  struct View {
    const char* name;
    GtkWidget* page;
    RefreshClock clock;
    std::function<FetchWorker::Job()> job;  // makes the refresh's job; null: nothing to fetch
  };
  using Apply = std::function<void(const Fetched&)>;

  // console_window.cpp: connection, key, refresh, snapshots.
  void BuildWindow();
  void Connect();
  void OnConnected(const Fetched& f);
  void AskKey(const std::string& why);
  bool Failed(const Fetched& f);  // true when `f` is not kOk (handled)
  void Tick();
  void SetTitleFrom(const client::ParsedReply& reply);
  void SetStatus(const std::string& text);
  void GiveUp(const std::string& message, int status);
  void OpenSnapshotFile();
  void SaveSnapshotFile();
  void SaveSnapshotTo(const std::string& path);
  FetchWorker::Job FetchJob(std::vector<std::string> requests, std::function<void(const std::vector<Fetched>&)> apply);
  static gboolean OnTick(gpointer self);
  static void OnPageSwitched(GtkNotebook*, GtkWidget*, guint page, gpointer self);

  // console_views.cpp: the views.
  void BuildViews();
  View MakeOverview();
  View MakeStations();
  View MakeFrames(const char* name, const char* request);
  View MakeBroadcasts();
  View MakeHistory();
  View MakeReport(const char* name, std::vector<std::string> requests);
  void ShowTotals(const client::ParsedReply& reply, double at_seconds);

  std::unique_ptr<FetchWorker> worker_;
  std::shared_ptr<bool> alive_;
  bool live_ = false;
  bool connected_ = false;
  int exit_status_ = 0;
  std::function<void()> on_closed_;
  GtkWidget* window_ = nullptr;
  GtkWidget* notebook_ = nullptr;
  GtkWidget* status_ = nullptr;
  std::vector<View> views_;
  guint tick_ = 0;

  // Overview.
  GtkWidget* state_image_ = nullptr;
  GtkWidget* state_text_ = nullptr;
  GtkWidget* totals_text_ = nullptr;
  bool have_totals_ = false;
  TotRecord last_totals_;
  double last_totals_at_ = 0;
  // Stations.
  StationBook stations_;
  std::unique_ptr<TableWidget> station_table_;
  GtkWidget* station_count_ = nullptr;
  // Frames, Errors, Broadcasts.
  std::vector<std::unique_ptr<TableWidget>> tables_;
  GtkWidget* broadcast_choice_ = nullptr;
  GtkWidget* broadcast_head_ = nullptr;
  // History.
  std::unique_ptr<HistoryView> history_;
  std::shared_ptr<TraceCache> traces_;
};

// Seconds on a monotonic clock.
double NowSeconds();

}  // namespace netward::console
