// The frames of an x86-64 stack, found from the unwind tables of the code
// (the images' exception directories) rather than guessed by the scan. It
// runs at report time on a copy of the stack taken while the thread stood
// (the stack may have unwound or moved since), so it reads everything
// through memory readers and never touches the live stack; the images it
// reads stay mapped while their modules are loaded. Tables that make no
// sense end the walk, and the scan goes on from where it ended.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "crashreport/core/TrTypes.h"
#include "crashreport/debug/TrCallScan.h"

namespace tracira {

// The registers an unwind step reads or restores, numbered as the unwind
// codes number them: 0 RAX, 1 RCX, 2 RDX, 3 RBX, 4 RSP, 5 RBP, 6 RSI,
// 7 RDI, 8..15 R8..R15.
struct TTrX64Registers {
  std::uint64_t Rip = 0;
  std::array<std::uint64_t, 16> Gpr{};
  std::uint64_t& Rsp() { return Gpr[4]; }
  std::uint64_t Rsp() const { return Gpr[4]; }
};

struct TTrUnwoundFrame {
  TTrAddress ReturnAddress = 0;  // where the frame's caller goes on
  TTrAddress StackPointer = 0;   // the caller's stack pointer after the return
};

inline constexpr int kMaxUnwoundFrames = 512;

// Walks from registers (Rip inside the innermost function, Rsp its stack
// pointer) outwards while each step finds the function's unwind data, the
// stack pointer grows and stays below top, and the address returned to
// follows a call instruction. A function without unwind data is a leaf
// only as the innermost frame; anywhere else the walk ends there.
std::vector<TTrUnwoundFrame> UnwindX64(TTrMemoryReader& stack, TTrMemoryReader& images,
                                       const TTrImageBaseOf& imageBaseOf, TTrX64Registers registers,
                                       TTrAddress top);

}  // namespace tracira
