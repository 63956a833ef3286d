// The main test window against the driver stand-in. The first group drives
// the real program from this process through Win32 messages, with scans fed
// through a serial pair; the second creates the window in this process where
// a case needs the driver to answer what the stand-in never does (a failing
// read, device number 123) or a view of the order of refreshes.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "Fmu/fmuMain.h"
#include "TavrixVersion.h"
#include "crashreport/report/TrLogManager.h"
#include "driver/DispatchIds.h"
#include "gui/Application.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/DriverProxy.h"
#include "tests/support/UiDriver.h"

namespace {

using namespace apptest;
using namespace dravix;

// The ctest wrapper's serial pair: devices read COM 41, the test writes COM 42.
// COM 49 has no line at all.
constexpr int kDevicePort = 41;
constexpr int kMissingPort = 49;
const wchar_t kFeedPort[] = L"\\\\.\\COM42";
const std::wstring kCaption = L"Тест: драйвер сканера штрих-кода";
constexpr DWORD kTimeout = 15000;

class DriverTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gui::Application::Instance().Initialize();
    gui::Application::Instance().SetTitle(kCaption);
  }
  void SetUp() override {
    IsolateDriverSettings();
    DeleteFontKey();
    RegisterDriver();
  }
};

// ---------------------------------------------------------------- the program

class MainWindowProgram : public DriverTest {
 protected:
  void TearDown() override {
    if (process_ && process_->Running()) {
      uidriver::Click(Control(L"btnClose"));
      if (!process_->Wait(kTimeout)) process_->Kill();
    }
  }

  void Start() {
    process_ = std::make_unique<uidriver::Process>(uidriver::Process::Start(TavrixExe()));
    main_ = uidriver::WaitForTopWindow(process_->Id(), kCaption, L"", kTimeout);
    ASSERT_NE(main_, nullptr);
    ASSERT_NE(uidriver::GetClassName(main_), L"#32770") << "a message box came up instead of the main window";
  }
  HWND Control(const wchar_t* name) const { return uidriver::FindControl(main_, name); }
  std::wstring Text(const wchar_t* name) const { return uidriver::GetText(Control(name)); }
  bool WaitText(const wchar_t* name, const std::wstring& expected) const {
    return uidriver::WaitUntil([&] { return Text(name) == expected; }, kTimeout);
  }
  void ClickDeviceEnabled() { uidriver::Click(Control(L"chkDeviceEnabled")); }

  std::unique_ptr<uidriver::Process> process_;
  HWND main_ = nullptr;
};

struct Placement {
  const wchar_t* Name;
  const wchar_t* Parent;         // TavrixName of the parent; empty for the form
  int Left, Top, Width, Height;  // 0: sized by the control itself
  const wchar_t* Text;           // null: not checked (filled by the refresh)
};

