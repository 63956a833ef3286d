// The stack scan behind every call stack: the stack is not walked by frame
// pointers but read word by word, and a word counts as a return address
// when the bytes before it form a call instruction. Memory is read through
// TTrMemoryReader, so the scan runs on the live process (TrStack.cpp), on a
// saved copy of a stack, and on test memory alike. The code may be 32-bit
// (4-byte words, the call forms of 32-bit x86) or 64-bit (8-byte words,
// x86-64's forms: RIP-relative operands, REX prefixes).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "crashreport/core/TrCore.h"
#include "crashreport/core/TrTypes.h"

namespace tracira {

class TTrMemoryReader {
 public:
  virtual ~TTrMemoryReader() = default;
  // Copies size bytes at address into out; false (and out undefined) when
  // any of them can't be read.
  virtual bool Read(TTrAddress address, void* out, std::size_t size) = 0;
};

// A copy of memory that starts at Base.
class TTrBufferReader : public TTrMemoryReader {
 public:
  TTrBufferReader(TTrAddress base, std::vector<std::uint8_t> bytes) : fBase(base), fBytes(std::move(bytes)) {}
  bool Read(TTrAddress address, void* out, std::size_t size) override;

 private:
  TTrAddress fBase;
  std::vector<std::uint8_t> fBytes;
};

inline constexpr std::uint32_t kMaxStackScan = 102400;
inline constexpr std::uint32_t kStackReadBlock = 400;

// The code's word size in bytes: 4 (32-bit x86) or 8 (x86-64).
inline constexpr int kWords32 = 4, kWords64 = 8;

struct TTrCallSite {
  TTrAddress CallAddress = 0;  // start of the call instruction
  // A direct call's target, when the resolve-calls flag asks for it and it
  // isn't itself a call: listed as an entry before the call site.
  std::optional<TTrAddress> Target;
};

// Whether returnAddress follows a call instruction of the recognised forms.
std::optional<TTrCallSite> CallSiteBefore(TTrMemoryReader& code, TTrAddress returnAddress, bool resolveCalls,
                                          int wordSize = kWords32);

// Calls visit for every readable word from sp up to top (at most
// kMaxStackScan bytes), reading in blocks of kStackReadBlock bytes; words
// in unreadable memory are skipped.
void ScanStackWords(TTrMemoryReader& stack, TTrAddress sp, TTrAddress top,
                    const std::function<void(TTrAddress)>& visit, int wordSize = kWords32);

// Fills one entry for an address (GetDebugInfosByAddr of the platform).
using TTrAddressLookup =
    std::function<void(TTrAddress address, TTraciraDebugInfo& entry, bool errorLine, bool runningThread)>;

// Which details the caller keeps (bit n: detail n).
using TTrDetailSet = std::uint8_t;
inline constexpr TTrDetailSet kAllDetails = 0x1F;
constexpr bool InDetailSet(TTrDetailSet set, TTraciraDebugDetail d) { return (set >> d) & 1u; }

// The details that the report shows: source lines always, procedures of
// modules known by exports with csoShowDLLs, units and procedures from
// outside sources with csoShowBPLs.
TTrDetailSet GetDebugDetail(const TTraciraModuleOptions& options);

// The base of the image that holds an address, when it is one.
using TTrImageBaseOf = std::function<std::optional<TTrAddress>(TTrAddress)>;

struct TTrX64Registers;

struct TTrScanRequest {
  std::optional<TTrAddress> ExceptionAddress;
  // x86-64 code: the registers where the stack stood (Rip inside the
  // innermost function). The frames that the unwind tables describe come
  // first, and the scan goes on from where they end. Null: the scan only.
  const TTrX64Registers* Registers = nullptr;
  TTrImageBaseOf ImageBaseOf;
  TTrAddress StackPointer = 0, TopOfStack = 0;
  int WordSize = kWords32;
  TTrDetailSet Details = kAllDetails;
  int StartLevel = -1, Levels = -1;  // -1: from the first, without limit
  bool ResolveCalls = true, GetDebugInfo = true;
  std::uint32_t ThreadID = 0;
  bool RunningThread = true;
};

// Appends the call stack found on the stack to list (unwound frames, then
// scanned ones), then purges the stale copies among the new entries.
void CallStackByAddresses(TTraciraStackList& list, TTrMemoryReader& stack, TTrMemoryReader& code,
                          const TTrAddressLookup& lookup, const TTrScanRequest& request);

// Hides (DebugDetail := ddNone) an entry with procedure information when
// one of the next two later entries of the same module with procedure
// information has the same address; only entries from index first on.
void PurgeCallStack(TTraciraStackList& list, std::size_t first);

}  // namespace tracira
