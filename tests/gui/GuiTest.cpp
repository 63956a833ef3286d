// The GUI library on a real Wine desktop: windows, fonts, events, keyboard
// handling, modal loops and timers, with input posted as the system posts it.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

#include "gui/Gui.h"
#include "rtl/Exceptions.h"
#include "tests/support/UiDriver.h"

namespace {

using gui::Application;

// Runs the message loop until predicate holds or timeoutMs passes.
bool PumpUntil(const std::function<bool()>& predicate, DWORD timeoutMs = 3000) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (!predicate()) {
    if (GetTickCount64() >= end) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    Application::Instance().ProcessMessages();
  }
  return true;
}

void Pump(DWORD ms) {
  PumpUntil([] { return false; }, ms);
}

RECT RectInParent(HWND wnd) {
  RECT r{};
  GetWindowRect(wnd, &r);
  MapWindowPoints(HWND_DESKTOP, GetParent(wnd), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

class GuiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Application::Instance().Initialize();
    Application::Instance().OnException = nullptr;
  }
  void TearDown() override { Application::Instance().OnException = nullptr; }
};

TEST_F(GuiTest, ControlsSitAtTheirBoundsAndTheFormHasItsClientSize) {
  gui::Form form(L"fmBounds");
  form.SetBorderStyle(gui::BorderStyle::Single);
  form.SetClientSize(670, 309);
  auto& panel = form.Add<gui::Panel>(L"Panel2");
  panel.SetBounds(200, 24, 313, 209);
  auto& edit = panel.Add<gui::Edit>(L"edtTrack1");
  edit.SetBounds(96, 32, 201, 21);
  auto& button = form.Add<gui::Button>(L"btnClose", L"Закрыть");
  button.SetBounds(528, 256, 137, 24);
  auto& twoLines = panel.Add<gui::Label>(L"Label11", L"Текущее\rустройство:");
  twoLines.SetBounds(16, 149, 60, 26);
  auto& oneLine = panel.Add<gui::Label>(L"Label1", L"Порт:");
  oneLine.SetBounds(16, 128, 0, 0);
  form.Show();

  RECT client{};
  GetClientRect(form.Handle(), &client);
  EXPECT_EQ(client.right, 670);
  EXPECT_EQ(client.bottom, 309);
  const RECT e = RectInParent(edit.Handle());
  EXPECT_EQ(GetParent(edit.Handle()), panel.Handle());
  EXPECT_EQ(e.left, 96);
  EXPECT_EQ(e.top, 32);
  EXPECT_EQ(e.right - e.left, 201);
  EXPECT_EQ(e.bottom - e.top, 21);
  EXPECT_EQ(edit.Left(), 96);
  EXPECT_EQ(edit.Width(), 201);
  const RECT b = RectInParent(button.Handle());
  EXPECT_EQ(b.left, 528);
  EXPECT_EQ(b.top, 256);
  EXPECT_EQ(b.right - b.left, 137);
  EXPECT_EQ(b.bottom - b.top, 24);
  // The carriage return breaks the caption into two lines.
  EXPECT_EQ(twoLines.Text(), L"Текущее\rустройство:");
  EXPECT_EQ(twoLines.Left(), 16);
  EXPECT_GE(twoLines.Height(), 2 * oneLine.Height() - 2);
  EXPECT_GT(oneLine.Height(), 0);
}

TEST_F(GuiTest, TheFormsFontReachesControlsInPanelsButNotThoseWithTheirOwn) {
  gui::Form form(L"fmFont");
  auto& panel = form.Add<gui::Panel>(L"Panel1");
  auto& inPanel = panel.Add<gui::Edit>(L"edtDataCount");
  auto& own = form.Add<gui::Label>(L"lblOwn", L"own");
  gui::Font ownFont;
  ownFont.Name = L"Courier New";
  ownFont.Size = 10;
  own.SetFont(ownFont);

  gui::Font font;
  font.Name = L"Arial";
  font.Size = 12;
  font.Style.Bold = true;
  font.Charset = RUSSIAN_CHARSET;
  form.SetFont(font);
  auto& later = panel.Add<gui::CheckBox>(L"chkLater", L"later");

  auto logFont = [](HWND wnd) {
    LOGFONTW lf{};
    auto hf = reinterpret_cast<HFONT>(SendMessageW(wnd, WM_GETFONT, 0, 0));
    EXPECT_NE(hf, nullptr);
    EXPECT_EQ(GetObjectW(hf, sizeof lf, &lf), static_cast<int>(sizeof lf));
    return lf;
  };
  for (HWND wnd : {inPanel.Handle(), later.Handle()}) {
    const LOGFONTW lf = logFont(wnd);
    EXPECT_STREQ(lf.lfFaceName, L"Arial");
    EXPECT_EQ(lf.lfHeight, font.Height());
    EXPECT_EQ(lf.lfWeight, FW_BOLD);
    EXPECT_EQ(lf.lfCharSet, RUSSIAN_CHARSET);
  }
  EXPECT_STREQ(logFont(own.Handle()).lfFaceName, L"Courier New");
  EXPECT_FALSE(own.ParentFont());
  own.SetParentFont(true);
  EXPECT_STREQ(logFont(own.Handle()).lfFaceName, L"Arial");
}

