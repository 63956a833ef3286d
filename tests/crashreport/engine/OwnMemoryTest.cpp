// The crash reporter gives back every block of the C runtime's heap it took,
// from its set-up to its end, so that a leak analysis after it sees only the
// program's own blocks.
//
// Before any static object of the program is made (a TLS callback runs
// before them, so before the crash reporter sets itself up) the heap is
// walked and the program's malloc, calloc and realloc imports are patched
// to note each block with the return addresses that led to it. After two
// whole handlings with every section of the report, the crash reporter is
// taken down and the heap walked again: a block that is new and was made
// with the crash reporter's code on the stack is one it kept. Blocks that
// the threading runtime makes for itself on first use (a lock's inner
// object, a thread's key data) are the runtime's. The walks and the notes
// live in fixed arrays, so that the test adds nothing to the heap it reads.
#include <malloc.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <typeinfo>

#include "crashreport/debug/TrDebug.h"
#include "crashreport/debug/TrModules.h"
#include "crashreport/debug/TrStack.h"
#include "crashreport/engine/ExceptionLog.h"
#include "rtl/Guarded.h"
#include "tests/crashreport/engine/EngineTestSupport.h"

extern "C" [[noreturn]] void __wrap___cxa_throw(void*, std::type_info*, void (*)(void*));
extern "C" [[noreturn]] void __wrap___cxa_rethrow();

namespace {

// ---------------------------------------------------------------------------
// Heap walks

struct TBlock {
  const void* Address;
  std::size_t Size;
};

// Zero-initialised: the first walk runs before any dynamic initialisation.
struct TBlocks {
  static constexpr std::size_t kMax = 100'000;
  TBlock Items[kMax];
  std::size_t Count;
  bool Overflowed;
};

constinit TBlocks gBefore{}, gAfter{};

bool ByAddress(const TBlock& a, const TBlock& b) { return a.Address < b.Address; }

HANDLE CrtHeap() { return reinterpret_cast<HANDLE>(_get_heap_handle()); }

void Walk(TBlocks& blocks) {
  const HANDLE heap = CrtHeap();
  blocks.Count = 0;
  HeapLock(heap);
  PROCESS_HEAP_ENTRY entry{};
  while (HeapWalk(heap, &entry)) {
    if (!(entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)) continue;
    if (blocks.Count == TBlocks::kMax) {
      blocks.Overflowed = true;
      break;
    }
    blocks.Items[blocks.Count++] = {entry.lpData, entry.cbData};
  }
  HeapUnlock(heap);
  std::sort(blocks.Items, blocks.Items + blocks.Count, ByAddress);
}

bool Known(const TBlocks& blocks, const TBlock& block) {
  const TBlock* end = blocks.Items + blocks.Count;
  const TBlock* it = std::lower_bound(blocks.Items, end, block, ByAddress);
  return it != end && it->Address == block.Address && it->Size == block.Size;
}

// ---------------------------------------------------------------------------
// Notes of who made each block

constexpr int kFrames = 32;
struct TNote {
  const void* Block;
  void* Frames[kFrames];
};
constexpr std::size_t kMaxNotes = 400'000;
constinit TNote gNotes[kMaxNotes]{};
constinit volatile LONG gNoteCount = 0;

using TMalloc = void*(__cdecl*)(size_t);
using TCalloc = void*(__cdecl*)(size_t, size_t);
using TRealloc = void*(__cdecl*)(void*, size_t);
constinit TMalloc gMalloc = nullptr;
constinit TCalloc gCalloc = nullptr;
constinit TRealloc gRealloc = nullptr;

void* Note(void* block) {
  if (!block) return block;
  const LONG index = InterlockedIncrement(&gNoteCount) - 1;
  if (static_cast<std::size_t>(index) < kMaxNotes) {
    gNotes[index].Block = block;
    RtlCaptureStackBackTrace(2, kFrames, gNotes[index].Frames, nullptr);
  }
  return block;
}
void* __cdecl NotedMalloc(size_t size) { return Note(gMalloc(size)); }
void* __cdecl NotedCalloc(size_t count, size_t size) { return Note(gCalloc(count, size)); }
void* __cdecl NotedRealloc(void* old, size_t size) { return Note(gRealloc(old, size)); }

const TNote* NoteOf(const void* block) {
  const auto count = std::min<std::size_t>(static_cast<std::size_t>(gNoteCount), kMaxNotes);
  for (std::size_t i = count; i-- > 0;)
    if (gNotes[i].Block == block) return &gNotes[i];
  return nullptr;
}

// Points the program's import of one msvcrt function at another.
template <class F>
F PatchImport(const char* name, F replacement) {
  auto* base = reinterpret_cast<std::uint8_t*>(GetModuleHandleW(nullptr));
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d) {
    if (_stricmp(reinterpret_cast<const char*>(base + d->Name), "msvcrt.dll") != 0) continue;
    auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0) continue;
      DWORD old = 0;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old);
      const auto original = reinterpret_cast<F>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
      return original;
    }
  }
  return nullptr;
}

void NTAPI BeforeStaticObjects(PVOID, DWORD reason, PVOID) {
  if (reason != DLL_PROCESS_ATTACH) return;
  Walk(gBefore);
  gMalloc = PatchImport("malloc", &NotedMalloc);
  gCalloc = PatchImport("calloc", &NotedCalloc);
  gRealloc = PatchImport("realloc", &NotedRealloc);
}

