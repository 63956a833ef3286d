// A library module that carries the crash reporter too: what it raises,
// catches and starts is handed to the program's crash reporter.
#include <windows.h>

#include "crashreport/engine/ExceptionLog.h"
#include "rtl/Exceptions.h"
#include "rtl/Guarded.h"

namespace {

class ELibraryProblem : public rtl::Exception {
 public:
  using Exception::Exception;
};

__attribute__((noinline)) void ThrowFromLibrary() { throw ELibraryProblem(L"The library went wrong"); }

template <class Body>
void AtTheLibraryEdge(Body body) {
  rtl::Guarded(body, [] {});
}

DWORD WINAPI LibraryThread(LPVOID) {
  AtTheLibraryEdge([] { ThrowFromLibrary(); });
  return 0;
}

}  // namespace

extern "C" {

__declspec(dllexport) void RaiseAtTheLibraryEdge() {
  AtTheLibraryEdge([] { ThrowFromLibrary(); });
}

__declspec(dllexport) bool RaiseCaughtInTheLibrary() {
  try {
    ThrowFromLibrary();
  } catch (const ELibraryProblem&) {
    return true;
  }
  return false;
}

__declspec(dllexport) void RaiseAgainToTheLibraryEdge() {
  AtTheLibraryEdge([] {
    try {
      ThrowFromLibrary();
    } catch (const ELibraryProblem&) {
      throw;
    }
  });
}

// Runs a function of the program and catches what it raises, by a base
// class.
__declspec(dllexport) bool CallAndCatch(void (*body)()) {
  try {
    body();
  } catch (const rtl::Exception&) {
    return true;
  }
  return false;
}

// The library's own handlers of the crash reporter's events, which the
// program's crash reporter runs for what the library raises: 0 none, 1 a
// component's ExceptionNotify that clears Handle, 2 an ExceptionActionNotify
// that stops the save.
__declspec(dllexport) void HandleEventsInTheLibrary(int which) {
  using namespace tracira;
  static TTraciraLog component;
  component.OnExceptionNotify = nullptr;
  ExceptionActionNotify = nullptr;
  if (which == 1)
    component.OnExceptionNotify = [](TTraciraExceptionRecord&, bool& handle) { handle = false; };
  if (which == 2)
    ExceptionActionNotify = [](TTraciraExceptionRecord&, TTraciraActionType action, bool& execute) {
      if (action == atSavingLogFile) execute = false;
    };
}

// Raises with nothing of the library's to catch it.
__declspec(dllexport) void RaiseFromTheLibrary() { ThrowFromLibrary(); }

// A thread the library starts itself; its exception reaches the thread's
// edge in the library. Returns the thread's exit code.
__declspec(dllexport) DWORD RunLibraryThread() {
  HANDLE thread = CreateThread(nullptr, 0, LibraryThread, nullptr, 0, nullptr);
  if (!thread) return static_cast<DWORD>(-1);
  WaitForSingleObject(thread, 30000);
  DWORD code = 0;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  return code;
}
}
