#include "crashreport/disasm/TrAsmSection.h"

#include <algorithm>
#include <vector>

#include "crashreport/core/TrTypes.h"

namespace tracira {

namespace {

constexpr std::string_view kCRLF = "\r\n";
constexpr std::string_view kExceptionMark = "<-- EXCEPTION";
// Bounds wider than this are not believed: decoding would take too long.
constexpr std::uint32_t kMaxProcedureSize = 1024 * 1024;

struct TAsmLine {
  TAsmInstruction Instruction;
  std::optional<TAsmSourceLine> Source;
  std::string Comment;
};

bool Contains(const TAsmInstruction& instruction, std::uint64_t address) {
  return address - instruction.Address < instruction.Size;
}

// The earliest start within the window before the address from which
// decoding lands exactly on it; the address itself when none does.
std::uint64_t SynchronizedStart(const TDisAsm& disasm, std::uint64_t address) {
  const std::uint64_t back = std::min<std::uint64_t>(address, kAsmWindowWithoutBounds);
  for (std::uint64_t start = address - back; start < address; ++start) {
    std::uint64_t at = start;
    while (at < address) {
      const auto instruction = disasm.Decode(at);
      if (!instruction) break;
      at += instruction->Size;
    }
    if (at == address) return start;
  }
  return address;
}

}  // namespace

std::string SourceLineComment(const TAsmSourceLine& line) {
  std::string procedure = line.ClassName;
  if (!procedure.empty() && !line.ProcedureName.empty()) procedure += '.';
  procedure += line.ProcedureName;
  std::string location = line.UnitName;
  if (!location.empty() && !procedure.empty()) location += ": ";
  location += procedure;
  if (!location.empty()) location += ' ';
  return "; " + location + "(Line=" + std::to_string(line.Line) +
         " - Offset=" + std::to_string(line.ProcOffsetLine) + ")";
}

std::string AssemblerText(const TDisAsm& disasm, const TAsmSourceLookup* lookup,
                          std::uint64_t exceptionAddress) {
  // Ends are exclusive; 0 stands for the top of the address space, where
  // an end wraps.
  const std::uint64_t top = AddressSpaceEnd(disasm.Mode());
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::optional<TAsmProcedureBounds> bounds;
  if (lookup) bounds = lookup->ProcedureBounds(exceptionAddress);
  const bool believable = bounds && bounds->Start <= exceptionAddress && exceptionAddress < bounds->End &&
                          bounds->End - bounds->Start <= kMaxProcedureSize;
  if (believable) {
    start = bounds->Start;
    end = bounds->End;
  } else {
    start = SynchronizedStart(disasm, exceptionAddress);
    end = exceptionAddress + kAsmWindowWithoutBounds;
    if (end < exceptionAddress || (top != 0 && end >= top)) end = 0;
  }
  // Listed range: what lies within kAsmMaxBytesAround of the exception.
  const std::uint64_t listFrom =
      exceptionAddress - std::min<std::uint64_t>(exceptionAddress, kAsmMaxBytesAround);
  std::uint64_t listTo = exceptionAddress + kAsmMaxBytesAround;
  if (listTo < exceptionAddress || (top != 0 && listTo >= top)) listTo = 0;
  // The nearer of the two ends, 0 (the top) only when both are.
  const std::uint64_t stop = end == 0 ? listTo : listTo == 0 ? end : std::min(end, listTo);

  std::vector<TAsmLine> lines;
  for (std::uint64_t at = start; stop == 0 || at < stop;) {
    auto instruction = disasm.Decode(at);
    if (!instruction) break;
    at += instruction->Size;
    const bool wrapped = at < instruction->Address || (top != 0 && at >= top);
    if (instruction->Address + instruction->Size <= listFrom) {
      if (wrapped) break;
      continue;
    }
    TAsmLine line{std::move(*instruction), std::nullopt, {}};
    if (lookup) line.Source = lookup->SourceLine(line.Instruction.Address);
    if (line.Instruction.BranchTarget && disasm.OnAddressName)
      line.Comment = disasm.OnAddressName(*line.Instruction.BranchTarget);
    lines.push_back(std::move(line));
    if (wrapped) break;
  }

  // One column for all comments: two blanks after the longest instruction.
  std::size_t column = 0;
  for (const TAsmLine& line : lines)
    column =
        std::max(column, HexAddress(line.Instruction.Address).size() + 2 + line.Instruction.Text.size() + 2);

  std::string text;
  const std::optional<TAsmSourceLine>* previous = nullptr;
  for (const TAsmLine& line : lines) {
    if (line.Source && (!previous || *previous != line.Source)) {
      const std::string comment = SourceLineComment(*line.Source);
      text.append(comment).append(kCRLF);
      text.append("; ").append(comment.size() - 2, '-').append(kCRLF);
    }
    previous = &line.Source;

    std::string row = HexAddress(line.Instruction.Address) + "  " + line.Instruction.Text;
    const bool faulting = Contains(line.Instruction, exceptionAddress);
    if (!line.Comment.empty() || faulting) row.resize(column, ' ');
    if (!line.Comment.empty()) row += "; " + line.Comment;
    if (faulting) row += (line.Comment.empty() ? "" : "  ") + std::string(kExceptionMark);
    text.append(row).append(kCRLF);
  }
  return text;
}

}  // namespace tracira
