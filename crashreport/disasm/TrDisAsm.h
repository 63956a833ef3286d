// The x86 instruction decoder (32- or 64-bit code) behind the report's
// assembler section and the hook's length measurement. It works on bytes and addresses it is
// given, so it runs and is tested the same on every platform; reading the
// process's own memory is left to a callback.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace tracira {

// The longest x86 instruction.
inline constexpr std::size_t kMaxInstructionSize = 15;

// Which code is decoded. A process decodes its own kind only (kProcessAsmMode);
// the mode is a parameter so that the natively run tests cover both.
enum class TAsmMode { x86, x64 };
#if defined(_WIN64)
inline constexpr TAsmMode kProcessAsmMode = TAsmMode::x64;
#else
inline constexpr TAsmMode kProcessAsmMode = TAsmMode::x86;
#endif

// One past the highest address of the mode's address space (0 for x64: the
// whole 64-bit range).
constexpr std::uint64_t AddressSpaceEnd(TAsmMode mode) {
  return mode == TAsmMode::x86 ? std::uint64_t{0x100000000} : 0;
}

struct TAsmInstruction {
  std::uint64_t Address = 0;
  std::uint32_t Size = 0;  // 1 for a byte that doesn't decode
  bool Valid = false;      // false: the byte is shown as "db 0xNN"
  std::string Text;        // "mov eax, dword ptr [ebp - 8]"
  bool IsCall = false;
  bool IsJump = false;  // conditional or not, relative or indirect
  bool IsReturn = false;
  // Target of a direct (relative) jump or call.
  std::optional<std::uint64_t> BranchTarget;
  // A memory operand addressed from the instruction's end (x86-64
  // "[rip + d]"): where its 32-bit displacement sits in the instruction and
  // the address it designates. Code that moves the instruction must rewrite
  // the displacement.
  std::uint32_t RipDisplacementOffset = 0;  // 0: no such operand
  std::optional<std::uint64_t> RipTarget;
};

// Decodes the instruction at code[0], which the program sees at address.
// Bytes that don't form a whole instruction give one "db" byte.
TAsmInstruction DecodeInstruction(std::span<const std::uint8_t> code, std::uint64_t address,
                                  TAsmMode mode = kProcessAsmMode);

// Length of the instruction at code[0]; 1 when it can't be measured.
std::uint32_t GetAsmSize(std::span<const std::uint8_t> code, std::uint64_t address = 0,
                         TAsmMode mode = kProcessAsmMode);

// The disassembler object of the report. The callbacks are installed before
// use: OnReadMemory reads the code, OnAddressName names branch targets in the
// comments of the assembler section.
class TDisAsm {
 public:
  // Copies the bytes at address into buffer and returns how many could be
  // read (a short count stops at the first unreadable byte).
  using TReadMemory = std::function<std::size_t(std::uint64_t address, std::span<std::uint8_t> buffer)>;
  // A name for a code address ("TfmMain.DoWork"); empty when unknown.
  using TAddressName = std::function<std::string(std::uint64_t address)>;

  explicit TDisAsm(TAsmMode mode = kProcessAsmMode);
  ~TDisAsm();
  TDisAsm(const TDisAsm&) = delete;
  TDisAsm& operator=(const TDisAsm&) = delete;

  TReadMemory OnReadMemory;
  TAddressName OnAddressName;

  // Length in bytes and text of the instruction at address; false when not
  // even its first byte can be read.
  bool GetInstruction(std::uint64_t address, std::uint32_t& size, std::string& text) const;
  // The same with the details the assembler section uses.
  std::optional<TAsmInstruction> Decode(std::uint64_t address) const;
  TAsmMode Mode() const { return fMode; }

 private:
  struct TDecoder;
  TAsmMode fMode;
  std::unique_ptr<TDecoder> fDecoder;
};

}  // namespace tracira
