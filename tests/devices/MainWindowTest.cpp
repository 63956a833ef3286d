// The main window's "Работа с ЛУ" in process: its refresh timer stands still
// while the dialog is open and runs again afterwards, also when opening the
// dialog fails; the application's exception hook is the one from before.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "Fmu/fmuMain.h"
#include "gui/Application.h"
#include "tests/app/AppTestSupport.h"
#include "tests/devices/DevicesTestSupport.h"
#include "tests/support/UiDriver.h"

namespace {

using namespace devtest;

std::vector<std::wstring> gHookCalls;

// Stands in for the main window's own hook, so the test sees where an
// exception ends up.
void InstallRecordingHook() {
  gHookCalls.clear();
  gui::Application::Instance().OnException = [](rtl::Object*, const std::exception& e) {
    gHookCalls.push_back(gui::ExceptionMessage(e));
  };
}

// What a thread timer saw while the modal dialog ran its loop.
struct WhileOpen {
  TfmMain* Form = nullptr;
  bool SawDialog = false;
  bool TimerEnabled = true;
  std::wstring ResultCode;
} gWhileOpen;

void CALLBACK LookAtTheDialog(HWND, UINT, UINT_PTR id, DWORD) {
  const HWND dialog = uidriver::FindTopWindow(GetCurrentProcessId(), kDialogCaption);
  if (dialog == nullptr) return;
  KillTimer(nullptr, id);
  gWhileOpen.SawDialog = true;
  gWhileOpen.TimerEnabled = gWhileOpen.Form->Timer.Enabled();
  gWhileOpen.ResultCode = uidriver::GetText(uidriver::FindControl(dialog, L"edtResultCode"));
  PostMessageW(dialog, WM_CLOSE, 0, 0);
}

class MainWindowDevices : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gui::Application::Instance().Initialize(); }
  void SetUp() override {
    ResetDriverStore();
    apptest::DeleteFontKey();
    apptest::RegisterDriver();
  }
  void TearDown() override {
    apptest::RegisterDriver();
    gui::Application::Instance().OnException = nullptr;
  }
};

TEST_F(MainWindowDevices, TheTimerStandsStillWhileTheDialogIsOpen) {
  TfmMain form;
  ASSERT_TRUE(form.Timer.Enabled());
  form.Show();
  InstallRecordingHook();
  EXPECT_THROW(form.Scaner()->SetCurrentDeviceIndex(33), EScanerX);

  gWhileOpen = WhileOpen{};
  gWhileOpen.Form = &form;
  const UINT_PTR timer = SetTimer(nullptr, 0, 100, &LookAtTheDialog);
  ASSERT_NE(timer, 0u);
  form.btnDevices.Click();  // returns when the dialog has closed
  KillTimer(nullptr, timer);

  EXPECT_TRUE(gWhileOpen.SawDialog);
  EXPECT_FALSE(gWhileOpen.TimerEnabled);
  EXPECT_EQ(gWhileOpen.ResultCode, L"-9");  // the main window's last call
  EXPECT_TRUE(form.Timer.Enabled());
  EXPECT_EQ(FindWindowW(nullptr, kDialogCaption), nullptr);  // destroyed, not just hidden

  // The hook from before the dialog is back.
  try {
    throw rtl::Exception(L"after the dialog");
  } catch (...) {
    gui::Application::Instance().HandleException(&form);
  }
  EXPECT_EQ(gHookCalls, std::vector<std::wstring>{L"after the dialog"});
}

TEST_F(MainWindowDevices, AFailedOpeningStillRestartsTheTimerAndReachesTheHookFromBefore) {
  TfmMain form;
  form.Show();
  InstallRecordingHook();
  // The driver goes away under the running program: creating the control
  // again fails inside the dialog's first refresh.
  apptest::UnregisterDriver();
  form.Scaner()->DoneScaner();

  form.btnDevices.Click();
  EXPECT_TRUE(form.Timer.Enabled());
  ASSERT_EQ(gHookCalls.size(), 1u) << "the exception went elsewhere";
  EXPECT_FALSE(gHookCalls[0].empty());
  EXPECT_EQ(FindWindowW(nullptr, kDialogCaption), nullptr);  // destroyed, not just hidden
}

}  // namespace
