// Call stacks of the running process: the scan of a thread's stack (this
// thread's, another thread's through its context, or the saved copy of a
// creator's stack) and the naming of each address by module, unit, class,
// procedure and line.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "crashreport/core/TrTypes.h"
#include "crashreport/debug/TrCallScan.h"
#include "crashreport/debug/TrModules.h"
#include "crashreport/debug/TrUnwind64.h"

namespace tracira {

// Reads this process's memory without faulting on unreadable pages. The
// regions met are remembered for the reader's lifetime (one scan): mapped
// images are copied from directly, since they stay in place while their
// module is loaded; free and inaccessible regions answer at once; other
// memory, which a running thread may release at any moment, is read
// through ReadProcessMemory.
class TTrProcessMemoryReader : public TTrMemoryReader {
 public:
  bool Read(TTrAddress address, void* out, std::size_t size) override;

 private:
  struct Region {
    std::uintptr_t Start = 0, End = 0;  // End 0: up to the end of the address space
    enum Kind : std::uint8_t { Unreadable, Image, Other } Access = Unreadable;
  };
  const Region& RegionAt(std::uintptr_t address);
  std::vector<Region> fRegions;  // sorted by Start
};

// The base of the loaded module that holds address.
std::optional<TTrAddress> LoadedImageBaseOf(TTrAddress address);

// What a scan of x86-64 code needs to unwind from where a thread stood: its
// registers and the lookup of loaded modules (nothing on 32-bit x86, whose
// stacks are scanned only).
void SetUnwindStart(TTrScanRequest& request, TTrX64Registers& registers, const CONTEXT* context);

// Fills entry for address: the module's own data block first, then its
// outside debug source, then its exports.
void GetDebugInfosByAddr(TTrAddress address, std::uint32_t threadID, TTraciraDebugInfo& entry, bool errorLine,
                         bool runningThread);

void CallStackByAddresses(TTraciraStackList& list, const void* exceptionAddress, std::uintptr_t stackPointer,
                          std::uintptr_t topOfStack, TTrDetailSet details, int startLevel, int levels,
                          bool resolveCalls, bool getDebugInfo, std::uint32_t threadID, bool runningThread,
                          const CONTEXT* context = nullptr);
TTraciraStackList GetCallStackByAddresses(const void* exceptionAddress, std::uintptr_t stackPointer,
                                          std::uintptr_t topOfStack, TTrDetailSet details, int startLevel,
                                          int levels, bool resolveCalls, bool getDebugInfo,
                                          std::uint32_t threadID);

// The top (highest address) of a thread's stack; 0 when unknown.
std::uintptr_t ThreadTopOfStack(HANDLE thread);
std::uintptr_t CurrentTopOfStack();

// The call stack of the calling thread from here outwards.
TTraciraStackList GetCurrentCallStack(TTrDetailSet details = kAllDetails);

// The call stack of another thread of this process: the thread is
// suspended while its context and stack are copied (TrSnapshot: nothing is
// allocated meanwhile), and resumed before the addresses are named, so that
// naming (which allocates) can't wait on a lock that the suspended thread
// holds. thread needs
// THREAD_SUSPEND_RESUME, THREAD_GET_CONTEXT and THREAD_QUERY_INFORMATION.
// False, with error set, when the thread can't be read.
bool GetThreadCallStack(HANDLE thread, std::uint32_t threadID, TTraciraStackList& list,
                        TTrDetailSet details = kAllDetails, std::wstring* error = nullptr);

// Appends the call stack of a thread copied by SnapshotThread.
struct TThreadSnapshot;
void AddSnapshotCallStack(TTraciraStackList& list, const TThreadSnapshot& snapshot, std::uint32_t threadID,
                          TTrDetailSet details = kAllDetails);

// The saved copy of the stack of the thread that created threadID (taken
// when it was created), scanned as such: entries get RunningThread false.
struct TTrCallerStack {
  std::uint32_t ThreadID = 0;  // the created thread
  std::vector<std::uint8_t> CallerStackDump;
};
// Copies up to maxBytes of the calling thread's stack, for a thread it
// is about to create.
std::vector<std::uint8_t> CopyCurrentStack(std::uint32_t maxBytes = kMaxStackScan);
void AddCallerCallStack(TTraciraStackList& list, const TTrCallerStack& thread,
                        TTrDetailSet details = kAllDetails);

// [start, end) of the procedure that holds address: from the module's data
// block, else its outside source, else the export that covers it. For the
// report's assembler section.
std::optional<std::pair<std::uintptr_t, std::uintptr_t>> GetProcedureBounds(std::uintptr_t address);

// Address of a runtime routine named in the main program's data block.
void* GetSymbolAddr(std::uint8_t symbol);

}  // namespace tracira
