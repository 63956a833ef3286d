// The logical devices dialog in process, over a real wrapper and the driver
// stand-in: one dialog is shown for the whole suite (every opening costs
// seconds under Xvfb) and the driver is reset before each test.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Fmu/fmuLgDev.h"
#include "gui/Application.h"
#include "tests/app/AppTestSupport.h"
#include "tests/devices/DevicesTestSupport.h"
#include "tests/support/UiDriver.h"

namespace {

using namespace devtest;

// One end of the serial pair the ctest wrapper makes: a port that opens.
constexpr int kLinePort = 51;

// What reached the application's exception hook that was in place before
// the dialog: with the dialog open, nothing should.
std::vector<std::wstring> gOuterHookCalls;

void InstallOuterHook() {
  gOuterHookCalls.clear();
  gui::Application::Instance().OnException = [](rtl::Object*, const std::exception& e) {
    gOuterHookCalls.push_back(gui::ExceptionMessage(e));
  };
}

// Hands an exception to the application as an event handler's failure would.
void RaiseThroughApplication(const std::wstring& message) {
  try {
    throw rtl::Exception(message);
  } catch (...) {
    gui::Application::Instance().HandleException(nullptr);
  }
}

std::vector<std::wstring> Items(const gui::ComboBox& list) {
  std::vector<std::wstring> items;
  for (int i = 0; i < list.Count(); ++i) items.push_back(list.ItemText(i));
  return items;
}

template <class Table>
void ExpectListHolds(const gui::ComboBox& list, const Table& table) {
  ASSERT_EQ(list.Count(), static_cast<int>(table.size())) << rtl::ToUtf8(list.Name());
  for (int i = 0; i < list.Count(); ++i) {
    EXPECT_EQ(list.ItemText(i), table[static_cast<std::size_t>(i)].ItemName) << rtl::ToUtf8(list.Name());
    EXPECT_EQ(list.ItemValue(i), table[static_cast<std::size_t>(i)].ItemValue) << rtl::ToUtf8(list.Name());
  }
}

void ExpectFontEverywhere(const gui::WinControl& parent, const gui::Font& expected) {
  for (const gui::Control* control : parent.Controls()) {
    EXPECT_EQ(control->Font(), expected) << rtl::ToUtf8(control->Name());
    if (const auto* container = dynamic_cast<const gui::WinControl*>(control)) {
      ExpectFontEverywhere(*container, expected);
    }
  }
}

class DevicesDialog : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gui::Application::Instance().Initialize();
    ResetDriverStore();
    apptest::RegisterDriver();
    scaner_ = std::make_unique<TScanerX>();
    scaner_->Scaner();
  }
  static void TearDownTestSuite() {
    dialog_.reset();
    scaner_->DoneScaner();
    scaner_.reset();
    gui::Application::Instance().OnException = nullptr;
  }

  void SetUp() override {
    if (!dialog_) {
      InstallOuterHook();
      dialog_ = std::make_unique<TfmDevices>();
      dialog_->Init(*scaner_, gui::Font{});
      dialog_->Show();
    }
    gOuterHookCalls.clear();
    scaner_->SetLockDevices(0);
    scaner_->ClearDevices();
    scaner_->SetDeviceEnabled(false);
    dialog_->UpdateForm();
    dialog_->btnClose.SetFocus();
    Pump(20);
  }
  void TearDown() override {
    EXPECT_TRUE(gOuterHookCalls.empty()) << "an exception escaped the dialog's hook";
  }

  TfmDevices& dlg() { return *dialog_; }
  TScanerX& scaner() { return *scaner_; }

  // Focuses edit, replaces its text from code (which writes nothing) and
  // presses Enter in it.
  void EnterText(gui::Edit& edit, const std::wstring& text) {
    edit.SetFocus();
    ASSERT_TRUE(PumpUntil([&] { return edit.Focused(); }));
    edit.SetText(text);
    uidriver::PressKey(edit.Handle(), VK_RETURN);
    Pump(100);
  }
  void ChooseItem(gui::ComboBox& list, int index) {
    uidriver::SelectComboItem(list.Handle(), index);
    Pump(100);
  }
  void ClickButton(gui::Button& button) {
    uidriver::Click(button.Handle());
    Pump(100);
  }
  void ClickUpDown(gui::UpDown& upDown, bool up) {
    PostUpDownClick(upDown.Handle(), up);
    Pump(150);
  }
  // Makes the result fields show a failure the driver reported on its own
  // call, so that a later refresh (which shows 0) is visible.
  void ShowAFailedCall() {
    EXPECT_THROW(scaner().SetCurrentDeviceIndex(77), EScanerX);
    GetResultIntoFields();
  }
  void GetResultIntoFields() {
    dlg().edtResultCode.SetText(std::to_wstring(scaner().GetResultCode()));
    dlg().edtResultDescription.SetText(scaner().GetResultDescription());
  }

  static std::unique_ptr<TScanerX> scaner_;
  static std::unique_ptr<TfmDevices> dialog_;
};