const Placement kLayout[] = {
    {L"Label12", L"", 32, 4, 0, 0, L"Настройки драйвера:"},
    {L"Label13", L"", 200, 4, 0, 0, L"Данные, полученные из драйвера сканера штрих-кода:"},
    {L"Panel1", L"", 8, 24, 185, 209, nullptr},
    {L"chkDataEventEnabled", L"Panel1", 16, 16, 161, 17, L"Разрешить сообщения"},
    {L"chkAutoDisable", L"Panel1", 16, 40, 161, 17, L"Автоотключение"},
    {L"Label3", L"Panel1", 16, 72, 0, 0, L"Количество сообщений:"},
    {L"edtDataCount", L"Panel1", 16, 88, 153, 0, nullptr},
    {L"Label4", L"Panel1", 16, 112, 0, 0, L"Номер сообщения:"},
    {L"edtEventNumber", L"Panel1", 16, 128, 153, 0, nullptr},
    {L"Panel2", L"", 200, 24, 313, 209, nullptr},
    {L"Label2", L"Panel2", 16, 8, 0, 0, L"Данные:"},
    {L"Answer", L"Panel2", 96, 8, 201, 0, nullptr},
    {L"Label5", L"Panel2", 16, 32, 0, 0, L"Трек 1:"},
    {L"edtTrack1", L"Panel2", 96, 32, 201, 0, nullptr},
    {L"Label6", L"Panel2", 16, 56, 0, 0, L"Трек 2:"},
    {L"edtTrack2", L"Panel2", 96, 56, 201, 0, nullptr},
    {L"Label7", L"Panel2", 16, 80, 0, 0, L"Трек 3:"},
    {L"edtTrack3", L"Panel2", 96, 80, 201, 0, nullptr},
    {L"Label8", L"Panel2", 16, 104, 0, 0, L"Устройство:"},
    {L"edtDeviceDescription", L"Panel2", 96, 104, 201, 0, nullptr},
    {L"Label1", L"Panel2", 16, 128, 0, 0, L"Порт:"},
    {L"edtPortNumber", L"Panel2", 96, 128, 201, 0, nullptr},
    {L"Label11", L"Panel2", 16, 149, 60, 26, L"Текущее\rустройство:"},
    {L"edtDeviceName", L"Panel2", 96, 152, 201, 0, nullptr},
    {L"lbKeyEvent", L"Panel2", 16, 179, 0, 0, L"Событие:"},
    {L"edtKeyEvent", L"Panel2", 96, 176, 201, 0, L""},
    {L"Shape1", L"", 8, 240, 505, 1, nullptr},
    {L"Label9", L"", 8, 252, 0, 0, L"Результат:"},
    {L"edtResultCode", L"", 112, 248, 401, 0, nullptr},
    {L"Label10", L"", 8, 284, 0, 0, L"Описание:"},
    {L"edtResultDescription", L"", 112, 280, 401, 0, nullptr},
    {L"Bevel1", L"", 520, 8, 0, 273, nullptr},
    {L"Edit1", L"", 528, 24, 137, 0, L""},
    {L"chbPageEnabled", L"", 528, 64, 137, 17, L"Страница свойств"},
    {L"btnAbout", L"", 528, 112, 137, 25, L"О программе"},
    {L"chkLockDevices", L"", 528, 144, 137, 17, L"Блокировать ЛУ"},
    {L"btnDevices", L"", 528, 168, 137, 24, L"Работа с ЛУ"},
    {L"chkDeviceEnabled", L"", 528, 200, 137, 17, L"Устройство включено"},
    {L"btnProperties", L"", 528, 224, 137, 24, L"Настройка свойств"},
    {L"btnClose", L"", 528, 256, 137, 24, L"Закрыть"},
};

TEST_F(MainWindowProgram, EveryControlSitsWhereTheLayoutPutsIt) {
  Start();
  RECT client{};
  GetClientRect(main_, &client);
  EXPECT_EQ(client.right, 670);
  EXPECT_EQ(client.bottom, 309);
  const LONG style = GetWindowLongW(main_, GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME);
  RECT window{};
  GetWindowRect(main_, &window);
  EXPECT_NEAR((window.left + window.right) / 2, GetSystemMetrics(SM_CXSCREEN) / 2, 1);
  EXPECT_NEAR((window.top + window.bottom) / 2, GetSystemMetrics(SM_CYSCREEN) / 2, 1);

  for (const Placement& p : kLayout) {
    SCOPED_TRACE(rtl::ToUtf8(p.Name));
    const HWND wnd = Control(p.Name);
    ASSERT_NE(wnd, nullptr);
    const HWND parent = GetParent(wnd);
    EXPECT_EQ(parent, *p.Parent ? Control(p.Parent) : main_);
    RECT r{};
    GetWindowRect(wnd, &r);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, p.Left);
    EXPECT_EQ(r.top, p.Top);
    if (p.Width) {
      EXPECT_EQ(r.right - r.left, p.Width);
    }
    if (p.Height) {
      EXPECT_EQ(r.bottom - r.top, p.Height);
    }
    if (p.Text) {
      EXPECT_EQ(uidriver::GetText(wnd), p.Text);
    }
  }
  for (const wchar_t* name : {L"edtDataCount", L"edtEventNumber", L"Answer", L"edtTrack1", L"edtTrack2",
                              L"edtTrack3", L"edtDeviceDescription", L"edtPortNumber", L"edtDeviceName",
                              L"edtKeyEvent", L"edtResultCode", L"edtResultDescription"}) {
    EXPECT_TRUE(GetWindowLongW(Control(name), GWL_STYLE) & ES_READONLY) << rtl::ToUtf8(name);
  }
  EXPECT_FALSE(GetWindowLongW(Control(L"Edit1"), GWL_STYLE) & ES_READONLY);
}

