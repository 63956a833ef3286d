// The one gate between the tool's windows and the scanner driver: owns the
// control's binding, creates it on first use, turns every failure the driver
// reports into EScanerX carrying the driver's own description, and relays the
// driver's events with itself as the sender.
//
// Accessors raise EScanerX when the driver's ResultCode is negative after the
// access, except ResultCode and ResultDescription, which never do: they are
// the way out of an error. Failures at the OLE level raise rtl::EOleSysError.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Units/Scaner45.h"
#include "rtl/Exceptions.h"
#include "rtl/Object.h"

// A failure the driver reported; the message is its ResultDescription.
class EScanerX : public rtl::Exception {
 public:
  using rtl::Exception::Exception;
};

// A driver call that failed, as the wrapper tells it before the exception
// goes on: the call ("DeviceEnabled := True", "ScanData", "DeleteEvent()")
// and, for a failure the driver reported (EScanerX), its result code and
// description; for one at the OLE level (rtl::EOleSysError), the failure
// status (HRESULT) and its message.
struct TScanerXError {
  std::wstring Call;
  std::int32_t Code = 0;
  std::wstring Description;
};
using TScanerXErrorEvent = std::function<void(rtl::Object& Sender, const TScanerXError& Error)>;

class TScanerX : public rtl::Object {
 public:
  TScanerX() = default;
  ~TScanerX() override;
  TScanerX(const TScanerX&) = delete;
  TScanerX& operator=(const TScanerX&) = delete;

  // The binding itself, created (and so the control) on first use.
  TScaner45& Scaner() { return GetScaner(); }
  // Whether the binding exists (it does not before first use or after a
  // failed creation).
  bool HasScaner() const noexcept { return fScaner != nullptr; }
  // Frees the binding, which releases the control.
  void DoneScaner() noexcept;

  std::int32_t GetDeviceCount();
  std::wstring GetDeviceDescription();
  std::int32_t GetResultCode();
  std::wstring GetResultDescription();
  std::int32_t GetCurrentDeviceIndex();
  void SetCurrentDeviceIndex(std::int32_t Value);
  std::int32_t GetCurrentDeviceNumber();
  void SetCurrentDeviceNumber(std::int32_t Value);
  std::wstring GetCurrentDeviceName();
  void SetCurrentDeviceName(const std::wstring& Value);
  std::int32_t GetPortNumber();
  void SetPortNumber(std::int32_t Value);
  std::int32_t GetBaudRate();
  void SetBaudRate(std::int32_t Value);
  std::int32_t GetParity();
  void SetParity(std::int32_t Value);
  std::int32_t GetDataBits();
  void SetDataBits(std::int32_t Value);
  std::int32_t GetStopBits();
  void SetStopBits(std::int32_t Value);
  std::int32_t GetStopFlag();
  void SetStopFlag(std::int32_t Value);
  bool GetDeviceEnabled();
  void SetDeviceEnabled(bool Value);
  std::int32_t GetModel();
  void SetModel(std::int32_t Value);
  std::int32_t GetLockDevices();
  void SetLockDevices(std::int32_t Value);
  bool GetAutoDisable();
  void SetAutoDisable(bool Value);
  bool GetDataEventEnabled();
  void SetDataEventEnabled(bool Value);
  std::int32_t GetEventNumber();
  void SetEventNumber(std::int32_t Value);
  const TScaner45DataEvent& GetOnDataEvent() const noexcept { return fOnDataEvent; }
  void SetOnDataEvent(TScaner45DataEvent Value) { fOnDataEvent = std::move(Value); }
  const TScaner45KeyEvent& GetOnKeyEvent() const noexcept { return FOnKeyEvent; }
  void SetOnKeyEvent(TScaner45KeyEvent Value) { FOnKeyEvent = std::move(Value); }
  // Told of every failed driver call, just before its exception goes on;
  // an exception of the handler goes on in its place.
  const TScanerXErrorEvent& GetOnError() const noexcept { return fOnError; }
  void SetOnError(TScanerXErrorEvent Value) { fOnError = std::move(Value); }
  std::wstring GetVersion();
  std::int32_t GetDataCount();
  std::wstring GetScanData();
  std::wstring GetTrack1();
  std::wstring GetTrack2();
  std::wstring GetTrack3();

  // Each judged by the code the driver method returns, not by ResultCode.
  void AddDevice();
  void DeleteDevice();
  // Removes the data event that EventNumber selects.
  void DeleteEvent();
  // Returns when the driver's property pages are closed.
  void ShowProperties();
  void ClearDevices();
  void AboutBox();

 private:
  TScaner45& GetScaner();
  void CreateScaner();
  // Call: what was called, for OnError (see TScanerXError).
  void CheckResultCode(std::int32_t Code, const wchar_t* Call);
  void RaiseLastError(const wchar_t* Name);
  template <class Value>
  void RaiseLastError(const wchar_t* Name, const Value& Written);
  [[noreturn]] void RaiseError(std::wstring Call, std::int32_t Code);
  // Runs a driver access; an OLE-level failure of it is told to OnError,
  // with the call that Describe names, and goes on unchanged.
  template <class Access, class Describe>
  auto Guard(Access access, Describe describe) -> decltype(access());
  void ScanerDataEvent(rtl::Object& ASender, std::int32_t EventID);
  void ScanerKeyEvent(rtl::Object& ASender, const std::wstring& Source, const std::wstring& Message,
                      const std::wstring& Data);

  std::unique_ptr<TScaner45> fScaner;
  TScaner45DataEvent fOnDataEvent;
  TScaner45KeyEvent FOnKeyEvent;
  TScanerXErrorEvent fOnError;
};
