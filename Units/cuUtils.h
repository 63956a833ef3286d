// Small utilities of the tool: the window font from the registry and the
// program's own file version.
#pragma once

#include <windows.h>

#include <string>

#include "gui/Font.h"
#include "rtl/Exceptions.h"
#include "rtl/SysErrors.h"

// winver.h maps this name to the Win32 API; here it is the tool's own routine.
#undef GetFileVersionInfo

// A registry value that exists but has the wrong type.
class ERegistryException : public rtl::Exception {
 public:
  using rtl::Exception::Exception;
};

// Fills Font from HKCU\Software\Ortvel\Font (read only). Missing values take
// their defaults; a value of the wrong type raises ERegistryException.
void RegReadFont(gui::Font& Font);

using rtl::SysErrorMessage;

// The program's own file version, "major.minor.release.build", or "0.0.0.0"
// when the version resource is missing or unreadable.
std::wstring GetFileVersionInfo();