TEST_F(MainWindowProgram, TabOrderFocusAndEscape) {
  Start();
  // The form's own controls that take part in the tab order, in window order.
  std::vector<std::wstring> order;
  for (HWND child = GetWindow(main_, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    const std::wstring name = uidriver::ControlName(child);
    if (name.starts_with(L"Label") || name == L"Shape1" || name == L"Bevel1") continue;
    order.push_back(name);
  }
  EXPECT_EQ(order,
            (std::vector<std::wstring>{L"Panel1", L"Panel2", L"btnAbout", L"chkLockDevices", L"btnDevices",
                                       L"chkDeviceEnabled", L"btnProperties", L"btnClose", L"edtResultCode",
                                       L"edtResultDescription", L"chbPageEnabled", L"Edit1"}));
  EXPECT_FALSE(GetWindowLongW(Control(L"edtResultCode"), GWL_STYLE) & WS_TABSTOP);
  EXPECT_FALSE(GetWindowLongW(Control(L"edtResultDescription"), GWL_STYLE) & WS_TABSTOP);

  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  ASSERT_TRUE(uidriver::WaitUntil(
      [&] {
        return GetGUIThreadInfo(GetWindowThreadProcessId(main_, nullptr), &info) && info.hwndFocus != nullptr;
      },
      kTimeout));
  EXPECT_EQ(info.hwndFocus, Control(L"btnClose"));

  // Escape presses "Закрыть", which ends the program.
  uidriver::PressKey(Control(L"Edit1"), VK_ESCAPE);
  ASSERT_TRUE(process_->Wait(kTimeout)) << "Escape did not close the window";
  EXPECT_EQ(process_->ExitCode(), 0u);
}

TEST_F(MainWindowProgram, AScanShowsDataEventCountDeviceAndPortAndIsDeleted) {
  ConfigureDevice(kDevicePort, 0);
  Start();
  ClickDeviceEnabled();
  ASSERT_TRUE(
      uidriver::WaitUntil([&] { return uidriver::IsChecked(Control(L"chkDeviceEnabled")); }, kTimeout))
      << rtl::ToUtf8(Text(L"edtResultDescription"));
  // While the devices dialog is open the main window's timer stands still,
  // and scans still refresh the window beneath it: what the scan's own
  // refresh showed stays until the dialog closes, with no tick to race.
  uidriver::Click(Control(L"btnDevices"));
  const HWND devices = uidriver::WaitForTopWindow(process_->Id(), L"Тест свойств устройств", L"", kTimeout);
  ASSERT_NE(devices, nullptr);
  FeedSerial(kFeedPort, "4601234567890\r");
  ASSERT_TRUE(WaitText(L"Answer", L"4601234567890")) << rtl::ToUtf8(Text(L"Answer"));
  // As shown, while the event was still queued.
  EXPECT_EQ(Text(L"edtEventNumber"), L"1");
  EXPECT_EQ(Text(L"edtDataCount"), L"1");
  EXPECT_EQ(Text(L"edtPortNumber"), L"COM 41");
  EXPECT_EQ(Text(L"edtDeviceName"), L"№01 Сканер штрих-кода");
  EXPECT_NE(Text(L"edtDeviceDescription").find(L"COM41"), std::wstring::npos)
      << rtl::ToUtf8(Text(L"edtDeviceDescription"));
  EXPECT_EQ(Text(L"edtTrack1"), L"");
  EXPECT_EQ(Text(L"edtResultCode"), L"0");
  // Deleted afterwards: the first tick after the dialog finds an empty queue
  // and no selection.
  uidriver::Click(uidriver::FindControl(devices, L"btnClose"));
  EXPECT_TRUE(WaitText(L"edtDataCount", L"0"));
  EXPECT_EQ(Text(L"edtEventNumber"), L"0");
  EXPECT_EQ(Text(L"Answer"), L"");
}

TEST_F(MainWindowProgram, ACardSwipeShowsThreeTracks) {
  ConfigureDevice(kDevicePort, 1);
  Start();
  ClickDeviceEnabled();
  ASSERT_TRUE(
      uidriver::WaitUntil([&] { return uidriver::IsChecked(Control(L"chkDeviceEnabled")); }, kTimeout));
  const std::string line = "%B4276123456789012^IVANOV/IVAN^2512?;4276123456789012=2512?+0123456789?";
  FeedSerial(kFeedPort, line + "\r");
  ASSERT_TRUE(WaitText(L"edtTrack1", L"B4276123456789012^IVANOV/IVAN^2512"));
  EXPECT_EQ(Text(L"edtTrack2"), L"4276123456789012=2512");
  EXPECT_EQ(Text(L"edtTrack3"), L"0123456789");
  EXPECT_EQ(Text(L"Answer"), rtl::FromUtf8(line));
}

// The crash reporter's log of Tavrix.exe, by the options stored in it:
// the profile folder's TraciraLog\Tavrix.tlf.
std::filesystem::path TavrixLog() {
  wchar_t profile[MAX_PATH] = {};
  SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, profile);
  return std::filesystem::path(profile) / L"TraciraLog" / L"Tavrix.tlf";
}

