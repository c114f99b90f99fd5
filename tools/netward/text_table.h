// Text cells and aligned tables shared by the reply printer and the watch screen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace netward::client {

std::string Num(uint32_t v);
std::string Num(int32_t v);
std::string Num(float v);  // whole numbers, as byte totals are kept

// A stored 8-bit text as a UTF-8 cell; control characters would break the layout and show as '.'.
std::string Cell(const std::string& s);

// Display width of a UTF-8 text: one column per character.
size_t Width(const std::string& utf8);

// Columns as wide as their widest cell, two blanks apart, a rule of '-' under the heads.
class Table {
 public:
  // A header starting with '>' marks a right-aligned (numeric) column.
  explicit Table(std::vector<std::string> headers);
  void Row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
  void Render(std::string& out) const;

 private:
  std::vector<std::string> head_;
  std::vector<bool> right_;
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace netward::client
