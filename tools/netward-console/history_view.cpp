#include "history_view.h"

#include <algorithm>

namespace netward::console {

const client::ParsedReply* TraceCache::Find(const std::string& day) const {
  auto it = days_.find(day);
  return it == days_.end() ? nullptr : &it->second;
}

void TraceCache::Keep(const std::string& day, const client::ParsedReply& reply) {
  // Only the month being looked at is kept.
  for (auto it = days_.begin(); it != days_.end();)
    it = it->first.compare(0, 6, day, 0, 6) != 0 ? days_.erase(it) : std::next(it);
  days_[day] = reply;
}

HistoryData FetchHistory(ReplySource& source, const std::string& want_day, TraceCache& cache) {
  HistoryData d;
  Fetched list = source.Fetch("HISTORY_LIST");
  if (list.status != FetchStatus::kOk) {
    d.error = list.message;
    return d;
  }
  d.days = HistoryDays(list.reply);
  if (d.days.empty()) {
    d.error = "The agent has no trace files yet.";
    return d;
  }
  d.day = std::find(d.days.begin(), d.days.end(), want_day) != d.days.end() ? want_day : d.days.back();
  const std::string newest = d.days.back();
  Fetched tet = source.Fetch("TET " + d.day);
  if (tet.status != FetchStatus::kOk) {
    d.error = tet.message;
    return d;
  }
  d.intervals = ChartIntervals(tet.reply);
  Fetched tes = source.Fetch("TES " + d.day);
  if (tes.status == FetchStatus::kOk) d.tes = std::move(tes.reply);
  std::vector<client::ParsedReply> month;
  for (const std::string& day : DaysOfMonth(d.days, d.day)) {
    if (day == d.day) {
      month.push_back(tet.reply);
      continue;
    }
    if (const client::ParsedReply* kept = cache.Find(day)) {
      month.push_back(*kept);
      continue;
    }
    Fetched other = source.Fetch("TET " + day);
    if (other.status != FetchStatus::kOk) continue;  // a day without its file counts as none
    if (day != newest) cache.Keep(day, other.reply);  // the newest day still grows
    month.push_back(std::move(other.reply));
  }
  d.average = MonthAverage(month);
  return d;
}

HistoryView::HistoryView() {
  days_ = gtk_list_box_new();
  atk_object_set_name(gtk_widget_get_accessible(days_), "Days");
  g_signal_connect(days_, "row-selected", G_CALLBACK(OnRowSelected), this);
  GtkWidget* days_scroll = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_container_add(GTK_CONTAINER(days_scroll), days_);
  gtk_widget_set_size_request(days_scroll, 130, -1);

  chart_ = gtk_drawing_area_new();
  gtk_widget_set_size_request(chart_, 600, 260);
  gtk_widget_set_hexpand(chart_, TRUE);
  g_signal_connect(chart_, "draw", G_CALLBACK(OnDraw), this);
  atk_object_set_name(gtk_widget_get_accessible(chart_), "Chart");
  caption_ = gtk_label_new("");
  atk_object_set_name(gtk_widget_get_accessible(caption_), "History caption");
  gtk_label_set_xalign(GTK_LABEL(caption_), 0);
  stations_ = std::make_unique<TableWidget>("Day stations", StationColumns(), true);

  GtkWidget* right = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  gtk_box_pack_start(GTK_BOX(right), caption_, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(right), chart_, FALSE, TRUE, 0);
  gtk_box_pack_start(GTK_BOX(right), stations_->widget(), TRUE, TRUE, 0);
  box_ = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
  gtk_box_pack_start(GTK_BOX(box_), days_scroll, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box_), right, TRUE, TRUE, 0);
}

