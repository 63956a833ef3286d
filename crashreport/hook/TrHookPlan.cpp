#include "crashreport/hook/TrHookPlan.h"

#include <algorithm>

#include "crashreport/disasm/TrDisAsm.h"

namespace tracira {

namespace {

struct TMoved {
  std::uint32_t Offset = 0;
  std::uint32_t Size = 0;
  bool Valid = false;
};

bool IsPrefix(std::uint8_t b) {
  switch (b) {
    case 0xF0:
    case 0xF2:
    case 0xF3:
    case 0x2E:
    case 0x36:
    case 0x3E:
    case 0x26:
    case 0x64:
    case 0x65:
    case 0x66:
    case 0x67:
      return true;
    default:
      return false;
  }
}

bool IsPadding(std::uint8_t b) { return b == 0xCC || b == 0x90; }

bool EndsFlow(const TAsmInstruction& instruction) {
  if (instruction.IsReturn) return true;
  return instruction.IsJump && (instruction.Text.starts_with("jmp") || instruction.Text.starts_with("ljmp"));
}

std::int32_t ReadInt32(std::span<const std::uint8_t> code, std::size_t at) {
  const std::uint32_t v =
      code[at] | (code[at + 1] << 8) | (code[at + 2] << 16) | (std::uint32_t{code[at + 3]} << 24);
  return static_cast<std::int32_t>(v);
}

void PutRel32(std::vector<std::uint8_t>& out, std::uint32_t endOfInstruction, std::uint32_t to) {
  const std::uint32_t rel = to - endOfInstruction;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(rel >> (8 * i)));
}

}  // namespace

std::array<std::uint8_t, kHookJumpSize> JumpRel32(std::uint32_t from, std::uint32_t to) {
  const std::uint32_t rel = to - (from + kHookJumpSize);
  return {0xE9, static_cast<std::uint8_t>(rel), static_cast<std::uint8_t>(rel >> 8),
          static_cast<std::uint8_t>(rel >> 16), static_cast<std::uint8_t>(rel >> 24)};
}

std::optional<std::uint32_t> IndirectJumpSlot(std::span<const std::uint8_t> code) {
  if (code.size() < 6 || code[0] != 0xFF || code[1] != 0x25) return std::nullopt;
  return static_cast<std::uint32_t>(ReadInt32(code, 2));
}

THookPlan PlanTrampoline(std::span<const std::uint8_t> code, std::uint32_t target, std::uint32_t trampoline) {
  THookPlan plan;
  std::vector<TMoved> moved;
  std::uint32_t covered = 0;
  while (covered < kHookJumpSize) {
    if (covered >= code.size()) {
      plan.Error = THookPlanError::Unreadable;
      return plan;
    }
    // The plan's jumps and trampolines are 32-bit code: so is what it moves.
    const TAsmInstruction instruction =
        DecodeInstruction(code.subspan(covered), target + covered, TAsmMode::x86);
    // Undecodable with fewer bytes than the longest instruction at hand: the
    // bytes may simply end too early, and a guess would move half of one.
    if (!instruction.Valid && code.size() - covered < kMaxInstructionSize) {
      plan.Error = THookPlanError::Unreadable;
      return plan;
    }
    const std::uint32_t size = std::max<std::uint32_t>(instruction.Size, 1);
    moved.push_back({covered, size, instruction.Valid});
    // Any call, direct (E8) or indirect (FF 15, FF /2), returns into the
    // trampoline.
    plan.MovesCall = plan.MovesCall || (instruction.Valid && instruction.IsCall);
    covered += size;
    if (instruction.Valid && EndsFlow(instruction) && covered < kHookJumpSize) {
      // Only padding may be overwritten behind the procedure's end.
      if (code.size() < kHookJumpSize ||
          !std::all_of(code.begin() + covered, code.begin() + kHookJumpSize, IsPadding)) {
        plan.Error = THookPlanError::TooShort;
        return plan;
      }
      moved.push_back({covered, kHookJumpSize - covered, false});
      covered = kHookJumpSize;
    }
  }
  if (covered > code.size()) {
    plan.Error = THookPlanError::Unreadable;
    return plan;
  }

  std::vector<std::uint8_t>& out = plan.Trampoline;
  out.reserve(kTrampolineCapacity);
  for (const TMoved& m : moved) {
    const auto bytes = code.subspan(m.Offset, m.Size);
    std::size_t p = 0;
    bool sizePrefix = false;
    while (p < bytes.size() && IsPrefix(bytes[p])) {
      sizePrefix = sizePrefix || bytes[p] == 0x66 || bytes[p] == 0x67;
      ++p;
    }
    const std::uint8_t op = p < bytes.size() ? bytes[p] : 0;
    const std::uint8_t op2 = p + 1 < bytes.size() ? bytes[p + 1] : 0;
    const bool rel32 = op == 0xE8 || op == 0xE9 || (op == 0x0F && op2 >= 0x80 && op2 <= 0x8F);
    const bool rel8 = op == 0xEB || (op >= 0x70 && op <= 0x7F) || (op >= 0xE0 && op <= 0xE3);
    const std::size_t dispAt = op == 0x0F ? p + 2 : p + 1;
    const std::size_t expected = dispAt + (rel32 ? 4 : 1);
    if (!m.Valid || !(rel32 || rel8)) {
      out.insert(out.end(), bytes.begin(), bytes.end());
      continue;
    }
    if (sizePrefix || expected != bytes.size()) {
      plan.Error = THookPlanError::UnsupportedBranch;
      return plan;
    }
    const std::int32_t disp = rel32 ? ReadInt32(bytes, dispAt) : static_cast<std::int8_t>(bytes[dispAt]);
    const std::uint32_t destination = target + m.Offset + m.Size + static_cast<std::uint32_t>(disp);
    if (destination - target < covered) {
      plan.Error = THookPlanError::BranchIntoPatch;
      return plan;
    }
    const auto here = [&] { return trampoline + static_cast<std::uint32_t>(out.size()); };
    if (op == 0xE8 || op == 0xE9 || op == 0xEB) {  // call / jmp
      out.push_back(op == 0xE8 ? 0xE8 : 0xE9);
      PutRel32(out, here() + 4, destination);
    } else if (op == 0x0F || (op >= 0x70 && op <= 0x7F)) {  // jcc: always the long form
      out.push_back(0x0F);
      out.push_back(static_cast<std::uint8_t>(0x80 | ((op == 0x0F ? op2 : op) & 0x0F)));
      PutRel32(out, here() + 4, destination);
    } else {  // loop, loope, loopne, jecxz: only a short form exists
      // op +2 (to the long jump); jmp short +5 (over it); jmp destination
      out.insert(out.end(), {op, 0x02, 0xEB, 0x05, 0xE9});
      PutRel32(out, here() + 4, destination);
    }
  }
  const auto back = JumpRel32(trampoline + static_cast<std::uint32_t>(out.size()), target + covered);
  out.insert(out.end(), back.begin(), back.end());
  plan.Covered = covered;
  return plan;
}

}  // namespace tracira
