// The detector in front of the C runtime's heap (the --wrap of malloc,
// free, calloc and realloc) and of every operator new and delete of this
// module. Everything on the allocation path uses only the real allocator,
// the system and the list; nothing here calls back into the wrapped
// functions while the list's lock is held.
#include <cxxabi.h>
#include <malloc.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <typeinfo>

#include "crashreport/debug/TrStack.h"
#include "crashreport/leaks/TrLeakAnalysis.h"
#include "crashreport/leaks/TrLeaks.h"

extern "C" {
void* __real_malloc(std::size_t size);
void __real_free(void* p);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* p, std::size_t size);
extern IMAGE_DOS_HEADER __ImageBase;
}

namespace tracira::leaks {

std::uint32_t CurrentThreadKey() { return GetCurrentThreadId(); }

void Pause(unsigned attempt) { Sleep(attempt == 0 ? 0 : 10); }

namespace {

enum : int { kUnknown, kOff, kOn };

constinit std::atomic<int> gState{kUnknown};
constinit std::atomic<bool> gTracking{false};
constinit std::atomic<std::uint8_t> gOptions{0};
constinit std::atomic<TErrorReporter> gReporter{nullptr};
constinit TBlockList gList;

bool ReadModuleOptions(HMODULE module, TBlockLeakOptions& out) {
  HRSRC resource = FindResourceW(module, L"TRDATA", MAKEINTRESOURCEW(10));  // RT_RCDATA
  if (!resource) return false;
  HGLOBAL loaded = LoadResource(module, resource);
  const void* data = loaded ? LockResource(loaded) : nullptr;
  return data &&
         ReadBlockLeakOptions(static_cast<const std::uint8_t*>(data), SizeofResource(module, resource), out);
}

// The first allocation of the module: the data block's leak options decide
// for good whether blocks are tracked. Only the resource functions are
// used, which take nothing from the C runtime's heap.
bool SetUp() {
  const auto self = reinterpret_cast<HMODULE>(&__ImageBase);
  TBlockLeakOptions options;
  bool found = ReadModuleOptions(self, options);
  if (found && options.FromMainModule && self != GetModuleHandleW(nullptr))
    found = ReadModuleOptions(GetModuleHandleW(nullptr), options);
  const bool on = found && (options.Options & (1u << loCatchLeaks));
  gOptions = found ? options.Options : 0;
  gTracking = on;
  int expected = kUnknown;
  gState.compare_exchange_strong(expected, on ? kOn : kOff);
  return on;
}

bool On() {
  const int state = gState.load(std::memory_order_relaxed);
  if (state == kOn) return gTracking.load(std::memory_order_relaxed);
  return state == kUnknown && SetUp();
}

// The raw words from the allocating call's return address up, never past
// the stack's top.
TCallStack RawStack(const void* frame) {
  TCallStack raw{};
  const auto from = reinterpret_cast<std::uintptr_t>(frame) + sizeof(void*);
  const std::uintptr_t top = CurrentTopOfStack();
  for (std::size_t i = 0; i < kStackDepth; ++i) {
    const std::uintptr_t at = from + i * sizeof(std::uintptr_t);
    if (at + sizeof(std::uintptr_t) > top) break;
    raw[i] = *reinterpret_cast<const std::uintptr_t*>(at);
  }
  return raw;
}

// The return addresses from the allocating call outwards: the system's
// walk (by the unwind tables on x86-64), with the detector's own frames
// left out.
// Whether a return address lies in one of the forms of operator new (ours
// or the program's own replacement), which the array and nothrow forms
// call: the allocation's call site is the new-expression that called them.
bool InOperatorNew(const void* address) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  const auto plain = static_cast<void* (*)(std::size_t)>(&::operator new);
  const auto aligned = static_cast<void* (*)(std::size_t, std::align_val_t)>(&::operator new);
  const auto array = static_cast<void* (*)(std::size_t)>(&::operator new[]);
  const auto alignedArray = static_cast<void* (*)(std::size_t, std::align_val_t)>(&::operator new[]);
  const auto nothrow = static_cast<void* (*)(std::size_t, const std::nothrow_t&) noexcept>(&::operator new);
  const auto nothrowArray =
      static_cast<void* (*)(std::size_t, const std::nothrow_t&) noexcept>(&::operator new[]);
  const auto alignedNothrow =
      static_cast<void* (*)(std::size_t, std::align_val_t, const std::nothrow_t&) noexcept>(&::operator new);
  const auto alignedNothrowArray =
      static_cast<void* (*)(std::size_t, std::align_val_t, const std::nothrow_t&) noexcept>(
          &::operator new[]);
  const std::uintptr_t forms[] = {reinterpret_cast<std::uintptr_t>(plain),
                                  reinterpret_cast<std::uintptr_t>(aligned),
                                  reinterpret_cast<std::uintptr_t>(array),
                                  reinterpret_cast<std::uintptr_t>(alignedArray),
                                  reinterpret_cast<std::uintptr_t>(nothrow),
                                  reinterpret_cast<std::uintptr_t>(nothrowArray),
                                  reinterpret_cast<std::uintptr_t>(alignedNothrow),
                                  reinterpret_cast<std::uintptr_t>(alignedNothrowArray)};
#if defined(__x86_64__)
  DWORD64 base = 0;
  const PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(at, &base, nullptr);
  if (!function) return false;
  const std::uintptr_t begin = base + function->BeginAddress;
  return std::find(std::begin(forms), std::end(forms), begin) != std::end(forms);
#else
  // No function tables: the forms are short.
  return std::any_of(std::begin(forms), std::end(forms),
                     [&](std::uintptr_t form) { return at - form < 256; });
#endif
}

// The return addresses from here outwards, at most max of them.
#if defined(__x86_64__)
// The unwind tables' walk, with the function table of the module found
// once per module and kept: the system's own look-up, done for every frame
// of every allocation, is most of the cost of tracking.
struct TModuleTable {
  std::uintptr_t Begin, End;
  const RUNTIME_FUNCTION* Functions;
  std::size_t Count;
};
constinit TModuleTable gTables[64] = {};
constinit std::atomic<std::size_t> gTableCount{0};
constinit TListLock gTablesLock;

const RUNTIME_FUNCTION* LookUp(std::uintptr_t pc, std::uintptr_t& base) {
  for (std::size_t i = 0, n = gTableCount.load(std::memory_order_acquire); i < n; ++i) {
    const TModuleTable& t = gTables[i];
    if (pc < t.Begin || pc >= t.End) continue;
    base = t.Begin;
    const auto rva = static_cast<DWORD>(pc - t.Begin);
    std::size_t low = 0, high = t.Count;
    while (low < high) {
      const std::size_t mid = (low + high) / 2;
      if (rva < t.Functions[mid].BeginAddress)
        high = mid;
      else if (rva >= t.Functions[mid].EndAddress)
        low = mid + 1;
      else
        return &t.Functions[mid];
    }
    return nullptr;
  }
  DWORD64 found = 0;
  const PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(pc, &found, nullptr);
  if (!function) return nullptr;
  base = static_cast<std::uintptr_t>(found);
  // The module's whole table, for the next time.
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXCEPTION];
  const auto* functions = reinterpret_cast<const RUNTIME_FUNCTION*>(base + dir.VirtualAddress);
  const std::size_t count = dir.Size / sizeof(RUNTIME_FUNCTION);
  if (functions <= function && function < functions + count) {
    TListGuard guard(gTablesLock);
    const std::size_t n = gTableCount.load();
    bool known = false;
    for (std::size_t i = 0; i < n; ++i) known = known || gTables[i].Begin == base;
    if (!known && n < std::size(gTables)) {
      gTables[n] = {base, base + nt->OptionalHeader.SizeOfImage, functions, count};
      gTableCount.store(n + 1, std::memory_order_release);
    }
  }
  return function;
}

