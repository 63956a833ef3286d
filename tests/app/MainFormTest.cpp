// The main window in process: the registry font and where it goes, a damaged
// font value, the reasons a registration fails, and a scan arriving through a
// real serial line.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "Fmu/fmuMain.h"
#include "Units/cuUtils.h"
#include "gui/Application.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/UiDriver.h"

namespace {

using namespace apptest;

// The serial pair the ctest wrapper makes: the device reads COM 13, the test
// writes to COM 14.
constexpr int kDevicePort = 13;
const wchar_t kFeedPort[] = L"\\\\.\\COM14";

class RegistryFont : public ::testing::Test {
 protected:
  void SetUp() override { DeleteFontKey(); }
  void TearDown() override { DeleteFontKey(); }
};

TEST_F(RegistryFont, WithoutTheKeyEverythingTakesItsDefault) {
  gui::Font font;
  font.Name = L"Arial";
  font.Size = 14;
  font.Color = RGB(1, 2, 3);
  font.Charset = 204;
  font.Style.Bold = font.Style.StrikeOut = true;
  RegReadFont(font);
  EXPECT_EQ(font.Name, L"MS Sans Serif");
  EXPECT_EQ(font.Size, 8);
  EXPECT_EQ(font.Color, 0u);
  EXPECT_EQ(font.Charset, 1);
  EXPECT_EQ(font.Style, gui::FontStyles{});
}

TEST_F(RegistryFont, EachValueIsApplied) {
  SetFontString(L"FontName", L"Courier New");
  SetFontValue(L"FontSize", 12);
  SetFontValue(L"FontColor", RGB(0, 0, 128));
  SetFontValue(L"FontCharSet", 204);
  SetFontValue(L"FontIsBold", 1);
  SetFontValue(L"FontIsItalic", 7);
  SetFontValue(L"FontIsUnderlined", 1);
  SetFontValue(L"FontIsStriledOut", 1);
  gui::Font font;
  RegReadFont(font);
  EXPECT_EQ(font.Name, L"Courier New");
  EXPECT_EQ(font.Size, 12);
  EXPECT_EQ(font.Color, RGB(0, 0, 128));
  EXPECT_EQ(font.Charset, 204);
  EXPECT_EQ(font.Style,
            (gui::FontStyles{.Bold = true, .Italic = true, .Underline = true, .StrikeOut = true}));
}

TEST_F(RegistryFont, MissingValuesTakeDefaultsAndZeroFlagsStayOff) {
  SetFontValue(L"FontSize", 10);
  SetFontValue(L"FontIsBold", 0);
  SetFontValue(L"FontIsItalic", 1);
  gui::Font font;
  font.Style.Bold = true;
  RegReadFont(font);
  EXPECT_EQ(font.Name, L"MS Sans Serif");
  EXPECT_EQ(font.Size, 10);
  EXPECT_EQ(font.Charset, 1);
  EXPECT_EQ(font.Style, gui::FontStyles{.Italic = true});
}

TEST_F(RegistryFont, AValueOfTheWrongTypeRaises) {
  for (const wchar_t* name :
       {L"FontSize", L"FontColor", L"FontCharSet", L"FontIsBold", L"FontIsStriledOut"}) {
    DeleteFontKey();
    SetFontString(name, L"1");
    gui::Font font;
    EXPECT_THROW(RegReadFont(font), ERegistryException) << name;
  }
  DeleteFontKey();
  SetFontValue(L"FontName", 5);
  gui::Font font;
  EXPECT_THROW(RegReadFont(font), ERegistryException);
}

class MainForm : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gui::Application::Instance().Initialize();
    gui::Application::Instance().SetTitle(L"Тест: драйвер сканера штрих-кода");
  }
  void SetUp() override {
    IsolateDriverSettings();
    DeleteFontKey();
    RegisterDriver();
  }
  void TearDown() override { DeleteFontKey(); }
};

void ExpectFontEverywhere(const gui::WinControl& parent, const gui::Font& expected) {
  for (const gui::Control* control : parent.Controls()) {
    EXPECT_EQ(control->Font(), expected) << rtl::ToUtf8(control->Name());
    LOGFONTW logFont{};
    const auto font = reinterpret_cast<HFONT>(SendMessageW(control->Handle(), WM_GETFONT, 0, 0));
    if (font != nullptr) {
      GetObjectW(font, sizeof(logFont), &logFont);
      EXPECT_STREQ(logFont.lfFaceName, expected.Name.c_str()) << rtl::ToUtf8(control->Name());
      EXPECT_EQ(logFont.lfWeight, expected.Style.Bold ? FW_BOLD : FW_NORMAL);
    }
    if (const auto* container = dynamic_cast<const gui::WinControl*>(control)) {
      ExpectFontEverywhere(*container, expected);
    }
  }
}

