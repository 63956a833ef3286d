// The line tables (.debug_line, DWARF 2 to 5) of a linked image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tracira {

struct LineRow {
  std::uint32_t Address = 0;  // virtual address
  std::string File;           // as named in the table (may include a folder)
  std::uint32_t Line = 0;
  bool EndSequence = false;  // the first address after a sequence
};

// Every row of every sequence, in table order. Raises std::runtime_error
// on a table it can't read.
std::vector<LineRow> ReadLineRows(const std::vector<std::uint8_t>& debugLine,
                                  const std::vector<std::uint8_t>& debugLineStr,
                                  const std::vector<std::uint8_t>& debugStr);

}  // namespace tracira