USHORT CaptureFrames(void** frames, USHORT max) {
  CONTEXT context{};
  RtlCaptureContext(&context);
  const std::uintptr_t top = CurrentTopOfStack();
  USHORT n = 0;
  while (n < max) {
    std::uintptr_t base = 0;
    const RUNTIME_FUNCTION* function = LookUp(context.Rip, base);
    if (function) {
      void* handlerData = nullptr;
      DWORD64 establisher = 0;
      RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, const_cast<PRUNTIME_FUNCTION>(function),
                       &context, &handlerData, &establisher, nullptr);
    } else {
      // A leaf function: the return address is on top of the stack.
      if (context.Rsp + 8 > top) break;
      context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
      context.Rsp += 8;
    }
    if (context.Rip == 0 || context.Rsp >= top) break;
    frames[n++] = reinterpret_cast<void*>(context.Rip);
  }
  return n;
}
#else
USHORT CaptureFrames(void** frames, USHORT max) { return RtlCaptureStackBackTrace(0, max, frames, nullptr); }
#endif

TCallStack FrameStack(const void* returnAddress) {
  void* frames[kStackDepth + 16] = {};
  const USHORT n = CaptureFrames(frames, kStackDepth + 16);
  std::size_t first = 0;
  while (first < n && frames[first] != returnAddress) ++first;
  if (first == n) first = 0;
  while (first + 1 < n && InOperatorNew(frames[first])) ++first;
  TCallStack stack{};
  for (std::size_t i = first; i < n && i - first < kStackDepth; ++i)
    stack[i - first] = reinterpret_cast<std::uintptr_t>(frames[i]);
  return stack;
}

