#include "crashreport/engine/TrLiveReport.h"

#include <shellapi.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "crashreport/debug/TrModules.h"
#include "crashreport/debug/TrStack.h"
#include "crashreport/disasm/TrAsmSection.h"
#include "crashreport/disasm/TrDisAsmWin.h"
#include "crashreport/engine/TrRaise.h"
#include "crashreport/engine/TrSystemInfo.h"
#include "crashreport/report/TrLogManager.h"
#include "rtl/ModuleFile.h"

namespace tracira {

namespace {

// A C++ thread has no class of its own: the name the program gave it with
// SetThreadDescription stands in its place. Looked up at run time, as
// systems before Windows 10 lack it.
std::string ThreadDescription(HANDLE thread) {
  using TGetThreadDescription = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  static const auto get = reinterpret_cast<TGetThreadDescription>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  PWSTR text = nullptr;
  if (!get || !thread || FAILED(get(thread, &text)) || !text) return {};
  std::string name = ToAnsi(text);
  LocalFree(text);
  return name;
}

std::uintptr_t ToAddress(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

std::uint64_t Ticks(const FILETIME& f) { return (std::uint64_t{f.dwHighDateTime} << 32) | f.dwLowDateTime; }

// A moment given in UTC, in local time with the offset in force then.
std::string RFCDateOfUtc(const FILETIME& utc) {
  SYSTEMTIME u{}, l{};
  if (!FileTimeToSystemTime(&utc, &u) || !SystemTimeToTzSpecificLocalTime(nullptr, &u, &l)) return {};
  FILETIME local{};
  SystemTimeToFileTime(&l, &local);
  const auto offset = static_cast<std::int64_t>(Ticks(local) - Ticks(utc)) / 600'000'000;  // minutes
  return RFCDate({l.wYear, l.wMonth, l.wDay, l.wHour, l.wMinute, l.wSecond}, static_cast<int>(offset));
}

FILETIME Now() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return now;
}

// The data block's build time (days since 1899-12-30, UTC).
std::string CompilationDateText(double days) {
  // 109205 days lie between 1601-01-01 (FILETIME's start) and 1899-12-30.
  if (!(days > 0) || days > 2'958'465) return {};
  const auto ticks = static_cast<std::uint64_t>((days + 109205.0) * 864'000'000'000.0);
  const FILETIME utc{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  return RFCDateOfUtc(utc);
}

std::string CommandLineParameters() {
  int count = 0;
  LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> parameters;
  for (int i = 1; args && i < count; ++i) parameters.push_back(ToAnsi(args[i]));
  if (args) LocalFree(args);
  return QuotedParameters(parameters);
}

double DaysBetween(const FILETIME& from, const FILETIME& to) {
  return static_cast<double>(Ticks(to) - Ticks(from)) / (10'000'000.0 * 86400.0);
}

// The long form of a module's file name, without its folder.
std::string LongFileName(const std::wstring& path) {
  std::wstring name(path);
  if (const DWORD n = GetLongPathNameW(path.c_str(), nullptr, 0); n > 0) {
    name.assign(n, L'\0');
    name.resize(GetLongPathNameW(path.c_str(), name.data(), n));
  }
  return ExtractFileName(ToAnsi(name));
}

// The assembler section's view of the symbol lookup.
class TLiveAsmLookup : public TAsmSourceLookup {
 public:
  std::optional<TAsmProcedureBounds> ProcedureBounds(std::uint64_t address) const override {
    const auto bounds = GetProcedureBounds(address);
    if (!bounds) return std::nullopt;
    return TAsmProcedureBounds{bounds->first, bounds->second};
  }
  std::optional<TAsmSourceLine> SourceLine(std::uint64_t address) const override {
    TTraciraDebugInfo e;
    GetDebugInfosByAddr(address, 0, e, false, true);
    if (e.DebugDetail < ddUnitAndProcedure) return std::nullopt;
    return TAsmSourceLine{e.UnitName, e.ClassName, e.ProcedureName, e.Line, e.ProcOffsetLine};
  }
};

std::string AddressName(std::uint64_t address) {
  TTraciraDebugInfo e;
  GetDebugInfosByAddr(address, 0, e, false, true);
  if (e.ProcedureName.empty()) return {};
  return e.ClassName.empty() ? e.ProcedureName : e.ClassName + "." + e.ProcedureName;
}

std::string Disassembly(std::uintptr_t address) {
  TDisAsm disasm;
  disasm.OnReadMemory = ReadOwnMemory;
  disasm.OnAddressName = AddressName;
  const TLiveAsmLookup lookup;
  return AssemblerText(disasm, &lookup, address);
}

}  // namespace

bool IsGUIProgram() {
  const auto* base = reinterpret_cast<const std::uint8_t*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

TReport BuildReport(const TTraciraModuleOptions& options, const TTraciraTexts& texts, const TReportInput& p) {
  const std::vector<TTraciraThreadInfo>& threads = p.Threads;
  TReport report;
  TReportParts& parts = report.Parts;
  TTraciraStackList& stackList = parts.Stack;
  const TTrDetailSet details = GetDebugDetail(options);
  const TCallStackOptions stackOptions = options.CallStackOptions();

  // The exception's own thread first: its stack as it stood at the raise.
  if (p.GivenStack) {
    stackList = *p.GivenStack;
  } else if (!p.Stack.empty()) {
    TTrBufferReader stack(p.StackPoint, std::vector<std::uint8_t>(p.Stack.begin(), p.Stack.end()));
    TTrProcessMemoryReader code;
    TTrScanRequest request;
    request.ExceptionAddress = p.Address;
    request.StackPointer = p.StackPoint;
    request.TopOfStack = p.StackPoint + p.Stack.size();
    request.WordSize = sizeof(void*) == 8 ? kWords64 : kWords32;
    request.Details = details;
    request.ThreadID = p.ThreadID;
    TTrX64Registers registers;
    SetUnwindStart(request, registers, p.Context ? p.Context : p.Frame);
    const std::uint32_t id = p.ThreadID;
    CallStackByAddresses(
        stackList, stack, code,
        [id](TTrAddress a, TTraciraDebugInfo& entry, bool errorLine, bool running) {
          GetDebugInfosByAddr(a, id, entry, errorLine, running);
        },
        request);
  } else {
    CallStackByAddresses(stackList, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(p.Address)),
                         p.StackPoint, p.TopOfStack, details, -1, -1, true, true, p.ThreadID, true,
                         p.Context ? p.Context : p.Frame);
  }
  const auto own =
      std::find_if(threads.begin(), threads.end(), [&](const auto& t) { return t.ID == p.ThreadID; });
  if (!p.GivenStack && own != threads.end() && !own->CallerStackDump.empty())
    AddCallerCallStack(stackList, TTrCallerStack{own->ID, own->CallerStackDump}, details);
  report.ExceptionID = ExceptionID(ExceptionIDText(p.ClassName, stackList, p.ThreadID));

  // Then every other registered thread the options show, each read while
  // it is suspended.
  std::vector<TTraciraThreadRow> rows;
  rows.push_back({p.ThreadID, std::nullopt, {}, p.ThreadID == MainThreadID()});
  for (const TTraciraThreadInfo& t : threads) {
    if (p.GivenStack || t.ID == p.ThreadID || t.ID == GetCurrentThreadId() ||
        std::find(p.SkipThreads.begin(), p.SkipThreads.end(), t.ID) != p.SkipThreads.end())
      continue;
    const bool show = t.IsRuntimeThread ? stackOptions.Contains(csoShowBorlandThreads)
                                        : stackOptions.Contains(csoShowWindowsThreads);
    if (!show || !t.Handle) continue;
    const std::size_t before = stackList.size();
    if (GetThreadCallStack(t.Handle, t.ID, stackList, details) && stackList.size() > before)
      rows.push_back({t.ID, t.Priority, {}, t.ID == MainThreadID()});
  }
  for (auto& row : rows)
    if (const auto it =
            std::find_if(threads.begin(), threads.end(), [&](const auto& t) { return t.ID == row.ThreadID; });
        it != threads.end()) {
      row.Priority = it->Priority;
      row.ClassName = FoldControlChars(ThreadDescription(it->Handle));
    }

  parts.ShowOptions = options.ShowOptions();
  parts.WindowedProgram = p.WindowedProgram;
  parts.Show = stackOptions;
  parts.Threads = rows;

  // 1 Application
  TGeneralValues& v = parts.General;
  HMODULE program = GetModuleHandleW(nullptr);
  TTraciraModuleInfo* programInfo =
      ProcessModules().ModuleInfoByAddr(reinterpret_cast<std::uintptr_t>(program));
  const FILETIME now = Now();
  v.AppStartDate = RFCDateOfUtc(p.StartTime);
  v.AppName = FileNameWithDescription(ExtractFileName(ModuleFileNameAnsi(program)),
                                      programInfo ? programInfo->Description : std::string());
  v.AppVersionNumber = programInfo ? programInfo->Version : std::string();
  v.AppParameters = CommandLineParameters();
  if (programInfo && programInfo->ExtraInformation)
    v.AppCompilationDate = CompilationDateText(programInfo->ExtraInformation->CompilationDate);
  v.AppUpTime = GetCompleteTimeStr(DaysBetween(p.StartTime, now));

  // 2 Exception
  v.ExcDate = RFCDateOfUtc(now);
  if (p.Address != 0) v.ExcAddress = HexAddress(p.Address);
  TTraciraModuleInfo* module = p.Address ? ProcessModules().ModuleInfoByAddr(p.Address) : nullptr;
  if (module) {
    v.ExcModuleName = FileNameWithDescription(ExtractFileName(module->Name), module->Description);
    v.ExcModuleVersion = module->Version;
  }
  v.ExcType = p.ClassName.empty() ? "Unknown exception type" : p.ClassName;
  std::string message = p.Message;
  if (p.Record && p.Record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && p.Record->NumberParameters >= 2) {
    // Rebuilt in the runtime's words, with the module's long file name.
    if (TTraciraModuleInfo* at =
            ProcessModules().ModuleInfoByAddr(reinterpret_cast<std::uintptr_t>(p.Record->ExceptionAddress)))
      message =
          AccessViolationText(ToAddress(p.Record->ExceptionAddress), LongFileName(at->Path),
                              p.Record->ExceptionInformation[0] == 1, p.Record->ExceptionInformation[1]);
  }
  v.ExcMessage = ExceptionMessageText(message);
  v.ExcID = report.ExceptionID;

  // 3, 5, 6, 7 from the system; 4 the windows.
  GatherSystemValues(v, programInfo ? programInfo->Path : std::wstring());
  v.UserEmail = p.UserEmail;
  // The form as the handling saw it when the exception was reported, else now.
  const bool formKnown = !p.ActiveControlClass.empty();
  const TActiveControls active = ActiveControls(!formKnown);
  v.ActCtlsFormClass = formKnown ? p.ActiveControlClass : active.FormClass;
  v.ActCtlsFormText = FoldControlChars(formKnown ? p.ActiveControlText : active.FormText);
  v.ActCtlsControlClass = active.ControlClass;
  v.ActCtlsControlText = active.ControlText;

  parts.SaveModulesAndProcesses = options.LogOptions().Contains(loSaveModulesAndProcessesSections);
  if (parts.SaveModulesAndProcesses) {
    ProcessModules().Build();
    for (TTraciraModuleInfo* m : ProcessModules().Items()) {
      TTraciraModuleRow row;
      row.Handle = m->Base();
      row.FileName = m->Name;
      row.Description = m->Description;
      row.Version = m->Version;
      row.Size = m->FileSize;
      const SYSTEMTIME& t = m->LastModified;
      row.LastModified = {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
      parts.Modules.push_back(std::move(row));
    }
    parts.Processes = RunningProcesses();
  }
  parts.SaveAssemblerAndCPU = options.LogOptions().Contains(loSaveAssemblerAndCPUSections);
  if (parts.SaveAssemblerAndCPU && p.Address != 0) parts.Disassembly = Disassembly(p.Address);
  parts.CPU.Registers64 = sizeof(void*) == 8;
  if (p.Context) {
    parts.CPU.ExceptionAddress = p.Address;
    TTrProcessMemoryReader memory;
    // The words at the stack pointer: from the stack kept at the raise, else
    // read now.
    auto readStack = [&](auto& stack) {
      if (p.Stack.size() >= stack.size()) {
        std::copy_n(p.Stack.begin(), stack.size(), stack.begin());
        return true;
      }
      return p.Stack.empty() && memory.Read(StackPointerOf(*p.Context), stack.data(), stack.size());
    };
#if defined(__x86_64__)
    const CONTEXT& c = *p.Context;
    parts.CPU.Context64 = TTraciraRegisters64{c.Rax, c.Rbx, c.Rcx, c.Rdx, c.Rsi, c.Rdi, c.Rbp, c.Rsp, c.R8,
                                              c.R9,  c.R10, c.R11, c.R12, c.R13, c.R14, c.R15, c.Rip};
    if (std::array<std::uint8_t, 128> stack{}; readStack(stack)) parts.CPU.Stack64 = stack;
#else
    const CONTEXT& c = *p.Context;
    parts.CPU.Context = TTraciraRegisters{c.Eax, c.Ebx, c.Ecx, c.Edx, c.Esi, c.Edi, c.Esp, c.Eip};
    if (std::array<std::uint8_t, 64> stack{}; readStack(stack)) parts.CPU.Stack = stack;
#endif
    std::array<std::uint8_t, 256> code{};
    if (memory.Read(p.Address, code.data(), code.size())) parts.CPU.Memory = code;
  }
  report.Text = CreateLogText(texts, parts);
  return report;
}

std::string ModuleFileNameAnsi(HMODULE module) { return ToAnsi(rtl::ModuleFileName(module)); }

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

}  // namespace tracira