void HistoryView::Show(HistoryData data) {
  data_ = std::move(data);
  filling_ = true;
  GList* old = gtk_container_get_children(GTK_CONTAINER(days_));
  bool same = g_list_length(old) == data_.days.size();
  for (GList* l = old; same && l != nullptr; l = l->next) {
    const char* text = gtk_label_get_text(GTK_LABEL(gtk_bin_get_child(GTK_BIN(l->data))));
    same = DayLabel(data_.days[g_list_position(old, l)]) == text;
  }
  if (!same) {
    for (GList* l = old; l != nullptr; l = l->next) gtk_widget_destroy(GTK_WIDGET(l->data));
    for (const std::string& day : data_.days) {
      GtkWidget* label = gtk_label_new(DayLabel(day).c_str());
      gtk_label_set_xalign(GTK_LABEL(label), 0);
      gtk_list_box_insert(GTK_LIST_BOX(days_), label, -1);
    }
    gtk_widget_show_all(days_);
  }
  g_list_free(old);
  auto at = std::find(data_.days.begin(), data_.days.end(), data_.day);
  if (at != data_.days.end())
    gtk_list_box_select_row(GTK_LIST_BOX(days_),
                            gtk_list_box_get_row_at_index(GTK_LIST_BOX(days_), static_cast<int>(at - data_.days.begin())));
  filling_ = false;

  std::string caption = data_.error.empty()
                            ? DayLabel(data_.day) + ": " + std::to_string(data_.intervals.size()) +
                                  " trace intervals; the line is the month's average per interval over " +
                                  std::to_string(data_.average.days) + (data_.average.days == 1 ? " day" : " days")
                            : data_.error;
  gtk_label_set_text(GTK_LABEL(caption_), caption.c_str());
  const std::string name = "Chart of " + DayLabel(data_.day) + ": " + std::to_string(data_.intervals.size()) + " intervals";
  atk_object_set_name(gtk_widget_get_accessible(chart_), name.c_str());
  StationBook book;
  book.Replace(data_.tes);
  stations_->SetRows(StationRows(book.stations()));
  gtk_widget_queue_draw(chart_);
}

void HistoryView::OnRowSelected(GtkListBox*, GtkListBoxRow* row, gpointer self) {
  auto* v = static_cast<HistoryView*>(self);
  if (v->filling_ || row == nullptr) return;
  const int i = gtk_list_box_row_get_index(row);
  if (i < 0 || static_cast<size_t>(i) >= v->data_.days.size() || v->data_.days[i] == v->data_.day) return;
  v->wanted_ = v->data_.days[i];
  if (v->day_picked_) v->day_picked_();
}

gboolean HistoryView::OnDraw(GtkWidget* w, cairo_t* cr, gpointer self) {
  static_cast<HistoryView*>(self)->Draw(cr, gtk_widget_get_allocated_width(w), gtk_widget_get_allocated_height(w));
  return FALSE;
}

namespace {

void Rgb(cairo_t* cr, unsigned rgb) { cairo_set_source_rgb(cr, (rgb >> 16) / 255.0, (rgb >> 8 & 255) / 255.0, (rgb & 255) / 255.0); }

void Text(cairo_t* cr, double x, double y, const std::string& s) {
  cairo_move_to(cr, x, y);
  cairo_show_text(cr, s.c_str());
}

}  // namespace

