#include "console_window.h"

#include <cstdio>

namespace netward::console {

namespace {

gboolean RunPosted(gpointer data) {
  (*static_cast<FetchWorker::Done*>(data))();
  return G_SOURCE_REMOVE;
}
void FreePosted(gpointer data) { delete static_cast<FetchWorker::Done*>(data); }

// The worker's completions run on the GTK main loop.
void PostToMainLoop(FetchWorker::Done done) {
  g_idle_add_full(G_PRIORITY_DEFAULT, RunPosted, new FetchWorker::Done(std::move(done)), FreePosted);
}

// A chooser dialog; `then` gets the file picked, if one is. Not modal in the nested-loop sense: the
// window keeps refreshing (and answering the accessibility bus) meanwhile.
void ChooseFile(GtkWindow* parent, const char* title, GtkFileChooserAction action, const char* accept,
                const char* suggested, std::function<void(const std::string&)> then) {
  GtkWidget* chooser = gtk_file_chooser_dialog_new(title, parent, action, "_Cancel", GTK_RESPONSE_CANCEL, accept,
                                                   GTK_RESPONSE_ACCEPT, nullptr);
  gtk_window_set_modal(GTK_WINDOW(chooser), TRUE);
  if (action == GTK_FILE_CHOOSER_ACTION_SAVE) {
    gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(chooser), TRUE);
    gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), suggested);
  } else {
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_set_name(filter, "Snapshots (*.NWS)");
    gtk_file_filter_add_pattern(filter, "*.NWS");
    gtk_file_filter_add_pattern(filter, "*.nws");
    gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(chooser), filter);
  }
  using Then = std::function<void(const std::string&)>;
  g_object_set_data_full(G_OBJECT(chooser), "netward-then", new Then(std::move(then)),
                         +[](gpointer p) { delete static_cast<Then*>(p); });
  g_signal_connect(chooser, "response", G_CALLBACK(+[](GtkDialog* d, gint response, gpointer) {
                     std::string path;
                     if (response == GTK_RESPONSE_ACCEPT) {
                       char* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d));
                       if (name != nullptr) path = name;
                       g_free(name);
                     }
                     Then then = *static_cast<Then*>(g_object_get_data(G_OBJECT(d), "netward-then"));
                     gtk_widget_destroy(GTK_WIDGET(d));
                     if (!path.empty()) then(path);
                   }),
                   nullptr);
  gtk_widget_show_all(chooser);
}

GtkWidget* ToolButton(const char* label, GCallback clicked, gpointer self) {
  GtkWidget* b = gtk_button_new_with_label(label);
  g_signal_connect_swapped(b, "clicked", clicked, self);
  return b;
}

}  // namespace

double NowSeconds() { return static_cast<double>(g_get_monotonic_time()) / 1e6; }

ConsoleWindow::ConsoleWindow(std::unique_ptr<ReplySource> source, bool ask_key)
    : alive_(std::make_shared<bool>(true)), traces_(std::make_shared<TraceCache>()) {
  live_ = source->live();
  worker_ = std::make_unique<FetchWorker>(std::move(source), PostToMainLoop);
  BuildWindow();
  BuildViews();
  gtk_widget_show_all(window_);
  if (ask_key) AskKey("Key for the agent at " + worker_->Where() + ":");
  else Connect();
}

ConsoleWindow::~ConsoleWindow() {
  *alive_ = false;
  if (tick_ != 0) g_source_remove(tick_);
  worker_.reset();  // before the views its jobs refer to
}

