// Real scans through a serial line: the control's device reads COM11, the
// test writes to COM12, the other end of a pty pair (with-com-pair.sh), and
// receives the control's events on its own thread through a connection point.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DriverClient.h"

using namespace dravix;
using namespace dravix::test;

namespace {

constexpr long kDevicePort = 11;
constexpr wchar_t kWriterPort[] = L"\\\\.\\COM12";

struct TFired {
  DISPID Id;
  std::vector<std::wstring> Args;  // in declaration order
};

// An event sink on the test's thread that records what is fired at it.
class TSink final : public IDispatch {
 public:
  std::vector<TFired> Fired;
  DWORD Thread = GetCurrentThreadId();
  bool WrongThread = false;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == DIID_IScanerEvents) {
      *object = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++fRefs; }
  ULONG STDMETHODCALLTYPE Release() override { return --fRefs; }  // owned by the test
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    if (GetCurrentThreadId() != Thread) WrongThread = true;
    TFired fired{id, {}};
    for (UINT i = params->cArgs; i-- > 0;) {
      const VARIANT& v = params->rgvarg[i];
      fired.Args.push_back(v.vt == VT_BSTR ? std::wstring(v.bstrVal, SysStringLen(v.bstrVal))
                           : v.vt == VT_I4 ? std::to_wstring(v.lVal)
                                           : L"?");
    }
    Fired.push_back(std::move(fired));
    return S_OK;
  }
  ULONG Refs() const { return fRefs; }

 private:
  ULONG fRefs = 0;
};

class DriverSerial : public testing::Test {
 protected:
  DriverSerial() : fKey(L"serial") {}

