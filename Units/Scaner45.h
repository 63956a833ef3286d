// The binding of the scanner driver's control (class Scaner45 of Dravix.dll):
// creates one instance in process, windowless and never shown, reads and
// writes its properties by dispatch id, calls its methods and receives its
// two events through the control's connection point.
//
// Every OLE-level failure (creation, a rejected dispatch access, a method's
// failure status) raises rtl::EOleSysError. The driver's own result codes are
// not judged here: that is the wrapper's task (ScanerX.h).
//
// COM must be initialised on the calling thread (single-threaded apartment);
// the events arrive on the thread that created the binding.
#pragma once

#include <oaidl.h>
#include <ocidl.h>
#include <windows.h>
#include <wrl/client.h>

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "Dravix.h"
#include "Units/Scaner45Slots.h"
#include "rtl/Object.h"

using TScaner45DataEvent = std::function<void(rtl::Object& ASender, std::int32_t EventID)>;
using TScaner45KeyEvent = std::function<void(rtl::Object& ASender, const std::wstring& Source,
                                             const std::wstring& Message, const std::wstring& Data)>;

// How the driver's methods are reached. Early: through IScaner714's function
// table where the control's type information confirms each method's slot,
// else by name. Late: always by name through IDispatch, which works whatever
// the order of a driver's function table.
enum class TMethodBinding { Early, Late };

// The system's text for an HRESULT ("OLE error 0x8004xxxx" when it has none).
std::wstring OleErrorMessage(HRESULT hr);
// Raises rtl::EOleSysError for a failure status; success passes.
void OleCheck(HRESULT hr);

class TScaner45 : public rtl::Object {
 public:
  // Creates the control instance; raises rtl::EOleSysError when the class
  // cannot be created (the driver library not registered, for one).
  explicit TScaner45(TMethodBinding binding = TMethodBinding::Early);
  ~TScaner45() override;
  TScaner45(const TScaner45&) = delete;
  TScaner45& operator=(const TScaner45&) = delete;

  // Properties of the control, by dispatch id.
  std::int32_t GetResultCode();
  std::wstring GetResultDescription();
  std::wstring GetVersion();
  std::int32_t GetCurrentDeviceIndex();
  void SetCurrentDeviceIndex(std::int32_t value);
  std::int32_t GetCurrentDeviceNumber();
  void SetCurrentDeviceNumber(std::int32_t value);
  std::wstring GetCurrentDeviceName();
  void SetCurrentDeviceName(const std::wstring& value);
  std::int32_t GetDeviceCount();
  std::int32_t GetPortNumber();
  void SetPortNumber(std::int32_t value);
  std::int32_t GetBaudRate();
  void SetBaudRate(std::int32_t value);
  std::int32_t GetParity();
  void SetParity(std::int32_t value);
  std::int32_t GetDataBits();
  void SetDataBits(std::int32_t value);
  std::int32_t GetStopBits();
  void SetStopBits(std::int32_t value);
  std::int32_t GetStopFlag();
  void SetStopFlag(std::int32_t value);
  std::int32_t GetLockDevices();
  void SetLockDevices(std::int32_t value);
  std::wstring GetDeviceDescription();
  bool GetDeviceEnabled();
  void SetDeviceEnabled(bool value);
  std::int32_t GetModel();
  void SetModel(std::int32_t value);
  bool GetAutoDisable();
  void SetAutoDisable(bool value);
  std::int32_t GetDataCount();
  bool GetDataEventEnabled();
  void SetDataEventEnabled(bool value);
  std::int32_t GetEventNumber();
  void SetEventNumber(std::int32_t value);
  std::wstring GetScanData();
  std::wstring GetTrack1();
  std::wstring GetTrack2();
  std::wstring GetTrack3();
  void SetPropertyPageEnabled(bool value);

  // Methods: each returns the driver's result code (negative: failure).
  std::int32_t ShowProperties();
  std::int32_t AddDevice();
  std::int32_t DeleteDevice();
  std::int32_t DeleteEvent();
  std::int32_t ClearDevices();
  void AboutBox();

  // True when the four methods the tool calls (ShowProperties, AddDevice,
  // DeleteDevice, DeleteEvent) go through the control's IScaner714 function table.
  bool EarlyBound() const noexcept;

  // Event handlers; the binding is the sender. An exception escaping a
  // handler goes to rtl::ApplicationHandleException with the binding as
  // sender and never back to the driver.
  const TScaner45DataEvent& GetOnDataEvent() const noexcept { return fOnDataEvent; }
  void SetOnDataEvent(TScaner45DataEvent handler) { fOnDataEvent = std::move(handler); }
  const TScaner45KeyEvent& GetOnKeyEvent() const noexcept { return fOnKeyEvent; }
  void SetOnKeyEvent(TScaner45KeyEvent handler) { fOnKeyEvent = std::move(handler); }

 private:
  class TEventSink;
  friend class TEventSink;

  void GetProperty(DISPID id, VARTYPE type, VARIANT& value);
  void SetProperty(DISPID id, VARIANT& value);
  std::int32_t GetInteger(DISPID id);
  void SetInteger(DISPID id, std::int32_t value);
  std::wstring GetString(DISPID id);
  void SetString(DISPID id, const std::wstring& value);
  bool GetBoolean(DISPID id);
  void SetBoolean(DISPID id, bool value);
  void Invoke(DISPID id, WORD flags, DISPPARAMS& params, VARIANT* result);
  DISPID DispIdOf(const wchar_t* name);
  std::int32_t CallByName(const wchar_t* name);
  template <typename EarlyCall>
  // method: its index in Scaner45Slots.h.
  std::int32_t CallMethod(std::size_t method, EarlyCall call);
  [[noreturn]] void RaiseEarlyBoundError(HRESULT hr);

  void DataEvent(std::int32_t EventID);
  void KeyEvent(const std::wstring& Source, const std::wstring& Message, const std::wstring& Data);

  Microsoft::WRL::ComPtr<IDispatch> fControl;
  Microsoft::WRL::ComPtr<IScaner714> fEarly;
  // Which methods (by their index in Scaner45Slots.h) go through fEarly.
  std::bitset<kScaner714SlotCount> fTableSlots;
  Microsoft::WRL::ComPtr<IConnectionPoint> fEventPoint;
  Microsoft::WRL::ComPtr<TEventSink> fSink;
  DWORD fCookie = 0;
  std::map<std::wstring, DISPID> fDispIds;
  TScaner45DataEvent fOnDataEvent;
  TScaner45KeyEvent fOnKeyEvent;
};
