#include "crashreport/engine/TrLiveReport.h"

#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "crashreport/debug/TrModules.h"
#include "crashreport/debug/TrStack.h"
#include "crashreport/engine/ExceptionLog.h"
#include "crashreport/engine/TrRaise.h"

namespace tracira {

namespace {

std::uint32_t ToAddress(const void* p) {
  return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p));
}

std::string HexText(std::uint32_t value) { return HexAddress(value); }

std::string DateTimeText(const SYSTEMTIME& t) {
  TTraciraDateTime d{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
  TIME_ZONE_INFORMATION tz{};
  const DWORD mode = GetTimeZoneInformation(&tz);
  int bias = -static_cast<int>(tz.Bias);
  if (mode == TIME_ZONE_ID_DAYLIGHT) bias -= tz.DaylightBias;
  return RFCDate(d, bias);
}

std::string CommandLineParameters() {
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> parameters;
  for (int i = 1; args && i < count; ++i) parameters.push_back(ToAnsi(args[i]));
  if (args) LocalFree(args);
  return QuotedParameters(parameters);
}

double DaysSince(const FILETIME& start) {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  const auto ticks = [](const FILETIME& f) {
    return (std::uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime;
  };
  return static_cast<double>(ticks(now) - ticks(start)) / (10'000'000.0 * 86400.0);
}

}  // namespace

TReport BuildReport(const TTraciraModuleOptions& options, const TTraciraTexts& texts, const TReportInput& p) {
  const std::string& className = p.ClassName;
  const std::string& message = p.Message;
  const std::vector<TTraciraThreadInfo>& threads = p.Threads;
  TReport report;
  const TTrDetailSet details = GetDebugDetail(options);
  const TCallStackOptions stackOptions = options.CallStackOptions();

  // The exception's own thread first: its stack as it stood at the raise.
  if (p.Stack) {
    TTrBufferReader stack(p.StackPoint, *p.Stack);
    TTrProcessMemoryReader code;
    TTrScanRequest request;
    request.ExceptionAddress = p.Address;
    request.StackPointer = p.StackPoint;
    request.TopOfStack = p.StackPoint + static_cast<std::uint32_t>(p.Stack->size());
    request.Details = details;
    request.ThreadID = p.ThreadID;
    const std::uint32_t id = p.ThreadID;
    CallStackByAddresses(
        report.Stack, stack, code,
        [id](std::uint32_t a, TTraciraDebugInfo& entry, bool errorLine, bool running) {
          GetDebugInfosByAddr(a, id, entry, errorLine, running);
        },
        request);
  } else {
    CallStackByAddresses(report.Stack, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(p.Address)),
                         p.StackPoint, p.TopOfStack, details, -1, -1, true, true, p.ThreadID, true);
  }
  const auto own =
      std::find_if(threads.begin(), threads.end(), [&](const auto& t) { return t.ID == p.ThreadID; });
  if (own != threads.end() && !own->CallerStackDump.empty())
    AddCallerCallStack(report.Stack, TTrCallerStack{own->ID, own->CallerStackDump}, details);
  report.ExceptionID = ExceptionID(ExceptionIDText(className, report.Stack, p.ThreadID));

  // Then every other registered thread the options show, each read while
  // it is suspended.
  std::vector<TTraciraThreadRow> rows;
  rows.push_back({p.ThreadID, std::nullopt, {}, p.ThreadID == MainThreadID()});
  for (const TTraciraThreadInfo& t : threads) {
    if (t.ID == p.ThreadID || t.ID == GetCurrentThreadId() ||
        std::find(p.SkipThreads.begin(), p.SkipThreads.end(), t.ID) != p.SkipThreads.end())
      continue;
    const bool show = t.IsRuntimeThread ? stackOptions.Contains(csoShowBorlandThreads)
                                        : stackOptions.Contains(csoShowWindowsThreads);
    if (!show || !t.Handle) continue;
    const std::size_t before = report.Stack.size();
    if (GetThreadCallStack(t.Handle, t.ID, report.Stack, details) && report.Stack.size() > before)
      rows.push_back({t.ID, t.Priority, {}, t.ID == MainThreadID()});
  }
  for (auto& row : rows)
    if (const auto it =
            std::find_if(threads.begin(), threads.end(), [&](const auto& t) { return t.ID == row.ThreadID; });
        it != threads.end())
      row.Priority = it->Priority;

  TReportParts parts;
  parts.ShowOptions = options.ShowOptions();
  parts.Show = stackOptions;
  parts.Stack = report.Stack;
  parts.Threads = rows;
  TGeneralValues& v = parts.General;
  HMODULE program = GetModuleHandleW(nullptr);
  TTraciraModuleInfo* programInfo = ProcessModules().ModuleInfoByAddr(ToAddress(program));
  SYSTEMTIME start{};
  FILETIME localStart{};
  FileTimeToLocalFileTime(&p.StartTime, &localStart);
  FileTimeToSystemTime(&localStart, &start);
  v.AppStartDate = DateTimeText(start);
  v.AppName = FileNameWithDescription(ExtractFileName(ModuleFileNameAnsi(program)),
                                      programInfo ? programInfo->Description : std::string());
  v.AppVersionNumber = programInfo ? programInfo->Version : std::string();
  v.AppParameters = CommandLineParameters();
  v.AppUpTime = GetCompleteTimeStr(DaysSince(p.StartTime));
  SYSTEMTIME now{};
  GetLocalTime(&now);
  v.ExcDate = DateTimeText(now);
  v.ExcAddress = HexText(p.Address);
  if (TTraciraModuleInfo* m = ProcessModules().ModuleInfoByAddr(p.Address)) {
    v.ExcModuleName = FileNameWithDescription(ExtractFileName(m->Name), m->Description);
    v.ExcModuleVersion = m->Version;
  }
  v.ExcType = className;
  v.ExcMessage = ExceptionMessageText(message);
  v.ExcID = report.ExceptionID;
  char buffer[MAX_COMPUTERNAME_LENGTH + 256];
  DWORD size = sizeof buffer;
  if (GetComputerNameA(buffer, &size)) v.CmpName = std::string(buffer, size);
  size = sizeof buffer;
  if (GetUserNameA(buffer, &size) && size > 0) v.UserID = std::string(buffer, size - 1);
  v.ActCtlsFormClass = p.ActiveControlClass;
  v.ActCtlsFormText = p.ActiveControlText;

  parts.SaveModulesAndProcesses = options.LogOptions().Contains(loSaveModulesAndProcessesSections);
  if (parts.SaveModulesAndProcesses) {
    ProcessModules().Build();
    for (TTraciraModuleInfo* m : ProcessModules().Items()) {
      TTraciraModuleRow row;
      row.Handle = m->Base();
      row.FileName = m->Name;
      row.Description = m->Description;
      row.Version = m->Version;
      row.Size = m->Size;
      const SYSTEMTIME& t = m->LastModified;
      row.LastModified = {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
      parts.Modules.push_back(std::move(row));
    }
  }
  parts.SaveAssemblerAndCPU = options.LogOptions().Contains(loSaveAssemblerAndCPUSections);
  if (p.Context) {
    TTraciraRegisters r;
#if defined(__i386__)
    r = {p.Context->Eax, p.Context->Ebx, p.Context->Ecx, p.Context->Edx,
         p.Context->Esi, p.Context->Edi, p.Context->Esp, p.Context->Eip};
#endif
    parts.CPU.Context = r;
    parts.CPU.ExceptionAddress = p.Address;
    TTrProcessMemoryReader memory;
    std::array<std::uint8_t, 64> stack{};
    std::array<std::uint8_t, 256> code{};
    if (p.Stack && p.Stack->size() >= stack.size())
      std::copy_n(p.Stack->begin(), stack.size(), stack.begin()), parts.CPU.Stack = stack;
    else if (!p.Stack && memory.Read(StackPointerOf(*p.Context), stack.data(), stack.size()))
      parts.CPU.Stack = stack;
    if (memory.Read(p.Address, code.data(), code.size())) parts.CPU.Memory = code;
  }
  report.Text = CreateLogText(texts, parts);
  return report;
}

std::string ToAnsi(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring FromAnsi(const std::string& text) {
  if (text.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string ModuleFileNameAnsi(HMODULE module) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(module, path, MAX_PATH);
  return ToAnsi(path);
}

OSVERSIONINFOW OSVersion() {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  // Deprecated for the application's manifest games; the crash reporter
  // wants the version the system tells the program.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  GetVersionExW(&version);
#pragma GCC diagnostic pop
  return version;
}

std::string ProfileFolder() {
  char path[MAX_PATH] = {};
  if (SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_PROFILE, nullptr, 0, path)) && path[0]) return path;
  if (const DWORD n = GetEnvironmentVariableA("UserProfile", path, MAX_PATH); n > 0 && n < MAX_PATH)
    return path;
  return "\\";
}

std::string ExpandWithSystem(const std::string& text) {
  const DWORD n = ExpandEnvironmentStringsA(text.c_str(), nullptr, 0);
  if (n == 0) return text;
  std::string out(n, '\0');
  ExpandEnvironmentStringsA(text.c_str(), out.data(), n);
  out.resize(std::strlen(out.c_str()));
  return out;
}

std::filesystem::path WidePath(const std::string& ansi) { return std::filesystem::path(FromAnsi(ansi)); }

std::string OutputLogFile(const TTraciraModuleOptions& options) {
  std::string module = options.ModuleName();
  if (module.empty()) module = ModuleFileNameAnsi(GetModuleHandleW(nullptr));
  std::string name = ExtractFileName(module);
  if (const auto dot = name.rfind('.'); dot != std::string::npos) name.erase(dot);
  std::string file;
  std::string out = options.OutputPath();
  std::string lower = out;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower.size() >= 4 && lower.compare(lower.size() - 4, 4, ".tlf") == 0) {
    file = out;
  } else {
    std::string folder;
    if (!out.empty()) {
      folder = out;
      if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
    } else {
      const OSVERSIONINFOW version = OSVersion();
      folder = version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 6
                   ? ProfileFolder() + "\\TraciraLog\\"
                   : ExtractFilePath(module);
    }
    file = folder + name + ".tlf";
  }
  if (options.LogOptions().Contains(loAddComputerNameInLogFileName)) {
    char computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof computer;
    GetComputerNameA(computer, &size);
    const auto dot = file.rfind('.');
    file.insert(dot == std::string::npos ? file.size() : dot, std::string("_") + computer);
  }
  return ExpandWithSystem(file);
}

}  // namespace tracira