std::unique_ptr<TScanerX> DevicesDialog::scaner_;
std::unique_ptr<TfmDevices> DevicesDialog::dialog_;

// --- opening ------------------------------------------------------------------

TEST_F(DevicesDialog, OpensShowingTheResultOfTheLastCallBeforeIt) {
  EXPECT_THROW(scaner().SetCurrentDeviceNumber(42), EScanerX);
  TfmDevices fresh;
  fresh.Init(scaner(), gui::Font{});
  EXPECT_EQ(fresh.edtResultCode.Text(), L"-9");
  EXPECT_EQ(fresh.edtResultDescription.Text(), L"Логическое устройство не найдено");
  // The other fields are filled all the same.
  EXPECT_EQ(fresh.edtDeviceCount.Text(), L"1");
  EXPECT_EQ(fresh.edtDeviceName.Text(), L"Сканер штрих-кода");
  EXPECT_EQ(fresh.cbDeviceIndex.ItemIndex(), 0);
  EXPECT_EQ(fresh.cbDeviceNumber.ItemIndex(), 0);
  EXPECT_EQ(fresh.edtBaudRate.Text(), L"7");
  EXPECT_EQ(fresh.cboBaudRate.ItemText(fresh.cboBaudRate.ItemIndex()), L"9600");
  EXPECT_EQ(fresh.udBaudRate.Position(), 7);
  EXPECT_EQ(fresh.cboDataBits.ItemText(fresh.cboDataBits.ItemIndex()), L"8");
  EXPECT_EQ(fresh.cboModelID.ItemIndex(), 0);
  EXPECT_FALSE(fresh.chkDeviceEnabled.Checked());
}

