// Hooks on a real DLL's procedures and import entries, and on a C++ virtual
// table, in this process.
#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <cstring>

#include "crashreport/hook/TrHook.h"

extern "C" __declspec(dllimport) int HkAdd(int a, int b);
void* HkAddThunkAddress();

namespace tracira {

// External linkage: in an unnamed namespace the compiler would know the class
// has no descendants and call its methods directly, bypassing the table.
class TShape {
 public:
  virtual ~TShape() = default;
  virtual int Area() const { return fSide * fSide; }
  virtual int Sides() const { return 4; }
  int fSide = 3;
};

// Kept out of the optimiser's view so that the calls go through the table.
[[gnu::noipa]] TShape& Shape() {
  static TShape shape;
  return shape;
}
[[gnu::noipa]] int AreaOf(const TShape& shape) { return shape.Area(); }
[[gnu::noipa]] int SidesOf(const TShape& shape) { return shape.Sides(); }

namespace {

// The compiler treats import entries as constant and would reuse a value it
// already loaded: these calls read the entry afresh each time.
[[gnu::noipa]] int ImportedAdd(int a, int b) { return HkAdd(a, b); }
[[gnu::noipa]] DWORD ImportedProcessId() { return GetCurrentProcessId(); }

using TBinary = int(__cdecl*)(int, int);
using TUnary = int(__cdecl*)(int);

HMODULE TestDll() { return GetModuleHandleW(L"HookTestDll.dll"); }

template <typename F>
F Proc(const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(TestDll(), name)));
}

std::array<std::uint8_t, 16> FirstBytes(const void* code) {
  std::array<std::uint8_t, 16> bytes{};
  std::memcpy(bytes.data(), code, bytes.size());
  return bytes;
}

std::wstring MessageOf(const auto& call) {
  try {
    call();
  } catch (const ETrHookError& e) {
    return e.Message();
  }
  return L"(nothing raised)";
}

// ---------------------------------------------------------------------------
// Code patching

TBinary gAddTrampoline = nullptr;
extern "C" int ReplacementAdd(int a, int b) { return gAddTrampoline(a, b) * 10; }

TEST(HookProcedure, PatchesCallsTheOriginalAndRestoresIt) {
  const auto add = Proc<TBinary>("HkAdd");
  ASSERT_NE(add, nullptr);
  const auto before = FirstBytes(reinterpret_cast<void*>(add));

  gAddTrampoline = reinterpret_cast<TBinary>(
      HookProcedure(reinterpret_cast<void*>(add), reinterpret_cast<void*>(&ReplacementAdd)));
  ASSERT_NE(gAddTrampoline, nullptr);
  EXPECT_EQ(FirstBytes(reinterpret_cast<void*>(add))[0], 0xE9);
  EXPECT_EQ(add(2, 3), 50) << "calls reach the replacement, which reaches the original";
  EXPECT_EQ(gAddTrampoline(2, 3), 5);
  EXPECT_EQ(ImportedAdd(4, 5), 90) << "through the import entry too";

  // A second hook of the same procedure changes nothing.
  EXPECT_EQ(HookProcedure(reinterpret_cast<void*>(add), reinterpret_cast<void*>(&ReplacementAdd)),
            reinterpret_cast<void*>(gAddTrampoline));
  EXPECT_EQ(add(2, 3), 50);

  EXPECT_TRUE(UnhookProcedure(reinterpret_cast<void*>(add)));
  EXPECT_EQ(FirstBytes(reinterpret_cast<void*>(add)), before);
  EXPECT_EQ(add(2, 3), 5);
  EXPECT_FALSE(UnhookProcedure(reinterpret_cast<void*>(add)));
}