TEST_F(GuiTest, SetCheckedFiresOnClickOnceOnlyOnAChangeAndNotWhileDetached) {
  gui::Form form(L"fmCheck");
  auto& box = form.Add<gui::CheckBox>(L"chkAutoDisable", L"Автоотключение");
  std::vector<bool> seen;
  box.OnClick = [&](rtl::Object& sender) {
    EXPECT_EQ(&sender, &box);
    seen.push_back(box.Checked());
  };
  box.SetChecked(true);
  box.SetChecked(true);
  EXPECT_EQ(seen, std::vector<bool>{true});

  // Saved, cleared and restored around a change, as a silent setter does.
  const gui::NotifyEvent saved = box.OnClick;
  box.OnClick = nullptr;
  box.SetChecked(false);
  box.OnClick = saved;
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_FALSE(box.Checked());

  // The operator's click toggles the box and fires the same event.
  form.Show();
  SendMessageW(box.Handle(), BM_CLICK, 0, 0);
  EXPECT_TRUE(box.Checked());
  EXPECT_EQ(seen, (std::vector<bool>{true, true}));
}

TEST_F(GuiTest, SetCheckedFromCodeGivesTheHandlersExceptionToTheCallerAClickToOnException) {
  gui::Form form(L"fmCheckFails");
  auto& box = form.Add<gui::CheckBox>(L"chkLockDevices", L"Блокировать ЛУ");
  box.OnClick = [](rtl::Object&) { throw rtl::EOleSysError(L"Запись запрещена", E_ACCESSDENIED); };
  std::vector<rtl::Object*> reported;
  Application::Instance().OnException = [&](rtl::Object* s, const std::exception&) { reported.push_back(s); };

  // A property write: the writer gets the exception, the application nothing.
  EXPECT_THROW(box.SetChecked(true), rtl::EOleSysError);
  EXPECT_TRUE(box.Checked());
  EXPECT_TRUE(reported.empty());

  // The operator's click: the exception leaves a window message.
  form.Show();
  SendMessageW(box.Handle(), BM_CLICK, 0, 0);
  EXPECT_FALSE(box.Checked());
  EXPECT_EQ(reported, std::vector<rtl::Object*>{&box});
}

TEST_F(GuiTest, AnExceptionInAHandlerGoesToOnExceptionWithItsSenderAndTheLoopGoesOn) {
  gui::Form form(L"fmException");
  auto& button = form.Add<gui::Button>(L"btnFail", L"fail");
  int clicks = 0;
  button.OnClick = [&](rtl::Object&) {
    ++clicks;
    throw rtl::EConvertError(L"\"abc\" не является целым числом");
  };
  rtl::Object* sender = nullptr;
  std::wstring message;
  int reports = 0;
  Application::Instance().OnException = [&](rtl::Object* s, const std::exception& e) {
    sender = s;
    message = gui::ExceptionMessage(e);
    ++reports;
  };
  form.Show();
  uidriver::Click(button.Handle());
  ASSERT_TRUE(PumpUntil([&] { return reports == 1; }));
  EXPECT_EQ(sender, &button);
  EXPECT_EQ(message, L"\"abc\" не является целым числом");
  uidriver::Click(button.Handle());
  ASSERT_TRUE(PumpUntil([&] { return reports == 2; }));
  EXPECT_EQ(clicks, 2);

  // A throw of something that is no std::exception still arrives, as "Unknown exception".
  button.OnClick = [](rtl::Object&) { throw 42; };
  uidriver::Click(button.Handle());
  ASSERT_TRUE(PumpUntil([&] { return reports == 3; }));
  EXPECT_EQ(message, L"Unknown exception");
}