// ---------------------------------------------------------------------------
// Who made a block

tracira::TTraciraDebugInfo NameOf(void* address) {
  tracira::TTraciraDebugInfo entry;
  tracira::GetDebugInfosByAddr(reinterpret_cast<std::uintptr_t>(address), 0, entry, false, false);
  return entry;
}

// The threading runtime's sources (winpthreads, the emulated thread-local
// storage): they make blocks of their own on first use, whoever calls them.
bool IsThreadingRuntime(const std::string& unit) {
  static constexpr const char* kUnits[] = {"thread.c",   "mutex.c", "rwlock.c", "cond.c",
                                           "spinlock.c", "misc.c",  "sem.c",    "emutls.c"};
  return std::any_of(std::begin(kUnits), std::end(kUnits), [&](const char* u) { return unit == u; });
}

// The crash reporter's own code, as its reports tell it apart.
bool IsCrashReporterCode(void* address) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  tracira::TTraciraModuleInfo* module = tracira::ProcessModules().ModuleInfoByAddr(at);
  if (!module || !module->ExtraInformation || at - module->Base() < 0x1000) return false;
  return tracira::IsTraciraCode(*module->ExtraInformation,
                                static_cast<std::uint32_t>(at - module->Base() - 0x1000));
}

// The throw hook hands every throw of the program on to the C++ runtime,
// whose first throw on a thread makes that thread's exception globals.
bool IsTheThrowHook(void* address) {
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  for (const void* hook : {reinterpret_cast<const void*>(&__wrap___cxa_throw),
                           reinterpret_cast<const void*>(&__wrap___cxa_rethrow)}) {
    const auto bounds = tracira::GetProcedureBounds(reinterpret_cast<std::uintptr_t>(hook));
    if (bounds && at >= bounds->first && at < bounds->second) return true;
  }
  return false;
}

// The crash reporter's code made the block: going out from the
// allocation, its code comes before the threading runtime's (which makes
// blocks of its own on first use, whoever calls it), and it is not the
// throw hook passing a throw on.
bool MadeByTheCrashReporter(const TNote& note, std::string& where) {
  for (void* frame : note.Frames) {
    if (!frame) break;
    if (IsCrashReporterCode(frame)) {
      if (IsTheThrowHook(frame)) return false;
      char text[32];
      std::snprintf(text, sizeof text, "%p", frame);
      where = text;
      return true;
    }
    if (IsThreadingRuntime(NameOf(frame).UnitName)) return false;
  }
  return false;
}

// ---------------------------------------------------------------------------

volatile int* volatile gNowhere = nullptr;
__attribute__((noinline)) int ReadNowhere() { return *gNowhere; }

class EScanerGone : public rtl::Exception {
 public:
  using Exception::Exception;
};

void HandleSome() {
  using namespace tracira;
  enginetest::PrepareOptions("own-memory");
  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  TLogOptions log = o.LogOptions();
  o.SetLogOptions(log.Include(loSaveModulesAndProcessesSections).Include(loSaveAssemblerAndCPUSections));
  rtl::Guarded([] { ReadNowhere(); }, [] { ExceptionManager(nullptr, nullptr, 1, nullptr); });
  rtl::Guarded([] { throw EScanerGone(L"The scanner is gone"); },
               [] { ExceptionManager(nullptr, nullptr, 1, nullptr); });
}

}  // namespace

extern "C" __attribute__((section(".CRT$XLB"), used)) const PIMAGE_TLS_CALLBACK gBeforeStaticObjects =
    BeforeStaticObjects;

int main() {
  if (!tracira::IsTraciraLogInstalled() || gBefore.Count == 0 || !gMalloc || !gCalloc || !gRealloc) {
    std::puts("the crash reporter, the first walk or the notes are missing");
    return 2;
  }
  HandleSome();
  const int reports = tracira::ExceptionCount();
  tracira::Done();
  Walk(gAfter);
  if (gBefore.Overflowed || gAfter.Overflowed || static_cast<std::size_t>(gNoteCount) > kMaxNotes) {
    std::puts("too many blocks to compare");
    return 2;
  }
  if (reports != 2) {
    std::printf("%d reports instead of 2\n", reports);
    return 2;
  }
  // Read once the walks are done: naming the frames takes the heap again.
  std::size_t kept = 0, keptBytes = 0, unnoted = 0;
  for (std::size_t i = 0; i < gAfter.Count; ++i) {
    const TBlock& b = gAfter.Items[i];
    if (Known(gBefore, b)) continue;
    const TNote* note = NoteOf(b.Address);
    if (!note) {
      ++unnoted;
      continue;
    }
    std::string where;
    if (!MadeByTheCrashReporter(*note, where)) continue;
    ++kept;
    keptBytes += b.Size;
    if (kept <= 40) std::printf("kept: %zu bytes made at %s\n", b.Size, where.c_str());
  }
  std::printf("%zu blocks (%zu bytes) of the crash reporter's outlive it; %zu blocks not noted\n", kept,
              keptBytes, unnoted);
  return kept == 0 ? 0 : 1;
}