TEST_F(DevicesDialog, LayoutListsAndLimits) {
  TfmDevices fresh;
  EXPECT_EQ(fresh.Caption(), kDialogCaption);
  EXPECT_EQ(fresh.ClientWidth(), 478);
  EXPECT_EQ(fresh.ClientHeight(), 416);
  const LONG style = GetWindowLongW(fresh.Handle(), GWL_STYLE);
  EXPECT_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
  EXPECT_NE(GetWindowLongW(fresh.Handle(), GWL_EXSTYLE) & WS_EX_DLGMODALFRAME, 0);
  EXPECT_EQ(fresh.Position(), gui::Position::ScreenCenter);
  EXPECT_EQ(fresh.ActiveControl(), &fresh.btnClose);
  EXPECT_EQ(fresh.edtDeviceName.MaxLength(), 24);
  EXPECT_EQ(fresh.btnClose.Left(), 360);
  EXPECT_EQ(fresh.btnClose.Top(), 384);
  EXPECT_EQ(fresh.edtModelID.Top(), 176);
  EXPECT_EQ(fresh.udModelID.Top(), 175);

  std::vector<std::wstring> indexes, numbers, ports;
  for (int i = 0; i < 99; ++i) {
    indexes.push_back(std::to_wstring(i));
    numbers.push_back(std::to_wstring(i + 1));
  }
  EXPECT_EQ(Items(fresh.cbDeviceIndex), indexes);
  EXPECT_EQ(Items(fresh.cbDeviceNumber), numbers);
  ASSERT_EQ(fresh.cboPortNumber.Count(), 32);
  for (int i = 0; i < 32; ++i) {
    EXPECT_EQ(fresh.cboPortNumber.ItemText(i), L"COM " + std::to_wstring(i + 1));
    EXPECT_EQ(fresh.cboPortNumber.ItemValue(i), i + 1);
  }
  ExpectListHolds(fresh.cboBaudRate, BaudRates);
  ExpectListHolds(fresh.cboParity, Parities);
  ExpectListHolds(fresh.cboDataBits, DataBits);
  ExpectListHolds(fresh.cboStopBits, StopBits);
  ExpectListHolds(fresh.cboStopFlag, StopFlag);
  ExpectListHolds(fresh.cboModelID, ModelID);
  EXPECT_EQ(fresh.cboModelID.DroppedWidth(), 200);
  EXPECT_EQ(fresh.cboModelID.Width(), 153);
  for (const gui::UpDown* ud : {&fresh.udPortNumber, &fresh.udBaudRate, &fresh.udParity, &fresh.udDataBits,
                                &fresh.udStopBits, &fresh.udStopFlag, &fresh.udModelID}) {
    EXPECT_EQ(ud->Min(), 0);
    EXPECT_EQ(ud->Max(), 100);
    EXPECT_EQ(ud->Position(), 0);
  }

  // Tab order: the top panel, the bottom panel row by row, then the buttons.
  std::vector<gui::Control*> order;
  fresh.CollectTabOrder(order);
  std::vector<std::wstring> stops;
  for (const gui::Control* c : order)
    if (c->TabStop() && c->CanFocus()) stops.push_back(c->Name());
  EXPECT_EQ(stops,
            (std::vector<std::wstring>{
                L"cbDeviceIndex", L"cbDeviceNumber", L"edtDeviceCount", L"edtDeviceName",    L"cboPortNumber",
                L"edtPortNumber", L"cboBaudRate",    L"edtBaudRate",    L"cboParity",        L"edtParity",
                L"cboDataBits",   L"edtDataBits",    L"cboStopBits",    L"edtStopBits",      L"cboStopFlag",
                L"edtStopFlag",   L"cboModelID",     L"edtModelID",     L"chkDeviceEnabled", L"btnAdd",
                L"btnDelete",     L"btnClose"}));
}

TEST_F(DevicesDialog, InitTakesACopyOfTheCallersFontForEveryControl) {
  gui::Font font;
  font.Name = L"Arial";
  font.Size = 10;
  font.Style.Bold = true;
  TfmDevices fresh;
  fresh.Init(scaner(), font);
  font.Size = 14;  // the caller's object changes later; the dialog's does not
  EXPECT_EQ(fresh.Font().Size, 10);
  ExpectFontEverywhere(fresh, fresh.Font());
  EXPECT_EQ(fresh.edtResultCode.Font().Name, L"Arial");
}

TEST_F(DevicesDialog, OwnsTheApplicationsExceptionHookFromCreationToDestruction) {
  // The suite's dialog holds the hook now; a second one stacks on it.
  {
    TfmDevices fresh;
    fresh.Init(scaner(), gui::Font{});
    RaiseThroughApplication(L"inner");
    EXPECT_EQ(fresh.edtResultDescription.Text(), L"inner");
  }
  RaiseThroughApplication(L"outer");
  EXPECT_EQ(dlg().edtResultDescription.Text(), L"outer");
  EXPECT_TRUE(gOuterHookCalls.empty());
}

// --- the device list ------------------------------------------------------------

