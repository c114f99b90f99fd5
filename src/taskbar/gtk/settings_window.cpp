// The Settings dialog: fields laid out by ui/settings.ui; what OK does is SettingsOk's, run off the
// main loop step by step, with the message boxes and the question shown in between.
#include <memory>
#include <string>

#include "taskbar/gtk/gtk_internal.h"
#include "taskbar/settings_logic.h"

namespace netward::gtkui {

namespace {

BoxKind KindOf(BoxIcon icon) {
  switch (icon) {
    case BoxIcon::kExclamation: return BoxKind::kExclamation;
    case BoxIcon::kQuestion: return BoxKind::kQuestion;
    case BoxIcon::kStop: return BoxKind::kStop;
    default: return BoxKind::kPlain;
  }
}

class SettingsWindow : public AgentWindow {
 public:
  bool Build();

 private:
  GtkWidget* Field(SettingsField f) {
    return f == SettingsField::kPassword ? password_ : f == SettingsField::kConfirm ? confirm_
                                                     : f == SettingsField::kDirectory ? directory_ : nullptr;
  }
  void Focus(SettingsField f) {
    if (GtkWidget* w = Field(f)) gtk_widget_grab_focus(w);
  }
  void SetWorking(bool working) {
    working_ = working;
    SetBusy(window_, working);
    gtk_widget_set_sensitive(ok_, !working);
  }
  void Ok(SettingsFields fields, DirectoryAnswer answer);
  void Apply(const SettingsFields& fields, const SettingsStep& step);

