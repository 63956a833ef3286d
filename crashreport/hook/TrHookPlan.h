// Planning a code patch: which whole instructions at the start of a
// procedure are moved into the trampoline, and the trampoline's bytes with
// relative jumps, calls and RIP-relative operands relocated. Pure byte work
// for 32- and 64-bit code alike, tested on every platform; TrHook applies the
// plan to the process's memory.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "crashreport/disasm/TrDisAsm.h"

namespace tracira {

// The jump written over a hooked procedure's start.
inline constexpr std::uint32_t kHookJumpSize = 5;
// Bytes to read at a target for planning: the jump's span plus one longest
// instruction beyond it.
inline constexpr std::uint32_t kHookPlanReadSize = kHookJumpSize - 1 + 15;
// Room to allocate for any trampoline: the covered bytes can grow when short
// branches are rewritten in their long forms.
inline constexpr std::uint32_t kTrampolineCapacity = 128;
// In 64-bit code the patch's rel32 can't reach every replacement: it jumps
// to a relay near the target, "jmp qword ptr [rip + 0]" and the replacement's
// 8-byte address.
inline constexpr std::uint32_t kRelaySize = 14;

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
  // 64-bit code: a moved branch or RIP-relative operand whose destination is
  // out of the trampoline's 32-bit reach, or whose displacement can't be
  // found in the instruction.
  Unrelocatable,
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
// fewer is allowed when the procedure is known to end before them). In
// 64-bit code the trampoline must lie within 2 GB of the target.
THookPlan PlanTrampoline(std::span<const std::uint8_t> code, std::uint64_t target, std::uint64_t trampoline,
                         TAsmMode mode = kProcessAsmMode);

// E9 and the displacement from the end of the jump at 'from' to 'to'. In
// 64-bit code the caller makes sure 'to' is within reach (Rel32Reaches).
std::array<std::uint8_t, kHookJumpSize> JumpRel32(std::uint64_t from, std::uint64_t to);

// Whether a 32-bit displacement from 'from' reaches 'to' (64-bit code).
bool Rel32Reaches(std::uint64_t from, std::uint64_t to);

// "jmp qword ptr [rip + 0]" followed by the address: jumps to 'to' from
// anywhere.
std::array<std::uint8_t, kRelaySize> RelayJump(std::uint64_t to);

// The slot of a leading indirect jump, the form of an import thunk, when
// code (seen at address) starts with one: "jmp dword ptr [slot]" (FF 25
// slot) in 32-bit code, "jmp qword ptr [rip + d]" (FF 25 d, the slot at the
// jump's end + d) in 64-bit code.
std::optional<std::uint64_t> IndirectJumpSlot(std::span<const std::uint8_t> code, std::uint64_t address,
                                              TAsmMode mode = kProcessAsmMode);

}  // namespace tracira
