// The assembler section over this process's own memory.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "crashreport/disasm/TrAsmSection.h"
#include "crashreport/disasm/TrDisAsmWin.h"

extern "C" void AsmProbe();
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

namespace tracira {
namespace {

std::uint32_t Address(const void* p) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

class TBoundsOnly : public TAsmSourceLookup {
 public:
  std::uint32_t Start = 0, End = 0;
  std::optional<TAsmProcedureBounds> ProcedureBounds(std::uint32_t) const override {
    return TAsmProcedureBounds{Start, End};
  }
  std::optional<TAsmSourceLine> SourceLine(std::uint32_t) const override { return std::nullopt; }
};

TEST(AsmSectionWin, ListsOwnCode) {
  TDisAsm disasm;
  disasm.OnReadMemory = ReadOwnMemory;
  const std::uint32_t start = Address(reinterpret_cast<const void*>(&AsmProbe));
  TBoundsOnly lookup;
  lookup.Start = start;
  lookup.End = start + 9;
  char expected[256];
  std::snprintf(expected, sizeof expected,
                "%08X  push ebp\r\n%08X  mov ebp, esp\r\n%08X  xor eax, eax\r\n"
                "%08X  mov eax, dword ptr [eax]  <-- EXCEPTION\r\n%08X  pop ebp\r\n%08X  ret\r\n",
                start, start + 1, start + 3, start + 5, start + 7, start + 8);
  EXPECT_EQ(AssemblerText(disasm, &lookup, start + 5), expected);
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
