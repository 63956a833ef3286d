// The binding and the wrapper against a third party's control (FakeScaner.h):
// dispatch ids, value conversions, the raise rules, methods by name and
// through a function table only where the control's type information
// confirms it, the event relay and the control's lifetime.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FakeScaner.h"
#include "Units/ScanerX.h"
#include "rtl/Exceptions.h"

namespace {

class Binding : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    registration = std::make_unique<FakeScanerRegistration>(state);
    state.Properties[1] = TestVariant::Int(0);
    state.Properties[2] = TestVariant::Str(L"Ошибок нет");
  }
  void TearDown() override {
    registration.reset();
    rtl::SetApplicationHandleException(nullptr);
    CoUninitialize();
  }
  void DriverFails(LONG code, const std::wstring& description) {
    state.Properties[1] = TestVariant::Int(code);
    state.Properties[2] = TestVariant::Str(description);
  }

  FakeScanerState state;
  std::unique_ptr<FakeScanerRegistration> registration;
};

struct IntProperty {
  DISPID id;
  std::int32_t (TScanerX::*get)();
  void (TScanerX::*set)(std::int32_t);  // nullptr: read only
};
const IntProperty kIntProperties[] = {
    {4, &TScanerX::GetCurrentDeviceIndex, &TScanerX::SetCurrentDeviceIndex},
    {5, &TScanerX::GetCurrentDeviceNumber, &TScanerX::SetCurrentDeviceNumber},
    {7, &TScanerX::GetDeviceCount, nullptr},
    {12, &TScanerX::GetPortNumber, &TScanerX::SetPortNumber},
    {13, &TScanerX::GetBaudRate, &TScanerX::SetBaudRate},
    {14, &TScanerX::GetParity, &TScanerX::SetParity},
    {15, &TScanerX::GetDataBits, &TScanerX::SetDataBits},
    {16, &TScanerX::GetStopBits, &TScanerX::SetStopBits},
    {17, &TScanerX::GetStopFlag, &TScanerX::SetStopFlag},
    {18, &TScanerX::GetLockDevices, &TScanerX::SetLockDevices},
    {21, &TScanerX::GetModel, &TScanerX::SetModel},
    {23, &TScanerX::GetDataCount, nullptr},
    {25, &TScanerX::GetEventNumber, &TScanerX::SetEventNumber},
};

struct StringProperty {
  DISPID id;
  std::wstring (TScanerX::*get)();
  void (TScanerX::*set)(const std::wstring&);
};
const StringProperty kStringProperties[] = {
    {3, &TScanerX::GetVersion, nullptr},
    {6, &TScanerX::GetCurrentDeviceName, &TScanerX::SetCurrentDeviceName},
    {19, &TScanerX::GetDeviceDescription, nullptr},
    {26, &TScanerX::GetScanData, nullptr},
    {27, &TScanerX::GetTrack1, nullptr},
    {28, &TScanerX::GetTrack2, nullptr},
    {29, &TScanerX::GetTrack3, nullptr},
};

struct BoolProperty {
  DISPID id;
  bool (TScanerX::*get)();
  void (TScanerX::*set)(bool);
};
const BoolProperty kBoolProperties[] = {
    {20, &TScanerX::GetDeviceEnabled, &TScanerX::SetDeviceEnabled},
    {22, &TScanerX::GetAutoDisable, &TScanerX::SetAutoDisable},
    {24, &TScanerX::GetDataEventEnabled, &TScanerX::SetDataEventEnabled},
};

