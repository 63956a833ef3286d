// The main window in process over a control whose accesses are recorded and
// can be made to fail (tests/units/FakeScaner.h): what the operator's clicks
// write, a data event whose selection the driver refuses, and the failures
// that must end in one message box, or in none.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FakeScaner.h"
#include "Fmu/fmuJournal.h"
#include "Fmu/fmuMain.h"
#include "Units/cuJournalText.h"
#include "driver/DispatchIds.h"
#include "gui/Application.h"
#include "tests/support/UiDriver.h"

namespace {

using namespace dravix;
const std::wstring kCaption = L"Тест: драйвер сканера штрих-кода";

// The driver's dispatch ids of what the main window reads and writes.

bool PumpUntil(const std::function<bool()>& predicate, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (!predicate()) {
    if (GetTickCount64() >= end) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    gui::Application::Instance().ProcessMessages();
  }
  return true;
}

// The message boxes of this process, watched from another thread: each one
// is recorded when it appears and answered once it has stood for the hold
// time, so that a box the window should not show fails the test instead of
// blocking it.
class BoxWatcher {
 public:
  BoxWatcher() : fThread([this] { Run(); }) {}
  ~BoxWatcher() {
    fStop = true;
    fThread.join();
  }
  BoxWatcher(const BoxWatcher&) = delete;
  BoxWatcher& operator=(const BoxWatcher&) = delete;

  void SetHold(DWORD ms) { fHold = ms; }
  // Caption and text of every box seen, in order of appearance.
  std::vector<std::pair<std::wstring, std::wstring>> Seen() {
    const std::lock_guard lock(fMutex);
    return fSeen;
  }
  int Open() const { return fOpen; }

 private:
  static std::vector<HWND> Boxes() {
    std::vector<HWND> boxes;
    EnumWindows(
        [](HWND wnd, LPARAM lp) __attribute__((stdcall))->BOOL {
          DWORD pid = 0;
          GetWindowThreadProcessId(wnd, &pid);
          if (pid == GetCurrentProcessId() && IsWindowVisible(wnd) &&
              uidriver::GetClassName(wnd) == L"#32770") {
            reinterpret_cast<std::vector<HWND>*>(lp)->push_back(wnd);
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&boxes));
    return boxes;
  }
  static std::wstring TextOf(HWND box) {
    std::wstring text;
    EnumChildWindows(
        box, [](HWND wnd, LPARAM lp) __attribute__((stdcall))->BOOL {
          if (_wcsicmp(uidriver::GetClassName(wnd).c_str(), L"Static") == 0) {
            *reinterpret_cast<std::wstring*>(lp) += uidriver::GetText(wnd);
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&text));
    return text;
  }
  void Run() {
    std::map<HWND, ULONGLONG> since;
    while (!fStop) {
      const std::vector<HWND> boxes = Boxes();
      fOpen = static_cast<int>(boxes.size());
      for (const HWND box : boxes) {
        if (since.emplace(box, GetTickCount64()).second) {
          const std::lock_guard lock(fMutex);
          fSeen.emplace_back(uidriver::GetText(box), TextOf(box));
        } else if (GetTickCount64() - since[box] >= fHold) {
          uidriver::PressDialogButton(box, IDOK);
        }
      }
      Sleep(20);
    }
  }

  std::atomic<bool> fStop{false};
  std::atomic<DWORD> fHold{300};
  std::atomic<int> fOpen{0};
  std::mutex fMutex;
  std::vector<std::pair<std::wstring, std::wstring>> fSeen;
  std::thread fThread;
};

class MainWindowOverFake : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gui::Application::Instance().Initialize();
    gui::Application::Instance().SetTitle(kCaption);
  }
  void SetUp() override {
    registration_ = std::make_unique<FakeScanerRegistration>(state_);
    Driver(kResultCode, TestVariant::Int(0));
    Driver(kResultDescription, TestVariant::Str(L"Ошибок нет"));
    Driver(kVersion, TestVariant::Str(L"1.0"));
    Driver(kCurrentDeviceNumber, TestVariant::Int(1));
    Driver(kCurrentDeviceName, TestVariant::Str(L"Касса"));
    Driver(kPortNumber, TestVariant::Int(3));
    Driver(kLockDevices, TestVariant::Int(0));
    Driver(kDeviceDescription, TestVariant::Str(L"Сканер на COM3"));
    Driver(kModel, TestVariant::Int(0));
    Driver(kDataCount, TestVariant::Int(0));
    Driver(kEventNumber, TestVariant::Int(0));
    for (const DISPID id : {kDeviceEnabled, kAutoDisable, kDataEventEnabled}) {
      Driver(id, TestVariant::Bool(VARIANT_FALSE));
    }
    for (const DISPID id : {kScanData, kTrack1, kTrack2, kTrack3}) Driver(id, TestVariant::Str(L""));
    form_ = std::make_unique<TfmMain>();
    ASSERT_TRUE(form_->Scaner()->HasScaner());
    form_->Show();
  }
  void TearDown() override {
    form_.reset();
    registration_.reset();
    gui::Application::Instance().OnException = nullptr;
  }
  void Driver(DISPID id, const TestVariant& value) { state_.Properties[id] = value; }
  TfmMain& Form() { return *form_; }

