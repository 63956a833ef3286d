#include "crashreport/hook/TrHookPlan.h"

#include <algorithm>
#include <limits>

namespace tracira {

namespace {

struct TMoved {
  std::uint32_t Offset = 0;
  std::uint32_t Size = 0;
  bool Valid = false;
  // A RIP-relative operand: where its displacement sits, what it designates.
  std::uint32_t RipDisplacementOffset = 0;
  std::optional<std::uint64_t> RipTarget;
};

bool IsPrefix(std::uint8_t b, TAsmMode mode) {
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
      // REX in 64-bit code; inc/dec registers in 32-bit code.
      return mode == TAsmMode::x64 && b >= 0x40 && b <= 0x4F;
  }
}

bool IsPadding(std::uint8_t b) { return b == 0xCC || b == 0x90; }

bool EndsFlow(const TAsmInstruction& instruction) {
  if (instruction.IsReturn) return true;
  return instruction.IsJump && (instruction.Text.starts_with("jmp") || instruction.Text.starts_with("ljmp"));
}

// Addresses of 32-bit code wrap at 4 GB.
std::uint64_t Wrap(std::uint64_t address, TAsmMode mode) {
  return mode == TAsmMode::x86 ? address & 0xFFFFFFFFu : address;
}

std::int32_t ReadInt32(std::span<const std::uint8_t> code, std::size_t at) {
  const std::uint32_t v =
      code[at] | (code[at + 1] << 8) | (code[at + 2] << 16) | (std::uint32_t{code[at + 3]} << 24);
  return static_cast<std::int32_t>(v);
}

void WriteUint32(std::uint8_t* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The displacement from the end of an instruction to 'to'; none when 64-bit
// code can't reach it in 32 bits (32-bit code reaches everything by wrapping).
std::optional<std::uint32_t> Displacement(std::uint64_t endOfInstruction, std::uint64_t to, TAsmMode mode) {
  const auto distance = static_cast<std::int64_t>(to - endOfInstruction);
  if (mode == TAsmMode::x64 && (distance < std::numeric_limits<std::int32_t>::min() ||
                                distance > std::numeric_limits<std::int32_t>::max()))
    return std::nullopt;
  return static_cast<std::uint32_t>(distance);
}

bool PutRel32(std::vector<std::uint8_t>& out, std::uint64_t endOfInstruction, std::uint64_t to,
              TAsmMode mode) {
  const auto rel = Displacement(endOfInstruction, to, mode);
  if (!rel) return false;
  out.resize(out.size() + 4);
  WriteUint32(out.data() + out.size() - 4, *rel);
  return true;
}

}  // namespace

std::array<std::uint8_t, kHookJumpSize> JumpRel32(std::uint64_t from, std::uint64_t to) {
  const auto rel = static_cast<std::uint32_t>(to - (from + kHookJumpSize));
  return {0xE9, static_cast<std::uint8_t>(rel), static_cast<std::uint8_t>(rel >> 8),
          static_cast<std::uint8_t>(rel >> 16), static_cast<std::uint8_t>(rel >> 24)};
}

bool Rel32Reaches(std::uint64_t from, std::uint64_t to) {
  return Displacement(from + kHookJumpSize, to, TAsmMode::x64).has_value();
}

std::array<std::uint8_t, kRelaySize> RelayJump(std::uint64_t to) {
  std::array<std::uint8_t, kRelaySize> relay{0xFF, 0x25, 0, 0, 0, 0};
  for (int i = 0; i < 8; ++i) relay[6 + i] = static_cast<std::uint8_t>(to >> (8 * i));
  return relay;
}

std::optional<std::uint64_t> IndirectJumpSlot(std::span<const std::uint8_t> code, std::uint64_t address,
                                              TAsmMode mode) {
  // Some 64-bit thunks carry a REX.W the jump ignores.
  const std::size_t rex = mode == TAsmMode::x64 && !code.empty() && code[0] == 0x48 ? 1 : 0;
  if (code.size() < rex + 6 || code[rex] != 0xFF || code[rex + 1] != 0x25) return std::nullopt;
  const std::int32_t disp = ReadInt32(code, rex + 2);
  if (mode == TAsmMode::x86) return static_cast<std::uint32_t>(disp);
  return address + rex + 6 + static_cast<std::uint64_t>(static_cast<std::int64_t>(disp));
}

THookPlan PlanTrampoline(std::span<const std::uint8_t> code, std::uint64_t target, std::uint64_t trampoline,
                         TAsmMode mode) {
  THookPlan plan;
  std::vector<TMoved> moved;
  std::uint32_t covered = 0;
  while (covered < kHookJumpSize) {
    if (covered >= code.size()) {
      plan.Error = THookPlanError::Unreadable;
      return plan;
    }
    const TAsmInstruction instruction =
        DecodeInstruction(code.subspan(covered), Wrap(target + covered, mode), mode);
    // Undecodable with fewer bytes than the longest instruction at hand: the
    // bytes may simply end too early, and a guess would move half of one.
    if (!instruction.Valid && code.size() - covered < kMaxInstructionSize) {
      plan.Error = THookPlanError::Unreadable;
      return plan;
    }
    const std::uint32_t size = std::max<std::uint32_t>(instruction.Size, 1);
    moved.push_back(
        {covered, size, instruction.Valid, instruction.RipDisplacementOffset, instruction.RipTarget});
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
      moved.push_back({covered, kHookJumpSize - covered, false, 0, std::nullopt});
      covered = kHookJumpSize;
    }
  }
  if (covered > code.size()) {
    plan.Error = THookPlanError::Unreadable;
    return plan;
  }