TEST_F(GuiTest, WithoutOnExceptionTheStandardBoxShowsTheMessageWithAFullStop) {
  Application::Instance().SetTitle(L"Тест: драйвер сканера штрих-кода");
  gui::Form form(L"fmBox");
  auto& button = form.Add<gui::Button>(L"btnFail", L"fail");
  button.OnClick = [](rtl::Object&) { throw std::runtime_error("OLE error 80004005"); };
  form.Show();

  uidriver::MessageBoxInfo box;
  std::thread helper([&] {
    box = uidriver::WaitForMessageBox(GetCurrentProcessId(), 10000);
    if (box.Window) uidriver::PressDialogButton(box.Window, IDOK);
  });
  // The box runs its own loop inside the click; the call returns when OK is pressed.
  SendMessageW(button.Handle(), BM_CLICK, 0, 0);
  helper.join();
  ASSERT_NE(box.Window, nullptr);
  EXPECT_EQ(box.Caption, L"Тест: драйвер сканера штрих-кода");
  EXPECT_EQ(box.Text, L"OLE error 80004005.");
  EXPECT_TRUE(IsWindowEnabled(form.Handle()));
}

struct KeyForm {
  gui::Form form{L"fmKeys"};
  gui::Edit& edit = form.Add<gui::Edit>(L"edtName");
  gui::Button& ok = form.Add<gui::Button>(L"btnOk", L"OK");
  gui::Button& cancel = form.Add<gui::Button>(L"btnCancel", L"Cancel");
  int okClicks = 0;
  int cancelClicks = 0;
  KeyForm() {
    ok.SetDefault(true);
    cancel.SetCancel(true);
    ok.OnClick = [this](rtl::Object&) { ++okClicks; };
    cancel.OnClick = [this](rtl::Object&) { ++cancelClicks; };
    form.SetActiveControl(&edit);
    form.Show();
  }
};

TEST_F(GuiTest, EscapePressesTheCancelButtonAndEnterTheDefaultOneUnlessTheEditSwallowsIt) {
  KeyForm f;
  ASSERT_TRUE(f.edit.Focused());
  uidriver::PressKey(f.edit.Handle(), VK_ESCAPE);
  ASSERT_TRUE(PumpUntil([&] { return f.cancelClicks == 1; }));
  EXPECT_EQ(f.okClicks, 0);
  uidriver::PressKey(f.edit.Handle(), VK_RETURN);
  ASSERT_TRUE(PumpUntil([&] { return f.okClicks == 1; }));

  int editEnters = 0;
  f.edit.OnKeyDown = [&](rtl::Object& sender, WORD& key, gui::ShiftState) {
    EXPECT_EQ(&sender, &f.edit);
    if (key == VK_RETURN) {
      ++editEnters;
      key = 0;
    }
  };
  uidriver::PressKey(f.edit.Handle(), VK_RETURN);
  ASSERT_TRUE(PumpUntil([&] { return editEnters == 1; }));
  Pump(100);
  EXPECT_EQ(f.okClicks, 1);
  EXPECT_TRUE(f.edit.Focused());
}

TEST_F(GuiTest, KeyPressCanDropCharactersAndPassesTheOthers) {
  KeyForm f;
  f.edit.OnKeyPress = [](rtl::Object&, wchar_t& key) {
    if (key == L'x') key = 0;
  };
  uidriver::TypeText(f.edit.Handle(), L"axbx1");
  ASSERT_TRUE(PumpUntil([&] { return f.edit.Text().size() >= 3; }));
  Pump(50);
  EXPECT_EQ(f.edit.Text(), L"ab1");
}

TEST_F(GuiTest, EditOnExitFiresWhenTabMovesTheFocusToTheNextControl) {
  gui::Form form(L"fmExit");
  auto& first = form.Add<gui::Edit>(L"edtFirst");
  auto& second = form.Add<gui::Edit>(L"edtSecond");
  std::vector<rtl::Object*> exits;
  first.OnExit = [&](rtl::Object& sender) { exits.push_back(&sender); };
  second.OnExit = [&](rtl::Object& sender) { exits.push_back(&sender); };
  form.Show();
  ASSERT_TRUE(first.Focused());
  EXPECT_TRUE(exits.empty());
  uidriver::PressKey(first.Handle(), VK_TAB);
  ASSERT_TRUE(PumpUntil([&] { return second.Focused(); }));
  EXPECT_EQ(exits, std::vector<rtl::Object*>{&first});
}

