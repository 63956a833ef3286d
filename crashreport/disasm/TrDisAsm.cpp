#include "crashreport/disasm/TrDisAsm.h"

#include <capstone/capstone.h>

#include <algorithm>
#include <array>
#include <cstdio>

namespace tracira {

namespace {

class TCapstoneDecoder {
 public:
  csh Handle = 0;
  bool Open = false;

  explicit TCapstoneDecoder(TAsmMode mode) {
    Open = cs_open(CS_ARCH_X86, mode == TAsmMode::x64 ? CS_MODE_64 : CS_MODE_32, &Handle) == CS_ERR_OK;
    if (Open) cs_option(Handle, CS_OPT_DETAIL, CS_OPT_ON);
  }
  ~TCapstoneDecoder() {
    if (Open) cs_close(&Handle);
  }
  TCapstoneDecoder(const TCapstoneDecoder&) = delete;
  TCapstoneDecoder& operator=(const TCapstoneDecoder&) = delete;

  TAsmInstruction Decode(std::span<const std::uint8_t> code, std::uint64_t address) const {
    TAsmInstruction result;
    result.Address = address;
    if (code.empty()) return result;
    cs_insn* insn = nullptr;
    const std::size_t count =
        Open ? cs_disasm(Handle, code.data(), std::min(code.size(), kMaxInstructionSize), address, 1, &insn)
             : 0;
    if (count == 0) {
      std::array<char, 16> text{};
      std::snprintf(text.data(), text.size(), "db 0x%02X", code[0]);
      result.Size = 1;
      result.Text = text.data();
      return result;
    }
    // The instruction is freed whatever happens below.
    const std::unique_ptr<cs_insn, void (*)(cs_insn*)> owner(insn, [](cs_insn* p) { cs_free(p, 1); });
    result.Valid = true;
    result.Size = insn->size;
    result.Text = insn->mnemonic;
    if (insn->op_str[0] != '\0') {
      result.Text += ' ';
      result.Text += insn->op_str;
    }
    result.IsCall = cs_insn_group(Handle, insn, CS_GRP_CALL);
    result.IsJump = cs_insn_group(Handle, insn, CS_GRP_JUMP);
    result.IsReturn = cs_insn_group(Handle, insn, CS_GRP_RET) || cs_insn_group(Handle, insn, CS_GRP_IRET);
    if (cs_insn_group(Handle, insn, CS_GRP_BRANCH_RELATIVE) && insn->detail->x86.op_count == 1 &&
        insn->detail->x86.operands[0].type == X86_OP_IMM) {
      result.BranchTarget = static_cast<std::uint64_t>(insn->detail->x86.operands[0].imm);
    }
    const cs_x86& x86 = insn->detail->x86;
    for (std::uint8_t i = 0; i < x86.op_count; ++i) {
      const cs_x86_op& op = x86.operands[i];
      if (op.type != X86_OP_MEM || op.mem.base != X86_REG_RIP) continue;
      if (x86.encoding.disp_size == 4) result.RipDisplacementOffset = x86.encoding.disp_offset;
      result.RipTarget = address + insn->size + static_cast<std::uint64_t>(op.mem.disp);
      break;
    }
    return result;
  }
};

}  // namespace

struct TDisAsm::TDecoder : TCapstoneDecoder {
  using TCapstoneDecoder::TCapstoneDecoder;
};

TAsmInstruction DecodeInstruction(std::span<const std::uint8_t> code, std::uint64_t address, TAsmMode mode) {
  const TCapstoneDecoder decoder(mode);
  return decoder.Decode(code, address);
}

std::uint32_t GetAsmSize(std::span<const std::uint8_t> code, std::uint64_t address, TAsmMode mode) {
  return std::max<std::uint32_t>(DecodeInstruction(code, address, mode).Size, 1);
}

TDisAsm::TDisAsm(TAsmMode mode) : fMode(mode), fDecoder(std::make_unique<TDecoder>(mode)) {}
TDisAsm::~TDisAsm() = default;

std::optional<TAsmInstruction> TDisAsm::Decode(std::uint64_t address) const {
  if (!OnReadMemory) return std::nullopt;
  std::array<std::uint8_t, kMaxInstructionSize> buffer{};
  // Near the end of the address space fewer bytes exist.
  const std::uint64_t room = AddressSpaceEnd(fMode) - address;  // wraps to the rest of 2^64
  const std::size_t want =
      static_cast<std::size_t>(room == 0 ? buffer.size() : std::min<std::uint64_t>(buffer.size(), room));
  const std::size_t got = std::min(OnReadMemory(address, std::span(buffer.data(), want)), want);
  if (got == 0) return std::nullopt;
  return fDecoder->Decode(std::span(buffer.data(), got), address);
}

bool TDisAsm::GetInstruction(std::uint64_t address, std::uint32_t& size, std::string& text) const {
  auto instruction = Decode(address);
  if (!instruction) return false;
  size = instruction->Size;
  text = std::move(instruction->Text);
  return true;
}

}  // namespace tracira