void ConsoleWindow::BuildWindow() {
  window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window_), live_ ? "netward-console: connecting" : "netward-console: snapshot");
  gtk_window_set_default_size(GTK_WINDOW(window_), 1000, 700);
  gtk_window_set_icon_name(GTK_WINDOW(window_), "netward-console");
  g_signal_connect_swapped(window_, "delete-event", G_CALLBACK(+[](ConsoleWindow* w) -> gboolean {
                             if (w->on_closed_) w->on_closed_();
                             return FALSE;
                           }),
                           this);
  GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  gtk_box_pack_start(GTK_BOX(bar), ToolButton("Open snapshot...", G_CALLBACK(+[](ConsoleWindow* w) { w->OpenSnapshotFile(); }), this),
                     FALSE, FALSE, 0);
  GtkWidget* save = ToolButton("Save snapshot...", G_CALLBACK(+[](ConsoleWindow* w) { w->SaveSnapshotFile(); }), this);
  gtk_widget_set_sensitive(save, live_);
  gtk_box_pack_start(GTK_BOX(bar), save, FALSE, FALSE, 0);
  status_ = gtk_label_new("");
  gtk_label_set_xalign(GTK_LABEL(status_), 0);
  gtk_label_set_ellipsize(GTK_LABEL(status_), PANGO_ELLIPSIZE_END);
  atk_object_set_name(gtk_widget_get_accessible(status_), "Status");
  gtk_box_pack_start(GTK_BOX(bar), status_, TRUE, TRUE, 6);
  notebook_ = gtk_notebook_new();
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  gtk_container_set_border_width(GTK_CONTAINER(box), 6);
  gtk_box_pack_start(GTK_BOX(box), bar, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), notebook_, TRUE, TRUE, 0);
  gtk_container_add(GTK_CONTAINER(window_), box);
}

FetchWorker::Job ConsoleWindow::FetchJob(std::vector<std::string> requests,
                                         std::function<void(const std::vector<Fetched>&)> apply) {
  std::weak_ptr<bool> alive = alive_;
  return [requests = std::move(requests), apply = std::move(apply), alive](ReplySource& source) -> FetchWorker::Done {
    auto got = std::make_shared<std::vector<Fetched>>();
    for (const std::string& r : requests) {
      got->push_back(source.Fetch(r));
      if (got->back().status != FetchStatus::kOk && got->back().status != FetchStatus::kMissing) break;
    }
    return [got, apply, alive] {
      if (auto a = alive.lock(); a && *a) apply(*got);
    };
  };
}

// Retries until the worker takes the job (it may be finishing a refresh).
void SubmitSoon(FetchWorker& worker, FetchWorker::Job job, std::weak_ptr<bool> alive) {
  if (worker.Submit(job)) return;
  auto* retry = new std::function<bool()>([&worker, job, alive] {
    auto a = alive.lock();
    return !a || !*a || worker.Submit(job);
  });
  g_timeout_add_full(G_PRIORITY_DEFAULT, 100, +[](gpointer d) -> gboolean {
    return (*static_cast<std::function<bool()>*>(d))() ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
  }, retry, +[](gpointer d) { delete static_cast<std::function<bool()>*>(d); });
}

void ConsoleWindow::Connect() {
  SetStatus(live_ ? "Connecting to " + worker_->Where() + " ..." : "Reading " + worker_->Where());
  SubmitSoon(*worker_, FetchJob({"TOTAL"}, [this](const std::vector<Fetched>& got) { OnConnected(got[0]); }), alive_);
}

void ConsoleWindow::OnConnected(const Fetched& f) {
  switch (f.status) {
    case FetchStatus::kOk:
    case FetchStatus::kMissing: break;
    case FetchStatus::kKeyRejected: AskKey(f.message + "\nKey:"); return;
    case FetchStatus::kUnreachable: GiveUp("The agent is unreachable: " + f.message, 2); return;
    case FetchStatus::kMalformed: GiveUp(f.message, 4); return;
  }
  connected_ = true;
  SetTitleFrom(f.reply);
  ShowTotals(f.reply, NowSeconds());
  SetStatus(live_ ? "Connected to " + worker_->Where() : "Showing " + worker_->Where());
  for (View& v : views_) v.clock.Force();
  if (tick_ == 0) tick_ = g_timeout_add(250, OnTick, this);
}