TEST_F(GuiTest, TabFollowsSetTabOrderThroughPanels) {
  gui::Form form(L"fmTabs");
  auto& a = form.Add<gui::Button>(L"btnA", L"A");
  auto& panel = form.Add<gui::Panel>(L"pnl");
  auto& inner = panel.Add<gui::Edit>(L"edtInner");
  auto& b = form.Add<gui::Button>(L"btnB", L"B");
  auto& skipped = form.Add<gui::Edit>(L"edtSkipped");
  skipped.SetTabStop(false);
  b.SetTabOrder(0);
  panel.SetTabOrder(1);
  EXPECT_EQ(b.TabOrder(), 0);
  EXPECT_EQ(panel.TabOrder(), 1);
  EXPECT_EQ(a.TabOrder(), 2);
  form.Show();
  ASSERT_TRUE(b.Focused());
  const std::vector<gui::Control*> expected{&inner, &a, &b, &inner};
  for (gui::Control* next : expected) {
    uidriver::PressKey(GetFocus(), VK_TAB);
    ASSERT_TRUE(PumpUntil([&] { return next->Focused(); })) << "expected " << rtl::ToUtf8(next->Name());
  }
  uidriver::PressKey(GetFocus(), VK_TAB);
  uidriver::PressKey(GetFocus(), VK_TAB);
  // Shift+Tab would need the key state; the reverse direction is SelectNext(false).
  ASSERT_TRUE(PumpUntil([&] { return b.Focused(); }));
  form.SelectNext(false);
  EXPECT_TRUE(a.Focused());
}

TEST_F(GuiTest, ComboSetItemIndexIsSilentAndTheOperatorsChoiceFiresOnChange) {
  gui::Form form(L"fmCombo");
  auto& combo = form.Add<gui::ComboBox>(L"cboBaudRate");
  combo.BeginUpdate();
  for (const auto& [text, value] : {std::pair{L"2400", 5}, {L"4800", 6}, {L"9600", 7}, {L"19200", 8}})
    combo.AddItem(text, value);
  combo.EndUpdate();
  std::vector<std::intptr_t> changes;
  combo.OnChange = [&](rtl::Object&) { changes.push_back(combo.ItemValue(combo.ItemIndex())); };
  ASSERT_EQ(combo.Count(), 4);
  EXPECT_EQ(combo.IndexOfValue(7), 2);
  EXPECT_EQ(combo.IndexOfValue(99), -1);
  combo.SetItemIndex(1);
  combo.SetItemIndex(-1);
  EXPECT_EQ(combo.ItemIndex(), -1);
  combo.SetItemIndex(2);
  form.Show();
  Pump(50);
  EXPECT_TRUE(changes.empty());

  // Keyboard: the down arrow in a closed list picks the next item.
  ASSERT_TRUE(combo.Focused());
  uidriver::PressKey(combo.Handle(), VK_DOWN);
  ASSERT_TRUE(PumpUntil([&] { return !changes.empty(); }));
  EXPECT_EQ(changes, std::vector<std::intptr_t>{8});
  // The list's own notification path, as the operator's mouse choice sends it.
  uidriver::SelectComboItem(combo.Handle(), 0);
  ASSERT_TRUE(PumpUntil([&] { return changes.size() == 2; }));
  EXPECT_EQ(changes.back(), 5);
  EXPECT_THROW(combo.ItemValue(4), rtl::Exception);
  combo.SetDroppedWidth(200);
  EXPECT_EQ(combo.DroppedWidth(), 200);
}

TEST_F(GuiTest, UpDownMovesAndFiresOnlyWhenAClickMovesThePosition) {
  gui::Form form(L"fmUpDown");
  auto& ud = form.Add<gui::UpDown>(L"udBaudRate");
  ud.SetBounds(312, 55, 16, 24);
  std::vector<gui::UDBtnType> clicks;
  ud.OnClick = [&](rtl::Object&, gui::UDBtnType button) { clicks.push_back(button); };
  ud.SetMax(100);
  ud.SetPosition(100);
  ud.SetPosition(120);  // clamped, and silent
  EXPECT_EQ(ud.Position(), 100);
  form.Show();

  // A real mouse click on the upper (lower) arrow, posted to the control.
  auto click = [&](bool up) {
    const LPARAM at = MAKELPARAM(8, up ? 5 : 19);
    PostMessageW(ud.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, at);
    PostMessageW(ud.Handle(), WM_LBUTTONUP, 0, at);
    Pump(150);
  };
  click(true);
  EXPECT_TRUE(clicks.empty());
  EXPECT_EQ(ud.Position(), 100);

  ud.SetPosition(5);
  click(true);
  ASSERT_EQ(clicks, std::vector<gui::UDBtnType>{gui::UDBtnType::btNext});
  EXPECT_EQ(ud.Position(), 6);
  click(false);
  EXPECT_EQ(clicks.back(), gui::UDBtnType::btPrev);
  EXPECT_EQ(ud.Position(), 5);

  ud.SetPosition(0);
  clicks.clear();
  click(false);
  EXPECT_TRUE(clicks.empty());
  EXPECT_EQ(ud.Position(), 0);
}

