// Small utilities of the tool: the window font from the registry and the
// program's own file version.
#pragma once

#include <windows.h>

#include <string>
#include <utility>

#include "gui/Font.h"
#include "rtl/Exceptions.h"
#include "rtl/SysErrors.h"

// winver.h maps this name to the Win32 API; here it is the tool's own routine.
#undef GetFileVersionInfo

// A registry value that exists but has the wrong type.
class ERegistryException : public rtl::Exception {
 public:
  ERegistryException(std::wstring message, std::wstring valueName)
      : rtl::Exception(std::move(message)), fValueName(std::move(valueName)) {}
  // The name of the damaged value.
  const std::wstring& ValueName() const noexcept { return fValueName; }

 private:
  std::wstring fValueName;
};

// The window font's key under HKEY_CURRENT_USER.
inline constexpr wchar_t kRegFontKey[] = L"Software\\Ortvel\\Font";

// Fills Font from HKCU\Software\Ortvel\Font (read only). Missing values take
// their defaults; a value of the wrong type raises ERegistryException.
void RegReadFont(gui::Font& Font);
// The font RegReadFont gives when the key is missing: "MS Sans Serif", 8
// points, black, default character set, plain.
void RegDefaultFont(gui::Font& Font);

using rtl::SysErrorMessage;

// A window's saved placement under HKEY_CURRENT_USER: its normal (not
// maximised) rectangle in screen coordinates and whether it was maximised,
// as the DWORD values Left, Top, Width, Height and Maximized of the key.
struct TWindowBounds {
  RECT Rect{};
  bool Maximized = false;
};
// False when the key or a value is missing or of the wrong type, or the
// size is not positive: the caller then places the window itself.
bool RegReadWindowBounds(const wchar_t* Key, TWindowBounds& Bounds);
// Never raises: a placement that cannot be stored is only forgotten.
void RegWriteWindowBounds(const wchar_t* Key, const TWindowBounds& Bounds) noexcept;

// Writes Bytes to the file FileName, replacing it only once all of them are
// written (through a temporary file beside it), so a failure leaves an
// existing file as it was. Raises rtl::EOSError with the system's reason.
void SaveBytesToFile(const std::wstring& FileName, const std::string& Bytes);

// The program's own file version, "major.minor.release.build", or "0.0.0.0"
// when the version resource is missing or unreadable.
std::wstring GetFileVersionInfo();
