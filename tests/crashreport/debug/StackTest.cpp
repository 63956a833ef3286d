// Call stacks of this program, named from the data block embedded in it:
// nested calls (direct, through a register, through memory), a captured
// access violation, the stack of a second, waiting thread, and the saved
// stack of a thread's creator. Built without optimisation, so that each
// call stays where its line says.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "crashreport/debug/TrStack.h"

namespace {

using tracira::TTraciraDebugInfo;
using tracira::TTraciraStackList;

// Line of each call site, written on the same line as the call.
int gLine[16];
TTraciraStackList gCaptured;
std::uint32_t gFunctionStart;  // a code address behind no call instruction

std::uint32_t Addr(const void* p) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)); }

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

// Each call stands on the line that its marker records.
// clang-format off

extern "C" {
// Called through memory: "call [gLevel3Pointer]".
void (*volatile gLevel3Pointer)();
}

__attribute__((noinline)) void Level4() {
  // A stale copy of the return address into Level3, and a code address that
  // no call precedes, both on the stack below the live return address.
  volatile std::uint32_t staleCopy = Addr(__builtin_return_address(0));
  volatile std::uint32_t notAReturnAddress = gFunctionStart;
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
    gLine[2] = __LINE__; asm volatile("call *_gLevel3Pointer" ::: "eax", "ecx", "edx", "memory");
  }
};

__attribute__((noinline)) void Level1(void (*next)()) {
  void (*volatile target)() = next;
  gLine[1] = __LINE__; void (*inRegister)() = target; asm volatile("call *%0" ::"r"(inRegister) : "eax", "ecx", "edx", "memory");
}

extern "C" char notCalled[];

// Code that the test never runs: an address behind seven bytes that form
// no call instruction.
__attribute__((noinline, used)) void NotACallSite() {
  asm volatile("nop; nop; nop; nop; nop; nop; nop\n.globl _notCalled\n_notCalled: nop");
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
  EXPECT_EQ((*std::prev(level3))->ProcOffsetLine, 0u);
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
      EXPECT_EQ(e->ProcOffsetLine, 1u);
    }
  }
}

// ---- a captured access violation -------------------------------------------

namespace {

std::uint32_t gFaultAddress;
TTraciraStackList gFaultStack;

LONG CALLBACK CaptureFault(EXCEPTION_POINTERS* info) {
  if (info->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION ||
      Addr(info->ExceptionRecord->ExceptionAddress) != gFaultAddress)
    return EXCEPTION_CONTINUE_SEARCH;
  gFaultStack = tracira::GetCallStackByAddresses(
      info->ExceptionRecord->ExceptionAddress, info->ContextRecord->Esp, tracira::CurrentTopOfStack(),
      tracira::kAllDetails, -1, -1, true, true, GetCurrentThreadId());
  info->ContextRecord->Eip += 2;  // past "movl %eax, (%eax)"
  return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

extern "C" char faultSite[];

// clang-format off

__attribute__((noinline)) void Faulting() {
  gFaultAddress = Addr(faultSite);
  gLine[5] = __LINE__; asm volatile(".globl _faultSite\n_faultSite: movl %%eax, (%%eax)" ::"a"(0) : "memory");
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

TEST(CallStack, StackOfASecondWaitingThread) {
  Waiting w;
  DWORD id = 0;
  HANDLE thread = CreateThread(nullptr, 0, WaitingThread, &w, 0, &id);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(w.Ready, 10000), WAIT_OBJECT_0);
  Sleep(50);  // into the wait
  TTraciraStackList list;
  std::wstring error;
  const bool ok = tracira::GetThreadCallStack(thread, id, list, tracira::kAllDetails, &error);
  // The thread runs on after being read.
  SetEvent(w.Release);
  EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  CloseHandle(thread);
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
