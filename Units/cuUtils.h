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

// The program's own file version, "major.minor.release.build", or "0.0.0.0"
// when the version resource is missing or unreadable.
std::wstring GetFileVersionInfo();
