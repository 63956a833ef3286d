// The bug report of one exception, gathered from the running process: the
// call stacks of its threads, the modules, the processor state and the
// general sections; and where the log file goes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "crashreport/core/TrCore.h"
#include "crashreport/core/TrTypes.h"
#include "crashreport/engine/TrThreads.h"
#include "crashreport/report/TrLogText.h"

namespace tracira {

// What the handling knows of the exception.
struct TReportInput {
  std::uint32_t Address = 0;
  std::uint32_t ThreadID = 0;  // the thread the exception belongs to
  std::uint32_t StackPoint = 0, TopOfStack = 0;
  // The exception thread's stack as it was at the raise, from StackPoint up;
  // null: read it where it is.
  const std::vector<std::uint8_t>* Stack = nullptr;
  const CONTEXT* Context = nullptr;  // a system exception's processor state
  std::string ClassName, Message;
  std::string ActiveControlClass, ActiveControlText;
  std::vector<TTraciraThreadInfo> Threads;  // the registry's snapshot
  std::vector<DWORD> SkipThreads;           // the crash reporter's own
  FILETIME StartTime{};                     // the process's start
};

struct TReport {
  std::string Text;
  std::string ExceptionID;
  TTraciraStackList Stack;
};

TReport BuildReport(const TTraciraModuleOptions& options, const TTraciraTexts& texts,
                    const TReportInput& input);

// Text in the system code page (the report's and the log's) and back.
std::string ToAnsi(const std::wstring& text);
std::wstring FromAnsi(const std::string& text);
std::string ModuleFileNameAnsi(HMODULE module);
std::filesystem::path WidePath(const std::string& ansi);

// The system's version as it tells it to the program.
OSVERSIONINFOW OSVersion();

// The user's profile folder (shell folder, else %UserProfile%, else "\").
std::string ProfileFolder();
// Environment variables expanded by the system (it sees what the program set).
std::string ExpandWithSystem(const std::string& text);

}  // namespace tracira
