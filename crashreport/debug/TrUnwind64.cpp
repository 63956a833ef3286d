#include "crashreport/debug/TrUnwind64.h"

#include <cstring>

namespace tracira {

namespace {

// Unwind operations (the low four bits of an unwind code's second byte).
enum : std::uint8_t {
  kPushNonVolatile = 0,
  kAllocLarge = 1,
  kAllocSmall = 2,
  kSetFramePointer = 3,
  kSaveNonVolatile = 4,
  kSaveNonVolatileFar = 5,
  kSaveXmmOrEpilog = 6,  // version 1: an XMM save; version 2: an epilog's description
  kSaveXmmFar = 7,
  kSaveXmm128 = 8,
  kSaveXmm128Far = 9,
  kPushMachineFrame = 10,
};

constexpr std::uint8_t kChainedInfo = 4;  // UNW_FLAG_CHAININFO
constexpr int kMaxChain = 32;
// More than any real table: a count beyond it is damage, not code.
constexpr std::uint32_t kMaxFunctionEntries = 1u << 22;

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16 |
         static_cast<std::uint32_t>(p[3]) << 24;
}

bool Read32(TTrMemoryReader& memory, TTrAddress address, std::uint32_t& out) {
  std::uint8_t b[4];
  if (!memory.Read(address, b, sizeof b)) return false;
  out = Le32(b);
  return true;
}

bool Read64(TTrMemoryReader& memory, TTrAddress address, std::uint64_t& out) {
  std::uint8_t b[8];
  if (!memory.Read(address, b, sizeof b)) return false;
  out = Le32(b) | std::uint64_t{Le32(b + 4)} << 32;
  return true;
}

struct TFunctionEntry {
  std::uint32_t Begin = 0, End = 0, UnwindInfo = 0;
};

bool ReadEntry(TTrMemoryReader& images, TTrAddress at, TFunctionEntry& out) {
  std::uint8_t b[12];
  if (!images.Read(at, b, sizeof b)) return false;
  out = {Le32(b), Le32(b + 4), Le32(b + 8)};
  return true;
}

// The exception directory's entry for rva, by binary search of the image's
// sorted table.
std::optional<TFunctionEntry> FindFunction(TTrMemoryReader& images, TTrAddress base, std::uint32_t rva) {
  std::uint32_t lfanew = 0, signature = 0;
  std::uint8_t mz[2];
  if (!images.Read(base, mz, 2) || mz[0] != 'M' || mz[1] != 'Z') return std::nullopt;
  if (!Read32(images, base + 0x3C, lfanew) || !Read32(images, base + lfanew, signature) ||
      signature != 0x00004550)
    return std::nullopt;
  const TTrAddress optional = base + lfanew + 24;
  std::uint8_t magic[2];
  if (!images.Read(optional, magic, 2) || (magic[0] | magic[1] << 8) != 0x20B) return std::nullopt;
  std::uint32_t directories = 0, tableRva = 0, tableSize = 0;
  if (!Read32(images, optional + 108, directories) || directories <= 3 ||
      !Read32(images, optional + 112 + 3 * 8, tableRva) ||
      !Read32(images, optional + 112 + 3 * 8 + 4, tableSize))
    return std::nullopt;
  const std::uint32_t count = tableSize / 12;
  if (tableRva == 0 || count == 0 || count > kMaxFunctionEntries) return std::nullopt;
  std::uint32_t low = 0, high = count;
  while (low < high) {
    const std::uint32_t middle = low + (high - low) / 2;
    TFunctionEntry entry;
    if (!ReadEntry(images, base + tableRva + TTrAddress{middle} * 12, entry)) return std::nullopt;
    if (rva < entry.Begin) {
      high = middle;
    } else if (rva >= entry.End) {
      low = middle + 1;
    } else {
      // An entry may share another's unwind data through a pointer to that
      // entry (the low bit set).
      if (entry.UnwindInfo & 1) {
        if (!ReadEntry(images, base + (entry.UnwindInfo & ~1u), entry)) return std::nullopt;
        if (entry.UnwindInfo & 1) return std::nullopt;
      }
      return entry;
    }
  }
  return std::nullopt;
}

int SlotsOf(std::uint8_t op, std::uint8_t info) {
  switch (op) {
    case kPushNonVolatile:
    case kAllocSmall:
    case kSetFramePointer:
    case kPushMachineFrame:
      return 1;
    case kAllocLarge:
      return info == 0 ? 2 : 3;
    case kSaveNonVolatile:
    case kSaveXmmOrEpilog:
    case kSaveXmm128:
      return 2;
    case kSaveNonVolatileFar:
    case kSaveXmmFar:
    case kSaveXmm128Far:
      return 3;
    default:
      return 0;
  }
}

struct TStep {
  TTrMemoryReader& Stack;
  TTrMemoryReader& Images;
  TTrAddress Base;
  TTrX64Registers& Registers;
  bool MachineFrame = false;
};

// Undoes what the prolog of the function described at unwindRva did:
// every code when offset is past the prolog, else only the codes of the
// instructions before offset (the codes run from the prolog's end back).
bool Undo(TStep& step, std::uint32_t unwindRva, std::optional<std::uint32_t> offset, int depth) {
  if (depth > kMaxChain) return false;
  std::uint8_t header[4];
  if (!step.Images.Read(step.Base + unwindRva, header, sizeof header)) return false;
  const int version = header[0] & 7;
  const std::uint8_t flags = header[0] >> 3;
  const std::uint8_t prologSize = header[1];
  const int count = header[2];
  const int frameRegister = header[3] & 15;
  const std::uint64_t frameOffset = static_cast<std::uint64_t>(header[3] >> 4) * 16;
  if (version != 1 && version != 2) return false;
  std::uint8_t codes[256 * 2];
  if (count > 0 && !step.Images.Read(step.Base + unwindRva + 4, codes, static_cast<std::size_t>(count) * 2))
    return false;
  const bool inProlog = offset && *offset < prologSize;
  auto done = [&](int i) { return !inProlog || codes[i * 2] <= *offset; };
  auto slot16 = [&](int i) { return std::uint32_t{codes[i * 2]} | std::uint32_t{codes[i * 2 + 1]} << 8; };

  TTrX64Registers& r = step.Registers;
  // Saves are addressed from the frame's base: the frame register's value
  // less its offset once the prolog has set it, the stack pointer before.
  std::uint64_t frame = r.Rsp();
  for (int i = 0; i < count;) {
    const std::uint8_t op = codes[i * 2 + 1] & 15;
    const int slots = SlotsOf(op, codes[i * 2 + 1] >> 4);
    if (slots == 0 || i + slots > count) return false;
    if (op == kSetFramePointer && frameRegister != 0 && done(i)) frame = r.Gpr[frameRegister] - frameOffset;
    i += slots;
  }

  for (int i = 0; i < count;) {
    const std::uint8_t op = codes[i * 2 + 1] & 15;
    const std::uint8_t info = codes[i * 2 + 1] >> 4;
    const int slots = SlotsOf(op, info);
    if (done(i)) {
      switch (op) {
        case kPushNonVolatile:
          if (!Read64(step.Stack, r.Rsp(), r.Gpr[info])) return false;
          r.Rsp() += 8;
          break;
        case kAllocLarge:
          r.Rsp() += info == 0 ? std::uint64_t{slot16(i + 1)} * 8 : slot16(i + 1) | slot16(i + 2) << 16;
          break;
        case kAllocSmall:
          r.Rsp() += std::uint64_t{info} * 8 + 8;
          break;
        case kSetFramePointer:
          if (frameRegister == 0) return false;
          r.Rsp() = frame;
          break;
        case kSaveNonVolatile:
          if (!Read64(step.Stack, frame + std::uint64_t{slot16(i + 1)} * 8, r.Gpr[info])) return false;
          break;
        case kSaveNonVolatileFar:
          if (!Read64(step.Stack, frame + (slot16(i + 1) | slot16(i + 2) << 16), r.Gpr[info])) return false;
          break;
        case kPushMachineFrame: {
          // An interrupted frame: the processor pushed (an error code,)
          // RIP, CS, EFLAGS, the old RSP and SS.
          const std::uint64_t at = r.Rsp() + (info ? 8 : 0);
          std::uint64_t rip = 0, rsp = 0;
          if (!Read64(step.Stack, at, rip) || !Read64(step.Stack, at + 24, rsp)) return false;
          r.Rip = rip;
          r.Rsp() = rsp;
          step.MachineFrame = true;
          break;
        }
        default:
          // XMM saves restore nothing the walk needs; an epilog's
          // description is only for a frame stopped inside it.
          break;
      }
    }
    i += slots;
  }

  if (flags & kChainedInfo) {
    TFunctionEntry parent;
    if (!ReadEntry(step.Images, step.Base + unwindRva + 4 + static_cast<std::uint32_t>((count + 1) & ~1) * 2,
                   parent))
      return false;
    return Undo(step, parent.UnwindInfo, std::nullopt, depth + 1);
  }
  return true;
}

// The caller's registers; machineFrame tells that the new Rip was
// interrupted rather than called from.
bool Step(TTrMemoryReader& stack, TTrMemoryReader& images, const TTrImageBaseOf& imageBaseOf,
          TTrX64Registers& r, bool innermost, bool& machineFrame) {
  machineFrame = false;
  // A return address may be the first byte after its function (a call as
  // the last instruction): the function is found by the call's last byte.
  const TTrAddress pc = innermost ? r.Rip : r.Rip - 1;
  const std::optional<TTrAddress> base = imageBaseOf(pc);
  std::optional<TFunctionEntry> entry;
  if (base && pc - *base <= 0xFFFFFFFFu)
    entry = FindFunction(images, *base, static_cast<std::uint32_t>(pc - *base));
  if (!entry) {
    // Only a leaf function has no unwind data: it keeps its return
    // address on top of the stack. Found further out, it is the walk's end.
    if (!innermost) return false;
    if (!Read64(stack, r.Rsp(), r.Rip)) return false;
    r.Rsp() += 8;
    return true;
  }
  TStep step{stack, images, *base, r};
  const auto offset = static_cast<std::uint32_t>(pc - *base - entry->Begin);
  if (!Undo(step, entry->UnwindInfo, innermost ? std::optional(offset) : std::nullopt, 0)) return false;
  machineFrame = step.MachineFrame;
  if (machineFrame) return true;
  if (!Read64(stack, r.Rsp(), r.Rip)) return false;
  r.Rsp() += 8;
  return true;
}

}  // namespace

std::vector<TTrUnwoundFrame> UnwindX64(TTrMemoryReader& stack, TTrMemoryReader& images,
                                       const TTrImageBaseOf& imageBaseOf, TTrX64Registers registers,
                                       TTrAddress top) {
  std::vector<TTrUnwoundFrame> frames;
  bool interrupted = true;  // the innermost Rip: no call before it to check
  for (int n = 0; n < kMaxUnwoundFrames; ++n) {
    const std::uint64_t sp = registers.Rsp();
    bool machineFrame = false;
    if (!Step(stack, images, imageBaseOf, registers, interrupted, machineFrame)) break;
    if (registers.Rip == 0 || registers.Rsp() <= sp || registers.Rsp() > top) break;
    // An address returned to follows its call; anything else means the
    // tables and the stack disagree, and the scan takes over.
    if (!machineFrame && !CallSiteBefore(images, registers.Rip, false, kWords64)) break;
    frames.push_back({registers.Rip, registers.Rsp()});
    interrupted = machineFrame;
  }
  return frames;
}

}  // namespace tracira
