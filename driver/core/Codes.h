// Result codes, parameter code tables and validation of the driver's logical
// devices. Platform-neutral: the same tables serve the COM server and the
// native tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dravix {

// The driver's result codes; negative is a failure.
enum TResultCode : int32_t {
  rcOk = 0,
  rcNoLink = -1,
  rcReserved = -2,
  rcPortUnavailable = -3,
  rcAborted = -5,
  rcInvalidValue = -6,
  rcCannotAdd = -7,
  rcCannotDelete = -8,
  rcDeviceNotFound = -9,
  rcBadSequence = -10,
  rcNotEnabled = -11,
  rcNotSupported = -12,
  rcModulesMissing = -13,
  rcPortBusy = -14,
  rcUnknown = -199,
};

// The Russian text of a result code; an unknown code gets the text of rcUnknown.
std::wstring_view ResultText(int32_t code);

// The seven port parameters of a logical device, as the driver's codes.
enum class TParam { Port, BaudRate, Parity, DataBits, StopBits, StopFlag, Model };

// Stop flag codes: the byte (or pair) that ends a frame.
enum TStopFlag : int32_t { sfCR = 0, sfLF = 1, sfCRLF = 2, sfSpace = 3, sfTab = 4, sfEsc = 5, sfCtrlC = 6 };

// Model codes. 2 to 4 are other serial devices that behave like a scanner.
enum TModel : int32_t {
  mdScanner = 0,
  mdCardReader = 1,
  mdSerial2 = 2,
  mdSerial3 = 3,
  mdSerial4 = 4,
  mdKeyboard = 5,
  mdUsb = 6,
};

inline constexpr int32_t kMaxPortNumber = 256;

struct TDeviceParams {
  int32_t PortNumber = 1;
  int32_t BaudRate = 7;  // 9600
  int32_t Parity = 0;    // none
  int32_t DataBits = 4;  // 8 bits
  int32_t StopBits = 0;  // one
  int32_t StopFlag = sfCR;
  int32_t Model = mdScanner;

  int32_t Get(TParam p) const;
  void Set(TParam p, int32_t value);
  bool operator==(const TDeviceParams&) const = default;
};

struct TDevice {
  std::wstring Name;
  TDeviceParams Params;
  bool operator==(const TDevice&) const = default;
};

inline constexpr size_t kMaxNameLength = 128;
inline constexpr std::wstring_view kDefaultDeviceName = L"Сканер штрих-кода";

bool IsValidParam(TParam p, int32_t value);
// Names are shown in lists and stored one per registry string: no control
// characters, not empty, at most kMaxNameLength characters.
bool IsValidName(std::wstring_view name);

// Baud rate in bits per second for a baud-rate code, or nothing.
std::optional<uint32_t> BaudRateOf(int32_t code);
// Number of data bits for a data-bits code (n + 4), or nothing.
std::optional<int> DataBitsOf(int32_t code);
// The stop flag's terminating bytes as text ("\r", "\r\n", ...).
std::string_view StopFlagBytes(int32_t code);

// Model 6 has no COM port; everything else is read from a serial line.
inline bool UsesSerialPort(int32_t model) { return model != mdUsb; }
// Models whose frames are split into magnetic tracks / whose bytes are keys.
inline bool IsCardReader(int32_t model) { return model == mdCardReader; }
inline bool IsKeyboard(int32_t model) { return model == mdKeyboard; }

std::wstring_view ModelName(int32_t model);
// One line describing a device and its line settings, e.g.
// "Сканер штрих-кода, COM1, 9600 бод, 8-N-1, стоп-флаг CR".
std::wstring DescribeDevice(const TDevice& device);

}  // namespace dravix
