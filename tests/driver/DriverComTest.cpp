// The control as a COM client sees it: registration, every dispatch id,
// result codes and texts, persistence, the device lock, the event queue, the
// connection point and the property page.
#include <gtest/gtest.h>
#include <olectl.h>

#include <atomic>
#include <thread>
#include <vector>

#include "DriverClient.h"

using namespace dravix;
using namespace dravix::test;

namespace {

void ExpectResult(const TDriver& d, long code, const wchar_t* text) {
  EXPECT_EQ(d.Code(), code);
  EXPECT_EQ(d.Text(), text);
}

void ExpectOk(const TDriver& d) { ExpectResult(d, 0, L"Ошибок нет"); }

class DriverCom : public testing::Test {
 protected:
  DriverCom() : fKey(TestName()) {}
  static std::wstring TestName() {
    const std::string name = testing::UnitTest::GetInstance()->current_test_info()->name();
    return std::wstring(name.begin(), name.end());
  }
  TSettingsKey fKey;
};

std::wstring ReadRegString(HKEY root, const std::wstring& path, const wchar_t* name) {
  wchar_t buffer[1024] = {};
  DWORD size = sizeof(buffer) - sizeof(wchar_t);
  if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
    return {};
  return buffer;
}

TEST_F(DriverCom, Regsvr32RegistersClassProgIdAndTypeLibrary) {
  const std::wstring clsid = L"CLSID\\{691870D7-592F-11D3-B029-0000E8DBEDCE}";
  EXPECT_EQ(_wcsicmp(ReadRegString(HKEY_CLASSES_ROOT, clsid + L"\\InprocServer32", nullptr).c_str(),
                     DllPath().c_str()),
            0);
  EXPECT_EQ(ReadRegString(HKEY_CLASSES_ROOT, clsid + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
  CLSID fromProgId{};
  ASSERT_EQ(CLSIDFromProgID(L"Dravix.Scaner45", &fromProgId), S_OK);
  EXPECT_EQ(fromProgId, CLSID_Scaner45);
  ComPtr<ITypeLib> typeLib;
  ASSERT_EQ(LoadRegTypeLib(LIBID_DravixLib, 1, 0, LOCALE_NEUTRAL, &typeLib), S_OK);
  ComPtr<ITypeInfo> events;
  EXPECT_EQ(typeLib->GetTypeInfoOfGuid(DIID_IScanerEvents, &events), S_OK);

  // Unregistering removes the class; registering again brings it back.
  ASSERT_EQ(RunRegsvr32(true), 0u);
  ComPtr<IDispatch> none;
  EXPECT_EQ(CoCreateInstance(CLSID_Scaner45, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&none)),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(ReadRegString(HKEY_CLASSES_ROOT, clsid + L"\\InprocServer32", nullptr), L"");
  ASSERT_EQ(RunRegsvr32(false), 0u);
  TDriver again;
  EXPECT_EQ(again.GetLong(kDeviceCount), 1);
}

// The ids every client of the driver uses (driver/DispatchIds.h) are the
// ones its type library gives.
TEST_F(DriverCom, NamesMapToTheirDispatchIds) {
  TDriver d;
  const std::pair<const wchar_t*, DISPID> names[] = {{L"ResultCode", kResultCode},
                                                     {L"ResultDescription", kResultDescription},
                                                     {L"Version", kVersion},
                                                     {L"CurrentDeviceIndex", kCurrentDeviceIndex},
                                                     {L"CurrentDeviceNumber", kCurrentDeviceNumber},
                                                     {L"CurrentDeviceName", kCurrentDeviceName},
                                                     {L"DeviceCount", kDeviceCount},
                                                     {L"PortNumber", kPortNumber},
                                                     {L"BaudRate", kBaudRate},
                                                     {L"Parity", kParity},
                                                     {L"DataBits", kDataBits},
                                                     {L"StopBits", kStopBits},
                                                     {L"StopFlag", kStopFlag},
                                                     {L"LockDevices", kLockDevices},
                                                     {L"DeviceDescription", kDeviceDescription},
                                                     {L"DeviceEnabled", kDeviceEnabled},
                                                     {L"Model", kModel},
                                                     {L"AutoDisable", kAutoDisable},
                                                     {L"DataCount", kDataCount},
                                                     {L"DataEventEnabled", kDataEventEnabled},
                                                     {L"EventNumber", kEventNumber},
                                                     {L"ScanData", kScanData},
                                                     {L"Track1", kTrack1},
                                                     {L"Track2", kTrack2},
                                                     {L"Track3", kTrack3},
                                                     {L"PropertyPageEnabled", kPropertyPageEnabled},
                                                     {L"ShowProperties", kShowProperties},
                                                     {L"AddDevice", kAddDevice},
                                                     {L"DeleteDevice", kDeleteDevice},
                                                     {L"DeleteEvent", kDeleteEvent},
                                                     {L"ClearDevices", kClearDevices}};
  for (const auto& [name, id] : names) {
    LPOLESTR n = const_cast<LPOLESTR>(name);
    DISPID got = 0;
    EXPECT_EQ(d.Dispatch()->GetIDsOfNames(IID_NULL, &n, 1, LOCALE_USER_DEFAULT, &got), S_OK) << name;
    EXPECT_EQ(got, id) << name;
  }
  TVariant r;
  EXPECT_EQ(d.Get(999, r.v), DISP_E_MEMBERNOTFOUND);
}

TEST_F(DriverCom, FirstStartHasOneScannerAndVersionIsTheFiles) {
  TDriver d;
  EXPECT_EQ(d.GetLong(kDeviceCount), 1);
  ExpectOk(d);
  EXPECT_EQ(d.GetLong(kCurrentDeviceIndex), 0);
  EXPECT_EQ(d.GetLong(kCurrentDeviceNumber), 1);
  EXPECT_EQ(d.GetString(kCurrentDeviceName), L"Сканер штрих-кода");
  EXPECT_EQ(d.GetLong(kPortNumber), 1);
  EXPECT_EQ(d.GetLong(kBaudRate), 7);
  EXPECT_EQ(d.GetLong(kDataBits), 4);
  EXPECT_EQ(d.GetLong(kModel), 0);
  EXPECT_FALSE(d.GetBool(kDeviceEnabled));
  EXPECT_EQ(d.GetString(kDeviceDescription), L"Сканер штрих-кода, COM1, 9600 бод, 8-N-1, стоп-флаг CR");
  ExpectOk(d);

  DWORD handle = 0;
  std::vector<BYTE> info(GetFileVersionInfoSizeW(DllPath().c_str(), &handle));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(GetFileVersionInfoW(DllPath().c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
  const std::wstring expected = std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
                                std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
                                std::to_wstring(HIWORD(fixed->dwFileVersionLS)) + L"." +
                                std::to_wstring(LOWORD(fixed->dwFileVersionLS));
  EXPECT_EQ(d.GetString(kVersion), expected);
  EXPECT_NE(expected, L"0.0.0.0");
}

TEST_F(DriverCom, ParametersAcceptTheirTablesAndRefuseTheRest) {
  TDriver d;
  struct Case {
    DISPID Id;
    long Low, High;
  };
  const Case cases[] = {{kPortNumber, 1, 256}, {kBaudRate, 0, 14}, {kParity, 0, 4}, {kDataBits, 1, 4},
                        {kStopBits, 0, 2},     {kStopFlag, 0, 6},  {kModel, 0, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Id);
    for (const long good : {c.Low, c.High}) {
      ASSERT_EQ(d.PutLong(c.Id, good), S_OK);
      ExpectOk(d);
      EXPECT_EQ(d.GetLong(c.Id), good);
    }
    for (const long bad : {c.Low - 1, c.High + 1, -100000L}) {
      ASSERT_EQ(d.PutLong(c.Id, bad), S_OK);
      ExpectResult(d, -6, L"Недопустимое значение");
      EXPECT_EQ(d.GetLong(c.Id), c.High);  // unchanged
      ExpectOk(d);                         // every access sets the pair again
    }
  }
  ASSERT_EQ(d.PutLong(kLockDevices, 2), S_OK);
  ExpectResult(d, -6, L"Недопустимое значение");
}

TEST_F(DriverCom, DevicesAreSelectedAddedRenamedAndDeleted) {
  TDriver d;
  EXPECT_EQ(d.Call(kAddDevice), 0);
  ExpectOk(d);
  EXPECT_EQ(d.GetLong(kDeviceCount), 2);
  EXPECT_EQ(d.GetLong(kCurrentDeviceIndex), 1);  // the new device is current
  EXPECT_EQ(d.GetLong(kCurrentDeviceNumber), 2);
  ASSERT_EQ(d.PutString(kCurrentDeviceName, L"Касса; 2"), S_OK);
  ExpectOk(d);
  ASSERT_EQ(d.PutLong(kPortNumber, 7), S_OK);

  ASSERT_EQ(d.PutLong(kCurrentDeviceNumber, 1), S_OK);
  EXPECT_EQ(d.GetString(kCurrentDeviceName), L"Сканер штрих-кода");
  EXPECT_EQ(d.GetLong(kPortNumber), 1);

  for (const auto& [id, value] : {std::pair{kCurrentDeviceIndex, 2L}, std::pair{kCurrentDeviceIndex, -1L},
                                  std::pair{kCurrentDeviceNumber, 0L}, std::pair{kCurrentDeviceNumber, 3L}}) {
    ASSERT_EQ(d.PutLong(id, value), S_OK);
    ExpectResult(d, -9, L"Логическое устройство не найдено");
    EXPECT_EQ(d.GetLong(kCurrentDeviceIndex), 0);
  }
  for (const wchar_t* bad : {L"", L"a\nb"}) {
    ASSERT_EQ(d.PutString(kCurrentDeviceName, bad), S_OK);
    ExpectResult(d, -6, L"Недопустимое значение");
  }
  EXPECT_EQ(d.GetString(kCurrentDeviceName), L"Сканер штрих-кода");

  EXPECT_EQ(d.Call(kDeleteDevice), 0);
  EXPECT_EQ(d.GetLong(kDeviceCount), 1);
  EXPECT_EQ(d.GetString(kCurrentDeviceName), L"Касса; 2");
  EXPECT_EQ(d.GetLong(kPortNumber), 7);
  // The last device stays.
  EXPECT_EQ(d.Call(kDeleteDevice), -8);
  ExpectResult(d, -8, L"Невозможно удалить устройство");
  EXPECT_EQ(d.GetLong(kDeviceCount), 1);

  EXPECT_EQ(d.Call(kAddDevice), 0);
  EXPECT_EQ(d.Call(kClearDevices), 0);
  EXPECT_EQ(d.GetLong(kDeviceCount), 1);
  EXPECT_EQ(d.GetString(kCurrentDeviceName), L"Сканер штрих-кода");
}

TEST_F(DriverCom, LockDevicesRefusesListChanges) {
  TDriver d;
  ASSERT_EQ(d.PutLong(kLockDevices, 1), S_OK);
  ExpectOk(d);
  EXPECT_EQ(d.GetLong(kLockDevices), 1);
  EXPECT_EQ(d.Call(kAddDevice), -7);
  ExpectResult(d, -7, L"Невозможно добавить устройство");
  EXPECT_EQ(d.Call(kDeleteDevice), -8);
  EXPECT_EQ(d.Call(kClearDevices), -8);
  ExpectResult(d, -8, L"Невозможно удалить устройство");
  EXPECT_EQ(d.GetLong(kDeviceCount), 1);
  ASSERT_EQ(d.PutLong(kLockDevices, 0), S_OK);
  EXPECT_EQ(d.Call(kAddDevice), 0);
  EXPECT_EQ(d.GetLong(kDeviceCount), 2);
}

TEST_F(DriverCom, DevicesPersistAcrossInstances) {
  {
    TDriver d;
    ASSERT_EQ(d.Call(kAddDevice), 0);
    ASSERT_EQ(d.PutString(kCurrentDeviceName, L"Считыватель"), S_OK);
    ASSERT_EQ(d.PutLong(kModel, 1), S_OK);
    ASSERT_EQ(d.PutLong(kPortNumber, 200), S_OK);
    ASSERT_EQ(d.PutLong(kStopFlag, 2), S_OK);
    ASSERT_EQ(d.PutBool(kPropertyPageEnabled, false), S_OK);
    ExpectOk(d);
  }
  TDriver d;
  EXPECT_EQ(d.GetLong(kDeviceCount), 2);
  EXPECT_EQ(d.GetLong(kCurrentDeviceIndex), 1);
  EXPECT_EQ(d.GetString(kCurrentDeviceName), L"Считыватель");
  EXPECT_EQ(d.GetLong(kModel), 1);
  EXPECT_EQ(d.GetLong(kPortNumber), 200);
  EXPECT_EQ(d.GetLong(kStopFlag), 2);
  EXPECT_FALSE(d.GetBool(kPropertyPageEnabled));
}

TEST_F(DriverCom, DamagedStoredListIsRepairedOnLoad) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, fKey.Path().c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  // First record: baud code 77 is out of the table; second: not a record.
  const wchar_t stored[] = L"D1;3;77;0;4;0;0;0;Касса\0###\0";
  RegSetValueExW(key, L"Devices", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(stored), sizeof(stored));
  const DWORD current = 9;  // beyond the list
  RegSetValueExW(key, L"CurrentDevice", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&current),
                 sizeof(current));
  RegCloseKey(key);
  {
    TDriver d;
    EXPECT_EQ(d.GetLong(kDeviceCount), 2);
    EXPECT_EQ(d.GetLong(kCurrentDeviceIndex), 0);
    EXPECT_EQ(d.GetString(kCurrentDeviceName), L"Касса");
    EXPECT_EQ(d.GetLong(kPortNumber), 3);
    EXPECT_EQ(d.GetLong(kBaudRate), 7);
    ASSERT_EQ(d.PutLong(kCurrentDeviceIndex, 1), S_OK);
    EXPECT_EQ(d.GetString(kCurrentDeviceName), L"Сканер штрих-кода");
  }
  // A value of the wrong type gives the default list.
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, fKey.Path().c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  RegSetValueExW(key, L"Devices", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&current), sizeof(current));
  RegCloseKey(key);
  TDriver d;
  EXPECT_EQ(d.GetLong(kDeviceCount), 1);
  EXPECT_EQ(d.GetLong(kBaudRate), 7);
  ExpectOk(d);
}

TEST_F(DriverCom, EventQueueRefusesUnknownEvents) {
  TDriver d;
  EXPECT_EQ(d.GetLong(kDataCount), 0);
  EXPECT_EQ(d.GetLong(kEventNumber), 0);
  ASSERT_EQ(d.PutLong(kEventNumber, 1), S_OK);
  ExpectResult(d, -6, L"Недопустимое значение");
  EXPECT_EQ(d.Call(kDeleteEvent), -10);
  ExpectResult(d, -10, L"Неверная последовательность команд");
  // A method's own returned code decides, and the pair follows it.
  EXPECT_EQ(d.GetString(kScanData), L"");
  ExpectOk(d);
  for (const DISPID id : {kTrack1, kTrack2, kTrack3}) EXPECT_EQ(d.GetString(id), L"");

  EXPECT_TRUE(d.GetBool(kDataEventEnabled));
  ASSERT_EQ(d.PutBool(kDataEventEnabled, false), S_OK);
  EXPECT_FALSE(d.GetBool(kDataEventEnabled));
  ASSERT_EQ(d.PutBool(kAutoDisable, true), S_OK);
  EXPECT_TRUE(d.GetBool(kAutoDisable));
}

TEST_F(DriverCom, EnablingFailsCleanlyWithoutAPort) {
  TDriver d;
  ASSERT_EQ(d.PutLong(kPortNumber, 213), S_OK);  // no such port in the prefix
  ASSERT_EQ(d.PutBool(kDeviceEnabled, true), S_OK);
  ExpectResult(d, -3, L"Порт недоступен");
  EXPECT_FALSE(d.GetBool(kDeviceEnabled));

  ASSERT_EQ(d.PutLong(kModel, 6), S_OK);  // USB: no COM port to open
  ASSERT_EQ(d.PutBool(kDeviceEnabled, true), S_OK);
  ExpectResult(d, -12, L"Не поддерживается в данной версии оборудования");
  EXPECT_FALSE(d.GetBool(kDeviceEnabled));
  EXPECT_EQ(d.GetString(kDeviceDescription), L"USB-устройство");
  ASSERT_EQ(d.PutBool(kDeviceEnabled, false), S_OK);
  ExpectOk(d);
}

TEST_F(DriverCom, ConnectionPointAndClassInfo) {
  TDriver d;
  ComPtr<IConnectionPointContainer> container;
  ASSERT_EQ(d.Dispatch()->QueryInterface(IID_PPV_ARGS(&container)), S_OK);
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(IID_IPropertyNotifySink, &point), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(container->FindConnectionPoint(DIID_IScanerEvents, &point), S_OK);
  IID iid{};
  EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, DIID_IScanerEvents);

  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(container->EnumConnectionPoints(&points), S_OK);
  IConnectionPoint* got[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(points->Next(2, got, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(got[0], point.Get());
  got[0]->Release();

  // Any IDispatch can listen; the enumerator sees each connection.
  ComPtr<IDispatch> sink1, sink2;
  ASSERT_EQ(CoCreateInstance(CLSID_Scaner45, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&sink1)), S_OK);
  ASSERT_EQ(CoCreateInstance(CLSID_Scaner45, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&sink2)), S_OK);
  DWORD c1 = 0, c2 = 0;
  ASSERT_EQ(point->Advise(sink1.Get(), &c1), S_OK);
  ASSERT_EQ(point->Advise(sink2.Get(), &c2), S_OK);
  EXPECT_NE(c1, c2);
  ComPtr<IEnumConnections> connections;
  ASSERT_EQ(point->EnumConnections(&connections), S_OK);
  CONNECTDATA data[3] = {};
  EXPECT_EQ(connections->Next(3, data, &fetched), S_FALSE);
  EXPECT_EQ(fetched, 2u);
  for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();
  EXPECT_EQ(point->Unadvise(c1), S_OK);
  EXPECT_EQ(point->Unadvise(c1), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point->Unadvise(c2), S_OK);

  ComPtr<IProvideClassInfo2> classInfo;
  ASSERT_EQ(d.Dispatch()->QueryInterface(IID_PPV_ARGS(&classInfo)), S_OK);
  GUID source{};
  EXPECT_EQ(classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source), S_OK);
  EXPECT_EQ(source, DIID_IScanerEvents);
}

// Finds the property dialog of `thread`, reports what it shows, picks an
// item and presses OK, from a second thread while the first runs the dialog.
struct TDialogDriver {
  DWORD Thread;
  int Pick;
  std::atomic<int> Items{-1};
  std::atomic<bool> ListEnabled{false};
  std::atomic<bool> Found{false};