std::vector<std::string> TavrixReports() {
  std::vector<std::string> reports;
  if (!std::filesystem::exists(TavrixLog())) return reports;
  tracira::TLogFile log(TavrixLog());
  for (int i = 0; i < log.GetCount(); ++i) reports.push_back(log.GetReport(i));
  return reports;
}

std::string Ansi(const std::wstring& text) {
  const int n = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n > 0 ? n - 1 : 0), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
  return out;
}

// A driver error takes the crash reporter's way: the handler's last step
// shows the driver's answer, then the crash reporter's box appears, the
// report is saved, and the window goes on.
TEST_F(MainWindowProgram, ARefusedSwitchIsReportedByTheCrashReporterAndTheWindowGoesOn) {
  ConfigureDevice(kMissingPort, 0);
  std::filesystem::remove(TavrixLog());
  Start();
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    ClickDeviceEnabled();
    // The handler's refresh shows the driver's answer before the crash
    // reporter's box (the timer's next refresh, a second later, shows the
    // reads after it).
    EXPECT_TRUE(uidriver::WaitUntil(
        [&] {
          return Text(L"edtResultCode") == L"-3" && Text(L"edtResultDescription") == L"Порт недоступен";
        },
        kTimeout));
    // The classic dialog, as the stored options choose; "OK" stands for
    // "Don't Send" without a send mode.
    const uidriver::CrashDialogInfo box = uidriver::WaitForCrashDialog(process_->Id(), kTimeout);
    ASSERT_NE(box.Window, nullptr);
    EXPECT_EQ(box.Caption, L"Error occurred");
    EXPECT_EQ(box.Message, L"Порт недоступен");
    EXPECT_EQ(box.CloseButton, 1001);
    EXPECT_EQ(uidriver::GetText(GetDlgItem(box.Window, 1001)), L"&OK");
    EXPECT_FALSE(uidriver::IsChecked(Control(L"chkDeviceEnabled")));
    uidriver::CloseCrashDialog(box);
    ASSERT_TRUE(uidriver::WaitUntil([&] { return TavrixReports().size() == static_cast<std::size_t>(round); },
                                    kTimeout));
    ASSERT_TRUE(uidriver::WaitUntil([&] { return IsWindowEnabled(main_) != FALSE; }, kTimeout));
  }
  const std::string report = TavrixReports().back();
  EXPECT_NE(report.find("EScanerX"), std::string::npos) << report;
  EXPECT_NE(report.find(Ansi(L"Порт недоступен.")), std::string::npos) << report;
  // Through the click handler (names longer than the table's column are
  // shortened in the middle).
  EXPECT_NE(report.find("TfmMain::chkDeviceEn"), std::string::npos) << report;
  EXPECT_NE(report.find("gui::CheckBox"), std::string::npos) << report;
  // No other box: the window's own exception hook stayed silent.
  Sleep(500);
  EXPECT_EQ(uidriver::FindTopWindow(process_->Id(), L"", L"#32770"), nullptr);
  EXPECT_TRUE(process_->Running());
}