TEST_F(DevicesDialog, AddAndDeleteChangeTheCount) {
  ClickButton(dlg().btnAdd);
  EXPECT_EQ(dlg().edtDeviceCount.Text(), L"2");
  EXPECT_EQ(scaner().GetDeviceCount(), 2);
  EXPECT_EQ(dlg().edtDeviceName.Text(), L"Устройство 2");  // the new device is current
  EXPECT_EQ(dlg().cbDeviceIndex.ItemIndex(), 1);
  EXPECT_EQ(dlg().cbDeviceNumber.ItemIndex(), 1);
  EXPECT_EQ(dlg().edtResultCode.Text(), L"0");
  ClickButton(dlg().btnAdd);
  EXPECT_EQ(dlg().edtDeviceCount.Text(), L"3");
  ClickButton(dlg().btnDelete);
  EXPECT_EQ(dlg().edtDeviceCount.Text(), L"2");
  EXPECT_EQ(scaner().GetDeviceCount(), 2);
}

TEST_F(DevicesDialog, ARefusedDeleteShowsTheDriversCodeAndRereadsEveryControl) {
  // Scribble over the fields from code (no writes): the refresh must put
  // the driver's values back.
  for (gui::Edit* edit : {&dlg().edtDeviceCount, &dlg().edtDeviceName, &dlg().edtPortNumber,
                          &dlg().edtBaudRate, &dlg().edtModelID}) {
    edit->SetText(L"stale");
  }
  SafeSetComboBox(dlg().cboParity, 3);
  SafeSetComboBox(dlg().cbDeviceNumber, 7);
  ClickButton(dlg().btnDelete);  // the last device: refused with -8
  EXPECT_EQ(dlg().edtResultCode.Text(), L"-8");
  EXPECT_EQ(dlg().edtResultDescription.Text(), L"Невозможно удалить устройство");
  EXPECT_EQ(dlg().edtDeviceCount.Text(), L"1");
  EXPECT_EQ(dlg().edtDeviceName.Text(), L"Сканер штрих-кода");
  EXPECT_EQ(dlg().edtPortNumber.Text(), L"1");
  EXPECT_EQ(dlg().edtBaudRate.Text(), L"7");
  EXPECT_EQ(dlg().edtModelID.Text(), L"0");
  EXPECT_EQ(dlg().cboParity.ItemIndex(), 0);
  EXPECT_EQ(dlg().cbDeviceNumber.ItemIndex(), 0);
  EXPECT_EQ(scaner().GetDeviceCount(), 1);
}

TEST_F(DevicesDialog, ListsWriteIndexAsPositionAndNumberAsPositionPlusOne) {
  for (int i = 0; i < 5; ++i) scaner().AddDevice();
  scaner().SetCurrentDeviceIndex(0);
  dlg().UpdateForm();
  ChooseItem(dlg().cbDeviceIndex, 4);  // the 5th entry, "4"
  EXPECT_EQ(scaner().GetCurrentDeviceIndex(), 4);
  EXPECT_EQ(dlg().cbDeviceNumber.ItemIndex(), 4);  // re-read: number 5

  scaner().SetCurrentDeviceIndex(0);
  dlg().UpdateForm();
  ChooseItem(dlg().cbDeviceNumber, 4);  // the 5th entry, "5"
  EXPECT_EQ(scaner().GetCurrentDeviceNumber(), 5);
  EXPECT_EQ(dlg().cbDeviceIndex.ItemIndex(), 4);
  EXPECT_EQ(dlg().edtDeviceName.Text(), L"Устройство 5");

  // A device that does not exist: refused, and the list snaps back.
  ChooseItem(dlg().cbDeviceNumber, 50);
  EXPECT_EQ(dlg().edtResultCode.Text(), L"-9");
  EXPECT_EQ(dlg().cbDeviceNumber.ItemIndex(), 4);
}