__attribute__((noinline)) void* Track(std::size_t size, std::size_t alignment, TBlockType type,
                                      const void* returnAddress, const void* frame) {
  const std::size_t total = BlockSize(size, alignment);
  if (total == 0) {
    errno = ENOMEM;
    return nullptr;
  }
  void* base = __real_malloc(total);
  if (!base) return nullptr;
  const TCallStack frames = FrameStack(returnAddress);
  TCallStack raw = RawStack(frame);
  // The raw words, too, start at the new-expression when the walk found it
  // beyond the forms of operator new.
  if (type == btObject && frames[0] != raw[0])
    if (const auto it = std::find(raw.begin(), raw.end(), frames[0]); it != raw.end()) {
      std::move(it, raw.end(), raw.begin());
      std::fill(raw.end() - (it - raw.begin()), raw.end(), 0);
    }
  return Stamp(gList, base, size, type, raw, frames, alignment);
}

// Whether the header's two last words in front of p may be read: on p's
// own page, or on a committed readable page before it.
bool PageReadable(std::uintptr_t at) {
  MEMORY_BASIC_INFORMATION info{};
  if (!VirtualQuery(reinterpret_cast<const void*>(at), &info, sizeof info)) return false;
  const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                         PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return info.State == MEM_COMMIT && (info.Protect & readable) && !(info.Protect & PAGE_GUARD);
}

// Whether the words in front of p that tell a block of ours (signature,
// check, state) may be read. A pointer released a second time may lie in
// memory the heap has given back to the system. The heap does that with a
// large block, a mapping of its own whose data starts in the mapping's
// first page (mappings start on 64 KiB), and with the free tail of a heap
// area, but only from 64 KiB past the start of the free block, behind the
// header. So the system is asked about the first page of a 64 KiB unit and
// about a header that starts on another page than p; any other pointer
// given to free lies in memory the heap holds. (Asking for every release
// made tracking seven times slower.)
bool HeaderReadable(const void* p) {
  const auto at = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t from = at - 2 * sizeof(std::uintptr_t);
  if (at < 0x10000) return false;
  const bool samePage = from / 4096 == (at - 1) / 4096;
  if (samePage && (at & 0xFFFF) >= 4096) return true;
  return PageReadable(from) && (samePage || PageReadable(at - 1));
}

bool Ours(const void* p) { return HeaderReadable(p) && LooksOurs(p); }

void Report(TLeakError error, const void* returnAddress) {
  if (error == leNone || !(gOptions.load() & (1u << loCatchLeaksExceptions))) return;
  if (const TErrorReporter reporter = gReporter.load())
    reporter(error, reinterpret_cast<std::uintptr_t>(returnAddress));
}

// A release of a block known to be ours.
void ReleaseOurs(void* p, const void* returnAddress) {
  const TRelease r = Release(p);
  if (r.Base) __real_free(r.Base);
  Report(r.Error, returnAddress);
}

// The analysis reads memory that is not the detector's: every range is
// checked first. The answers per page are kept, since the same code and
// type-information pages are asked for again and again.
class TReadableCache {
 public:
  bool Read(std::uintptr_t address, void* out, std::size_t size) {
    if (size == 0 || address < 0x10000 || address + size < address) return false;
    for (std::uintptr_t page = address / kPage; page <= (address + size - 1) / kPage; ++page)
      if (!PageReadable(page)) return false;
    std::memcpy(out, reinterpret_cast<const void*>(address), size);
    return true;
  }

 private:
  static constexpr std::uintptr_t kPage = 4096;
  static constexpr std::size_t kSlots = 1024;
  bool PageReadable(std::uintptr_t page) {
    Slot& slot = fSlots[page % kSlots];
    if (slot.Page == page + 1) return slot.Readable;
    MEMORY_BASIC_INFORMATION info{};
    const DWORD readable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                           PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
    slot.Readable = VirtualQuery(reinterpret_cast<const void*>(page * kPage), &info, sizeof info) &&
                    info.State == MEM_COMMIT && (info.Protect & readable) && !(info.Protect & PAGE_GUARD);
    slot.Page = page + 1;
    return slot.Readable;
  }
  struct Slot {
    std::uintptr_t Page;  // page + 1; 0: empty
    bool Readable;
  };
  Slot fSlots[kSlots] = {};
};

