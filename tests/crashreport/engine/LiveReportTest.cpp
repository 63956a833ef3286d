// The report of a running process, built here under Wine: each item holds
// what the system itself says, read back from the report's text.
#include <gtest/gtest.h>
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on
#include <iphlpapi.h>
#include <winspool.h>

#include <filesystem>
#include <regex>
#include <string>

#include "crashreport/core/TrText.h"
#include "crashreport/debug/TrModules.h"
#include "crashreport/debug/TrStack.h"
#include "crashreport/engine/TrLiveReport.h"
#include "crashreport/engine/TrSystemInfo.h"
#include "crashreport/report/TrLogManager.h"

namespace tracira {
namespace {

namespace fs = std::filesystem;

std::string A(const std::wstring& text) { return ToAnsi(text); }

std::uintptr_t ToAddress(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

__attribute__((noinline)) int RaisingHere(int x) { return x * 3 + 1; }

// The item's value, as the log reader reads it back.
struct TParsed {
  explicit TParsed(const std::string& report) { Log.LoadFromBuffer(report); }
  std::string operator[](const char* item) const { return Log.GetItemValue(item, 0); }
  TLogFile Log;
};

// The section of a report that starts with "<title>:".
std::vector<std::string> SectionLines(const std::string& report, const std::string& title) {
  std::vector<std::string> lines;
  std::size_t at = report.find("\r\n" + title + ":\r\n");
  if (at == std::string::npos) return lines;
  at += 2;
  for (;;) {
    const std::size_t end = report.find("\r\n", at);
    if (end == std::string::npos || end == at) break;
    lines.push_back(report.substr(at, end - at));
    at = end + 2;
  }
  return lines;
}

const std::regex kRFCDate(R"([A-Z][a-z]{2}, \d{1,2} [A-Z][a-z]{2} \d{4} \d\d:\d\d:\d\d [+-]\d{4})");
const std::regex kDuration(R"((\d+ days?, )?(\d+ hours?, )?(\d+ minutes?, )?\d+ seconds?)");

TReportInput Input(std::uintptr_t address) {
  TReportInput input;
  input.Address = address;
  input.ThreadID = GetCurrentThreadId();
  volatile int here = 0;
  input.StackPoint = ToAddress(const_cast<int*>(&here));
  input.TopOfStack = CurrentTopOfStack();
  input.ClassName = "ETestProblem";
  input.Message = A(L"Порт занят");
  FILETIME ignored{};
  GetProcessTimes(GetCurrentProcess(), &input.StartTime, &ignored, &ignored, &ignored);
  return input;
}

TReport Build(const TReportInput& input, const TTraciraModuleOptions& options = TTraciraModuleOptions()) {
  return BuildReport(options, DefaultTraciraTexts(), input);
}

// A registry value set for one test and put back after it.
class TRegistryValue {
 public:
  TRegistryValue(const wchar_t* key, const wchar_t* name, const wchar_t* value) : fKey(key), fName(name) {
    HKEY k = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    wchar_t old[512] = {};
    DWORD size = sizeof old, type = 0;
    fExisted =
        RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(old), &size) == ERROR_SUCCESS;
    fOld = old;
    RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                   static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
    RegCloseKey(k);
  }
  ~TRegistryValue() {
    HKEY k = nullptr;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, fKey, 0, KEY_ALL_ACCESS, &k);
    if (fExisted)
      RegSetValueExW(k, fName, 0, REG_SZ, reinterpret_cast<const BYTE*>(fOld.c_str()),
                     static_cast<DWORD>((fOld.size() + 1) * sizeof(wchar_t)));
    else
      RegDeleteValueW(k, fName);
    RegCloseKey(k);
  }
  TRegistryValue(const TRegistryValue&) = delete;
  TRegistryValue& operator=(const TRegistryValue&) = delete;