TEST_F(DevicesDialog, ARefreshWritesNothing) {
  // Values from the driver change every list, edit and the check box, yet
  // the driver sees only reads. A write would run a nested refresh, which
  // would replace the failed call's -9 in the result fields.
  scaner().AddDevice();
  scaner().SetBaudRate(10);
  scaner().SetParity(2);
  scaner().SetPortNumber(kLinePort);
  scaner().SetDeviceEnabled(true);
  EXPECT_THROW(scaner().SetCurrentDeviceIndex(77), EScanerX);
  dlg().UpdateForm();
  EXPECT_EQ(dlg().edtResultCode.Text(), L"-9");
  EXPECT_TRUE(dlg().chkDeviceEnabled.Checked());
  EXPECT_EQ(dlg().cboBaudRate.ItemText(dlg().cboBaudRate.ItemIndex()), L"19200");
  EXPECT_EQ(dlg().cboParity.ItemText(dlg().cboParity.ItemIndex()), L"Четность");
  EXPECT_EQ(dlg().cbDeviceIndex.ItemIndex(), 1);
  EXPECT_EQ(dlg().edtPortNumber.Text(), std::to_wstring(kLinePort));

  // The operator switches it off through the box.
  uidriver::Click(dlg().chkDeviceEnabled.Handle());
  ASSERT_TRUE(PumpUntil([&] { return !scaner().GetDeviceEnabled(); }));
  EXPECT_FALSE(dlg().chkDeviceEnabled.Checked());
  EXPECT_EQ(dlg().edtResultCode.Text(), L"0");
}

// --- the name and the on/off state --------------------------------------------------

TEST_F(DevicesDialog, EnterInTheNameWritesAndKeepsTheFocusEscapeDoesNothing) {
  dlg().edtDeviceName.SetFocus();
  ASSERT_TRUE(PumpUntil([&] { return dlg().edtDeviceName.Focused(); }));
  dlg().edtDeviceName.SetText(L"Касса 1");
  uidriver::PressKey(dlg().edtDeviceName.Handle(), VK_ESCAPE);
  Pump(100);
  EXPECT_EQ(scaner().GetCurrentDeviceName(), L"Сканер штрих-кода");
  EXPECT_EQ(dlg().edtDeviceName.Text(), L"Касса 1");
  EXPECT_TRUE(IsWindowVisible(dlg().Handle()));

  uidriver::PressKey(dlg().edtDeviceName.Handle(), VK_RETURN);
  ASSERT_TRUE(PumpUntil([&] { return scaner().GetCurrentDeviceName() == L"Касса 1"; }));
  EXPECT_TRUE(dlg().edtDeviceName.Focused());
  EXPECT_EQ(dlg().edtDeviceName.Text(), L"Касса 1");
}

TEST_F(DevicesDialog, EveryEditDropsCarriageReturnAndEscapeCharacters) {
  for (gui::Edit* edit : {&dlg().edtDeviceName, &dlg().edtPortNumber, &dlg().edtBaudRate, &dlg().edtParity,
                          &dlg().edtDataBits, &dlg().edtStopBits, &dlg().edtStopFlag, &dlg().edtModelID}) {
    SCOPED_TRACE(rtl::ToUtf8(edit->Name()));
    ASSERT_TRUE(edit->OnKeyPress);
    for (const auto& [typed, passed] : std::initializer_list<std::pair<wchar_t, wchar_t>>{
             {L'\r', 0}, {L'\x1B', 0}, {L'7', L'7'}, {L'\n', L'\n'}}) {
      wchar_t key = typed;
      edit->OnKeyPress(*edit, key);
      EXPECT_EQ(key, passed) << static_cast<int>(typed);
    }
  }
}

TEST_F(DevicesDialog, LeavingTheNameWritesItAndARefusedNameSnapsBack) {
  dlg().edtDeviceName.SetFocus();
  ASSERT_TRUE(PumpUntil([&] { return dlg().edtDeviceName.Focused(); }));
  dlg().edtDeviceName.SetText(L"Склад");
  dlg().edtBaudRate.SetFocus();
  ASSERT_TRUE(PumpUntil([&] { return scaner().GetCurrentDeviceName() == L"Склад"; }));

  EnterText(dlg().edtDeviceName, L"");  // the driver wants 1 to 128 characters
  EXPECT_EQ(dlg().edtResultCode.Text(), L"-6");
  EXPECT_EQ(dlg().edtResultDescription.Text(), L"Недопустимое значение");
  EXPECT_EQ(dlg().edtDeviceName.Text(), L"Склад");
}

