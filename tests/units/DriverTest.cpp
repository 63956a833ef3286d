// The wrapper against the project's driver stand-in, registered in the Wine
// prefix: every property, the driver's failures, both method bindings, the
// control's creation and an unregistered class.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "DriverTestSupport.h"
#include "Units/ScanerX.h"
#include "rtl/Exceptions.h"

namespace {

// First in this file on purpose: it needs a process in which the driver
// library has not been loaded by COM yet.
TEST(Driver, WrapperFreedBeforeFirstUseCreatesNoControl) {
  ASSERT_EQ(GetModuleHandleW(L"Dravix.dll"), nullptr) << "the driver was loaded before this test";
  {
    TScanerX scaner;
    scaner.SetOnDataEvent([](rtl::Object&, std::int32_t) {});
    EXPECT_FALSE(scaner.HasScaner());
  }
  EXPECT_EQ(GetModuleHandleW(L"Dravix.dll"), nullptr);
  // The check can fail: first use does load it.
  TScanerX scaner;
  EXPECT_GE(scaner.GetDeviceCount(), 1);
  EXPECT_NE(GetModuleHandleW(L"Dravix.dll"), nullptr);
}

TEST(Driver, EveryPropertyRoundTripsThroughTheWrapper) {
  TScanerX scaner;
  ASSERT_NO_THROW(scaner.ClearDevices());
  EXPECT_FALSE(scaner.GetVersion().empty());
  const std::int32_t count = scaner.GetDeviceCount();
  ASSERT_GE(count, 1);
  scaner.AddDevice();
  EXPECT_EQ(scaner.GetDeviceCount(), count + 1);
  EXPECT_EQ(scaner.GetCurrentDeviceIndex(), count);
  EXPECT_EQ(scaner.GetCurrentDeviceNumber(), count + 1);

  scaner.SetCurrentDeviceName(L"Касса №1 «левая»");
  EXPECT_EQ(scaner.GetCurrentDeviceName(), L"Касса №1 «левая»");
  const struct {
    void (TScanerX::*set)(std::int32_t);
    std::int32_t (TScanerX::*get)();
    std::int32_t value;
  } params[] = {
      {&TScanerX::SetPortNumber, &TScanerX::GetPortNumber, 15},
      {&TScanerX::SetBaudRate, &TScanerX::GetBaudRate, 12},
      {&TScanerX::SetParity, &TScanerX::GetParity, 2},
      {&TScanerX::SetDataBits, &TScanerX::GetDataBits, 3},
      {&TScanerX::SetStopBits, &TScanerX::GetStopBits, 2},
      {&TScanerX::SetStopFlag, &TScanerX::GetStopFlag, 2},
      {&TScanerX::SetModel, &TScanerX::GetModel, 1},
  };
  for (const auto& p : params) {
    (scaner.*p.set)(p.value);
    EXPECT_EQ((scaner.*p.get)(), p.value);
  }
  (void)scaner.GetDeviceDescription();

  // Selecting by index and by number reach the same device.
  scaner.SetCurrentDeviceIndex(0);
  EXPECT_EQ(scaner.GetCurrentDeviceNumber(), 1);
  EXPECT_NE(scaner.GetCurrentDeviceName(), L"Касса №1 «левая»");
  scaner.SetCurrentDeviceNumber(count + 1);
  EXPECT_EQ(scaner.GetCurrentDeviceIndex(), count);
  EXPECT_EQ(scaner.GetCurrentDeviceName(), L"Касса №1 «левая»");
  EXPECT_EQ(scaner.GetPortNumber(), 15);

  for (const bool value : {true, false}) {
    scaner.SetAutoDisable(value);
    EXPECT_EQ(scaner.GetAutoDisable(), value);
    scaner.SetDataEventEnabled(value);
    EXPECT_EQ(scaner.GetDataEventEnabled(), value);
  }
  scaner.SetDeviceEnabled(false);
  EXPECT_FALSE(scaner.GetDeviceEnabled());
  scaner.Scaner().SetPropertyPageEnabled(false);
  scaner.Scaner().SetPropertyPageEnabled(true);

  EXPECT_EQ(scaner.GetDataCount(), 0);
  (void)scaner.GetEventNumber();
  EXPECT_EQ(scaner.GetScanData(), L"");
  EXPECT_EQ(scaner.GetTrack1(), L"");
  EXPECT_EQ(scaner.GetTrack2(), L"");
  EXPECT_EQ(scaner.GetTrack3(), L"");

  scaner.SetLockDevices(1);
  EXPECT_EQ(scaner.GetLockDevices(), 1);
  scaner.SetLockDevices(0);
  EXPECT_EQ(scaner.GetLockDevices(), 0);
  EXPECT_EQ(scaner.GetResultCode(), 0);
  EXPECT_EQ(scaner.GetResultDescription(), L"Ошибок нет");

  // The devices live in the driver, not in the binding.
  scaner.DoneScaner();
  EXPECT_EQ(scaner.GetDeviceCount(), count + 1);
  scaner.DeleteDevice();
  EXPECT_EQ(scaner.GetDeviceCount(), count);
}

// The failure raises EScanerX, and OnError was told of it first, naming the call.
template <typename Action>
void ExpectDriverError(TScanerX& scaner, Action action, std::int32_t code, const wchar_t* text,
                       const wchar_t* call) {
  std::vector<TScanerXError> told;
  scaner.SetOnError([&](rtl::Object& sender, const TScanerXError& error) {
    EXPECT_EQ(&sender, &scaner);
    told.push_back(error);
  });
  try {
    action();
    ADD_FAILURE() << "no exception";
  } catch (const EScanerX& e) {
    // The message is the driver's description at that moment.
    EXPECT_EQ(e.Message(), scaner.GetResultDescription());
    EXPECT_EQ(e.Message(), text);
  }
  scaner.SetOnError(nullptr);
  EXPECT_EQ(scaner.GetResultCode(), code);
  ASSERT_EQ(told.size(), 1u);
  EXPECT_EQ(told[0].Call, call);
  EXPECT_EQ(told[0].Code, code);
  EXPECT_EQ(told[0].Description, text);
}

TEST(Driver, FailuresRaiseWithTheDriversDescriptionAndTheResultPairStays) {
  TScanerX scaner;
  scaner.ClearDevices();
  ExpectDriverError(
      scaner, [&] { scaner.SetBaudRate(99); }, -6, L"Недопустимое значение", L"BaudRate := 99");
  ExpectDriverError(
      scaner, [&] { scaner.SetLockDevices(2); }, -6, L"Недопустимое значение", L"LockDevices := 2");
  ExpectDriverError(
      scaner, [&] { scaner.SetCurrentDeviceIndex(100); }, -9, L"Логическое устройство не найдено",
      L"CurrentDeviceIndex := 100");
  ExpectDriverError(
      scaner, [&] { scaner.SetCurrentDeviceName(L""); }, -6, L"Недопустимое значение",
      L"CurrentDeviceName := ''");
  // Reading the pair again does not raise and does not change it.
  EXPECT_EQ(scaner.GetResultCode(), -6);
  EXPECT_EQ(scaner.GetResultDescription(), L"Недопустимое значение");

  // Methods: the returned code decides.
  ExpectDriverError(
      scaner, [&] { scaner.DeleteEvent(); }, -10, L"Неверная последовательность команд", L"DeleteEvent()");
  scaner.SetLockDevices(1);
  ExpectDriverError(
      scaner, [&] { scaner.AddDevice(); }, -7, L"Невозможно добавить устройство", L"AddDevice()");
  ExpectDriverError(
      scaner, [&] { scaner.DeleteDevice(); }, -8, L"Невозможно удалить устройство", L"DeleteDevice()");
  scaner.SetLockDevices(0);
  // A device on a port that does not exist cannot be switched on.
  scaner.SetPortNumber(199);
  std::wstring call;
  scaner.SetOnError([&](rtl::Object&, const TScanerXError& error) { call = error.Call; });
  EXPECT_THROW(scaner.SetDeviceEnabled(true), EScanerX);
  scaner.SetOnError(nullptr);
  EXPECT_EQ(call, L"DeviceEnabled := True");
  EXPECT_LT(scaner.GetResultCode(), 0);
  EXPECT_FALSE(scaner.GetDeviceEnabled());
}

class DriverMethods : public ::testing::TestWithParam<TMethodBinding> {};

TEST_P(DriverMethods, ReachTheDriverInBothBindings) {
  TScaner45 binding(GetParam());
  EXPECT_EQ(binding.EarlyBound(), GetParam() == TMethodBinding::Early);
  ASSERT_EQ(binding.ClearDevices(), 0);
  const std::int32_t count = binding.GetDeviceCount();
  EXPECT_EQ(binding.AddDevice(), 0);
  EXPECT_EQ(binding.GetDeviceCount(), count + 1);
  EXPECT_EQ(binding.DeleteDevice(), 0);
  EXPECT_EQ(binding.GetDeviceCount(), count);
  EXPECT_EQ(binding.DeleteEvent(), -10);
  binding.SetLockDevices(1);
  EXPECT_EQ(binding.AddDevice(), -7);
  binding.SetLockDevices(0);
  // Modal: the driver's pages and its About box return once closed.
  CloseNextDialog();
  EXPECT_EQ(binding.ShowProperties(), 0);
  CloseNextDialog();
  EXPECT_NO_THROW(binding.AboutBox());
}

INSTANTIATE_TEST_SUITE_P(Bindings, DriverMethods,
                         ::testing::Values(TMethodBinding::Early, TMethodBinding::Late),
                         [](const auto& info) {
                           return std::string(info.param == TMethodBinding::Early ? "Early" : "Late");
                         });

TEST(Driver, UnregisteredClassRaisesAnOleErrorAndLeavesNoBinding) {
  ASSERT_EQ(RegisterDravix(false), S_OK);
  struct Reregister {
    ~Reregister() { EXPECT_EQ(RegisterDravix(true), S_OK); }
  } reregister;
  TScanerX scaner;
  try {
    scaner.GetDeviceCount();
    ADD_FAILURE() << "no exception";
  } catch (const EScanerX&) {
    ADD_FAILURE() << "a driver error where an OLE error belongs";
  } catch (const rtl::EOleSysError& e) {
    EXPECT_EQ(e.ErrorCode(), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(e.Message(), OleErrorMessage(REGDB_E_CLASSNOTREG));
  }
  EXPECT_FALSE(scaner.HasScaner());
  EXPECT_THROW(scaner.Scaner(), rtl::EOleSysError);
  EXPECT_FALSE(scaner.HasScaner());
}

}  // namespace