void ConsoleWindow::AskKey(const std::string& why) {
  connected_ = false;
  GtkWidget* dialog = gtk_dialog_new_with_buttons("NETWARD key", GTK_WINDOW(window_), GTK_DIALOG_MODAL, "_Cancel",
                                                  GTK_RESPONSE_CANCEL, "_OK", GTK_RESPONSE_OK, nullptr);
  gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
  GtkWidget* area = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
  gtk_container_set_border_width(GTK_CONTAINER(area), 10);
  GtkWidget* label = gtk_label_new(why.c_str());
  gtk_label_set_xalign(GTK_LABEL(label), 0);
  GtkWidget* entry = gtk_entry_new();
  gtk_entry_set_visibility(GTK_ENTRY(entry), FALSE);
  gtk_entry_set_max_length(GTK_ENTRY(entry), static_cast<gint>(client::kKeyBytes));
  gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);
  atk_object_set_name(gtk_widget_get_accessible(entry), "Key");
  gtk_box_pack_start(GTK_BOX(area), label, FALSE, FALSE, 4);
  gtk_box_pack_start(GTK_BOX(area), entry, FALSE, FALSE, 4);
  gtk_widget_show_all(dialog);
  g_object_set_data(G_OBJECT(dialog), "netward-entry", entry);
  g_signal_connect(dialog, "response", G_CALLBACK(+[](GtkDialog* d, gint response, gpointer self) {
                     auto* w = static_cast<ConsoleWindow*>(self);
                     GtkWidget* e = GTK_WIDGET(g_object_get_data(G_OBJECT(d), "netward-entry"));
                     std::string key = gtk_entry_get_text(GTK_ENTRY(e));
                     gtk_widget_destroy(GTK_WIDGET(d));
                     if (response != GTK_RESPONSE_OK) {
                       w->exit_status_ = 3;
                       if (w->on_closed_) w->on_closed_();
                       return;
                     }
                     // The key is set on the worker, between two fetches.
                     SubmitSoon(*w->worker_, [key](ReplySource& s) -> FetchWorker::Done {
                       if (auto* live = dynamic_cast<LiveSource*>(&s)) live->SetKey(key);
                       return nullptr;
                     }, w->alive_);
                     w->Connect();
                   }),
                   this);
}

bool ConsoleWindow::Failed(const Fetched& f) {
  switch (f.status) {
    case FetchStatus::kOk: return false;
    case FetchStatus::kKeyRejected:
      if (connected_) AskKey(f.message + "\nKey:");
      return true;
    case FetchStatus::kUnreachable: SetStatus("The agent is unreachable (trying again): " + f.message); return true;
    case FetchStatus::kMalformed:
    case FetchStatus::kMissing: SetStatus(f.message); return true;
  }
  return true;
}

void ConsoleWindow::Tick() {
  if (!connected_) return;
  const int page = gtk_notebook_get_current_page(GTK_NOTEBOOK(notebook_));
  if (page < 0 || static_cast<size_t>(page) >= views_.size()) return;
  View& v = views_[page];
  const double now = NowSeconds();
  if (!v.job || !v.clock.Due(now, true)) return;
  if (worker_->busy()) return;
  FetchWorker::Job job = v.job();
  const size_t index = static_cast<size_t>(page);
  std::weak_ptr<bool> alive = alive_;
  // The view's clock restarts when its completion has run.
  FetchWorker::Job timed = [job, this, index, alive](ReplySource& s) -> FetchWorker::Done {
    FetchWorker::Done done = job(s);
    return [done, this, index, alive] {
      if (auto a = alive.lock(); !a || !*a) return;
      if (done) done();
      // A snapshot does not change: each of its views is read once.
      views_[index].clock.Finished(live_ ? NowSeconds() : 1e300);
    };
  };
  if (worker_->Submit(std::move(timed))) v.clock.Started();
}

gboolean ConsoleWindow::OnTick(gpointer self) {
  static_cast<ConsoleWindow*>(self)->Tick();
  return G_SOURCE_CONTINUE;
}

