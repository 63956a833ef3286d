// The final analysis of the blocks still live when the program ends: call
// stacks cleaned down to call sites, the leaks beyond the limit dropped,
// equal leaks grouped, and blocks owned by a leaked object folded into its
// leak. Reads memory only through the reader it is given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "crashreport/leaks/TrLeakBlock.h"

namespace tracira::leaks {

// At most this many leaks are reported.
inline constexpr std::size_t kMaxLeaks = 1025;

enum class TCodeWidth : std::uint8_t { x86, x64 };

// The process's memory as the analysis may read it: false (and nothing
// read) when any byte of [address, address + size) can't be read.
using TReadMemory = std::function<bool(std::uintptr_t address, void* out, std::size_t size)>;

// Turns each entry that is a return address into the address of the call
// instruction in front of it, drops every other entry and moves the rest
// to the front (the tail is 0).
void PurgeCallStack(TCallStack& stack, const TReadMemory& read, TCodeWidth width);

// One live block as the analysis sees it.
struct TLeak {
  const void* Data = nullptr;  // the caller's data
  std::size_t Size = 0;        // the group's sum after grouping and folding
  std::uint32_t Count = 1;     // the group's leaks
  TBlockType Type = btData;
  std::string TypeName;  // the class of an object block
  TCallStack Raw{};
  TCallStack Frames{};
  bool Removed = false;  // grouped, folded, or beyond the limit
  // The leak this one was grouped or folded into (an index), or itself.
  std::size_t Into = SIZE_MAX;
};

// The leak that reports leaks[i]: itself, or the one it was grouped or
// folded into; SIZE_MAX when it is not reported (beyond the limit, no call
// site).
std::size_t ReportedAs(const std::vector<TLeak>& leaks, std::size_t i);

// What the platform tells the analysis.
struct TAnalysisSystem {
  TReadMemory Read;
  TCodeWidth Width = sizeof(void*) == 8 ? TCodeWidth::x64 : TCodeWidth::x86;
  // The dynamic class of an object at data (from its virtual table's type
  // information); empty when data holds no object.
  std::function<std::string(const void* data, std::size_t size)> ClassOf;
  // Whether two code addresses lie in one function.
  std::function<bool(std::uintptr_t a, std::uintptr_t b)> SameFunction;
  // Whether a leak allocated at this call site is the program's (not the
  // runtime's own state); empty: every one is.
  std::function<bool(std::uintptr_t site)> Reportable;
};

struct TAnalysisOptions {
  bool GroupSons = false;
};

// The analysis over the live blocks in allocation order. Afterwards the
// leaks not Removed are those to report; each Raw starts at the allocating
// call site. Leaks without a call site, or not Reportable, are dropped
// before the limit counts.
void AnalyseLeaks(std::vector<TLeak>& leaks, const TAnalysisSystem& system, const TAnalysisOptions& options);

// The separate steps, in the order AnalyseLeaks runs them.
void PurgeCallStacks(std::vector<TLeak>& leaks, const TAnalysisSystem& system);
void RemoveExtraLeaks(std::vector<TLeak>& leaks);
void CountAllLeaks(std::vector<TLeak>& leaks);
void RemoveLeaksSons(std::vector<TLeak>& leaks, const TAnalysisSystem& system);

// Whether b was made by a's object while it was being built: a's data
// holds a pointer into b, and b's stack passes through the function that
// made a, at a later call, with the same caller.
bool IsALeakChild(const TLeak& a, const TLeak& b, const TAnalysisSystem& system);

}  // namespace tracira::leaks
