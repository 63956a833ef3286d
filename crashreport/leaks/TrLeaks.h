// The leak detector of this module (Windows). When the module's data block
// has leak catching on, it sets itself up at the first allocation it sees
// (before any static object is made) and from then on every block of
// malloc, calloc, realloc and every operator new carries its header and
// footer. Blocks it did not make (before it was on, or by the C runtime
// itself, such as _strdup's) pass through to the C runtime unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "crashreport/core/TrCore.h"
#include "crashreport/leaks/TrLeakBlock.h"

namespace tracira::leaks {

// Whether the detector tracks new blocks, and the options it read.
bool Tracking();
TLeaksOptions Options();

// The error of one release, reported where it happened: the releasing
// call's return address. Runs outside the list's lock; nothing of the
// release is pending. Set by the crash reporter.
using TErrorReporter = void (*)(TLeakError error, std::uintptr_t site);
void SetErrorReporter(TErrorReporter reporter);

// One leak as the crash reporter reports it: the class of a leaked object
// (demangled) or empty for data, the group's size and count, and the call
// sites from the allocating one outwards (the tail is 0).
struct TLeakRow {
  std::string Type;
  std::uint64_t Size = 0;
  std::uint32_t Count = 0;
  TCallStack Stack{};
  std::vector<const void*> Blocks;  // the caller's data of every block in it
};

// New blocks are no longer tracked; releases of tracked ones still are.
void StopTracking();

// The end: new blocks are no longer tracked, and the blocks still live are
// analysed. Runs once, after everything else of the program has ended.
// reportable tells the program's leaks by their allocating call site.
std::vector<TLeakRow> StopAndAnalyse(std::function<bool(std::uintptr_t site)> reportable);
// Gives back the blocks of the rows that were reported (loFreeAllLeaks) and
// are still live. Only the program's own leaks are given: the runtime's
// blocks, which its own teardown may free later, never are.
void FreeLeaks(const std::vector<TLeakRow>& rows);

// The list's lock, for the crash reporter's pausing of threads: held, no
// paused thread is inside the list, and the holder may still allocate.
void LockList();
void UnlockList();
class TListHold {
 public:
  TListHold() { LockList(); }
  ~TListHold() { UnlockList(); }
  TListHold(const TListHold&) = delete;
  TListHold& operator=(const TListHold&) = delete;
};

// What every form of operator new and delete (TrLeaksNew.inc) runs: a new
// block (tracked or not) with the new-handler's loop, and the release of
// any block, ours or the C runtime's (aligned: from _aligned_malloc).
void* NewBlock(std::size_t size, std::size_t alignment, bool nothrow, const void* returnAddress,
               const void* frame);
void ReleaseAny(void* p, const void* returnAddress, bool aligned);
std::size_t Aligned(std::align_val_t alignment);

}  // namespace tracira::leaks