TEST_F(MainForm, TheRegistryFontReachesEveryControl) {
  SetFontString(L"FontName", L"Arial");
  SetFontValue(L"FontSize", 9);
  SetFontValue(L"FontIsBold", 1);
  TfmMain form;
  ASSERT_FALSE(gui::Application::Instance().Terminated());
  EXPECT_EQ(form.Font().Name, L"Arial");
  EXPECT_EQ(form.Font().Size, 9);
  ExpectFontEverywhere(form, form.Font());
}

TEST_F(MainForm, ADamagedFontValueIsNamedAndTheWindowStartsWithTheDefaultFont) {
  SetFontString(L"FontName", L"Arial");  // read before the damaged value, and dropped with it
  SetFontString(L"FontIsBold", L"yes");
  uidriver::MessageBoxInfo box;
  std::thread answer([&] {
    box = uidriver::WaitForMessageBox(GetCurrentProcessId(), 10000);
    // Cancel where there is one: the registration prompt would go on to the file dialog.
    if (box.Window && !uidriver::PressDialogButton(box.Window, IDCANCEL)) {
      uidriver::PressDialogButton(box.Window, IDOK);
    }
  });
  TfmMain form;
  answer.join();
  ASSERT_NE(box.Window, nullptr);
  EXPECT_NE(box.Text.find(L"\"FontIsBold\""), std::wstring::npos) << rtl::ToUtf8(box.Text);
  EXPECT_FALSE(gui::Application::Instance().Terminated());
  ASSERT_TRUE(form.Scaner()->HasScaner());
  EXPECT_EQ(form.Font().Name, L"MS Sans Serif");
  EXPECT_EQ(form.Font().Size, 8);
  EXPECT_EQ(form.Font().Style, gui::FontStyles{});
  EXPECT_EQ(form.edtResultCode.Text(), L"0");
}

TEST(RegisterDll, SaysWhyARegistrationFailed) {
  const std::wstring missing = WinPath(DRAVIX_DLL) + L".missing";
  struct Case {
    std::wstring File;
    bool Registered;
    std::wstring Reason;
  };
  for (const Case& c : {
           Case{missing, false, rtl::SysErrorMessage(ERROR_MOD_NOT_FOUND) + L": " + missing},
           Case{WinPath(REGISTER_NO_EXPORT_DLL), false, rtl::SysErrorMessage(ERROR_PROC_NOT_FOUND)},
           Case{WinPath(REGISTER_REFUSED_DLL), false,
                rtl::SysErrorMessage(static_cast<DWORD>(E_ACCESSDENIED))},
           Case{DravixDll(), true, L""},
       }) {
    SCOPED_TRACE(rtl::ToUtf8(c.File));
    std::wstring reason = L"stale";
    EXPECT_EQ(RegisterDllByFileName(c.File, reason), c.Registered);
    EXPECT_EQ(reason, c.Reason);
    EXPECT_FALSE(reason.starts_with(L"System error")) << "the system has a text for each of these";
  }
  EXPECT_TRUE(DriverRegistered());
}

TEST_F(MainForm, AScanThroughTheSerialLineIsShownAndDeleted) {
  TfmMain form;
  // Only the scan's own refresh may show it: a tick dispatched in the same
  // pass of the loop would show the emptied queue before the test looks.
  form.Timer.SetEnabled(false);
  TScanerX& scaner = *form.Scaner();
  scaner.SetPortNumber(kDevicePort);
  scaner.SetModel(0);
  scaner.SetStopFlag(0);  // CR
  scaner.SetDeviceEnabled(true);
  scaner.SetDataEventEnabled(true);

  const HANDLE feed = CreateFileW(kFeedPort, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(feed, INVALID_HANDLE_VALUE) << "the serial pair is missing";
  const char scan[] = "4601234567890\r";
  DWORD written = 0;
  WriteFile(feed, scan, sizeof(scan) - 1, &written, nullptr);
  CloseHandle(feed);

  ASSERT_TRUE(PumpUntil([&] { return form.Answer.Text() == L"4601234567890"; }, 10000))
      << rtl::ToUtf8(form.Answer.Text());
  EXPECT_EQ(form.edtDataCount.Text(), L"1");  // shown while still queued
  EXPECT_NE(form.edtEventNumber.Text(), L"0");
  EXPECT_EQ(form.edtPortNumber.Text(), L"COM 13");
  EXPECT_EQ(scaner.GetDataCount(), 0);  // deleted after it was shown
  scaner.SetDeviceEnabled(false);
}

}  // namespace
