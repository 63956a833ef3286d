// Planning a code patch: which whole instructions at the start of a
// procedure are moved into the trampoline, and the trampoline's bytes with
// relative jumps and calls relocated. Pure byte work, tested on every
// platform; TrHook applies the plan to the process's memory.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tracira {

// The jump written over a hooked procedure's start.
inline constexpr std::uint32_t kHookJumpSize = 5;
// Bytes to read at a target for planning: the jump's span plus one longest
// instruction beyond it.
inline constexpr std::uint32_t kHookPlanReadSize = kHookJumpSize - 1 + 15;
// Room to allocate for any trampoline: the covered bytes can grow when short
// branches are rewritten in their long forms.
inline constexpr std::uint32_t kTrampolineCapacity = 128;

enum class THookPlanError {
  None,
  // The procedure ends (return or jump) before the patch's 5 bytes and what
  // follows isn't padding: the patch would overwrite the next procedure.
  TooShort,
  // A branch among the moved instructions lands inside the patched bytes.
  BranchIntoPatch,
  // A relative branch with an operand- or address-size prefix (16-bit
  // target or CX counter), which can't be moved faithfully.
  UnsupportedBranch,
  // Fewer bytes were readable than the moved instructions need.
  Unreadable,
};

struct THookPlan {
  THookPlanError Error = THookPlanError::None;
  // Bytes of whole instructions taken from the target (>= 5 on success).
  std::uint32_t Covered = 0;
  // The trampoline: the moved instructions, relocated, and a jump back to
  // target + Covered. Its size is at most kTrampolineCapacity.
  std::vector<std::uint8_t> Trampoline;
  // A call was moved (direct or indirect): its return address points into
  // the trampoline, which therefore must never be freed.
  bool MovesCall = false;
};

// code holds the bytes at target (kHookPlanReadSize of them when readable;
// fewer is allowed when the procedure is known to end before them).
THookPlan PlanTrampoline(std::span<const std::uint8_t> code, std::uint32_t target, std::uint32_t trampoline);

// E9 and the displacement from the end of the jump at 'from' to 'to'.
std::array<std::uint8_t, kHookJumpSize> JumpRel32(std::uint32_t from, std::uint32_t to);

// The target of a leading indirect jump "jmp dword ptr [slot]" (FF 25), the
// form of an import thunk: the slot's address, when code starts with one.
std::optional<std::uint32_t> IndirectJumpSlot(std::span<const std::uint8_t> code);

}  // namespace tracira
