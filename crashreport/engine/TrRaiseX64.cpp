// x86-64: C++ exceptions unwind through SEH (RaiseException with GCC's code,
// a per-function handler __gxx_personality_seh0 whose handler data is the
// function's exception table), not through DWARF tables, so the handler
// search and the test for unwind tables differ from the i686 ones in
// TrRaise.cpp.
//
// The search walks the frames as the system's dispatcher will
// (RtlLookupFunctionEntry, RtlVirtualUnwind) and reads each frame's table as
// the C++ personality routine reads it in its search phase: the call-site
// entry of the frame's instruction, then its catch clauses against the
// thrown type.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <typeinfo>

#include "crashreport/engine/TrRaiseSearch.h"
#include "rtl/Guarded.h"
#include "rtl/ModuleFile.h"

#if defined(__x86_64__)

extern "C" EXCEPTION_DISPOSITION __gxx_personality_seh0(PEXCEPTION_RECORD, void*, PCONTEXT,
                                                        PDISPATCHER_CONTEXT);

// Each module of the project links its own copy of the C++ personality
// routine; this export names a module's copy, so that the search in one
// module reads the catch clauses of another's frames too (an exception
// crosses between their frames on x86-64).
extern "C" __declspec(dllexport) const void* TrCxxPersonalityRoutine() {
  return reinterpret_cast<const void*>(&__gxx_personality_seh0);
}