// Two panels, frames above and bytes below: own traffic stacked under the other stations', group
// and event frames as thin bars in front, the month's average as a line.
void HistoryView::Draw(cairo_t* cr, double width, double height) {
  Rgb(cr, 0xffffff);
  cairo_paint(cr);
  cairo_set_font_size(cr, 10);
  const double left = 60, right = 10, gap = 24;
  const double panel_h = (height - 20 - gap - 16) / 2;
  const std::array<ChartInterval, kIntervalsPerDay> bars = SumByInterval(data_.intervals);
  double max_frames = 0, max_bytes = 0;
  for (const ChartInterval& c : bars) {
    max_frames = std::max(max_frames, c.own_frames + c.other_frames);
    max_bytes = std::max(max_bytes, c.own_bytes + c.other_bytes);
  }
  for (size_t i = 0; i < kIntervalsPerDay; ++i) {
    max_frames = std::max(max_frames, data_.average.frames[i]);
    max_bytes = std::max(max_bytes, data_.average.bytes[i]);
  }
  Panel frames{left, 12, width - left - right, panel_h, NiceTop(max_frames)};
  Panel bytes{left, 12 + panel_h + gap, width - left - right, panel_h, NiceTop(max_bytes)};
  struct Series {
    Panel* panel;
    const char* name;
    const std::array<double, kIntervalsPerDay>* average;
  };
  for (Series s : {Series{&frames, "frames", &data_.average.frames}, Series{&bytes, "bytes", &data_.average.bytes}}) {
    const Panel& p = *s.panel;
    Rgb(cr, 0xf4f4f4);
    cairo_rectangle(cr, p.left, p.top, p.width, p.height);
    cairo_fill(cr);
    Rgb(cr, 0x404040);
    Text(cr, 4, p.top + 10, ScaleLabel(p.scale_top));
    Text(cr, 4, p.top + p.height, std::string("0 ") + s.name);
    for (uint32_t hour = 0; hour <= 24; hour += 3) {
      const double x = p.IntervalX(hour * 6);
      Rgb(cr, 0xd0d0d0);
      cairo_rectangle(cr, x, p.top, 1, p.height);
      cairo_fill(cr);
      Rgb(cr, 0x404040);
      if (hour < 24) Text(cr, x + 2, p.top + p.height + 11, IntervalLabel(hour * 6));
    }
    const bool is_frames = s.panel == &frames;
    for (const ChartInterval& c : bars) {
      const double x = p.IntervalX(c.interval), w = std::max(1.0, p.BarWidth() - 1);
      const double own = is_frames ? c.own_frames : c.own_bytes;
      const double all = own + (is_frames ? c.other_frames : c.other_bytes);
      Rgb(cr, 0x9db8d9);  // other stations
      cairo_rectangle(cr, x, p.ValueY(all), w, p.ValueY(own) - p.ValueY(all));
      cairo_fill(cr);
      Rgb(cr, 0x2f5f9f);  // this PC
      cairo_rectangle(cr, x, p.ValueY(own), w, p.ValueY(0) - p.ValueY(own));
      cairo_fill(cr);
      if (is_frames) {
        Rgb(cr, 0xe0a000);  // group frames
        cairo_rectangle(cr, x + w / 2, p.ValueY(c.group_frames), std::max(1.0, w / 4), p.ValueY(0) - p.ValueY(c.group_frames));
        cairo_fill(cr);
        Rgb(cr, 0xc00000);  // event frames
        cairo_rectangle(cr, x + 3 * w / 4, p.ValueY(c.event_frames), std::max(1.0, w / 4), p.ValueY(0) - p.ValueY(c.event_frames));
        cairo_fill(cr);
      }
    }
    if (data_.average.days > 0) {
      Rgb(cr, 0x208020);
      cairo_set_line_width(cr, 1.5);
      for (uint32_t i = 0; i < kIntervalsPerDay; ++i) {
        const double y = p.ValueY((*s.average)[i]);
        if (i == 0) cairo_move_to(cr, p.IntervalX(0), y);
        cairo_line_to(cr, p.IntervalX(i), y);
        cairo_line_to(cr, p.IntervalX(i + 1), y);
      }
      cairo_stroke(cr);
    }
  }
  // The legend.
  const struct {
    unsigned rgb;
    const char* text;
  } legend[] = {{0x2f5f9f, "this PC"}, {0x9db8d9, "other stations"}, {0xe0a000, "group frames"},
                {0xc00000, "event frames"}, {0x208020, "month's average"}};
  double x = left;
  for (const auto& l : legend) {
    Rgb(cr, l.rgb);
    cairo_rectangle(cr, x, height - 10, 10, 8);
    cairo_fill(cr);
    Rgb(cr, 0x202020);
    Text(cr, x + 14, height - 2, l.text);
    x += 24 + 6 * std::string(l.text).size();
  }
}

}  // namespace netward::console