 private:
  const wchar_t* fKey;
  const wchar_t* fName;
  bool fExisted = false;
  std::wstring fOld;
};

constexpr const wchar_t* kNT = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const wchar_t* kWin = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr const wchar_t* kSetup = L"SOFTWARE\\Microsoft\\MS Setup (ACME)\\User Info";

TEST(SystemValues, OwnerAndCompanyFallBackThroughTheirThreePlaces) {
  struct Case {
    const wchar_t *NT, *Windows, *Setup;
    const wchar_t* Expected;
  };
  const Case cases[] = {
      {L"", L"", L"Иван Петров", L"Иван Петров"},
      {L"", L"Пётр", L"Иван Петров", L"Пётр"},
      {L"Анна", L"Пётр", L"Иван Петров", L"Анна"},
  };
  for (const Case& c : cases) {
    const TRegistryValue nt(kNT, L"RegisteredOwner", c.NT), win(kWin, L"RegisteredOwner", c.Windows),
        setup(kSetup, L"DefName", c.Setup);
    const TRegistryValue ntCompany(kNT, L"RegisteredOrganization", c.NT),
        winCompany(kWin, L"RegisteredOrganization", c.Windows), setupCompany(kSetup, L"DefCompany", c.Setup);
    EXPECT_EQ(RegisteredOwner(), A(c.Expected));
    EXPECT_EQ(RegisteredCompany(), A(c.Expected));
  }
}

// A form with a focused edit, in front.
class TForm {
 public:
  TForm() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TavrixLiveReportForm";
    RegisterClassW(&wc);
    Form = CreateWindowW(L"TavrixLiveReportForm", L"Окно\tотчёта", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40,
                         400, 200, nullptr, nullptr, wc.hInstance, nullptr);
    Edit = CreateWindowW(L"EDIT", L"Сканер 7", WS_CHILD | WS_VISIBLE, 10, 10, 200, 24, Form, nullptr,
                         wc.hInstance, nullptr);
    SetForegroundWindow(Form);
    SetFocus(Edit);
    Pump();
  }
  ~TForm() { DestroyWindow(Form); }
  TForm(const TForm&) = delete;
  TForm& operator=(const TForm&) = delete;
  static void Pump() {
    MSG msg;
    for (int i = 0; i < 20; ++i) {
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
      Sleep(5);
    }
  }
  HWND Form = nullptr, Edit = nullptr;
};

