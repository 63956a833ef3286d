#include "crashreport/debug/TrStack.h"

#include <winternl.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "crashreport/core/TrText.h"
#include "crashreport/debug/TrDebugWin.h"
#include "crashreport/snapshot/TrSnapshot.h"

namespace tracira {

namespace {

// A call stack entry's names hold 64 characters; a longer one keeps its
// start and end (a template's arguments, a method's name).
constexpr std::size_t kMaxName = 64;

void CutName(std::string& s) {
  if (s.size() > kMaxName) s = ShortenName(s, kMaxName);
}

std::uintptr_t ToAddress(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

// The word size of this process's code, for the stack scan.
constexpr int kWordSize = sizeof(void*) == 8 ? kWords64 : kWords32;

}  // namespace

const TTrProcessMemoryReader::Region& TTrProcessMemoryReader::RegionAt(std::uintptr_t address) {
  auto it = std::upper_bound(fRegions.begin(), fRegions.end(), address,
                             [](std::uintptr_t a, const Region& r) { return a < r.Start; });
  if (it != fRegions.begin() && (std::prev(it)->End == 0 || address < std::prev(it)->End))
    return *std::prev(it);
  MEMORY_BASIC_INFORMATION mbi{};
  Region r;
  if (VirtualQuery(reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(address)), &mbi, sizeof mbi) == 0) {
    // Beyond the user address space: unreadable up to its end.
    r.Start = address;
    r.End = 0;
  } else {
    r.Start = ToAddress(mbi.BaseAddress);
    r.End = r.Start + mbi.RegionSize;  // 0 past the top of a 32-bit address space
    constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                                PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    const bool readable = mbi.State == MEM_COMMIT && (mbi.Protect & kReadable) && !(mbi.Protect & PAGE_GUARD);
    r.Access = !readable ? Region::Unreadable : mbi.Type == MEM_IMAGE ? Region::Image : Region::Other;
  }
  // Keep the cache disjoint even when memory changed between two queries.
  if (it != fRegions.begin() && std::prev(it)->End > r.Start) r.Start = std::prev(it)->End;
  if (it != fRegions.end() && (r.End == 0 || r.End > it->Start)) r.End = it->Start;
  if (address < r.Start || (r.End != 0 && address >= r.End)) r = Region{address, address + 1, Region::Other};
  return *fRegions.insert(it, r);
}

bool TTrProcessMemoryReader::Read(TTrAddress wide, void* out, std::size_t size) {
  if (size == 0) return true;
  constexpr TTrAddress kLast = std::numeric_limits<std::uintptr_t>::max();
  if (wide > kLast || size - 1 > kLast - wide) return false;
  const auto address = static_cast<std::uintptr_t>(wide);
  const Region& r = RegionAt(address);
  const bool inside = r.End == 0 || address + (size - 1) < r.End;
  if (r.Access == Region::Unreadable && inside) return false;
  if (r.Access == Region::Image && inside) {
    std::memcpy(out, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(address)), size);
    return true;
  }
  SIZE_T done = 0;
  return ReadProcessMemory(GetCurrentProcess(),
                           reinterpret_cast<LPCVOID>(static_cast<std::uintptr_t>(address)), out, size,
                           &done) &&
         done == size;
}