TEST(HookProcedure, FollowsAnImportThunkToTheProcedure) {
  void* const thunk = HkAddThunkAddress();
  const auto add = Proc<TBinary>("HkAdd");
  ASSERT_EQ(FirstBytes(thunk)[0], 0xFF);
  ASSERT_EQ(FirstBytes(thunk)[1], 0x25);
  EXPECT_EQ(ResolveJumpThunk(thunk), reinterpret_cast<void*>(add));
  const auto thunkBefore = FirstBytes(thunk);
  const auto addBefore = FirstBytes(reinterpret_cast<void*>(add));

  gAddTrampoline = reinterpret_cast<TBinary>(HookProcedure(thunk, reinterpret_cast<void*>(&ReplacementAdd)));
  EXPECT_EQ(FirstBytes(thunk), thunkBefore) << "the thunk itself stays as it was";
  EXPECT_EQ(FirstBytes(reinterpret_cast<void*>(add))[0], 0xE9);
  EXPECT_EQ(reinterpret_cast<TBinary>(thunk)(1, 1), 20);
  EXPECT_EQ(HookProcedure(reinterpret_cast<void*>(add), reinterpret_cast<void*>(&ReplacementAdd)),
            reinterpret_cast<void*>(gAddTrampoline))
      << "the thunk and the procedure are one target";

  EXPECT_TRUE(UnhookProcedure(thunk));
  EXPECT_EQ(FirstBytes(reinterpret_cast<void*>(add)), addBefore);
}

TUnary gTrampoline = nullptr;
extern "C" int ReplacementPlus1000(int x) { return gTrampoline(x) + 1000; }

struct TMovedCase {
  const char* Name;
  int (*Expected)(int);
};

TEST(HookProcedure, RelocatedBranchesAndCallsBehaveAsBefore) {
  const TMovedCase cases[] = {
      {"HkCallFirst", [](int x) { return x + 100; }},
      {"HkDataFirst", [](int x) { return x + 100; }},
      {"HkSlotCallFirst", [](int x) { return x + 100; }},
      {"HkJccFirst", [](int x) { return 2 * x; }},
      {"HkLoopFirst", [](int x) { return x == 0 ? -1 : x + 1; }},
  };
  for (const TMovedCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const auto proc = Proc<TUnary>(c.Name);
    ASSERT_NE(proc, nullptr);
    const auto before = FirstBytes(reinterpret_cast<void*>(proc));
    gTrampoline = reinterpret_cast<TUnary>(HookProcedureEx(
        reinterpret_cast<void*>(proc), reinterpret_cast<void*>(&ReplacementPlus1000), rtl::FromUtf8(c.Name)));
    for (int x : {0, 1, 7, -5}) {
      EXPECT_EQ(gTrampoline(x), c.Expected(x)) << x;
      EXPECT_EQ(proc(x), c.Expected(x) + 1000) << x;
    }
    EXPECT_TRUE(UnhookProcedure(reinterpret_cast<void*>(proc)));
    EXPECT_EQ(FirstBytes(reinterpret_cast<void*>(proc)), before);
    EXPECT_EQ(proc(7), c.Expected(7));
  }
}

TEST(HookProcedure, ErrorTexts) {
  const void* replacement = reinterpret_cast<void*>(&ReplacementPlus1000);
  EXPECT_EQ(MessageOf([&] { HookProcedure(nullptr, replacement); }),
            L"Cannot hook a null procedure (\"00000000\").");
  EXPECT_EQ(MessageOf([&] { HookProcedureEx(nullptr, replacement, L"RaiseException"); }),
            L"Cannot hook a null procedure (\"RaiseException\").");

  // Patching the three-byte procedure would overwrite the one behind it.
  const auto tooShort = Proc<TUnary>("HkTooShort");
  const auto after = Proc<TUnary>("HkAfterShort");
  const auto bytes = FirstBytes(reinterpret_cast<void*>(tooShort));
  EXPECT_EQ(
      MessageOf([&] { HookProcedureEx(reinterpret_cast<void*>(tooShort), replacement, L"HkTooShort"); }),
      L"Cannot hook the procedure \"HkTooShort\".");
  EXPECT_EQ(FirstBytes(reinterpret_cast<void*>(tooShort)), bytes);
  EXPECT_EQ(after(0), 7);
  EXPECT_FALSE(UnhookProcedure(reinterpret_cast<void*>(tooShort)));

  // Reserved address space holds no code to read or patch.
  void* reserved = VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(reserved, nullptr);
  const auto at = static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(reserved));
  char name[24];
  std::snprintf(name, sizeof name, at > 0xFFFFFFFFu ? "%016llX" : "%08llX", at);
  EXPECT_EQ(MessageOf([&] { HookProcedure(reserved, replacement); }),
            L"Cannot hook the procedure \"" + rtl::FromUtf8(name) + L"\".");
  VirtualFree(reserved, 0, MEM_RELEASE);
}

