// The program built with leak catching on (TavrixLeaks.crashreport.ini):
// an operator's session with the devices dialog, the journal and a few
// scans, then closed. A real program's clean run shows that nothing it
// keeps until its end, nor anything of the runtimes', is taken for a leak.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "Fmu/fmuMain.h"
#include "gui/Application.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/UiDriver.h"

namespace {

namespace fs = std::filesystem;
using namespace apptest;

const std::wstring kMainCaption = L"Тест: драйвер сканера штрих-кода";
const std::wstring kJournalCaption = L"Журнал событий";
const std::wstring kDevicesCaption = L"Тест свойств устройств";
constexpr int kDevicePort = 47;
const wchar_t kFeedPort[] = L"\\\\.\\COM48";
constexpr DWORD kTimeout = 15000;

// Where the program's log goes: its name in the profile's TraciraLog.
fs::path LogFile() {
  wchar_t profile[MAX_PATH] = {};
  GetEnvironmentVariableW(L"USERPROFILE", profile, MAX_PATH);
  return fs::path(profile) / L"TraciraLog" / L"Tavrix_leaks.tlf";
}

// The leak-options byte of the program's data block.
int LeakOptions(const std::wstring& program) {
  const HMODULE module = LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return -1;
  int options = -1;
  if (HRSRC resource = FindResourceW(module, L"TRDATA", MAKEINTRESOURCEW(10)))
    if (HGLOBAL loaded = LoadResource(module, resource); loaded && SizeofResource(module, resource) > 15)
      options = static_cast<const std::uint8_t*>(LockResource(loaded))[14];
  FreeLibrary(module);
  return options;
}

TEST(LeakCleanRun, ASessionOfTheProgramLeaksNothing) {
  gui::Application::Instance().Initialize();
  IsolateDriverSettings();
  DeleteFontKey();
  RegisterDriver();
  const std::wstring program = TavrixExe();
  // The program under test tracks every block; the shipped one doesn't.
  ASSERT_EQ(LeakOptions(program) & 1, 1);
  EXPECT_EQ(LeakOptions(WinPath(TAVRIX_SHIPPED_EXE)) & 1, 0);
  std::error_code ignored;
  fs::remove(LogFile(), ignored);
  ConfigureDevice(kDevicePort, 0);

  auto process = std::make_unique<uidriver::Process>(uidriver::Process::Start(program));
  const HWND main = uidriver::WaitForTopWindow(process->Id(), kMainCaption, L"", kTimeout);
  ASSERT_NE(main, nullptr);
  const auto control = [&](const wchar_t* name) { return uidriver::FindControl(main, name); };
  uidriver::Click(control(L"chkDeviceEnabled"));
  ASSERT_TRUE(
      uidriver::WaitUntil([&] { return uidriver::IsChecked(control(L"chkDeviceEnabled")); }, kTimeout));
  for (const char* scan : {"4601234567890\r", "12345\r", "ABC-987\r"}) {
    FeedSerial(kFeedPort, scan);
    const std::string code(scan, std::strlen(scan) - 1);
    ASSERT_TRUE(uidriver::WaitUntil(
        [&] { return uidriver::GetText(control(L"Answer")) == std::wstring(code.begin(), code.end()); },
        kTimeout));
  }
  uidriver::Click(control(L"btnDevices"));
  const HWND devices = uidriver::WaitForTopWindow(process->Id(), kDevicesCaption, L"", kTimeout);
  ASSERT_NE(devices, nullptr);
  uidriver::Click(uidriver::FindControl(devices, L"btnClose"));
  ASSERT_TRUE(uidriver::WaitUntil([&] { return !IsWindow(devices); }, kTimeout));
  PostMessageW(main, WM_SYSCOMMAND, kSysJournal, 0);
  const HWND journal = uidriver::WaitForTopWindow(process->Id(), kJournalCaption, L"", kTimeout);
  ASSERT_NE(journal, nullptr);
  // Its rows hold the scans; Escape closes it (it is hidden, kept for the
  // session).
  ASSERT_TRUE(uidriver::WaitUntil(
      [&] { return uidriver::ListViewRowCount(uidriver::FindControl(journal, L"lvJournal")) >= 3; },
      kTimeout));
  uidriver::PressKey(uidriver::FindControl(journal, L"lvJournal"), VK_ESCAPE);
  ASSERT_TRUE(uidriver::WaitUntil([&] { return !IsWindowVisible(journal); }, kTimeout));
  uidriver::Click(control(L"btnClose"));
  ASSERT_TRUE(process->Wait(60000));
  EXPECT_EQ(process->ExitCode(), 0u);

  std::string log;
  if (std::ifstream in(LogFile(), std::ios::binary); in) log.assign(std::istreambuf_iterator<char>(in), {});
  EXPECT_EQ(log.find("EMemoryLeak"), std::string::npos) << log;
  EXPECT_TRUE(log.empty()) << log;
}

}  // namespace
