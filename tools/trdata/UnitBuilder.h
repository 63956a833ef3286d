// How trdata turns an image's line tables, inlined calls and function
// symbols into the data block's units.
//
// Code inlined from a header is named by the line that led to it from
// code of the program's own: of the places the code stands for (the line
// table's row, then the call site of each inline level, innermost first),
// the first that lies in a source file (not a header) or in the file of
// the function it was compiled into. So std::vector's push_back inlined
// into a form's method reads as the method's line that called it, a
// lambda's body inlined into std::function's invoker keeps its own line,
// and a header's template keeps the lines of its own file. Code of a
// function then comes from few files, and a unit, a run of code from one
// file, holds many functions: far fewer units, each procedure name stored
// about once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crashreport/debug/TrDataWriter.h"
#include "crashreport/debug/TrDwarfInlines.h"
#include "crashreport/debug/TrDwarfLines.h"

namespace trdata {

// Whether a path names a source file rather than a header, by its
// extension (.c, .cc, .cpp, .cxx, .c++).
bool IsSourceFile(const std::string& path);

// The rows (as RowsByAddress orders them, files numbered in paths) with
// inlined code named as above: one row per address where the naming
// changes, end markers where named code stops.
std::vector<tracira::AddressRow> AttributeInlinedCode(const std::vector<tracira::AddressRow>& rows,
                                                      std::vector<tracira::InlinedCall> calls,
                                                      const std::vector<std::string>& paths);

struct Function {
  std::uint32_t Offset = 0;  // from the module's code start
  std::string Name;          // as stored: "Class.Proc" or "Proc"
};

// Units of the block from rows of one naming per address (AttributeInlinedCode's),
// each with the full path of its file (SourcePath),
// as offsets from the module's code start (codeBase: its address).
// A unit runs while the file stays the same, also over gaps between line
// sequences that no function starts in (alignment padding). Procedures
// start at each function and at a unit's start inside a function.
// functions: sorted by offset, one per offset.
std::vector<tracira::TTrUnit> BuildUnits(const std::vector<tracira::AddressRow>& rows,
                                         const std::vector<std::string>& paths, std::uint64_t codeBase,
                                         const std::vector<Function>& functions);

}  // namespace trdata