void ConsoleWindow::OnPageSwitched(GtkNotebook*, GtkWidget*, guint page, gpointer self) {
  auto* w = static_cast<ConsoleWindow*>(self);
  if (page < w->views_.size() && w->live_) w->views_[page].clock.Force();
}

void ConsoleWindow::SetTitleFrom(const client::ParsedReply& reply) {
  const TotRecord* tot = TotalsOf(reply);
  if (tot == nullptr) return;
  std::string title = WindowTitle(*tot);
  if (!live_) title += "  (" + worker_->Where() + ")";
  if (title != gtk_window_get_title(GTK_WINDOW(window_))) gtk_window_set_title(GTK_WINDOW(window_), title.c_str());
}

void ConsoleWindow::SetStatus(const std::string& text) { gtk_label_set_text(GTK_LABEL(status_), text.c_str()); }

void ConsoleWindow::GiveUp(const std::string& message, int status) {
  exit_status_ = status;
  std::fprintf(stderr, "netward-console: %s\n", message.c_str());
  GtkWidget* box = gtk_message_dialog_new(GTK_WINDOW(window_), GTK_DIALOG_MODAL, GTK_MESSAGE_ERROR, GTK_BUTTONS_CLOSE,
                                          "%s", message.c_str());
  gtk_window_set_title(GTK_WINDOW(box), "netward-console");
  g_signal_connect(box, "response", G_CALLBACK(+[](GtkDialog* d, gint, gpointer self) {
                     gtk_widget_destroy(GTK_WIDGET(d));
                     auto* w = static_cast<ConsoleWindow*>(self);
                     if (w->on_closed_) w->on_closed_();
                   }),
                   this);
  gtk_widget_show_all(box);
}

void ConsoleWindow::OpenSnapshotFile() {
  std::weak_ptr<bool> alive = alive_;
  ChooseFile(GTK_WINDOW(window_), "Open snapshot", GTK_FILE_CHOOSER_ACTION_OPEN, "_Open", nullptr,
             [this, alive](const std::string& path) {
               if (auto a = alive.lock(); !a || !*a) return;
               std::string err;
               std::unique_ptr<SnapshotSource> snapshot = OpenSnapshot(path, err);
               if (!snapshot) {
                 SetStatus(err);
                 return;
               }
               // A window of its own, alongside this one; it goes when it is closed.
               auto* other = new ConsoleWindow(std::move(snapshot), false);
               other->OnClosed([other] {
                 g_idle_add(+[](gpointer w) -> gboolean {
                   delete static_cast<ConsoleWindow*>(w);
                   return G_SOURCE_REMOVE;
                 }, other);
               });
             });
}

void ConsoleWindow::SaveSnapshotFile() {
  std::weak_ptr<bool> alive = alive_;
  ChooseFile(GTK_WINDOW(window_), "Save snapshot", GTK_FILE_CHOOSER_ACTION_SAVE, "_Save", "snapshot.NWS",
             [this, alive](const std::string& path) {
               if (auto a = alive.lock(); a && *a) SaveSnapshotTo(path);
             });
}

void ConsoleWindow::SaveSnapshotTo(const std::string& path) {
  SetStatus("Fetching the agent's snapshot ...");
  std::weak_ptr<bool> alive = alive_;
  SubmitSoon(*worker_, [this, path, alive](ReplySource& s) -> FetchWorker::Done {
    std::vector<uint8_t> file;
    std::string message;
    if (SnapshotFileOf(s.Fetch("SNAPSHOT"), file, message)) {
      FILE* f = std::fopen(path.c_str(), "wb");
      bool ok = f != nullptr && std::fwrite(file.data(), 1, file.size(), f) == file.size();
      if (f != nullptr) ok = std::fclose(f) == 0 && ok;
      message = ok ? "Snapshot saved to " + path + " (" + std::to_string(file.size()) + " bytes)" : "Cannot write " + path;
    }
    return [this, message, alive] {
      if (auto a = alive.lock(); a && *a) SetStatus(message);
    };
  }, alive_);
}

}  // namespace netward::console