TEST_F(GuiTest, TimerTicksOnItsOwnThreadAndStopsWhenDisabled) {
  gui::Timer timer;
  timer.SetEnabled(false);
  timer.SetInterval(20);
  std::vector<DWORD> threads;
  timer.OnTimer = [&](rtl::Object& sender) {
    EXPECT_EQ(&sender, &timer);
    threads.push_back(GetCurrentThreadId());
  };
  Pump(100);
  EXPECT_TRUE(threads.empty());
  timer.SetEnabled(true);
  ASSERT_TRUE(PumpUntil([&] { return threads.size() >= 3; }));
  for (DWORD t : threads) EXPECT_EQ(t, GetCurrentThreadId());
  timer.SetEnabled(false);
  const auto ticks = threads.size();
  Pump(150);
  EXPECT_EQ(threads.size(), ticks);
}

TEST_F(GuiTest, ShowModalDisablesTheOwnerAndReturnsTheButtonsModalResult) {
  gui::Form owner(L"fmOwner");
  owner.Show();
  gui::Form dialog(L"fmDialog");
  dialog.SetCaption(L"Тест свойств устройств");
  dialog.SetPosition(gui::Position::ScreenCenter);
  auto& ok = dialog.Add<gui::Button>(L"btnOk", L"OK");
  ok.SetModalResult(gui::mrOk);
  int clicks = 0;
  ok.OnClick = [&](rtl::Object&) { ++clicks; };

  std::atomic<bool> ownerDisabled{false};
  std::thread helper([&] {
    const HWND wnd = uidriver::WaitForTopWindow(GetCurrentProcessId(), L"Тест свойств устройств");
    ownerDisabled = !IsWindowEnabled(owner.Handle());
    if (wnd) uidriver::Click(uidriver::FindControl(wnd, L"btnOk"));
  });
  const int result = dialog.ShowModal(owner.Handle());
  helper.join();
  EXPECT_EQ(result, gui::mrOk);
  EXPECT_EQ(clicks, 1);
  EXPECT_TRUE(ownerDisabled);
  EXPECT_TRUE(IsWindowEnabled(owner.Handle()));
  EXPECT_FALSE(IsWindowVisible(dialog.Handle()));
  EXPECT_EQ(GetWindow(dialog.Handle(), GW_OWNER), owner.Handle());

  // Closing the box instead ends the loop with mrCancel; Escape with the cancel button likewise.
  std::thread closer([&] {
    const HWND wnd = uidriver::WaitForTopWindow(GetCurrentProcessId(), L"Тест свойств устройств");
    if (wnd) PostMessageW(wnd, WM_CLOSE, 0, 0);
  });
  EXPECT_EQ(dialog.ShowModal(owner.Handle()), gui::mrCancel);
  closer.join();
}

