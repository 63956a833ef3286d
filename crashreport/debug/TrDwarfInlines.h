// The inlined calls that a linked image's DWARF describes (.debug_info,
// versions 2 to 5): for each piece of code inlined into a function, its
// address ranges and the call site it was inlined at. The build tool uses
// them to name inlined code by the line of the function that called it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crashreport/debug/TrDwarfLines.h"

namespace tracira {

struct DwarfSections {
  std::vector<std::uint8_t> Info, Abbrev, Line, LineStr, Str, Ranges, RngLists, Addr;
};

struct InlinedCall {
  std::uint64_t Low = 0, High = 0;  // [Low, High), virtual addresses
  std::uint32_t CallFile = 0;       // path number, as RowsByAddress numbers them
  std::uint32_t CallLine = 0;
  // 1: inlined into the function itself; n + 1: into code inlined at depth n.
  std::uint32_t Depth = 0;
};

// Every range of every inlined call (a call with several ranges gives one
// entry each), in the order met. tables are the image's line tables,
// paths the numbering that RowsByAddress made of their files (new paths are
// appended). Raises std::runtime_error on data it can't read.
std::vector<InlinedCall> ReadInlinedCalls(const DwarfSections& sections, const std::vector<LineTable>& tables,
                                          std::vector<std::string>& paths);

}  // namespace tracira
