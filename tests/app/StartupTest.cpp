// Start-up of the real program: with the driver registered it opens its main
// window; without, it runs the registration dialogue until the driver can be
// created or the operator gives up, saying why a registration failed. A
// damaged font value is named, and start-up goes on with the default font.
#include <gtest/gtest.h>

#include <fstream>

#include "rtl/Exceptions.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/UiDriver.h"

namespace {

using namespace apptest;

const std::wstring kCaption = L"Тест: драйвер сканера штрих-кода";
const std::wstring kPrompt = L"Необходимо зарегистрировать драйвер.\rУкажите местоположение файла Dravix.dll";
constexpr DWORD kTimeout = 20000;

// The open-file dialog's name field: edt1 in the old style, in the
// Explorer style the edit inside cmb13 (a ComboBoxEx holding a ComboBox).
HWND FileNameField(HWND dialog) {
  if (const HWND edit = GetDlgItem(dialog, 0x480)) return edit;
  HWND inner = GetDlgItem(dialog, 0x47C);
  while (inner != nullptr && uidriver::GetClassName(inner) != L"Edit") {
    const HWND edit = FindWindowExW(inner, nullptr, L"Edit", nullptr);
    inner = edit != nullptr ? edit : FindWindowExW(inner, nullptr, nullptr, nullptr);
  }
  return inner;
}

// The top-level dialog of the process that is not the prompt, once its
// controls exist: the open-file dialog.
HWND WaitForFileDialog(DWORD pid) {
  HWND found = nullptr;
  uidriver::WaitUntil(
      [&] {
        const HWND dialog = uidriver::FindTopWindow(pid, L"", L"#32770");
        if (dialog != nullptr && uidriver::GetText(dialog) != kCaption && FileNameField(dialog) != nullptr &&
            GetDlgItem(dialog, IDCANCEL) != nullptr) {
          found = dialog;
        }
        return found != nullptr;
      },
      kTimeout);
  return found;
}

// Types a path into the file dialog's name field and presses Open.
void ChooseFile(HWND dialog, const std::wstring& path) {
  const HWND name = FileNameField(dialog);
  ASSERT_NE(name, nullptr) << "no file name field in the open-file dialog";
  SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
  uidriver::PressDialogButton(dialog, IDOK);
}

std::wstring Normalized(std::wstring text) {
  for (auto& c : text) {
    if (c == L'\n') c = L'\r';
  }
  return text;
}

class Startup : public ::testing::Test {
 protected:
  void SetUp() override {
    IsolateDriverSettings();
    DeleteFontKey();
  }
  void TearDown() override {
    DeleteFontKey();
    RegisterDriver();
  }

  // Starts the program and waits for its registration prompt.
  uidriver::MessageBoxInfo StartAndExpectPrompt() {
    process_ = std::make_unique<uidriver::Process>(uidriver::Process::Start(TavrixExe()));
    const uidriver::MessageBoxInfo box = uidriver::WaitForMessageBox(process_->Id(), kTimeout);
    EXPECT_NE(box.Window, nullptr) << "no registration prompt";
    EXPECT_EQ(box.Caption, kCaption);
    EXPECT_EQ(Normalized(box.Text), kPrompt);
    return box;
  }

  // The main window exists, hidden, while the registration dialogue runs.
  // After the operator's answer it is watched until the process has ended:
  // it must not show, not even for the moment before the loop would quit.
  HWND HiddenMainWindow() const {
    for (HWND wnd = FindWindowExW(nullptr, nullptr, L"TavrixForm", kCaption.c_str()); wnd != nullptr;
         wnd = FindWindowExW(nullptr, wnd, L"TavrixForm", kCaption.c_str())) {
      DWORD pid = 0;
      GetWindowThreadProcessId(wnd, &pid);
      if (pid == process_->Id()) return wnd;
    }
    return nullptr;
  }
  void AnswerAndExpectTheEndWithoutMainWindow(HWND dialog, int button) {
    const HWND main = HiddenMainWindow();
    ASSERT_NE(main, nullptr);
    ASSERT_FALSE(IsWindowVisible(main));
    uidriver::PressDialogButton(dialog, button);
    bool shown = false;
    const ULONGLONG end = GetTickCount64() + kTimeout;
    while (!shown && process_->Running() && GetTickCount64() < end) shown = IsWindowVisible(main) != FALSE;
    EXPECT_FALSE(shown) << "the main window showed before the program ended";
    ASSERT_TRUE(process_->Wait(kTimeout)) << "the program did not end";
    EXPECT_EQ(process_->ExitCode(), 0u);
  }

