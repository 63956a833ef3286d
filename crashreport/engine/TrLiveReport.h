// The bug report of one exception, gathered from the running process: the
// call stacks of its threads, every item of the general sections, the
// modules and processes, the disassembly and the processor state; and where
// the log file goes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "crashreport/core/TrCore.h"
#include "crashreport/core/TrText.h"
#include "crashreport/core/TrTypes.h"
#include "crashreport/engine/TrThreads.h"
#include "crashreport/report/TrLogText.h"

namespace tracira {

// What the handling knows of the exception.
struct TReportInput {
  std::uintptr_t Address = 0;
  std::uint32_t ThreadID = 0;  // the thread the exception belongs to
  std::uintptr_t StackPoint = 0, TopOfStack = 0;
  // The exception thread's stack as it was at the raise, from StackPoint up;
  // empty: read it where it is.
  std::span<const std::uint8_t> Stack;
  const CONTEXT* Context = nullptr;          // a system exception's processor state
  const EXCEPTION_RECORD* Record = nullptr;  // and its record
  // Otherwise the registers of a throw's own frame, when known (x86-64):
  // the raising thread's stack is unwound from there.
  const CONTEXT* Frame = nullptr;
  // "Unknown exception type" / "Unknown error message." when the object
  // isn't an exception (the caller knows).
  std::string ClassName, Message;
  // The foreground window as it was when the exception was reported.
  std::string ActiveControlClass, ActiveControlText;
  std::vector<TTraciraThreadInfo> Threads;  // the registry's snapshot
  std::vector<DWORD> SkipThreads;           // the crash reporter's own
  FILETIME StartTime{};                     // the process's start
  // Section 4 exists only in a windowed program (IsGUIProgram()).
  bool WindowedProgram = true;
  std::string UserEmail;  // typed in a dialog
  // The call-stack section as given (a leak report's rows): no thread's
  // stack is read then.
  const TTraciraStackList* GivenStack = nullptr;
};

// The report as text and as the data it was made from (the detail pages
// list the general items, the call stacks, the modules, the processes, the
// assembler and the processor state as rows).
struct TReport {
  std::string Text;
  std::string ExceptionID;
  TReportParts Parts;
};

TReport BuildReport(const TTraciraModuleOptions& options, const TTraciraTexts& texts,
                    const TReportInput& input);

// The main program is a windowed one (not a console or web program).
bool IsGUIProgram();

std::string ModuleFileNameAnsi(HMODULE module);
inline std::filesystem::path WidePath(const std::string& ansi) { return AnsiToPath(ansi); }

// The system's version as it tells it to the program.
OSVERSIONINFOW OSVersion();

}  // namespace tracira
