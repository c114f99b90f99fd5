// The QuickLook window: what quicklook_model.h computes, in widgets laid out by ui/quicklook.ui.
#include <cstring>
#include <memory>
#include <string>

#include "taskbar/gtk/gtk_internal.h"

namespace netward::gtkui {

namespace {

constexpr int kListIconPixels = 16;
constexpr int kStatusIconPixels = 32;
constexpr char kSnapshotDialogTitle[] = "NETWARD Snapshot Save As";
constexpr char kSnapshotFilterName[] = "NETWARD Snapshot Files (*.nws)";
constexpr char kSnapshotPattern[] = "*.NWS";
constexpr char kSnapshotExtension[] = ".NWS";

// Model columns: the row's icon, its text, then Percent, Total Packets, Packets/Sec.
enum { kColIcon = 0, kColText = 1, kColFirstNumber = 2 };

std::string Valid(const char* text) {
  gchar* v = g_utf8_make_valid(text, -1);
  std::string s = v;
  g_free(v);
  return s;
}

class QuickLookWindow : public AgentWindow {
 public:
  bool Build();
  void Refresh(const QuickLookView& view);

 private:
  GtkWidget* Get(GtkBuilder* b, const char* id) { return GTK_WIDGET(gtk_builder_get_object(b, id)); }
  void AddColumns();
  void ShowReport(const std::string& text);
  // Runs `report` (into an area of `size` bytes) off the main loop and shows what it wrote.
  void RunReport(size_t size, std::function<void(char*, size_t)> report);
  void AskSnapshotFile();
  void SetWorking(bool working);

