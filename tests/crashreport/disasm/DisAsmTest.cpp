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
  std::uint32_t Address;
  std::uint32_t Size;
  bool Valid;
  const char* Text;
  std::optional<std::uint32_t> Target;
};

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
  };
  for (const TDecodeCase& c : cases) {
    SCOPED_TRACE(c.Text);
    const TAsmInstruction i = DecodeInstruction(c.Bytes, c.Address);
    EXPECT_EQ(i.Address, c.Address);
    EXPECT_EQ(i.Size, c.Size);
    EXPECT_EQ(i.Valid, c.Valid);
    EXPECT_EQ(i.Text, c.Text);
    EXPECT_EQ(i.BranchTarget, c.Target);
    EXPECT_EQ(GetAsmSize(c.Bytes, c.Address), c.Size);
  }
}

TEST(DisAsm, ClassifiesControlFlow) {
  const auto call = DecodeInstruction(std::vector<std::uint8_t>{0xFF, 0x15, 0, 0x30, 0x40, 0}, 0);
  EXPECT_TRUE(call.IsCall);
  EXPECT_FALSE(call.IsJump);
  const auto jcc = DecodeInstruction(std::vector<std::uint8_t>{0x7E, 0x02}, 0);
  EXPECT_TRUE(jcc.IsJump);
  const auto ret = DecodeInstruction(std::vector<std::uint8_t>{0xC3}, 0);
  EXPECT_TRUE(ret.IsReturn);
  EXPECT_EQ(GetAsmSize({}), 1u);
}

// Code at a base address; nothing readable outside it.
struct TFakeMemory {
  std::uint32_t Base = 0;
  std::vector<std::uint8_t> Bytes;
  std::size_t Read(std::uint32_t address, std::span<std::uint8_t> buffer) const {
    if (address < Base || address - Base >= Bytes.size()) return 0;
    const std::size_t n = std::min(buffer.size(), Bytes.size() - (address - Base));
    std::memcpy(buffer.data(), Bytes.data() + (address - Base), n);
    return n;
  }
};

TEST(DisAsm, GetInstructionReadsThroughTheCallback) {
  const TFakeMemory memory{0x500000, {0x55, 0x8B, 0xEC, 0xE8, 0x00}};
  TDisAsm disasm;
  std::uint32_t size = 0;
  std::string text;
  EXPECT_FALSE(disasm.GetInstruction(0x500000, size, text)) << "no callback installed";
  disasm.OnReadMemory = [&](std::uint32_t a, std::span<std::uint8_t> b) { return memory.Read(a, b); };

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

TEST(DisAsm, TopOfAddressSpaceAsksForNoMoreThanExists) {
  TDisAsm disasm;
  std::size_t asked = 0;
  disasm.OnReadMemory = [&](std::uint32_t, std::span<std::uint8_t> b) {
    asked = b.size();
    b[0] = 0xC3;
    return b.size();
  };
  std::uint32_t size = 0;
  std::string text;
  ASSERT_TRUE(disasm.GetInstruction(0xFFFFFFFF, size, text));
  EXPECT_EQ(asked, 1u);
  EXPECT_EQ(text, "ret");
}

}  // namespace
}  // namespace tracira