TEST_F(DevicesDialog, TheNameTakesAtMost24TypedCharactersButShowsLongerOnes) {
  dlg().edtDeviceName.SetText(L"");
  uidriver::TypeText(dlg().edtDeviceName.Handle(), std::wstring(30, L'Я'));
  Pump(100);
  EXPECT_EQ(dlg().edtDeviceName.Text(), std::wstring(24, L'Я'));
  uidriver::PressKey(dlg().edtDeviceName.Handle(), VK_RETURN);
  ASSERT_TRUE(PumpUntil([&] { return scaner().GetCurrentDeviceName() == std::wstring(24, L'Я'); }));

  const std::wstring longName(40, L'Ж');
  scaner().SetCurrentDeviceName(longName);
  dlg().UpdateForm();
  EXPECT_EQ(dlg().edtDeviceName.Text(), longName);
}

TEST_F(DevicesDialog, ARefusedSwitchOnLeavesTheBoxOff) {
  scaner().SetPortNumber(59);  // nothing is linked there
  dlg().UpdateForm();
  uidriver::Click(dlg().chkDeviceEnabled.Handle());
  ASSERT_TRUE(PumpUntil([&] { return dlg().edtResultCode.Text() == L"-3"; }));
  EXPECT_EQ(dlg().edtResultDescription.Text(), L"Порт недоступен");
  EXPECT_FALSE(dlg().chkDeviceEnabled.Checked());
  EXPECT_FALSE(scaner().GetDeviceEnabled());
}

// --- the parameter editors ---------------------------------------------------------------

TEST_F(DevicesDialog, PickingFromAListWritesItsCodeAndTheTriadFollows) {
  ChooseItem(dlg().cboBaudRate, 2);  // "1200"
  EXPECT_EQ(scaner().GetBaudRate(), 3);
  EXPECT_EQ(dlg().edtBaudRate.Text(), L"3");
  EXPECT_EQ(dlg().udBaudRate.Position(), 3);
  ChooseItem(dlg().cboModelID, 2);  // the restaurant keyboard
  EXPECT_EQ(scaner().GetModel(), 5);
  EXPECT_EQ(dlg().edtModelID.Text(), L"5");
  ChooseItem(dlg().cboPortNumber, 31);  // "COM 32"
  EXPECT_EQ(scaner().GetPortNumber(), 32);
  ChooseItem(dlg().cboStopFlag, 2);
  EXPECT_EQ(scaner().GetStopFlag(), 2);
  ChooseItem(dlg().cboStopBits, 1);
  EXPECT_EQ(scaner().GetStopBits(), 2);
  ChooseItem(dlg().cboParity, 4);
  EXPECT_EQ(scaner().GetParity(), 4);
  ChooseItem(dlg().cboDataBits, 0);
  EXPECT_EQ(scaner().GetDataBits(), 3);
  EXPECT_EQ(dlg().edtResultCode.Text(), L"0");
}

TEST_F(DevicesDialog, EditsTakeTheClassicIntegerForms) {
  EnterText(dlg().edtBaudRate, L"$0C");
  EXPECT_EQ(scaner().GetBaudRate(), 12);
  EXPECT_EQ(dlg().cboBaudRate.ItemText(dlg().cboBaudRate.ItemIndex()), L"38400");
  EXPECT_EQ(dlg().edtBaudRate.Text(), L"12");
  EXPECT_EQ(dlg().udBaudRate.Position(), 12);
  EXPECT_TRUE(dlg().edtBaudRate.Focused());

  EnterText(dlg().edtPortNumber, L"0x28");  // 40: accepted, and not in the list
  EXPECT_EQ(scaner().GetPortNumber(), 40);
  EXPECT_EQ(dlg().cboPortNumber.ItemIndex(), -1);
  EXPECT_EQ(dlg().edtPortNumber.Text(), L"40");

  EnterText(dlg().edtPortNumber, L"200");  // beyond the up-down's range
  EXPECT_EQ(scaner().GetPortNumber(), 200);
  EXPECT_EQ(dlg().udPortNumber.Position(), 100);
}