TEST(LiveReport, EveryGeneralItemHoldsTheSystemsOwnValue) {
  const TRegistryValue owner(kNT, L"RegisteredOwner", L"Оператор стенда");
  const TRegistryValue company(kNT, L"RegisteredOrganization", L"НТЦ Ортвел");
  TForm form;
  ASSERT_EQ(GetForegroundWindow(), form.Form);
  const std::uintptr_t address = ToAddress(reinterpret_cast<const void*>(&RaisingHere)) + 3;
  TReportInput input = Input(address);
  const TReport report = Build(input);
  const TParsed item(report.Text);
  std::printf("%s\n", report.Text.c_str());

  // 1 Application: the program's own version resource and data block.
  EXPECT_TRUE(std::regex_match(item["1.1"], kRFCDate)) << item["1.1"];
  const std::string program = "tracira_livereport_test.exe - (" + A(L"Проверка живого отчёта") + ")";
  EXPECT_EQ(item["1.2"], program);
  EXPECT_EQ(item["1.3"], "3.1.4.15");
  // The block is written right after linking: its build time, in local
  // time, is the program file's own time to the minute or so.
  const std::string built = item["1.5"];
  ASSERT_TRUE(std::regex_match(built, kRFCDate)) << built;
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  WIN32_FILE_ATTRIBUTE_DATA attributes{};
  ASSERT_TRUE(GetFileAttributesExW(self, GetFileExInfoStandard, &attributes));
  FILETIME localWrite{};
  SYSTEMTIME written{};
  FileTimeToLocalFileTime(&attributes.ftLastWriteTime, &localWrite);
  FileTimeToSystemTime(&localWrite, &written);
  char day[64];
  std::snprintf(day, sizeof day, " %d ", written.wDay);
  EXPECT_NE(built.find(day), std::string::npos) << built;
  const int hh = std::stoi(built.substr(built.size() - 14, 2)),
            mm = std::stoi(built.substr(built.size() - 11, 2));
  EXPECT_LE(std::abs((hh * 60 + mm) - (written.wHour * 60 + written.wMinute)), 5) << built;
  EXPECT_TRUE(std::regex_match(item["1.6"], kDuration)) << item["1.6"];

  // 2 Exception
  EXPECT_TRUE(std::regex_match(item["2.1"], kRFCDate)) << item["2.1"];
  EXPECT_EQ(item["2.2"], HexAddress(address));
  EXPECT_EQ(item["2.3"], program);
  EXPECT_EQ(item["2.4"], "3.1.4.15");
  EXPECT_EQ(item["2.5"], "ETestProblem");
  EXPECT_EQ(item["2.6"], A(L"Порт занят."));
  EXPECT_EQ(item["2.7"], report.ExceptionID);
  EXPECT_EQ(item["2.8"], "1");
  EXPECT_EQ(item["2.9"], "New");

  // 3 User
  wchar_t text[256] = {};
  DWORD length = 256;
  GetUserNameW(text, &length);
  EXPECT_EQ(item["3.1"], A(text));
  EXPECT_EQ(item["3.2"], A(L"Оператор стенда"));
  EXPECT_EQ(item["3.4"], A(L"НТЦ Ортвел"));
  const std::string privileges = item["3.5"];
  EXPECT_EQ(privileges, PrivilegesText(ProcessPrivileges()));
  EXPECT_TRUE(privileges.find(" - ON") != std::string::npos || privileges.find(" - OFF") != std::string::npos)
      << privileges;

  // 4 Active controls: the form in front and its focused edit.
  EXPECT_EQ(item["4.1"], "TavrixLiveReportForm");
  EXPECT_EQ(item["4.2"], A(L"Окно отчёта"));
  EXPECT_EQ(item["4.3"], "Edit");
  EXPECT_EQ(item["4.4"], A(L"Сканер 7"));

  // 5 Computer, against the system's own calls made right after.
  length = 256;
  GetComputerNameW(text, &length);
  EXPECT_EQ(item["5.1"], A(text));
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  GlobalMemoryStatusEx(&memory);
  EXPECT_EQ(item["5.2"], MegabytesText(memory.ullTotalPhys));
  const double freeMb = std::stod(item["5.3"]);
  EXPECT_NEAR(freeMb, static_cast<double>(memory.ullAvailPhys) / 1048576.0,
              memory.ullTotalPhys / 1048576.0 * 0.05);
  wchar_t volume[MAX_PATH] = {};
  ULARGE_INTEGER available{}, total{}, free{};
  ASSERT_TRUE(GetVolumePathNameW(self, volume, MAX_PATH));
  ASSERT_TRUE(GetDiskFreeSpaceExW(volume, &available, &total, &free));
  EXPECT_EQ(item["5.4"], GigabytesText(total.QuadPart));
  EXPECT_NEAR(std::stod(item["5.5"]), static_cast<double>(free.QuadPart) / 1073741824.0, 0.5);
  EXPECT_TRUE(std::regex_match(item["5.6"], kDuration)) << item["5.6"];
  const std::string processor = RegistryText(
      HKEY_LOCAL_MACHINE, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0", L"ProcessorNameString");
  ASSERT_FALSE(processor.empty());
  EXPECT_EQ(item["5.7"], processor);
  EXPECT_EQ(
      item["5.8"].substr(0, item["5.8"].find(',')),
      std::to_string(GetSystemMetrics(SM_CXSCREEN)) + " x " + std::to_string(GetSystemMetrics(SM_CYSCREEN)));
  HDC screen = GetDC(nullptr);
  EXPECT_EQ(item["5.9"], std::to_string(GetDeviceCaps(screen, LOGPIXELSY)));
  ReleaseDC(nullptr, screen);
  DISPLAY_DEVICEW device{};
  device.cb = sizeof device;
  for (DWORD i = 0; EnumDisplayDevicesW(nullptr, i, &device, 0); ++i)
    if (device.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE) break;
  ASSERT_NE(device.DeviceString[0], 0);
  EXPECT_EQ(item["5.10"].rfind(A(device.DeviceString), 0), 0u) << item["5.10"];
  length = 256;
  if (GetDefaultPrinterW(text, &length))
    EXPECT_EQ(item["5.11"].rfind(A(text), 0), 0u) << item["5.11"];
  else
    EXPECT_EQ(item["5.11"], "");

  // 6 Operating system, against the registry's own account of it.
  EXPECT_EQ(item["6.1"], RegistryText(HKEY_LOCAL_MACHINE, kNT, L"ProductName"));
  EXPECT_EQ(item["6.2"], RegistryText(HKEY_LOCAL_MACHINE, kNT, L"CurrentBuildNumber"));
  EXPECT_EQ(item["6.3"], RegistryText(HKEY_LOCAL_MACHINE, kNT, L"CSDVersion"));
  GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SLANGUAGE, text, 256);
  EXPECT_EQ(item["6.4"], A(text));
  EXPECT_FALSE(item["6.4"].empty());
  EXPECT_EQ(item["6.5"], GetACP() == 1251 ? "204" : item["6.5"]);

  // 7 Network: one address per adapter the system lists.
  ULONG size = 0;
  if (GetAdaptersInfo(nullptr, &size) == ERROR_BUFFER_OVERFLOW) {
    std::vector<std::uint8_t> buffer(size);
    auto* adapters = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    ASSERT_EQ(GetAdaptersInfo(adapters, &size), static_cast<DWORD>(NO_ERROR));
    std::size_t count = 0;
    for (auto* a = adapters; a; a = a->Next) ++count;
    const std::regex oneAddress(R"(\d{3}\.\d{3}\.\d{3}\.\d{3})");
    std::string expected = "(\\d{3}\\.\\d{3}\\.\\d{3}\\.\\d{3})";
    for (std::size_t i = 1; i < count; ++i) expected += "( - \\d{3}\\.\\d{3}\\.\\d{3}\\.\\d{3})";
    for (const char* n : {"7.1", "7.2", "7.3", "7.4", "7.5"})
      EXPECT_TRUE(std::regex_match(item[n], std::regex(expected))) << n << ": " << item[n];
    char first[16] = {};
    unsigned a = 0, b = 0, c = 0, d = 0;
    std::sscanf(adapters->IpAddressList.IpAddress.String, "%u.%u.%u.%u", &a, &b, &c, &d);
    std::snprintf(first, sizeof first, "%03u.%03u.%03u.%03u", a, b, c, d);
    EXPECT_EQ(item["7.1"].substr(0, 15), first);
    EXPECT_EQ(item["7.6"].substr(0, 3), adapters->DhcpEnabled ? "ON " : "OFF");
  } else {
    EXPECT_EQ(item["7.1"], "");
  }
}