#if defined(_WIN64)
// The patch's rel32 reaches 2 GB: a replacement further away is reached
// through the relay beside the trampoline.
TEST(HookProcedure, ReachesAReplacementBeyond2GB) {
  const auto add = Proc<TBinary>("HkAdd");
  const auto base = reinterpret_cast<std::uintptr_t>(add) & ~std::uintptr_t{0xFFFF};
  void* distant = nullptr;
  for (std::uintptr_t gb = 8; !distant && gb < 64; gb += 4)
    distant = VirtualAlloc(reinterpret_cast<void*>(base + (gb << 30)), 4096, MEM_COMMIT | MEM_RESERVE,
                           PAGE_EXECUTE_READWRITE);
  ASSERT_NE(distant, nullptr);
  const std::uint8_t returns4242[] = {0xB8, 0x92, 0x10, 0x00, 0x00, 0xC3};  // mov eax, 4242; ret
  std::memcpy(distant, returns4242, sizeof returns4242);

  const auto trampoline = reinterpret_cast<TBinary>(HookProcedure(reinterpret_cast<void*>(add), distant));
  EXPECT_EQ(add(2, 3), 4242);
  EXPECT_EQ(trampoline(2, 3), 5);
  EXPECT_TRUE(UnhookProcedure(reinterpret_cast<void*>(add)));
  EXPECT_EQ(add(2, 3), 5);
  VirtualFree(distant, 0, MEM_RELEASE);
}
#endif

// ---------------------------------------------------------------------------
// Import-table patching

extern "C" int ReplacementImportAdd(int a, int b) { return a * b; }
DWORD WINAPI FakeProcessId() { return 4242; }

TEST(HookDllProcedure, PatchesTheImportEntryOnly) {
  const HMODULE program = GetModuleHandleW(nullptr);
  const auto add = Proc<TBinary>("HkAdd");
  const auto dllBytes = FirstBytes(reinterpret_cast<void*>(add));

  void* previous =
      HookDllProcedure(program, "HOOKTESTDLL", "HkAdd", reinterpret_cast<void*>(&ReplacementImportAdd));
  EXPECT_EQ(previous, reinterpret_cast<void*>(add));
  EXPECT_EQ(ImportedAdd(4, 5), 20);
  EXPECT_EQ(add(4, 5), 9) << "the procedure's code is untouched";
  EXPECT_EQ(FirstBytes(reinterpret_cast<void*>(add)), dllBytes);

  EXPECT_EQ(HookDllProcedure(program, "hooktestdll.dll", "HkAdd", previous),
            reinterpret_cast<void*>(&ReplacementImportAdd));
  EXPECT_EQ(ImportedAdd(4, 5), 9);
}

TEST(HookDllProcedure, PatchesASystemImport) {
  const HMODULE program = GetModuleHandleW(nullptr);
  const DWORD real = ImportedProcessId();
  void* previous = HookDllProcedure(program, "kernel32.dll", "GetCurrentProcessId",
                                    reinterpret_cast<void*>(&FakeProcessId));
  ASSERT_NE(previous, nullptr);
  EXPECT_EQ(ImportedProcessId(), 4242u);
  HookDllProcedure(program, "kernel32.dll", "GetCurrentProcessId", previous);
  EXPECT_EQ(ImportedProcessId(), real);
}