// The tenth report within a minute restarts the program.
TEST_F(MainWindowProgram, TenRefusalsWithinAMinuteRestartTheProgram) {
  ConfigureDevice(kMissingPort, 0);
  std::filesystem::remove(TavrixLog());
  Start();
  for (int round = 1; round <= 10; ++round) {
    SCOPED_TRACE(round);
    // One click each time: a click given while the handling of the last
    // error still ends (after its dialog has gone) waits in the queue for
    // the program's own loop instead of being handled, and lost, inside it.
    ClickDeviceEnabled();
    const uidriver::CrashDialogInfo box = uidriver::WaitForCrashDialog(process_->Id(), kTimeout);
    ASSERT_NE(box.Window, nullptr) << "running: " << process_->Running()
                                   << ", reports: " << TavrixReports().size();
    uidriver::CloseCrashDialog(box);
    if (round < 10) {
      // The dialog is modal: the window takes clicks again once it is enabled.
      ASSERT_TRUE(uidriver::WaitUntil(
          [&] { return !uidriver::FindTopWindow(process_->Id(), L"", L"#32770") && IsWindowEnabled(main_); },
          kTimeout));
    }
  }
  ASSERT_TRUE(process_->Wait(kTimeout)) << "the program did not end";
  EXPECT_EQ(process_->ExitCode(), 1u);
  // A new process of the same program shows its main window.
  HWND restarted = nullptr;
  ASSERT_TRUE(uidriver::WaitUntil(
      [&] {
        restarted = uidriver::FindTopWindow(0, kCaption);
        return restarted != nullptr;
      },
      kTimeout));
  DWORD pid = 0;
  GetWindowThreadProcessId(restarted, &pid);
  EXPECT_NE(pid, process_->Id());
  EXPECT_EQ(TavrixReports().size(), 10u);
  PostMessageW(restarted, WM_CLOSE, 0, 0);
  if (HANDLE p = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid)) {
    if (WaitForSingleObject(p, kTimeout) != WAIT_OBJECT_0) TerminateProcess(p, 0);
    CloseHandle(p);
  }
}

TEST_F(MainWindowProgram, TheAboutBoxShowsTheVersionsAndEnterOrEscapeClosesIt) {
  std::wstring driverVersion;
  {
    TScanerX scaner;
    driverVersion = scaner.GetVersion();
  }
  Start();
  for (const WORD key : {VK_RETURN, VK_ESCAPE}) {
    SCOPED_TRACE(key == VK_RETURN ? "Enter" : "Escape");
    uidriver::Click(Control(L"btnAbout"));
    const HWND box = uidriver::WaitForTopWindow(process_->Id(), L"О драйвере", L"", kTimeout);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(GetWindow(box, GW_OWNER), main_);
    EXPECT_EQ(uidriver::GetText(uidriver::FindControl(box, L"NameLabel")), L"Сканер штрих-кода");
    const HWND list = uidriver::FindControl(box, L"lbVersion");
    std::vector<std::wstring> lines;
    const auto count = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      wchar_t item[256] = {};
      SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item));
      lines.emplace_back(item);
    }
    EXPECT_EQ(lines, (std::vector<std::wstring>{std::wstring(L"Версия теста: ") + TAVRIX_VERSION_WTEXT,
                                                L"Версия драйвера: " + driverVersion}));
    uidriver::PressKey(uidriver::FindControl(box, L"btnOK"), key);
    EXPECT_TRUE(uidriver::WaitUntil([&] { return !IsWindowVisible(box); }, kTimeout));
    // The main window is back in charge.
    EXPECT_TRUE(uidriver::WaitUntil([&] { return IsWindowEnabled(main_) != FALSE; }, kTimeout));
  }
}