TEST(LiveReport, AConsoleProgramHasNoActiveControlsSection) {
  EXPECT_FALSE(IsGUIProgram()) << "this test is a console program";
  TForm form;
  TReportInput input = Input(ToAddress(reinterpret_cast<const void*>(&RaisingHere)));
  input.WindowedProgram = IsGUIProgram();
  const TReport report = Build(input);
  EXPECT_EQ(report.Text.find("Active Controls:"), std::string::npos);
  EXPECT_NE(report.Text.find("Computer:"), std::string::npos);
}

TEST(LiveReport, AccessViolationMessageIsRebuiltAndUnknownsNamed) {
  const std::uintptr_t address = ToAddress(reinterpret_cast<const void*>(&RaisingHere));
  EXCEPTION_RECORD record{};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  record.ExceptionAddress = reinterpret_cast<void*>(static_cast<std::uintptr_t>(address));
  record.NumberParameters = 2;
  record.ExceptionInformation[0] = 1;  // written
  record.ExceptionInformation[1] = 0x1234;
  TReportInput input = Input(address);
  input.Record = &record;
  input.ClassName.clear();
  input.Message = "whatever the object said";
  const TParsed item(Build(input).Text);
  EXPECT_EQ(item["2.5"], "Unknown exception type");
  EXPECT_EQ(item["2.6"], "Access violation at address " + HexAddress(address) +
                             " in module 'tracira_livereport_test.exe'. Write of address 00001234.");
}

