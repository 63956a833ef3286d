#include "Units/ScanerX.h"

#include <utility>

TScanerX::~TScanerX() { DoneScaner(); }

void TScanerX::DoneScaner() noexcept { fScaner.reset(); }

TScaner45& TScanerX::GetScaner() {
  if (!fScaner) CreateScaner();
  return *fScaner;
}

void TScanerX::CreateScaner() {
  // A creation failure propagates unchanged and leaves fScaner empty.
  auto scaner = std::make_unique<TScaner45>();
  scaner->SetOnDataEvent(
      [this](rtl::Object& ASender, std::int32_t EventID) { ScanerDataEvent(ASender, EventID); });
  scaner->SetOnKeyEvent([this](rtl::Object& ASender, const std::wstring& Source, const std::wstring& Message,
                               const std::wstring& Data) { ScanerKeyEvent(ASender, Source, Message, Data); });
  fScaner = std::move(scaner);
}

namespace {

// How a write reads in TScanerXError::Call.
std::wstring ValueText(std::int32_t value) { return std::to_wstring(value); }
std::wstring ValueText(bool value) { return value ? L"True" : L"False"; }
std::wstring ValueText(const std::wstring& value) { return L"'" + value + L"'"; }
template <class Value>
std::wstring WriteText(const wchar_t* name, const Value& value) {
  return std::wstring(name) + L" := " + ValueText(value);
}

}  // namespace

template <class Access, class Describe>
auto TScanerX::Guard(Access access, Describe describe) -> decltype(access()) {
  try {
    return access();
  } catch (const rtl::EOleSysError& e) {
    if (const TScanerXErrorEvent handler = fOnError) handler(*this, {describe(), e.ErrorCode(), e.Message()});
    throw;
  }
}

void TScanerX::RaiseError(std::wstring Call, std::int32_t Code) {
  TScanerXError error{std::move(Call), Code, GetScaner().GetResultDescription()};
  if (const TScanerXErrorEvent handler = fOnError) handler(*this, error);
  throw EScanerX(std::move(error.Description));
}

void TScanerX::CheckResultCode(std::int32_t Code, const wchar_t* Call) {
  if (Code < 0) RaiseError(Call, Code);
}

void TScanerX::RaiseLastError(const wchar_t* Name) {
  const std::int32_t code = GetScaner().GetResultCode();
  if (code < 0) RaiseError(Name, code);
}

// The value's text is made only for a failure.
template <class Value>
void TScanerX::RaiseLastError(const wchar_t* Name, const Value& Written) {
  const std::int32_t code = GetScaner().GetResultCode();
  if (code < 0) RaiseError(WriteText(Name, Written), code);
}

void TScanerX::ScanerDataEvent(rtl::Object&, std::int32_t EventID) {
  // A copy: the handler may replace itself or free this wrapper.
  const TScaner45DataEvent handler = fOnDataEvent;
  if (handler) handler(*this, EventID);
}

void TScanerX::ScanerKeyEvent(rtl::Object&, const std::wstring& Source, const std::wstring& Message,
                              const std::wstring& Data) {
  const TScaner45KeyEvent handler = FOnKeyEvent;
  if (handler) handler(*this, Source, Message, Data);
}

// Every accessor: the driver access, then the verdict on it. A value read by
// a failing access is discarded by the exception.
#define TSCANERX_READ(Type, Name)                \
  Type TScanerX::Get##Name() {                   \
    return Guard(                                \
        [&] {                                    \
          Type value = GetScaner().Get##Name();  \
          RaiseLastError(L"" #Name);             \
          return value;                          \
        },                                       \
        [] { return std::wstring(L"" #Name); }); \
  }
#define TSCANERX_WRITE(Type, Name)                    \
  void TScanerX::Set##Name(Type Value) {              \
    Guard(                                            \
        [&] {                                         \
          GetScaner().Set##Name(Value);               \
          RaiseLastError(L"" #Name, Value);           \
        },                                            \
        [&] { return WriteText(L"" #Name, Value); }); \
  }
// Methods are judged by the code they return.
#define TSCANERX_METHOD(Name)                                           \
  void TScanerX::Name() {                                               \
    Guard([&] { CheckResultCode(GetScaner().Name(), L"" #Name "()"); }, \
          [] { return std::wstring(L"" #Name "()"); });                 \
  }

TSCANERX_READ(std::int32_t, DeviceCount)
TSCANERX_READ(std::wstring, DeviceDescription)
TSCANERX_READ(std::int32_t, CurrentDeviceIndex)
TSCANERX_WRITE(std::int32_t, CurrentDeviceIndex)
TSCANERX_READ(std::int32_t, CurrentDeviceNumber)
TSCANERX_WRITE(std::int32_t, CurrentDeviceNumber)
TSCANERX_READ(std::wstring, CurrentDeviceName)
TSCANERX_WRITE(const std::wstring&, CurrentDeviceName)
TSCANERX_READ(std::int32_t, PortNumber)
TSCANERX_WRITE(std::int32_t, PortNumber)
TSCANERX_READ(std::int32_t, BaudRate)
TSCANERX_WRITE(std::int32_t, BaudRate)
TSCANERX_READ(std::int32_t, Parity)
TSCANERX_WRITE(std::int32_t, Parity)
TSCANERX_READ(std::int32_t, DataBits)
TSCANERX_WRITE(std::int32_t, DataBits)
TSCANERX_READ(std::int32_t, StopBits)
TSCANERX_WRITE(std::int32_t, StopBits)
TSCANERX_READ(std::int32_t, StopFlag)
TSCANERX_WRITE(std::int32_t, StopFlag)
TSCANERX_READ(bool, DeviceEnabled)
TSCANERX_WRITE(bool, DeviceEnabled)
TSCANERX_READ(std::int32_t, Model)
TSCANERX_WRITE(std::int32_t, Model)
TSCANERX_READ(std::int32_t, LockDevices)
TSCANERX_WRITE(std::int32_t, LockDevices)
TSCANERX_READ(bool, AutoDisable)
TSCANERX_WRITE(bool, AutoDisable)
TSCANERX_READ(bool, DataEventEnabled)
TSCANERX_WRITE(bool, DataEventEnabled)
TSCANERX_READ(std::int32_t, EventNumber)
TSCANERX_WRITE(std::int32_t, EventNumber)
TSCANERX_READ(std::wstring, Version)
TSCANERX_READ(std::int32_t, DataCount)
TSCANERX_READ(std::wstring, ScanData)
TSCANERX_READ(std::wstring, Track1)
TSCANERX_READ(std::wstring, Track2)
TSCANERX_READ(std::wstring, Track3)

TSCANERX_METHOD(AddDevice)
TSCANERX_METHOD(DeleteDevice)
TSCANERX_METHOD(DeleteEvent)
TSCANERX_METHOD(ShowProperties)
TSCANERX_METHOD(ClearDevices)

#undef TSCANERX_READ
#undef TSCANERX_WRITE
#undef TSCANERX_METHOD

// The way out of an error: these two never raise EScanerX.
std::int32_t TScanerX::GetResultCode() {
  return Guard([&] { return GetScaner().GetResultCode(); }, [] { return std::wstring(L"ResultCode"); });
}
std::wstring TScanerX::GetResultDescription() {
  return Guard([&] { return GetScaner().GetResultDescription(); },
               [] { return std::wstring(L"ResultDescription"); });
}

void TScanerX::AboutBox() {
  Guard([&] { GetScaner().AboutBox(); }, [] { return std::wstring(L"AboutBox()"); });
}