  BoxWatcher boxes_;
  FakeScanerState state_;
  std::unique_ptr<FakeScanerRegistration> registration_;
  std::unique_ptr<TfmMain> form_;
};

TEST_F(MainWindowOverFake, EachOfTheOperatorsClicksWritesItsOwnProperty) {
  struct Case {
    gui::CheckBox& Box;
    DISPID Id;
    VARTYPE Type;    // booleans go as -1 and 0, the lock as 1 and 0
    bool Refreshes;  // the property page switch goes straight to the control
  };
  TfmMain& form = Form();
  int scan = 0;
  for (const Case& c : {Case{form.chkDataEventEnabled, kDataEventEnabled, VT_BOOL, true},
                        Case{form.chkAutoDisable, kAutoDisable, VT_BOOL, true},
                        Case{form.chkLockDevices, kLockDevices, VT_I4, true},
                        Case{form.chkDeviceEnabled, kDeviceEnabled, VT_BOOL, true},
                        Case{form.chbPageEnabled, kPropertyPageEnabled, VT_BOOL, false}}) {
    for (const bool on : {true, false}) {
      SCOPED_TRACE(rtl::ToUtf8(c.Box.Name()) + (on ? " on" : " off"));
      // A refresh would show this.
      const std::wstring data = L"скан " + std::to_wstring(++scan);
      Driver(kScanData, TestVariant::Str(data));
      state_.Writes.clear();
      SendMessageW(c.Box.Handle(), BM_CLICK, 0, 0);
      EXPECT_EQ(c.Box.Checked(), on);
      ASSERT_EQ(state_.Writes.size(), 1u);
      EXPECT_EQ(state_.Writes[0].first, c.Id);
      const VARIANT& value = state_.Writes[0].second.Get();
      ASSERT_EQ(value.vt, c.Type);
      if (c.Type == VT_I4) {
        EXPECT_EQ(value.lVal, on ? 1 : 0);
      } else {
        EXPECT_EQ(value.boolVal, on ? VARIANT_TRUE : VARIANT_FALSE);
      }
      EXPECT_EQ(form.Answer.Text() == data, c.Refreshes);
    }
  }
  EXPECT_TRUE(boxes_.Seen().empty());
}

TEST_F(MainWindowOverFake, ANonDriverErrorInAHandlerShowsTheStandardMessageBox) {
  TfmMain& form = Form();
  state_.Failures[kDeviceEnabled] = {E_ACCESSDENIED, L"Устройство занято другим клиентом", -1,
                                     DISPATCH_PROPERTYPUT};
  // Returns once the box has been answered.
  SendMessageW(form.chkDeviceEnabled.Handle(), BM_CLICK, 0, 0);
  using Box = std::pair<std::wstring, std::wstring>;
  EXPECT_EQ(boxes_.Seen(), (std::vector<Box>{{kCaption, L"Устройство занято другим клиентом."}}));
  EXPECT_FALSE(form.chkDeviceEnabled.Checked());  // the refresh read the driver's state back
  // A failed driver call all the same: the journal has it, with the status.
  ASSERT_EQ(form.Journal().Count(), 1u);
  const TJournalEntry& failure = form.Journal().Last();
  EXPECT_EQ(failure.Kind, TJournalKind::Error);
  EXPECT_EQ(failure.Data, L"DeviceEnabled := True");
  EXPECT_EQ(failure.Code, static_cast<std::int32_t>(E_ACCESSDENIED));
  EXPECT_EQ(failure.Text, L"Устройство занято другим клиентом");
}

TEST_F(MainWindowOverFake, ADataEventIsSelectedShownAndDeletedUnlessTheSelectionIsRefused) {
  TfmMain& form = Form();
  Driver(kScanData, TestVariant::Str(L"4601234567890"));
  Driver(kDataCount, TestVariant::Int(1));
  ASSERT_EQ(state_.Fire(kOnDataEvent, {TestVariant::Int(7)}), S_OK);
  ASSERT_EQ(state_.Writes.size(), 1u);
  EXPECT_EQ(state_.Writes[0].first, kEventNumber);
  EXPECT_EQ(state_.Writes[0].second.Get().lVal, 7);
  EXPECT_EQ(form.Answer.Text(), L"4601234567890");
  EXPECT_EQ(state_.MethodCalls, std::vector<std::wstring>{L"DeleteEvent"});

  // The next one the driver refuses to select: its result code is negative
  // after the write. Nothing is refreshed, and the event stays queued.
  state_.Writes.clear();
  state_.MethodCalls.clear();
  Driver(kScanData, TestVariant::Str(L"2900000000001"));
  Driver(kDataCount, TestVariant::Int(2));
  Driver(kResultCode, TestVariant::Int(-6));
  Driver(kResultDescription, TestVariant::Str(L"Недопустимое значение"));
  ASSERT_EQ(state_.Fire(kOnDataEvent, {TestVariant::Int(8)}), S_OK);
  ASSERT_EQ(state_.Writes.size(), 1u);
  EXPECT_EQ(state_.Writes[0].first, kEventNumber);
  EXPECT_TRUE(state_.MethodCalls.empty());
  EXPECT_EQ(form.Answer.Text(), L"4601234567890");
  EXPECT_EQ(form.edtDataCount.Text(), L"1");
  EXPECT_EQ(form.edtResultCode.Text(), L"0");
  EXPECT_TRUE(boxes_.Seen().empty());  // a driver error: silent

  // The journal holds the event as the refresh read it, then the refusal.
  const TJournal& journal = form.Journal();
  ASSERT_EQ(journal.Count(), 2u);
  const TJournalEntry& scan = journal.At(0);
  EXPECT_EQ(scan.Kind, TJournalKind::Data);
  EXPECT_EQ(scan.Data, L"4601234567890");
  EXPECT_EQ(scan.Device, L"№01 Касса, COM 3");
  EXPECT_TRUE(scan.HasCode);
  EXPECT_EQ(scan.Code, 0);
  EXPECT_EQ(scan.Text, L"Ошибок нет");
  const TJournalEntry& refusal = journal.At(1);
  EXPECT_EQ(refusal.Kind, TJournalKind::Error);
  EXPECT_EQ(refusal.Data, L"EventNumber := 8");
  EXPECT_EQ(refusal.Device, L"№01 Касса, COM 3");
  EXPECT_EQ(refusal.Code, -6);
  EXPECT_EQ(refusal.Text, L"Недопустимое значение");
  EXPECT_EQ(journal.Scans(), 1u);
  EXPECT_EQ(journal.Errors(), 1u);
}

TEST_F(MainWindowOverFake, TheWindowMenuOpensTheJournalWhichCatchesUpOnlyWhileShown) {
  TfmMain& form = Form();
  const HMENU menu = GetSystemMenu(form.Handle(), FALSE);
  const auto itemText = [&](UINT id) {
    wchar_t text[128] = {};
    GetMenuStringW(menu, id, text, 128, MF_BYCOMMAND);
    return std::wstring(text);
  };
  EXPECT_EQ(itemText(kSysJournal), L"Журнал событий…");
  EXPECT_EQ(itemText(kSysCopyLastEvent), L"Копировать последнее событие");
  EXPECT_EQ(form.JournalWindow(), nullptr);

  // A key event passes its strings as they are, whatever they hold.
  const std::wstring data = L"\x01Ж\U0001F600";
  ASSERT_EQ(state_.Fire(kOnKeyEvent, {TestVariant::Str(L"Клавиатура"), TestVariant::Str(L"KeyDown"),
                                      TestVariant::Str(data)}),
            S_OK);
  SendMessageW(form.Handle(), WM_SYSCOMMAND, kSysJournal, 0);
  TfmJournal* window = form.JournalWindow();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(IsWindowVisible(window->Handle()));
  ASSERT_EQ(window->lvJournal.RowCount(), 1);
  const TJournalEntry& key = form.Journal().Last();
  EXPECT_EQ(key.Kind, TJournalKind::Key);
  // The device column is the current device's; the key event's own source
  // goes with its message.
  EXPECT_EQ(key.Device, form.edtDeviceName.Text() + L", " + form.edtPortNumber.Text());
  EXPECT_EQ(key.Data, data);
  EXPECT_EQ(key.Text, L"KeyDown, источник: Клавиатура");
  EXPECT_FALSE(key.HasCode);

  // Shown, it follows once the messages before the news are handled.
  Driver(kScanData, TestVariant::Str(L"1"));
  ASSERT_EQ(state_.Fire(kOnDataEvent, {TestVariant::Int(1)}), S_OK);
  EXPECT_TRUE(PumpUntil([&] { return window->lvJournal.RowCount() == 2; }, 5000));
  EXPECT_EQ(window->lbScans.Text(), L"Сканирований: 1");

  // Closed, it does nothing; opened again, it shows all.
  window->btnClose.Click();
  EXPECT_FALSE(IsWindowVisible(window->Handle()));
  for (int id = 2; id <= 4; ++id) ASSERT_EQ(state_.Fire(kOnDataEvent, {TestVariant::Int(id)}), S_OK);
  PumpUntil([] { return false; }, 300);
  EXPECT_EQ(window->lvJournal.RowCount(), 2);
  EXPECT_EQ(form.Journal().Count(), 5u);
  SendMessageW(form.Handle(), WM_SYSCOMMAND, kSysJournal, 0);
  EXPECT_EQ(form.JournalWindow(), window);
  EXPECT_EQ(window->lvJournal.RowCount(), 5);
  EXPECT_EQ(window->lbScans.Text(), L"Сканирований: 4");
  EXPECT_TRUE(boxes_.Seen().empty());
}

TEST_F(MainWindowOverFake, AFailingResultReadOnATickShowsOneMessageBoxAndStopsTheRefresh) {
  TfmMain& form = Form();
  ASSERT_TRUE(form.Timer.Enabled());
  // The box stands long enough for two more ticks; three reads would fail.
  boxes_.SetHold(2500);
  state_.Failures[kResultCode] = {E_ACCESSDENIED, L"Сбой чтения результата", 3};
  ASSERT_TRUE(PumpUntil([&] { return !boxes_.Seen().empty() && boxes_.Open() == 0; }, 20000));
  using Box = std::pair<std::wstring, std::wstring>;
  EXPECT_EQ(boxes_.Seen(), (std::vector<Box>{{kCaption, L"Сбой чтения результата."}}));
  EXPECT_FALSE(form.Timer.Enabled());

  // The property pages start it again, as after any failed refresh.
  state_.Failures.clear();
  form.btnProperties.Click();
  EXPECT_EQ(state_.MethodCalls, std::vector<std::wstring>{L"ShowProperties"});
  EXPECT_TRUE(form.Timer.Enabled());
}

TEST_F(MainWindowOverFake, ALockChangeWhoseWriteBackFailsStopsTheRefreshWithoutAMessageBox) {
  TfmMain& form = Form();
  // The refresh sets the box from code; its click handler writes the value
  // back, and that write fails below the driver (not a driver error).
  state_.Failures[kLockDevices] = {E_ACCESSDENIED, L"Запись запрещена", -1, DISPATCH_PROPERTYPUT};
  Driver(kLockDevices, TestVariant::Int(1));
  ASSERT_TRUE(PumpUntil([&] { return form.chkLockDevices.Checked(); }, 5000));
  EXPECT_FALSE(form.Timer.Enabled());
  EXPECT_TRUE(boxes_.Seen().empty());
}

TEST_F(MainWindowOverFake, ASaveThatCannotBeWrittenGivesTheReasonAndLeavesTheFileAsItWas) {
  TfmMain& form = Form();
  Driver(kScanData, TestVariant::Str(L"4601234567890"));
  ASSERT_EQ(state_.Fire(kOnDataEvent, {TestVariant::Int(1)}), S_OK);
  SendMessageW(form.Handle(), WM_SYSCOMMAND, kSysJournal, 0);
  TfmJournal& window = *form.JournalWindow();

  // A name that a folder already has.
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring taken = std::wstring(temp) + L"journal-taken.csv";
  CreateDirectoryW(taken.c_str(), nullptr);
  try {
    window.SaveToFile(taken);
    ADD_FAILURE() << "a folder was replaced";
  } catch (const rtl::EOSError& e) {
    EXPECT_NE(e.Message().find(taken), std::wstring::npos) << rtl::ToUtf8(e.Message());
  }
  EXPECT_TRUE(GetFileAttributesW(taken.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesW((taken + L".tmp").c_str()), INVALID_FILE_ATTRIBUTES);
  RemoveDirectoryW(taken.c_str());
  EXPECT_EQ(form.Journal().Count(), 1u);

  // A file that can be written takes the journal, replacing what it held.
  const std::wstring file = std::wstring(temp) + L"journal-saved.csv";
  window.SaveToFile(file);
  window.SaveToFile(file);
  const HANDLE h =
      CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetFileSize(h, nullptr), JournalCsv(form.Journal()).size());
  CloseHandle(h);
  EXPECT_EQ(GetFileAttributesW((file + L".tmp").c_str()), INVALID_FILE_ATTRIBUTES);
  DeleteFileW(file.c_str());
}

}  // namespace
