#include "tools/host/table.h"

#include <algorithm>

namespace host {

namespace {

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The first `count` characters of `text`.
std::string firstChars(const std::string &text, size_t count) {
  size_t seen = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!isContinuationByte(text[i])) {
      if (seen == count) return text.substr(0, i);
      ++seen;
    }
  }
  return text;
}

std::string fit(const std::string &cell, size_t maxCell) {
  if (displayWidth(cell) <= maxCell || maxCell == 0) return cell;
  return firstChars(cell, maxCell - 1) + "…";
}

}  // namespace

size_t displayWidth(const std::string &text) {
  return static_cast<size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return !isContinuationByte(c); }));
}

void printTable(std::ostream &out, const std::vector<std::string> &header,
                const std::vector<std::vector<std::string>> &rows, size_t maxCell) {
  std::vector<std::vector<std::string>> cells;
  const bool titled = std::any_of(header.begin(), header.end(),
                                  [](const std::string &h) { return !h.empty(); });
  if (titled) cells.push_back(header);
  for (const auto &row : rows) {
    std::vector<std::string> fitted;
    for (size_t col = 0; col < header.size(); ++col) {
      fitted.push_back(col < row.size() ? fit(row[col], maxCell) : "");
    }
    cells.push_back(std::move(fitted));
  }
  std::vector<size_t> widths(header.size(), 0);
  for (const auto &row : cells) {
    for (size_t col = 0; col < row.size(); ++col) {
      widths[col] = std::max(widths[col], displayWidth(row[col]));
    }
  }
  for (const auto &row : cells) {
    std::string line;
    for (size_t col = 0; col < row.size(); ++col) {
      line += row[col];
      if (col + 1 < row.size()) line += std::string(widths[col] - displayWidth(row[col]) + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << '\n';
  }
}

}  // namespace host