void GetDebugInfosByAddr(TTrAddress address, std::uint32_t threadID, TTraciraDebugInfo& entry, bool errorLine,
                         bool runningThread) {
  entry = TTraciraDebugInfo{};
  entry.Addr = address;
  entry.ThreadID = threadID;
  entry.ErrorLine = errorLine;
  entry.RunningThread = runningThread;
  TTraciraModuleInfo* module = address <= std::numeric_limits<std::uintptr_t>::max()
                                   ? ProcessModules().ModuleInfoByAddr(address)
                                   : nullptr;
  if (!module) return;
  entry.ModuleName = module->Name;
  entry.ModuleHandle = module->Base();
  entry.DebugDetail = ddModule;
  const auto rva = static_cast<std::uint32_t>(address - module->Base());

  // The crash reporter's own code (by where its source lives) shows as its
  // module only.
  auto hideOwnCode = [&] {
    entry.DebugDetail = ddModule;
    entry.UnitName.clear(), entry.ClassName.clear(), entry.ProcedureName.clear();
    entry.Line = entry.ProcOffsetLine = 0;
  };
  // Debug data names things in UTF-8 (a source file's name, an identifier
  // with letters beyond ASCII); the report is in the code page.
  auto finish = [&] {
    for (std::string* name : {&entry.UnitName, &entry.ClassName, &entry.ProcedureName}) {
      *name = Utf8ToAnsi(*name);
      CutName(*name);
    }
    if (!entry.ProcedureName.empty() && entry.ProcedureName[0] == '@') entry.ProcedureName[0] = '_';
  };

  if (module->ExtraInformation && rva >= 0x1000) {
    if (const auto found =
            GetSourceInfoByAddr(*module->ExtraInformation, module->UnitIndex(), rva - 0x1000)) {
      entry.DebugDetail = ddSourceCode;
      entry.UnitName = found->UnitName;
      entry.ClassName = found->ClassName;
      entry.ProcedureName = found->ProcedureName;
      entry.Line = found->Line;
      entry.ProcOffsetLine = found->ProcOffsetLine;
      if (IsTraciraCode(*module->ExtraInformation, rva - 0x1000)) hideOwnCode();
      finish();
      return;
    }
  }
  if (const TTrDebugInfoSource* source = module->OtherDebugData()) {
    if (const auto location = source->GetLocationInfo(rva)) {
      ApplyLocationInfo(*location, entry);
      // The project's own unstripped modules name the crash reporter's
      // code through DWARF: hidden as from the data block.
      if (location->TraciraCode) hideOwnCode();
      if (entry.DebugDetail > ddModule) {
        finish();
        return;
      }
    }
  }
  // Exports name only modules without a data block: in one with a block,
  // code the block does not name (the runtime linked into it) is not the
  // export that happens to come before it.
  if (const TTraciraFunctionInfo* f =
          module->ExtraInformation ? nullptr : FindFunction(module->FunctionsList, rva)) {
    const TTrPartialInfo partial = GetDebugPartialInfo(f->Name);
    if (partial.Detail > ddModule) {
      entry.DebugDetail = partial.Detail;
      entry.UnitName = partial.UnitName;
      entry.ClassName = partial.ClassName;
      entry.ProcedureName = partial.ProcedureName;
    }
  }
  finish();
}

std::optional<TTrAddress> LoadedImageBaseOf(TTrAddress address) {
  if (address > std::numeric_limits<std::uintptr_t>::max()) return std::nullopt;
  if (const TTraciraModuleInfo* m = ProcessModules().ModuleInfoByAddr(static_cast<std::uintptr_t>(address)))
    return m->Base();
  return std::nullopt;
}

void SetUnwindStart(TTrScanRequest& request, [[maybe_unused]] TTrX64Registers& registers,
                    [[maybe_unused]] const CONTEXT* context) {
#if defined(__x86_64__)
  if (!context) return;
  registers.Rip = context->Rip;
  const DWORD64 gpr[16] = {context->Rax, context->Rcx, context->Rdx, context->Rbx, context->Rsp, context->Rbp,
                           context->Rsi, context->Rdi, context->R8,  context->R9,  context->R10, context->R11,
                           context->R12, context->R13, context->R14, context->R15};
  std::copy(std::begin(gpr), std::end(gpr), registers.Gpr.begin());
  request.Registers = &registers;
  request.ImageBaseOf = LoadedImageBaseOf;
#else
  (void)request;
#endif
}

void CallStackByAddresses(TTraciraStackList& list, const void* exceptionAddress, std::uintptr_t stackPointer,
                          std::uintptr_t topOfStack, TTrDetailSet details, int startLevel, int levels,
                          bool resolveCalls, bool getDebugInfo, std::uint32_t threadID, bool runningThread,
                          const CONTEXT* context) {
  TTrProcessMemoryReader memory;
  TTrScanRequest request;
  TTrX64Registers registers;
  SetUnwindStart(request, registers, context);
  if (exceptionAddress) request.ExceptionAddress = ToAddress(exceptionAddress);
  request.StackPointer = stackPointer;
  request.TopOfStack = topOfStack;
  request.WordSize = kWordSize;
  request.Details = details;
  request.StartLevel = startLevel;
  request.Levels = levels;
  request.ResolveCalls = resolveCalls;
  request.GetDebugInfo = getDebugInfo;
  request.ThreadID = threadID;
  request.RunningThread = runningThread;
  tracira::CallStackByAddresses(
      list, memory, memory,
      [threadID](TTrAddress a, TTraciraDebugInfo& e, bool errorLine, bool running) {
        GetDebugInfosByAddr(a, threadID, e, errorLine, running);
      },
      request);
}