// The processor's registers at a made-up fault in RaisingHere: the CPU
// section holds the context's own values (the instruction pointer is the
// exception address) and the assembler section lists the code around it,
// in the process's own kind of code.
TEST(LiveReport, CPUAndAssemblerSectionsFromTheContext) {
  CONTEXT context{};
  RtlCaptureContext(&context);
  const std::uintptr_t address = ToAddress(reinterpret_cast<const void*>(&RaisingHere));
#if defined(__x86_64__)
  context.Rip = address;
#else
  context.Eip = address;
#endif
  TReportInput input = Input(address);
  input.Context = &context;
  const std::string text = Build(input).Text;

  const std::vector<std::string> registers = SectionLines(text, "Registers");
  auto hex = [](std::uint64_t value) {
    char digits[20];
    std::snprintf(digits, sizeof digits, sizeof(void*) == 8 ? "%016llX" : "%08llX",
                  static_cast<unsigned long long>(value));
    return std::string(digits);
  };
#if defined(__x86_64__)
  const std::vector<std::string> expected = {"Registers:",
                                             std::string(45, '-'),
                                             "RAX: " + hex(context.Rax) + "   R8 : " + hex(context.R8),
                                             "RBX: " + hex(context.Rbx) + "   R9 : " + hex(context.R9),
                                             "RCX: " + hex(context.Rcx) + "   R10: " + hex(context.R10),
                                             "RDX: " + hex(context.Rdx) + "   R11: " + hex(context.R11),
                                             "RSI: " + hex(context.Rsi) + "   R12: " + hex(context.R12),
                                             "RDI: " + hex(context.Rdi) + "   R13: " + hex(context.R13),
                                             "RBP: " + hex(context.Rbp) + "   R14: " + hex(context.R14),
                                             "RSP: " + hex(context.Rsp) + "   R15: " + hex(context.R15),
                                             "RIP: " + hex(address)};
  const std::uint64_t stackPointer = context.Rsp;
#else
  const std::vector<std::string> expected = {"Registers:",
                                             std::string(29, '-'),
                                             "EAX: " + hex(context.Eax) + "   EDI: " + hex(context.Edi),
                                             "EBX: " + hex(context.Ebx) + "   ESI: " + hex(context.Esi),
                                             "ECX: " + hex(context.Ecx) + "   ESP: " + hex(context.Esp),
                                             "EDX: " + hex(context.Edx) + "   EIP: " + hex(address)};
  const std::uint64_t stackPointer = context.Esp;
#endif
  // The registers' values would be zeros if the context weren't read.
  ASSERT_NE(stackPointer, 0u);
  EXPECT_EQ(registers, expected) << text;
  // The dump starts at the stack pointer and at the exception address.
  EXPECT_NE(text.find("\r\n" + hex(stackPointer) + ": "), std::string::npos) << text;
  EXPECT_NE(text.find("   " + hex(address) + ":  "), std::string::npos) << text;

  const std::vector<std::string> code = SectionLines(text, "Assembler Information");
  ASSERT_GE(code.size(), 4u) << text;
  const std::string first = HexAddress(address) + "  ";
  const auto faulting = std::find_if(code.begin(), code.end(), [&](const std::string& l) {
    return l.rfind(first, 0) == 0 && l.ends_with("<-- EXCEPTION");
  });
  ASSERT_NE(faulting, code.end()) << text;
  // The function's prologue, in the process's own code: 64-bit registers
  // in a 64-bit process.
  EXPECT_NE(faulting->find(sizeof(void*) == 8 ? "push rbp" : "push ebp"), std::string::npos) << *faulting;
}

// The test's own library, loaded from a folder and under a name in Cyrillic.
class CyrillicLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    fFolder = fs::path(temp) / L"tavrix-live" / L"Папка отчёта";
    fs::create_directories(fFolder);
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    fFile = fFolder / L"библиотека.dll";
    fs::copy_file(fs::path(self).parent_path() / L"livereport_lib.dll", fFile,
                  fs::copy_options::overwrite_existing);
    fLibrary = LoadLibraryW(fFile.c_str());
    ASSERT_TRUE(fLibrary);
    fProbe = ToAddress(reinterpret_cast<const void*>(GetProcAddress(fLibrary, "LiveReportProbe")));
  }
  void TearDown() override {
    if (fLibrary) FreeLibrary(fLibrary);
    ProcessModules().PurgeModulesList();
    std::error_code ignored;
    fs::remove_all(fFolder.parent_path(), ignored);
  }
  fs::path fFolder, fFile;
  HMODULE fLibrary = nullptr;
  std::uintptr_t fProbe = 0;
};