// ---------------------------------------------------------------- in process

class MainWindowInProcess : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    proxy_ = std::make_unique<DriverProxy>();
  }
  void TearDown() override {
    form_.reset();
    proxy_.reset();
  }
  TfmMain& Form() {
    if (!form_) form_ = std::make_unique<TfmMain>();
    return *form_;
  }
  // Waits for the refreshes of the running timer.
  bool PumpUntilText(gui::Edit& edit, const std::wstring& expected, DWORD timeoutMs = 5000) {
    return PumpUntil([&] { return edit.Text() == expected; }, timeoutMs);
  }

  std::unique_ptr<DriverProxy> proxy_;
  std::unique_ptr<TfmMain> form_;
};

TEST_F(MainWindowInProcess, TheDeviceNumberHasAtLeastTwoDigits) {
  struct Case {
    LONG Number;
    const wchar_t* Shown;
  };
  TfmMain& form = Form();
  for (const Case& c : {Case{1, L"№01 Сканер штрих-кода"}, Case{7, L"№07 Сканер штрих-кода"},
                        Case{123, L"№123 Сканер штрих-кода"}, Case{1, L"№01 Сканер штрих-кода"}}) {
    proxy_->OverrideInteger(kCurrentDeviceNumber, c.Number);
    EXPECT_TRUE(PumpUntilText(form.edtDeviceName, c.Shown)) << rtl::ToUtf8(form.edtDeviceName.Text());
  }
}

TEST_F(MainWindowInProcess, ThePortShowsUsbForModelSixAndTheComPortOtherwise) {
  TfmMain& form = Form();
  TScanerX& scaner = *form.Scaner();
  scaner.SetPortNumber(2);
  struct Case {
    std::int32_t Model;
    const wchar_t* Shown;
  };
  for (const Case& c :
       {Case{6, L"USB"}, Case{0, L"COM 2"}, Case{1, L"COM 2"}, Case{5, L"COM 2"}, Case{6, L"USB"}}) {
    scaner.SetModel(c.Model);
    EXPECT_TRUE(PumpUntilText(form.edtPortNumber, c.Shown))
        << c.Model << ": " << rtl::ToUtf8(form.edtPortNumber.Text());
  }
}

TEST_F(MainWindowInProcess, AFailingReadShowsTheDriverTextInItsFieldAndStopsTheTimer) {
  TfmMain& form = Form();
  ASSERT_TRUE(form.Timer.Enabled());
  const std::wstring description = form.edtDeviceDescription.Text();
  ASSERT_NE(description, L"");
  proxy_->FailRead(kDeviceDescription);
  ASSERT_TRUE(PumpUntilText(form.edtDeviceDescription, L"Недопустимое значение"));
  EXPECT_FALSE(form.Timer.Enabled());
  // Only that field: the others were refreshed as usual.
  EXPECT_EQ(form.edtDeviceName.Text(), L"№01 Сканер штрих-кода");
  EXPECT_EQ(form.edtPortNumber.Text(), L"COM 1");

  // With the timer stopped nothing refreshes by itself any more.
  proxy_->Reset();
  PumpUntil([] { return false; }, 2500);
  EXPECT_EQ(form.edtDeviceDescription.Text(), L"Недопустимое значение");
  EXPECT_FALSE(form.Timer.Enabled());

  // Opening and closing the property pages starts it again.
  std::atomic<bool> closed{false};
  std::thread closer([&] {
    const HWND dialog = uidriver::WaitForTopWindow(GetCurrentProcessId(), L"", L"#32770", kTimeout);
    // Read-only pages have no Cancel button.
    if (dialog != nullptr) {
      closed = uidriver::PressDialogButton(dialog, IDCANCEL) || uidriver::PressDialogButton(dialog, IDOK);
    }
  });
  form.btnProperties.Click();
  closer.join();
  ASSERT_TRUE(closed) << "the property pages did not come up";
  EXPECT_TRUE(form.Timer.Enabled());
  EXPECT_EQ(form.edtDeviceDescription.Text(), description);
}