  std::vector<std::uint8_t>& out = plan.Trampoline;
  out.reserve(kTrampolineCapacity);
  const auto here = [&] { return Wrap(trampoline + out.size(), mode); };
  const auto fail = [&](THookPlanError error) {
    plan.Error = error;
    out.clear();
    return plan;
  };
  for (const TMoved& m : moved) {
    const auto bytes = code.subspan(m.Offset, m.Size);
    std::size_t p = 0;
    bool sizePrefix = false;
    while (p < bytes.size() && IsPrefix(bytes[p], mode)) {
      sizePrefix = sizePrefix || bytes[p] == 0x66 || bytes[p] == 0x67;
      ++p;
    }
    const std::uint8_t op = p < bytes.size() ? bytes[p] : 0;
    const std::uint8_t op2 = p + 1 < bytes.size() ? bytes[p + 1] : 0;
    const bool rel32 = op == 0xE8 || op == 0xE9 || (op == 0x0F && op2 >= 0x80 && op2 <= 0x8F);
    const bool rel8 = op == 0xEB || (op >= 0x70 && op <= 0x7F) || (op >= 0xE0 && op <= 0xE3);
    const std::size_t dispAt = op == 0x0F ? p + 2 : p + 1;
    const std::size_t expected = dispAt + (rel32 ? 4 : 1);
    if (m.Valid && m.RipTarget && !(rel32 || rel8)) {
      // The operand keeps designating the same address from its new place.
      if (m.RipDisplacementOffset == 0 || m.RipDisplacementOffset + 4 > m.Size)
        return fail(THookPlanError::Unrelocatable);
      const auto disp = Displacement(here() + m.Size, *m.RipTarget, mode);
      if (!disp) return fail(THookPlanError::Unrelocatable);
      out.insert(out.end(), bytes.begin(), bytes.end());
      WriteUint32(out.data() + out.size() - m.Size + m.RipDisplacementOffset, *disp);
      continue;
    }
    if (!m.Valid || !(rel32 || rel8)) {
      out.insert(out.end(), bytes.begin(), bytes.end());
      continue;
    }
    if (sizePrefix || expected != bytes.size()) return fail(THookPlanError::UnsupportedBranch);
    const std::int32_t disp = rel32 ? ReadInt32(bytes, dispAt) : static_cast<std::int8_t>(bytes[dispAt]);
    const std::uint64_t destination =
        Wrap(target + m.Offset + m.Size + static_cast<std::uint64_t>(static_cast<std::int64_t>(disp)), mode);
    if (Wrap(destination - target, mode) < covered) return fail(THookPlanError::BranchIntoPatch);
    bool reaches = true;
    if (op == 0xE8 || op == 0xE9 || op == 0xEB) {  // call / jmp
      out.push_back(op == 0xE8 ? 0xE8 : 0xE9);
      reaches = PutRel32(out, here() + 4, destination, mode);
    } else if (op == 0x0F || (op >= 0x70 && op <= 0x7F)) {  // jcc: always the long form
      out.push_back(0x0F);
      out.push_back(static_cast<std::uint8_t>(0x80 | ((op == 0x0F ? op2 : op) & 0x0F)));
      reaches = PutRel32(out, here() + 4, destination, mode);
    } else {  // loop, loope, loopne, jecxz/jrcxz: only a short form exists
      // op +2 (to the long jump); jmp short +5 (over it); jmp destination
      out.insert(out.end(), {op, 0x02, 0xEB, 0x05, 0xE9});
      reaches = PutRel32(out, here() + 4, destination, mode);
    }
    if (!reaches) return fail(THookPlanError::Unrelocatable);
  }
  const std::uint64_t backFrom = here();
  if (mode == TAsmMode::x64 && !Rel32Reaches(backFrom, target + covered))
    return fail(THookPlanError::Unrelocatable);
  const auto back = JumpRel32(backFrom, Wrap(target + covered, mode));
  out.insert(out.end(), back.begin(), back.end());
  plan.Covered = covered;
  return plan;
}

}  // namespace tracira
