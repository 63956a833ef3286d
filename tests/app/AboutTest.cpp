// The About box in process. This test program carries a version resource
// of its own (1.2.3.4) and the program's logo, like the program does.
#include <gtest/gtest.h>

#include <functional>

#include "Fmu/fmuAbout.h"
#include "Fmu/fmuMain.h"
#include "Units/cuUtils.h"
#include "gui/Application.h"
#include "tests/app/AppTestSupport.h"

namespace {

using namespace apptest;

const std::wstring kBoxCaption = L"О драйвере";

// The About box of this process once it is on screen, or null.
TfmAbout* FindBox() {
  for (HWND wnd = FindWindowW(nullptr, kBoxCaption.c_str()); wnd != nullptr;
       wnd = FindWindowExW(nullptr, wnd, nullptr, kBoxCaption.c_str())) {
    DWORD pid = 0;
    GetWindowThreadProcessId(wnd, &pid);
    if (pid == GetCurrentProcessId() && IsWindowVisible(wnd)) {
      return dynamic_cast<TfmAbout*>(gui::Control::FromHandle(wnd));
    }
  }
  return nullptr;
}

// Runs inspect on the box while it is shown modally by show, then closes it
// with key; fails the test if the box does not come up or does not close.
class WhileShown {
 public:
  WhileShown(std::function<void(TfmAbout&)> inspect, WORD key) : fInspect(std::move(inspect)), fKey(key) {
    sCurrent = this;
    fTimer = SetTimer(nullptr, 0, 50, &WhileShown::Tick);
  }
  ~WhileShown() {
    KillTimer(nullptr, fTimer);
    sCurrent = nullptr;
  }
  bool Seen() const { return fSeen; }

 private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    WhileShown* self = sCurrent;
    if (self == nullptr || self->fDone) return;
    TfmAbout* box = FindBox();
    if (box == nullptr) return;
    self->fDone = true;
    self->fSeen = true;
    self->fInspect(*box);
    // As the operator presses it: the key goes to the focused control.
    const HWND focus = GetFocus() != nullptr ? GetFocus() : box->Handle();
    PostMessageW(focus, WM_KEYDOWN, self->fKey, 1);
    PostMessageW(focus, WM_KEYUP, self->fKey, 0xC0000001);
  }
  static inline WhileShown* sCurrent = nullptr;
  std::function<void(TfmAbout&)> fInspect;
  WORD fKey;
  UINT_PTR fTimer = 0;
  bool fDone = false;
  bool fSeen = false;
};

std::vector<std::wstring> Lines(const gui::ListBox& list) {
  std::vector<std::wstring> lines;
  for (int i = 0; i < list.Count(); ++i) lines.push_back(list.Item(i));
  return lines;
}

class AboutBox : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gui::Application::Instance().Initialize(); }
};

TEST_F(AboutBox, TheToolsVersionComesFromItsOwnVersionResource) {
  EXPECT_EQ(GetFileVersionInfo(), L"1.2.3.4");
}

TEST_F(AboutBox, LayoutFontsAndLinks) {
  gui::Form owner(L"fmOwner");
  owner.Show();
  bool inspected = false;
  const WhileShown shown(
      [&](TfmAbout& box) {
        inspected = true;
        EXPECT_EQ(GetWindow(box.Handle(), GW_OWNER), owner.Handle());
        const LONG style = GetWindowLongW(box.Handle(), GWL_STYLE);
        EXPECT_FALSE(style & WS_SYSMENU) << "the box has no caption buttons";
        EXPECT_FALSE(style & WS_THICKFRAME);
        EXPECT_EQ(box.ClientWidth(), 335);
        EXPECT_EQ(box.ClientHeight(), 232);
        EXPECT_EQ(box.NameLabel.Text(), L"Сканер штрих-кода");
        EXPECT_EQ(Lines(box.lbVersion), (std::vector<std::wstring>{L"первая", L"вторая"}));
        EXPECT_EQ(box.lbVersion.ItemHeight(), 13);
        EXPECT_FALSE(box.lbVersion.TabStop());

        // The title: the form's font, 4 points larger, bold, navy.
        const gui::Font& form = box.Font();
        EXPECT_EQ(form.Name, L"MS Sans Serif");
        EXPECT_EQ(form.Size, 8);
        EXPECT_EQ(form.Charset, RUSSIAN_CHARSET);
        EXPECT_EQ(box.NameLabel.Font().Name, form.Name);
        EXPECT_EQ(box.NameLabel.Font().Size, 12);
        EXPECT_TRUE(box.NameLabel.Font().Style.Bold);
        EXPECT_EQ(box.NameLabel.Font().Color, RGB(0, 0, 128));
        EXPECT_TRUE(box.lblFirmName.Font().Style.Bold);
        EXPECT_EQ(box.lblFirmName.Text(), L"Разработка: НТЦ \"Ортвел\"");
        // The links: blue, underlined, a hand over them.
        const HCURSOR hand = LoadCursorW(nullptr, IDC_HAND);
        for (const gui::Label* link : {&box.lblURL, &box.lblSupportMail}) {
          EXPECT_EQ(link->Font().Color, RGB(0, 0, 255));
          EXPECT_TRUE(link->Font().Style.Underline);
          EXPECT_FALSE(link->Font().Style.Bold);
          EXPECT_EQ(link->Cursor(), hand);
        }
        EXPECT_EQ(box.lblURL.Text(), kDeveloperWebSite);
        EXPECT_EQ(box.lblSupportMail.Text(), kDeveloperSupportMail);
        EXPECT_EQ(box.lblSupportMail.Text().find(L"mailto:"), std::wstring::npos);
      },
      VK_RETURN);
  ShowAboutBox(owner.Handle(), L"Сканер штрих-кода", {L"первая", L"вторая"});
  EXPECT_TRUE(inspected);
}