TEST_F(MainWindowInProcess, TwoScansInARowAreEachSelectedShownAndDeletedInOrder) {
  TfmMain& form = Form();
  TScanerX& scaner = *form.Scaner();
  scaner.SetPortNumber(kDevicePort);
  scaner.SetModel(0);
  scaner.SetStopFlag(0);
  scaner.SetDeviceEnabled(true);
  // Only the scans' own refreshes: a tick between or after them would add
  // what it found, and could clear the second scan before it is seen.
  form.Timer.SetEnabled(false);
  // What the window shows each time the event number changes.
  std::vector<std::pair<std::wstring, std::wstring>> shown;
  form.edtEventNumber.OnChange = [&](rtl::Object&) {
    shown.emplace_back(form.edtEventNumber.Text(), form.Answer.Text());
  };
  FeedSerial(kFeedPort, "111\r222\r");
  ASSERT_TRUE(PumpUntil([&] { return shown.size() >= 2; }, kTimeout));
  PumpUntil([] { return false; }, 300);  // nothing more comes
  EXPECT_EQ(shown, (std::vector<std::pair<std::wstring, std::wstring>>{{L"1", L"111"}, {L"2", L"222"}}));
  EXPECT_EQ(scaner.GetDataCount(), 0);
  scaner.SetDeviceEnabled(false);
}

TEST_F(MainWindowInProcess, AKeyEventShowsDataMessageAndSourceInThatOrder) {
  TfmMain& form = Form();
  TScanerX& scaner = *form.Scaner();
  scaner.SetPortNumber(kDevicePort);
  scaner.SetModel(5);
  scaner.SetDeviceEnabled(true);
  FeedSerial(kFeedPort, "A");
  EXPECT_TRUE(
      PumpUntilText(form.edtKeyEvent, L"Данные=65, Событие=KeyDown, Источник=Сканер штрих-кода", kTimeout))
      << rtl::ToUtf8(form.edtKeyEvent.Text());
  EXPECT_EQ(form.edtDataCount.Text(), L"0");  // key events are not queued data
  scaner.SetDeviceEnabled(false);
}

TEST_F(MainWindowInProcess, ARefreshMirrorsAutoDisableWithoutWritingItBack) {
  TfmMain& form = Form();
  ASSERT_FALSE(form.chkAutoDisable.Checked());
  form.Scaner()->SetAutoDisable(true);
  proxy_->Writes().clear();
  ASSERT_TRUE(PumpUntil([&] { return form.chkAutoDisable.Checked(); }, 5000));
  EXPECT_EQ(std::count(proxy_->Writes().begin(), proxy_->Writes().end(), kAutoDisable), 0);
}

TEST_F(MainWindowInProcess, AChangedLockIsSetDirectlyAndWrittenBackOnce) {
  TfmMain& form = Form();
  ASSERT_FALSE(form.chkLockDevices.Checked());
  form.Scaner()->SetLockDevices(1);
  proxy_->Writes().clear();
  ASSERT_TRUE(PumpUntil([&] { return form.chkLockDevices.Checked(); }, 5000));
  // The box's click handler ran once, wrote the same value and refreshed;
  // the nested refresh found the box in step and wrote nothing more.
  PumpUntil([] { return false; }, 1500);
  EXPECT_EQ(std::count(proxy_->Writes().begin(), proxy_->Writes().end(), kLockDevices), 1);
  EXPECT_EQ(form.Scaner()->GetLockDevices(), 1);
  form.Scaner()->SetLockDevices(0);
}

}  // namespace
