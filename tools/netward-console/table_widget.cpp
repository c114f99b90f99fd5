#include "table_widget.h"

namespace netward::console {

TableWidget::TableWidget(const char* name, std::vector<Column> columns, bool filter) : columns_(std::move(columns)) {
  const int n = static_cast<int>(columns_.size());
  // One text column per table column, then the row's weight and colour (marked rows).
  std::vector<GType> types(columns_.size(), G_TYPE_STRING);
  types.push_back(G_TYPE_INT);
  types.push_back(G_TYPE_STRING);
  store_ = gtk_list_store_newv(n + 2, types.data());
  view_ = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store_));
  g_object_unref(store_);
  gtk_tree_view_set_enable_search(GTK_TREE_VIEW(view_), FALSE);
  for (int c = 0; c < n; ++c) {
    GtkCellRenderer* cell = gtk_cell_renderer_text_new();
    if (columns_[c].numeric) g_object_set(cell, "xalign", 1.0, nullptr);
    GtkTreeViewColumn* col = gtk_tree_view_column_new_with_attributes(columns_[c].title, cell, "text", c, "weight", n,
                                                                       "foreground", n + 1, nullptr);
    gtk_tree_view_column_set_resizable(col, TRUE);
    gtk_tree_view_column_set_clickable(col, TRUE);
    g_object_set_data(G_OBJECT(col), "netward-column", GINT_TO_POINTER(c));
    g_signal_connect(col, "clicked", G_CALLBACK(OnHeadClicked), this);
    gtk_tree_view_append_column(GTK_TREE_VIEW(view_), col);
    heads_.push_back(col);
  }
  atk_object_set_name(gtk_widget_get_accessible(view_), name);
  GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_container_add(GTK_CONTAINER(scroll), view_);
  gtk_widget_set_vexpand(scroll, TRUE);
  box_ = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  if (filter) {
    filter_ = gtk_search_entry_new();
    gtk_entry_set_placeholder_text(GTK_ENTRY(filter_), "Filter");
    atk_object_set_name(gtk_widget_get_accessible(filter_), (std::string(name) + " filter").c_str());
    g_signal_connect(filter_, "changed", G_CALLBACK(OnFilterChanged), this);
    gtk_box_pack_start(GTK_BOX(box_), filter_, FALSE, FALSE, 0);
  }
  gtk_box_pack_start(GTK_BOX(box_), scroll, TRUE, TRUE, 0);
}

void TableWidget::SetRows(std::vector<Row> rows) {
  rows_ = std::move(rows);
  Refill();
}

void TableWidget::SortBy(size_t column, bool ascending) {
  sort_column_ = column;
  ascending_ = ascending;
  for (size_t c = 0; c < heads_.size(); ++c) {
    gtk_tree_view_column_set_sort_indicator(heads_[c], c == column);
    if (c == column) gtk_tree_view_column_set_sort_order(heads_[c], ascending ? GTK_SORT_ASCENDING : GTK_SORT_DESCENDING);
  }
  Refill();
}

void TableWidget::Refill() {
  std::vector<Row> rows = FilterRows(rows_, filter_ != nullptr ? gtk_entry_get_text(GTK_ENTRY(filter_)) : "");
  if (sort_column_ != SIZE_MAX) SortRows(rows, columns_, sort_column_, ascending_);
  const int n = static_cast<int>(columns_.size());
  // The rows are replaced in place: the view keeps its scroll position and no row is made anew
  // unless the count grew.
  GtkTreeModel* model = GTK_TREE_MODEL(store_);
  GtkTreeIter it;
  bool have = gtk_tree_model_get_iter_first(model, &it);
  for (const Row& r : rows) {
    if (!have) gtk_list_store_append(store_, &it);
    for (int c = 0; c < n; ++c) gtk_list_store_set(store_, &it, c, r.cells[c].c_str(), -1);
    gtk_list_store_set(store_, &it, n, r.marked ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL, n + 1,
                       r.marked ? "#b00000" : nullptr, -1);
    have = have && gtk_tree_model_iter_next(model, &it);
  }
  while (have) have = gtk_list_store_remove(store_, &it);
  shown_ = rows.size();
}

void TableWidget::OnHeadClicked(GtkTreeViewColumn* column, gpointer self) {
  auto* t = static_cast<TableWidget*>(self);
  const size_t c = static_cast<size_t>(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(column), "netward-column")));
  // A first click sorts numbers largest first and texts A to Z; a second click turns the order round.
  const bool ascending = c == t->sort_column_ ? !t->ascending_ : !t->columns_[c].numeric;
  t->SortBy(c, ascending);
}

void TableWidget::OnFilterChanged(GtkEditable*, gpointer self) { static_cast<TableWidget*>(self)->Refill(); }

}  // namespace netward::console