namespace tracira {

namespace {

// The pointer encodings of exception tables (DW_EH_PE_*).
constexpr std::uint8_t kOmit = 0xFF, kIndirect = 0x80;

std::uint64_t Uleb(const std::uint8_t*& p) {
  std::uint64_t v = 0;
  int shift = 0;
  std::uint8_t b;
  do {
    b = *p++;
    if (shift < 64) v |= std::uint64_t{b & 0x7Fu} << shift;
    shift += 7;
  } while (b & 0x80);
  return v;
}

std::int64_t Sleb(const std::uint8_t*& p) {
  std::int64_t v = 0;
  int shift = 0;
  std::uint8_t b;
  do {
    b = *p++;
    if (shift < 64) v |= static_cast<std::int64_t>(std::uint64_t{b & 0x7Fu} << shift);
    shift += 7;
  } while (b & 0x80);
  if (shift < 64 && (b & 0x40)) v |= -(std::int64_t{1} << shift);
  return v;
}

template <typename T>
T Load(const std::uint8_t*& p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  p += sizeof v;
  return v;
}

// Reads one encoded pointer; false for an encoding GCC doesn't write here.
bool ReadEncoded(std::uint8_t encoding, std::uintptr_t functionStart, const std::uint8_t*& p,
                 std::uintptr_t& out) {
  const std::uint8_t* at = p;
  std::uintptr_t v = 0;
  switch (encoding & 0x0F) {
    case 0x00:
      v = Load<std::uintptr_t>(p);
      break;  // absptr
    case 0x01:
      v = Uleb(p);
      break;
    case 0x02:
      v = Load<std::uint16_t>(p);
      break;
    case 0x03:
      v = Load<std::uint32_t>(p);
      break;
    case 0x04:
      v = Load<std::uint64_t>(p);
      break;
    case 0x09:
      v = static_cast<std::uintptr_t>(Sleb(p));
      break;
    case 0x0A:
      v = static_cast<std::uintptr_t>(Load<std::int16_t>(p));
      break;
    case 0x0B:
      v = static_cast<std::uintptr_t>(Load<std::int32_t>(p));
      break;
    case 0x0C:
      v = static_cast<std::uintptr_t>(Load<std::int64_t>(p));
      break;
    default:
      return false;
  }
  if (v != 0) {
    switch (encoding & 0x70) {
      case 0x00:
        break;
      case 0x10:
        v += reinterpret_cast<std::uintptr_t>(at);
        break;  // pcrel
      case 0x40:
        v += functionStart;
        break;  // funcrel
      default:
        return false;
    }
    if (encoding & kIndirect) v = *reinterpret_cast<const std::uintptr_t*>(v);
  }
  out = v;
  return true;
}

std::size_t EncodedSize(std::uint8_t encoding) {
  switch (encoding & 0x07) {
    case 0x02:
      return 2;
    case 0x03:
      return 4;
    case 0x04:
      return 8;
    default:
      return sizeof(void*);
  }
}

// Does a catch clause for catchType take an exception of type thrown?
bool Catches(const std::type_info* catchType, const std::type_info* thrown, void* object) {
  if (!catchType) return true;  // catch (...)
  if (!thrown) return false;
  void* adjusted = object;
  // A thrown pointer is matched through the pointer itself.
  if (thrown->__is_pointer_p()) adjusted = *static_cast<void**>(adjusted);
  return catchType->__do_catch(thrown, &adjusted, 1);
}

// Uncovered: no call-site entry covers the instruction (the personality
// routine ends the program there).
enum class TFrameAnswer { None, Catch, Terminate, Uncovered };

// What a frame of GCC's C++ code does with the exception at pc (the
// frame's return address, or one byte into the faulting instruction),
// from its exception table.
TFrameAnswer ReadFrame(const std::uint8_t* lsda, std::uintptr_t functionStart, std::uintptr_t pc,
                       const std::type_info* thrown, void* object) {
  const std::uint8_t* p = lsda;
  std::uintptr_t landingBase = functionStart;
  const std::uint8_t lpStartEncoding = *p++;
  if (lpStartEncoding != kOmit && !ReadEncoded(lpStartEncoding, functionStart, p, landingBase))
    return TFrameAnswer::None;
  const std::uint8_t typeEncoding = *p++;
  const std::uint8_t* types = nullptr;
  if (typeEncoding != kOmit) {
    const std::uint64_t offset = Uleb(p);
    types = p + offset;
  }
  const std::uint8_t siteEncoding = *p++;
  const std::uint64_t sitesLength = Uleb(p);
  const std::uint8_t* const actions = p + sitesLength;
  const std::uintptr_t ip = pc - 1;
  while (p < actions) {
    std::uintptr_t start = 0, length = 0, landing = 0;
    if (!ReadEncoded(siteEncoding, 0, p, start) || !ReadEncoded(siteEncoding, 0, p, length) ||
        !ReadEncoded(siteEncoding, 0, p, landing))
      return TFrameAnswer::None;
    const std::uint64_t action = Uleb(p);
    if (ip < functionStart + start) break;  // the table is sorted: no entry covers ip
    if (ip >= functionStart + start + length) continue;
    if (landing == 0 || action == 0) return TFrameAnswer::None;  // nothing here, or only clean-up
    const std::uint8_t* record = actions + action - 1;
    for (;;) {
      const std::int64_t filter = Sleb(record);
      const std::uint8_t* next = record;
      const std::int64_t displacement = Sleb(record);
      if (filter > 0) {
        if (!types) return TFrameAnswer::None;
        const std::uint8_t* entry = types - static_cast<std::uint64_t>(filter) * EncodedSize(typeEncoding);
        std::uintptr_t type = 0;
        if (!ReadEncoded(typeEncoding, functionStart, entry, type)) return TFrameAnswer::None;
        if (Catches(reinterpret_cast<const std::type_info*>(type), thrown, object))
          return TFrameAnswer::Catch;
      } else if (filter < 0) {
        // A throw list: the only one the project's code can have is
        // noexcept's empty one, which lets nothing through.
        return TFrameAnswer::Terminate;
      }
      if (displacement == 0) return TFrameAnswer::None;
      record = next + displacement;
    }
  }
  return TFrameAnswer::Uncovered;
}

bool OnStack(std::uintptr_t sp) {
  // The thread's information block (gs:0x30 holds its own address).
  const NT_TIB* tib;
  asm("movq %%gs:0x30, %0" : "=r"(tib));
  return sp >= reinterpret_cast<std::uintptr_t>(tib->StackLimit) &&
         sp < reinterpret_cast<std::uintptr_t>(tib->StackBase);
}

// Is handler the C++ personality routine of another module of the project?
bool IsProjectPersonality(PEXCEPTION_ROUTINE handler) {
  const HMODULE module = rtl::ModuleOfAddress(reinterpret_cast<const void*>(handler));
  if (!module) return false;
  using TNamer = const void* (*)();
  const auto namer =
      reinterpret_cast<TNamer>(reinterpret_cast<void*>(GetProcAddress(module, "TrCxxPersonalityRoutine")));
  return namer && namer() == reinterpret_cast<const void*>(handler);
}

// The search from the caller of FindHandler: context is the state in a
// frame below the thrower's.
THandlerKind SearchFrom(CONTEXT& context, const std::type_info* thrown, void* object) {
  const auto personality = reinterpret_cast<PEXCEPTION_ROUTINE>(&__gxx_personality_seh0);
  // However deep the stack (an overflow's is thousands of frames), the walk
  // ends: each frame lies above the one before, or the walk stops.
  for (DWORD64 below = 0; context.Rip != 0 && context.Rsp > below && OnStack(context.Rsp);) {
    below = context.Rsp;
    DWORD64 imageBase = 0;
    const std::uintptr_t pc = context.Rip;
    PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(pc, &imageBase, nullptr);
    if (!entry) {
      // A leaf function: its return address is on top of the stack.
      context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
      context.Rsp += 8;
      continue;
    }
    void* handlerData = nullptr;
    DWORD64 establisher = 0;
    const PEXCEPTION_ROUTINE handler = RtlVirtualUnwind(UNW_FLAG_EHANDLER, imageBase, pc, entry, &context,
                                                        &handlerData, &establisher, nullptr);
    // Frames of other code are passed: the system's handlers don't catch
    // C++ exceptions. A catch clause of another module of the project is
    // the program's own (at that module's edge, its crash reporter hands the
    // exception to this one's ExceptionManager).
    if (!handlerData || (handler != personality && !IsProjectPersonality(handler))) continue;
    const std::uintptr_t functionStart = imageBase + entry->BeginAddress;
    switch (ReadFrame(static_cast<const std::uint8_t*>(handlerData), functionStart, pc, thrown, object)) {
      case TFrameAnswer::None:
        break;
      case TFrameAnswer::Terminate:
      case TFrameAnswer::Uncovered:
        return THandlerKind::Terminate;
      case TFrameAnswer::Catch:
        return reinterpret_cast<const void*>(functionStart) == rtl::CallGuardedAddress()
                   ? THandlerKind::Edge
                   : THandlerKind::Program;
    }
  }
  return THandlerKind::Terminate;
}

}  // namespace

__attribute__((noinline)) THandlerKind Search(_Unwind_Exception* exception) {
  const auto* header = reinterpret_cast<const TCxaException*>(exception + 1) - 1;
  CONTEXT context;
  RtlCaptureContext(&context);
  // The frames from here to the thrower's own are the crash reporter's
  // (the throw hook and FindHandler), which catch nothing.
  return SearchFrom(context, header->exceptionType, const_cast<TCxaException*>(header) + 1);
}

bool UnwindToCaller(CONTEXT& context) {
  DWORD64 imageBase = 0;
  PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
  if (!entry) return false;
  void* handlerData = nullptr;
  DWORD64 establisher = 0;
  RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, entry, &context, &handlerData, &establisher,
                   nullptr);
  return true;
}

