// Planning a code patch: how many bytes move, and that the moved
// instructions do in the trampoline what they did at the target.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "crashreport/disasm/TrDisAsm.h"
#include "crashreport/hook/TrHookPlan.h"

namespace tracira {
namespace {

constexpr std::uint32_t kTarget = 0x00401000;
constexpr std::uint32_t kTrampoline = 0x00A00000;
// 64-bit code: an image where Wine loads programs, its block just below.
constexpr std::uint64_t kTarget64 = 0x140001000;
constexpr std::uint64_t kTrampoline64 = 0x13FFF0000;

std::string Hex(std::uint64_t v) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
  return text;
}

// The code as text, a RIP-relative operand shown as the address it designates
// (Capstone prints it as "rip + d", which differs wherever the code lies).
std::vector<std::string> Listing(std::span<const std::uint8_t> code, std::uint64_t address,
                                 TAsmMode mode = TAsmMode::x86) {
  static const std::regex rip("rip( [+-] 0x[0-9a-f]+)?");
  std::vector<std::string> lines;
  for (std::uint32_t at = 0; at < code.size();) {
    const TAsmInstruction i = DecodeInstruction(code.subspan(at), address + at, mode);
    lines.push_back(i.RipTarget ? std::regex_replace(i.Text, rip, Hex(*i.RipTarget)) : i.Text);
    at += i.Size;
  }
  return lines;
}

// Code whose moved instructions keep their meaning when listed at the
// trampoline: Capstone prints branch targets as absolute addresses, so a
// correctly relocated branch reads exactly as the original.
struct TFaithfulCase {
  const char* Name;
  std::vector<std::uint8_t> Code;
  std::uint32_t Covered;
  bool MovesCall;
};

void ExpectFaithful(std::span<const TFaithfulCase> cases, TAsmMode mode, std::uint64_t target,
                    std::uint64_t trampoline) {
  for (const TFaithfulCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const THookPlan plan = PlanTrampoline(c.Code, target, trampoline, mode);
    ASSERT_EQ(plan.Error, THookPlanError::None);
    EXPECT_EQ(plan.Covered, c.Covered);
    EXPECT_EQ(plan.MovesCall, c.MovesCall);
    ASSERT_LE(plan.Trampoline.size(), kTrampolineCapacity);

    std::vector<std::string> expected = Listing(std::span(c.Code).first(c.Covered), target, mode);
    expected.push_back("jmp " + Hex(target + c.Covered));
    EXPECT_EQ(Listing(plan.Trampoline, trampoline, mode), expected);
  }
}

TEST(HookPlan, MovedInstructionsMeanTheSameInTheTrampoline) {
  const TFaithfulCase cases[] = {
      {"frame prologue", {0x55, 0x8B, 0xEC, 0x83, 0xEC, 0x10, 0x90}, 6, false},
      {"exactly five", {0xB8, 0x01, 0x00, 0x00, 0x00, 0xC3}, 5, false},
      {"call first", {0xE8, 0x10, 0x00, 0x00, 0x00, 0x03, 0x44, 0x24, 0x04, 0xC3}, 5, true},
      {"call second", {0x55, 0xE8, 0xF0, 0xFF, 0xFF, 0xFF, 0x5D, 0xC3}, 6, true},
      // Indirect calls return into the trampoline just the same.
      {"call through a slot", {0xFF, 0x15, 0x00, 0x20, 0x40, 0x00, 0x5D, 0xC3}, 6, true},
      {"call through a register", {0x55, 0x89, 0xE5, 0xFF, 0xD0, 0x5D, 0xC3}, 5, true},
      {"call through memory", {0x55, 0xFF, 0x54, 0x24, 0x08, 0x5D, 0xC3}, 5, true},
      {"jmp through a slot is no call", {0x55, 0xFF, 0x25, 0x00, 0x20, 0x40, 0x00}, 7, false},
      {"short jcc", {0x85, 0xC9, 0x7E, 0x20, 0x8D, 0x04, 0x09, 0xC3}, 7, false},
      {"long jcc", {0x85, 0xC0, 0x0F, 0x84, 0x00, 0x01, 0x00, 0x00, 0xC3}, 8, false},
      {"short jmp", {0x31, 0xC0, 0xEB, 0x10, 0xCC, 0xCC, 0xCC}, 5, false},
      {"long jmp", {0xE9, 0x00, 0x10, 0x00, 0x00, 0xCC}, 5, false},
      {"ret then padding", {0x31, 0xC0, 0xC3, 0xCC, 0x90, 0x55}, 5, false},
      {"branch hint kept out", {0x85, 0xC0, 0x3E, 0x74, 0x30, 0x90}, 5, false},
  };
  ExpectFaithful(cases, TAsmMode::x86, kTarget, kTrampoline);
}

TEST(HookPlan, MovedInstructionsMeanTheSameInTheTrampoline64) {
  const TFaithfulCase cases[] = {
      {"frame prologue", {0x55, 0x48, 0x89, 0xE5, 0x48, 0x83, 0xEC, 0x20, 0x90}, 8, false},
      {"rip-relative mov", {0x48, 0x8B, 0x05, 0x00, 0x10, 0x00, 0x00, 0xC3}, 7, false},
      {"rip-relative lea backwards", {0x48, 0x8D, 0x0D, 0xF0, 0xFF, 0xFF, 0xFF, 0xC3}, 7, false},
      // The displacement lies before an immediate, not at the end.
      {"rip-relative cmp with an immediate", {0x83, 0x3D, 0x20, 0x00, 0x00, 0x00, 0x05, 0xC3}, 7, false},
      {"call through a rip-relative slot", {0xFF, 0x15, 0x00, 0x20, 0x00, 0x00, 0x5D, 0xC3}, 6, true},
      {"jmp through a rip-relative slot", {0xFF, 0x25, 0x00, 0x20, 0x00, 0x00, 0xCC}, 6, false},
      {"call rel32", {0xE8, 0x10, 0x00, 0x00, 0x00, 0x01, 0xC8, 0xC3}, 5, true},
      {"short jcc", {0x85, 0xC9, 0x7E, 0x20, 0x8D, 0x04, 0x09, 0xC3}, 7, false},
      {"short jmp then padding", {0x31, 0xC0, 0xEB, 0x10, 0xCC, 0xCC, 0xCC}, 5, false},
      {"ret then padding", {0x31, 0xC0, 0xC3, 0xCC, 0xCC, 0x55}, 5, false},
  };
  ExpectFaithful(cases, TAsmMode::x64, kTarget64, kTrampoline64);
}

TEST(HookPlan, ShortOnlyBranchesAreRoutedThroughALongJump) {
  // mov ecx, [esp+4]; jecxz +0x10  (to 401016)
  const std::vector<std::uint8_t> code{0x8B, 0x4C, 0x24, 0x04, 0xE3, 0x10, 0x8D, 0x41, 0x01, 0xC3};
  const THookPlan plan = PlanTrampoline(code, kTarget, kTrampoline);
  ASSERT_EQ(plan.Error, THookPlanError::None);
  EXPECT_EQ(plan.Covered, 6u);
  const std::vector<std::string> expected{
      "mov ecx, dword ptr [esp + 4]",
      "jecxz " + Hex(kTrampoline + 4 + 2 + 2),    // taken: to the long jump
      "jmp " + Hex(kTrampoline + 4 + 2 + 2 + 5),  // not taken: over it
      "jmp " + Hex(kTarget + 0x16),
      "jmp " + Hex(kTarget + 6),
  };
  EXPECT_EQ(Listing(plan.Trampoline, kTrampoline), expected);
}

TEST(HookPlan, UnmeasurableBytesCountAsOneEach) {
  std::vector<std::uint8_t> code{0x0F, 0x04, 0x0F, 0x04, 0x55, 0x8B, 0xEC};
  code.resize(kHookPlanReadSize, 0x90);
  const THookPlan plan = PlanTrampoline(code, kTarget, kTrampoline);
  ASSERT_EQ(plan.Error, THookPlanError::None);
  // 0F (1, undecodable), 04 0F (add al, 0xf), 04 55 (add al, 0x55).
  EXPECT_EQ(plan.Covered, 5u);
  EXPECT_TRUE(std::equal(code.begin(), code.begin() + plan.Covered, plan.Trampoline.begin()));
  EXPECT_EQ(plan.Trampoline.size(), plan.Covered + kHookJumpSize);
}

struct TRefusedCase {
  const char* Name;
  std::vector<std::uint8_t> Code;
  THookPlanError Error;
};

void ExpectRefused(std::span<const TRefusedCase> cases, TAsmMode mode, std::uint64_t target,
                   std::uint64_t trampoline) {
  for (const TRefusedCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(PlanTrampoline(c.Code, target, trampoline, mode).Error, c.Error);
  }
}

TEST(HookPlan, RefusesPatchesThatWouldBreakCode) {
  const TRefusedCase cases[] = {
      {"returns before 5 bytes into the next procedure",
       {0x31, 0xC0, 0xC3, 0x55, 0x8B, 0xEC},
       THookPlanError::TooShort},
      {"jumps away before 5 bytes", {0xEB, 0x10, 0x55, 0x8B, 0xEC, 0x90}, THookPlanError::TooShort},
      {"loops back to its own start", {0x90, 0x74, 0xFD, 0x90, 0x90, 0x90}, THookPlanError::BranchIntoPatch},
      {"jumps forward into the patch", {0x74, 0x01, 0x90, 0x90, 0x90, 0x90}, THookPlanError::BranchIntoPatch},
      {"16-bit relative jump", {0x66, 0xE9, 0x10, 0x00, 0x90, 0x90}, THookPlanError::UnsupportedBranch},
      {"fewer bytes than one patch", {0x55, 0x8B, 0xEC}, THookPlanError::Unreadable},
      {"instruction cut by the end", {0x55, 0x8B, 0xEC, 0x83, 0xEC}, THookPlanError::Unreadable},
      {"nothing", {}, THookPlanError::Unreadable},
  };
  ExpectRefused(cases, TAsmMode::x86, kTarget, kTrampoline);
}

TEST(HookPlan, RefusesPatchesThatWouldBreakCode64) {
  const TRefusedCase cases[] = {
      {"returns before 5 bytes into the next procedure",
       {0x31, 0xC0, 0xC3, 0x55, 0x48, 0x89, 0xE5},
       THookPlanError::TooShort},
      {"loops back to its own start", {0x90, 0x74, 0xFD, 0x90, 0x90, 0x90}, THookPlanError::BranchIntoPatch},
      {"jecxz, a 32-bit counter", {0x67, 0xE3, 0x10, 0x90, 0x90, 0x90}, THookPlanError::UnsupportedBranch},
      // 2 GB above the target is beyond the trampoline's reach below it.
      {"rip operand out of reach",
       {0x48, 0x8B, 0x05, 0xF0, 0xFF, 0xFF, 0x7F, 0xC3},
       THookPlanError::Unrelocatable},
      {"call out of reach", {0xE8, 0xF0, 0xFF, 0xFF, 0x7F, 0xC3}, THookPlanError::Unrelocatable},
      {"instruction cut by the end", {0x55, 0x48, 0x89}, THookPlanError::Unreadable},
      {"nothing", {}, THookPlanError::Unreadable},
  };
  ExpectRefused(cases, TAsmMode::x64, kTarget64, kTrampoline64);
}

TEST(HookPlan, JumpAndThunkEncodings) {
  EXPECT_EQ(JumpRel32(0x401000, 0x401005), (std::array<std::uint8_t, 5>{0xE9, 0, 0, 0, 0}));
  EXPECT_EQ(JumpRel32(0x401000, 0x400000), (std::array<std::uint8_t, 5>{0xE9, 0xFB, 0xEF, 0xFF, 0xFF}));
  using TBytes = std::vector<std::uint8_t>;
  const auto x86 = TAsmMode::x86;
  EXPECT_EQ(IndirectJumpSlot(TBytes{0xFF, 0x25, 0x78, 0x56, 0x34, 0x12}, kTarget, x86), 0x12345678u);
  EXPECT_EQ(IndirectJumpSlot(TBytes{0xFF, 0x15, 0x78, 0x56, 0x34, 0x12}, kTarget, x86), std::nullopt);
  EXPECT_EQ(IndirectJumpSlot(TBytes{0xFF, 0x25, 0x78}, kTarget, x86), std::nullopt);
  // 64-bit thunks address their slot from the jump's end.
  const auto x64 = TAsmMode::x64;
  EXPECT_EQ(IndirectJumpSlot(TBytes{0xFF, 0x25, 0x10, 0x00, 0x00, 0x00}, kTarget64, x64),
            kTarget64 + 6 + 0x10);
  EXPECT_EQ(IndirectJumpSlot(TBytes{0x48, 0xFF, 0x25, 0xF0, 0xFF, 0xFF, 0xFF}, kTarget64, x64),
            kTarget64 + 7 - 0x10);
  EXPECT_EQ(IndirectJumpSlot(TBytes{0x48, 0xFF, 0x25, 0xF0, 0xFF, 0xFF}, kTarget64, x64), std::nullopt);

  EXPECT_EQ(JumpRel32(kTarget64, kTrampoline64), (std::array<std::uint8_t, 5>{0xE9, 0xFB, 0xEF, 0xFE, 0xFF}));
  EXPECT_TRUE(Rel32Reaches(kTarget64, kTarget64 + 0x7FFFFFFF + kHookJumpSize));
  EXPECT_FALSE(Rel32Reaches(kTarget64, kTarget64 + 0x80000000 + kHookJumpSize));
  EXPECT_FALSE(Rel32Reaches(kTarget64, kTarget64 - 0x80000001 + kHookJumpSize));
  const auto relay = RelayJump(0x7FFE12345678);
  EXPECT_EQ(Listing(std::span(relay).first(6), kTrampoline64, x64),
            std::vector<std::string>{"jmp qword ptr [" + Hex(kTrampoline64 + 6) + "]"});
  EXPECT_EQ(TBytes(relay.begin() + 6, relay.end()), (TBytes{0x78, 0x56, 0x34, 0x12, 0xFE, 0x7F, 0x00, 0x00}));
}

}  // namespace
}  // namespace tracira