  GtkListStore* model_ = nullptr;
  GtkTreeView* table_ = nullptr;
  GtkWidget* status_icon_ = nullptr;
  GtkWidget* status_text_ = nullptr;
  GtkWidget* report_ = nullptr;
  GtkWidget* buttons_[5] = {};
  bool advanced_ = false;
  bool working_ = false;
  uint32_t shown_icon_ = 0;
  QuickLookView shown_;
};

std::weak_ptr<QuickLookWindow> g_quicklook;

struct ButtonAction {
  void (*action)(QuickLookWindow&);
  std::weak_ptr<AgentWindow> window;
};

void OnButton(GtkButton*, gpointer data) {
  auto* a = static_cast<ButtonAction*>(data);
  if (auto self = a->window.lock(); self && self->widget() != nullptr) a->action(static_cast<QuickLookWindow&>(*self));
}

void QuickLookWindow::AddColumns() {
  for (int c = 0; c < kQuickLookColumns; ++c) {
    const QuickLookColumn& spec = kQuickLookColumnTable[c];
    GtkTreeViewColumn* column = gtk_tree_view_column_new();
    gtk_tree_view_column_set_title(column, spec.header);
    // The widths are the least each column gets; a larger font widens them to fit their titles.
    gtk_tree_view_column_set_sizing(column, GTK_TREE_VIEW_COLUMN_AUTOSIZE);
    gtk_tree_view_column_set_min_width(column, spec.width);
    gtk_tree_view_column_set_alignment(column, spec.right_aligned ? 1.0f : 0.0f);
    if (c == 0) {
      GtkCellRenderer* icon = gtk_cell_renderer_pixbuf_new();
      gtk_tree_view_column_pack_start(column, icon, FALSE);
      gtk_tree_view_column_add_attribute(column, icon, "pixbuf", kColIcon);
    }
    GtkCellRenderer* text = gtk_cell_renderer_text_new();
    g_object_set(text, "xalign", spec.right_aligned ? 1.0f : 0.0f, nullptr);
    gtk_tree_view_column_pack_start(column, text, TRUE);
    gtk_tree_view_column_add_attribute(column, text, "text", c == 0 ? kColText : kColFirstNumber + c - 1);
    gtk_tree_view_append_column(table_, column);
  }
  gtk_tree_selection_set_mode(gtk_tree_view_get_selection(table_), GTK_SELECTION_NONE);
  for (int r = 0; r < kQuickLookRows; ++r) {
    GdkPixbuf* icon = IconPixbuf(kQuickLookRowTable[r].icon, kListIconPixels);
    GtkTreeIter it;
    gtk_list_store_append(model_, &it);
    gtk_list_store_set(model_, &it, kColIcon, icon, kColText, kQuickLookRowTable[r].text, -1);
    if (icon != nullptr) g_object_unref(icon);
  }
}

bool QuickLookWindow::Build() {
  GtkBuilder* b = BuilderFor("quicklook");
  GtkWidget* window = Get(b, "quicklook");
  model_ = GTK_LIST_STORE(gtk_builder_get_object(b, "traffic_model"));
  table_ = GTK_TREE_VIEW(Get(b, "traffic_table"));
  status_icon_ = Get(b, "status_icon");
  status_text_ = Get(b, "status_text");
  report_ = Get(b, "report");
  const char* ids[] = {"config", "test", "snapshot", "help", "advanced"};
  for (int i = 0; i < 5; ++i) buttons_[i] = Get(b, ids[i]);
  g_object_unref(b);

  char caption[kCaptionBytes];
  FormatQuickLookCaption(*Context().global, caption);
  const std::string title = Valid(caption);
  gtk_window_set_title(GTK_WINDOW(window), title.c_str());
  if (!Attach(window, kQuickLookWindow, title.c_str())) {
    gtk_widget_destroy(window);
    return false;
  }
  advanced_ = IsClientAvailable(Context().program_dir);
  gtk_widget_set_sensitive(buttons_[4], advanced_);
  gtk_style_context_add_class(gtk_widget_get_style_context(report_), "netward-report");
  AddColumns();

  std::weak_ptr<AgentWindow> weak = shared_from_this();
  auto on = [](GtkWidget* button, void (*action)(QuickLookWindow&), std::weak_ptr<AgentWindow> w) {
    g_signal_connect_data(button, "clicked", G_CALLBACK(OnButton), new ButtonAction{action, std::move(w)},
                          +[](gpointer p, GClosure*) { delete static_cast<ButtonAction*>(p); }, GConnectFlags(0));
  };
  on(buttons_[0], [](QuickLookWindow& q) { q.RunReport(kConfigReportBytes, Context().config_report); }, weak);
  on(buttons_[1], [](QuickLookWindow& q) { q.RunReport(kTestReportBytes, Context().connectivity_tests); }, weak);
  on(buttons_[2], [](QuickLookWindow& q) { q.AskSnapshotFile(); }, weak);
  on(buttons_[3], [](QuickLookWindow&) { ShowHelpPage(kQuickLookHelpContext); }, weak);
  on(buttons_[4], [](QuickLookWindow&) { PostWindowMessage(TaskbarWindowHandle(), kWmCommand, kCmdAdvanced); }, weak);
  g_signal_connect(window, "key-press-event", G_CALLBACK(+[](GtkWidget*, GdkEventKey* key, gpointer) -> gboolean {
                     if (key->keyval != GDK_KEY_F1) return FALSE;
                     ShowHelpPage(kQuickLookHelpContext);
                     return TRUE;
                   }),
                   nullptr);
  gtk_widget_show_all(window);
  RunReport(kConfigReportBytes, Context().config_report);
  return true;
}

void QuickLookWindow::Refresh(const QuickLookView& view) {
  if (window_ == nullptr) return;
  if (strcmp(view.status_text, shown_.status_text) != 0 || shown_icon_ == 0)
    gtk_entry_set_text(GTK_ENTRY(status_text_), Valid(view.status_text).c_str());
  if (view.status_icon != shown_icon_) {
    GdkPixbuf* icon = IconPixbuf(view.status_icon, kStatusIconPixels);
    gtk_image_set_from_pixbuf(GTK_IMAGE(status_icon_), icon);
    if (icon != nullptr) g_object_unref(icon);
    shown_icon_ = view.status_icon;
  }
  GtkTreeIter it;
  if (!gtk_tree_model_get_iter_first(GTK_TREE_MODEL(model_), &it)) return;
  for (int row = 0; row < kQuickLookNumberRows; ++row) {
    for (int col = 0; col < kQuickLookColumns - 1; ++col)
      if (strcmp(view.cells[row][col], shown_.cells[row][col]) != 0 || shown_.cells[row][col][0] == 0)
        gtk_list_store_set(model_, &it, kColFirstNumber + col, view.cells[row][col], -1);
    if (!gtk_tree_model_iter_next(GTK_TREE_MODEL(model_), &it)) break;
  }
  shown_ = view;
}

void QuickLookWindow::ShowReport(const std::string& text) {
  GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(report_));
  gtk_text_buffer_set_text(buffer, Valid(text.c_str()).c_str(), -1);
}

void QuickLookWindow::SetWorking(bool working) {
  working_ = working;
  SetBusy(window_, working);
  for (int i = 0; i < 4; ++i) gtk_widget_set_sensitive(buttons_[i], !working);
  gtk_widget_set_sensitive(buttons_[4], advanced_ && !working);
}

void QuickLookWindow::RunReport(size_t size, std::function<void(char*, size_t)> report) {
  if (working_ || !report) return;
  SetWorking(true);
  auto text = std::make_shared<std::string>();
  std::weak_ptr<AgentWindow> weak = shared_from_this();
  OffMainLoop(
      [text, size, report] {
        std::string area(size, '\0');
        report(area.data(), size);
        text->assign(area.c_str());
      },
      [weak, text] {
        auto self = weak.lock();
        if (!self || self->widget() == nullptr) return;
        auto& q = static_cast<QuickLookWindow&>(*self);
        q.ShowReport(*text);
        q.SetWorking(false);
      });
}

void QuickLookWindow::AskSnapshotFile() {
  if (working_ || !Context().save_snapshot) return;
  GtkWidget* dialog = gtk_file_chooser_dialog_new(kSnapshotDialogTitle, GTK_WINDOW(window_), GTK_FILE_CHOOSER_ACTION_SAVE,
                                                  "_Cancel", GTK_RESPONSE_CANCEL, "_Save", GTK_RESPONSE_ACCEPT, nullptr);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  GtkFileFilter* filter = gtk_file_filter_new();
  gtk_file_filter_set_name(filter, kSnapshotFilterName);
  gtk_file_filter_add_pattern(filter, kSnapshotPattern);
  gtk_file_filter_add_pattern(filter, "*.nws");
  gtk_file_chooser_add_filter(GTK_FILE_CHOOSER(dialog), filter);
  char host[decltype(GlobalArea::HostName)::kSize];
  Context().global->HostName.Get(host);
  gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(dialog), Valid(host).c_str());
  std::weak_ptr<AgentWindow> weak = shared_from_this();
  g_signal_connect_data(dialog, "response", G_CALLBACK(+[](GtkDialog* d, gint response, gpointer p) {
                          gchar* name = response == GTK_RESPONSE_ACCEPT ? gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(d)) : nullptr;
                          gtk_widget_destroy(GTK_WIDGET(d));
                          auto self = static_cast<std::weak_ptr<AgentWindow>*>(p)->lock();
                          if (name == nullptr || !self || self->widget() == nullptr) {
                            g_free(name);
                            return;
                          }
                          std::string path = name;
                          g_free(name);
                          // The default extension when the name has none.
                          const size_t slash = path.rfind('/');
                          if (path.find('.', slash == std::string::npos ? 0 : slash) == std::string::npos)
                            path += kSnapshotExtension;
                          auto& q = static_cast<QuickLookWindow&>(*self);
                          q.SetWorking(true);
                          const uintptr_t owner = q.handle();
                          std::weak_ptr<AgentWindow> weak = self;
                          OffMainLoop([owner, path] { Context().save_snapshot(owner, path.c_str()); },
                                      [weak] {
                                        if (auto s = weak.lock(); s && s->widget() != nullptr)
                                          static_cast<QuickLookWindow&>(*s).SetWorking(false);
                                      });
                        }),
                        new std::weak_ptr<AgentWindow>(weak),
                        +[](gpointer p, GClosure*) { delete static_cast<std::weak_ptr<AgentWindow>*>(p); },
                        GConnectFlags(0));
  gtk_widget_show_all(dialog);
}

}  // namespace

bool OpenQuickLookWindow() {
  if (auto open = g_quicklook.lock(); open && open->widget() != nullptr) {
    open->Raise();
    return true;
  }
  auto w = std::make_shared<QuickLookWindow>();
  if (!w->Build()) return false;
  g_quicklook = w;
  return true;
}

void RefreshQuickLookWindow(const QuickLookView& view) {
  if (auto open = g_quicklook.lock()) open->Refresh(view);
}

}  // namespace netward::gtkui
