// The seven port-parameter triads of the devices dialog against a control
// that records what is written to it (tests/units/FakeScaner.h): the list,
// the edit and the up-down of each row write exactly their own property, and
// a refresh sets all three controls of every row.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "FakeScaner.h"
#include "Fmu/fmuLgDev.h"
#include "driver/DispatchIds.h"
#include "gui/Application.h"
#include "tests/devices/DevicesTestSupport.h"
#include "tests/support/UiDriver.h"

namespace {

using namespace dravix;
using namespace devtest;

class ParamEditors : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gui::Application::Instance().Initialize(); }
  void SetUp() override {
    registration_ = std::make_unique<FakeScanerRegistration>(state_);
    Driver(kResultCode, 0);
    state_.Properties[kResultDescription] = TestVariant::Str(L"Ошибок нет");
    state_.Properties[kCurrentDeviceName] = TestVariant::Str(L"Касса");
    state_.Properties[kDeviceEnabled] = TestVariant::Bool(VARIANT_FALSE);
    Driver(kCurrentDeviceIndex, 0);
    Driver(kCurrentDeviceNumber, 1);
    Driver(kDeviceCount, 1);
    for (const DISPID id : {kPortNumber, kBaudRate, kParity, kDataBits, kStopBits, kStopFlag, kModel}) {
      Driver(id, 0);
    }
    scaner_ = std::make_unique<TScanerX>();
    dialog_ = std::make_unique<TfmDevices>();
    dialog_->Init(*scaner_, gui::Font{});
    dialog_->Show();
  }
  void TearDown() override {
    dialog_.reset();
    scaner_.reset();
    registration_.reset();
    gui::Application::Instance().OnException = nullptr;
  }
  void Driver(DISPID id, LONG value) { state_.Properties[id] = TestVariant::Int(value); }

  // Puts the focus on control; leaving an edit writes it, so what is written
  // from here on is the next action's alone.
  void FocusOn(gui::Control& control) {
    control.SetFocus();
    ASSERT_TRUE(PumpUntil([&] { return control.Focused(); }));
    Pump(50);
    state_.Writes.clear();
  }
  // The one write of the last action: its property and value.
  void ExpectOneWrite(DISPID id, LONG value) {
    ASSERT_EQ(state_.Writes.size(), 1u);
    EXPECT_EQ(state_.Writes[0].first, id);
    EXPECT_EQ(state_.Writes[0].second.Get().vt, VT_I4);
    EXPECT_EQ(state_.Writes[0].second.Get().lVal, value);
  }

  FakeScanerState state_;
  std::unique_ptr<FakeScanerRegistration> registration_;
  std::unique_ptr<TScanerX> scaner_;
  std::unique_ptr<TfmDevices> dialog_;
};

TEST_F(ParamEditors, EachEditorWritesItsOwnPropertyAndARefreshSetsTheWholeTriad) {
  TfmDevices& d = *dialog_;
  struct Row {
    const char* Name;
    DISPID Id;
    gui::ComboBox& List;
    gui::Edit& Editor;
    gui::UpDown& Steps;
  };
  for (const Row& row : {Row{"port number", kPortNumber, d.cboPortNumber, d.edtPortNumber, d.udPortNumber},
                         Row{"baud rate", kBaudRate, d.cboBaudRate, d.edtBaudRate, d.udBaudRate},
                         Row{"parity", kParity, d.cboParity, d.edtParity, d.udParity},
                         Row{"data bits", kDataBits, d.cboDataBits, d.edtDataBits, d.udDataBits},
                         Row{"stop bits", kStopBits, d.cboStopBits, d.edtStopBits, d.udStopBits},
                         Row{"stop flag", kStopFlag, d.cboStopFlag, d.edtStopFlag, d.udStopFlag},
                         Row{"model", kModel, d.cboModelID, d.edtModelID, d.udModelID}}) {
    SCOPED_TRACE(row.Name);
    // The list: the chosen item's code, and the edit and up-down follow.
    const int last = row.List.Count() - 1;
    const auto code = static_cast<LONG>(row.List.ItemValue(last));
    FocusOn(d.btnClose);
    uidriver::SelectComboItem(row.List.Handle(), last);
    ASSERT_TRUE(PumpUntil([&] { return !state_.Writes.empty(); }));
    Pump(50);
    ExpectOneWrite(row.Id, code);
    EXPECT_EQ(row.Editor.Text(), std::to_wstring(code));
    EXPECT_EQ(row.Steps.Position(), code);

    // The edit, by Enter: any integer, with no row in the list.
    FocusOn(row.Editor);
    row.Editor.SetText(L"42");
    uidriver::PressKey(row.Editor.Handle(), VK_RETURN);
    ASSERT_TRUE(PumpUntil([&] { return !state_.Writes.empty(); }));
    Pump(50);
    ExpectOneWrite(row.Id, 42);
    EXPECT_EQ(row.List.ItemIndex(), row.List.IndexOfValue(42));
    EXPECT_EQ(row.Steps.Position(), 42);

    // The up-down: one step up from where it stands.
    FocusOn(d.btnClose);
    PostUpDownClick(row.Steps.Handle(), true);
    ASSERT_TRUE(PumpUntil([&] { return !state_.Writes.empty(); }));
    Pump(50);
    ExpectOneWrite(row.Id, 43);
    EXPECT_EQ(row.Editor.Text(), L"43");

    // A refresh sets list, edit and up-down from the driver, writing nothing.
    state_.Writes.clear();
    Driver(row.Id, static_cast<LONG>(row.List.ItemValue(0)));
    d.UpdateForm();
    EXPECT_EQ(row.List.ItemIndex(), 0);
    EXPECT_EQ(row.Editor.Text(), std::to_wstring(row.List.ItemValue(0)));
    EXPECT_EQ(row.Steps.Position(), row.List.ItemValue(0));
    EXPECT_TRUE(state_.Writes.empty());
  }
  EXPECT_EQ(d.edtResultCode.Text(), L"0");
}

}  // namespace