TEST_F(GuiTest, LabelClickFiresAndControlsCarryTheirNames) {
  gui::Form form(L"fmAbout");
  auto& link = form.Add<gui::Label>(L"lblURL", L"http://example.com");
  link.SetCursor(LoadCursorW(nullptr, IDC_HAND));
  int clicks = 0;
  link.OnClick = [&](rtl::Object&) { ++clicks; };
  form.Show();
  PostMessageW(link.Handle(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(2, 2));
  PostMessageW(link.Handle(), WM_LBUTTONUP, 0, MAKELPARAM(2, 2));
  ASSERT_TRUE(PumpUntil([&] { return clicks == 1; }));
  EXPECT_EQ(uidriver::FindControl(form.Handle(), L"lblURL"), link.Handle());
  EXPECT_EQ(uidriver::ControlName(form.Handle()), L"fmAbout");
  EXPECT_EQ(gui::Control::FromHandle(link.Handle()), &link);
}

TEST_F(GuiTest, AListViewAsksOnlyForTheCellsItShowsAndKeepsItsSelectionByRow) {
  gui::Form form(L"fmList");
  form.SetClientSize(400, 200);
  auto& list = form.Add<gui::ListView>(L"lvRows");
  list.SetBounds(0, 0, 400, 200);
  list.AddColumn(L"№", 60, gui::Alignment::Right);
  list.AddColumn(L"Данные", 300);
  EXPECT_EQ(list.ColumnCount(), 2);
  EXPECT_EQ(list.ColumnWidth(1), 300);
  int asked = 0;
  list.OnGetText = [&](int row, int column) {
    ++asked;
    return column == 0 ? std::to_wstring(row + 1) : std::wstring(5000, L'ж');
  };
  list.SetRowCount(100000);
  form.Show();
  Pump(200);
  EXPECT_EQ(list.RowCount(), 100000);
  EXPECT_GT(asked, 0);
  EXPECT_LT(asked, 200) << "it asked for rows it does not show";
  // A cell longer than the control's buffer is cut, not overrun.
  EXPECT_EQ(uidriver::ListViewText(list.Handle(), 41, 0), L"42");
  EXPECT_GT(uidriver::ListViewText(list.Handle(), 41, 1).size(), 0u);

  list.SetSelected(3, true);
  list.SetSelected(7, true);
  EXPECT_EQ(list.SelectedRows(), (std::vector<int>{3, 7}));
  list.SetRowCount(5);
  EXPECT_EQ(list.SelectedRows(), std::vector<int>{3});
  list.SelectAll();
  EXPECT_EQ(list.SelectedCount(), 5);
  list.ClearSelection();
  EXPECT_EQ(list.SelectedCount(), 0);

  // Ctrl and a key reach OnKeyDown before the control.
  WORD seen = 0;
  list.OnKeyDown = [&](rtl::Object&, WORD& key, gui::ShiftState) {
    seen = key;
    key = 0;
  };
  list.SetFocus();
  uidriver::PressKey(list.Handle(), 'A');
  ASSERT_TRUE(PumpUntil([&] { return seen == 'A'; }));
}

TEST_F(GuiTest, WindowMenuItemsFireOnSystemCommandAndResizingFiresOnResizeAboveTheMinimum) {
  gui::Form form(L"fmMenu");
  UINT chosen = 0;
  form.OnSystemCommand = [&](rtl::Object& sender, UINT id) {
    EXPECT_EQ(&sender, &form);
    chosen = id;
  };
  form.AddSystemMenuItem(0x0100, L"Журнал событий…", true);
  form.AddSystemMenuItem(0x0110, L"Копировать последнее событие");
  EXPECT_THROW(form.AddSystemMenuItem(0x0105, L"x"), rtl::Exception);
  EXPECT_THROW(form.AddSystemMenuItem(SC_CLOSE, L"x"), rtl::Exception);
  const HMENU menu = GetSystemMenu(form.Handle(), FALSE);
  wchar_t text[64] = {};
  GetMenuStringW(menu, 0x0110, text, 64, MF_BYCOMMAND);
  EXPECT_STREQ(text, L"Копировать последнее событие");
  SendMessageW(form.Handle(), WM_SYSCOMMAND, 0x0110, 0);
  EXPECT_EQ(chosen, 0x0110u);
  // The system's own commands still work.
  form.Show();
  chosen = 0;
  SendMessageW(form.Handle(), WM_SYSCOMMAND, SC_MINIMIZE, 0);
  EXPECT_TRUE(IsIconic(form.Handle()));
  EXPECT_EQ(chosen, 0u);
  ShowWindow(form.Handle(), SW_RESTORE);

  int resized = 0;
  form.OnResize = [&](rtl::Object&) { ++resized; };
  form.SetMinClientSize(300, 150);
  form.SetClientSize(500, 400);
  EXPECT_GT(resized, 0);
  EXPECT_EQ(form.ClientWidth(), 500);
  SetWindowPos(form.Handle(), nullptr, 0, 0, 20, 20, SWP_NOMOVE | SWP_NOZORDER);
  EXPECT_EQ(form.ClientWidth(), 300);
  EXPECT_EQ(form.ClientHeight(), 150);
}

TEST_F(GuiTest, TheClipboardTakesUnicodeText) {
  uidriver::EmptyClipboardNow();
  gui::SetClipboardText(L"1\tЁж\t<CR>\r\n");
  EXPECT_EQ(uidriver::ClipboardText(), L"1\tЁж\t<CR>\r\n");
}

}  // namespace
