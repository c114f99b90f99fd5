// The views of the console window: what each refresh asks and how its replies are shown.
#include <cstdio>

#include "console_window.h"
#include "reply_format.h"
#include "taskbar/status_look.h"
#include "text_table.h"

namespace netward::console {

namespace {

constexpr char kIconPrefix[] = "/netward/console/icons/";
constexpr int kStateIconSize = 48;

GtkWidget* Labelled(GtkWidget* child, const char* name) {
  atk_object_set_name(gtk_widget_get_accessible(child), name);
  return child;
}

GtkWidget* TextPage(const char* name) {
  GtkWidget* text = gtk_text_view_new();
  gtk_text_view_set_editable(GTK_TEXT_VIEW(text), FALSE);
  gtk_text_view_set_monospace(GTK_TEXT_VIEW(text), TRUE);
  Labelled(text, name);
  GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_container_add(GTK_CONTAINER(scroll), text);
  return scroll;
}

void SetPageText(GtkWidget* page, const std::string& text) {
  GtkWidget* view = gtk_bin_get_child(GTK_BIN(page));
  GtkTextBuffer* b = gtk_text_view_get_buffer(GTK_TEXT_VIEW(view));
  gtk_text_buffer_set_text(b, text.c_str(), static_cast<gint>(text.size()));
}

std::string Rate(double v, const char* unit) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.1f %s per second", v, unit);
  return buf;
}

}  // namespace

void ConsoleWindow::BuildViews() {
  views_.push_back(MakeOverview());
  views_.push_back(MakeStations());
  views_.push_back(MakeFrames("Frames", "DETAILS 0"));
  views_.push_back(MakeFrames("Errors", "ERRORS 0"));
  views_.push_back(MakeBroadcasts());
  views_.push_back(MakeHistory());
  views_.push_back(MakeReport("Adapters", {"OID", "CFG "}));
  views_.push_back(MakeReport("Configuration", {"CMD CONFIG", "CMD SUBNET"}));
  for (View& v : views_) {
    gtk_container_set_border_width(GTK_CONTAINER(v.page), 4);
    gtk_notebook_append_page(GTK_NOTEBOOK(notebook_), v.page, gtk_label_new(v.name));
  }
  g_signal_connect(notebook_, "switch-page", G_CALLBACK(OnPageSwitched), this);
}

ConsoleWindow::View ConsoleWindow::MakeOverview() {
  state_image_ = Labelled(gtk_image_new(), "Traffic state picture");
  state_text_ = Labelled(gtk_label_new(""), "Traffic state");
  totals_text_ = Labelled(gtk_label_new(""), "Totals");
  gtk_label_set_xalign(GTK_LABEL(state_text_), 0);
  gtk_label_set_xalign(GTK_LABEL(totals_text_), 0);
  gtk_label_set_selectable(GTK_LABEL(totals_text_), TRUE);
  PangoAttrList* mono = pango_attr_list_new();
  pango_attr_list_insert(mono, pango_attr_family_new("monospace"));
  gtk_label_set_attributes(GTK_LABEL(totals_text_), mono);
  pango_attr_list_unref(mono);
  GtkWidget* head = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 10);
  gtk_box_pack_start(GTK_BOX(head), state_image_, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(head), state_text_, FALSE, FALSE, 0);
  GtkWidget* page = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
  gtk_box_pack_start(GTK_BOX(page), head, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(page), totals_text_, FALSE, FALSE, 0);
  View v{"Overview", page, RefreshClock(kFastRefreshSeconds), nullptr};
  v.job = [this] {
    return FetchJob({"TOTAL"}, [this](const std::vector<Fetched>& got) {
      if (Failed(got[0])) return;
      ShowTotals(got[0].reply, NowSeconds());
    });
  };
  return v;
}

