#include "crashreport/disasm/TrAsmSection.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

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

std::string Hex8(std::uint32_t value) {
  std::array<char, 12> text{};
  std::snprintf(text.data(), text.size(), "%08X", value);
  return text.data();
}

bool Contains(const TAsmInstruction& instruction, std::uint32_t address) {
  return address - instruction.Address < instruction.Size;
}

// The earliest start within the window before the address from which
// decoding lands exactly on it; the address itself when none does.
std::uint32_t SynchronizedStart(const TDisAsm& disasm, std::uint32_t address) {
  const std::uint32_t back = std::min(address, kAsmWindowWithoutBounds);
  for (std::uint32_t start = address - back; start < address; ++start) {
    std::uint32_t at = start;
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
                          std::uint32_t exceptionAddress) {
  std::uint32_t start = 0;
  std::uint32_t end = 0;  // exclusive, may wrap to 0 at the top of memory
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
    if (end < exceptionAddress) end = 0;
  }
  // Listed range: what lies within kAsmMaxBytesAround of the exception.
  const std::uint32_t listFrom = exceptionAddress - std::min(exceptionAddress, kAsmMaxBytesAround);
  const std::uint64_t listTo = std::uint64_t{exceptionAddress} + kAsmMaxBytesAround;
  const std::uint64_t stop = end == 0 ? std::uint64_t{0x100000000} : end;

  std::vector<TAsmLine> lines;
  for (std::uint64_t at = start; at < stop && at < listTo;) {
    auto instruction = disasm.Decode(static_cast<std::uint32_t>(at));
    if (!instruction) break;
    at += instruction->Size;
    if (instruction->Address + instruction->Size <= listFrom) continue;
    TAsmLine line{std::move(*instruction), std::nullopt, {}};
    if (lookup) line.Source = lookup->SourceLine(line.Instruction.Address);
    if (line.Instruction.BranchTarget && disasm.OnAddressName)
      line.Comment = disasm.OnAddressName(*line.Instruction.BranchTarget);
    lines.push_back(std::move(line));
  }

  // One column for all comments: two blanks after the longest instruction.
  std::size_t column = 0;
  for (const TAsmLine& line : lines) column = std::max(column, 10 + line.Instruction.Text.size() + 2);

  std::string text;
  const std::optional<TAsmSourceLine>* previous = nullptr;
  for (const TAsmLine& line : lines) {
    if (line.Source && (!previous || *previous != line.Source)) {
      const std::string comment = SourceLineComment(*line.Source);
      text.append(comment).append(kCRLF);
      text.append("; ").append(comment.size() - 2, '-').append(kCRLF);
    }
    previous = &line.Source;

    std::string row = Hex8(line.Instruction.Address) + "  " + line.Instruction.Text;
    const bool faulting = Contains(line.Instruction, exceptionAddress);
    if (!line.Comment.empty() || faulting) row.resize(column, ' ');
    if (!line.Comment.empty()) row += "; " + line.Comment;
    if (faulting) row += (line.Comment.empty() ? "" : "  ") + std::string(kExceptionMark);
    text.append(row).append(kCRLF);
  }
  return text;
}

}  // namespace tracira