TTraciraStackList GetCallStackByAddresses(const void* exceptionAddress, std::uintptr_t stackPointer,
                                          std::uintptr_t topOfStack, TTrDetailSet details, int startLevel,
                                          int levels, bool resolveCalls, bool getDebugInfo,
                                          std::uint32_t threadID) {
  TTraciraStackList list;
  CallStackByAddresses(list, exceptionAddress, stackPointer, topOfStack, details, startLevel, levels,
                       resolveCalls, getDebugInfo, threadID, true);
  return list;
}

std::uintptr_t CurrentTopOfStack() {
  // The thread information block's StackBase: fs:[4], on x86-64 gs:[8].
  std::uintptr_t top;
#if defined(__i386__)
  asm volatile("movl %%fs:4, %0" : "=r"(top));
#else
  asm volatile("movq %%gs:8, %0" : "=r"(top));
#endif
  return top;
}

std::uintptr_t ThreadTopOfStack(HANDLE thread) {
  using TQuery = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
  static const auto query = reinterpret_cast<TQuery>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
  if (!query) return 0;
  struct {
    LONG ExitStatus;
    PVOID TebBaseAddress;
    PVOID UniqueProcess, UniqueThread;
    ULONG_PTR AffinityMask;
    LONG Priority, BasePriority;
  } basic{};
  if (query(thread, 0 /* ThreadBasicInformation */, &basic, sizeof basic, nullptr) != 0 ||
      !basic.TebBaseAddress)
    return 0;
  NT_TIB tib{};
  TTrProcessMemoryReader memory;
  if (!memory.Read(ToAddress(basic.TebBaseAddress), &tib, sizeof tib)) return 0;
  return ToAddress(tib.StackBase);
}

__attribute__((noinline)) TTraciraStackList GetCurrentCallStack(TTrDetailSet details) {
  // From this frame's saved frame pointer on: the first return address
  // found leads back into the caller.
  const std::uintptr_t sp = ToAddress(__builtin_frame_address(0));
  const CONTEXT* here = nullptr;
#if defined(__x86_64__)
  // Unwound from this frame: its caller comes first.
  CONTEXT context{};
  RtlCaptureContext(&context);
  here = &context;
#endif
  TTraciraStackList list;
  CallStackByAddresses(list, nullptr, sp, CurrentTopOfStack(), details, -1, -1, true, true,
                       GetCurrentThreadId(), true, here);
  return list;
}

namespace {

// Copies [from, to) page by page; unreadable pages stay zero, which no
// scan takes for a return address.
void CopyStack(std::uintptr_t from, std::uintptr_t to, std::vector<std::uint8_t>& out) {
  TTrProcessMemoryReader memory;
  std::fill(out.begin(), out.end(), 0);
  for (std::uintptr_t at = from; at < to;) {
    const auto pageEnd = static_cast<std::uintptr_t>(
        std::min<std::uint64_t>((at & ~std::uintptr_t{0xFFF}) + std::uint64_t{0x1000}, to));
    memory.Read(at, out.data() + (at - from), pageEnd - at);
    at = pageEnd;
  }
}

}  // namespace

bool GetThreadCallStack(HANDLE thread, std::uint32_t threadID, TTraciraStackList& list, TTrDetailSet details,
                        std::wstring* error) {
  if (threadID == GetCurrentThreadId()) {
    const TTraciraStackList own = GetCurrentCallStack(details);
    list.insert(list.end(), own.begin(), own.end());
    return true;
  }
  const std::uintptr_t top = ThreadTopOfStack(thread);
  if (top == 0) {
    if (error) *error = L"The thread's stack can't be found.";
    return false;
  }
  // The buffer exists before the thread is suspended: the suspended thread
  // may hold the heap's lock.
  auto snapshot = std::make_unique<TThreadSnapshot>();
  switch (SnapshotThread(thread, top, *snapshot)) {
    case TSnapshotResult::Ok:
      break;
    case TSnapshotResult::NotSuspended:
      if (error) *error = L"The thread can't be suspended.";
      return false;
    case TSnapshotResult::NoContext:
      if (error) *error = L"The thread's context can't be read.";
      return false;
    case TSnapshotResult::StackOutside:
      if (error) *error = L"The thread's stack pointer lies outside its stack.";
      return false;
  }
  AddSnapshotCallStack(list, *snapshot, threadID, details);
  return true;
}