// The state of the reply header with the tray's picture and text, the totals and the rates since
// the previous totals.
void ConsoleWindow::ShowTotals(const client::ParsedReply& reply, double at_seconds) {
  SetTitleFrom(reply);
  const uint32_t code = reply.header.status_code;
  char text[kStatusTextBytes];
  FormatStatusText(code, text);
  gtk_label_set_text(GTK_LABEL(state_text_), text);
  const char* picture = IconPictureName(LookOf(code).tray_icon);
  GdkPixbuf* pix = gdk_pixbuf_new_from_resource_at_scale((std::string(kIconPrefix) + picture + ".svg").c_str(),
                                                         kStateIconSize, kStateIconSize, TRUE, nullptr);
  gtk_image_set_from_pixbuf(GTK_IMAGE(state_image_), pix);
  if (pix != nullptr) g_object_unref(pix);
  const TotRecord* tot = TotalsOf(reply);
  if (tot == nullptr) return;
  Rates rates;
  if (have_totals_ && live_) rates = RatesBetween(last_totals_, *tot, at_seconds - last_totals_at_);
  using client::Num;
  std::string s;
  auto line = [&s](const char* k, const std::string& v) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "%-24s %20s\n", k, v.c_str());
    s += buf;
  };
  line("Host", client::Latin1ToUtf8(tot->host_name));
  line("Address", client::Latin1ToUtf8(tot->address_text));
  line("Reply of", reply.header.date + " " + reply.header.time);
  line("Frame sequence", Num(tot->frame_sequence));
  line("Frames (all)", std::to_string(AllFrames(*tot)));
  line("Bytes (all)", Num(static_cast<float>(AllBytes(*tot))));
  line("This PC: frames", Num(tot->own_frames));
  line("This PC: group frames", Num(tot->own_group_frames));
  line("This PC: event frames", Num(tot->own_event_frames));
  line("This PC: bytes", Num(tot->own_bytes));
  line("Others: frames", Num(tot->other_frames));
  line("Others: group frames", Num(tot->other_group_frames));
  line("Others: event frames", Num(tot->other_event_frames));
  line("Others: bytes", Num(tot->other_bytes));
  line("Day changes", Num(tot->day_changes));
  line("Seconds since other", Num(tot->seconds_since_other));
  line("Frames per second", rates.valid ? Rate(rates.frames_per_second, "frames") : "-");
  line("Bytes per second", rates.valid ? Rate(rates.bytes_per_second, "bytes") : "-");
  gtk_label_set_text(GTK_LABEL(totals_text_), s.c_str());
  last_totals_ = *tot;
  last_totals_at_ = at_seconds;
  have_totals_ = true;
}

ConsoleWindow::View ConsoleWindow::MakeStations() {
  station_table_ = std::make_unique<TableWidget>("Stations", StationColumns(), true);
  station_count_ = Labelled(gtk_label_new(""), "Station count");
  gtk_label_set_xalign(GTK_LABEL(station_count_), 0);
  GtkWidget* page = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  gtk_box_pack_start(GTK_BOX(page), station_count_, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(page), station_table_->widget(), TRUE, TRUE, 0);
  View v{"Stations", page, RefreshClock(kFastRefreshSeconds), nullptr};
  v.job = [this] {
    return FetchJob({stations_.NextRequest()}, [this](const std::vector<Fetched>& got) {
      if (Failed(got[0])) return;
      SetTitleFrom(got[0].reply);
      if (!live_) stations_.Replace(got[0].reply);  // the snapshot's day statistics, all at once
      else if (!stations_.Take(got[0].reply)) views_[1].clock.Force();  // a new day: from 0 again
      station_table_->SetRows(StationRows(stations_.stations()));
      gtk_label_set_text(GTK_LABEL(station_count_), (std::to_string(stations_.stations().size()) + " stations").c_str());
    });
  };
  return v;
}

