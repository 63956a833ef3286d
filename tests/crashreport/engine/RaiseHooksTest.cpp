// The interception alone, without the handling: who catches each raise, as
// the raise hook answers before anything unwinds, and processor exceptions
// turned into C++ exceptions that unwind from the faulting instruction. The
// same test runs in the 32-bit build (DWARF unwinding) and in the 64-bit one
// (SEH unwinding).
#include <cxxabi.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "crashreport/engine/TrRaise.h"
#include "rtl/Exceptions.h"
#include "rtl/Guarded.h"

namespace {

using tracira::THandlerKind;

struct TSeen {
  THandlerKind Handler;
  bool HasContext;
  std::uintptr_t Address;
};
std::vector<TSeen> gSeen;

void OnRaise(tracira::TThreadState&, tracira::TRaiseRecord& raise) noexcept {
  gSeen.push_back({raise.Handler, raise.HasContext, raise.Address});
}

class RaiseHooks : public testing::Test {
 protected:
  void SetUp() override {
    gSeen.clear();
    gSeen.reserve(16);
    tracira::InstallRaiseHooks({OnRaise, nullptr, nullptr});
  }
  void TearDown() override { tracira::RemoveRaiseHooks(); }
};

struct TBase : std::runtime_error {
  TBase() : std::runtime_error("base") {}
};
struct TDerived : TBase {};
struct TUnrelated {};

__attribute__((noinline)) void ThrowDerived() { throw TDerived(); }

// Catch clauses of every kind that takes the exception, and none that doesn't.
TEST_F(RaiseHooks, AnyClauseThatTakesTheTypeIsTheProgramsOwn) {
  try {
    ThrowDerived();
  } catch (const TDerived&) {
  }
  try {
    ThrowDerived();
  } catch (const TUnrelated&) {
    ADD_FAILURE();
  } catch (const std::exception&) {
  }
  try {
    ThrowDerived();
  } catch (...) {
  }
  try {
    throw static_cast<const char*>("text");
  } catch (const char*) {
  }
  ASSERT_EQ(gSeen.size(), 4u);
  for (const TSeen& s : gSeen) EXPECT_EQ(s.Handler, THandlerKind::Program);
}

// A frame in between that only cleans up, and one whose clauses don't take
// the type, leave the answer to the frames above.
__attribute__((noinline)) void ThroughUnrelatedClause() {
  std::string cleanedUp = "a destructor runs here";
  try {
    ThrowDerived();
  } catch (const TUnrelated&) {
  }
}

TEST_F(RaiseHooks, FramesThatDontTakeItArePassed) {
  try {
    ThroughUnrelatedClause();
  } catch (const TBase&) {
  }
  ASSERT_EQ(gSeen.size(), 1u);
  EXPECT_EQ(gSeen[0].Handler, THandlerKind::Program);
}

TEST_F(RaiseHooks, TheCatchAllOfCallGuardedIsTheEdge) {
  bool escaped = false;
  rtl::CallGuarded([](void*) { ThrowDerived(); }, &escaped, [](void* p) { *static_cast<bool*>(p) = true; });
  EXPECT_TRUE(escaped);
  ASSERT_EQ(gSeen.size(), 1u);
  EXPECT_EQ(gSeen[0].Handler, THandlerKind::Edge);
}

// Who would catch a raise from here is asked of FindHandler directly.
template <class T>
THandlerKind Ask() {
  void* object = abi::__cxa_allocate_exception(sizeof(T));
  const THandlerKind kind = tracira::FindHandler(object, &typeid(T));
  abi::__cxa_free_exception(object);
  return kind;
}

// Thrown from a noexcept function, it ends the program.
__attribute__((noinline)) THandlerKind AskInsideNoexcept() noexcept { return Ask<TUnrelated>(); }

TEST_F(RaiseHooks, ANoexceptFrameEndsTheProgram) { EXPECT_EQ(AskInsideNoexcept(), THandlerKind::Terminate); }

// Below a clause for TBase and the edge: the clause takes only what its
// type matches, the rest goes on to the edge.
template <class T>
THandlerKind AskBelowAClauseAndTheEdge() {
  THandlerKind kind = THandlerKind::Terminate;
  rtl::CallGuarded(
      [](void* p) {
        try {
          *static_cast<THandlerKind*>(p) = Ask<T>();
        } catch (const TBase&) {
        }
      },
      &kind, [](void*) {});
  return kind;
}

TEST_F(RaiseHooks, AClauseTakesOnlyTheTypesItMatches) {
  EXPECT_EQ(AskBelowAClauseAndTheEdge<TDerived>(), THandlerKind::Program);
  EXPECT_EQ(AskBelowAClauseAndTheEdge<TBase>(), THandlerKind::Program);
  EXPECT_EQ(AskBelowAClauseAndTheEdge<TUnrelated>(), THandlerKind::Edge);
  EXPECT_EQ(AskBelowAClauseAndTheEdge<std::runtime_error>(), THandlerKind::Edge);
}

int gDestructors = 0;
struct TCounted {
  ~TCounted() { ++gDestructors; }
};

__attribute__((noinline)) int ReadThrough(volatile int* p) {
  TCounted counted;
  return *p;
}

__attribute__((noinline)) int Divide(int a, int b) {
  TCounted counted;
  volatile int divisor = b;
  return a / divisor;
}

// The faulting frame's destructors run, and the program's own clause takes
// the converted exception.
TEST_F(RaiseHooks, ProcessorExceptionsUnwindFromTheFaultingInstruction) {
  struct TCase {
    const char* Name;
    int (*Fault)();
    const void* Faulting;  // the function with the faulting instruction
    const std::type_info& Type;
  };
  const TCase cases[] = {
      {"access violation", [] { return ReadThrough(nullptr); }, reinterpret_cast<const void*>(&ReadThrough),
       typeid(rtl::EAccessViolation)},
      {"division by zero", [] { return Divide(1, 0); }, reinterpret_cast<const void*>(&Divide),
       typeid(rtl::EDivByZero)},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    gSeen.clear();
    gDestructors = 0;
    const std::type_info* caught = nullptr;
    try {
      c.Fault();
    } catch (const rtl::Exception& e) {
      caught = &typeid(e);
    }
    ASSERT_NE(caught, nullptr);
    EXPECT_EQ(*caught, c.Type);
    EXPECT_EQ(gDestructors, 1);
    ASSERT_EQ(gSeen.size(), 1u);
    EXPECT_EQ(gSeen[0].Handler, THandlerKind::Program);
    EXPECT_TRUE(gSeen[0].HasContext);
    // The raise is the faulting instruction itself, inside its function.
    const auto start = reinterpret_cast<std::uintptr_t>(c.Faulting);
    EXPECT_GE(gSeen[0].Address, start);
    EXPECT_LT(gSeen[0].Address, start + 64);
  }
}

// Outside code with unwind tables of this module (a system function given a
// bad pointer) the system's own handling goes on.
TEST_F(RaiseHooks, FaultsInTheSystemAreLeftToIt) {
  EXPECT_EQ(lstrlenW(reinterpret_cast<LPCWSTR>(16)), 0);  // Windows' own handler answers 0
  EXPECT_TRUE(gSeen.empty());
}

}  // namespace