TEST_F(AboutBox, ThePaintingDrawsPanelRulesAndLogo) {
  TfmAbout box;
  const HBITMAP logo = box.Logo();
  ASSERT_NE(logo, nullptr);
  DIBSECTION dib{};
  ASSERT_EQ(GetObjectW(logo, sizeof(dib), &dib), static_cast<int>(sizeof(dib)))
      << "not a device-independent bitmap";
  EXPECT_EQ(dib.dsBm.bmWidth, 69);
  EXPECT_EQ(dib.dsBm.bmHeight, 61);
  EXPECT_EQ(dib.dsBm.bmBitsPixel, 4);

  // The form's background with its own drawing, into a bitmap of ours.
  const HDC screen = GetDC(nullptr);
  const HDC dc = CreateCompatibleDC(screen);
  const HBITMAP canvas = CreateCompatibleBitmap(screen, box.ClientWidth(), box.ClientHeight());
  ReleaseDC(nullptr, screen);
  const HGDIOBJ old = SelectObject(dc, canvas);
  box.PaintBackground(dc);
  const int width = box.ClientWidth();
  EXPECT_EQ(GetPixel(dc, 40, 195), GetSysColor(COLOR_BTNFACE));  // outside the panel
  EXPECT_EQ(GetPixel(dc, 80, 100), RGB(255, 255, 255));          // panel's right column
  EXPECT_EQ(GetPixel(dc, 81, 100), GetSysColor(COLOR_BTNFACE));  // right edge excluded
  EXPECT_EQ(GetPixel(dc, 40, 7), RGB(128, 128, 128));            // top edge
  EXPECT_EQ(GetPixel(dc, 5, 100), RGB(128, 128, 128));           // left edge
  EXPECT_EQ(GetPixel(dc, 40, 189), RGB(255, 255, 255));
  for (const int y : {26, 28}) {
    EXPECT_EQ(GetPixel(dc, 88, y), RGB(0, 0, 0));
    EXPECT_EQ(GetPixel(dc, width - 1, y), RGB(0, 0, 0));
  }
  EXPECT_EQ(GetPixel(dc, 88, 27), GetSysColor(COLOR_BTNFACE));
  EXPECT_EQ(GetPixel(dc, 0, 196), RGB(0, 0, 0));
  EXPECT_EQ(GetPixel(dc, width - 1, 196), RGB(0, 0, 0));
  // The logo at (10, 15), pixel for pixel.
  const HDC logoDc = CreateCompatibleDC(dc);
  const HGDIOBJ oldLogo = SelectObject(logoDc, logo);
  int differing = 0;
  for (int y = 0; y < 61; ++y)
    for (int x = 0; x < 69; ++x) differing += GetPixel(dc, 10 + x, 15 + y) != GetPixel(logoDc, x, y);
  EXPECT_EQ(differing, 0);
  SelectObject(logoDc, oldLogo);
  DeleteDC(logoDc);
  SelectObject(dc, old);
  DeleteObject(canvas);
  DeleteDC(dc);
}

TEST_F(AboutBox, EnterAndEscapeBothClose) {
  for (const WORD key : {VK_RETURN, VK_ESCAPE}) {
    const WhileShown shown([](TfmAbout&) {}, key);
    ShowAboutBox(nullptr, L"x", {});
    EXPECT_TRUE(shown.Seen());
    EXPECT_EQ(FindBox(), nullptr);
  }
}

TEST_F(AboutBox, NoLinesLeaveTheListEmptyAndManyScroll) {
  {
    const WhileShown shown([](TfmAbout& box) { EXPECT_EQ(box.lbVersion.Count(), 0); }, VK_ESCAPE);
    ShowAboutBox(nullptr, L"x", {});
  }
  {
    const WhileShown shown(
        [](TfmAbout& box) {
          EXPECT_EQ(box.lbVersion.Count(), 6);
          SCROLLINFO info{};
          info.cbSize = sizeof info;
          info.fMask = SIF_ALL;
          ASSERT_TRUE(GetScrollInfo(box.lbVersion.Handle(), SB_VERT, &info));
          EXPECT_EQ(info.nMax, 5);
          EXPECT_EQ(info.nPage, 3u) << "three lines are fully visible";
        },
        VK_ESCAPE);
    ShowAboutBox(nullptr, L"x", {L"1", L"2", L"3", L"4", L"5", L"6"});
  }
}

TEST_F(AboutBox, TheMainWindowsButtonShowsBothVersionsAndTheTimerKeepsRunning) {
  IsolateDriverSettings();
  DeleteFontKey();
  RegisterDriver();
  TfmMain form;
  const std::wstring driverVersion = form.Scaner()->GetVersion();
  bool inspected = false;
  const WhileShown shown(
      [&](TfmAbout& box) {
        inspected = true;
        EXPECT_EQ(GetWindow(box.Handle(), GW_OWNER), form.Handle());
        EXPECT_EQ(box.NameLabel.Text(), L"Сканер штрих-кода");
        EXPECT_EQ(Lines(box.lbVersion), (std::vector<std::wstring>{L"Версия теста: 1.2.3.4",
                                                                   L"Версия драйвера: " + driverVersion}));
        EXPECT_TRUE(form.Timer.Enabled());
      },
      VK_RETURN);
  form.Show();
  form.btnAbout.Click();
  EXPECT_TRUE(inspected);
  EXPECT_TRUE(form.Timer.Enabled());
}

}  // namespace