constinit TReadableCache gReadable;

bool ReadMemory(std::uintptr_t address, void* out, std::size_t size) {
  return gReadable.Read(address, out, size);
}

// The type information classes' virtual tables of this module's C++
// runtime: what a type_info object of a polymorphic class starts with.
struct TProbeBase {
  virtual ~TProbeBase() = default;
};
struct TProbeOther {
  virtual ~TProbeOther() = default;
};
struct TProbeSingle : TProbeBase {};
struct TProbeMulti : TProbeBase, TProbeOther {};

bool IsTypeInfoTable(std::uintptr_t table) {
  for (const std::type_info* t : {&typeid(TProbeBase), &typeid(TProbeSingle), &typeid(TProbeMulti)})
    if (*reinterpret_cast<const std::uintptr_t*>(t) == table) return true;
  return false;
}

// The class of the object at data: its first word a virtual table whose
// slot in front holds type information of this module's runtime.
std::string ClassOf(const void* data, std::size_t size) {
  std::uintptr_t table = 0, info = 0, infoTable = 0;
  if (size < sizeof(void*) || !ReadMemory(reinterpret_cast<std::uintptr_t>(data), &table, sizeof table) ||
      !ReadMemory(table - sizeof(void*), &info, sizeof info) ||
      !ReadMemory(info, &infoTable, sizeof infoTable) || !IsTypeInfoTable(infoTable))
    return {};
  const char* mangled = reinterpret_cast<const std::type_info*>(info)->name();
  char probe = 0;
  if (!ReadMemory(reinterpret_cast<std::uintptr_t>(mangled), &probe, 1)) return {};
  int status = 0;
  char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = demangled && status == 0 ? demangled : mangled;
  __real_free(demangled);
  return name;
}

bool SameFunction(std::uintptr_t a, std::uintptr_t b) {
#if defined(__x86_64__)
  DWORD64 baseA = 0, baseB = 0;
  const PRUNTIME_FUNCTION fa = RtlLookupFunctionEntry(a, &baseA, nullptr);
  const PRUNTIME_FUNCTION fb = RtlLookupFunctionEntry(b, &baseB, nullptr);
  return fa && fb && baseA == baseB && fa->BeginAddress == fb->BeginAddress;
#else
  // No function tables on x86: near enough in one module.
  HMODULE ma = nullptr, mb = nullptr;
  const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  return GetModuleHandleExW(flags, reinterpret_cast<LPCWSTR>(a), &ma) &&
         GetModuleHandleExW(flags, reinterpret_cast<LPCWSTR>(b), &mb) && ma == mb &&
         (a > b ? a - b : b - a) < 0x1000;
#endif
}

}  // namespace

void ReleaseAny(void* p, const void* returnAddress, bool aligned) {
  if (!p) return;
  if (Ours(p))
    ReleaseOurs(p, returnAddress);
  else if (aligned)
    _aligned_free(p);
  else
    __real_free(p);
}

void* NewBlock(std::size_t size, std::size_t alignment, bool nothrow, const void* returnAddress,
               const void* frame) {
  if (size == 0) size = 1;
  for (;;) {
    void* p;
    if (On())
      p = Track(size, alignment, btObject, returnAddress, frame);
    else if (alignment > kBlockAlignment)
      p = _aligned_malloc(size, alignment);
    else
      p = __real_malloc(size);
    if (p) return p;
    const std::new_handler handler = std::get_new_handler();
    if (!handler) {
      if (nothrow) return nullptr;
      throw std::bad_alloc();
    }
    if (nothrow) {
      try {
        handler();
      } catch (...) {
        return nullptr;
      }
    } else {
      handler();
    }
  }
}

std::size_t Aligned(std::align_val_t alignment) {
  return std::max(static_cast<std::size_t>(alignment), kBlockAlignment);
}

