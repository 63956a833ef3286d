#include "driver/core/Codes.h"

#include <array>

namespace dravix {

namespace {

struct TResultEntry {
  int32_t Code;
  std::wstring_view Text;
};

constexpr std::array kResults{
    TResultEntry{rcOk, L"Ошибок нет"},
    TResultEntry{rcNoLink, L"Нет связи"},
    TResultEntry{rcReserved, L"Операция зарезервирована для будущих версий"},
    TResultEntry{rcPortUnavailable, L"Порт недоступен"},
    TResultEntry{rcAborted, L"Работа драйвера прервана пользователем"},
    TResultEntry{rcInvalidValue, L"Недопустимое значение"},
    TResultEntry{rcCannotAdd, L"Невозможно добавить устройство"},
    TResultEntry{rcCannotDelete, L"Невозможно удалить устройство"},
    TResultEntry{rcDeviceNotFound, L"Логическое устройство не найдено"},
    TResultEntry{rcBadSequence, L"Неверная последовательность команд"},
    TResultEntry{rcNotEnabled, L"Устройство не включено"},
    TResultEntry{rcNotSupported, L"Не поддерживается в данной версии оборудования"},
    TResultEntry{rcModulesMissing, L"Драйвер не смог загрузить необходимые модули"},
    TResultEntry{rcPortBusy, L"Порт занят приложением"},
    TResultEntry{rcUnknown, L"Неопознанная ошибка"},
};

constexpr std::array<uint32_t, 15> kBaudRates{110,   300,   600,   1200,  2400,  4800,  7200,  9600,
                                              12000, 14400, 19200, 28800, 38400, 57600, 115200};

}  // namespace

std::wstring_view ResultText(int32_t code) {
  for (const auto& entry : kResults) {
    if (entry.Code == code) return entry.Text;
  }
  return kResults.back().Text;
}

int32_t TDeviceParams::Get(TParam p) const {
  switch (p) {
    case TParam::Port:
      return PortNumber;
    case TParam::BaudRate:
      return BaudRate;
    case TParam::Parity:
      return Parity;
    case TParam::DataBits:
      return DataBits;
    case TParam::StopBits:
      return StopBits;
    case TParam::StopFlag:
      return StopFlag;
    case TParam::Model:
      return Model;
  }
  return 0;
}

void TDeviceParams::Set(TParam p, int32_t value) {
  switch (p) {
    case TParam::Port:
      PortNumber = value;
      break;
    case TParam::BaudRate:
      BaudRate = value;
      break;
    case TParam::Parity:
      Parity = value;
      break;
    case TParam::DataBits:
      DataBits = value;
      break;
    case TParam::StopBits:
      StopBits = value;
      break;
    case TParam::StopFlag:
      StopFlag = value;
      break;
    case TParam::Model:
      Model = value;
      break;
  }
}

bool IsValidParam(TParam p, int32_t value) {
  switch (p) {
    case TParam::Port:
      return value >= 1 && value <= kMaxPortNumber;
    case TParam::BaudRate:
      return value >= 0 && value < static_cast<int32_t>(kBaudRates.size());
    case TParam::Parity:
      return value >= 0 && value <= 4;
    case TParam::DataBits:
      return value >= 1 && value <= 4;
    case TParam::StopBits:
      return value >= 0 && value <= 2;
    case TParam::StopFlag:
      return value >= sfCR && value <= sfCtrlC;
    case TParam::Model:
      return value >= mdScanner && value <= mdUsb;
  }
  return false;
}

bool IsValidName(std::wstring_view name) {
  if (name.empty() || name.size() > kMaxNameLength) return false;
  for (const wchar_t c : name) {
    if (c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

std::optional<uint32_t> BaudRateOf(int32_t code) {
  if (!IsValidParam(TParam::BaudRate, code)) return std::nullopt;
  return kBaudRates[static_cast<size_t>(code)];
}

std::optional<int> DataBitsOf(int32_t code) {
  if (!IsValidParam(TParam::DataBits, code)) return std::nullopt;
  return code + 4;
}

std::string_view StopFlagBytes(int32_t code) {
  switch (code) {
    case sfCR:
      return "\r";
    case sfLF:
      return "\n";
    case sfCRLF:
      return "\r\n";
    case sfSpace:
      return " ";
    case sfTab:
      return "\t";
    case sfEsc:
      return "\x1b";
    case sfCtrlC:
      return "\x03";
  }
  return {};
}

std::wstring_view ModelName(int32_t model) {
  switch (model) {
    case mdScanner:
      return L"Сканер штрих-кода";
    case mdCardReader:
      return L"Считыватель магнитных карт";
    case mdSerial2:
    case mdSerial3:
    case mdSerial4:
      return L"Последовательное устройство";
    case mdKeyboard:
      return L"Ресторанная клавиатура (VT-734)";
    case mdUsb:
      return L"USB-устройство";
  }
  return L"?";
}

std::wstring DescribeDevice(const TDevice& device) {
  const TDeviceParams& p = device.Params;
  std::wstring text(ModelName(p.Model));
  if (!UsesSerialPort(p.Model)) return text;
  static constexpr std::wstring_view kParity = L"NOEMS";
  static constexpr std::array<std::wstring_view, 3> kStop{L"1", L"1.5", L"2"};
  static constexpr std::array<std::wstring_view, 7> kFlag{L"CR",  L"LF",  L"CR/LF", L"Space",
                                                          L"Tab", L"Esc", L"Ctrl-C"};
  text += L", COM" + std::to_wstring(p.PortNumber);
  if (const auto baud = BaudRateOf(p.BaudRate)) text += L", " + std::to_wstring(*baud) + L" бод";
  if (const auto bits = DataBitsOf(p.DataBits);
      bits && IsValidParam(TParam::Parity, p.Parity) && IsValidParam(TParam::StopBits, p.StopBits)) {
    text += L", " + std::to_wstring(*bits) + L"-" + kParity[static_cast<size_t>(p.Parity)] + L"-" +
            std::wstring(kStop[static_cast<size_t>(p.StopBits)]);
  }
  if (IsValidParam(TParam::StopFlag, p.StopFlag)) {
    text += L", стоп-флаг ";
    text += kFlag[static_cast<size_t>(p.StopFlag)];
  }
  return text;
}

}  // namespace dravix
