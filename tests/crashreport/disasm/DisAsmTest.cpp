// The decoder: lengths, texts and branch targets, undecodable bytes, and the
// disassembler object's reading through its callback.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crashreport/disasm/TrDisAsm.h"

namespace tracira {
namespace {

struct TDecodeCase {
  std::vector<std::uint8_t> Bytes;
  std::uint64_t Address;
  std::uint32_t Size;
  bool Valid;
  const char* Text;
  std::optional<std::uint64_t> Target;
  TAsmMode Mode = TAsmMode::x86;
};

constexpr TAsmMode x64 = TAsmMode::x64;

TEST(DisAsm, DecodesLengthTextAndTarget) {
  const TDecodeCase cases[] = {
      {{0x55}, 0x401000, 1, true, "push ebp", {}},
      {{0x8B, 0xEC, 0x90}, 0x401000, 2, true, "mov ebp, esp", {}},
      {{0x8B, 0x45, 0xF8}, 0x401000, 3, true, "mov eax, dword ptr [ebp - 8]", {}},
      {{0xE8, 0x0B, 0x00, 0x00, 0x00}, 0x401000, 5, true, "call 0x401010", 0x401010},
      {{0xE8, 0xFB, 0xFF, 0xFF, 0xFF}, 0x401000, 5, true, "call 0x401000", 0x401000},
      {{0x74, 0xFE}, 0x1000, 2, true, "je 0x1000", 0x1000},
      {{0x0F, 0x85, 0x10, 0x00, 0x00, 0x00}, 0x1000, 6, true, "jne 0x1016", 0x1016},
      {{0xE3, 0x05}, 0x1000, 2, true, "jecxz 0x1007", 0x1007},
      {{0xFF, 0x25, 0x00, 0x30, 0x40, 0x00}, 0x401000, 6, true, "jmp dword ptr [0x403000]", {}},
      {{0xFF, 0xD0}, 0x401000, 2, true, "call eax", {}},
      {{0xC2, 0x08, 0x00}, 0x401000, 3, true, "ret 8", {}},
      {{0x64, 0xA1, 0x18, 0x00, 0x00, 0x00}, 0, 6, true, "mov eax, dword ptr fs:[0x18]", {}},
      // Not an instruction; a call cut short by the end of the bytes.
      {{0x0F, 0x04, 0x90}, 0x401000, 1, false, "db 0x0F", {}},
      {{0xE8, 0x00, 0x00}, 0x401000, 1, false, "db 0xE8", {}},
      // 64-bit code: REX prefixes, RIP-relative operands, targets and
      // addresses above 4 GB.
      {{0x55}, 0x140001000, 1, true, "push rbp", {}, x64},
      {{0x48, 0x89, 0xE5}, 0x140001000, 3, true, "mov rbp, rsp", {}, x64},
      {{0x41, 0x50}, 0x140001000, 2, true, "push r8", {}, x64},
      {{0x48, 0x8B, 0x05, 0x10, 0x00, 0x00, 0x00},
       0x140001000,
       7,
       true,
       "mov rax, qword ptr [rip + 0x10]",
       {},
       x64},
      {{0xFF, 0x15, 0xFA, 0xFF, 0xFF, 0xFF}, 0x140001000, 6, true, "call qword ptr [rip - 6]", {}, x64},
      {{0xE8, 0x0B, 0x00, 0x00, 0x00}, 0x140001000, 5, true, "call 0x140001010", 0x140001010, x64},
      {{0x0F, 0x85, 0x10, 0x00, 0x00, 0x00},
       0x7FF000000000,
       6,
       true,
       "jne 0x7ff000000016",
       0x7FF000000016,
       x64},
      {{0xE9, 0xF0, 0xFF, 0xFF, 0xFF}, 0x100000000, 5, true, "jmp 0xfffffff5", 0xFFFFFFF5, x64},
      {{0x48, 0xB8, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11},
       0,
       10,
       true,
       "movabs rax, 0x1122334455667788",
       {},
       x64},
      // The same bytes mean other things in the two modes; 32-bit only
      // instructions don't decode in 64-bit code.
      {{0x48, 0x89, 0xE5}, 0x401000, 1, true, "dec eax", {}},
      {{0x06}, 0x140001000, 1, false, "db 0x06", {}, x64},
  };
  for (const TDecodeCase& c : cases) {
    SCOPED_TRACE(c.Text);
    const TAsmInstruction i = DecodeInstruction(c.Bytes, c.Address, c.Mode);
    EXPECT_EQ(i.Address, c.Address);
    EXPECT_EQ(i.Size, c.Size);
    EXPECT_EQ(i.Valid, c.Valid);
    EXPECT_EQ(i.Text, c.Text);
    EXPECT_EQ(i.BranchTarget, c.Target);
    EXPECT_EQ(GetAsmSize(c.Bytes, c.Address, c.Mode), c.Size);
  }
}

TEST(DisAsm, ClassifiesControlFlow) {
  const auto call =
      DecodeInstruction(std::vector<std::uint8_t>{0xFF, 0x15, 0, 0x30, 0x40, 0}, 0, TAsmMode::x86);
  EXPECT_TRUE(call.IsCall);
  EXPECT_FALSE(call.IsJump);
  const auto jcc = DecodeInstruction(std::vector<std::uint8_t>{0x7E, 0x02}, 0, TAsmMode::x86);
  EXPECT_TRUE(jcc.IsJump);
  const auto ret = DecodeInstruction(std::vector<std::uint8_t>{0xC3}, 0, TAsmMode::x86);
  EXPECT_TRUE(ret.IsReturn);
  EXPECT_EQ(GetAsmSize({}), 1u);
}

// Code at a base address; nothing readable outside it.
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

TEST(DisAsm, GetInstructionReadsThroughTheCallback) {
  const TFakeMemory memory{0x500000, {0x55, 0x8B, 0xEC, 0xE8, 0x00}};
  TDisAsm disasm(TAsmMode::x86);
  std::uint32_t size = 0;
  std::string text;
  EXPECT_FALSE(disasm.GetInstruction(0x500000, size, text)) << "no callback installed";
  disasm.OnReadMemory = [&](std::uint64_t a, std::span<std::uint8_t> b) { return memory.Read(a, b); };

  ASSERT_TRUE(disasm.GetInstruction(0x500001, size, text));
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(text, "mov ebp, esp");
  // The call's displacement runs past the readable bytes.
  ASSERT_TRUE(disasm.GetInstruction(0x500003, size, text));
  EXPECT_EQ(size, 1u);
  EXPECT_EQ(text, "db 0xE8");
  EXPECT_FALSE(disasm.GetInstruction(0x500005, size, text));
  EXPECT_FALSE(disasm.GetInstruction(0x4FFFFF, size, text));
}

// 32-bit code ends at 4 GB; 64-bit code goes on past it and ends at 2^64.
TEST(DisAsm, TopOfAddressSpaceAsksForNoMoreThanExists) {
  struct Case {
    TAsmMode Mode;
    std::uint64_t Address;
    std::size_t Asked;
  };
  const Case cases[] = {{TAsmMode::x86, 0xFFFFFFFF, 1},
                        {TAsmMode::x64, 0xFFFFFFFF, kMaxInstructionSize},
                        {TAsmMode::x64, 0xFFFFFFFFFFFFFFFE, 2}};
  for (const Case& c : cases) {
    TDisAsm disasm(c.Mode);
    std::size_t asked = 0;
    disasm.OnReadMemory = [&](std::uint64_t, std::span<std::uint8_t> b) {
      asked = b.size();
      b[0] = 0xC3;
      return std::size_t{1};
    };
    std::uint32_t size = 0;
    std::string text;
    ASSERT_TRUE(disasm.GetInstruction(c.Address, size, text));
    EXPECT_EQ(asked, c.Asked) << c.Address;
    EXPECT_EQ(text, "ret");
  }
}

}  // namespace
}  // namespace tracira