std::vector<TLeakRow> StopAndAnalyse(std::function<bool(std::uintptr_t site)> reportable) {
  gTracking = false;
  std::vector<TLeakRow> rows;
  if (gState.load() != kOn) return rows;
  // New blocks are no longer tracked, so what the analysis allocates takes
  // neither the list nor its lock; a release of a tracked block by another
  // thread waits until the list is read.
  std::vector<TLeak> leaks;
  {
    TListGuard guard(gList.Lock);
    for (const TBlockHeader* h = gList.First; h; h = h->Next) {
      TLeak& leak = leaks.emplace_back();
      leak.Data = h + 1;
      leak.Size = h->Size;
      leak.Raw = h->Raw;
      leak.Frames = h->Frames;
      if (h->Type == btObject) leak.TypeName = ClassOf(leak.Data, leak.Size);
      leak.Type = leak.TypeName.empty() ? btData : btObject;
    }
    TAnalysisSystem system;
    system.Read = ReadMemory;
    system.SameFunction = SameFunction;
    system.Reportable = std::move(reportable);
    TAnalysisOptions options;
    options.GroupSons = gOptions.load() & (1u << loGroupsSonLeaks);
    AnalyseLeaks(leaks, system, options);
  }
  std::vector<std::size_t> rowOf(leaks.size(), SIZE_MAX);
  for (std::size_t i = 0; i < leaks.size(); ++i) {
    if (leaks[i].Removed || leaks[i].Raw[0] == 0) continue;
    rowOf[i] = rows.size();
    TLeakRow& row = rows.emplace_back();
    row.Type = leaks[i].TypeName;
    row.Size = leaks[i].Size;
    row.Count = leaks[i].Count;
    row.Stack = leaks[i].Raw;
  }
  for (std::size_t i = 0; i < leaks.size(); ++i)
    if (const std::size_t as = ReportedAs(leaks, i); as != SIZE_MAX)
      rows[rowOf[as]].Blocks.push_back(leaks[i].Data);
  return rows;
}

void FreeLeaks(const std::vector<TLeakRow>& rows) {
  std::vector<const void*> blocks;
  for (const TLeakRow& row : rows) blocks.insert(blocks.end(), row.Blocks.begin(), row.Blocks.end());
  std::sort(blocks.begin(), blocks.end());
  TListGuard guard(gList.Lock);
  for (TBlockHeader* h = gList.First; h;) {
    TBlockHeader* next = h->Next;
    if (std::binary_search(blocks.begin(), blocks.end(), static_cast<const void*>(h + 1)))
      ReleaseOurs(h + 1, nullptr);
    h = next;
  }
}

bool Tracking() { return On(); }
void StopTracking() { gTracking = false; }
TLeaksOptions Options() {
  On();
  return TLeaksOptions::FromBits(gOptions.load());
}
void SetErrorReporter(TErrorReporter reporter) { gReporter = reporter; }
void LockList() { gList.Lock.Lock(); }
void UnlockList() { gList.Lock.Unlock(); }

}  // namespace tracira::leaks

using namespace tracira::leaks;

#define TR_RETURN __builtin_return_address(0)
#define TR_FRAME __builtin_frame_address(0)

extern "C" {

__attribute__((noinline)) void* __wrap_malloc(std::size_t size) {
  if (!On()) return __real_malloc(size);
  return Track(size, kBlockAlignment, btData, TR_RETURN, TR_FRAME);
}

__attribute__((noinline)) void* __wrap_calloc(std::size_t count, std::size_t size) {
  if (!On()) return __real_calloc(count, size);
  if (size && count > SIZE_MAX / size) {
    errno = ENOMEM;
    return nullptr;
  }
  void* p = Track(count * size, kBlockAlignment, btData, TR_RETURN, TR_FRAME);
  if (p) std::memset(p, 0, count * size);
  return p;
}

__attribute__((noinline)) void __wrap_free(void* p) { ReleaseAny(p, TR_RETURN, false); }

// A tracked block moves to a new block (the old one stays valid and
// tracked when that fails); any other block is the C runtime's business.
__attribute__((noinline)) void* __wrap_realloc(void* p, std::size_t size) {
  if (!p)
    return On() ? Track(size, kBlockAlignment, btData, TR_RETURN, TR_FRAME) : __real_realloc(nullptr, size);
  if (!Ours(p)) return __real_realloc(p, size);
  TBlockHeader* header = HeaderOf(p);
  if (header->State == bsReleased) {
    Report(leMultiFree, TR_RETURN);
    return nullptr;
  }
  if (size == 0) {
    ReleaseOurs(p, TR_RETURN);
    return nullptr;
  }
  void* q = On() ? Track(size, kBlockAlignment, btData, TR_RETURN, TR_FRAME) : __real_malloc(size);
  if (!q) return nullptr;
  std::memcpy(q, p, std::min(header->Size, size));
  ReleaseOurs(p, TR_RETURN);
  return q;
}

}  // extern "C"