  void SetUp() override {
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(fDriver.Dispatch()->QueryInterface(IID_PPV_ARGS(&container)), S_OK);
    ASSERT_EQ(container->FindConnectionPoint(DIID_IScanerEvents, &fPoint), S_OK);
    ASSERT_EQ(fPoint->Advise(&fSink, &fCookie), S_OK);
    ASSERT_EQ(fDriver.PutLong(kPortNumber, kDevicePort), S_OK);
    ASSERT_EQ(fDriver.PutLong(kStopFlag, 2), S_OK);  // CR LF
    fWriter = CreateFileW(kWriterPort, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(fWriter, INVALID_HANDLE_VALUE) << "COM12: run under with-com-pair.sh 11 12";
  }

  void TearDown() override {
    if (fPoint) {
      EXPECT_EQ(fPoint->Unadvise(fCookie), S_OK);
    }
    if (fWriter != INVALID_HANDLE_VALUE) CloseHandle(fWriter);
    EXPECT_FALSE(fSink.WrongThread) << "an event arrived on another thread";
  }

  void Enable(long model) {
    ASSERT_EQ(fDriver.PutLong(kModel, model), S_OK);
    ASSERT_EQ(fDriver.PutBool(kDeviceEnabled, true), S_OK);
    ASSERT_EQ(fDriver.Code(), 0) << std::string(fDriver.Text().begin(), fDriver.Text().end());
    ASSERT_TRUE(fDriver.GetBool(kDeviceEnabled));
  }

  void Write(const std::string& bytes) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(fWriter, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_EQ(written, bytes.size());
  }

  bool WaitForEvents(size_t count) {
    return PumpUntil([&] { return fSink.Fired.size() >= count; });
  }

  // Selects a fired data event and returns its data and tracks.
  std::vector<std::wstring> Read(long eventId) {
    EXPECT_EQ(fDriver.PutLong(kEventNumber, eventId), S_OK);
    EXPECT_EQ(fDriver.Code(), 0);
    return {fDriver.GetString(kScanData), fDriver.GetString(kTrack1), fDriver.GetString(kTrack2),
            fDriver.GetString(kTrack3)};
  }

  TSettingsKey fKey;
  TDriver fDriver;
  TSink fSink;
  ComPtr<IConnectionPoint> fPoint;
  DWORD fCookie = 0;
  HANDLE fWriter = INVALID_HANDLE_VALUE;
};

TEST_F(DriverSerial, BarcodeArrivesAsDataEvent) {
  Enable(0);
  Write("4601234567890\r\n");
  ASSERT_TRUE(WaitForEvents(1));
  ASSERT_EQ(fSink.Fired[0].Id, 1);
  const long id = std::stol(fSink.Fired[0].Args.at(0));
  EXPECT_EQ(fDriver.GetLong(kDataCount), 1);
  EXPECT_EQ(Read(id), (std::vector<std::wstring>{L"4601234567890", L"", L"", L""}));
  EXPECT_EQ(fDriver.Call(kDeleteEvent), 0);
  EXPECT_EQ(fDriver.GetLong(kDataCount), 0);
  ASSERT_EQ(fDriver.PutLong(kEventNumber, id), S_OK);
  EXPECT_EQ(fDriver.Code(), -6);

  // Cyrillic text from a scanner is code page 1251.
  Write("\xCF\xF0\xE8\xE2\xE5\xF2\r\n");
  ASSERT_TRUE(WaitForEvents(2));
  EXPECT_EQ(Read(std::stol(fSink.Fired[1].Args.at(0)))[0], L"Привет");
}

TEST_F(DriverSerial, CardLineIsSplitIntoTracks) {
  Enable(1);
  Write("%B4111^IVANOV/I^2512?;4111=2512?;0123?\r\n");
  ASSERT_TRUE(WaitForEvents(1));
  EXPECT_EQ(Read(std::stol(fSink.Fired[0].Args.at(0))),
            (std::vector<std::wstring>{L"%B4111^IVANOV/I^2512?;4111=2512?;0123?", L"B4111^IVANOV/I^2512",
                                       L"4111=2512", L"0123"}));
}

TEST_F(DriverSerial, ScansInARowArriveInOrder) {
  Enable(0);
  Write("FIRST\r\nSECOND\r");
  Write("\nTHIRD\r\n");
  ASSERT_TRUE(WaitForEvents(3));
  std::vector<std::wstring> data;
  long previous = 0;
  for (const TFired& fired : fSink.Fired) {
    EXPECT_EQ(fired.Id, 1);
    const long id = std::stol(fired.Args.at(0));
    EXPECT_GT(id, previous);
    previous = id;
    data.push_back(Read(id)[0]);
  }
  EXPECT_EQ(data, (std::vector<std::wstring>{L"FIRST", L"SECOND", L"THIRD"}));
  EXPECT_EQ(fDriver.GetLong(kDataCount), 3);
}

TEST_F(DriverSerial, KeyboardByteArrivesAsKeyEvent) {
  ASSERT_EQ(fDriver.PutString(kCurrentDeviceName, L"Клавиатура"), S_OK);
  Enable(5);
  Write("A\r");
  ASSERT_TRUE(WaitForEvents(2));
  EXPECT_EQ(fSink.Fired[0].Id, 201);
  EXPECT_EQ(fSink.Fired[0].Args, (std::vector<std::wstring>{L"Клавиатура", L"KeyDown", L"65"}));
  EXPECT_EQ(fSink.Fired[1].Args, (std::vector<std::wstring>{L"Клавиатура", L"KeyDown", L"13"}));
  EXPECT_EQ(fDriver.GetLong(kDataCount), 0);  // keys are not queued data
}

TEST_F(DriverSerial, AutoDisableAndHeldEvents) {
  Enable(0);
  ASSERT_EQ(fDriver.PutBool(kAutoDisable, true), S_OK);
  Write("ONE\r\nTWO\r\nTHREE\r\n");
  ASSERT_TRUE(PumpUntil([&] { return fDriver.GetLong(kDataCount) == 3; }));
  PumpUntil([] { return false; }, 300);  // nothing more may fire
  ASSERT_EQ(fSink.Fired.size(), 1u);
  EXPECT_FALSE(fDriver.GetBool(kDataEventEnabled));
  EXPECT_EQ(Read(std::stol(fSink.Fired[0].Args.at(0)))[0], L"ONE");

  // Re-enabling fires the next held event only (AutoDisable is still on).
  ASSERT_EQ(fDriver.PutBool(kDataEventEnabled, true), S_OK);
  ASSERT_TRUE(WaitForEvents(2));
  PumpUntil([] { return false; }, 300);
  EXPECT_EQ(fSink.Fired.size(), 2u);
  EXPECT_EQ(Read(std::stol(fSink.Fired[1].Args.at(0)))[0], L"TWO");

  // Without AutoDisable the rest fire in order.
  ASSERT_EQ(fDriver.PutBool(kAutoDisable, false), S_OK);
  ASSERT_EQ(fDriver.PutBool(kDataEventEnabled, true), S_OK);
  ASSERT_TRUE(WaitForEvents(3));
  EXPECT_EQ(Read(std::stol(fSink.Fired[2].Args.at(0)))[0], L"THREE");
}

TEST_F(DriverSerial, PortOfAnotherEnabledDeviceIsBusy) {
  Enable(0);
  ASSERT_EQ(fDriver.Call(kAddDevice), 0);
  ASSERT_EQ(fDriver.PutLong(kPortNumber, kDevicePort), S_OK);
  ASSERT_EQ(fDriver.PutBool(kDeviceEnabled, true), S_OK);
  EXPECT_EQ(fDriver.Code(), -14);
  EXPECT_EQ(fDriver.Text(), L"Порт занят приложением");
  EXPECT_FALSE(fDriver.GetBool(kDeviceEnabled));
  // Deleting the enabled first device frees its port for the second.
  ASSERT_EQ(fDriver.PutLong(kCurrentDeviceIndex, 0), S_OK);
  ASSERT_EQ(fDriver.Call(kDeleteDevice), 0);
  ASSERT_FALSE(fDriver.GetBool(kDeviceEnabled));
  Enable(0);
}

TEST_F(DriverSerial, ReopenOnChangeAndCloseOnDisable) {
  Enable(0);
  // A new line setting reopens the port; scans keep arriving.
  ASSERT_EQ(fDriver.PutLong(kBaudRate, 14), S_OK);
  EXPECT_EQ(fDriver.Code(), 0);
  EXPECT_TRUE(fDriver.GetBool(kDeviceEnabled));
  ASSERT_EQ(fDriver.PutLong(kStopFlag, 4), S_OK);  // Tab
  fSink.Fired.clear();
  Write("X1\tX2\t");
  ASSERT_TRUE(WaitForEvents(2));
  EXPECT_EQ(Read(std::stol(fSink.Fired[1].Args.at(0)))[0], L"X2");

  // Disabled: nothing is read any more.
  ASSERT_EQ(fDriver.PutBool(kDeviceEnabled, false), S_OK);
  EXPECT_EQ(fDriver.Code(), 0);
  EXPECT_FALSE(fDriver.GetBool(kDeviceEnabled));
  const long queued = fDriver.GetLong(kDataCount);
  fSink.Fired.clear();
  Write("AFTER\t");
  PumpUntil([] { return false; }, 300);
  EXPECT_TRUE(fSink.Fired.empty());
  EXPECT_EQ(fDriver.GetLong(kDataCount), queued);
}

TEST_F(DriverSerial, ReleasingAnEnabledControlStopsItsReader) {
  Enable(0);
  Write("BEFORE\r\n");
  ASSERT_TRUE(WaitForEvents(1));
  ASSERT_EQ(fPoint->Unadvise(fCookie), S_OK);
  fPoint.Reset();
  fDriver = TDriver();  // the old control goes away with its port open
  EXPECT_EQ(fSink.Refs(), 0u);
  // The old control's reader has stopped and given the port back: a new
  // control may enable it at once (a port still claimed would give -14).
  Enable(0);
}

}  // namespace