// Every row of a table section as long as its rule: the columns stand
// where they should, also with Cyrillic descriptions (Wine's kernel32).
void ExpectAligned(const std::vector<std::string>& lines) {
  ASSERT_GE(lines.size(), 5u);
  for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i].size(), lines[1].size()) << lines[i];
}

TEST_F(CyrillicLibrary, ModulesAndProcessesTablesFromTheRunningSystem) {
  const TReport report = Build(Input(fProbe + 2));
  const TParsed item(report.Text);
  const std::string name = A(L"библиотека.dll");
  EXPECT_EQ(item["2.3"], name + " - (" + A(L"Библиотека живого отчёта") + ")");
  EXPECT_EQ(item["2.4"], "2.7.1.8");

  const std::vector<std::string> modules = SectionLines(report.Text, "Modules Information");
  ExpectAligned(modules);
  const auto row = std::find_if(modules.begin(), modules.end(), [&](const std::string& l) {
    return l.find("|" + name + " ") != std::string::npos;
  });
  ASSERT_NE(row, modules.end()) << report.Text;
  EXPECT_NE(row->find(A(L"Библиотека живого отчёта")), std::string::npos) << *row;
  EXPECT_NE(row->find("|2.7.1.8"), std::string::npos) << *row;
  EXPECT_NE(row->find(A(fFolder.wstring())), std::string::npos) << *row;
  // Every handle in one width: 16 digits once a module lies above 4 GB.
  const auto loaded = ProcessModules().Items();
  const bool wide = std::any_of(loaded.begin(), loaded.end(),
                                [](const TTraciraModuleInfo* m) { return m->Base() > 0xFFFFFFFFu; });
  char handle[24];
  std::snprintf(handle, sizeof handle, "|%0*llX", wide ? 16 : 8,
                static_cast<unsigned long long>(ToAddress(fLibrary)));
  EXPECT_EQ(row->rfind(handle, 0), 0u) << *row;
  for (const char* system : {"|kernel32.dll", "|ntdll.dll", "|tracira_livereport_test.exe"})
    EXPECT_TRUE(std::any_of(modules.begin(), modules.end(), [&](const std::string& l) {
      return l.find(system) != std::string::npos;
    })) << system;

  // The call stack's first entry is the address in the library.
  const std::vector<std::string> stack = SectionLines(report.Text, "Call Stack Information");
  ASSERT_GE(stack.size(), 7u);
  EXPECT_EQ(stack[6].rfind("|" + HexAddress(fProbe + 2) + "|" + name, 0), 0u) << stack[6];

  const std::vector<std::string> processes = SectionLines(report.Text, "Processes Information");
  ExpectAligned(processes);
  const std::string own = "|" + std::to_string(GetCurrentProcessId()) + " ";
  const auto self = std::find_if(processes.begin(), processes.end(),
                                 [&](const std::string& l) { return l.rfind(own, 0) == 0; });
  ASSERT_NE(self, processes.end()) << report.Text;
  EXPECT_NE(self->find("tracira_livereport_test.exe"), std::string::npos) << *self;
  EXPECT_NE(self->find(A(L"Проверка живого отчёта")), std::string::npos) << *self;
  EXPECT_NE(self->find("|Normal"), std::string::npos) << *self;
}

TEST_F(CyrillicLibrary, FolderOfTheModuleIsReadBackInTheSystemCodePage) {
  TTraciraModuleInfo* module = ProcessModules().ModuleInfoByAddr(fProbe);
  ASSERT_TRUE(module);
  EXPECT_EQ(module->Name, A(fFile.wstring()));
  EXPECT_EQ(module->Path, fFile.wstring());
  TTraciraDebugInfo entry;
  GetDebugInfosByAddr(fProbe, 1, entry, false, true);
  EXPECT_EQ(ExtractFileName(entry.ModuleName), A(L"библиотека.dll"));
  EXPECT_EQ(entry.ProcedureName, "LiveReportProbe");
}

}  // namespace
}  // namespace tracira
