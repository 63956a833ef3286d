// Call stacks of this program, named from the data block embedded in it:
// nested calls (direct, through a register, through memory), a captured
// access violation, the stack of a second, waiting thread, and the saved
// stack of a thread's creator; on x86-64 also the unwound frames of a
// thread against the system's own unwind. Built without optimisation, so
// that each call stays where its line says.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "crashreport/debug/TrStack.h"
#include "crashreport/snapshot/TrSnapshot.h"

namespace {

using tracira::TTraciraDebugInfo;
using tracira::TTraciraStackList;

// Line of each call site, written on the same line as the call.
int gLine[16];
TTraciraStackList gCaptured;
std::uintptr_t gFunctionStart;  // a code address behind no call instruction

std::uintptr_t Addr(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

struct Frame {
  const char* Class;
  const char* Procedure;
  int LineSlot;
};

// The shown entries (procedure information or better) of this program.
std::vector<const TTraciraDebugInfo*> Shown(const TTraciraStackList& list) {
  std::vector<const TTraciraDebugInfo*> out;
  for (const auto& e : list)
    if (e.DebugDetail >= tracira::ddProcedure && e.UnitName == "StackTest.cpp") out.push_back(&e);
  return out;
}

// Finds frames in order, each a call site at its recorded line; returns the
// index in shown of each.
void ExpectFramesInOrder(const TTraciraStackList& list, const std::vector<Frame>& frames) {
  const auto shown = Shown(list);
  std::string dump;
  for (const auto* e : shown)
    dump += e->ClassName + "." + e->ProcedureName + ":" + std::to_string(e->Line) + "[" +
            std::to_string(e->ProcOffsetLine) + "] ";
  std::size_t at = 0;
  for (const Frame& f : frames) {
    const auto found =
        std::find_if(shown.begin() + static_cast<long>(at), shown.end(), [&](const TTraciraDebugInfo* e) {
          return e->ProcedureName == f.Procedure && e->ClassName == f.Class &&
                 static_cast<int>(e->Line) == gLine[f.LineSlot];
        });
    ASSERT_NE(found, shown.end()) << f.Procedure << " at line " << gLine[f.LineSlot]
                                  << " not found in order in: " << dump;
    EXPECT_EQ((*found)->DebugDetail, tracira::ddSourceCode);
    at = static_cast<std::size_t>(found - shown.begin()) + 1;
  }
}

}  // namespace

// ---- nested calls ------------------------------------------------------------

// Each call stands on the line that its marker records. The calls through
// memory and registers are written out: x86-64's leave its callee the
// 32 bytes of room that the calling convention promises.
#if defined(__i386__)
#define TEST_SYMBOL(name) "_" #name
#define TEST_CALL(operand) "call *" operand
#else
#define TEST_SYMBOL(name) #name
#define TEST_CALL(operand) "sub $32, %%rsp; call *" operand "; add $32, %%rsp"
#endif
#define TEST_CLOBBERS "eax", "ecx", "edx", "memory"
// clang-format off

extern "C" {
// Called through memory: "call [gLevel3Pointer]".
void (*volatile gLevel3Pointer)();
}

__attribute__((noinline)) void Level4() {
  // A stale copy of the return address into Level3, and a code address that
  // no call precedes, both on the stack below the live return address.
  volatile std::uintptr_t staleCopy = Addr(__builtin_return_address(0));
  volatile std::uintptr_t notAReturnAddress = gFunctionStart;
  gLine[4] = __LINE__; gCaptured = tracira::GetCurrentCallStack();
  (void)staleCopy, (void)notAReturnAddress;
}

__attribute__((noinline)) void Level3() {
  gLine[3] = __LINE__; Level4();
}

class TStackProbe {
public:
  __attribute__((noinline)) static void Level2() {
    gLevel3Pointer = &Level3;
#if defined(__i386__)
    gLine[2] = __LINE__; asm volatile(TEST_CALL("_gLevel3Pointer") ::: TEST_CLOBBERS);
#else
    gLine[2] = __LINE__; asm volatile(TEST_CALL("gLevel3Pointer(%%rip)") ::: TEST_CLOBBERS, "r8", "r9", "r10", "r11");
#endif
  }
};

__attribute__((noinline)) void Level1(void (*next)()) {
  void (*volatile target)() = next;
#if defined(__i386__)
  gLine[1] = __LINE__; void (*inRegister)() = target; asm volatile(TEST_CALL("%0") ::"r"(inRegister) : TEST_CLOBBERS);
#else
  gLine[1] = __LINE__; void (*inRegister)() = target; asm volatile(TEST_CALL("%0") ::"b"(inRegister) : TEST_CLOBBERS, "r8", "r9", "r10", "r11");
#endif
}

extern "C" char notCalled[];

// Code that the test never runs: an address behind seven bytes that form
// no call instruction.
__attribute__((noinline, used)) void NotACallSite() {
  asm volatile("nop; nop; nop; nop; nop; nop; nop\n.globl " TEST_SYMBOL(notCalled) "\n" TEST_SYMBOL(notCalled) ": nop");
}

TEST(CallStack, NestedCallsInnermostFirst) {
  gFunctionStart = Addr(notCalled);
  gLine[0] = __LINE__; Level1(&TStackProbe::Level2);
  // clang-format on
  ExpectFramesInOrder(gCaptured, {{"", "Level4", 4},
                                  {"", "Level3", 3},
                                  {"TStackProbe", "Level2", 2},
                                  {"", "Level1", 1},
                                  {"CallStack_NestedCallsInnermostFirst_Test", "TestBody", 0}});
  const auto shown = Shown(gCaptured);
  // The stale copy of Level3's call site is listed once.
  EXPECT_EQ(std::count_if(shown.begin(), shown.end(),
                          [](const TTraciraDebugInfo* e) { return e->ProcedureName == "Level3"; }),
            1);
  // The code address behind no call isn't listed.
  for (const auto& e : gCaptured) EXPECT_NE(e.Addr, gFunctionStart) << e.ProcedureName;
  // The direct call's target stands before its call site, at the
  // procedure's first line.
  const auto level3 =
      std::find_if(shown.begin(), shown.end(), [](const auto* e) { return e->ProcedureName == "Level3"; });
  ASSERT_NE(level3, shown.begin());
  EXPECT_EQ((*std::prev(level3))->ProcedureName, "Level4");
  EXPECT_EQ((*std::prev(level3))->ProcOffsetLine, 0);
  // The crash reporter's own frames are there but hidden.
  EXPECT_TRUE(std::none_of(gCaptured.begin(), gCaptured.end(),
                           [](const auto& e) { return e.UnitName.rfind("Tr", 0) == 0; }));
  EXPECT_TRUE(std::all_of(gCaptured.begin(), gCaptured.end(), [](const auto& e) {
    return e.ThreadID == GetCurrentThreadId() && e.RunningThread && !e.ErrorLine;
  }));
  // The procedure's bounds, for the assembler section.
  const auto bounds = tracira::GetProcedureBounds(level3[0]->Addr);
  ASSERT_TRUE(bounds);
  EXPECT_EQ(bounds->first, Addr(reinterpret_cast<const void*>(&Level3)));
  EXPECT_GT(bounds->second, level3[0]->Addr);
  EXPECT_LE(bounds->second, Addr(reinterpret_cast<const void*>(&Level3)) + 64);
  // Offsets from the procedure's first line.
  for (const auto* e : shown) {
    if (e->ProcedureName == "Level3") {
      EXPECT_EQ(e->ProcOffsetLine, 1);
    }
  }
}

// ---- a captured access violation -------------------------------------------

namespace {

std::uintptr_t gFaultAddress;
TTraciraStackList gFaultStack;

LONG CALLBACK CaptureFault(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION ||
      Addr(info->ExceptionRecord->ExceptionAddress) != gFaultAddress)
    return EXCEPTION_CONTINUE_SEARCH;
#if defined(__i386__)
  const std::uintptr_t sp = info->ContextRecord->Esp;
#else
  const std::uintptr_t sp = info->ContextRecord->Rsp;
#endif
  gFaultStack.clear();
  tracira::CallStackByAddresses(gFaultStack, info->ExceptionRecord->ExceptionAddress, sp,
                                tracira::CurrentTopOfStack(), tracira::kAllDetails, -1, -1, true, true,
                                GetCurrentThreadId(), true, info->ContextRecord);
  // Past the faulting "mov" (two bytes in both forms).
#if defined(__i386__)
  info->ContextRecord->Eip += 2;
#else
  info->ContextRecord->Rip += 2;
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

extern "C" char faultSite[];

// clang-format off

__attribute__((noinline)) void Faulting() {
  gFaultAddress = Addr(faultSite);
#if defined(__i386__)
  gLine[5] = __LINE__; asm volatile(".globl _faultSite\n_faultSite: movl %%eax, (%%eax)" ::"a"(0) : "memory");
#else
  gLine[5] = __LINE__; asm volatile(".globl faultSite\nfaultSite: movl %%eax, (%%rax)" ::"a"(0) : "memory");
#endif
}

__attribute__((noinline)) void CallsFaulting() {
  gLine[6] = __LINE__; Faulting();
}

TEST(CallStack, FaultFirstThenCallers) {
  PVOID handler = AddVectoredExceptionHandler(1, CaptureFault);
  ASSERT_NE(handler, nullptr);
  gLine[7] = __LINE__; CallsFaulting();
  // clang-format on
  RemoveVectoredExceptionHandler(handler);
  ASSERT_FALSE(gFaultStack.empty());
  const TTraciraDebugInfo& first = gFaultStack.front();
  EXPECT_TRUE(first.ErrorLine);
  EXPECT_EQ(first.Addr, gFaultAddress);
  EXPECT_EQ(first.ProcedureName, "Faulting");
  EXPECT_EQ(static_cast<int>(first.Line), gLine[5]);
  ExpectFramesInOrder(gFaultStack, {{"", "Faulting", 5},
                                    {"", "CallsFaulting", 6},
                                    {"CallStack_FaultFirstThenCallers_Test", "TestBody", 7}});
  EXPECT_EQ(std::count_if(gFaultStack.begin(), gFaultStack.end(), [](const auto& e) { return e.ErrorLine; }),
            1);
}

// ---- another thread ----------------------------------------------------------

namespace {

struct Waiting {
  HANDLE Ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE Release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ~Waiting() {
    CloseHandle(Ready);
    CloseHandle(Release);
  }
};

}  // namespace

// clang-format off
__attribute__((noinline)) void WaitLevel2(Waiting* w) {
  SetEvent(w->Ready);
  gLine[9] = __LINE__; WaitForSingleObject(w->Release, 20000);
}

__attribute__((noinline)) void WaitLevel1(Waiting* w) {
  gLine[8] = __LINE__; WaitLevel2(w);
}
// clang-format on

DWORD WINAPI WaitingThread(void* p) {
  WaitLevel1(static_cast<Waiting*>(p));
  return 0;
}

namespace {

// A second thread, standing in its wait (WaitLevel2) once Started, until
// Finish lets it run on and end.
struct TWaitingThread {
  Waiting Events;
  DWORD Id = 0;
  HANDLE Thread = CreateThread(nullptr, 0, WaitingThread, &Events, 0, &Id);
  bool Started() {
    if (!Thread || WaitForSingleObject(Events.Ready, 10000) != WAIT_OBJECT_0) return false;
    Sleep(50);  // into the wait
    return true;
  }
  bool Finish() {
    SetEvent(Events.Release);
    const bool ended = WaitForSingleObject(Thread, 10000) == WAIT_OBJECT_0;
    CloseHandle(Thread);
    Thread = nullptr;
    return ended;
  }
  ~TWaitingThread() {
    if (Thread) Finish();
  }
};

}  // namespace

TEST(CallStack, StackOfASecondWaitingThread) {
  TWaitingThread waiting;
  ASSERT_TRUE(waiting.Started());
  const DWORD id = waiting.Id;
  TTraciraStackList list;
  std::wstring error;
  const bool ok = tracira::GetThreadCallStack(waiting.Thread, id, list, tracira::kAllDetails, &error);
  // The thread runs on after being read.
  EXPECT_TRUE(waiting.Finish());
  ASSERT_TRUE(ok) << rtl::ToUtf8(error);
  ExpectFramesInOrder(list, {{"", "WaitLevel2", 9}, {"", "WaitLevel1", 8}});
  for (const auto& e : list) {
    EXPECT_EQ(e.ThreadID, id);
    EXPECT_TRUE(e.RunningThread);
  }
}

// ---- the creator's stack -----------------------------------------------------

std::vector<std::uint8_t> gCreatorStack;

// clang-format off

__attribute__((noinline)) void CreatorLevel() {
  gLine[10] = __LINE__; gCreatorStack = tracira::CopyCurrentStack();
}

TEST(CallStack, CallerStackFromSavedCopy) {
  gLine[11] = __LINE__; CreatorLevel();
  // clang-format on
  // The live stack has moved on; the copy still names the creator.
  TTraciraStackList list;
  tracira::AddCallerCallStack(list, {4242, gCreatorStack});
  ExpectFramesInOrder(
      list, {{"", "CreatorLevel", 10}, {"CallStack_CallerStackFromSavedCopy_Test", "TestBody", 11}});
  for (const auto& e : list) {
    EXPECT_FALSE(e.RunningThread);
    EXPECT_EQ(e.ThreadID, 4242u);
  }
}

TEST(CallStack, ModuleListKnowsThisProgramAndTheSystem) {
  auto& modules = tracira::ProcessModules();
  modules.Build();
  tracira::TTraciraModuleInfo* self = modules.ModuleInfoByAddr(Addr(reinterpret_cast<const void*>(&Level1)));
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self->ModuleType, tracira::mtMainModule);
  EXPECT_TRUE(self->ExtraInformation.has_value());
  EXPECT_NE(self->Name.find("tracira_stack_test.exe"), std::string::npos) << self->Name;
  tracira::TTraciraModuleInfo* kernel = modules.ModuleInfoByAddr(
      Addr(reinterpret_cast<const void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount"))));
  ASSERT_NE(kernel, nullptr);
  EXPECT_EQ(kernel->ModuleType, tracira::mtOSLibrary);
  EXPECT_FALSE(kernel->ExtraInformation.has_value());
  EXPECT_GT(kernel->FunctionsList.size(), 100u);
  EXPECT_TRUE(std::is_sorted(kernel->FunctionsList.begin(), kernel->FunctionsList.end(),
                             [](const auto& a, const auto& b) { return a.Addr < b.Addr; }));
  EXPECT_GE(modules.Items().size(), 3u);
  EXPECT_EQ(modules.ModuleInfoByAddr(0x10), nullptr);
}

#if defined(__x86_64__)

// ---- unwound frames ------------------------------------------------------------

// The frames unwound from a copy of a waiting thread's stack are the ones
// the system's own unwind finds on the live stack, from the wait in the
// system's libraries out through this program's functions.
TEST(CallStack, UnwoundFramesAreTheSystemsOwn) {
  TWaitingThread waiting;
  ASSERT_TRUE(waiting.Started());
  const HANDLE thread = waiting.Thread;

  // The system's walk, while the thread stands.
  std::vector<std::uintptr_t> expected;
  ASSERT_NE(SuspendThread(thread), static_cast<DWORD>(-1));
  CONTEXT live{};
  live.ContextFlags = CONTEXT_FULL;
  ASSERT_TRUE(GetThreadContext(thread, &live));
  for (CONTEXT c = live; c.Rip != 0 && expected.size() < 64;) {
    DWORD64 base = 0;
    const DWORD64 pc = expected.empty() ? c.Rip : c.Rip - 1;
    PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(pc, &base, nullptr);
    if (!entry && expected.empty()) {
      // Stopped in a leaf (the system call's stub): its return address is
      // on top of the stack.
      c.Rip = *reinterpret_cast<const DWORD64*>(c.Rsp);
      c.Rsp += 8;
      expected.push_back(c.Rip);
      continue;
    }
    if (!entry) break;
    void* data = nullptr;
    DWORD64 frame = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, c.Rip, entry, &c, &data, &frame, nullptr);
    if (c.Rip == 0) break;
    expected.push_back(c.Rip);
  }
  ResumeThread(thread);

  // The crash reporter's: on the copy it takes, unwound at leisure.
  auto snapshot = std::make_unique<tracira::TThreadSnapshot>();
  const auto result = tracira::SnapshotThread(thread, tracira::ThreadTopOfStack(thread), *snapshot);
  EXPECT_TRUE(waiting.Finish());
  ASSERT_EQ(result, tracira::TSnapshotResult::Ok);
  EXPECT_EQ(snapshot->Context.Rip, live.Rip);
  tracira::TTrBufferReader stack(
      snapshot->StackPointer,
      std::vector<std::uint8_t>(snapshot->Stack, snapshot->Stack + snapshot->StackSize));
  tracira::TTrProcessMemoryReader code;
  tracira::TTrScanRequest request;
  tracira::TTrX64Registers registers;
  tracira::SetUnwindStart(request, registers, &snapshot->Context);
  const auto frames = tracira::UnwindX64(stack, code, tracira::LoadedImageBaseOf, registers,
                                         snapshot->StackPointer + snapshot->StackSize);
  std::vector<std::uintptr_t> found;
  for (const auto& f : frames) found.push_back(f.ReturnAddress);

  // Both reach this program's frames: WaitLevel2's call of the wait,
  // WaitLevel1's and the thread's entry.
  const auto inWaitLevel1 = [](std::uintptr_t a) {
    return a > Addr(reinterpret_cast<const void*>(&WaitLevel1)) &&
           a < Addr(reinterpret_cast<const void*>(&WaitLevel1)) + 64;
  };
  ASSERT_TRUE(std::any_of(expected.begin(), expected.end(), inWaitLevel1));
  ASSERT_GE(found.size(),
            static_cast<std::size_t>(std::find_if(expected.begin(), expected.end(), inWaitLevel1) -
                                     expected.begin() + 1));
  found.resize(std::min(found.size(), expected.size()));
  EXPECT_EQ(found, std::vector<std::uintptr_t>(expected.begin(), expected.begin() + found.size()));
}

#endif