TEST(HookDllProcedure, NamesNotImportedChangeNothing) {
  const HMODULE program = GetModuleHandleW(nullptr);
  const void* replacement = reinterpret_cast<void*>(&ReplacementImportAdd);
  EXPECT_EQ(HookDllProcedure(program, "HookTestDll.dll", "HkNoSuchProcedure", replacement), nullptr);
  EXPECT_EQ(HookDllProcedure(program, "NoSuchLibrary.dll", "HkAdd", replacement), nullptr);
  EXPECT_EQ(HookDllProcedure(TestDll(), "HookTestDll.dll", "HkAdd", replacement), nullptr);
  EXPECT_EQ(ImportedAdd(4, 5), 9);
  EXPECT_EQ(MessageOf([&] { HookDllProcedure(nullptr, "kernel32.dll", "RaiseException", replacement); }),
            L"Cannot hook a null procedure (\"kernel32.dll.RaiseException\").");
}

TEST(TryHookDllProcedureEx, PatchesEveryNamedModuleThatImportsIt) {
  const std::array<HMODULE, 3> modules{nullptr, TestDll(), GetModuleHandleW(nullptr)};
  void* previous = nullptr;
  ASSERT_TRUE(TryHookDllProcedureEx(modules, "HookTestDll.dll", "HkAdd",
                                    reinterpret_cast<void*>(&ReplacementImportAdd), previous));
  EXPECT_EQ(previous, reinterpret_cast<void*>(Proc<TBinary>("HkAdd")));
  EXPECT_EQ(ImportedAdd(4, 5), 20);
  void* replaced = nullptr;
  ASSERT_TRUE(TryHookDllProcedureEx(modules, "HookTestDll.dll", "HkAdd", previous, replaced));
  EXPECT_EQ(replaced, reinterpret_cast<void*>(&ReplacementImportAdd));
  EXPECT_EQ(ImportedAdd(4, 5), 9);

  const std::array<HMODULE, 1> none{TestDll()};
  void* untouched = nullptr;
  EXPECT_FALSE(TryHookDllProcedureEx(none, "HookTestDll.dll", "HkAdd", previous, untouched));
  EXPECT_EQ(untouched, nullptr);
}

// ---------------------------------------------------------------------------
// Virtual tables

// The slot of a virtual method: a pointer to a virtual member holds 1 + its
// byte offset in the table.
template <typename M>
std::size_t SlotOf(M member) {
  struct {
    std::uintptr_t Pointer;
    std::ptrdiff_t Adjust;
  } raw;
  static_assert(sizeof(raw) == sizeof(member));
  std::memcpy(&raw, &member, sizeof raw);
  return (raw.Pointer - 1) / sizeof(void*);
}

// A method's own calling convention: thiscall in 32-bit code, the one
// convention of x86-64 there.
#if defined(_WIN64)
#define HK_THISCALL
#else
#define HK_THISCALL __attribute__((thiscall))
#endif
using TAreaMethod = int(HK_THISCALL*)(const TShape*);
TAreaMethod gOriginalArea = nullptr;
int HK_THISCALL ReplacementArea(const TShape* self) { return gOriginalArea(self) + 1; }

TEST(HookVirtualMethod, SwapsOneSlotAndPutsItBack) {
  TShape& shape = Shape();
  void** table = VirtualTableOf(&shape);
  const std::size_t slot = SlotOf(&TShape::Area);
  ASSERT_EQ(AreaOf(shape), 9);

  gOriginalArea = reinterpret_cast<TAreaMethod>(
      HookVirtualMethod(table, slot, reinterpret_cast<void*>(&ReplacementArea)));
  EXPECT_EQ(AreaOf(shape), 10);
  const TShape other;
  EXPECT_EQ(AreaOf(other), 10) << "every object of the class";
  EXPECT_EQ(SidesOf(shape), 4) << "the neighbouring slot stays";

  UnhookVirtualMethod(table, slot, reinterpret_cast<void*>(gOriginalArea));
  EXPECT_EQ(AreaOf(shape), 9);
  EXPECT_EQ(MessageOf([&] { HookVirtualMethod(nullptr, 0, nullptr); }),
            L"Cannot hook a null procedure (\"00000000\").");
}

}  // namespace
}  // namespace tracira
