// Plain-text tables for the terminal, sized by characters rather than bytes
// so that accented titles line up.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace host {

// Prints `header` and `rows` in columns two blanks apart. Cells longer than
// `maxCell` characters are cut and end with "…". Rows shorter than the
// header get empty cells; a header of empty texts is not printed.
void printTable(std::ostream &out, const std::vector<std::string> &header,
                const std::vector<std::vector<std::string>> &rows, size_t maxCell = 30);

// The number of characters (UTF-8 code points) in `text`.
size_t displayWidth(const std::string &text);

}  // namespace host