void AddSnapshotCallStack(TTraciraStackList& list, const TThreadSnapshot& snapshot, std::uint32_t threadID,
                          TTrDetailSet details) {
  const std::uintptr_t sp = snapshot.StackPointer;
  const std::uint32_t size = snapshot.StackSize;
  TTrBufferReader stack(sp, std::vector<std::uint8_t>(snapshot.Stack, snapshot.Stack + size));
  TTrProcessMemoryReader code;
  TTrScanRequest request;
  request.StackPointer = sp;
  request.TopOfStack = sp + size;
  request.WordSize = kWordSize;
  request.Details = details;
  request.ThreadID = threadID;
  TTrX64Registers registers;
  SetUnwindStart(request, registers, &snapshot.Context);
  tracira::CallStackByAddresses(
      list, stack, code,
      [threadID](TTrAddress a, TTraciraDebugInfo& e, bool errorLine, bool running) {
        GetDebugInfosByAddr(a, threadID, e, errorLine, running);
      },
      request);
}

__attribute__((noinline)) std::vector<std::uint8_t> CopyCurrentStack(std::uint32_t maxBytes) {
  const std::uintptr_t sp = ToAddress(__builtin_frame_address(0));
  const std::uintptr_t top = CurrentTopOfStack();
  std::vector<std::uint8_t> copy(top > sp ? std::min<std::uintptr_t>(top - sp, maxBytes) : 0);
  CopyStack(sp, sp + copy.size(), copy);
  return copy;
}

void AddCallerCallStack(TTraciraStackList& list, const TTrCallerStack& thread, TTrDetailSet details) {
  if (thread.CallerStackDump.empty()) return;
  const auto size = static_cast<std::uint32_t>(thread.CallerStackDump.size());
  TTrBufferReader stack(0, thread.CallerStackDump);
  TTrProcessMemoryReader code;
  TTrScanRequest request;
  request.StackPointer = 0;
  request.TopOfStack = size;
  request.WordSize = kWordSize;
  request.Details = details;
  request.ThreadID = thread.ThreadID;
  request.RunningThread = false;
  const std::uint32_t id = thread.ThreadID;
  tracira::CallStackByAddresses(
      list, stack, code,
      [id](TTrAddress a, TTraciraDebugInfo& e, bool errorLine, bool running) {
        GetDebugInfosByAddr(a, id, e, errorLine, running);
      },
      request);
}

std::optional<std::pair<std::uintptr_t, std::uintptr_t>> GetProcedureBounds(std::uintptr_t address) {
  TTraciraModuleInfo* module = ProcessModules().ModuleInfoByAddr(address);
  if (!module) return std::nullopt;
  const std::uintptr_t base = module->Base();
  const auto rva = static_cast<std::uint32_t>(address - base);
  auto absolute = [&](std::pair<std::uint32_t, std::uint32_t> r, std::uint32_t offset) {
    return std::make_pair(base + offset + r.first, base + offset + r.second);
  };
  if (module->ExtraInformation && rva >= 0x1000) {
    if (const auto r = GetProcedureRangeByAddr(*module->ExtraInformation, module->UnitIndex(), rva - 0x1000))
      return absolute(*r, 0x1000);
    if (GetSourceInfoByAddr(*module->ExtraInformation, module->UnitIndex(), rva - 0x1000))
      return std::nullopt;
  }
  if (const TTrDebugInfoSource* source = module->OtherDebugData())
    if (const auto location = source->GetLocationInfo(rva); location && location->ProcedureRange)
      return absolute(*location->ProcedureRange, 0);
  if (const TTraciraFunctionInfo* f =
          module->ExtraInformation ? nullptr : FindFunction(module->FunctionsList, rva))
    return absolute({f->Addr, f->Addr + f->Size}, 0);
  return std::nullopt;
}

void* GetSymbolAddr(std::uint8_t symbol) {
  HMODULE main = GetModuleHandleW(nullptr);
  TTraciraModuleInfo* module = ProcessModules().ModuleInfoByAddr(reinterpret_cast<std::uintptr_t>(main));
  if (!module || !module->ExtraInformation) return nullptr;
  return tracira::GetSymbolAddr(main, *module->ExtraInformation, symbol);
}

}  // namespace tracira