  std::unique_ptr<uidriver::Process> process_;
};

// The main window (not a dialog) among the process's visible windows.
HWND FindMainWindow(DWORD pid) {
  const HWND wnd = uidriver::FindTopWindow(pid, kCaption, L"");
  return wnd != nullptr && uidriver::GetClassName(wnd) != L"#32770" ? wnd : nullptr;
}

TEST_F(Startup, RegisteredDriverOpensFilledMainWindowWithoutPrompt) {
  RegisterDriver();
  auto process = uidriver::Process::Start(TavrixExe());
  const HWND main = uidriver::WaitForTopWindow(process.Id(), kCaption, L"", kTimeout);
  ASSERT_NE(main, nullptr);
  ASSERT_NE(uidriver::GetClassName(main), L"#32770") << "a message box came up instead of the main window";
  EXPECT_EQ(uidriver::FindTopWindow(process.Id(), L"", L"#32770"), nullptr);
  // Filled before it was shown.
  EXPECT_EQ(uidriver::GetText(uidriver::FindControl(main, L"edtResultCode")), L"0");
  EXPECT_EQ(uidriver::GetText(uidriver::FindControl(main, L"edtDeviceName")).rfind(L"№01 ", 0), 0u);
  uidriver::Click(uidriver::FindControl(main, L"btnClose"));
  ASSERT_TRUE(process.Wait(kTimeout));
  EXPECT_EQ(process.ExitCode(), 0u);
}

TEST_F(Startup, CancelAtThePromptEndsTheProgram) {
  UnregisterDriver();
  const auto box = StartAndExpectPrompt();
  AnswerAndExpectTheEndWithoutMainWindow(box.Window, IDCANCEL);
}

TEST_F(Startup, CancelInTheFileDialogEndsTheProgram) {
  UnregisterDriver();
  const auto box = StartAndExpectPrompt();
  uidriver::PressDialogButton(box.Window, IDOK);
  const HWND dialog = WaitForFileDialog(process_->Id());
  ASSERT_NE(dialog, nullptr) << "no open-file dialog";
  AnswerAndExpectTheEndWithoutMainWindow(dialog, IDCANCEL);
}

TEST_F(Startup, AFileThatIsNotALibraryBringsThePromptBackWithTheReason) {
  UnregisterDriver();
  wchar_t tempDir[MAX_PATH];
  GetTempPathW(MAX_PATH, tempDir);
  const std::wstring junkPath = std::wstring(tempDir) + L"not-a-library.dll";
  {
    std::ofstream out(junkPath.c_str(), std::ios::binary);
    out << "this is text, not a library";
  }
  auto box = StartAndExpectPrompt();
  uidriver::PressDialogButton(box.Window, IDOK);
  const HWND dialog = WaitForFileDialog(process_->Id());
  ASSERT_NE(dialog, nullptr);
  ChooseFile(dialog, junkPath);
  // The prompt again, after the system's reason, and still no driver. The
  // reason names the file once: in the system's text where it has a place
  // for it (Wine's "%1" of a bad image, as for a driver of the other
  // bitness), with no %1 left.
  ASSERT_TRUE(uidriver::WaitUntil([&] { return !IsWindow(dialog); }, kTimeout));
  box = uidriver::WaitForMessageBox(process_->Id(), kTimeout);
  ASSERT_NE(box.Window, nullptr);
  const std::wstring text = Normalized(box.Text);
  EXPECT_TRUE(text.ends_with(L"\r\r" + kPrompt)) << rtl::ToUtf8(text);
  const std::size_t named = text.find(junkPath);
  EXPECT_NE(named, std::wstring::npos) << rtl::ToUtf8(text);
  EXPECT_EQ(named, text.rfind(junkPath)) << rtl::ToUtf8(text);
  EXPECT_EQ(text.find(L'%'), std::wstring::npos) << rtl::ToUtf8(text);
  EXPECT_FALSE(DriverRegistered());
  AnswerAndExpectTheEndWithoutMainWindow(box.Window, IDCANCEL);
  DeleteFileW(junkPath.c_str());
}

TEST_F(Startup, ChoosingTheDriverRegistersItAndOpensTheMainWindow) {
  UnregisterDriver();
  const auto box = StartAndExpectPrompt();
  uidriver::PressDialogButton(box.Window, IDOK);
  const HWND dialog = WaitForFileDialog(process_->Id());
  ASSERT_NE(dialog, nullptr);
  ChooseFile(dialog, DravixDll());
  HWND main = nullptr;
  ASSERT_TRUE(
      uidriver::WaitUntil([&] { return (main = FindMainWindow(process_->Id())) != nullptr; }, kTimeout));
  EXPECT_TRUE(DriverRegistered());
  EXPECT_EQ(uidriver::GetText(uidriver::FindControl(main, L"edtResultCode")), L"0");
  uidriver::Click(uidriver::FindControl(main, L"btnClose"));
  ASSERT_TRUE(process_->Wait(kTimeout));
}

TEST_F(Startup, ADamagedFontValueIsNamedAndTheMainWindowOpensWithoutThePrompt) {
  RegisterDriver();
  SetFontString(L"FontSize", L"twelve");
  process_ = std::make_unique<uidriver::Process>(uidriver::Process::Start(TavrixExe()));
  const uidriver::MessageBoxInfo box = uidriver::WaitForMessageBox(process_->Id(), kTimeout);
  ASSERT_NE(box.Window, nullptr);
  EXPECT_EQ(box.Caption, kCaption);
  EXPECT_NE(box.Text.find(L"\"FontSize\""), std::wstring::npos) << rtl::ToUtf8(box.Text);
  EXPECT_EQ(GetDlgItem(box.Window, IDCANCEL), nullptr) << "a question, not a notice";
  uidriver::PressDialogButton(box.Window, IDOK);
  HWND main = nullptr;
  ASSERT_TRUE(
      uidriver::WaitUntil([&] { return (main = FindMainWindow(process_->Id())) != nullptr; }, kTimeout));
  EXPECT_EQ(uidriver::FindTopWindow(process_->Id(), L"", L"#32770"), nullptr);
  EXPECT_EQ(uidriver::GetText(uidriver::FindControl(main, L"edtResultCode")), L"0");
  uidriver::Click(uidriver::FindControl(main, L"btnClose"));
  ASSERT_TRUE(process_->Wait(kTimeout));
}

}  // namespace