TEST_F(Binding, EveryPropertyGoesToItsOwnDispatchIdWithItsOwnType) {
  TScanerX scaner;
  for (const IntProperty& p : kIntProperties) {
    SCOPED_TRACE(p.id);
    state.Properties[p.id] = TestVariant::Int(1000 + p.id);
    EXPECT_EQ((scaner.*p.get)(), 1000 + p.id);
    if (!p.set) continue;
    state.Writes.clear();
    (scaner.*p.set)(-2000 - p.id);
    ASSERT_EQ(state.Writes.size(), 1u);
    EXPECT_EQ(state.Writes[0].first, p.id);
    EXPECT_EQ(state.Writes[0].second.Get().vt, VT_I4);
    EXPECT_EQ(state.Writes[0].second.Get().lVal, -2000 - p.id);
  }
  for (const StringProperty& p : kStringProperties) {
    SCOPED_TRACE(p.id);
    const std::wstring text = L"Значение №" + std::to_wstring(p.id) + L" \u20ac";
    state.Properties[p.id] = TestVariant::Str(text);
    EXPECT_EQ((scaner.*p.get)(), text);
    if (!p.set) continue;
    state.Writes.clear();
    (scaner.*p.set)(L"Сканер на кассе");
    ASSERT_EQ(state.Writes.size(), 1u);
    EXPECT_EQ(state.Writes[0].first, p.id);
    ASSERT_EQ(state.Writes[0].second.Get().vt, VT_BSTR);
    EXPECT_EQ(std::wstring(state.Writes[0].second.Get().bstrVal), L"Сканер на кассе");
  }
  state.Properties[1] = TestVariant::Int(3);
  state.Properties[2] = TestVariant::Str(L"описание");
  EXPECT_EQ(scaner.GetResultCode(), 3);
  EXPECT_EQ(scaner.GetResultDescription(), L"описание");
}

TEST_F(Binding, BooleansAreAnyNonZeroReadAndMinusOneWritten) {
  TScanerX scaner;
  struct Case {
    TestVariant driverValue;
    bool expected;
  };
  const Case reads[] = {{TestVariant::Bool(VARIANT_TRUE), true},
                        {TestVariant::Bool(1), true},
                        {TestVariant::Bool(0), false},
                        {TestVariant::Int(1), true},
                        {TestVariant::Int(0), false},
                        {TestVariant::Int(-7), true}};
  for (const BoolProperty& p : kBoolProperties) {
    SCOPED_TRACE(p.id);
    for (const Case& c : reads) {
      state.Properties[p.id] = c.driverValue;
      EXPECT_EQ((scaner.*p.get)(), c.expected);
    }
    state.Writes.clear();
    (scaner.*p.set)(true);
    (scaner.*p.set)(false);
    ASSERT_EQ(state.Writes.size(), 2u);
    for (const auto& [id, value] : state.Writes) {
      EXPECT_EQ(id, p.id);
      EXPECT_EQ(value.Get().vt, VT_BOOL);
    }
    EXPECT_EQ(state.Writes[0].second.Get().boolVal, -1);
    EXPECT_EQ(state.Writes[1].second.Get().boolVal, 0);
  }
  state.Writes.clear();
  scaner.Scaner().SetPropertyPageEnabled(true);
  ASSERT_EQ(state.Writes.size(), 1u);
  EXPECT_EQ(state.Writes[0].first, 65);
  EXPECT_EQ(state.Writes[0].second.Get().boolVal, -1);
}

TEST_F(Binding, NegativeResultCodeRaisesWithTheDriversDescriptionExceptForTheResultPair) {
  TScanerX scaner;
  for (const IntProperty& p : kIntProperties) state.Properties[p.id] = TestVariant::Int(1);
  for (const StringProperty& p : kStringProperties) state.Properties[p.id] = TestVariant::Str(L"x");
  for (const BoolProperty& p : kBoolProperties) state.Properties[p.id] = TestVariant::Bool(0);

  std::vector<std::function<void()>> accesses;
  for (const IntProperty& p : kIntProperties) {
    accesses.push_back([&scaner, p] { (scaner.*p.get)(); });
    if (p.set) accesses.push_back([&scaner, p] { (scaner.*p.set)(1); });
  }
  for (const StringProperty& p : kStringProperties) {
    accesses.push_back([&scaner, p] { (scaner.*p.get)(); });
    if (p.set) accesses.push_back([&scaner, p] { (scaner.*p.set)(L"y"); });
  }
  for (const BoolProperty& p : kBoolProperties) {
    accesses.push_back([&scaner, p] { (scaner.*p.get)(); });
    accesses.push_back([&scaner, p] { (scaner.*p.set)(true); });
  }
  ASSERT_EQ(accesses.size(), 38u);

  DriverFails(-6, L"Недопустимое значение");
  for (std::size_t i = 0; i < accesses.size(); ++i) {
    SCOPED_TRACE(i);
    try {
      accesses[i]();
      ADD_FAILURE() << "no exception";
    } catch (const EScanerX& e) {
      EXPECT_EQ(e.Message(), L"Недопустимое значение");
    }
  }
  // The way out of the error never raises.
  EXPECT_EQ(scaner.GetResultCode(), -6);
  EXPECT_EQ(scaner.GetResultDescription(), L"Недопустимое значение");

  // Zero and positive codes pass.
  for (const LONG code : {0, 1, 199}) {
    DriverFails(code, L"не ошибка");
    for (auto& access : accesses) EXPECT_NO_THROW(access());
  }
}

