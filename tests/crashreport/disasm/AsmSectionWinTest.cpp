// The assembler section over this process's own memory.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "crashreport/disasm/TrAsmSection.h"
#include "crashreport/disasm/TrDisAsmWin.h"

extern "C" void AsmProbe();
#if defined(__x86_64__)
asm(R"(
  .intel_syntax noprefix
  .text
  .globl AsmProbe
  .p2align 4
AsmProbe:
  push rbp
  mov rbp, rsp
  xor eax, eax
  mov eax, [rax]
  pop rbp
  ret
  .att_syntax
)");
// Offsets of the probe's instructions, its end and its text.
constexpr std::uint32_t kProbeOffsets[] = {0, 1, 4, 6, 8, 9, 10};
constexpr const char* kProbeText[] = {"push rbp", "mov rbp, rsp", "xor eax, eax", "mov eax, dword ptr [rax]",
                                      "pop rbp",  "ret"};
#else
asm(R"(
  .intel_syntax noprefix
  .text
  .globl _AsmProbe
  .p2align 4
_AsmProbe:
  push ebp
  mov ebp, esp
  xor eax, eax
  mov eax, [eax]
  pop ebp
  ret
  .att_syntax
)");
constexpr std::uint32_t kProbeOffsets[] = {0, 1, 3, 5, 7, 8, 9};
constexpr const char* kProbeText[] = {"push ebp", "mov ebp, esp", "xor eax, eax", "mov eax, dword ptr [eax]",
                                      "pop ebp",  "ret"};
#endif

namespace tracira {
namespace {

std::uint64_t Address(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// The report's form of an address: 8 digits, 16 above 4 GB.
std::string Hex(std::uint64_t value) {
  char text[20];
  if (value > 0xFFFFFFFFu)
    std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(value));
  else
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
  return text;
}

class TBoundsOnly : public TAsmSourceLookup {
 public:
  std::uint64_t Start = 0, End = 0;
  std::optional<TAsmProcedureBounds> ProcedureBounds(std::uint64_t) const override {
    return TAsmProcedureBounds{Start, End};
  }
  std::optional<TAsmSourceLine> SourceLine(std::uint64_t) const override { return std::nullopt; }
};

// The process's own kind of code, at the process's own addresses.
TEST(AsmSectionWin, ListsOwnCode) {
  TDisAsm disasm;
  EXPECT_EQ(disasm.Mode(), sizeof(void*) == 8 ? TAsmMode::x64 : TAsmMode::x86);
  disasm.OnReadMemory = ReadOwnMemory;
  const std::uint64_t start = Address(reinterpret_cast<const void*>(&AsmProbe));
  TBoundsOnly lookup;
  lookup.Start = start;
  lookup.End = start + kProbeOffsets[6];
  std::string expected;
  for (std::size_t i = 0; i < 6; ++i) {
    std::string row = Hex(start + kProbeOffsets[i]) + "  " + kProbeText[i];
    if (i == 3) row += "  <-- EXCEPTION";
    expected += row + "\r\n";
  }
  EXPECT_EQ(AssemblerText(disasm, &lookup, start + kProbeOffsets[3]), expected);
}

TEST(AsmSectionWin, ReadingStopsAtTheFirstUnreadablePage) {
  std::uint8_t* block =
      static_cast<std::uint8_t*>(VirtualAlloc(nullptr, 2 * 4096, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(block, nullptr);
  ASSERT_NE(VirtualAlloc(block, 4096, MEM_COMMIT, PAGE_READWRITE), nullptr);
  block[4094] = 0x12;
  block[4095] = 0x34;
  std::vector<std::uint8_t> buffer(16, 0);
  EXPECT_EQ(ReadOwnMemory(Address(block + 4094), buffer), 2u);
  EXPECT_EQ(buffer[0], 0x12);
  EXPECT_EQ(buffer[1], 0x34);
  EXPECT_EQ(ReadOwnMemory(Address(block + 4096), buffer), 0u);
  EXPECT_EQ(ReadOwnMemory(0, buffer), 0u);
  VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace
}  // namespace tracira