  GtkWidget* password_ = nullptr;
  GtkWidget* confirm_ = nullptr;
  GtkWidget* directory_ = nullptr;
  GtkWidget* ok_ = nullptr;
  bool working_ = false;
  // Shared with the work off the main loop, which may end after the window.
  std::shared_ptr<HiveSettingsStore> store_;
};

std::weak_ptr<SettingsWindow> g_settings;

SettingsWindow* Live(const std::weak_ptr<AgentWindow>& weak, std::shared_ptr<AgentWindow>& hold) {
  hold = weak.lock();
  return hold && hold->widget() != nullptr ? static_cast<SettingsWindow*>(hold.get()) : nullptr;
}

bool SettingsWindow::Build() {
  const TaskbarContext& ctx = Context();
  store_ = std::make_shared<HiveSettingsStore>(ctx.hive_path, ctx.registry, ctx.global);
  GtkBuilder* b = BuilderFor("settings");
  GtkWidget* window = GTK_WIDGET(gtk_builder_get_object(b, "settings"));
  password_ = GTK_WIDGET(gtk_builder_get_object(b, "password"));
  confirm_ = GTK_WIDGET(gtk_builder_get_object(b, "confirm"));
  directory_ = GTK_WIDGET(gtk_builder_get_object(b, "directory"));
  ok_ = GTK_WIDGET(gtk_builder_get_object(b, "ok"));
  GtkWidget* cancel = GTK_WIDGET(gtk_builder_get_object(b, "cancel"));
  g_object_unref(b);
  if (!Attach(window, kSettingsWindow, kSettingsTitle)) {
    gtk_widget_destroy(window);
    return false;
  }
  for (GtkWidget* entry : {password_, confirm_, directory_})
    gtk_entry_set_max_length(GTK_ENTRY(entry), static_cast<gint>(kSettingsFieldChars));
  gtk_widget_grab_default(ok_);

  auto* weak = new std::weak_ptr<AgentWindow>(shared_from_this());
  auto free_weak = +[](gpointer p, GClosure*) { delete static_cast<std::weak_ptr<AgentWindow>*>(p); };
  g_signal_connect_data(ok_, "clicked", G_CALLBACK(+[](GtkButton*, gpointer p) {
                          std::shared_ptr<AgentWindow> hold;
                          SettingsWindow* self = Live(*static_cast<std::weak_ptr<AgentWindow>*>(p), hold);
                          if (self == nullptr || self->working_) return;
                          SettingsFields f;
                          f.password = gtk_entry_get_text(GTK_ENTRY(self->password_));
                          f.confirm = gtk_entry_get_text(GTK_ENTRY(self->confirm_));
                          f.directory = gtk_entry_get_text(GTK_ENTRY(self->directory_));
                          self->Ok(std::move(f), DirectoryAnswer::kNotAsked);
                        }),
                        weak, free_weak, GConnectFlags(0));
  g_signal_connect_data(cancel, "clicked", G_CALLBACK(+[](GtkButton*, gpointer p) {
                          std::shared_ptr<AgentWindow> hold;
                          if (SettingsWindow* self = Live(*static_cast<std::weak_ptr<AgentWindow>*>(p), hold)) self->Close();
                        }),
                        new std::weak_ptr<AgentWindow>(*weak), free_weak, GConnectFlags(0));

  // The stored values arrive from the settings file off the main loop.
  SetWorking(true);
  gtk_widget_show_all(window);
  auto fields = std::make_shared<SettingsFields>();
  auto store = store_;
  const std::string windows_dir = ctx.windows_dir;
  std::weak_ptr<AgentWindow> w = shared_from_this();
  OffMainLoop([fields, store, windows_dir] { *fields = InitialSettingsFields(*store, windows_dir); },
              [fields, w] {
                std::shared_ptr<AgentWindow> hold;
                SettingsWindow* self = Live(w, hold);
                if (self == nullptr) return;
                gtk_entry_set_text(GTK_ENTRY(self->password_), fields->password.c_str());
                gtk_entry_set_text(GTK_ENTRY(self->confirm_), fields->confirm.c_str());
                gchar* dir = g_utf8_make_valid(fields->directory.c_str(), -1);
                gtk_entry_set_text(GTK_ENTRY(self->directory_), dir);
                g_free(dir);
                self->SetWorking(false);
                gtk_widget_grab_focus(self->password_);
              });
  return true;
}

void SettingsWindow::Ok(SettingsFields fields, DirectoryAnswer answer) {
  SetWorking(true);
  auto step = std::make_shared<SettingsStep>();
  auto store = store_;
  std::weak_ptr<AgentWindow> w = shared_from_this();
  OffMainLoop([step, store, fields, answer] { *step = SettingsOk(fields, answer, *store); },
              [step, store, fields, w] {
                if (step->kind == SettingsStep::kBox && step->icon == BoxIcon::kStop && !store->last_error().empty())
                  Context().out->Printf("Settings: %s\n", store->last_error().c_str());
                std::shared_ptr<AgentWindow> hold;
                if (SettingsWindow* self = Live(w, hold)) {
                  self->SetWorking(false);
                  self->Apply(fields, *step);
                }
              });
}

void SettingsWindow::Apply(const SettingsFields& fields, const SettingsStep& step) {
  std::weak_ptr<AgentWindow> w = shared_from_this();
  const SettingsField focus = step.focus;
  switch (step.kind) {
    case SettingsStep::kFocus:
      Focus(focus);
      break;
    case SettingsStep::kBox:
      ShowMessageBox(GTK_WINDOW(window_), kSettingsTitle, step.text, KindOf(step.icon), [w, focus](bool) {
        std::shared_ptr<AgentWindow> hold;
        if (SettingsWindow* self = Live(w, hold)) self->Focus(focus);
      });
      break;
    case SettingsStep::kAsk:
      ShowMessageBox(GTK_WINDOW(window_), kSettingsTitle, step.text, BoxKind::kQuestion, [w, fields](bool yes) {
        std::shared_ptr<AgentWindow> hold;
        if (SettingsWindow* self = Live(w, hold)) self->Ok(fields, yes ? DirectoryAnswer::kYes : DirectoryAnswer::kNo);
      });
      break;
    case SettingsStep::kSaved:
      ShowMessageBox(GTK_WINDOW(window_), kSettingsTitle, step.text, BoxKind::kPlain, [w](bool) {
        std::shared_ptr<AgentWindow> hold;
        if (SettingsWindow* self = Live(w, hold)) self->Close();
      });
      break;
  }
}

}  // namespace

bool OpenSettingsWindow() {
  if (auto open = g_settings.lock(); open && open->widget() != nullptr) {
    open->Raise();
    return true;
  }
  auto w = std::make_shared<SettingsWindow>();
  if (!w->Build()) return false;
  g_settings = w;
  return true;
}

}  // namespace netward::gtkui