ConsoleWindow::View ConsoleWindow::MakeFrames(const char* name, const char* request) {
  tables_.push_back(std::make_unique<TableWidget>(name, FrameColumns(), true));
  TableWidget* table = tables_.back().get();
  GtkWidget* count = Labelled(gtk_label_new(""), (std::string(name) + " count").c_str());
  gtk_label_set_xalign(GTK_LABEL(count), 0);
  GtkWidget* page = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  gtk_box_pack_start(GTK_BOX(page), count, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(page), table->widget(), TRUE, TRUE, 0);
  View v{name, page, RefreshClock(kFastRefreshSeconds), nullptr};
  v.job = [this, table, count, request] {
    return FetchJob({request}, [this, table, count](const std::vector<Fetched>& got) {
      if (Failed(got[0])) return;
      SetTitleFrom(got[0].reply);
      std::vector<Row> rows = FrameRows(got[0].reply);
      size_t events = 0;
      for (const Row& r : rows) events += r.marked;
      table->SetRows(std::move(rows));
      const std::string text = std::to_string(table->shown()) + " frames, newest first; " + std::to_string(events) +
                               " with an event (bold)";
      gtk_label_set_text(GTK_LABEL(count), text.c_str());
    });
  };
  return v;
}

ConsoleWindow::View ConsoleWindow::MakeBroadcasts() {
  broadcast_choice_ = Labelled(gtk_combo_box_text_new(), "Broadcast report");
  for (const char* r : {"BCASTERS LOW", "BCASTERS HIGH", "BCASTSENT LOW", "BCASTSENT HIGH"})
    gtk_combo_box_text_append(GTK_COMBO_BOX_TEXT(broadcast_choice_), r, r);
  gtk_combo_box_set_active(GTK_COMBO_BOX(broadcast_choice_), 0);
  g_signal_connect_swapped(broadcast_choice_, "changed", G_CALLBACK(+[](ConsoleWindow* w) { w->views_[4].clock.Force(); }),
                           this);
  broadcast_head_ = Labelled(gtk_label_new(""), "Broadcast window");
  tables_.push_back(std::make_unique<TableWidget>("Broadcasts", BroadcastColumns(), true));
  TableWidget* table = tables_.back().get();
  GtkWidget* head = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 10);
  gtk_box_pack_start(GTK_BOX(head), broadcast_choice_, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(head), broadcast_head_, FALSE, FALSE, 0);
  GtkWidget* page = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  gtk_box_pack_start(GTK_BOX(page), head, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(page), table->widget(), TRUE, TRUE, 0);
  View v{"Broadcasts", page, RefreshClock(kFastRefreshSeconds), nullptr};
  v.job = [this, table] {
    const char* id = gtk_combo_box_get_active_id(GTK_COMBO_BOX(broadcast_choice_));
    return FetchJob({id != nullptr ? id : "BCASTERS LOW"}, [this, table](const std::vector<Fetched>& got) {
      if (Failed(got[0])) return;
      gtk_label_set_text(GTK_LABEL(broadcast_head_), BroadcastHeaderText(got[0].reply).c_str());
      table->SetRows(BroadcastRows(got[0].reply));
    });
  };
  return v;
}

ConsoleWindow::View ConsoleWindow::MakeHistory() {
  history_ = std::make_unique<HistoryView>();
  history_->OnDayPicked([this] { views_[5].clock.Force(); });
  View v{"History", history_->widget(), RefreshClock(kReportRefreshSeconds), nullptr};
  v.job = [this] {
    std::weak_ptr<bool> alive = alive_;
    return [this, alive, day = history_->wanted_day(), traces = traces_](ReplySource& s) -> FetchWorker::Done {
      auto data = std::make_shared<HistoryData>(FetchHistory(s, day, *traces));
      return [this, alive, data] {
        if (auto a = alive.lock(); a && *a) history_->Show(std::move(*data));
      };
    };
  };
  return v;
}

ConsoleWindow::View ConsoleWindow::MakeReport(const char* name, std::vector<std::string> requests) {
  GtkWidget* page = TextPage(name);
  View v{name, page, RefreshClock(kReportRefreshSeconds), nullptr};
  v.job = [this, page, requests] {
    return FetchJob(requests, [this, page](const std::vector<Fetched>& got) {
      std::string text;
      for (const Fetched& f : got) {
        text += "=== " + f.request + "\n";
        text += f.status == FetchStatus::kOk ? ReportText(f.reply) : f.message + "\n";
        text += "\n";
        if (f.status != FetchStatus::kOk && f.status != FetchStatus::kMissing) Failed(f);
      }
      SetPageText(page, text);
    });
  };
  return v;
}

}  // namespace netward::console
