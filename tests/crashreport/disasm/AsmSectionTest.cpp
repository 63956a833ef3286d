// The assembler section's body: source comment lines, aligned comments, the
// exception mark, and the choice of what is listed.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "crashreport/disasm/TrAsmSection.h"

namespace tracira {
namespace {

struct TFakeMemory {
  std::uint64_t Base = 0;
  std::vector<std::uint8_t> Bytes;
  std::size_t Read(std::uint64_t address, std::span<std::uint8_t> buffer) const {
    if (address < Base || address - Base >= Bytes.size()) return 0;
    const std::size_t n = std::min<std::uint64_t>(buffer.size(), Bytes.size() - (address - Base));
    std::memcpy(buffer.data(), Bytes.data() + (address - Base), n);
    return n;
  }
};

// Procedure bounds and line runs, as the symbol lookup gives them.
class TFakeLookup : public TAsmSourceLookup {
 public:
  std::optional<TAsmProcedureBounds> Bounds;
  std::map<std::uint64_t, TAsmSourceLine> LineStarts;  // start of each line's run

  std::optional<TAsmProcedureBounds> ProcedureBounds(std::uint64_t) const override { return Bounds; }
  std::optional<TAsmSourceLine> SourceLine(std::uint64_t address) const override {
    if (!Bounds || address < Bounds->Start || address >= Bounds->End) return std::nullopt;
    auto it = LineStarts.upper_bound(address);
    if (it == LineStarts.begin()) return std::nullopt;
    return std::prev(it)->second;
  }
};

constexpr std::uint32_t kBase = 0x00401000;

// ButtonClick at 401000..40100B, padding, DoWork at 401010.
TFakeMemory ProcedureMemory() {
  return {kBase,
          {
              0x55,                          // 401000 push ebp          line 10
              0x8B, 0xEC,                    // 401001 mov ebp, esp
              0xE8, 0x08, 0x00, 0x00, 0x00,  // 401003 call 0x401010     line 11
              0x8B, 0x00,                    // 401008 mov eax, [eax]    line 12
              0x5D,                          // 40100A pop ebp
              0xC3,                          // 40100B ret
              0xCC, 0xCC, 0xCC, 0xCC,        // 40100C padding
              0xC3,                          // 401010 DoWork: ret
          }};
}

TFakeLookup ProcedureLookup() {
  TFakeLookup lookup;
  lookup.Bounds = TAsmProcedureBounds{kBase, kBase + 0x0C};
  const auto line = [](std::uint32_t n, std::int32_t offset) {
    return TAsmSourceLine{"fmuMain.cpp", "TfmMain", "ButtonClick", n, offset};
  };
  lookup.LineStarts = {{kBase, line(10, 0)}, {kBase + 3, line(11, 1)}, {kBase + 8, line(12, 2)}};
  return lookup;
}

struct TSection {
  TFakeMemory Memory = ProcedureMemory();
  // The fixtures are 32-bit code, also in a 64-bit process.
  TDisAsm DisAsm{TAsmMode::x86};
  TSection() {
    DisAsm.OnReadMemory = [this](std::uint64_t a, std::span<std::uint8_t> b) { return Memory.Read(a, b); };
    DisAsm.OnAddressName = [](std::uint64_t a) {
      return a == kBase + 0x10 ? std::string("TfmMain.DoWork") : "";
    };
  }
};

std::string Padded(std::string text, std::size_t column) {
  text.resize(column, ' ');
  return text;
}

std::string Comment(std::uint32_t line, std::uint32_t offset) {
  const std::string text = "; fmuMain.cpp: TfmMain.ButtonClick (Line=" + std::to_string(line) +
                           " - Offset=" + std::to_string(offset) + ")";
  return text + "\r\n; " + std::string(text.size() - 2, '-') + "\r\n";
}

// The longest instruction is "mov eax, dword ptr [eax]" (24): comments stand
// at 10 + 24 + 2.
constexpr std::size_t kColumn = 36;

TEST(AsmSection, ProcedureWithSourceLines) {
  TSection s;
  const TFakeLookup lookup = ProcedureLookup();
  const std::string expected = Comment(10, 0) +
                               "00401000  push ebp\r\n"
                               "00401001  mov ebp, esp\r\n" +
                               Comment(11, 1) + Padded("00401003  call 0x401010", kColumn) +
                               "; TfmMain.DoWork\r\n" + Comment(12, 2) +
                               Padded("00401008  mov eax, dword ptr [eax]", kColumn) + "<-- EXCEPTION\r\n" +
                               "0040100A  pop ebp\r\n"
                               "0040100B  ret\r\n";
  EXPECT_EQ(AssemblerText(s.DisAsm, &lookup, kBase + 8), expected);
}

TEST(AsmSection, AddressInsideAnInstructionMarksThatInstruction) {
  TSection s;
  const TFakeLookup lookup = ProcedureLookup();
  const std::string text = AssemblerText(s.DisAsm, &lookup, kBase + 5);
  EXPECT_NE(text.find(Padded("00401003  call 0x401010", kColumn) + "; TfmMain.DoWork  <-- EXCEPTION\r\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("<-- EXCEPTION"), text.rfind("<-- EXCEPTION"));
}

TEST(AsmSection, WithoutBelievableBoundsAWindowAroundTheAddressIsListed) {
  TFakeLookup bogus;
  bogus.Bounds = TAsmProcedureBounds{kBase + 0x100, kBase + 0x200};  // doesn't hold the address
  TFakeLookup none;
  for (const TAsmSourceLookup* lookup :
       {static_cast<const TAsmSourceLookup*>(nullptr), static_cast<const TAsmSourceLookup*>(&bogus),
        static_cast<const TAsmSourceLookup*>(&none)}) {
    TSection s;
    // Decoding starts where it lands on the exception address and runs to
    // the end of the readable bytes.
    const std::string expected =
        "00401000  push ebp\r\n"
        "00401001  mov ebp, esp\r\n" +
        Padded("00401003  call 0x401010", kColumn) + "; TfmMain.DoWork\r\n" +
        Padded("00401008  mov eax, dword ptr [eax]", kColumn) + "<-- EXCEPTION\r\n" +
        "0040100A  pop ebp\r\n"
        "0040100B  ret\r\n"
        "0040100C  int3\r\n"
        "0040100D  int3\r\n"
        "0040100E  int3\r\n"
        "0040100F  int3\r\n"
        "00401010  ret\r\n";
    EXPECT_EQ(AssemblerText(s.DisAsm, lookup, kBase + 8), expected);
  }
}

TEST(AsmSection, UnreadableAddressGivesNoLines) {
  TSection s;
  const TFakeLookup lookup = ProcedureLookup();
  EXPECT_EQ(AssemblerText(s.DisAsm, &lookup, 0x10), "");
  TDisAsm noMemory;
  EXPECT_EQ(AssemblerText(noMemory, &lookup, kBase), "");
}

TEST(AsmSection, LongProcedureIsListedAroundTheAddressOnly) {
  TSection s;
  s.Memory.Bytes.assign(8192, 0x90);  // nop
  TFakeLookup lookup;
  lookup.Bounds = TAsmProcedureBounds{kBase, kBase + 8192};
  const std::uint64_t at = kBase + 4000;
  const std::string text = AssemblerText(s.DisAsm, &lookup, at);
  std::size_t lines = 0;
  for (std::size_t p = text.find("\r\n"); p != std::string::npos; p = text.find("\r\n", p + 2)) ++lines;
  EXPECT_EQ(lines, 2 * kAsmMaxBytesAround);
  char first[16];
  std::snprintf(first, sizeof first, "%08X  nop", static_cast<unsigned>(at - kAsmMaxBytesAround));
  EXPECT_EQ(text.rfind(first, 0), 0u) << text.substr(0, 40);
}

// 64-bit code above 4 GB: 16-digit addresses, RIP-relative operands and
// 64-bit branch targets named in the comments.
TEST(AsmSection, SixtyFourBitCodeAboveFourGigabytes) {
  constexpr std::uint64_t base = 0x140001000;
  const TFakeMemory memory{base,
                           {
                               0x55,                                      // push rbp
                               0x48, 0x8B, 0x05, 0x10, 0x00, 0x00, 0x00,  // mov rax, [rip + 0x10]
                               0xE8, 0x03, 0x00, 0x00, 0x00,              // call base + 0x10
                               0x5D,                                      // pop rbp
                               0xC3,                                      // ret
                               0xCC,                                      // int3
                               0xC3,                                      // base + 0x10: ret
                           }};
  TDisAsm disasm(TAsmMode::x64);
  disasm.OnReadMemory = [&](std::uint64_t a, std::span<std::uint8_t> b) { return memory.Read(a, b); };
  disasm.OnAddressName = [](std::uint64_t a) { return a == base + 0x10 ? std::string("DoWork") : ""; };
  TFakeLookup lookup;
  lookup.Bounds = TAsmProcedureBounds{base, base + 0x0F};
  // "0000000140001001  mov rax, qword ptr [rip + 0x10]" is the longest row.
  constexpr std::size_t column = 16 + 2 + 31 + 2;
  const std::string expected = "0000000140001000  push rbp\r\n" +
                               Padded("0000000140001001  mov rax, qword ptr [rip + 0x10]", column) +
                               "<-- EXCEPTION\r\n" + Padded("0000000140001008  call 0x140001010", column) +
                               "; DoWork\r\n"
                               "000000014000100D  pop rbp\r\n"
                               "000000014000100E  ret\r\n";
  EXPECT_EQ(AssemblerText(disasm, &lookup, base + 1), expected);
}

TEST(AsmSection, CommentTextForPartialNames) {
  EXPECT_EQ(SourceLineComment({"cuUtils.cpp", "", "GetFileVersion", 7, 0}),
            "; cuUtils.cpp: GetFileVersion (Line=7 - Offset=0)");
  EXPECT_EQ(SourceLineComment({"", "TThread", "Execute", 3, 1}), "; TThread.Execute (Line=3 - Offset=1)");
  EXPECT_EQ(SourceLineComment({"", "", "", 3, 1}), "; (Line=3 - Offset=1)");
}

}  // namespace
}  // namespace tracira
