// A table of one view: a GtkTreeView of text columns whose heads sort (through SortRows) and an
// optional filter entry above it (through FilterRows). Marked rows show in bold red.
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "console_model.h"

namespace netward::console {

class TableWidget {
 public:
  // `name`: the table's accessible name; `filter`: with a filter entry.
  TableWidget(const char* name, std::vector<Column> columns, bool filter);
  GtkWidget* widget() const { return box_; }
  // New rows; the sort column and filter stay as the user set them.
  void SetRows(std::vector<Row> rows);
  void SortBy(size_t column, bool ascending);
  size_t shown() const { return shown_; }

 private:
  void Refill();
  static void OnHeadClicked(GtkTreeViewColumn* column, gpointer self);
  static void OnFilterChanged(GtkEditable* entry, gpointer self);

  std::vector<Column> columns_;
  std::vector<Row> rows_;
  GtkWidget* box_ = nullptr;
  GtkWidget* view_ = nullptr;
  GtkWidget* filter_ = nullptr;
  GtkListStore* store_ = nullptr;
  std::vector<GtkTreeViewColumn*> heads_;
  size_t sort_column_ = SIZE_MAX;
  bool ascending_ = true;
  size_t shown_ = 0;
};

}  // namespace netward::console
