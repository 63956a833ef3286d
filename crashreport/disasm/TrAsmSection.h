// The body of the bug report's assembler section: the procedure around the
// exception address, disassembled, with a comment line wherever a new source
// line begins and "<-- EXCEPTION" on the faulting instruction.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "crashreport/disasm/TrDisAsm.h"

namespace tracira {

// [Start, End) of the procedure that holds an address.
struct TAsmProcedureBounds {
  std::uint64_t Start = 0;
  std::uint64_t End = 0;
};

// The source line that an instruction belongs to.
struct TAsmSourceLine {
  std::string UnitName;
  std::string ClassName;
  std::string ProcedureName;
  std::uint32_t Line = 0;
  std::int32_t ProcOffsetLine = 0;  // lines from the procedure's first line (below it in inlined code)
  bool operator==(const TAsmSourceLine&) const = default;
};

// What the section needs from the symbol lookup of the module that holds the
// code. Either answer may be missing; the section still shows the code.
class TAsmSourceLookup {
 public:
  virtual ~TAsmSourceLookup() = default;
  virtual std::optional<TAsmProcedureBounds> ProcedureBounds(std::uint64_t address) const = 0;
  virtual std::optional<TAsmSourceLine> SourceLine(std::uint64_t address) const = 0;
};

// Only this many bytes either side of the exception address are listed, so a
// huge procedure can't swell the report.
inline constexpr std::uint32_t kAsmMaxBytesAround = 1024;
// Without procedure bounds: about this many bytes either side are listed.
inline constexpr std::uint32_t kAsmWindowWithoutBounds = 32;

// Lines ending in CR LF; empty when the code at the address can't be read.
// lookup may be null. Addresses are shown as 8 hexadecimal digits, 16 above
// 4 GB, as everywhere in the report.
std::string AssemblerText(const TDisAsm& disasm, const TAsmSourceLookup* lookup,
                          std::uint64_t exceptionAddress);

// "; fmuMain.cpp: TfmMain.ButtonClick (Line=120 - Offset=3)".
std::string SourceLineComment(const TAsmSourceLine& line);

}  // namespace tracira