TEST_F(Binding, MethodsGoByNameAndAreJudgedByTheirReturnedCode) {
  TScanerX scaner;
  EXPECT_FALSE(scaner.Scaner().EarlyBound());

  // An earlier failure left in ResultCode does not fail a method returning 0.
  DriverFails(-9, L"Логическое устройство не найдено");
  state.MethodResults[L"AddDevice"] = 0;
  state.MethodResults[L"DeleteDevice"] = 2;
  EXPECT_NO_THROW(scaner.AddDevice());
  EXPECT_NO_THROW(scaner.DeleteDevice());
  EXPECT_NO_THROW(scaner.DeleteEvent());
  EXPECT_NO_THROW(scaner.ShowProperties());
  EXPECT_NO_THROW(scaner.ClearDevices());
  EXPECT_NO_THROW(scaner.AboutBox());
  const std::vector<std::wstring> expected = {L"AddDevice",      L"DeleteDevice", L"DeleteEvent",
                                              L"ShowProperties", L"ClearDevices", L"AboutBox"};
  EXPECT_EQ(state.MethodCalls, expected);

  // A negative returned code fails with the description, whatever ResultCode says.
  DriverFails(0, L"Невозможно удалить устройство");
  for (const wchar_t* name : {L"ShowProperties", L"AddDevice", L"DeleteDevice", L"DeleteEvent"}) {
    state.MethodResults[name] = -8;
  }
  EXPECT_EQ(scaner.Scaner().DeleteDevice(), -8);
  for (void (TScanerX::*method)() :
       {&TScanerX::ShowProperties, &TScanerX::AddDevice, &TScanerX::DeleteDevice, &TScanerX::DeleteEvent}) {
    try {
      (scaner.*method)();
      ADD_FAILURE() << "no exception";
    } catch (const EScanerX& e) {
      EXPECT_EQ(e.Message(), L"Невозможно удалить устройство");
    }
  }
}

// Type information of IScaner714 from the test program's TYPELIB resource
// (BindingTypeLibs.rc): 1 is the driver's own order, 2 a reordered one.
Microsoft::WRL::ComPtr<ITypeInfo> DualTypeInfo(int resource) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring library = std::wstring(path) + L"\\" + std::to_wstring(resource);
  Microsoft::WRL::ComPtr<ITypeLib> typeLib;
  Microsoft::WRL::ComPtr<ITypeInfo> info;
  EXPECT_EQ(LoadTypeLibEx(library.c_str(), REGKIND_NONE, &typeLib), S_OK);
  if (typeLib) {
    EXPECT_EQ(typeLib->GetTypeInfoOfGuid(IID_IScaner714, &info), S_OK);
  }
  return info;
}

TEST_F(Binding, MethodsGoThroughTheFunctionTableOnlyWhereTheTypeInformationConfirmsTheSlot) {
  using Names = std::vector<std::wstring>;
  const Names four = {L"ShowProperties", L"AddDevice", L"DeleteDevice", L"DeleteEvent"};
  const Names rest = {L"ClearDevices", L"AboutBox"};
  Names all = four;
  all.insert(all.end(), rest.begin(), rest.end());
  struct Case {
    const char* Name;
    int TypeLibrary;
    bool TypeInfoHidden;
    Names Table;   // called through the function table
    Names ByName;  // called through IDispatch
  };
  // The reordered table swaps the four methods the tool calls among their
  // slots and leaves ClearDevices and AboutBox where the driver has them.
  for (const Case& c :
       {Case{"the driver's order", 1, false, all, {}}, Case{"another order", 2, false, rest, four},
        Case{"no type information", 1, true, {}, all}}) {
    SCOPED_TRACE(c.Name);
    state.DualTypeInfo = DualTypeInfo(c.TypeLibrary);
    ASSERT_TRUE(state.DualTypeInfo);
    state.TypeInfoHidden = c.TypeInfoHidden;
    state.TableCalls.clear();
    state.MethodCalls.clear();
    state.MethodResults[L"DeleteDevice"] = -8;
    TScanerX scaner;
    TScaner45& binding = scaner.Scaner();
    EXPECT_EQ(binding.EarlyBound(), c.ByName.empty());
    EXPECT_EQ(binding.ShowProperties(), 0);
    EXPECT_EQ(binding.AddDevice(), 0);
    EXPECT_EQ(binding.DeleteDevice(), -8);
    EXPECT_EQ(binding.DeleteEvent(), 0);
    EXPECT_EQ(binding.ClearDevices(), 0);
    binding.AboutBox();
    // Each call reached the method of its own name, by one way only.
    EXPECT_EQ(state.TableCalls, c.Table);
    EXPECT_EQ(state.MethodCalls, c.ByName);
  }
}

