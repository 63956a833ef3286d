// The port parameters of a logical device as the devices dialog names them:
// the driver's integer codes with the texts shown in the lists, and the
// conversion of an operator's text into a code. Platform-neutral.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// One row of a value table: the text a list shows and the driver's code.
struct TComboItem {
  std::wstring_view ItemName;
  std::int32_t ItemValue;
};

// Codes without a row (baud-rate code 6, say) are valid for the driver but
// have no name here; the editors pass them through as numbers.
inline constexpr std::array<TComboItem, 9> BaudRates{{
    {L"300", 1},
    {L"600", 2},
    {L"1200", 3},
    {L"2400", 4},
    {L"4800", 5},
    {L"9600", 7},
    {L"14400", 9},
    {L"19200", 10},
    {L"38400", 12},
}};

inline constexpr std::array<TComboItem, 5> Parities{{
    {L"Нет", 0},
    {L"Нечетность", 1},
    {L"Четность", 2},
    {L"Установлен", 3},
    {L"Сброшен", 4},
}};

inline constexpr std::array<TComboItem, 2> DataBits{{{L"7", 3}, {L"8", 4}}};

inline constexpr std::array<TComboItem, 2> StopBits{{{L"1", 0}, {L"2", 2}}};

inline constexpr std::array<TComboItem, 7> StopFlag{{
    {L"CR (0DH)", 0},
    {L"LF (0AH)", 1},
    {L"CR/LF (0D0AH)", 2},
    {L"Space (20H)", 3},
    {L"Tab (09H)", 4},
    {L"Esc (1BH)", 5},
    {L"Ctrl-C (03H)", 6},
}};

inline constexpr std::array<TComboItem, 3> ModelID{{
    {L"Сканер штрих-кода", 0},
    {L"Считыватель магнитных карт", 1},
    {L"Ресторанная клавиатура (VT-734)", 5},
}};

// The port list is generated rather than tabled: "COM 1" carries code 1, up
// to "COM 32" with code 32.
inline constexpr std::int32_t kFirstListedPort = 1;
inline constexpr std::int32_t kLastListedPort = 32;
std::wstring PortItemName(std::int32_t port);

// The classic runtime's text-to-integer rules: leading blanks (spaces only)
// are skipped, then an optional '+' or '-', then decimal digits, or
// hexadecimal digits after "$", "x", "X", "0x" or "0X". The digits must run to
// the end of the text. A decimal value must lie in the signed 32-bit range; a
// hexadecimal one may use all 32 bits and is read as two's complement
// ("$FFFFFFFF" is -1), negated after a '-'. Empty on any failure.
std::optional<std::int32_t> TryStrToInt(std::wstring_view value);

// TryStrToInt, raising rtl::EConvertError with the message
// "<value>" не является целым числом when the text is not an integer.
std::int32_t StrToIntRus(std::wstring_view Value);

// The message StrToIntRus raises for value.
std::wstring NotAnIntegerMessage(std::wstring_view value);
