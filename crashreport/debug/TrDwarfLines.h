// The line tables (.debug_line, DWARF 2 to 5) of a linked image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tracira {

struct LineRow {
  std::uint64_t Address = 0;  // virtual address
  std::uint32_t File = 0;     // index into the table's Files
  std::uint32_t Line = 0;
  bool EndSequence = false;  // the first address after a sequence
};

struct LineTable {
  std::size_t Offset = 0;  // in .debug_line, as a compilation unit's DW_AT_stmt_list names it
  // By the numbers that the rows and .debug_info's DW_AT_call_file use:
  // the paths as the table gives them, with their folders.
  std::vector<std::string> Files;
  std::vector<LineRow> Rows;  // in table order
};

// Every table, in section order. Raises std::runtime_error on a table it
// can't read.
std::vector<LineTable> ReadLineTables(const std::vector<std::uint8_t>& debugLine,
                                      const std::vector<std::uint8_t>& debugLineStr,
                                      const std::vector<std::uint8_t>& debugStr);

// A row of all tables together; File numbers a path across the tables.
struct AddressRow {
  std::uint64_t Address = 0;  // virtual address
  std::uint32_t File = 0;
  std::uint32_t Line = 0;
  bool EndSequence = false;
};

// The rows of all tables sorted by address, so that the last row at or
// before an address names it (an end of sequence: nothing). At one address
// a sequence that ends there comes before one that starts there, and rows
// on a sequence's own end address, which cover no code, are left out.
// New paths are appended to paths; File indexes it.
std::vector<AddressRow> RowsByAddress(const std::vector<LineTable>& tables, std::vector<std::string>& paths);

}  // namespace tracira