TEST_F(Binding, FailuresAtTheOleLevelRaiseOleErrorsNotDriverErrors) {
  TScanerX scaner;
  state.Properties[7] = TestVariant::Int(1);
  // With the driver's description...
  state.Failures[7] = {E_ACCESSDENIED, L"Устройство занято другим клиентом"};
  try {
    scaner.GetDeviceCount();
    ADD_FAILURE() << "no exception";
  } catch (const rtl::EOleSysError& e) {
    EXPECT_EQ(e.Message(), L"Устройство занято другим клиентом");
    EXPECT_EQ(e.ErrorCode(), E_ACCESSDENIED);
  }
  // ...and without: the system's text for the status.
  state.Failures[1] = {DISP_E_TYPEMISMATCH, L""};
  try {
    scaner.GetResultCode();
    ADD_FAILURE() << "no exception";
  } catch (const rtl::EOleSysError& e) {
    EXPECT_EQ(e.ErrorCode(), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(e.Message(), OleErrorMessage(DISP_E_TYPEMISMATCH));
    EXPECT_FALSE(e.Message().empty());
  }
  state.Failures[kFakeMethodBase + 1] = {E_FAIL, L"Сбой метода"};
  EXPECT_THROW(scaner.AddDevice(), rtl::EOleSysError);
  // A property the control does not have.
  EXPECT_THROW(scaner.GetTrack2(), rtl::EOleSysError);
  EXPECT_THROW(scaner.GetTrack2(), rtl::EOleSysError);
}

TEST_F(Binding, CreationFailureLeavesNoBindingAndIsRetriedOnNextUse) {
  state.CreationFailure = REGDB_E_CLASSNOTREG;
  {
    TScanerX scaner;
    try {
      scaner.Scaner();
      ADD_FAILURE() << "no exception";
    } catch (const rtl::EOleSysError& e) {
      EXPECT_EQ(e.ErrorCode(), REGDB_E_CLASSNOTREG);
      EXPECT_FALSE(e.Message().empty());
    }
    EXPECT_FALSE(scaner.HasScaner());
    EXPECT_THROW(scaner.GetDeviceCount(), rtl::EOleSysError);
    state.CreationFailure = S_OK;
    state.Properties[7] = TestVariant::Int(4);
    EXPECT_EQ(scaner.GetDeviceCount(), 4);
    EXPECT_TRUE(scaner.HasScaner());
  }
  EXPECT_EQ(state.Alive, 0);
}

TEST_F(Binding, ControlLivesFromFirstUseUntilDoneScaner) {
  { TScanerX unused; }
  EXPECT_EQ(state.Created, 0);

  TScanerX scaner;
  scaner.SetOnDataEvent([](rtl::Object&, std::int32_t) {});
  EXPECT_EQ(state.Created, 0);
  EXPECT_FALSE(scaner.HasScaner());
  state.Properties[23] = TestVariant::Int(2);
  EXPECT_EQ(scaner.GetDataCount(), 2);
  EXPECT_EQ(scaner.GetDataCount(), 2);
  EXPECT_EQ(state.Created, 1);
  EXPECT_TRUE(state.Sink);

  scaner.DoneScaner();
  EXPECT_FALSE(scaner.HasScaner());
  EXPECT_EQ(state.Unadvised, 1);
  EXPECT_FALSE(state.Sink);
  EXPECT_EQ(state.Alive, 0);
}

TEST_F(Binding, EventsReachTheHandlersWithTheWrapperAsSender) {
  TScanerX scaner;
  std::vector<std::pair<rtl::Object*, std::int32_t>> data;
  std::vector<std::vector<std::wstring>> keys;
  scaner.SetOnDataEvent([&](rtl::Object& sender, std::int32_t id) { data.emplace_back(&sender, id); });
  scaner.SetOnKeyEvent([&](rtl::Object& sender, const std::wstring& source, const std::wstring& message,
                           const std::wstring& text) {
    EXPECT_EQ(&sender, &scaner);
    keys.push_back({source, message, text});
  });
  scaner.Scaner();
  ASSERT_TRUE(state.Sink);

  EXPECT_EQ(state.Fire(1, {TestVariant::Int(42)}), S_OK);
  EXPECT_EQ(state.Fire(1, {TestVariant::Str(L"43")}), S_OK);
  EXPECT_EQ(state.Fire(201, {TestVariant::Str(L"COM7"), TestVariant::Str(L"Нажата клавиша"),
                             TestVariant::Str(L"F1")}),
            S_OK);
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0].first, &scaner);
  EXPECT_EQ(data[0].second, 42);
  EXPECT_EQ(data[1].second, 43);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0], (std::vector<std::wstring>{L"COM7", L"Нажата клавиша", L"F1"}));

  // Malformed calls are refused, not relayed.
  EXPECT_EQ(state.Fire(1, {}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(state.Fire(201, {TestVariant::Str(L"a")}), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(state.Fire(2, {TestVariant::Int(1)}), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(data.size(), 2u);
  EXPECT_EQ(keys.size(), 1u);

  // Without a handler a data event is dropped; the key handler stays.
  scaner.SetOnDataEvent(nullptr);
  EXPECT_EQ(state.Fire(1, {TestVariant::Int(44)}), S_OK);
  EXPECT_EQ(data.size(), 2u);
  EXPECT_EQ(keys.size(), 1u);
}

TEST_F(Binding, HandlerExceptionsGoToTheApplicationWithTheBindingAsSender) {
  std::vector<std::pair<rtl::Object*, std::wstring>> handled;
  rtl::SetApplicationHandleException([&](rtl::Object* sender) {
    try {
      throw;
    } catch (const rtl::Exception& e) {
      handled.emplace_back(sender, e.Message());
    } catch (...) {
      handled.emplace_back(sender, L"?");
    }
  });
  TScanerX scaner;
  scaner.SetOnDataEvent([](rtl::Object&, std::int32_t) { throw EScanerX(L"Устройство не включено"); });
  scaner.SetOnKeyEvent(
      [](rtl::Object&, const std::wstring&, const std::wstring&, const std::wstring&) { throw 7; });
  TScaner45& binding = scaner.Scaner();
  EXPECT_EQ(state.Fire(1, {TestVariant::Int(1)}), S_OK);
  EXPECT_EQ(state.Fire(201, {TestVariant::Str(L""), TestVariant::Str(L""), TestVariant::Str(L"")}), S_OK);
  ASSERT_EQ(handled.size(), 2u);
  EXPECT_EQ(handled[0].first, &binding);
  EXPECT_EQ(handled[0].second, L"Устройство не включено");
  EXPECT_EQ(handled[1].first, &binding);
  EXPECT_EQ(handled[1].second, L"?");

  // Even a handler of the application that throws stays away from the driver.
  rtl::SetApplicationHandleException([](rtl::Object*) { throw std::runtime_error("again"); });
  EXPECT_EQ(state.Fire(1, {TestVariant::Int(2)}), S_OK);
}

TEST_F(Binding, HandlerMayFreeTheBindingThatCalledIt) {
  TScanerX scaner;
  int calls = 0;
  scaner.SetOnDataEvent([&](rtl::Object&, std::int32_t) {
    ++calls;
    scaner.DoneScaner();
  });
  scaner.Scaner();
  EXPECT_EQ(state.Fire(1, {TestVariant::Int(5)}), S_OK);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(scaner.HasScaner());
  EXPECT_EQ(state.Unadvised, 1);
  EXPECT_EQ(state.Alive, 0);
}

}  // namespace
