// How the dialog's refresh treats reads that fail, against a control whose
// accesses can be made to fail one by one (tests/units/FakeScaner.h): each
// field's own rule, and a failed on/off read that stops the pass.
#include <gtest/gtest.h>

#include <memory>

#include "FakeScaner.h"
#include "Fmu/fmuLgDev.h"
#include "driver/DispatchIds.h"
#include "gui/Application.h"

namespace {

using namespace dravix;
// The driver's dispatch ids of the properties the dialog reads.

const FakeFailure kBroken{E_ACCESSDENIED, L"Сбой чтения"};

class RefreshFailures : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gui::Application::Instance().Initialize(); }
  void SetUp() override {
    registration_ = std::make_unique<FakeScanerRegistration>(state_);
    Driver(kResultCode, 0);
    state_.Properties[kResultDescription] = TestVariant::Str(L"Ошибок нет");
    state_.Properties[kCurrentDeviceName] = TestVariant::Str(L"Касса");
    state_.Properties[kDeviceEnabled] = TestVariant::Bool(VARIANT_FALSE);
    Driver(kCurrentDeviceIndex, 2);
    Driver(kCurrentDeviceNumber, 3);
    Driver(kDeviceCount, 4);
    Driver(kPortNumber, 5);
    Driver(kBaudRate, 7);
    Driver(kParity, 2);
    Driver(kDataBits, 4);
    Driver(kStopBits, 2);
    Driver(kStopFlag, 1);
    Driver(kModel, 1);
    scaner_ = std::make_unique<TScanerX>();
    dialog_ = std::make_unique<TfmDevices>();
    dialog_->Init(*scaner_, gui::Font{});
  }
  void TearDown() override {
    dialog_.reset();
    scaner_.reset();
    registration_.reset();
    gui::Application::Instance().OnException = nullptr;
  }
  void Driver(DISPID id, LONG value) { state_.Properties[id] = TestVariant::Int(value); }

  FakeScanerState state_;
  std::unique_ptr<FakeScanerRegistration> registration_;
  std::unique_ptr<TScanerX> scaner_;
  std::unique_ptr<TfmDevices> dialog_;
};

TEST_F(RefreshFailures, EachFieldFollowsItsOwnRuleAndThePassGoesOn) {
  TfmDevices& d = *dialog_;
  ASSERT_EQ(d.edtDeviceCount.Text(), L"4");
  ASSERT_EQ(d.cbDeviceIndex.ItemIndex(), 2);
  ASSERT_EQ(d.cboBaudRate.ItemIndex(), 5);

  for (const DISPID id :
       {kDeviceCount, kCurrentDeviceName, kCurrentDeviceIndex, kCurrentDeviceNumber, kBaudRate}) {
    state_.Failures[id] = kBroken;
  }
  Driver(kParity, 4);  // read after the failures: still refreshed
  Driver(kModel, 5);
  d.UpdateForm();

  EXPECT_EQ(d.edtDeviceCount.Text(), L"Сбой чтения");
  EXPECT_EQ(d.edtDeviceName.Text(), L"Сбой чтения");
  EXPECT_EQ(d.cbDeviceIndex.ItemIndex(), 2);  // the lists keep their selection
  EXPECT_EQ(d.cbDeviceNumber.ItemIndex(), 2);
  EXPECT_EQ(d.edtBaudRate.Text(), L"Сбой чтения");
  EXPECT_EQ(d.cboBaudRate.ItemIndex(), 5);  // list and up-down keep what they showed
  EXPECT_EQ(d.udBaudRate.Position(), 7);
  EXPECT_EQ(d.edtParity.Text(), L"4");
  EXPECT_EQ(d.cboParity.ItemIndex(), 4);
  EXPECT_EQ(d.edtModelID.Text(), L"5");
  EXPECT_EQ(d.cboModelID.ItemIndex(), 2);
}

TEST_F(RefreshFailures, AFailedOnOffReadStopsThePassBeforeTheCountAndParameters) {
  TfmDevices& d = *dialog_;
  state_.Failures[kDeviceEnabled] = kBroken;
  state_.Properties[kCurrentDeviceName] = TestVariant::Str(L"Склад");
  Driver(kDeviceCount, 9);
  Driver(kPortNumber, 6);
  EXPECT_THROW(d.UpdateForm(), rtl::EOleSysError);
  EXPECT_EQ(d.edtDeviceName.Text(), L"Склад");  // before the on/off state
  EXPECT_EQ(d.edtDeviceCount.Text(), L"4");     // after it: not reached
  EXPECT_EQ(d.edtPortNumber.Text(), L"5");
}

TEST_F(RefreshFailures, AFirstRefreshThatFailsReachesTheCallerAndPutsTheHookBack) {
  dialog_.reset();
  std::vector<std::wstring> calls;
  gui::Application::Instance().OnException = [&](rtl::Object*, const std::exception& e) {
    calls.push_back(gui::ExceptionMessage(e));
  };
  state_.Failures[kResultCode] = kBroken;
  EXPECT_THROW(ShowDevicesProperties(*scaner_, gui::Font{}), rtl::EOleSysError);
  EXPECT_EQ(FindWindowW(nullptr, L"Тест свойств устройств"), nullptr);  // destroyed, never shown
  EXPECT_TRUE(calls.empty());
  try {
    throw rtl::Exception(L"later");
  } catch (...) {
    gui::Application::Instance().HandleException(nullptr);
  }
  EXPECT_EQ(calls, std::vector<std::wstring>{L"later"});
}

}  // namespace