namespace {

// The language handler and its data of a function, from its unwind data.
bool HandlerOf(DWORD64 imageBase, const RUNTIME_FUNCTION& entry, PEXCEPTION_ROUTINE& handler,
               const std::uint8_t*& data) {
  const auto* info = reinterpret_cast<const std::uint8_t*>(imageBase + entry.UnwindData);
  const std::uint8_t flags = info[0] >> 3;
  if (!(flags & (UNW_FLAG_EHANDLER | UNW_FLAG_UHANDLER)) || (flags & UNW_FLAG_CHAININFO)) return false;
  const std::uint8_t codes = info[2];
  const auto* at = info + 4 + ((codes + 1u) & ~1u) * 2;
  std::uint32_t rva;
  std::memcpy(&rva, at, sizeof rva);
  handler = reinterpret_cast<PEXCEPTION_ROUTINE>(imageBase + rva);
  data = at + sizeof rva;
  return true;
}

// What the raise for an overflow makes of a frame at pc: starts there (its
// exception table covers pc), passes it (nothing to clean up, no table),
// or leaves it and starts in the frame above: inside its prologue (only
// part of the frame is set up) or where its table has no call-site entry.
enum class TOverflowFrame { Start, Pass, Leave };

TOverflowFrame OverflowFrame(DWORD64 imageBase, const RUNTIME_FUNCTION& entry, DWORD64 pc) {
  const auto* info = reinterpret_cast<const std::uint8_t*>(imageBase + entry.UnwindData);
  const DWORD64 start = imageBase + entry.BeginAddress;
  if (!((info[0] >> 3) & UNW_FLAG_CHAININFO) && pc - 1 - start < info[1]) return TOverflowFrame::Leave;
  PEXCEPTION_ROUTINE handler = nullptr;
  const std::uint8_t* lsda = nullptr;
  if (!HandlerOf(imageBase, entry, handler, lsda)) return TOverflowFrame::Pass;
  if (handler != reinterpret_cast<PEXCEPTION_ROUTINE>(&__gxx_personality_seh0)) return TOverflowFrame::Start;
  return ReadFrame(lsda, start, pc, nullptr, nullptr) == TFrameAnswer::Uncovered ? TOverflowFrame::Leave
                                                                                 : TOverflowFrame::Start;
}

}  // namespace

DWORD64 MoveToOverflowRaiseStart(CONTEXT& context) {
  // One byte into the faulting instruction, as a return address is one
  // byte past its call.
  DWORD64 resume = context.Rip + 1;
  DWORD64 pc = resume;
  CONTEXT walk = context;
  for (int depth = 0; depth < 16; ++depth) {
    DWORD64 imageBase = 0;
    PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(pc - 1, &imageBase, nullptr);
    if (!entry) break;
    const TOverflowFrame frame = OverflowFrame(imageBase, *entry, pc);
    if (frame == TOverflowFrame::Start) break;
    void* handlerData = nullptr;
    DWORD64 establisher = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, walk.Rip, entry, &walk, &handlerData, &establisher,
                     nullptr);
    pc = walk.Rip;
    if (frame == TOverflowFrame::Leave) {
      context = walk;
      resume = pc;
    }
  }
  return resume;
}

bool HasUnwindTables(const void* address) {
  // Each module of the project links its own unwinder, and the one of this
  // module unwinds only this module's frames (as on i686, where only this
  // module's DWARF tables are registered with it).
  const HMODULE at = rtl::ModuleOfAddress(address);
  DWORD64 imageBase = 0;
  return at && at == rtl::ModuleOfAddress(reinterpret_cast<const void*>(&HasUnwindTables)) &&
         RtlLookupFunctionEntry(reinterpret_cast<DWORD64>(address), &imageBase, nullptr);
}

}  // namespace tracira

#endif