TEST_F(DevicesDialog, TextThatIsNoIntegerIsReportedAndTheDriversValueComesBack) {
  ShowAFailedCall();
  EnterText(dlg().edtParity, L"abc");
  EXPECT_EQ(dlg().edtResultDescription.Text(), L"\"abc\" не является целым числом");
  EXPECT_EQ(dlg().edtParity.Text(), L"0");
  // No driver call was made: the refresh shows the result of the last call
  // before the action, which a write would have replaced.
  EXPECT_EQ(dlg().edtResultCode.Text(), L"-9");
  EXPECT_TRUE(dlg().edtParity.Focused());
  EXPECT_EQ(scaner().GetParity(), 0);

  // An empty text, by leaving the edit.
  dlg().edtStopBits.SetFocus();
  ASSERT_TRUE(PumpUntil([&] { return dlg().edtStopBits.Focused(); }));
  dlg().edtStopBits.SetText(L"");
  dlg().btnAdd.SetFocus();
  ASSERT_TRUE(PumpUntil([&] { return dlg().edtStopBits.Text() == L"0"; }));
  EXPECT_EQ(dlg().edtResultDescription.Text(), L"\"\" не является целым числом");
  EXPECT_EQ(scaner().GetDeviceCount(), 1);  // the focus moved; nothing was pressed
}

TEST_F(DevicesDialog, AValueTheDriverRefusesSnapsBackInAllThreeControls) {
  EnterText(dlg().edtDataBits, L"9");
  EXPECT_EQ(dlg().edtResultCode.Text(), L"-6");
  EXPECT_EQ(dlg().edtResultDescription.Text(), L"Недопустимое значение");
  EXPECT_EQ(dlg().edtDataBits.Text(), L"4");
  EXPECT_EQ(dlg().cboDataBits.ItemText(dlg().cboDataBits.ItemIndex()), L"8");
  EXPECT_EQ(dlg().udDataBits.Position(), 4);
  // Stepping up from 4 asks for 5: refused, the up-down returns to 4.
  ClickUpDown(dlg().udDataBits, true);
  EXPECT_EQ(dlg().edtResultCode.Text(), L"-6");
  EXPECT_EQ(dlg().udDataBits.Position(), 4);
  EXPECT_EQ(scaner().GetDataBits(), 4);
}

TEST_F(DevicesDialog, UpDownsStepTheCodeByOne) {
  scaner().SetBaudRate(5);
  dlg().UpdateForm();
  ClickUpDown(dlg().udBaudRate, true);  // 6 has no row
  EXPECT_EQ(scaner().GetBaudRate(), 6);
  EXPECT_EQ(dlg().cboBaudRate.ItemIndex(), -1);
  EXPECT_EQ(dlg().edtBaudRate.Text(), L"6");
  ClickUpDown(dlg().udBaudRate, false);
  ClickUpDown(dlg().udBaudRate, false);
  EXPECT_EQ(scaner().GetBaudRate(), 4);
  EXPECT_EQ(dlg().cboBaudRate.ItemText(dlg().cboBaudRate.ItemIndex()), L"2400");
}

TEST_F(DevicesDialog, UpDownsAtTheirLimitsNeitherMoveNorWrite) {
  scaner().SetPortNumber(100);
  dlg().UpdateForm();
  ShowAFailedCall();  // a write and its refresh would replace this -9
  ClickUpDown(dlg().udPortNumber, true);
  EXPECT_EQ(dlg().udPortNumber.Position(), 100);
  EXPECT_EQ(scaner().GetPortNumber(), 100);
  EXPECT_EQ(dlg().edtResultCode.Text(), L"-9");

  ClickUpDown(dlg().udParity, false);  // parity 0
  EXPECT_EQ(dlg().udParity.Position(), 0);
  EXPECT_EQ(dlg().edtResultCode.Text(), L"-9");
  EXPECT_EQ(scaner().GetParity(), 0);

  ClickUpDown(dlg().udParity, true);  // and a real step does write
  EXPECT_EQ(scaner().GetParity(), 1);
  EXPECT_EQ(dlg().edtResultCode.Text(), L"0");
}

}  // namespace