  static BOOL CALLBACK Visit(HWND w, LPARAM self) {
    wchar_t title[128] = {};
    GetWindowTextW(w, title, 128);
    if (std::wstring(title) != L"Свойства драйвера сканера") return TRUE;
    auto* driver = reinterpret_cast<TDialogDriver*>(self);
    const HWND list = GetDlgItem(w, 1001);
    driver->Items = static_cast<int>(SendMessageW(list, LB_GETCOUNT, 0, 0));
    driver->ListEnabled = IsWindowEnabled(list) != FALSE;
    SendMessageW(list, LB_SETCURSEL, driver->Pick, 0);
    PostMessageW(w, WM_COMMAND, IDOK, 0);
    driver->Found = true;
    return FALSE;
  }

  void Run() {
    for (int i = 0; i < 200 && !Found; ++i) {
      EnumThreadWindows(Thread, Visit, reinterpret_cast<LPARAM>(this));
      Sleep(50);
    }
  }
};

TEST_F(DriverCom, ShowPropertiesListsDevicesAndPicksTheCurrentOne) {
  TDriver d;
  ASSERT_EQ(d.Call(kAddDevice), 0);
  ASSERT_EQ(d.Call(kAddDevice), 0);
  ASSERT_EQ(d.GetLong(kCurrentDeviceIndex), 2);
  {
    TDialogDriver dialog{GetCurrentThreadId(), 0};
    std::thread helper([&] { dialog.Run(); });
    EXPECT_EQ(d.Call(kShowProperties), 0);  // returns when the dialog closes
    helper.join();
    ASSERT_TRUE(dialog.Found);
    EXPECT_EQ(dialog.Items, 3);
    EXPECT_TRUE(dialog.ListEnabled);
    EXPECT_EQ(d.GetLong(kCurrentDeviceIndex), 0);
  }
  // With the page disabled the dialog is read-only.
  ASSERT_EQ(d.PutBool(kPropertyPageEnabled, false), S_OK);
  EXPECT_FALSE(d.GetBool(kPropertyPageEnabled));
  TDialogDriver dialog{GetCurrentThreadId(), 1};
  std::thread helper([&] { dialog.Run(); });
  EXPECT_EQ(d.Call(kShowProperties), 0);
  helper.join();
  ASSERT_TRUE(dialog.Found);
  EXPECT_FALSE(dialog.ListEnabled);
  EXPECT_EQ(d.GetLong(kCurrentDeviceIndex), 0);
  ExpectOk(d);
}

}  // namespace
