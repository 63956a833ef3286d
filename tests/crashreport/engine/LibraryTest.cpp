// A library module with a crash reporter of its own in a program that has
// one: the program's crash reporter reports what the library's code raises,
// with the library's functions and lines named from the library's own data.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "crashreport/engine/ExceptionLog.h"
#include "crashreport/engine/TrThreads.h"
#include "rtl/Exceptions.h"
#include "tests/crashreport/engine/EngineTestSupport.h"

namespace {

using namespace tracira;
using enginetest::PrepareOptions;
using enginetest::SavedReports;

class Library : public ::testing::Test {
 protected:
  void SetUp() override {
    module = LoadLibraryW(L"tracira_library_module.dll");
    ASSERT_NE(module, nullptr);
  }
  void TearDown() override {
    if (module) FreeLibrary(module);
  }
  template <class F>
  F Export(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  }
  HMODULE module = nullptr;
};

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(Library, AnExceptionAtItsEdgeIsReportedByTheProgram) {
  PrepareOptions("library-edge");
  const int before = ExceptionCount();
  Export<void (*)()>("RaiseAtTheLibraryEdge")();
  EXPECT_EQ(ExceptionCount(), before + 1);
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(Has(reports[0], "ELibraryProblem")) << reports[0];
  EXPECT_TRUE(Has(reports[0], "The library went wrong")) << reports[0];
  const std::size_t raise = reports[0].find("ThrowFromLibrary");
  ASSERT_NE(raise, std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("LibraryModule.cpp", raise), std::string::npos) << reports[0];
  EXPECT_NE(reports[0].find("tracira_library_module.dll", raise), std::string::npos) << reports[0];
}

TEST_F(Library, AnExceptionItCatchesItselfIsNotReported) {
  PrepareOptions("library-caught");
  const int before = ExceptionCount();
  EXPECT_TRUE(Export<bool (*)()>("RaiseCaughtInTheLibrary")());
  EXPECT_EQ(ExceptionCount(), before);
  EXPECT_TRUE(SavedReports().empty());
}

TEST_F(Library, AnExceptionRaisedAgainToItsEdgeIsReportedOnce) {
  PrepareOptions("library-again");
  const int before = ExceptionCount();
  Export<void (*)()>("RaiseAgainToTheLibraryEdge")();
  EXPECT_EQ(ExceptionCount(), before + 1);
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(Has(reports[0], "ThrowFromLibrary")) << reports[0];
}

TEST_F(Library, ItsOwnEventHandlersRunForWhatItRaises) {
  PrepareOptions("library-events");
  const auto handleEvents = Export<void (*)(int)>("HandleEventsInTheLibrary");
  const auto raise = Export<void (*)()>("RaiseAtTheLibraryEdge");
  const int before = ExceptionCount();
  handleEvents(1);  // its component's ExceptionNotify clears Handle
  raise();
  EXPECT_EQ(ExceptionCount(), before);
  EXPECT_TRUE(SavedReports().empty());
  handleEvents(2);  // its ExceptionActionNotify stops the save
  raise();
  EXPECT_EQ(ExceptionCount(), before + 1);
  EXPECT_TRUE(SavedReports().empty());
  handleEvents(0);
  raise();
  EXPECT_EQ(SavedReports().size(), 1u);
}

TEST_F(Library, ItsThreadsAreInTheProgramsRegistry) {
  PrepareOptions("library-thread");
  EXPECT_EQ(Export<DWORD (*)()>("RunLibraryThread")(), 0u);
  const auto reports = SavedReports();
  ASSERT_EQ(reports.size(), 1u);
  // Only a registered thread has its creator's stack in the report.
  EXPECT_TRUE(Has(reports[0], "Calling Thread")) << reports[0];
  EXPECT_TRUE(Has(reports[0], "LibraryThread")) << reports[0];
}

#if defined(__x86_64__)
// On x86-64 an exception passes between the two modules' frames (on i686
// each module's unwinder knows only its own tables): a catch clause of the
// other module is found by the search of either. The thread has no handler
// of its own above them, so a catch clause missed is a report.
struct TCrossing {
  bool (*CallAndCatch)(void (*)());
  void (*RaiseFromTheLibrary)();
  bool LibraryCaught = false, ProgramCaught = false;
};

DWORD WINAPI CrossingThread(LPVOID p) {
  auto& crossing = *static_cast<TCrossing*>(p);
  crossing.LibraryCaught = crossing.CallAndCatch([] { throw rtl::Exception(L"The program went wrong"); });
  try {
    crossing.RaiseFromTheLibrary();
  } catch (const rtl::Exception&) {
    crossing.ProgramCaught = true;
  }
  return 0;
}

TEST_F(Library, AnExceptionTheOtherModuleCatchesIsNotReported) {
  PrepareOptions("library-crossing");
  const int before = ExceptionCount();
  TCrossing crossing{Export<bool (*)(void (*)())>("CallAndCatch"), Export<void (*)()>("RaiseFromTheLibrary")};
  ASSERT_TRUE(crossing.CallAndCatch && crossing.RaiseFromTheLibrary);
  HANDLE thread = CreateUnregisteredThread(CrossingThread, &crossing);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, 30000), WAIT_OBJECT_0);
  CloseHandle(thread);
  EXPECT_TRUE(crossing.LibraryCaught);
  EXPECT_TRUE(crossing.ProgramCaught);
  EXPECT_EQ(ExceptionCount(), before);
  EXPECT_TRUE(SavedReports().empty());
}
#endif

}  // namespace
